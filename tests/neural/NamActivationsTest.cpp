// Activations: hand-computed values, configuration parsing, the shared defaults and switches.

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "neural/nam/activations.h"
#include "tests/neural/NamTestSupport.h"

namespace {

using nam::activations::Activation;
using nam::activations::ActivationConfig;
using nam::activations::ActivationType;
using nam_test::json;

std::vector<float> applied(Activation& activation, std::vector<float> values) {
    activation.apply(values.data(), static_cast<long>(values.size()));
    return values;
}

std::shared_ptr<Activation> byName(const std::string& name) {
    return Activation::get_activation(ActivationConfig::from_json(name));
}

TEST(NamActivations, HandComputedValues) {
    struct Case {
        const char* name;
        std::vector<float> in;
        std::vector<float> out;
    };
    const Case cases[] = {
        {"Hardtanh", {-3.0f, -0.5f, 0.25f, 2.0f}, {-1.0f, -0.5f, 0.25f, 1.0f}},
        {"ReLU", {-2.0f, 0.0f, 1.5f}, {0.0f, 0.0f, 1.5f}},
        {"LeakyReLU", {-2.0f, 3.0f}, {-0.02f, 3.0f}},
        {"PReLU", {-2.0f, 3.0f}, {-0.02f, 3.0f}},
        {"Sigmoid", {0.0f, 2.0f, -2.0f}, {0.5f, 0.880797078f, 0.119202922f}},
        {"SiLU", {0.0f, 1.0f, -1.0f}, {0.0f, 0.731058579f, -0.268941421f}},
        {"Hardswish", {-4.0f, 3.0f, 1.0f, 5.0f}, {0.0f, 3.0f, 0.6666667f, 5.0f}},
        {"LeakyHardtanh", {-3.0f, 0.5f, 2.0f}, {-1.02f, 0.5f, 1.01f}},
        {"Softsign", {1.0f, -3.0f, 0.0f}, {0.5f, -0.75f, 0.0f}},
        {"Tanh", {0.0f, 0.5f, -1.0f, 3.0f}, {0.0f, 0.462117157f, -0.761594156f, 0.995054754f}},
        // The rational approximation at 1: 6.625472 / 8.696631 (hand-evaluated).
        {"Fasttanh", {0.0f, 1.0f, -1.0f}, {0.0f, 0.761843f, -0.761843f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = applied(*byName(c.name), c.in);
        for (size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], c.out[i], 2e-6f) << "input " << c.in[i];
    }
}

TEST(NamActivations, VectorisedFunctionsMatchTheLibraryOnEveryLength) {
    // Odd lengths exercise the scalar tails after the vector packets.
    for (long n : {1L, 7L, 16L, 37L, 100L}) {
        std::vector<float> x(static_cast<size_t>(n));
        for (long i = 0; i < n; ++i) x[i] = -6.0f + 12.0f * static_cast<float>(i) / static_cast<float>(n);
        const auto t = applied(*byName("Tanh"), x);
        const auto s = applied(*byName("Sigmoid"), x);
        const auto w = applied(*byName("SiLU"), x);
        const auto f = applied(*byName("Fasttanh"), x);
        for (long i = 0; i < n; ++i) {
            const double sig = 1.0 / (1.0 + std::exp(-static_cast<double>(x[i])));
            EXPECT_NEAR(t[i], std::tanh(static_cast<double>(x[i])), 1e-6);
            EXPECT_NEAR(s[i], sig, 1e-6);
            EXPECT_NEAR(w[i], sig * x[i], 1e-5);
            EXPECT_NEAR(f[i], std::tanh(static_cast<double>(x[i])), 2e-3);  // an approximation
        }
    }
}

TEST(NamActivations, FastTanhIsOdd) {
    const std::vector<float> x = {0.1f, 0.7f, 1.3f, 2.9f, 8.0f, 40.0f};
    std::vector<float> negated;
    for (float v : x) negated.push_back(-v);
    const auto y = applied(*byName("Fasttanh"), x);
    const auto z = applied(*byName("Fasttanh"), negated);
    for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(z[i], -y[i]);
}

TEST(NamActivations, BlocksOnlyTouchTheirOwnElements) {
    Eigen::MatrixXf m(4, 3);
    m.setConstant(-1.0f);
    auto relu = byName("ReLU");
    relu->apply(m.leftCols(1));
    EXPECT_EQ(m.col(0), Eigen::VectorXf::Zero(4));
    EXPECT_EQ(m(0, 1), -1.0f);

    // topRows of a taller matrix is not contiguous; rows 2 and 3 must stay as they were.
    m.setConstant(-1.0f);
    relu->apply(m.topRows(2));
    EXPECT_EQ(m.topRows(2), Eigen::MatrixXf::Zero(2, 3));
    EXPECT_EQ(m.bottomRows(2), Eigen::MatrixXf::Constant(2, 3, -1.0f));
}

TEST(NamActivations, PReLUMapsRowsToSlopes) {
    nam::activations::ActivationPReLU prelu(std::vector<float>{0.1f, 0.3f});
    Eigen::MatrixXf m = Eigen::MatrixXf::Constant(2, 3, -1.0f);
    m(1, 2) = 4.0f;
    prelu.apply(m);
    EXPECT_FLOAT_EQ(m(0, 0), -0.1f);
    EXPECT_FLOAT_EQ(m(1, 0), -0.3f);
    EXPECT_FLOAT_EQ(m(0, 2), -0.1f);
    EXPECT_FLOAT_EQ(m(1, 2), 4.0f);

    Eigen::MatrixXf three(3, 2);
    try {
        prelu.apply(three);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "PReLU: Received 3 channels, but activation has 2 channels");
    }
    std::vector<float> five(5, -1.0f);
    try {
        prelu.apply(five.data(), 5);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "PReLU.apply(*data, size) was given an array of size 5 but the activation has 2 channels, which "
                     "doesn't divide evenly.");
    }
}

TEST(NamActivationConfig, ParsesNamesAndObjects) {
    EXPECT_EQ(ActivationConfig::from_json("SiLU").type, ActivationType::SiLU);
    EXPECT_NE(dynamic_cast<nam::activations::ActivationSwish*>(byName("SiLU").get()), nullptr);
    EXPECT_EQ(ActivationConfig::from_json("LeakyHardTanh").type, ActivationType::LeakyHardtanh);

    const auto leaky = ActivationConfig::from_json(json{{"type", "LeakyReLU"}});
    EXPECT_EQ(leaky.negative_slope, 0.01f);
    // An object always builds its own instance; the plain name shares the default.
    EXPECT_NE(Activation::get_activation(leaky), Activation::get_activation("LeakyReLU"));
    EXPECT_EQ(byName("LeakyReLU"), Activation::get_activation("LeakyReLU"));
    EXPECT_EQ(byName("Tanh"), byName("Tanh"));

    const auto both = ActivationConfig::from_json(
        json{{"type", "PReLU"}, {"negative_slope", 0.2}, {"negative_slopes", {0.1, 0.3}}});
    EXPECT_EQ(both.negative_slope, 0.2f);
    EXPECT_FALSE(both.negative_slopes.has_value());
    auto prelu = std::dynamic_pointer_cast<nam::activations::ActivationPReLU>(Activation::get_activation(both));
    ASSERT_NE(prelu, nullptr);
    EXPECT_EQ(prelu->negative_slopes(), std::vector<float>{0.2f});

    const auto hard = ActivationConfig::from_json(json{{"type", "LeakyHardtanh"}, {"max_val", 2.0}});
    EXPECT_EQ(applied(*Activation::get_activation(hard), {3.0f, -3.0f}), (std::vector<float>{2.01f, -1.02f}));
}

TEST(NamActivationConfig, RefusesBadConfigurationsAtParseTime) {
    struct Case {
        const char* name;
        json config;
        std::string message;  // empty: any exception
    };
    const Case cases[] = {
        {"wrong case", "silu", "Unknown activation type: silu"},
        {"unknown object type", json{{"type", "Swish"}}, "Unknown activation type: Swish"},
        {"number", 3, "Invalid activation config: expected string or object"},
        {"null", nullptr, "Invalid activation config: expected string or object"},
        {"array", json::array({"Tanh"}), "Invalid activation config: expected string or object"},
        {"object without type", json{{"negative_slope", 0.1}}, ""},
        {"empty PReLU slopes", json{{"type", "PReLU"}, {"negative_slopes", json::array()}},
         "PReLU negative_slopes must be a non-empty array of numbers"},
        {"slope beyond float range", json{{"type", "LeakyReLU"}, {"negative_slope", 1e39}},
         "Config value \"negative_slope\" is not a finite 32-bit float"},
        {"slope is text", json{{"type", "LeakyReLU"}, {"negative_slope", "steep"}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            ActivationConfig::from_json(c.config);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            if (!c.message.empty()) {
                EXPECT_EQ(std::string(e.what()), c.message);
            }
        }
    }
}

TEST(NamActivationConfig, FactoryRefusesWhatCannotRun) {
    ActivationConfig outOfRange;
    outOfRange.type = static_cast<ActivationType>(11);
    EXPECT_THROW(Activation::get_activation(outOfRange), std::runtime_error);

    ActivationConfig emptySlopes = ActivationConfig::simple(ActivationType::PReLU);
    emptySlopes.negative_slopes = std::vector<float>{};
    EXPECT_THROW(Activation::get_activation(emptySlopes), std::invalid_argument);
    EXPECT_EQ(Activation::get_activation("NoSuchThing"), nullptr);
}

TEST(NamLookupTable, InterpolatesBetweenPointsAndHoldsTheEnds) {
    nam::activations::FastLUTActivation lut(-3.0f, 3.0f, 7, [](float x) { return std::tanh(x); });
    EXPECT_FLOAT_EQ(lut.lookup(1.0f), std::tanh(1.0f));
    EXPECT_FLOAT_EQ(lut.lookup(1.5f), 0.5f * (std::tanh(1.0f) + std::tanh(2.0f)));
    EXPECT_FLOAT_EQ(lut.lookup(10.0f), std::tanh(3.0f));
    EXPECT_FLOAT_EQ(lut.lookup(-10.0f), std::tanh(-3.0f));
    EXPECT_TRUE(std::isfinite(lut.lookup(std::numeric_limits<float>::quiet_NaN())));

    auto identity = [](float x) { return x; };
    EXPECT_THROW(nam::activations::FastLUTActivation(-1.0f, 1.0f, 1, identity), std::invalid_argument);
    EXPECT_THROW(nam::activations::FastLUTActivation(-1.0f, 1.0f, 0, identity), std::invalid_argument);
    EXPECT_THROW(nam::activations::FastLUTActivation(1.0f, 1.0f, 8, identity), std::invalid_argument);
    EXPECT_THROW(nam::activations::FastLUTActivation(2.0f, -2.0f, 8, identity), std::invalid_argument);
}

TEST(NamActivationSwitches, ReplaceAndRestoreTheDefaults) {
    const auto original = Activation::get_activation("Tanh");
    Activation::enable_fast_tanh();
    Activation::enable_fast_tanh();
    EXPECT_TRUE(Activation::using_fast_tanh);
    EXPECT_EQ(Activation::get_activation("Tanh"), Activation::get_activation("Fasttanh"));
    Activation::disable_fast_tanh();
    EXPECT_FALSE(Activation::using_fast_tanh);
    EXPECT_EQ(Activation::get_activation("Tanh"), original);

    const auto sigmoid = Activation::get_activation("Sigmoid");
    EXPECT_THROW(Activation::enable_lut("Sigmoid", -1.0f, 1.0f, 1), std::invalid_argument);
    EXPECT_EQ(Activation::get_activation("Sigmoid"), sigmoid);  // a refused table changes nothing
    Activation::enable_lut("Sigmoid", -8.0f, 8.0f, 1025);
    EXPECT_NE(Activation::get_activation("Sigmoid"), sigmoid);
    EXPECT_NEAR(applied(*Activation::get_activation("Sigmoid"), {0.3f})[0], 1.0 / (1.0 + std::exp(-0.3)), 1e-4);
    Activation::disable_lut("Sigmoid");
    EXPECT_EQ(Activation::get_activation("Sigmoid"), sigmoid);

    Activation::disable_lut("SiLU");  // nothing to restore: the default stays in place
    EXPECT_NE(Activation::get_activation("SiLU"), nullptr);

    try {
        Activation::enable_lut("ReLU", -1.0f, 1.0f, 16);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tried to enable LUT for a function other than Tanh, Sigmoid, or SiLU");
    }
    try {
        Activation::disable_lut("tanh");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Tried to disable LUT for a function other than Tanh, Sigmoid, or SiLU");
    }
}

}  // namespace

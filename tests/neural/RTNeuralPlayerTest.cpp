#include "neural/RTNeuralPlayer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "tests/support/AllocationCounter.h"
#include "tests/support/ForkedRun.h"
#include "tests/support/ModelFiles.h"
#include "tests/support/TempFolder.h"

namespace {

using nlohmann::json;
using tolvane::test::TempFolder;

constexpr int kHidden = 40;
constexpr int kGates = 4 * kHidden;

// The tensors as a model file stores them: gate blocks i, f, g, o.
using FileWeights = tolvane::test::VinylModelFile;
using Rows = FileWeights::Rows;

FileWeights randomWeights(unsigned seed, float scale = 0.4f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-scale, scale);
    FileWeights w;
    for (auto& row : w.inputWeights) row[0] = 4.0f * u(rng);  // a strong input drives the gates hard
    for (auto& row : w.recurrentWeights)
        for (float& v : row) v = u(rng);
    for (float& v : w.inputBias) v = u(rng);
    for (float& v : w.recurrentBias) v = u(rng);
    for (float& v : w.denseWeights[0]) v = u(rng);
    w.denseBias[0] = u(rng);
    return w;
}

// A straightforward double-precision LSTM read directly from the file layout (i, f, g, o).
class NaiveLstm {
public:
    explicit NaiveLstm(const FileWeights& w) : w_(w), h_(kHidden, 0.0), c_(kHidden, 0.0) {}

    double process(double x) {
        std::vector<double> z(kGates);
        for (int r = 0; r < kGates; ++r) {
            double sum = w_.inputWeights[r][0] * x + double(w_.inputBias[r]) + double(w_.recurrentBias[r]);
            for (int k = 0; k < kHidden; ++k) sum += double(w_.recurrentWeights[r][k]) * h_[k];
            z[r] = sum;
        }
        double y = w_.denseBias[0];
        for (int j = 0; j < kHidden; ++j) {
            const double i = sigmoid(z[j]);
            const double f = sigmoid(z[kHidden + j]);
            const double g = std::tanh(z[2 * kHidden + j]);
            const double o = sigmoid(z[3 * kHidden + j]);
            c_[j] = f * c_[j] + i * g;
            h_[j] = o * std::tanh(c_[j]);
            y += double(w_.denseWeights[0][j]) * h_[j];
        }
        return x + y;
    }

private:
    static double sigmoid(double v) { return 1.0 / (1.0 + std::exp(-v)); }
    FileWeights w_;
    std::vector<double> h_, c_;
};

std::vector<float> testSignal(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> x(n);
    for (int s = 0; s < n; ++s) x[s] = 0.6f * std::sin(0.013f * float(s)) + noise(rng);
    return x;
}

std::unique_ptr<RTNeuralPlayer> loadedPlayer(const TempFolder& dir, const json& model, const std::string& name = "m.json") {
    auto player = std::make_unique<RTNeuralPlayer>();
    Error error;
    const bool ok = player->loadModelAtPath(dir.write(name, model.dump()), &error);
    EXPECT_TRUE(ok) << error.description();
    EXPECT_TRUE(player->isLoaded());
    return player;
}

std::vector<float> processed(RTNeuralPlayer& player, std::vector<float> x) {
    player.processBuffer(x.data(), static_cast<int32_t>(x.size()));
    return x;
}

bool bitIdentical(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Numerical behaviour against the independent reference

TEST(RTNeuralPlayerReference, MatchesNaiveDoubleLstmOnRandomWeights) {
    TempFolder dir;
    for (unsigned seed : {1u, 2u, 3u}) {
        const FileWeights weights = randomWeights(seed);
        auto player = loadedPlayer(dir, weights.toJson());
        NaiveLstm reference(weights);

        const std::vector<float> input = testSignal(8192, seed + 100);
        const std::vector<float> output = processed(*player, input);
        double worst = 0.0;
        for (std::size_t s = 0; s < input.size(); ++s) {
            worst = std::max(worst, std::abs(double(output[s]) - reference.process(input[s])));
        }
        EXPECT_LT(worst, 2e-6) << "seed " << seed;
    }
}

TEST(RTNeuralPlayerReference, AllZeroWeightsAreTheIdentity) {
    TempFolder dir;
    auto player = loadedPlayer(dir, FileWeights{}.toJson());
    const std::vector<float> input = testSignal(1000, 7);
    EXPECT_TRUE(bitIdentical(processed(*player, input), input));
}

TEST(RTNeuralPlayerReference, DenseBiasAloneIsAddedToEverySample) {
    TempFolder dir;
    FileWeights weights;
    weights.denseBias = {0.1f};
    auto player = loadedPlayer(dir, weights.toJson());
    const std::vector<float> input = testSignal(1000, 8);
    const std::vector<float> output = processed(*player, input);
    for (std::size_t s = 0; s < input.size(); ++s) ASSERT_EQ(output[s], input[s] + 0.1f) << "sample " << s;
}

TEST(RTNeuralPlayerReference, EntriesBeyondTheNeededShapesAndOtherKeysAreIgnored) {
    TempFolder dir;
    const FileWeights weights = randomWeights(11);
    json model = weights.toJson();
    auto& dict = model["state_dict"];
    for (auto& row : dict["rec.weight_ih_l0"]) row.push_back(9.0);  // a second input column
    for (auto& row : dict["rec.weight_hh_l0"]) row.push_back(9.0);
    dict["rec.weight_ih_l0"].push_back({9.0, 9.0});
    dict["rec.weight_hh_l0"].push_back(std::vector<double>(kHidden + 1, 9.0));
    dict["rec.bias_ih_l0"].push_back(9.0);
    dict["lin.weight"].push_back(std::vector<double>(kHidden, 9.0));
    dict["lin.bias"].push_back(9.0);
    dict["something.else"] = "ignored";
    model["metadata"] = {{"note", 1}};

    RTNeuralPlayer player;
    Error error;
    ASSERT_TRUE(player.loadModelAtPath(dir.write("extra.json", model.dump() + "\n trailing text"), &error))
        << error.description();
    NaiveLstm reference(weights);
    const std::vector<float> input = testSignal(2000, 12);
    const std::vector<float> output = processed(player, input);
    for (std::size_t s = 0; s < input.size(); ++s) {
        ASSERT_NEAR(output[s], reference.process(input[s]), 2e-6) << "sample " << s;
    }
}

// ---------------------------------------------------------------------------------------------
// Refusal of bad files

struct BadFile {
    std::string name;
    std::function<std::string()> text;
    std::string messagePart;  // expected somewhere in the error description
};

std::string mutated(const std::function<void(json&)>& change) {
    json model = randomWeights(5).toJson();
    change(model["state_dict"]);
    return model.dump();
}

std::vector<BadFile> badFiles() {
    return {
        {"InputWeightsTooFewRows", [] { return mutated([](json& d) { d["rec.weight_ih_l0"].erase(0); }); },
         "rec.weight_ih_l0"},
        {"InputWeightsEmptyRows",
         [] { return mutated([](json& d) { d["rec.weight_ih_l0"] = Rows(kGates, std::vector<float>{}); }); },
         "rec.weight_ih_l0"},
        {"RecurrentWeightsShortRows",
         [] {
             return mutated([](json& d) { d["rec.weight_hh_l0"] = Rows(kGates, std::vector<float>(kHidden - 1)); });
         },
         "rec.weight_hh_l0"},
        {"RecurrentWeightsNotRectangular",
         [] { return mutated([](json& d) { d["rec.weight_hh_l0"][7].push_back(1.0); }); }, "row 7"},
        {"RecurrentRowNotAList", [] { return mutated([](json& d) { d["rec.weight_hh_l0"][3] = 1.0; }); }, "row 3"},
        {"InputBiasTooShort", [] { return mutated([](json& d) { d["rec.bias_ih_l0"].erase(0); }); },
         "rec.bias_ih_l0"},
        {"RecurrentBiasNotAList", [] { return mutated([](json& d) { d["rec.bias_hh_l0"] = 0.5; }); },
         "rec.bias_hh_l0"},
        {"DenseWeightsEmpty", [] { return mutated([](json& d) { d["lin.weight"] = json::array(); }); },
         "lin.weight"},
        {"DenseWeightsShortRow", [] { return mutated([](json& d) { d["lin.weight"][0].erase(0); }); }, "lin.weight"},
        {"DenseWeightsFlatList",
         [] { return mutated([](json& d) { d["lin.weight"] = std::vector<float>(kHidden, 0.1f); }); }, "row 0"},
        {"DenseBiasEmpty", [] { return mutated([](json& d) { d["lin.bias"] = json::array(); }); }, "lin.bias"},
        {"StringInsteadOfNumber", [] { return mutated([](json& d) { d["rec.weight_hh_l0"][2][4] = "0.5"; }); },
         "string"},
        {"BooleanInsteadOfNumber", [] { return mutated([](json& d) { d["rec.bias_ih_l0"][9] = true; }); },
         "boolean"},
        {"NumberBeyondFloatRange", [] { return mutated([](json& d) { d["rec.weight_ih_l0"][1][0] = 1e40; }); },
         "finite"},
        {"BiasSumOverflows",
         [] {
             return mutated([](json& d) {
                 d["rec.bias_ih_l0"][0] = 3e38;
                 d["rec.bias_hh_l0"][0] = 3e38;
             });
         },
         "overflows"},
        {"MissingInputWeights", [] { return mutated([](json& d) { d.erase("rec.weight_ih_l0"); }); },
         "rec.weight_ih_l0"},
        {"MissingDenseBias", [] { return mutated([](json& d) { d.erase("lin.bias"); }); }, "lin.bias"},
        {"MissingStateDict", [] { return std::string(R"({"model": {}})"); }, "state_dict"},
        {"RootIsAList", [] { return std::string("[1, 2, 3]"); }, "state_dict"},
        {"SyntaxError", [] { return mutated([](json&) {}).substr(0, 500); }, "parse error"},
        {"EmptyFile", [] { return std::string(); }, "parse error"},
        {"CommentsAreNotJson", [] { return "// model\n" + mutated([](json&) {}); }, "parse error"},
    };
}

class RTNeuralPlayerBadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(RTNeuralPlayerBadFile, IsRefusedWithCodeMinusTwoAndPassesAudioUnchanged) {
    TempFolder dir;
    RTNeuralPlayer player;
    // A good model first: a bad load must also take that one out of play.
    ASSERT_TRUE(player.loadModelAtPath(dir.write("good.json", randomWeights(4).toJson().dump())));

    Error error;
    EXPECT_FALSE(player.loadModelAtPath(dir.write("bad.json", GetParam().text()), &error));
    EXPECT_EQ(error.domain, "RTNeuralPlayer");
    EXPECT_EQ(error.code, -2);
    EXPECT_NE(error.localizedDescription.find(GetParam().messagePart), std::string::npos)
        << error.localizedDescription;
    EXPECT_FALSE(player.isLoaded());

    const std::vector<float> input = testSignal(256, 3);
    EXPECT_TRUE(bitIdentical(processed(player, input), input));
}

INSTANTIATE_TEST_SUITE_P(Shapes, RTNeuralPlayerBadFile, ::testing::ValuesIn(badFiles()),
                         [](const auto& info) { return info.param.name; });

TEST(RTNeuralPlayerLoad, UnopenablePathsGiveCodeMinusOneAndKeepTheCurrentModel) {
    TempFolder dir;
    const FileWeights weights = randomWeights(21);
    auto player = loadedPlayer(dir, weights.toJson(), "a.json");
    auto twin = loadedPlayer(dir, weights.toJson(), "b.json");
    const std::vector<float> input = testSignal(600, 22);
    processed(*player, input);
    processed(*twin, input);

    for (const std::string& path : {dir.file("missing.json").string(), dir.path().string(), std::string()}) {
        Error error;
        EXPECT_FALSE(player->loadModelAtPath(path, &error));
        EXPECT_EQ(error.domain, "RTNeuralPlayer");
        EXPECT_EQ(error.code, -1);
        EXPECT_EQ(error.localizedDescription, "Cannot open file: " + path);
        EXPECT_FALSE(player->loadModelAtPath(path));  // no out-pointer: the result alone reports it
    }
    // Still loaded, and the recurrent state went on untouched.
    EXPECT_TRUE(player->isLoaded());
    EXPECT_TRUE(bitIdentical(processed(*player, input), processed(*twin, input)));
}

// A FIFO is refused at once, as a file that cannot be opened (the current model plays on); a
// model nested deeper than any reader takes is refused as a bad one before its tree is built.
TEST(RTNeuralPlayerLoad, AFifoOrAnOverNestedFileIsRefusedAtOnce) {
    TempFolder dir;
    const FileWeights weights = randomWeights(41);
    const auto fifo = dir.file("fifo.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // In a child with a deadline: opening a FIFO for reading waits for a writer.
    EXPECT_EQ(tolvane::test::exitCodeOfForkedRun([&] {
        auto player = loadedPlayer(dir, weights.toJson());
        Error error;
        const bool refused = !player->loadModelAtPath(fifo.string(), &error) && error.code == -1 &&
                             error.localizedDescription.find(fifo.string() + ": not a regular file") != std::string::npos;
        return refused && player->isLoaded() ? 0 : 1;
    }, std::chrono::seconds(30)), 0);

    json deep = weights.toJson();
    deep["notes"] = tolvane::test::nestedArrays(65);
    RTNeuralPlayer player;
    Error error;
    EXPECT_FALSE(player.loadModelAtPath(dir.write("deep.json", deep.dump()), &error));
    EXPECT_EQ(error.code, -2);
    EXPECT_NE(error.localizedDescription.find("deep.json nests deeper than 64 levels"), std::string::npos)
        << error.localizedDescription;
}

TEST(RTNeuralPlayerLoad, ANewModelStartsFromAClearedState) {
    TempFolder dir;
    const json model = randomWeights(31).toJson();
    auto player = loadedPlayer(dir, model);
    const std::vector<float> input = testSignal(500, 32);
    const std::vector<float> first = processed(*player, input);
    ASSERT_TRUE(player->loadModelAtPath(dir.write("again.json", model.dump())));
    EXPECT_TRUE(bitIdentical(processed(*player, input), first));
}

// ---------------------------------------------------------------------------------------------
// Processing

TEST(RTNeuralPlayerProcess, OutputIsBitIdenticalAcrossBlockSplits) {
    TempFolder dir;
    const json model = randomWeights(41).toJson();
    const std::vector<float> input = testSignal(6000, 42);
    auto whole = loadedPlayer(dir, model);
    const std::vector<float> expected = processed(*whole, input);

    std::mt19937 rng(43);
    std::uniform_int_distribution<int> blockLength(1, 700);
    for (int trial = 0; trial < 4; ++trial) {
        auto split = loadedPlayer(dir, model);
        std::vector<float> buffer = input;
        for (std::size_t start = 0; start < buffer.size();) {
            const int wanted = trial == 0 ? 1 : blockLength(rng);  // trial 0: one sample at a time
            const int n = std::min<int>(wanted, int(buffer.size() - start));
            split->processBuffer(buffer.data() + start, n);
            start += std::size_t(n);
        }
        EXPECT_TRUE(bitIdentical(buffer, expected)) << "trial " << trial;
    }
}

// Two players in lockstep leave each buffer exactly as the player alone would, with equal or
// different weights, with one copy of weights given to both, with one of them not loaded, at
// any block split.
TEST(RTNeuralPlayerProcess, PlayersInLockstepGiveWhatEachGivesAlone) {
    TempFolder dir;
    const json a = FileWeights::seeded(121, 0.4f).toJson();  // every weight in use
    const json b = randomWeights(122).toJson();
    const std::vector<float> left = testSignal(3000, 123), right = testSignal(3000, 124);
    struct Case {
        const char* name;
        const json* first;
        const json* second;  // nullptr: a player that never loaded
        bool oneCopy = false;  // both players given the same weights
    };
    for (const Case& c : {Case{"equal weights", &a, &a}, Case{"different weights", &a, &b},
                          Case{"one copy of the weights", &a, &a, true}, Case{"one not loaded", &b, nullptr}}) {
        SCOPED_TRACE(c.name);
        auto alone1 = loadedPlayer(dir, *c.first, "alone1.json");
        auto alone2 = c.second ? loadedPlayer(dir, *c.second, "alone2.json") : std::make_unique<RTNeuralPlayer>();
        const std::vector<float> expected1 = processed(*alone1, left), expected2 = processed(*alone2, right);

        auto paired1 = loadedPlayer(dir, *c.first, "paired1.json");
        auto paired2 = c.second ? loadedPlayer(dir, *c.second, "paired2.json") : std::make_unique<RTNeuralPlayer>();
        if (c.oneCopy) {
            const auto weights = RTNeuralPlayer::readWeights(dir.write("shared.json", c.first->dump()));
            ASSERT_NE(weights, nullptr);
            paired1->useWeights(weights);
            paired2->useWeights(weights);
        }
        std::vector<float> l = left, r = right;
        std::mt19937 rng(125);
        std::uniform_int_distribution<int> blockLength(1, 300);
        for (std::size_t start = 0; start < l.size();) {
            const int n = std::min<int>(blockLength(rng), int(l.size() - start));
            RTNeuralPlayer::processBuffers(*paired1, l.data() + start, *paired2, r.data() + start, n);
            start += std::size_t(n);
        }
        EXPECT_TRUE(bitIdentical(l, expected1));
        EXPECT_TRUE(bitIdentical(r, expected2));
    }
    // The dense model against the independent reference.
    auto player = loadedPlayer(dir, a, "dense.json");
    NaiveLstm reference(FileWeights::seeded(121, 0.4f));
    const std::vector<float> output = processed(*player, left);
    for (std::size_t s = 0; s < left.size(); ++s) ASSERT_NEAR(output[s], reference.process(left[s]), 2e-6) << s;
}

TEST(RTNeuralPlayerProcess, TheSamePlayerTwiceRunsOneBufferAfterTheOther) {
    TempFolder dir;
    const json model = randomWeights(131).toJson();
    auto player = loadedPlayer(dir, model);
    auto twin = loadedPlayer(dir, model, "twin.json");
    std::vector<float> first = testSignal(500, 132), second = testSignal(500, 133);
    const std::vector<float> expectedFirst = processed(*twin, first), expectedSecond = processed(*twin, second);
    RTNeuralPlayer::processBuffers(*player, first.data(), *player, second.data(), 500);
    EXPECT_TRUE(bitIdentical(first, expectedFirst));
    EXPECT_TRUE(bitIdentical(second, expectedSecond));
}

TEST(RTNeuralPlayerProcess, StatePersistsAcrossCallsAndResetReproducesTheFirstRun) {
    TempFolder dir;
    auto player = loadedPlayer(dir, randomWeights(51).toJson());
    const std::vector<float> input = testSignal(800, 52);
    const std::vector<float> first = processed(*player, input);
    const std::vector<float> second = processed(*player, input);
    EXPECT_FALSE(bitIdentical(first, second));  // the second run starts where the first ended
    player->reset();
    EXPECT_TRUE(player->isLoaded());
    EXPECT_TRUE(bitIdentical(processed(*player, input), first));
}

TEST(RTNeuralPlayerProcess, LeavesTheBufferAloneWhenThereIsNothingToDo) {
    TempFolder dir;
    const std::vector<float> input = testSignal(64, 61);

    RTNeuralPlayer fresh;  // never loaded
    EXPECT_FALSE(fresh.isLoaded());
    EXPECT_TRUE(bitIdentical(processed(fresh, input), input));

    auto player = loadedPlayer(dir, randomWeights(62).toJson());
    for (int32_t count : {0, -5, std::numeric_limits<int32_t>::min()}) {
        std::vector<float> buffer = input;
        player->processBuffer(buffer.data(), count);
        EXPECT_TRUE(bitIdentical(buffer, input)) << "count " << count;
    }
    player->processBuffer(nullptr, 16);
    // None of that advanced the state.
    auto twin = loadedPlayer(dir, randomWeights(62).toJson(), "twin.json");
    EXPECT_TRUE(bitIdentical(processed(*player, input), processed(*twin, input)));
}

TEST(RTNeuralPlayerProcess, AllocatesNothing) {
    TempFolder dir;
    auto player = loadedPlayer(dir, randomWeights(71).toJson());
    auto other = loadedPlayer(dir, randomWeights(71).toJson(), "other.json");
    std::vector<float> buffer = testSignal(4096, 72);
    tolvane::test::AllocationCounter counter;
    player->processBuffer(buffer.data(), 4096);
    player->processBuffer(buffer.data(), 1);
    player->reset();
    player->processBuffer(buffer.data(), 333);
    RTNeuralPlayer::processBuffers(*player, buffer.data(), *other, buffer.data() + 2048, 2048);
    EXPECT_EQ(counter.allocations(), 0u);
}

TEST(RTNeuralPlayerProcess, NonFiniteInputIsTreatedAsSilenceAndDoesNotPoisonTheState) {
    TempFolder dir;
    const json model = randomWeights(81).toJson();
    auto player = loadedPlayer(dir, model);
    auto twin = loadedPlayer(dir, model, "twin.json");

    std::vector<float> dirty = testSignal(3000, 82);
    std::vector<float> clean = dirty;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::pair<std::size_t, float>> faults = {{10, nan}, {11, nan}, {500, inf}, {1700, -inf}};
    for (auto [at, value] : faults) {
        dirty[at] = value;
        clean[at] = 0.0f;
    }
    const std::vector<float> out = processed(*player, dirty);
    EXPECT_TRUE(bitIdentical(out, processed(*twin, clean)));
    for (float y : out) ASSERT_TRUE(std::isfinite(y));
}

TEST(RTNeuralPlayerProcess, HugeInputsSaturateWithoutBreakingTheState) {
    TempFolder dir;
    const json model = randomWeights(91).toJson();
    auto player = loadedPlayer(dir, model);
    std::vector<float> loud(200);
    for (std::size_t s = 0; s < loud.size(); ++s) loud[s] = (s % 2 ? -1.0f : 1.0f) * 3e38f;
    for (float y : processed(*player, loud)) ASSERT_FALSE(std::isnan(y));
    for (float y : processed(*player, testSignal(500, 92))) ASSERT_TRUE(std::isfinite(y));
}

TEST(RTNeuralPlayerProcess, HeapInstancesAreAlignedForTheFixedSizeModel) {
    TempFolder dir;
    const std::string path = dir.write("m.json", randomWeights(101).toJson().dump());
    auto shared = std::make_shared<RTNeuralPlayer>();
    std::vector<RTNeuralPlayer> many(3);
    std::vector<RTNeuralPlayer*> players = {shared.get(), &many[0], &many[1], &many[2]};
    const std::vector<float> input = testSignal(300, 102);
    std::vector<float> first;
    for (RTNeuralPlayer* p : players) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(RTNeuralPlayer), 0u);
        ASSERT_TRUE(p->loadModelAtPath(path));
        const std::vector<float> out = processed(*p, input);
        if (first.empty()) first = out;
        EXPECT_TRUE(bitIdentical(out, first));
    }
}

}  // namespace

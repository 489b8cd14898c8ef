// LO-FI quantiser models and FILLDRIVE saturation models, as one-block convolutional networks.
//
// Each model is y[t] = c + sum_u a_u * act(w_u * x[t] + v_u * x[t-1] + b_u): one dilation-1 block
// of kernel size 2 whose units are placed by hand, and a linear head that sums them. With
// hard-tanh units the sum is a staircase; with tanh units it is a soft saturation curve.
#include "tools/tolvane-make-resources/Generators.h"
#include "tools/tolvane-make-resources/ModelJson.h"
#include "tools/tolvane-make-resources/Random.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace tolvane::resources {
namespace {

constexpr const char* kNamVersion = "0.5.4";
constexpr double kTargetLoudnessDb = -18.0;

struct Unit {
    double current = 0;   // weight of x[t]
    double previous = 0;  // weight of x[t-1]
    double bias = 0;
    double out = 0;       // head weight
};

struct ConvModel {
    std::string activation;  // "Tanh" or "Hardtanh"
    std::vector<Unit> units;
    double headBias = 0;
};

std::vector<double> weightList(const ConvModel& model) {
    std::vector<double> w;
    for (const Unit& u : model.units) {
        w.push_back(u.previous);  // tap 0 meets the older frame
        w.push_back(u.current);
    }
    for (const Unit& u : model.units) w.push_back(u.bias);
    for (const Unit& u : model.units) w.push_back(u.out);
    w.push_back(model.headBias);
    return w;
}

double activate(const std::string& activation, double v) {
    return activation == "Hardtanh" ? std::clamp(v, -1.0, 1.0) : std::tanh(v);
}

ConvModel asStored(const ConvModel& model) {
    ConvModel stored = model;
    for (Unit& u : stored.units) {
        u.current = asStoredFloat(u.current);
        u.previous = asStoredFloat(u.previous);
        u.bias = asStoredFloat(u.bias);
        u.out = asStoredFloat(u.out);
    }
    stored.headBias = asStoredFloat(model.headBias);
    return stored;
}

// The model run in double precision on the weights exactly as stored.
std::vector<double> runModel(const ConvModel& designed, const std::vector<double>& input) {
    const ConvModel model = asStored(designed);
    std::vector<double> out(input.size());
    double last = 0.0;
    for (size_t t = 0; t < input.size(); ++t) {
        double y = model.headBias;
        for (const Unit& u : model.units) {
            y += u.out * activate(model.activation, u.current * input[t] + u.previous * last + u.bias);
        }
        out[t] = y;
        last = input[t];
    }
    return out;
}

// Pink-ish noise at -18 dBFS RMS: the reference programme for the loudness figure.
std::vector<double> loudnessReference() {
    Random random(0x10D0E55ULL);
    std::vector<double> s(65536);
    double b0 = 0, b1 = 0, b2 = 0;
    for (double& x : s) {
        const double white = random.gaussian();
        b0 = 0.99765 * b0 + white * 0.0990460;
        b1 = 0.96300 * b1 + white * 0.2965164;
        b2 = 0.57000 * b2 + white * 1.0526913;
        x = b0 + b1 + b2 + white * 0.1848;
    }
    double sum = 0;
    for (double x : s) sum += x * x;
    const double gain = std::pow(10.0, kTargetLoudnessDb / 20.0) / std::sqrt(sum / s.size());
    for (double& x : s) x *= gain;
    return s;
}

// Output level of the model for the reference programme, so the player can bring it back to -18 dB.
double loudnessOf(const ConvModel& model) {
    const std::vector<double> y = runModel(model, loudnessReference());
    double sum = 0;
    for (double v : y) sum += v * v;
    return 20.0 * std::log10(std::sqrt(sum / y.size()));
}

void writeConvModel(const std::filesystem::path& path, const ConvModel& model) {
    nlohmann::json config = {
        {"channels", model.units.size()},
        {"dilations", {1}},
        {"batchnorm", false},
        {"activation", model.activation},
        {"groups", 1},
        {"in_channels", 1},
        {"out_channels", 1},
    };
    const double loudness = std::round(loudnessOf(model) * 1000.0) / 1000.0;
    nlohmann::json document = {
        {"version", kNamVersion},
        {"architecture", "ConvNet"},
        {"config", config},
        {"metadata", {{"loudness", loudness}}},
        {"weights", floatArray(weightList(model))},
    };
    writeJsonFile(path, document);
}

// ---- LO-FI: companded staircases ----

struct BitProfile {
    int knob;
    int stepsPerSide;  // output levels: 2 * stepsPerSide + 1
    double softness;   // fraction of a step spent on the ramp between two levels
};

constexpr std::array<BitProfile, 7> kBitProfiles{{
    {0, 32, 0.45}, {12, 24, 0.40}, {25, 16, 0.34}, {37, 12, 0.28}, {50, 8, 0.22}, {67, 6, 0.18}, {75, 4, 0.15},
}};

// Mu-law style spacing keeps quiet passages alive: levels are denser near zero.
constexpr double kCompanding = 10.0;
double expand(double y) { return (std::pow(1.0 + kCompanding, y) - 1.0) / kCompanding; }

// A mid-tread staircase: silence stays silence, levels at expand(j/J), decisions half-way between.
ConvModel bitModel(const BitProfile& profile) {
    const int steps = profile.stepsPerSide;
    std::vector<double> threshold(steps + 2);
    for (int j = 1; j <= steps; ++j) threshold[j] = expand((j - 0.5) / steps);
    threshold[0] = -threshold[1];
    threshold[steps + 1] = 2.0 * threshold[steps] - threshold[steps - 1];
    ConvModel model;
    model.activation = "Hardtanh";
    for (int j = 1; j <= steps; ++j) {
        const double gap = std::min(threshold[j] - threshold[j - 1], threshold[j + 1] - threshold[j]);
        const double halfRamp = profile.softness * gap / 2.0;
        const double height = expand(static_cast<double>(j) / steps) - expand(static_cast<double>(j - 1) / steps);
        for (double side : {1.0, -1.0}) {
            Unit u;
            u.current = 1.0 / halfRamp;
            u.bias = -side * threshold[j] / halfRamp;
            u.out = height / 2.0;
            model.units.push_back(u);
        }
    }
    return model;
}

// ---- FILLDRIVE: soft, slightly asymmetric saturation ----

struct DriveShape {
    double drive;      // gain into the saturating unit
    double asymmetry;  // offset of that unit: even harmonics
    double clean;      // share of a clean parallel path
    double emphasis;   // weight of the previous sample: a touch of pre-emphasis
};

DriveShape driveShape(double p) {
    return {0.9 * std::pow(8.0, p), 0.10 + 0.08 * p, 0.4 * (1.0 - p) * (1.0 - p), -0.12};
}

ConvModel driveModel(double p) {
    const DriveShape s = driveShape(p);
    const double dcGain = 1.0 + s.emphasis;
    const double slope = s.drive / (std::cosh(s.asymmetry) * std::cosh(s.asymmetry));
    constexpr double kLinearInput = 0.01;  // keeps the clean unit on the straight part of tanh
    ConvModel model;
    model.activation = "Tanh";
    Unit saturating;
    saturating.current = s.drive;
    saturating.previous = s.drive * s.emphasis;
    saturating.bias = s.asymmetry;
    saturating.out = (1.0 - s.clean) / (slope * dcGain);
    Unit clean;
    clean.current = kLinearInput;
    clean.previous = kLinearInput * s.emphasis;
    clean.out = s.clean / (kLinearInput * dcGain);
    model.units = {saturating, clean};
    // Silence in, silence out.
    model.headBias = -saturating.out * std::tanh(s.asymmetry);
    return model;
}

}  // namespace

void makeBitModels(const std::filesystem::path& dir) {
    for (const BitProfile& profile : kBitProfiles) {
        writeConvModel(dir / ("bit" + std::to_string(profile.knob) + ".nam"), bitModel(profile));
    }
}

void makeDriveModels(const std::filesystem::path& dir) {
    for (int knob : {0, 12, 25, 37, 50, 62, 75, 87, 100}) {
        writeConvModel(dir / ("tv-drive-" + std::to_string(knob) + ".nam"), driveModel(knob / 100.0));
    }
}

}  // namespace tolvane::resources

// VINYL models: one LSTM layer of 40 units and a dense output, stored as a state dictionary and
// run in residual form, y = x + net(x).
//
// The cells are set up by hand. With gates pinned fully open or shut a cell is memoryless and
// computes tanh(tanh(w x + b)); with the forget gate at a and the input gate at 1 - a it becomes
// a one-pole low-pass of tanh(w x). A few such cells, summed by the dense layer, give
//   y = (1 - g) [(1 - m) x + m S(x)] + g LP_treble(x) + e LP_bass(x)
// where S is a gentle asymmetric saturation: warmth that grows with the profile.
#include "tools/tolvane-make-resources/Generators.h"
#include "tools/tolvane-make-resources/ModelJson.h"

#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace tolvane::resources {
namespace {

constexpr int kHidden = 40;
constexpr double kRate = 44100.0;
constexpr double kPinned = 24.0;     // sigmoid(24) is 1 and sigmoid(-24) is 0 in single precision
constexpr double kLinearInput = 0.002;  // keeps linear cells on the straight part of tanh

struct Cell {
    double inputGateBias = 0, forgetGateBias = 0, outputGateBias = 0;
    double candidateWeight = 0, candidateBias = 0;
    double dense = 0;
};

struct VinylShape {
    double saturation;   // m: share of the saturated path
    double drive;        // gain into the saturating cell
    double asymmetry;    // offset of the saturating cell
    double treble;       // g: share of the treble-softened path
    double trebleHz;     // corner of that softening
    double bass;         // e: low-end lift
};

VinylShape vinylShape(double p) {
    return {0.2 + 0.8 * p, 0.35 + 0.85 * p, 0.08 + 0.14 * p, 0.12 + 0.33 * p, 10000.0 - 5000.0 * p, 0.04 + 0.16 * p};
}

double logit(double a) { return std::log(a / (1.0 - a)); }
double sech2(double v) { return 1.0 / (std::cosh(v) * std::cosh(v)); }

Cell memorylessCell(double weight, double bias) {
    Cell c;
    c.inputGateBias = kPinned;
    c.forgetGateBias = -kPinned;
    c.outputGateBias = kPinned;
    c.candidateWeight = weight;
    c.candidateBias = bias;
    return c;
}

Cell lowPassCell(double cornerHz) {
    const double a = std::exp(-6.283185307179586 * cornerHz / kRate);
    Cell c;
    c.forgetGateBias = logit(a);
    c.inputGateBias = -logit(a);  // sigmoid(-logit(a)) = 1 - a: unity gain at DC
    c.outputGateBias = kPinned;
    c.candidateWeight = kLinearInput;
    return c;
}

struct VinylModel {
    std::vector<Cell> cells;
    double denseBias = 0;
};

VinylModel vinylModel(double p) {
    const VinylShape s = vinylShape(p);
    // S(x) = tanh(tanh(d x + b)) - tanh(tanh(b)), scaled to unit slope at rest.
    const double slope = s.drive * sech2(s.asymmetry) * sech2(std::tanh(s.asymmetry));
    VinylModel model;
    Cell linear = memorylessCell(kLinearInput, 0.0);
    linear.dense = ((1.0 - s.treble) * (1.0 - s.saturation) - 1.0) / kLinearInput;
    Cell saturating = memorylessCell(s.drive, s.asymmetry);
    saturating.dense = (1.0 - s.treble) * s.saturation / slope;
    Cell treble = lowPassCell(s.trebleHz);
    treble.dense = s.treble / kLinearInput;
    Cell bass = lowPassCell(120.0);
    bass.dense = s.bass / kLinearInput;
    model.cells = {linear, saturating, treble, bass};
    model.denseBias = -saturating.dense * std::tanh(std::tanh(s.asymmetry));
    return model;
}

// Gate blocks in file order: input, forget, candidate, output.
enum Gate { kInput = 0, kForget = 1, kCandidate = 2, kOutput = 3 };

nlohmann::json stateDict(const VinylModel& model) {
    std::vector<double> weightIh(4 * kHidden, 0.0), biasIh(4 * kHidden, 0.0), dense(kHidden, 0.0);
    for (size_t j = 0; j < model.cells.size(); ++j) {
        const Cell& c = model.cells[j];
        biasIh[kInput * kHidden + j] = c.inputGateBias;
        biasIh[kForget * kHidden + j] = c.forgetGateBias;
        biasIh[kCandidate * kHidden + j] = c.candidateBias;
        biasIh[kOutput * kHidden + j] = c.outputGateBias;
        weightIh[kCandidate * kHidden + j] = c.candidateWeight;
        dense[j] = c.dense;
    }
    nlohmann::json ih = nlohmann::json::array();
    for (double w : weightIh) ih.push_back(floatArray({w}));
    nlohmann::json hh = nlohmann::json::array();
    const nlohmann::json zeroRow = floatArray(std::vector<double>(kHidden, 0.0));
    for (int r = 0; r < 4 * kHidden; ++r) hh.push_back(zeroRow);
    return {
        {"rec.weight_ih_l0", ih},
        {"rec.weight_hh_l0", hh},
        {"rec.bias_ih_l0", floatArray(biasIh)},
        {"rec.bias_hh_l0", floatArray(std::vector<double>(4 * kHidden, 0.0))},
        {"lin.weight", nlohmann::json::array({floatArray(dense)})},
        {"lin.bias", floatArray({model.denseBias})},
    };
}

}  // namespace

void makeVinylModels(const std::filesystem::path& dir) {
    for (int knob : {0, 12, 25, 37, 50, 62, 75, 87, 100}) {
        const nlohmann::json document = {{"state_dict", stateDict(vinylModel(knob / 100.0))}};
        writeJsonFile(dir / ("tv-vinyl-" + std::to_string(knob) + ".json"), document);
    }
}

}  // namespace tolvane::resources

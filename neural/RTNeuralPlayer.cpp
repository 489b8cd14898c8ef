#include "neural/RTNeuralPlayer.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "neural/nam/model_file.h"
#include "platform/foundation/DurableFile.h"

using nlohmann::json;

namespace {

using tolvane::lstm::kHidden;
constexpr int kGates = tolvane::lstm::kRows;

constexpr const char* kErrorDomain = "RTNeuralPlayer";
constexpr int kCannotOpen = -1;
constexpr int kBadModel = -2;

// A model file whose tensors do not have the shape or contents the player needs.
class MalformedModel : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

float finiteOrZero(float x) { return std::isfinite(x) ? x : 0.0f; }

bool fitsFloat(double v) {
    return std::isfinite(v) && std::fabs(v) <= static_cast<double>(std::numeric_limits<float>::max());
}

void checkNumber(const json& value, const std::string& name) {
    if (!value.is_number()) {
        throw MalformedModel(name + ": expected a number, found " + value.type_name());
    }
    if (!fitsFloat(value.get<double>())) {
        throw MalformedModel(name + ": value " + value.dump() + " is not a finite single-precision number");
    }
}

// A flat list of at least minLength numbers.
void checkVector(const json& value, const std::string& name, std::size_t minLength) {
    if (!value.is_array()) {
        throw MalformedModel(name + ": expected a list of numbers, found " + value.type_name());
    }
    if (value.size() < minLength) {
        throw MalformedModel(name + ": expected at least " + std::to_string(minLength) + " numbers, found " +
                             std::to_string(value.size()));
    }
    for (const json& entry : value) checkNumber(entry, name);
}

// A rectangular list of rows: at least minRows rows, each as long as the first and at least
// minColumns long.
void checkMatrix(const json& value, const std::string& name, std::size_t minRows, std::size_t minColumns) {
    if (!value.is_array()) {
        throw MalformedModel(name + ": expected a list of rows, found " + value.type_name());
    }
    if (value.size() < minRows) {
        throw MalformedModel(name + ": expected at least " + std::to_string(minRows) + " rows, found " +
                             std::to_string(value.size()));
    }
    std::size_t columns = 0;
    for (std::size_t r = 0; r < value.size(); ++r) {
        const json& row = value[r];
        if (!row.is_array()) {
            throw MalformedModel(name + ": row " + std::to_string(r) + " is not a list, found " + row.type_name());
        }
        if (r == 0) {
            columns = row.size();
            if (columns < minColumns) {
                throw MalformedModel(name + ": expected rows of at least " + std::to_string(minColumns) +
                                     " numbers, found " + std::to_string(columns));
            }
        } else if (row.size() != columns) {
            throw MalformedModel(name + ": row " + std::to_string(r) + " has " + std::to_string(row.size()) +
                                 " numbers, but row 0 has " + std::to_string(columns));
        }
        for (const json& entry : row) checkNumber(entry, name);
    }
}

float floatAt(const json& list, std::size_t index) { return static_cast<float>(list[index].get<double>()); }

}  // namespace

// The six tensors of a model file, located and checked before anything is copied out of them.
class RTNeuralPlayer::StateDictionary {
public:
    // Looks up and checks the tensors in file order, so the first fault found is reported.
    explicit StateDictionary(const json& root)
        : inputWeights_(matrixAt(root, "rec.weight_ih_l0", kGates, 1)),
          recurrentWeights_(matrixAt(root, "rec.weight_hh_l0", kGates, kHidden)),
          inputBias_(vectorAt(root, "rec.bias_ih_l0", kGates)),
          recurrentBias_(vectorAt(root, "rec.bias_hh_l0", kGates)),
          denseWeights_(matrixAt(root, "lin.weight", 1, kHidden)),
          denseBias_(vectorAt(root, "lin.bias", 1)) {
        checkBiasSums();
    }

    // Fills the weights of a model; the shapes are known to be good at this point. The three
    // sigmoid gate blocks keep half their weights (exact in binary floating point).
    void copyWeightsInto(tolvane::lstm::Weights& w) const {
        for (int gate = 0; gate < tolvane::lstm::kGateBlocks; ++gate) {
            const float scale = gate == tolvane::lstm::kCandidate ? 1.0f : 0.5f;
            for (int unit = 0; unit < kHidden; ++unit) {
                const int row = tolvane::lstm::rowOf(gate, unit);
                const std::size_t fileRow = fileRowOf(gate * kHidden + unit);
                w.gates[0][row] = scale * floatAt(inputWeights_[fileRow], 0);
                for (int k = 0; k < kHidden; ++k) w.gates[1 + k][row] = scale * floatAt(recurrentWeights_[fileRow], k);
                w.bias[row] = scale * biasSum(fileRow);
            }
        }
        for (int j = 0; j < kHidden; ++j) w.dense[j] = floatAt(denseWeights_[0], j);
        w.denseBias = floatAt(denseBias_, 0);
    }

private:
    static const json& tensor(const json& root, const std::string& key) {
        // Throws the JSON library's own error when the key or the dictionary is missing.
        return root.at(json::json_pointer("/state_dict/" + key));
    }
    static const json& matrixAt(const json& root, const std::string& key, std::size_t rows, std::size_t columns) {
        const json& value = tensor(root, key);
        checkMatrix(value, key, rows, columns);
        return value;
    }
    static const json& vectorAt(const json& root, const std::string& key, std::size_t length) {
        const json& value = tensor(root, key);
        checkVector(value, key, length);
        return value;
    }

    // The file stores the gate blocks as i, f, g, o; the model keeps them as f, i, o, g.
    static std::size_t fileRowOf(int modelRow) {
        static constexpr std::array<int, 4> kFileBlock = {1, 0, 3, 2};
        return static_cast<std::size_t>(kFileBlock[modelRow / kHidden] * kHidden + modelRow % kHidden);
    }

    float biasSum(std::size_t fileRow) const { return floatAt(inputBias_, fileRow) + floatAt(recurrentBias_, fileRow); }

    void checkBiasSums() const {
        for (std::size_t n = 0; n < static_cast<std::size_t>(kGates); ++n) {
            if (!std::isfinite(biasSum(n))) {
                throw MalformedModel("rec.bias_ih_l0 + rec.bias_hh_l0: entry " + std::to_string(n) +
                                     " overflows single precision");
            }
        }
    }

    const json& inputWeights_;
    const json& recurrentWeights_;
    const json& inputBias_;
    const json& recurrentBias_;
    const json& denseWeights_;
    const json& denseBias_;
};

RTNeuralPlayer::RTNeuralPlayer() = default;

std::shared_ptr<const RTNeuralPlayer::Weights> RTNeuralPlayer::readWeights(const std::string& path, Error* error) {
    // A file refused before anything is read (a FIFO, a device, one larger than any model) cannot
    // be opened, as a missing one or a folder cannot; the message says why when there is more to
    // say than that.
    std::error_code ec;
    Error refusal;
    std::optional<std::string> text;
    if (!std::filesystem::is_directory(path, ec)) text = readWholeFile(path, &refusal, nam::kMaxModelFileBytes);
    if (!text) {
        const std::string why = refusal.localizedDescription.empty() ? "" : " (" + refusal.localizedDescription + ")";
        setError(error, kErrorDomain, kCannotOpen, "Cannot open file: " + path + why);
        return nullptr;
    }
    try {
        const json root = nam::parse_model_text(std::move(*text), path);
        const StateDictionary dictionary(root);
        // Allocated apart from the control block: a cache's weak reference then keeps only the
        // control block alive, not the weights, once the last player lets go.
        std::shared_ptr<Weights> weights(new Weights);
        dictionary.copyWeightsInto(*weights);
        return weights;
    } catch (const std::exception& e) {
        setError(error, kErrorDomain, kBadModel, e.what());
        return nullptr;
    }
}

bool RTNeuralPlayer::loadModelAtPath(const std::string& path, Error* error) {
    Error failure;
    auto weights = readWeights(path, &failure);
    if (!weights) {
        if (failure.code == kBadModel) _loaded = false;  // a file that cannot be opened keeps the current model
        if (error != nullptr) *error = std::move(failure);
        return false;
    }
    useWeights(std::move(weights));
    return true;
}

void RTNeuralPlayer::useWeights(std::shared_ptr<const Weights> weights) {
    if (!weights) return;
    _weights = std::move(weights);
    reset();
    _loaded = true;
}

void RTNeuralPlayer::reset() { _state = tolvane::lstm::State{}; }

bool RTNeuralPlayer::runs(const float* buffer, int32_t frameCount) const {
    return _loaded && frameCount > 0 && buffer != nullptr;
}

void RTNeuralPlayer::processBuffer(float* buffer, int32_t frameCount) noexcept {
    if (!runs(buffer, frameCount)) return;
    const tolvane::lstm::Stream streams[1] = {{_weights.get(), &_state}};
    for (int32_t s = 0; s < frameCount; ++s) {
        // A NaN or infinity would stay in the recurrent state forever; the model sees silence.
        const float x[1] = {finiteOrZero(buffer[s])};
        float y[1];
        tolvane::lstm::step(streams, x, y);
        buffer[s] = x[0] + y[0];
    }
}

bool RTNeuralPlayer::sameWeights(const RTNeuralPlayer& other) const {
    if (_weights == other._weights) return true;
    const Weights& a = *_weights;
    const Weights& b = *other._weights;
    return std::memcmp(a.gates, b.gates, sizeof a.gates) == 0 && std::memcmp(a.bias, b.bias, sizeof a.bias) == 0 &&
           std::memcmp(a.dense, b.dense, sizeof a.dense) == 0 &&
           std::memcmp(&a.denseBias, &b.denseBias, sizeof a.denseBias) == 0;
}

namespace {

template <bool SharedWeights>
void runLockstep(const tolvane::lstm::Stream (&streams)[2], float* firstBuffer, float* secondBuffer,
                 int32_t frameCount) noexcept {
    for (int32_t s = 0; s < frameCount; ++s) {
        const float x[2] = {finiteOrZero(firstBuffer[s]), finiteOrZero(secondBuffer[s])};
        float y[2];
        tolvane::lstm::step<2, SharedWeights>(streams, x, y);
        firstBuffer[s] = x[0] + y[0];
        secondBuffer[s] = x[1] + y[1];
    }
}

}  // namespace

void RTNeuralPlayer::processBuffers(RTNeuralPlayer& first, float* firstBuffer, RTNeuralPlayer& second,
                                    float* secondBuffer, int32_t frameCount) noexcept {
    if (!tolvane::lstm::kLockstepPays || &first == &second || !first.runs(firstBuffer, frameCount) ||
        !second.runs(secondBuffer, frameCount)) {
        first.processBuffer(firstBuffer, frameCount);
        second.processBuffer(secondBuffer, frameCount);
        return;
    }
    // Equal weights are read once for both: two copies would not fit the first-level cache, and
    // the loads of one copy would limit the step.
    const tolvane::lstm::Stream streams[2] = {{first._weights.get(), &first._state},
                                              {second._weights.get(), &second._state}};
    if (second.sameWeights(first))
        runLockstep<true>(streams, firstBuffer, secondBuffer, frameCount);
    else
        runLockstep<false>(streams, firstBuffer, secondBuffer, frameCount);
}

bool RTNeuralPlayer::isLoaded() const { return _loaded; }

#include "neural/RTNeuralPlayer.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

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

// out = weights * input for a column-major Rows x Columns matrix. Eigen's general product
// spends a good part of this size on set-up and on reloading its results, so the rows are
// walked in chunks small enough to keep their sums in registers, with two interleaved sets
// of sums (even and odd columns) to hide the multiply-add latency.
template <int Rows, int Columns>
void gatePreActivations(const float* weights, const float* input, float* out) noexcept {
    using Eigen::internal::padd;
    using Eigen::internal::pmadd;
    using Eigen::internal::pset1;
    using Packet = Eigen::internal::packet_traits<float>::type;
    constexpr int kWidth = Eigen::internal::packet_traits<float>::size;
    constexpr int kChunk = 5;  // packets per chunk: 10 live sums fit every x86 register file
    static_assert(Rows % (kWidth * kChunk) == 0, "rows must split into whole chunks");
    static_assert(Columns % 2 == 0, "columns are consumed in pairs");

    for (int row = 0; row < Rows; row += kWidth * kChunk) {
        Packet even[kChunk];
        Packet odd[kChunk];
        for (int p = 0; p < kChunk; ++p) even[p] = odd[p] = pset1<Packet>(0.0f);
        for (int k = 0; k < Columns; k += 2) {
            const Packet xEven = pset1<Packet>(input[k]);
            const Packet xOdd = pset1<Packet>(input[k + 1]);
            const float* columnEven = weights + k * Rows + row;
            const float* columnOdd = columnEven + Rows;
            for (int p = 0; p < kChunk; ++p) {
                even[p] = pmadd(Eigen::internal::ploadu<Packet>(columnEven + p * kWidth), xEven, even[p]);
                odd[p] = pmadd(Eigen::internal::ploadu<Packet>(columnOdd + p * kWidth), xOdd, odd[p]);
            }
        }
        for (int p = 0; p < kChunk; ++p) Eigen::internal::pstoreu(out + row + p * kWidth, padd(even[p], odd[p]));
    }
}

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

    // Fills the weights of a model; the shapes are known to be good at this point.
    void copyWeightsInto(Model& model) const {
        for (int block = 0; block < 4; ++block) {
            for (int j = 0; j < kHidden; ++j) {
                const int row = block * kHidden + j;
                const std::size_t fileRow = fileRowOf(row);
                model.combinedWeights(row, 0) = floatAt(inputWeights_[fileRow], 0);
                for (int k = 0; k < kHidden; ++k) {
                    model.combinedWeights(row, 1 + k) = floatAt(recurrentWeights_[fileRow], k);
                }
                model.combinedWeights(row, kInputs - 1) = biasSum(fileRow);
            }
        }
        for (int j = 0; j < kHidden; ++j) model.denseWeights(j) = floatAt(denseWeights_[0], j);
        model.denseWeights(kHidden) = floatAt(denseBias_, 0);
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

RTNeuralPlayer::Model::Model() {
    combinedWeights.setZero();
    denseWeights.setZero();
    fioctsVecs.setZero();
    fioVecs.setZero();
    cTanhVec.setZero();
    clearState();
}

void RTNeuralPlayer::Model::clearState() {
    extendedInHt1Vec.setZero();
    extendedInHt1Vec(kInputs - 1) = 1.0f;
    ctVec.setZero();
    cVec.setZero();
    output = 0.0f;
}

// Once Eigen's 16-wide exp is inlined here, GCC 12 reports the deliberately undefined
// pass-through operand inside its own AVX-512 intrinsics as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
float RTNeuralPlayer::Model::step(float x) noexcept {
    extendedInHt1Vec(0) = x;
    gatePreActivations<kGates, kInputs>(combinedWeights.data(), extendedInHt1Vec.data(), fioctsVecs.data());

    // The sigmoid runs over one whole number of full-width packets; the 8 values past the
    // three gates belong to the candidate block and are never read.
    fioVecs = (1.0f + (-fioctsVecs.head<kSigmoidSpan>().array()).exp()).inverse();
    ctVec = fioctsVecs.tail<kHidden>().array().tanh();

    const auto forget = fioVecs.segment<kHidden>(0);
    const auto input = fioVecs.segment<kHidden>(kHidden);
    const auto outputGate = fioVecs.segment<kHidden>(2 * kHidden);
    cVec = forget * cVec + input * ctVec;
    cTanhVec = cVec.tanh();
    extendedInHt1Vec.segment<kHidden>(1) = (outputGate * cTanhVec).matrix();

    output = denseWeights.head<kHidden>().dot(extendedInHt1Vec.segment<kHidden>(1)) + denseWeights(kHidden);
    return output;
}
#pragma GCC diagnostic pop

RTNeuralPlayer::RTNeuralPlayer() = default;

bool RTNeuralPlayer::loadModelAtPath(const std::string& path, Error* error) {
    std::error_code ec;
    std::ifstream stream;
    if (!std::filesystem::is_directory(path, ec)) stream.open(path);
    if (!stream.is_open()) {
        setError(error, kErrorDomain, kCannotOpen, "Cannot open file: " + path);
        return false;
    }
    try {
        json root;
        stream >> root;  // one value from the start; whatever follows it is not examined
        const StateDictionary dictionary(root);
        auto staged = std::make_unique<Model>();
        dictionary.copyWeightsInto(*staged);
        model_ = *staged;
    } catch (const std::exception& e) {
        loaded_ = false;
        setError(error, kErrorDomain, kBadModel, e.what());
        return false;
    }
    reset();
    loaded_ = true;
    return true;
}

void RTNeuralPlayer::reset() { model_.clearState(); }

void RTNeuralPlayer::processBuffer(float* buffer, int32_t frameCount) noexcept {
    if (!loaded_ || frameCount <= 0 || buffer == nullptr) return;
    for (int32_t s = 0; s < frameCount; ++s) {
        // A NaN or infinity would stay in the recurrent state forever; the model sees silence.
        const float x = finiteOrZero(buffer[s]);
        buffer[s] = x + model_.step(x);
    }
}

bool RTNeuralPlayer::isLoaded() const { return loaded_; }

// Mutated model files against the loader and the player: whatever a file says, loading either
// succeeds or throws a standard exception, nothing crashes or hangs, and no file can make the
// process ask for an unbounded amount of memory.

#include <sys/resource.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "neural/NAMPlayer.h"
#include "neural/nam/get_dsp.h"
#include "tests/neural/NamTestSupport.h"

// Under AddressSanitizer any single allocation above this size aborts the test binary, which is
// how the fuzz proves that no file can ask for huge buffers.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=512"; }

namespace {

using nam_test::json;

// One seed per architecture format, so architectures that register later are fuzzed too.
std::vector<json> seedModels() {
    std::vector<json> seeds;
    seeds.push_back(nam_test::linearModel({1.0f, 0.5f, 0.25f}, 0.1f));
    seeds.push_back(nam_test::withLoudness(nam_test::linearModel(nam_test::randomVector(32, 9, 0.1f)), -20.0));
    auto numbers = [](size_t n) { return nam_test::randomVector(n, static_cast<unsigned>(n), 0.3f); };
    seeds.push_back({{"version", "0.5.4"},
                     {"architecture", "ConvNet"},
                     {"config", {{"channels", 2}, {"dilations", {1, 2}}, {"batchnorm", false}, {"activation", "Tanh"}}},
                     {"weights", numbers(19)},
                     {"sample_rate", 48000}});
    seeds.push_back({{"version", "0.5.4"},
                     {"architecture", "ConvNet"},
                     {"config",
                      {{"channels", 2},
                       {"dilations", {1, 2}},
                       {"batchnorm", true},
                       {"activation", {{"type", "PReLU"}, {"negative_slopes", {0.1, 0.2}}}}}},
                     {"weights", numbers(33)}});
    seeds.push_back({{"version", "0.6.0"},
                     {"architecture", "LSTM"},
                     {"config", {{"num_layers", 1}, {"input_size", 1}, {"hidden_size", 3}}},
                     {"weights", numbers(70)},
                     {"sample_rate", 48000}});
    seeds.push_back({{"version", "0.5.4"},
                     {"architecture", "WaveNet"},
                     {"config",
                      {{"layers",
                        {{{"input_size", 1},
                          {"condition_size", 1},
                          {"channels", 2},
                          {"head_size", 1},
                          {"kernel_size", 2},
                          {"dilations", {1, 2}},
                          {"activation", "Tanh"},
                          {"gated", false},
                          {"head_bias", true}}}},
                       {"head", nullptr},
                       {"head_scale", 0.02}}},
                     {"weights", numbers(42)},
                     {"sample_rate", 48000}});
    return seeds;
}

// Values chosen to sit on the edges of every range a parser checks.
std::vector<json> interestingValues() {
    return {-1,
            0,
            1,
            2,
            3,
            7,
            4096,
            65536,
            1 << 20,
            (1 << 20) + 1,
            std::numeric_limits<int32_t>::max(),
            int64_t{std::numeric_limits<int32_t>::max()} + 1,
            std::numeric_limits<int64_t>::min(),
            std::numeric_limits<uint64_t>::max(),
            1e20,
            -1e20,
            3.5,
            -0.0,
            1e-40,
            3.4e38,
            true,
            false,
            nullptr,
            "",
            "Tanh",
            "PReLU",
            "0.6.3",
            "0.4.0",
            "gated",
            json::array(),
            json::object(),
            json::array({1, 2}),
            json::array({json::object()})};
}

void collectPointers(const json& node, const json::json_pointer& at, std::vector<json::json_pointer>& out) {
    out.push_back(at);
    if (node.is_object())
        for (auto it = node.begin(); it != node.end(); ++it) collectPointers(it.value(), at / it.key(), out);
    else if (node.is_array())
        for (size_t i = 0; i < node.size(); ++i) collectPointers(node[i], at / i, out);
}

class Mutator {
public:
    explicit Mutator(uint32_t seed) : rng_(seed), values_(interestingValues()) {}

    json mutate(json model) {
        const int count = pick(3) + 1;
        for (int i = 0; i < count; ++i) mutateOnce(model);
        return model;
    }

    std::string mutateText(std::string text) {
        const int count = pick(4) + 1;
        for (int i = 0; i < count && !text.empty(); ++i) {
            const size_t at = static_cast<size_t>(pick(static_cast<int>(text.size())));
            switch (pick(4)) {
                case 0: text[at] = static_cast<char>(pick(256)); break;
                case 1: text.insert(at, 1, "{}[]\",:0-9e."[pick(12)]); break;
                case 2: text.erase(at, 1); break;
                default: text.resize(at); break;
            }
        }
        return text;
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

private:
    void mutateOnce(json& model) {
        std::vector<json::json_pointer> pointers;
        collectPointers(model, json::json_pointer(), pointers);
        const json::json_pointer target = pointers[static_cast<size_t>(pick(static_cast<int>(pointers.size())))];
        json& node = model[target];
        switch (pick(5)) {
            case 0:
            case 1: node = values_[static_cast<size_t>(pick(static_cast<int>(values_.size())))]; break;
            case 2: erase(model, target); break;
            case 3: resizeWeights(model); break;
            default:
                if (node.is_array() && !node.empty()) node.push_back(node[0]);
                else if (node.is_number()) node = node.get<double>() * (pick(2) ? -1.0 : 1000.0);
                break;
        }
    }

    void erase(json& model, const json::json_pointer& target) {
        if (target.empty()) return;
        json& parent = model[target.parent_pointer()];
        if (parent.is_object()) parent.erase(target.back());
        else if (parent.is_array() && !parent.empty()) parent.erase(parent.size() - 1);
    }

    void resizeWeights(json& model) {
        if (!model.is_object()) return;
        static const int sizes[] = {0, 1, 2, 3, 4, 5, 18, 19, 20, 32, 33, 41, 42, 69, 70, 71, 300};
        model["weights"] = nam_test::randomVector(static_cast<size_t>(sizes[pick(17)]), 3, 2.0f);
    }

    std::mt19937 rng_;
    std::vector<json> values_;
};

long peakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void loadFromJson(const json& model, int& built) {
    try {
        if (nam::get_dsp(model)) ++built;
    } catch (const std::exception&) {
        // Refusing a bad file is the expected outcome.
    } catch (...) {
        ADD_FAILURE() << "a non-standard exception escaped for " << model.dump();
    }
}

void playFile(const std::string& path, Mutator& dice) {
    static const int32_t resetSizes[] = {-1, 0, 1, 64, 512, 70000};
    static const int32_t blockSizes[] = {0, 1, 37, 64, 511, 512, 513};
    NAMPlayer player;
    Error error;
    if (!player.loadModelAtPath(path, &error)) {
        EXPECT_EQ(error.code, -1);
        return;
    }
    player.resetWithSampleRate(48000.0, resetSizes[dice.pick(6)]);
    std::vector<float> buffer(600, 0.25f);
    for (int i = 0; i < 4; ++i) {
        const int32_t n = blockSizes[dice.pick(7)];
        const bool ok = player.processBuffer(buffer.data(), n, &error);
        if (!ok) {
            EXPECT_TRUE(error.code == -2 || error.code == -3);
        }
        if (n > player.maxFrames() && player.isLoaded()) {
            EXPECT_FALSE(ok);
        }
    }
}

TEST(NamFuzz, MutatedModelsNeverCrashTheLoaderOrThePlayer) {
    [[maybe_unused]] const long peakBefore = peakResidentKilobytes();
    const std::vector<json> seeds = seedModels();
    nam_test::TempDir dir;
    Mutator dice(20240611);
    int built = 0;
    constexpr int kStructuredCases = 3000;
    constexpr int kTextCases = 1500;

    for (int i = 0; i < kStructuredCases; ++i) {
        const json model = dice.mutate(seeds[static_cast<size_t>(i) % seeds.size()]);
        loadFromJson(model, built);
        if (i % 8 == 0) playFile(dir.write("fuzz.nam", model).string(), dice);
    }
    for (int i = 0; i < kTextCases; ++i) {
        const std::string text = dice.mutateText(seeds[static_cast<size_t>(i) % seeds.size()].dump());
        const json parsed = json::parse(text, nullptr, false);
        if (!parsed.is_discarded()) loadFromJson(parsed, built);
        if (i % 8 == 0) playFile(dir.write("fuzz.nam", text).string(), dice);
    }
    // Some mutants must still be valid models, or the fuzz would only exercise the refusals.
    EXPECT_GT(built, 50);
#if !defined(__SANITIZE_ADDRESS__)
    // Without the sanitizer's allocation cap, bound the growth of the resident set instead.
    EXPECT_LT(peakResidentKilobytes() - peakBefore, 1024L * 1024L);
#endif
}

}  // namespace

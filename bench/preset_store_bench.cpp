// Loading the user presets from a defaults file that holds many other keys beside them:
//   Load/<keys>   one load of the presets next to <keys> other keys (about 15 bytes each)
// A load reads the whole file, so its cost grows with the file's length: the fitted complexity
// is linear in the keys (160,000 keys, 2.4 MB, within a second on the build machine).

#include "panel/model/EffectsTable.h"
#include "panel/model/PresetJSON.h"
#include "panel/model/PresetStore.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A defaults file of `keys` keys and the factory presets, in a folder of its own while it lasts.
class ManyKeysStore {
public:
    explicit ManyKeysStore(int keys) {
        std::string pattern = (std::filesystem::temp_directory_path() / "preset-store-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        std::string text = "{\n";
        for (int i = 0; i < keys; ++i) text += "  \"key" + std::to_string(i) + "\": \"v\",\n";
        const std::string presets = encodePresets(makeDefaultPresets(effectsTable()), effectsTable());
        text += "  \"" + std::string(PresetStore::kDefaultsKey) + "\": " + nlohmann::json(presets).dump() + "\n}\n";
        std::ofstream(folder_ / "bench.json", std::ios::binary) << text;
    }
    ~ManyKeysStore() { std::filesystem::remove_all(folder_); }
    ManyKeysStore(const ManyKeysStore&) = delete;
    ManyKeysStore& operator=(const ManyKeysStore&) = delete;

    PresetStore store() const { return PresetStore(UserDefaults(folder_, "bench"), effectsTable()); }

private:
    std::filesystem::path folder_;
};

void Load(benchmark::State& state) {
    const ManyKeysStore file(static_cast<int>(state.range(0)));
    PresetStore store = file.store();
    for (auto _ : state) {
        auto loaded = store.load();
        if (loaded.error || loaded.presets.empty()) state.SkipWithError("the presets did not load");
        benchmark::DoNotOptimize(loaded);
    }
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(Load)->Arg(10000)->Arg(40000)->Arg(160000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK_MAIN();

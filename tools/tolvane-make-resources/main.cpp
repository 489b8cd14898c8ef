// tolvane-make-resources --out <bundle resource dir> --studio-out <studio resource dir>
//                        [--art-font <caption font file for the panel art>]
//
// Writes every model file, sample bed and impulse response the effect loads by name, the front
// panel's images, and the standalone application's test file. The output depends on nothing but
// this program (and the art's caption font).
#include "tools/tolvane-make-resources/Generators.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

namespace {

// The panel art's caption font, from Debian's fonts-bebas-neue unless given.
constexpr const char* kDefaultArtFont = "/usr/share/fonts/opentype/bebas-neue/BebasNeue-Regular.otf";

struct Options {
    std::filesystem::path out;
    std::filesystem::path studioOut;
    std::filesystem::path artFont = kDefaultArtFont;
};

std::optional<Options> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--out") {
            options.out = argv[i + 1];
        } else if (key == "--studio-out") {
            options.studioOut = argv[i + 1];
        } else if (key == "--art-font") {
            options.artFont = argv[i + 1];
        } else {
            return std::nullopt;
        }
    }
    if (argc % 2 == 0 || options.out.empty() || options.studioOut.empty()) return std::nullopt;
    return options;
}

void makeAll(const Options& options) {
    using namespace tolvane::resources;
    std::filesystem::create_directories(options.out);
    std::filesystem::create_directories(options.studioOut);
    makeCrackleBeds(options.out);
    makeHissBed(options.out);
    makeRadioBeds(options.out);
    makeStaticBeds(options.out);
    makeRadioImpulseResponses(options.out);
    makeVinylModels(options.out);
    makeBitModels(options.out);
    makeDriveModels(options.out);
    makePanelArt(options.out, options.artFont);
    makeTestFile(options.studioOut);
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: tolvane-make-resources --out <dir> --studio-out <dir> [--art-font <font file>]\n");
        return 2;
    }
    try {
        makeAll(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvane-make-resources: %s\n", e.what());
        return 1;
    }
    return 0;
}

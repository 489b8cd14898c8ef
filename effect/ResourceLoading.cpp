#include "effect/Kessrin_VinylExtensionAudioUnit.h"

#include "effect/SharedResources.h"
#include "effect/dsp/Levels.h"
#include "effect/dsp/StageGuards.h"
#include "neural/NAMPlayer.h"
#include "neural/RTNeuralPlayer.h"
#include "platform/avfaudio/AVAudioFile.h"
#include "platform/avfaudio/AVAudioPCMBuffer.h"

#include <cstdio>
#include <limits>
#include <optional>

// The resource readers: they fill the render states' slots from the bundle. Model files that are
// missing or rejected print one line each on standard output and leave their slot empty; sample
// beds that cannot be read are skipped silently and keep what their slot held.

namespace {

void printLine(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// A NaN or infinite sample in a bed would be added to the output on every pass of the loop, and
// in an impulse response it would turn every convolution result into NaN: it plays as silence.
void makeFinite(AVAudioPCMBuffer& buffer) {
    float* const* channels = buffer.floatChannelData();
    if (channels == nullptr) return;
    for (uint32_t c = 0; c < buffer.format().channelCount(); ++c) dsp::zeroNonFinite(channels[c], buffer.frameLength());
}

using Bed = std::shared_ptr<const AVAudioPCMBuffer>;
using Response = std::shared_ptr<const std::vector<float>>;

// Reads a whole file into a buffer in the file's own format; nothing when any step fails or the
// file is too long for a buffer (never truncated). An empty file gives an empty buffer.
Bed readBedFile(const std::filesystem::path& url) {
    auto file = openAudioFileForReading(url.string(), nullptr);
    if (!file) return nullptr;
    const int64_t frames = file->length();
    if (frames < 0 || frames > std::numeric_limits<uint32_t>::max()) return nullptr;
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(file->processingFormat(), std::max<uint32_t>(1, static_cast<uint32_t>(frames)));
    if (!buffer) return nullptr;
    if (!file->readIntoBuffer(*buffer, nullptr)) return nullptr;
    makeFinite(*buffer);
    return buffer;
}

// The bed of that name, shared with every unit in the process that plays the same file.
Bed readBed(const Bundle& bundle, const std::string& name) {
    const auto url = bundle.URLForResource(name, "wav");
    if (!url) return nullptr;
    return SharedResources::process().find<AVAudioPCMBuffer>("bed", *url, [&] { return readBedFile(*url); });
}

// The per-frame mean of all channels of an impulse response; nothing when it has no samples.
Response monoResponse(const AVAudioPCMBuffer& buffer) {
    const float* const* channels = buffer.floatChannelData();
    if (channels == nullptr) return nullptr;
    const uint32_t c = std::max<uint32_t>(1, buffer.format().channelCount());
    auto shared = std::make_shared<std::vector<float>>(buffer.frameLength());
    std::vector<float>& response = *shared;
    for (uint32_t j = 0; j < response.size(); ++j) {
        float sum = 0;
        for (uint32_t ch = 0; ch < buffer.format().channelCount(); ++ch) sum += channels[ch][j];
        response[j] = dsp::finiteOrZero(sum / static_cast<float>(c));  // a sum of huge samples can overflow
    }
    return shared;
}

// The mono impulse response of that name, shared like the beds.
Response readResponse(const Bundle& bundle, const std::string& name) {
    const auto url = bundle.URLForResource(name, "wav");
    if (!url) return nullptr;
    return SharedResources::process().find<std::vector<float>>("mono response", *url, [&]() -> Response {
        const Bed bed = readBedFile(*url);
        return bed ? monoResponse(*bed) : nullptr;
    });
}

struct ModelFileKind {
    const char* extension;
    const char* missingLine;  // followed by name + "." + extension
    const char* errorLine;    // followed by name + "." + extension + ": " + error
};

constexpr ModelFileKind kVinylFiles{"json", "Warning: Missing RTNeural file: ", "Error loading RTNeural file "};
constexpr ModelFileKind kBitFiles{"nam", "Warning: Missing NAM bit file: ", "Error loading NAM bit file "};
constexpr ModelFileKind kDriveFiles{"nam", "Warning: Missing NAM drive file: ", "Error loading NAM drive file "};

bool loadPlayer(NAMPlayer& player, const std::filesystem::path& file, Error* error) {
    return player.loadModelAtPath(file.string(), error);
}

// Equal VINYL models share one copy of their weights across channels and units: less memory,
// and the two channels' players are known to run equal models without comparing them.
bool loadPlayer(RTNeuralPlayer& player, const std::filesystem::path& file, Error* error) {
    auto weights = SharedResources::process().find<RTNeuralPlayer::Weights>(
        "vinyl model", file, [&] { return RTNeuralPlayer::readWeights(file.string(), error); });
    if (!weights) return false;
    player.useWeights(std::move(weights));
    return true;
}

// Loads one player per name into the slots; `prepare` runs on each loaded player before it is
// published. After the run every slot holds a player of this run or nothing.
template <class Player, std::size_t N, class Names, class Prepare>
void loadModelFiles(ResourcePublisher& publisher, const Bundle& bundle, const ModelFileKind& kind,
                    const Names& names, std::array<ResourceSlot<Player>, N>& slots, Prepare prepare) {
    for (std::size_t i = 0; i < N; ++i) {
        const std::string fileName = names[i] + "." + kind.extension;
        const auto url = bundle.URLForResource(names[i], kind.extension);
        if (!url) {
            printLine(kind.missingLine + fileName);
            publisher.publish(slots[i], {});
            continue;
        }
        auto player = std::make_shared<Player>();
        Error error;
        if (loadPlayer(*player, *url, &error)) {
            prepare(*player);
            publisher.publish(slots[i], std::move(player));
        } else {
            printLine(kind.errorLine + fileName + ": " + error.description());
            publisher.publish(slots[i], {});
        }
    }
}

}  // namespace

void Kessrin_VinylExtensionAudioUnit::loadHissBed() {
    if (auto bed = readBed(resourceBundle_, "hiss")) resourcePublisher.publish(renderState->hissBuffer, std::move(bed));
}

void Kessrin_VinylExtensionAudioUnit::loadVinylModels(RenderState& state) {
    loadModelFiles(resourcePublisher, resourceBundle_, kVinylFiles, vinylProfileNames, state.vinylPlayers,
                   [](RTNeuralPlayer&) {});
}

void Kessrin_VinylExtensionAudioUnit::loadBitModels(RenderState& state, double sampleRate) {
    const int32_t frames = maxFrames == 0 ? 4096 : static_cast<int32_t>(std::min<uint32_t>(maxFrames, INT32_MAX));
    loadModelFiles(resourcePublisher, resourceBundle_, kBitFiles, bitProfileNames, state.lofiBitPlayers,
                   [&](NAMPlayer& p) { p.resetWithSampleRate(sampleRate, frames); });
}

void Kessrin_VinylExtensionAudioUnit::loadDriveModels(RenderState& state, double sampleRate) {
    const int32_t frames = maxFrames == 0 ? 4096 : static_cast<int32_t>(std::min<uint32_t>(maxFrames, INT32_MAX));
    loadModelFiles(resourcePublisher, resourceBundle_, kDriveFiles, driveProfileNames, state.drivePlayers,
                   [&](NAMPlayer& p) { p.resetWithSampleRate(sampleRate, frames); });
}

void Kessrin_VinylExtensionAudioUnit::loadCrackleBeds() {
    const char* names[] = {"crackle25", "crackle50", "crackle75", "crackle100"};
    for (std::size_t i = 0; i < std::size(names); ++i)
        if (auto bed = readBed(resourceBundle_, names[i])) resourcePublisher.publish(renderState->crackleBuffers[i], std::move(bed));
}

void Kessrin_VinylExtensionAudioUnit::loadRadioBeds() {
    for (std::size_t i = 0; i < renderState->radioBuffers.size(); ++i) {
        const std::string name = i == 0 ? "tvradio" : "tvradio_" + std::to_string(i + 1);
        if (auto bed = readBed(resourceBundle_, name)) {
            resourcePublisher.publish(renderState->radioBuffers[i], bed);
            resourcePublisher.publish(radioRightState->radioBuffers[i], std::move(bed));
        }
    }
}

void Kessrin_VinylExtensionAudioUnit::loadStaticBeds() {
    for (std::size_t i = 0; i < renderState->staticBuffers.size(); ++i) {
        if (auto bed = readBed(resourceBundle_, "static" + std::to_string(i + 1))) {
            resourcePublisher.publish(renderState->staticBuffers[i], bed);
            resourcePublisher.publish(radioRightState->staticBuffers[i], std::move(bed));
        }
    }
}

void Kessrin_VinylExtensionAudioUnit::loadRadioImpulseResponses() {
    const int filterValues[] = {0, 12, 25, 37, 50, 62, 75, 87, 100};
    std::size_t longest = 0;
    for (std::size_t i = 0; i < std::size(filterValues); ++i) {
        Response response = readResponse(resourceBundle_, "tvradio_" + std::to_string(filterValues[i]) + "-48k");
        if (!response) continue;
        longest = std::max(longest, response->size());
        // One read-only array for both states.
        resourcePublisher.publish(renderState->radioAMIRs[i], response);
        resourcePublisher.publish(radioRightState->radioAMIRs[i], std::move(response));
    }
    if (longest == 0) return;
    resourcePublisher.publish(renderState->radioAMIRHistory, std::make_shared<std::vector<float>>(longest, 0.0f));
    resourcePublisher.publish(radioRightState->radioAMIRHistory, std::make_shared<std::vector<float>>(longest, 0.0f));
}

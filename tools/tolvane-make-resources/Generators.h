#pragma once

#include <filesystem>

// The makers of every generated resource. Each writes its files into the given folder and throws
// std::runtime_error when it cannot. All of them are deterministic: fixed seeds, no clock.
namespace tolvane::resources {

// Vinyl surface: "crackle25", "crackle50", "crackle75", "crackle100" (stereo WAV).
void makeCrackleBeds(const std::filesystem::path& dir);
// Device hiss: "hiss" (mono WAV).
void makeHissBed(const std::filesystem::path& dir);
// Radio dial noise: "tvradio", "tvradio_2" ... "tvradio_22" (mono WAV).
void makeRadioBeds(const std::filesystem::path& dir);
// Static bursts: "static1" ... "static9" (mono WAV).
void makeStaticBeds(const std::filesystem::path& dir);
// Small-speaker responses: "tvradio_<k>-48k" for k = 0, 12, ... 100 (mono float WAV, 48 kHz).
void makeRadioImpulseResponses(const std::filesystem::path& dir);
// VINYL recurrent models: "tv-vinyl-<k>.json".
void makeVinylModels(const std::filesystem::path& dir);
// LO-FI quantiser models: "bit<k>.nam".
void makeBitModels(const std::filesystem::path& dir);
// FILLDRIVE saturation models: "tv-drive-<k>.nam".
void makeDriveModels(const std::filesystem::path& dir);
// The front panel's images (PNG, twice the reference size): "background_panel_1344x835",
// "dividerline", "ticks", "ticks_white", "knobbase2", "pointer2", the sixteen effect buttons
// ("vinyl", "vinylOn", "lofi", "LofiOn", ...), "AMswitch" and "FMswitch". Captions on the art are
// set in the font file given.
void makePanelArt(const std::filesystem::path& dir, const std::filesystem::path& captionFont);
// The standalone application's looping test file: "Synth.aif".
void makeTestFile(const std::filesystem::path& dir);

}  // namespace tolvane::resources

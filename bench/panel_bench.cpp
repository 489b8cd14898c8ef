// The panel's drawing cost on an off-screen Cairo surface, at the reference size (s = 1) and at
// twice it (s = 2), preset bar and display included:
//   Draw/full        every frame from scratch (caches dropped): the first frame and every resize
//   Draw/knobTurn    a knob turned since the last frame: the cached layers, pointers and readouts
//   Draw/chooserFull from scratch with the preset list open over the panel (eleven presets)
// Goals on the build machine: a full draw within 3 ms at s = 1 and 10 ms at s = 2. An open editor
// with nothing changing draws nothing at all (the view asks for a frame only after a change).

#include "panel/AudioUnitViewController.h"
#include "panel/render/PanelRenderer.h"
#include "platform/dispatch/DispatchQueue.h"

#include <benchmark/benchmark.h>

#include <iostream>

namespace {

struct Panel {
    std::shared_ptr<AudioUnitViewController> controller =
        std::make_shared<AudioUnitViewController>(std::nullopt, Bundle(TOLVANE_RESOURCE_DIR));
    Panel() {
        MainQueue::drain();
        controller->createAudioUnit({fourCharCode("aufx"), fourCharCode("vnyl"), fourCharCode("MrLw"), 0, 0});
        MainQueue::drain();
    }
    Kessrin_VinylExtensionMainView& view() { return *controller->currentPanel(); }
};

void draw(benchmark::State& state, bool full, bool chooser = false) {
    const double s = static_cast<double>(state.range(0));
    Panel panel;
    // The factory presets straight from the table: the user's own presets are never touched. The
    // panel's parameter trace stays out of the results.
    panel.view().presets = makeDefaultPresets(panel.view().effects);
    std::streambuf* out = std::cout.rdbuf(nullptr);
    panel.view().applyPreset(panel.view().presets[0]);
    std::cout.rdbuf(out);
    std::cout.clear();
    panel.view().showPresetChooser = chooser;
    PanelRenderer renderer(Bundle(TOLVANE_RESOURCE_DIR));
    const int w = static_cast<int>(672 * s), h = static_cast<int>(418 * s);
    Surface surface = makeImageSurface(w, h);
    Context cr = makeContext(surface.get());
    auto& knob = *panel.view().parameterTree->parameter("compressor");
    float value = 0;
    for (auto _ : state) {
        if (full) renderer.invalidateCaches();
        value = value >= 100 ? 0 : value + 1;
        knob.applyHostUpdate(0, value);
        renderer.draw(cr.get(), layoutPanel(w, h, panel.view(), renderer.textMetrics()), panel.view());
        cairo_surface_flush(surface.get());
    }
}

void Full(benchmark::State& state) { draw(state, true); }
void KnobTurn(benchmark::State& state) { draw(state, false); }
void ChooserFull(benchmark::State& state) { draw(state, true, true); }

}  // namespace

BENCHMARK(Full)->Name("Draw/full")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(KnobTurn)->Name("Draw/knobTurn")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(ChooserFull)->Name("Draw/chooserFull")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

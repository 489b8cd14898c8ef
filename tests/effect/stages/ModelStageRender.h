#pragma once

// The render-block tests of the stages that play `.nam` models (LO-FI and FILLDRIVE): a bundle
// of small Linear models, and long runs with the knobs moving.

#include "tests/effect/stages/StageModelFiles.h"
#include "tests/support/EffectHost.h"
#include "tests/support/RenderSoak.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace stage_test {

// A bundle with one Linear model per name (taps(i) for the i-th), and hosts on it in `mode`.
class LinearModelBundle {
public:
    LinearModelBundle(AUValue mode, const std::vector<std::string>& names,
                      const std::function<std::vector<float>(float)>& taps)
        : mode_(mode) {
        for (std::size_t i = 0; i < names.size(); ++i) folder_.writeLinear(names[i], taps(static_cast<float>(i)));
    }

    tolvane::test::EffectHost host(uint32_t maxFrames = 512) const {
        tolvane::test::EffectHost h({.maxFrames = maxFrames, .bundle = Bundle(folder_.path())});
        h.set(ParameterAddress::effectMode, mode_);
        return h;
    }

private:
    ModelFolder folder_;
    AUValue mode_;
};

// 1500 blocks of 1 to 1024 frames of a tone, every fourth one mono, each with COMPRESSOR,
// CRACKLE (ramped) and WOW/FLUTTER moved at random by render events; WOW/FLUTTER goes to 0 on
// every `wowOffEvery`-th block when that is not 0. Stops at a failed render call.
inline tolvane::test::RenderSoak soakWithKnobsMoving(tolvane::test::EffectHost& host, unsigned seed, int wowOffEvery = 0) {
    using tolvane::test::parameterEvent;
    namespace addr = ParameterAddress;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> knob(0, 100);
    tolvane::test::RenderSoak soak(host);
    for (int block = 0; block < 1500; ++block) {
        soak.fillTone(block, 1.0f, 0.01f);
        auto e2 = parameterEvent(addr::wowFlutter, wowOffEvery != 0 && block % wowOffEvery == 0 ? 0.0f : knob(rng));
        auto e1 = parameterEvent(addr::crackle, knob(rng), AURenderEventType::parameterRamp, &e2);
        auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameter, &e1);
        const AUAudioUnitStatus status = soak.render(1 + (block * 37) % 1024, block % 4 == 0, &e0);
        if (status != noErr) {
            ADD_FAILURE() << "block " << block << " returned " << status;
            break;
        }
    }
    return soak;
}

// The bundle's own models, as generated at build time: 600 stereo blocks of 256 to 1024 frames
// of a tone, with the three knobs moved at random on every eighth block. Stops at a failed call.
inline tolvane::test::RenderSoak soakOnGeneratedModels(tolvane::test::EffectHost& host) {
    using tolvane::test::parameterEvent;
    namespace addr = ParameterAddress;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> knob(0, 100);
    tolvane::test::RenderSoak soak(host);
    for (int block = 0; block < 600; ++block) {
        soak.fillTone(block, 0.3f, 0.013f);
        auto e2 = parameterEvent(addr::wowFlutter, knob(rng));
        auto e1 = parameterEvent(addr::crackle, knob(rng), AURenderEventType::parameter, &e2);
        auto e0 = parameterEvent(addr::compressor, knob(rng), AURenderEventType::parameter, &e1);
        const AUAudioUnitStatus status = soak.render(256 + (block * 37) % 769, false, block % 8 == 0 ? &e0 : nullptr);
        if (status != noErr) {
            ADD_FAILURE() << "block " << block << " returned " << status;
            break;
        }
    }
    return soak;
}

}  // namespace stage_test

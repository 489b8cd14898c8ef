#pragma once

// The character each model family promises, checked by measurement. The same checks run on the
// independent references and, where the engine provides them, on the real players.

#include "tests/tools/ModelTestSupport.h"

#include <gtest/gtest.h>

namespace tolvane::test {

// Gives a fresh processor for the model of the given knob value.
using ModelSource = std::function<Processor(int knob)>;

// VINYL: saturation that grows with the profile yet stays gentle, and a warmth (treble softened,
// lows lifted) that also grows; unity level in the midrange.
inline void checkVinylCharacter(const ModelSource& model) {
    double lastThd = -1.0, lastTreble = 1e9, lastBass = -1e9;
    for (int knob : kProfileKnobs) {
        SCOPED_TRACE("tv-vinyl-" + std::to_string(knob));
        const Processor p = model(knob);
        // +8 dB into the models: a -18 dBFS programme peaks around 0.45 here.
        const double thd = harmonicsOf(p, 0.45).thd();
        EXPECT_GT(thd, lastThd * 1.1);
        EXPECT_LT(thd, 0.06) << "gentle";
        const double mid = gainDb(p, 1000.0, 0.05);
        EXPECT_NEAR(mid, 0.0, 1.5);
        const double treble = gainDb(p, 8000.0, 0.05) - mid;
        const double bass = gainDb(p, 100.0, 0.05) - mid;
        EXPECT_LT(treble, lastTreble);
        EXPECT_GT(bass, lastBass);
        lastThd = thd;
        lastTreble = treble;
        lastBass = bass;
    }
    EXPECT_LT(lastTreble, -1.0) << "the warmest profile audibly softens the treble";
}

// FILLDRIVE: soft, slightly asymmetric drive growing with the profile, at any input level.
inline void checkDriveCharacter(const ModelSource& model) {
    for (double amplitude : {0.1, 0.3}) {
        double lastThd = -1.0;
        for (int knob : kProfileKnobs) {
            SCOPED_TRACE("tv-drive-" + std::to_string(knob) + " at " + std::to_string(amplitude));
            const Harmonics h = harmonicsOf(model(knob), amplitude);
            EXPECT_GT(h.thd(), lastThd * 1.1);
            EXPECT_GT(toDb(h.level[2] / h.level[1]), -60.0) << "asymmetric: even harmonics";
            EXPECT_GT(h.level[3], h.level[5]) << "soft: harmonics fall away";
            lastThd = h.thd();
        }
        EXPECT_GT(lastThd, amplitude / 2.0) << "the top profile really drives";
    }
}

// LO-FI: a quantising staircase, coarser for more crush, that keeps silence silent.
inline void checkBitCharacter(const std::function<Processor(int knob)>& model) {
    size_t lastLevels = SIZE_MAX;
    for (int knob : kBitKnobs) {
        SCOPED_TRACE("bit" + std::to_string(knob));
        const Processor p = model(knob);
        const size_t levels = heldLevels(p);
        EXPECT_LT(levels, lastLevels);
        lastLevels = levels;
        const std::vector<double> silence = p(std::vector<double>(256, 0.0));
        EXPECT_LT(peakOf(silence), 1e-6);
        std::vector<double> ramp(4000);
        for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = -1.0 + 2.0 * i / (ramp.size() - 1);
        const std::vector<double> out = p(ramp);
        for (size_t i = 1; i < out.size(); ++i) {
            ASSERT_GE(out[i], out[i - 1] - 1e-6) << "a quantiser never turns back";
        }
        if (knob == 0) {
            EXPECT_GE(levels, 49u) << "the lightest profile is still fine-grained";
        }
    }
    EXPECT_LE(lastLevels, 9u) << "the crushed end is a few bits";
}

// The players bring every .nam model to -18 dB for a -18 dBFS programme; the file's loudness
// figure says what correction that takes.
inline void checkNormalisedLevel(const Processor& p, double toleranceDb) {
    EXPECT_NEAR(toDb(rmsOf(p(pinkReference(65536)))), -18.0, toleranceDb);
}

}  // namespace tolvane::test

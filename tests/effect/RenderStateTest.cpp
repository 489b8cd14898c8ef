#include "effect/DelayLine.h"
#include "effect/RenderState.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(DelayLineTest, ReadsBehindTheWriteHeadWithClampingAndInterpolation) {
    DelayLine line;
    for (float d : {1.f, 100.f, 4095.f, 9000.f}) EXPECT_EQ(line.read(d), 0);
    line.write(1);
    line.write(2);
    line.write(3);
    EXPECT_EQ(line.read(1), 3);
    EXPECT_EQ(line.read(2), 2);
    EXPECT_EQ(line.read(1.5f), 2.5f);
    EXPECT_EQ(line.read(0.2f), 3);  // held at 1
    EXPECT_EQ(line.read(3), 1);
    EXPECT_EQ(line.read(5000), 0);  // held at 4095: 4095 writes back, never written
    EXPECT_EQ(line.read(std::nanf("")), 0);
}

TEST(DelayLineTest, WritesWrapAfterTheCapacity) {
    DelayLine line;
    for (int i = 0; i < 4096; ++i) line.write(static_cast<float>(i));
    EXPECT_EQ(line.writeHead, 0);
    EXPECT_EQ(line.read(1), 4095);
    EXPECT_EQ(line.read(4095), 1);
    line.write(-1);
    EXPECT_EQ(line.read(1), -1);
    EXPECT_EQ(line.read(1.25f), 0.75f * -1 + 0.25f * 4095);
}

TEST(RenderStateTest, NonZeroInitialValuesAndSlotCounts) {
    RenderState s;
    EXPECT_EQ(s.inputChannelCount, 2);
    EXPECT_EQ(s.fadeInSamplesRemaining, 4096);
    EXPECT_EQ(s.lastMode, -1);
    EXPECT_EQ(s.modeFadeLength, 4096);
    EXPECT_EQ(s.modeFadeInLength, 1024);
    EXPECT_EQ(s.compAutoLevelDB, -120);
    EXPECT_EQ(s.lookaheadCapacity, 512);
    EXPECT_EQ(s.currentDelay, 512);
    EXPECT_EQ(s.hpfB0, 1);
    EXPECT_EQ(s.eqB0, 1);
    EXPECT_EQ(s.driveActiveIdx, -1);
    EXPECT_EQ(s.drivePendingIdx, -1);
    EXPECT_EQ(s.driveDuckLength, 2048);
    EXPECT_EQ(s.radioCrossfade, 1);
    EXPECT_EQ(s.radioFMAGCGain, 1);
    EXPECT_EQ(s.chorusIIILFOPhaseR, 0.5);
    EXPECT_EQ(s.crackleBuffers.size(), 4u);
    EXPECT_EQ(s.vinylPlayers.size(), 9u);
    EXPECT_EQ(s.lofiBitPlayers.size(), 7u);
    EXPECT_EQ(s.drivePlayers.size(), 9u);
    EXPECT_EQ(s.radioBuffers.size(), 22u);
    EXPECT_EQ(s.radioAMIRs.size(), 9u);
    EXPECT_EQ(s.staticBuffers.size(), 9u);
    EXPECT_TRUE(s.hissBuffer.empty());
    EXPECT_TRUE(s.pitchBuf.empty());
    EXPECT_TRUE(s.chorusIIILBuf.empty());
}

TEST(RenderStateTest, FirstUseBuffersHaveTheirCapacityReserved) {
    RenderState s;
    EXPECT_GE(s.chorusIIILBuf.capacity(), 2048u);
    EXPECT_GE(s.flangerRBuf.capacity(), 2048u);
    EXPECT_GE(s.pitchDelayBuf.capacity(), 32768u);
}

}  // namespace

// Convolution layers and their history: checked against a naive double-precision convolution
// read straight from the flat weight list, across block splits and history rewinds.

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "neural/nam/conv1d.h"
#include "neural/nam/conv1x1.h"
#include "neural/nam/ring_buffer.h"
#include "tests/neural/NamArchTestSupport.h"
#include "tests/support/AllocationCounter.h"

namespace {

using nam_test::ConvReference;
using nam_test::Signal;

constexpr double kTolerance = 1e-5;

// ---------------------------------------------------------------------------------------------
// RingBuffer

Eigen::MatrixXf ramp(int channels, int frames, float start) {
    Eigen::MatrixXf m(channels, frames);
    for (int t = 0; t < frames; ++t)
        for (int c = 0; c < channels; ++c) m(c, t) = start + t + 100.0f * c;
    return m;
}

TEST(RingBuffer, RewindKeepsTheLastLookbackFramesAndLandsTheBlockAfterThem) {
    nam::RingBuffer ring;
    ring.SetMaxLookback(3);
    ring.Reset(2, 8);
    ASSERT_EQ(ring.GetStorageColumns(), 14);
    ASSERT_EQ(ring.GetWritePos(), 3);

    ring.Write(ramp(2, 8, 0.0f), 8);  // frames 0..7
    ring.Advance(8);
    ring.Write(ramp(2, 2, 8.0f), 2);  // frames 8..9
    ring.Advance(2);
    ASSERT_EQ(ring.GetWritePos(), 13);
    ASSERT_TRUE(ring.NeedsRewind(2));

    ring.Write(ramp(2, 2, 10.0f), 2);  // frames 10..11 land after a rewind
    EXPECT_EQ(ring.GetWritePos(), 3);
    const Eigen::MatrixXf window = ring.Read(5, 3);  // frames 7..11, contiguous again
    EXPECT_TRUE(window.isApprox(ramp(2, 5, 7.0f))) << window;
}

TEST(RingBuffer, WithoutLookbackItIsExactlyOneBlockAndRewindsToColumnZero) {
    nam::RingBuffer ring;
    ring.Reset(1, 4);
    EXPECT_EQ(ring.GetStorageColumns(), 4);
    EXPECT_EQ(ring.GetWritePos(), 0);
    ring.Write(ramp(1, 3, 0.0f), 3);
    ring.Advance(3);
    ring.Write(ramp(1, 2, 3.0f), 2);
    EXPECT_EQ(ring.GetWritePos(), 0);
    EXPECT_TRUE(Eigen::MatrixXf(ring.Read(2, 0)).isApprox(ramp(1, 2, 3.0f)));
}

TEST(RingBuffer, ResetClearsThePast) {
    nam::RingBuffer ring;
    ring.SetMaxLookback(2);
    ring.Reset(1, 4);
    ring.Write(ramp(1, 4, 1.0f), 4);
    ring.Advance(4);
    ring.Reset(1, 4);
    ring.Write(Eigen::MatrixXf::Zero(1, 1), 1);
    EXPECT_TRUE(Eigen::MatrixXf(ring.Read(1, 2)).isZero());
    EXPECT_THROW(ring.SetMaxLookback(-1), std::invalid_argument);
}

// ---------------------------------------------------------------------------------------------
// Conv1D

struct ConvShape {
    int in, out, kernel, dilation, groups;
    bool bias;
};

std::string describe(const ConvShape& s) {
    return "in " + std::to_string(s.in) + " out " + std::to_string(s.out) + " K " + std::to_string(s.kernel) +
           " d " + std::to_string(s.dilation) + " G " + std::to_string(s.groups) + (s.bias ? " bias" : "");
}

// Streams `input` through `conv` in blocks of the given lengths and gathers the outputs.
Eigen::MatrixXf stream(nam::Conv1D& conv, const Eigen::MatrixXf& input, const std::vector<int>& lengths) {
    Eigen::MatrixXf result(conv.get_out_channels(), input.cols());
    long done = 0;
    for (const int n : lengths) {
        conv.Process(input.middleCols(done, n), n);
        result.middleCols(done, n) = conv.GetOutput(n);
        done += n;
    }
    return result;
}

const std::vector<ConvShape> kConvShapes = {
    {1, 1, 1, 1, 1, true},    // kernel 1: no history at all
    {1, 1, 2, 4, 1, true},    // one dilated tap pair
    {3, 5, 3, 2, 1, false},   // general, no bias
    {4, 6, 2, 3, 2, true},    // two groups: block-diagonal taps
    {8, 8, 3, 5, 8, true},    // depthwise
    {6, 6, 4, 7, 3, true},    // three groups, long look-back
    {16, 16, 3, 64, 1, true}, // look-back longer than the blocks
    {2, 4, 2, 0, 1, true},    // dilation 0: every tap reads the current frame
};

TEST(Conv1D, MatchesTheNaiveReferenceForEveryShapeAndBlockSplit) {
    const int frames = 2000, maxBlock = 96;
    unsigned seed = 1;
    for (const ConvShape& shape : kConvShapes) {
        SCOPED_TRACE(describe(shape));
        const ConvReference reference{shape.in, shape.out, shape.kernel, shape.dilation, shape.groups, shape.bias};
        const auto weights = nam_test::seededWeights(reference.weightCount() + 3, ++seed);  // 3 spare
        const Signal x = nam_test::seededSignal(shape.in, frames, ++seed);
        size_t pos = 0;
        const Signal expected = reference.run(weights, pos, x);

        nam::Conv1D conv;
        nam::weights_it it = weights.begin();
        conv.set_size_and_weights_(shape.in, shape.out, shape.kernel, shape.dilation, shape.bias, shape.groups, it);
        EXPECT_EQ(it - weights.begin(), static_cast<long>(reference.weightCount()));
        EXPECT_EQ(conv.get_num_weights(), static_cast<long>(reference.weightCount()));
        EXPECT_EQ(conv.is_depthwise(), shape.in == shape.out && shape.in == shape.groups);

        const Eigen::MatrixXf input = nam_test::toMatrix(x);
        for (const int split : {1, 7, 64, maxBlock}) {
            conv.SetMaxBufferSize(maxBlock);  // also clears the history of the previous pass
            EXPECT_LT(nam_test::maxRelativeError(stream(conv, input, nam_test::blockLengths(frames, split)), expected),
                      kTolerance)
                << "split " << split;
        }
        conv.SetMaxBufferSize(maxBlock);
        EXPECT_LT(nam_test::maxRelativeError(stream(conv, input, nam_test::irregularBlockLengths(frames, maxBlock, seed)),
                                             expected),
                  kTolerance);
    }
}

TEST(Conv1D, DilatedPairByHand) {
    // y[t] = W1 x[t] + W0 x[t - 4] + b on an impulse: 3 + 0.5 at t = 0, 2 + 0.5 at t = 4.
    nam::Conv1D conv;
    const std::vector<float> weights = {2.0f, 3.0f, 0.5f};
    nam::weights_it it = weights.begin();
    conv.set_size_and_weights_(1, 1, 2, 4, true, 1, it);
    conv.SetMaxBufferSize(8);
    Eigen::MatrixXf impulse = Eigen::MatrixXf::Zero(1, 8);
    impulse(0, 0) = 1.0f;
    conv.Process(impulse, 8);
    const Eigen::RowVectorXf expected = (Eigen::RowVectorXf(8) << 3.5f, 0.5f, 0.5f, 0.5f, 2.5f, 0.5f, 0.5f, 0.5f).finished();
    EXPECT_TRUE(conv.GetOutput(8).row(0).isApprox(expected)) << conv.GetOutput(8);
}

TEST(Conv1D, GroupedTapsAreBlockDiagonal) {
    nam::Conv1D conv;
    conv.set_size_(4, 6, 2, true, 1, 2);
    EXPECT_EQ(conv.get_num_weights(), 12 * 2 + 6);
    std::vector<float> ones(conv.get_num_weights(), 1.0f);
    nam::weights_it it = ones.begin();
    conv.set_weights_(it);
    conv.SetMaxBufferSize(1);
    // Input only on channel 0 (group 0): outputs 0-2 see it twice per tap pair, 3-5 only the bias.
    Eigen::MatrixXf x = Eigen::MatrixXf::Zero(4, 1);
    x(0, 0) = 1.0f;
    conv.Process(x, 1);
    const Eigen::VectorXf expected = (Eigen::VectorXf(6) << 2, 2, 2, 1, 1, 1).finished();
    EXPECT_TRUE(conv.GetOutput(1).col(0).isApprox(expected)) << conv.GetOutput(1);
}

TEST(Conv1D, HistoryFreeFormMatchesStreaming) {
    const ConvShape shape{3, 2, 3, 2, 1, true};
    nam::Conv1D conv;
    const auto weights = nam_test::seededWeights(100, 7);
    nam::weights_it it = weights.begin();
    conv.set_size_and_weights_(shape.in, shape.out, shape.kernel, shape.dilation, shape.bias, shape.groups, it);
    const long lookback = conv.get_lookback();
    // Input with `lookback` silent frames in front, as a caller holding the past would have.
    const Eigen::MatrixXf signal = nam_test::toMatrix(nam_test::seededSignal(3, 40, 8));
    Eigen::MatrixXf padded = Eigen::MatrixXf::Zero(3, 40 + lookback);
    padded.rightCols(40) = signal;
    Eigen::MatrixXf output = Eigen::MatrixXf::Constant(2, 45, 9.0f);
    conv.process_(padded, output, lookback, 40, 5);

    conv.SetMaxBufferSize(40);
    conv.Process(signal, 40);
    EXPECT_TRUE(output.middleCols(5, 40).isApprox(conv.GetOutput().leftCols(40)));
    EXPECT_TRUE(output.leftCols(5).isConstant(9.0f));  // columns outside the range untouched
}

TEST(Conv1D, SetMaxBufferSizeClearsTheHistory) {
    nam::Conv1D conv;
    const auto weights = nam_test::seededWeights(20, 3);
    nam::weights_it it = weights.begin();
    conv.set_size_and_weights_(2, 2, 3, 3, true, 1, it);
    conv.SetMaxBufferSize(16);
    const Eigen::MatrixXf x = nam_test::toMatrix(nam_test::seededSignal(2, 16, 4));
    conv.Process(x, 16);
    const Eigen::MatrixXf first = conv.GetOutput(16);
    conv.Process(x, 16);  // now with a non-silent past
    EXPECT_FALSE(conv.GetOutput(16).isApprox(first));
    conv.SetMaxBufferSize(16);
    conv.Process(x, 16);
    EXPECT_TRUE(conv.GetOutput(16).isApprox(first));
}

// ---------------------------------------------------------------------------------------------
// Conv1x1

TEST(Conv1x1, MatchesTheNaiveReferenceInEveryForm) {
    const std::vector<ConvShape> shapes = {
        {3, 5, 1, 1, 1, true}, {3, 5, 1, 1, 1, false}, {4, 6, 1, 1, 2, true}, {8, 8, 1, 1, 8, true}, {6, 3, 1, 1, 3, false}};
    unsigned seed = 40;
    for (const ConvShape& shape : shapes) {
        SCOPED_TRACE(describe(shape));
        const ConvReference reference{shape.in, shape.out, 1, 1, shape.groups, shape.bias};
        const auto weights = nam_test::seededWeights(reference.weightCount(), ++seed);
        const Signal x = nam_test::seededSignal(shape.in, 300, ++seed);
        size_t pos = 0;
        const Signal expected = reference.run(weights, pos, x);

        nam::Conv1x1 conv(shape.in, shape.out, shape.bias, shape.groups);
        EXPECT_EQ(conv.get_num_weights(), static_cast<long>(reference.weightCount()));
        nam::weights_it it = weights.begin();
        conv.set_weights_(it);
        EXPECT_EQ(it, weights.end());
        conv.SetMaxBufferSize(300);
        conv.process_(nam_test::toMatrix(x), 300);
        EXPECT_LT(nam_test::maxRelativeError(conv.GetOutput(300), expected), kTolerance);

        nam::Conv1x1 unsized(shape.in, shape.out, shape.bias, shape.groups);
        it = weights.begin();
        unsized.set_weights_(it);
        EXPECT_LT(nam_test::maxRelativeError(unsized.process(nam_test::toMatrix(x), 300), expected), kTolerance);
    }
}

TEST(Conv1x1, ReadsRowBlocksOfATallerMatrix) {
    // The top rows of a taller matrix have an outer stride larger than their row count.
    nam::Conv1x1 conv(2, 1, false);
    const std::vector<float> weights = {1.0f, 10.0f};
    nam::weights_it it = weights.begin();
    conv.set_weights_(it);
    conv.SetMaxBufferSize(3);
    Eigen::MatrixXf tall(4, 3);
    tall << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12;
    conv.process_(tall.topRows(2), 3);
    EXPECT_TRUE(conv.GetOutput(3).isApprox((Eigen::RowVector3f() << 41, 52, 63).finished())) << conv.GetOutput(3);
}

// ---------------------------------------------------------------------------------------------
// Shape errors, for both layers

struct ShapeError {
    int in, out, kernel, dilation, groups;
    std::string message;
};

TEST(ConvShapes, BadShapesAreRefusedWithNothingChanged) {
    const std::vector<ShapeError> cases = {
        {6, 4, 2, 1, 4, "in_channels (6) must be divisible by numGroups (4)"},
        {4, 6, 2, 1, 4, "out_channels (6) must be divisible by numGroups (4)"},
        {4, 4, 2, 1, 0, "numGroups (0) must be at least 1"},
        {4, 4, 2, 1, -2, "numGroups (-2) must be at least 1"},
        {-1, 4, 2, 1, 1, "Channel counts (-1, 4) must not be negative"},
        {4, 4, 0, 1, 1, "kernel_size (0) must be at least 1"},
        {4, 4, 2, -1, 1, "dilation (-1) must not be negative"},
        {4, 4, 2, (1 << 20) + 1, 1, "Convolution lookback (1048577) exceeds the limit of 1048576"},
        {5000, 4, 1, 1, 1, "Channel count (5000) exceeds the limit of 4096"},
    };
    for (const ShapeError& c : cases) {
        SCOPED_TRACE(c.message);
        nam::Conv1D conv;
        conv.set_size_(2, 3, 2, true, 1, 1);
        try {
            conv.set_size_(c.in, c.out, c.kernel, true, c.dilation, c.groups);
            ADD_FAILURE() << "Conv1D accepted the shape";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(conv.get_in_channels(), 2);
        EXPECT_EQ(conv.get_out_channels(), 3);
        EXPECT_EQ(conv.get_num_weights(), 2 * 2 * 3 + 3);

        if (c.kernel >= 1 && c.dilation >= 0 && c.dilation <= (1 << 20)) {  // the 1x1's own checks
            try {
                nam::Conv1x1 conv1x1(c.in, c.out, true, c.groups);
                ADD_FAILURE() << "Conv1x1 accepted the shape";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), c.message);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Real-time safety

TEST(ConvRealTime, ProcessingAllocatesNothingAtAnyBlockSize) {
    for (const int channels : {1, 16, 64}) {
        SCOPED_TRACE(channels);
        const int maxBlock = 8192;
        nam::Conv1D conv;
        const auto weights = nam_test::seededWeights(size_t(3) * channels * channels + channels, 5);
        nam::weights_it it = weights.begin();
        conv.set_size_and_weights_(channels, channels, 3, 16, true, 1, it);
        conv.SetMaxBufferSize(maxBlock);
        nam::Conv1D depthwise;
        it = weights.begin();
        depthwise.set_size_and_weights_(channels, channels, 3, 16, true, channels, it);
        depthwise.SetMaxBufferSize(maxBlock);
        nam::Conv1x1 conv1x1(channels, channels, true);
        it = weights.begin();
        conv1x1.set_weights_(it);
        conv1x1.SetMaxBufferSize(maxBlock);
        const Eigen::MatrixXf x = nam_test::toMatrix(nam_test::seededSignal(channels, maxBlock, 6));

        tolvane::test::AllocationCounter counter;
        for (const int n : {1, 32, 511, 4096, maxBlock, 3000, 8000}) {
            conv.Process(x, n);
            depthwise.Process(x, n);
            conv1x1.process_(x, n);
            conv1x1.process(x, n);
        }
        EXPECT_EQ(counter.allocations(), 0u);
    }
}

}  // namespace

// The convolutions' product helpers on every weight shape they treat specially (and a few they
// do not), against a double-precision loop; and the history write from strided and whole-column
// inputs.

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "neural/nam/block_products.h"
#include "neural/nam/ring_buffer.h"
#include "tests/support/AllocationCounter.h"

namespace {

Eigen::MatrixXf random(Eigen::Index rows, Eigen::Index cols, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Eigen::MatrixXf m(rows, cols);
    for (Eigen::Index i = 0; i < m.size(); ++i) m.data()[i] = u(rng);
    return m;
}

// start + w x, in double.
Eigen::MatrixXd expectedProduct(const Eigen::MatrixXf& w, const Eigen::MatrixXf& x, const Eigen::MatrixXf& start) {
    Eigen::MatrixXd y = start.cast<double>();
    for (Eigen::Index j = 0; j < x.cols(); ++j)
        for (Eigen::Index o = 0; o < w.rows(); ++o)
            for (Eigen::Index i = 0; i < w.cols(); ++i) y(o, j) += double(w(o, i)) * double(x(i, j));
    return y;
}

TEST(BlockProducts, EveryShapeMatchesAPlainProduct) {
    const std::vector<std::pair<int, int>> shapes = {{1, 1},  {1, 8},  {2, 4},  {4, 2},  {8, 8},  {8, 1},  {16, 1},
                                                     {16, 8}, {32, 1}, {16, 16}, {8, 16}, {32, 2}, {3, 5}, {64, 64}};
    constexpr int kFrames = 300;
    for (const auto& [rows, depth] : shapes) {
        SCOPED_TRACE(testing::Message() << rows << " x " << depth);
        const Eigen::MatrixXf w = random(rows, depth, 1);
        // Strided views: the input is the middle rows of a taller matrix, the output the top rows.
        const Eigen::MatrixXf source = random(depth + 3, kFrames + 10, 2);
        const auto x = source.block(1, 4, depth, kFrames);
        Eigen::MatrixXf target = random(rows + 2, kFrames, 3);
        const Eigen::MatrixXf start = target.topRows(rows);

        auto out = target.topRows(rows);
        nam::add_product(out, w, x);
        const Eigen::MatrixXd accumulated = expectedProduct(w, x, start);
        EXPECT_LT((target.topRows(rows).cast<double>() - accumulated).cwiseAbs().maxCoeff(), 1e-4 * (1 + depth));

        nam::assign_product(out, w, x);
        const Eigen::MatrixXd assigned = expectedProduct(w, x, Eigen::MatrixXf::Zero(rows, kFrames));
        EXPECT_LT((target.topRows(rows).cast<double>() - assigned).cwiseAbs().maxCoeff(), 1e-4 * (1 + depth));
        EXPECT_EQ(target.bottomRows(2), random(rows + 2, kFrames, 3).bottomRows(2));  // rows below untouched
    }
}

// On the fixed-shape path each frame's result does not depend on where a block starts or ends,
// and nothing allocates.
TEST(BlockProducts, FixedShapeFramesDoNotDependOnTheBlockSplit) {
    for (const auto& [rows, depth] : std::vector<std::pair<int, int>>{{8, 8}, {16, 1}, {1, 8}, {2, 4}}) {
        const Eigen::MatrixXf w = random(rows, depth, 4);
        const Eigen::MatrixXf x = random(depth, 1000, 5);
        Eigen::MatrixXf whole(rows, 1000), split(rows, 1000);
        nam::assign_product(whole.leftCols(1000), w, x);
        tolvane::test::AllocationCounter counter;
        for (Eigen::Index at = 0, n = 1; at < 1000; at += n, n = n * 3 % 97 + 1) {
            n = std::min<Eigen::Index>(n, 1000 - at);
            nam::assign_product(split.middleCols(at, n), w, x.middleCols(at, n));
        }
        EXPECT_EQ(counter.allocations(), 0u);
        EXPECT_EQ(split, whole) << rows << " x " << depth;
    }
}

TEST(BlockProducts, HistoryWritesFromStridedAndWholeColumnInputsAgree) {
    nam::RingBuffer contiguous, strided;
    for (auto* buffer : {&contiguous, &strided}) {
        buffer->SetMaxLookback(3);
        buffer->Reset(4, 8);
    }
    const Eigen::MatrixXf tall = random(6, 40, 6);
    for (int at = 0, n = 5; at + n <= 40; at += n, n = n % 8 + 1) {
        const Eigen::MatrixXf block = tall.block(0, at, 4, n);
        contiguous.Write(block, n);
        strided.Write(tall.block(0, at, 4, n), n);
        EXPECT_EQ(contiguous.Read(n, 3), strided.Read(n, 3));
        EXPECT_EQ(strided.Read(n, 0), block);
        contiguous.Advance(n);
        strided.Advance(n);
    }
}

}  // namespace

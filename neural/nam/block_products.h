#pragma once

#include <algorithm>
#include <type_traits>

#include <Eigen/Dense>

// Helpers shared by the convolutions: views of leading column ranges and matrix products that
// never touch the heap.
namespace nam {

// A read-only view of whole columns of a float matrix (contiguous, column-major).
using ConstColumns = Eigen::Block<const Eigen::MatrixXf, Eigen::Dynamic, Eigen::Dynamic, true>;
using Columns = Eigen::Block<Eigen::MatrixXf, Eigen::Dynamic, Eigen::Dynamic, true>;

namespace detail {

// Eigen packs the right-hand side of a large product into a scratch buffer that lives on the
// stack only up to EIGEN_STACK_ALLOCATION_LIMIT bytes and on the heap beyond. Splitting the
// frames into runs whose packed panel stays well below that keeps long blocks allocation-free;
// every output column depends on its input column only, so the split changes nothing.
//
// Runs are whole multiples of kRunGranule columns: the product kernels treat a run's trailing
// columns (those past a multiple of their panel width) on a path with different rounding, so a
// run boundary inside a block would make equal inputs give outputs one rounding apart there.
inline Eigen::Index product_run_columns(Eigen::Index depth) {
    constexpr Eigen::Index kPanelFloats = 8192;  // 32 KiB of packed right-hand side
    constexpr Eigen::Index kRunGranule = 16;
    constexpr Eigen::Index kMaxRun = 512;
    const Eigen::Index run = std::clamp<Eigen::Index>(kPanelFloats / std::max<Eigen::Index>(depth, 1), kRunGranule, kMaxRun);
    return run / kRunGranule * kRunGranule;
}

// Small weight matrices: Eigen's general product spends more time packing its operands than
// multiplying them when the weights have a few rows or a short depth (a mono condition mixed
// into a layer, an 8-channel layer). A product with the shape known at compile time runs frame
// by frame straight from the operands instead, with the same per-frame arithmetic wherever a
// block starts or ends.
// Frames (columns) of a fixed row count, with the distance between frames taken from the block
// it views. A single row is a row vector to Eigen, stored row-major: that distance is then its
// inner stride.
template <int Rows>
using FrameStride = std::conditional_t<Rows == 1, Eigen::InnerStride<>, Eigen::OuterStride<>>;
template <int Rows>
using Frames = Eigen::Map<Eigen::Matrix<float, Rows, Eigen::Dynamic>, 0, FrameStride<Rows>>;
template <int Rows>
using ConstFrames = Eigen::Map<const Eigen::Matrix<float, Rows, Eigen::Dynamic>, 0, FrameStride<Rows>>;

template <int Rows, int Depth, bool Accumulate, typename Dst, typename Rhs>
void fixed_shape_product(Dst& dst, const Eigen::MatrixXf& lhs, const Rhs& rhs) {
    const Eigen::Map<const Eigen::Matrix<float, Rows, Depth>> w(lhs.data());
    Frames<Rows> y(dst.data(), Rows, dst.cols(), FrameStride<Rows>(dst.outerStride()));
    const ConstFrames<Depth> x(rhs.data(), Depth, rhs.cols(), FrameStride<Depth>(rhs.outerStride()));
    if constexpr (Accumulate)
        y.noalias() += w.lazyProduct(x);
    else
        y.noalias() = w.lazyProduct(x);
}

template <int Rows, bool Accumulate, typename Dst, typename Rhs>
bool small_depth_product(Dst& dst, const Eigen::MatrixXf& lhs, const Rhs& rhs) {
    switch (lhs.cols()) {
        case 1: fixed_shape_product<Rows, 1, Accumulate>(dst, lhs, rhs); return true;
        case 2: fixed_shape_product<Rows, 2, Accumulate>(dst, lhs, rhs); return true;
        case 4: fixed_shape_product<Rows, 4, Accumulate>(dst, lhs, rhs); return true;
        case 8: fixed_shape_product<Rows, 8, Accumulate>(dst, lhs, rhs); return true;
        default: return false;
    }
}

// Runs the product on a fixed-shape path when the weights have one of the small shapes that
// gain from it (up to 16 rows with a depth of at most 8, or a depth of 1 with 32 rows); returns
// false, having done nothing, otherwise.
template <bool Accumulate, typename Dst, typename Lhs, typename Rhs>
bool small_product(Dst& dst, const Lhs& lhs, const Rhs& rhs) {
    if constexpr (!std::is_same_v<Lhs, Eigen::MatrixXf>) {
        return false;
    } else {
        switch (lhs.rows()) {
            case 1: return small_depth_product<1, Accumulate>(dst, lhs, rhs);
            case 2: return small_depth_product<2, Accumulate>(dst, lhs, rhs);
            case 4: return small_depth_product<4, Accumulate>(dst, lhs, rhs);
            case 8: return small_depth_product<8, Accumulate>(dst, lhs, rhs);
            case 16: return small_depth_product<16, Accumulate>(dst, lhs, rhs);
            case 32:
                if (lhs.cols() != 1) return false;
                fixed_shape_product<32, 1, Accumulate>(dst, lhs, rhs);
                return true;
            default: return false;
        }
    }
}

}  // namespace detail

// dst += lhs * rhs, column run by column run.
template <typename Dst, typename Lhs, typename Rhs>
void add_product(Dst&& dst, const Lhs& lhs, const Rhs& rhs) {
    if (detail::small_product<true>(dst, lhs, rhs)) return;
    const Eigen::Index cols = rhs.cols();
    const Eigen::Index run = detail::product_run_columns(lhs.cols());
    for (Eigen::Index j = 0; j < cols; j += run) {
        const Eigen::Index n = std::min(run, cols - j);
        dst.middleCols(j, n).noalias() += lhs * rhs.middleCols(j, n);
    }
}

// dst = lhs * rhs, column run by column run.
template <typename Dst, typename Lhs, typename Rhs>
void assign_product(Dst&& dst, const Lhs& lhs, const Rhs& rhs) {
    if (detail::small_product<false>(dst, lhs, rhs)) return;
    const Eigen::Index cols = rhs.cols();
    const Eigen::Index run = detail::product_run_columns(lhs.cols());
    for (Eigen::Index j = 0; j < cols; j += run) {
        const Eigen::Index n = std::min(run, cols - j);
        dst.middleCols(j, n).noalias() = lhs * rhs.middleCols(j, n);
    }
}

}  // namespace nam

#pragma once

#include <algorithm>

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

}  // namespace detail

// dst += lhs * rhs, column run by column run.
template <typename Dst, typename Lhs, typename Rhs>
void add_product(Dst&& dst, const Lhs& lhs, const Rhs& rhs) {
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
    const Eigen::Index cols = rhs.cols();
    const Eigen::Index run = detail::product_run_columns(lhs.cols());
    for (Eigen::Index j = 0; j < cols; j += run) {
        const Eigen::Index n = std::min(run, cols - j);
        dst.middleCols(j, n).noalias() = lhs * rhs.middleCols(j, n);
    }
}

}  // namespace nam

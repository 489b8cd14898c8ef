#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>

#include "neural/nam/config_values.h"
#include "neural/nam/limits.h"

// Shape checks shared by the convolutions, run before anything is sized so that a bad model
// file is refused with nothing changed.
namespace nam::conv_shape {

// Refuses a group count below 1 (before any division), negative or oversized channel counts,
// and channel counts that the group count does not divide.
inline void check_groups(int in_channels, int out_channels, int groups) {
    if (groups < 1) throw std::runtime_error("numGroups (" + std::to_string(groups) + ") must be at least 1");
    if (in_channels < 0 || out_channels < 0)
        throw std::runtime_error("Channel counts (" + std::to_string(in_channels) + ", " +
                                 std::to_string(out_channels) + ") must not be negative");
    config::check_limit(std::max(in_channels, out_channels), limits::kMaxChannels, "Channel count");
    if (in_channels % groups != 0)
        throw std::runtime_error("in_channels (" + std::to_string(in_channels) + ") must be divisible by numGroups (" +
                                 std::to_string(groups) + ")");
    if (out_channels % groups != 0)
        throw std::runtime_error("out_channels (" + std::to_string(out_channels) +
                                 ") must be divisible by numGroups (" + std::to_string(groups) + ")");
}

}  // namespace nam::conv_shape

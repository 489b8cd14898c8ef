#pragma once

// The sample rates the effect honours. Below or above them its filters, models and time
// constants stop meaning what they should (far above, the output even falls silent), so a unit
// refuses to allocate render resources at any other rate.
inline constexpr double kLowestSampleRate = 8000;
inline constexpr double kHighestSampleRate = 768000;

constexpr bool isSupportedSampleRate(double rate) { return rate >= kLowestSampleRate && rate <= kHighestSampleRate; }

#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Checked reading of numbers from model configurations, and overflow-checked size arithmetic.
// Configuration parsers use these instead of `get<int>()`: they read integers as 64-bit, refuse
// values outside the range the caller allows, and never convert an out-of-range number (which
// would be undefined behaviour). Failures throw std::runtime_error naming the key and the value.
namespace nam::config {

// The integer stored under `key` (required). Integral JSON numbers and finite floating-point
// numbers (truncated toward zero) are accepted; the result must lie in [min, max].
int64_t get_int(const nlohmann::json& object, const std::string& key, int64_t min, int64_t max);
// As above; `fallback` when the key is absent.
int64_t get_int(const nlohmann::json& object, const std::string& key, int64_t fallback, int64_t min,
                int64_t max);

// A channel count under `key` (or `fallback` when absent): below 1 is refused with
// "Channel counts must be positive", above limits::kMaxChannels with a limit message.
int get_channel_count(const nlohmann::json& object, const std::string& key, int fallback);

// A number that must be representable as a finite 32-bit float.
float to_float(const nlohmann::json& value, const std::string& what);
float get_float(const nlohmann::json& object, const std::string& key);

// 64-bit size arithmetic that throws "Model size overflows" instead of wrapping.
int64_t checked_add(int64_t a, int64_t b);
int64_t checked_mul(int64_t a, int64_t b);

// Throws "<what> (<value>) exceeds the limit of <limit>" when value > limit.
void check_limit(int64_t value, int64_t limit, const std::string& what);

}  // namespace nam::config

#include "neural/nam/config_values.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "neural/nam/limits.h"

namespace nam::config {
namespace {

[[noreturn]] void throw_range(const std::string& key, const std::string& value, int64_t min, int64_t max) {
    throw std::runtime_error("Config value \"" + key + "\" (" + value + ") must be between " + std::to_string(min) +
                             " and " + std::to_string(max));
}

int64_t to_int64(const nlohmann::json& value, const std::string& key, int64_t min, int64_t max) {
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(max)) throw_range(key, std::to_string(u), min, max);
        return static_cast<int64_t>(u);
    }
    if (value.is_number_integer()) {
        const int64_t i = value.get<int64_t>();
        if (i < min || i > max) throw_range(key, std::to_string(i), min, max);
        return i;
    }
    if (value.is_number_float()) {
        const double d = std::trunc(value.get<double>());
        // Compare in double before converting: the conversion itself is only defined in range.
        if (!std::isfinite(d) || d < static_cast<double>(min) || d > static_cast<double>(max))
            throw_range(key, value.dump(), min, max);
        return static_cast<int64_t>(d);
    }
    throw std::runtime_error("Config value \"" + key + "\" must be a number");
}

}  // namespace

int64_t get_int(const nlohmann::json& object, const std::string& key, int64_t min, int64_t max) {
    return to_int64(object.at(key), key, min, max);
}

int64_t get_int(const nlohmann::json& object, const std::string& key, int64_t fallback, int64_t min,
                int64_t max) {
    if (!object.contains(key)) return fallback;
    return to_int64(object.at(key), key, min, max);
}

int get_channel_count(const nlohmann::json& object, const std::string& key, int fallback) {
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    const int64_t count = get_int(object, key, fallback, lowest, std::numeric_limits<int64_t>::max());
    if (count < 1) throw std::runtime_error("Channel counts must be positive");
    check_limit(count, limits::kMaxChannels, "Channel count");
    return static_cast<int>(count);
}

float to_float(const nlohmann::json& value, const std::string& what) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max()))
        throw std::runtime_error(what + " is not a finite 32-bit float");
    return static_cast<float>(d);
}

float get_float(const nlohmann::json& object, const std::string& key) {
    return to_float(object.at(key), "Config value \"" + key + "\"");
}

int64_t checked_add(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) throw std::runtime_error("Model size overflows");
    return r;
}

int64_t checked_mul(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) throw std::runtime_error("Model size overflows");
    return r;
}

void check_limit(int64_t value, int64_t limit, const std::string& what) {
    if (value > limit)
        throw std::runtime_error(what + " (" + std::to_string(value) + ") exceeds the limit of " +
                                 std::to_string(limit));
}

}  // namespace nam::config

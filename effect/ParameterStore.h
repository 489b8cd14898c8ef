#pragma once

#include "platform/audiotoolbox/AudioTypes.h"

#include <array>
#include <atomic>

// The unit's parameter values by address: a fixed table of atomics, so the render thread, the
// host and the panel can read and write it at once without a lock or an allocation.
//
// Every value enters through set(), which keeps it safe for the stages: the 0-100 parameters and
// the switches are clamped to their ranges and a non-finite value becomes the default. The
// effect mode is kept as sent (values outside 0-7 run no stage). Addresses the effect does not
// have are ignored.
class ParameterStore {
public:
    static constexpr std::size_t kAddressCount = 10;

    ParameterStore();

    static bool hasAddress(AUParameterAddress address) { return address < kAddressCount && address != 6; }

    // 0 for an address the effect does not have.
    AUValue get(AUParameterAddress address) const noexcept {
        return hasAddress(address) ? values_[address].load(std::memory_order_relaxed) : 0.0f;
    }
    void set(AUParameterAddress address, AUValue value) noexcept;

    // The value the store would keep for `value` at `address`.
    static AUValue sanitize(AUParameterAddress address, AUValue value) noexcept;

    // Cleared when the unit goes away: reads then answer 0 and writes do nothing.
    bool unitAlive() const noexcept { return unitAlive_.load(std::memory_order_acquire); }
    void markUnitGone() noexcept { unitAlive_.store(false, std::memory_order_release); }

private:
    std::array<std::atomic<AUValue>, kAddressCount> values_;
    std::atomic<bool> unitAlive_{true};
};

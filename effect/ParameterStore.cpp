#include "effect/ParameterStore.h"

#include "effect/ParameterSpecs.h"

#include <algorithm>
#include <cmath>

namespace {

struct Range {
    AUValue min, max, defaultValue;
    bool clamped;
};

// Ranges and defaults by address, taken from the parameter specification.
const std::array<Range, ParameterStore::kAddressCount>& ranges() {
    static const auto table = [] {
        std::array<Range, ParameterStore::kAddressCount> t{};
        auto visit = [&t](const std::vector<NodeSpec>& nodes, auto&& self) -> void {
            for (const auto& node : nodes) {
                if (const auto* p = std::get_if<ParameterSpec>(&node)) {
                    if (p->address < t.size())
                        t[p->address] = {p->minValue, p->maxValue, p->defaultValue,
                                         p->address != ParameterAddress::effectMode};
                } else {
                    self(std::get<ParameterGroupSpec>(node).children, self);
                }
            }
        };
        visit(makeParameterSpecs().children, visit);
        return t;
    }();
    return table;
}

}  // namespace

ParameterStore::ParameterStore() {
    for (auto& v : values_) v.store(0.0f, std::memory_order_relaxed);
    ranges();  // build the table here, never first on the render thread
}

AUValue ParameterStore::sanitize(AUParameterAddress address, AUValue value) noexcept {
    if (!hasAddress(address)) return value;
    const Range& r = ranges()[address];
    if (!r.clamped) return value;
    if (!std::isfinite(value)) return r.defaultValue;
    return std::clamp(value, r.min, r.max);
}

void ParameterStore::set(AUParameterAddress address, AUValue value) noexcept {
    if (!hasAddress(address) || !unitAlive()) return;
    values_[address].store(sanitize(address, value), std::memory_order_relaxed);
}

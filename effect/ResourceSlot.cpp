#include "effect/ResourceSlot.h"

#include <thread>

ResourcePublisher::~ResourcePublisher() = default;

std::vector<ResourcePublisher::Retired> ResourcePublisher::takeSafe(uint64_t now) {
    // Replaced while no render call ran (even epoch), or the call that ran has ended since.
    auto safe = [now](const Retired& r) { return (r.epoch & 1u) == 0 || now > r.epoch; };
    std::vector<Retired> out;
    for (auto& r : retired_)
        if (safe(r)) out.push_back(std::move(r));
    std::erase_if(retired_, [](const Retired& r) { return !r.object; });
    return out;
}

void ResourcePublisher::retire(std::shared_ptr<const void> object) {
    if (!object) return;
    const uint64_t now = epoch_.load(std::memory_order_seq_cst);
    std::vector<Retired> freeing;
    {
        std::lock_guard lock(mutex_);
        retired_.push_back({std::move(object), now});
        freeing = takeSafe(now);
    }
}

void ResourcePublisher::collect() {
    const uint64_t now = epoch_.load(std::memory_order_seq_cst);
    std::vector<Retired> freeing;
    std::lock_guard lock(mutex_);
    freeing = takeSafe(now);
}

void ResourcePublisher::collectAll() {
    const uint64_t start = epoch_.load(std::memory_order_seq_cst);
    if (start & 1u) {
        while (epoch_.load(std::memory_order_seq_cst) == start) std::this_thread::yield();
    }
    std::vector<Retired> freeing;
    std::lock_guard lock(mutex_);
    freeing.swap(retired_);
}

std::size_t ResourcePublisher::retiredCount() const {
    std::lock_guard lock(mutex_);
    return retired_.size();
}

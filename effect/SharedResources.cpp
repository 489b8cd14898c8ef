#include "effect/SharedResources.h"

#include <system_error>

SharedResources& SharedResources::process() {
    static SharedResources cache;
    return cache;
}

std::optional<SharedResources::Key> SharedResources::keyOf(const std::string& kind, const std::filesystem::path& file) {
    std::error_code error;
    const std::filesystem::path canonical = std::filesystem::canonical(file, error);
    if (error) return std::nullopt;
    const std::uintmax_t size = std::filesystem::file_size(canonical, error);
    if (error) return std::nullopt;
    const auto modified = std::filesystem::last_write_time(canonical, error);
    if (error) return std::nullopt;
    return Key{kind, canonical.string(), size, modified.time_since_epoch().count()};
}

void SharedResources::forgetExpired() {
    std::erase_if(lent_, [](const auto& entry) { return entry.second.expired(); });
}

std::shared_ptr<const void> SharedResources::lookUp(const Key& key) {
    std::lock_guard lock(mutex_);
    // A resource made by make_shared lives in its control block; dropping the entry frees it.
    forgetExpired();
    const auto entry = lent_.find(key);
    return entry == lent_.end() ? nullptr : entry->second.lock();
}

std::shared_ptr<const void> SharedResources::keep(const Key& key, std::shared_ptr<const void> made) {
    std::lock_guard lock(mutex_);
    forgetExpired();
    std::weak_ptr<const void>& slot = lent_[key];
    if (auto held = slot.lock()) return held;
    slot = made;
    return made;
}

std::size_t SharedResources::liveCount() const {
    std::lock_guard lock(mutex_);
    std::size_t live = 0;
    for (const auto& entry : lent_) live += entry.second.expired() ? 0 : 1;
    return live;
}

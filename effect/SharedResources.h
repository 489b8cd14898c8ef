#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

// Read-only resources that every unit in the process shares: a sample bed or an impulse response
// made from one file is held once, however many units and channels play it. A host with dozens of
// instances would otherwise hold dozens of copies of the same beds.
//
// The cache only lends: it keeps weak references, so a resource lives exactly as long as some
// unit's slot (or a retired slot awaiting collection) holds it, and it is freed by whoever drops
// the last reference, which is never the render thread (slots hand the render thread raw
// pointers only). Everything here runs on loading threads; the render thread never calls it.
class SharedResources {
public:
    // The process's cache.
    static SharedResources& process();

    // The resource of kind `kind` made from `file`: a live one made from the same file (same
    // path, size and modification time) if some unit still holds it, else what `make` returns,
    // which is then lent to later callers. `make` runs without the cache's lock, so that units
    // loading different files never wait for each other; nothing is cached when it returns null.
    template <class T>
    std::shared_ptr<const T> find(const std::string& kind, const std::filesystem::path& file,
                                  const std::function<std::shared_ptr<const T>()>& make) {
        const std::optional<Key> key = keyOf(kind, file);
        if (!key) return make();  // a file whose identity cannot be read is read anew each time
        if (auto held = lookUp(*key)) return std::static_pointer_cast<const T>(held);
        std::shared_ptr<const T> made = make();
        if (!made) return nullptr;
        return std::static_pointer_cast<const T>(keep(*key, made));
    }

    // For tests: how many resources are held by someone.
    std::size_t liveCount() const;

private:
    // Kind, canonical path, size, modification time: a rewritten file is a new resource.
    using Key = std::tuple<std::string, std::string, std::uintmax_t, std::filesystem::file_time_type::rep>;

    static std::optional<Key> keyOf(const std::string& kind, const std::filesystem::path& file);
    // Under the lock: drops the entries nobody holds any more.
    void forgetExpired();
    std::shared_ptr<const void> lookUp(const Key& key);
    // The live resource under `key` if another thread made one meanwhile, else `made`, now lent.
    std::shared_ptr<const void> keep(const Key& key, std::shared_ptr<const void> made);

    mutable std::mutex mutex_;
    std::map<Key, std::weak_ptr<const void>> lent_;
};

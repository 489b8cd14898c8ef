#pragma once

#include <cstdint>
#include <set>

// Which resource identifiers (effect modes 0, 1, 2, 5 and 100 for the crackle beds) are loaded
// and which are loading. Lives inside the unit's model-load lock; every call needs the lock held.
//
// `generation` counts resets: a load that began before a reset must not mark its identifier
// ready afterwards, since the reset emptied the slots it filled.
struct ModelLoadState {
    std::set<int64_t> ready;
    std::set<int64_t> loading;
    uint64_t generation = 0;

    bool isReady(int64_t id) const { return ready.count(id) != 0; }

    bool beginLoading(int64_t id) {
        if (ready.count(id) || loading.count(id)) return false;
        loading.insert(id);
        return true;
    }

    // The load of `id` that began in generation `begunIn` has run to its end.
    void finish(int64_t id, uint64_t begunIn) {
        loading.erase(id);
        if (begunIn == generation) ready.insert(id);
    }

    void reset() {
        ready.clear();
        loading.clear();
        ++generation;
    }

    void forget(int64_t id) {
        ready.erase(id);
        loading.erase(id);
    }
};

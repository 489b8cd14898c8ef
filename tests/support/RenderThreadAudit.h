#pragma once

#include "tests/support/AllocationCounter.h"

#include <cstddef>

namespace tolvane::test {

// Whether this build counts blocking locks: the address and thread sanitizers intercept the
// lock calls themselves, so their builds count none.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kCountsBlockingLocks = false;
#else
inline constexpr bool kCountsBlockingLocks = true;
#endif

// Counts, while alive, what the calling thread allocates, frees and blocks on (mutex and
// read-write lock acquisitions that can wait).
class RenderThreadAudit {
public:
    RenderThreadAudit();
    ~RenderThreadAudit();
    RenderThreadAudit(const RenderThreadAudit&) = delete;
    RenderThreadAudit& operator=(const RenderThreadAudit&) = delete;

    std::size_t allocations() const { return allocations_.allocations(); }
    std::size_t frees() const { return allocations_.frees(); }
    std::size_t blockingLocks() const;

private:
    AllocationCounter allocations_;
    std::size_t startLocks_;
    bool wasArmed_;
};

}  // namespace tolvane::test

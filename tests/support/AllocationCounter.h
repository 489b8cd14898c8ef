#pragma once

#include <cstddef>

namespace tolvane::test {

// Counts heap allocations and frees (the malloc family and operator new/delete; under
// AddressSanitizer operator new/delete only) made on the calling thread
// while an instance is alive. Used to prove that real-time code paths never touch the heap.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t allocations() const;
    std::size_t frees() const;

private:
    std::size_t startAllocations_;
    std::size_t startFrees_;
    bool wasArmed_;
};

}  // namespace tolvane::test

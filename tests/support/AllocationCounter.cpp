#include "tests/support/AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {
// Plain thread-locals with constant initialisation: safe to touch from inside operator new.
thread_local bool armed = false;
thread_local std::size_t allocationCount = 0;
thread_local std::size_t freeCount = 0;

void* allocate(std::size_t size, std::size_t alignment) {
    if (armed) ++allocationCount;
    if (size == 0) size = 1;
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size);
    return p;
}

void release(void* p) {
    if (p == nullptr) return;
    if (armed) ++freeCount;
    std::free(p);
}
}  // namespace

namespace tolvane::test {
AllocationCounter::AllocationCounter()
    : startAllocations_(allocationCount), startFrees_(freeCount), wasArmed_(armed) {
    armed = true;
}
AllocationCounter::~AllocationCounter() { armed = wasArmed_; }
std::size_t AllocationCounter::allocations() const { return allocationCount - startAllocations_; }
std::size_t AllocationCounter::frees() const { return freeCount - startFrees_; }
}  // namespace tolvane::test

void* operator new(std::size_t size) {
    if (void* p = allocate(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = allocate(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = allocate(size, static_cast<std::size_t>(align))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = allocate(size, static_cast<std::size_t>(align))) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<std::size_t>(align));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

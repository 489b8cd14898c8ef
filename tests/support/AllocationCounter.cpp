#include "tests/support/AllocationCounter.h"

#include <cstdlib>
#include <new>

// Counting happens at the lowest level that the build allows: in the malloc family when it can
// be replaced (so that libraries allocating with malloc, such as Eigen, are caught too), and in
// operator new/delete under the address and thread sanitizers, which own malloc themselves.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCountInMalloc = false;
#else
constexpr bool kCountInMalloc = true;
#endif

namespace {
// Plain thread-locals with constant initialisation: safe to touch from inside the allocator.
thread_local bool armed = false;
thread_local std::size_t allocationCount = 0;
thread_local std::size_t freeCount = 0;

inline void noteAllocation() {
    if (armed) ++allocationCount;
}
inline void noteFree(void* p) {
    if (armed && p != nullptr) ++freeCount;
}
}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    noteAllocation();
    return __libc_realloc(p, size);
}
void free(void* p) {
    noteFree(p);
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    noteAllocation();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}
#endif

namespace tolvane::test {
AllocationCounter::AllocationCounter()
    : startAllocations_(allocationCount), startFrees_(freeCount), wasArmed_(armed) {
    armed = true;
}
AllocationCounter::~AllocationCounter() { armed = wasArmed_; }
std::size_t AllocationCounter::allocations() const { return allocationCount - startAllocations_; }
std::size_t AllocationCounter::frees() const { return freeCount - startFrees_; }
}  // namespace tolvane::test

namespace {
void* allocate(std::size_t size, std::size_t alignment) {
    if (!kCountInMalloc) noteAllocation();
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void release(void* p) {
    if (!kCountInMalloc) noteFree(p);
    std::free(p);
}
}  // namespace

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

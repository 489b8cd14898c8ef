#include "tests/support/RenderThreadAudit.h"

#include <pthread.h>

// Blocking lock calls are counted on the armed thread, like the allocations: every caller in
// a test binary reaches these definitions first, and they hand over to the C library's own
// entry points (bound by symbol version, since the C library keeps them only for old binaries).
namespace {
thread_local bool lockCountingArmed = false;
thread_local std::size_t blockingLockCount = 0;
}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
void noteBlockingLock() {
    if (lockCountingArmed) ++blockingLockCount;
}
}  // namespace

extern "C" {
int libcMutexLock(pthread_mutex_t*);
int libcRwlockRdlock(pthread_rwlock_t*);
int libcRwlockWrlock(pthread_rwlock_t*);
__asm__(".symver libcMutexLock,__pthread_mutex_lock@GLIBC_2.2.5");
__asm__(".symver libcRwlockRdlock,__pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__(".symver libcRwlockWrlock,__pthread_rwlock_wrlock@GLIBC_2.2.5");

int pthread_mutex_lock(pthread_mutex_t* mutex) {
    noteBlockingLock();
    return libcMutexLock(mutex);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
    noteBlockingLock();
    return libcRwlockRdlock(lock);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
    noteBlockingLock();
    return libcRwlockWrlock(lock);
}
}
#endif

namespace tolvane::test {

RenderThreadAudit::RenderThreadAudit() : startLocks_(blockingLockCount), wasArmed_(lockCountingArmed) {
    lockCountingArmed = true;
}

RenderThreadAudit::~RenderThreadAudit() { lockCountingArmed = wasArmed_; }

std::size_t RenderThreadAudit::blockingLocks() const { return blockingLockCount - startLocks_; }

}  // namespace tolvane::test

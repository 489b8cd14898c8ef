#pragma once

#include <cstdint>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

// Decaying filter, follower and smoother states sink into the subnormal range once their input
// goes quiet, where every operation on them costs many times more, and a one-pole smoother with a
// coefficient close to 1 can even stay stuck on the smallest subnormal. Processing code holds one
// of these for the duration of a block: while it lives, subnormal results and inputs count as
// zero; the caller's floating-point mode comes back when it ends. Results change only in the
// subnormal range.
namespace dsp {

class ScopedFlushDenormals {
public:
    ScopedFlushDenormals() noexcept : saved_(read()) { write(saved_ | kFlushBits); }
    ~ScopedFlushDenormals() { write(saved_); }
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;

private:
#if defined(__SSE__)
    static constexpr uint64_t kFlushBits = 0x8040;  // flush-to-zero (bit 15), denormals-are-zero (bit 6)
    static uint64_t read() noexcept { return _mm_getcsr(); }
    static void write(uint64_t mode) noexcept { _mm_setcsr(static_cast<unsigned int>(mode)); }
#elif defined(__aarch64__)
    static constexpr uint64_t kFlushBits = uint64_t{1} << 24;  // FZ
    static uint64_t read() noexcept {
        uint64_t mode;
        asm volatile("mrs %0, fpcr" : "=r"(mode));
        return mode;
    }
    static void write(uint64_t mode) noexcept { asm volatile("msr fpcr, %0" : : "r"(mode)); }
#else
    static constexpr uint64_t kFlushBits = 0;
    static uint64_t read() noexcept { return 0; }
    static void write(uint64_t) noexcept {}
#endif

    uint64_t saved_;
};

}  // namespace dsp

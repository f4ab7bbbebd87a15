// What the kernels read of the calling thread's floating-point state, once
// per call, to decline a loop whose results would depend on it. The state is
// only read, never changed.
#pragma once

#include <cfenv>
#include <cstdint>

namespace tolvane::detail {

inline bool thread_rounds_to_nearest() {
#if defined(__x86_64__) || defined(__i386__)
    return (__builtin_ia32_stmxcsr() & 0x6000u) == 0;  // MXCSR's rounding control
#else
    return std::fegetround() == FE_TONEAREST;
#endif
}

// Whether the processor reads subnormal inputs as zero: MXCSR's
// denormals-are-zero, or on Arm FPCR's flush-to-zero, which flushes inputs
// and results alike.
inline bool thread_reads_subnormals_as_zero() {
#if defined(__x86_64__) || defined(__i386__)
    return (__builtin_ia32_stmxcsr() & 0x40u) != 0;
#elif defined(__aarch64__)
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return (fpcr & (uint64_t{1} << 24)) != 0;
#else
    return false;
#endif
}

}  // namespace tolvane::detail

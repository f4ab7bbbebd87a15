// Run-time choice among the x86-64 fast paths: AVX2 where the processor has
// it, SSE4.1 otherwise, and none (the kernels' scalar loops) below that.
#include <vector>

#include "../targets.hpp"
#include "paths.hpp"

namespace tolvane::simd {

namespace {

const x86::PathTable* active_paths() {
    switch (active_target()) {
        case Target::Avx2:
            return &x86::avx2_paths;
        case Target::Sse41:
            return &x86::sse41_paths;
        case Target::None:
        case Target::AdvancedSimd:
            break;
    }
    return nullptr;
}

}  // namespace

std::span<const Target> supported_targets() {
    static const std::vector<Target> targets = [] {
        std::vector<Target> found{Target::None};
        __builtin_cpu_init();
        if (__builtin_cpu_supports("sse4.1")) {
            found.push_back(Target::Sse41);
            if (__builtin_cpu_supports("avx2")) found.push_back(Target::Avx2);
        }
        return found;
    }();
    return targets;
}

FastPathOutcome try_f32_to_u8_clamp(std::span<const float> src, std::span<uint8_t> dst,
                                    RoundingMode rounding) {
    const x86::PathTable* paths = active_paths();
    return paths ? paths->f32_to_u8_clamp(src, dst, rounding) : FastPathOutcome{};
}

FastPathOutcome try_f64_to_u8_clamp(std::span<const double> src, std::span<uint8_t> dst,
                                    RoundingMode rounding) {
    const x86::PathTable* paths = active_paths();
    return paths ? paths->f64_to_u8_clamp(src, dst, rounding) : FastPathOutcome{};
}

FastPathOutcome try_f64_to_i32_clamp(std::span<const double> src, std::span<int32_t> dst,
                                     RoundingMode rounding) {
    const x86::PathTable* paths = active_paths();
    return paths ? paths->f64_to_i32_clamp(src, dst, rounding) : FastPathOutcome{};
}

FastPathOutcome try_f64_to_i32_check(std::span<const double> src, std::span<int32_t> dst,
                                     RoundingMode rounding) {
    const x86::PathTable* paths = active_paths();
    return paths ? paths->f64_to_i32_check(src, dst, rounding) : FastPathOutcome{};
}

FastPathOutcome try_f64_to_f32_nearest(std::span<const double> src, std::span<float> dst,
                                       bool check_overflow) {
    const x86::PathTable* paths = active_paths();
    return paths ? paths->f64_to_f32_nearest(src, dst, check_overflow) : FastPathOutcome{};
}

}  // namespace tolvane::simd

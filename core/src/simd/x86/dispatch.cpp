// Run-time choice among the x86-64 fast paths: AVX2 (with F16C) where the
// processor has it, SSE4.1 otherwise, and none (the kernels' scalar loops)
// below that.
#include <cpuid.h>
#include <pmmintrin.h>  // the MXCSR masks; only baseline instructions are used
#include <xmmintrin.h>

#include <algorithm>
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

// Not every compiler's __builtin_cpu_supports knows F16C; AVX2's own test
// has already seen the operating system keep the vector registers.
bool has_f16c() {
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
}

// Denormals-are-zero makes VCVTPS2PH read a subnormal float32 as zero, and
// processors differ on what flush-to-zero does to it; the half-precision
// paths run only with both off, where they give the software conversion's
// bits. MXCSR is only read, never changed.
bool half_precision_exact() {
    return (_mm_getcsr() & (_MM_FLUSH_ZERO_MASK | _MM_DENORMALS_ZERO_MASK)) == 0;
}

// A mapped path of the active table, where it has one.
template <class Path, class... Args>
std::optional<size_t> mapped(Path x86::PathTable::*path, const Args&... args) {
    const x86::PathTable* paths = active_paths();
    if (!paths || !(paths->*path)) return std::nullopt;
    return (paths->*path)(args...);
}

}  // namespace

std::span<const Target> supported_targets() {
    static const std::vector<Target> targets = [] {
        std::vector<Target> found{Target::None};
        __builtin_cpu_init();
        if (__builtin_cpu_supports("sse4.1")) {
            found.push_back(Target::Sse41);
            if (__builtin_cpu_supports("avx2") && has_f16c()) found.push_back(Target::Avx2);
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

FastPathOutcome try_f32_to_i32_clamp(std::span<const float> src, std::span<int32_t> dst,
                                     RoundingMode rounding) {
    const x86::PathTable* paths = active_paths();
    return paths && paths->f32_to_i32_clamp ? paths->f32_to_i32_clamp(src, dst, rounding)
                                            : FastPathOutcome{};
}

FastPathOutcome try_f32_to_u32_clamp(std::span<const float> src, std::span<uint32_t> dst,
                                     RoundingMode rounding) {
    const x86::PathTable* paths = active_paths();
    return paths && paths->f32_to_u32_clamp ? paths->f32_to_u32_clamp(src, dst, rounding)
                                            : FastPathOutcome{};
}

std::optional<size_t> try_f32_to_u8_clamp_mapped(std::span<const float> src,
                                                 std::span<uint8_t> dst, RoundingMode rounding,
                                                 const StandInMap<float>& map) {
    return mapped(&x86::PathTable::f32_to_u8_clamp_mapped, src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_u8_clamp_mapped(std::span<const double> src,
                                                 std::span<uint8_t> dst, RoundingMode rounding,
                                                 const StandInMap<double>& map) {
    return mapped(&x86::PathTable::f64_to_u8_clamp_mapped, src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_i32_clamp_mapped(std::span<const double> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<double>& map) {
    return mapped(&x86::PathTable::f64_to_i32_clamp_mapped, src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_i32_check_mapped(std::span<const double> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<double>& map) {
    return mapped(&x86::PathTable::f64_to_i32_check_mapped, src, dst, rounding, map);
}

std::optional<size_t> try_f32_to_i32_clamp_mapped(std::span<const float> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<float>& map) {
    return mapped(&x86::PathTable::f32_to_i32_clamp_mapped, src, dst, rounding, map);
}

std::optional<size_t> try_f32_to_u32_clamp_mapped(std::span<const float> src,
                                                  std::span<uint32_t> dst, RoundingMode rounding,
                                                  const StandInMap<float>& map) {
    return mapped(&x86::PathTable::f32_to_u32_clamp_mapped, src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_f32_nearest_mapped(std::span<const double> src,
                                                    std::span<float> dst, bool check_overflow,
                                                    const StandInMap<double>& map) {
    return mapped(&x86::PathTable::f64_to_f32_nearest_mapped, src, dst, check_overflow, map);
}

FastPathOutcome try_f32_to_f16(std::span<const float> src, std::span<float16> dst,
                               RoundingMode rounding, bool check_overflow) {
    const x86::PathTable* paths = active_paths();
    if (!paths || !paths->f32_to_f16 || !half_precision_exact()) return {};
    return paths->f32_to_f16(src, dst, rounding, check_overflow);
}

FastPathOutcome try_f64_to_f16(std::span<const double> src, std::span<float16> dst,
                               RoundingMode rounding, bool check_overflow) {
    const x86::PathTable* paths = active_paths();
    if (!paths || !paths->f64_to_f16 || !half_precision_exact()) return {};
    return paths->f64_to_f16(src, dst, rounding, check_overflow);
}

FastPathOutcome try_f16_to_f32(std::span<const float16> src, std::span<float> dst) {
    const x86::PathTable* paths = active_paths();
    if (!paths || !paths->f16_to_f32 || !half_precision_exact()) return {};
    return paths->f16_to_f32(src, dst);
}

std::optional<size_t> try_f32_to_f16_mapped(std::span<const float> src, std::span<float16> dst,
                                            RoundingMode rounding, bool check_overflow,
                                            const StandInMap<float>& map) {
    if (!half_precision_exact()) return std::nullopt;
    return mapped(&x86::PathTable::f32_to_f16_mapped, src, dst, rounding, check_overflow, map);
}

std::optional<size_t> try_f64_to_f16_mapped(std::span<const double> src, std::span<float16> dst,
                                            RoundingMode rounding, bool check_overflow,
                                            const StandInMap<double>& map) {
    if (!half_precision_exact()) return std::nullopt;
    return mapped(&x86::PathTable::f64_to_f16_mapped, src, dst, rounding, check_overflow, map);
}

std::optional<size_t> try_f16_to_f32_mapped(std::span<const float16> src, std::span<float> dst,
                                            const StandInMap<float>& map) {
    if (!half_precision_exact()) return std::nullopt;
    return mapped(&x86::PathTable::f16_to_f32_mapped, src, dst, map);
}

FastPathOutcome try_i64_to_i32_check(std::span<const int64_t> src, std::span<int32_t> dst) {
    const x86::PathTable* paths = active_paths();
    return paths && paths->i64_to_i32_check ? paths->i64_to_i32_check(src, dst) : FastPathOutcome{};
}

FastPathOutcome try_i64_to_f32_nearest(std::span<const int64_t> src, std::span<float> dst) {
    const x86::PathTable* paths = active_paths();
    return paths && paths->i64_to_f32_nearest ? paths->i64_to_f32_nearest(src, dst)
                                              : FastPathOutcome{};
}

template <FloatElement S, IntegerElement D>
std::optional<size_t> clamp_floats(std::span<const S> src, std::span<D> dst,
                                   RoundingMode rounding, const StandInMap<S>* map) {
    if (active_target() != Target::Avx2) return std::nullopt;
    return x86::avx2_clamp_floats(src.data(), dst.data(), std::min(src.size(), dst.size()),
                                  rounding, map);
}

#define TOLVANE_CLAMP_FLOATS(S, D)                                                            \
    template std::optional<size_t> clamp_floats(std::span<const S>, std::span<D>, RoundingMode, \
                                                const StandInMap<S>*);
TOLVANE_CLAMPED_FLOAT_PAIRS(TOLVANE_CLAMP_FLOATS)
#undef TOLVANE_CLAMP_FLOATS

std::optional<size_t> f32_to_i32_checked(std::span<const float> src, std::span<int32_t> dst,
                                         RoundingMode rounding, const StandInMap<float>* map) {
    if (active_target() != Target::Avx2) return std::nullopt;
    return x86::avx2_f32_to_i32_checked(src.data(), dst.data(), std::min(src.size(), dst.size()),
                                        rounding, map);
}

size_t i64_to_f32_nearest_mapped(std::span<const int64_t> src, std::span<float> dst,
                                 const TargetMap<int64_t, float>& map) {
    if (active_target() != Target::Avx2) return 0;
    return x86::avx2_i64_to_f32_mapped(src.data(), dst.data(), std::min(src.size(), dst.size()),
                                       map);
}

template <IntegerElement S, IntegerElement D>
size_t narrow_integers(std::span<const S> src, std::span<D> dst, const TargetMap<S, D>* map,
                       bool check) {
    if (active_target() != Target::Avx2) return 0;
    return x86::avx2_narrow_integers(src.data(), dst.data(), std::min(src.size(), dst.size()),
                                     map, check);
}

#define TOLVANE_NARROW_INTEGERS(S, D) \
    template size_t narrow_integers(std::span<const S>, std::span<D>, const TargetMap<S, D>*, bool);
TOLVANE_PACKS_NARROW_PAIRS(TOLVANE_NARROW_INTEGERS)
#undef TOLVANE_NARROW_INTEGERS

}  // namespace tolvane::simd

// The x86-64 fast paths of each instruction set, behind the dispatch that
// picks one per call. Every version gives the same elements, the same error
// and the same written prefix: those of the steps of the 64-bit Arm version
// (8 elements for uint8 targets, 2 for int32), however wide its vector loop.
#pragma once

#include "../simd.hpp"

namespace tolvane::simd::x86 {

struct PathTable {
    FastPathOutcome (*f32_to_u8_clamp)(std::span<const float>, std::span<uint8_t>, RoundingMode);
    FastPathOutcome (*f64_to_u8_clamp)(std::span<const double>, std::span<uint8_t>, RoundingMode);
    FastPathOutcome (*f64_to_i32_clamp)(std::span<const double>, std::span<int32_t>, RoundingMode);
    FastPathOutcome (*f64_to_i32_check)(std::span<const double>, std::span<int32_t>, RoundingMode);
    FastPathOutcome (*f64_to_f32_nearest)(std::span<const double>, std::span<float>, bool);
    // Null where the instruction set has no half-precision conversions.
    FastPathOutcome (*f32_to_f16)(std::span<const float>, std::span<float16>, RoundingMode, bool);
    FastPathOutcome (*f64_to_f16)(std::span<const double>, std::span<float16>, RoundingMode, bool);
    FastPathOutcome (*f16_to_f32)(std::span<const float16>, std::span<float>);
    // Null without 64-bit integer comparisons.
    FastPathOutcome (*i64_to_i32_check)(std::span<const int64_t>, std::span<int32_t>);
    FastPathOutcome (*i64_to_f32_nearest)(std::span<const int64_t>, std::span<float>);
    // Null where the block loops are as fast.
    FastPathOutcome (*f32_to_i32_clamp)(std::span<const float>, std::span<int32_t>, RoundingMode);
    FastPathOutcome (*f32_to_u32_clamp)(std::span<const float>, std::span<uint32_t>, RoundingMode);
    // With a map folded in; null where the block types take no map.
    std::optional<size_t> (*f32_to_u8_clamp_mapped)(std::span<const float>, std::span<uint8_t>,
                                                    RoundingMode, const StandInMap<float>&);
    std::optional<size_t> (*f64_to_u8_clamp_mapped)(std::span<const double>, std::span<uint8_t>,
                                                    RoundingMode, const StandInMap<double>&);
    std::optional<size_t> (*f64_to_i32_clamp_mapped)(std::span<const double>, std::span<int32_t>,
                                                     RoundingMode, const StandInMap<double>&);
    std::optional<size_t> (*f64_to_i32_check_mapped)(std::span<const double>, std::span<int32_t>,
                                                     RoundingMode, const StandInMap<double>&);
    std::optional<size_t> (*f32_to_i32_clamp_mapped)(std::span<const float>, std::span<int32_t>,
                                                     RoundingMode, const StandInMap<float>&);
    std::optional<size_t> (*f32_to_u32_clamp_mapped)(std::span<const float>, std::span<uint32_t>,
                                                     RoundingMode, const StandInMap<float>&);
    std::optional<size_t> (*f64_to_f32_nearest_mapped)(std::span<const double>, std::span<float>,
                                                       bool, const StandInMap<double>&);
    std::optional<size_t> (*f32_to_f16_mapped)(std::span<const float>, std::span<float16>,
                                               RoundingMode, bool, const StandInMap<float>&);
    std::optional<size_t> (*f64_to_f16_mapped)(std::span<const double>, std::span<float16>,
                                               RoundingMode, bool, const StandInMap<double>&);
    std::optional<size_t> (*f16_to_f32_mapped)(std::span<const float16>, std::span<float>,
                                               const StandInMap<float>&);
};

extern const PathTable sse41_paths;
extern const PathTable avx2_paths;

// narrow_integers' AVX2 loops, for the pairs packs_narrow takes.
template <IntegerElement S, IntegerElement D>
size_t avx2_narrow_integers(const S* src, D* dst, size_t n, const TargetMap<S, D>* map,
                            bool check);

// X(S, D) for each of those pairs.
#define TOLVANE_PACKS_NARROW_PAIRS(X)                                                    \
    X(int16_t, int8_t) X(int16_t, uint8_t) X(uint16_t, int8_t) X(uint16_t, uint8_t)      \
    X(int32_t, int8_t) X(int32_t, uint8_t) X(int32_t, int16_t) X(int32_t, uint16_t)      \
    X(uint32_t, int8_t) X(uint32_t, uint8_t) X(uint32_t, int16_t) X(uint32_t, uint16_t)  \
    X(int64_t, int8_t) X(int64_t, uint8_t) X(int64_t, int16_t) X(int64_t, uint16_t)      \
    X(int64_t, int32_t) X(int64_t, uint32_t) X(uint64_t, int8_t) X(uint64_t, uint8_t)    \
    X(uint64_t, int16_t) X(uint64_t, uint16_t) X(uint64_t, int32_t) X(uint64_t, uint32_t)\
    X(int8_t, uint8_t) X(uint8_t, int8_t) X(int16_t, uint16_t) X(uint16_t, int16_t)      \
    X(int32_t, uint32_t) X(uint32_t, int32_t)

// clamp_floats' AVX2 loops, for the pairs clamps_floats takes.
template <FloatElement S, IntegerElement D>
std::optional<size_t> avx2_clamp_floats(const S* src, D* dst, size_t n, RoundingMode rounding,
                                        const StandInMap<S>* map);

// X(S, D) for each of those pairs.
#define TOLVANE_CLAMPED_FLOAT_PAIRS(X)                                                   \
    X(float, int8_t) X(float, int16_t) X(float, uint16_t) X(double, int8_t)              \
    X(double, int16_t) X(double, uint16_t) X(double, uint32_t)

// f32_to_i32_checked's AVX2 loop.
std::optional<size_t> avx2_f32_to_i32_checked(const float* src, int32_t* dst, size_t n,
                                              RoundingMode rounding,
                                              const StandInMap<float>* map);

// i64_to_f32_nearest_mapped's AVX2 loop.
size_t avx2_i64_to_f32_mapped(const int64_t* src, float* dst, size_t n,
                              const TargetMap<int64_t, float>& map);

// The element counts of one step, which decide what is written before an error
// (1: every element before the failing one, as in the scalar loop).
inline constexpr size_t uint8_step = 8;
inline constexpr size_t int32_step = 2;
inline constexpr size_t element_step = 1;

}  // namespace tolvane::simd::x86

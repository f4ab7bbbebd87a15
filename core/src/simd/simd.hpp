// Vector fast paths of the conversion kernels. Each operation either converts
// the whole slice (converted = true), or stops at the first failing element
// with its error, or declines (converted = false, no error) and leaves the
// work, untouched, to the kernel's scalar loop. Results and errors are those
// of the scalar loop; only the destination elements already written when an
// error stops the conversion may differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "../cast_error.hpp"
#include "../element_types.hpp"
#include "../modes.hpp"

namespace tolvane::simd {

struct FastPathOutcome {
    bool converted = false;
    CastOutcome error;
};

// A scalar map as the float-to-integer paths fold it in: one entry, or four
// with the last one repeated, each with a stand-in, a source value that the
// conversion turns into the entry's target.
template <FloatElement S>
struct StandInMap {
    S sources[4];
    S stand_ins[4];
    bool one;
};

// float to uint8 under Clamp, 8 elements a step.
FastPathOutcome try_f32_to_u8_clamp(std::span<const float> src, std::span<uint8_t> dst,
                                    RoundingMode rounding);
FastPathOutcome try_f64_to_u8_clamp(std::span<const double> src, std::span<uint8_t> dst,
                                    RoundingMode rounding);
// float64 to int32 under Clamp, and with out-of-range values as errors; 2 elements a step.
FastPathOutcome try_f64_to_i32_clamp(std::span<const double> src, std::span<int32_t> dst,
                                     RoundingMode rounding);
FastPathOutcome try_f64_to_i32_check(std::span<const double> src, std::span<int32_t> dst,
                                     RoundingMode rounding);
// float64 to float32, nearest-even: converts everything, then (if asked)
// reports the first finite source that became an infinity.
FastPathOutcome try_f64_to_f32_nearest(std::span<const double> src, std::span<float> dst,
                                       bool check_overflow);

// float32 to int32 and to uint32 under Clamp; like the scalar loop, a failing
// element leaves every element before it written.
FastPathOutcome try_f32_to_i32_clamp(std::span<const float> src, std::span<int32_t> dst,
                                     RoundingMode rounding);
FastPathOutcome try_f32_to_u32_clamp(std::span<const float> src, std::span<uint32_t> dst,
                                     RoundingMode rounding);

// The float-to-integer paths above with a map's stand-ins in place of the
// mapped elements (the first matching entry's), in whole vector blocks up to
// the first block that holds a failing element. Each returns how many
// elements it wrote, from the start, for the kernel's element loop to go on
// from; or nothing, having written nothing, where the processor has no such
// path or the mode is NearestAway.
std::optional<size_t> try_f32_to_u8_clamp_mapped(std::span<const float> src,
                                                 std::span<uint8_t> dst, RoundingMode rounding,
                                                 const StandInMap<float>& map);
std::optional<size_t> try_f64_to_u8_clamp_mapped(std::span<const double> src,
                                                 std::span<uint8_t> dst, RoundingMode rounding,
                                                 const StandInMap<double>& map);
std::optional<size_t> try_f64_to_i32_clamp_mapped(std::span<const double> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<double>& map);
std::optional<size_t> try_f64_to_i32_check_mapped(std::span<const double> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<double>& map);
std::optional<size_t> try_f32_to_i32_clamp_mapped(std::span<const float> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<float>& map);
std::optional<size_t> try_f32_to_u32_clamp_mapped(std::span<const float> src,
                                                  std::span<uint32_t> dst, RoundingMode rounding,
                                                  const StandInMap<float>& map);

// float64 to float32, nearest-even, with a map's stand-ins put in, in whole
// vector blocks up to the first block with a finite source beyond the
// largest float32 (with `check_overflow`): how many elements it wrote, or
// nothing where the processor has no such path.
std::optional<size_t> try_f64_to_f32_nearest_mapped(std::span<const double> src,
                                                    std::span<float> dst, bool check_overflow,
                                                    const StandInMap<double>& map);

// Narrowing to float16 under any mode but NearestAway (float64 through a
// float32 step), and widening from it, with the processor's half-precision
// conversions. With `check_overflow` a finite source that becomes an infinity
// is the error, and every element before it is written, as in the scalar
// loop. They decline when the floating-point environment would make those
// instructions differ from the exact software conversion.
FastPathOutcome try_f32_to_f16(std::span<const float> src, std::span<float16> dst,
                               RoundingMode rounding, bool check_overflow);
FastPathOutcome try_f64_to_f16(std::span<const double> src, std::span<float16> dst,
                               RoundingMode rounding, bool check_overflow);
FastPathOutcome try_f16_to_f32(std::span<const float16> src, std::span<float> dst);

// The narrowings to float16 with a map's stand-ins put in, in whole vector
// blocks up to the first block with an infinite result (with
// `check_overflow`): how many elements they wrote, or nothing, having
// written nothing, where those above decline or the mode is NearestAway.
std::optional<size_t> try_f32_to_f16_mapped(std::span<const float> src, std::span<float16> dst,
                                            RoundingMode rounding, bool check_overflow,
                                            const StandInMap<float>& map);
std::optional<size_t> try_f64_to_f16_mapped(std::span<const double> src, std::span<float16> dst,
                                            RoundingMode rounding, bool check_overflow,
                                            const StandInMap<double>& map);

// A scalar map as the one-pass loops take it: one entry, or four with the
// last one repeated, which changes no first match, each source with its
// target.
template <Element S, Element D>
struct TargetMap {
    S sources[4];
    D targets[4];
    bool one;
};

// Integer narrowing with saturating packs (x86-64 with AVX2 only): under
// Clamp or, with `check`, up to the first vector with an element outside
// the target's range that the map doesn't catch; with a map's targets
// selected in where `map` isn't null. A change of sign at the same width
// takes `check` only (it writes nothing without). Returns how many elements
// it wrote, from the start, in whole vectors, for the kernel's loops to go
// on from (0 where the processor has no such path).
#if defined(__x86_64__)
template <IntegerElement S, IntegerElement D>
size_t narrow_integers(std::span<const S> src, std::span<D> dst, const TargetMap<S, D>* map,
                       bool check);
#else
template <IntegerElement S, IntegerElement D>
inline size_t narrow_integers(std::span<const S>, std::span<D>, const TargetMap<S, D>*, bool) {
    return 0;
}
#endif

// Float to integer conversion under Clamp, for the pairs clamps_floats
// takes (x86-64 with AVX2 only): whole vector blocks up to the first block
// with a NaN that the map doesn't catch, with the map's stand-ins put in
// where `map` isn't null. Returns how many elements it wrote, from the
// start, for the kernel's loops to go on from; or nothing, having written
// nothing, where the processor has no such path.
#if defined(__x86_64__)
template <FloatElement S, IntegerElement D>
std::optional<size_t> clamp_floats(std::span<const S> src, std::span<D> dst,
                                   RoundingMode rounding, const StandInMap<S>* map);
#else
template <FloatElement S, IntegerElement D>
inline std::optional<size_t> clamp_floats(std::span<const S>, std::span<D>, RoundingMode,
                                          const StandInMap<S>*) {
    return std::nullopt;
}
#endif

// The pairs clamp_floats takes: float32 and float64 into the integers of up
// to 16 bits that have no fast path of their own, and float64 into uint32.
template <class S, class D>
inline constexpr bool clamps_floats =
    (std::same_as<S, float> || std::same_as<S, double>) && IntegerElement<D> &&
    ((sizeof(D) <= 2 && !std::same_as<D, uint8_t>) ||
     (std::same_as<S, double> && std::same_as<D, uint32_t>));

// float32 to int32 with out-of-range values as errors (x86-64 with AVX2
// only): whole vector blocks up to the first block with a NaN or a value
// outside int32 that the map doesn't catch, with the map's stand-ins put in
// where `map` isn't null. Returns how many elements it wrote, from the
// start, or nothing, having written nothing, where the processor has no
// such path.
#if defined(__x86_64__)
std::optional<size_t> f32_to_i32_checked(std::span<const float> src, std::span<int32_t> dst,
                                         RoundingMode rounding, const StandInMap<float>* map);
#else
inline std::optional<size_t> f32_to_i32_checked(std::span<const float>, std::span<int32_t>,
                                                RoundingMode, const StandInMap<float>*) {
    return std::nullopt;
}
#endif

// int64 to float32, nearest-even, with a map's targets selected in (x86-64
// with AVX2 only): how many elements it wrote, from the start, in whole
// vectors (0 where the processor has no such path).
#if defined(__x86_64__)
size_t i64_to_f32_nearest_mapped(std::span<const int64_t> src, std::span<float> dst,
                                 const TargetMap<int64_t, float>& map);
#else
inline size_t i64_to_f32_nearest_mapped(std::span<const int64_t>, std::span<float>,
                                        const TargetMap<int64_t, float>&) {
    return 0;
}
#endif

// The pairs narrow_integers takes: the narrowings, and the changes of sign
// of 8-, 16- and 32-bit integers.
template <class S, class D>
inline constexpr bool packs_narrow =
    IntegerElement<S> && IntegerElement<D> &&
    (sizeof(D) < sizeof(S) ||
     (sizeof(D) == sizeof(S) && sizeof(S) <= 4 && std::is_signed_v<S> != std::is_signed_v<D>));

// Widening from float16 with a map's targets selected in after the
// conversion: the map's "stand-ins" are the targets themselves, which the
// widening leaves as they are. How many elements it wrote, in whole vector
// blocks, or nothing where try_f16_to_f32 would decline.
std::optional<size_t> try_f16_to_f32_mapped(std::span<const float16> src, std::span<float> dst,
                                            const StandInMap<float>& map);

// int64 to int32 with out-of-range values as errors (x86-64 only); like the
// scalar loop, a failing element leaves every element before it written.
FastPathOutcome try_i64_to_i32_check(std::span<const int64_t> src, std::span<int32_t> dst);

// int64 to float32, nearest-even, with the scalar conversion instruction in
// an unrolled loop (x86-64 only): the same results, written a vector at a time.
FastPathOutcome try_i64_to_f32_nearest(std::span<const int64_t> src, std::span<float> dst);

}  // namespace tolvane::simd

// What every x86-64 target file shares: the rounding control of the round
// instructions, the block runner and the path table. A target file includes
// this after its `#pragma GCC target`, so that the runner is compiled with
// that file's instruction set and inlines its block types; the file includes
// <immintrin.h>, "../fast_path_steps.hpp" and "paths.hpp" before the pragma,
// so that they stay baseline code. No include guard: one copy per target file.
//
// A target file supplies, in its own anonymous namespace, the block types
// F32ToU8Clamp, F64ToU8Clamp, F64ToI32Clamp and F64ToI32Check (templates on
// the rounding mode, each with a `width` and a `convert` that stores a whole
// block or returns false without writing), and F64ToF32: its `width`, a
// `Flags` type with `none()` and `any()`, and a `convert<Test = true>` that
// narrows one block and, with Test, ORs its overflow test into the flags. A
// file with half-precision conversions also supplies F32ToF16 and F64ToF16
// (templates on the rounding mode, each with a `width` and a
// `convert<CheckOverflow>` that stores a whole block, or returns false without
// writing when a result of the block is an infinity) and F16ToF32 (`width`,
// `convert`), and builds its table with make_extended_path_table, with
// I64ToI32 (`width`, and a `convert` that stores a whole block of int64 ->
// int32 or returns false without writing when an element is out of range),
// I64ToF32 (`width`, `convert`), F32ToI32Clamp and F32ToU32Clamp (templates on
// the rounding mode, like the other float-to-integer block types), and
// StandIns<S, how many sources other than NaNs it compares, whether it has a
// NaN source>, made from those sources, their stand-ins and the NaN source's,
// which puts a map's stand-ins in place of the mapped elements as a
// float-to-integer block type's `convert` loads them (its optional third
// argument), and F64ToF32's `convert_tested` (source, destination, whether to
// test for overflow, load), which stores a block, or returns false without
// writing where the test is asked and a result of the block may be an
// overflow.

#include "../float16_blocks-inl.hpp"

namespace tolvane::simd::x86 {

namespace {

using detail::ElementRule;
using detail::RangePolicy;

template <RoundingMode::Value Mode>
constexpr int rounding_control = _MM_FROUND_NO_EXC |
                                 (Mode == RoundingMode::NearestEven   ? _MM_FROUND_TO_NEAREST_INT
                                  : Mode == RoundingMode::TowardsZero ? _MM_FROUND_TO_ZERO
                                  : Mode == RoundingMode::TowardsPositive ? _MM_FROUND_TO_POS_INF
                                                                          : _MM_FROUND_TO_NEG_INF);

// Whole vector blocks while they succeed; the failing block, if any, and the
// rest go to the shared step-by-step finish.
template <class Vector, size_t Step, class Rule, FloatElement S, IntegerElement D>
FastPathOutcome run_blocks(std::span<const S> src, std::span<D> dst) {
    const size_t n = std::min(src.size(), dst.size());
    size_t i = 0;
    while (i + Vector::width <= n && Vector::convert(src.data() + i, dst.data() + i)) {
        i += Vector::width;
    }
    return detail::finish_in_steps<Step, Rule>(src.data(), dst.data(), i, n);
}

template <template <RoundingMode::Value> class Vector, RangePolicy Policy, size_t Step,
          FloatElement S, IntegerElement D>
FastPathOutcome float_to_int(std::span<const S> src, std::span<D> dst, RoundingMode rounding) {
    return detail::with_vector_rounding_mode(rounding, [&](auto mode) {
        constexpr RoundingMode::Value m = decltype(mode)::value;
        return run_blocks<Vector<m>, Step, ElementRule<m, Policy, S, D>>(src, dst);
    });
}

// Calls run(load) with the load that puts the map's stand-ins in: the
// entries with other sources than NaNs, in their order, one or all four,
// or up to three beside a NaN source (repeats at the end change no first
// match).
template <template <class, size_t, bool> class StandIns, FloatElement S, class Run>
std::optional<size_t> with_stand_ins(const StandInMap<S>& map, Run&& run) {
    S sources[4];
    S stand_ins[4];
    size_t count = 0;
    std::optional<S> nan;
    for (size_t e = 0; e < (map.one ? 1 : 4); ++e) {
        if (!is_nan(map.sources[e])) {
            sources[count] = map.sources[e];
            stand_ins[count++] = map.stand_ins[e];
        } else if (!nan) {
            nan = map.stand_ins[e];
        }
    }
    if (nan && count == 0) return run(StandIns<S, 0, true>(sources, stand_ins, *nan));
    if (!nan && count == 1) return run(StandIns<S, 1, false>(sources, stand_ins, S{}));
    for (; count < (nan ? 3 : 4); ++count) {
        sources[count] = sources[count - 1];
        stand_ins[count] = stand_ins[count - 1];
    }
    if (nan) return run(StandIns<S, 3, true>(sources, stand_ins, *nan));
    return run(StandIns<S, 4, false>(sources, stand_ins, S{}));
}

// Whole blocks of `width` elements from the start while convert(i) stores
// the one at i. Returns how many elements they wrote.
template <size_t Width, class Convert>
[[gnu::always_inline]] inline size_t whole_blocks(size_t n, Convert&& convert) {
    size_t i = 0;
    while (i + Width <= n && convert(i)) i += Width;
    return i;
}

// Whole blocks with the map's stand-ins put in, while they convert; nothing
// for NearestAway.
template <template <RoundingMode::Value> class Vector,
          template <class, size_t, bool> class StandIns, FloatElement S, IntegerElement D>
std::optional<size_t> blocks_with_map(std::span<const S> src, std::span<D> dst,
                                      RoundingMode rounding, const StandInMap<S>& map) {
    const size_t n = std::min(src.size(), dst.size());
    return with_stand_ins<StandIns>(map, [&](const auto& load) {
        return with_rounding_mode(rounding, [&](auto mode) -> std::optional<size_t> {
            if constexpr (mode.value == RoundingMode::NearestAway) {
                return std::nullopt;
            } else {
                using Block = Vector<mode.value>;
                return whole_blocks<Block::width>(n, [&](size_t i) {
                    return Block::convert(src.data() + i, dst.data() + i, load);
                });
            }
        });
    });
}

// float64 -> float32 in whole blocks with a map's stand-ins put in, up to
// the first block with a source that may overflow, when that is an error.
template <class Narrow, template <class, size_t, bool> class StandIns>
std::optional<size_t> f64_to_f32_with_map(std::span<const double> src, std::span<float> dst,
                                          bool check_overflow, const StandInMap<double>& map) {
    const size_t n = std::min(src.size(), dst.size());
    return with_stand_ins<StandIns>(map, [&](const auto& load) -> std::optional<size_t> {
        return whole_blocks<Narrow::width>(n, [&](size_t i) {
            return Narrow::convert_tested(src.data() + i, dst.data() + i, check_overflow, load);
        });
    });
}

// Narrowing to float16 with the map's stand-ins put in.
template <template <RoundingMode::Value> class Narrow,
          template <class, size_t, bool> class StandIns, FloatElement S>
std::optional<size_t> float16_with_map(std::span<const S> src, std::span<float16> dst,
                                       RoundingMode rounding, bool check_overflow,
                                       const StandInMap<S>& map) {
    return with_stand_ins<StandIns>(map, [&](const auto& load) {
        return float16_blocks::narrow_loaded<Narrow>(src, dst, rounding, check_overflow, load);
    });
}

// Widening from float16 with the map's targets selected in.
template <class Widen, template <class, size_t, bool> class StandIns>
std::optional<size_t> f16_to_f32_with_map(std::span<const float16> src, std::span<float> dst,
                                          const StandInMap<float>& map) {
    return with_stand_ins<StandIns>(map, [&](const auto& select) -> std::optional<size_t> {
        return float16_blocks::widen_selected<Widen>(src, dst, select);
    });
}

template <class Narrow>
FastPathOutcome f64_to_f32_nearest(std::span<const double> src, std::span<float> dst,
                                   bool check_overflow) {
    const size_t n = std::min(src.size(), dst.size());
    const double* in = src.data();
    float* out = dst.data();
    typename Narrow::Flags overflow = Narrow::none();
    size_t i = 0;
    if (check_overflow) {
        for (; i + Narrow::width <= n; i += Narrow::width) {
            Narrow::convert(in + i, out + i, overflow);
        }
    } else {
        for (; i + Narrow::width <= n; i += Narrow::width) {
            Narrow::template convert<false>(in + i, out + i, overflow);
        }
    }
    bool overflowed = Narrow::any(overflow);
    overflowed |= detail::narrow_to_float32(in, out, i, n);
    // The second pass runs only when the first one met a source that may overflow.
    if (check_overflow && overflowed) {
        if (CastOutcome error = detail::first_float32_overflow(in, out, n)) return {false, error};
    }
    return {true, std::nullopt};
}

template <template <RoundingMode::Value> class F32ToU8, template <RoundingMode::Value> class F64ToU8,
          template <RoundingMode::Value> class F64ToI32Clamp,
          template <RoundingMode::Value> class F64ToI32Check, class F64ToF32>
constexpr PathTable make_path_table() {
    // The paths not set here stay null.
    PathTable table{};
    table.f32_to_u8_clamp = float_to_int<F32ToU8, RangePolicy::Clamp, uint8_step, float, uint8_t>;
    table.f64_to_u8_clamp = float_to_int<F64ToU8, RangePolicy::Clamp, uint8_step, double, uint8_t>;
    table.f64_to_i32_clamp =
        float_to_int<F64ToI32Clamp, RangePolicy::Clamp, int32_step, double, int32_t>;
    table.f64_to_i32_check =
        float_to_int<F64ToI32Check, RangePolicy::Check, int32_step, double, int32_t>;
    table.f64_to_f32_nearest = f64_to_f32_nearest<F64ToF32>;
    return table;
}

// Whole blocks while they are in range; a block that isn't goes to the
// kernel's element loop, which writes the elements before the failing one.
template <class Narrow>
FastPathOutcome i64_to_i32_check(std::span<const int64_t> src, std::span<int32_t> dst) {
    const size_t n = std::min(src.size(), dst.size());
    const int64_t* in = src.data();
    int32_t* out = dst.data();
    size_t i = 0;
    for (; i + Narrow::width <= n; i += Narrow::width) {
        if (Narrow::convert(in + i, out + i)) continue;
        if (CastOutcome error = detail::narrow_to_int32(in, out, i, i + Narrow::width)) {
            return {false, error};
        }
    }
    if (CastOutcome error = detail::narrow_to_int32(in, out, i, n)) return {false, error};
    return {true, std::nullopt};
}

template <class Convert>
FastPathOutcome i64_to_f32_nearest(std::span<const int64_t> src, std::span<float> dst) {
    const size_t n = std::min(src.size(), dst.size());
    size_t i = 0;
    for (; i + Convert::width <= n; i += Convert::width) {
        Convert::convert(src.data() + i, dst.data() + i);
    }
    for (; i < n; ++i) dst[i] = static_cast<float>(src[i]);
    return {true, std::nullopt};
}

template <template <RoundingMode::Value> class F32ToU8,
          template <RoundingMode::Value> class F64ToU8,
          template <RoundingMode::Value> class F64ToI32Clamp,
          template <RoundingMode::Value> class F64ToI32Check, class F64ToF32,
          template <RoundingMode::Value> class F32ToF16,
          template <RoundingMode::Value> class F64ToF16, class F16ToF32, class I64ToI32,
          class I64ToF32, template <RoundingMode::Value> class F32ToI32Clamp,
          template <RoundingMode::Value> class F32ToU32Clamp,
          template <class, size_t, bool> class StandIns>
constexpr PathTable make_extended_path_table() {
    PathTable table = make_path_table<F32ToU8, F64ToU8, F64ToI32Clamp, F64ToI32Check, F64ToF32>();
    table.f32_to_f16 = float16_blocks::narrow<F32ToF16, float>;
    table.f64_to_f16 = float16_blocks::narrow<F64ToF16, double>;
    table.f16_to_f32 = float16_blocks::widen<F16ToF32>;
    table.i64_to_i32_check = i64_to_i32_check<I64ToI32>;
    table.i64_to_f32_nearest = i64_to_f32_nearest<I64ToF32>;
    table.f32_to_i32_clamp =
        float_to_int<F32ToI32Clamp, RangePolicy::Clamp, element_step, float, int32_t>;
    table.f32_to_u32_clamp =
        float_to_int<F32ToU32Clamp, RangePolicy::Clamp, element_step, float, uint32_t>;
    table.f32_to_u8_clamp_mapped =
        blocks_with_map<F32ToU8, StandIns, float, uint8_t>;
    table.f64_to_u8_clamp_mapped =
        blocks_with_map<F64ToU8, StandIns, double, uint8_t>;
    table.f64_to_i32_clamp_mapped =
        blocks_with_map<F64ToI32Clamp, StandIns, double, int32_t>;
    table.f64_to_i32_check_mapped =
        blocks_with_map<F64ToI32Check, StandIns, double, int32_t>;
    table.f32_to_i32_clamp_mapped =
        blocks_with_map<F32ToI32Clamp, StandIns, float, int32_t>;
    table.f32_to_u32_clamp_mapped =
        blocks_with_map<F32ToU32Clamp, StandIns, float, uint32_t>;
    table.f64_to_f32_nearest_mapped = f64_to_f32_with_map<F64ToF32, StandIns>;
    table.f32_to_f16_mapped = float16_with_map<F32ToF16, StandIns, float>;
    table.f64_to_f16_mapped = float16_with_map<F64ToF16, StandIns, double>;
    table.f16_to_f32_mapped = f16_to_f32_with_map<F16ToF32, StandIns>;
    return table;
}

}  // namespace

}  // namespace tolvane::simd::x86

// The element rules of float-to-float conversion: the nearest result, its
// move to a directed mode, the overflow test, the element loops and the
// block rule.
#pragma once

#include <limits>
#include <span>

#include "../cast_config.hpp"
#include "../cast_error.hpp"
#include "../element_types.hpp"
#include "../float16.hpp"
#include "../modes.hpp"
#include "../rounding.hpp"
#include "rule.hpp"

namespace tolvane::detail {

template <FloatElement S, FloatElement D>
inline constexpr bool is_narrowing = sizeof(D) < sizeof(S);

// x converted to D with round to nearest, ties to even (float64 to float16
// through float32); the same type is a plain bit copy.
template <FloatElement D, FloatElement S>
inline D nearest_from_float(S x) {
    if constexpr (std::same_as<S, D>) {
        return x;
    } else if constexpr (std::same_as<D, float16>) {
        if constexpr (std::same_as<S, double>) {
            return float64_to_float16(x);
        } else {
            return float32_to_float16(x);
        }
    } else if constexpr (std::same_as<S, float16>) {
        return static_cast<D>(float16_to_float32(x));
    } else {
        return static_cast<D>(x);
    }
}

template <FloatElement S, FloatElement D>
inline CastError float_overflow_error(S x) {
    const double bound = to_float64(max_finite<D>());
    return CastError::out_of_range(to_float64(x), -bound, bound);
}

// The element loop, specialised on whether it must adjust for a directed
// mode, look entries up and check for overflow.
template <bool Directed, bool Lookup, bool CheckOverflow, FloatElement S, FloatElement D>
CastOutcome float_to_float_loop(const S* in, D* out, size_t n, const CastConfig<S, D>& config) {
    const std::span<const MapEntry<S, D>> map(config.scalar_map);
    for (size_t i = 0; i < n; ++i) {
        const S x = in[i];
        if constexpr (Lookup) {
            if (write_map_target_for(map, x, out[i])) continue;
        }
        D r = nearest_from_float<D>(x);
        if constexpr (Directed) {
            r = apply_rounding_mode(r, ExactFloat64{to_float64(x)}, config.rounding);
        }
        if constexpr (CheckOverflow) {
            if (is_inf(r) && !is_inf(x) && !is_nan(x)) return float_overflow_error<S, D>(x);
        }
        out[i] = r;
    }
    return std::nullopt;
}

// The element rule of the block loops.
template <RoundingMode::Value Mode, bool CheckOverflow, FloatElement S, FloatElement D>
struct FloatToFloatRule : StagedAsTarget<D> {
    // Into float32, the directed modes overflow where the source alone says
    // so, whatever the thread's rounding direction: never towards zero, and
    // beyond the largest float32 on the side a mode rounds away to. The test
    // then stays in the source's lanes.
    static constexpr bool overflow_by_source =
        Mode != RoundingMode::NearestEven && Mode != RoundingMode::NearestAway &&
        std::same_as<D, float>;
    static constexpr bool checks =
        CheckOverflow && !(overflow_by_source && Mode == RoundingMode::TowardsZero);

    static D stage(S x) {
        const D r = nearest_from_float<D>(x);
        if constexpr (Mode == RoundingMode::NearestEven) {
            return r;
        } else {
            return step_to_source<Mode>(r, x);
        }
    }

    static bool needs_element_loop(S x, D r) {
        if constexpr (overflow_by_source) {
            constexpr S largest = static_cast<S>(std::numeric_limits<D>::max());
            constexpr S infinity = std::numeric_limits<S>::infinity();
            if constexpr (Mode == RoundingMode::TowardsPositive) {
                return (x > largest) & (x < infinity);
            } else {
                return (x < -largest) & (x > -infinity);
            }
        } else {
            return is_inf(r) & !is_inf(x) & !is_nan(x);
        }
    }
};

// The element loop of a mapped conversion.
template <FloatElement S, FloatElement D>
CastOutcome float_to_float_mapped_loop(const S* in, D* out, size_t n,
                                       const CastConfig<S, D>& config) {
    const bool directed = is_narrowing<S, D> && config.rounding != RoundingMode::NearestEven;
    if (is_narrowing<S, D> && config.out_of_range != OutOfRangeMode::Clamp) {
        return directed ? float_to_float_loop<true, true, true>(in, out, n, config)
                        : float_to_float_loop<false, true, true>(in, out, n, config);
    }
    return directed ? float_to_float_loop<true, true, false>(in, out, n, config)
                    : float_to_float_loop<false, true, false>(in, out, n, config);
}

}  // namespace tolvane::detail

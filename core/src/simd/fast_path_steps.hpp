// What the vector fast paths of every processor share: the one-element rules
// they fall back on (the element rules the kernels run), the step-by-step finish
// that a vector loop hands a failing block and its tail to, and the dispatch
// on the rounding mode.
//
// A processor's sources include this header before they select an instruction
// set for their own functions, so that everything defined here stays
// baseline code that any caller may share.
#pragma once

#include <cstddef>
#include <type_traits>

#include "../rules/float_to_float.hpp"
#include "../rules/float_to_int.hpp"
#include "../rules/int_to_int.hpp"
#include "simd.hpp"

namespace tolvane::simd::detail {

enum class RangePolicy : uint8_t { Clamp, Check };

// The scalar rule of a float-to-integer operation for one element.
template <RoundingMode::Value Mode, RangePolicy Policy, FloatElement S, IntegerElement D>
struct ElementRule {
    // The element's error, if converting it fails.
    static CastOutcome failure(S x) {
        if (is_nan(x)) return CastError::non_finite_to_int(static_cast<double>(x));
        if constexpr (Policy == RangePolicy::Check) {
            const double r = static_cast<double>(tolvane::detail::round_integral<Mode>(x));
            if (!tolvane::detail::in_target_range<D>(r)) {
                return tolvane::detail::integer_range_error<D>(r);
            }
        }
        return std::nullopt;
    }

    // The value of an element that doesn't fail.
    static D convert(S x) {
        return tolvane::detail::saturate_integral<D>(
            static_cast<double>(tolvane::detail::round_integral<Mode>(x)));
    }
};

// Converts src[start, n) in whole steps of `Step` elements, each written only
// when none of its elements fails, and then the tail one element at a time.
// A vector loop that meets a failing block stops there and hands the block
// over, so that the elements written are those of the steps before the
// failing step, whatever the width of the vector loop.
template <size_t Step, class Rule, FloatElement S, IntegerElement D>
FastPathOutcome finish_in_steps(const S* src, D* dst, size_t start, size_t n) {
    size_t i = start;
    for (; i + Step <= n; i += Step) {
        for (size_t k = 0; k < Step; ++k) {
            if (CastOutcome error = Rule::failure(src[i + k])) return {false, error};
        }
        for (size_t k = 0; k < Step; ++k) dst[i + k] = Rule::convert(src[i + k]);
    }
    for (; i < n; ++i) {
        if (CastOutcome error = Rule::failure(src[i])) return {false, error};
        dst[i] = Rule::convert(src[i]);
    }
    return {true, std::nullopt};
}

// Calls run(ModeConstant<mode>{}). NearestAway, which the kernel keeps on its
// scalar loop, is declined.
template <class Run>
FastPathOutcome with_vector_rounding_mode(RoundingMode rounding, Run&& run) {
    return with_rounding_mode(rounding, [&](auto mode) -> FastPathOutcome {
        if constexpr (mode.value == RoundingMode::NearestAway) {
            return {};
        } else {
            return run(mode);
        }
    });
}

// The largest float32. A finite float64 of greater magnitude may round to an
// infinity: from the largest float32 plus half a unit on when rounding to
// nearest, from just above it when the thread rounds away from zero. The
// vector loops flag such sources; the result decides.
inline constexpr double float32_max = 0x1.fffffep127;

// float64 -> float32 one element at a time, as the kernel's scalar loop does
// it. Returns whether a finite source overflowed.
inline bool narrow_to_float32(const double* src, float* dst, size_t start, size_t n) {
    bool overflow = false;
    for (size_t i = start; i < n; ++i) {
        dst[i] = static_cast<float>(src[i]);
        overflow |= is_inf(dst[i]) && !is_inf(src[i]);
    }
    return overflow;
}

// The second pass of float64 -> float32, run only when the first one saw a
// finite source above float32_max: the first such source, in index
// order, as the overflow error of the kernel.
inline CastOutcome first_float32_overflow(const double* src, const float* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (is_inf(dst[i]) && !is_inf(src[i])) {
            return tolvane::detail::float_overflow_error<double, float>(src[i]);
        }
    }
    return std::nullopt;
}

// Narrowing to float16 one element at a time from `start`, as the kernel's
// scalar loop does it: the float16 elements before a failing one are written.
template <RoundingMode::Value Mode, FloatElement S>
FastPathOutcome narrow_to_float16(const S* src, float16* dst, size_t start, size_t n,
                                  bool check_overflow) {
    for (size_t i = start; i < n; ++i) {
        const S x = src[i];
        float16 r = tolvane::detail::nearest_from_float<float16>(x);
        if constexpr (Mode != RoundingMode::NearestEven) {
            r = tolvane::step_to_source<Mode>(r, x);
        }
        if (check_overflow && is_inf(r) && !is_inf(x) && !is_nan(x)) {
            return {false, tolvane::detail::float_overflow_error<S, float16>(x)};
        }
        dst[i] = r;
    }
    return {true, std::nullopt};
}

// int64 -> int32 under no policy from `start` to `end`, by the kernel's own
// element loop.
inline CastOutcome narrow_to_int32(const int64_t* src, int32_t* dst, size_t start, size_t end) {
    const CastConfig<int64_t, int32_t> checked{{}, std::nullopt};
    return tolvane::detail::int_to_int_loop(src + start, dst + start, end - start, checked);
}

}  // namespace tolvane::simd::detail

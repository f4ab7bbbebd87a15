// Float-to-integer kernel.
#pragma once

#include <algorithm>
#include <cmath>
#include <span>

#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "float16.hpp"
#include "simd/simd.hpp"

namespace tolvane {

template <FloatElement S, IntegerElement D>
CastOutcome convert_slice_float_to_int(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config);

namespace detail {

// The arithmetic type a source element is rounded in: its own precision, with
// float16 carried in float32 (every float16 rounding result is exact there).
template <FloatElement S>
using RoundingType = std::conditional_t<std::same_as<S, double>, double, float>;

template <FloatElement S>
inline RoundingType<S> widen_for_rounding(S x) {
    if constexpr (std::same_as<S, float16>) {
        return float16_to_float32(x);
    } else {
        return x;
    }
}

// Rounds to an integral value. NearestAway is the exact round-half-away.
template <RoundingMode::Value Mode, class F>
inline F round_integral(F x) {
    if constexpr (Mode == RoundingMode::NearestEven) {
        return __builtin_roundeven(x);
    } else if constexpr (Mode == RoundingMode::TowardsZero) {
        return std::trunc(x);
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        return std::ceil(x);
    } else if constexpr (Mode == RoundingMode::TowardsNegative) {
        return std::floor(x);
    } else {
        return std::round(x);
    }
}

// An integral float64 r (infinities included) saturated into D.
template <IntegerElement D>
inline D saturate_integral(double r) {
    constexpr double lo = static_cast<double>(std::numeric_limits<D>::min());
    if (r < lo) return std::numeric_limits<D>::min();
    if (r >= integer_upper_limit<D>) return std::numeric_limits<D>::max();
    return static_cast<D>(r);
}

// An integral float64 r reduced modulo 2^width(D) into D's range, exactly.
template <IntegerElement D>
inline D wrap_integral(double r) {
    double q = std::fmod(r, 0x1p64);  // exact, |q| < 2^64
    if (q >= 0x1p63) {
        q -= 0x1p64;  // exact: q is a multiple of its own unit
    } else if (q < -0x1p63) {
        q += 0x1p64;
    }
    return static_cast<D>(static_cast<uint64_t>(static_cast<int64_t>(q)));
}

template <IntegerElement D>
inline bool in_target_range(double r) {
    return r >= static_cast<double>(std::numeric_limits<D>::min()) &&
           r < integer_upper_limit<D>;
}

template <IntegerElement D>
inline CastError integer_range_error(double r) {
    return CastError::out_of_range(r, static_cast<double>(std::numeric_limits<D>::min()),
                                   static_cast<double>(std::numeric_limits<D>::max()));
}

// The scalar loop, with the rounding mode and policy fixed for the whole slice.
template <RoundingMode::Value Mode, FloatElement S, IntegerElement D>
CastOutcome float_to_int_loop(const S* in, D* out, size_t n, const CastConfig<S, D>& config) {
    const std::span<const MapEntry<S, D>> map(config.scalar_map);
    const OutOfRangePolicy policy = config.out_of_range;
    for (size_t i = 0; i < n; ++i) {
        const S x = in[i];
        if (!map.empty()) {
            if (const D* target = find_map_target(map, x)) {
                out[i] = *target;
                continue;
            }
        }
        if (is_nan(x)) return CastError::non_finite_to_int(to_float64(x));
        const double r = static_cast<double>(round_integral<Mode>(widen_for_rounding(x)));
        if (!policy) {
            if (!in_target_range<D>(r)) return integer_range_error<D>(r);
            out[i] = static_cast<D>(r);
        } else if (*policy == OutOfRangeMode::Clamp) {
            out[i] = saturate_integral<D>(r);
        } else {
            if (std::isinf(r)) return CastError::non_finite_to_int(r);
            out[i] = in_target_range<D>(r) ? static_cast<D>(r) : wrap_integral<D>(r);
        }
    }
    return std::nullopt;
}

// Runs the fast path of the pair, if it has one for this call. Returns true
// when the fast path settled the whole call (with `result` set).
template <FloatElement S, IntegerElement D>
inline bool try_float_to_int_fast_path(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config, CastOutcome& result) {
    if (!config.scalar_map.empty() || config.rounding == RoundingMode::NearestAway) return false;
    simd::FastPathOutcome outcome{};
    if constexpr (std::same_as<S, double> && std::same_as<D, uint8_t>) {
        if (config.out_of_range != OutOfRangeMode::Clamp) return false;
        outcome = simd::try_f64_to_u8_clamp(src, dst, config.rounding);
    } else if constexpr (std::same_as<S, float> && std::same_as<D, uint8_t>) {
        if (config.out_of_range != OutOfRangeMode::Clamp) return false;
        outcome = simd::try_f32_to_u8_clamp(src, dst, config.rounding);
    } else if constexpr (std::same_as<S, double> && std::same_as<D, int32_t>) {
        if (config.out_of_range == OutOfRangeMode::Clamp) {
            outcome = simd::try_f64_to_i32_clamp(src, dst, config.rounding);
        } else if (!config.out_of_range) {
            outcome = simd::try_f64_to_i32_check(src, dst, config.rounding);
        } else {
            return false;
        }
    } else {
        return false;
    }
    if (!outcome.converted && !outcome.error) return false;
    result = outcome.error;
    return true;
}

}  // namespace detail

template <FloatElement S, IntegerElement D>
CastOutcome convert_slice_float_to_int(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config) {
    const size_t n = std::min(src.size(), dst.size());
    if (n == 0) return std::nullopt;
    CastOutcome fast;
    if (detail::try_float_to_int_fast_path(src.first(n), dst.first(n), config, fast)) return fast;
    switch (config.rounding) {
        case RoundingMode::NearestEven:
            return detail::float_to_int_loop<RoundingMode::NearestEven>(src.data(), dst.data(), n,
                                                                        config);
        case RoundingMode::TowardsZero:
            return detail::float_to_int_loop<RoundingMode::TowardsZero>(src.data(), dst.data(), n,
                                                                        config);
        case RoundingMode::TowardsPositive:
            return detail::float_to_int_loop<RoundingMode::TowardsPositive>(src.data(), dst.data(),
                                                                            n, config);
        case RoundingMode::TowardsNegative:
            return detail::float_to_int_loop<RoundingMode::TowardsNegative>(src.data(), dst.data(),
                                                                            n, config);
        case RoundingMode::NearestAway:
            break;
    }
    return detail::float_to_int_loop<RoundingMode::NearestAway>(src.data(), dst.data(), n, config);
}

}  // namespace tolvane

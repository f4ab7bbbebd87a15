// The element rules of float-to-integer conversion: rounding to an integral
// value, the out-of-range policies, the element loop and the block rule.
#pragma once

#include <bit>
#include <cmath>
#include <span>

#include "../cast_config.hpp"
#include "../cast_error.hpp"
#include "../element_types.hpp"
#include "../float16.hpp"
#include "../modes.hpp"
#include "rule.hpp"

namespace tolvane::detail {

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

// Rounds to an integral value, exactly, with operations that never read the
// caller's rounding direction, so that every loop and vector path gives the
// same result whatever the floating-point environment.
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
#if defined(__aarch64__)
        return std::round(x);
#else
        // round doesn't vectorise on x86: step from the truncation, whose
        // remainder x - t is exact.
        const F t = std::trunc(x);
        return t + std::copysign(std::fabs(x - t) >= F(0.5) ? F(1) : F(0), x);
#endif
    }
}

// Whether "nearest-away" rounds in one vector operation (round_integral).
#if defined(__aarch64__)
inline constexpr bool nearest_away_is_one_operation = true;
#else
inline constexpr bool nearest_away_is_one_operation = false;
#endif

// Whether ties-to-even rounding vectorises as itself. Elsewhere (x86) the
// vectoriser rounds to nearest only by the calling thread's rounding
// direction (nearbyint), which equals round_integral<NearestEven> while that
// direction is to nearest, checked once per call.
#if defined(__aarch64__)
inline constexpr bool vector_roundeven = true;
#else
inline constexpr bool vector_roundeven = false;
#endif

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
        if (write_map_target_for(map, x, out[i])) continue;
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

enum class RangeRule : uint8_t { Check, Clamp, Wrap };

// The bits of a finite, integral float64 r in two's complement modulo 2^64,
// exactly, in integer operations that vectorise (float64 to 64-bit integer
// conversions don't, before AVX-512): the significand shifted into place,
// negated for a negative r. This is r itself for every r that int64 or
// uint64 holds, and the exact reduction of any other.
inline uint64_t integral_bits(double r) {
    const uint64_t bits = std::bit_cast<uint64_t>(r);
    const uint64_t exponent = (bits >> 52) & 0x7ff;
    const uint64_t significand = (bits & 0xfffffffffffffu) | (uint64_t{1} << 52);
    // r = significand * 2^(exponent - 1075); shifts of 64 or more give 0.
    const uint64_t up = exponent - 1075;
    const uint64_t down = 1075 - exponent;
    const uint64_t shifted_up = up < 64 ? significand << (up & 63) : 0;
    const uint64_t shifted_down = down < 64 ? significand >> (down & 63) : 0;
    const uint64_t magnitude = exponent >= 1075 ? shifted_up : shifted_down;
    return (bits >> 63) != 0 ? 0 - magnitude : magnitude;
}

// The element rule of the block loops. The staged value is the rounded one
// in the rounding type (a NaN as any value, since its element never keeps
// it): under Check, one in D's range; under Clamp into targets up to 32
// bits, one saturated at D's least value, which `finish` saturates above;
// for 64-bit targets the float64 rounded value, which `finish` saturates
// (converted through its significand below 2^51 in magnitude, which sends
// blocks with larger values in D's range to the element loop, or with
// `Wide` through every bit of it).
// Under Wrap the staged value is the rounded value's bits modulo 2^64, or
// for narrower targets modulo 2^32, which a float64 below 2^51 in magnitude
// plus 1.5 * 2^52 holds in its own low bits (a larger one takes the element
// loop). Ties to even round with nearbyint where that is how they
// vectorise, so the kernel runs this rule only while the thread rounds to
// nearest.
template <RoundingMode::Value Mode, RangeRule Range, FloatElement S, IntegerElement D,
          bool Wide = false>
struct FloatToIntRule {
    using F = RoundingType<S>;
    using Limits = std::numeric_limits<D>;
    using Stage = std::conditional_t<Range == RangeRule::Wrap,
                                     std::conditional_t<sizeof(D) == 8, uint64_t, uint32_t>,
                                     std::conditional_t<sizeof(D) == 8, double, F>>;
    static constexpr bool checks = true;
    static constexpr bool stages_source = false;
    // Under Wrap, where every lane has one width, rounding twice costs less
    // than a buffer (0.75-0.9x), except where "nearest-away" takes several
    // operations (x86); under Clamp and Check it measured level or slower.
    static constexpr bool restages =
        Range == RangeRule::Wrap && sizeof(S) == sizeof(Stage) && sizeof(Stage) == sizeof(D) &&
        (Mode != RoundingMode::NearestAway || nearest_away_is_one_operation);

    // Under Clamp into targets up to 32 bits, `stage` saturates below and
    // `finish` above: GCC merges two selects in one loop into more
    // operations than the two take apart (0.55-0.85 of the time).
    static constexpr bool saturates_in_finish = Range == RangeRule::Clamp && sizeof(D) <= 4;

    static F rounded(S x) {
        if constexpr (Mode == RoundingMode::NearestEven && !vector_roundeven) {
            return std::nearbyint(widen_for_rounding(x));
        } else {
            return round_integral<Mode>(widen_for_rounding(x));
        }
    }

    static Stage stage(S x) {
        if constexpr (Range == RangeRule::Wrap && sizeof(D) == 8) {
            return integral_bits(static_cast<double>(rounded(x)));
        } else if constexpr (Range == RangeRule::Wrap) {
            return static_cast<uint32_t>(
                std::bit_cast<uint64_t>(static_cast<double>(rounded(x)) + 0x1.8p52));
        } else if constexpr (sizeof(D) == 8) {
            return rounded(x);
        } else if constexpr (Range == RangeRule::Check) {
            // Only a block without values outside D reaches `finish`.
            return rounded(x);
        } else {
            // Saturated below only; a NaN takes D's least value.
            constexpr F lo = F(Limits::min());
            const F r = rounded(x);
            return r > lo ? r : lo;
        }
    }

    // NaNs always; under Check also every value outside D, under Wrap the
    // infinities, and for narrow targets every value from 2^51 on; for
    // 64-bit targets, under Check and Clamp, values from 2^51 on in D's
    // range, which `finish` takes through the significand's bits.
    static bool needs_element_loop(S x, Stage) {
        if constexpr (sizeof(D) == 8 && Range != RangeRule::Wrap && !Wide) {
            const F r = rounded(x);
            const bool small = std::fabs(r) < F(0x1p51);
            if constexpr (Range == RangeRule::Check) {
                return (!small) | (std::is_unsigned_v<D> & (r < F(0)));
            } else {
                const bool beyond = (r < F(Limits::min())) | (r >= F(integer_upper_limit<D>));
                return (!small) & (!beyond);
            }
        } else if constexpr (Range == RangeRule::Clamp) {
            const F w = widen_for_rounding(x);
            return w != w;
        } else if constexpr (Range == RangeRule::Wrap && sizeof(D) == 8) {
            return !(std::fabs(rounded(x)) < std::numeric_limits<F>::infinity());
        } else if constexpr (Range == RangeRule::Wrap) {
            return !(std::fabs(rounded(x)) < F(0x1p51));
        } else {
            return !in_range(rounded(x));
        }
    }

    static bool in_range(F r) { return (r >= F(Limits::min())) & (r < F(integer_upper_limit<D>)); }

    // In conversions that vectorise: narrow targets and uint32 through int32
    // (uint32 offset by 2^31, exactly), 64-bit ones through the bits of a
    // float64 sum.
    static D finish(S, Stage r) {
        if constexpr (Range == RangeRule::Wrap) {
            return static_cast<D>(r);
        } else if constexpr (sizeof(D) == 8) {
            // r below 2^51 in magnitude: r + 1.5 * 2^52 holds it in its
            // significand, offset by the sum's bits for 0.
            constexpr uint64_t offset = std::bit_cast<uint64_t>(0x1.8p52);
            const auto inside =
                Wide ? static_cast<D>(integral_bits(r))
                     : static_cast<D>(std::bit_cast<uint64_t>(r + 0x1.8p52) - offset);
            if constexpr (Range == RangeRule::Check) {
                return inside;
            } else {
                constexpr double lo = static_cast<double>(Limits::min());
                return r < lo ? Limits::min()
                              : (r >= integer_upper_limit<D> ? Limits::max() : inside);
            }
        } else if constexpr (sizeof(D) < 4 || sizeof(Stage) == 8) {
            constexpr Stage hi = Stage(Limits::max());
            const Stage v = saturates_in_finish ? (r < hi ? r : hi) : r;
            if constexpr (sizeof(D) < 4) {
                return static_cast<D>(static_cast<int32_t>(v));
            } else {
                // v, within D's range, plus 1.5 * 2^52 holds v modulo 2^32
                // in its low bits.
                return static_cast<D>(std::bit_cast<uint64_t>(v + 0x1.8p52));
            }
        } else {
            constexpr Stage half = Stage(0x1p31);
            const bool upper = std::is_unsigned_v<D> && r >= half;
            const Stage v = upper ? r - half : r;
            const auto top = static_cast<uint32_t>(upper) << 31;
            if constexpr (!saturates_in_finish) {
                // r lies in D's range, so v below 2^31.
                return static_cast<D>(static_cast<uint32_t>(static_cast<int32_t>(v)) ^ top);
            } else {
                // The greatest Stage value below 2^31, which int32 holds: v
                // is capped at it (a minimum the processor has), since 2^31
                // itself is beyond int32. Only values from 2^bits on reach
                // it, and they take D's greatest value below.
                constexpr Stage below_half = half - Stage(sizeof(Stage) == 4 ? 128 : 1);
                const Stage capped = v < below_half ? v : below_half;
                const auto low = static_cast<uint32_t>(static_cast<int32_t>(capped));
                const D value = static_cast<D>(low ^ top);
                return r >= Stage(integer_upper_limit<D>) ? Limits::max() : value;
            }
        }
    }
};

// The element loop under the call's rounding mode.
template <FloatElement S, IntegerElement D>
CastOutcome float_to_int_element_loop(const S* in, D* out, size_t n,
                                      const CastConfig<S, D>& config) {
    return with_rounding_mode(config.rounding, [&](auto mode) {
        return float_to_int_loop<mode.value>(in, out, n, config);
    });
}

}  // namespace tolvane::detail

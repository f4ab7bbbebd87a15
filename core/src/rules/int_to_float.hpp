// The element rules of integer-to-float conversion: the nearest result, its
// move to a directed mode on the exact difference, the element loop and the
// block rule.
#pragma once

#include <bit>
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

// A 64-bit integer converted to float64 with one rounding, as the processor's
// conversion rounds it, in operations that vectorise (before AVX-512 the
// processor converts 64-bit integers one at a time): x is high * 2^32 + low,
// each half exact in float64 from its bits, high * 2^32 is exact, and their
// sum is the one rounding. Rounding downward, a half of zero comes out as -0,
// so zero itself is kept apart.
template <IntegerElement S>
inline double int64_to_float64(S x) {
    constexpr uint64_t two_52 = 0x4330000000000000u;  // the bits of 2^52
    // A signed high half is offset by 2^31 into an unsigned one.
    constexpr uint64_t offset = std::is_signed_v<S> ? uint64_t{1} << 31 : 0;
    const uint64_t u = static_cast<uint64_t>(x);
    const double high =
        std::bit_cast<double>(((u >> 32) ^ offset) | two_52) - (0x1p52 + static_cast<double>(offset));
    const double low = std::bit_cast<double>((u & 0xffffffffu) | two_52) - 0x1p52;
    return u != 0 ? high * 0x1p32 + low : 0.0;
}

// x converted to D with round to nearest, ties to even: one rounding of the
// exact integer (into float16 through float32, which is exact below 2^24 and
// overflows alike above).
template <FloatElement D, IntegerElement S>
inline D nearest_from_integer(S x) {
    if constexpr (std::same_as<D, float16>) {
        return float32_to_float16(static_cast<float>(x));
    } else if constexpr (std::same_as<D, double> && sizeof(S) == 8) {
        return int64_to_float64(x);
    } else if constexpr (std::same_as<D, float> && std::same_as<S, uint64_t>) {
        // From 2^53 on, the bits below the 53 that float64 keeps are folded
        // into one sticky bit at the lowest place it keeps: the float64 is
        // then exact, and its one rounding to float32 is that of x.
        const uint64_t folded = (x & ~uint64_t{0x7ff}) | ((x & 0x7ff) != 0 ? 0x800 : 0);
        return static_cast<float>(int64_to_float64(x < (uint64_t{1} << 53) ? x : folded));
    } else {
        return static_cast<D>(x);
    }
}

// The exact source value that directed modes compare with.
template <IntegerElement S>
inline auto exact_integer(S x) {
    if constexpr (sizeof(S) == 8) {
        return ExactInteger{static_cast<__int128>(x)};
    } else {
        return ExactFloat64{static_cast<double>(x)};
    }
}

// Whether every value of S is exact in D, so that no mode can change a result.
template <IntegerElement S, FloatElement D>
inline constexpr bool int_exact_in =
    std::numeric_limits<S>::digits <= (std::same_as<D, double>    ? 53
                                       : std::same_as<D, float>   ? 24
                                                                  : 11);

// The element loop: scalar map, then the nearest result moved to the mode.
template <IntegerElement S, FloatElement D>
CastOutcome int_to_float_loop(const S* in, D* out, size_t n, const CastConfig<S, D>& config,
                              bool nearest) {
    const std::span<const MapEntry<S, D>> map(config.scalar_map);
    for (size_t i = 0; i < n; ++i) {
        const S x = in[i];
        if (write_map_target_for(map, x, out[i])) continue;
        const D r = nearest_from_integer<D>(x);
        out[i] = nearest ? r : apply_rounding_mode(r, exact_integer(x), config.rounding);
    }
    return std::nullopt;
}

// r - x for a result r of the conversion of x, exactly: for sources of up to
// 32 bits in float64 directly; a 64-bit x is split into halves that float64
// holds exactly, in integer arithmetic that vectorises, and r - x is an
// integer below 2^53 in magnitude (or an infinity), which every step holds.
template <IntegerElement S, FloatElement D>
inline double exact_difference(D r, S x) {
    const double rd = widen_result<double>(r);
    if constexpr (sizeof(S) <= 4) {
        return rd - static_cast<double>(x);
    } else {
        constexpr uint64_t bias = std::is_signed_v<S> ? uint64_t{1} << 63 : 0;
        constexpr uint64_t two_52 = 0x4330000000000000u;  // the bits of 2^52
        const uint64_t u = static_cast<uint64_t>(x) ^ bias;
        const double high = std::bit_cast<double>((u >> 32) | two_52) - 0x1p52;
        const double low = std::bit_cast<double>((u & 0xffffffffu) | two_52) - 0x1p52;
        const double high_part = high * 0x1p32 - static_cast<double>(bias);
        return (rd - high_part) - low;
    }
}

// The element rule of the block loops: the nearest result, then the one-step
// move of the mode, decided on the exact difference. The conversion has a
// loop of its own, since 64-bit integers convert in vectors only on some
// processors, and the move vectorises everywhere.
template <RoundingMode::Value Mode, IntegerElement S, FloatElement D>
struct IntToFloatRule : StagedAsTarget<D> {
    static constexpr bool checks = false;
    static D stage(S x) { return nearest_from_integer<D>(x); }
    static D finish(S x, D r) {
        if constexpr (Mode == RoundingMode::NearestEven) {
            return r;
        } else {
            return step_to_mode<Mode>(r, exact_difference(r, x));
        }
    }
};

}  // namespace tolvane::detail

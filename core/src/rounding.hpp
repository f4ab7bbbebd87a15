// Directed roundings of float results: a value is first converted to nearest,
// ties to even, and then moved at most one step by `apply_rounding_mode`.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "element_types.hpp"
#include "float16.hpp"
#include "modes.hpp"

namespace tolvane {

// The adjacent representable value above v (NaN and +inf stay, zeros go to
// the smallest positive subnormal).
template <FloatElement T>
inline T next_up(T v) {
    using Tr = FloatTraits<T>;
    using Bits = typename Tr::Bits;
    const Bits p = Tr::to_bits(v);
    const Bits magnitude = p & static_cast<Bits>(~Tr::sign_mask);
    if (magnitude > Tr::inf_bits || p == Tr::inf_bits) return v;
    if (magnitude == 0) return Tr::from_bits(1);
    return Tr::from_bits(static_cast<Bits>((p & Tr::sign_mask) ? p - 1 : p + 1));
}

// The adjacent representable value below v (NaN and -inf stay, zeros go to
// the smallest negative subnormal).
template <FloatElement T>
inline T next_down(T v) {
    using Tr = FloatTraits<T>;
    using Bits = typename Tr::Bits;
    const Bits p = Tr::to_bits(v);
    const Bits magnitude = p & static_cast<Bits>(~Tr::sign_mask);
    if (magnitude > Tr::inf_bits || p == static_cast<Bits>(Tr::sign_mask | Tr::inf_bits)) return v;
    if (magnitude == 0) return Tr::from_bits(static_cast<Bits>(Tr::sign_mask | 1));
    return Tr::from_bits(static_cast<Bits>((p & Tr::sign_mask) ? p + 1 : p - 1));
}

// The exact value a rounded result is compared with. Float sources and
// integers of up to 32 bits are exact as float64; 64-bit integers are kept
// as 128-bit integers so that no decision rests on a float64 rounding.
struct ExactFloat64 {
    double value;
};
struct ExactInteger {
    __int128 value;
};

namespace detail {

// The sign of (r - x), or 0 when equal. r is never a NaN here.
inline int compare(double r, ExactFloat64 x) { return (r > x.value) - (r < x.value); }

inline int compare(double r, ExactInteger x) {
    if (std::isinf(r)) return r > 0 ? 1 : -1;
    // A nearest rounding of an integer is itself an integer, and every
    // result here is below 2^65 in magnitude.
    const __int128 ri = static_cast<__int128>(r);
    return (ri > x.value) - (ri < x.value);
}

inline bool is_midpoint(double a, double b, ExactFloat64 x) {
    return (a + b) * 0.5 == x.value;
}

inline bool is_midpoint(double a, double b, ExactInteger x) {
    if (std::isinf(a) || std::isinf(b)) return false;
    return static_cast<__int128>(a) + static_cast<__int128>(b) == 2 * x.value;
}

inline bool exact_is_nan(ExactFloat64 x) { return std::isnan(x.value); }
inline bool exact_is_nan(ExactInteger) { return false; }
inline bool exact_is_negative(ExactFloat64 x) { return x.value < 0; }
inline bool exact_is_negative(ExactInteger x) { return x.value < 0; }

}  // namespace detail

// float32 -> float64 exactly, with the processor's conversion only for
// normal values: denormals-are-zero would read a subnormal as zero, and a
// result compared with its source must keep its value. A subnormal's bits
// count units of 2^-149.
inline double float32_to_float64_exactly(float f) {
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    const uint32_t magnitude = bits & 0x7fffffffu;
    const double unit = (bits >> 31) != 0 ? -0x1p-149 : 0x1p-149;
    const double subnormal = static_cast<double>(static_cast<int32_t>(magnitude)) * unit;
    return magnitude < 0x00800000u ? subnormal : static_cast<double>(f);
}

// A result of D exactly in the wider type W, whatever the thread's
// floating-point state.
template <class W, FloatElement D>
inline W widen_result(D r) {
    if constexpr (std::same_as<D, float16>) {
        return static_cast<W>(float16_to_float32(r));
    } else if constexpr (std::same_as<D, float> && std::same_as<W, double>) {
        return float32_to_float64_exactly(r);
    } else {
        return static_cast<W>(r);
    }
}

// Turns r, the nearest-even result for the exact value x, into the result of
// `mode`. Only a result on the wrong side of x moves, by exactly one step; for
// NearestAway only an exact tie moves, to the neighbour of larger magnitude.
template <FloatElement D, class Exact>
inline D apply_rounding_mode(D r, Exact x, RoundingMode mode) {
    if (detail::exact_is_nan(x) || is_nan(r)) return r;
    const double rd = widen_result<double>(r);
    const int c = detail::compare(rd, x);
    if (c == 0) return r;
    switch (mode) {
        case RoundingMode::TowardsZero: {
            const bool negative = detail::exact_is_negative(x);
            const bool too_large = negative ? c < 0 : c > 0;
            if (too_large) return negative ? next_up(r) : next_down(r);
            return r;
        }
        case RoundingMode::TowardsPositive:
            return c < 0 ? next_up(r) : r;
        case RoundingMode::TowardsNegative:
            return c > 0 ? next_down(r) : r;
        case RoundingMode::NearestAway: {
            const D n = c < 0 ? next_up(r) : next_down(r);
            const double nd = widen_result<double>(n);
            if (std::fabs(nd) > std::fabs(rd) && detail::is_midpoint(rd, nd, x)) return n;
            return r;
        }
        case RoundingMode::NearestEven:
            break;
    }
    return r;
}

// apply_rounding_mode in straight-line code that vectorises, given on which
// side of the exact value x the nearest result r lies (`below`: r < x,
// `above`: r > x) and, for NearestAway, `halfway(n)`: whether x lies halfway
// between r and its neighbour n away from zero. r moves by one unit of its
// bit pattern, which is one step towards or away from zero (infinity steps
// down to the largest finite value). A NaN is on neither side and stays.
template <RoundingMode::Value Mode, FloatElement D, class Halfway>
inline D step_to_mode_from_sides(D r, bool below, bool above, Halfway halfway) {
    using Traits = FloatTraits<D>;
    using Bits = typename Traits::Bits;
    const Bits bits = Traits::to_bits(r);
    const bool negative = (bits & Traits::sign_mask) != 0;
    bool move;
    Bits moved;
    if constexpr (Mode == RoundingMode::TowardsZero) {
        move = negative ? below : above;
        moved = static_cast<Bits>(bits - 1);
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        move = below;
        moved = static_cast<Bits>(negative ? bits - 1 : bits + 1);
    } else if constexpr (Mode == RoundingMode::TowardsNegative) {
        move = above;
        moved = static_cast<Bits>(negative ? bits + 1 : bits - 1);
    } else {
        // NearestAway: only a tie that went to the smaller magnitude moves.
        moved = static_cast<Bits>(bits + 1);
        move = (negative ? above : below) && halfway(Traits::from_bits(moved));
    }
    return move ? Traits::from_bits(moved) : r;
}

// The move for a result r of D and the exact difference e = r - x (an
// integer or an infinity, for integer sources).
template <RoundingMode::Value Mode, FloatElement D, class W>
inline D step_to_mode(D r, W e) {
    return step_to_mode_from_sides<Mode>(r, e < W(0), e > W(0), [&](D n) {
        return (widen_result<W>(n) - widen_result<W>(r)) * W(0.5) == -e;
    });
}

// The move for a result r of D and a float source x of the wider type S,
// decided by comparisons alone: a difference r - x can be a subnormal, which
// flush-to-zero would turn into a zero. The sum of two neighbours of D and
// its half are exact and normal in S.
template <RoundingMode::Value Mode, FloatElement D, FloatElement S>
inline D step_to_source(D r, S x) {
    const S rs = widen_result<S>(r);
    return step_to_mode_from_sides<Mode>(r, rs < x, rs > x, [&](D n) {
        return (rs + widen_result<S>(n)) * S(0.5) == x;
    });
}

}  // namespace tolvane

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

// A result of D exactly in the wider type W.
template <class W, FloatElement D>
inline W widen_result(D r) {
    if constexpr (std::same_as<D, float16>) {
        return static_cast<W>(float16_to_float32(r));
    } else {
        return static_cast<W>(r);
    }
}

// A result of D exactly in float64, whatever the thread's floating-point
// state: the processor's conversion would read a subnormal float32 as zero
// under denormals-are-zero, so a subnormal's bits are taken as a count of
// units of 2^-149 instead.
template <FloatElement D>
inline double exact_float64(D r) {
    if constexpr (std::same_as<D, float>) {
        const uint32_t bits = std::bit_cast<uint32_t>(r);
        const uint32_t magnitude = bits & 0x7fffffffu;
        if (magnitude >= 0x00800000u) return static_cast<double>(r);
        const double value = static_cast<double>(magnitude) * 0x1p-149;
        return (bits >> 31) != 0 ? -value : value;
    } else {
        return widen_result<double>(r);
    }
}

// Turns r, the nearest-even result for the exact value x, into the result of
// `mode`. Only a result on the wrong side of x moves, by exactly one step; for
// NearestAway only an exact tie moves, to the neighbour of larger magnitude.
template <FloatElement D, class Exact>
inline D apply_rounding_mode(D r, Exact x, RoundingMode mode) {
    if (detail::exact_is_nan(x) || is_nan(r)) return r;
    const double rd = exact_float64(r);
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
            const double nd = exact_float64(n);
            if (std::fabs(nd) > std::fabs(rd) && detail::is_midpoint(rd, nd, x)) return n;
            return r;
        }
        case RoundingMode::NearestEven:
            break;
    }
    return r;
}

// apply_rounding_mode in straight-line code that vectorises, given the exact
// difference e = r - x of the nearest result r and the value x (a NaN when x
// is one): r moves by one unit of its bit pattern, which is one step towards
// or away from zero (infinity steps down to the largest finite value). A NaN
// compares false everywhere and stays.
template <RoundingMode::Value Mode, FloatElement D, class W>
inline D step_to_mode(D r, W e) {
    using Traits = FloatTraits<D>;
    using Bits = typename Traits::Bits;
    const Bits bits = Traits::to_bits(r);
    const bool negative = (bits & Traits::sign_mask) != 0;
    bool move;
    Bits moved;
    if constexpr (Mode == RoundingMode::TowardsZero) {
        move = (negative ? -e : e) > W(0);
        moved = static_cast<Bits>(bits - 1);
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        move = e < 0;
        moved = static_cast<Bits>(negative ? bits - 1 : bits + 1);
    } else if constexpr (Mode == RoundingMode::TowardsNegative) {
        move = e > 0;
        moved = static_cast<Bits>(negative ? bits + 1 : bits - 1);
    } else {
        // NearestAway: only a tie that went to the smaller magnitude moves,
        // when x lies halfway between r and its neighbour away from zero.
        moved = static_cast<Bits>(bits + 1);
        const W step = widen_result<W>(Traits::from_bits(moved)) - widen_result<W>(r);
        move = (negative ? e : -e) > W(0) && step * W(0.5) == -e;
    }
    return move ? Traits::from_bits(moved) : r;
}

// step_to_mode for a float source x of the wider type S, decided by
// comparing r with x: the difference r - x can be a subnormal, which
// flush-to-zero would turn into a zero. r has the sign of x, so a result too
// far from zero is one of greater magnitude. The sum of r and its neighbour
// and half of it are exact and normal in S.
template <RoundingMode::Value Mode, FloatElement D, FloatElement S>
inline D step_to_source(D r, S x) {
    using Traits = FloatTraits<D>;
    using Bits = typename Traits::Bits;
    const Bits bits = Traits::to_bits(r);
    const bool negative = (bits & Traits::sign_mask) != 0;
    const S rs = widen_result<S>(r);
    bool move;
    Bits moved;
    if constexpr (Mode == RoundingMode::TowardsZero) {
        move = std::fabs(rs) > std::fabs(x);
        moved = static_cast<Bits>(bits - 1);
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        move = rs < x;
        moved = static_cast<Bits>(negative ? bits - 1 : bits + 1);
    } else if constexpr (Mode == RoundingMode::TowardsNegative) {
        move = rs > x;
        moved = static_cast<Bits>(negative ? bits + 1 : bits - 1);
    } else {
        moved = static_cast<Bits>(bits + 1);
        const S halfway = (rs + widen_result<S>(Traits::from_bits(moved))) * S(0.5);
        move = std::fabs(rs) < std::fabs(x) && halfway == x;
    }
    return move ? Traits::from_bits(moved) : r;
}

}  // namespace tolvane

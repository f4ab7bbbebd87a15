// An element-by-element model of every conversion, written apart from the
// kernels so that the fuzzer compares two independent computations. Values
// are carried as long double, which holds every element of every type
// exactly (64-bit integers included); float16 is decoded with ldexp and
// rounded on a table of all its finite values instead of on bit patterns.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "cast_error.hpp"
#include "element_types.hpp"
#include "modes.hpp"

namespace tolvane::fuzz {

static_assert(std::numeric_limits<long double>::digits >= 64,
              "the model needs a long double that holds every 64-bit integer");

using Real = long double;

inline Real float16_value(uint16_t bits) {
    const int exponent = (bits >> 10) & 0x1f;
    const int mantissa = bits & 0x3ff;
    Real magnitude;
    if (exponent == 0x1f) {
        magnitude = mantissa ? std::numeric_limits<Real>::quiet_NaN()
                             : std::numeric_limits<Real>::infinity();
    } else if (exponent == 0) {
        magnitude = std::ldexp(static_cast<Real>(mantissa), -24);
    } else {
        magnitude = std::ldexp(static_cast<Real>(1024 + mantissa), exponent - 25);
    }
    return (bits & 0x8000) ? -magnitude : magnitude;
}

template <Element T>
Real exact_value(T x) {
    if constexpr (std::same_as<T, float16>) {
        return float16_value(x.bits);
    } else {
        return static_cast<Real>(x);
    }
}

template <Element T>
bool is_nan_element(T x) {
    if constexpr (IntegerElement<T>) {
        return false;
    } else {
        return std::isnan(exact_value(x));
    }
}

template <Element T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Two adjacent values of a float type around an exact value x, with lo <= x <= hi
// (lo == hi when x is representable). Past the largest finite value the
// infinity stands in for the next step, whose value `hi_step` is the power of
// two where the exponent range ends; midpoints are taken with that value.
template <FloatElement D>
struct Bracket {
    D lo, hi;
    Real lo_step, hi_step;
    bool exact() const { return lo_step == hi_step; }
};

inline const std::array<Real, 0x7c00>& float16_magnitudes() {
    static const auto table = [] {
        std::array<Real, 0x7c00> t{};
        for (uint16_t p = 0; p < 0x7c00; ++p) t[p] = float16_value(p);
        return t;
    }();
    return table;
}

template <FloatElement D>
Real step_value(D v) {
    if (!std::isinf(exact_value(v))) return exact_value(v);
    const Real edge = std::same_as<D, float16> ? std::ldexp(Real(1), 16)
                      : std::same_as<D, float> ? std::ldexp(Real(1), 128)
                                               : std::ldexp(Real(1), 1024);
    return exact_value(v) < 0 ? -edge : edge;
}

// x is not a NaN.
template <FloatElement D>
Bracket<D> bracket(Real x) {
    if constexpr (std::same_as<D, float16>) {
        const bool negative = std::signbit(x);
        const Real magnitude = std::fabs(x);
        const auto& table = float16_magnitudes();
        uint16_t below, above;
        if (std::isinf(magnitude)) {
            below = above = 0x7c00;
        } else {
            // The last finite value not above |x|, and the one after it.
            const auto it = std::upper_bound(table.begin(), table.end(), magnitude);
            below = static_cast<uint16_t>(it - table.begin() - 1);
            above = table[below] == magnitude ? below : static_cast<uint16_t>(below + 1);
        }
        const uint16_t sign = negative ? 0x8000 : 0;
        const float16 a{static_cast<uint16_t>(below | sign)},
            b{static_cast<uint16_t>(above | sign)};
        Bracket<D> result{negative ? b : a, negative ? a : b, 0, 0};
        result.lo_step = step_value(result.lo);
        result.hi_step = step_value(result.hi);
        return result;
    } else {
        // The hardware conversion rounds to nearest; the other side is one
        // nextafter away.
        const D nearest = static_cast<D>(x);
        const Real nearest_value = static_cast<Real>(nearest);
        D lo = nearest, hi = nearest;
        if (nearest_value < x) hi = std::nextafter(nearest, std::numeric_limits<D>::infinity());
        if (nearest_value > x) lo = std::nextafter(nearest, -std::numeric_limits<D>::infinity());
        return Bracket<D>{lo, hi, step_value(lo), step_value(hi)};
    }
}

template <FloatElement D>
bool even_pattern(D v) {
    using Bits = typename FloatTraits<D>::Bits;
    Bits bits;
    std::memcpy(&bits, &v, sizeof v);
    return (bits & 1u) == 0;
}

template <FloatElement D>
D nearest_even_single(Real x) {
    const Bracket<D> b = bracket<D>(x);
    if (b.exact()) return b.lo;
    const Real mid = (b.lo_step + b.hi_step) / 2;
    if (x < mid) return b.lo;
    if (x > mid) return b.hi;
    return even_pattern(b.lo) ? b.lo : b.hi;
}

// The nearest-even result the library defines: float16 goes through float32.
template <FloatElement D>
D nearest_even(Real x) {
    if constexpr (std::same_as<D, float16>) {
        return nearest_even_single<float16>(static_cast<Real>(nearest_even_single<float>(x)));
    } else {
        return nearest_even_single<D>(x);
    }
}

// x rounded into D under `mode`. x is not a NaN. Directed modes are single
// roundings of x; nearest-away differs from nearest-even only on an exact tie.
template <FloatElement D>
D round_to_float(Real x, RoundingMode mode) {
    const Bracket<D> b = bracket<D>(x);
    if (b.exact()) return b.lo;
    switch (mode) {
        case RoundingMode::TowardsZero:
            return x < 0 ? b.hi : b.lo;
        case RoundingMode::TowardsPositive:
            return b.hi;
        case RoundingMode::TowardsNegative:
            return b.lo;
        case RoundingMode::NearestAway:
            if (x == (b.lo_step + b.hi_step) / 2) return x < 0 ? b.lo : b.hi;
            return nearest_even<D>(x);
        case RoundingMode::NearestEven:
            break;
    }
    return nearest_even<D>(x);
}

template <FloatElement D>
D quiet_nan() {
    if constexpr (std::same_as<D, float16>) {
        return float16{0x7e00};
    } else {
        return std::numeric_limits<D>::quiet_NaN();
    }
}

template <FloatElement D>
Real max_finite_value() {
    if constexpr (std::same_as<D, float16>) {
        return 65504;
    } else {
        return std::numeric_limits<D>::max();
    }
}

// The integral value of x under `mode`, found from floor and the exact
// fractional part rather than from the C library's rounding functions.
inline Real round_integral(Real x, RoundingMode mode) {
    if (std::isinf(x)) return x;
    const Real down = std::floor(x);
    const Real fraction = x - down;  // exact
    if (fraction == 0) return down;
    switch (mode) {
        case RoundingMode::TowardsZero:
            return x < 0 ? down + 1 : down;
        case RoundingMode::TowardsPositive:
            return down + 1;
        case RoundingMode::TowardsNegative:
            return down;
        case RoundingMode::NearestAway:
            if (fraction == Real(0.5)) return x < 0 ? down : down + 1;
            break;
        case RoundingMode::NearestEven:
            if (fraction == Real(0.5)) return std::fmod(down, Real(2)) == 0 ? down : down + 1;
            break;
    }
    return fraction < Real(0.5) ? down : down + 1;
}

// v reduced modulo 2^width(D) into D's range: the conversion keeps the low bits.
template <IntegerElement D>
D wrap_wide(__int128 v) {
    return static_cast<D>(static_cast<unsigned __int128>(v));
}

// One element's expected outcome: a value, or the error that stops the call.
// `any_nan` says that any NaN pattern is as good as `value`.
template <Element D>
struct Expected {
    D value{};
    bool any_nan = false;
    std::optional<CastError> error;
};

template <Element S, Element D>
struct Model {
    const MapEntry<S, D>* map;
    size_t map_size;
    OutOfRangePolicy policy;
    RoundingMode rounding;

    const D* lookup(S x) const {
        const Real xv = exact_value(x);
        for (size_t i = 0; i < map_size; ++i) {
            const Real sv = exact_value(map[i].source);
            if (std::isnan(xv) ? std::isnan(sv) : sv == xv) return &map[i].target;
        }
        return nullptr;
    }

    Expected<D> convert(S x) const {
        if (const D* target = lookup(x)) return Expected<D>{*target, false, std::nullopt};
        const Real xv = exact_value(x);
        if constexpr (IntegerElement<S> && IntegerElement<D>) {
            return int_to_int(static_cast<__int128>(xv), xv);
        } else if constexpr (FloatElement<S> && IntegerElement<D>) {
            return float_to_int(xv);
        } else if constexpr (IntegerElement<S>) {
            return Expected<D>{round_to_float<D>(xv, rounding), false, std::nullopt};
        } else {
            return float_to_float(x, xv);
        }
    }

    Expected<D> int_to_int(__int128 x, Real xv) const {
        const __int128 lo =
            std::max<__int128>(std::numeric_limits<S>::min(), std::numeric_limits<D>::min());
        const __int128 hi =
            std::min<__int128>(std::numeric_limits<S>::max(), std::numeric_limits<D>::max());
        if (x >= lo && x <= hi) return {static_cast<D>(x), false, std::nullopt};
        if (policy == OutOfRangeMode::Clamp) {
            return {static_cast<D>(x < lo ? lo : hi), false, std::nullopt};
        }
        if (policy == OutOfRangeMode::Wrap) return {wrap_wide<D>(x), false, std::nullopt};
        return {D{}, false,
                CastError::out_of_range(static_cast<double>(xv),
                                        static_cast<double>(static_cast<Real>(lo)),
                                        static_cast<double>(static_cast<Real>(hi)))};
    }

    Expected<D> float_to_int(Real xv) const {
        if (std::isnan(xv)) {
            return {D{}, false, CastError::non_finite_to_int(static_cast<double>(xv))};
        }
        const Real r = round_integral(xv, rounding);
        const Real dmin = static_cast<Real>(std::numeric_limits<D>::min());
        const Real dmax = static_cast<Real>(std::numeric_limits<D>::max());
        if (r >= dmin && r <= dmax) {
            return {static_cast<D>(static_cast<__int128>(r)), false, std::nullopt};
        }
        if (policy == OutOfRangeMode::Clamp) {
            return {r < dmin ? std::numeric_limits<D>::min() : std::numeric_limits<D>::max(), false,
                    std::nullopt};
        }
        if (policy == OutOfRangeMode::Wrap) {
            if (std::isinf(r)) {
                return {D{}, false, CastError::non_finite_to_int(static_cast<double>(r))};
            }
            // From 2^127 up every integral source value is a multiple of 2^64.
            if (std::fabs(r) >= std::ldexp(Real(1), 127)) return {D{}, false, std::nullopt};
            return {wrap_wide<D>(static_cast<__int128>(r)), false, std::nullopt};
        }
        return {D{}, false,
                CastError::out_of_range(static_cast<double>(r), static_cast<double>(dmin),
                                        static_cast<double>(dmax))};
    }

    Expected<D> float_to_float(S x, Real xv) const {
        if constexpr (std::same_as<S, D>) {
            return {x, false, std::nullopt};  // identity pairs copy every bit
        } else {
            if (std::isnan(xv)) return {quiet_nan<D>(), true, std::nullopt};
            const D r = round_to_float<D>(xv, rounding);
            if (!std::isinf(xv) && std::isinf(exact_value(r)) && policy != OutOfRangeMode::Clamp) {
                const double bound = static_cast<double>(max_finite_value<D>());
                return {D{}, false,
                        CastError::out_of_range(static_cast<double>(xv), -bound, bound)};
            }
            return {r, false, std::nullopt};
        }
    }
};

}  // namespace tolvane::fuzz

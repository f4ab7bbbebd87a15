// Exact reference arithmetic for the kernel tests. Values are decoded from
// their bit patterns into sign * magnitude * 2^exponent and rounded with
// integer arithmetic only, so that no expectation rests on the library's own
// helpers or on the processor's floating-point unit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "modes.hpp"

namespace tolvane::reference {

using u128 = unsigned __int128;
using i128 = __int128;

struct FloatFormat {
    int precision;     // significand bits, the hidden bit included
    int max_exponent;  // exponent of the largest finite value, also the bias
    int total_bits;
};

inline constexpr FloatFormat binary16{11, 15, 16};
inline constexpr FloatFormat binary32{24, 127, 32};
inline constexpr FloatFormat binary64{53, 1023, 64};

template <FloatElement T>
inline constexpr FloatFormat format_of = binary64;
template <>
inline constexpr FloatFormat format_of<float16> = binary16;
template <>
inline constexpr FloatFormat format_of<float> = binary32;

template <FloatElement T>
inline uint64_t bits_of(T v) {
    if constexpr (std::same_as<T, float16>) {
        return v.bits;
    } else {
        std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t> b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    }
}

template <FloatElement T>
inline T from_bits(uint64_t bits) {
    if constexpr (std::same_as<T, float16>) {
        return float16{static_cast<uint16_t>(bits)};
    } else {
        T v;
        const auto b = static_cast<std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>(bits);
        std::memcpy(&v, &b, sizeof v);
        return v;
    }
}

inline uint64_t sign_bit_of(FloatFormat f) { return uint64_t{1} << (f.total_bits - 1); }
inline uint64_t infinity_bits(FloatFormat f) {
    return ((uint64_t{1} << (f.total_bits - f.precision)) - 1) << (f.precision - 1);
}
inline uint64_t max_finite_bits(FloatFormat f) { return infinity_bits(f) - 1; }
inline bool bits_are_nan(uint64_t bits, FloatFormat f) {
    return (bits & ~sign_bit_of(f)) > infinity_bits(f);
}

// A value of any element type, exactly.
struct Exact {
    enum class Kind { Finite, Infinite, NaN };
    Kind kind = Kind::Finite;
    bool negative = false;
    u128 magnitude = 0;  // a finite value is magnitude * 2^exponent
    int exponent = 0;

    bool is_nan() const { return kind == Kind::NaN; }
    bool is_infinite() const { return kind == Kind::Infinite; }
    bool is_zero() const { return kind == Kind::Finite && magnitude == 0; }
};

inline Exact decode(uint64_t bits, FloatFormat f) {
    const int fraction_bits = f.precision - 1;
    const int exponent_bits = f.total_bits - f.precision;
    const uint64_t fraction = bits & ((uint64_t{1} << fraction_bits) - 1);
    const int biased = static_cast<int>((bits >> fraction_bits) & ((1u << exponent_bits) - 1));
    const bool negative = (bits >> (f.total_bits - 1)) & 1;
    if (biased == (1 << exponent_bits) - 1) {
        return Exact{fraction != 0 ? Exact::Kind::NaN : Exact::Kind::Infinite, negative, 0, 0};
    }
    if (biased == 0)
        return Exact{Exact::Kind::Finite, negative, fraction, 1 - f.max_exponent - fraction_bits};
    return Exact{Exact::Kind::Finite, negative, fraction | (uint64_t{1} << fraction_bits),
                 biased - f.max_exponent - fraction_bits};
}

template <Element T>
inline Exact exact_value(T v) {
    if constexpr (IntegerElement<T>) {
        const i128 x = v;
        return Exact{Exact::Kind::Finite, x < 0, static_cast<u128>(x < 0 ? -x : x), 0};
    } else {
        return decode(bits_of(v), format_of<T>);
    }
}

inline Exact exact_integer(i128 x) {
    return Exact{Exact::Kind::Finite, x < 0, static_cast<u128>(x < 0 ? -x : x), 0};
}

// IEEE equality: NaN equals nothing, +0 equals -0.
inline bool exact_equal(Exact a, Exact b) {
    if (a.is_nan() || b.is_nan()) return false;
    if (a.is_infinite() || b.is_infinite()) {
        return a.kind == b.kind && a.negative == b.negative;
    }
    if (a.magnitude == 0 || b.magnitude == 0) return a.magnitude == b.magnitude;
    if (a.negative != b.negative) return false;
    while ((a.magnitude & 1) == 0) {
        a.magnitude >>= 1;
        ++a.exponent;
    }
    while ((b.magnitude & 1) == 0) {
        b.magnitude >>= 1;
        ++b.exponent;
    }
    return a.magnitude == b.magnitude && a.exponent == b.exponent;
}

inline int bit_width(u128 v) {
    const auto high = static_cast<uint64_t>(v >> 64);
    return high != 0 ? 64 + std::bit_width(high) : std::bit_width(static_cast<uint64_t>(v));
}

// What rounding drops, measured against half a unit of the last kept place.
enum class Remainder { Zero, BelowHalf, Half, AboveHalf };

// magnitude / 2^shift, truncated, and the class of the dropped part.
inline std::pair<u128, Remainder> split(u128 magnitude, int shift) {
    if (shift <= 0) return {magnitude << -shift, Remainder::Zero};
    if (shift > 127 || (magnitude >> (shift - 1)) == 0) {
        return {0, magnitude == 0 ? Remainder::Zero : Remainder::BelowHalf};
    }
    const u128 kept = magnitude >> shift;
    const u128 dropped = magnitude - (kept << shift);
    const u128 half = u128{1} << (shift - 1);
    const Remainder rest = dropped == 0      ? Remainder::Zero
                           : dropped < half  ? Remainder::BelowHalf
                           : dropped == half ? Remainder::Half
                                             : Remainder::AboveHalf;
    return {kept, rest};
}

// Whether rounding the magnitude `kept` + dropped part goes to kept + 1.
inline bool rounds_up_in_magnitude(RoundingMode mode, bool negative, u128 kept, Remainder rest) {
    if (rest == Remainder::Zero) return false;
    switch (mode) {
        case RoundingMode::NearestEven:
            return rest == Remainder::AboveHalf || (rest == Remainder::Half && (kept & 1) != 0);
        case RoundingMode::NearestAway:
            return rest != Remainder::BelowHalf;
        case RoundingMode::TowardsZero:
            return false;
        case RoundingMode::TowardsPositive:
            return !negative;
        case RoundingMode::TowardsNegative:
            return negative;
    }
    return false;
}

struct RoundedFloat {
    uint64_t bits;
    Remainder rest;  // relative to the result's last place (Half: an exact tie)
};

// x rounded once into format f under mode, with IEEE overflow: the nearest
// modes give an infinity, the directed ones the infinity or the largest
// finite value by their direction.
inline RoundedFloat round_to_format(const Exact& x, FloatFormat f, RoundingMode mode) {
    const uint64_t sign = x.negative ? sign_bit_of(f) : 0;
    if (x.is_nan()) return {infinity_bits(f) | (uint64_t{1} << (f.precision - 2)), Remainder::Zero};
    if (x.is_infinite()) return {sign | infinity_bits(f), Remainder::Zero};
    if (x.magnitude == 0) return {sign, Remainder::Zero};
    const auto overflow = [&] {
        const bool to_infinity = mode == RoundingMode::NearestEven ||
                                 mode == RoundingMode::NearestAway ||
                                 (mode == RoundingMode::TowardsPositive && !x.negative) ||
                                 (mode == RoundingMode::TowardsNegative && x.negative);
        return RoundedFloat{sign | (to_infinity ? infinity_bits(f) : max_finite_bits(f)),
                            Remainder::AboveHalf};
    };
    const int fraction_bits = f.precision - 1;
    const int min_exponent = 1 - f.max_exponent;
    const int lead = x.exponent + bit_width(x.magnitude) - 1;
    if (lead > f.max_exponent) return overflow();
    int unit = std::max(lead, min_exponent) - fraction_bits;
    auto [kept, rest] = split(x.magnitude, unit - x.exponent);
    if (rounds_up_in_magnitude(mode, x.negative, kept, rest)) {
        ++kept;
        if (kept >> f.precision) {
            kept >>= 1;
            ++unit;
        }
    }
    if (unit + fraction_bits > f.max_exponent) return overflow();
    const u128 hidden = u128{1} << fraction_bits;
    if (kept >= hidden) {
        const uint64_t biased = static_cast<uint64_t>(unit + fraction_bits + f.max_exponent);
        return {sign | (biased << fraction_bits) | static_cast<uint64_t>(kept - hidden), rest};
    }
    return {sign | static_cast<uint64_t>(kept), rest};
}

template <FloatElement T>
inline T round_to(const Exact& x, RoundingMode mode) {
    return from_bits<T>(round_to_format(x, format_of<T>, mode).bits);
}

// The float64 nearest to x; exact for every value these tests report.
inline double to_float64(const Exact& x) { return round_to<double>(x, RoundingMode::NearestEven); }

// x rounded to an integer under mode; NaN excluded.
struct RoundedInteger {
    bool infinite = false;
    bool negative = false;
    bool huge = false;      // magnitude at or above 2^120: beyond every integer type
    u128 magnitude = 0;     // when neither infinite nor huge
    uint64_t low_bits = 0;  // magnitude modulo 2^64
    double as_float64 = 0;  // the rounded value, exact
};

inline RoundedInteger round_to_integer(const Exact& x, RoundingMode mode) {
    RoundedInteger r;
    r.negative = x.negative;
    if (x.is_infinite()) {
        r.infinite = true;
        r.as_float64 = x.negative ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity();
        return r;
    }
    if (x.exponent >= 0) {
        if (x.exponent >= 64) {
            r.huge = x.magnitude != 0;
            r.low_bits = 0;
        } else {
            const u128 shifted = x.magnitude << x.exponent;  // magnitude < 2^64
            r.huge = (shifted >> 120) != 0;
            r.magnitude = shifted;
            r.low_bits = static_cast<uint64_t>(shifted);
        }
        r.as_float64 = to_float64(x);
        if (r.huge) r.magnitude = 0;
        return r;
    }
    auto [kept, rest] = split(x.magnitude, -x.exponent);
    if (rounds_up_in_magnitude(mode, x.negative, kept, rest)) ++kept;
    r.magnitude = kept;
    r.low_bits = static_cast<uint64_t>(kept);
    r.as_float64 = to_float64(Exact{Exact::Kind::Finite, x.negative, kept, 0});
    return r;
}

template <IntegerElement D>
inline bool fits(const RoundedInteger& r) {
    if (r.infinite || r.huge) return false;
    if (r.negative)
        return r.magnitude <= static_cast<u128>(-static_cast<i128>(std::numeric_limits<D>::min()));
    return r.magnitude <= static_cast<u128>(std::numeric_limits<D>::max());
}

template <IntegerElement D>
inline D value_of(const RoundedInteger& r) {
    const i128 m = static_cast<i128>(r.magnitude);
    return static_cast<D>(r.negative ? -m : m);
}

// The D value congruent to r modulo 2^width(D).
template <IntegerElement D>
inline D reduce_modulo_width(bool negative, uint64_t low_bits) {
    constexpr int width = 8 * sizeof(D);
    const uint64_t twos = negative ? ~low_bits + 1 : low_bits;
    const u128 modulus = u128{1} << width;
    const u128 residue = static_cast<u128>(twos) & (modulus - 1);
    if (std::is_signed_v<D> && residue >= modulus / 2) {
        return static_cast<D>(static_cast<i128>(residue) - static_cast<i128>(modulus));
    }
    return static_cast<D>(residue);
}

template <IntegerElement T>
inline double float64_of(T x) {
    return to_float64(exact_value(x));
}

// What a kernel must produce for one element.
template <Element D>
struct Expected {
    std::optional<CastError> error;
    D value{};
    bool any_nan = false;  // a NaN whose sign and payload are the platform's choice
};

template <Element D>
inline Expected<D> expect_value(D v) {
    return Expected<D>{std::nullopt, v, false};
}

template <Element D>
inline Expected<D> expect_error(CastError e) {
    return Expected<D>{e, D{}, false};
}

// The scalar-map lookup by its rule: first entry whose source equals x;
// floats by IEEE equality of their exact values, a NaN x matching the first
// NaN source.
template <Element S, Element D>
inline std::optional<D> expected_map_target(const std::vector<MapEntry<S, D>>& map, S x) {
    if constexpr (IntegerElement<S>) {
        for (const auto& e : map) {
            if (e.source == x) return e.target;
        }
    } else {
        const Exact ex = exact_value(x);
        for (const auto& e : map) {
            const Exact es = exact_value(e.source);
            if (ex.is_nan() ? es.is_nan() : exact_equal(es, ex)) return e.target;
        }
    }
    return std::nullopt;
}

template <IntegerElement S, IntegerElement D>
inline Expected<D> expect_int_to_int(S x, const CastConfig<S, D>& config) {
    if (auto hit = expected_map_target(config.scalar_map, x)) return expect_value(*hit);
    const i128 v = x;
    const i128 d_min = std::numeric_limits<D>::min();
    const i128 d_max = std::numeric_limits<D>::max();
    if (v >= d_min && v <= d_max) return expect_value(static_cast<D>(v));
    if (!config.out_of_range) {
        const i128 lo = std::max<i128>(d_min, std::numeric_limits<S>::min());
        const i128 hi = std::min<i128>(d_max, std::numeric_limits<S>::max());
        return expect_error<D>(CastError::out_of_range(to_float64(exact_integer(v)),
                                                       to_float64(exact_integer(lo)),
                                                       to_float64(exact_integer(hi))));
    }
    if (*config.out_of_range == OutOfRangeMode::Clamp) {
        return expect_value(v < d_min ? std::numeric_limits<D>::min()
                                      : std::numeric_limits<D>::max());
    }
    return expect_value(reduce_modulo_width<D>(v < 0, static_cast<uint64_t>(v < 0 ? -v : v)));
}

template <FloatElement S, IntegerElement D>
inline Expected<D> expect_float_to_int(S x, const CastConfig<S, D>& config) {
    if (auto hit = expected_map_target(config.scalar_map, x)) return expect_value(*hit);
    const Exact ex = exact_value(x);
    if (ex.is_nan())
        return expect_error<D>(
            CastError::non_finite_to_int(std::numeric_limits<double>::quiet_NaN()));
    const RoundedInteger r = round_to_integer(ex, config.rounding);
    if (fits<D>(r)) return expect_value(value_of<D>(r));
    if (!config.out_of_range) {
        return expect_error<D>(CastError::out_of_range(r.as_float64,
                                                       float64_of(std::numeric_limits<D>::min()),
                                                       float64_of(std::numeric_limits<D>::max())));
    }
    if (*config.out_of_range == OutOfRangeMode::Clamp) {
        return expect_value(r.negative ? std::numeric_limits<D>::min()
                                       : std::numeric_limits<D>::max());
    }
    if (r.infinite) return expect_error<D>(CastError::non_finite_to_int(r.as_float64));
    return expect_value(reduce_modulo_width<D>(r.negative, r.low_bits));
}

template <IntegerElement S, FloatElement D>
inline Expected<D> expect_int_to_float(S x, const CastConfig<S, D>& config) {
    if (auto hit = expected_map_target(config.scalar_map, x)) return expect_value(*hit);
    return expect_value(round_to<D>(exact_value(x), config.rounding));
}

// The narrowing rule: one rounding, except that float64 to float16 under the
// nearest modes rounds to float32 first and then to float16 (nearest-away
// only moves an exact tie of the float64 value itself).
template <FloatElement S, FloatElement D>
inline D narrowed(const Exact& x, RoundingMode mode) {
    constexpr bool through_float32 = std::same_as<S, double> && std::same_as<D, float16>;
    const bool nearest = mode == RoundingMode::NearestEven || mode == RoundingMode::NearestAway;
    if (!through_float32 || !nearest) return round_to<D>(x, mode);
    if (mode == RoundingMode::NearestAway &&
        round_to_format(x, binary16, RoundingMode::NearestAway).rest == Remainder::Half) {
        return round_to<D>(x, RoundingMode::NearestAway);
    }
    const float once = round_to<float>(x, RoundingMode::NearestEven);
    return round_to<D>(exact_value(once), RoundingMode::NearestEven);
}

template <FloatElement S, FloatElement D>
inline Expected<D> expect_float_to_float(S x, const CastConfig<S, D>& config) {
    if (auto hit = expected_map_target(config.scalar_map, x)) return expect_value(*hit);
    if constexpr (std::same_as<S, D>) {
        return expect_value(x);
    } else {
        const Exact ex = exact_value(x);
        if (ex.is_nan())
            return Expected<D>{std::nullopt, from_bits<D>(infinity_bits(format_of<D>) | 1), true};
        const D r = narrowed<S, D>(ex, config.rounding);
        const uint64_t magnitude_bits = bits_of(r) & ~sign_bit_of(format_of<D>);
        if (!ex.is_infinite() && magnitude_bits == infinity_bits(format_of<D>) &&
            config.out_of_range != OutOfRangeMode::Clamp) {
            const double bound = to_float64(decode(max_finite_bits(format_of<D>), format_of<D>));
            return expect_error<D>(CastError::out_of_range(to_float64(ex), -bound, bound));
        }
        return expect_value(r);
    }
}

template <Element S, Element D>
inline Expected<D> expected_result(S x, const CastConfig<S, D>& config) {
    if constexpr (IntegerElement<S> && IntegerElement<D>) {
        return expect_int_to_int(x, config);
    } else if constexpr (FloatElement<S> && IntegerElement<D>) {
        return expect_float_to_int(x, config);
    } else if constexpr (IntegerElement<S>) {
        return expect_int_to_float(x, config);
    } else {
        return expect_float_to_float(x, config);
    }
}

}  // namespace tolvane::reference

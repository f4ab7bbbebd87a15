// The eleven element types a conversion can read or write, and the traits
// the kernels use to treat them generically.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace tolvane {

// IEEE 754 binary16, carried as its raw bit pattern. It is a distinct type
// (not uint16_t) so that templates can tell a float16 element from a uint16 one.
struct float16 {
    uint16_t bits;
};

template <class T>
concept IntegerElement =
    std::same_as<T, int8_t> || std::same_as<T, int16_t> || std::same_as<T, int32_t> ||
    std::same_as<T, int64_t> || std::same_as<T, uint8_t> || std::same_as<T, uint16_t> ||
    std::same_as<T, uint32_t> || std::same_as<T, uint64_t>;

template <class T>
concept FloatElement =
    std::same_as<T, float16> || std::same_as<T, float> || std::same_as<T, double>;

template <class T>
concept Element = IntegerElement<T> || FloatElement<T>;

// Bit-level facts about the three float types.
template <FloatElement T>
struct FloatTraits;

template <>
struct FloatTraits<float16> {
    using Bits = uint16_t;
    static constexpr Bits sign_mask = 0x8000;
    static constexpr Bits inf_bits = 0x7c00;
    static constexpr Bits max_finite_bits = 0x7bff;
    static Bits to_bits(float16 v) { return v.bits; }
    static float16 from_bits(Bits b) { return float16{b}; }
};

template <>
struct FloatTraits<float> {
    using Bits = uint32_t;
    static constexpr Bits sign_mask = 0x80000000u;
    static constexpr Bits inf_bits = 0x7f800000u;
    static constexpr Bits max_finite_bits = 0x7f7fffffu;
    static Bits to_bits(float v) { return std::bit_cast<Bits>(v); }
    static float from_bits(Bits b) { return std::bit_cast<float>(b); }
};

template <>
struct FloatTraits<double> {
    using Bits = uint64_t;
    static constexpr Bits sign_mask = 0x8000000000000000ull;
    static constexpr Bits inf_bits = 0x7ff0000000000000ull;
    static constexpr Bits max_finite_bits = 0x7fefffffffffffffull;
    static Bits to_bits(double v) { return std::bit_cast<Bits>(v); }
    static double from_bits(Bits b) { return std::bit_cast<double>(b); }
};

template <FloatElement T>
inline bool is_nan(T v) {
    using Tr = FloatTraits<T>;
    return (Tr::to_bits(v) & ~Tr::sign_mask) > Tr::inf_bits;
}

template <FloatElement T>
inline bool is_inf(T v) {
    using Tr = FloatTraits<T>;
    return (Tr::to_bits(v) & ~Tr::sign_mask) == Tr::inf_bits;
}

template <FloatElement T>
inline bool sign_bit(T v) {
    using Tr = FloatTraits<T>;
    return (Tr::to_bits(v) & Tr::sign_mask) != 0;
}

// The largest finite value of a float type.
template <FloatElement T>
inline T max_finite() {
    return FloatTraits<T>::from_bits(FloatTraits<T>::max_finite_bits);
}

// Number of value bits of an integer type, and 2^that as a double: an
// integral double r lies above the type's maximum exactly when r >= 2^bits.
template <IntegerElement T>
inline constexpr double integer_upper_limit = [] {
    double p = 1.0;
    for (int i = 0; i < std::numeric_limits<T>::digits; ++i) p *= 2.0;
    return p;
}();

}  // namespace tolvane

// Exact IEEE 754 conversions between binary16 and the wider float types,
// done on bit patterns so that they never depend on the processor's
// floating-point environment or on half-precision hardware.
#pragma once

#include <bit>
#include <cstdint>

#include "element_types.hpp"

namespace tolvane {

// float32 -> float16, round to nearest, ties to even; overflow gives an
// infinity, subnormals are kept and a NaN is quieted with its top payload bits.
inline float16 float32_to_float16(float value) {
    const uint32_t x = std::bit_cast<uint32_t>(value);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
    const uint32_t ax = x & 0x7fffffffu;
    if (ax > 0x7f800000u) {
        return float16{static_cast<uint16_t>(sign | 0x7e00u | ((ax >> 13) & 0x3ffu))};
    }
    if (ax >= 0x477ff000u) {  // 65520 and above round to infinity
        return float16{static_cast<uint16_t>(sign | 0x7c00u)};
    }
    if (ax >= 0x38800000u) {  // normal range of float16: rebias, round on bit 13
        const uint32_t rounded = ax - 0x38000000u + 0xfffu + ((ax >> 13) & 1u);
        return float16{static_cast<uint16_t>(sign | (rounded >> 13))};
    }
    const uint32_t exponent = ax >> 23;
    if (exponent < 102) {  // below 2^-25: rounds to zero
        return float16{sign};
    }
    // Subnormal result: the value in units of 2^-24 is mantissa >> shift.
    const uint32_t mantissa = (ax & 0x7fffffu) | 0x800000u;
    const uint32_t shift = 126 - exponent;
    uint32_t q = mantissa >> shift;
    const uint32_t rem = mantissa & ((1u << shift) - 1u);
    const uint32_t half = 1u << (shift - 1);
    if (rem > half || (rem == half && (q & 1u))) ++q;
    return float16{static_cast<uint16_t>(sign | q)};
}

// float16 -> float32, exact; a signalling NaN comes out quiet.
inline float float16_to_float32(float16 value) {
    const uint32_t h = value.bits;
    const uint32_t sign = (h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1fu;
    const uint32_t mantissa = h & 0x3ffu;
    if (exponent == 0x1f) {
        const uint32_t quiet = mantissa != 0 ? 0x400000u : 0u;
        return std::bit_cast<float>(sign | 0x7f800000u | quiet | (mantissa << 13));
    }
    if (exponent == 0) {
        if (mantissa == 0) return std::bit_cast<float>(sign);
        // Subnormal: mantissa * 2^-24, exact in float32.
        const int lead = std::bit_width(mantissa) - 1;  // 0..9
        const uint32_t frac = (mantissa << (23 - lead)) & 0x7fffffu;
        const uint32_t exp32 = static_cast<uint32_t>(127 - 24 + lead);
        return std::bit_cast<float>(sign | (exp32 << 23) | frac);
    }
    return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
}

inline double float16_to_float64(float16 value) {
    return static_cast<double>(float16_to_float32(value));
}

// float64 -> float16 goes through float32: two roundings to nearest even.
inline float16 float64_to_float16(double value) {
    return float32_to_float16(static_cast<float>(value));
}

// Exact widening of any float element to float64.
template <FloatElement T>
inline double to_float64(T value) {
    if constexpr (std::same_as<T, float16>) {
        return float16_to_float64(value);
    } else {
        return static_cast<double>(value);
    }
}

}  // namespace tolvane

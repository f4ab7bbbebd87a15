// Exact IEEE 754 conversions between binary16 and the wider float types,
// done on bit patterns so that they never depend on the processor's
// floating-point environment or on half-precision hardware.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>

#include "element_types.hpp"

namespace tolvane {

// float32 -> float16, round to nearest, ties to even; overflow gives an
// infinity, subnormals are kept and a NaN is quieted with its top payload bits.
// Every case is computed and one selected, with shifts by constant amounts
// only, so that loops over the conversion vectorise.
inline float16 float32_to_float16(float value) {
    const uint32_t x = std::bit_cast<uint32_t>(value);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const uint32_t ax = x & 0x7fffffffu;
    const uint32_t nan = 0x7e00u | ((ax >> 13) & 0x3ffu);
    // Normal range: rebias and round on bit 13; 65520 and above give infinity.
    const uint32_t normal =
        ax >= 0x477ff000u ? 0x7c00u : (ax - 0x38000000u + 0xfffu + ((ax >> 13) & 1u)) >> 13;
    // Subnormal range, 2^-25 <= |x| < 2^-14: the significand moves right by
    // 126 - exponent (14 to 24) places, first 13, then 0 to 10 in steps of
    // 1, 2, 4 and 8, collecting the bits shifted out below the rounding bit.
    const uint32_t extra = 112u - (ax >> 23);
    uint32_t kept = ((ax & 0x7fffffu) | 0x800000u) >> 13;
    uint32_t sticky = ax & 0x1fffu;
    for (const uint32_t step : {1u, 2u, 4u, 8u}) {
        const uint32_t take = 0u - ((extra & step) != 0);
        sticky |= kept & ((1u << step) - 1u) & take;
        kept = ((kept >> step) & take) | (kept & ~take);
    }
    const uint32_t quotient = kept >> 1;
    const uint32_t subnormal = quotient + (kept & 1u & ((sticky != 0) | quotient));
    const uint32_t finite =
        ax >= 0x38800000u ? normal : (ax >= 0x33000000u ? subnormal : 0u);
    return float16{static_cast<uint16_t>(sign | (ax > 0x7f800000u ? nan : finite))};
}

// float16 -> float32, exact; a signalling NaN comes out quiet. Branch-free
// like the narrowing above.
inline float float16_to_float32(float16 value) {
    const uint32_t h = value.bits;
    const uint32_t sign = (h & 0x8000u) << 16;
    const uint32_t ah = h & 0x7fffu;
    // Rebias the exponent; infinities and NaNs move to float32's top exponent.
    const uint32_t normal = (ah << 13) + (112u << 23);
    const uint32_t special = (ah << 13) | 0x7f800000u | (ah > 0x7c00u ? 0x400000u : 0u);
    // Subnormal: mantissa * 2^-24, normalised by moving its leading bit up to
    // bit 10 in steps of 8, 4, 2 and 1 places.
    uint32_t mantissa = ah;
    uint32_t shift = 0;
    for (const uint32_t step : {8u, 4u, 2u, 1u}) {
        const uint32_t take = 0u - (mantissa < (0x800u >> step));
        mantissa = ((mantissa << step) & take) | (mantissa & ~take);
        shift += step & take;
    }
    const uint32_t subnormal = ((113u - shift) << 23) | ((mantissa & 0x3ffu) << 13);
    const uint32_t magnitude =
        ah >= 0x7c00u ? special : (ah >= 0x400u ? normal : (ah != 0 ? subnormal : 0u));
    return std::bit_cast<float>(sign | magnitude);
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

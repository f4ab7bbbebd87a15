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
// Every case is computed and one is picked with masks, so that loops over the
// conversion vectorise; the float steps are exact whatever the rounding mode.
inline float16 float32_to_float16(float value) {
    const uint32_t x = std::bit_cast<uint32_t>(value);
    const uint32_t sign = (x >> 16) & 0x8000u;
    const uint32_t ax = x & 0x7fffffffu;
    const uint32_t nan = 0x7e00u | ((ax >> 13) & 0x3ffu);
    // Normal range: rebias and round on bit 13; 65520 and above give infinity.
    const uint32_t normal =
        ax >= 0x477ff000u ? 0x7c00u : (ax - 0x38000000u + 0xfffu + ((ax >> 13) & 1u)) >> 13;
    // Below 2^-14 the result counts units of 2^-24: scale by 2^24 with an
    // exponent add, truncate, and round the fraction to even.
    const uint32_t small = 0u - static_cast<uint32_t>(ax < 0x38800000u);
    const float scaled = std::bit_cast<float>((ax & small) + (24u << 23));
    const int32_t whole = static_cast<int32_t>(scaled);
    const float fraction = scaled - static_cast<float>(whole);
    const uint32_t above_half = static_cast<uint32_t>(fraction > 0.5f);
    const uint32_t half = static_cast<uint32_t>(fraction == 0.5f);
    const uint32_t subnormal =
        static_cast<uint32_t>(whole) + (above_half | (half & static_cast<uint32_t>(whole) & 1u));
    const uint32_t finite = (subnormal & small) | (normal & ~small);
    const uint32_t is_nan = 0u - static_cast<uint32_t>(ax > 0x7f800000u);
    return float16{static_cast<uint16_t>(sign | (nan & is_nan) | (finite & ~is_nan))};
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
    // Subnormals and zeros: mantissa * 2^-24, a product that is exact.
    const uint32_t small = 0u - static_cast<uint32_t>(ah < 0x400u);
    const uint32_t subnormal =
        std::bit_cast<uint32_t>(static_cast<float>(static_cast<int32_t>(ah & small)) * 0x1p-24f);
    const uint32_t is_special = 0u - static_cast<uint32_t>(ah >= 0x7c00u);
    const uint32_t finite = (subnormal & small) | (normal & ~small);
    return std::bit_cast<float>(sign | (special & is_special) | (finite & ~is_special));
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

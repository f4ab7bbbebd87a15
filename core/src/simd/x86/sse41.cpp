// The x86-64 fast paths for processors with SSE4.1 (rounding instructions):
// 128-bit vectors, blocks of 16 elements for uint8 targets and 8 for the rest.
// No float16 paths: the half-precision conversions came with AVX.
#include <immintrin.h>

#include <algorithm>

#include "../fast_path_steps.hpp"
#include "paths.hpp"

// Only the functions of this file use SSE4.1; the headers above stay baseline
// code, so that nothing shared with other callers needs the instruction set.
#pragma GCC target("sse4.1")

#include "runner-inl.hpp"

namespace tolvane::simd::x86 {

namespace {

template <RoundingMode::Value Mode>
__m128d round_clamp(__m128d v, double lo, double hi) {
    return _mm_min_pd(_mm_max_pd(_mm_round_pd(v, rounding_control<Mode>), _mm_set1_pd(lo)),
                      _mm_set1_pd(hi));
}

// Sixteen int32 lanes within [0, 255], in element order, as 16 bytes.
__m128i pack_bytes(const __m128i (&w)[4]) {
    return _mm_packus_epi16(_mm_packs_epi32(w[0], w[1]), _mm_packs_epi32(w[2], w[3]));
}

// Each block type converts and stores one whole block, or returns false
// without writing anything when an element of the block fails; the shared
// finish then replays the block in steps.

template <RoundingMode::Value Mode>
struct F32ToU8Clamp {
    static constexpr size_t width = 16;
    [[gnu::always_inline]] static bool convert(const float* src, uint8_t* dst) {
        __m128 v[4];
        for (int k = 0; k < 4; ++k) v[k] = _mm_loadu_ps(src + 4 * k);
        const __m128 nan = _mm_or_ps(_mm_cmpunord_ps(v[0], v[1]), _mm_cmpunord_ps(v[2], v[3]));
        if (_mm_movemask_ps(nan) != 0) return false;
        __m128i w[4];
        for (int k = 0; k < 4; ++k) {
            const __m128 r = _mm_round_ps(v[k], rounding_control<Mode>);
            w[k] =
                _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(r, _mm_setzero_ps()), _mm_set1_ps(255.0f)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), pack_bytes(w));
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToU8Clamp {
    static constexpr size_t width = 16;
    [[gnu::always_inline]] static bool convert(const double* src, uint8_t* dst) {
        __m128d v[8];
        for (int k = 0; k < 8; ++k) v[k] = _mm_loadu_pd(src + 2 * k);
        __m128d nan = _mm_setzero_pd();
        for (int k = 0; k < 8; k += 2) nan = _mm_or_pd(nan, _mm_cmpunord_pd(v[k], v[k + 1]));
        if (_mm_movemask_pd(nan) != 0) return false;
        __m128i w[4];
        for (int k = 0; k < 4; ++k) {
            w[k] =
                _mm_unpacklo_epi64(_mm_cvttpd_epi32(round_clamp<Mode>(v[2 * k], 0.0, 255.0)),
                                   _mm_cvttpd_epi32(round_clamp<Mode>(v[2 * k + 1], 0.0, 255.0)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), pack_bytes(w));
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToI32Clamp {
    static constexpr size_t width = 8;
    [[gnu::always_inline]] static bool convert(const double* src, int32_t* dst) {
        __m128d v[4];
        for (int k = 0; k < 4; ++k) v[k] = _mm_loadu_pd(src + 2 * k);
        const __m128d nan = _mm_or_pd(_mm_cmpunord_pd(v[0], v[1]), _mm_cmpunord_pd(v[2], v[3]));
        if (_mm_movemask_pd(nan) != 0) return false;
        for (int k = 0; k < 2; ++k) {
            const __m128i low = _mm_cvttpd_epi32(round_clamp<Mode>(v[2 * k], -0x1p31, 0x1p31 - 1));
            const __m128i high =
                _mm_cvttpd_epi32(round_clamp<Mode>(v[2 * k + 1], -0x1p31, 0x1p31 - 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k),
                             _mm_unpacklo_epi64(low, high));
        }
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToI32Check {
    static constexpr size_t width = 8;
    [[gnu::always_inline]] static bool convert(const double* src, int32_t* dst) {
        __m128d r[4];
        __m128d in_range = _mm_castsi128_pd(_mm_set1_epi32(-1));
        for (int k = 0; k < 4; ++k) {
            r[k] = _mm_round_pd(_mm_loadu_pd(src + 2 * k), rounding_control<Mode>);
            // Ordered comparisons: a NaN fails both, so this is the NaN test too.
            in_range =
                _mm_and_pd(in_range, _mm_and_pd(_mm_cmpge_pd(r[k], _mm_set1_pd(-0x1p31)),
                                                _mm_cmple_pd(r[k], _mm_set1_pd(0x1p31 - 1))));
        }
        if (_mm_movemask_pd(in_range) != 0x3) return false;
        for (int k = 0; k < 2; ++k) {
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(dst + 4 * k),
                _mm_unpacklo_epi64(_mm_cvttpd_epi32(r[2 * k]), _mm_cvttpd_epi32(r[2 * k + 1])));
        }
        return true;
    }
};

// float64 -> float32, 8 elements a block; the flags collect the finite
// sources beyond the largest float32.
struct F64ToF32 {
    static constexpr size_t width = 8;
    using Flags = __m128d;
    static Flags none() { return _mm_setzero_pd(); }
    static bool any(Flags flags) { return _mm_movemask_pd(flags) != 0; }
    // With `Test`, flags every finite source beyond the largest float32.
    template <bool Test = true>
    [[gnu::always_inline]] static void convert(const double* src, float* dst, Flags& overflow) {
        const __m128d magnitude_bits = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
        __m128 f[4];
        for (int k = 0; k < 4; ++k) {
            const __m128d v = _mm_loadu_pd(src + 2 * k);
            if constexpr (Test) {
                const __m128d magnitude = _mm_and_pd(v, magnitude_bits);
                overflow = _mm_or_pd(
                    overflow,
                    _mm_and_pd(_mm_cmpgt_pd(magnitude, _mm_set1_pd(detail::float32_max)),
                               _mm_cmplt_pd(magnitude, _mm_set1_pd(__builtin_inf()))));
            }
            f[k] = _mm_cvtpd_ps(v);
        }
        _mm_storeu_ps(dst, _mm_movelh_ps(f[0], f[1]));
        _mm_storeu_ps(dst + 4, _mm_movelh_ps(f[2], f[3]));
    }
};

}  // namespace

const PathTable sse41_paths =
    make_path_table<F32ToU8Clamp, F64ToU8Clamp, F64ToI32Clamp, F64ToI32Check, F64ToF32>();

}  // namespace tolvane::simd::x86

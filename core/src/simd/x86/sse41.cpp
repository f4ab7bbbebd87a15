// The x86-64 fast paths for processors with SSE4.1 (rounding instructions):
// 128-bit vectors, blocks of 16 elements for uint8 targets and 8 for the rest.
#include <immintrin.h>

#include <algorithm>

#include "../fast_path_steps.hpp"
#include "paths.hpp"

// Only the functions of this file use SSE4.1; the headers above stay baseline
// code, so that nothing shared with other callers needs the instruction set.
#pragma GCC target("sse4.1")

namespace tolvane::simd::x86 {

namespace {

using detail::ElementRule;
using detail::RangePolicy;

template <RoundingMode::Value Mode>
constexpr int rounding_control = _MM_FROUND_NO_EXC |
                                 (Mode == RoundingMode::NearestEven   ? _MM_FROUND_TO_NEAREST_INT
                                  : Mode == RoundingMode::TowardsZero ? _MM_FROUND_TO_ZERO
                                  : Mode == RoundingMode::TowardsPositive ? _MM_FROUND_TO_POS_INF
                                                                          : _MM_FROUND_TO_NEG_INF);

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

// Whole vector blocks while they succeed; the failing block, if any, and the
// rest go to the shared step-by-step finish.
template <class Vector, size_t Step, class Rule, FloatElement S, IntegerElement D>
FastPathOutcome run_blocks(std::span<const S> src, std::span<D> dst) {
    const size_t n = std::min(src.size(), dst.size());
    size_t i = 0;
    while (i + Vector::width <= n && Vector::convert(src.data() + i, dst.data() + i)) {
        i += Vector::width;
    }
    return detail::finish_in_steps<Step, Rule>(src.data(), dst.data(), i, n);
}

template <template <RoundingMode::Value> class Vector, RangePolicy Policy, size_t Step,
          FloatElement S, IntegerElement D>
FastPathOutcome float_to_int(std::span<const S> src, std::span<D> dst, RoundingMode rounding) {
    return detail::with_rounding_mode(rounding, [&](auto mode) {
        constexpr RoundingMode::Value m = decltype(mode)::value;
        return run_blocks<Vector<m>, Step, ElementRule<m, Policy, S, D>>(src, dst);
    });
}

FastPathOutcome f64_to_f32_nearest(std::span<const double> src, std::span<float> dst,
                                   bool check_overflow) {
    const size_t n = std::min(src.size(), dst.size());
    const double* in = src.data();
    float* out = dst.data();
    const __m128d magnitude_bits = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
    const __m128d threshold = _mm_set1_pd(detail::float32_overflow_threshold);
    const __m128d infinity = _mm_set1_pd(__builtin_inf());
    __m128d overflow = _mm_setzero_pd();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m128 f[4];
        for (int k = 0; k < 4; ++k) {
            const __m128d v = _mm_loadu_pd(in + i + 2 * k);
            const __m128d magnitude = _mm_and_pd(v, magnitude_bits);
            overflow = _mm_or_pd(overflow, _mm_and_pd(_mm_cmpge_pd(magnitude, threshold),
                                                      _mm_cmplt_pd(magnitude, infinity)));
            f[k] = _mm_cvtpd_ps(v);
        }
        _mm_storeu_ps(out + i, _mm_movelh_ps(f[0], f[1]));
        _mm_storeu_ps(out + i + 4, _mm_movelh_ps(f[2], f[3]));
    }
    bool overflowed = _mm_movemask_pd(overflow) != 0;
    overflowed |= detail::narrow_to_float32(in, out, i, n);
    // The second pass runs only when the first one met an overflow.
    if (check_overflow && overflowed) {
        if (CastOutcome error = detail::first_float32_overflow(in, out, n)) return {false, error};
    }
    return {true, std::nullopt};
}

}  // namespace

const PathTable sse41_paths = {
    float_to_int<F32ToU8Clamp, RangePolicy::Clamp, uint8_step, float, uint8_t>,
    float_to_int<F64ToU8Clamp, RangePolicy::Clamp, uint8_step, double, uint8_t>,
    float_to_int<F64ToI32Clamp, RangePolicy::Clamp, int32_step, double, int32_t>,
    float_to_int<F64ToI32Check, RangePolicy::Check, int32_step, double, int32_t>,
    f64_to_f32_nearest,
};

}  // namespace tolvane::simd::x86

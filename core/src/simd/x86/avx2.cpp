// The x86-64 fast paths for processors with AVX2: 256-bit vectors, blocks of
// 32 elements for float32 -> uint8 and 16 for the rest.
#include <immintrin.h>

#include <algorithm>

#include "../fast_path_steps.hpp"
#include "paths.hpp"

// Only the functions of this file use AVX2; the headers above stay baseline
// code, so that nothing shared with other callers needs the instruction set.
#pragma GCC target("avx2")

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
__m256d round_clamp(__m256d v, double lo, double hi) {
    return _mm256_min_pd(
        _mm256_max_pd(_mm256_round_pd(v, rounding_control<Mode>), _mm256_set1_pd(lo)),
        _mm256_set1_pd(hi));
}

bool any_nan(const __m256d (&v)[4]) {
    const __m256d nan = _mm256_or_pd(_mm256_cmp_pd(v[0], v[1], _CMP_UNORD_Q),
                                     _mm256_cmp_pd(v[2], v[3], _CMP_UNORD_Q));
    return _mm256_movemask_pd(nan) != 0;
}

// Each block type converts and stores one whole block, or returns false
// without writing anything when an element of the block fails; the shared
// finish then replays the block in steps.

template <RoundingMode::Value Mode>
struct F32ToU8Clamp {
    static constexpr size_t width = 32;
    [[gnu::always_inline]] static bool convert(const float* src, uint8_t* dst) {
        __m256 v[4];
        for (int k = 0; k < 4; ++k) v[k] = _mm256_loadu_ps(src + 8 * k);
        const __m256 nan = _mm256_or_ps(_mm256_cmp_ps(v[0], v[1], _CMP_UNORD_Q),
                                        _mm256_cmp_ps(v[2], v[3], _CMP_UNORD_Q));
        if (_mm256_movemask_ps(nan) != 0) return false;
        __m256i w[4];
        for (int k = 0; k < 4; ++k) {
            const __m256 r = _mm256_round_ps(v[k], rounding_control<Mode>);
            w[k] = _mm256_cvttps_epi32(
                _mm256_min_ps(_mm256_max_ps(r, _mm256_setzero_ps()), _mm256_set1_ps(255.0f)));
        }
        // The packs work within 128-bit halves; the permutation puts the
        // four-byte groups back in element order.
        const __m256i bytes =
            _mm256_packus_epi16(_mm256_packs_epi32(w[0], w[1]), _mm256_packs_epi32(w[2], w[3]));
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                            _mm256_permutevar8x32_epi32(bytes, order));
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToU8Clamp {
    static constexpr size_t width = 16;
    [[gnu::always_inline]] static bool convert(const double* src, uint8_t* dst) {
        __m256d v[4];
        for (int k = 0; k < 4; ++k) v[k] = _mm256_loadu_pd(src + 4 * k);
        if (any_nan(v)) return false;
        __m128i w[4];
        for (int k = 0; k < 4; ++k) w[k] = _mm256_cvttpd_epi32(round_clamp<Mode>(v[k], 0.0, 255.0));
        const __m128i bytes =
            _mm_packus_epi16(_mm_packs_epi32(w[0], w[1]), _mm_packs_epi32(w[2], w[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToI32Clamp {
    static constexpr size_t width = 16;
    [[gnu::always_inline]] static bool convert(const double* src, int32_t* dst) {
        __m256d v[4];
        for (int k = 0; k < 4; ++k) v[k] = _mm256_loadu_pd(src + 4 * k);
        if (any_nan(v)) return false;
        for (int k = 0; k < 4; ++k) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k),
                             _mm256_cvttpd_epi32(round_clamp<Mode>(v[k], -0x1p31, 0x1p31 - 1)));
        }
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToI32Check {
    static constexpr size_t width = 16;
    [[gnu::always_inline]] static bool convert(const double* src, int32_t* dst) {
        __m256d r[4];
        __m256d in_range = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
        for (int k = 0; k < 4; ++k) {
            r[k] = _mm256_round_pd(_mm256_loadu_pd(src + 4 * k), rounding_control<Mode>);
            // Ordered comparisons: a NaN fails both, so this is the NaN test too.
            in_range = _mm256_and_pd(
                in_range,
                _mm256_and_pd(_mm256_cmp_pd(r[k], _mm256_set1_pd(-0x1p31), _CMP_GE_OQ),
                              _mm256_cmp_pd(r[k], _mm256_set1_pd(0x1p31 - 1), _CMP_LE_OQ)));
        }
        if (_mm256_movemask_pd(in_range) != 0xf) return false;
        for (int k = 0; k < 4; ++k) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k), _mm256_cvttpd_epi32(r[k]));
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
    const __m256d magnitude_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    const __m256d threshold = _mm256_set1_pd(detail::float32_overflow_threshold);
    const __m256d infinity = _mm256_set1_pd(__builtin_inf());
    __m256d overflow = _mm256_setzero_pd();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128 f[4];
        for (int k = 0; k < 4; ++k) {
            const __m256d v = _mm256_loadu_pd(in + i + 4 * k);
            const __m256d magnitude = _mm256_and_pd(v, magnitude_bits);
            overflow = _mm256_or_pd(overflow,
                                    _mm256_and_pd(_mm256_cmp_pd(magnitude, threshold, _CMP_GE_OQ),
                                                  _mm256_cmp_pd(magnitude, infinity, _CMP_LT_OQ)));
            f[k] = _mm256_cvtpd_ps(v);
        }
        _mm256_storeu_ps(out + i, _mm256_set_m128(f[1], f[0]));
        _mm256_storeu_ps(out + i + 8, _mm256_set_m128(f[3], f[2]));
    }
    bool overflowed = _mm256_movemask_pd(overflow) != 0;
    overflowed |= detail::narrow_to_float32(in, out, i, n);
    // The second pass runs only when the first one met an overflow.
    if (check_overflow && overflowed) {
        if (CastOutcome error = detail::first_float32_overflow(in, out, n)) return {false, error};
    }
    return {true, std::nullopt};
}

}  // namespace

const PathTable avx2_paths = {
    float_to_int<F32ToU8Clamp, RangePolicy::Clamp, uint8_step, float, uint8_t>,
    float_to_int<F64ToU8Clamp, RangePolicy::Clamp, uint8_step, double, uint8_t>,
    float_to_int<F64ToI32Clamp, RangePolicy::Clamp, int32_step, double, int32_t>,
    float_to_int<F64ToI32Check, RangePolicy::Check, int32_step, double, int32_t>,
    f64_to_f32_nearest,
};

}  // namespace tolvane::simd::x86

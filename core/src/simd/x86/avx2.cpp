// The x86-64 fast paths for processors with AVX2 and F16C, in 256-bit
// vectors; each block type states its width.
#include <immintrin.h>

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

#include "../fast_path_steps.hpp"
#include "paths.hpp"

// Only the functions of this file use AVX2 and F16C; the headers above stay
// baseline code, so that nothing shared with other callers needs them.
#pragma GCC target("avx2,f16c")

#include "runner-inl.hpp"

namespace tolvane::simd::x86 {

namespace {

// v rounded to integral values in Mode: by the round instruction, or for
// NearestAway, which it lacks, by truncation, stepped away from zero where
// the remainder (exact) is a half or more. An infinity's remainder is a
// NaN, which takes no step.
template <RoundingMode::Value Mode>
__m256 rounded(__m256 v) {
    if constexpr (Mode != RoundingMode::NearestAway) {
        return _mm256_round_ps(v, rounding_control<Mode>);
    } else {
        const __m256 sign = _mm256_set1_ps(-0.0f);
        const __m256 t = _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256 half_or_more = _mm256_cmp_ps(_mm256_andnot_ps(sign, _mm256_sub_ps(v, t)),
                                                  _mm256_set1_ps(0.5f), _CMP_GE_OQ);
        const __m256 step = _mm256_or_ps(_mm256_and_ps(v, sign), _mm256_set1_ps(1.0f));
        return _mm256_add_ps(t, _mm256_and_ps(half_or_more, step));
    }
}
template <RoundingMode::Value Mode>
__m256d rounded(__m256d v) {
    if constexpr (Mode != RoundingMode::NearestAway) {
        return _mm256_round_pd(v, rounding_control<Mode>);
    } else {
        const __m256d sign = _mm256_set1_pd(-0.0);
        const __m256d t = _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d half_or_more = _mm256_cmp_pd(_mm256_andnot_pd(sign, _mm256_sub_pd(v, t)),
                                                   _mm256_set1_pd(0.5), _CMP_GE_OQ);
        const __m256d step = _mm256_or_pd(_mm256_and_pd(v, sign), _mm256_set1_pd(1.0));
        return _mm256_add_pd(t, _mm256_and_pd(half_or_more, step));
    }
}

template <RoundingMode::Value Mode>
__m256d round_clamp(__m256d v, double lo, double hi) {
    return _mm256_min_pd(_mm256_max_pd(rounded<Mode>(v), _mm256_set1_pd(lo)), _mm256_set1_pd(hi));
}

// Whether any of four vectors, loaded through `Load`, holds a NaN: none does
// where the load puts a stand-in in place of every NaN.
template <class Load>
bool any_nan(const __m256d (&v)[4]) {
    if constexpr (!Load::leaves_nan) return false;
    const __m256d nan = _mm256_or_pd(_mm256_cmp_pd(v[0], v[1], _CMP_UNORD_Q),
                                     _mm256_cmp_pd(v[2], v[3], _CMP_UNORD_Q));
    return _mm256_movemask_pd(nan) != 0;
}
template <class Load>
bool any_nan(const __m256 (&v)[4]) {
    if constexpr (!Load::leaves_nan) return false;
    const __m256 nan = _mm256_or_ps(_mm256_cmp_ps(v[0], v[1], _CMP_UNORD_Q),
                                    _mm256_cmp_ps(v[2], v[3], _CMP_UNORD_Q));
    return _mm256_movemask_ps(nan) != 0;
}

// The lanes of float32 and float64 vectors alike.
template <FloatElement S>
struct LanesOf;
template <>
struct LanesOf<float> {
    using type = __m256;
};
template <>
struct LanesOf<double> {
    using type = __m256d;
};
template <FloatElement S>
using Lanes = typename LanesOf<S>::type;

[[gnu::always_inline]] inline __m256 loaded(const float* x) { return _mm256_loadu_ps(x); }
[[gnu::always_inline]] inline __m256d loaded(const double* x) { return _mm256_loadu_pd(x); }
[[gnu::always_inline]] inline __m256 broadcast(float x) { return _mm256_set1_ps(x); }
[[gnu::always_inline]] inline __m256d broadcast(double x) { return _mm256_set1_pd(x); }
[[gnu::always_inline]] inline __m256 unordered(__m256 x) { return _mm256_cmp_ps(x, x, _CMP_UNORD_Q); }
[[gnu::always_inline]] inline __m256d unordered(__m256d x) {
    return _mm256_cmp_pd(x, x, _CMP_UNORD_Q);
}
[[gnu::always_inline]] inline __m256 equal(__m256 a, __m256 b) {
    return _mm256_cmp_ps(a, b, _CMP_EQ_OQ);
}
[[gnu::always_inline]] inline __m256d equal(__m256d a, __m256d b) {
    return _mm256_cmp_pd(a, b, _CMP_EQ_OQ);
}
// `yes` where `mask` is set, `no` elsewhere.
[[gnu::always_inline]] inline __m256 select(__m256 mask, __m256 yes, __m256 no) {
    return _mm256_blendv_ps(no, yes, mask);
}
[[gnu::always_inline]] inline __m256d select(__m256d mask, __m256d yes, __m256d no) {
    return _mm256_blendv_pd(no, yes, mask);
}

// How a float-to-integer block reads its elements: as they are, or with the
// first matching entry's stand-in in place of each mapped element, and
// whether a NaN can be left in a lane (not where a NaN source's stand-in
// takes the place of every NaN, which then needs no test).
struct AsLoaded {
    static constexpr bool leaves_nan = true;
    template <class V>
    [[gnu::always_inline]] V operator()(V x) const {
        return x;
    }
};

// A map's entries: `Compared` of them, whose sources are not NaNs, compared
// with each element, and with `NanSource` the first NaN source's stand-in
// for every NaN. A NaN matches only the NaN sources and any other value only
// the others, so the NaNs take theirs in a select of their own; without a
// NaN source a NaN stays itself, its sign and payload too. The last entry
// goes in first, so that the first match is what remains.
template <FloatElement S, size_t Compared, bool NanSource>
struct StandIns {
    static constexpr bool leaves_nan = !NanSource;
    Lanes<S> source[Compared + 1];
    Lanes<S> stand_in[Compared + 1];
    Lanes<S> nan_stand_in;

    StandIns(const S* sources, const S* stand_ins, S nan) : nan_stand_in(broadcast(nan)) {
        for (size_t e = 0; e < Compared; ++e) {
            source[e] = broadcast(sources[e]);
            stand_in[e] = broadcast(stand_ins[e]);
        }
    }

    [[gnu::always_inline]] Lanes<S> operator()(Lanes<S> x) const {
        Lanes<S> v = NanSource ? select(unordered(x), nan_stand_in, x) : x;
        for (size_t e = Compared; e-- > 0;) v = select(equal(x, source[e]), stand_in[e], v);
        return v;
    }
};

// Each block type converts and stores one whole block, or returns false
// without writing anything when an element of the block fails; the shared
// finish then replays the block in steps.

// float32 -> integers of up to 16 bits and float64 -> integers of up to 32
// bits under Clamp, four source vectors a block: each rounded, limited to
// D's range, converted to int32 lanes (a uint32 target's range moved down
// by 2^31 before, exactly, and its top bit flipped back after) and packed
// into D's lanes, which the limits keep from saturating. With `Check`,
// float32 -> int32 too: a block with a rounded value outside D's range (or
// a NaN, which no comparison holds) is written by none of these.
template <RoundingMode::Value Mode, FloatElement S, IntegerElement D, bool Check = false>
struct FloatToIntClamp {
    static_assert(Check ? std::same_as<S, float> && std::same_as<D, int32_t>
                        : sizeof(D) <= 2 || (std::same_as<S, double> && sizeof(D) == 4));
    static constexpr size_t lanes = 32 / sizeof(S);
    static constexpr size_t width = 4 * lanes;
    static constexpr double lo = std::numeric_limits<D>::min();
    static constexpr double hi = std::numeric_limits<D>::max();

    // The rounded values, limited to D's range unless checked.
    static __m256 limited(__m256 v) {
        const __m256 r = rounded<Mode>(v);
        return Check ? r : _mm256_min_ps(_mm256_max_ps(r, _mm256_set1_ps(lo)), _mm256_set1_ps(hi));
    }
    static __m256d limited(__m256d v) { return round_clamp<Mode>(v, lo, hi); }
    // Whether every lane of r lies in D's range.
    static bool inside(const __m256 (&r)[4]) {
        const __m256 below = _mm256_set1_ps(lo);
        const __m256 above = _mm256_set1_ps(integer_upper_limit<D>);
        __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
        for (size_t k = 0; k < 4; ++k) {
            all = _mm256_and_ps(all, _mm256_and_ps(_mm256_cmp_ps(r[k], below, _CMP_GE_OQ),
                                                   _mm256_cmp_ps(r[k], above, _CMP_LT_OQ)));
        }
        return _mm256_movemask_ps(all) == 0xff;
    }

    // Limited values as int32 lanes.
    static __m256i int32_lanes(__m256 r) { return _mm256_cvttps_epi32(r); }
    static __m128i int32_lanes(__m256d r) {
        if constexpr (std::same_as<D, uint32_t>) {
            const __m128i w = _mm256_cvttpd_epi32(_mm256_sub_pd(r, _mm256_set1_pd(0x1p31)));
            return _mm_xor_si128(w, _mm_set1_epi32(INT32_MIN));
        } else {
            return _mm256_cvttpd_epi32(r);
        }
    }

    // a and b packed into 16-bit lanes, within 128-bit halves.
    static __m256i words(__m256i a, __m256i b) {
        return std::same_as<D, uint16_t> ? _mm256_packus_epi32(a, b) : _mm256_packs_epi32(a, b);
    }
    static __m128i words(__m128i a, __m128i b) {
        return std::same_as<D, uint16_t> ? _mm_packus_epi32(a, b) : _mm_packs_epi32(a, b);
    }
    // Four int32 vectors' bytes.
    template <class V>
    static V bytes(const V (&w)[4]) {
        const V a = words(w[0], w[1]);
        const V b = words(w[2], w[3]);
        if constexpr (sizeof(V) == 32) {
            return std::is_signed_v<D> ? _mm256_packs_epi16(a, b) : _mm256_packus_epi16(a, b);
        } else {
            return std::is_signed_v<D> ? _mm_packs_epi16(a, b) : _mm_packus_epi16(a, b);
        }
    }

    template <class Load = AsLoaded>
    [[gnu::always_inline]] static bool convert(const S* src, D* dst, const Load& load = {}) {
        Lanes<S> r[4];
        for (size_t k = 0; k < 4; ++k) r[k] = load(loaded(src + lanes * k));
        if constexpr (!Check) {
            if (any_nan<Load>(r)) return false;
        }
        for (size_t k = 0; k < 4; ++k) r[k] = limited(r[k]);
        if constexpr (Check) {
            if (!inside(r)) return false;
        }
        decltype(int32_lanes(r[0])) w[4];
        for (size_t k = 0; k < 4; ++k) w[k] = int32_lanes(r[k]);
        if constexpr (std::same_as<S, float>) {
            // The packs work within 128-bit halves; the permutations put the
            // groups back in element order.
            if constexpr (sizeof(D) == 1) {
                const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                                    _mm256_permutevar8x32_epi32(bytes(w), order));
            } else if constexpr (sizeof(D) == 2) {
                for (size_t h = 0; h < 2; ++h) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 16 * h),
                                        _mm256_permute4x64_epi64(words(w[2 * h], w[2 * h + 1]),
                                                                 _MM_SHUFFLE(3, 1, 2, 0)));
                }
            } else {
                for (size_t k = 0; k < 4; ++k) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 8 * k), w[k]);
                }
            }
        } else if constexpr (sizeof(D) == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes(w));
        } else if constexpr (sizeof(D) == 2) {
            for (size_t h = 0; h < 2; ++h) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * h),
                                 words(w[2 * h], w[2 * h + 1]));
            }
        } else {
            for (size_t k = 0; k < 4; ++k) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * k), w[k]);
            }
        }
        return true;
    }
};

template <RoundingMode::Value Mode>
using F32ToU8Clamp = FloatToIntClamp<Mode, float, uint8_t>;
template <RoundingMode::Value Mode>
using F64ToU8Clamp = FloatToIntClamp<Mode, double, uint8_t>;
template <RoundingMode::Value Mode>
using F64ToI32Clamp = FloatToIntClamp<Mode, double, int32_t>;

template <RoundingMode::Value Mode>
struct F64ToI32Check {
    static constexpr size_t width = 16;
    template <class Load = AsLoaded>
    [[gnu::always_inline]] static bool convert(const double* src, int32_t* dst,
                                               const Load& load = {}) {
        __m256d r[4];
        __m256d in_range = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
        for (int k = 0; k < 4; ++k) {
            r[k] = _mm256_round_pd(load(_mm256_loadu_pd(src + 4 * k)), rounding_control<Mode>);
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

// float32 -> int32 or uint32 under Clamp. CVTTPS2DQ gives 0x80000000 for
// every value from 2^31 on: the lanes of the comparison's mask flip it to
// 2^31 - 1 for int32. For uint32 the upper half is moved down by 2^31
// (exactly, every float32 there being a multiple of 256) and flipped back,
// and lanes from 2^32 on take every bit.
template <RoundingMode::Value Mode, IntegerElement D>
struct F32ToI32ClampTo {
    static constexpr size_t width = 32;
    template <class Load = AsLoaded>
    [[gnu::always_inline]] static bool convert(const float* src, D* dst, const Load& load = {}) {
        __m256 v[4];
        for (int k = 0; k < 4; ++k) v[k] = load(_mm256_loadu_ps(src + 8 * k));
        if (any_nan<Load>(v)) return false;
        const __m256 half = _mm256_set1_ps(0x1p31f);
        for (int k = 0; k < 4; ++k) {
            const __m256 r = _mm256_round_ps(v[k], rounding_control<Mode>);
            const __m256 upper = _mm256_cmp_ps(r, half, _CMP_GE_OQ);
            __m256i w;
            if constexpr (std::is_signed_v<D>) {
                const __m256i low = _mm256_cvttps_epi32(_mm256_max_ps(r, _mm256_set1_ps(-0x1p31f)));
                w = _mm256_xor_si256(low, _mm256_castps_si256(upper));
            } else {
                const __m256 positive = _mm256_max_ps(r, _mm256_setzero_ps());
                const __m256 moved = _mm256_sub_ps(positive, _mm256_and_ps(upper, half));
                const __m256i top = _mm256_slli_epi32(_mm256_castps_si256(upper), 31);
                const __m256i beyond =
                    _mm256_castps_si256(_mm256_cmp_ps(r, _mm256_set1_ps(0x1p32f), _CMP_GE_OQ));
                w = _mm256_or_si256(_mm256_xor_si256(_mm256_cvttps_epi32(moved), top), beyond);
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 8 * k), w);
        }
        return true;
    }
};

template <RoundingMode::Value Mode>
using F32ToI32Clamp = F32ToI32ClampTo<Mode, int32_t>;
template <RoundingMode::Value Mode>
using F32ToU32Clamp = F32ToI32ClampTo<Mode, uint32_t>;

// float64 -> float32, 16 elements a block; the flags collect the finite
// sources beyond the largest float32.
struct F64ToF32 {
    static constexpr size_t width = 16;
    using Flags = __m256d;
    static Flags none() { return _mm256_setzero_pd(); }
    static bool any(Flags flags) { return _mm256_movemask_pd(flags) != 0; }
    // With `Test`, flags every finite source beyond the largest float32.
    template <bool Test = true, class Load = AsLoaded>
    [[gnu::always_inline]] static void narrow(const double* src, __m128 (&f)[4], Flags& overflow,
                                              const Load& load = {}) {
        const __m256d magnitude_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
        for (int k = 0; k < 4; ++k) {
            const __m256d v = load(_mm256_loadu_pd(src + 4 * k));
            if constexpr (Test) {
                const __m256d magnitude = _mm256_and_pd(v, magnitude_bits);
                overflow = _mm256_or_pd(
                    overflow, _mm256_and_pd(_mm256_cmp_pd(magnitude,
                                                          _mm256_set1_pd(detail::float32_max),
                                                          _CMP_GT_OQ),
                                            _mm256_cmp_pd(magnitude,
                                                          _mm256_set1_pd(__builtin_inf()),
                                                          _CMP_LT_OQ)));
            }
            f[k] = _mm256_cvtpd_ps(v);
        }
    }
    [[gnu::always_inline]] static void store(const __m128 (&f)[4], float* dst) {
        _mm256_storeu_ps(dst, _mm256_set_m128(f[1], f[0]));
        _mm256_storeu_ps(dst + 8, _mm256_set_m128(f[3], f[2]));
    }
    template <bool Test = true>
    [[gnu::always_inline]] static void convert(const double* src, float* dst, Flags& overflow) {
        __m128 f[4];
        narrow<Test>(src, f, overflow);
        store(f, dst);
    }
    // An overflow gives an infinite result from a finite source beyond the
    // largest float32, whatever the rounding direction, so the sources are
    // tested only in a block with an infinite result.
    template <class Load>
    [[gnu::always_inline]] static bool convert_tested(const double* src, float* dst,
                                                      bool check_overflow, const Load& load) {
        __m128 f[4];
        for (int k = 0; k < 4; ++k) f[k] = _mm256_cvtpd_ps(load(_mm256_loadu_pd(src + 4 * k)));
        if (check_overflow) {
            const __m256 magnitude_bits = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
            const __m256 infinity = _mm256_set1_ps(__builtin_inff());
            const auto infinite = [&](__m128 low, __m128 high) {
                return _mm256_cmp_ps(_mm256_and_ps(_mm256_set_m128(high, low), magnitude_bits),
                                     infinity, _CMP_EQ_OQ);
            };
            const __m256 any_infinite = _mm256_or_ps(infinite(f[0], f[1]), infinite(f[2], f[3]));
            if (!_mm256_testz_ps(any_infinite, any_infinite)) {
                __m128 unused[4];
                Flags overflow = none();
                narrow(src, unused, overflow, load);
                if (any(overflow)) return false;
            }
        }
        store(f, dst);
        return true;
    }
};

// Stores whole vectors of float16 results; with the check, none of a block
// whose results include an infinity.
template <bool CheckOverflow, size_t Count>
[[gnu::always_inline]] inline bool store_halves(const __m128i (&h)[Count], float16* dst) {
    if constexpr (CheckOverflow) {
        __m128i infinite = _mm_setzero_si128();
        for (size_t k = 0; k < Count; ++k) {
            const __m128i magnitude = _mm_and_si128(h[k], _mm_set1_epi16(0x7fff));
            infinite = _mm_or_si128(infinite, _mm_cmpeq_epi16(magnitude, _mm_set1_epi16(0x7c00)));
        }
        if (!_mm_testz_si128(infinite, infinite)) return false;
    }
    for (size_t k = 0; k < Count; ++k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8 * k), h[k]);
    }
    return true;
}

// The rounding immediate of VCVTPS2PH gives every mode exactly, whatever
// MXCSR's rounding direction.
template <RoundingMode::Value Mode>
struct F32ToF16 {
    static constexpr size_t width = 32;
    template <bool CheckOverflow, class Load = AsLoaded>
    [[gnu::always_inline]] static bool convert(const float* src, float16* dst,
                                               const Load& load = {}) {
        __m128i h[4];
        for (int k = 0; k < 4; ++k) {
            h[k] = _mm256_cvtps_ph(load(_mm256_loadu_ps(src + 8 * k)), rounding_control<Mode>);
        }
        return store_halves<CheckOverflow>(h, dst);
    }
};

// float64 goes to float32 as the scalar cast does (nearest, in MXCSR's
// direction), then for a directed mode one unit to that mode's side of the
// source: the float32 rounding in the mode's direction, from which rounding
// to float16 in the same direction is the direct directed rounding.
template <RoundingMode::Value Mode>
struct F64ToF16 {
    static constexpr size_t width = 16;

    static __m128 to_float32(__m256d x) {
        const __m128 y = _mm256_cvtpd_ps(x);
        if constexpr (Mode == RoundingMode::NearestEven) {
            return y;
        } else {
            const __m256d wide = _mm256_cvtps_pd(y);
            __m256d move;
            if constexpr (Mode == RoundingMode::TowardsZero) {
                const __m256d magnitude =
                    _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
                move = _mm256_cmp_pd(_mm256_and_pd(wide, magnitude), _mm256_and_pd(x, magnitude),
                                     _CMP_GT_OQ);
            } else if constexpr (Mode == RoundingMode::TowardsPositive) {
                move = _mm256_cmp_pd(wide, x, _CMP_LT_OQ);
            } else {
                move = _mm256_cmp_pd(wide, x, _CMP_GT_OQ);
            }
            // The 64-bit lane masks as 32-bit ones.
            const __m128i moved = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(
                _mm256_castpd_si256(move), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
            const __m128i bits = _mm_castps_si128(y);
            // A unit away from zero is +1 on the bit pattern, towards zero -1.
            const __m128i away = _mm_or_si128(_mm_srai_epi32(bits, 31), _mm_set1_epi32(1));
            __m128i result;
            if constexpr (Mode == RoundingMode::TowardsZero) {
                result = _mm_add_epi32(bits, moved);
            } else if constexpr (Mode == RoundingMode::TowardsPositive) {
                result = _mm_add_epi32(bits, _mm_and_si128(moved, away));
            } else {
                result = _mm_sub_epi32(bits, _mm_and_si128(moved, away));
            }
            return _mm_castsi128_ps(result);
        }
    }

    template <bool CheckOverflow, class Load = AsLoaded>
    [[gnu::always_inline]] static bool convert(const double* src, float16* dst,
                                               const Load& load = {}) {
        __m128i h[2];
        for (int k = 0; k < 2; ++k) {
            const __m256 y = _mm256_set_m128(to_float32(load(_mm256_loadu_pd(src + 8 * k + 4))),
                                             to_float32(load(_mm256_loadu_pd(src + 8 * k))));
            h[k] = _mm256_cvtps_ph(y, rounding_control<Mode>);
        }
        return store_halves<CheckOverflow>(h, dst);
    }
};

struct F16ToF32 {
    static constexpr size_t width = 32;
    template <class Select = AsLoaded>
    [[gnu::always_inline]] static void convert(const float16* src, float* dst,
                                               const Select& select = {}) {
        for (int k = 0; k < 4; ++k) {
            const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 8 * k));
            _mm256_storeu_ps(dst + 8 * k, select(_mm256_cvtph_ps(h)));
        }
    }
};

struct I64ToI32Check {
    static constexpr size_t width = 16;
    [[gnu::always_inline]] static bool convert(const int64_t* src, int32_t* dst) {
        __m256i v[4];
        __m256i outside = _mm256_setzero_si256();
        for (int k = 0; k < 4; ++k) {
            v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * k));
            outside = _mm256_or_si256(
                outside,
                _mm256_or_si256(_mm256_cmpgt_epi64(v[k], _mm256_set1_epi64x(0x7fffffff)),
                                _mm256_cmpgt_epi64(_mm256_set1_epi64x(-0x80000000LL), v[k])));
        }
        if (!_mm256_testz_si256(outside, outside)) return false;
        for (int k = 0; k < 4; k += 2) {
            // The low halves of both vectors, then the 64-bit groups in element order.
            const __m256 low = _mm256_shuffle_ps(
                _mm256_castsi256_ps(v[k]), _mm256_castsi256_ps(v[k + 1]), _MM_SHUFFLE(2, 0, 2, 0));
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(dst + 4 * k),
                _mm256_permute4x64_epi64(_mm256_castps_si256(low), _MM_SHUFFLE(3, 1, 2, 0)));
        }
        return true;
    }
};

// No instruction before AVX-512 converts 64-bit integer lanes: the scalar
// one, four lanes gathered into a vector, eight elements a store.
struct I64ToF32 {
    static constexpr size_t width = 8;
    [[gnu::always_inline]] static __m128 four(const int64_t* src) {
        const __m128 zero = _mm_setzero_ps();
        const __m128 low =
            _mm_unpacklo_ps(_mm_cvtsi64_ss(zero, src[0]), _mm_cvtsi64_ss(zero, src[1]));
        const __m128 high =
            _mm_unpacklo_ps(_mm_cvtsi64_ss(zero, src[2]), _mm_cvtsi64_ss(zero, src[3]));
        return _mm_movelh_ps(low, high);
    }
    [[gnu::always_inline]] static void convert(const int64_t* src, float* dst) {
        _mm256_storeu_ps(dst, _mm256_set_m128(four(src + 4), four(src)));
    }
};

// int64 -> float32 with a map's targets selected in, eight elements a step.
// The 64-bit compares' masks fall in the 32-bit halves of two vectors in the
// order 0 1 4 5 | 2 3 6 7, so the conversions go into that order too, and
// one permutation of 64-bit groups puts the step in order. The last entry
// goes in first, so that the first match is what remains.
template <size_t Entries>
size_t i64_to_f32_selected(const int64_t* src, float* dst, size_t n,
                           const TargetMap<int64_t, float>& map) {
    __m256i sources[Entries];
    __m256 targets[Entries];
    for (size_t e = 0; e < Entries; ++e) {
        sources[e] = _mm256_set1_epi64x(map.sources[e]);
        targets[e] = _mm256_set1_ps(map.targets[e]);
    }
    const auto two = [](const int64_t* x) {
        const __m128 zero = _mm_setzero_ps();
        return _mm_unpacklo_ps(_mm_cvtsi64_ss(zero, x[0]), _mm_cvtsi64_ss(zero, x[1]));
    };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const int64_t* x = src + i;
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 4));
        __m256 y = _mm256_set_m128(_mm_movelh_ps(two(x + 2), two(x + 6)),
                                   _mm_movelh_ps(two(x), two(x + 4)));
        for (size_t e = Entries; e-- > 0;) {
            const __m256 match = _mm256_shuffle_ps(
                _mm256_castsi256_ps(_mm256_cmpeq_epi64(a, sources[e])),
                _mm256_castsi256_ps(_mm256_cmpeq_epi64(b, sources[e])), _MM_SHUFFLE(2, 0, 2, 0));
            y = _mm256_blendv_ps(y, targets[e], match);
        }
        _mm256_storeu_ps(dst + i, _mm256_castpd_ps(_mm256_permute4x64_pd(
                                      _mm256_castps_pd(y), _MM_SHUFFLE(3, 1, 2, 0))));
    }
    return i;
}

// A map's entry in the narrowing loops below.
template <IntegerElement S, IntegerElement D>
struct Selected {
    S source;
    D target;
};

// A map's entries broadcast for a narrowing loop, Loop, into the lanes
// where it compares or selects each: the wide entries' sources as
// Loop::wide_source puts them, the narrow ones' as Loop::narrow_source
// does, and every target as Loop::target does.
template <size_t Wide, size_t Narrow>
struct EntryVectors {
    __m256i wide_sources[Wide + 1];
    __m256i wide_targets[Wide + 1];
    __m256i narrow_sources[Narrow + 1];
    __m256i narrow_targets[Narrow + 1];

    template <class Loop, IntegerElement S, IntegerElement D>
    EntryVectors(std::type_identity<Loop>, const Selected<S, D>* wide,
                 const Selected<S, D>* narrow) {
        for (size_t e = 0; e < Wide; ++e) {
            wide_sources[e] = Loop::wide_source(wide[e].source);
            wide_targets[e] = Loop::target(wide[e].target);
        }
        for (size_t e = 0; e < Narrow; ++e) {
            narrow_sources[e] = Loop::narrow_source(narrow[e].source);
            narrow_targets[e] = Loop::target(narrow[e].target);
        }
    }
};

// Whether a saturation into Lanes tells `source` apart from every other S
// value: a value in Lanes' range other than a bound that out-of-range
// values saturate to (Lanes' lowest value is no such bound when it is S's
// too). Such a source compares in Lanes' lanes, after the saturation.
template <IntegerElement S, IntegerElement Lanes>
bool told_apart(S source) {
    const auto lowest = std::numeric_limits<Lanes>::lowest();
    const bool lowest_of_both = std::cmp_equal(lowest, std::numeric_limits<S>::lowest());
    return std::cmp_less(source, std::numeric_limits<Lanes>::max()) &&
           (std::cmp_greater(source, lowest) ||
            (std::cmp_equal(source, lowest) && lowest_of_both));
}

// Integer narrowing with the saturating packs, 32 bytes of targets a step,
// under Clamp or, with `Check`, up to the first step with an element
// outside the target's range that no entry maps. A signed source needs
// nothing else: the signed packs clamp to int16 and int8, the unsigned ones
// to uint16 and uint8, and the 32 -> 16 -> 8 packs clamp as one, since
// every step keeps the order and the target's range. An unsigned source is
// first limited to the target's largest value, which the packs then read as
// a non-negative one. The packs work within 128-bit halves, and a
// permutation puts the elements back in order. A map's entries compare in
// the source's lanes, their masks go through the signed packs (all ones
// stay all ones), and they select their targets in the target's lanes.
// A change of sign at the same width takes the same steps without packs, a
// signed source limited to zero from below.
template <IntegerElement S, IntegerElement D>
struct PackNarrowing {
    static constexpr size_t parts = sizeof(S) / sizeof(D);
    static constexpr size_t width = 32 / sizeof(D);
    static constexpr size_t part_width = 32 / sizeof(S);

    static __m256i limited(__m256i x) {
        if constexpr (std::is_signed_v<S> && parts == 1) {
            const __m256i zero = _mm256_setzero_si256();
            return sizeof(S) == 4   ? _mm256_max_epi32(x, zero)
                   : sizeof(S) == 2 ? _mm256_max_epi16(x, zero)
                                    : _mm256_max_epi8(x, zero);
        } else if constexpr (std::is_signed_v<S>) {
            return x;
        } else if constexpr (sizeof(S) == 4) {
            return _mm256_min_epu32(x, _mm256_set1_epi32(std::numeric_limits<D>::max()));
        } else if constexpr (sizeof(S) == 2) {
            return _mm256_min_epu16(x, _mm256_set1_epi16(std::numeric_limits<D>::max()));
        } else {
            return _mm256_min_epu8(x, _mm256_set1_epi8(std::numeric_limits<D>::max()));
        }
    }

    // The parts packed into D's lanes, with unsigned saturation into an
    // unsigned target unless `Masks`.
    template <bool Masks>
    static __m256i packed(const __m256i (&v)[parts]) {
        constexpr bool to_unsigned = !Masks && std::is_unsigned_v<D>;
        if constexpr (parts == 1) {
            return v[0];
        } else if constexpr (sizeof(S) == 2) {
            return to_unsigned ? _mm256_packus_epi16(v[0], v[1]) : _mm256_packs_epi16(v[0], v[1]);
        } else if constexpr (sizeof(D) == 2) {
            return to_unsigned ? _mm256_packus_epi32(v[0], v[1]) : _mm256_packs_epi32(v[0], v[1]);
        } else {
            const __m256i low = _mm256_packs_epi32(v[0], v[1]);
            const __m256i high = _mm256_packs_epi32(v[2], v[3]);
            return to_unsigned ? _mm256_packus_epi16(low, high) : _mm256_packs_epi16(low, high);
        }
    }

    static __m256i in_order(__m256i packed) {
        if constexpr (parts == 1) {
            return packed;
        } else if constexpr (parts == 2) {
            return _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0));
        } else {
            return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        }
    }

    template <IntegerElement T>
    static __m256i broadcast(T x) {
        return sizeof(T) == 4   ? _mm256_set1_epi32(static_cast<int32_t>(x))
               : sizeof(T) == 2 ? _mm256_set1_epi16(static_cast<int16_t>(x))
                                : _mm256_set1_epi8(static_cast<int8_t>(x));
    }

    template <size_t Size>
    static __m256i equal(__m256i x, __m256i key) {
        return Size == 4   ? _mm256_cmpeq_epi32(x, key)
               : Size == 2 ? _mm256_cmpeq_epi16(x, key)
                           : _mm256_cmpeq_epi8(x, key);
    }

    template <size_t Size>
    static __m256i greater(__m256i x, __m256i bound) {
        return Size == 4   ? _mm256_cmpgt_epi32(x, bound)
               : Size == 2 ? _mm256_cmpgt_epi16(x, bound)
                           : _mm256_cmpgt_epi8(x, bound);
    }

    // All ones where x, whose `limited` value is `v`, lies in D's range.
    static __m256i inside(__m256i x, __m256i v) {
        if constexpr (std::is_unsigned_v<S>) {
            return equal<sizeof(S)>(x, v);
        } else {
            // D's range in S: its lowest value is above S's, its largest may not be.
            constexpr auto dmax = std::numeric_limits<D>::max();
            constexpr auto smax = std::numeric_limits<S>::max();
            constexpr S highest = static_cast<S>(std::cmp_less(dmax, smax) ? dmax : smax);
            const __m256i below = broadcast(static_cast<S>(std::numeric_limits<D>::min() - 1));
            const __m256i above = broadcast(highest);
            return _mm256_andnot_si256(greater<sizeof(S)>(x, above), greater<sizeof(S)>(x, below));
        }
    }

    // Whether the packed value tells `source` apart from every other source.
    static bool narrow(S source) { return told_apart<S, D>(source); }

    // A map's entries as EntryVectors broadcasts them.
    static __m256i wide_source(S x) { return broadcast(x); }
    static __m256i narrow_source(S x) { return broadcast(static_cast<D>(x)); }
    static __m256i target(D y) { return broadcast(y); }

    // The entries' sources are distinct, so that at most one matches an
    // element and the order of the selects makes no difference. A narrow
    // entry's source lies in D's range: only the wide ones need a place in
    // the range test.
    template <bool Check, size_t Wide, size_t Narrow>
    static size_t run(const S* src, D* dst, size_t n, const Selected<S, D>* wide,
                      const Selected<S, D>* narrow) {
        const EntryVectors<Wide, Narrow> entries(std::type_identity<PackNarrowing>{}, wide, narrow);
        size_t i = 0;
        for (; i + width <= n; i += width) {
            __m256i x[parts];
            __m256i v[parts];
            __m256i fine[parts];
            for (size_t k = 0; k < parts; ++k) {
                x[k] = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(src + i + k * part_width));
                v[k] = limited(x[k]);
                if constexpr (Check) fine[k] = inside(x[k], v[k]);
            }
            const __m256i clamped = packed<false>(v);
            __m256i y = clamped;
            for (size_t e = 0; e < Wide; ++e) {
                __m256i match[parts];
                for (size_t k = 0; k < parts; ++k) {
                    match[k] = equal<sizeof(S)>(x[k], entries.wide_sources[e]);
                    if constexpr (Check) fine[k] = _mm256_or_si256(fine[k], match[k]);
                }
                y = _mm256_blendv_epi8(y, entries.wide_targets[e], packed<true>(match));
            }
            if constexpr (Check) {
                __m256i all = fine[0];
                for (size_t k = 1; k < parts; ++k) all = _mm256_and_si256(all, fine[k]);
                if (!_mm256_testc_si256(all, _mm256_set1_epi32(-1))) break;
            }
            for (size_t e = 0; e < Narrow; ++e) {
                y = _mm256_blendv_epi8(y, entries.narrow_targets[e],
                                       equal<sizeof(D)>(clamped, entries.narrow_sources[e]));
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), in_order(y));
        }
        return i;
    }
};

// The narrowing of 64-bit integers: each pair of source vectors split into
// its elements' low and high halves, saturated into 32-bit lanes (int32, or
// uint32 for a uint32 target) with compares of 32-bit halves, then packed
// into the target's lanes as PackNarrowing packs int32. AVX2 has no 64-bit
// min or max; this takes one select per 8 elements where the compares of
// 64-bit lanes take four. A map's sources compare in the 32-bit
// lanes where the saturation tells them apart, in 64-bit lanes otherwise,
// and select their targets in the 32-bit lanes.
template <IntegerElement S, IntegerElement D>
struct HalvesNarrowing {
    using Mid = std::conditional_t<std::same_as<D, uint32_t>, uint32_t, int32_t>;
    using Packs = PackNarrowing<Mid, D>;
    static constexpr size_t parts = sizeof(Mid) / sizeof(D);
    static constexpr size_t width = 32 / sizeof(D);

    static bool narrow(S source) { return told_apart<S, Mid>(source); }

    // A map's entries as EntryVectors broadcasts them.
    static __m256i wide_source(S x) { return _mm256_set1_epi64x(static_cast<int64_t>(x)); }
    static __m256i narrow_source(S x) { return _mm256_set1_epi32(static_cast<int32_t>(x)); }
    static __m256i target(D y) { return _mm256_set1_epi32(static_cast<int32_t>(y)); }

    // The 32-bit halves of a and b at `Half` (0 low, 1 high) of each element:
    // a0 a1 b0 b1 | a2 a3 b2 b3.
    template <int Half>
    static __m256i halves(__m256i a, __m256i b) {
        return _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b),
                                                     _MM_SHUFFLE(2 + Half, Half, 2 + Half, Half)));
    }

    // The elements saturated into Mid; `fits` is all ones where they lie in
    // Mid's range.
    static __m256i saturated(__m256i low, __m256i high, __m256i& fits) {
        const __m256i zero = _mm256_setzero_si256();
        __m256i bound;
        if constexpr (std::is_signed_v<S> && std::is_signed_v<Mid>) {
            fits = _mm256_cmpeq_epi32(high, _mm256_srai_epi32(low, 31));
            bound = _mm256_xor_si256(_mm256_srai_epi32(high, 31), _mm256_set1_epi32(INT32_MAX));
        } else if constexpr (std::is_signed_v<S>) {
            fits = _mm256_cmpeq_epi32(high, zero);
            bound = _mm256_cmpgt_epi32(high, zero);
        } else if constexpr (std::is_signed_v<Mid>) {
            fits = _mm256_cmpeq_epi32(_mm256_or_si256(high, _mm256_srai_epi32(low, 31)), zero);
            bound = _mm256_set1_epi32(INT32_MAX);
        } else {
            fits = _mm256_cmpeq_epi32(high, zero);
            bound = _mm256_set1_epi32(-1);
        }
        return _mm256_blendv_epi8(bound, low, fits);
    }

    // All ones where the elements, saturated into Mid as `clamped`, lie in
    // D's range.
    static __m256i inside(__m256i clamped, __m256i fits) {
        if constexpr (sizeof(D) == sizeof(Mid)) {
            return fits;
        } else {
            const __m256i below = _mm256_set1_epi32(std::numeric_limits<D>::min() - 1);
            const __m256i above = _mm256_set1_epi32(std::numeric_limits<D>::max());
            return _mm256_and_si256(fits, _mm256_andnot_si256(_mm256_cmpgt_epi32(clamped, above),
                                                              _mm256_cmpgt_epi32(clamped, below)));
        }
    }

    // As PackNarrowing's run.
    template <bool Check, size_t Wide, size_t Narrow>
    static size_t run(const S* src, D* dst, size_t n, const Selected<S, D>* wide,
                      const Selected<S, D>* narrow) {
        const EntryVectors<Wide, Narrow> entries(std::type_identity<HalvesNarrowing>{}, wide,
                                                 narrow);
        size_t i = 0;
        for (; i + width <= n; i += width) {
            __m256i mid[parts];
            __m256i all = _mm256_set1_epi32(-1);
            for (size_t k = 0; k < parts; ++k) {
                const S* x = src + i + 8 * k;
                const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
                const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 4));
                __m256i fits;
                const __m256i clamped = saturated(halves<0>(a, b), halves<1>(a, b), fits);
                __m256i fine = Check ? inside(clamped, fits) : fits;
                __m256i y = clamped;
                for (size_t e = 0; e < Wide; ++e) {
                    const __m256i source = entries.wide_sources[e];
                    const __m256i match = halves<0>(_mm256_cmpeq_epi64(a, source),
                                                    _mm256_cmpeq_epi64(b, source));
                    if constexpr (Check) fine = _mm256_or_si256(fine, match);
                    y = _mm256_blendv_epi8(y, entries.wide_targets[e], match);
                }
                if constexpr (Check) all = _mm256_and_si256(all, fine);
                for (size_t e = 0; e < Narrow; ++e) {
                    const __m256i match = _mm256_cmpeq_epi32(clamped, entries.narrow_sources[e]);
                    y = _mm256_blendv_epi8(y, entries.narrow_targets[e], match);
                }
                mid[k] = _mm256_permute4x64_epi64(y, _MM_SHUFFLE(3, 1, 2, 0));
            }
            if (Check && !_mm256_testc_si256(all, _mm256_set1_epi32(-1))) break;
            __m256i out = mid[0];
            if constexpr (parts > 1) out = Packs::in_order(Packs::template packed<false>(mid));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), out);
        }
        return i;
    }
};

// Loop (PackNarrowing or HalvesNarrowing) with the map's first entry for each
// distinct source, those that Loop::narrow tells apart and the others
// apart, four in all where the map has more than one entry (repeats change
// nothing).
template <class Loop, bool Check, IntegerElement S, IntegerElement D>
size_t run_mapped(const S* src, D* dst, size_t n, const TargetMap<S, D>& map) {
    using Entry = Selected<S, D>;
    Entry wide[4];
    Entry narrow[4];
    size_t wides = 0;
    size_t narrows = 0;
    for (size_t e = 0; e < (map.one ? 1 : 4); ++e) {
        const Entry entry{map.sources[e], map.targets[e]};
        const auto seen = [&](const Entry* from, size_t count) {
            return std::any_of(from, from + count,
                               [&](const Entry& a) { return a.source == entry.source; });
        };
        if (seen(wide, wides) || seen(narrow, narrows)) continue;
        (Loop::narrow(entry.source) ? narrow[narrows++] : wide[wides++]) = entry;
    }
    if (map.one) {
        return wides ? Loop::template run<Check, 1, 0>(src, dst, n, wide, narrow)
                     : Loop::template run<Check, 0, 1>(src, dst, n, wide, narrow);
    }
    Entry* const repeated = narrows ? narrow : wide;
    size_t& count = narrows ? narrows : wides;
    while (wides + narrows < 4) repeated[count++] = repeated[0];
    switch (wides) {
        case 0:
            return Loop::template run<Check, 0, 4>(src, dst, n, wide, narrow);
        case 1:
            return Loop::template run<Check, 1, 3>(src, dst, n, wide, narrow);
        case 2:
            return Loop::template run<Check, 2, 2>(src, dst, n, wide, narrow);
        case 3:
            return Loop::template run<Check, 3, 1>(src, dst, n, wide, narrow);
        default:
            return Loop::template run<Check, 4, 0>(src, dst, n, wide, narrow);
    }
}

template <bool Check, IntegerElement S, IntegerElement D>
size_t narrow_integers(const S* src, D* dst, size_t n, const TargetMap<S, D>* map) {
    using Loop = std::conditional_t<sizeof(S) == 8, HalvesNarrowing<S, D>, PackNarrowing<S, D>>;
    return map ? run_mapped<Loop, Check>(src, dst, n, *map)
               : Loop::template run<Check, 0, 0>(src, dst, n, nullptr, nullptr);
}

}  // namespace

template <IntegerElement S, IntegerElement D>
size_t avx2_narrow_integers(const S* src, D* dst, size_t n, const TargetMap<S, D>* map,
                            bool check) {
    if (check) return narrow_integers<true>(src, dst, n, map);
    if constexpr (sizeof(S) == sizeof(D)) {
        return 0;
    } else {
        return narrow_integers<false>(src, dst, n, map);
    }
}

namespace {

// Whole FloatToIntClamp blocks from the start, clamped or, with Check,
// checked, with the map's stand-ins put in where `map` isn't null.
template <bool Check, FloatElement S, IntegerElement D>
std::optional<size_t> float_to_int_blocks(const S* src, D* dst, size_t n, RoundingMode rounding,
                                          const StandInMap<S>* map) {
    return with_rounding_mode(rounding, [&](auto mode) -> std::optional<size_t> {
        using Block = FloatToIntClamp<mode.value, S, D, Check>;
        const auto blocks = [&](const auto& load) -> std::optional<size_t> {
            return whole_blocks<Block::width>(
                n, [&](size_t i) { return Block::convert(src + i, dst + i, load); });
        };
        return map ? with_stand_ins<StandIns>(*map, blocks) : blocks(AsLoaded{});
    });
}

}  // namespace

template <FloatElement S, IntegerElement D>
std::optional<size_t> avx2_clamp_floats(const S* src, D* dst, size_t n, RoundingMode rounding,
                                        const StandInMap<S>* map) {
    return float_to_int_blocks<false>(src, dst, n, rounding, map);
}

std::optional<size_t> avx2_f32_to_i32_checked(const float* src, int32_t* dst, size_t n,
                                              RoundingMode rounding,
                                              const StandInMap<float>* map) {
    return float_to_int_blocks<true>(src, dst, n, rounding, map);
}

#define TOLVANE_CLAMP_FLOATS(S, D)                                                          \
    template std::optional<size_t> avx2_clamp_floats(const S*, D*, size_t, RoundingMode, \
                                                     const StandInMap<S>*);
TOLVANE_CLAMPED_FLOAT_PAIRS(TOLVANE_CLAMP_FLOATS)
#undef TOLVANE_CLAMP_FLOATS

size_t avx2_i64_to_f32_mapped(const int64_t* src, float* dst, size_t n,
                              const TargetMap<int64_t, float>& map) {
    return map.one ? i64_to_f32_selected<1>(src, dst, n, map)
                   : i64_to_f32_selected<4>(src, dst, n, map);
}

#define TOLVANE_NARROW_INTEGERS(S, D)                                                         \
    template size_t avx2_narrow_integers(const S*, D*, size_t, const TargetMap<S, D>*, bool);
TOLVANE_PACKS_NARROW_PAIRS(TOLVANE_NARROW_INTEGERS)
#undef TOLVANE_NARROW_INTEGERS

const PathTable avx2_paths =
    make_extended_path_table<F32ToU8Clamp, F64ToU8Clamp, F64ToI32Clamp, F64ToI32Check, F64ToF32,
                             F32ToF16, F64ToF16, F16ToF32, I64ToI32Check, I64ToF32,
                             F32ToI32Clamp, F32ToU32Clamp, StandIns>();

}  // namespace tolvane::simd::x86

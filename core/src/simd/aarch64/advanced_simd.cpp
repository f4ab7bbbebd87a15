// The fast paths on 64-bit Arm, with 128-bit Advanced SIMD vectors (present
// on every such processor). The uint8 paths take 8 elements a step, the int32
// paths 2 and float64 -> float32 ten, then pairs, then the last element; the
// float16 paths blocks of 8.
#include <arm_neon.h>

#include <algorithm>

#include "../fast_path_steps.hpp"
#include "../float16_blocks-inl.hpp"
#include "../targets.hpp"

namespace tolvane::simd {

namespace {

using detail::ElementRule;
using detail::RangePolicy;

template <RoundingMode::Value Mode>
float32x4_t round_lanes(float32x4_t v) {
    if constexpr (Mode == RoundingMode::NearestEven) {
        return vrndnq_f32(v);
    } else if constexpr (Mode == RoundingMode::TowardsZero) {
        return vrndq_f32(v);
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        return vrndpq_f32(v);
    } else {
        static_assert(Mode == RoundingMode::TowardsNegative);
        return vrndmq_f32(v);
    }
}

template <RoundingMode::Value Mode>
float64x2_t round_lanes(float64x2_t v) {
    if constexpr (Mode == RoundingMode::NearestEven) {
        return vrndnq_f64(v);
    } else if constexpr (Mode == RoundingMode::TowardsZero) {
        return vrndq_f64(v);
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        return vrndpq_f64(v);
    } else {
        static_assert(Mode == RoundingMode::TowardsNegative);
        return vrndmq_f64(v);
    }
}

bool all_lanes(uint32x4_t mask) { return vminvq_u32(mask) != 0; }
bool all_lanes(uint64x2_t mask) { return vminvq_u32(vreinterpretq_u32_u64(mask)) != 0; }
bool any_lane(uint64x2_t mask) { return vmaxvq_u32(vreinterpretq_u32_u64(mask)) != 0; }

// The lanes of float32 and float64 vectors alike.
template <FloatElement S>
struct LanesOf;
template <>
struct LanesOf<float> {
    using type = float32x4_t;
};
template <>
struct LanesOf<double> {
    using type = float64x2_t;
};
template <FloatElement S>
using Lanes = typename LanesOf<S>::type;

inline float32x4_t broadcast(float x) { return vdupq_n_f32(x); }
inline float64x2_t broadcast(double x) { return vdupq_n_f64(x); }
// `yes` where x equals y, `no` elsewhere.
inline float32x4_t select_equal(float32x4_t x, float32x4_t y, float32x4_t yes, float32x4_t no) {
    return vbslq_f32(vceqq_f32(x, y), yes, no);
}
inline float64x2_t select_equal(float64x2_t x, float64x2_t y, float64x2_t yes, float64x2_t no) {
    return vbslq_f64(vceqq_f64(x, y), yes, no);
}

// How a float-to-integer step reads its elements: as they are, or with the
// first matching entry's stand-in in place of each mapped element.
struct AsLoaded {
    template <class V>
    V operator()(V x) const {
        return x;
    }
};

// A NaN matches only the NaN sources and any other value only the others,
// so the NaNs take the first NaN source's stand-in in a select of their
// own, where there is a NaN source; otherwise a NaN stays itself, its sign
// and payload too. The last entry goes in first, so that the first match is
// what remains.
template <FloatElement S, size_t Entries>
struct StandIns {
    Lanes<S> source[Entries];
    Lanes<S> stand_in[Entries];
    Lanes<S> nan_stand_in{};
    bool nan_source = false;

    explicit StandIns(const StandInMap<S>& map) {
        for (size_t e = Entries; e-- > 0;) {
            source[e] = broadcast(map.sources[e]);
            stand_in[e] = broadcast(map.stand_ins[e]);
            if (is_nan(map.sources[e])) {
                nan_stand_in = stand_in[e];
                nan_source = true;
            }
        }
    }

    Lanes<S> operator()(Lanes<S> x) const {
        Lanes<S> v = nan_source ? select_equal(x, x, x, nan_stand_in) : x;
        for (size_t e = Entries; e-- > 0;) v = select_equal(x, source[e], stand_in[e], v);
        return v;
    }
};

// Each step type converts and stores one whole step, or returns false without
// writing anything when an element of the step fails; the shared finish then
// finds that element.

template <RoundingMode::Value Mode>
struct F32ToU8Clamp {
    static constexpr size_t width = 8;
    template <class Load = AsLoaded>
    static bool convert(const float* src, uint8_t* dst, const Load& load = {}) {
        const float32x4_t a = load(vld1q_f32(src));
        const float32x4_t b = load(vld1q_f32(src + 4));
        if (!all_lanes(vandq_u32(vceqq_f32(a, a), vceqq_f32(b, b)))) return false;
        const float32x4_t lo = vdupq_n_f32(0.0f);
        const float32x4_t hi = vdupq_n_f32(255.0f);
        const uint32x4_t wa = vcvtq_u32_f32(vminq_f32(vmaxq_f32(round_lanes<Mode>(a), lo), hi));
        const uint32x4_t wb = vcvtq_u32_f32(vminq_f32(vmaxq_f32(round_lanes<Mode>(b), lo), hi));
        vst1_u8(dst, vmovn_u16(vcombine_u16(vmovn_u32(wa), vmovn_u32(wb))));
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToU8Clamp {
    static constexpr size_t width = 8;
    template <class Load = AsLoaded>
    static bool convert(const double* src, uint8_t* dst, const Load& load = {}) {
        float64x2_t v[4];
        for (int k = 0; k < 4; ++k) v[k] = load(vld1q_f64(src + 2 * k));
        const uint64x2_t ordered =
            vandq_u64(vandq_u64(vceqq_f64(v[0], v[0]), vceqq_f64(v[1], v[1])),
                      vandq_u64(vceqq_f64(v[2], v[2]), vceqq_f64(v[3], v[3])));
        if (!all_lanes(ordered)) return false;
        uint32x2_t w[4];
        for (int k = 0; k < 4; ++k) {
            const float64x2_t r =
                vminq_f64(vmaxq_f64(round_lanes<Mode>(v[k]), vdupq_n_f64(0.0)), vdupq_n_f64(255.0));
            w[k] = vmovn_u64(vcvtq_u64_f64(r));
        }
        const uint16x4_t low = vmovn_u32(vcombine_u32(w[0], w[1]));
        const uint16x4_t high = vmovn_u32(vcombine_u32(w[2], w[3]));
        vst1_u8(dst, vmovn_u16(vcombine_u16(low, high)));
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToI32Clamp {
    static constexpr size_t width = 2;
    template <class Load = AsLoaded>
    static bool convert(const double* src, int32_t* dst, const Load& load = {}) {
        const float64x2_t v = load(vld1q_f64(src));
        if (!all_lanes(vceqq_f64(v, v))) return false;
        const float64x2_t r = vminq_f64(vmaxq_f64(round_lanes<Mode>(v), vdupq_n_f64(-0x1p31)),
                                        vdupq_n_f64(0x1p31 - 1));
        vst1_s32(dst, vmovn_s64(vcvtq_s64_f64(r)));
        return true;
    }
};

template <RoundingMode::Value Mode>
struct F64ToI32Check {
    static constexpr size_t width = 2;
    template <class Load = AsLoaded>
    static bool convert(const double* src, int32_t* dst, const Load& load = {}) {
        const float64x2_t r = round_lanes<Mode>(load(vld1q_f64(src)));
        // A NaN stays a NaN through the rounding and fails both comparisons,
        // so one mask covers the NaN test and the range test.
        const uint64x2_t in_range =
            vandq_u64(vcgeq_f64(r, vdupq_n_f64(-0x1p31)), vcleq_f64(r, vdupq_n_f64(0x1p31 - 1)));
        if (!all_lanes(in_range)) return false;
        vst1_s32(dst, vmovn_s64(vcvtq_s64_f64(r)));
        return true;
    }
};

// float32 -> int32 or uint32 under Clamp: FCVTZS and FCVTZU saturate.
template <RoundingMode::Value Mode, IntegerElement D>
struct F32ToI32ClampTo {
    static constexpr size_t width = 8;
    template <class Load = AsLoaded>
    static bool convert(const float* src, D* dst, const Load& load = {}) {
        const float32x4_t a = load(vld1q_f32(src));
        const float32x4_t b = load(vld1q_f32(src + 4));
        if (!all_lanes(vandq_u32(vceqq_f32(a, a), vceqq_f32(b, b)))) return false;
        if constexpr (std::is_signed_v<D>) {
            vst1q_s32(dst, vcvtq_s32_f32(round_lanes<Mode>(a)));
            vst1q_s32(dst + 4, vcvtq_s32_f32(round_lanes<Mode>(b)));
        } else {
            vst1q_u32(dst, vcvtq_u32_f32(round_lanes<Mode>(a)));
            vst1q_u32(dst + 4, vcvtq_u32_f32(round_lanes<Mode>(b)));
        }
        return true;
    }
};

template <RoundingMode::Value Mode>
using F32ToI32Clamp = F32ToI32ClampTo<Mode, int32_t>;
template <RoundingMode::Value Mode>
using F32ToU32Clamp = F32ToI32ClampTo<Mode, uint32_t>;

// Whole vector steps while they succeed; the failing step, if any, and the
// tail go to the shared step-by-step finish, in steps of `Step` elements.
template <class Vector, class Rule, size_t Step, FloatElement S, IntegerElement D>
FastPathOutcome run_steps(std::span<const S> src, std::span<D> dst) {
    const size_t n = std::min(src.size(), dst.size());
    size_t i = 0;
    while (i + Vector::width <= n && Vector::convert(src.data() + i, dst.data() + i)) {
        i += Vector::width;
    }
    return detail::finish_in_steps<Step, Rule>(src.data(), dst.data(), i, n);
}

// With Step 0, the vector's own width.
template <template <RoundingMode::Value> class Vector, RangePolicy Policy, size_t Step = 0,
          FloatElement S, IntegerElement D>
FastPathOutcome float_to_int(std::span<const S> src, std::span<D> dst, RoundingMode rounding) {
    if (active_target() != Target::AdvancedSimd) return {};
    return detail::with_vector_rounding_mode(rounding, [&](auto mode) {
        constexpr RoundingMode::Value m = decltype(mode)::value;
        constexpr size_t step = Step == 0 ? Vector<m>::width : Step;
        return run_steps<Vector<m>, ElementRule<m, Policy, S, D>, step>(src, dst);
    });
}

// All-ones lanes for finite values beyond the largest float32, which may overflow.
uint64x2_t overflowing(float64x2_t v) {
    const float64x2_t magnitude = vabsq_f64(v);
    return vandq_u64(vcgtq_f64(magnitude, vdupq_n_f64(detail::float32_max)),
                     vcltq_f64(magnitude, vdupq_n_f64(__builtin_inf())));
}

// FCVTN and FCVTL follow FPCR: its rounding mode, flush-to-zero for single
// and half precision, default NaN and the alternative half-precision format.
// The float16 paths run only when all of them are in their default state,
// where the instructions give the software conversion's bits; FPCR is only
// read, never changed.
bool half_precision_exact() {
    uint64_t fpcr;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    constexpr uint64_t fz16 = 1u << 19, rounding = 3u << 22, fz = 1u << 24, dn = 1u << 25,
                       ahp = 1u << 26;
    return (fpcr & (fz16 | rounding | fz | dn | ahp)) == 0;
}

// Moves the nearest float16 results one unit to Mode's side of their sources
// where `move` is set: +1 on the bit pattern is a unit away from zero.
template <RoundingMode::Value Mode>
uint16x8_t step_halves(uint16x8_t bits, uint16x8_t move) {
    if constexpr (Mode == RoundingMode::TowardsZero) {
        return vaddq_u16(bits, move);
    } else {
        const uint16x8_t away = vorrq_u16(
            vreinterpretq_u16_s16(vshrq_n_s16(vreinterpretq_s16_u16(bits), 15)), vdupq_n_u16(1));
        const uint16x8_t step = vandq_u16(move, away);
        return Mode == RoundingMode::TowardsPositive ? vaddq_u16(bits, step)
                                                     : vsubq_u16(bits, step);
    }
}

// The lanes whose nearest result r lies on the wrong side of the source x for Mode.
template <RoundingMode::Value Mode, class V>
auto wrong_side(V r, V x) {
    if constexpr (Mode == RoundingMode::TowardsZero) {
        if constexpr (std::is_same_v<V, float32x4_t>) {
            return vcagtq_f32(r, x);
        } else {
            return vcagtq_f64(r, x);
        }
    } else if constexpr (Mode == RoundingMode::TowardsPositive) {
        if constexpr (std::is_same_v<V, float32x4_t>) {
            return vcltq_f32(r, x);
        } else {
            return vcltq_f64(r, x);
        }
    } else {
        if constexpr (std::is_same_v<V, float32x4_t>) {
            return vcgtq_f32(r, x);
        } else {
            return vcgtq_f64(r, x);
        }
    }
}

template <bool CheckOverflow>
bool store_halves(uint16x8_t bits, float16* dst) {
    if constexpr (CheckOverflow) {
        const uint16x8_t infinite =
            vceqq_u16(vandq_u16(bits, vdupq_n_u16(0x7fff)), vdupq_n_u16(0x7c00));
        if (vmaxvq_u16(infinite) != 0) return false;
    }
    vst1q_u16(reinterpret_cast<uint16_t*>(dst), bits);
    return true;
}

// The hardware conversions round to nearest (FPCR's default); a directed mode
// then steps the results that lie on the wrong side of their sources, as the
// scalar rule does, comparing with the exact source.
template <RoundingMode::Value Mode>
struct F32ToF16 {
    static constexpr size_t width = 8;
    template <bool CheckOverflow, class Load = AsLoaded>
    static bool convert(const float* src, float16* dst, const Load& load = {}) {
        const float32x4_t a = load(vld1q_f32(src));
        const float32x4_t b = load(vld1q_f32(src + 4));
        const float16x4_t ha = vcvt_f16_f32(a);
        const float16x4_t hb = vcvt_f16_f32(b);
        uint16x8_t bits = vreinterpretq_u16_f16(vcombine_f16(ha, hb));
        if constexpr (Mode != RoundingMode::NearestEven) {
            const uint16x8_t move = vcombine_u16(vmovn_u32(wrong_side<Mode>(vcvt_f32_f16(ha), a)),
                                                 vmovn_u32(wrong_side<Mode>(vcvt_f32_f16(hb), b)));
            bits = step_halves<Mode>(bits, move);
        }
        return store_halves<CheckOverflow>(bits, dst);
    }
};

// Through float32 as the scalar cast does it; a directed mode compares the
// float16 result with the float64 source.
template <RoundingMode::Value Mode>
struct F64ToF16 {
    static constexpr size_t width = 8;
    template <bool CheckOverflow, class Load = AsLoaded>
    static bool convert(const double* src, float16* dst, const Load& load = {}) {
        float64x2_t x[4];
        for (int k = 0; k < 4; ++k) x[k] = load(vld1q_f64(src + 2 * k));
        const float16x4_t ha = vcvt_f16_f32(vcvt_high_f32_f64(vcvt_f32_f64(x[0]), x[1]));
        const float16x4_t hb = vcvt_f16_f32(vcvt_high_f32_f64(vcvt_f32_f64(x[2]), x[3]));
        uint16x8_t bits = vreinterpretq_u16_f16(vcombine_f16(ha, hb));
        if constexpr (Mode != RoundingMode::NearestEven) {
            const float32x4_t wa = vcvt_f32_f16(ha);
            const float32x4_t wb = vcvt_f32_f16(hb);
            const uint32x4_t low =
                vcombine_u32(vmovn_u64(wrong_side<Mode>(vcvt_f64_f32(vget_low_f32(wa)), x[0])),
                             vmovn_u64(wrong_side<Mode>(vcvt_high_f64_f32(wa), x[1])));
            const uint32x4_t high =
                vcombine_u32(vmovn_u64(wrong_side<Mode>(vcvt_f64_f32(vget_low_f32(wb)), x[2])),
                             vmovn_u64(wrong_side<Mode>(vcvt_high_f64_f32(wb), x[3])));
            bits = step_halves<Mode>(bits, vcombine_u16(vmovn_u32(low), vmovn_u32(high)));
        }
        return store_halves<CheckOverflow>(bits, dst);
    }
};

struct F16ToF32 {
    static constexpr size_t width = 8;
    template <class Select = AsLoaded>
    static void convert(const float16* src, float* dst, const Select& select = {}) {
        const float16x8_t h =
            vreinterpretq_f16_u16(vld1q_u16(reinterpret_cast<const uint16_t*>(src)));
        vst1q_f32(dst, select(vcvt_f32_f16(vget_low_f16(h))));
        vst1q_f32(dst + 4, select(vcvt_high_f32_f16(h)));
    }
};

constexpr Target advanced_simd_targets[] = {Target::None, Target::AdvancedSimd};

}  // namespace

std::span<const Target> supported_targets() { return advanced_simd_targets; }

FastPathOutcome try_f32_to_u8_clamp(std::span<const float> src, std::span<uint8_t> dst,
                                    RoundingMode rounding) {
    return float_to_int<F32ToU8Clamp, RangePolicy::Clamp>(src, dst, rounding);
}

FastPathOutcome try_f64_to_u8_clamp(std::span<const double> src, std::span<uint8_t> dst,
                                    RoundingMode rounding) {
    return float_to_int<F64ToU8Clamp, RangePolicy::Clamp>(src, dst, rounding);
}

FastPathOutcome try_f64_to_i32_clamp(std::span<const double> src, std::span<int32_t> dst,
                                     RoundingMode rounding) {
    return float_to_int<F64ToI32Clamp, RangePolicy::Clamp>(src, dst, rounding);
}

FastPathOutcome try_f64_to_i32_check(std::span<const double> src, std::span<int32_t> dst,
                                     RoundingMode rounding) {
    return float_to_int<F64ToI32Check, RangePolicy::Check>(src, dst, rounding);
}

// Element by element after a failing step, as in the scalar loop.
FastPathOutcome try_f32_to_i32_clamp(std::span<const float> src, std::span<int32_t> dst,
                                     RoundingMode rounding) {
    return float_to_int<F32ToI32Clamp, RangePolicy::Clamp, 1>(src, dst, rounding);
}

FastPathOutcome try_f32_to_u32_clamp(std::span<const float> src, std::span<uint32_t> dst,
                                     RoundingMode rounding) {
    return float_to_int<F32ToU32Clamp, RangePolicy::Clamp, 1>(src, dst, rounding);
}

// Whole steps with the map's stand-ins put in, while they convert.
template <template <RoundingMode::Value> class Vector, size_t Entries, FloatElement S,
          IntegerElement D>
std::optional<size_t> mapped_steps(std::span<const S> src, std::span<D> dst,
                                   RoundingMode rounding, const StandInMap<S>& map) {
    const StandIns<S, Entries> load(map);
    return with_rounding_mode(rounding, [&](auto mode) -> std::optional<size_t> {
        if constexpr (mode.value == RoundingMode::NearestAway) {
            return std::nullopt;
        } else {
            using Step = Vector<mode.value>;
            const size_t n = std::min(src.size(), dst.size());
            size_t i = 0;
            while (i + Step::width <= n && Step::convert(src.data() + i, dst.data() + i, load)) {
                i += Step::width;
            }
            return i;
        }
    });
}

template <template <RoundingMode::Value> class Vector, FloatElement S, IntegerElement D>
std::optional<size_t> steps_with_map(std::span<const S> src, std::span<D> dst,
                                     RoundingMode rounding, const StandInMap<S>& map) {
    if (active_target() != Target::AdvancedSimd) return std::nullopt;
    return map.one ? mapped_steps<Vector, 1>(src, dst, rounding, map)
                   : mapped_steps<Vector, 4>(src, dst, rounding, map);
}

std::optional<size_t> try_f32_to_u8_clamp_mapped(std::span<const float> src,
                                                 std::span<uint8_t> dst, RoundingMode rounding,
                                                 const StandInMap<float>& map) {
    return steps_with_map<F32ToU8Clamp>(src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_u8_clamp_mapped(std::span<const double> src,
                                                 std::span<uint8_t> dst, RoundingMode rounding,
                                                 const StandInMap<double>& map) {
    return steps_with_map<F64ToU8Clamp>(src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_i32_clamp_mapped(std::span<const double> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<double>& map) {
    return steps_with_map<F64ToI32Clamp>(src, dst, rounding, map);
}

std::optional<size_t> try_f64_to_i32_check_mapped(std::span<const double> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<double>& map) {
    return steps_with_map<F64ToI32Check>(src, dst, rounding, map);
}

std::optional<size_t> try_f32_to_i32_clamp_mapped(std::span<const float> src,
                                                  std::span<int32_t> dst, RoundingMode rounding,
                                                  const StandInMap<float>& map) {
    return steps_with_map<F32ToI32Clamp>(src, dst, rounding, map);
}

std::optional<size_t> try_f32_to_u32_clamp_mapped(std::span<const float> src,
                                                  std::span<uint32_t> dst, RoundingMode rounding,
                                                  const StandInMap<float>& map) {
    return steps_with_map<F32ToU32Clamp>(src, dst, rounding, map);
}

FastPathOutcome try_f64_to_f32_nearest(std::span<const double> src, std::span<float> dst,
                                       bool check_overflow) {
    if (active_target() != Target::AdvancedSimd) return {};
    const size_t n = std::min(src.size(), dst.size());
    const double* in = src.data();
    float* out = dst.data();
    uint64x2_t overflow = vdupq_n_u64(0);
    size_t i = 0;
    for (; i + 10 <= n; i += 10) {
        float64x2_t v[5];
        for (int k = 0; k < 5; ++k) {
            v[k] = vld1q_f64(in + i + 2 * k);
            overflow = vorrq_u64(overflow, overflowing(v[k]));
        }
        vst1q_f32(out + i, vcvt_high_f32_f64(vcvt_f32_f64(v[0]), v[1]));
        vst1q_f32(out + i + 4, vcvt_high_f32_f64(vcvt_f32_f64(v[2]), v[3]));
        vst1_f32(out + i + 8, vcvt_f32_f64(v[4]));
    }
    for (; i + 2 <= n; i += 2) {
        const float64x2_t v = vld1q_f64(in + i);
        overflow = vorrq_u64(overflow, overflowing(v));
        vst1_f32(out + i, vcvt_f32_f64(v));
    }
    bool overflowed = any_lane(overflow);
    overflowed |= detail::narrow_to_float32(in, out, i, n);
    // The second pass runs only when the first one met a source that may overflow.
    if (check_overflow && overflowed) {
        if (CastOutcome error = detail::first_float32_overflow(in, out, n)) return {false, error};
    }
    return {true, std::nullopt};
}

// Four elements a step, with the map's stand-ins put in, up to the first
// step with a source that may overflow, when that is an error.
template <size_t Entries>
std::optional<size_t> f64_to_f32_mapped_steps(std::span<const double> src, std::span<float> dst,
                                              bool check_overflow,
                                              const StandInMap<double>& map) {
    const StandIns<double, Entries> load(map);
    const size_t n = std::min(src.size(), dst.size());
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const float64x2_t a = load(vld1q_f64(src.data() + i));
        const float64x2_t b = load(vld1q_f64(src.data() + i + 2));
        if (check_overflow && any_lane(vorrq_u64(overflowing(a), overflowing(b)))) break;
        vst1q_f32(dst.data() + i, vcvt_high_f32_f64(vcvt_f32_f64(a), b));
    }
    return i;
}

std::optional<size_t> try_f64_to_f32_nearest_mapped(std::span<const double> src,
                                                    std::span<float> dst, bool check_overflow,
                                                    const StandInMap<double>& map) {
    if (active_target() != Target::AdvancedSimd) return std::nullopt;
    return map.one ? f64_to_f32_mapped_steps<1>(src, dst, check_overflow, map)
                   : f64_to_f32_mapped_steps<4>(src, dst, check_overflow, map);
}

FastPathOutcome try_f32_to_f16(std::span<const float> src, std::span<float16> dst,
                               RoundingMode rounding, bool check_overflow) {
    if (active_target() != Target::AdvancedSimd || !half_precision_exact()) return {};
    return float16_blocks::narrow<F32ToF16>(src, dst, rounding, check_overflow);
}

FastPathOutcome try_f64_to_f16(std::span<const double> src, std::span<float16> dst,
                               RoundingMode rounding, bool check_overflow) {
    if (active_target() != Target::AdvancedSimd || !half_precision_exact()) return {};
    return float16_blocks::narrow<F64ToF16>(src, dst, rounding, check_overflow);
}

FastPathOutcome try_f16_to_f32(std::span<const float16> src, std::span<float> dst) {
    if (active_target() != Target::AdvancedSimd || !half_precision_exact()) return {};
    return float16_blocks::widen<F16ToF32>(src, dst);
}

template <template <RoundingMode::Value> class Narrow, FloatElement S>
std::optional<size_t> float16_with_map(std::span<const S> src, std::span<float16> dst,
                                       RoundingMode rounding, bool check_overflow,
                                       const StandInMap<S>& map) {
    if (active_target() != Target::AdvancedSimd || !half_precision_exact()) return std::nullopt;
    if (map.one) {
        return float16_blocks::narrow_loaded<Narrow>(src, dst, rounding, check_overflow,
                                                     StandIns<S, 1>(map));
    }
    return float16_blocks::narrow_loaded<Narrow>(src, dst, rounding, check_overflow,
                                                 StandIns<S, 4>(map));
}

std::optional<size_t> try_f32_to_f16_mapped(std::span<const float> src, std::span<float16> dst,
                                            RoundingMode rounding, bool check_overflow,
                                            const StandInMap<float>& map) {
    return float16_with_map<F32ToF16>(src, dst, rounding, check_overflow, map);
}

std::optional<size_t> try_f64_to_f16_mapped(std::span<const double> src, std::span<float16> dst,
                                            RoundingMode rounding, bool check_overflow,
                                            const StandInMap<double>& map) {
    return float16_with_map<F64ToF16>(src, dst, rounding, check_overflow, map);
}

std::optional<size_t> try_f16_to_f32_mapped(std::span<const float16> src, std::span<float> dst,
                                            const StandInMap<float>& map) {
    if (active_target() != Target::AdvancedSimd || !half_precision_exact()) return std::nullopt;
    if (map.one) return float16_blocks::widen_selected<F16ToF32>(src, dst, StandIns<float, 1>(map));
    return float16_blocks::widen_selected<F16ToF32>(src, dst, StandIns<float, 4>(map));
}

// The integer paths stay on the kernel's loops here.
FastPathOutcome try_i64_to_i32_check(std::span<const int64_t>, std::span<int32_t>) { return {}; }
FastPathOutcome try_i64_to_f32_nearest(std::span<const int64_t>, std::span<float>) { return {}; }

}  // namespace tolvane::simd

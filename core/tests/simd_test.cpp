// The vector fast paths against the kernels' scalar loops, on every target the
// build has and the processor runs (none, SSE4.1 and AVX2 on x86-64; none and
// Advanced SIMD on 64-bit Arm; the float16 paths on AVX2 and Advanced SIMD).
// The scalar reference is the kernel itself, one element at a time (too few
// for any vector path), with a scalar map whose only entry never matches.
#include "simd/simd.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cfenv>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "float_to_float.hpp"
#include "float_to_int.hpp"
#include "int_to_float.hpp"
#include "int_to_int.hpp"
#include "simd/targets.hpp"

#ifndef TOLVANE_TESTS_CROSSCOMPILED
#define TOLVANE_TESTS_CROSSCOMPILED 0
#endif

namespace tolvane {
namespace {

using simd::FastPathOutcome;
using simd::Target;

constexpr RoundingMode accepted_modes[] = {RoundingMode::NearestEven, RoundingMode::TowardsZero,
                                           RoundingMode::TowardsPositive,
                                           RoundingMode::TowardsNegative};

const char* mode_name(RoundingMode mode) {
    switch (mode) {
        case RoundingMode::NearestEven:
            return "NearestEven";
        case RoundingMode::TowardsZero:
            return "TowardsZero";
        case RoundingMode::TowardsPositive:
            return "TowardsPositive";
        case RoundingMode::TowardsNegative:
            return "TowardsNegative";
        case RoundingMode::NearestAway:
            break;
    }
    return "NearestAway";
}

// Pins the fast paths to one target for the lifetime of a test.
class TargetScope {
public:
    explicit TargetScope(Target target) { EXPECT_TRUE(simd::set_target_override(target)); }
    ~TargetScope() { simd::set_target_override(std::nullopt); }
    TargetScope(const TargetScope&) = delete;
    TargetScope& operator=(const TargetScope&) = delete;
};

// Equality of bit patterns, so that NaN payloads and the sign of zero count.
template <class T>
bool same_bits(T a, T b) {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
    } else if constexpr (std::is_same_v<T, double>) {
        return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
    } else if constexpr (std::is_same_v<T, float16>) {
        return a.bits == b.bits;
    } else {
        return a == b;
    }
}

// An element as a number gtest can print: float16 as its bit pattern.
template <class T>
auto printable(T v) {
    if constexpr (std::is_same_v<T, float16>) {
        return v.bits;
    } else {
        return +v;
    }
}

bool same_error(const CastOutcome& a, const CastOutcome& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->kind == b->kind && same_bits(a->value, b->value) &&
                  same_bits(a->min, b->min) && same_bits(a->max, b->max));
}

std::string describe(const CastOutcome& error) {
    return error ? error->display_text() : std::string("success");
}

template <class T>
T from_bits(uint64_t bits) {
    if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<float>(static_cast<uint32_t>(bits));
    } else {
        return std::bit_cast<double>(bits);
    }
}

// Two fillings of the destination: an element that holds its fill in both
// runs was left alone, one that holds the expected value in both was written.
template <class D>
std::vector<D> fills() {
    if constexpr (std::is_same_v<D, float>) {
        return {from_bits<float>(0x7fc12345u), from_bits<float>(0xff854321u)};
    } else if constexpr (std::is_same_v<D, float16>) {
        return {float16{0x7d23}, float16{0xfd5a}};  // signalling NaNs: no conversion gives them
    } else if constexpr (std::is_same_v<D, uint8_t>) {
        return {0xa5, 0x5a};
    } else {
        return {static_cast<D>(0x5a5a5a5a), static_cast<D>(-0x3c3c3c3d)};
    }
}

// A fast-path operation, how the kernel is configured to reach it, and how
// many elements it writes together.
template <class S, class D>
struct Path {
    std::string name;
    std::function<FastPathOutcome(std::span<const S>, std::span<D>, RoundingMode)> run;
    OutOfRangePolicy policy;
    size_t step;  // 0: every element is written, even after an error
    std::vector<RoundingMode> modes;
    // The targets on which the operation converts rather than declines.
    std::function<bool(Target)> offered_on = [](Target target) { return target != Target::None; };
    // Values that never fail, and values that may (NaN, out of range).
    std::function<S(std::mt19937_64&)> draw_good;
    std::vector<S> bad;
};

// A scalar-map source that no test input holds, so the map never matches.
template <class S>
constexpr S unmatched_source = static_cast<S>(0x1.5555p-70);
template <>
constexpr float16 unmatched_source<float16> = float16{0x1555};
template <>
constexpr int64_t unmatched_source<int64_t> = 0x5555555555555555;

template <class S, class D>
CastConfig<S, D> config_for(OutOfRangePolicy policy, RoundingMode mode, bool with_unmatched_map) {
    CastConfig<S, D> config{};
    if constexpr (requires { config.out_of_range; }) config.out_of_range = policy;
    if constexpr (requires { config.rounding; }) config.rounding = mode;
    if (with_unmatched_map) config.scalar_map.push_back({unmatched_source<S>, D{}});
    return config;
}

template <class S, class D>
CastOutcome run_kernel(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
    if constexpr (std::is_integral_v<S> && std::is_integral_v<D>) {
        return convert_slice_int_to_int<S, D>(src, dst, config);
    } else if constexpr (std::is_integral_v<S>) {
        return convert_slice_int_to_float<S, D>(src, dst, config);
    } else if constexpr (std::is_integral_v<D>) {
        return convert_slice_float_to_int<S, D>(src, dst, config);
    } else {
        return convert_slice_float_to_float<S, D>(src, dst, config);
    }
}

// What the scalar loop gives, element by element: each value (for float
// targets also that of a failing element, which the vector path writes),
// the first failing element and its error.
template <class D>
struct Expected {
    std::vector<D> values;
    size_t first_failure;
    CastOutcome error;
};

template <class S, class D>
Expected<D> scalar_expectation(const Path<S, D>& path, std::span<const S> src, RoundingMode mode) {
    Expected<D> expected{std::vector<D>(src.size()), src.size(), std::nullopt};
    const auto checked = config_for<S, D>(path.policy, mode, true);
    const auto clamped = config_for<S, D>(OutOfRangeMode::Clamp, mode, true);
    for (size_t i = 0; i < src.size(); ++i) {
        const std::span<const S> one = src.subspan(i, 1);
        const CastOutcome error =
            run_kernel<S, D>(one, std::span<D>(&expected.values[i], 1), checked);
        if (error && expected.first_failure == src.size()) {
            expected.first_failure = i;
            expected.error = error;
        }
        if (error && std::is_floating_point_v<D>) {
            EXPECT_FALSE((run_kernel<S, D>(one, std::span<D>(&expected.values[i], 1), clamped)));
        }
    }
    // The whole slice through the scalar loop gives the first element's error.
    std::vector<D> dst(src.size());
    EXPECT_TRUE(same_error(run_kernel<S, D>(src, dst, checked), expected.error));
    return expected;
}

// Elements written before an error: whole steps before the failing step, or
// in the tail every element before the failing one.
size_t vector_prefix(size_t step, size_t n, size_t first_failure) {
    if (first_failure >= n || step == 0) return n;
    const size_t whole_steps = n / step * step;
    return first_failure < whole_steps ? first_failure / step * step : first_failure;
}

template <class D>
void expect_destination(const std::vector<D>& dst, const Expected<D>& expected, size_t written,
                        D fill) {
    for (size_t j = 0; j < dst.size(); ++j) {
        const D want = j < written ? expected.values[j] : fill;
        EXPECT_TRUE(same_bits(dst[j], want))
            << "element " << j << " of " << dst.size() << (j < written ? " (written)" : " (kept)")
            << ": got " << printable(dst[j]) << ", want " << printable(want);
    }
}

// The operation called directly, then through the kernel without a map.
template <class S, class D>
void check_paths(const Path<S, D>& path, Target target, std::span<const S> src, RoundingMode mode) {
    const Expected<D> expected = scalar_expectation(path, src, mode);
    const bool vector = path.offered_on(target);
    for (const D fill : fills<D>()) {
        std::vector<D> dst(src.size(), fill);
        const FastPathOutcome outcome = path.run(src, dst, mode);
        if (!vector) {
            EXPECT_FALSE(outcome.converted);
            EXPECT_FALSE(outcome.error) << describe(outcome.error);
            expect_destination(dst, expected, 0, fill);
        } else {
            EXPECT_EQ(outcome.converted, !expected.error);
            EXPECT_TRUE(same_error(outcome.error, expected.error))
                << describe(outcome.error) << " vs " << describe(expected.error);
            expect_destination(dst, expected,
                               vector_prefix(path.step, src.size(), expected.first_failure), fill);
        }

        std::vector<D> through_kernel(src.size(), fill);
        const CastOutcome error =
            run_kernel<S, D>(src, through_kernel, config_for<S, D>(path.policy, mode, false));
        EXPECT_TRUE(same_error(error, expected.error))
            << describe(error) << " vs " << describe(expected.error);
        const size_t written = vector ? vector_prefix(path.step, src.size(), expected.first_failure)
                                      : expected.first_failure;
        expect_destination(through_kernel, expected, written, fill);
    }
}

template <class S>
std::vector<S> from_doubles(std::initializer_list<double> values) {
    std::vector<S> out;
    for (const double v : values) out.push_back(static_cast<S>(v));
    return out;
}

template <class S>
std::vector<S> nans() {
    if constexpr (std::is_same_v<S, float>) {
        return {from_bits<float>(0x7fc00000u), from_bits<float>(0xffc00001u),
                from_bits<float>(0x7f800001u), from_bits<float>(0x7fbfffffu)};
    } else {
        return {from_bits<double>(0x7ff8000000000000u), from_bits<double>(0xfff8000000000001u),
                from_bits<double>(0x7ff0000000000001u), from_bits<double>(0x7ff7ffffffffffffu)};
    }
}

template <class S>
S pick(std::mt19937_64& rng, const std::vector<S>& pool) {
    return pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(rng)];
}

// Integers, ties and near-ties around each centre, both signs of zero, far
// values and infinities.
template <class S>
std::vector<S> around(std::initializer_list<double> centres) {
    std::vector<S> pool = from_doubles<S>({-0.0, 0.0, 0.4, -0.4, 0.5, -0.5, 0.6, -0.6, -1e30, 1e30,
                                           -1e300, 1e300, HUGE_VAL, -HUGE_VAL, 5e-324, -5e-324});
    for (const double c : centres) {
        for (const double d : {-1.5, -1.0, -0.75, -0.5, -0.25, 0.0, 0.25, 0.5, 0.75, 1.0, 1.5}) {
            pool.push_back(static_cast<S>(c + d));
        }
    }
    return pool;
}

template <class S>
Path<S, uint8_t> uint8_clamp_path() {
    const std::vector<S> pool = around<S>({0, 1, 2, 3, 126.5, 127, 128, 253, 254, 255, 256, -1});
    Path<S, uint8_t> path;
    path.name = std::is_same_v<S, float> ? "f32_to_u8_clamp" : "f64_to_u8_clamp";
    if constexpr (std::is_same_v<S, float>) {
        path.run = simd::try_f32_to_u8_clamp;
    } else {
        path.run = simd::try_f64_to_u8_clamp;
    }
    path.policy = OutOfRangeMode::Clamp;
    path.step = 8;
    path.modes.assign(std::begin(accepted_modes), std::end(accepted_modes));
    path.draw_good = [pool](std::mt19937_64& rng) {
        if (rng() & 1) return pick(rng, pool);
        return static_cast<S>(std::uniform_real_distribution<double>(-300.0, 300.0)(rng));
    };
    path.bad = nans<S>();
    return path;
}

Path<double, int32_t> int32_clamp_path() {
    const std::vector<double> pool =
        around<double>({0, 1, 2, -3, 2147483647.0, -2147483648.0, 2147483648.0, -2147483649.0});
    Path<double, int32_t> path;
    path.name = "f64_to_i32_clamp";
    path.run = simd::try_f64_to_i32_clamp;
    path.policy = OutOfRangeMode::Clamp;
    path.step = 2;
    path.modes.assign(std::begin(accepted_modes), std::end(accepted_modes));
    path.draw_good = [pool](std::mt19937_64& rng) {
        if (rng() & 1) return pick(rng, pool);
        return std::uniform_real_distribution<double>(-2.2e9, 2.2e9)(rng);
    };
    path.bad = nans<double>();
    return path;
}

// float32 to int32 or uint32 under Clamp, element by element after a failure.
template <class D>
Path<float, D> float32_clamp_path() {
    const std::vector<float> pool = around<float>(
        {0, 1, -3, 16777216.0, 2147483520.0, 2147483648.0, -2147483648.0, 4294967040.0,
         4294967296.0, -2147483904.0});
    Path<float, D> path;
    path.name = std::is_signed_v<D> ? "f32_to_i32_clamp" : "f32_to_u32_clamp";
    if constexpr (std::is_signed_v<D>) {
        path.run = simd::try_f32_to_i32_clamp;
    } else {
        path.run = simd::try_f32_to_u32_clamp;
    }
    path.policy = OutOfRangeMode::Clamp;
    path.step = 1;
    path.modes.assign(std::begin(accepted_modes), std::end(accepted_modes));
    path.offered_on = [](Target target) {
        return target == Target::Avx2 || target == Target::AdvancedSimd;
    };
    path.draw_good = [pool](std::mt19937_64& rng) {
        if (rng() & 1) return pick(rng, pool);
        return static_cast<float>(std::uniform_real_distribution<double>(-5e9, 5e9)(rng));
    };
    path.bad = nans<float>();
    return path;
}

// For the checking path only values within [-2^31, 2^31 - 1] are safe in
// every mode; the rounded-out ones fail in some modes and not in others.
Path<double, int32_t> int32_check_path() {
    std::vector<double> pool;
    for (const double v : around<double>({0, 1, 2, -3, 2147483646.0, -2147483647.0})) {
        if (v >= -2147483648.0 && v <= 2147483647.0) pool.push_back(v);
    }
    for (const double v : {2147483647.0, 2147483646.5, -2147483648.0, -2147483647.5}) {
        pool.push_back(v);
    }
    Path<double, int32_t> path;
    path.name = "f64_to_i32_check";
    path.run = simd::try_f64_to_i32_check;
    path.policy = std::nullopt;
    path.step = 2;
    path.modes.assign(std::begin(accepted_modes), std::end(accepted_modes));
    path.draw_good = [pool](std::mt19937_64& rng) {
        if (rng() & 1) return pick(rng, pool);
        return std::uniform_real_distribution<double>(-2147483648.0, 2147483647.0)(rng);
    };
    path.bad = nans<double>();
    for (const double v : {2147483647.5, -2147483648.5, 2147483647.2, -2147483648.2, 2147483648.0,
                           -2147483649.0, 3e9, -3e9, 1e300, HUGE_VAL, -HUGE_VAL}) {
        path.bad.push_back(v);
    }
    return path;
}

// float64 -> float32, nearest even, with the overflow check (no policy) or
// without it (Clamp). Every element is written, also after an error.
constexpr double overflow_threshold = 0x1.ffffffp127;  // FLT_MAX + half an ulp

Path<double, float> float32_path(bool check_overflow) {
    const std::vector<double> pool = {0.0,
                                      -0.0,
                                      1.0,
                                      -1.0,
                                      0.1,
                                      1e-40,
                                      -1e-40,
                                      0x1p-150,
                                      -0x1p-150,
                                      0x1.8p-150,
                                      0x1p-149,
                                      0x1.fffffep127,
                                      -0x1.fffffep127,
                                      std::nextafter(overflow_threshold, 0.0),
                                      -std::nextafter(overflow_threshold, 0.0),
                                      3.4028235e38,
                                      HUGE_VAL,
                                      -HUGE_VAL,
                                      from_bits<double>(0x7ff8000000000000u),
                                      from_bits<double>(0xfff0000000000001u),
                                      1.0000000596046448,
                                      1.0000001788139343};
    Path<double, float> path;
    path.name = check_overflow ? "f64_to_f32_nearest_checked" : "f64_to_f32_nearest_clamped";
    path.run = [check_overflow](std::span<const double> src, std::span<float> dst, RoundingMode) {
        return simd::try_f64_to_f32_nearest(src, dst, check_overflow);
    };
    path.policy = check_overflow ? OutOfRangePolicy{} : OutOfRangeMode::Clamp;
    path.step = 0;
    path.modes = {RoundingMode::NearestEven};
    path.draw_good = [pool](std::mt19937_64& rng) {
        if (rng() % 4 == 0) return pick(rng, pool);
        for (;;) {
            const double mantissa = std::uniform_real_distribution<double>(1.0, 2.0)(rng);
            const int exponent = std::uniform_int_distribution<int>(-160, 127)(rng);
            const double v = std::ldexp((rng() & 1) ? mantissa : -mantissa, exponent);
            if (std::fabs(v) < overflow_threshold) return v;
        }
    };
    path.bad = {overflow_threshold,
                -overflow_threshold,
                1e39,
                -1e39,
                1e300,
                std::numeric_limits<double>::max(),
                std::nextafter(overflow_threshold, 1e300)};
    return path;
}

bool has_half_precision(Target target) {
    return target == Target::Avx2 || target == Target::AdvancedSimd;
}

// float32 or float64 -> float16 under the four modes, with the overflow check
// (no policy) or without it (Clamp). Like the scalar loop, a failing element
// leaves every element before it written.
template <class S>
Path<S, float16> float16_path(bool check_overflow) {
    std::vector<S> pool =
        from_doubles<S>({0.0,           -0.0,        1.0,           -1.0,
                         65504.0,       -65504.0,    65519.0,       0x1p-24,
                         -0x1p-24,      0x1p-25,     0x1.8p-25,     0x1p-26,
                         0x1p-14,       0x1.ff8p-15, 1.0 + 0x1p-11, 1.0 + 0x1p-11 + 0x1p-40,
                         3.0 * 0x1p-25, 1e-30,       -1e-30,        1e-45,
                         HUGE_VAL,      -HUGE_VAL});
    for (const S nan : nans<S>()) pool.push_back(nan);
    Path<S, float16> path;
    path.name = std::string(std::is_same_v<S, float> ? "f32" : "f64") + "_to_f16" +
                (check_overflow ? "_check" : "_clamp");
    if constexpr (std::is_same_v<S, float>) {
        path.run = [check_overflow](std::span<const float> src, std::span<float16> dst,
                                    RoundingMode mode) {
            return simd::try_f32_to_f16(src, dst, mode, check_overflow);
        };
    } else {
        path.run = [check_overflow](std::span<const double> src, std::span<float16> dst,
                                    RoundingMode mode) {
            return simd::try_f64_to_f16(src, dst, mode, check_overflow);
        };
    }
    path.policy = check_overflow ? OutOfRangePolicy{} : OutOfRangePolicy{OutOfRangeMode::Clamp};
    path.step = 1;
    path.modes.assign(std::begin(accepted_modes), std::end(accepted_modes));
    path.offered_on = has_half_precision;
    path.draw_good = [pool](std::mt19937_64& rng) {
        if (rng() & 1) return pick(rng, pool);
        const double mantissa = std::uniform_real_distribution<double>(1.0, 2.0)(rng);
        const double v = std::ldexp(mantissa, std::uniform_int_distribution<int>(-30, 15)(rng));
        return static_cast<S>((rng() & 1) ? v : -v);
    };
    // Overflow in some modes or all; 65519.998046875 rounds up in the float32 step.
    path.bad = from_doubles<S>({65520.0, -65520.0, 65504.5, -65504.5, 1e6, -1e6, 3e38, -3e38,
                                65519.998046875, -65519.998046875});
    if constexpr (std::is_same_v<S, double>) {
        for (const double v : {1e300, -1e300, 0x1.fffffep127 + 0x1p100}) path.bad.push_back(v);
    }
    // Under an emulator the overflows of one sign and the double rounding do.
    if (TOLVANE_TESTS_CROSSCOMPILED) path.bad = {path.bad[0], path.bad[2], path.bad[8]};
    return path;
}

// An operation that reads no rounding mode and writes, like the scalar loop,
// every element before a failing one.
template <class S, class D>
Path<S, D> modeless_path(std::string name,
                         FastPathOutcome (*operation)(std::span<const S>, std::span<D>),
                         std::function<bool(Target)> offered_on) {
    Path<S, D> path;
    path.name = std::move(name);
    path.run = [operation](std::span<const S> src, std::span<D> dst, RoundingMode) {
        return operation(src, dst);
    };
    path.policy = std::nullopt;
    path.step = 1;
    path.modes = {RoundingMode::NearestEven};
    path.offered_on = std::move(offered_on);
    return path;
}

bool is_avx2(Target target) { return target == Target::Avx2; }

Path<float16, float> float16_widening_path() {
    auto path = modeless_path<float16, float>("f16_to_f32", simd::try_f16_to_f32,
                                              has_half_precision);
    path.draw_good = [](std::mt19937_64& rng) {
        const auto bits = static_cast<uint16_t>(rng());
        return float16{bits == unmatched_source<float16>.bits ? uint16_t{0} : bits};
    };
    return path;
}

// int64 -> int32 with no policy (AVX2 only); a failing element leaves every
// element before it written, as in the scalar loop.
Path<int64_t, int32_t> int32_narrowing_path() {
    auto path = modeless_path<int64_t, int32_t>("i64_to_i32_check", simd::try_i64_to_i32_check,
                                                is_avx2);
    path.draw_good = [](std::mt19937_64& rng) -> int64_t {
        constexpr int64_t edges[] = {0, -1, 1, INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1};
        if (rng() & 1) return edges[rng() % std::size(edges)];
        return static_cast<int32_t>(rng());
    };
    path.bad = {int64_t{INT32_MAX} + 1, int64_t{INT32_MIN} - 1, INT64_MAX,          INT64_MIN,
                int64_t{1} << 32,       -(int64_t{1} << 32),    int64_t{0xffffffff}};
    return path;
}

// int64 -> float32, nearest-even (AVX2 only): nothing fails.
Path<int64_t, float> int64_to_float32_path() {
    auto path = modeless_path<int64_t, float>("i64_to_f32_nearest", simd::try_i64_to_f32_nearest,
                                              is_avx2);
    // Every magnitude, ties and near-ties of float32 included.
    path.draw_good = [](std::mt19937_64& rng) -> int64_t {
        constexpr int64_t edges[] = {INT64_MAX, INT64_MIN, (int64_t{1} << 24) + 1,
                                     (int64_t{1} << 25) + 2, (int64_t{1} << 53) + 1, -3, 0};
        if (rng() % 4 == 0) return edges[rng() % std::size(edges)];
        return static_cast<int64_t>(rng()) >> (rng() % 64);
    };
    return path;
}

template <class S, class D>
std::vector<S> random_input(const Path<S, D>& path, std::mt19937_64& rng, size_t n,
                            double failure_rate) {
    std::vector<S> src(n);
    std::bernoulli_distribution fails(failure_rate);
    for (S& x : src)
        x = fails(rng) && !path.bad.empty() ? pick(rng, path.bad) : path.draw_good(rng);
    return src;
}

std::vector<size_t> tested_lengths(std::mt19937_64& rng) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 17; ++n) lengths.push_back(n);
    for (const size_t n : {31, 32, 33, 63, 64, 65, 100, 257, 1000}) lengths.push_back(n);
    for (int k = 0; k < 4; ++k)
        lengths.push_back(std::uniform_int_distribution<size_t>(18, 3000)(rng));
    return lengths;
}

class FastPath : public ::testing::TestWithParam<Target> {
protected:
    template <class S, class D>
    void every_length_matches_scalar_loop(const Path<S, D>& path) {
        const TargetScope scope(GetParam());
        std::mt19937_64 rng(0x5eed + path.name.size());
        for (const RoundingMode mode : path.modes) {
            for (const size_t n : tested_lengths(rng)) {
                for (const double failure_rate : {0.0, 0.5 / static_cast<double>(n + 1)}) {
                    SCOPED_TRACE(path.name + " " + mode_name(mode) + " n=" + std::to_string(n));
                    const std::vector<S> src = random_input(path, rng, n, failure_rate);
                    check_paths(path, GetParam(), std::span<const S>(src), mode);
                }
            }
        }
    }

    // A failing value at every position of the steps and of the tail, alone
    // or followed by a failing value of another kind.
    template <class S, class D>
    void failure_at_each_position(const Path<S, D>& path) {
        const TargetScope scope(GetParam());
        std::mt19937_64 rng(0xfa11 + path.name.size());
        std::vector<size_t> lengths = {35, 67, 75};
        for (size_t n = 1; n <= 17; ++n) lengths.push_back(n);
        for (const RoundingMode mode : path.modes) {
            for (const size_t n : lengths) {
                for (size_t p = 0; p < n; ++p) {
                    for (size_t b = 0; b < path.bad.size(); ++b) {
                        SCOPED_TRACE(path.name + " " + mode_name(mode) + " n=" + std::to_string(n) +
                                     " failing at " + std::to_string(p) + " value " +
                                     std::to_string(printable(path.bad[b])));
                        std::vector<S> src = random_input(path, rng, n, 0.0);
                        src[p] = path.bad[b];
                        check_paths(path, GetParam(), std::span<const S>(src), mode);
                        if (p + 1 < n) {
                            src[p + 1] = path.bad[(b + 1) % path.bad.size()];
                            check_paths(path, GetParam(), std::span<const S>(src), mode);
                        }
                    }
                }
            }
        }
    }
};

TEST_P(FastPath, Float32ToUint8ClampMatchesScalarLoop) {
    every_length_matches_scalar_loop(uint8_clamp_path<float>());
}
TEST_P(FastPath, Float64ToUint8ClampMatchesScalarLoop) {
    every_length_matches_scalar_loop(uint8_clamp_path<double>());
}
TEST_P(FastPath, Float64ToInt32ClampMatchesScalarLoop) {
    every_length_matches_scalar_loop(int32_clamp_path());
}
TEST_P(FastPath, Float64ToInt32CheckMatchesScalarLoop) {
    every_length_matches_scalar_loop(int32_check_path());
}
TEST_P(FastPath, Float32ToInt32AndUint32ClampMatchScalarLoop) {
    every_length_matches_scalar_loop(float32_clamp_path<int32_t>());
    every_length_matches_scalar_loop(float32_clamp_path<uint32_t>());
}
TEST_P(FastPath, Float64ToFloat32MatchesScalarLoop) {
    every_length_matches_scalar_loop(float32_path(true));
    every_length_matches_scalar_loop(float32_path(false));
}

TEST_P(FastPath, Float32ToUint8ClampFailureAtEachPosition) {
    failure_at_each_position(uint8_clamp_path<float>());
}
TEST_P(FastPath, Float64ToUint8ClampFailureAtEachPosition) {
    failure_at_each_position(uint8_clamp_path<double>());
}
TEST_P(FastPath, Float64ToInt32ClampFailureAtEachPosition) {
    failure_at_each_position(int32_clamp_path());
}
TEST_P(FastPath, Float64ToInt32CheckFailureAtEachPosition) {
    failure_at_each_position(int32_check_path());
}
TEST_P(FastPath, Float32ToInt32AndUint32ClampFailureAtEachPosition) {
    failure_at_each_position(float32_clamp_path<int32_t>());
    failure_at_each_position(float32_clamp_path<uint32_t>());
}
TEST_P(FastPath, Float64ToFloat32OverflowAtEachPosition) {
    failure_at_each_position(float32_path(true));
}

// Rounding upward or downward, the largest float64 values round to an
// infinity from just beyond the largest float32 on: the paths must report
// the overflows that the scalar loop reports.
TEST_P(FastPath, Float64ToFloat32UnderDirectedRounding) {
    struct RestoreDirection {
        ~RestoreDirection() { std::fesetround(FE_TONEAREST); }
    } restore;
    for (const int direction : {FE_UPWARD, FE_DOWNWARD}) {
        ASSERT_EQ(std::fesetround(direction), 0);
        every_length_matches_scalar_loop(float32_path(true));
        failure_at_each_position(float32_path(true));
    }
}

TEST_P(FastPath, Float16NarrowingMatchesScalarLoop) {
    for (const bool check : {true, false}) {
        every_length_matches_scalar_loop(float16_path<float>(check));
        every_length_matches_scalar_loop(float16_path<double>(check));
    }
    every_length_matches_scalar_loop(float16_widening_path());
}
TEST_P(FastPath, Int64ToInt32CheckMatchesScalarLoop) {
    every_length_matches_scalar_loop(int32_narrowing_path());
}
TEST_P(FastPath, Int64ToFloat32MatchesScalarLoop) {
    every_length_matches_scalar_loop(int64_to_float32_path());
}
TEST_P(FastPath, Int64ToInt32CheckFailureAtEachPosition) {
    failure_at_each_position(int32_narrowing_path());
}
TEST_P(FastPath, Float16NarrowingOverflowAtEachPosition) {
    failure_at_each_position(float16_path<float>(true));
    failure_at_each_position(float16_path<double>(true));
}

// NearestAway stays on the scalar loop: an operation handed it declines, and
// the kernel writes every element before the failing one, as the scalar loop
// does, rather than whole steps. A call with a scalar map writes the same,
// even one whose entries never match; so does a directed mode for float64 ->
// float32.
TEST_P(FastPath, NearestAwayAndMappedCallsWriteAsTheScalarLoop) {
    const TargetScope scope(GetParam());
    std::vector<float> f32(16, 1.25f);
    f32[10] = std::nanf("");
    std::vector<double> f64(16, 1.25);
    f64[5] = std::nan("");

    for (const uint8_t fill : fills<uint8_t>()) {
        std::vector<uint8_t> dst(16, fill);
        const FastPathOutcome declined =
            simd::try_f32_to_u8_clamp(f32, dst, RoundingMode::NearestAway);
        EXPECT_FALSE(declined.converted);
        EXPECT_FALSE(declined.error);
        EXPECT_EQ(dst, std::vector<uint8_t>(16, fill));

        EXPECT_FALSE(simd::try_f64_to_u8_clamp(f64, dst, RoundingMode::NearestAway).converted);
        EXPECT_EQ(dst, std::vector<uint8_t>(16, fill));

        for (const bool mapped : {false, true}) {
            const RoundingMode mode =
                mapped ? RoundingMode::NearestEven : RoundingMode::NearestAway;
            std::vector<uint8_t> out(16, fill);
            const CastOutcome error = convert_slice_float_to_int<float, uint8_t>(
                f32, out, config_for<float, uint8_t>(OutOfRangeMode::Clamp, mode, mapped));
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind, CastError::Kind::NonFiniteToInt);
            for (size_t j = 0; j < 16; ++j) EXPECT_EQ(out[j], j < 10 ? 1 : fill) << j;

            std::vector<uint8_t> from_f64(16, fill);
            ASSERT_TRUE((convert_slice_float_to_int<double, uint8_t>(
                f64, from_f64, config_for<double, uint8_t>(OutOfRangeMode::Clamp, mode, mapped))));
            for (size_t j = 0; j < 16; ++j) EXPECT_EQ(from_f64[j], j < 5 ? 1 : fill) << j;
        }
    }
    for (const int32_t fill : fills<int32_t>()) {
        std::vector<int32_t> dst(16, fill);
        EXPECT_FALSE(simd::try_f64_to_i32_clamp(f64, dst, RoundingMode::NearestAway).converted);
        EXPECT_FALSE(simd::try_f64_to_i32_check(f64, dst, RoundingMode::NearestAway).converted);
        EXPECT_EQ(dst, std::vector<int32_t>(16, fill));
        for (const OutOfRangePolicy policy :
             {OutOfRangePolicy{}, OutOfRangePolicy{OutOfRangeMode::Clamp}}) {
            for (const bool mapped : {false, true}) {
                const RoundingMode mode =
                    mapped ? RoundingMode::TowardsZero : RoundingMode::NearestAway;
                std::vector<int32_t> out(16, fill);
                const CastOutcome error = convert_slice_float_to_int<double, int32_t>(
                    f64, out, config_for<double, int32_t>(policy, mode, mapped));
                ASSERT_TRUE(error);
                for (size_t j = 0; j < 16; ++j) EXPECT_EQ(out[j], j < 5 ? 1 : fill) << j;
            }
        }
    }
    const std::vector<double> overflowing = {1.0, 2.0, 1e39, 3.0, 4.0};
    for (const bool mapped : {false, true}) {
        const RoundingMode mode =
            mapped ? RoundingMode::NearestEven : RoundingMode::TowardsPositive;
        std::vector<float> out(5, -7.0f);
        const CastOutcome error = convert_slice_float_to_float<double, float>(
            overflowing, out, config_for<double, float>(std::nullopt, mode, mapped));
        ASSERT_TRUE(error);
        EXPECT_EQ(out, (std::vector<float>{1.0f, 2.0f, -7.0f, -7.0f, -7.0f}));
    }
}

// The values the operations are documented with, each checked against its
// own expected result rather than against the scalar loop.
TEST_P(FastPath, DocumentedValues) {
    const TargetScope scope(GetParam());
    const bool vector = GetParam() != Target::None;
    const double inf = HUGE_VAL;
    struct Uint8Case {
        double value;
        RoundingMode mode;
        uint8_t expected;
    };
    const Uint8Case uint8_cases[] = {
        {255.5, RoundingMode::NearestEven, 255},     {254.5, RoundingMode::NearestEven, 254},
        {-0.4, RoundingMode::NearestEven, 0},        {-1e30, RoundingMode::NearestEven, 0},
        {inf, RoundingMode::NearestEven, 255},       {-inf, RoundingMode::NearestEven, 0},
        {2.5, RoundingMode::NearestEven, 2},         {3.5, RoundingMode::NearestEven, 4},
        {0.1, RoundingMode::TowardsPositive, 1},     {-0.9, RoundingMode::TowardsZero, 0},
        {254.1, RoundingMode::TowardsPositive, 255}, {255.9, RoundingMode::TowardsNegative, 255},
        {1.9, RoundingMode::TowardsNegative, 1},     {-0.1, RoundingMode::TowardsNegative, 0},
    };
    for (const Uint8Case& c : uint8_cases) {
        SCOPED_TRACE(std::to_string(c.value) + " " + mode_name(c.mode));
        // Nine elements: one whole step and a tail of one, both holding the value.
        const std::vector<double> f64(9, c.value);
        const std::vector<float> f32(9, static_cast<float>(c.value));
        std::vector<uint8_t> a(9, 77), b(9, 77);
        EXPECT_EQ(simd::try_f64_to_u8_clamp(f64, a, c.mode).converted, vector);
        EXPECT_EQ(simd::try_f32_to_u8_clamp(f32, b, c.mode).converted, vector);
        if (vector) {
            EXPECT_EQ(a, std::vector<uint8_t>(9, c.expected));
            EXPECT_EQ(b, std::vector<uint8_t>(9, c.expected));
        }
    }

    struct Int32Case {
        double value;
        RoundingMode mode;
        int32_t clamped;
        std::optional<double> rejected;  // the rounded value the checking path reports
    };
    const Int32Case int32_cases[] = {
        {inf, RoundingMode::NearestEven, 2147483647, inf},
        {-inf, RoundingMode::NearestEven, -2147483647 - 1, -inf},
        {2147483647.5, RoundingMode::NearestEven, 2147483647, 2147483648.0},
        {2147483647.5, RoundingMode::TowardsZero, 2147483647, std::nullopt},
        {-2147483648.5, RoundingMode::NearestEven, -2147483647 - 1, std::nullopt},
        {-2147483648.5, RoundingMode::TowardsNegative, -2147483647 - 1, -2147483649.0},
        {-2147483647.5, RoundingMode::TowardsPositive, -2147483647, std::nullopt},
        {1e300, RoundingMode::TowardsZero, 2147483647, 1e300},
    };
    for (const Int32Case& c : int32_cases) {
        SCOPED_TRACE(std::to_string(c.value) + " " + mode_name(c.mode));
        const std::vector<double> src(3, c.value);
        std::vector<int32_t> clamped(3, 5), checked(3, 5);
        const FastPathOutcome clamp = simd::try_f64_to_i32_clamp(src, clamped, c.mode);
        const FastPathOutcome check = simd::try_f64_to_i32_check(src, checked, c.mode);
        if (!vector) {
            EXPECT_FALSE(clamp.converted || clamp.error || check.converted || check.error);
            continue;
        }
        EXPECT_TRUE(clamp.converted);
        EXPECT_EQ(clamped, std::vector<int32_t>(3, c.clamped));
        if (c.rejected) {
            ASSERT_TRUE(check.error);
            EXPECT_EQ(
                check.error->display_text(),
                CastError::out_of_range(*c.rejected, -2147483648.0, 2147483647.0).display_text());
            EXPECT_EQ(checked, std::vector<int32_t>(3, 5));
        } else {
            EXPECT_TRUE(check.converted);
            EXPECT_EQ(checked, std::vector<int32_t>(3, c.clamped));
        }
    }
    if (!vector) return;

    // An out-of-range first element is reported even when the second is a NaN.
    std::vector<int32_t> pair(2, 9);
    const std::vector<double> out_then_nan = {3000000000.0, std::nan("")};
    const FastPathOutcome first_out =
        simd::try_f64_to_i32_check(out_then_nan, pair, RoundingMode::NearestEven);
    ASSERT_TRUE(first_out.error);
    EXPECT_EQ(first_out.error->kind, CastError::Kind::OutOfRange);
    EXPECT_EQ(first_out.error->value, 3000000000.0);
    const std::vector<double> one_then_nan = {1.0, std::nan("")};
    const FastPathOutcome nan_second =
        simd::try_f64_to_i32_check(one_then_nan, pair, RoundingMode::NearestEven);
    ASSERT_TRUE(nan_second.error);
    EXPECT_EQ(nan_second.error->kind, CastError::Kind::NonFiniteToInt);
    EXPECT_EQ(pair, std::vector<int32_t>(2, 9));

    // A NaN in the tail: the whole step before it is written.
    std::vector<double> nine(9, 3.0);
    nine[8] = std::nan("");
    std::vector<uint8_t> bytes(9, 0);
    const FastPathOutcome tail = simd::try_f64_to_u8_clamp(nine, bytes, RoundingMode::NearestEven);
    ASSERT_TRUE(tail.error);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{3, 3, 3, 3, 3, 3, 3, 3, 0}));

    // 16 float32 values with a NaN at 10: the first step only.
    std::vector<float> sixteen(16, 4.0f);
    sixteen[10] = std::nanf("");
    std::vector<uint8_t> sixteen_out(16, 0);
    ASSERT_TRUE(simd::try_f32_to_u8_clamp(sixteen, sixteen_out, RoundingMode::NearestEven).error);
    for (size_t j = 0; j < 16; ++j) EXPECT_EQ(sixteen_out[j], j < 8 ? 4 : 0) << j;

    // float64 -> float32 writes everything, then reports the first overflow.
    const std::vector<double> narrow = {1.0, 1e39, 2.0, -1e39, 3.4028235e38};
    std::vector<float> narrowed(5, 0.0f);
    const FastPathOutcome overflow = simd::try_f64_to_f32_nearest(narrow, narrowed, true);
    ASSERT_TRUE(overflow.error);
    EXPECT_EQ(
        overflow.error->display_text(),
        "Value 1000000000000000000000000000000000000000 out of range "
        "[-340282346638528860000000000000000000000, 340282346638528860000000000000000000000]. "
        "Set out_of_range='clamp' or out_of_range='wrap' to handle this.");
    EXPECT_EQ(narrowed, (std::vector<float>{1.0f, HUGE_VALF, 2.0f, -HUGE_VALF, 0x1.fffffep127f}));
    std::fill(narrowed.begin(), narrowed.end(), 0.0f);
    EXPECT_TRUE(simd::try_f64_to_f32_nearest(narrow, narrowed, false).converted);
    EXPECT_EQ(narrowed, (std::vector<float>{1.0f, HUGE_VALF, 2.0f, -HUGE_VALF, 0x1.fffffep127f}));
}

std::string target_test_name(const ::testing::TestParamInfo<Target>& info) {
    std::string name(simd::target_name(info.param));
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryTarget, FastPath,
                         ::testing::ValuesIn(simd::supported_targets().begin(),
                                             simd::supported_targets().end()),
                         target_test_name);

TEST(FastPathTargets, OverrideTakesOnlySupportedTargets) {
    const std::span<const Target> supported = simd::supported_targets();
    ASSERT_FALSE(supported.empty());
    EXPECT_EQ(supported.front(), Target::None);
    EXPECT_EQ(simd::active_target(), supported.back());
#if defined(__x86_64__)
    const Target foreign = Target::AdvancedSimd;
    EXPECT_EQ(std::find(supported.begin(), supported.end(), Target::Sse41) != supported.end(),
              __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ(std::find(supported.begin(), supported.end(), Target::Avx2) != supported.end(),
              __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("f16c") != 0 &&
                  __builtin_cpu_supports("sse4.1") != 0);
#elif defined(__aarch64__)
    const Target foreign = Target::Avx2;
    EXPECT_EQ(supported.back(), Target::AdvancedSimd);
#else
    const Target foreign = Target::Avx2;
#endif
    EXPECT_FALSE(simd::set_target_override(foreign));
    EXPECT_EQ(simd::active_target(), supported.back());
    for (const Target target : supported) {
        EXPECT_TRUE(simd::set_target_override(target));
        EXPECT_EQ(simd::active_target(), target);
    }
    EXPECT_TRUE(simd::set_target_override(std::nullopt));
    EXPECT_EQ(simd::active_target(), supported.back());
}

}  // namespace
}  // namespace tolvane

// Shared pieces of the kernel tests: the element type lists, the pair tables
// the parametrized suites run over, the edge values of each type, and the
// check of a whole conversion against the exact reference.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "exact_reference.hpp"
#include "float_to_float.hpp"
#include "float_to_int.hpp"
#include "int_to_float.hpp"
#include "int_to_int.hpp"
#include "modes.hpp"

#ifndef TOLVANE_TESTS_CROSSCOMPILED
#define TOLVANE_TESTS_CROSSCOMPILED 0
#endif
#ifndef TOLVANE_TESTS_SANITIZED
#define TOLVANE_TESTS_SANITIZED 0
#endif

namespace tolvane::testing_support {

using reference::Expected;

// The cross-compiled suite runs under an emulator, the sanitized one with
// every access checked: their sampled tests take fewer samples, the
// exhaustive ones stay exhaustive.
inline constexpr bool slowed_run = TOLVANE_TESTS_CROSSCOMPILED != 0 || TOLVANE_TESTS_SANITIZED != 0;

inline constexpr size_t scaled(size_t native_count, size_t slowed_count) {
    return slowed_run ? slowed_count : native_count;
}

template <class... T>
struct TypeList {};

using IntegerTypes =
    TypeList<int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t, uint32_t, uint64_t>;
using FloatTypes = TypeList<float16, float, double>;

template <Element T>
inline constexpr const char* type_name = "";
template <>
inline constexpr const char* type_name<int8_t> = "int8";
template <>
inline constexpr const char* type_name<int16_t> = "int16";
template <>
inline constexpr const char* type_name<int32_t> = "int32";
template <>
inline constexpr const char* type_name<int64_t> = "int64";
template <>
inline constexpr const char* type_name<uint8_t> = "uint8";
template <>
inline constexpr const char* type_name<uint16_t> = "uint16";
template <>
inline constexpr const char* type_name<uint32_t> = "uint32";
template <>
inline constexpr const char* type_name<uint64_t> = "uint64";
template <>
inline constexpr const char* type_name<float16> = "float16";
template <>
inline constexpr const char* type_name<float> = "float32";
template <>
inline constexpr const char* type_name<double> = "float64";

template <class... T, class F>
void for_each_type(TypeList<T...>, F&& f) {
    (f.template operator()<T>(), ...);
}

// One (source, target) pair of a family: its name and a check to run on it.
struct PairCase {
    std::string name;
    std::function<void()> run;
};

inline void PrintTo(const PairCase& pair, std::ostream* os) { *os << pair.name; }

inline std::string pair_case_name(const ::testing::TestParamInfo<PairCase>& info) {
    return info.param.name;
}

// Builds a PairCase for every S of Sources and D of Targets; `check` is a
// lambda with template parameters <S, D>.
template <class Sources, class Targets, class Check>
std::vector<PairCase> pair_cases(Check check) {
    std::vector<PairCase> cases;
    for_each_type(Sources{}, [&]<class S>() {
        for_each_type(Targets{}, [&]<class D>() {
            cases.push_back({std::string(type_name<S>) + "_to_" + type_name<D>,
                             [check] { check.template operator()<S, D>(); }});
        });
    });
    return cases;
}

inline constexpr RoundingMode all_rounding_modes[] = {
    RoundingMode::NearestEven, RoundingMode::TowardsZero, RoundingMode::TowardsPositive,
    RoundingMode::TowardsNegative, RoundingMode::NearestAway};

inline const OutOfRangePolicy all_policies[] = {std::nullopt, OutOfRangeMode::Clamp,
                                                OutOfRangeMode::Wrap};

inline const char* mode_text(RoundingMode mode) {
    switch (mode) {
        case RoundingMode::NearestEven:
            return "nearest-even";
        case RoundingMode::TowardsZero:
            return "towards-zero";
        case RoundingMode::TowardsPositive:
            return "towards-positive";
        case RoundingMode::TowardsNegative:
            return "towards-negative";
        case RoundingMode::NearestAway:
            return "nearest-away";
    }
    return "?";
}

inline const char* policy_text(OutOfRangePolicy policy) {
    if (!policy) return "absent";
    return *policy == OutOfRangeMode::Clamp ? "clamp" : "wrap";
}

template <Element T>
std::string describe(T v) {
    std::ostringstream out;
    if constexpr (IntegerElement<T> && std::is_signed_v<T>) {
        out << static_cast<int64_t>(v);
    } else if constexpr (IntegerElement<T>) {
        out << static_cast<uint64_t>(v);
    } else {
        const double d = reference::to_float64(reference::exact_value(v));
        out << std::setprecision(17) << d << " (0x" << std::hex << reference::bits_of(v) << ")";
    }
    return out.str();
}

template <Element S, Element D>
std::string describe(const CastConfig<S, D>& config) {
    std::ostringstream out;
    out << type_name<S> << " to " << type_name<D>;
    if constexpr (!(IntegerElement<S> && IntegerElement<D>))
        out << ", rounding " << mode_text(config.rounding);
    if constexpr (!(IntegerElement<S> && FloatElement<D>))
        out << ", out_of_range " << policy_text(config.out_of_range);
    out << ", " << config.scalar_map.size() << " map entries";
    return out.str();
}

inline std::string describe(const CastOutcome& outcome) {
    return outcome ? outcome->display_text() : std::string("success");
}

// Errors compare by kind and by their numbers (NaN equal to NaN, -0 apart from +0).
inline bool same_number(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

inline bool same_outcome(const CastOutcome& got, const std::optional<CastError>& expected) {
    if (!got || !expected) return !got && !expected;
    if (got->kind != expected->kind || !same_number(got->value, expected->value)) return false;
    return got->kind == CastError::Kind::NonFiniteToInt ||
           (same_number(got->min, expected->min) && same_number(got->max, expected->max));
}

template <Element D>
bool same_element(D got, D expected) {
    if constexpr (IntegerElement<D>) {
        return got == expected;
    } else {
        return reference::bits_of(got) == reference::bits_of(expected);
    }
}

template <Element D>
bool matches(D got, const Expected<D>& expected) {
    if constexpr (FloatElement<D>) {
        if (expected.any_nan)
            return reference::bits_are_nan(reference::bits_of(got), reference::format_of<D>);
    }
    return same_element(got, expected.value);
}

template <Element D>
D sentinel() {
    if constexpr (IntegerElement<D>) {
        return static_cast<D>(0x5a5a5a5a5a5a5a5aull);
    } else {
        return reference::from_bits<D>(0x5a5a5a5a5a5a5a5aull);
    }
}

template <Element S, Element D>
CastOutcome run_kernel(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
    if constexpr (IntegerElement<S> && IntegerElement<D>) {
        return convert_slice_int_to_int<S, D>(src, dst, config);
    } else if constexpr (FloatElement<S> && IntegerElement<D>) {
        return convert_slice_float_to_int<S, D>(src, dst, config);
    } else if constexpr (IntegerElement<S>) {
        return convert_slice_int_to_float<S, D>(src, dst, config);
    } else {
        return convert_slice_float_to_float<S, D>(src, dst, config);
    }
}

// Whether a call may be handed to a vector fast path, which may leave whole
// steps before a failing element unwritten and, for float64 to float32, write
// past it.
template <Element S, Element D>
bool may_take_vector_path(const CastConfig<S, D>& config) {
    if (!config.scalar_map.empty()) return false;
    if constexpr (FloatElement<S> && IntegerElement<D>) {
        if (config.rounding == RoundingMode::NearestAway) return false;
        const bool clamp = config.out_of_range == OutOfRangeMode::Clamp;
        if constexpr (std::same_as<D, uint8_t> && !std::same_as<S, float16>) return clamp;
        if constexpr (std::same_as<S, double> && std::same_as<D, int32_t>)
            return clamp || !config.out_of_range;
        return false;
    } else if constexpr (std::same_as<S, double> && std::same_as<D, float>) {
        return config.rounding == RoundingMode::NearestEven;
    } else {
        return false;
    }
}

// Reports at most a few mismatches of one check, then a count.
class MismatchLog {
public:
    explicit MismatchLog(std::string context) : context_(std::move(context)) {}
    ~MismatchLog() {
        if (count_ > reported_) ADD_FAILURE() << context_ << ": " << count_ << " mismatches in all";
    }
    void add(const std::string& what) {
        if (count_++ < 6) {
            ++reported_;
            ADD_FAILURE() << context_ << ": " << what;
        }
    }
    size_t count() const { return count_; }

private:
    std::string context_;
    size_t count_ = 0;
    size_t reported_ = 0;
};

// Converts `src` under `config` and checks every element against the exact
// reference. After an error at element k the conversion is run again from
// k + 1, so that every element is checked. Each call gets a destination one
// element longer than the source (unequal lengths: only the first n slots are
// touched); slots from a failing element onward must keep their previous
// contents, except where a vector fast path may run, whose written steps
// simd_test.cpp checks. Long sources are cut into pieces of `piece` elements.
template <Element S, Element D>
void check_against_reference(std::span<const S> src, const CastConfig<S, D>& config,
                             size_t piece = 512) {
    MismatchLog log(describe(config));
    std::vector<Expected<D>> expected(src.size());
    for (size_t i = 0; i < src.size(); ++i)
        expected[i] = reference::expected_result(src[i], config);
    const bool strict = !may_take_vector_path(config);
    std::vector<D> dst;
    for (size_t start = 0; start < src.size() && log.count() < 50; start += piece) {
        const size_t end = std::min(src.size(), start + piece);
        size_t pos = start;
        while (pos < end) {
            dst.assign(end - pos + 1, sentinel<D>());
            const CastOutcome got = run_kernel<S, D>(src.subspan(pos, end - pos), dst, config);
            size_t fail = pos;
            while (fail < end && !expected[fail].error) ++fail;
            const std::optional<CastError> want =
                fail < end ? expected[fail].error : std::optional<CastError>{};
            if (!same_outcome(got, want)) {
                std::ostringstream what;
                what << "slice from element " << pos << ": expected " << describe(want)
                     << (fail < end
                             ? " at element " + std::to_string(fail) + " = " + describe(src[fail])
                             : "")
                     << ", got " << describe(got);
                log.add(what.str());
            }
            for (size_t i = pos; i < end; ++i) {
                const D slot = dst[i - pos];
                if (i < fail) {
                    if (matches(slot, expected[i])) continue;
                    if (!strict && same_element(slot, sentinel<D>())) continue;
                    log.add("element " + std::to_string(i) + " = " + describe(src[i]) +
                            ": expected " + describe(expected[i].value) + ", got " +
                            describe(slot));
                } else if (strict && !same_element(slot, sentinel<D>())) {
                    log.add("slot " + std::to_string(i) + " written after the error at element " +
                            std::to_string(fail));
                    break;
                }
            }
            if (!same_element(dst.back(), sentinel<D>())) log.add("slot past the source written");
            pos = fail + 1;
        }
    }
}

template <Element T>
std::vector<T> map_targets() {
    if constexpr (IntegerElement<T>) {
        return {7, std::numeric_limits<T>::max(), std::numeric_limits<T>::min(), 0, 1};
    } else {
        using reference::from_bits;
        const auto f = reference::format_of<T>;
        const uint64_t inf = reference::infinity_bits(f);
        const uint64_t sign = reference::sign_bit_of(f);
        // A NaN with an odd payload must come out with exactly these bits.
        return {from_bits<T>(inf | 5), from_bits<T>(inf), from_bits<T>(sign),
                from_bits<T>(reference::max_finite_bits(f)), from_bits<T>(sign | inf | 3)};
    }
}

template <Element T>
T exact_from_double(double v) {
    if constexpr (IntegerElement<T>) {
        return static_cast<T>(v);
    } else {
        return reference::round_to<T>(reference::exact_value(v), RoundingMode::NearestEven);
    }
}

// Scalar maps to try on a pair, besides the empty one: one whose entries hit
// elements of the source (duplicates, NaN, zeros and infinities among them),
// and one whose only entry matches nothing (it runs the mapped loops on every element).
template <Element S, Element D>
std::vector<std::vector<MapEntry<S, D>>> maps_for(std::span<const S> src) {
    const std::vector<D> t = map_targets<D>();
    std::vector<MapEntry<S, D>> hits;
    if constexpr (IntegerElement<S>) {
        const S extreme =
            std::is_signed_v<S> ? std::numeric_limits<S>::min() : std::numeric_limits<S>::max();
        hits = {{5, t[0]}, {extreme, t[1]}, {5, t[2]}, {static_cast<S>(-1), t[3]}};
    } else {
        const auto f = reference::format_of<S>;
        const uint64_t inf = reference::infinity_bits(f);
        const S one = exact_from_double<S>(1.0);
        const S nan_source = reference::from_bits<S>(reference::sign_bit_of(f) | inf | 2);
        hits = {{one, t[0]},
                {exact_from_double<S>(300.0), t[1]},
                {one, t[2]},
                {nan_source, t[3]},
                {reference::from_bits<S>(reference::sign_bit_of(f)), t[4]},
                {reference::from_bits<S>(inf), t[0]},
                {exact_from_double<S>(2.5), t[1]}};
    }
    std::vector<std::vector<MapEntry<S, D>>> maps = {hits};
    // A source value that no element equals, if there is one among a few tries.
    for (int k = 0; k < 8; ++k) {
        const S absent = exact_from_double<S>(97.0 + 2 * k);
        bool present = false;
        for (const S& x : src) {
            present = present || reference::exact_equal(reference::exact_value(x),
                                                        reference::exact_value(absent));
        }
        if (!present) {
            maps.push_back({{absent, t[0]}});
            break;
        }
    }
    return maps;
}

// Every combination of rounding mode, policy and map that a pair's family
// reads, for the given source elements.
template <Element S, Element D>
std::vector<CastConfig<S, D>> configs_for(std::span<const S> src) {
    std::vector<std::vector<MapEntry<S, D>>> maps = maps_for<S, D>(src);
    maps.insert(maps.begin(), std::vector<MapEntry<S, D>>{});
    std::vector<CastConfig<S, D>> configs;
    for (const auto& map : maps) {
        if constexpr (IntegerElement<S> && IntegerElement<D>) {
            for (const auto& policy : all_policies) configs.push_back({map, policy});
        } else if constexpr (IntegerElement<S>) {
            for (const auto mode : all_rounding_modes) configs.push_back({map, mode});
        } else {
            for (const auto mode : all_rounding_modes) {
                for (const auto& policy : all_policies) configs.push_back({map, policy, mode});
            }
        }
    }
    return configs;
}

// Edge values of an integer type: the bounds of every integer type around
// and inside it, small values, and integers at the rounding edges of float16,
// float32 and float64.
template <IntegerElement T>
std::vector<T> integer_edge_values() {
    std::vector<reference::i128> candidates = {0, 1, 2, 3, 5, 97, 255, 256, 300, 301};
    for_each_type(IntegerTypes{}, [&]<class U>() {
        const reference::i128 lo = std::numeric_limits<U>::min(),
                              hi = std::numeric_limits<U>::max();
        for (int d = -2; d <= 2; ++d) {
            candidates.push_back(lo + d);
            candidates.push_back(hi + d);
        }
    });
    const reference::i128 p = 1;
    for (reference::i128 v : {p << 11,
                              (p << 11) + 1,
                              (p << 11) + 3,
                              (p << 12) + 2,
                              p * 65504,
                              p * 65505,
                              p * 65519,
                              p * 65520,
                              p * 65521,
                              p * 70000,
                              p << 24,
                              (p << 24) + 1,
                              (p << 24) + 3,
                              (p << 25) + 2,
                              (p << 31) - 64,
                              (p << 31) - 65,
                              (p << 53) + 1,
                              (p << 54) + 2,
                              (p << 60) + 1,
                              (p << 54) + (p << 30) - 1,
                              (p << 54) + (p << 30),
                              (p << 63) - (p << 39),
                              (p << 63) - (p << 39) - 1,
                              (p << 64) - (p << 39),
                              (p << 64) - (p << 40) - 1,
                              (p << 64) - (p << 10),
                              (p << 64) - (p << 11) - 1}) {
        candidates.push_back(v);
        candidates.push_back(-v);
    }
    std::vector<T> out;
    for (reference::i128 c : candidates) {
        if (c < std::numeric_limits<T>::min() || c > std::numeric_limits<T>::max()) continue;
        const T v = static_cast<T>(c);
        if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
    }
    return out;
}

// Random integers of every bit length and both signs.
template <IntegerElement T>
std::vector<T> random_integers(size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<T> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const int bits = 1 + static_cast<int>(rng() % (8 * sizeof(T)));
        uint64_t v = rng();
        if (bits < 64) v &= (uint64_t{1} << bits) - 1;
        out.push_back(static_cast<T>(v));
    }
    return out;
}

template <FloatElement T>
T step_bits(T v, int64_t delta) {
    return reference::from_bits<T>(reference::bits_of(v) + static_cast<uint64_t>(delta));
}

// Edge values of a float type: zeros, subnormals, infinities, NaN payloads,
// ties, the bounds of every integer type with their neighbours, the overflow
// thresholds of the narrowings, and every value's two nearest neighbours on
// each side, in both signs.
template <FloatElement T>
std::vector<T> float_edge_values() {
    using reference::bits_of;
    using reference::from_bits;
    const auto f = reference::format_of<T>;
    const uint64_t inf = reference::infinity_bits(f);
    const uint64_t sign = reference::sign_bit_of(f);
    std::vector<double> values = {0.0,
                                  0.5,
                                  0.49999999999999994,
                                  0.49999997,
                                  0.499755859375,
                                  1.5,
                                  2.5,
                                  3.5,
                                  0.3,
                                  0.6,
                                  1.0,
                                  255.4,
                                  255.5,
                                  254.5,
                                  300.7,
                                  65376.0,
                                  65408.0,
                                  32800.0,
                                  4503599627370497.0,
                                  8388609.0,
                                  0x1p52,
                                  0x1p53,
                                  0x1p60,
                                  1e300,
                                  65504.0,
                                  65519.0,
                                  65520.0,
                                  65519.999,
                                  65519.998046875,
                                  3.4028234663852886e38,
                                  3.4028235677973366e38,
                                  1e39,
                                  1e-50,
                                  0x1p-150,
                                  0x1p-149,
                                  0x1p-24,
                                  0x1p-25,
                                  0x3p-26,
                                  1.0004882812509095,
                                  2147483647.4,
                                  2147483647.5,
                                  0x1p-14,
                                  1e-300,
                                  std::numeric_limits<double>::denorm_min(),
                                  0x1p-1022};
    for_each_type(IntegerTypes{}, [&]<class U>() {
        for (const double b : {static_cast<double>(std::numeric_limits<U>::min()),
                               static_cast<double>(std::numeric_limits<U>::max())}) {
            for (const double d : {-1.0, -0.5, 0.0, 0.5, 1.0}) values.push_back(b + d);
        }
        values.push_back(std::ldexp(1.0, 8 * sizeof(U)));
    });
    std::vector<uint64_t> patterns = {inf,
                                      sign | inf,
                                      inf | 1,
                                      sign | inf | 1,
                                      inf | (uint64_t{1} << (f.precision - 2)),
                                      sign | inf | (uint64_t{1} << (f.precision - 2)) | 7,
                                      inf | ((uint64_t{1} << (f.precision - 1)) - 1),
                                      1,
                                      2,
                                      (uint64_t{1} << (f.precision - 1)) - 1,
                                      uint64_t{1} << (f.precision - 1),
                                      reference::max_finite_bits(f)};
    for (const double v : values) {
        const uint64_t b = bits_of(exact_from_double<T>(v));
        if (reference::bits_are_nan(b, f)) continue;
        for (int d = -2; d <= 2; ++d) {
            const uint64_t n = b + static_cast<uint64_t>(d);
            if ((b & ~sign) == 0 && d < 0) continue;
            if ((n & ~sign) <= inf) patterns.push_back(n);
        }
    }
    std::vector<T> out;
    std::vector<uint64_t> seen;
    for (const uint64_t p : patterns) {
        for (const uint64_t q : {p, p ^ sign}) {
            if (std::find(seen.begin(), seen.end(), q) != seen.end()) continue;
            seen.push_back(q);
            out.push_back(from_bits<T>(q));
        }
    }
    return out;
}

// Random floats: uniform bit patterns, and values near the integer range
// edges on a fine grid (many of them exact ties).
template <FloatElement T>
std::vector<T> random_floats(size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    const auto f = reference::format_of<T>;
    std::vector<T> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            out.push_back(reference::from_bits<T>(rng() >> (64 - f.total_bits)));
        } else {
            const int scale = static_cast<int>(rng() % 68);
            const double magnitude = std::ldexp(static_cast<double>(rng() >> 11), scale - 53);
            const double quarter = std::ldexp(std::floor(std::ldexp(magnitude, 2)), -2);
            out.push_back(exact_from_double<T>((rng() & 1) ? -quarter : quarter));
        }
    }
    return out;
}

template <Element T>
std::vector<T> edge_and_random_values(size_t random_count, uint64_t seed) {
    std::vector<T> values;
    if constexpr (IntegerElement<T> && sizeof(T) <= 2) {
        for (int64_t v = std::numeric_limits<T>::min(); v <= std::numeric_limits<T>::max(); ++v) {
            values.push_back(static_cast<T>(v));
        }
    } else if constexpr (IntegerElement<T>) {
        values = integer_edge_values<T>();
        const auto more = random_integers<T>(random_count, seed);
        values.insert(values.end(), more.begin(), more.end());
    } else {
        values = float_edge_values<T>();
        const auto more = random_floats<T>(random_count, seed);
        values.insert(values.end(), more.begin(), more.end());
    }
    return values;
}

// Empty slices succeed without reading or writing anything, whatever the
// source holds.
template <Element S, Element D>
void check_empty_slices(std::span<const S> src, const CastConfig<S, D>& config) {
    std::vector<D> dst(3, sentinel<D>());
    EXPECT_FALSE((run_kernel<S, D>(src, std::span<D>(dst.data(), 0), config))) << describe(config);
    EXPECT_FALSE((run_kernel<S, D>(src.first(0), std::span<D>(dst), config))) << describe(config);
    for (const D& slot : dst) EXPECT_TRUE(same_element(slot, sentinel<D>())) << describe(config);
}

// Runs every configuration of the pair's family over the pair's edge values
// and random values (every value for 8- and 16-bit integer sources).
template <Element S, Element D>
void check_pair_everywhere(size_t random_count, uint64_t seed) {
    const std::vector<S> src = edge_and_random_values<S>(random_count, seed);
    for (const auto& config : configs_for<S, D>(std::span<const S>(src))) {
        check_against_reference<S, D>(std::span<const S>(src), config);
        check_empty_slices<S, D>(std::span<const S>(src), config);
    }
}

// A single-element conversion for the documented-example tables.
template <Element S, Element D>
std::pair<CastOutcome, D> convert_one(S x, const CastConfig<S, D>& config) {
    D out = sentinel<D>();
    const CastOutcome outcome =
        run_kernel<S, D>(std::span<const S>(&x, 1), std::span<D>(&out, 1), config);
    return {outcome, out};
}

// One row of a table of documented examples: the converted element, or the
// error text, against the expected one.
struct Example {
    std::string label;
    std::function<std::pair<std::string, std::string>()> run;
};

inline void PrintTo(const Example& example, std::ostream* os) { *os << example.label; }

template <Element S, Element D>
Example example(std::string label, S x, CastConfig<S, D> config, D expected) {
    return {std::move(label), [=] {
                const auto [outcome, value] = convert_one<S, D>(x, config);
                return std::pair{outcome ? outcome->display_text() : describe(value),
                                 describe(expected)};
            }};
}

template <Element S, Element D>
Example example_error(std::string label, S x, CastConfig<S, D> config, std::string text) {
    return {std::move(label), [=] {
                const auto [outcome, value] = convert_one<S, D>(x, config);
                return std::pair{outcome ? outcome->display_text() : describe(value), text};
            }};
}

// The display text of an OutOfRange error, the numbers as written.
inline std::string range_error_text(const std::string& value, const std::string& min,
                                    const std::string& max) {
    return "Value " + value + " out of range [" + min + ", " + max +
           "]. Set out_of_range='clamp' or out_of_range='wrap' to handle this.";
}

inline std::string non_finite_text(const std::string& value) {
    return "Cannot cast " + value + " to integer type without scalar_map";
}

// Shorthands of the example tables.
inline constexpr RoundingMode ne = RoundingMode::NearestEven;
inline constexpr RoundingMode tz = RoundingMode::TowardsZero;
inline constexpr RoundingMode tp = RoundingMode::TowardsPositive;
inline constexpr RoundingMode tn = RoundingMode::TowardsNegative;
inline constexpr RoundingMode na = RoundingMode::NearestAway;
inline constexpr OutOfRangePolicy absent = std::nullopt;
inline constexpr OutOfRangePolicy clamp = OutOfRangeMode::Clamp;
inline constexpr OutOfRangePolicy wrap = OutOfRangeMode::Wrap;
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

inline float16 h(double v) { return exact_from_double<float16>(v); }

// The fixture of every family's table of documented examples; its one test
// lives in examples_test.cpp, and each family instantiates it under its name.
class DocumentedExamples : public ::testing::TestWithParam<Example> {};

}  // namespace tolvane::testing_support

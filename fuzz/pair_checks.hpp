// The checks of one (source, target) pair; see core_fuzzer.cpp for what is
// checked. Each pairs_from_source translation unit instantiates them for one
// source type and every target type.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "byte_reader.hpp"
#include "float_to_float.hpp"
#include "float_to_int.hpp"
#include "int_to_float.hpp"
#include "int_to_int.hpp"
#include "reference.hpp"
#include "simd/simd.hpp"
#include "simd/targets.hpp"

namespace tolvane::fuzz {
namespace {

using ElementTypes = std::tuple<int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t, uint32_t,
                                uint64_t, float16, float, double>;
static_assert(std::tuple_size_v<ElementTypes> == kElementTypeCount);
constexpr size_t kMaxElements = 300;
constexpr size_t kGuardElements = 16;

template <Element T>
const char* type_name() {
    if constexpr (std::same_as<T, int8_t>) return "int8";
    if constexpr (std::same_as<T, int16_t>) return "int16";
    if constexpr (std::same_as<T, int32_t>) return "int32";
    if constexpr (std::same_as<T, int64_t>) return "int64";
    if constexpr (std::same_as<T, uint8_t>) return "uint8";
    if constexpr (std::same_as<T, uint16_t>) return "uint16";
    if constexpr (std::same_as<T, uint32_t>) return "uint32";
    if constexpr (std::same_as<T, uint64_t>) return "uint64";
    if constexpr (std::same_as<T, float16>) return "float16";
    if constexpr (std::same_as<T, float>) return "float32";
    if constexpr (std::same_as<T, double>) return "float64";
}

// Calls f with std::type_identity<T> for the index-th element type.
template <class F>
void with_element_type(size_t index, F&& f) {
    [&]<size_t... I>(std::index_sequence<I...>) {
        ((index == I ? (f(std::type_identity<std::tuple_element_t<I, ElementTypes>>{}), 0) : 0),
         ...);
    }
    (std::make_index_sequence<kElementTypeCount>{});
}

// The call being checked, for the failure message.
std::string current_call;

[[noreturn]] void fail(const char* what, size_t index, const std::string& detail) {
    std::fprintf(stderr, "core_fuzzer: %s: %s, element %zu: %s\n", current_call.c_str(), what,
                 index, detail.c_str());
    std::abort();
}

template <Element T>
std::string describe(T v) {
    char text[64];
    if constexpr (std::same_as<T, float16>) {
        std::snprintf(text, sizeof text, "float16 0x%04x (%Lg)", v.bits, exact_value(v));
    } else if constexpr (FloatElement<T>) {
        std::snprintf(text, sizeof text, "%a", static_cast<double>(v));
    } else {
        std::snprintf(text, sizeof text, "%.0Lf", exact_value(v));
    }
    return text;
}

std::string describe_error(const std::optional<CastError>& e) {
    if (!e) return "success";
    return e->display_text();
}

// Values where conversions change behaviour: type limits and their
// neighbours, ties, float16 and float32 overflow thresholds, subnormals.
const std::array<Real, 52> kInterestingValues = {0.0L,
                                                 -0.0L,
                                                 0.5L,
                                                 -0.5L,
                                                 1.5L,
                                                 2.5L,
                                                 -2.5L,
                                                 0.49999999999999994L,
                                                 127.0L,
                                                 128.0L,
                                                 -128.0L,
                                                 -129.0L,
                                                 255.0L,
                                                 255.5L,
                                                 256.0L,
                                                 -1.0L,
                                                 32767.0L,
                                                 32768.0L,
                                                 -32768.0L,
                                                 -32769.0L,
                                                 65504.0L,
                                                 65519.0L,
                                                 65520.0L,
                                                 65535.0L,
                                                 65536.0L,
                                                 0x1p24L + 1,
                                                 2147483647.0L,
                                                 2147483647.5L,
                                                 0x1p31L,
                                                 -0x1p31L,
                                                 -0x1p31L - 1,
                                                 0x1p32L,
                                                 0x1p53L + 1,
                                                 0x1p63L,
                                                 -0x1p63L,
                                                 0x1p64L,
                                                 0x1.ffffffp127L,
                                                 1e39L,
                                                 0x1p60L,
                                                 65519.998046875L,
                                                 std::numeric_limits<Real>::infinity(),
                                                 -std::numeric_limits<Real>::infinity(),
                                                 std::numeric_limits<Real>::quiet_NaN(),
                                                 0x1p-24L,
                                                 0x1p-25L,
                                                 0x1p-149L,
                                                 0x1p-150L,
                                                 0x1.fffffffffffffp1023L,
                                                 4503599627370497.0L,
                                                 8388609.0L,
                                                 0x1p54L + 0x1p30L - 1,
                                                 1e-50L};

template <Element T>
T from_real(Real v) {
    if constexpr (IntegerElement<T>) {
        if (std::isnan(v)) return 0;
        if (v <= static_cast<Real>(std::numeric_limits<T>::min())) {
            return std::numeric_limits<T>::min();
        }
        if (v >= static_cast<Real>(std::numeric_limits<T>::max())) {
            return std::numeric_limits<T>::max();
        }
        return static_cast<T>(static_cast<__int128>(v));
    } else if constexpr (std::same_as<T, float16>) {
        if (std::isnan(v)) return float16{0x7e00};
        return nearest_even_single<float16>(v);
    } else {
        return static_cast<T>(v);
    }
}

// Moves v by `steps` units (integers) or representable values (floats).
template <Element T>
T nudge(T v, int steps) {
    using Bits = std::conditional_t<
        sizeof(T) == 1, uint8_t,
        std::conditional_t<sizeof(T) == 2, uint16_t,
                           std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
    // On a float's pattern a positive step moves away from zero.
    Bits bits;
    std::memcpy(&bits, &v, sizeof v);
    bits = static_cast<Bits>(bits + static_cast<Bits>(steps));
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

template <Element T>
T read_raw(ByteReader& in) {
    T v;
    in.read(&v, sizeof v);
    return v;
}

template <Element T>
T read_interesting(ByteReader& in) {
    const uint8_t pick = in.byte();
    const T base = from_real<T>(kInterestingValues[pick % kInterestingValues.size()]);
    return nudge(base, static_cast<int>(pick / kInterestingValues.size()) % 5 - 2);
}

// A small value in quarter steps (ties and near-ties for every rounding),
// from two bytes: raw floats are mostly huge and raw integers mostly out of a
// narrow target's range, so a block of them rarely isolates one edge value.
template <Element T>
T read_small(ByteReader& in) {
    int16_t v;
    in.read(&v, sizeof v);
    return from_real<T>(static_cast<Real>(v) / 4);
}

// style 0: raw bytes; 1: one byte picks an interesting value; 2: small
// values (style 4 too, with interesting values put in at chosen places);
// 3: a byte chooses among the first three for each element.
template <Element T>
T read_element(ByteReader& in, uint8_t style) {
    switch (style % 5 == 3 ? in.byte() % 3 : style % 5) {
        case 0:
            return read_raw<T>(in);
        case 1:
            return read_interesting<T>(in);
        default:
            return read_small<T>(in);
    }
}

// A value equal to x, so that a map entry with it matches x, with other bits
// where the type has them: the other zero, another NaN.
template <Element T>
T equal_but_other_bits(T x, uint8_t how) {
    if constexpr (FloatElement<T>) {
        using Tr = FloatTraits<T>;
        using Bits = typename Tr::Bits;
        Bits bits = Tr::to_bits(x);
        if (is_nan(x)) {
            bits = static_cast<Bits>(bits ^ (Tr::sign_mask | (how & 1u)));
            if (!is_nan(Tr::from_bits(bits))) bits = static_cast<Bits>(bits | Tr::inf_bits | 2u);
        } else if ((bits & static_cast<Bits>(~Tr::sign_mask)) == 0) {
            bits = static_cast<Bits>(bits ^ Tr::sign_mask);
        }
        return Tr::from_bits(bits);
    } else {
        (void)how;
        return x;
    }
}

template <Element S, Element D>
CastConfig<S, D> make_config(std::vector<MapEntry<S, D>> map, OutOfRangePolicy policy,
                             RoundingMode rounding) {
    if constexpr (IntegerElement<S> && IntegerElement<D>) {
        return CastConfig<S, D>{std::move(map), policy};
    } else if constexpr (IntegerElement<S>) {
        return CastConfig<S, D>{std::move(map), rounding};
    } else {
        return CastConfig<S, D>{std::move(map), policy, rounding};
    }
}

template <Element S, Element D>
CastOutcome run_kernel(std::span<const S> src, std::span<D> dst, const CastConfig<S, D>& config) {
    if constexpr (IntegerElement<S> && IntegerElement<D>) {
        return convert_slice_int_to_int<S, D>(src, dst, config);
    } else if constexpr (IntegerElement<S>) {
        return convert_slice_int_to_float<S, D>(src, dst, config);
    } else if constexpr (IntegerElement<D>) {
        return convert_slice_float_to_int<S, D>(src, dst, config);
    } else {
        return convert_slice_float_to_float<S, D>(src, dst, config);
    }
}

bool same_error(const std::optional<CastError>& a, const std::optional<CastError>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->kind != b->kind) return false;
    const bool value_same = (std::isnan(a->value) && std::isnan(b->value)) ||
                            std::memcmp(&a->value, &b->value, sizeof(double)) == 0;
    if (!value_same) return false;
    if (a->kind == CastError::Kind::NonFiniteToInt) return true;
    return std::memcmp(&a->min, &b->min, sizeof(double)) == 0 &&
           std::memcmp(&a->max, &b->max, sizeof(double)) == 0;
}

template <Element D>
bool matches(const Expected<D>& expected, D actual) {
    if (expected.any_nan && is_nan_element(expected.value)) return is_nan_element(actual);
    return same_bits(expected.value, actual);
}

// The whole expected outcome of a call: per-element values up to the first
// failure, and that failure.
template <Element D>
struct ExpectedCall {
    std::vector<Expected<D>> elements;  // n entries; those from `failed_at` on are unused
    size_t failed_at;                   // n when the call succeeds
    std::optional<CastError> error;
};

template <Element S, Element D>
ExpectedCall<D> expect_call(std::span<const S> src, const Model<S, D>& model) {
    ExpectedCall<D> call{{}, src.size(), std::nullopt};
    call.elements.reserve(src.size());
    for (size_t i = 0; i < src.size(); ++i) {
        call.elements.push_back(model.convert(src[i]));
        if (call.elements.back().error && !call.error) {
            call.failed_at = i;
            call.error = call.elements.back().error;
        }
    }
    return call;
}

// Which destination elements a path leaves written when it stops with an
// error at element k.
struct WrittenRule {
    enum Kind { ScalarPrefix, WholeSteps, Everything } kind = ScalarPrefix;
    size_t step = 1;

    size_t written(size_t k, size_t n) const {
        if (kind == Everything) return n;
        if (kind == WholeSteps && k < n / step * step) return k / step * step;
        return k;
    }
};

// A destination of `span_size` elements followed by guard elements, all
// filled with one byte, and a copy of that first state.
template <Element D>
struct Destination {
    std::vector<D> storage;
    std::vector<D> before;
    size_t span_size;

    Destination(size_t span, uint8_t fill) : storage(span + kGuardElements), span_size(span) {
        std::memset(storage.data(), fill, storage.size() * sizeof(D));
        before = storage;
    }
    std::span<D> span() { return std::span<D>(storage.data(), span_size); }
};

template <Element S, Element D>
void check_call(const char* path, std::span<const S> src, const Destination<D>& dst,
                const CastOutcome& outcome, const ExpectedCall<D>& expected,
                const ExpectedCall<D>& if_all_written, WrittenRule rule) {
    const size_t n = src.size();
    if (!same_error(outcome, expected.error)) {
        fail(path, expected.failed_at,
             "error \"" + describe_error(outcome) + "\", expected \"" +
                 describe_error(expected.error) + "\"");
    }
    const size_t written = expected.error ? rule.written(expected.failed_at, n) : n;
    for (size_t i = 0; i < n; ++i) {
        const D actual = dst.storage[i];
        if (i < written) {
            const Expected<D>& want =
                i < expected.failed_at ? expected.elements[i] : if_all_written.elements[i];
            if (!matches(want, actual)) {
                fail(path, i,
                     "source " + describe(src[i]) + " gave " + describe(actual) + ", expected " +
                         describe(want.value));
            }
        } else if (!same_bits(actual, dst.before[i])) {
            fail(path, i, "element after the failing step was written: " + describe(actual));
        }
    }
    for (size_t i = n; i < dst.storage.size(); ++i) {
        if (!same_bits(dst.storage[i], dst.before[i])) fail(path, i, "written past n");
    }
}

// A map entry whose source equals no element of src, or nothing when every
// candidate occurs (a small integer type whose buffer holds every value).
template <Element S, Element D>
std::optional<MapEntry<S, D>> never_matching_entry(std::span<const S> src) {
    for (const Real candidate : {0.25L, 3.0L, 77.0L, -5.0L, 1000.0L, 0.0L, 1.0L, 200.0L, 100000.0L,
                                 12345678.0L, 0x1p62L, -0x1p62L}) {
        const S source = from_real<S>(candidate);
        if (is_nan_element(source)) continue;
        bool occurs = false;
        for (const S x : src) {
            if (exact_value(x) == exact_value(source)) {
                occurs = true;
                break;
            }
        }
        if (!occurs) return MapEntry<S, D>{source, D{}};
    }
    return std::nullopt;
}

// The vector operation the kernel may hand this call to, if any.
template <Element S, Element D>
struct VectorOperation {
    static constexpr bool exists = false;
};

template <>
struct VectorOperation<float, uint8_t> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy& p, RoundingMode m) {
        return p == OutOfRangeMode::Clamp && m != RoundingMode::NearestAway;
    }
    static simd::FastPathOutcome run(std::span<const float> s, std::span<uint8_t> d,
                                     const OutOfRangePolicy&, RoundingMode m) {
        return simd::try_f32_to_u8_clamp(s, d, m);
    }
    static constexpr WrittenRule rule{WrittenRule::WholeSteps, 8};
};

template <>
struct VectorOperation<double, uint8_t> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy& p, RoundingMode m) {
        return p == OutOfRangeMode::Clamp && m != RoundingMode::NearestAway;
    }
    static simd::FastPathOutcome run(std::span<const double> s, std::span<uint8_t> d,
                                     const OutOfRangePolicy&, RoundingMode m) {
        return simd::try_f64_to_u8_clamp(s, d, m);
    }
    static constexpr WrittenRule rule{WrittenRule::WholeSteps, 8};
};

template <>
struct VectorOperation<double, int32_t> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy& p, RoundingMode m) {
        return p != OutOfRangeMode::Wrap && m != RoundingMode::NearestAway;
    }
    static simd::FastPathOutcome run(std::span<const double> s, std::span<int32_t> d,
                                     const OutOfRangePolicy& p, RoundingMode m) {
        return p ? simd::try_f64_to_i32_clamp(s, d, m) : simd::try_f64_to_i32_check(s, d, m);
    }
    static constexpr WrittenRule rule{WrittenRule::WholeSteps, 2};
};

template <>
struct VectorOperation<double, float> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy&, RoundingMode m) {
        return m == RoundingMode::NearestEven;
    }
    static simd::FastPathOutcome run(std::span<const double> s, std::span<float> d,
                                     const OutOfRangePolicy& p, RoundingMode) {
        return simd::try_f64_to_f32_nearest(s, d, p != OutOfRangeMode::Clamp);
    }
    static constexpr WrittenRule rule{WrittenRule::Everything, 1};
};

// float32 and float64 to float16 under any mode but NearestAway, writing the
// elements before a failing one as the scalar loop does.
template <FloatElement S>
requires(!std::same_as<S, float16>) struct VectorOperation<S, float16> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy&, RoundingMode m) {
        return m != RoundingMode::NearestAway;
    }
    static simd::FastPathOutcome run(std::span<const S> s, std::span<float16> d,
                                     const OutOfRangePolicy& p, RoundingMode m) {
        if constexpr (std::same_as<S, float>) {
            return simd::try_f32_to_f16(s, d, m, p != OutOfRangeMode::Clamp);
        } else {
            return simd::try_f64_to_f16(s, d, m, p != OutOfRangeMode::Clamp);
        }
    }
    static constexpr WrittenRule rule{};
};

template <>
struct VectorOperation<float16, float> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy&, RoundingMode m) {
        return m != RoundingMode::NearestAway;
    }
    static simd::FastPathOutcome run(std::span<const float16> s, std::span<float> d,
                                     const OutOfRangePolicy&, RoundingMode) {
        return simd::try_f16_to_f32(s, d);
    }
    static constexpr WrittenRule rule{};
};

template <>
struct VectorOperation<int64_t, int32_t> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy& p, RoundingMode) { return !p; }
    static simd::FastPathOutcome run(std::span<const int64_t> s, std::span<int32_t> d,
                                     const OutOfRangePolicy&, RoundingMode) {
        return simd::try_i64_to_i32_check(s, d);
    }
    static constexpr WrittenRule rule{};
};

template <>
struct VectorOperation<int64_t, float> {
    static constexpr bool exists = true;
    static bool takes(const OutOfRangePolicy&, RoundingMode m) {
        return m == RoundingMode::NearestEven;
    }
    static simd::FastPathOutcome run(std::span<const int64_t> s, std::span<float> d,
                                     const OutOfRangePolicy&, RoundingMode) {
        return simd::try_i64_to_f32_nearest(s, d);
    }
    static constexpr WrittenRule rule{};
};

// The vector operation called directly, then the kernel, on the target set
// for this thread of calls.
template <Element S, Element D>
void check_vector_call(std::span<const S> src, std::span<const S> kernel_src,
                       const CastConfig<S, D>& config, const OutOfRangePolicy& policy,
                       RoundingMode mode, size_t dst_span, uint8_t fill,
                       const ExpectedCall<D>& expected, const ExpectedCall<D>& all_written) {
    using Vector = VectorOperation<S, D>;
    const std::string call = current_call;
    current_call +=
        std::string(", vector target ") + std::string(simd::target_name(simd::active_target()));
    WrittenRule kernel_rule;
    Destination<D> direct(src.size(), fill);
    const simd::FastPathOutcome outcome = Vector::run(src, direct.span(), policy, mode);
    if (outcome.converted || outcome.error) {
        check_call("vector operation", src, direct, outcome.error, expected, all_written,
                   Vector::rule);
        kernel_rule = Vector::rule;
    } else {
        for (size_t i = 0; i < direct.storage.size(); ++i) {
            if (!same_bits(direct.storage[i], direct.before[i])) {
                fail("declining vector operation", i, "wrote the destination");
            }
        }
    }
    Destination<D> first(dst_span, fill);
    check_call("kernel", src, first, run_kernel<S, D>(kernel_src, first.span(), config), expected,
               all_written, kernel_rule);
    current_call = call;
}

template <Element S, Element D>
void check_configuration(std::span<const S> src, std::span<const S> kernel_src,
                         const std::vector<MapEntry<S, D>>& map,
                         const std::optional<MapEntry<S, D>>& never_matching,
                         OutOfRangePolicy policy, RoundingMode mode, size_t dst_span,
                         uint8_t fill) {
    const size_t n = src.size();
    current_call = std::string(type_name<S>()) + " to " + type_name<D>() + ", rounding " +
                   std::to_string(mode.value) + ", policy " +
                   (policy ? std::to_string(policy->value) : std::string("none")) + ", " +
                   std::to_string(map.size()) + " map entries, " + std::to_string(n) + " elements";

    const Model<S, D> model{map.data(), map.size(), policy, mode};
    const ExpectedCall<D> expected = expect_call(src, model);
    // What the paths that write everything leave: each element converted as if
    // overflow were allowed (only the float narrowing fast path does this).
    ExpectedCall<D> all_written = expected;
    if constexpr (FloatElement<S> && FloatElement<D>) {
        const Model<S, D> clamping{map.data(), map.size(), OutOfRangeMode::Clamp, mode};
        all_written = expect_call(src, clamping);
    }

    const CastConfig<S, D> config = make_config<S, D>(map, policy, mode);
    bool vector_call = false;
    if constexpr (VectorOperation<S, D>::exists) {
        vector_call = map.empty() && VectorOperation<S, D>::takes(policy, mode);
        if (vector_call) {
            // Every instruction set the processor offers, the scalar-only one
            // included, must give the model's results.
            for (const simd::Target target : simd::supported_targets()) {
                simd::set_target_override(target);
                check_vector_call<S, D>(src, kernel_src, config, policy, mode, dst_span, fill,
                                        expected, all_written);
            }
            simd::set_target_override(std::nullopt);
        }
    }
    if (!vector_call) {
        Destination<D> first(dst_span, fill);
        check_call("kernel", src, first, run_kernel<S, D>(kernel_src, first.span(), config),
                   expected, all_written, WrittenRule{});
    }

    if (map.empty() && never_matching) {
        // The mapped loops, with one entry and with two groups of entries.
        for (const size_t entries : {size_t{1}, size_t{5}}) {
            Destination<D> mapped(dst_span, fill);
            const CastConfig<S, D> forced = make_config<S, D>(
                std::vector<MapEntry<S, D>>(entries, *never_matching), policy, mode);
            check_call("kernel, never-matching map", src, mapped,
                       run_kernel<S, D>(kernel_src, mapped.span(), forced), expected, expected,
                       WrittenRule{});
        }
    }
}

// One input: the buffer, the map and the destination's shape, checked under
// every rounding mode and policy that the pair's kernel family reads.
template <Element S, Element D>
void fuzz_pair(ByteReader& in) {
    const uint8_t shape = in.byte();
    const size_t extra = shape & 3;  // surplus elements on one side
    const bool surplus_in_source = (shape & 4) != 0;
    const uint8_t fill = in.byte();
    const uint8_t layout = in.byte();
    // Up to five entries: four fill one group of the block loops' map test.
    const size_t map_size = layout % 4 + (layout >= 0xc0 ? 2 : 0);
    const auto style = static_cast<uint8_t>(layout / 4);

    std::vector<MapEntry<S, D>> map;
    std::vector<std::pair<size_t, uint8_t>> sources_from_buffer;
    for (size_t i = 0; i < map_size; ++i) {
        const uint8_t how = in.byte();
        const S source = read_element<S>(in, style);
        map.push_back(MapEntry<S, D>{source, read_raw<D>(in)});
        if (how & 1) sources_from_buffer.emplace_back(i, how);
    }

    // An edge value alone among small ones: the only one that can fail or
    // saturate in its vector block.
    std::vector<std::pair<uint8_t, S>> spikes;
    if (style % 5 == 4) {
        for (size_t count = in.byte() % 4; count > 0; --count) {
            const uint8_t position = in.byte();
            spikes.emplace_back(position, read_interesting<S>(in));
        }
    }
    std::vector<S> elements;
    while (in.remaining() > 0 && elements.size() < kMaxElements) {
        elements.push_back(read_element<S>(in, style));
    }
    const size_t n = elements.size();
    for (const auto& [position, value] : spikes) {
        if (n > 0) elements[position % n] = value;
    }
    // Allocated at its exact size, so that the address sanitizer sees any read past it.
    std::vector<S> src_storage(elements);
    src_storage.resize(n + (surplus_in_source ? extra : 0), from_real<S>(1));
    src_storage.shrink_to_fit();
    const std::span<const S> src(src_storage.data(), n);
    for (const auto& [entry, how] : sources_from_buffer) {
        if (n > 0) {
            map[entry].source =
                equal_but_other_bits(src[how / 4 % n], static_cast<uint8_t>(how / 2));
        }
    }
    const std::optional<MapEntry<S, D>> never_matching = never_matching_entry<S, D>(src);

    for (uint8_t rounding = 0; rounding < 5; ++rounding) {
        if (IntegerElement<S> && IntegerElement<D> && rounding > 0) break;  // no rounding mode
        for (uint8_t policy_code = 0; policy_code < 3; ++policy_code) {
            if (IntegerElement<S> && FloatElement<D> && policy_code > 0) break;  // no policy
            OutOfRangePolicy policy;
            if (policy_code > 0) policy = static_cast<OutOfRangeMode::Value>(policy_code - 1);
            check_configuration<S, D>(src, src_storage, map, never_matching, policy,
                                      static_cast<RoundingMode::Value>(rounding),
                                      n + (surplus_in_source ? 0 : extra), fill);
        }
    }
}

}  // namespace

template <size_t SourceIndex>
void fuzz_from_source(size_t target_index, ByteReader& in) {
    using S = std::tuple_element_t<SourceIndex, ElementTypes>;
    with_element_type(target_index, [&]<class D>(std::type_identity<D>) { fuzz_pair<S, D>(in); });
}

}  // namespace tolvane::fuzz

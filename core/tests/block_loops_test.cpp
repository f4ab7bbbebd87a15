// The kernels' block loops against the exact reference where blocks meet:
// runs of ordinary elements with one special element (one that fails, one
// that sends its block to the element loop without failing, or one that a map
// entry catches) at every position around the edges of blocks and of the
// short-slice path, so that what is written before an error, and nothing
// after it, is checked at each edge.
#include "block_loops.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "simd/targets.hpp"
#include "test_support.hpp"

namespace tolvane {
namespace {

using namespace testing_support;

constexpr size_t lengths[] = {detail::short_slice_elements - 1, detail::short_slice_elements,
                              detail::block_elements - 1,       detail::block_elements,
                              detail::block_elements + 1,       600,
                              2100};

std::vector<size_t> positions(size_t n) {
    constexpr size_t b = detail::block_elements;
    std::vector<size_t> found;
    // The mapped loops' blocks of 1- and 2-byte elements end at 8b and 4b.
    static_assert(detail::mapped_block_elements<int8_t> == 8 * b &&
                  detail::mapped_block_elements<int16_t> == 4 * b);
    for (size_t p : {size_t{0}, size_t{1}, b - 1, b, b + 1, 2 * b - 1, 2 * b, 2 * b + 1, 3 * b,
                     4 * b - 1, 4 * b, 4 * b + 1, 8 * b - 1, 8 * b, 8 * b + 1, n - 2, n - 1}) {
        if (p < n) found.push_back(p);
    }
    return found;
}

// Small values with every fraction that decides a rounding (ties included),
// in the range of every element type; a third of them negative where
// `negatives`.
template <Element S>
S ordinary(size_t i, bool negatives) {
    const double whole = static_cast<double>(i * 37 % 101);
    const bool negative = negatives && i % 3 == 0;
    if constexpr (IntegerElement<S>) {
        return static_cast<S>(std::is_signed_v<S> && negative ? -whole : whole);
    } else {
        const double v = whole + 0.25 * static_cast<double>(i % 4);
        return exact_from_double<S>(negative ? -v : v);
    }
}

// Integers of 32 and 64 bits scaled up to where float results round, and
// round differently by mode.
template <Element S, Element D>
S ordinary_for(size_t i, bool negatives) {
    if constexpr (IntegerElement<S> && FloatElement<D> && sizeof(S) >= 4) {
        constexpr S scale = S{1} << (std::numeric_limits<S>::digits - 8);
        return static_cast<S>(ordinary<S>(i, negatives) * scale + static_cast<S>(i % 5));
    } else {
        return ordinary<S>(i, negatives);
    }
}

template <Element S, Element D>
void check_at_block_edges(const CastConfig<S, D>& config, S special) {
    // No negative ordinary elements where they would fail, so that only the
    // special element can.
    bool negatives = true;
    if constexpr (IntegerElement<D> && std::is_unsigned_v<D>) {
        negatives = config.out_of_range.has_value();
    }
    for (size_t n : lengths) {
        std::vector<S> src(n);
        for (size_t i = 0; i < n; ++i) src[i] = ordinary_for<S, D>(i, negatives);
        check_against_reference<S, D>(src, config, n);
        for (size_t p : positions(n)) {
            std::vector<S> with = src;
            with[p] = special;
            check_against_reference<S, D>(with, config, n);
        }
    }
}

template <Element S, Element D>
PairCase edge_case(std::string name, CastConfig<S, D> config, S special) {
    return {std::string(type_name<S>) + "_to_" + type_name<D> + "_" + name,
            [config, special] { check_at_block_edges<S, D>(config, special); }};
}

std::vector<PairCase> edge_cases() {
    std::vector<PairCase> cases;
    for (RoundingMode mode : all_rounding_modes) {
        std::string m = mode_text(mode);
        std::replace(m.begin(), m.end(), '-', '_');
        cases.push_back(edge_case<double, int16_t>(m + "_out_of_range", {{}, absent, mode}, 1e9));
        cases.push_back(edge_case<float, int8_t>(m + "_clamped_nan", {{}, clamp, mode}, NAN));
        cases.push_back(edge_case<float, float16>(m + "_overflow", {{}, absent, mode}, 1e6f));
        cases.push_back(edge_case<double, float>(m + "_overflow", {{}, wrap, mode}, 1e300));
        cases.push_back(edge_case<double, uint8_t>(m + "_wrapped_beyond_2p51", {{}, wrap, mode}, 1e17));
        cases.push_back(edge_case<float, uint32_t>(m + "_wrapped_beyond_2p51", {{}, wrap, mode}, 1e16f));
        cases.push_back(edge_case<double, int64_t>(m + "_wrapped_infinity", {{}, wrap, mode},
                                                   -std::numeric_limits<double>::infinity()));
        cases.push_back(edge_case<double, int64_t>(m + "_clamped_beyond_2p51", {{}, clamp, mode},
                                                   -0x1p51 - 3.5));
        cases.push_back(edge_case<float, uint64_t>(m + "_mapped_beyond_2p51",
                                                   {{{NAN, 7}}, absent, mode}, 1e17f));
        cases.push_back(edge_case<float16, int8_t>(m + "_wrapped", {{}, wrap, mode}, h(-300.5)));
        cases.push_back(
            edge_case<float, int32_t>(m + "_mapped_nan", {{{NAN, 7}, {-1.5f, 3}}, absent, mode}, NAN));
        cases.push_back(edge_case<float16, uint16_t>(
            m + "_five_entries", {{{h(1), 1}, {h(2), 2}, {h(3), 3}, {h(4), 4}, {h(-7), 5}}, absent, mode},
            h(-7.0)));
        cases.push_back(
            edge_case<float, uint32_t>(m + "_clamped_mapped_nan", {{{NAN, 7}}, clamp, mode}, NAN));
        cases.push_back(edge_case<int64_t, float>(m + "_directed", {{}, mode}, (int64_t{1} << 60) + 1));
        cases.push_back(edge_case<uint64_t, double>(m + "_mapped", {{{3, 0.5}}, mode}, uint64_t{3}));
        cases.push_back(edge_case<int64_t, double>(m + "_mapped_stand_in", {{{-3, 1e18}}, mode},
                                                   int64_t{-3}));
        cases.push_back(edge_case<int64_t, double>(
            m + "_mapped_stand_ins", {{{-3, 1e18}, {5, -2.0}}, mode}, int64_t{5}));
        cases.push_back(edge_case<uint32_t, float16>(m + "_mapped", {{{70000, h(1.0)}}, mode}, 70000u));
        cases.push_back(edge_case<int32_t, float>(m + "_directed", {{}, mode}, (1 << 24) + 1));
        cases.push_back(edge_case<double, float16>(m + "_mapped_overflow", {{{-0.0, h(2.0)}}, absent, mode}, 7e4));
        cases.push_back(edge_case<float, int32_t>(m + "_clamped_nan", {{}, clamp, mode}, NAN));
        cases.push_back(edge_case<double, uint32_t>(m + "_clamped_nan", {{}, clamp, mode}, NAN));
        cases.push_back(edge_case<float, int32_t>(m + "_out_of_range", {{}, absent, mode}, 0x1p31f));
        cases.push_back(edge_case<float, uint16_t>(
            m + "_clamped_mapped", {{{2.5f, 9}, {NAN, 4}, {-0.0f, 5}}, clamp, mode}, NAN));
        cases.push_back(edge_case<double, int32_t>(
            m + "_clamped_map_missing_nan", {{{2.5, 9}, {-0.0, 4}}, clamp, mode}, NAN));
        cases.push_back(
            edge_case<double, float>(m + "_mapped_overflow", {{{NAN, 1.0f}}, absent, mode}, 1e300));
        cases.push_back(edge_case<double, float>(m + "_overflow_after_mapped_zeros",
                                                 {{{-0.0, 1.0f}}, absent, mode}, 1e300));
        cases.push_back(
            edge_case<double, float>(m + "_clamped_mapped_nan", {{{NAN, 1.0f}}, clamp, mode}, NAN));
        const double payload_nan = reference::from_bits<double>(0xfff4000000000001u);
        cases.push_back(edge_case<double, float>(
            m + "_unmapped_nan", {{{-1.0, 7.0f}, {2.5, 3.0f}}, absent, mode}, payload_nan));
        cases.push_back(edge_case<float, float16>(m + "_unmapped_nan",
                                                  {{{-1.0f, h(7.0)}, {2.5f, h(3.0)}}, clamp, mode},
                                                  reference::from_bits<float>(0xffa00001u)));
    }
    cases.push_back(edge_case<double, int16_t>("mapped_nan", {{{nan, -1}}, clamp, tz}, nan));
    cases.push_back(edge_case<double, int16_t>("mapped_out_of_range", {{{1e9, 5}}, absent, ne}, 1e9));
    cases.push_back(edge_case<double, int16_t>("map_missing_nan", {{{2.5, 9}}, absent, tz}, nan));
    cases.push_back(edge_case<float16, int32_t>("nan", {{}, absent, ne}, h(NAN)));
    cases.push_back(edge_case<float16, float>(
        "mapped_nan", {{{h(-2.5), 9.0f}, {h(NAN), -1.0f}}, absent, ne}, h(-NAN)));
    cases.push_back(edge_case<float16, float>("mapped_zero", {{{h(0.0), 5.0f}}, absent, ne}, h(-0.0)));
    cases.push_back(edge_case<float16, uint8_t>("negative", {{}, absent, tp}, h(-3.0)));
    cases.push_back(edge_case<float, int32_t>("above_int32", {{}, absent, tn}, 3e9f));
    cases.push_back(edge_case<double, uint32_t>("wrapped_negative", {{}, wrap, tn}, -3.5));
    cases.push_back(edge_case<double, uint32_t>("wrapped_infinity", {{}, wrap, tn}, -inf));
    cases.push_back(edge_case<double, int64_t>("out_of_range", {{}, absent, ne}, 1e19));
    cases.push_back(edge_case<double, uint64_t>("clamped_infinity", {{}, clamp, na}, inf));
    cases.push_back(edge_case<double, float16>("mapped_tie", {{{2.5, h(9.0)}}, absent, na}, 2.5));
    cases.push_back(edge_case<float, float16>("mapped_overflow", {{{7e4f, h(1.0)}}, absent, tp}, 7e4f));
    cases.push_back(edge_case<double, double>("mapped_nan", {{{nan, -0.0}}, absent, ne}, nan));
    cases.push_back(edge_case<int64_t, int32_t>("out_of_range", {{}, absent}, int64_t{1} << 40));
    cases.push_back(edge_case<int64_t, int32_t>("mapped", {{{int64_t{1} << 40, 7}}, absent}, int64_t{1} << 40));
    cases.push_back(edge_case<int16_t, uint8_t>("negative", {{{-1, 200}}, absent}, int16_t{-2}));
    cases.push_back(edge_case<int8_t, uint8_t>("negative", {{{-1, 200}}, absent}, int8_t{-2}));
    cases.push_back(edge_case<int32_t, uint32_t>("mapped_negative", {{{7, 1}, {-2, 9}}, absent},
                                                 int32_t{-2}));
    cases.push_back(edge_case<int16_t, uint8_t>("mapped_negative", {{{-2, 200}, {-2, 100}}, absent},
                                                int16_t{-2}));
    cases.push_back(edge_case<int8_t, uint16_t>("mapped_negative", {{{7, 1}, {-2, 65535}}, absent},
                                                int8_t{-2}));
    cases.push_back(edge_case<int16_t, uint64_t>("negative", {{{-1, 5}}, absent}, int16_t{-2}));
    cases.push_back(edge_case<int8_t, uint32_t>("negative", {{{-1, 1000}}, absent}, int8_t{-2}));
    cases.push_back(edge_case<double, int8_t>("first_of_two_entries", {{{nan, -1}, {nan, -2}}, clamp, ne},
                                              nan));
    cases.push_back(edge_case<uint32_t, int8_t>("wrapped", {{{7, -7}}, wrap}, uint32_t{1000}));
    cases.push_back(edge_case<uint64_t, int64_t>("clamped", {{{3, 4}}, clamp}, uint64_t{1} << 63));
    cases.push_back(edge_case<uint64_t, uint16_t>("clamped", {{{3, 4}}, clamp}, uint64_t{1} << 63));
    cases.push_back(edge_case<int8_t, uint16_t>("clamped_mapped", {{{-2, 300}}, clamp}, int8_t{-2}));
    cases.push_back(edge_case<int32_t, int8_t>(
        "clamped_mapped", {{{7, -7}, {INT32_MAX, 5}, {-129, 1}, {INT32_MIN, 2}}, clamp}, INT32_MAX));
    cases.push_back(edge_case<uint32_t, int16_t>("clamped_mapped", {{{32768, -1}}, clamp}, 32768u));
    cases.push_back(edge_case<int32_t, int8_t>("clamped_onto_mapped_bound",
                                               {{{127, 1}, {-128, 2}}, clamp}, 1000));
    cases.push_back(edge_case<int16_t, uint8_t>("clamped_onto_mapped_bound", {{{0, 9}}, clamp},
                                                int16_t{-5}));
    cases.push_back(edge_case<int64_t, int8_t>(
        "clamped_mapped", {{{7, -7}, {INT64_MAX, 5}, {-129, 1}, {INT64_MIN, 2}}, clamp}, INT64_MIN));
    cases.push_back(edge_case<uint64_t, uint32_t>("clamped_onto_mapped_bound",
                                                  {{{UINT32_MAX, 1}, {0, 2}}, clamp},
                                                  uint64_t{1} << 40));
    cases.push_back(edge_case<int64_t, int32_t>("clamped_onto_mapped_bound",
                                                {{{INT32_MIN, 1}}, clamp}, -(int64_t{1} << 40)));
    cases.push_back(edge_case<uint16_t, uint8_t>("clamped_mapped", {{{256, 7}, {9, 3}}, clamp},
                                                 uint16_t{256}));
    cases.push_back(edge_case<int32_t, int16_t>("mapped_out_of_range", {{{70000, -5}}, absent}, 70000));
    cases.push_back(edge_case<int32_t, int16_t>("out_of_range_mapped", {{{7, -5}}, absent}, 70000));
    cases.push_back(edge_case<uint64_t, int8_t>(
        "mapped_out_of_range", {{{7, 1}, {300, 2}, {UINT64_MAX, 3}}, absent}, uint64_t{300}));
    cases.push_back(edge_case<int32_t, uint8_t>(
        "out_of_range_mapped", {{{7, 1}, {-1, 2}, {INT32_MAX, 3}}, absent}, -2));
    cases.push_back(edge_case<int64_t, float>("mapped", {{{3, 0.5f}}, ne}, int64_t{3}));
    cases.push_back(edge_case<int64_t, float>(
        "mapped_four", {{{INT64_MIN, 1.0f}, {3, 0.5f}, {-5, 2.0f}, {3, 9.0f}}, ne}, int64_t{3}));
    cases.push_back(edge_case<uint16_t, float16>("mapped", {{{9, h(-0.0)}}, ne}, uint16_t{9}));
    cases.push_back(edge_case<int16_t, float>("mapped_negative_zero", {{{9, -0.0f}}, ne}, int16_t{9}));
    return cases;
}

class BlockEdges : public ::testing::TestWithParam<PairCase> {};

// Under every instruction set the processor runs: each has loops of its
// own, and without AVX2 on x86-64 maps take passes instead of folded loops.
TEST_P(BlockEdges, SpecialElementAtEveryEdgeMatchesExactArithmetic) {
    struct Unpin {
        ~Unpin() { simd::set_target_override(std::nullopt); }
    } unpin;
    for (const simd::Target target : simd::supported_targets()) {
        SCOPED_TRACE(std::string(simd::target_name(target)));
        ASSERT_TRUE(simd::set_target_override(target));
        GetParam().run();
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BlockEdges, ::testing::ValuesIn(edge_cases()), pair_case_name);

}  // namespace
}  // namespace tolvane

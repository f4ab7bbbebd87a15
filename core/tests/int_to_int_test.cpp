#include "int_to_int.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "test_support.hpp"

namespace tolvane {
namespace {

using namespace testing_support;

class IntToIntPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(IntToIntPairs, MatchesExactArithmeticUnderEveryPolicyAndMap) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(
    AllPairs, IntToIntPairs,
    ::testing::ValuesIn(pair_cases<IntegerTypes, IntegerTypes>([]<class S, class D>() {
        check_pair_everywhere<S, D>(scaled(4000, 1000), 0x1201);
    })),
    pair_case_name);

INSTANTIATE_TEST_SUITE_P(
    IntToInt, DocumentedExamples,
    ::testing::Values(
        example<int8_t, uint8_t>("int8 -1 to uint8, wrap copies the bits", -1, {{}, wrap}, 255),
        example<int8_t, uint8_t>("int8 -1 to uint8, clamp", -1, {{}, clamp}, 0),
        example_error<int8_t, uint8_t>("int8 -1 to uint8, absent", -1, {{}, absent},
                                       range_error_text("-1", "0", "127")),
        example<uint8_t, int8_t>("uint8 200 to int8, clamp", 200, {{}, clamp}, 127),
        example<uint8_t, int8_t>("uint8 200 to int8, wrap", 200, {{}, wrap}, -56),
        example_error<uint8_t, int8_t>("uint8 200 to int8, absent", 200, {{}, absent},
                                       range_error_text("200", "0", "127")),
        example_error<int16_t, int8_t>("int16 300 to int8, absent", 300, {{}, absent},
                                       range_error_text("300", "-128", "127")),
        example_error<int64_t, uint64_t>("int64 -1 to uint64, absent", -1, {{}, absent},
                                         range_error_text("-1", "0", "9223372036854776000")),
        example_error<uint64_t, int64_t>(
            "uint64 max to int64, absent", 18446744073709551615ull, {{}, absent},
            range_error_text("18446744073709552000", "0", "9223372036854776000")),
        example_error<uint64_t, int64_t>(
            "uint64 2^63 to int64, absent", 9223372036854775808ull, {{}, absent},
            range_error_text("9223372036854776000", "0", "9223372036854776000")),
        example_error<int64_t, int32_t>(
            "int64 2^53+1 to int32 reports its float64 rounding", 9007199254740993, {{}, absent},
            range_error_text("9007199254740992", "-2147483648", "2147483647")),
        example<int8_t, uint64_t>("int8 -128 to uint64, wrap", -128, {{}, wrap},
                                  18446744073709551488ull),
        example<int32_t, int8_t>("int32 300 to int8, wrap keeps the low bits", 300, {{}, wrap}, 44),
        example<int16_t, uint8_t>("int16 -1 to uint8, wrap", -1, {{}, wrap}, 255),
        example<uint16_t, int8_t>("uint16 200 to int8, wrap", 200, {{}, wrap}, -56),
        example<uint64_t, int64_t>("uint64 2^63 to int64, wrap", 9223372036854775808ull, {{}, wrap},
                                   INT64_MIN),
        example<int8_t, uint16_t>("int8 -1 to uint16, wrap sign-extends", -1, {{}, wrap}, 65535),
        example<int8_t, uint32_t>("int8 -1 to uint32, wrap sign-extends", -1, {{}, wrap},
                                  4294967295u),
        example<int32_t, uint64_t>("int32 -2 to uint64, wrap sign-extends", -2, {{}, wrap},
                                   18446744073709551614ull),
        example<int32_t, int8_t>("int32 -1000 to int8, clamp", -1000, {{}, clamp}, -128),
        example<int32_t, int8_t>("int32 1000 to int8, clamp", 1000, {{}, clamp}, 127),
        example<int16_t, int8_t>("a map hit skips the range test", 300, {{{300, 7}}, absent}, 7),
        example_error<int16_t, int8_t>("a map miss still fails", 301, {{{300, 7}}, absent},
                                       range_error_text("301", "-128", "127")),
        example<int16_t, int8_t>("a map entry inside the range overrides", 5, {{{5, 9}}, absent},
                                 9),
        example<int16_t, int8_t>("the first of two entries for a source wins", 5,
                                 {{{5, 9}, {5, 10}}, wrap}, 9),
        example<int32_t, uint8_t>("a map target is written whatever the policy", -5,
                                  {{{-5, 255}}, clamp}, 255)));

// An error stops the scalar loop: earlier slots converted, the failing slot
// and the later ones as they were.
TEST(IntToIntFirstFailure, ErrorAtElementFourOfTen) {
    const std::vector<int16_t> src = {1, -2, 3, 127, 300, 5, 6, -700, 8, 9};
    for (const bool with_map : {false, true}) {
        std::vector<int8_t> dst(10, 99);
        CastConfig<int16_t, int8_t> config{{}, std::nullopt};
        if (with_map) config.scalar_map = {{6, 66}};
        const CastOutcome outcome = convert_slice_int_to_int<int16_t, int8_t>(src, dst, config);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->display_text(), range_error_text("300", "-128", "127"));
        EXPECT_EQ(dst, (std::vector<int8_t>{1, -2, 3, 127, 99, 99, 99, 99, 99, 99}));
    }
}

TEST(IntToIntFirstFailure, ClampAndWrapWriteEverySlot) {
    const std::vector<int16_t> src = {1, -2, 3, 127, 300, 5, 6, -700, 8, 9};
    std::vector<int8_t> dst(10, 99);
    EXPECT_FALSE(
        (convert_slice_int_to_int<int16_t, int8_t>(src, dst, {{}, OutOfRangeMode::Clamp})));
    EXPECT_EQ(dst, (std::vector<int8_t>{1, -2, 3, 127, 127, 5, 6, -128, 8, 9}));
    dst.assign(10, 99);
    EXPECT_FALSE(
        (convert_slice_int_to_int<int16_t, int8_t>(src, dst, {{{6, 66}}, OutOfRangeMode::Wrap})));
    EXPECT_EQ(dst, (std::vector<int8_t>{1, -2, 3, 127, 44, 5, 66, 68, 8, 9}));
}

TEST(IntToIntSlices, OnlyTheShorterLengthIsConverted) {
    const std::vector<int32_t> src = {1, 2, 3, 4, 5};
    std::vector<uint8_t> dst(3, 0xee);
    EXPECT_FALSE((convert_slice_int_to_int<int32_t, uint8_t>(src, dst, {{}, std::nullopt})));
    EXPECT_EQ(dst, (std::vector<uint8_t>{1, 2, 3}));
    std::vector<uint8_t> longer(7, 0xee);
    EXPECT_FALSE((convert_slice_int_to_int<int32_t, uint8_t>(std::span(src).first(3), longer,
                                                             {{}, OutOfRangeMode::Wrap})));
    EXPECT_EQ(longer, (std::vector<uint8_t>{1, 2, 3, 0xee, 0xee, 0xee, 0xee}));
}

// Same-width Wrap with a map looks every element up; the others are
// reinterpreted exactly as the byte copy of the map-less call.
TEST(IntToIntMap, SameWidthWrapWithMapEqualsByteCopyExceptHits) {
    std::vector<int8_t> src;
    for (int v = -128; v <= 127; ++v) src.push_back(static_cast<int8_t>(v));
    std::vector<uint8_t> plain(src.size()), mapped(src.size());
    EXPECT_FALSE(
        (convert_slice_int_to_int<int8_t, uint8_t>(src, plain, {{}, OutOfRangeMode::Wrap})));
    EXPECT_FALSE((convert_slice_int_to_int<int8_t, uint8_t>(
        src, mapped, {{{-1, 7}, {-1, 8}}, OutOfRangeMode::Wrap})));
    for (size_t i = 0; i < src.size(); ++i) {
        EXPECT_EQ(plain[i], static_cast<uint8_t>(src[i] + 256));
        EXPECT_EQ(mapped[i], src[i] == -1 ? 7 : plain[i]);
    }
}

}  // namespace
}  // namespace tolvane

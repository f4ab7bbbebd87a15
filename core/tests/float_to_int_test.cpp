#include "float_to_int.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace tolvane {
namespace {

using namespace testing_support;

class FloatToIntPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(FloatToIntPairs, MatchesExactArithmeticUnderEveryModePolicyAndMap) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(
    AllPairs, FloatToIntPairs,
    ::testing::ValuesIn(pair_cases<FloatTypes, IntegerTypes>([]<class S, class D>() {
        check_pair_everywhere<S, D>(scaled(6000, 1500), 0x1301);
    })),
    pair_case_name);

// Round half away from zero is exact: values just below a half never round
// up, and odd integers at the edge of the precision stay themselves.
INSTANTIATE_TEST_SUITE_P(
    NearestAwayIsExact, DocumentedExamples,
    ::testing::Values(
        example<double, int32_t>("float64 0.49999999999999994", 0.49999999999999994,
                                 {{}, absent, na}, 0),
        example<double, int32_t>("float64 -0.49999999999999994", -0.49999999999999994,
                                 {{}, absent, na}, 0),
        example<float, int32_t>("float32 0.49999997", 0.49999997f, {{}, absent, na}, 0),
        example<float16, int8_t>("float16 0.499755859375", h(0.499755859375), {{}, absent, na}, 0),
        example<double, int64_t>("float64 4503599627370497", 4503599627370497.0, {{}, absent, na},
                                 4503599627370497),
        example<double, int64_t>("float64 -4503599627370497", -4503599627370497.0, {{}, absent, na},
                                 -4503599627370497),
        example<float, int32_t>("float32 8388609", 8388609.0f, {{}, absent, na}, 8388609),
        example<double, int32_t>("float64 0.5", 0.5, {{}, absent, na}, 1),
        example<double, int32_t>("float64 -0.5", -0.5, {{}, absent, na}, -1),
        example<float16, int8_t>("float16 -0.5", h(-0.5), {{}, absent, na}, -1)));

// The range test is exact against the target's limits, and the error shows
// those limits, even where the source type can't hold them or its bound is
// infinite.
INSTANTIATE_TEST_SUITE_P(
    ExactRangeTest, DocumentedExamples,
    ::testing::Values(
        example_error<float, int32_t>("float32 2^31 to int32", 2147483648.0f, {{}, absent, ne},
                                      range_error_text("2147483648", "-2147483648", "2147483647")),
        example<float, int32_t>("float32 2^31 to int32, clamp", 2147483648.0f, {{}, clamp, ne},
                                INT32_MAX),
        example<float, int32_t>("float32 -2^31 to int32", -2147483648.0f, {{}, absent, ne},
                                INT32_MIN),
        example_error<float, int32_t>("float32 2147483904 to int32", 2147483904.0f,
                                      {{}, absent, ne},
                                      range_error_text("2147483904", "-2147483648", "2147483647")),
        example_error<float, uint32_t>("float32 4294967296 to uint32", 4294967296.0f,
                                       {{}, absent, tz},
                                       range_error_text("4294967296", "0", "4294967295")),
        example_error<float16, uint16_t>("float16 +inf to uint16", h(inf), {{}, absent, ne},
                                         range_error_text("inf", "0", "65535")),
        example_error<float16, uint16_t>("float16 -inf to uint16", h(-inf), {{}, absent, ne},
                                         range_error_text("-inf", "0", "65535")),
        example<float16, uint16_t>("float16 +inf to uint16, clamp", h(inf), {{}, clamp, ne}, 65535),
        example_error<float16, int16_t>("float16 32768 to int16", h(32768.0), {{}, absent, ne},
                                        range_error_text("32768", "-32768", "32767")),
        example_error<float16, int16_t>("float16 32800 to int16", h(32800.0), {{}, absent, ne},
                                        range_error_text("32800", "-32768", "32767")),
        example<float16, int16_t>("float16 32768 to int16, clamp", h(32768.0), {{}, clamp, ne},
                                  32767),
        example<float16, int16_t>("float16 -32768 to int16", h(-32768.0), {{}, absent, ne}, -32768),
        example_error<float16, int32_t>("float16 +inf to int32", h(inf), {{}, absent, ne},
                                        range_error_text("inf", "-2147483648", "2147483647")),
        example_error<float16, int64_t>("float16 -inf to int64", h(-inf), {{}, absent, ne},
                                        range_error_text("-inf", "-9223372036854776000",
                                                         "9223372036854776000")),
        example<float16, int64_t>("float16 -inf to int64, clamp", h(-inf), {{}, clamp, ne},
                                  INT64_MIN),
        example_error<float16, uint64_t>("float16 -1 to uint64", h(-1.0), {{}, absent, ne},
                                         range_error_text("-1", "0", "18446744073709552000")),
        example_error<double, uint64_t>(
            "float64 2^64 to uint64", 18446744073709551616.0, {{}, absent, ne},
            range_error_text("18446744073709552000", "0", "18446744073709552000")),
        example<double, uint64_t>("float64 2^64 to uint64, clamp", 18446744073709551616.0,
                                  {{}, clamp, ne}, UINT64_MAX),
        example<double, uint64_t>("float64 2^64-2048 to uint64", 18446744073709549568.0,
                                  {{}, absent, ne}, 18446744073709549568ull),
        example_error<double, int64_t>(
            "float64 2^63 to int64", 9223372036854775808.0, {{}, absent, ne},
            range_error_text("9223372036854776000", "-9223372036854776000", "9223372036854776000")),
        example<double, int64_t>("float64 -2^63 to int64", -9223372036854775808.0, {{}, absent, ne},
                                 INT64_MIN),
        example_error<float, uint32_t>("float32 -0.6 to uint32", -0.6f, {{}, absent, ne},
                                       range_error_text("-1", "0", "4294967295")),
        example<double, int32_t>("float64 2147483647.4 to int32", 2147483647.4, {{}, absent, ne},
                                 INT32_MAX),
        example_error<double, int32_t>("float64 2147483647.5 to int32 reports the rounded value",
                                       2147483647.5, {{}, absent, ne},
                                       range_error_text("2147483648", "-2147483648", "2147483647")),
        example_error<double, uint8_t>("float64 300.7 to uint8", 300.7, {{}, absent, ne},
                                       range_error_text("301", "0", "255"))));

// Wrap reduces the exact rounded integer modulo 2^width, however far outside
// the range it lies, for every source type.
INSTANTIATE_TEST_SUITE_P(
    ExactWrap, DocumentedExamples,
    ::testing::Values(
        example<double, int8_t>("float64 2^60 to int8", 0x1p60, {{}, wrap, ne}, 0),
        example<double, int8_t>("float64 2^55+128 to int8", 0x1p55 + 128, {{}, wrap, ne}, -128),
        example<double, uint8_t>("float64 2^55+136 to uint8", 0x1p55 + 136, {{}, wrap, ne}, 136),
        example<double, uint64_t>("float64 1e300 to uint64", 1e300, {{}, wrap, ne}, 0),
        example<double, uint64_t>("float64 -1e19 to uint64", -1e19, {{}, wrap, ne},
                                  8446744073709551616ull),
        example<double, int64_t>("float64 2^63 to int64", 0x1p63, {{}, wrap, ne}, INT64_MIN),
        example<float, int32_t>("float32 2^31 to int32", 2147483648.0f, {{}, wrap, ne}, INT32_MIN),
        example<float, uint32_t>("float32 5e9 to uint32", 5e9f, {{}, wrap, ne}, 705032704u),
        example<float16, int8_t>("float16 65376 to int8", h(65376.0), {{}, wrap, ne}, 96),
        example<float16, int8_t>("float16 65408 to int8", h(65408.0), {{}, wrap, ne}, -128),
        example<float16, int8_t>("float16 65504 to int8", h(65504.0), {{}, wrap, ne}, -32),
        example<float16, uint8_t>("float16 -300 to uint8", h(-300.0), {{}, wrap, ne}, 212),
        example<float16, int8_t>("float16 -300 to int8", h(-300.0), {{}, wrap, ne}, -44),
        example<float16, int8_t>("float16 200 to int8", h(200.0), {{}, wrap, ne}, -56),
        example<float16, int16_t>("float16 32768 to int16", h(32768.0), {{}, wrap, ne}, -32768),
        example<float16, int16_t>("float16 40000 to int16", h(40000.0), {{}, wrap, ne}, -25536),
        example<float16, int16_t>("float16 -40000 to int16", h(-40000.0), {{}, wrap, ne}, 25536),
        example<float16, uint16_t>("float16 -1 to uint16", h(-1.0), {{}, wrap, ne}, 65535),
        example<float16, uint32_t>("float16 -1 to uint32", h(-1.0), {{}, wrap, ne}, 4294967295u),
        example<float16, uint64_t>("float16 -65504 to uint64", h(-65504.0), {{}, wrap, ne},
                                   18446744073709486112ull),
        example<double, uint8_t>("float64 300 to uint8", 300.0, {{}, wrap, ne}, 44),
        example<double, uint8_t>("float64 -1 to uint8", -1.0, {{}, wrap, ne}, 255),
        example<double, uint8_t>("float64 256 to uint8", 256.0, {{}, wrap, ne}, 0),
        example<double, int8_t>("float64 128 to int8", 128.0, {{}, wrap, ne}, -128),
        example<double, int8_t>("float64 -129 to int8", -129.0, {{}, wrap, ne}, 127),
        example<double, int8_t>("float64 -0.6 to int8 rounds first", -0.6, {{}, wrap, tz}, 0),
        example_error<double, uint8_t>("float64 +inf under wrap", inf, {{}, wrap, ne},
                                       non_finite_text("inf")),
        example_error<double, uint8_t>("float64 -inf under wrap", -inf, {{}, wrap, ne},
                                       non_finite_text("-inf")),
        example_error<float16, int32_t>("float16 +inf to int32 under wrap", h(inf), {{}, wrap, ne},
                                        non_finite_text("inf"))));

INSTANTIATE_TEST_SUITE_P(
    FloatToInt, DocumentedExamples,
    ::testing::Values(
        example<double, int32_t>("2.5 nearest-even", 2.5, {{}, absent, ne}, 2),
        example<double, int32_t>("2.5 nearest-away", 2.5, {{}, absent, na}, 3),
        example<double, int32_t>("2.5 towards-zero", 2.5, {{}, absent, tz}, 2),
        example<double, int32_t>("2.5 towards-positive", 2.5, {{}, absent, tp}, 3),
        example<double, int32_t>("2.5 towards-negative", 2.5, {{}, absent, tn}, 2),
        example<float, int8_t>("-2.5 nearest-even", -2.5f, {{}, absent, ne}, -2),
        example<float, int8_t>("-2.5 nearest-away", -2.5f, {{}, absent, na}, -3),
        example<float, int8_t>("-2.5 towards-zero", -2.5f, {{}, absent, tz}, -2),
        example<float, int8_t>("-2.5 towards-positive", -2.5f, {{}, absent, tp}, -2),
        example<float, int8_t>("-2.5 towards-negative", -2.5f, {{}, absent, tn}, -3),
        example<double, uint8_t>("-0.3 to uint8 rounds to -0", -0.3, {{}, absent, ne}, 0),
        example_error<double, uint8_t>("-0.6 to uint8", -0.6, {{}, absent, ne},
                                       range_error_text("-1", "0", "255")),
        example<double, uint8_t>("255.4 towards-zero", 255.4, {{}, absent, tz}, 255),
        example<double, uint8_t>("255.4 nearest-even", 255.4, {{}, absent, ne}, 255),
        example_error<double, uint8_t>("255.4 towards-positive", 255.4, {{}, absent, tp},
                                       range_error_text("256", "0", "255")),
        example_error<double, uint8_t>("-1e-300 towards-negative", -1e-300, {{}, absent, tn},
                                       range_error_text("-1", "0", "255")),
        example<double, uint8_t>("-1e-300 towards-zero", -1e-300, {{}, absent, tz}, 0),
        example<double, int64_t>("-inf clamps to int64's least", -inf, {{}, clamp, ne}, INT64_MIN),
        example<double, int8_t>("300 clamps to 127", 300.0, {{}, clamp, ne}, 127),
        example<double, uint8_t>("255.5 clamps to 255", 255.5, {{}, clamp, ne}, 255),
        example<double, uint8_t>("254.5 ties to even", 254.5, {{}, clamp, ne}, 254),
        example<double, uint8_t>("-1e30 clamps to 0", -1e30, {{}, clamp, ne}, 0),
        example_error<double, int8_t>("NaN under clamp", std::nan(""), {{}, clamp, ne},
                                      non_finite_text("NaN")),
        example_error<float16, uint8_t>("float16 NaN under wrap", float16{0x7e01}, {{}, wrap, ne},
                                        non_finite_text("NaN")),
        example_error<float, int64_t>("float32 NaN, absent", std::nanf(""), {{}, absent, na},
                                      non_finite_text("NaN")),
        example<double, uint8_t>("a map hit skips the range test", 300.0,
                                 {{{300.0, 7}}, absent, ne}, 7),
        example<double, uint8_t>("a map entry for +inf catches it under wrap", inf,
                                 {{{inf, 9}}, wrap, ne}, 9),
        example<float, int16_t>("a NaN entry catches any NaN", -std::nanf("5"),
                                {{{1.0f, 1}, {std::nanf("1"), 3}}, absent, ne}, 3),
        example<float16, int16_t>("float16 entry -0 catches +0", float16{0x0000},
                                  {{{float16{0x8000}, 4}}, absent, ne}, 4),
        example<double, uint32_t>("entry -0.0 catches +0.0", 0.0, {{{-0.0, 4}}, absent, ne}, 4)));

// An error stops the scalar loop: earlier slots converted, the failing slot
// and the later ones as they were.
TEST(FloatToIntFirstFailure, OutOfRangeInTheMiddle) {
    const std::vector<float> src = {1.5f, 2.5f, -3.5f, 40000.0f, 7.0f, std::nanf(""), 9.0f};
    std::vector<int16_t> dst(src.size(), 77);
    const CastOutcome outcome = convert_slice_float_to_int<float, int16_t>(
        src, dst, {{}, std::nullopt, RoundingMode::NearestEven});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->display_text(), range_error_text("40000", "-32768", "32767"));
    EXPECT_EQ(dst, (std::vector<int16_t>{2, 2, -4, 77, 77, 77, 77}));
}

TEST(FloatToIntFirstFailure, NaNInTheMiddleUnderEveryPolicy) {
    const std::vector<double> src = {1.0, -1.0, std::nan(""), 4.0};
    for (const OutOfRangePolicy policy : all_policies) {
        std::vector<int32_t> dst(src.size(), 77);
        // nearest-away keeps every pair on the scalar loop
        const CastOutcome outcome = convert_slice_float_to_int<double, int32_t>(
            src, dst, {{}, policy, RoundingMode::NearestAway});
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->display_text(), non_finite_text("NaN"));
        EXPECT_EQ(dst, (std::vector<int32_t>{1, -1, 77, 77}));
    }
}

TEST(FloatToIntSlices, OnlyTheShorterLengthIsConverted) {
    const std::vector<float16> src = {h(1.0), h(2.0), h(3.0), h(-4.0), h(5.0)};
    std::vector<uint16_t> dst(3, 0xeeee);
    EXPECT_FALSE((convert_slice_float_to_int<float16, uint16_t>(
        src, dst, {{}, std::nullopt, RoundingMode::NearestEven})));
    EXPECT_EQ(dst, (std::vector<uint16_t>{1, 2, 3}));
    std::vector<uint16_t> longer(5, 0xeeee);
    EXPECT_FALSE((convert_slice_float_to_int<float16, uint16_t>(
        std::span(src).first(2), longer, {{}, OutOfRangeMode::Wrap, RoundingMode::NearestEven})));
    EXPECT_EQ(longer, (std::vector<uint16_t>{1, 2, 0xeeee, 0xeeee, 0xeeee}));
}

}  // namespace
}  // namespace tolvane

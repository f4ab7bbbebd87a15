#include "int_to_float.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace tolvane {
namespace {

using namespace testing_support;

class IntToFloatPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(IntToFloatPairs, MatchesExactRoundingUnderEveryModeAndMap) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(
    AllPairs, IntToFloatPairs,
    ::testing::ValuesIn(pair_cases<IntegerTypes, FloatTypes>([]<class S, class D>() {
        check_pair_everywhere<S, D>(scaled(6000, 1500), 0x1501);
    })),
    pair_case_name);

// Integers of every length, most of them exact ties of the target's precision
// or one away from a tie, in both signs.
template <IntegerElement S>
std::vector<S> near_tie_integers(int precision, size_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    constexpr int digits = std::numeric_limits<S>::digits;
    std::vector<S> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const int length = 1 + static_cast<int>(rng() % digits);
        uint64_t m = rng();
        if (length < 64) m &= (uint64_t{1} << length) - 1;
        m |= uint64_t{1} << (length - 1);
        if (length > precision) {
            const int drop = length - precision;
            const uint64_t tie = (m & ~((uint64_t{1} << drop) - 1)) | (uint64_t{1} << (drop - 1));
            switch (rng() % 4) {
                case 0:
                    m = tie;
                    break;
                case 1:
                    m = tie + 1;
                    break;
                case 2:
                    m = tie - 1;
                    break;
                default:
                    break;
            }
        }
        const bool negative = std::is_signed_v<S> && (rng() & 1);
        out.push_back(static_cast<S>(negative ? ~m + 1 : m));
    }
    return out;
}

class IntToFloatNearTies : public ::testing::TestWithParam<PairCase> {};

TEST_P(IntToFloatNearTies, DirectedModesAndTiesDecideOnTheExactInteger) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(
    AllPairs, IntToFloatNearTies,
    ::testing::ValuesIn(pair_cases<IntegerTypes, FloatTypes>([]<class S, class D>() {
        const std::vector<S> src = near_tie_integers<S>(reference::format_of<D>.precision,
                                                        scaled(60000, 15000), 0x1502 + sizeof(S));
        for (const RoundingMode mode : all_rounding_modes) {
            check_against_reference<S, D>(src, CastConfig<S, D>{{}, mode});
        }
    })),
    pair_case_name);

constexpr uint64_t u64_max = 18446744073709551615ull;
constexpr int64_t two_60_plus_1 = (int64_t{1} << 60) + 1;

// int64 and uint64 into float32 and float16: every mode decides on the exact
// integer, not on its float64 rounding.
INSTANTIATE_TEST_SUITE_P(
    SixtyFourBitToFloat32AndFloat16, DocumentedExamples,
    ::testing::Values(example<uint64_t, float>("uint64 max, towards-zero", u64_max, {{}, tz},
                                               18446742974197923840.0f),
                      example<uint64_t, float>("uint64 max, towards-negative", u64_max, {{}, tn},
                                               18446742974197923840.0f),
                      example<uint64_t, float>("uint64 max, nearest-even", u64_max, {{}, ne},
                                               18446744073709551616.0f),
                      example<uint64_t, float>("uint64 max, towards-positive", u64_max, {{}, tp},
                                               18446744073709551616.0f),
                      example<uint64_t, float>("uint64 max, nearest-away", u64_max, {{}, na},
                                               18446744073709551616.0f),
                      example<int64_t, float>("int64 max, towards-zero", INT64_MAX, {{}, tz},
                                              9223371487098961920.0f),
                      example<int64_t, float>("int64 max, nearest-even", INT64_MAX, {{}, ne},
                                              9223372036854775808.0f),
                      example<int64_t, float>("int64 2^60+1, towards-positive", two_60_plus_1,
                                              {{}, tp}, 1152921642045800448.0f),
                      example<int64_t, float>("int64 2^60+1, nearest-even", two_60_plus_1, {{}, ne},
                                              1152921504606846976.0f),
                      example<int64_t, float>("int64 2^60+1, towards-zero", two_60_plus_1, {{}, tz},
                                              1152921504606846976.0f),
                      example<int64_t, float>("int64 2^60+1, nearest-away", two_60_plus_1, {{}, na},
                                              1152921504606846976.0f),
                      example<int64_t, float>("int64 -(2^60+1), towards-negative", -two_60_plus_1,
                                              {{}, tn}, -1152921642045800448.0f),
                      example<int64_t, float>("int64 -(2^60+1), towards-positive", -two_60_plus_1,
                                              {{}, tp}, -1152921504606846976.0f),
                      example<int64_t, float>("int64 2^54+2^30-1, nearest-away", 18014399583223807,
                                              {{}, na}, 18014398509481984.0f),
                      example<int64_t, float>("int64 2^54+2^30-1, towards-positive",
                                              18014399583223807, {{}, tp}, 18014400656965632.0f),
                      example<int64_t, float>("int64 2^54+2^30 is a tie, nearest-away",
                                              18014399583223808, {{}, na}, 18014400656965632.0f),
                      example<int64_t, float>("int64 2^54+2^30 is a tie, nearest-even",
                                              18014399583223808, {{}, ne}, 18014398509481984.0f),
                      example<int64_t, float16>("int64 2^60 to float16, towards-zero",
                                                int64_t{1} << 60, {{}, tz}, h(65504.0)),
                      example<int64_t, float16>("int64 2^60 to float16, towards-positive",
                                                int64_t{1} << 60, {{}, tp}, h(inf)),
                      example<uint64_t, float16>("uint64 max to float16, towards-negative", u64_max,
                                                 {{}, tn}, h(65504.0)),
                      example<int64_t, float16>("int64 min to float16, towards-zero", INT64_MIN,
                                                {{}, tz}, h(-65504.0)),
                      example<int64_t, float16>("int64 min to float16, nearest-away", INT64_MIN,
                                                {{}, na}, h(-inf))));

// int64 and uint64 into float64 are exact only up to 2^53: beyond, the mode
// rounds, decided on the exact integer.
INSTANTIATE_TEST_SUITE_P(
    SixtyFourBitToFloat64, DocumentedExamples,
    ::testing::Values(
        example<uint64_t, double>("uint64 max, towards-zero", u64_max, {{}, tz},
                                  18446744073709549568.0),
        example<uint64_t, double>("uint64 max, towards-negative", u64_max, {{}, tn},
                                  18446744073709549568.0),
        example<uint64_t, double>("uint64 max, nearest-even", u64_max, {{}, ne},
                                  18446744073709551616.0),
        example<uint64_t, double>("uint64 max, towards-positive", u64_max, {{}, tp},
                                  18446744073709551616.0),
        example<uint64_t, double>("uint64 max, nearest-away", u64_max, {{}, na},
                                  18446744073709551616.0),
        example<int64_t, double>("int64 2^53+1, nearest-even", 9007199254740993, {{}, ne},
                                 9007199254740992.0),
        example<int64_t, double>("int64 2^53+1, nearest-away", 9007199254740993, {{}, na},
                                 9007199254740994.0),
        example<int64_t, double>("int64 2^53+1, towards-positive", 9007199254740993, {{}, tp},
                                 9007199254740994.0),
        example<int64_t, double>("int64 2^53+1, towards-zero", 9007199254740993, {{}, tz},
                                 9007199254740992.0),
        example<int64_t, double>("int64 -(2^53+1), towards-negative", -9007199254740993, {{}, tn},
                                 -9007199254740994.0),
        example<int64_t, double>("int64 -(2^53+1), towards-zero", -9007199254740993, {{}, tz},
                                 -9007199254740992.0),
        example<int64_t, double>("int64 2^53+3, nearest-even", 9007199254740995, {{}, ne},
                                 9007199254740996.0),
        example<int64_t, double>("int64 2^53+3, towards-zero", 9007199254740995, {{}, tz},
                                 9007199254740994.0),
        example<int64_t, double>("int64 max, towards-zero", INT64_MAX, {{}, tz},
                                 9223372036854774784.0),
        example<int32_t, double>("int32 max is exact", INT32_MAX, {{}, tz}, 2147483647.0),
        example<uint32_t, double>("uint32 max is exact", 4294967295u, {{}, tp}, 4294967295.0)));

INSTANTIATE_TEST_SUITE_P(
    IntToFloat, DocumentedExamples,
    ::testing::Values(
        example<int16_t, float16>("2049 nearest-even", 2049, {{}, ne}, h(2048.0)),
        example<int16_t, float16>("2049 towards-zero", 2049, {{}, tz}, h(2048.0)),
        example<int16_t, float16>("2049 towards-negative", 2049, {{}, tn}, h(2048.0)),
        example<int16_t, float16>("2049 towards-positive", 2049, {{}, tp}, h(2050.0)),
        example<int16_t, float16>("2049 nearest-away", 2049, {{}, na}, h(2050.0)),
        example<uint16_t, float16>("65519 nearest-even", 65519, {{}, ne}, h(65504.0)),
        example<uint16_t, float16>("65519 nearest-away", 65519, {{}, na}, h(65504.0)),
        example<uint16_t, float16>("65519 towards-zero", 65519, {{}, tz}, h(65504.0)),
        example<uint16_t, float16>("65519 towards-negative", 65519, {{}, tn}, h(65504.0)),
        example<uint16_t, float16>("65519 towards-positive", 65519, {{}, tp}, h(inf)),
        example<uint16_t, float16>("65520 nearest-even", 65520, {{}, ne}, h(inf)),
        example<uint16_t, float16>("65520 nearest-away", 65520, {{}, na}, h(inf)),
        example<uint16_t, float16>("65520 towards-positive", 65520, {{}, tp}, h(inf)),
        example<uint16_t, float16>("65520 towards-zero", 65520, {{}, tz}, h(65504.0)),
        example<uint16_t, float16>("65520 towards-negative", 65520, {{}, tn}, h(65504.0)),
        example<int32_t, float16>("-70000 nearest-even", -70000, {{}, ne}, h(-inf)),
        example<int32_t, float16>("-70000 nearest-away", -70000, {{}, na}, h(-inf)),
        example<int32_t, float16>("-70000 towards-negative", -70000, {{}, tn}, h(-inf)),
        example<int32_t, float16>("-70000 towards-zero", -70000, {{}, tz}, h(-65504.0)),
        example<int32_t, float16>("-70000 towards-positive", -70000, {{}, tp}, h(-65504.0)),
        example<int32_t, float>("16777217 nearest-even", 16777217, {{}, ne}, 16777216.0f),
        example<int32_t, float>("16777217 towards-zero", 16777217, {{}, tz}, 16777216.0f),
        example<int32_t, float>("16777217 towards-negative", 16777217, {{}, tn}, 16777216.0f),
        example<int32_t, float>("16777217 towards-positive", 16777217, {{}, tp}, 16777218.0f),
        example<int32_t, float>("16777217 nearest-away", 16777217, {{}, na}, 16777218.0f),
        example<int32_t, float>("-16777217 nearest-even", -16777217, {{}, ne}, -16777216.0f),
        example<int32_t, float>("-16777217 towards-zero", -16777217, {{}, tz}, -16777216.0f),
        example<int32_t, float>("-16777217 towards-positive", -16777217, {{}, tp}, -16777216.0f),
        example<int32_t, float>("-16777217 towards-negative", -16777217, {{}, tn}, -16777218.0f),
        example<int32_t, float>("-16777217 nearest-away", -16777217, {{}, na}, -16777218.0f),
        example<int8_t, float16>("int8 -128 is exact", -128, {{}, tz}, h(-128.0)),
        example<uint8_t, float16>("uint8 255 is exact", 255, {{}, tp}, h(255.0)),
        example<int32_t, float>("a map hit is written without adjustment", 16777217,
                                {{{16777217, 5.0f}}, tp}, 5.0f),
        example<int16_t, float16>("a map target NaN keeps its bits", 7,
                                  {{{7, float16{0x7e05}}}, tz}, float16{0x7e05}),
        example<int64_t, double>("the first of two entries wins", -3, {{{-3, 1.0}, {-3, 2.0}}, na},
                                 1.0)));

TEST(IntToFloatSlices, OnlyTheShorterLengthIsConvertedAndEmptyIsSuccess) {
    const std::vector<int64_t> src = {1, (int64_t{1} << 60) + 1, 3, 4, 5};
    std::vector<float> dst(3, -7.0f);
    EXPECT_FALSE((
        convert_slice_int_to_float<int64_t, float>(src, dst, {{}, RoundingMode::TowardsPositive})));
    EXPECT_EQ(dst, (std::vector<float>{1.0f, 1152921642045800448.0f, 3.0f}));
    std::vector<float> longer(5, -7.0f);
    EXPECT_FALSE((convert_slice_int_to_float<int64_t, float>(std::span(src).first(2), longer,
                                                             {{}, RoundingMode::NearestEven})));
    EXPECT_EQ(longer, (std::vector<float>{1.0f, 1152921504606846976.0f, -7.0f, -7.0f, -7.0f}));
    EXPECT_FALSE((convert_slice_int_to_float<int64_t, float>(std::span(src).first(0), longer,
                                                             {{}, RoundingMode::NearestEven})));
    EXPECT_EQ(longer[0], 1.0f);
}

}  // namespace
}  // namespace tolvane

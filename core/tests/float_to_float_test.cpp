#include "float_to_float.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "rounding.hpp"
#include "test_support.hpp"

namespace tolvane {
namespace {

using namespace testing_support;

class FloatToFloatPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(FloatToFloatPairs, MatchesExactRoundingUnderEveryModePolicyAndMap) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(
    AllPairs, FloatToFloatPairs,
    ::testing::ValuesIn(pair_cases<FloatTypes, FloatTypes>([]<class S, class D>() {
        check_pair_everywhere<S, D>(scaled(6000, 1500), 0x1601);
    })),
    pair_case_name);

// Values of S at and around the midpoints between neighbouring values of D,
// and, for float64 to float16, within half a float32 unit of a midpoint
// (where the pass through float32 lands on it).
template <FloatElement S, FloatElement D>
std::vector<S> near_ties(size_t count, uint64_t seed) {
    using reference::from_bits;
    std::mt19937_64 rng(seed);
    const auto fd = reference::format_of<D>;
    const uint64_t d_max = reference::max_finite_bits(fd);
    std::vector<S> out;
    out.reserve(count);
    while (out.size() < count) {
        const uint64_t lower = rng() % d_max;  // a finite value below the largest one
        const double a = reference::to_float64(reference::decode(lower, fd));
        const double b = reference::to_float64(reference::decode(lower + 1, fd));
        const double mid = a + (b - a) / 2;
        const bool negative = rng() & 1;
        double x = mid;
        switch (rng() % 6) {
            case 0:
                break;
            case 1:
                x = a;
                break;
            case 2:
                // within half a float32 unit of the midpoint
                x = mid + std::ldexp(static_cast<double>(static_cast<int64_t>(rng() % 2048) - 1024),
                                     std::ilogb(mid) - 23 - 11);
                break;
            default: {
                const S s = exact_from_double<S>(mid);
                const int64_t delta = static_cast<int64_t>(rng() % 7) - 3;
                x = reference::to_float64(reference::exact_value(step_bits(s, delta)));
            }
        }
        out.push_back(exact_from_double<S>(negative ? -x : x));
    }
    // the overflow threshold of D and its neighbours
    const double top = reference::to_float64(reference::decode(d_max, fd));
    const double threshold =
        top + (top - reference::to_float64(reference::decode(d_max - 1, fd))) / 2;
    for (int d = -3; d <= 3; ++d) {
        out.push_back(step_bits(exact_from_double<S>(threshold), d));
        out.push_back(step_bits(exact_from_double<S>(-threshold), d));
    }
    return out;
}

class FloatNarrowingNearTies : public ::testing::TestWithParam<PairCase> {};

TEST_P(FloatNarrowingNearTies, EveryModeAndPolicyMatchesExactRounding) { GetParam().run(); }

template <FloatElement S, FloatElement D>
PairCase narrowing_case(uint64_t seed) {
    return {std::string(type_name<S>) + "_to_" + type_name<D>, [seed] {
                const std::vector<S> src = near_ties<S, D>(scaled(40000, 10000), seed);
                for (const RoundingMode mode : all_rounding_modes) {
                    for (const OutOfRangePolicy& policy : all_policies) {
                        check_against_reference<S, D>(src, CastConfig<S, D>{{}, policy, mode});
                    }
                }
            }};
}

INSTANTIATE_TEST_SUITE_P(Narrowings, FloatNarrowingNearTies,
                         ::testing::Values(narrowing_case<double, float>(0x1602),
                                           narrowing_case<double, float16>(0x1603),
                                           narrowing_case<float, float16>(0x1604)),
                         pair_case_name);

constexpr float f32_max = 3.4028234663852886e38f;
constexpr float f32_min_subnormal = 1.401298464324817e-45f;

const std::string f32_bounds = "340282346638528860000000000000000000000";

INSTANTIATE_TEST_SUITE_P(
    FloatToFloat, DocumentedExamples,
    ::testing::Values(
        example_error<double, float>("1e39 nearest-even", 1e39, {{}, absent, ne},
                                     range_error_text("1000000000000000000000000000000000000000",
                                                      "-" + f32_bounds, f32_bounds)),
        example_error<double, float>("1e39 under wrap is the same error", 1e39, {{}, wrap, ne},
                                     range_error_text("1000000000000000000000000000000000000000",
                                                      "-" + f32_bounds, f32_bounds)),
        example<double, float>("1e39 under clamp writes +inf", 1e39, {{}, clamp, ne},
                               std::numeric_limits<float>::infinity()),
        example<double, float>("1e39 towards-zero", 1e39, {{}, absent, tz}, f32_max),
        example<double, float>("1e39 towards-negative", 1e39, {{}, wrap, tn}, f32_max),
        example<double, float>("3.4028235e38 nearest-even", 3.4028235e38, {{}, absent, ne},
                               f32_max),
        example_error<double, float>("3.4028235e38 towards-positive", 3.4028235e38,
                                     {{}, absent, tp},
                                     range_error_text("340282350000000000000000000000000000000",
                                                      "-" + f32_bounds, f32_bounds)),
        example<double, float>("3.4028235e38 towards-positive, clamp", 3.4028235e38,
                               {{}, clamp, tp}, std::numeric_limits<float>::infinity()),
        example<double, float>("-1e39 towards-positive", -1e39, {{}, absent, tp}, -f32_max),
        example<float, float16>("float32 65519 to float16", 65519.0f, {{}, absent, ne}, h(65504.0)),
        example_error<float, float16>("float32 65520 to float16", 65520.0f, {{}, absent, ne},
                                      range_error_text("65520", "-65504", "65504")),
        example_error<float, float16>("float32 70000 to float16", 70000.0f, {{}, absent, na},
                                      range_error_text("70000", "-65504", "65504")),
        example<float, float16>("float32 65520 to float16, clamp", 65520.0f, {{}, clamp, ne},
                                h(inf)),
        example_error<double, float16>("float64 65519.999 passes float32's 65520", 65519.999,
                                       {{}, absent, ne},
                                       range_error_text("65519.999", "-65504", "65504")),
        example_error<double, float16>("float64 65519.998046875", 65519.998046875, {{}, absent, na},
                                       range_error_text("65519.998046875", "-65504", "65504")),
        example<double, float16>("float64 just below 65519.998046875", 65519.99804687499,
                                 {{}, absent, ne}, h(65504.0)),
        example<double, float16>("float64 65519.999 towards-zero", 65519.999, {{}, absent, tz},
                                 h(65504.0)),
        example<double, float16>("1+2^-11+2^-40 nearest-even", 1.0004882812509095, {{}, absent, ne},
                                 h(1.0)),
        example<double, float16>("1+2^-11+2^-40 nearest-away", 1.0004882812509095, {{}, absent, na},
                                 h(1.0)),
        example<double, float16>("1+2^-11+2^-40 towards-positive", 1.0004882812509095,
                                 {{}, absent, tp}, h(1.0009765625)),
        example<double, float16>("1+2^-11 is a tie, nearest-away", 1.00048828125, {{}, absent, na},
                                 h(1.0009765625)),
        example<double, float>("1e-50 nearest-even", 1e-50, {{}, absent, ne}, 0.0f),
        example<double, float>("1e-50 towards-zero", 1e-50, {{}, absent, tz}, 0.0f),
        example<double, float>("1e-50 towards-negative", 1e-50, {{}, absent, tn}, 0.0f),
        example<double, float>("1e-50 nearest-away", 1e-50, {{}, absent, na}, 0.0f),
        example<double, float>("1e-50 towards-positive", 1e-50, {{}, absent, tp},
                               f32_min_subnormal),
        example<double, float>("-1e-50 nearest-even", -1e-50, {{}, absent, ne}, -0.0f),
        example<double, float>("-1e-50 towards-positive", -1e-50, {{}, absent, tp}, -0.0f),
        example<double, float>("-1e-50 towards-negative", -1e-50, {{}, absent, tn},
                               -f32_min_subnormal),
        example<double, float>("2^-150 nearest-even", 0x1p-150, {{}, absent, ne}, 0.0f),
        example<double, float>("2^-150 nearest-away", 0x1p-150, {{}, absent, na},
                               f32_min_subnormal),
        example<double, float16>("-inf towards-zero stays -inf", -inf, {{}, absent, tz}, h(-inf)),
        example<double, float16>("-0 towards-negative stays -0", -0.0, {{}, absent, tn}, h(-0.0)),
        example<float16, float16>("a signalling NaN is copied bit for bit", float16{0x7c01},
                                  {{}, absent, tz}, float16{0x7c01}),
        example<float16, float16>("also on the lookup loop", float16{0xfd23},
                                  {{{h(2.0), h(3.0)}}, absent, tp}, float16{0xfd23}),
        example<float16, float>("float16 65504 to float32", h(65504.0), {{}, absent, tz}, 65504.0f),
        example<float16, double>("float16 2^-24 to float64", float16{0x0001}, {{}, absent, tp},
                                 0x1p-24),
        example<float, double>("float32 min subnormal to float64", f32_min_subnormal,
                               {{}, absent, tn}, 0x1p-149),
        example<double, float>("a map target NaN keeps its bits", 5.0,
                               {{{5.0, std::bit_cast<float>(0x7fc00005u)}}, absent, ne},
                               std::bit_cast<float>(0x7fc00005u)),
        example<double, float>("a map hit on an overflowing value is no error", 1e39,
                               {{{1e39, 1.0f}}, absent, ne}, 1.0f),
        example<double, float16>("a NaN entry catches any NaN", -std::nan("3"),
                                 {{{1.0, h(1.0)}, {std::nan("9"), h(7.0)}}, absent, ne}, h(7.0)),
        example<float16, double>("float16 entry -0 catches +0", float16{0x0000},
                                 {{{float16{0x8000}, 4.0}}, absent, ne}, 4.0)));

// An error stops the scalar loop: earlier slots converted, the failing slot
// and the later ones as they were.
TEST(FloatToFloatFirstFailure, WithAMapTheOverflowLeavesTheRestUntouched) {
    const std::vector<double> src = {1.0, 1e39, 2.0};
    std::vector<float> dst = {-7.0f, -8.0f, -9.0f};
    const CastOutcome outcome = convert_slice_float_to_float<double, float>(
        src, dst, {{{5.0, 5.0f}}, std::nullopt, RoundingMode::NearestEven});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->display_text(), range_error_text("1000000000000000000000000000000000000000",
                                                        "-" + f32_bounds, f32_bounds));
    EXPECT_EQ(dst, (std::vector<float>{1.0f, -8.0f, -9.0f}));
}

TEST(FloatToFloatFirstFailure, NarrowingToFloat16) {
    const std::vector<float> src = {1.0f, 2.5f, 70000.0f, 3.0f};
    std::vector<float16> dst(4, float16{0x1234});
    const CastOutcome outcome = convert_slice_float_to_float<float, float16>(
        src, dst, {{}, OutOfRangeMode::Wrap, RoundingMode::NearestEven});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->display_text(), range_error_text("70000", "-65504", "65504"));
    EXPECT_EQ(std::vector<uint16_t>({dst[0].bits, dst[1].bits, dst[2].bits, dst[3].bits}),
              (std::vector<uint16_t>{0x3c00, 0x4100, 0x1234, 0x1234}));
}

TEST(FloatToFloatFirstFailure, DirectedModeOverflowFromFloat64ToFloat16) {
    const std::vector<double> src = {1.0, 65504.5, 2.0};
    std::vector<float16> dst(3, float16{0x1234});
    const CastOutcome outcome = convert_slice_float_to_float<double, float16>(
        src, dst, {{}, std::nullopt, RoundingMode::TowardsPositive});
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->display_text(), range_error_text("65504.5", "-65504", "65504"));
    EXPECT_EQ(std::vector<uint16_t>({dst[0].bits, dst[1].bits, dst[2].bits}),
              (std::vector<uint16_t>{0x3c00, 0x1234, 0x1234}));
}

TEST(FloatToFloatSlices, OnlyTheShorterLengthIsConverted) {
    const std::vector<float> src = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f};
    std::vector<double> dst(3, -1.0);
    EXPECT_FALSE((convert_slice_float_to_float<float, double>(
        src, dst, {{}, std::nullopt, RoundingMode::NearestEven})));
    EXPECT_EQ(dst, (std::vector<double>{1.0, 2.0, 3.0}));
    std::vector<float16> same(2, float16{0x1234});
    const std::vector<float16> halves = {float16{0x3c00}, float16{0x7c01}, float16{0x4000}};
    EXPECT_FALSE((convert_slice_float_to_float<float16, float16>(
        halves, std::span(same).first(1), {{}, OutOfRangeMode::Clamp, RoundingMode::NearestEven})));
    EXPECT_EQ(same[0].bits, 0x3c00);
    EXPECT_EQ(same[1].bits, 0x1234);
}

// The neighbour of v above (up) or below it, by the exact order of values:
// round v nudged by a sliver in the direction of travel.
template <FloatElement T>
T expected_neighbour(T v, bool up) {
    using namespace reference;
    const FloatFormat f = format_of<T>;
    const Exact x = exact_value(v);
    if (x.is_nan()) return v;
    if (x.is_infinite()) {
        if (x.negative != up) return v;
        return from_bits<T>((x.negative ? sign_bit_of(f) : 0) | max_finite_bits(f));
    }
    Exact nudged = x;
    nudged.magnitude <<= 4;
    nudged.exponent -= 4;
    if (x.magnitude == 0) {
        nudged = Exact{Exact::Kind::Finite, !up, 1, -1200};
    } else if (x.negative == up) {
        nudged.magnitude -= 1;
    } else {
        nudged.magnitude += 1;
    }
    return round_to<T>(nudged, up ? RoundingMode::TowardsPositive : RoundingMode::TowardsNegative);
}

template <FloatElement T>
void check_neighbours(const std::vector<T>& values) {
    MismatchLog log(std::string("next_up / next_down on ") + type_name<T>);
    for (const T v : values) {
        const T up = next_up(v), down = next_down(v);
        if (!same_element(up, expected_neighbour(v, true)))
            log.add("next_up of " + describe(v) + " gave " + describe(up));
        if (!same_element(down, expected_neighbour(v, false))) {
            log.add("next_down of " + describe(v) + " gave " + describe(down));
        }
    }
}

TEST(RoundingSteps, NextUpAndNextDownOnEveryFloat16) {
    std::vector<float16> all;
    for (uint32_t b = 0; b <= 0xffff; ++b) all.push_back(float16{static_cast<uint16_t>(b)});
    check_neighbours(all);
}

TEST(RoundingSteps, NextUpAndNextDownOnFloat32AndFloat64) {
    std::vector<float> singles = float_edge_values<float>();
    const auto more_singles = random_floats<float>(scaled(200000, 20000), 0x1605);
    singles.insert(singles.end(), more_singles.begin(), more_singles.end());
    check_neighbours(singles);
    std::vector<double> doubles = float_edge_values<double>();
    const auto more_doubles = random_floats<double>(scaled(200000, 20000), 0x1606);
    doubles.insert(doubles.end(), more_doubles.begin(), more_doubles.end());
    check_neighbours(doubles);
}

}  // namespace
}  // namespace tolvane

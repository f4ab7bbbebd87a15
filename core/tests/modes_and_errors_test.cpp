#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <variant>

#include "cast_error.hpp"
#include "modes.hpp"

namespace tolvane {
namespace {

struct NumberCase {
    double value;
    const char* text;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.text << " from " << std::hexfloat << c.value; }

class FormatFloat64 : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FormatFloat64, ShortestPositional) {
    EXPECT_EQ(format_float64(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, FormatFloat64,
    ::testing::Values(NumberCase{300, "300"}, NumberCase{-129, "-129"},
                      NumberCase{2147483647, "2147483647"},
                      NumberCase{0x1p63, "9223372036854776000"},
                      NumberCase{-0x1p63, "-9223372036854776000"},
                      NumberCase{0x1p64, "18446744073709552000"},
                      NumberCase{9007199254740993.0, "9007199254740992"}, NumberCase{0.1, "0.1"},
                      NumberCase{1.5, "1.5"}, NumberCase{0.0000001, "0.0000001"},
                      NumberCase{3.4028234663852886e38, "340282346638528860000000000000000000000"},
                      NumberCase{1e39, "1000000000000000000000000000000000000000"},
                      NumberCase{0.0, "0"}, NumberCase{-0.0, "-0"},
                      NumberCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      NumberCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      NumberCase{std::numeric_limits<double>::infinity(), "inf"},
                      NumberCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      NumberCase{123.456, "123.456"}, NumberCase{-0.00125, "-0.00125"}));

TEST(FormatFloat64Subnormal, SmallestDoubleHasAllItsZeros) {
    EXPECT_EQ(format_float64(5e-324), "0." + std::string(323, '0') + "5");
}

TEST(CastErrorText, OutOfRangeAndNonFinite) {
    EXPECT_EQ(CastError::out_of_range(300, -128, 127).display_text(),
              "Value 300 out of range [-128, 127]. Set out_of_range='clamp' or "
              "out_of_range='wrap' to handle this.");
    EXPECT_EQ(CastError::non_finite_to_int(std::numeric_limits<double>::quiet_NaN()).display_text(),
              "Cannot cast NaN to integer type without scalar_map");
    EXPECT_EQ(CastError::non_finite_to_int(-std::numeric_limits<double>::infinity()).display_text(),
              "Cannot cast -inf to integer type without scalar_map");
}

TEST(CastErrorText, FailingSinkStopsTheText) {
    int calls = 0;
    const bool ok = CastError::fmt(CastError::out_of_range(1, 2, 3), [&](std::string_view) {
        ++calls;
        return false;
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 1);
}

struct ModeCase {
    const char* text;
    int expected;  // -1: rejected
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class RoundingModeParse : public ::testing::TestWithParam<ModeCase> {};

TEST_P(RoundingModeParse, ExactTextsOnly) {
    const auto parsed = RoundingMode::from_str(GetParam().text);
    if (GetParam().expected < 0) {
        ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
        EXPECT_EQ(std::get<std::string>(parsed),
                  std::string("Unknown rounding mode: ") + GetParam().text);
    } else {
        ASSERT_TRUE(std::holds_alternative<RoundingMode>(parsed));
        EXPECT_EQ(static_cast<int>(std::get<RoundingMode>(parsed).value), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RoundingModeParse,
    ::testing::Values(ModeCase{"nearest-even", 0}, ModeCase{"towards-zero", 1},
                      ModeCase{"towards-positive", 2}, ModeCase{"towards-negative", 3},
                      ModeCase{"nearest-away", 4}, ModeCase{"Nearest-Even", -1},
                      ModeCase{"nearest_even", -1}, ModeCase{" nearest-even", -1},
                      ModeCase{"nearest-even ", -1}, ModeCase{"", -1},
                      ModeCase{"towards-positivE", -1}, ModeCase{"clamp", -1}));

class OutOfRangeModeParse : public ::testing::TestWithParam<ModeCase> {};

TEST_P(OutOfRangeModeParse, ExactTextsOnly) {
    const auto parsed = OutOfRangeMode::from_str(GetParam().text);
    if (GetParam().expected < 0) {
        ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
        EXPECT_EQ(std::get<std::string>(parsed),
                  std::string("Unknown out_of_range mode: ") + GetParam().text);
    } else {
        ASSERT_TRUE(std::holds_alternative<OutOfRangeMode>(parsed));
        EXPECT_EQ(static_cast<int>(std::get<OutOfRangeMode>(parsed).value), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, OutOfRangeModeParse,
                         ::testing::Values(ModeCase{"clamp", 0}, ModeCase{"wrap", 1},
                                           ModeCase{"CLAMP", -1}, ModeCase{"clamp ", -1},
                                           ModeCase{"", -1}, ModeCase{"nearest-even", -1}));

}  // namespace
}  // namespace tolvane

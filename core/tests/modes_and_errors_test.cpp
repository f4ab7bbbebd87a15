#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <variant>

#include "cast_error.hpp"
#include "modes.hpp"
#include "test_support.hpp"

namespace tolvane {
namespace {

struct NumberCase {
    double value;
    const char* text;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
    *os << c.text << " from " << std::hexfloat << c.value;
}

class FormatFloat64 : public ::testing::TestWithParam<NumberCase> {};

TEST_P(FormatFloat64, ShortestPositional) {
    EXPECT_EQ(format_float64(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, FormatFloat64,
    ::testing::Values(
        NumberCase{300, "300"}, NumberCase{-129, "-129"}, NumberCase{2147483647, "2147483647"},
        NumberCase{0x1p63, "9223372036854776000"}, NumberCase{-0x1p63, "-9223372036854776000"},
        NumberCase{0x1p64, "18446744073709552000"},
        NumberCase{9007199254740993.0, "9007199254740992"}, NumberCase{0.1, "0.1"},
        NumberCase{1.5, "1.5"}, NumberCase{0.0000001, "0.0000001"},
        NumberCase{3.4028234663852886e38, "340282346638528860000000000000000000000"},
        NumberCase{1e39, "1000000000000000000000000000000000000000"}, NumberCase{0.0, "0"},
        NumberCase{-0.0, "-0"}, NumberCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        NumberCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        NumberCase{std::numeric_limits<double>::infinity(), "inf"},
        NumberCase{-std::numeric_limits<double>::infinity(), "-inf"},
        NumberCase{123.456, "123.456"}, NumberCase{-0.00125, "-0.00125"}));

TEST(FormatFloat64Subnormal, SmallestDoubleHasAllItsZeros) {
    EXPECT_EQ(format_float64(5e-324), "0." + std::string(323, '0') + "5");
}

// The number rule checked on random values of every magnitude against the C
// library's correctly rounded printf and strtod: the text is positional,
// reads back exactly, has no shorter form that reads back, and among the
// shortest forms is the nearest one.
TEST(FormatFloat64Random, ShortestNearestPositionalDigits) {
    std::mt19937_64 rng(0x1101);
    const auto reads_back = [](const std::string& text, double value) {
        return std::strtod(text.c_str(), nullptr) == value;
    };
    for (size_t i = 0; i < testing_support::scaled(200000, 20000); ++i) {
        const double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value) || value == 0) continue;
        const std::string text = format_float64(value);
        ASSERT_TRUE(reads_back(text, value)) << text;
        ASSERT_EQ(text.find_first_not_of("-.0123456789"), std::string::npos) << text;
        ASSERT_EQ(text[0] == '-', value < 0) << text;
        const std::string unsigned_text = text.substr(value < 0 ? 1 : 0);
        const size_t point = unsigned_text.find('.');
        if (point != std::string::npos) {
            ASSERT_NE(unsigned_text.back(), '0') << text;
            ASSERT_TRUE(point == 1 || unsigned_text[0] != '0') << text;
        } else {
            ASSERT_NE(unsigned_text[0], '0') << text;
        }
        std::string digits;
        for (char c : unsigned_text) {
            if (c != '.') digits.push_back(c);
        }
        digits.erase(0, digits.find_first_not_of('0'));
        digits.erase(digits.find_last_not_of('0') + 1);
        const int k = static_cast<int>(digits.size());
        char buf[64];
        if (k > 1) {
            std::snprintf(buf, sizeof buf, "%.*e", k - 2, std::fabs(value));
            const std::string shorter(buf);
            const size_t e = shorter.find('e');
            std::string m = shorter.substr(0, e);
            m.erase(std::remove(m.begin(), m.end(), '.'), m.end());
            const uint64_t nearest = std::stoull(m);
            for (const uint64_t candidate : {nearest - 1, nearest, nearest + 1}) {
                const std::string c = std::to_string(candidate) + "e" +
                                      std::to_string(std::stoi(shorter.substr(e + 1)) - (k - 2));
                ASSERT_FALSE(reads_back(c, std::fabs(value)))
                    << text << " has the shorter form " << c;
            }
        }
        std::snprintf(buf, sizeof buf, "%.*e", k - 1, std::fabs(value));
        if (reads_back(buf, std::fabs(value))) {
            std::string m(buf, std::string_view(buf).find('e'));
            m.erase(std::remove(m.begin(), m.end(), '.'), m.end());
            m.erase(m.find_last_not_of('0') + 1);
            ASSERT_EQ(digits, m) << text << " is not the nearest shortest form " << buf;
        }
    }
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

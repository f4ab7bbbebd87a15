#include "float16.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "float_to_float.hpp"
#include "test_support.hpp"

namespace tolvane {
namespace {

using namespace testing_support;

std::vector<float16> every_float16() {
    std::vector<float16> all;
    all.reserve(65536);
    for (uint32_t b = 0; b <= 0xffff; ++b) all.push_back(float16{static_cast<uint16_t>(b)});
    return all;
}

// Every float16 pattern into every target type, under every rounding mode and
// out-of-range policy, with and without a scalar map (+0/-0, NaN and infinity
// sources among its entries).
class Float16Exhaustive : public ::testing::TestWithParam<PairCase> {};

TEST_P(Float16Exhaustive, EveryPatternMatchesExactArithmetic) { GetParam().run(); }

INSTANTIATE_TEST_SUITE_P(
    EveryTarget, Float16Exhaustive,
    ::testing::ValuesIn(
        pair_cases<TypeList<float16>, TypeList<int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t,
                                               uint32_t, uint64_t, float16, float, double>>(
            []<class S, class D>() {
                const std::vector<float16> src = every_float16();
                for (const auto& config : configs_for<S, D>(std::span<const S>(src))) {
                    check_against_reference<S, D>(src, config, 64);
                }
            })),
    pair_case_name);

// The float16 lookup works on patterns: -0 matches +0, any NaN matches the
// first NaN source, an infinity only itself.
TEST(Float16Map, PatternRules) {
    const std::vector<float16> src = every_float16();
    const CastConfig<float16, int32_t> config{{{float16{0x3c00}, 1},
                                               {float16{0x8000}, 2},
                                               {float16{0x7c00}, 3},
                                               {float16{0x7e00}, 4},
                                               {float16{0xfc01}, 5},
                                               {float16{0x0000}, 6}},
                                              OutOfRangeMode::Clamp,
                                              RoundingMode::NearestEven};
    std::vector<float16> without_nan = src;
    for (float16& v : without_nan) {
        if ((v.bits & 0x7fff) > 0x7c00) v = float16{0};
    }
    std::vector<int32_t> dst(src.size()), plain(src.size());
    ASSERT_FALSE((convert_slice_float_to_int<float16, int32_t>(src, dst, config)));
    ASSERT_FALSE((convert_slice_float_to_int<float16, int32_t>(
        without_nan, plain, {{}, OutOfRangeMode::Clamp, RoundingMode::NearestEven})));
    for (uint32_t b = 0; b <= 0xffff; ++b) {
        int32_t want = plain[b];
        if (b == 0x3c00) want = 1;
        if (b == 0x0000 || b == 0x8000) want = 2;
        if (b == 0x7c00) want = 3;
        if ((b & 0x7fff) > 0x7c00) want = 4;
        ASSERT_EQ(dst[b], want) << "pattern " << b;
    }
}

// float32 to float16 against the exact rounding, in shards by the low bits of
// the exponent. Every exponent and sign is taken with all 2^13 patterns of the
// bits that rounding drops, below a sample of upper parts; natively,
// nearest-even takes every pattern whose exponent lets the result be other
// than a zero, an infinity or a NaN (2^-28 to 2^17 in magnitude).
class Float32ToFloat16 : public ::testing::TestWithParam<int> {};

TEST_P(Float32ToFloat16, EveryModeMatchesExactRounding) {
    const uint32_t shard = static_cast<uint32_t>(GetParam());
    std::vector<float> src(1u << 16);
    std::vector<float16> dst(src.size());
    std::vector<uint32_t> patterns(src.size());
    std::mt19937_64 rng(0x1701 + shard);
    for (const RoundingMode mode : all_rounding_modes) {
        MismatchLog log(std::string("float32 to float16, ") + mode_text(mode));
        const CastConfig<float, float16> config{{}, OutOfRangeMode::Clamp, mode};
        const size_t sampled = mode == RoundingMode::NearestEven ? 16 : scaled(8, 2);
        for (uint32_t sign = 0; sign < 2; ++sign) {
            for (uint32_t exponent_high = 0; exponent_high < 16; ++exponent_high) {
                const uint32_t exponent = (exponent_high << 4) | shard;
                const bool every_pattern = mode == RoundingMode::NearestEven && !slowed_run &&
                                           exponent >= 99 && exponent <= 143;
                std::vector<uint32_t> uppers = {0, 0x3ff};  // bits 13 to 22 of the fraction
                if (every_pattern) {
                    for (uint32_t u = 1; u < 0x3ff; ++u) uppers.push_back(u);
                } else {
                    for (size_t k = 0; k < sampled; ++k)
                        uppers.push_back(static_cast<uint32_t>(rng() & 0x3ff));
                }
                for (size_t u = 0; u < uppers.size(); u += 8) {
                    size_t count = 0;
                    for (size_t k = u; k < std::min(uppers.size(), u + 8); ++k) {
                        for (uint32_t low = 0; low < (1u << 13); ++low) {
                            patterns[count++] =
                                (sign << 31) | (exponent << 23) | (uppers[k] << 13) | low;
                        }
                    }
                    for (size_t i = 0; i < count; ++i) src[i] = std::bit_cast<float>(patterns[i]);
                    ASSERT_FALSE((convert_slice_float_to_float<float, float16>(
                        std::span(src).first(count), std::span(dst).first(count), config)));
                    for (size_t i = 0; i < count; ++i) {
                        const reference::Exact x =
                            reference::decode(patterns[i], reference::binary32);
                        const uint16_t got = dst[i].bits;
                        const bool ok =
                            x.is_nan()
                                ? (got & 0x7fff) > 0x7c00
                                : got ==
                                      reference::round_to_format(x, reference::binary16, mode).bits;
                        if (!ok)
                            log.add("float32 pattern " + std::to_string(patterns[i]) + " gave " +
                                    std::to_string(got));
                    }
                    ASSERT_LT(log.count(), 50u);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, Float32ToFloat16, ::testing::Range(0, 16));

// The standalone conversions agree with the exact ones on random inputs.
TEST(Float16Conversions, WideningIsExactAndFloat64NarrowingRoundsTwice) {
    for (uint32_t b = 0; b <= 0xffff; ++b) {
        const float16 v{static_cast<uint16_t>(b)};
        const reference::Exact x = reference::exact_value(v);
        if (x.is_nan()) {
            EXPECT_TRUE(std::isnan(float16_to_float32(v)));
            EXPECT_TRUE(std::isnan(to_float64(v)));
            continue;
        }
        ASSERT_EQ(
            std::bit_cast<uint32_t>(float16_to_float32(v)),
            reference::round_to_format(x, reference::binary32, RoundingMode::NearestEven).bits);
        ASSERT_EQ(
            std::bit_cast<uint64_t>(float16_to_float64(v)),
            reference::round_to_format(x, reference::binary64, RoundingMode::NearestEven).bits);
    }
    std::mt19937_64 rng(0x1702);
    for (size_t i = 0; i < scaled(1000000, 100000); ++i) {
        // float64 values around the float16 range, most of them inexact in float32
        const uint64_t bits = (rng() & 0x800fffffffffffffull) | ((0x3e0ull + rng() % 48) << 52);
        const double x = std::bit_cast<double>(bits);
        const float16 want =
            reference::round_to<float16>(reference::exact_value(reference::round_to<float>(
                                             reference::exact_value(x), RoundingMode::NearestEven)),
                                         RoundingMode::NearestEven);
        ASSERT_EQ(float64_to_float16(x).bits, want.bits) << x;
    }
}

}  // namespace
}  // namespace tolvane

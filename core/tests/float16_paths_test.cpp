// The half-precision fast paths against today's scalar conversion (the kernel
// pinned to no vector target), bit for bit, over float32 patterns: every one
// of the 2^32 under each mode with TOLVANE_FLOAT16_SWEEP=whole in the
// environment, by default every pattern of an evenly spread share of the
// 65536 upper halves, and of those near the float16 range's edges. float64
// sources are swept near the same values: each float32 value, one float64
// unit either side, and the float32 midpoints above it. Every float16 pattern
// is widened. Then the paths with flush-to-zero set.
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "float_to_float.hpp"
#include "simd/simd.hpp"
#include "simd/targets.hpp"
#include "test_support.hpp"

namespace tolvane {
namespace {

using simd::Target;

constexpr RoundingMode swept_modes[] = {RoundingMode::NearestEven, RoundingMode::TowardsZero,
                                        RoundingMode::TowardsPositive,
                                        RoundingMode::TowardsNegative};

// Every how many upper halves the sweep takes.
uint32_t upper_half_stride() {
    const char* sweep = std::getenv("TOLVANE_FLOAT16_SWEEP");
    if (sweep != nullptr && std::string(sweep) == "whole") return 1;
    return testing_support::slowed_run ? 4001 : 61;
}

// Upper halves at zero, float16's subnormals, its normal range's start,
// 65504..65536 and the infinities and NaNs, of both signs, and natively
// their neighbours.
bool near_float16_edges(uint32_t upper) {
    const uint32_t magnitude = upper & 0x7fff;
    const uint32_t reach = testing_support::slowed_run ? 0 : 1;
    for (const uint32_t edge : {0x0000u, 0x3380u, 0x3880u, 0x477fu, 0x7f80u}) {
        if (magnitude + reach >= edge && magnitude <= edge + reach) return true;
    }
    return false;
}

std::vector<uint32_t> swept_upper_halves() {
    std::vector<uint32_t> halves;
    const uint32_t stride = upper_half_stride();
    for (uint32_t upper = 0; upper <= 0xffff; ++upper) {
        if (upper % stride == 0 || near_float16_edges(upper)) halves.push_back(upper);
    }
    return halves;
}

// The targets with half-precision conversions, found by asking each.
std::vector<Target> half_precision_targets() {
    std::vector<Target> found;
    const float one = 1.0f;
    float16 out{};
    for (const Target target : simd::supported_targets()) {
        simd::set_target_override(target);
        if (simd::try_f32_to_f16({&one, 1}, {&out, 1}, RoundingMode::NearestEven, true).converted) {
            found.push_back(target);
        }
    }
    simd::set_target_override(std::nullopt);
    return found;
}

template <class S, class D>
void expect_same_as_scalar(Target target, std::span<const S> src, RoundingMode mode,
                           std::vector<D>& expected, std::vector<D>& got) {
    const CastConfig<S, D> config{{}, OutOfRangeMode::Clamp, mode};
    ASSERT_TRUE(simd::set_target_override(Target::None));
    ASSERT_FALSE((convert_slice_float_to_float<S, D>(src, expected, config)));
    ASSERT_TRUE(simd::set_target_override(target));
    simd::FastPathOutcome outcome;
    if constexpr (std::same_as<D, float>) {
        outcome = simd::try_f16_to_f32(src, got);
    } else if constexpr (std::same_as<S, float>) {
        outcome = simd::try_f32_to_f16(src, got, mode, false);
    } else {
        outcome = simd::try_f64_to_f16(src, got, mode, false);
    }
    ASSERT_TRUE(outcome.converted);
    if (std::memcmp(expected.data(), got.data(), got.size() * sizeof(D)) == 0) return;
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::memcmp(&expected[i], &got[i], sizeof(D)) != 0) {
            uint64_t source_bits = 0;
            std::memcpy(&source_bits, &src[i], sizeof(S));
            FAIL() << "target " << simd::target_name(target) << ", mode " << int(mode.value)
                   << ", source bits 0x" << std::hex << source_bits;
        }
    }
}

class Float16Sweep : public ::testing::TestWithParam<Target> {
protected:
    void TearDown() override { simd::set_target_override(std::nullopt); }
};

TEST_P(Float16Sweep, Float32PatternsNarrowAsTheScalarConversion) {
    std::vector<float> src(1 << 16);
    std::vector<float16> expected(src.size()), got(src.size());
    for (const RoundingMode mode : swept_modes) {
        for (const uint32_t upper : swept_upper_halves()) {
            for (uint32_t lower = 0; lower <= 0xffff; ++lower) {
                src[lower] = std::bit_cast<float>(upper << 16 | lower);
            }
            expect_same_as_scalar<float, float16>(GetParam(), src, mode, expected, got);
            if (HasFatalFailure()) return;
        }
    }
}

TEST_P(Float16Sweep, Float64NeighboursNarrowAsTheScalarConversion) {
    // One float64 unit below and above, and the float32 midpoint above with
    // the units either side of it: 2^28 float64 units are half a float32 one.
    constexpr int64_t offsets[] = {-1, 1, (1 << 28) - 1, 1 << 28, (1 << 28) + 1};
    const std::vector<uint32_t> halves = swept_upper_halves();
    std::vector<double> src(size_t{1} << 16);
    std::vector<float16> expected(src.size()), got(src.size());
    for (const RoundingMode mode : swept_modes) {
        for (size_t h = 0; h < halves.size(); h += 4) {
            for (const int64_t offset : offsets) {
                for (uint32_t lower = 0; lower <= 0xffff; ++lower) {
                    const double wide = std::bit_cast<float>(halves[h] << 16 | lower);
                    src[lower] = std::bit_cast<double>(std::bit_cast<int64_t>(wide) + offset);
                }
                expect_same_as_scalar<double, float16>(GetParam(), src, mode, expected, got);
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST_P(Float16Sweep, EveryFloat16PatternWidensAsTheScalarConversion) {
    std::vector<float16> src(1 << 16);
    for (uint32_t bits = 0; bits <= 0xffff; ++bits)
        src[bits] = float16{static_cast<uint16_t>(bits)};
    std::vector<float> expected(src.size()), got(src.size());
    expect_same_as_scalar<float16, float>(GetParam(), src, RoundingMode::NearestEven, expected,
                                          got);
}

// Flush-to-zero and denormals-are-zero (MXCSR) or flush-to-zero for single
// and half precision (FPCR) for the scope's lifetime, as a caller's code
// might leave them; the previous state comes back at the end.
class FlushToZeroScope {
public:
#if defined(__x86_64__)
    FlushToZeroScope() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~FlushToZeroScope() { _mm_setcsr(saved_); }
    static constexpr bool available = true;

private:
    unsigned saved_;
#elif defined(__aarch64__)
    FlushToZeroScope() {
        __asm__ volatile("mrs %0, fpcr" : "=r"(saved_));
        const uint64_t flushing = saved_ | (1u << 24) | (1u << 19);
        __asm__ volatile("msr fpcr, %0" : : "r"(flushing));
    }
    ~FlushToZeroScope() { __asm__ volatile("msr fpcr, %0" : : "r"(saved_)); }
    static constexpr bool available = true;

private:
    uint64_t saved_;
#else
    static constexpr bool available = false;
#endif
};

// With flushing set, each path gives what the software conversion gives in
// the default state, or declines without writing.
template <class S, class D>
void expect_software_result_or_decline(Target target, const std::vector<S>& src) {
    std::vector<std::vector<D>> expected;
    for (const RoundingMode mode : swept_modes) {
        expected.emplace_back(src.size());
        simd::set_target_override(Target::None);
        const CastConfig<S, D> config{{}, OutOfRangeMode::Clamp, mode};
        ASSERT_FALSE((convert_slice_float_to_float<S, D>(src, expected.back(), config)));
    }
    simd::set_target_override(target);
    const D fill = std::bit_cast<D>(std::array<uint8_t, sizeof(D)>{0x5a, 0x7d});
    std::vector<std::vector<D>> got(std::size(swept_modes), std::vector<D>(src.size(), fill));
    std::vector<simd::FastPathOutcome> outcomes;
    {
        const FlushToZeroScope flushing;
        for (size_t m = 0; m < std::size(swept_modes); ++m) {
            if constexpr (std::same_as<D, float>) {
                outcomes.push_back(simd::try_f16_to_f32(src, got[m]));
            } else if constexpr (std::same_as<S, float>) {
                outcomes.push_back(simd::try_f32_to_f16(src, got[m], swept_modes[m], true));
            } else {
                outcomes.push_back(simd::try_f64_to_f16(src, got[m], swept_modes[m], true));
            }
        }
    }
    for (size_t m = 0; m < std::size(swept_modes); ++m) {
        EXPECT_FALSE(outcomes[m].error);
        for (size_t i = 0; i < src.size(); ++i) {
            const D want = outcomes[m].converted ? expected[m][i] : fill;
            EXPECT_EQ(std::memcmp(&got[m][i], &want, sizeof(D)), 0)
                << "mode " << int(swept_modes[m].value) << ", element " << i;
        }
    }
}

TEST_P(Float16Sweep, FlushToZeroGivesTheSoftwareResultsOrDeclines) {
    if (!FlushToZeroScope::available) GTEST_SKIP() << "no flushing control on this processor";
    std::vector<float> f32;
    for (const uint32_t bits : {0x00000001u, 0x80000001u, 0x007fffffu, 0x80400000u, 0x33800000u,
                                0x33c00000u, 0xb4000000u, 0x38800000u, 0x387fe000u, 0x3fc00000u}) {
        f32.push_back(std::bit_cast<float>(bits));
    }
    const std::vector<double> f64 = {0x1p-1074, -0x1p-1074, 1e-40,    -1e-40,  0x1p-149,
                                     0x1p-24,   0x1.8p-25,  -0x1p-20, 0x1p-14, 1.5};
    std::vector<float16> f16;
    for (const uint16_t bits : {0x0001, 0x8001, 0x03ff, 0x8200, 0x0400, 0x3c00}) {
        f16.push_back(float16{bits});
    }
    // Sixteen copies, so that the paths' vector blocks meet each value.
    const auto repeated = [](auto values) {
        auto all = values;
        for (int k = 0; k < 15; ++k) all.insert(all.end(), values.begin(), values.end());
        return all;
    };
    expect_software_result_or_decline<float, float16>(GetParam(), repeated(f32));
    expect_software_result_or_decline<double, float16>(GetParam(), repeated(f64));
    expect_software_result_or_decline<float16, float>(GetParam(), repeated(f16));
}

std::string target_test_name(const ::testing::TestParamInfo<Target>& info) {
    std::string name(simd::target_name(info.param));
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(HalfPrecisionTargets, Float16Sweep,
                         ::testing::ValuesIn(half_precision_targets()), target_test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Float16Sweep);

}  // namespace
}  // namespace tolvane

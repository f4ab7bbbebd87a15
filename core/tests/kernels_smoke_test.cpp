#include <gtest/gtest.h>

#include "float_to_float.hpp"
#include "float_to_int.hpp"
#include "int_to_float.hpp"
#include "int_to_int.hpp"

namespace tolvane {
namespace {

template <class S, class D>
D convert_one_ff(S x, RoundingMode mode, OutOfRangePolicy policy = std::nullopt) {
    CastConfig<S, D> config{{}, policy, mode};
    D out{};
    const CastOutcome result = convert_slice_float_to_float<S, D>(std::span<const S>(&x, 1), std::span<D>(&out, 1), config);
    EXPECT_FALSE(result);
    return out;
}

TEST(KernelsCompile, AllFamiliesInstantiate) {
    const int16_t a[] = {300, 5};
    int8_t b[2] = {};
    CastConfig<int16_t, int8_t> c1{{}, OutOfRangeMode::Wrap};
    EXPECT_FALSE((convert_slice_int_to_int<int16_t, int8_t>(a, b, c1)));
    EXPECT_EQ(b[0], 44);

    const double d[] = {0.49999999999999994, 0x1p60};
    int8_t e[2] = {};
    CastConfig<double, int8_t> c2{{}, OutOfRangeMode::Wrap, RoundingMode::NearestAway};
    EXPECT_FALSE((convert_slice_float_to_int<double, int8_t>(d, e, c2)));
    EXPECT_EQ(e[0], 0);
    EXPECT_EQ(e[1], 0);

    const uint64_t f[] = {18446744073709551615ull};
    float g[1] = {};
    CastConfig<uint64_t, float> c3{{}, RoundingMode::TowardsZero};
    EXPECT_FALSE((convert_slice_int_to_float<uint64_t, float>(f, g, c3)));
    EXPECT_EQ(g[0], 18446742974197923840.0f);

    EXPECT_EQ((convert_one_ff<double, float>(1e39, RoundingMode::TowardsZero)), 3.4028234663852886e38f);
}

}  // namespace
}  // namespace tolvane

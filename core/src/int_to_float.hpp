// Integer-to-float kernel.
#pragma once

#include <algorithm>
#include <span>

#include "block_loops.hpp"
#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "float16.hpp"
#include "rounding.hpp"
#include "simd/simd.hpp"

namespace tolvane {

template <IntegerElement S, FloatElement D>
CastOutcome convert_slice_int_to_float(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config);

namespace detail {

// x converted to D with round to nearest, ties to even: one rounding of the
// exact integer (into float16 through float32, which is exact below 2^24 and
// overflows alike above).
template <FloatElement D, IntegerElement S>
inline D nearest_from_integer(S x) {
    if constexpr (std::same_as<D, float16>) {
        return float32_to_float16(static_cast<float>(x));
    } else {
        return static_cast<D>(x);
    }
}

// The exact source value that directed modes compare with.
template <IntegerElement S>
inline auto exact_integer(S x) {
    if constexpr (sizeof(S) == 8) {
        return ExactInteger{static_cast<__int128>(x)};
    } else {
        return ExactFloat64{static_cast<double>(x)};
    }
}

// Whether every value of S is exact in D, so that no mode can change a result.
template <IntegerElement S, FloatElement D>
inline constexpr bool int_exact_in =
    std::numeric_limits<S>::digits <= (std::same_as<D, double>    ? 53
                                       : std::same_as<D, float>   ? 24
                                                                  : 11);

// The element loop: scalar map, then the nearest result moved to the mode.
template <IntegerElement S, FloatElement D>
CastOutcome int_to_float_loop(const S* in, D* out, size_t n, const CastConfig<S, D>& config,
                              bool nearest) {
    const std::span<const MapEntry<S, D>> map(config.scalar_map);
    for (size_t i = 0; i < n; ++i) {
        const S x = in[i];
        if (!map.empty()) {
            if (const D* target = find_map_target(map, x)) {
                out[i] = *target;
                continue;
            }
        }
        const D r = nearest_from_integer<D>(x);
        out[i] = nearest ? r : apply_rounding_mode(r, exact_integer(x), config.rounding);
    }
    return std::nullopt;
}

template <IntegerElement S, FloatElement D>
struct IntToFloatNearestRule : StagedAsTarget<D> {
    static constexpr bool checks = false;
    static D stage(S x) { return nearest_from_integer<D>(x); }
};

}  // namespace detail

template <IntegerElement S, FloatElement D>
CastOutcome convert_slice_int_to_float(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config) {
    const size_t n = std::min(src.size(), dst.size());
    if (n == 0) return std::nullopt;
    const S* in = src.data();
    D* out = dst.data();
    const std::span<const MapEntry<S, D>> map(config.scalar_map);
    const bool nearest = config.rounding == RoundingMode::NearestEven ||
                         detail::int_exact_in<S, D>;
    if (!nearest) return detail::int_to_float_loop(in, out, n, config, false);
    if constexpr (std::same_as<S, int64_t> && std::same_as<D, float>) {
        if (map.empty() && n >= detail::short_slice_elements &&
            simd::try_i64_to_f32_nearest(src.first(n), dst.first(n)).converted) {
            return std::nullopt;
        }
    }

    using Rule = detail::IntToFloatNearestRule<S, D>;
    if (map.empty()) {
        detail::convert_elements<Rule>(in, out, n);
        return std::nullopt;
    }
    const auto element_loop = [&config](const S* x, D* y, size_t len) {
        return detail::int_to_float_loop(x, y, len, config, true);
    };
    return detail::convert_in_blocks<Rule>(in, out, n, map, element_loop);
}

}  // namespace tolvane

// Integer-to-float kernel.
#pragma once

#include <algorithm>
#include <bit>
#include <span>

#include "block_loops.hpp"
#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "float16.hpp"
#include "rounding.hpp"
#include "rules/int_to_float.hpp"
#include "simd/simd.hpp"

namespace tolvane {

template <IntegerElement S, FloatElement D>
CastOutcome convert_slice_int_to_float(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config);

namespace detail {

template <RoundingMode::Value Mode, IntegerElement S, FloatElement D>
void int_to_float_in_blocks(const S* in, D* out, size_t n) {
    using Rule = IntToFloatRule<Mode, S, D>;
    if constexpr (Mode == RoundingMode::NearestEven) {
        convert_elements<Rule>(in, out, n);
    } else {
        for (size_t i = 0; i < n; i = convert_blocks<Rule>(in, out, i, n)) {
        }
    }
}

}  // namespace detail

template <IntegerElement S, FloatElement D>
CastOutcome convert_slice_int_to_float(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config) {
    const size_t n = std::min(src.size(), dst.size());
    if (n == 0) return std::nullopt;
    const S* in = src.data();
    D* out = dst.data();
    const bool nearest = config.rounding == RoundingMode::NearestEven ||
                         detail::int_exact_in<S, D>;
    if (!config.scalar_map.empty()) {
        // Nothing can fail: the map folds into the conversion's one pass
        // where it can.
        const std::span map(config.scalar_map);
        if constexpr (std::same_as<S, int64_t> && std::same_as<D, float>) {
            // The scalar conversions a vector at a time, as without a map;
            // the rest, shorter than a vector, goes the ways below.
            const auto padded = nearest ? detail::padded_map(map, n) : std::nullopt;
            if (const size_t done =
                    padded ? simd::i64_to_f32_nearest_mapped(src.first(n), dst.first(n), *padded)
                           : 0) {
                return convert_slice_int_to_float<S, D>(src.subspan(done, n - done),
                                                        dst.subspan(done, n - done), config);
            }
        }
        if constexpr (sizeof(S) == 8 && std::same_as<D, double>) {
            // One entry in the directed modes' block loops, with its
            // stand-in put in: 0.85 of the time of the one-pass loop below,
            // which four entries take in less.
            const auto padded = !nearest && detail::folded_map_loops_run()
                                    ? detail::padded_map(map, n)
                                    : std::nullopt;
            const auto unmapped = [plain = without_map(config)](const S* x, D* y, size_t len) {
                return convert_slice_int_to_float<S, D>({x, len}, {y, len}, plain);
            };
            const auto stand_ins = padded && padded->one ? detail::stand_ins_for(*padded, unmapped)
                                                         : std::nullopt;
            if (stand_ins) {
                const detail::Substituted<1, S> load{
                    detail::StandIns<1, S>(padded->sources, stand_ins->data())};
                with_rounding_mode(config.rounding, [&](auto mode) {
                    using Rule = detail::IntToFloatRule<mode.value, S, D>;
                    size_t i = 0;
                    while (i < n) i = detail::convert_blocks<Rule>(in, out, i, n, load);
                });
                return std::nullopt;
            }
        }
        const bool done = with_rounding_mode(
            nearest ? RoundingMode::NearestEven : config.rounding.value, [&](auto mode) {
                return detail::convert_elements_with_map<
                    detail::IntToFloatRule<mode.value, S, D>>(in, out, n, map);
            });
        if (done) return std::nullopt;
        return detail::convert_mapped<detail::UnmappedFailure::Never>(
            in, out, n, std::span(config.scalar_map),
            [plain = without_map(config)](const S* x, D* y, size_t len) {
                return convert_slice_int_to_float<S, D>({x, len}, {y, len}, plain);
            },
            [&config, nearest](const S* x, D* y, size_t len) {
                return detail::int_to_float_loop(x, y, len, config, nearest);
            });
    }
    if constexpr (std::same_as<S, int64_t> && std::same_as<D, float>) {
        if (nearest && n >= detail::short_slice_elements &&
            simd::try_i64_to_f32_nearest(src.first(n), dst.first(n)).converted) {
            return std::nullopt;
        }
    }
    with_rounding_mode(nearest ? RoundingMode::NearestEven : config.rounding.value, [&](auto mode) {
        detail::int_to_float_in_blocks<mode.value>(in, out, n);
    });
    return std::nullopt;
}

}  // namespace tolvane

// Float-to-float kernel.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>

#include "block_loops.hpp"
#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "float16.hpp"
#include "fp_state.hpp"
#include "rounding.hpp"
#include "rules/float_to_float.hpp"
#include "simd/simd.hpp"

namespace tolvane {

template <FloatElement S, FloatElement D>
CastOutcome convert_slice_float_to_float(std::span<const S> src, std::span<D> dst,
                                         const CastConfig<S, D>& config);

namespace detail {

// The block loops, with a map folded into their loads where `load` puts
// its stand-ins in; the element loop then applies the map itself.
template <RoundingMode::Value Mode, FloatElement S, FloatElement D, class Load = AsIs>
CastOutcome float_to_float_in_blocks(const S* in, D* out, size_t n,
                                     const CastConfig<S, D>& config, Load load = {}) {
    using Checked = FloatToFloatRule<Mode, true, S, D>;
    if constexpr (Checked::checks) {
        if (is_narrowing<S, D> && config.out_of_range != OutOfRangeMode::Clamp) {
            return convert_in_blocks<Checked>(
                in, out, n,
                [&config](const S* x, D* y, size_t len) {
                    constexpr bool directed = Mode != RoundingMode::NearestEven;
                    constexpr bool mapped = !std::same_as<Load, AsIs>;
                    return float_to_float_loop<directed, mapped, true>(x, y, len, config);
                },
                load);
        }
    }
    convert_elements<FloatToFloatRule<Mode, false, S, D>>(in, out, n, load);
    return std::nullopt;
}

// Narrowing to float16 with a map folded into the vector blocks: the blocks,
// then the element loop for a block's worth from the one with an infinite
// result (an infinite source, or an overflow, which fails), then the blocks
// again. Nothing, having written nothing, where the vector paths decline.
template <FloatElement S, class ElementLoop>
std::optional<CastOutcome> float16_with_map(const S* in, float16* out, size_t n,
                                            const CastConfig<S, float16>& config,
                                            const simd::StandInMap<S>& map,
                                            ElementLoop& element_loop) {
    const bool check_overflow = config.out_of_range != OutOfRangeMode::Clamp;
    const auto blocks = [&](size_t i) {
        if constexpr (std::same_as<S, float>) {
            return simd::try_f32_to_f16_mapped({in + i, n - i}, {out + i, n - i}, config.rounding,
                                               check_overflow, map);
        } else {
            return simd::try_f64_to_f16_mapped({in + i, n - i}, {out + i, n - i}, config.rounding,
                                               check_overflow, map);
        }
    };
    std::optional<size_t> written = blocks(0);
    if (!written) return std::nullopt;
    size_t i = *written;
    while (i < n) {
        const size_t len = std::min(block_elements, n - i);
        if (CastOutcome error = element_loop(in + i, out + i, len)) return error;
        i += len;
        if (i < n) i += blocks(i).value_or(0);
    }
    return CastOutcome{};
}

}  // namespace detail

template <FloatElement S, FloatElement D>
CastOutcome convert_slice_float_to_float(std::span<const S> src, std::span<D> dst,
                                         const CastConfig<S, D>& config) {
    const size_t n = std::min(src.size(), dst.size());
    if (n == 0) return std::nullopt;
    if (!config.scalar_map.empty()) {
        const std::span map(config.scalar_map);
        if constexpr (!detail::is_narrowing<S, D>) {
            if (detail::convert_exact_with_map(src.data(), dst.data(), n, map)) {
                return std::nullopt;
            }
        }
        // Only a narrowing that overflows without Clamp fails.
        const auto unmapped = [plain = without_map(config)](const S* x, D* y, size_t len) {
            return convert_slice_float_to_float<S, D>({x, len}, {y, len}, plain);
        };
        const auto element_loop = [&config](const S* x, D* y, size_t len) {
            return detail::float_to_float_mapped_loop(x, y, len, config);
        };
        if constexpr (std::same_as<D, float16> && !std::same_as<S, float16>) {
            if (const auto folded = detail::vector_stand_in_map(map, n, unmapped)) {
                if (auto result = detail::float16_with_map(src.data(), dst.data(), n, config,
                                                           *folded, element_loop)) {
                    return *result;
                }
            }
        }
        if constexpr (std::same_as<S, float16> && std::same_as<D, float>) {
            // The vector blocks with the targets selected in after the
            // widening, then the rest, shorter than a block.
            if (const auto padded = detail::padded_map(map, n)) {
                simd::StandInMap<float> targets{};
                for (size_t e = 0; e < std::size(targets.sources); ++e) {
                    targets.sources[e] = float16_to_float32(padded->sources[e]);
                    targets.stand_ins[e] = padded->targets[e];
                }
                targets.one = padded->one;
                if (const auto written =
                        simd::try_f16_to_f32_mapped(src.first(n), dst.first(n), targets)) {
                    return detail::convert_mapped<detail::UnmappedFailure::Never>(
                        src.data() + *written, dst.data() + *written, n - *written, map,
                        unmapped, element_loop);
                }
            }
        }
        if constexpr (std::same_as<S, double> && std::same_as<D, float>) {
            // The vector blocks with the stand-ins put in, then the element
            // loop from the first block that may overflow.
            const auto folded = config.rounding == RoundingMode::NearestEven
                                    ? detail::vector_stand_in_map(map, n, unmapped)
                                    : std::nullopt;
            if (folded) {
                const bool check = config.out_of_range != OutOfRangeMode::Clamp;
                if (const auto written = simd::try_f64_to_f32_nearest_mapped(
                        src.first(n), dst.first(n), check, *folded)) {
                    return element_loop(src.data() + *written, dst.data() + *written,
                                        n - *written);
                }
            }
        }
        if constexpr (std::same_as<S, double> && std::same_as<D, float>) {
            // One entry in a directed mode, its stand-in folded into the
            // block loops' loads where the unmapped conversion takes them
            // too. Four entries measured no faster there than the passes.
            const std::optional<S> stand_in =
                map.size() == 1 && n >= detail::short_slice_elements &&
                        config.rounding != RoundingMode::NearestEven &&
                        detail::folded_map_loops_run() &&
                        !detail::thread_reads_subnormals_as_zero()
                    ? detail::stand_in_for<S>(map[0].target, unmapped)
                    : std::nullopt;
            if (stand_in) {
                const S source = map[0].source;
                const detail::Substituted<1, S> substituted{
                    detail::StandIns<1, S>(&source, &*stand_in)};
                return with_rounding_mode(config.rounding, [&](auto mode) -> CastOutcome {
                    constexpr RoundingMode::Value m = mode.value;
                    if constexpr (m == RoundingMode::NearestEven) {
                        return element_loop(src.data(), dst.data(), n);
                    } else if (is_nan(source)) {
                        return detail::float_to_float_in_blocks<m>(
                            src.data(), dst.data(), n, config,
                            detail::NanSubstituted<S>{*stand_in});
                    } else {
                        return detail::float_to_float_in_blocks<m>(src.data(), dst.data(), n,
                                                                   config, substituted);
                    }
                });
            }
        }
        if (detail::is_narrowing<S, D> && config.out_of_range != OutOfRangeMode::Clamp) {
            return detail::convert_mapped<detail::UnmappedFailure::PastIt>(
                src.data(), dst.data(), n, map, unmapped, element_loop);
        }
        return detail::convert_mapped<detail::UnmappedFailure::Never>(
            src.data(), dst.data(), n, map, unmapped, element_loop);
    }
    // Widening and identity pairs are exact: no mode can change their results.
    const bool directed = detail::is_narrowing<S, D> && config.rounding != RoundingMode::NearestEven;

    if (!directed) {
        if constexpr (std::same_as<S, D>) {
            std::memmove(dst.data(), src.data(), n * sizeof(S));
            return std::nullopt;
        } else if constexpr (std::same_as<S, double> && std::same_as<D, float>) {
            const auto fast = simd::try_f64_to_f32_nearest(
                src.first(n), dst.first(n), config.out_of_range != OutOfRangeMode::Clamp);
            if (fast.converted || fast.error) return fast.error;
        }
    }
    // A few elements cost less in the loops below than the way to a vector path.
    if (config.rounding != RoundingMode::NearestAway && n >= detail::short_slice_elements) {
        const bool check_overflow = config.out_of_range != OutOfRangeMode::Clamp;
        simd::FastPathOutcome fast{};
        if constexpr (std::same_as<S, float> && std::same_as<D, float16>) {
            fast =
                simd::try_f32_to_f16(src.first(n), dst.first(n), config.rounding, check_overflow);
        } else if constexpr (std::same_as<S, double> && std::same_as<D, float16>) {
            fast =
                simd::try_f64_to_f16(src.first(n), dst.first(n), config.rounding, check_overflow);
        } else if constexpr (std::same_as<S, float16> && std::same_as<D, float>) {
            fast = simd::try_f16_to_f32(src.first(n), dst.first(n));
        }
        if (fast.converted || fast.error) return fast.error;
    }
    const S* in = src.data();
    D* out = dst.data();
    if constexpr (std::same_as<S, double> && std::same_as<D, float>) {
        // The block rule compares results with their sources in float64,
        // which denormals-are-zero would read as zero where subnormal; the
        // element loop widens them exactly.
        if (directed && detail::thread_reads_subnormals_as_zero()) {
            return config.out_of_range != OutOfRangeMode::Clamp
                       ? detail::float_to_float_loop<true, false, true>(in, out, n, config)
                       : detail::float_to_float_loop<true, false, false>(in, out, n, config);
        }
    }
    if constexpr (detail::is_narrowing<S, D>) {
        return with_rounding_mode(config.rounding, [&](auto mode) {
            return detail::float_to_float_in_blocks<mode.value>(in, out, n, config);
        });
    } else {
        return detail::float_to_float_in_blocks<RoundingMode::NearestEven>(in, out, n, config);
    }
}

}  // namespace tolvane

// Float-to-integer kernel.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <span>

#include "block_loops.hpp"
#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "float16.hpp"
#include "fp_state.hpp"
#include "rules/float_to_int.hpp"
#include "simd/simd.hpp"

namespace tolvane {

template <FloatElement S, IntegerElement D>
CastOutcome convert_slice_float_to_int(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config);

namespace detail {

// Whether the vector blocks take every call with a map that the block loops
// would fold in, under Clamp in `Mode`: x86-64 builds run the folded loops
// with AVX2 only, and leave these out.
template <RoundingMode::Value Mode, FloatElement S, IntegerElement D>
inline constexpr bool vector_blocks_take_clamped_maps =
#ifdef TOLVANE_AVX2_LOOPS
    simd::clamps_floats<S, D> ||
    (Mode != RoundingMode::NearestAway && !std::same_as<S, float16> &&
     (std::same_as<D, uint8_t> || (std::same_as<S, double> && std::same_as<D, int32_t>) ||
      (std::same_as<S, float> && sizeof(D) == 4)));
#else
    false;
#endif

// The block loops, with the call's one-entry map folded into their loads
// where `substituted` is given.
template <RoundingMode::Value Mode, FloatElement S, IntegerElement D>
CastOutcome float_to_int_in_blocks(const S* in, D* out, size_t n, const CastConfig<S, D>& config,
                                   const Substituted<1, S>* substituted = nullptr) {
    const auto element_loop = [&config](const S* x, D* y, size_t len) {
        return float_to_int_loop<Mode>(x, y, len, config);
    };
    if constexpr (Mode == RoundingMode::NearestEven && !vector_roundeven) {
        if (!thread_rounds_to_nearest()) return element_loop(in, out, n);
    }
    const auto run = [&]<RangeRule Range>() {
        using Rule = FloatToIntRule<Mode, Range, S, D>;
        // Without a map, a block with values from 2^51 on in a 64-bit D's
        // range (float16 has none) tries the loops that convert every bit
        // before the element loop.
        const auto block_loop = [&](const S* x, D* y, size_t len) -> CastOutcome {
            if constexpr (sizeof(D) == 8 && Range != RangeRule::Wrap &&
                          !std::same_as<S, float16>) {
                using WideRule = FloatToIntRule<Mode, Range, S, D, true>;
                if (!substituted && convert_blocks<WideRule>(x, y, 0, len) == len) {
                    return std::nullopt;
                }
            }
            return element_loop(x, y, len);
        };
        if constexpr (Range != RangeRule::Wrap && !std::same_as<S, float16> &&
                      !(Range == RangeRule::Clamp &&
                        vector_blocks_take_clamped_maps<Mode, S, D>)) {
            if (substituted) return convert_in_blocks<Rule>(in, out, n, block_loop, *substituted);
        }
        // The caller folds no map here.
        if (substituted) return element_loop(in, out, n);
        return convert_in_blocks<Rule>(in, out, n, block_loop);
    };
    if (!config.out_of_range) return run.template operator()<RangeRule::Check>();
    if (*config.out_of_range == OutOfRangeMode::Clamp) {
        return run.template operator()<RangeRule::Clamp>();
    }
    return run.template operator()<RangeRule::Wrap>();
}

// Whether a call without a map takes a vector fast path (where the
// processor has one): those pairs keep their maps in convert_mapped's
// passes, around the fast path.
template <FloatElement S, IntegerElement D>
inline bool has_fast_path(const CastConfig<S, D>& config) {
    if (config.rounding == RoundingMode::NearestAway) return false;
    if constexpr (std::same_as<D, uint8_t> && !std::same_as<S, float16>) {
        return config.out_of_range == OutOfRangeMode::Clamp;
    } else if constexpr (std::same_as<S, double> && std::same_as<D, int32_t>) {
        return config.out_of_range != OutOfRangeMode::Wrap;
    } else if constexpr (std::same_as<S, float> && sizeof(D) == 4) {
        return config.out_of_range == OutOfRangeMode::Clamp;
    } else {
        return false;
    }
}

// A call with a map of up to four entries, each with a stand-in, on a pair
// and policy with a fast path or with clamp_floats' blocks: those vector
// blocks with the stand-ins put in.
// Returns how many elements they wrote, or nothing where they don't run.
template <FloatElement S, IntegerElement D>
std::optional<size_t> fast_path_with_map(std::span<const S> src, std::span<D> dst, size_t n,
                                         const CastConfig<S, D>& config) {
    if constexpr (std::same_as<S, float16>) {
        return std::nullopt;
    } else {
        constexpr bool clamps = simd::clamps_floats<S, D>;
        constexpr bool checks = std::same_as<S, float> && std::same_as<D, int32_t>;
        const bool clamped = clamps && config.out_of_range == OutOfRangeMode::Clamp;
        const bool checked = checks && !config.out_of_range;
        if (!clamped && !checked && !has_fast_path(config)) return std::nullopt;
        const auto plain = without_map(config);
        const auto unmapped = [&plain](const S* x, D* y, size_t len) {
            return convert_slice_float_to_int<S, D>({x, len}, {y, len}, plain);
        };
        const auto folded = vector_stand_in_map(std::span(config.scalar_map), n, unmapped);
        if (!folded) return std::nullopt;
        const simd::StandInMap<S>& map = *folded;
        const auto x = src.first(n);
        const auto y = dst.first(n);
        const RoundingMode rounding = config.rounding;
        if constexpr (clamps) {
            return simd::clamp_floats(x, y, rounding, &map);
        } else if constexpr (std::same_as<D, uint8_t> && std::same_as<S, float>) {
            return simd::try_f32_to_u8_clamp_mapped(x, y, rounding, map);
        } else if constexpr (std::same_as<D, uint8_t>) {
            return simd::try_f64_to_u8_clamp_mapped(x, y, rounding, map);
        } else if constexpr (std::same_as<S, double> && std::same_as<D, int32_t>) {
            return config.out_of_range ? simd::try_f64_to_i32_clamp_mapped(x, y, rounding, map)
                                       : simd::try_f64_to_i32_check_mapped(x, y, rounding, map);
        } else if constexpr (checks) {
            return checked ? simd::f32_to_i32_checked(x, y, rounding, &map)
                           : simd::try_f32_to_i32_clamp_mapped(x, y, rounding, map);
        } else if constexpr (std::same_as<S, float> && std::same_as<D, uint32_t>) {
            return simd::try_f32_to_u32_clamp_mapped(x, y, rounding, map);
        } else {
            return std::nullopt;
        }
    }
}

// Runs the fast path of the pair, if it has one for this call. Returns true
// when the fast path settled the whole call (with `result` set).
template <FloatElement S, IntegerElement D>
inline bool try_float_to_int_fast_path(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config, CastOutcome& result) {
    if (!config.scalar_map.empty() || config.rounding == RoundingMode::NearestAway) return false;
    simd::FastPathOutcome outcome{};
    if constexpr (std::same_as<S, double> && std::same_as<D, uint8_t>) {
        if (config.out_of_range != OutOfRangeMode::Clamp) return false;
        outcome = simd::try_f64_to_u8_clamp(src, dst, config.rounding);
    } else if constexpr (std::same_as<S, float> && std::same_as<D, uint8_t>) {
        if (config.out_of_range != OutOfRangeMode::Clamp) return false;
        outcome = simd::try_f32_to_u8_clamp(src, dst, config.rounding);
    } else if constexpr (std::same_as<S, double> && std::same_as<D, int32_t>) {
        if (config.out_of_range == OutOfRangeMode::Clamp) {
            outcome = simd::try_f64_to_i32_clamp(src, dst, config.rounding);
        } else if (!config.out_of_range) {
            outcome = simd::try_f64_to_i32_check(src, dst, config.rounding);
        } else {
            return false;
        }
    } else if constexpr (std::same_as<S, float> && sizeof(D) == 4) {
        if (config.out_of_range != OutOfRangeMode::Clamp) return false;
        if constexpr (std::same_as<D, int32_t>) {
            outcome = simd::try_f32_to_i32_clamp(src, dst, config.rounding);
        } else {
            outcome = simd::try_f32_to_u32_clamp(src, dst, config.rounding);
        }
    } else {
        return false;
    }
    if (!outcome.converted && !outcome.error) return false;
    result = outcome.error;
    return true;
}

}  // namespace detail

template <FloatElement S, IntegerElement D>
CastOutcome convert_slice_float_to_int(std::span<const S> src, std::span<D> dst,
                                       const CastConfig<S, D>& config) {
    const size_t n = std::min(src.size(), dst.size());
    if (n == 0) return std::nullopt;
    if (!config.scalar_map.empty()) {
        const std::span map(config.scalar_map);
        auto unmapped = [plain = without_map(config)](const S* x, D* y, size_t len) {
            return convert_slice_float_to_int<S, D>({x, len}, {y, len}, plain);
        };
        if (const auto written = detail::fast_path_with_map(src, dst, n, config)) {
            const size_t i = *written;
            return detail::float_to_int_element_loop(src.data() + i, dst.data() + i, n - i,
                                                     config);
        }
        // One entry under "clamp" or no policy folds into the block loops
        // where its target has a stand-in (not from float16, whose loops
        // would copy it whole).
        if constexpr (!std::same_as<S, float16>) {
            if (map.size() == 1 && config.out_of_range != OutOfRangeMode::Wrap &&
                !detail::has_fast_path(config) && detail::folded_map_loops_run()) {
                const auto padded = detail::padded_map(map, n);
                const auto stand_ins =
                    padded ? detail::stand_ins_for(*padded, unmapped) : std::nullopt;
                if (stand_ins) {
                    const detail::Substituted<1, S> substituted{
                        detail::StandIns<1, S>(padded->sources, stand_ins->data())};
                    return with_rounding_mode(config.rounding, [&](auto mode) {
                        return detail::float_to_int_in_blocks<mode.value>(
                            src.data(), dst.data(), n, config, &substituted);
                    });
                }
            }
        }
        // NaN fails under every policy, so any chunk can fail.
        return detail::convert_mapped<detail::UnmappedFailure::BeforeIt>(
            src.data(), dst.data(), n, map, unmapped, [&config](const S* x, D* y, size_t len) {
                return detail::float_to_int_element_loop(x, y, len, config);
            });
    }
    CastOutcome fast;
    if (detail::try_float_to_int_fast_path(src.first(n), dst.first(n), config, fast)) return fast;
    // The vector blocks under Clamp, where the pair has them, up to a block
    // with a NaN; the block loops from there.
    size_t i = 0;
    if constexpr (simd::clamps_floats<S, D>) {
        if (config.out_of_range == OutOfRangeMode::Clamp) {
            const simd::StandInMap<S>* no_map = nullptr;
            i = simd::clamp_floats(src.first(n), dst.first(n), config.rounding, no_map)
                    .value_or(0);
        }
    } else if constexpr (std::same_as<S, float> && std::same_as<D, int32_t>) {
        if (!config.out_of_range) {
            const simd::StandInMap<S>* no_map = nullptr;
            i = simd::f32_to_i32_checked(src.first(n), dst.first(n), config.rounding, no_map)
                    .value_or(0);
        }
    }
    const S* in = src.data() + i;
    D* out = dst.data() + i;
    return with_rounding_mode(config.rounding, [&](auto mode) {
        return detail::float_to_int_in_blocks<mode.value>(in, out, n - i, config);
    });
}

}  // namespace tolvane

// Integer-to-integer kernel.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <type_traits>

#include "block_loops.hpp"
#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "rules/int_to_int.hpp"
#include "simd/simd.hpp"

namespace tolvane {

template <IntegerElement S, IntegerElement D>
CastOutcome convert_slice_int_to_int(std::span<const S> src, std::span<D> dst,
                                     const CastConfig<S, D>& config);

namespace detail {

// The slice's leading whole vectors narrowed by the processor's saturating
// packs, under Clamp or, with `check`, up to the first vector with a failing
// element; with a map's targets selected in where `map` isn't null. Returns
// how many elements were written (none where the pair or the processor has
// no such path).
template <IntegerElement S, IntegerElement D>
size_t packed_narrowing(const S* in, D* out, size_t n, const PaddedMap<S, D>* map, bool check) {
    if constexpr (simd::packs_narrow<S, D>) {
        return simd::narrow_integers<S, D>({in, n}, {out, n}, map, check);
    } else {
        return 0;
    }
}

}  // namespace detail

template <IntegerElement S, IntegerElement D>
CastOutcome convert_slice_int_to_int(std::span<const S> src, std::span<D> dst,
                                     const CastConfig<S, D>& config) {
    using R = IntRange<S, D>;
    const size_t n = std::min(src.size(), dst.size());
    if (n == 0) return std::nullopt;
    const S* in = src.data();
    D* out = dst.data();
    const auto element_loop = [&config](const S* x, D* y, size_t len) {
        return detail::int_to_int_loop(x, y, len, config);
    };
    if (!config.scalar_map.empty()) {
        // Only a range error can fail, and only without a policy.
        const auto unmapped = [plain = without_map(config)](const S* x, D* y, size_t len) {
            return convert_slice_int_to_int<S, D>({x, len}, {y, len}, plain);
        };
        const std::span map(config.scalar_map);
        const bool clamp = !R::whole_source && config.out_of_range == OutOfRangeMode::Clamp;
        const bool check = !R::whole_source && !config.out_of_range;
        // The packs first, where the pair has them; the rest, shorter than
        // their vectors or from a failing element's vector on, goes the ways
        // below. On x86-64 the packs run where the folded loops do (AVX2),
        // and leave them nothing worth their code.
        constexpr bool packs_check = simd::packs_narrow<S, D>;
        constexpr bool packs_clamp = packs_check && sizeof(D) < sizeof(S);
#ifdef TOLVANE_AVX2_LOOPS
        constexpr bool folded_check = !packs_check;
        constexpr bool folded_clamp = !packs_clamp;
#else
        constexpr bool folded_check = true;
        constexpr bool folded_clamp = true;
#endif
        if (const auto padded = (packs_clamp && clamp) || (packs_check && check)
                                    ? detail::padded_map(map, n)
                                    : std::nullopt) {
            if (const size_t packed = detail::packed_narrowing(in, out, n, &*padded, check)) {
                return convert_slice_int_to_int<S, D>(src.subspan(packed, n - packed),
                                                      dst.subspan(packed, n - packed), config);
            }
        }
        if (!check) {
            // Nothing can fail: the map folds into the conversion's one pass.
            bool done = false;
            if (!clamp) {
                done = detail::convert_elements_with_map<detail::IntToIntWrapRule<S, D>>(in, out,
                                                                                       n, map);
            } else if constexpr (folded_clamp) {
                done = detail::convert_elements_with_map<detail::IntToIntClampRule<S, D>>(
                    in, out, n, map);
            }
            if (done) return std::nullopt;
        } else {
            if constexpr (!R::whole_source && folded_check) {
                CastOutcome result;
                if (detail::convert_in_blocks_with_map<detail::IntToIntCheckRule<S, D>>(
                        in, out, n, map, element_loop, result)) {
                    return result;
                }
            }
            return detail::convert_mapped<detail::UnmappedFailure::BeforeIt>(
                in, out, n, map, unmapped, element_loop);
        }
        return detail::convert_mapped<detail::UnmappedFailure::Never>(in, out, n, map, unmapped,
                                                                      element_loop);
    }

    if constexpr (std::same_as<S, int64_t> && std::same_as<D, int32_t>) {
        if (!config.out_of_range && n >= detail::short_slice_elements) {
            const auto fast = simd::try_i64_to_i32_check(src.first(n), dst.first(n));
            if (fast.converted || fast.error) return fast.error;
        }
    }
    if constexpr (R::whole_source || sizeof(S) == sizeof(D)) {
        // Every value, or under Wrap every bit pattern, carries over.
        if (R::whole_source || config.out_of_range == OutOfRangeMode::Wrap) {
            if constexpr (sizeof(S) == sizeof(D)) {
                std::memmove(out, in, n * sizeof(S));
            } else {
                detail::convert_elements<detail::IntToIntWrapRule<S, D>>(in, out, n);
            }
            return std::nullopt;
        }
    }
    if (config.out_of_range == OutOfRangeMode::Clamp) {
        const size_t packed =
            sizeof(D) < sizeof(S) ? detail::packed_narrowing<S, D>(in, out, n, nullptr, false) : 0;
        detail::convert_elements<detail::IntToIntClampRule<S, D>>(in + packed, out + packed,
                                                                  n - packed);
        return std::nullopt;
    }
    if (config.out_of_range == OutOfRangeMode::Wrap) {
        detail::convert_elements<detail::IntToIntWrapRule<S, D>>(in, out, n);
        return std::nullopt;
    }
    if constexpr (!R::whole_source) {
        // Not the packs: the block loops, which test a block while they
        // write the one before, took 0.9-1.0 of their time on 100,000
        // elements and 1.0-1.3 on a million, both below the compiled
        // loop's time.
        return detail::convert_in_blocks<detail::IntToIntCheckRule<S, D>>(in, out, n,
                                                                          element_loop);
    }
    return std::nullopt;
}

}  // namespace tolvane

// The vectorisable loops that the kernels run their element rules in.
//
// A rule converts one element in straight-line code (no branch on the data)
// and tells whether the element needs the kernel's element-by-element loop:
// one that fails, or a rare case that the straight-line code doesn't cover.
// Blocks of elements are tested whole and then written whole; the first
// block that has such an element is left to the element loop, which writes
// the elements before a failing one and reports it exactly as if it had run
// from the start, so results, errors and what is written never depend on the
// blocks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"

// x86-64 builds with GCC also compile these loops for AVX2, picked at load
// time on processors that have it; the baseline is SSE2 only. The whole-slice
// loop also gets an AVX-512 version, the first x86 vector set that converts
// between 64-bit integers and floats.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__ELF__)
#define TOLVANE_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#define TOLVANE_WIDE_VECTOR_CLONES [[gnu::target_clones("arch=x86-64-v4", "avx2", "default")]]
#else
#define TOLVANE_VECTOR_CLONES
#define TOLVANE_WIDE_VECTOR_CLONES
#endif

namespace tolvane::detail {

template <size_t Size>
using UnsignedOfSize = std::conditional_t<
    Size == 1, uint8_t,
    std::conditional_t<Size == 2, uint16_t, std::conditional_t<Size == 4, uint32_t, uint64_t>>>;

// Small enough for the buffers to stay in the first-level cache.
inline constexpr size_t block_elements = 256;
inline constexpr size_t short_slice_elements = 16;

// Whether a scalar-map entry's source matches x, in straight-line code with
// the tests on the source taken out of the loops.
template <Element S>
struct SourceMatcher {
    S source;
    bool nan_source = false;
    bool zero_source = false;

    SourceMatcher() = default;
    explicit SourceMatcher(S s) : source(s) {
        if constexpr (FloatElement<S>) {
            nan_source = is_nan(s);
            zero_source = (FloatTraits<S>::to_bits(s) & ~FloatTraits<S>::sign_mask) == 0;
        }
    }

    // Bitwise operators, not short-circuit ones, so that the loops stay
    // branch-free.
    bool operator()(S x) const {
        if constexpr (std::same_as<S, float16>) {
            const uint16_t magnitude = x.bits & 0x7fffu;
            return (x.bits == source.bits) | (zero_source & (magnitude == 0)) |
                   (nan_source & (magnitude > 0x7c00u));
        } else if constexpr (FloatElement<S>) {
            return (x == source) | (nan_source & (x != x));
        } else {
            return x == source;
        }
    }
};

// Scalar-map entries four at a time, in order; the last group repeats its
// first entry in the places it has no entry for, which changes no first match.
// The targets are of type T: D, or the staged value that a rule finishes
// into the target.
template <Element S, class T>
struct MapGroup {
    static constexpr size_t size = 4;
    SourceMatcher<S> matches[size]{};
    T target[size]{};

    // An empty map makes a group that is never used.
    template <Element D, class Transform>
    MapGroup(std::span<const MapEntry<S, D>> entries, Transform&& transform) {
        for (size_t e = 0; e < size && !entries.empty(); ++e) {
            const MapEntry<S, D>& entry = entries[e < entries.size() ? e : 0];
            matches[e] = SourceMatcher<S>(entry.source);
            target[e] = transform(entry.target);
        }
    }

    bool any(S x) const {
        bool found = false;
        for (size_t e = 0; e < size; ++e) found |= matches[e](x);
        return found;
    }

    // The first matching entry's target, else y.
    T apply(S x, T y) const {
        for (size_t e = size; e-- > 0;) y = matches[e](x) ? target[e] : y;
        return y;
    }
};

template <Element S, Element D>
class MapGroups {
public:
    explicit MapGroups(std::span<const MapEntry<S, D>> map) : map_(map) {}
    size_t count() const { return (map_.size() + MapGroup<S, D>::size - 1) / MapGroup<S, D>::size; }
    MapGroup<S, D> operator[](size_t g) const {
        return MapGroup<S, D>(map_.subspan(g * MapGroup<S, D>::size), [](D t) { return t; });
    }

private:
    std::span<const MapEntry<S, D>> map_;
};

// An element rule converts in two straight-line steps, each a loop of its
// own: `stage` works in the source's lane width (rounding, range, the test
// of `needs_element_loop`), `finish` narrows or widens the staged value into
// D, with the element at hand for rules that need it. Loops that mix both
// give the compiler's vectoriser lanes of two widths to reconcile, which it
// does poorly. `needs_element_loop` answers with a bool or an unsigned value
// of the source's width, nonzero for yes. `checks` is false for a rule that
// never needs the element loop, `stages_source` true for one whose staged
// value is the element itself. A rule whose `finish` doesn't read the
// element and can finish some staged value into any value of D has
// `maps_in_stage` and gives that value as `staged_target`: a short map is
// then applied to the staged values, in the loop that computes them, which
// works in the source's lane width. A rule whose staged value is D derives
// from StagedAsTarget.
template <Element D>
struct StagedAsTarget {
    using Stage = D;
    static constexpr bool stages_source = false;
    static constexpr bool maps_in_stage = true;
    static D staged_target(D t) { return t; }
    template <Element S>
    static D finish(S, D staged) {
        return staged;
    }
};

// convert_blocks for a rule that stages the element itself, with no map: the
// test of the next block runs in the loop that writes the current one, so
// that reading the source from memory overlaps with writing the output
// instead of alternating with it.
template <class Rule, Element S, Element D>
TOLVANE_VECTOR_CLONES size_t convert_blocks_overlapped(const S* in, D* out, size_t start,
                                                       size_t n) {
    using Flag = UnsignedOfSize<sizeof(S)>;
    const auto failing = [](const S* x, size_t len) {
        Flag needed = 0;
        for (size_t k = 0; k < len; ++k) needed |= Rule::needs_element_loop(x[k], x[k]);
        return needed != 0;
    };
    size_t i = start;
    size_t len = std::min(block_elements, n - i);
    if (failing(in + i, len)) return i;
    while (true) {
        const size_t next = i + len;
        const size_t next_len = std::min(block_elements, n - next);
        if (next_len == block_elements) {
            Flag needed = 0;
            for (size_t k = 0; k < block_elements; ++k) {
                needed |= Rule::needs_element_loop(in[next + k], in[next + k]);
                out[i + k] = Rule::finish(in[i + k], in[i + k]);
            }
            if (needed != 0) return next;
        } else {
            for (size_t k = 0; k < len; ++k) out[i + k] = Rule::finish(in[i + k], in[i + k]);
            if (next_len == 0) return n;
            if (failing(in + next, next_len)) return next;
        }
        i = next;
        len = next_len;
    }
}

// Converts whole blocks from `start` on, each with the scalar map applied
// (first matching entry wins), until a block needs the element loop. Returns
// that block's start, or n when every element is written.
template <class Rule, Element S, Element D>
TOLVANE_VECTOR_CLONES size_t convert_blocks(const S* in, D* out, size_t start, size_t n,
                                            std::span<const MapEntry<S, D>> map) {
    using Stage = typename Rule::Stage;
    // Flags as wide as a source element, so that the tests on the source
    // need no narrowing of vector lanes.
    using Flag = UnsignedOfSize<sizeof(S)>;
    // A rule whose staged value is the element itself reads the source twice
    // instead of copying it.
    constexpr bool in_place = Rule::stages_source;
    static_assert(!in_place || std::same_as<Stage, S>);
    if constexpr (in_place && Rule::checks) {
        if (map.empty() && start < n) return convert_blocks_overlapped<Rule>(in, out, start, n);
    }
    const MapGroups<S, D> groups(map);
    const size_t group_count = groups.count();
    // A map of up to four entries, the common case, is tested in the loops
    // that convert; a longer one in loops of its own.
    constexpr bool maps_in_stage = Rule::maps_in_stage && !in_place;
    const MapGroup<S, D> first_group(map, [](D t) { return t; });
    using StagedGroup = MapGroup<S, std::conditional_t<maps_in_stage, Stage, D>>;
    const StagedGroup staged_group(map, [](D t) {
        if constexpr (maps_in_stage) {
            return Rule::staged_target(t);
        } else {
            return t;
        }
    });
    Stage buffer[in_place ? 1 : block_elements];
    Flag pending[Rule::checks ? block_elements : 1];
    for (size_t i = start; i < n; i += block_elements) {
        const size_t len = std::min(block_elements, n - i);
        const S* x = in + i;
        D* y = out + i;
        const Stage* staged;
        if constexpr (in_place) {
            staged = x;
        } else {
            staged = buffer;
        }
        if constexpr (Rule::checks) {
            Flag needed = 0;
            if (group_count == 0) {
                for (size_t k = 0; k < len; ++k) {
                    if constexpr (!in_place) buffer[k] = Rule::stage(x[k]);
                    needed |= Rule::needs_element_loop(x[k], staged[k]);
                }
            } else if (group_count == 1) {
                for (size_t k = 0; k < len; ++k) {
                    if constexpr (maps_in_stage) {
                        const Stage value = Rule::stage(x[k]);
                        const Flag need = Rule::needs_element_loop(x[k], value);
                        const bool hit = staged_group.any(x[k]);
                        buffer[k] = staged_group.apply(x[k], value);
                        needed |= need & static_cast<Flag>(Flag(0) - Flag(!hit));
                    } else {
                        if constexpr (!in_place) buffer[k] = Rule::stage(x[k]);
                        const Flag need = Rule::needs_element_loop(x[k], staged[k]);
                        const bool hit = first_group.any(x[k]);
                        needed |= need & static_cast<Flag>(Flag(0) - Flag(!hit));
                    }
                }
            } else {
                for (size_t k = 0; k < len; ++k) {
                    if constexpr (!in_place) buffer[k] = Rule::stage(x[k]);
                    pending[k] = Rule::needs_element_loop(x[k], staged[k]);
                }
                for (size_t g = 0; g < group_count; ++g) {
                    const MapGroup<S, D> group = groups[g];
                    for (size_t k = 0; k < len; ++k) pending[k] = group.any(x[k]) ? 0 : pending[k];
                }
                for (size_t k = 0; k < len; ++k) needed |= pending[k];
            }
            if (needed != 0) return i;
        } else if constexpr (!in_place) {
            if (maps_in_stage && group_count == 1) {
                for (size_t k = 0; k < len; ++k) {
                    buffer[k] = staged_group.apply(x[k], Rule::stage(x[k]));
                }
            } else {
                for (size_t k = 0; k < len; ++k) buffer[k] = Rule::stage(x[k]);
            }
        }
        if (group_count == 0 || (maps_in_stage && group_count == 1)) {
            for (size_t k = 0; k < len; ++k) y[k] = Rule::finish(x[k], staged[k]);
        } else if (group_count == 1) {
            for (size_t k = 0; k < len; ++k) {
                y[k] = first_group.apply(x[k], Rule::finish(x[k], staged[k]));
            }
        } else {
            for (size_t k = 0; k < len; ++k) y[k] = Rule::finish(x[k], staged[k]);
            // Last group first, so that the first match is what remains.
            for (size_t g = group_count; g-- > 0;) {
                const MapGroup<S, D> group = groups[g];
                for (size_t k = 0; k < len; ++k) y[k] = group.apply(x[k], y[k]);
            }
        }
    }
    return n;
}

// The whole slice under a rule that never needs the element loop, with no map.
template <class Rule, Element S, Element D>
TOLVANE_WIDE_VECTOR_CLONES void convert_elements(const S* in, D* out, size_t n) {
    static_assert(!Rule::checks);
    for (size_t i = 0; i < n; ++i) out[i] = Rule::finish(in[i], Rule::stage(in[i]));
}

// Blocks while they convert, the element loop for a block that needs it
// (which returns the first failure), then blocks again. A slice of a few
// elements goes to the element loop at once: setting up the block loops would
// cost it more than they save.
template <class Rule, Element S, Element D, class ElementLoop>
CastOutcome convert_in_blocks(const S* in, D* out, size_t n, std::span<const MapEntry<S, D>> map,
                              ElementLoop&& element_loop) {
    if (n < short_slice_elements) return element_loop(in, out, n);
    size_t i = 0;
    while ((i = convert_blocks<Rule>(in, out, i, n, map)) < n) {
        const size_t len = std::min(block_elements, n - i);
        if (CastOutcome error = element_loop(in + i, out + i, len)) return error;
        i += len;
    }
    return std::nullopt;
}

}  // namespace tolvane::detail

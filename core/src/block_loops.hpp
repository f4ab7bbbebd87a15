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

// Whether a scalar-map entry's source matches x, with the test on the source
// taken out of the element loop.
template <Element S>
struct SourceMatcher {
    S source;
    bool nan_source;

    explicit SourceMatcher(S s) : source(s), nan_source(false) {
        if constexpr (FloatElement<S>) nan_source = is_nan(s);
    }

    bool operator()(S x) const {
        if constexpr (std::same_as<S, float> || std::same_as<S, double>) {
            return nan_source ? x != x : x == source;
        } else {
            return map_source_matches(source, x);
        }
    }
};

// An element rule converts in two straight-line steps, each a loop of its
// own: `stage` works in the source's lane width (rounding, range, the test
// of `needs_element_loop`), `finish` narrows or widens the staged value into
// D. Loops that mix both give the compiler's vectoriser lanes of two widths
// to reconcile, which it does poorly. `needs_element_loop` answers with a
// bool or an unsigned value of the source's width, nonzero for yes. `checks`
// is false for a rule that never needs the element loop, `stages_source` true
// for one whose staged value is the element itself. A rule whose staged value
// is D derives from StagedAsTarget.
template <Element D>
struct StagedAsTarget {
    using Stage = D;
    static constexpr bool stages_source = false;
    static D finish(D staged) { return staged; }
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
                out[i + k] = Rule::finish(in[i + k]);
            }
            if (needed != 0) return next;
        } else {
            for (size_t k = 0; k < len; ++k) out[i + k] = Rule::finish(in[i + k]);
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
    Stage buffer[in_place ? 1 : block_elements];
    const auto fill = [&](const S* x, size_t len) {
        if constexpr (!in_place) {
            for (size_t k = 0; k < len; ++k) buffer[k] = Rule::stage(x[k]);
        }
    };
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
            if (map.empty() && sizeof(Stage) == sizeof(S)) {
                for (size_t k = 0; k < len; ++k) {
                    if constexpr (!in_place) buffer[k] = Rule::stage(x[k]);
                    needed |= Rule::needs_element_loop(x[k], staged[k]);
                }
            } else {
                fill(x, len);
                Flag pending[block_elements];
                for (size_t k = 0; k < len; ++k) {
                    pending[k] = Rule::needs_element_loop(x[k], staged[k]);
                }
                for (const MapEntry<S, D>& entry : map) {
                    const SourceMatcher<S> matches(entry.source);
                    for (size_t k = 0; k < len; ++k) pending[k] = matches(x[k]) ? 0 : pending[k];
                }
                for (size_t k = 0; k < len; ++k) needed |= pending[k];
            }
            if (needed != 0) return i;
        } else {
            fill(x, len);
        }
        for (size_t k = 0; k < len; ++k) y[k] = Rule::finish(staged[k]);
        // Last entry first, so that the first match is what remains.
        for (size_t e = map.size(); e-- > 0;) {
            const SourceMatcher<S> matches(map[e].source);
            const D target = map[e].target;
            for (size_t k = 0; k < len; ++k) y[k] = matches(x[k]) ? target : y[k];
        }
    }
    return n;
}

// The whole slice under a rule that never needs the element loop, with no map.
template <class Rule, Element S, Element D>
TOLVANE_WIDE_VECTOR_CLONES void convert_elements(const S* in, D* out, size_t n) {
    static_assert(!Rule::checks);
    for (size_t i = 0; i < n; ++i) out[i] = Rule::finish(Rule::stage(in[i]));
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

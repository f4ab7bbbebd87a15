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
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "cast_config.hpp"
#include "cast_error.hpp"
#include "element_types.hpp"
#include "float16.hpp"
#include "rules/rule.hpp"
#include "simd/simd.hpp"
#include "simd/targets.hpp"

// x86-64 builds with GCC also compile these loops for AVX2, which they run
// when AVX2 is the active target (simd/targets.hpp), the same choice that
// picks the vector fast paths; the baseline is SSE2 only. Test builds may
// leave the AVX2 loops out (TOLVANE_NO_VECTOR_CLONES) to test the baseline.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(TOLVANE_NO_VECTOR_CLONES)
#define TOLVANE_AVX2_LOOPS 1
#endif

namespace tolvane::detail {

// Loop, a loop body that is always inlined, compiled for AVX2.
template <auto Loop, class... Args>
#ifdef TOLVANE_AVX2_LOOPS
[[gnu::target("avx2")]]
#endif
auto run_avx2(Args... args) {
    return Loop(args...);
}

// Loop as compiled for the active target.
template <auto Loop, class... Args>
inline auto run_for_target(Args... args) {
#ifdef TOLVANE_AVX2_LOOPS
    if (simd::active_target() == simd::Target::Avx2) return run_avx2<Loop>(args...);
#endif
    return Loop(args...);
}

// Whether the loops that fold a scalar map into the conversion run for the
// active target. x86-64 builds with the AVX2 loops compile them for AVX2
// only, which keeps the library's size down; without AVX2 the map takes
// convert_mapped's passes around the unmapped conversion instead.
inline bool folded_map_loops_run() {
#ifdef TOLVANE_AVX2_LOOPS
    return simd::active_target() == simd::Target::Avx2;
#else
    return true;
#endif
}

// Loop, one that folds a map in, where folded_map_loops_run().
template <auto Loop, class... Args>
inline auto run_folded(Args... args) {
#ifdef TOLVANE_AVX2_LOOPS
    return run_avx2<Loop>(args...);
#else
    return Loop(args...);
#endif
}

// Small enough for the buffers to stay in the first-level cache.
inline constexpr size_t block_elements = 256;
inline constexpr size_t short_slice_elements = 16;

// A scalar map's sources as the loops test an element against them, in
// straight-line code with the tests on the sources taken out of the loops:
// an equality per entry, in which no NaN source equals anything and -0.0
// equals 0.0, and one test for a NaN element, which only NaN sources match
// (the first of them). A NaN is never equal to a source that isn't one, so
// the entries' equalities need no NaN terms. float16 compares keys, its bits
// with -0.0 made 0.0, since its loops vectorise on bits alone.
template <size_t Entries, Element S>
class FirstMatch {
    using Key = std::conditional_t<std::same_as<S, float16>, uint16_t, S>;

  public:
    explicit FirstMatch(const S* sources) {
        for (size_t e = Entries; e-- > 0;) {
            keys_[e] = key(sources[e]);
            if constexpr (FloatElement<S>) {
                if (is_nan(sources[e])) first_nan_ = e;
            }
        }
        nan_source_ = first_nan_ < Entries;
    }

    // values[e] of the first entry e with a NaN source, or V{} where none is
    // a NaN: what select takes as its `nan_value`.
    template <class V>
    V nan_value(const V* values) const {
        return first_nan_ < Entries ? values[first_nan_] : V{};
    }

    // Whether x matches any entry. Here and in select, bitwise operators,
    // not short-circuit ones, so that the loops stay branch-free.
    [[gnu::always_inline]] bool any(S x) const {
        const Key k = key(x);
        bool hit = false;
        [&]<size_t... e>(std::index_sequence<e...>) {
            ((hit |= k == keys_[e]), ...);
        }(std::make_index_sequence<Entries>{});
        if constexpr (FloatElement<S>) hit |= nan_source_ & nan_lane(x);
        return hit;
    }

    // values[e] of the first entry e that x matches, or v where none does;
    // `nan_value` is nan_value(values), taken out of the loops.
    template <class V>
    [[gnu::always_inline]] V select(S x, V v, const V* values, V nan_value) const {
        // A select of bits where V is bits: GCC turns a select of a value
        // into a branch in some of the block loops.
        const auto pick = [](bool take, V value, V otherwise) -> V {
            if constexpr (std::unsigned_integral<V>) {
                const auto mask = static_cast<V>(V(0) - V(take));
                return static_cast<V>((value & mask) | (otherwise & ~mask));
            } else {
                return take ? value : otherwise;
            }
        };
        if constexpr (Entries == 1) {
            // One select: the one entry's value is the NaN value too.
            return pick(any(x), values[0], v);
        } else {
            const Key k = key(x);
            // The last entry first, so that the first match is what remains.
            [&]<size_t... e>(std::index_sequence<e...>) {
                ((v = pick(k == keys_[Entries - 1 - e], values[Entries - 1 - e], v)), ...);
            }(std::make_index_sequence<Entries>{});
            if constexpr (FloatElement<S>) v = pick(nan_source_ & nan_lane(x), nan_value, v);
            return v;
        }
    }

  private:
    static Key key(S x) {
        if constexpr (std::same_as<S, float16>) {
            const uint16_t magnitude = x.bits & 0x7fffu;
            return static_cast<uint16_t>(x.bits & (0u - uint16_t(magnitude != 0)));
        } else {
            return x;
        }
    }

    static bool nan_lane(S x) {
        if constexpr (std::same_as<S, float16>) {
            return (x.bits & 0x7fffu) > 0x7c00u;
        } else {
            return x != x;
        }
    }

    Key keys_[Entries];
    size_t first_nan_ = Entries;
    bool nan_source_ = false;
};

// Blocks from `start` on, each tested whole with `needs` (nonzero for an
// element that needs the element loop) and then written with `write`, the
// test of the next block running in the loop that writes the current one,
// so that reading the source from memory overlaps with writing the output
// instead of alternating with it. Returns the start of the first block that
// needs the element loop, or n when every element is written.
template <size_t Block = block_elements, Element S, Element D, class Needs, class Write>
[[gnu::always_inline]] inline size_t convert_blocks_overlapped(const S* in, D* out, size_t start,
                                                              size_t n, Needs needs,
                                                              Write write) {
    using Flag = UnsignedOfSize<sizeof(S)>;
    const auto failing = [&needs](const S* x, size_t len) {
        Flag needed = 0;
        for (size_t k = 0; k < len; ++k) needed |= needs(x[k]);
        return needed != 0;
    };
    if (start >= n) return n;
    size_t i = start;
    size_t len = std::min(Block, n - i);
    if (failing(in + i, len)) return i;
    while (true) {
        const size_t next = i + len;
        const size_t next_len = std::min(Block, n - next);
        if (next_len == Block) {
            Flag needed = 0;
            for (size_t k = 0; k < Block; ++k) {
                needed |= needs(in[next + k]);
                out[i + k] = write(in[i + k]);
            }
            if (needed != 0) return next;
        } else {
            for (size_t k = 0; k < len; ++k) out[i + k] = write(in[i + k]);
            if (next_len == 0) return n;
            if (failing(in + next, next_len)) return next;
        }
        i = next;
        len = next_len;
    }
}

// How the block loops read an element: as it is, or as a map's loads it
// (Substituted, NanSubstituted).
struct AsIs {
    template <class T>
    T operator()(T x) const {
        return x;
    }
};

// Converts whole blocks from `start` on until a block needs the element
// loop, each element read through `load`. Returns that block's start, or n
// when every element is written.
template <class Rule, Element S, Element D, class Load = AsIs>
    requires BlockRule<Rule, S, D>
[[gnu::always_inline]] inline size_t convert_blocks_loop(const S* in, D* out, size_t start,
                                                        size_t n, Load load) {
    using Stage = typename Rule::Stage;
    // Flags as wide as a source element, so that the tests on the source
    // need no narrowing of vector lanes.
    using Flag = UnsignedOfSize<sizeof(S)>;
    if constexpr (Rule::stages_source || restages<Rule>) {
        // A rule whose staged value is the element itself, or one that
        // stages twice, stages each element where it tests it and again
        // where it writes it, instead of through a buffer.
        static_assert(Rule::checks);
        return convert_blocks_overlapped(
            in, out, start, n,
            [&load](S x) -> Flag {
                const S v = load(x);
                return Rule::needs_element_loop(v, Rule::stage(v));
            },
            [&load](S x) {
                const S v = load(x);
                return Rule::finish(v, Rule::stage(v));
            });
    } else {
        Stage buffer[block_elements];
        for (size_t i = start; i < n; i += block_elements) {
            const size_t len = std::min(block_elements, n - i);
            const S* x = in + i;
            if constexpr (Rule::checks) {
                Flag needed = 0;
                for (size_t k = 0; k < len; ++k) {
                    const S v = load(x[k]);
                    buffer[k] = Rule::stage(v);
                    needed |= Rule::needs_element_loop(v, buffer[k]);
                }
                if (needed != 0) return i;
            } else {
                for (size_t k = 0; k < len; ++k) buffer[k] = Rule::stage(load(x[k]));
            }
            D* y = out + i;
            for (size_t k = 0; k < len; ++k) y[k] = Rule::finish(load(x[k]), buffer[k]);
        }
        return n;
    }
}

template <class Rule, Element S, Element D, class Load = AsIs>
    requires BlockRule<Rule, S, D>
size_t convert_blocks(const S* in, D* out, size_t start, size_t n, Load load = {}) {
    if constexpr (std::same_as<Load, AsIs>) {
        return run_for_target<&convert_blocks_loop<Rule, S, D, Load>>(in, out, start, n, load);
    } else {
        return run_folded<&convert_blocks_loop<Rule, S, D, Load>>(in, out, start, n, load);
    }
}

// 0, in a variable the compiler can't see through.
inline volatile unsigned opaque_zero = 0;

// v shifted right by `zero` (opaque_zero, read before the loop): v itself,
// but where GCC can't narrow the selects that made v along with it.
template <class T>
[[gnu::always_inline]] inline T hidden(T v, unsigned zero) {
    using U = UnsignedOfSize<sizeof(T)>;
    return std::bit_cast<T>(static_cast<U>(std::bit_cast<U>(v) >> zero));
}

// Rule::finish of x's staged value.
template <class Rule, Element S>
[[gnu::always_inline]] inline auto finish_staged(S x) {
    return Rule::finish(x, Rule::stage(x));
}

// The whole slice under a rule that never needs the element loop, each
// element read through `load`.
template <class Rule, Element S, Element D, class Load = AsIs>
    requires BlockRule<Rule, S, D>
[[gnu::always_inline]] inline void convert_elements_loop(const S* in, D* out, size_t n,
                                                         Load load) {
    static_assert(!Rule::checks);
    for (size_t i = 0; i < n; ++i) out[i] = finish_staged<Rule>(load(in[i]));
}

template <class Rule, Element S, Element D, class Load = AsIs>
    requires BlockRule<Rule, S, D>
void convert_elements(const S* in, D* out, size_t n, Load load = {}) {
    if constexpr (std::same_as<Load, AsIs>) {
        run_for_target<&convert_elements_loop<Rule, S, D, Load>>(in, out, n, load);
    } else {
        run_folded<&convert_elements_loop<Rule, S, D, Load>>(in, out, n, load);
    }
}

// Blocks while they convert, the element loop for a block that needs it
// (which returns the first failure), then blocks again. A slice of a few
// elements goes to the element loop at once: setting up the block loops would
// cost it more than they save.
// With a map folded into `load`, the element loop applies the map itself.
template <class Rule, Element S, Element D, class ElementLoop, class Load = AsIs>
    requires BlockRule<Rule, S, D>
CastOutcome convert_in_blocks(const S* in, D* out, size_t n, ElementLoop&& element_loop,
                              Load load = {}) {
    if (n < short_slice_elements) return element_loop(in, out, n);
    size_t i = 0;
    while ((i = convert_blocks<Rule>(in, out, i, n, load)) < n) {
        const size_t len = std::min(block_elements, n - i);
        if (CastOutcome error = element_loop(in + i, out + i, len)) return error;
        i += len;
    }
    return std::nullopt;
}

// The elements a mapped conversion hands its unmapped conversion at a time:
// few enough for the chunk's buffers to stay in the first-level cache, many
// enough that the unmapped conversion's set-up costs little per element.
// Chunks of 2-byte sources are twice as long: their passes are so short
// that the set-up cost them 10-15% of the time.
template <size_t SourceSize>
inline constexpr size_t mapped_chunk_elements = SourceSize == 2 ? 2048 : 1024;

// The most entries the block loops take; a longer map runs the element loop.
inline constexpr size_t max_block_map_entries = 4;

// The flag of the first entry that each element of a chunk matches (bit e
// for entry e, none where no entry does), in the source's lane width, in one
// pass; returns whether any element matches. A conversion that can fail
// also receives the chunk with a zero, which every conversion takes without
// failing, in place of each mapped element.
template <size_t Entries, bool CanFail, Element S>
[[gnu::always_inline]] inline bool flag_mapped_loop(const S* __restrict x, size_t len,
                                                    const S* sources,
                                                    UnsignedOfSize<sizeof(S)>* __restrict flags,
                                                    S* __restrict substituted) {
    using Flag = UnsignedOfSize<sizeof(S)>;
    const FirstMatch<Entries, S> match(sources);
    Flag bit[Entries];
    for (size_t e = 0; e < Entries; ++e) bit[e] = Flag(1u << e);
    const Flag nan_bit = match.nan_value(bit);
    Flag any = 0;
    for (size_t k = 0; k < len; ++k) {
        const Flag f = match.select(x[k], Flag(0), bit, nan_bit);
        flags[k] = f;
        any |= f;
        if constexpr (CanFail) {
            // Zero's bits are all clear: a mask, not a branch, which the
            // vectoriser would not take for float16.
            const Flag keep = static_cast<Flag>(Flag(f == 0) * Flag(~Flag(0)));
            substituted[k] = std::bit_cast<S>(static_cast<Flag>(std::bit_cast<Flag>(x[k]) & keep));
        }
    }
    return any != 0;
}

// Out of line, as are write_map_targets and substitute_mapped: the pairs'
// convert_mapped share one copy per element type.
template <size_t Entries, bool CanFail, Element S>
[[gnu::noinline]] bool flag_mapped(const S* x, size_t len, const S* sources,
                                   UnsignedOfSize<sizeof(S)>* flags, S* substituted) {
    return run_for_target<&flag_mapped_loop<Entries, CanFail, S>>(x, len, sources, flags,
                                                                  substituted);
}

// An element's bits, and an element set from its bits; float16 through its
// member, since copies of the whole struct keep the vectoriser out.
template <Element S>
[[gnu::always_inline]] inline UnsignedOfSize<sizeof(S)> bits_of(const S& x) {
    if constexpr (std::same_as<S, float16>) {
        return x.bits;
    } else {
        return std::bit_cast<UnsignedOfSize<sizeof(S)>>(x);
    }
}

template <Element S>
[[gnu::always_inline]] inline void set_bits(S& x, UnsignedOfSize<sizeof(S)> bits) {
    if constexpr (std::same_as<S, float16>) {
        x.bits = bits;
    } else {
        x = std::bit_cast<S>(bits);
    }
}

// The flagged elements' targets into `to`, over what `from` holds, or over
// `to` itself when InPlace, each entry's in turn within one pass (the last
// first, so that the first match is what remains). The choice is a blend of
// bits, which vectorises for every D (float16's select would not), and the
// pointers are unaliased, since a runtime overlap check would send the
// in-place case to the scalar loop.
template <size_t Entries, bool InPlace, Element D, class Flag>
[[gnu::always_inline]] inline void write_map_target(const Flag* __restrict flags,
                                                    const D* targets, const D* __restrict from,
                                                    D* __restrict to, size_t len) {
    Flag target_bits[Entries];
    for (size_t e = 0; e < Entries; ++e) target_bits[e] = std::bit_cast<Flag>(targets[e]);
    for (size_t k = 0; k < len; ++k) {
        Flag v = bits_of(InPlace ? to[k] : from[k]);
        [&]<size_t... e>(std::index_sequence<e...>) {
            ((v = [&](size_t entry) {
                 const auto take =
                     static_cast<Flag>(Flag(0) - Flag((flags[k] & Flag(1u << entry)) != 0));
                 return static_cast<Flag>((target_bits[entry] & take) | (v & ~take));
             }(Entries - 1 - e)),
             ...);
        }(std::make_index_sequence<Entries>{});
        set_bits(to[k], v);
    }
}

// Each flagged element's target, the first matching entry's, over what the
// unmapped conversion wrote to `from`, into `to` (which may be `from`);
// working in the target's lane width.
template <size_t Entries, Element D, class SourceFlag>
[[gnu::always_inline]] inline void write_map_targets_loop(const SourceFlag* flags_of_source,
                                                          const D* from, D* to, size_t len,
                                                          const D* targets) {
    using Flag = UnsignedOfSize<sizeof(D)>;
    Flag narrowed[sizeof(SourceFlag) == sizeof(D) ? 1 : mapped_chunk_elements<sizeof(SourceFlag)>];
    const Flag* flags;
    if constexpr (sizeof(SourceFlag) == sizeof(D)) {
        flags = flags_of_source;
    } else {
        for (size_t k = 0; k < len; ++k) narrowed[k] = static_cast<Flag>(flags_of_source[k]);
        flags = narrowed;
    }
    if (from == to) {
        write_map_target<Entries, true>(flags, targets, static_cast<const D*>(nullptr), to, len);
    } else {
        write_map_target<Entries, false>(flags, targets, from, to, len);
    }
}

template <size_t Entries, Element D, class SourceFlag>
[[gnu::noinline]] void write_map_targets(const SourceFlag* flags_of_source, const D* from,
                                         D* to, size_t len, const D* targets) {
    run_for_target<&write_map_targets_loop<Entries, D, SourceFlag>>(flags_of_source, from, to,
                                                                    len, targets);
}

// The whole slice under a rule that never needs the element loop, with a
// scalar map of `Entries` entries folded in: each element converted, then
// the first matching entry's target in its place, in one pass.
template <class Rule, size_t Entries, Element S, Element D>
    requires BlockRule<Rule, S, D>
[[gnu::always_inline]] inline void convert_elements_mapped_loop(const S* in, D* out, size_t n,
                                                                const S* sources,
                                                                const D* targets) {
    static_assert(!Rule::checks);
    const FirstMatch<Entries, S> match(sources);
    D target[Entries];
    std::copy_n(targets, Entries, target);
    const D nan_target = match.nan_value(target);
    for (size_t i = 0; i < n; ++i) {
        const S x = in[i];
        out[i] = match.select(x, Rule::finish(x, Rule::stage(x)), target, nan_target);
    }
}

template <class Rule, size_t Entries, Element S, Element D>
    requires BlockRule<Rule, S, D>
void convert_elements_mapped(const S* in, D* out, size_t n, const S* sources,
                             const D* targets) {
    run_folded<&convert_elements_mapped_loop<Rule, Entries, S, D>>(in, out, n, sources,
                                                                       targets);
}

template <Element S, Element D>
using PaddedMap = simd::TargetMap<S, D>;
static_assert(std::size(PaddedMap<int8_t, int8_t>{}.sources) == max_block_map_entries);

// The entries of a map that the one-pass loops take. None for a slice of a
// few elements or a map of more than four entries.
template <Element S, Element D>
std::optional<PaddedMap<S, D>> padded_map(std::span<const MapEntry<S, D>> map, size_t n) {
    if (n < short_slice_elements || map.empty() || map.size() > max_block_map_entries) {
        return std::nullopt;
    }
    PaddedMap<S, D> padded{};
    for (size_t e = 0; e < max_block_map_entries; ++e) {
        const MapEntry<S, D>& entry = map[std::min(e, map.size() - 1)];
        padded.sources[e] = entry.source;
        padded.targets[e] = entry.target;
    }
    padded.one = map.size() == 1;
    return padded;
}

// A map's entries as the block loops test them: each element, or the first
// matching entry's stand-in in its place, in straight-line code in the
// source's lanes.
template <size_t Entries, Element S>
struct StandIns {
    using Flag = UnsignedOfSize<sizeof(S)>;
    FirstMatch<Entries, S> match;
    Flag stand_in_bits[Entries];
    Flag nan_stand_in_bits;

    StandIns(const S* sources, const S* stand_ins) : match(sources) {
        for (size_t e = 0; e < Entries; ++e) stand_in_bits[e] = bits_of(stand_ins[e]);
        nan_stand_in_bits = match.nan_value(stand_in_bits);
    }

    // The bits of the element or of its stand-in; `changed` collects the
    // bits where they differ from the element's.
    [[gnu::always_inline]] Flag operator()(S x, Flag& changed) const {
        const Flag bits = bits_of(x);
        const Flag v = match.select(x, bits, stand_in_bits, nan_stand_in_bits);
        changed |= static_cast<Flag>(v ^ bits);
        return v;
    }
};

// A block loop's read of an element with a map folded in: the element, or
// the first matching entry's stand-in, a source value that the unmapped
// conversion turns into the entry's target without failing.
template <size_t Entries, Element S>
struct Substituted {
    StandIns<Entries, S> stand_ins;

    [[gnu::always_inline]] S operator()(S x) const {
        UnsignedOfSize<sizeof(S)> changed = 0;
        return std::bit_cast<S>(stand_ins(x, changed));
    }
};

// A block loop's read of an element with a one-entry map whose source is a
// NaN folded in: every NaN reads as the stand-in, in one test.
template <FloatElement S>
struct NanSubstituted {
    S stand_in;

    [[gnu::always_inline]] S operator()(S x) const { return x != x ? stand_in : x; }
};

// What the mapped block loops write for a value selected among the element
// and the stand-ins, under a rule that stages the element itself.
template <class Rule, Element D, Element S>
[[gnu::always_inline]] inline D finish_selected(S v) {
    if constexpr (requires { Rule::finish_selected(v); }) {
        return Rule::finish_selected(v);
    } else {
        return Rule::finish(v, v);
    }
}

// The blocks of the mapped loops below: 2 KB of 1- and 2-byte elements. With
// 256 of them, the loop overhead and the switch between testing and writing
// cost more than the second read of each block, which stays in the
// first-level cache either way (2 KB blocks take 0.8-0.95 of the time).
template <Element S>
inline constexpr size_t mapped_block_elements = sizeof(S) <= 2 ? 2048 / sizeof(S)
                                                                : block_elements;

// convert_blocks for a rule that stages the element itself, with a scalar
// map of `Entries` entries folded in: a mapped element never needs the
// element loop, and is written as its entry's stand-in, a source value that
// `finish` turns into the entry's target. The selection stays in the
// source's lanes.
template <class Rule, size_t Entries, Element S, Element D>
    requires BlockRule<Rule, S, D>
[[gnu::always_inline]] inline size_t convert_blocks_mapped_loop(const S* in, D* out,
                                                               size_t start, size_t n,
                                                               const S* sources,
                                                               const S* stand_ins) {
    static_assert(Rule::stages_source);
    using Flag = UnsignedOfSize<sizeof(S)>;
    const Substituted<Entries, S> load{StandIns<Entries, S>(sources, stand_ins)};
    const FirstMatch<Entries, S>& match = load.stand_ins.match;
    return convert_blocks_overlapped<mapped_block_elements<S>>(
        in, out, start, n,
        [&match](S x) -> Flag {
            return static_cast<Flag>(Rule::needs_element_loop(x, x)) &
                   static_cast<Flag>(Flag(match.any(x)) - Flag(1));
        },
        [&load](S x) { return finish_selected<Rule, D>(load(x)); });
}

template <class Rule, size_t Entries, Element S, Element D>
    requires BlockRule<Rule, S, D>
size_t convert_blocks_mapped(const S* in, D* out, size_t start, size_t n, const S* sources,
                             const S* stand_ins) {
    return run_folded<&convert_blocks_mapped_loop<Rule, Entries, S, D>>(in, out, start, n,
                                                                             sources, stand_ins);
}

// convert_in_blocks with a scalar map of up to four entries folded into the
// block loops (one entry, or four with the last one repeated, which changes
// no first match), for an integer rule that stages the element itself, a
// target no narrower than the source (narrowing the selected lanes
// vectorises poorly) and targets that `finish` makes of some source value;
// the element loop applies the map itself. Returns false, having done
// nothing, for any other call, which then takes convert_mapped's passes.
template <class Rule, Element S, Element D, class ElementLoop>
    requires BlockRule<Rule, S, D>
bool convert_in_blocks_with_map(const S* in, D* out, size_t n,
                                std::span<const MapEntry<S, D>> map, ElementLoop&& element_loop,
                                CastOutcome& result) {
    if constexpr (!Rule::stages_source || !IntegerElement<S> || !IntegerElement<D>) {
        return false;
    } else {
        constexpr bool narrowing = sizeof(S) > sizeof(D);
        const std::optional<PaddedMap<S, D>> padded = padded_map(map, n);
        if (!padded || (narrowing && !padded->one) || !folded_map_loops_run()) return false;
        S stand_ins[max_block_map_entries];
        for (size_t e = 0; e < max_block_map_entries; ++e) {
            stand_ins[e] = static_cast<S>(padded->targets[e]);
            if (finish_selected<Rule, D>(stand_ins[e]) != padded->targets[e]) return false;
        }
        const S* sources = padded->sources;
        const bool one = padded->one;
        result = std::nullopt;
        size_t i = 0;
        while ((i = one ? convert_blocks_mapped<Rule, 1>(in, out, i, n, sources, stand_ins)
                        : convert_blocks_mapped<Rule, narrowing ? 1 : max_block_map_entries>(
                              in, out, i, n, sources, stand_ins)) < n) {
            const size_t len = std::min(block_elements, n - i);
            if (CastOutcome error = element_loop(in + i, out + i, len)) {
                result = error;
                break;
            }
            i += len;
        }
        return true;
    }
}

// The chunk with each mapped element replaced by its entry's stand-in, the
// first matching entry's, in one pass in the source's lane width; returns
// whether any element changed (a stand-in may have the element's own bits).
template <size_t Entries, Element S>
[[gnu::always_inline]] inline bool substitute_mapped_loop(const S* __restrict x, size_t len,
                                                          const S* sources,
                                                          const S* stand_ins,
                                                          S* __restrict substituted) {
    const StandIns<Entries, S> substitute(sources, stand_ins);
    UnsignedOfSize<sizeof(S)> any = 0;
    for (size_t k = 0; k < len; ++k) set_bits(substituted[k], substitute(x[k], any));
    return any != 0;
}

template <size_t Entries, Element S>
[[gnu::noinline]] bool substitute_mapped(const S* x, size_t len, const S* sources,
                                         const S* stand_ins, S* substituted) {
    return run_for_target<&substitute_mapped_loop<Entries, S>>(x, len, sources, stand_ins,
                                                               substituted);
}

// substitute_mapped for a padded map's entries: one, or all four.
template <Element S, Element D>
bool substitute_padded(const PaddedMap<S, D>& map, const S* x, size_t len, const S* stand_ins,
                       S* substituted) {
    return map.one ? substitute_mapped<1>(x, len, map.sources, stand_ins, substituted)
                   : substitute_mapped<max_block_map_entries>(x, len, map.sources, stand_ins,
                                                              substituted);
}

// A source value that the unmapped conversion turns into exactly `target`,
// bit for bit, without failing: the target's own value in the source type,
// checked by converting it. None where the source type has no such value
// (a NaN, a fraction or a value beyond the range of an integer source) or
// the conversion changes it.
template <Element S, Element D, class Unmapped>
std::optional<S> stand_in_for(D target, Unmapped& unmapped) {
    double value;
    if constexpr (FloatElement<D>) {
        value = to_float64(target);
    } else {
        value = static_cast<double>(target);
    }
    S candidate;
    if constexpr (IntegerElement<S>) {
        if (!(value == std::trunc(value) &&
              value >= static_cast<double>(std::numeric_limits<S>::min()) &&
              value < integer_upper_limit<S>)) {
            return std::nullopt;
        }
        candidate = static_cast<S>(value);
    } else if constexpr (std::same_as<S, float16>) {
        candidate = float64_to_float16(value);
    } else {
        candidate = static_cast<S>(value);
    }
    // Through memory, so that the compiler can't fold the way from the
    // target and back: GCC for aarch64 turns float -> integer -> float into
    // a truncation, which keeps the sign of -0.0.
    volatile UnsignedOfSize<sizeof(S)> opaque = bits_of(candidate);
    set_bits(candidate, opaque);
    D converted;
    if (unmapped(&candidate, &converted, 1)) return std::nullopt;
    if (bits_of(converted) != bits_of(target)) return std::nullopt;
    return candidate;
}

// Each of a padded map's targets' stand-ins under `unmapped`, or none where
// a target has none.
template <Element S, Element D, class Unmapped>
std::optional<std::array<S, max_block_map_entries>> stand_ins_for(const PaddedMap<S, D>& map,
                                                                  Unmapped& unmapped) {
    std::array<S, max_block_map_entries> stand_ins;
    for (size_t e = 0; e < max_block_map_entries; ++e) {
        const std::optional<S> stand_in = stand_in_for<S>(map.targets[e], unmapped);
        if (!stand_in) return std::nullopt;
        stand_ins[e] = *stand_in;
    }
    return stand_ins;
}

// A map of up to four entries as the vector paths fold it in: the padded
// entries' sources with their stand-ins. None for a slice of a few elements,
// a longer map, or an entry without a stand-in.
template <FloatElement S, Element D, class Unmapped>
std::optional<simd::StandInMap<S>> vector_stand_in_map(std::span<const MapEntry<S, D>> map,
                                                        size_t n, Unmapped& unmapped) {
    const std::optional<PaddedMap<S, D>> padded = padded_map(map, n);
    const auto stand_ins = padded ? stand_ins_for(*padded, unmapped) : std::nullopt;
    if (!stand_ins) return std::nullopt;
    static_assert(std::size(simd::StandInMap<S>{}.sources) == max_block_map_entries);
    simd::StandInMap<S> folded{};
    std::copy_n(padded->sources, max_block_map_entries, folded.sources);
    std::copy_n(stand_ins->data(), max_block_map_entries, folded.stand_ins);
    folded.one = padded->one;
    return folded;
}

// The conversion of a pair whose every source value is exact in the target
// (a lossless widening), which never needs the element loop.
template <Element S, Element D>
struct ExactRule {
    using Stage = S;
    static constexpr bool checks = false;
    static constexpr bool stages_source = true;
    static S stage(S x) { return x; }
    static D finish(S x, S) { return static_cast<D>(x); }
};

// The whole slice under a rule that never needs the element loop, with each
// mapped element replaced by its entry's stand-in (a source value that the
// rule turns into the entry's target) in the source's lanes before the
// conversion, in one pass. Four entries' selects before a narrowing stay
// in the source's lanes, hidden.
template <class Rule, size_t Entries, Element S, Element D>
    requires BlockRule<Rule, S, D>
[[gnu::always_inline]] inline void convert_stand_ins_loop(const S* in, D* out, size_t n,
                                                          const S* sources, const S* stand_ins,
                                                          unsigned zero) {
    static_assert(!Rule::checks);
    const Substituted<Entries, S> load{StandIns<Entries, S>(sources, stand_ins)};
    for (size_t i = 0; i < n; ++i) {
        S v = load(in[i]);
        if constexpr (keeps_map_selects_wide<Rule> || (Entries > 1 && sizeof(S) > sizeof(D))) {
            v = hidden(v, zero);
        }
        out[i] = finish_staged<Rule>(v);
    }
}

template <class Rule, size_t Entries, Element S, Element D>
    requires BlockRule<Rule, S, D>
void convert_stand_ins(const S* in, D* out, size_t n, const S* sources, const S* stand_ins) {
    run_folded<&convert_stand_ins_loop<Rule, Entries, S, D>>(in, out, n, sources, stand_ins,
                                                             opaque_zero);
}

// A copy with a map of up to four entries, the targets selected in, in one
// pass: each target is its own stand-in. Returns false, having done nothing,
// for a longer map, a slice of a few elements, or where the folded loops
// don't run.
template <Element S>
bool copy_with_map(const S* in, S* out, size_t n, std::span<const MapEntry<S, S>> map) {
    const std::optional<PaddedMap<S, S>> padded = padded_map(map, n);
    if (!padded || !folded_map_loops_run()) return false;
    if (padded->one) {
        convert_stand_ins<ExactRule<S, S>, 1>(in, out, n, padded->sources, padded->targets);
    } else {
        convert_stand_ins<ExactRule<S, S>, max_block_map_entries>(in, out, n, padded->sources,
                                                                  padded->targets);
    }
    return true;
}

// convert_elements_mapped for a map of up to four entries: one entry, or
// four, with the last entry repeated, which changes no first match. Elements
// of two widths select stand-ins in the source's lanes instead of targets in
// the target's, which needs a stand-in for every target; narrowing does so
// only into an integer, and for four entries only from 32- and 64-bit
// sources, since a rounding in one loop with the selects, or four selects
// before 16-bit lanes narrow, cost more than convert_mapped's passes
// (1.4-2 times). Returns false, having done nothing, for a
// longer map, a slice of a few elements, float16 elements (their selects
// don't vectorise) and a two-width map without stand-ins.
template <class Rule, Element S, Element D>
    requires BlockRule<Rule, S, D>
bool convert_elements_with_map(const S* in, D* out, size_t n,
                               std::span<const MapEntry<S, D>> map) {
    if constexpr (std::same_as<S, float16> || std::same_as<D, float16>) {
        return false;
    } else {
        const std::optional<PaddedMap<S, D>> p = padded_map(map, n);
        if (!p || !folded_map_loops_run()) return false;
        if constexpr (sizeof(S) == sizeof(D)) {
            if (p->one) {
                convert_elements_mapped<Rule, 1>(in, out, n, p->sources, p->targets);
            } else {
                convert_elements_mapped<Rule, max_block_map_entries>(in, out, n, p->sources,
                                                                     p->targets);
            }
        } else {
            if constexpr (sizeof(S) > sizeof(D)) {
                if (FloatElement<D> || (!p->one && sizeof(S) < 4)) return false;
            }
            auto by_rule = [](const S* x, D* y, size_t) -> CastOutcome {
                *y = Rule::finish(*x, Rule::stage(*x));
                return std::nullopt;
            };
            const auto stand_ins = stand_ins_for(*p, by_rule);
            if (!stand_ins) return false;
            if (p->one) {
                convert_stand_ins<Rule, 1>(in, out, n, p->sources, stand_ins->data());
            } else {
                convert_stand_ins<Rule, max_block_map_entries>(in, out, n, p->sources,
                                                               stand_ins->data());
            }
        }
        return true;
    }
}

// An identity or an exact widening with a map of up to four entries, in
// one pass with the targets, or their stand-ins, selected in. Returns false,
// having done nothing, where those loops don't take the call.
template <Element S, Element D>
bool convert_exact_with_map(const S* in, D* out, size_t n, std::span<const MapEntry<S, D>> map) {
    if constexpr (std::same_as<S, D>) {
        return copy_with_map(in, out, n, map);
    } else if constexpr (std::same_as<S, float16>) {
        return false;
    } else {
        return convert_elements_with_map<ExactRule<S, D>>(in, out, n, map);
    }
}

// How the unmapped conversion of a mapped one can fail: never; having
// written nothing at or past the failing element (the element loop, the
// block loops, and the fast paths that test a block before they write it);
// or having written past it (a pass over the whole slice before the test).
enum class UnmappedFailure : uint8_t { Never, BeforeIt, PastIt };

// A conversion with a scalar map of a few entries, chunk by chunk. Where
// every entry's target has a stand-in, `unmapped` converts the chunk with
// the stand-ins in place of the mapped elements, which writes every target
// itself. Otherwise it converts the chunk as if there were no map (a
// conversion that can fail with zeros in place of the mapped elements,
// which every conversion takes without failing), and the mapped elements
// then take their targets. Either way only an element the map leaves alone
// can make it fail, and a chunk where it fails goes to the element loop
// (which applies the map and returns the first failure). A conversion that
// writes past a failing element writes into a buffer first; one that
// doesn't writes what the element loop then writes again, the same values,
// so that results, errors and what is written are the element loop's. A
// longer map runs the element loop throughout.
template <UnmappedFailure Failure, Element S, Element D, class Unmapped, class ElementLoop>
CastOutcome convert_mapped(const S* in, D* out, size_t n, std::span<const MapEntry<S, D>> map,
                           Unmapped&& unmapped, ElementLoop&& element_loop) {
    constexpr bool CanFail = Failure != UnmappedFailure::Never;
    constexpr bool buffered = Failure == UnmappedFailure::PastIt;
    const std::optional<PaddedMap<S, D>> padded = padded_map(map, n);
    if (!padded) return element_loop(in, out, n);
    const S* sources = padded->sources;
    const D* targets = padded->targets;
    const auto stand_in_array = stand_ins_for(*padded, unmapped);
    const bool stand_in_all = stand_in_array.has_value();
    const S* stand_ins = stand_in_all ? stand_in_array->data() : nullptr;
    // One entry, or four, as a constant of the loops.
    const bool one = padded->one;
    const auto mark = [&](const S* x, size_t len, UnsignedOfSize<sizeof(S)>* flags,
                          S* substituted) {
        if (stand_in_all) return substitute_padded(*padded, x, len, stand_ins, substituted);
        return one ? flag_mapped<1, CanFail>(x, len, sources, flags, substituted)
                   : flag_mapped<max_block_map_entries, CanFail>(x, len, sources, flags,
                                                                 substituted);
    };
    const auto write_targets = [&](const UnsignedOfSize<sizeof(S)>* flags, const D* from, D* to,
                                   size_t len) {
        if (one) {
            write_map_targets<1>(flags, from, to, len, targets);
        } else {
            write_map_targets<max_block_map_entries>(flags, from, to, len, targets);
        }
    };
    constexpr size_t chunk = mapped_chunk_elements<sizeof(S)>;
    UnsignedOfSize<sizeof(S)> flags[chunk];
    S substituted[chunk];
    D converted[buffered ? chunk : 1];
    for (size_t i = 0; i < n; i += chunk) {
        const size_t len = std::min(chunk, n - i);
        const S* x = in + i;
        D* y = out + i;
        const bool any = mark(x, len, flags, substituted);
        const S* seen = any && (stand_in_all || CanFail) ? substituted : x;
        const bool blend = any && !stand_in_all;
        if constexpr (buffered) {
            if (unmapped(seen, converted, len)) {
                if (CastOutcome error = element_loop(x, y, len)) return error;
                continue;
            }
            if (blend) {
                write_targets(flags, converted, y, len);
            } else {
                std::memcpy(y, converted, len * sizeof(D));
            }
        } else {
            if (unmapped(seen, y, len)) {
                if (CastOutcome error = element_loop(x, y, len)) return error;
                continue;
            }
            if (blend) write_targets(flags, y, y, len);
        }
    }
    return std::nullopt;
}

}  // namespace tolvane::detail

// What a block rule is: the interface between the element rules of each
// family and the block loops that run them.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "../element_types.hpp"

namespace tolvane::detail {

template <size_t Size>
using UnsignedOfSize = std::conditional_t<
    Size == 1, uint8_t,
    std::conditional_t<Size == 2, uint16_t, std::conditional_t<Size == 4, uint32_t, uint64_t>>>;

// The answer of `needs_element_loop`: a bool, or an unsigned value of the
// source's width, nonzero for yes, which the loops OR together without
// narrowing vector lanes.
template <class T, class S>
concept NeedsFlag = std::same_as<T, bool> || std::same_as<T, UnsignedOfSize<sizeof(S)>>;

// A block rule converts one element of S into D in two straight-line steps,
// each a loop of its own: `stage` works in the source's lane width
// (rounding, range, the test of `needs_element_loop`), `finish` narrows or
// widens the staged value into D, with the element at hand for rules that
// need it. Loops that mix both give the compiler's vectoriser lanes of two
// widths to reconcile, which it does poorly. `checks` is false for a rule
// that never needs the element loop (one that fails, or a rare case the
// straight-line code doesn't cover), `stages_source` true for one whose
// staged value is the element itself. Such a rule may add
// `finish_selected(x)`, which the mapped block loops call instead of
// `finish` on a value selected among the element and the map's stand-ins.
template <class R, class S, class D>
concept BlockRule =
    Element<S> && Element<D> && Element<typename R::Stage> &&
    std::same_as<decltype(R::checks), const bool> &&
    std::same_as<decltype(R::stages_source), const bool> &&
    requires(S x, typename R::Stage staged) {
        { R::stage(x) } -> std::same_as<typename R::Stage>;
        { R::finish(x, staged) } -> std::same_as<D>;
    } &&
    (!R::checks || requires(S x, typename R::Stage staged) {
        { R::needs_element_loop(x, staged) } -> NeedsFlag<S>;
    });

// Whether the block loops stage each element where they test it and again
// where they write it, instead of through a buffer: a rule may say so with
// `restages` where its element, staged value and target have one lane width.
template <class R>
inline constexpr bool restages = requires { requires R::restages; };

// Whether the loops hide the width of the element a map's stand-in was
// selected into from the compiler, where GCC would otherwise narrow the
// selects, masks included, before the value, at more cost than the loops'
// one shift.
template <class R>
inline constexpr bool keeps_map_selects_wide = requires { requires R::keeps_map_selects_wide; };

// The base of a rule whose staged value is already D.
template <Element D>
struct StagedAsTarget {
    using Stage = D;
    static constexpr bool stages_source = false;
    template <Element S>
    static D finish(S, D staged) {
        return staged;
    }
};

}  // namespace tolvane::detail

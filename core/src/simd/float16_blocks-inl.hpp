// The block runners of the float16 fast paths, shared by every processor's
// target files: a file includes this where its instruction set is in force,
// so that the runners inline its block types. It supplies, for narrowing,
// templates on the rounding mode with a `width` and a `convert<CheckOverflow>`
// that stores a whole block, or with the check returns false without writing
// when a result of the block is an infinity (and which reads the elements
// through an optional load); for widening, a type with a `width` and a
// `convert`. No include guard: one copy per target file.

#include <optional>

namespace tolvane::simd::float16_blocks {

namespace {

// Whole blocks; with the overflow check a block with an infinite result
// (an infinite source, or the overflow itself) goes to the scalar rule, which
// writes the elements before a finite source that overflowed. Then the tail.
template <class Narrow, RoundingMode::Value Mode, FloatElement S>
FastPathOutcome narrow_in_mode(std::span<const S> src, std::span<float16> dst,
                               bool check_overflow) {
    const size_t n = std::min(src.size(), dst.size());
    const S* in = src.data();
    float16* out = dst.data();
    size_t i = 0;
    if (check_overflow) {
        for (; i + Narrow::width <= n; i += Narrow::width) {
            if (Narrow::template convert<true>(in + i, out + i)) continue;
            const FastPathOutcome block =
                detail::narrow_to_float16<Mode>(in, out, i, i + Narrow::width, true);
            if (block.error) return block;
        }
    } else {
        for (; i + Narrow::width <= n; i += Narrow::width) {
            Narrow::template convert<false>(in + i, out + i);
        }
    }
    return detail::narrow_to_float16<Mode>(in, out, i, n, check_overflow);
}

template <template <RoundingMode::Value> class Narrow, FloatElement S>
FastPathOutcome narrow(std::span<const S> src, std::span<float16> dst, RoundingMode rounding,
                       bool check_overflow) {
    return detail::with_vector_rounding_mode(rounding, [&](auto mode) {
        constexpr RoundingMode::Value m = decltype(mode)::value;
        return narrow_in_mode<Narrow<m>, m>(src, dst, check_overflow);
    });
}

// Whole blocks with each element read through `load` (a map's stand-ins put
// in), up to the first block with an infinite result when overflow is an
// error. Returns how many elements are written; nothing for NearestAway.
template <template <RoundingMode::Value> class Narrow, FloatElement S, class Load>
std::optional<size_t> narrow_loaded(std::span<const S> src, std::span<float16> dst,
                                    RoundingMode rounding, bool check_overflow, const Load& load) {
    const size_t n = std::min(src.size(), dst.size());
    // Copies, which the loop keeps in registers: a vector store may alias
    // anything in memory, and what it may change is read again after it.
    const S* const in = src.data();
    float16* const out = dst.data();
    return with_rounding_mode(rounding, [in, out, n, check_overflow,
                                         load](auto mode) -> std::optional<size_t> {
        if constexpr (mode.value == RoundingMode::NearestAway) {
            return std::nullopt;
        } else {
            using Block = Narrow<mode.value>;
            size_t i = 0;
            if (check_overflow) {
                while (i + Block::width <= n &&
                       Block::template convert<true>(in + i, out + i, load)) {
                    i += Block::width;
                }
            } else {
                for (; i + Block::width <= n; i += Block::width) {
                    Block::template convert<false>(in + i, out + i, load);
                }
            }
            return i;
        }
    });
}

// Whole blocks, each widened vector handed through `select`, which puts a
// map's targets in: widening is exact, so a widened element equals a map's
// source exactly where the float16 one does. Returns how many elements it
// wrote.
template <class Widen, class Select>
size_t widen_selected(std::span<const float16> src, std::span<float> dst, const Select& select) {
    const size_t n = std::min(src.size(), dst.size());
    const Select selected = select;  // in registers, as in narrow_loaded
    size_t i = 0;
    for (; i + Widen::width <= n; i += Widen::width) {
        Widen::convert(src.data() + i, dst.data() + i, selected);
    }
    return i;
}

template <class Widen>
FastPathOutcome widen(std::span<const float16> src, std::span<float> dst) {
    const size_t n = std::min(src.size(), dst.size());
    size_t i = 0;
    for (; i + Widen::width <= n; i += Widen::width) Widen::convert(src.data() + i, dst.data() + i);
    for (; i < n; ++i) dst[i] = float16_to_float32(src[i]);
    return {true, std::nullopt};
}

}  // namespace

}  // namespace tolvane::simd::float16_blocks

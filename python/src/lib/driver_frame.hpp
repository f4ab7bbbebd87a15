// The two driver frames that every (source, target) pair instantiates: the
// allocating frame of `cast_array` and the writing frame of `cast_array_into`.
// A pair contributes only its conversion step: a core kernel under a
// CastConfig, or the inline loop of the pairs that need no mode.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "array_views.hpp"
#include "cast_config.hpp"
#include "drivers.hpp"
#include "float_to_float.hpp"
#include "float_to_int.hpp"
#include "int_to_float.hpp"
#include "int_to_int.hpp"
#include "py_ref.hpp"
#include "scalar_map.hpp"

namespace tolvane::py {

// Pair classes. Inline pairs convert exactly (or copy) in the driver's own
// loop and receive no mode: the same-type pairs other than float16, the
// lossless integer widenings, and the integer-to-float pairs whose every
// source value is exact in the target. Every other pair is a kernel pair.
template <Element S, Element D>
inline constexpr bool lossless_integer_pair = [] {
    if constexpr (IntegerElement<S> && IntegerElement<D> && !std::same_as<S, D>) {
        return std::cmp_greater_equal(std::numeric_limits<S>::min(), std::numeric_limits<D>::min()) &&
               std::cmp_less_equal(std::numeric_limits<S>::max(), std::numeric_limits<D>::max());
    } else {
        return false;
    }
}();

template <Element S, Element D>
inline constexpr bool exact_int_to_float_pair = [] {
    if constexpr (IntegerElement<S> && (std::same_as<D, float> || std::same_as<D, double>)) {
        return std::numeric_limits<S>::digits <= std::numeric_limits<D>::digits;
    } else {
        return false;
    }
}();

template <Element S, Element D>
inline constexpr bool inline_pair = (std::same_as<S, D> && !std::same_as<S, float16>) ||
                                    lossless_integer_pair<S, D> || exact_int_to_float_pair<S, D>;

template <Element S, Element D>
inline constexpr bool receives_rounding = !inline_pair<S, D> && (FloatElement<S> || FloatElement<D>);

template <Element S, Element D>
inline constexpr bool receives_out_of_range =
    !inline_pair<S, D> && !(IntegerElement<S> && FloatElement<D>);

// Conversion step of a kernel pair: the family's core kernel.
template <Element S, Element D>
struct KernelStep {
    CastConfig<S, D> config;

    CastOutcome convert(std::span<const S> src, std::span<D> dst) const {
        if constexpr (IntegerElement<S> && IntegerElement<D>) {
            return convert_slice_int_to_int<S, D>(src, dst, config);
        } else if constexpr (FloatElement<S> && IntegerElement<D>) {
            return convert_slice_float_to_int<S, D>(src, dst, config);
        } else if constexpr (IntegerElement<S>) {
            return convert_slice_int_to_float<S, D>(src, dst, config);
        } else {
            return convert_slice_float_to_float<S, D>(src, dst, config);
        }
    }
};

// Conversion step of an inline pair: the first matching entry's target, else
// the value itself, copied bit for bit or converted exactly. Never fails.
template <Element S, Element D>
    requires inline_pair<S, D>
struct InlineStep {
    std::vector<MapEntry<S, D>> entries;

    CastOutcome convert(std::span<const S> src, std::span<D> dst) const {
        const std::size_t n = std::min(src.size(), dst.size());
        const S* in = src.data();
        D* out = dst.data();
        const auto plain = [](const S* x, D* y, std::size_t len) -> CastOutcome {
            if constexpr (std::same_as<S, D>) {
                std::memmove(y, x, len * sizeof(S));
            } else {
                tolvane::detail::convert_elements<tolvane::detail::ExactRule<S, D>>(x, y, len);
            }
            return std::nullopt;
        };
        if (entries.empty()) return plain(in, out, n);
        const std::span<const MapEntry<S, D>> map(entries);
        if (tolvane::detail::convert_exact_with_map(in, out, n, map)) return std::nullopt;
        const auto element_loop = [map](const S* x, D* y, std::size_t len) -> CastOutcome {
            for (std::size_t i = 0; i < len; ++i) {
                const D* target = find_map_target(map, x[i]);
                y[i] = target != nullptr ? *target : static_cast<D>(x[i]);
            }
            return std::nullopt;
        };
        return tolvane::detail::convert_mapped<tolvane::detail::UnmappedFailure::Never>(
            in, out, n, map, plain, element_loop);
    }
};

namespace detail {

template <class T>
bool misaligned(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(T) != 0;
}

// Runs `step` over the smaller of the two lengths. An input that overlaps the
// output is converted from a copy of itself, and unaligned elements go
// through aligned buffers, so the kernels only ever see aligned, distinct
// memory; the output buffer starts from the output's own contents so that
// whatever the step leaves unwritten stays as it was.
template <Element S, Element D, class Step>
CastOutcome convert_buffers(const Step& step, std::span<const S> src, std::span<D> dst) {
    const std::size_t n = std::min(src.size(), dst.size());
    const char* src_bytes = reinterpret_cast<const char*>(src.data());
    char* dst_bytes = reinterpret_cast<char*>(dst.data());
    const bool overlapping = src_bytes < dst_bytes + n * sizeof(D) && dst_bytes < src_bytes + n * sizeof(S);

    std::unique_ptr<S[]> src_copy;
    const S* in = src.data();
    if (overlapping || misaligned<S>(in)) {
        src_copy = std::make_unique_for_overwrite<S[]>(n);
        std::memcpy(src_copy.get(), src_bytes, n * sizeof(S));
        in = src_copy.get();
    }
    std::unique_ptr<D[]> dst_copy;
    D* out = dst.data();
    if (misaligned<D>(out)) {
        dst_copy = std::make_unique_for_overwrite<D[]>(n);
        std::memcpy(dst_copy.get(), dst_bytes, n * sizeof(D));
        out = dst_copy.get();
    }
    const CastOutcome outcome = step.convert(std::span<const S>(in, n), std::span<D>(out, n));
    if (dst_copy) std::memcpy(dst_bytes, dst_copy.get(), n * sizeof(D));
    return outcome;
}

}  // namespace detail

// `cast_array`: input view, scalar map, new row-major array of D with the
// input's shape, conversion, result. `make_step` turns the parsed
// entry list into the pair's conversion step.
template <Element S, Element D, class MakeStep>
PyResult alloc_frame(PyObject* arr, PyObject* scalar_map_entries, const char* src_name,
                     const char* dst_name, MakeStep make_step) {
    auto view = readonly_row_major<S>(arr);
    if (!view.ok()) return view.take_error();
    auto entries = parse_map_entries<S, D>(scalar_map_entries, src_name, dst_name);
    if (!entries.ok()) return entries.take_error();
    const auto step = make_step(std::move(entries.value()));

    // Read only now: the scalar map's Python code may have changed the input.
    auto source = view.value().elements();
    if (!source.ok()) return source.take_error();
    PyArrayObject* input = view.value().array();
    PyArray_Descr* descr = native_descr(numpy_type_number<D>);
    Py_INCREF(descr);  // PyArray_Empty takes this reference over, also when it fails
    // Left unfilled: a conversion that succeeds writes every element, and one
    // that fails releases the array, so its first contents never show.
    PyRef result = PyRef::steal(PyArray_Empty(PyArray_NDIM(input), PyArray_DIMS(input), descr, 0));
    // NumPy's own exception (MemoryError, or ValueError for a too large shape) is raised unchanged.
    if (!result) return PyErrorValue::fetch();
    PyArrayObject* output = reinterpret_cast<PyArrayObject*>(result.get());
    if (has_zero_axis(output)) return result;

    auto target = writable_row_major<D>(output, new_array_layout_message);
    if (!target.ok()) return target.take_error();
    if (const CastOutcome failure = detail::convert_buffers<S, D>(step, source.value(), target.value())) {
        return cast_error_to_pyerr(*failure);
    }
    return result;
}

// `cast_array_into`: input view, scalar map, checks of `out` (element type,
// empty shortcut, at most 32 axes, writeable and row-major), conversion in
// place, None. Elements converted before a failing one stay written.
template <Element S, Element D, class MakeStep>
PyResult into_frame(PyObject* arr, PyObject* out, PyObject* scalar_map_entries, const char* src_name,
                    const char* dst_name, MakeStep make_step) {
    auto view = readonly_row_major<S>(arr);
    if (!view.ok()) return view.take_error();
    auto entries = parse_map_entries<S, D>(scalar_map_entries, src_name, dst_name);
    if (!entries.ok()) return entries.take_error();
    const auto step = make_step(std::move(entries.value()));

    auto source = view.value().elements();
    if (!source.ok()) return source.take_error();
    if (!is_array_of<D>(out)) return conversion_type_error(out, "PyArray<T, D>");
    PyArrayObject* output = reinterpret_cast<PyArrayObject*>(out);
    // The scalar map's Python code may have resized either array since the shapes were compared.
    if (auto mismatch = shape_mismatch(view.value().array(), output)) return std::move(*mismatch);
    if (has_zero_axis(output)) return PyRef::borrow(Py_None);

    auto target = writable_row_major<D>(output, output_layout_message);
    if (!target.ok()) return target.take_error();
    if (const CastOutcome failure = detail::convert_buffers<S, D>(step, source.value(), target.value())) {
        return cast_error_to_pyerr(*failure);
    }
    return PyRef::borrow(Py_None);
}

static_assert(lossless_integer_pair<uint8_t, int16_t> && !lossless_integer_pair<int8_t, uint16_t> &&
              !lossless_integer_pair<uint32_t, int32_t>);
static_assert(inline_pair<int16_t, float> && !inline_pair<int32_t, float> && inline_pair<uint32_t, double> &&
              !inline_pair<int64_t, double> && !inline_pair<float16, float16> && inline_pair<double, double>);

// The step makers that the family drivers hand to the frames.
template <Element S, Element D>
auto inline_step() {
    return [](std::vector<MapEntry<S, D>>&& entries) { return InlineStep<S, D>{std::move(entries)}; };
}

template <Element S, Element D, class... Modes>
auto kernel_step(Modes... modes) {
    return [=](std::vector<MapEntry<S, D>>&& entries) {
        return KernelStep<S, D>{CastConfig<S, D>{std::move(entries), modes...}};
    };
}

}  // namespace tolvane::py

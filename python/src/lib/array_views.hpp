// The typed views through which drivers read the input and write the output:
// the input check `readonly_row_major` with its shared borrow, the checks of
// an output array, and the mapping of a conversion error to ValueError.
#pragma once

#include <optional>

#include <cstdint>
#include <span>
#include <utility>

#include "borrow_registry.hpp"
#include "cast_error.hpp"
#include "dtype_keys.hpp"
#include "numpy_api.hpp"

namespace tolvane::py {

inline constexpr int max_view_dimensions = 32;
inline constexpr const char* input_layout_message = "Input array must be row-major (C-contiguous)";
inline constexpr const char* output_layout_message =
    "Output array must be row-major (C-contiguous) and writeable";
inline constexpr const char* new_array_layout_message = "Failed to get mutable slice from output array";

// Is `object` a NumPy array of T in native byte order?
template <Element T>
bool is_array_of(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
    PyArray_Descr* native = native_descr(numpy_type_number<T>);
    return descr == native || PyArray_EquivTypes(descr, native);
}

// A read-only typed view of an input array: one strong reference and one
// shared borrow in the shared borrow registry, released in that reverse order.
template <Element T>
class PyReadonlyArray {
public:
    explicit PyReadonlyArray(PyArrayObject* array) : array_(array) {}
    PyReadonlyArray(PyReadonlyArray&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    PyReadonlyArray& operator=(PyReadonlyArray&&) = delete;
    ~PyReadonlyArray() {
        if (array_ != nullptr) {
            const BorrowRegistryApi& registry = borrow_registry();
            registry.release_shared(registry.state, array_);
            Py_DECREF(array_);
        }
    }

    PyArrayObject* array() const { return array_; }

    // The elements as one flat run. Python code may have run since the view
    // was taken (resizing or reshaping the array), so layout and element type
    // are checked again and the pointer and length are read now.
    Result<std::span<const T>> elements() const {
        PyObject* object = reinterpret_cast<PyObject*>(array_);
        if (!PyArray_CHKFLAGS(array_, NPY_ARRAY_C_CONTIGUOUS)) {
            return PyErrorValue::lazy(PyExc_ValueError, input_layout_message);
        }
        if (!is_array_of<T>(object)) return conversion_type_error(object, "PyArray<T, D>");
        const void* data = PyArray_DATA(array_);
        if (data == nullptr) {
            return PyErrorValue::internal("a C-contiguous array's buffer is a valid slice: NotContiguousError");
        }
        return std::span<const T>(static_cast<const T*>(data), static_cast<std::size_t>(PyArray_SIZE(array_)));
    }

private:
    PyArrayObject* array_;
};

// Checks that `arr` (a NumPy array) is row-major and of T, then takes the
// view. The layout is tested before the element type.
template <Element T>
Result<PyReadonlyArray<T>> readonly_row_major(PyObject* arr) {
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(arr);
    if (!PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS)) {
        return PyErrorValue::lazy(PyExc_ValueError, input_layout_message);
    }
    if (!is_array_of<T>(arr)) return conversion_type_error(arr, "PyArray<T, D>");
    if (auto error = ensure_borrow_registry()) return std::move(*error);
    const BorrowRegistryApi& registry = borrow_registry();
    switch (registry.acquire_shared(registry.state, array)) {
        case 0:
            break;
        case -1:
            return PyErrorValue::lazy(PyExc_MemoryError, "the shared borrow could not be recorded");
        default:
            return PyErrorValue::internal("the input array is exclusively borrowed elsewhere");
    }
    Py_INCREF(arr);
    return PyReadonlyArray<T>(array);
}

inline bool has_zero_axis(PyArrayObject* array) {
    const npy_intp* dims = PyArray_DIMS(array);
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
        if (dims[axis] == 0) return true;
    }
    return false;
}

// The elements of a non-empty output array as one flat writable run. At most
// 32 axes; then it must be writeable and row-major, where an axis of length 1
// may carry any stride. Otherwise a ValueError with `layout_message`.
template <Element T>
Result<std::span<T>> writable_row_major(PyArrayObject* array, const char* layout_message) {
    const int ndim = PyArray_NDIM(array);
    if (ndim > max_view_dimensions) {
        return PyErrorValue::internal("NumPy arrays are expected to have no more than 32 dimensions, not " +
                                      std::to_string(ndim));
    }
    if (!PyArray_CHKFLAGS(array, NPY_ARRAY_WRITEABLE)) {
        return PyErrorValue::lazy(PyExc_ValueError, layout_message);
    }
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    npy_intp expected = static_cast<npy_intp>(sizeof(T));
    for (int axis = ndim - 1; axis >= 0; --axis) {
        if (dims[axis] == 1) continue;
        if (strides[axis] != expected) return PyErrorValue::lazy(PyExc_ValueError, layout_message);
        expected *= dims[axis];
    }
    return std::span<T>(static_cast<T*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_SIZE(array)));
}

// The ValueError that a conversion error becomes, carrying its display text.
PyErrorValue cast_error_to_pyerr(const CastError& error);

// The ValueError of `cast_array_into` for arrays of different shapes, or nothing.
std::optional<PyErrorValue> shape_mismatch(PyArrayObject* input, PyArrayObject* output);

}  // namespace tolvane::py

// One Python object as a value of one element type, the same rule for the
// source and the target side of every pair. A failure carries the exception
// taken out of the interpreter (or a lazily described OverflowError for an
// integer outside a narrow type), so none is left pending.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "element_types.hpp"
#include "float16.hpp"
#include "py_error.hpp"

namespace tolvane::py {

static_assert(sizeof(long) == 8, "the integer rules read a C long as a signed 64-bit value");

// int, int subclass (bool included) or an object with __index__, through PyLong_AsLong.
Result<int64_t> value_to_int64(PyObject* object);
// The same objects through PyLong_AsUnsignedLongLong; negative values fail.
Result<uint64_t> value_to_uint64(PyObject* object);
// PyFloat_AsDouble for everything but an exact float (see value_to_float64).
Result<double> value_to_float64_through_call(PyObject* object);

inline Result<double> value_to_float64(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    return value_to_float64_through_call(object);
}

// A float64 value as a float element type. Two roundings on purpose: float16
// values are always taken from the float32 value.
template <FloatElement T>
T float_from_float64(double value) {
    if constexpr (std::same_as<T, double>) {
        return value;
    } else if constexpr (std::same_as<T, float>) {
        return static_cast<float>(value);
    } else {
        return float32_to_float16(static_cast<float>(value));
    }
}

inline Result<float> value_to_float32(PyObject* object) {
    Result<double> wide = value_to_float64(object);
    if (!wide.ok()) return wide.take_error();
    return float_from_float64<float>(wide.value());
}

inline Result<float16> value_to_float16(PyObject* object) {
    Result<double> wide = value_to_float64(object);
    if (!wide.ok()) return wide.take_error();
    return float_from_float64<float16>(wide.value());
}

PyErrorValue integer_out_of_range_error();

// An exact int or float as T, by the same rules as extract_element, when it
// converts without any failure; nullopt otherwise. Reads no attribute and
// raises nothing, so it runs no Python code.
template <Element T>
std::optional<T> plain_number_as(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        if constexpr (FloatElement<T>) return float_from_float64<T>(PyFloat_AS_DOUBLE(object));
        return std::nullopt;  // no float has an integer's __index__
    }
    if (!PyLong_CheckExact(object)) return std::nullopt;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(object, &overflow);
    if (overflow != 0) return std::nullopt;
    if constexpr (IntegerElement<T>) {
        if (!std::in_range<T>(value)) return std::nullopt;
        return static_cast<T>(value);
    } else {
        // The one rounding of the exact integer, as float() gives it.
        return float_from_float64<T>(static_cast<double>(value));
    }
}

template <Element T>
Result<T> extract_element(PyObject* object) {
    if constexpr (std::same_as<T, int64_t>) {
        return value_to_int64(object);
    } else if constexpr (std::same_as<T, uint64_t>) {
        return value_to_uint64(object);
    } else if constexpr (IntegerElement<T>) {
        Result<int64_t> wide = value_to_int64(object);
        if (!wide.ok()) return wide.take_error();
        const int64_t v = wide.value();
        if (v < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
            v > static_cast<int64_t>(std::numeric_limits<T>::max())) {
            return integer_out_of_range_error();
        }
        return static_cast<T>(v);
    } else if constexpr (std::same_as<T, double>) {
        return value_to_float64(object);
    } else if constexpr (std::same_as<T, float>) {
        return value_to_float32(object);
    } else {
        return value_to_float16(object);
    }
}

}  // namespace tolvane::py

#include "array_views.hpp"

#include <optional>
#include <string>

namespace tolvane::py {

namespace {

std::string shape_text(PyArrayObject* array) {
    std::string text = "[";
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis) {
        if (axis > 0) text += ", ";
        text += std::to_string(static_cast<unsigned long long>(PyArray_DIMS(array)[axis]));
    }
    return text + "]";
}

bool same_shape(PyArrayObject* a, PyArrayObject* b) {
    const int ndim = PyArray_NDIM(a);
    if (ndim != PyArray_NDIM(b)) return false;
    for (int axis = 0; axis < ndim; ++axis) {
        if (PyArray_DIMS(a)[axis] != PyArray_DIMS(b)[axis]) return false;
    }
    return true;
}

}  // namespace

std::optional<PyErrorValue> shape_mismatch(PyArrayObject* input, PyArrayObject* output) {
    if (same_shape(input, output)) return std::nullopt;
    return PyErrorValue::lazy(PyExc_ValueError, "Shape mismatch: input shape " + shape_text(input) +
                                                    " != output shape " + shape_text(output));
}

PyErrorValue cast_error_to_pyerr(const CastError& error) {
    std::string text;
    const bool rendered = CastError::fmt(error, [&text](std::string_view part) {
        text.append(part);
        return true;
    });
    if (!rendered) return PyErrorValue::internal("a conversion error could not be displayed");
    return PyErrorValue::lazy(PyExc_ValueError, std::move(text));
}

}  // namespace tolvane::py

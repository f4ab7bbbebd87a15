// The drivers of the 57 pairs that involve a float type. Float to integer
// always goes through the core kernel with both modes; integer to float and
// float to float use their kernel too, except for the pairs whose values
// carry over exactly (and the same-type copies), which convert inline.
#pragma once

#include "driver_frame.hpp"

namespace tolvane::py {

template <FloatElement S, IntegerElement D>
PyResult do_float_to_int_alloc(PyObject* arr, RoundingMode rounding, OutOfRangePolicy out_of_range,
                               PyObject* scalar_map_entries, const char* src_name, const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name,
                             kernel_step<S, D>(out_of_range, rounding));
}

template <FloatElement S, IntegerElement D>
PyResult do_float_to_int_into(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangePolicy out_of_range,
                              PyObject* scalar_map_entries, const char* src_name, const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name,
                            kernel_step<S, D>(out_of_range, rounding));
}

template <IntegerElement S, FloatElement D>
    requires receives_rounding<S, D>
PyResult do_int_to_float_alloc(PyObject* arr, RoundingMode rounding, PyObject* scalar_map_entries,
                               const char* src_name, const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name, kernel_step<S, D>(rounding));
}

template <IntegerElement S, FloatElement D>
    requires inline_pair<S, D>
PyResult do_int_to_float_alloc(PyObject* arr, PyObject* scalar_map_entries, const char* src_name,
                               const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name, inline_step<S, D>());
}

template <IntegerElement S, FloatElement D>
    requires receives_rounding<S, D>
PyResult do_int_to_float_into(PyObject* arr, PyObject* out, RoundingMode rounding, PyObject* scalar_map_entries,
                              const char* src_name, const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name, kernel_step<S, D>(rounding));
}

template <IntegerElement S, FloatElement D>
    requires inline_pair<S, D>
PyResult do_int_to_float_into(PyObject* arr, PyObject* out, PyObject* scalar_map_entries, const char* src_name,
                              const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name, inline_step<S, D>());
}

template <FloatElement S, FloatElement D>
    requires receives_rounding<S, D>
PyResult do_float_to_float_alloc(PyObject* arr, RoundingMode rounding, OutOfRangePolicy out_of_range,
                                 PyObject* scalar_map_entries, const char* src_name, const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name,
                             kernel_step<S, D>(out_of_range, rounding));
}

template <FloatElement S, FloatElement D>
    requires inline_pair<S, D>
PyResult do_float_to_float_alloc(PyObject* arr, PyObject* scalar_map_entries, const char* src_name,
                                 const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name, inline_step<S, D>());
}

template <FloatElement S, FloatElement D>
    requires receives_rounding<S, D>
PyResult do_float_to_float_into(PyObject* arr, PyObject* out, RoundingMode rounding, OutOfRangePolicy out_of_range,
                                PyObject* scalar_map_entries, const char* src_name, const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name,
                            kernel_step<S, D>(out_of_range, rounding));
}

template <FloatElement S, FloatElement D>
    requires inline_pair<S, D>
PyResult do_float_to_float_into(PyObject* arr, PyObject* out, PyObject* scalar_map_entries, const char* src_name,
                                const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name, inline_step<S, D>());
}

}  // namespace tolvane::py

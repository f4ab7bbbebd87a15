// The drivers of the 64 integer pairs. Range-policy pairs convert with the
// core kernel under the out-of-range policy; same-type and lossless widening
// pairs copy or widen inline and receive no mode.
#pragma once

#include "driver_frame.hpp"

namespace tolvane::py {

template <IntegerElement S, IntegerElement D>
    requires receives_out_of_range<S, D>
PyResult do_int_to_int_alloc(PyObject* arr, OutOfRangePolicy out_of_range, PyObject* scalar_map_entries,
                             const char* src_name, const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name, kernel_step<S, D>(out_of_range));
}

template <IntegerElement S, IntegerElement D>
    requires inline_pair<S, D>
PyResult do_int_to_int_alloc(PyObject* arr, PyObject* scalar_map_entries, const char* src_name,
                             const char* dst_name) {
    return alloc_frame<S, D>(arr, scalar_map_entries, src_name, dst_name, inline_step<S, D>());
}

template <IntegerElement S, IntegerElement D>
    requires receives_out_of_range<S, D>
PyResult do_int_to_int_into(PyObject* arr, PyObject* out, OutOfRangePolicy out_of_range,
                            PyObject* scalar_map_entries, const char* src_name, const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name, kernel_step<S, D>(out_of_range));
}

template <IntegerElement S, IntegerElement D>
    requires inline_pair<S, D>
PyResult do_int_to_int_into(PyObject* arr, PyObject* out, PyObject* scalar_map_entries, const char* src_name,
                            const char* dst_name) {
    return into_frame<S, D>(arr, out, scalar_map_entries, src_name, dst_name, inline_step<S, D>());
}

}  // namespace tolvane::py

// The drivers of the 64 integer pairs. Range-policy pairs convert with the
// core kernel under the out-of-range policy; same-type and lossless widening
// pairs copy or widen inline and receive no mode.
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

namespace {

template <class S, class D>
struct IntToIntDrivers {
    static constexpr bool covers = IntegerElement<S> && IntegerElement<D>;

    static PyResult alloc(const CallArgs& a) {
        if constexpr (receives_out_of_range<S, D>) {
            return do_int_to_int_alloc<S, D>(a.arr, a.out_of_range, a.scalar_map_entries, a.src_name, a.dst_name);
        } else {
            return do_int_to_int_alloc<S, D>(a.arr, a.scalar_map_entries, a.src_name, a.dst_name);
        }
    }

    static PyResult into(const CallArgs& a) {
        if constexpr (receives_out_of_range<S, D>) {
            return do_int_to_int_into<S, D>(a.arr, a.out, a.out_of_range, a.scalar_map_entries, a.src_name,
                                            a.dst_name);
        } else {
            return do_int_to_int_into<S, D>(a.arr, a.out, a.scalar_map_entries, a.src_name, a.dst_name);
        }
    }
};

}  // namespace

constinit const DriverTable int_to_int_drivers = make_driver_table<IntToIntDrivers>();

}  // namespace tolvane::py

#include "scalar_map_values.hpp"

namespace tolvane::py {

Result<int64_t> value_to_int64(PyObject* object) {
    const long v = PyLong_AsLong(object);
    if (v == -1 && PyErr_Occurred()) return PyErrorValue::fetch();
    return static_cast<int64_t>(v);
}

Result<uint64_t> value_to_uint64(PyObject* object) {
    unsigned long long v;
    if (PyLong_Check(object)) {
        v = PyLong_AsUnsignedLongLong(object);
    } else {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) return PyErrorValue::fetch();
        v = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    // All ones is also the call's error value; only a pending exception tells them apart.
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyErrorValue::fetch();
    return static_cast<uint64_t>(v);
}

Result<double> value_to_float64_through_call(PyObject* object) {
    const double d = PyFloat_AsDouble(object);
    if (d == -1.0 && PyErr_Occurred()) return PyErrorValue::fetch();
    return d;
}

PyErrorValue integer_out_of_range_error() {
    return PyErrorValue::lazy(PyExc_OverflowError,
                              "out of range integral type conversion attempted");
}

}  // namespace tolvane::py

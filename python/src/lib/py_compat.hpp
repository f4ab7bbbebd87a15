// The few C API calls that differ between CPython 3.11 and the later
// versions this module supports.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tolvane::py {

// The raised exception, taken out of the interpreter (nullptr when none).
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exception`, taking over the reference.
inline void set_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyObject* traceback = PyException_GetTraceback(exception);
    PyErr_Restore(type, exception, traceback);
#endif
}

}  // namespace tolvane::py

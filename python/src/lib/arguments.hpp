// Argument handling of the two Python functions: binding of the fast-call
// arguments to the parameters, conversion of each argument in parameter
// order (the mode strings parsed on the way), then the function body.
#pragma once

#include "drivers.hpp"

namespace tolvane::py {

PyResult pyfunction_cast_array(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult pyfunction_cast_array_into(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tolvane::py

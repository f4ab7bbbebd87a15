// NumPy's C API through the module's own table pointer, looked up from the
// `_ARRAY_API` capsule at first use and kept for the life of the process.
#pragma once

#include <optional>

#include "py_error.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tolvane_PyArray_API
#ifndef TOLVANE_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tolvane::py {

// Loads the table (and the native descriptors of the eleven element types);
// an internal error when NumPy can't be imported or its table can't be read.
std::optional<PyErrorValue> load_numpy_api();

inline std::optional<PyErrorValue> ensure_numpy_api() {
    if (PyArray_API != nullptr) [[likely]] return std::nullopt;
    return load_numpy_api();
}

// The native-byte-order descriptor of a NumPy type number among the eleven
// element types (borrowed; kept alive by the module). Needs the table.
PyArray_Descr* native_descr(int type_number);

}  // namespace tolvane::py

// The bodies of the two Python functions: dtype keys, the shape check of
// `cast_array_into`, and the dispatch of each (source, target) pair to its driver.
#pragma once

#include <string_view>

#include "array_views.hpp"
#include "drivers.hpp"

namespace tolvane::py {

// Index (in ElementList) of the dtype key that `arr.dtype.name` names.
Result<std::size_t> array_dtype_key(PyObject* arr);

PyResult cast_array(PyObject* arr, std::string_view target_dtype, RoundingMode rounding_mode,
                    OutOfRangePolicy out_of_range_mode, PyObject* scalar_map_entries);

PyResult cast_array_into(PyObject* arr, PyObject* out, RoundingMode rounding_mode,
                         OutOfRangePolicy out_of_range_mode, PyObject* scalar_map_entries);

}  // namespace tolvane::py

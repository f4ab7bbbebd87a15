// What dispatch needs of the drivers: the arguments every pair's drivers are
// called with, and the drivers of each pair. Those are instantiated in
// generated sources (drivers_for.cpp.in) that hold a few pairs each, so that
// the 121 pairs compile in parallel.
#pragma once

#include <array>

#include "dtype_keys.hpp"
#include "modes.hpp"
#include "py_error.hpp"
#include "py_ref.hpp"

namespace tolvane::py {

using PyResult = Result<PyRef>;

// What the dispatch hands every pair; each driver takes only what its pair uses.
struct CallArgs {
    PyObject* arr;
    PyObject* out;  // cast_array_into only
    RoundingMode rounding;
    OutOfRangePolicy out_of_range;
    PyObject* scalar_map_entries;  // nullptr when omitted or None
    const char* src_name;
    const char* dst_name;
};

using DriverFunction = PyResult (*)(const CallArgs&);

struct PairDrivers {
    DriverFunction alloc = nullptr;
    DriverFunction into = nullptr;
};

// The drivers of the pair (S, D), each pair's defined in one of the
// generated sources.
template <Element S, Element D>
struct DriversOf {
    static const PairDrivers drivers;
};

}  // namespace tolvane::py

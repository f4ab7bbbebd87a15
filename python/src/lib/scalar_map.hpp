// Reading the `scalar_map_entries` argument into the typed entry list of one
// (source, target) pair.
#pragma once

#include <vector>

#include "cast_config.hpp"
#include "py_error.hpp"

namespace tolvane::py {

// `scalar_map_entries` is the caller's object, or nullptr when it was omitted
// or None. `src_name` and `dst_name` are the pair's dtype keys, used only in
// value messages. Runs the caller's Python code (iteration, __index__, ...).
template <Element S, Element D>
Result<std::vector<MapEntry<S, D>>> parse_map_entries(PyObject* scalar_map_entries,
                                                      const char* src_name, const char* dst_name);

}  // namespace tolvane::py

#include "scalar_map_impl.hpp"

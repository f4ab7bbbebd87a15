// Placeholder until the parser lands: accepts only an absent scalar map.
#pragma once

namespace tolvane::py {

template <Element S, Element D>
Result<std::vector<MapEntry<S, D>>> parse_map_entries(PyObject* scalar_map_entries, const char*,
                                                      const char*) {
    if (scalar_map_entries == nullptr) return std::vector<MapEntry<S, D>>{};
    return PyErrorValue::internal("scalar maps are not parsed yet");
}

}  // namespace tolvane::py

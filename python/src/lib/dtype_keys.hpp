// The eleven element types as the module names them: dtype keys, NumPy type
// numbers, and the type list from which every per-pair table is generated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "element_types.hpp"

namespace tolvane::py {

template <class... T>
struct TypeList {
    static constexpr std::size_t size = sizeof...(T);
};

// The order fixes the index of each type in the dispatch tables.
using ElementList = TypeList<int8_t, int16_t, int32_t, int64_t, uint8_t, uint16_t, uint32_t,
                             uint64_t, float16, float, double>;
inline constexpr std::size_t element_count = ElementList::size;

inline constexpr std::array<std::string_view, element_count> dtype_keys = {
    "int8",   "int16",  "int32",  "int64",   "uint8",   "uint16",
    "uint32", "uint64", "float16", "float32", "float64"};

template <class T, class List>
struct IndexIn;
template <class T, class... Rest>
struct IndexIn<T, TypeList<T, Rest...>> {
    static constexpr std::size_t value = 0;
};
template <class T, class First, class... Rest>
struct IndexIn<T, TypeList<First, Rest...>> {
    static constexpr std::size_t value = 1 + IndexIn<T, TypeList<Rest...>>::value;
};

template <Element T>
inline constexpr std::size_t element_index = IndexIn<T, ElementList>::value;

template <Element T>
inline constexpr const char* dtype_key = dtype_keys[element_index<T>].data();

// NumPy's type number of each element type (int64 and uint64 are NumPy's
// long and unsigned long on the supported 64-bit platforms).
inline constexpr std::array<int, element_count> numpy_type_numbers = {1, 3, 5, 7, 2, 4,
                                                                      6, 8, 23, 11, 12};
template <Element T>
inline constexpr int numpy_type_number = numpy_type_numbers[element_index<T>];

// Exact, case-sensitive match of a text against the keys. The length picks
// the candidates, so a miss costs at most a few short comparisons.
inline std::optional<std::size_t> match_dtype_key(std::string_view text) {
    if (text.size() < 4 || text.size() > 7) return std::nullopt;
    for (std::size_t i = 0; i < element_count; ++i) {
        if (dtype_keys[i].size() == text.size() && dtype_keys[i] == text) return i;
    }
    return std::nullopt;
}

}  // namespace tolvane::py

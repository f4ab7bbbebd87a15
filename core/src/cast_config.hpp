// Scalar-map entries, the per-call configuration a driver hands to a kernel,
// and the scalar-map lookup that every kernel runs before converting.
#pragma once

#include <span>
#include <vector>

#include "element_types.hpp"
#include "modes.hpp"

namespace tolvane {

template <Element S, Element D>
struct MapEntry {
    S source;
    D target;
};

// The configuration of each family carries only the modes that family reads.
template <Element S, Element D>
struct CastConfig;

template <IntegerElement S, IntegerElement D>
struct CastConfig<S, D> {
    std::vector<MapEntry<S, D>> scalar_map;
    OutOfRangePolicy out_of_range;
};

template <IntegerElement S, FloatElement D>
struct CastConfig<S, D> {
    std::vector<MapEntry<S, D>> scalar_map;
    RoundingMode rounding = RoundingMode::NearestEven;
};

template <FloatElement S, Element D>
struct CastConfig<S, D> {
    std::vector<MapEntry<S, D>> scalar_map;
    OutOfRangePolicy out_of_range;
    RoundingMode rounding = RoundingMode::NearestEven;
};

// The configuration's modes without its scalar map.
template <Element S, Element D>
CastConfig<S, D> without_map(const CastConfig<S, D>& config) {
    CastConfig<S, D> plain;
    if constexpr (requires { config.out_of_range; }) plain.out_of_range = config.out_of_range;
    if constexpr (requires { config.rounding; }) plain.rounding = config.rounding;
    return plain;
}

// Does a scalar-map source match element x? Integers by equality; floats by
// IEEE equality (+0 matches -0) except that a NaN element matches any NaN
// source; float16 on bit patterns by the same rule.
template <Element S>
inline bool map_source_matches(S source, S x) {
    if constexpr (IntegerElement<S>) {
        return source == x;
    } else if constexpr (std::same_as<S, float16>) {
        const uint16_t s = source.bits, v = x.bits;
        if ((v & 0x7fffu) > 0x7c00u) return (s & 0x7fffu) > 0x7c00u;
        if ((s & 0x7fffu) > 0x7c00u) return false;
        return s == v || ((s | v) & 0x7fffu) == 0;
    } else {
        if (x != x) return source != source;
        return source == x;
    }
}

// The target of the first entry matching x, or nullptr.
template <Element S, Element D>
inline const D* find_map_target(std::span<const MapEntry<S, D>> map, S x) {
    for (const auto& entry : map) {
        if (map_source_matches(entry.source, x)) return &entry.target;
    }
    return nullptr;
}

// The element loops' lookup: writes the target of the first entry matching
// x to `out` and returns true, or returns false when no entry matches.
template <Element S, Element D>
inline bool write_map_target_for(std::span<const MapEntry<S, D>> map, S x, D& out) {
    if (map.empty()) return false;
    const D* target = find_map_target(map, x);
    if (target != nullptr) out = *target;
    return target != nullptr;
}

}  // namespace tolvane

// The one adapter from a call's arguments to the family driver of a pair:
// it passes the modes that the pair receives, in the drivers' order, and
// nothing else. Included by the generated driver sources only.
#pragma once

#include <tuple>

#include "drivers.hpp"
#include "float_drivers.hpp"
#include "int_drivers.hpp"

namespace tolvane::py {

namespace detail {

template <Element S, Element D>
auto received_modes(const CallArgs& a) {
    if constexpr (receives_rounding<S, D> && receives_out_of_range<S, D>) {
        return std::tuple{a.rounding, a.out_of_range};
    } else if constexpr (receives_rounding<S, D>) {
        return std::tuple{a.rounding};
    } else if constexpr (receives_out_of_range<S, D>) {
        return std::tuple{a.out_of_range};
    } else {
        return std::tuple{};
    }
}

template <Element S, Element D, class... Args>
PyResult family_alloc(Args... args) {
    if constexpr (IntegerElement<S> && IntegerElement<D>) {
        return do_int_to_int_alloc<S, D>(args...);
    } else if constexpr (IntegerElement<D>) {
        return do_float_to_int_alloc<S, D>(args...);
    } else if constexpr (IntegerElement<S>) {
        return do_int_to_float_alloc<S, D>(args...);
    } else {
        return do_float_to_float_alloc<S, D>(args...);
    }
}

template <Element S, Element D, class... Args>
PyResult family_into(Args... args) {
    if constexpr (IntegerElement<S> && IntegerElement<D>) {
        return do_int_to_int_into<S, D>(args...);
    } else if constexpr (IntegerElement<D>) {
        return do_float_to_int_into<S, D>(args...);
    } else if constexpr (IntegerElement<S>) {
        return do_int_to_float_into<S, D>(args...);
    } else {
        return do_float_to_float_into<S, D>(args...);
    }
}

template <Element S, Element D>
PyResult drive_alloc(const CallArgs& a) {
    return std::apply(
        [&](auto... modes) {
            return family_alloc<S, D>(a.arr, modes..., a.scalar_map_entries, a.src_name, a.dst_name);
        },
        received_modes<S, D>(a));
}

template <Element S, Element D>
PyResult drive_into(const CallArgs& a) {
    return std::apply(
        [&](auto... modes) {
            return family_into<S, D>(a.arr, a.out, modes..., a.scalar_map_entries, a.src_name,
                                     a.dst_name);
        },
        received_modes<S, D>(a));
}

}  // namespace detail

template <Element S, Element D>
constinit const PairDrivers DriversOf<S, D>::drivers = {&detail::drive_alloc<S, D>,
                                                        &detail::drive_into<S, D>};

}  // namespace tolvane::py

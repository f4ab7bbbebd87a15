// The generic walk of parse_map_entries; the parts that don't depend on the
// element types live in scalar_map.cpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "py_ref.hpp"
#include "scalar_map_values.hpp"

namespace tolvane::py {

// Is the argument a mapping (dict subclass, or collections.abc.Mapping)?
// A failing test is reported as unraisable and answers false, except for an
// exception that must reach the caller (see must_pass_through).
Result<bool> scalar_map_is_mapping(PyObject* entries);

// KeyboardInterrupt, SystemExit and everything else outside Exception, and
// MemoryError: where an exception of the caller's code would be replaced,
// discarded or reported as unraisable, these go on unchanged instead.
bool must_pass_through(const PyErrorValue& error);

// The TypeErrors for a key/first element that doesn't convert to the source
// type and a value/second element that doesn't convert to the target type.
// `failure` is the conversion's error; it is dropped without trace.
PyErrorValue source_conversion_error(PyObject* object, const char* src_name, PyErrorValue failure);
PyErrorValue target_conversion_error(PyObject* object, const char* dst_name, PyErrorValue failure);
using ConversionErrorBuilder = PyErrorValue (*)(PyObject*, const char*, PyErrorValue);

// The failures of the walk that replace what Python code raised.
PyErrorValue mapping_length_error(PyErrorValue failure);
PyErrorValue not_iterable_error(PyErrorValue failure);
PyErrorValue entry_not_pair_error();
PyErrorValue entry_length_error(PyErrorValue failure);
// Checks an item of a mapping's items list: a tuple of exactly two elements.
std::optional<PyErrorValue> mapping_item_error(PyObject* item);
// item[index] with the index as a Python int (a new reference, or nullptr
// with the exception pending).
PyObject* element_of_pair(PyObject* item, long index);

// How many entries a mapping's reported length may reserve: the length comes
// from Python code and is only a hint.
inline constexpr Py_ssize_t scalar_map_reserve_cap = Py_ssize_t{1} << 16;

PyErrorValue scalar_map_memory_error();

template <Element S, Element D>
Result<std::vector<MapEntry<S, D>>> parse_mapping_form(PyObject* entries, const char* src_name,
                                                       const char* dst_name) {
    const Py_ssize_t reported = PyMapping_Size(entries);
    if (reported == -1) return mapping_length_error(PyErrorValue::fetch());
    std::vector<MapEntry<S, D>> result;
    result.reserve(static_cast<std::size_t>(std::min(reported, scalar_map_reserve_cap)));

    PyRef items = PyRef::steal(PyMapping_Items(entries));
    if (!items) return PyErrorValue::fetch();
    if (!PyList_Check(items.get()))
        return PyErrorValue::internal("PyMapping_Items returned no list");
    // Conversions run Python code, which might shrink the list: the bound is
    // re-read at every step and never grows past the starting length.
    const Py_ssize_t initial_length = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < std::min(initial_length, PyList_GET_SIZE(items.get())); ++i) {
        PyRef item = PyRef::borrow(PyList_GET_ITEM(items.get(), i));
        if (auto error = mapping_item_error(item.get())) return std::move(*error);
        PyRef key = PyRef::borrow(PyTuple_GET_ITEM(item.get(), 0));
        PyRef value = PyRef::borrow(PyTuple_GET_ITEM(item.get(), 1));
        Result<S> source = extract_element<S>(key.get());
        if (!source.ok()) return source_conversion_error(key.get(), src_name, source.take_error());
        Result<D> target = extract_element<D>(value.get());
        if (!target.ok())
            return target_conversion_error(value.get(), dst_name, target.take_error());
        result.push_back(MapEntry<S, D>{source.value(), target.value()});
    }
    return result;
}

// An exact dict whose keys and values are exact ints and floats: reading it
// runs no Python code, so its items are taken in place, in the order and with
// the values that the walk over its items list gives. Any other content, and
// a value that doesn't convert, is left to that walk (nullopt), which reports it.
template <Element S, Element D>
std::optional<std::vector<MapEntry<S, D>>> parse_plain_dict(PyObject* dict) {
    std::vector<MapEntry<S, D>> result;
    result.reserve(
        static_cast<std::size_t>(std::min(PyDict_GET_SIZE(dict), scalar_map_reserve_cap)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        const std::optional<S> source = plain_number_as<S>(key);
        if (!source) return std::nullopt;
        const std::optional<D> target = plain_number_as<D>(value);
        if (!target) return std::nullopt;
        result.push_back(MapEntry<S, D>{*source, *target});
    }
    return result;
}

// item[index] converted to T; the element is released as soon as it has served.
template <Element T>
Result<T> convert_pair_element(PyObject* item, long index, const char* dtype_key,
                               ConversionErrorBuilder conversion_error) {
    PyRef element = PyRef::steal(element_of_pair(item, index));
    if (!element) return PyErrorValue::fetch();
    Result<T> converted = extract_element<T>(element.get());
    if (!converted.ok()) return conversion_error(element.get(), dtype_key, converted.take_error());
    return converted;
}

template <Element S, Element D>
Result<std::vector<MapEntry<S, D>>> parse_iterable_form(PyObject* entries, const char* src_name,
                                                        const char* dst_name) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(entries));
    if (!iterator) return not_iterable_error(PyErrorValue::fetch());
    std::vector<MapEntry<S, D>> result;
    while (true) {
        PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return PyErrorValue::fetch();
            break;
        }
        const Py_ssize_t length = PyObject_Size(item.get());
        if (length == -1) return entry_length_error(PyErrorValue::fetch());
        if (length != 2) return entry_not_pair_error();

        // The second element is fetched only once the first has converted.
        Result<S> source =
            convert_pair_element<S>(item.get(), 0, src_name, source_conversion_error);
        if (!source.ok()) return source.take_error();
        Result<D> target =
            convert_pair_element<D>(item.get(), 1, dst_name, target_conversion_error);
        if (!target.ok()) return target.take_error();
        result.push_back(MapEntry<S, D>{source.value(), target.value()});
    }
    return result;
}

template <Element S, Element D>
Result<std::vector<MapEntry<S, D>>> parse_map_entries(PyObject* scalar_map_entries,
                                                      const char* src_name, const char* dst_name) {
    if (scalar_map_entries == nullptr) return std::vector<MapEntry<S, D>>{};
    try {
        if (PyDict_CheckExact(scalar_map_entries)) {
            if (auto entries = parse_plain_dict<S, D>(scalar_map_entries)) return std::move(*entries);
        }
        Result<bool> is_mapping = scalar_map_is_mapping(scalar_map_entries);
        if (!is_mapping.ok()) return is_mapping.take_error();
        if (is_mapping.value())
            return parse_mapping_form<S, D>(scalar_map_entries, src_name, dst_name);
        return parse_iterable_form<S, D>(scalar_map_entries, src_name, dst_name);
    } catch (const std::bad_alloc&) {
        return scalar_map_memory_error();
    } catch (const std::length_error&) {
        return scalar_map_memory_error();
    }
}

}  // namespace tolvane::py

#include "scalar_map.hpp"

#include <string>

namespace tolvane::py {
namespace {

// collections.abc.Mapping, looked up on first need and kept for the life of the process.
PyObject* mapping_class = nullptr;

// A new reference is never handed out: the class stays owned by the cache.
PyObject* find_mapping_class() {
    if (mapping_class != nullptr) return mapping_class;
    PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    PyObject* found = PyObject_GetAttrString(module.get(), "Mapping");
    if (found == nullptr) return nullptr;
    if (!PyType_Check(found)) {
        Py_DECREF(found);
        PyErr_SetString(PyExc_TypeError, "collections.abc.Mapping is not a class");
        return nullptr;
    }
    mapping_class = found;
    return mapping_class;
}

// The text of a repr or str result as UTF-8. A lone surrogate can't be
// written strictly: its bytes are then decoded leniently, each invalid byte
// becoming one U+FFFD.
Result<std::string> rendering_text(PyObject* rendering) {
    PyRef as_str = PyRef::steal(PyObject_Str(rendering));
    if (!as_str) {
        PyErrorValue error = PyErrorValue::fetch();
        if (must_pass_through(error)) return error;
        std::move(error).raise();
        PyErr_WriteUnraisable(rendering);
        PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(rendering)));
        const char* name = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
        if (name == nullptr) {
            PyErr_Clear();
            return std::string("<unprintable object>");
        }
        return "<unprintable " + std::string(name) + " object>";
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(as_str.get(), &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErrorValue encode_error = PyErrorValue::fetch();
    if (!PyErr_GivenExceptionMatches(encode_error.exception(), PyExc_UnicodeEncodeError)) {
        return encode_error;
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(as_str.get(), "utf-8", "surrogatepass"));
    if (!bytes) return PyErrorValue::fetch();
    PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                      PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!decoded) return PyErrorValue::fetch();
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (utf8 == nullptr) return PyErrorValue::fetch();
    return std::string(utf8, static_cast<std::size_t>(size));
}

PyErrorValue value_conversion_error(const char* side, PyObject* object, const char* dtype_key,
                                    PyErrorValue failure) {
    if (must_pass_through(failure)) return failure;
    PyObject* rendering = PyObject_Repr(object);
    if (rendering == nullptr) {
        PyErrorValue repr_error = PyErrorValue::fetch();
        if (must_pass_through(repr_error)) return repr_error;
        rendering = PyObject_Str(object);
        if (rendering == nullptr) {
            PyErrorValue str_error = PyErrorValue::fetch();
            if (must_pass_through(str_error)) return str_error;
            const char* raised = str_error.exception() != nullptr
                                     ? Py_TYPE(str_error.exception())->tp_name
                                     : "no exception";
            return PyErrorValue::internal(std::string("a scalar_map ") + side +
                                          " value has no text: repr() raised and str() raised " +
                                          raised);
        }
    }
    PyRef rendering_ref = PyRef::steal(rendering);
    Result<std::string> text = rendering_text(rendering);
    if (!text.ok()) return text.take_error();
    return PyErrorValue::lazy(
        PyExc_TypeError, std::string("scalar_map ") + side + " value " + text.value() +
                             ": expected a value convertible to " + side + " dtype " + dtype_key);
}

}  // namespace

bool must_pass_through(const PyErrorValue& error) {
    PyObject* exception = error.exception();
    if (exception == nullptr) return false;
    return !PyErr_GivenExceptionMatches(exception, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(exception, PyExc_MemoryError);
}

Result<bool> scalar_map_is_mapping(PyObject* entries) {
    if (PyDict_Check(entries)) return true;
    PyObject* mapping = find_mapping_class();
    const int found = mapping != nullptr ? PyObject_IsInstance(entries, mapping) : -1;
    if (found >= 0) return found == 1;
    PyErrorValue error = PyErrorValue::fetch();
    if (must_pass_through(error)) return error;
    std::move(error).raise();
    PyErr_WriteUnraisable(entries);
    return false;
}

PyErrorValue source_conversion_error(PyObject* object, const char* src_name, PyErrorValue failure) {
    return value_conversion_error("source", object, src_name, std::move(failure));
}

PyErrorValue target_conversion_error(PyObject* object, const char* dst_name, PyErrorValue failure) {
    return value_conversion_error("target", object, dst_name, std::move(failure));
}

PyErrorValue mapping_length_error(PyErrorValue failure) {
    if (must_pass_through(failure)) return failure;
    return PyErrorValue::lazy(PyExc_TypeError, "Failed to get length of scalar_map dict.");
}

PyErrorValue not_iterable_error(PyErrorValue failure) {
    if (must_pass_through(failure)) return failure;
    return PyErrorValue::lazy(
        PyExc_TypeError,
        "scalar_map_entries must be a dict or an iterable of (source, target) pairs");
}

PyErrorValue entry_not_pair_error() {
    return PyErrorValue::lazy(PyExc_ValueError,
                              "Each scalar_map entry must be a (source, target) pair");
}

PyErrorValue entry_length_error(PyErrorValue failure) {
    if (must_pass_through(failure)) return failure;
    return entry_not_pair_error();
}

std::optional<PyErrorValue> mapping_item_error(PyObject* item) {
    if (!PyTuple_Check(item)) return conversion_type_error(item, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(item);
    if (length != 2) {
        return PyErrorValue::lazy(
            PyExc_ValueError,
            "expected tuple of length 2, but got tuple of length " + std::to_string(length));
    }
    return std::nullopt;
}

PyObject* element_of_pair(PyObject* item, long index) {
    PyRef index_object = PyRef::steal(PyLong_FromLong(index));
    if (!index_object) return nullptr;
    return PyObject_GetItem(item, index_object.get());
}

PyErrorValue scalar_map_memory_error() {
    PyErr_NoMemory();
    return PyErrorValue::fetch();
}

}  // namespace tolvane::py

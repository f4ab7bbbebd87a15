#define TOLVANE_DEFINE_NUMPY_API
#include "numpy_api.hpp"

#include <array>
#include <string>

#include "dtype_keys.hpp"
#include "py_ref.hpp"

namespace tolvane::py {

static_assert(NPY_BYTE == 1 && NPY_UBYTE == 2 && NPY_SHORT == 3 && NPY_USHORT == 4 &&
              NPY_INT == 5 && NPY_UINT == 6 && NPY_LONG == 7 && NPY_ULONG == 8 &&
              NPY_FLOAT == 11 && NPY_DOUBLE == 12 && NPY_HALF == 23);
static_assert(sizeof(long) == 8, "int64 and uint64 are NumPy's long and unsigned long");

namespace {

std::array<PyArray_Descr*, 24> native_descrs{};

std::string describe_pending_error() {
    PyRef error = PyRef::steal(take_raised_exception());
    if (!error) return "no exception set";
    PyRef text = PyRef::steal(PyObject_Str(error.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unprintable exception";
    }
    return utf8;
}

// The multiarray module that holds `_ARRAY_API`: numpy._core.multiarray from
// NumPy 2 on, numpy.core.multiarray before.
PyRef import_multiarray() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return {};
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return {};
    const char* text = PyUnicode_AsUTF8(version.get());
    if (text == nullptr) return {};
    long major = 0;
    for (const char* c = text; *c >= '0' && *c <= '9'; ++c) major = major * 10 + (*c - '0');
    return PyRef::steal(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray"
                                                         : "numpy.core.multiarray"));
}

}  // namespace

std::optional<PyErrorValue> load_numpy_api() {
    PyRef multiarray = import_multiarray();
    if (!multiarray) return PyErrorValue::internal("NumPy can't be imported: " + describe_pending_error());
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return PyErrorValue::internal("NumPy has no _ARRAY_API: " + describe_pending_error());
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        return PyErrorValue::internal("NumPy's _ARRAY_API can't be read: " + describe_pending_error());
    }
    tolvane_PyArray_API = static_cast<void**>(table);
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    for (int type_number : numpy_type_numbers) {
        native_descrs[type_number] = PyArray_DescrFromType(type_number);
        if (native_descrs[type_number] == nullptr) {
            tolvane_PyArray_API = nullptr;
            return PyErrorValue::internal("NumPy has no descriptor for type " +
                                          std::to_string(type_number) + ": " +
                                          describe_pending_error());
        }
    }
    return std::nullopt;
}

PyArray_Descr* native_descr(int type_number) { return native_descrs[type_number]; }

}  // namespace tolvane::py

// Module initialisation, the two function objects with their docstrings, and
// the C entry points: the only places where an error value becomes a raised
// Python exception.
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>

#include "arguments.hpp"

namespace tolvane::py {

namespace {

constexpr const char cast_array_doc[] =
    "cast_array(arr, *, target_dtype, rounding_mode, out_of_range_mode=None, scalar_map_entries=None)\n"
    "--\n"
    "\n"
    "Cast a numpy array to a new dtype, allocating a new output array.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `arr` - Input numpy array\n"
    "* `target_dtype` - Target dtype string (e.g. \"uint8\", \"float32\")\n"
    "* `rounding_mode` - Rounding mode string (e.g. \"nearest-even\")\n"
    "* `out_of_range_mode` - Optional out-of-range handling (\"clamp\" or \"wrap\")\n"
    "* `scalar_map_entries` - Optional list of [source, target] pairs\n"
    "\n"
    "# Returns\n"
    "\n"
    "A new numpy array with the target dtype.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` for invalid rounding/out-of-range modes or\n"
    "conversion errors. Returns `PyTypeError` for unsupported dtypes.";

constexpr const char cast_array_into_doc[] =
    "cast_array_into(arr, out, *, rounding_mode, out_of_range_mode=None, scalar_map_entries=None)\n"
    "--\n"
    "\n"
    "Cast a numpy array into a pre-allocated output array.\n"
    "\n"
    "# Arguments\n"
    "\n"
    "* `arr` - Input numpy array\n"
    "* `out` - Pre-allocated output numpy array (must match input shape)\n"
    "* `rounding_mode` - Rounding mode string (e.g. \"nearest-even\")\n"
    "* `out_of_range_mode` - Optional out-of-range handling (\"clamp\" or \"wrap\")\n"
    "* `scalar_map_entries` - Optional list of [source, target] pairs\n"
    "\n"
    "# Returns\n"
    "\n"
    "None on success.\n"
    "\n"
    "# Errors\n"
    "\n"
    "Returns `PyValueError` for shape mismatch, invalid modes, or conversion\n"
    "errors. Returns `PyTypeError` for unsupported dtypes.";

static_assert(sizeof(cast_array_doc) - 1 == 671 && sizeof(cast_array_into_doc) - 1 == 629);

using Handler = PyResult (*)(PyObject* const*, Py_ssize_t, PyObject*);

// Runs a handler and raises its error. No C++ exception leaves: running out
// of memory becomes MemoryError, anything else the internal-error exception.
PyObject* run_entry(Handler handler, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        PyResult result = handler(args, nargs, kwnames);
        if (result.ok()) return result.value().release();
        std::move(result.error()).raise();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErrorValue::internal(error.what()).raise();
    } catch (...) {
        PyErrorValue::internal("unknown C++ exception").raise();
    }
    return nullptr;
}

PyObject* cast_array_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry(&pyfunction_cast_array, args, nargs, kwnames);
}

PyObject* cast_array_into_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_entry(&pyfunction_cast_array_into, args, nargs, kwnames);
}

// Never freed: the function objects point to them for the life of the process.
PyMethodDef cast_array_method{"cast_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cast_array_trampoline)),
                              METH_FASTCALL | METH_KEYWORDS, cast_array_doc};
PyMethodDef cast_array_into_method{"cast_array_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cast_array_into_trampoline)),
                                   METH_FASTCALL | METH_KEYWORDS, cast_array_into_doc};

PyModuleDef module_definition{PyModuleDef_HEAD_INIT, "_tolvane", "", 0, nullptr, nullptr, nullptr, nullptr,
                              nullptr};

std::atomic<int64_t> initialising_interpreter{-1};
PyObject* module_cache = nullptr;

// Adds `method` to `module` as a function bound to it and lists it in __all__.
bool add_function(PyObject* module, PyMethodDef* method) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    PyRef function = PyRef::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        conversion_type_error(name.get(), "PyString").raise();
        return false;
    }
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        conversion_type_error(all.get(), "PyList").raise();
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        PyErrorValue::internal("appending to the module's __all__ failed").raise();
        return false;
    }
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool init_module(PyObject* module) {
    return add_function(module, &cast_array_method) && add_function(module, &cast_array_into_method);
}

PyObject* init_tolvane() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        PyErr_SetString(PyExc_ImportError,
                        "_tolvane does not support being initialised in more than one interpreter");
        return nullptr;
    }
    if (module_cache != nullptr) return Py_NewRef(module_cache);
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module || !init_module(module.get())) return nullptr;
    module_cache = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace tolvane::py

PyMODINIT_FUNC PyInit__tolvane() {
    try {
        return tolvane::py::init_tolvane();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

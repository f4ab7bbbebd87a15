#include "borrow_registry.hpp"

#include <algorithm>
#include <new>
#include <vector>

#include "py_ref.hpp"

namespace tolvane::py {

namespace {

// One borrowed region: the object that owns the memory (the end of the
// array's base chain), the byte range, and who holds it. An array keeps its
// record until released, even if its data moves meanwhile, so that release
// always finds what acquire registered.
struct Borrow {
    PyArrayObject* array;
    PyObject* owner;
    const char* begin;
    const char* end;
    Py_ssize_t shared_count;  // 0 for an exclusive borrow
};

struct Registry {
    std::vector<Borrow> borrows;  // few at a time: nested calls only
};

PyObject* memory_owner(PyArrayObject* array) {
    PyObject* object = reinterpret_cast<PyObject*>(array);
    while (PyArray_Check(object)) {
        PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(object));
        if (base == nullptr) break;
        object = base;
    }
    return object;
}

// The bytes the array's elements span (empty when it has no element).
void byte_range(PyArrayObject* array, const char*& begin, const char*& end) {
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const int ndim = PyArray_NDIM(array);
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    npy_intp low = 0, high = PyArray_ITEMSIZE(array);
    for (int axis = 0; axis < ndim; ++axis) {
        if (dims[axis] == 0) {
            begin = end = data;
            return;
        }
        const npy_intp reach = (dims[axis] - 1) * strides[axis];
        (reach < 0 ? low : high) += reach;
    }
    begin = data + low;
    end = data + high;
}

bool overlaps(const Borrow& held, PyObject* owner, const char* begin, const char* end) {
    return held.owner == owner && held.begin < end && begin < held.end;
}

int acquire(Registry& registry, PyArrayObject* array, bool exclusive) {
    Borrow wanted{array, memory_owner(array), nullptr, nullptr, exclusive ? 0 : 1};
    byte_range(array, wanted.begin, wanted.end);
    for (const Borrow& held : registry.borrows) {
        if ((exclusive || held.shared_count == 0) && overlaps(held, wanted.owner, wanted.begin, wanted.end)) {
            return 1;
        }
    }
    if (!exclusive) {
        for (Borrow& held : registry.borrows) {
            if (held.array == array && held.shared_count > 0 && held.begin == wanted.begin &&
                held.end == wanted.end) {
                ++held.shared_count;
                return 0;
            }
        }
    }
    try {
        registry.borrows.push_back(wanted);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void release(Registry& registry, PyArrayObject* array, bool exclusive) {
    auto& borrows = registry.borrows;
    const auto held = std::find_if(borrows.begin(), borrows.end(), [&](const Borrow& b) {
        return b.array == array && (b.shared_count == 0) == exclusive;
    });
    if (held == borrows.end()) return;
    if (!exclusive && --held->shared_count > 0) return;
    *held = borrows.back();
    borrows.pop_back();
}

Registry own_registry;

const BorrowRegistryApi own_api = {
    1,
    &own_registry,
    [](void* state, PyArrayObject* array) { return acquire(*static_cast<Registry*>(state), array, false); },
    [](void* state, PyArrayObject* array) { release(*static_cast<Registry*>(state), array, false); },
    [](void* state, PyArrayObject* array) { return acquire(*static_cast<Registry*>(state), array, true); },
    [](void* state, PyArrayObject* array) { release(*static_cast<Registry*>(state), array, true); },
};

const BorrowRegistryApi* registry_api = nullptr;
PyObject* registry_capsule = nullptr;  // kept so that the table it points to stays valid

}  // namespace

std::optional<PyErrorValue> ensure_borrow_registry() {
    if (registry_api != nullptr) [[likely]] return std::nullopt;
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(
        PyArray_RUNTIME_VERSION >= NPY_2_0_API_VERSION ? "numpy._core.multiarray"
                                                       : "numpy.core.multiarray"));
    if (!multiarray) {
        PyErr_Clear();
        return PyErrorValue::internal("the shared borrow registry can't be reached");
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), borrow_registry_attribute));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return PyErrorValue::internal("the shared borrow registry can't be read");
        }
        PyErr_Clear();
        capsule = PyRef::steal(PyCapsule_New(const_cast<BorrowRegistryApi*>(&own_api),
                                             borrow_registry_capsule_name, nullptr));
        if (!capsule || PyObject_SetAttrString(multiarray.get(), borrow_registry_attribute,
                                               capsule.get()) < 0) {
            PyErr_Clear();
            return PyErrorValue::internal("the shared borrow registry can't be set up");
        }
    }
    auto* api = static_cast<const BorrowRegistryApi*>(
        PyCapsule_GetPointer(capsule.get(), borrow_registry_capsule_name));
    if (api == nullptr || api->version < 1) {
        PyErr_Clear();
        return PyErrorValue::internal("the shared borrow registry has an unknown form");
    }
    registry_capsule = capsule.release();
    registry_api = api;
    return std::nullopt;
}

const BorrowRegistryApi& borrow_registry() { return *registry_api; }

}  // namespace tolvane::py

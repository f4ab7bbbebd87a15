// The shared borrow registry: a process-wide record of which array memory is
// borrowed for reading (shared) or writing (exclusive). It lives in a capsule
// on NumPy's multiarray module, so every extension module of the process that
// knows the capsule shares one registry; the first one to look creates it.
#pragma once

#include <cstdint>
#include <optional>

#include "numpy_api.hpp"

namespace tolvane::py {

inline constexpr const char* borrow_registry_attribute = "_tolvane_borrow_registry";
inline constexpr const char* borrow_registry_capsule_name = "tolvane.borrow_registry";

// The capsule's contents. All calls happen under the interpreter lock.
struct BorrowRegistryApi {
    uint64_t version;  // 1
    void* state;
    // 0: registered; 1: refused (a conflicting borrow is held); -1: the
    // registry could not record it (out of memory).
    int (*acquire_shared)(void* state, PyArrayObject* array);
    void (*release_shared)(void* state, PyArrayObject* array);
    int (*acquire_exclusive)(void* state, PyArrayObject* array);
    void (*release_exclusive)(void* state, PyArrayObject* array);
};

// The process's registry, found or created at first use; an internal error
// when it can't be reached.
std::optional<PyErrorValue> ensure_borrow_registry();
// Requires ensure_borrow_registry() to have succeeded.
const BorrowRegistryApi& borrow_registry();

}  // namespace tolvane::py

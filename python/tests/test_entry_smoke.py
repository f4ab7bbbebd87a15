"""The shared borrow registry as other code of the process sees it through its
capsule on NumPy's multiarray module, and NumPy's own allocation failure."""

import ctypes
import importlib

import numpy as np
import pytest

import tolvane


class RegistryApi(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire_shared", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release_shared", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
        ("acquire_exclusive", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release_exclusive", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
    ]


@pytest.fixture
def registry():
    tolvane.cast_array(np.zeros(1, np.int8), target_dtype="int8", rounding_mode="nearest-even")
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    # NumPy 2 keeps its multiarray module in numpy._core, NumPy 1 in numpy.core.
    modules = (importlib.import_module(name)
               for name in ("numpy._core.multiarray", "numpy.core.multiarray"))
    capsule = next(m._tolvane_borrow_registry for m in modules
                   if hasattr(m, "_tolvane_borrow_registry"))
    api = RegistryApi.from_address(get_pointer(capsule, b"tolvane.borrow_registry"))
    assert api.version >= 1
    return api


def cast(arr):
    return tolvane.cast_array(arr, target_dtype="int64", rounding_mode="nearest-even")


# (exclusively borrowed region, converted region, refused?)
REGIONS = [
    (lambda a: a[2:5], lambda a: a, True),
    (lambda a: a[2:5], lambda a: a[4:], True),
    (lambda a: a[2:5], lambda a: a[5:], False),
    (lambda a: a[2:5], lambda a: a[:2], False),
    (lambda a: a[::2][1:3], lambda a: a[4:6], True),
    (lambda a: a[2:5].view(np.uint32), lambda a: a[3:4], True),
    (lambda a: a[:0], lambda a: a, False),
    (lambda a: np.arange(10, dtype=np.int32), lambda a: a, False),
]


@pytest.mark.parametrize("held, converted, refused", REGIONS)
def test_exclusive_borrow_refuses_overlapping_inputs_only(registry, held, converted, refused, capfd):
    a = np.arange(10, dtype=np.int32)
    region = held(a)
    assert registry.acquire_exclusive(registry.state, region) == 0
    try:
        source = converted(a)
        if refused:
            with pytest.raises(BaseException) as caught:
                cast(source)
            assert type(caught.value).__name__ == "InternalError"
            assert not isinstance(caught.value, Exception)
            assert "exclusively borrowed" in capfd.readouterr().err
        else:
            assert cast(source).tolist() == source.tolist()
    finally:
        registry.release_exclusive(registry.state, region)
    assert cast(a).tolist() == list(range(10))


def test_shared_borrows_of_the_module_block_an_exclusive_one_only_while_held(registry):
    a = np.arange(4, dtype=np.int16)
    seen = []

    class Key:
        def __index__(self):
            seen.append(registry.acquire_exclusive(registry.state, a))
            return 0

    tolvane.cast_array(a, target_dtype="int8", rounding_mode="nearest-even", scalar_map_entries=[(Key(), 1)])
    assert seen == [1]
    assert registry.acquire_exclusive(registry.state, a) == 0
    registry.release_exclusive(registry.state, a)


def test_output_that_numpy_cannot_allocate_raises_numpys_memory_error():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.int8), (2**45,), (1,))
    assert huge.flags.c_contiguous
    with pytest.raises(MemoryError) as caught:
        tolvane.cast_array(huge, target_dtype="int64", rounding_mode="nearest-even")
    assert "Unable to allocate" in str(caught.value)
    assert caught.value.__cause__ is None and caught.value.__context__ is None

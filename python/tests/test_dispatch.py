"""dtype keys, the shape check of cast_array_into, the order of those checks,
and that each (source, target) pair reaches a driver of its own with only the
modes that it uses."""

import itertools

import numpy as np
import pytest

import reference
from reference import ALL_TYPES, FLOAT_TYPES, INT_TYPES, OUT_OF_RANGE_MODES, ROUNDING_MODES
from tolvane import cast_array, cast_array_into

NE = "nearest-even"


def other_byte_order(dtype: str) -> np.dtype:
    return np.dtype(dtype).newbyteorder("S")


UNSUPPORTED_ARRAYS = [
    np.zeros(3, dtype=bool),
    np.zeros(3, dtype=np.complex128),
    np.zeros(3, dtype=np.complex64),
    np.zeros(3, dtype=object),
    np.zeros(3, dtype="U3"),
    np.zeros(3, dtype="S2"),
    np.zeros(3, dtype="datetime64[ns]"),
    np.zeros(3, dtype="timedelta64[s]"),
    np.zeros(3, dtype=np.longdouble),
    np.zeros(3, dtype=[("a", np.int8), ("b", np.int16)]),
    np.zeros(3, dtype="V4"),
]


def test_spec_named_unsupported_dtypes():
    with pytest.raises(TypeError) as info:
        cast_array(np.zeros(2, dtype=bool), target_dtype="int8", rounding_mode=NE)
    assert str(info.value) == "Unsupported numpy dtype: bool"
    with pytest.raises(TypeError) as info:
        cast_array(np.zeros(2, dtype=np.complex128), target_dtype="int8", rounding_mode=NE)
    assert str(info.value) == "Unsupported numpy dtype: complex128"


@pytest.mark.parametrize("arr", UNSUPPORTED_ARRAYS, ids=lambda a: a.dtype.name)
def test_unsupported_source_dtype(arr):
    expected = f"Unsupported numpy dtype: {arr.dtype.name}"
    with pytest.raises(TypeError) as info:
        cast_array(arr, target_dtype="int8", rounding_mode=NE)
    assert type(info.value) is TypeError and str(info.value) == expected
    with pytest.raises(TypeError) as info:
        cast_array_into(arr, np.zeros(3, dtype=np.int8), rounding_mode=NE)
    assert str(info.value) == expected


@pytest.mark.parametrize("arr", UNSUPPORTED_ARRAYS, ids=lambda a: a.dtype.name)
def test_unsupported_output_dtype(arr):
    with pytest.raises(TypeError) as info:
        cast_array_into(np.zeros(3, dtype=np.int8), arr, rounding_mode=NE)
    assert str(info.value) == f"Unsupported numpy dtype: {arr.dtype.name}"


@pytest.mark.parametrize("target", [
    "Float32", "float32 ", " float32", "float", "f4", "double", "int", "uint", "i1", "<i2",
    "INT8", "", "bool", "complex128", "float128", "int8\x00", "flöat32", "float3", "float321",
    "uint6", "Int64",
])
def test_unsupported_target_dtype(target):
    with pytest.raises(TypeError) as info:
        cast_array(np.zeros(3, dtype=np.int8), target_dtype=target, rounding_mode=NE)
    assert type(info.value) is TypeError
    assert str(info.value) == f"Unsupported target dtype: {target}"


def test_unsupported_source_reported_before_unsupported_target():
    with pytest.raises(TypeError) as info:
        cast_array(np.zeros(3, dtype=bool), target_dtype="float", rounding_mode=NE)
    assert str(info.value) == "Unsupported numpy dtype: bool"


def test_cast_array_into_reports_arr_dtype_then_out_dtype_then_shape():
    bad_in = np.zeros((2, 3), dtype=bool)
    bad_out = np.zeros((3, 2), dtype=np.complex64)
    good_in = np.zeros((2, 3), dtype=np.int8)
    with pytest.raises(TypeError, match="^Unsupported numpy dtype: bool$"):
        cast_array_into(bad_in, bad_out, rounding_mode=NE)
    with pytest.raises(TypeError, match="^Unsupported numpy dtype: complex64$"):
        cast_array_into(good_in, bad_out, rounding_mode=NE)


SHAPE_CASES = [
    ((2, 3), (3, 2), "Shape mismatch: input shape [2, 3] != output shape [3, 2]"),
    ((6,), (2, 3), "Shape mismatch: input shape [6] != output shape [2, 3]"),
    ((), (1,), "Shape mismatch: input shape [] != output shape [1]"),
    ((1,), (), "Shape mismatch: input shape [1] != output shape []"),
    ((0,), (0, 0), "Shape mismatch: input shape [0] != output shape [0, 0]"),
    ((3, 0), (0, 3), "Shape mismatch: input shape [3, 0] != output shape [0, 3]"),
    ((1, 2, 3), (1, 2, 4), "Shape mismatch: input shape [1, 2, 3] != output shape [1, 2, 4]"),
    ((4,), (5,), "Shape mismatch: input shape [4] != output shape [5]"),
    ((1, 4), (4,), "Shape mismatch: input shape [1, 4] != output shape [4]"),
]


@pytest.mark.parametrize("in_shape, out_shape, message", SHAPE_CASES)
@pytest.mark.parametrize("pair", [("int16", "int8"), ("float64", "float16"), ("uint8", "float32")])
def test_shape_mismatch(in_shape, out_shape, message, pair):
    arr = np.zeros(in_shape, dtype=pair[0])
    out = np.full(out_shape, 7, dtype=pair[1])
    with pytest.raises(ValueError) as info:
        cast_array_into(arr, out, rounding_mode=NE)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert (out == 7).all()


def test_shape_mismatch_comes_before_the_drivers_checks():
    fortran = np.zeros((3, 4), dtype=np.int16, order="F")
    swapped = np.zeros(5, dtype=other_byte_order("int32"))
    with pytest.raises(ValueError, match=r"^Shape mismatch: input shape \[3, 4\]"):
        cast_array_into(fortran, np.zeros((4, 3), dtype=np.int8), rounding_mode=NE)
    with pytest.raises(ValueError, match=r"^Shape mismatch"):
        cast_array_into(np.zeros(4, dtype=np.int16), swapped, rounding_mode=NE,
                        scalar_map_entries=5)
    with pytest.raises(ValueError, match=r"^Shape mismatch"):
        cast_array_into(np.zeros(4, dtype=np.int16),
                        np.zeros(5, dtype=np.int8)[::-1], rounding_mode=NE)


def test_unsupported_out_dtype_reported_before_shape():
    with pytest.raises(TypeError, match="^Unsupported numpy dtype: bool$"):
        cast_array_into(np.zeros(4, dtype=np.int16), np.zeros(7, dtype=bool), rounding_mode=NE)


@pytest.mark.parametrize("dtype", ["int16", "uint32", "int64", "float16", "float32", "float64"])
def test_byte_swapped_input_passes_the_key_and_fails_in_the_driver(dtype):
    arr = np.arange(4).astype(other_byte_order(dtype))
    assert arr.dtype.name == dtype
    with pytest.raises(TypeError) as info:
        cast_array(arr, target_dtype="int8", rounding_mode=NE)
    assert str(info.value) == "'ndarray' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as info:
        cast_array_into(arr, np.zeros(4, dtype=np.int8), rounding_mode=NE)
    assert str(info.value) == "'ndarray' object cannot be converted to 'PyArray<T, D>'"


class RaisingDtype(np.ndarray):
    problem = None

    @property
    def dtype(self):
        raise self.problem


class NamedDtype:
    def __init__(self, name):
        self.name = name


class LyingDtype(np.ndarray):
    claimed = None

    @property
    def dtype(self):
        return NamedDtype(self.claimed)


def test_exception_reading_dtype_passes_unchanged():
    arr = np.zeros(3, dtype=np.int8).view(RaisingDtype)
    problem = LookupError("no dtype today")
    RaisingDtype.problem = problem
    with pytest.raises(LookupError) as info:
        cast_array(arr, target_dtype="int8", rounding_mode=NE)
    assert info.value is problem
    with pytest.raises(LookupError) as info:
        cast_array_into(np.zeros(3, dtype=np.int8), arr, rounding_mode=NE)
    assert info.value is problem


def test_dtype_name_that_is_not_a_str():
    arr = np.zeros(3, dtype=np.int8).view(LyingDtype)
    LyingDtype.claimed = 8
    with pytest.raises(TypeError) as info:
        cast_array(arr, target_dtype="int8", rounding_mode=NE)
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"


def test_dtype_name_decides_the_key_and_the_typed_view_refuses_a_lie():
    arr = np.zeros(3, dtype=np.float64).view(LyingDtype)
    LyingDtype.claimed = "int8"
    with pytest.raises(TypeError) as info:
        cast_array(arr, target_dtype="int16", rounding_mode=NE)
    assert str(info.value) == "'LyingDtype' object cannot be converted to 'PyArray<T, D>'"
    LyingDtype.claimed = "bool8"
    with pytest.raises(TypeError, match="^Unsupported numpy dtype: bool8$"):
        cast_array(arr, target_dtype="int16", rounding_mode=NE)


ALL_PAIRS = list(itertools.product(ALL_TYPES, ALL_TYPES))


def sample_values(source):
    if source in FLOAT_TYPES:
        return np.array([0.0, -0.0, 1.0, 2.5, -3.0, 100.0, 7.75], dtype=source)
    if source.startswith("u"):
        return np.array([0, 1, 2, 100, 7, 99, 127], dtype=source)
    return np.array([0, -1, 2, 100, -7, 99, -128], dtype=source)


@pytest.mark.parametrize("source, target", ALL_PAIRS)
def test_every_pair_reaches_its_driver(source, target):
    arr = sample_values(source).reshape(7, 1)
    values = reference.python_values(arr)
    for mode in ROUNDING_MODES:
        expected, _, failure = reference.convert_all(values, source, target, mode, "clamp")
        assert failure is None
        result = cast_array(arr, target_dtype=target, rounding_mode=mode,
                            out_of_range_mode="clamp")
        assert result.dtype == np.dtype(target)
        assert result.shape == (7, 1)
        assert reference.same_elements(result, expected, target), \
            reference.mismatches(result, expected, target, values)
        out = np.empty((7, 1), dtype=target)
        assert cast_array_into(arr, out, rounding_mode=mode, out_of_range_mode="clamp") is None
        assert reference.same_elements(out, expected, target), \
            reference.mismatches(out, expected, target, values)


INT_PAIRS_WITHOUT_MODES = [
    (s, t) for s, t in itertools.product(INT_TYPES, INT_TYPES)
    if np.iinfo(s).min >= np.iinfo(t).min and np.iinfo(s).max <= np.iinfo(t).max
]


@pytest.mark.parametrize("source, target", INT_PAIRS_WITHOUT_MODES)
def test_modes_have_no_effect_on_lossless_integer_pairs(source, target):
    info = np.iinfo(source)
    arr = np.array([info.min, info.max, 0, 1, info.max // 3], dtype=source)
    results = {(mode, policy): cast_array(arr, target_dtype=target, rounding_mode=mode,
                                          out_of_range_mode=policy).tolist()
               for mode in ROUNDING_MODES for policy in OUT_OF_RANGE_MODES}
    assert set(map(tuple, results.values())) == {tuple(int(v) for v in arr)}


EXACT_INT_TO_FLOAT = [(s, "float64") for s in INT_TYPES if np.iinfo(s).bits < 64] + [
    (s, "float32") for s in ("int8", "uint8", "int16", "uint16")]


@pytest.mark.parametrize("source, target", EXACT_INT_TO_FLOAT)
def test_modes_have_no_effect_on_exact_int_to_float_pairs(source, target):
    info = np.iinfo(source)
    arr = np.array([info.min, info.max, 0, 1, info.max // 3], dtype=source)
    for mode in ROUNDING_MODES:
        for policy in OUT_OF_RANGE_MODES:
            result = cast_array(arr, target_dtype=target, rounding_mode=mode,
                                out_of_range_mode=policy)
            assert result.tolist() == [float(int(v)) for v in arr]


@pytest.mark.parametrize("source, target", [("float32", "float32"), ("float64", "float64")])
def test_modes_have_no_effect_on_same_type_float_pairs(source, target):
    arr = np.array([1.0, -0.0, np.inf, 1e-30, 3.3, np.nan], dtype=source)
    bits = arr.view(f"u{arr.itemsize}")
    for mode in ROUNDING_MODES:
        for policy in OUT_OF_RANGE_MODES:
            result = cast_array(arr, target_dtype=target, rounding_mode=mode,
                                out_of_range_mode=policy)
            np.testing.assert_array_equal(result.view(bits.dtype), bits)


def test_identity_pair_gives_a_new_array():
    for dtype in ALL_TYPES:
        arr = np.arange(5).astype(dtype)
        result = cast_array(arr, target_dtype=dtype, rounding_mode=NE)
        assert result is not arr
        assert not np.shares_memory(result, arr)
        np.testing.assert_array_equal(result, arr)

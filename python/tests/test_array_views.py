"""What the drivers require of the input and output arrays: layout, byte order,
writeability, number of dimensions, empty and zero-dimensional arrays,
memory shared between the two arrays, arrays changed by scalar-map code, and
an output array that cannot be created."""

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import reference
from numpy_features import needs_33_dimensions
from tolvane import cast_array, cast_array_into

NE = "nearest-even"
INPUT_LAYOUT = "Input array must be row-major (C-contiguous)"
OUTPUT_LAYOUT = "Output array must be row-major (C-contiguous) and writeable"
WRONG_ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"

# One pair of each driver family, and the same-type pairs that copy.
PAIRS = [("int16", "int32"), ("int32", "int32"), ("uint8", "int8"), ("float64", "int32"),
         ("float16", "uint8"), ("int16", "float32"), ("int64", "float64"),
         ("float32", "float32"), ("float64", "float32"), ("float16", "float16")]


class SubArray(np.ndarray):
    pass


def swapped(dtype):
    return np.dtype(dtype).newbyteorder("S")


def values_for(source, shape):
    count = int(np.prod(shape, dtype=np.int64))
    return (np.arange(count) % 50 + 1).astype(source).reshape(shape)


def expected_for(arr, source, target):
    values = reference.python_values(arr)
    results, _, failure = reference.convert_all(values, source, target, NE, None)
    assert failure is None
    return results


def is_internal_error(exc: BaseException) -> bool:
    return not isinstance(exc, Exception)


# ------------------------------------------------------------------- input

NON_CONTIGUOUS_INPUTS = {
    "fortran-3x4": lambda dt: np.asfortranarray(np.ones((3, 4), dtype=dt)),
    "transpose-of-3x4": lambda dt: np.ones((3, 4), dtype=dt).T,
    "every-second-of-10": lambda dt: np.ones(10, dtype=dt)[::2],
    "transpose-of-2x3": lambda dt: np.ones((2, 3), dtype=dt).T,
    "reversed": lambda dt: np.ones(4, dtype=dt)[::-1],
}


@pytest.mark.parametrize("make", NON_CONTIGUOUS_INPUTS.values(), ids=NON_CONTIGUOUS_INPUTS)
@pytest.mark.parametrize("source, target", PAIRS)
def test_input_not_row_major(make, source, target):
    arr = make(source)
    bad_map_was_read = []

    def bad_map():
        bad_map_was_read.append(True)
        yield ("not", "a number")

    with pytest.raises(ValueError) as info:
        cast_array(arr, target_dtype=target, rounding_mode=NE)
    assert type(info.value) is ValueError and str(info.value) == INPUT_LAYOUT
    # The layout test comes before the scalar map and the element type.
    with pytest.raises(ValueError, match=r"^Input array must be row-major \(C-contiguous\)$"):
        cast_array(arr, target_dtype=target, rounding_mode=NE, scalar_map_entries=bad_map())
    assert not bad_map_was_read
    out = np.full(arr.shape, 3, dtype=target)
    with pytest.raises(ValueError, match=r"^Input array must be row-major \(C-contiguous\)$"):
        cast_array_into(arr, out, rounding_mode=NE, scalar_map_entries=5)
    assert (out == 3).all()


@pytest.mark.parametrize("source", ["int16", "float32", "uint64"])
def test_input_non_contiguous_and_byte_swapped_reports_the_layout(source):
    arr = np.ones((3, 4), dtype=swapped(source), order="F")
    with pytest.raises(ValueError, match=r"^Input array must be row-major"):
        cast_array(arr, target_dtype="int8", rounding_mode=NE)


@pytest.mark.parametrize("source, target", [p for p in PAIRS if np.dtype(p[0]).itemsize > 1])
def test_input_byte_swapped(source, target):
    arr = np.arange(6).astype(swapped(source))
    consumed = []

    def tracked_map():
        consumed.append(True)
        yield (1, 1)

    for shape_arr, name in [(arr, "ndarray"), (arr.view(SubArray), "SubArray")]:
        with pytest.raises(TypeError) as info:
            cast_array(shape_arr, target_dtype=target, rounding_mode=NE,
                       scalar_map_entries=tracked_map())
        assert str(info.value) == WRONG_ARRAY.format(name)
    out = np.full(6, 9, dtype=target)
    with pytest.raises(TypeError) as info:
        cast_array_into(arr, out, rounding_mode=NE)
    assert str(info.value) == WRONG_ARRAY.format("ndarray")
    assert (out == 9).all()
    assert not consumed


@pytest.mark.parametrize("source, target", PAIRS)
def test_read_only_input_is_converted(source, target):
    arr = values_for(source, (2, 3))
    arr.setflags(write=False)
    expected = expected_for(arr, source, target)
    assert reference.same_elements(cast_array(arr, target_dtype=target, rounding_mode=NE),
                                   expected, target)
    frozen = np.frombuffer(arr.tobytes(), dtype=source).reshape(2, 3)
    out = np.zeros((2, 3), dtype=target)
    cast_array_into(frozen, out, rounding_mode=NE)
    assert reference.same_elements(out, expected, target)


@pytest.mark.parametrize("source, target", PAIRS)
def test_unaligned_input_and_output(source, target):
    count = 7
    src_item = np.dtype(source).itemsize
    dst_item = np.dtype(target).itemsize
    data = values_for(source, (count,))
    raw = bytearray(count * src_item + 1)
    arr = np.frombuffer(raw, dtype=source, count=count, offset=1)
    arr[...] = data  # frombuffer over a bytearray is writeable
    out_raw = bytearray(count * dst_item + 3)
    out = np.frombuffer(out_raw, dtype=target, count=count, offset=3)
    expected = expected_for(data, source, target)
    assert reference.same_elements(cast_array(arr, target_dtype=target, rounding_mode=NE),
                                   expected, target)
    assert cast_array_into(arr, out, rounding_mode=NE) is None
    assert reference.same_elements(out, expected, target)
    assert out_raw[:3] == b"\0\0\0"


# -------------------------------------------------------- zero-d and empty

@pytest.mark.parametrize("source, target", PAIRS)
def test_zero_dimensional_arrays(source, target):
    arr = np.array(7, dtype=source)
    result = cast_array(arr, target_dtype=target, rounding_mode=NE)
    assert result.shape == () and result.dtype == np.dtype(target)
    assert result.item() == 7
    out = np.array(0, dtype=target)
    assert cast_array_into(arr, out, rounding_mode=NE) is None
    assert out.item() == 7


@pytest.mark.parametrize("shape", [(3, 0), (0,), (0, 4), (2, 0, 5)])
@pytest.mark.parametrize("source, target", PAIRS)
def test_empty_arrays(shape, source, target):
    arr = np.zeros(shape, dtype=source)
    for mode in reference.ROUNDING_MODES:
        result = cast_array(arr, target_dtype=target, rounding_mode=mode)
        assert result.shape == shape and result.dtype == np.dtype(target)
    assert cast_array_into(arr, np.zeros(shape, dtype=target), rounding_mode=NE) is None


EMPTY_OUTPUTS_ACCEPTED = {
    "read-only": lambda dt: np.frombuffer(b"", dtype=dt).reshape(3, 0),
    "reversed": lambda dt: np.zeros((3, 0), dtype=dt)[::-1],
    "fortran": lambda dt: np.zeros((3, 0), dtype=dt, order="F"),
    "stepped": lambda dt: np.zeros((6, 0), dtype=dt)[::2],
}


@pytest.mark.parametrize("make", EMPTY_OUTPUTS_ACCEPTED.values(), ids=EMPTY_OUTPUTS_ACCEPTED)
@pytest.mark.parametrize("source, target", PAIRS)
def test_empty_output_returns_none_whatever_its_layout(make, source, target):
    out = make(target)
    assert out.shape == (3, 0)
    assert cast_array_into(np.zeros((3, 0), dtype=source), out, rounding_mode=NE) is None


@pytest.mark.parametrize("source, target", PAIRS)
def test_empty_arrays_still_parse_the_scalar_map(source, target):
    arr = np.zeros((3, 0), dtype=source)
    message = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"
    with pytest.raises(TypeError) as info:
        cast_array(arr, target_dtype=target, rounding_mode=NE, scalar_map_entries=5)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        cast_array_into(arr, np.zeros((3, 0), dtype=target), rounding_mode=NE,
                        scalar_map_entries=5)
    assert str(info.value) == message
    with pytest.raises(ValueError, match="^Each scalar_map entry must be a"):
        cast_array_into(arr, np.frombuffer(b"", dtype=target).reshape(3, 0),
                        rounding_mode=NE, scalar_map_entries=[(1,)])


@pytest.mark.parametrize("source, target", [p for p in PAIRS if np.dtype(p[1]).itemsize > 1])
def test_byte_swapped_output_is_refused_even_when_empty(source, target):
    for shape in [(4,), (3, 0)]:
        out = np.zeros(shape, dtype=swapped(target))
        assert out.dtype.name == target
        with pytest.raises(TypeError) as info:
            cast_array_into(np.ones(shape, dtype=source), out, rounding_mode=NE)
        assert str(info.value) == WRONG_ARRAY.format("ndarray")
    sub = np.zeros(4, dtype=swapped(target)).view(SubArray)
    with pytest.raises(TypeError) as info:
        cast_array_into(np.ones(4, dtype=source), sub, rounding_mode=NE)
    assert str(info.value) == WRONG_ARRAY.format("SubArray")


# ------------------------------------------------------------ output layout

def strided(dtype, shape, strides_in_items, scale=1):
    item = np.dtype(dtype).itemsize
    base = np.zeros(64, dtype=dtype)
    return as_strided(base, shape=shape, strides=[int(s * item * scale) for s in strides_in_items],
                      writeable=True)


OUTPUTS_REFUSED = {
    "every-second": lambda dt: np.zeros(10, dtype=dt)[::2],
    "reversed": lambda dt: np.zeros(5, dtype=dt)[::-1],
    "fortran-3x4": lambda dt: np.zeros((3, 4), dtype=dt, order="F"),
    "first-3-columns-of-4x5": lambda dt: np.zeros((4, 5), dtype=dt)[:, :3],
    "broadcast": lambda dt: strided(dt, (4,), (0,)),
    "row-stride-16-not-12": lambda dt: strided(dt, (2, 3), (4, 1)),
    "read-only": lambda dt: np.frombuffer(bytes(5 * np.dtype(dt).itemsize), dtype=dt),
    "write-flag-cleared": lambda dt: _read_only(np.zeros(5, dtype=dt)),
    "field-of-wider-records": lambda dt: np.zeros(5, dtype=[("pad", "u1"), ("x", dt)])["x"],
    "half-item-stride": lambda dt: strided(dt, (3,), (1,), scale=1.5),
    "negative-stride-on-long-axis": lambda dt: np.zeros((2, 3), dtype=dt)[:, ::-1],
}


def _read_only(array):
    array.setflags(write=False)
    return array


# A one-byte element has no half stride.
REFUSED_CASES = [(name, s, t) for name in OUTPUTS_REFUSED for s, t in PAIRS
                 if name != "half-item-stride" or np.dtype(t).itemsize > 1]


@pytest.mark.parametrize("name, source, target", REFUSED_CASES)
def test_output_layout_refused(name, source, target):
    out = OUTPUTS_REFUSED[name](target)
    before = out.copy()
    arr = values_for(source, out.shape)
    with pytest.raises(ValueError) as info:
        cast_array_into(arr, out, rounding_mode=NE)
    assert type(info.value) is ValueError and str(info.value) == OUTPUT_LAYOUT
    np.testing.assert_array_equal(out, before)


OUTPUTS_ACCEPTED = {
    "length-1-axis-any-stride": lambda dt: strided(dt, (2, 1, 3), (3, 250, 1)),
    "length-1-axis-negative-stride": lambda dt: strided(dt, (2, 1, 3), (3, -7, 1)),
    "one-row-of-2d": lambda dt: np.zeros((3, 5), dtype=dt)[1:2, :],
    "fortran-one-long-axis": lambda dt: np.zeros((1, 5), dtype=dt, order="F"),
    "reversed-length-1-axis": lambda dt: np.zeros((1, 5), dtype=dt)[::-1],
    "column-of-fortran": lambda dt: np.zeros((4, 3), dtype=dt, order="F")[:, 1:2],
    "subclass": lambda dt: np.zeros((2, 3), dtype=dt).view(SubArray),
}


@pytest.mark.parametrize("name", OUTPUTS_ACCEPTED)
@pytest.mark.parametrize("source, target", PAIRS)
def test_output_layout_accepted(name, source, target):
    out = OUTPUTS_ACCEPTED[name](target)
    arr = values_for(source, out.shape)
    assert cast_array_into(arr, out, rounding_mode=NE) is None
    assert reference.same_elements(np.ascontiguousarray(out),
                                   expected_for(arr, source, target), target)


def test_length_1_axis_stride_exact_example():
    """int32 output of shape (2, 1, 3) with byte strides (12, 1000, 4)."""
    buffer = np.zeros(6, dtype=np.int32)
    out = as_strided(buffer, shape=(2, 1, 3), strides=(12, 1000, 4), writeable=True)
    cast_array_into(np.arange(6, dtype=np.int16).reshape(2, 1, 3), out, rounding_mode=NE)
    assert buffer.tolist() == [0, 1, 2, 3, 4, 5]


def test_output_errors_come_after_the_scalar_map():
    arr = np.arange(5, dtype=np.int16)
    for out in [np.zeros(5, dtype=np.int32)[::-1], np.zeros(5, dtype=swapped("int32")),
                np.frombuffer(bytes(20), dtype=np.int32)]:
        with pytest.raises(ValueError, match="^Each scalar_map entry must be a"):
            cast_array_into(arr, out, rounding_mode=NE, scalar_map_entries=[(1, 2, 3)])


def test_wrong_type_output_comes_before_the_layout():
    out = np.zeros(10, dtype=swapped("int32"))[::2]
    with pytest.raises(TypeError, match=r"PyArray<T, D>"):
        cast_array_into(np.arange(5, dtype=np.int16), out, rounding_mode=NE)


def test_input_error_beats_scalar_map_and_output_errors():
    arr = np.zeros((3, 4), dtype=np.int16, order="F")
    out = np.zeros((3, 4), dtype=swapped("int32"))
    with pytest.raises(ValueError, match=r"^Input array must be row-major"):
        cast_array_into(arr, out, rounding_mode=NE, scalar_map_entries=[(1,)])


# ----------------------------------------------------- number of dimensions

@pytest.mark.parametrize("source, target", PAIRS)
def test_thirty_two_dimensions_are_converted(source, target):
    arr = values_for(source, (1,) * 30 + (2, 1))
    result = cast_array(arr, target_dtype=target, rounding_mode=NE)
    assert result.shape == arr.shape
    out = np.zeros(arr.shape, dtype=target)
    cast_array_into(arr, out, rounding_mode=NE)
    assert reference.same_elements(out, expected_for(arr, source, target), target)


@needs_33_dimensions
@pytest.mark.parametrize("source, target", PAIRS)
def test_thirty_three_dimensions_end_with_the_internal_error(source, target):
    arr = np.ones((1,) * 31 + (2, 1), dtype=source)
    with pytest.raises(BaseException) as info:
        cast_array(arr, target_dtype=target, rounding_mode=NE)
    assert is_internal_error(info.value)
    out = np.full(arr.shape, 5, dtype=target)
    with pytest.raises(BaseException) as info:
        cast_array_into(arr, out, rounding_mode=NE)
    assert is_internal_error(info.value)
    assert (out == 5).all()


@needs_33_dimensions
@pytest.mark.parametrize("source, target", PAIRS)
def test_thirty_three_dimensions_with_an_empty_axis(source, target):
    shape = (1,) * 20 + (0,) + (2,) * 12
    arr = np.zeros(shape, dtype=source)
    result = cast_array(arr, target_dtype=target, rounding_mode=NE)
    assert result.shape == shape and result.dtype == np.dtype(target)
    assert cast_array_into(arr, np.zeros(shape, dtype=target), rounding_mode=NE) is None


# ------------------------------------------------------ shared memory (O2)

def converted_copy(arr, target, **kwargs):
    return cast_array(arr.copy(), target_dtype=target, rounding_mode=NE, **kwargs)


OVERLAPS = [
    # (source, target, how the two arrays are laid over one buffer)
    ("int16", "int32", "both-start"),
    ("int8", "int64", "both-start"),
    ("float16", "float64", "both-start"),
    ("uint8", "float32", "both-start"),
    ("int32", "int16", "both-start"),
    ("float64", "float32", "out-in-second-half"),
    ("float64", "int16", "out-in-second-half"),
    ("int64", "int8", "out-in-second-half"),
    ("int32", "int32", "shift-forward"),
    ("int32", "int32", "shift-backward"),
    ("float64", "float64", "shift-forward"),
    ("int16", "uint16", "shift-forward"),
    ("int16", "int8", "shift-forward"),
    ("float32", "float32", "same"),
    ("float64", "int64", "same"),
    ("int8", "uint8", "same"),
]


def overlapping(source, target, how, n=37):
    s_item, t_item = np.dtype(source).itemsize, np.dtype(target).itemsize
    raw = np.zeros(n * max(s_item, t_item) * 2 + 16, dtype=np.uint8)
    if how == "both-start":
        arr = raw[: n * s_item].view(source)
        out = raw[: n * t_item].view(target)
    elif how == "out-in-second-half":
        arr = raw[: n * s_item].view(source)
        start = n * s_item - n * t_item
        out = raw[start: start + n * t_item].view(target)
    elif how == "shift-forward":
        arr = raw[: n * s_item].view(source)
        out = raw[s_item: s_item + n * t_item].view(target)
    elif how == "shift-backward":
        arr = raw[s_item: s_item + n * s_item].view(source)
        out = raw[: n * t_item].view(target)
    else:
        arr = raw[: n * s_item].view(source)
        out = arr.view(target) if s_item == t_item else None
    arr[...] = (np.arange(n) * 3 - 20).astype(source) if source[0] != "u" else np.arange(n) * 3
    return arr, out


@pytest.mark.parametrize("source, target, how", OVERLAPS)
@pytest.mark.parametrize("with_map", [False, True])
def test_overlapping_output_gives_the_result_of_a_copy(source, target, how, with_map):
    arr, out = overlapping(source, target, how)
    assert np.shares_memory(arr, out)
    kwargs = {"out_of_range_mode": "wrap" if target[0] in "iu" else "clamp"}
    if with_map:
        kwargs["scalar_map_entries"] = [(arr[3].item(), 1), (arr[10].item(), 2)]
    expected = converted_copy(arr, target, **kwargs)
    assert cast_array_into(arr, out, rounding_mode=NE, **kwargs) is None
    np.testing.assert_array_equal(out, expected)


def test_same_array_as_input_and_output():
    arr = np.array([1.5, -2.5, np.nan, 7.0], dtype=np.float32)
    bits = arr.view(np.uint32).copy()
    cast_array_into(arr, arr, rounding_mode=NE)
    np.testing.assert_array_equal(arr.view(np.uint32), bits)
    ints = np.array([-1, 300, 5], dtype=np.int16)
    cast_array_into(ints, ints.view(np.uint16), rounding_mode=NE, out_of_range_mode="wrap")
    assert ints.view(np.uint16).tolist() == [65535, 300, 5]


# ------------------------------------- arrays changed while the map is read (O1)

class Resizer:
    """A scalar-map key whose __index__ changes an array, then gives `value`."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def resize_and_fill(array, shape):
    def act():
        array.resize(shape, refcheck=False)
        array.reshape(-1)[...] = np.arange(array.size) % 40 + 1
    return act


@pytest.mark.parametrize("new_shape", [(1000,), (2,), (0,), (3, 2)])
def test_input_resized_during_parsing_cast_array(new_shape):
    arr = np.arange(1, 5, dtype=np.int16)
    key = Resizer(resize_and_fill(arr, new_shape), 5)
    result = cast_array(arr, target_dtype="int32", rounding_mode=NE,
                        scalar_map_entries=[(key, -1)])
    assert result.shape == arr.shape == new_shape
    expected = np.where(arr == 5, -1, arr)
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("new_size", [1000, 4, 2, 0])
def test_input_resized_during_parsing_cast_array_into(new_size):
    arr = np.arange(1, 5, dtype=np.int16)
    out = np.full(4, 99, dtype=np.float64)
    key = Resizer(resize_and_fill(arr, (new_size,)), 7)
    if new_size == 4:
        assert cast_array_into(arr, out, rounding_mode=NE, scalar_map_entries=[(key, -1)]) is None
        np.testing.assert_array_equal(out, np.where(arr == 7, -1, arr).astype(np.float64))
        return
    with pytest.raises(ValueError) as info:
        cast_array_into(arr, out, rounding_mode=NE, scalar_map_entries=[(key, -1)])
    assert str(info.value) == f"Shape mismatch: input shape [{new_size}] != output shape [4]"
    assert (out == 99).all()


@pytest.mark.parametrize("new_size", [10, 2, 0])
def test_output_resized_during_parsing(new_size):
    arr = np.array([3, 1, 4, 1], dtype=np.int32)
    out = np.zeros(4, dtype=np.int64)

    def act():
        out.resize((new_size,), refcheck=False)
        out[...] = -5

    with pytest.raises(ValueError) as info:
        cast_array_into(arr, out, rounding_mode=NE, scalar_map_entries=[(Resizer(act, 1), 8)])
    assert str(info.value) == f"Shape mismatch: input shape [4] != output shape [{new_size}]"
    assert (out == -5).all()


def test_input_reshaped_during_parsing():
    arr = np.arange(6, dtype=np.uint8)

    def act():
        # In place, as setting .shape did before NumPy 2.5 deprecated it.
        arr.resize((2, 3), refcheck=False)

    result = cast_array(arr, target_dtype="uint16", rounding_mode=NE,
                        scalar_map_entries=[(Resizer(act, 0), 100)])
    assert result.shape == (2, 3)
    assert result.tolist() == [[100, 1, 2], [3, 4, 5]]


def test_input_element_type_changed_during_parsing_is_refused():
    arr = np.arange(6, dtype=np.int16)

    def act():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            arr.dtype = np.uint16

    with pytest.raises((TypeError, ValueError)):
        cast_array(arr, target_dtype="int32", rounding_mode=NE,
                   scalar_map_entries=[(Resizer(act, 0), 1)])


# ---------------------------------------------- output that can't be made (O3)

@pytest.mark.parametrize("target, count, error", [
    ("float64", 2**62, "ValueError"),
    ("int64", 2**44, "MemoryError"),
])
def test_output_that_cannot_be_created_raises_numpys_exception(target, count, error):
    """The input claims a huge C-contiguous extent over a small buffer; the
    output array can't exist, and nothing may read the input."""
    code = textwrap.dedent(f"""
        import numpy as np
        from numpy.lib.stride_tricks import as_strided
        from tolvane import cast_array
        base = np.zeros(8, dtype=np.int8)
        huge = as_strided(base, shape=({count},), strides=(1,))
        try:
            cast_array(huge, target_dtype="{target}", rounding_mode="nearest-even")
        except BaseException as exc:
            print(type(exc).__name__)
            print(isinstance(exc, Exception))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [error, "True"]
    assert result.stderr == ""

"""Binding of the call's arguments, the conversion of each argument with its
"argument '{}': {}" rewriting, and the mode strings."""

import numpy as np
import pytest

from tolvane import cast_array, cast_array_into

A = np.arange(6, dtype=np.int16)
O = np.zeros(6, dtype=np.int32)
NE = "nearest-even"


class SubArray(np.ndarray):
    pass


class StrSub(str):
    pass


class Unnamed:
    """A type whose qualified name has no UTF-8 form."""


Unnamed.__qualname__ = "Unnamed\ud800"


BINDING_ERRORS = [
    (cast_array, (A, "uint8", NE), {},
     "cast_array() takes 1 positional arguments but 3 were given"),
    (cast_array, (A, "uint8"), {"rounding_mode": NE},
     "cast_array() takes 1 positional arguments but 2 were given"),
    # Too many positionals is reported before any keyword is looked at.
    (cast_array, (A, "uint8"), {"bogus": 1},
     "cast_array() takes 1 positional arguments but 2 were given"),
    (cast_array_into, (A, O, NE), {},
     "cast_array_into() takes 2 positional arguments but 3 were given"),
    (cast_array_into, (A, O, NE, None), {"arr": A},
     "cast_array_into() takes 2 positional arguments but 4 were given"),
    (cast_array, (), {},
     "cast_array() missing 1 required positional argument: 'arr'"),
    (cast_array, (), {"target_dtype": "uint8", "rounding_mode": NE},
     "cast_array() missing 1 required positional argument: 'arr'"),
    (cast_array, (A,), {},
     "cast_array() missing 2 required keyword arguments: 'target_dtype' and 'rounding_mode'"),
    (cast_array, (A,), {"target_dtype": "uint8"},
     "cast_array() missing 1 required keyword argument: 'rounding_mode'"),
    (cast_array, (A,), {"rounding_mode": NE},
     "cast_array() missing 1 required keyword argument: 'target_dtype'"),
    (cast_array, (A,), {"out_of_range_mode": "clamp", "scalar_map_entries": None},
     "cast_array() missing 2 required keyword arguments: 'target_dtype' and 'rounding_mode'"),
    (cast_array_into, (), {},
     "cast_array_into() missing 2 required positional arguments: 'arr' and 'out'"),
    (cast_array_into, (A,), {"rounding_mode": NE},
     "cast_array_into() missing 1 required positional argument: 'out'"),
    (cast_array_into, (), {"out": O, "rounding_mode": NE},
     "cast_array_into() missing 1 required positional argument: 'arr'"),
    (cast_array_into, (A, O), {},
     "cast_array_into() missing 1 required keyword argument: 'rounding_mode'"),
    # Missing positionals are reported before missing keywords.
    (cast_array_into, (), {"scalar_map_entries": None},
     "cast_array_into() missing 2 required positional arguments: 'arr' and 'out'"),
    (cast_array, (A,), {"arr": A, "target_dtype": "uint8", "rounding_mode": NE},
     "cast_array() got multiple values for argument 'arr'"),
    (cast_array_into, (A, O), {"out": O, "rounding_mode": NE},
     "cast_array_into() got multiple values for argument 'out'"),
    (cast_array_into, (A,), {"arr": A, "out": O, "rounding_mode": NE},
     "cast_array_into() got multiple values for argument 'arr'"),
    # An unknown keyword is reported even when required arguments are missing.
    (cast_array, (A,), {"mode": "clamp"},
     "cast_array() got an unexpected keyword argument 'mode'"),
    (cast_array, (), {"mode": "clamp"},
     "cast_array() got an unexpected keyword argument 'mode'"),
    (cast_array_into, (A, O), {"target_dtype": "int8", "rounding_mode": NE},
     "cast_array_into() got an unexpected keyword argument 'target_dtype'"),
    (cast_array, (A,), {"target_dtype": "int8", "rounding_mode": NE, "out": O},
     "cast_array() got an unexpected keyword argument 'out'"),
    (cast_array, (A,), {"Target_dtype": "int8", "rounding_mode": NE},
     "cast_array() got an unexpected keyword argument 'Target_dtype'"),
    # Keywords are walked in the caller's order: the first problem wins.
    (cast_array, (A,), {"bogus": 1, "arr": A},
     "cast_array() got an unexpected keyword argument 'bogus'"),
    (cast_array, (A,), {"arr": A, "bogus": 1},
     "cast_array() got multiple values for argument 'arr'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_keyword_that_is_not_utf8_is_unexpected():
    with pytest.raises(TypeError, match="got an unexpected keyword argument"):
        cast_array(A, target_dtype="int8", rounding_mode=NE, **{"\ud800": 1})


def test_arr_by_keyword():
    assert cast_array(arr=A, target_dtype="int8", rounding_mode=NE).tolist() == A.tolist()
    out = np.zeros(6, dtype=np.int32)
    assert cast_array_into(out=out, arr=A, rounding_mode=NE) is None
    assert out.tolist() == A.tolist()


ARGUMENT_TYPE_ERRORS = [
    (cast_array, ([1, 2],), {"target_dtype": "int8", "rounding_mode": NE},
     "argument 'arr': 'list' object cannot be converted to 'PyUntypedArray'"),
    (cast_array, (None,), {"target_dtype": "int8", "rounding_mode": NE},
     "argument 'arr': 'NoneType' object cannot be converted to 'PyUntypedArray'"),
    (cast_array, (np.float64(1.0),), {"target_dtype": "int8", "rounding_mode": NE},
     "argument 'arr': 'float64' object cannot be converted to 'PyUntypedArray'"),
    (cast_array, (memoryview(b"ab"),), {"target_dtype": "int8", "rounding_mode": NE},
     "argument 'arr': 'memoryview' object cannot be converted to 'PyUntypedArray'"),
    (cast_array, (Unnamed(),), {"target_dtype": "int8", "rounding_mode": NE},
     "argument 'arr': '<failed to extract type name>' object cannot be converted to "
     "'PyUntypedArray'"),
    (cast_array, (A,), {"target_dtype": None, "rounding_mode": NE},
     "argument 'target_dtype': 'NoneType' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": b"int8", "rounding_mode": NE},
     "argument 'target_dtype': 'bytes' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": np.dtype("int8"), "rounding_mode": NE},
     "argument 'target_dtype': '" + type(np.dtype("int8")).__qualname__
     + "' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": np.int8, "rounding_mode": NE},
     "argument 'target_dtype': 'type' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": "int8", "rounding_mode": None},
     "argument 'rounding_mode': 'NoneType' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": "int8", "rounding_mode": 0},
     "argument 'rounding_mode': 'int' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": "int8", "rounding_mode": NE, "out_of_range_mode": 5},
     "argument 'out_of_range_mode': 'int' object cannot be converted to 'PyString'"),
    (cast_array, (A,), {"target_dtype": "int8", "rounding_mode": NE,
                        "out_of_range_mode": ["clamp"]},
     "argument 'out_of_range_mode': 'list' object cannot be converted to 'PyString'"),
    (cast_array_into, ((1, 2), O), {"rounding_mode": NE},
     "argument 'arr': 'tuple' object cannot be converted to 'PyUntypedArray'"),
    (cast_array_into, (A, [0] * 6), {"rounding_mode": NE},
     "argument 'out': 'list' object cannot be converted to 'PyUntypedArray'"),
    (cast_array_into, (A, O), {"rounding_mode": b"nearest-even"},
     "argument 'rounding_mode': 'bytes' object cannot be converted to 'PyString'"),
    (cast_array_into, (A, O), {"rounding_mode": NE, "out_of_range_mode": 1.5},
     "argument 'out_of_range_mode': 'float' object cannot be converted to 'PyString'"),
    # Parameter order decides which bad argument is reported.
    (cast_array, ([1],), {"target_dtype": None, "rounding_mode": None},
     "argument 'arr': 'list' object cannot be converted to 'PyUntypedArray'"),
    (cast_array, (A,), {"target_dtype": 1, "rounding_mode": "bad"},
     "argument 'target_dtype': 'int' object cannot be converted to 'PyString'"),
    (cast_array_into, ([1], None), {"rounding_mode": None},
     "argument 'arr': 'list' object cannot be converted to 'PyUntypedArray'"),
    (cast_array_into, (A, None), {"rounding_mode": None},
     "argument 'out': 'NoneType' object cannot be converted to 'PyUntypedArray'"),
    (cast_array_into, (A, O), {"rounding_mode": None, "out_of_range_mode": 3},
     "argument 'rounding_mode': 'NoneType' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", ARGUMENT_TYPE_ERRORS)
def test_argument_type_errors_are_rewritten(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    error = info.value
    assert type(error) is TypeError
    assert str(error) == message
    # The replaced exception is dropped, not chained.
    assert error.__cause__ is None
    assert error.__context__ is None


MODE_ERRORS = [
    ({"rounding_mode": "Nearest-Even"}, "Unknown rounding mode: Nearest-Even"),
    ({"rounding_mode": "nearest_even"}, "Unknown rounding mode: nearest_even"),
    ({"rounding_mode": "NEAREST-EVEN"}, "Unknown rounding mode: NEAREST-EVEN"),
    ({"rounding_mode": " nearest-even"}, "Unknown rounding mode:  nearest-even"),
    ({"rounding_mode": "nearest-even "}, "Unknown rounding mode: nearest-even "),
    ({"rounding_mode": ""}, "Unknown rounding mode: "),
    ({"rounding_mode": "nearest"}, "Unknown rounding mode: nearest"),
    ({"rounding_mode": "towards-zero\x00"}, "Unknown rounding mode: towards-zero\x00"),
    ({"rounding_mode": "towards-positivE"}, "Unknown rounding mode: towards-positivE"),
    ({"rounding_mode": "nearest-évén"}, "Unknown rounding mode: nearest-évén"),
    ({"rounding_mode": NE, "out_of_range_mode": ""}, "Unknown out_of_range mode: "),
    ({"rounding_mode": NE, "out_of_range_mode": "CLAMP"}, "Unknown out_of_range mode: CLAMP"),
    ({"rounding_mode": NE, "out_of_range_mode": "clamp "}, "Unknown out_of_range mode: clamp "),
    ({"rounding_mode": NE, "out_of_range_mode": "saturate"},
     "Unknown out_of_range mode: saturate"),
    ({"rounding_mode": NE, "out_of_range_mode": "None"}, "Unknown out_of_range mode: None"),
    ({"rounding_mode": NE, "out_of_range_mode": "wrap\n"}, "Unknown out_of_range mode: wrap\n"),
    # The rounding mode is read before the out-of-range mode.
    ({"rounding_mode": "bad", "out_of_range_mode": "bad"}, "Unknown rounding mode: bad"),
]


@pytest.mark.parametrize("modes, message", MODE_ERRORS)
@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
def test_mode_strings_rejected(function, modes, message):
    with pytest.raises(ValueError) as info:
        if function == "cast_array":
            cast_array(A, target_dtype="int8", **modes)
        else:
            cast_array_into(A, O, **modes)
    assert type(info.value) is ValueError
    assert str(info.value) == message


def test_mode_error_comes_before_dtype_and_array_problems():
    bool_array = np.zeros(3, dtype=bool)
    fortran = np.zeros((3, 4), dtype=np.int16, order="F")
    with pytest.raises(ValueError, match="^Unknown rounding mode: bad$"):
        cast_array(A, target_dtype="float", rounding_mode="bad")
    with pytest.raises(ValueError, match="^Unknown rounding mode: bad$"):
        cast_array(bool_array, target_dtype="int8", rounding_mode="bad")
    with pytest.raises(ValueError, match="^Unknown out_of_range mode: x$"):
        cast_array(A, target_dtype="float", rounding_mode=NE, out_of_range_mode="x")
    with pytest.raises(ValueError, match="^Unknown out_of_range mode: x$"):
        cast_array_into(fortran, np.zeros((2, 2), dtype=bool), rounding_mode=NE,
                        out_of_range_mode="x")


@pytest.mark.parametrize("which", ["target_dtype", "rounding_mode", "out_of_range_mode"])
def test_unencodable_string_passes_its_unicode_error(which):
    kwargs = {"target_dtype": "int8", "rounding_mode": NE, which: "\ud800"}
    with pytest.raises(UnicodeEncodeError):
        cast_array(A, **kwargs)


def test_unencodable_mode_in_cast_array_into():
    with pytest.raises(UnicodeEncodeError):
        cast_array_into(A, O, rounding_mode="nearest-\udcff")


@pytest.mark.parametrize("mode", ["nearest-even", "towards-zero", "towards-positive",
                                  "towards-negative", "nearest-away"])
@pytest.mark.parametrize("policy", [None, "clamp", "wrap"])
def test_every_valid_mode_string_is_accepted(mode, policy):
    assert cast_array(A, target_dtype="int32", rounding_mode=mode,
                      out_of_range_mode=policy).tolist() == A.tolist()
    out = np.zeros(6, dtype=np.int32)
    assert cast_array_into(A, out, rounding_mode=mode, out_of_range_mode=policy) is None
    assert out.tolist() == A.tolist()


def test_str_subclasses_are_accepted_as_strings():
    result = cast_array(A, target_dtype=StrSub("float32"), rounding_mode=StrSub(NE),
                        out_of_range_mode=StrSub("clamp"))
    assert result.dtype == np.float32
    assert result.tolist() == A.tolist()


def test_none_out_of_range_mode_is_the_absent_policy():
    big = np.array([1, 300], dtype=np.int16)
    message = ("Value 300 out of range [-128, 127]. "
               "Set out_of_range='clamp' or out_of_range='wrap' to handle this.")
    for kwargs in ({}, {"out_of_range_mode": None}):
        with pytest.raises(ValueError) as info:
            cast_array(big, target_dtype="int8", rounding_mode=NE, **kwargs)
        assert str(info.value) == message


@pytest.mark.parametrize("entries", [None, [], {}, ()])
def test_none_and_empty_scalar_maps_are_the_same(entries):
    assert cast_array(A, target_dtype="int8", rounding_mode=NE,
                      scalar_map_entries=entries).tolist() == A.tolist()


def test_scalar_map_object_is_judged_after_the_arguments_and_dtypes():
    message = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"
    with pytest.raises(TypeError) as info:
        cast_array(A, target_dtype="int8", rounding_mode=NE, scalar_map_entries=5)
    assert str(info.value) == message
    # No "argument" prefix: the map is read by the driver, not as an argument.
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError, match="^Unsupported target dtype: int9$"):
        cast_array(A, target_dtype="int9", rounding_mode=NE, scalar_map_entries=5)


def test_ndarray_subclasses_accepted_for_arr_and_out():
    arr = A.view(SubArray)
    out = np.zeros(6, dtype=np.int32).view(SubArray)
    result = cast_array(arr, target_dtype="int32", rounding_mode=NE)
    assert type(result) is np.ndarray
    assert result.tolist() == A.tolist()
    assert cast_array_into(arr, out, rounding_mode=NE) is None
    assert out.tolist() == A.tolist()


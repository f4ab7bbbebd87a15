"""Scalar-map parsing, observed through cast_array and cast_array_into: the
accepted forms of `scalar_map_entries`, container and entry errors, the value
rules of the eleven element types, the value messages, the exceptions that
pass through unchanged, and reference counts on every path."""

import collections
import collections.abc
import enum
import gc
import itertools
import struct
import sys
import types

import numpy as np
import pytest

import tolvane
from numpy_features import BOOL_SCALAR_HAS_INDEX

INT_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
FLOAT_DTYPES = ["float16", "float32", "float64"]
DTYPES = INT_DTYPES + FLOAT_DTYPES
BITS = {"float16": np.uint16, "float32": np.uint32, "float64": np.uint64}

NOT_PAIR = "Each scalar_map entry must be a (source, target) pair"
NOT_ITERABLE = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"
NO_LENGTH = "Failed to get length of scalar_map dict."


def source_message(text, dtype):
    return f"scalar_map source value {text}: expected a value convertible to source dtype {dtype}"


def target_message(text, dtype):
    return f"scalar_map target value {text}: expected a value convertible to target dtype {dtype}"


def cast(values, src, dst, entries):
    arr = np.array(values, dtype=src)
    return tolvane.cast_array(
        arr, target_dtype=dst, rounding_mode="nearest-even", scalar_map_entries=entries
    )


def raised_by(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def assert_replaced(error, exc_type, message):
    """`error` is a fresh exception of the module: exact type and text, and no
    trace of the exception it replaced."""
    assert type(error) is exc_type
    assert str(error) == message
    assert error.__cause__ is None
    assert error.__context__ is None


def float_bits_of(dtype, doubles):
    """IEEE bits of doubles narrowed to `dtype`, computed by NumPy: float16
    goes through float32 first, as the value rules require."""
    with np.errstate(over="ignore", invalid="ignore"):
        x = np.array(doubles, dtype=np.float64)
        if dtype in ("float32", "float16"):
            x = x.astype(np.float32)
        if dtype == "float16":
            x = x.astype(np.float16)
    return [int(b) for b in x.view(BITS[dtype])]


def float_bits(dtype, value):
    return float_bits_of(dtype, [value])[0]


def double_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def as_bits(array):
    return [int(b) for b in array.view(BITS[array.dtype.name])]


# --- helper objects -----------------------------------------------------------


class Index:
    """An object whose only number protocol is __index__."""

    def __init__(self, result, label="Index()"):
        self.result = result
        self.label = label

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return self.label


class Floaty:
    """An object whose only number protocol is __float__."""

    def __init__(self, result, label="Floaty()"):
        self.result = result
        self.label = label

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return self.label


class IndexingInt(int):
    """An int subclass whose __index__ lies: the value rules must read the int."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass must not be called")


class Color(enum.IntEnum):
    RED = 7


class FloatSub(float):
    def __float__(self):
        raise AssertionError("__float__ of a float subclass must not be called")


class FakeMapping(collections.abc.Mapping):
    """A mapping whose reported length and items list are chosen by the test."""

    def __init__(self, items, length=None):
        self._items = items
        if length is None:
            length = len(items) if isinstance(items, collections.abc.Sized) else 0
        self._length = length

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        if isinstance(self._length, BaseException):
            raise self._length
        return self._length

    def items(self):
        if isinstance(self._items, BaseException):
            raise self._items
        return self._items


class RegisteredMapping:
    """Not derived from Mapping, only registered with it."""

    def __init__(self, pairs):
        self._pairs = dict(pairs)

    def __len__(self):
        return len(self._pairs)

    def __getitem__(self, key):
        return self._pairs[key]

    def __iter__(self):
        return iter(self._pairs)

    def items(self):
        return list(self._pairs.items())


collections.abc.Mapping.register(RegisteredMapping)


class ItemsOverride(dict):
    """A dict subclass whose items() differs from its contents."""

    def items(self):
        return [(1, 5), (3, 6)]


class KeysAndGetitem:
    """Looks like a mapping but is none: parsed as an iterable of its keys."""

    def __init__(self, pairs):
        self._pairs = pairs

    def keys(self):
        return [p[0] for p in self._pairs]

    def __getitem__(self, key):
        raise AssertionError("a non-mapping is never read by key")

    def __iter__(self):
        return iter(self._pairs)


class RaisingIter:
    def __init__(self, exc):
        self.exc = exc

    def __iter__(self):
        raise self.exc


class Sized:
    """An entry whose length and items are chosen by the test; records the
    indices it is asked for."""

    def __init__(self, length, items=(), events=None):
        self.length = length
        self.items = items
        self.events = [] if events is None else events

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        self.events.append(("getitem", index))
        item = self.items[index]
        if isinstance(item, BaseException):
            raise item
        return item


class Pair2(tuple):
    pass


NamedPair = collections.namedtuple("NamedPair", "source target")


class Unnamed:
    """A type whose qualified name has no UTF-8 form."""


Unnamed.__qualname__ = "Unnamed\ud800"


# --- forms --------------------------------------------------------------------

EMPTY_FORMS = [
    pytest.param(None, id="None"),
    pytest.param({}, id="empty-dict"),
    pytest.param([], id="empty-list"),
    pytest.param((), id="empty-tuple"),
    pytest.param("", id="empty-str"),
    pytest.param(b"", id="empty-bytes"),
    pytest.param(bytearray(), id="empty-bytearray"),
    pytest.param(types.MappingProxyType({}), id="empty-proxy"),
    pytest.param(FakeMapping([], length=0), id="empty-mapping"),
    pytest.param(set(), id="empty-set"),
]


@pytest.mark.parametrize("entries", EMPTY_FORMS)
def test_empty_forms_map_nothing(entries):
    out = cast([1, -2, 3], "int8", "int16", entries)
    assert out.dtype == np.int16
    assert out.tolist() == [1, -2, 3]


def test_omitted_and_exhausted_iterators_map_nothing():
    arr = np.array([1, 2], dtype=np.int8)
    assert tolvane.cast_array(arr, target_dtype="int32", rounding_mode="nearest-even").tolist() == [1, 2]
    exhausted = iter([(1, 9)])
    next(exhausted)
    assert cast([1, 2], "int8", "int32", exhausted).tolist() == [1, 2]
    assert cast([1, 2], "int8", "int32", (p for p in [])).tolist() == [1, 2]


def _generator(pairs):
    yield from pairs


# Each form maps the sources 1 and 3 of an int8 array [1, 2, 3] to int32.
# Built per test: iterators and generators are spent by one use.
FORMS = [
    pytest.param(lambda: {1: 20, 3: 40}, [20, 2, 40], id="dict"),
    pytest.param(lambda: collections.OrderedDict([(3, 40), (1, 20)]), [20, 2, 40], id="ordered-dict"),
    pytest.param(lambda: types.MappingProxyType({1: 20, 3: 40}), [20, 2, 40], id="mapping-proxy"),
    pytest.param(lambda: collections.UserDict({1: 20}), [20, 2, 3], id="user-dict"),
    pytest.param(lambda: FakeMapping([(1, 20), (3, 40)]), [20, 2, 40], id="abc-mapping"),
    pytest.param(lambda: RegisteredMapping([(3, 40)]), [1, 2, 40], id="registered-mapping"),
    pytest.param(lambda: ItemsOverride({1: 99}), [5, 2, 6], id="dict-subclass-items-override"),
    pytest.param(lambda: FakeMapping([NamedPair(1, 20)]), [20, 2, 3], id="named-tuple-items"),
    pytest.param(lambda: FakeMapping([Pair2((3, 40))]), [1, 2, 40], id="tuple-subclass-items"),
    pytest.param(lambda: FakeMapping(((1, 20), (3, 40))), [20, 2, 40], id="items-as-tuple"),
    pytest.param(lambda: FakeMapping(iter([(1, 20)])), [20, 2, 3], id="items-as-iterator"),
    pytest.param(
        lambda: FakeMapping([(1, 20), (3, 40), (2, 30)], length=0), [20, 30, 40], id="len-0-three-items"
    ),
    pytest.param(lambda: FakeMapping([(2, 30)], length=10), [1, 30, 3], id="len-10-one-item"),
    pytest.param(lambda: FakeMapping([(2, 30)], length=sys.maxsize), [1, 30, 3], id="len-maxsize"),
    pytest.param(lambda: [(1, 20), (3, 40)], [20, 2, 40], id="list-of-tuples"),
    pytest.param(lambda: ((1, 20), (3, 40)), [20, 2, 40], id="tuple-of-tuples"),
    pytest.param(lambda: [[1, 20], [3, 40]], [20, 2, 40], id="list-of-lists"),
    pytest.param(lambda: [Pair2((1, 20)), NamedPair(3, 40)], [20, 2, 40], id="tuple-subclasses"),
    pytest.param(lambda: _generator([(1, 20), (3, 40)]), [20, 2, 40], id="generator"),
    pytest.param(lambda: iter([(3, 40)]), [1, 2, 40], id="iterator"),
    pytest.param(lambda: {1: 20, 3: 40}.items(), [20, 2, 40], id="dict-items-view"),
    pytest.param(lambda: np.array([[1, 20], [3, 40]]), [20, 2, 40], id="numpy-rows"),
    pytest.param(lambda: [bytes([1, 20]), bytearray([3, 40])], [20, 2, 40], id="bytes-pairs"),
    pytest.param(lambda: [{0: 1, 1: 20}], [20, 2, 3], id="dict-with-keys-0-1"),
    pytest.param(lambda: [Sized(2, (3, 40))], [1, 2, 40], id="sequence-object"),
    pytest.param(lambda: KeysAndGetitem([(1, 20)]), [20, 2, 3], id="keys-getitem-non-mapping"),
    pytest.param(lambda: {(1, 20), (3, 40)}, [20, 2, 40], id="set-of-tuples"),
]


@pytest.mark.parametrize("make_entries, expected", FORMS)
def test_accepted_forms(make_entries, expected):
    assert cast([1, 2, 3], "int8", "int32", make_entries()).tolist() == expected


def test_mixed_pair_kinds_in_one_list():
    entries = [(1, 2), [3, 4], np.array([5, 6]), bytes([7, 8]), {0: 9, 1: 10}]
    out = cast([1, 3, 5, 7, 9, 11], "int16", "int64", entries)
    assert out.tolist() == [2, 4, 6, 8, 10, 11]


def test_numpy_array_of_pairs_row_by_row():
    table = np.array([[1, 10], [2, 20], [3, 30]], dtype=np.int64)
    assert cast([3, 2, 1, 0], "uint16", "uint32", table).tolist() == [30, 20, 10, 0]


@pytest.mark.parametrize(
    "entries, expected",
    [
        pytest.param([(1, 2), (1, 3)], 2, id="list-first-wins"),
        pytest.param([(1, 3), (1, 2)], 3, id="list-order-reversed"),
        pytest.param(FakeMapping([(1, 2), (1, 3)]), 2, id="mapping-items-first-wins"),
        pytest.param(FakeMapping([(1, 3), (1, 2)]), 3, id="mapping-items-reversed"),
        pytest.param(_generator([(1, 4), (1, 2), (1, 3)]), 4, id="generator-first-wins"),
    ],
)
def test_duplicates_keep_order_and_first_wins(entries, expected):
    assert cast([1], "uint32", "int8", entries).tolist() == [expected]


def test_dict_insertion_order_is_kept():
    # Two keys that narrow to the same float32: the earlier inserted one wins.
    assert cast([0.1], "float32", "int8", {0.1: 1, 0.10000000000000002: 2}).tolist() == [1]
    assert cast([0.1], "float32", "int8", {0.10000000000000002: 2, 0.1: 1}).tolist() == [2]


def test_many_entries():
    n = 20000
    entries = {i: n - i for i in range(n)}
    out = cast(np.arange(n), "int32", "int64", entries)
    assert out.tolist() == [n - i for i in range(n)]
    out = cast(np.arange(n), "int32", "int64", [(i, -i) for i in range(n)])
    assert out.tolist() == [-i for i in range(n)]


def test_cast_array_into_uses_the_map():
    arr = np.array([[1, 2], [3, 4]], dtype=np.uint8)
    out = np.zeros((2, 2), dtype=np.int8)
    assert (
        tolvane.cast_array_into(arr, out, rounding_mode="nearest-even", scalar_map_entries={4: -4, 1: -1})
        is None
    )
    assert out.tolist() == [[-1, 2], [3, -4]]


# --- container and entry errors -----------------------------------------------

CONTAINER_ERRORS = [
    pytest.param(5, TypeError, NOT_ITERABLE, id="int"),
    pytest.param(1.5, TypeError, NOT_ITERABLE, id="float"),
    pytest.param(object(), TypeError, NOT_ITERABLE, id="object"),
    pytest.param(RaisingIter(ValueError("no")), TypeError, NOT_ITERABLE, id="iter-raises"),
    pytest.param("ab", ValueError, NOT_PAIR, id="str"),
    pytest.param([5], ValueError, NOT_PAIR, id="int-entry"),
    pytest.param([(1, 2, 3)], ValueError, NOT_PAIR, id="three-tuple"),
    pytest.param([(1,)], ValueError, NOT_PAIR, id="one-tuple"),
    pytest.param([()], ValueError, NOT_PAIR, id="empty-tuple"),
    pytest.param([(1, 2), [3, 4, 5]], ValueError, NOT_PAIR, id="second-entry-bad"),
    pytest.param([None], ValueError, NOT_PAIR, id="none-entry"),
    pytest.param([Sized(ValueError("len"))], ValueError, NOT_PAIR, id="len-raises"),
    pytest.param([Sized(3)], ValueError, NOT_PAIR, id="len-3"),
    pytest.param(np.zeros((3, 3)), ValueError, NOT_PAIR, id="numpy-3-columns"),
    pytest.param(np.zeros(2), ValueError, NOT_PAIR, id="numpy-1d"),
    pytest.param([{"a": 1}], ValueError, NOT_PAIR, id="dict-of-one"),
    pytest.param(FakeMapping([], length=KeyError("k")), TypeError, NO_LENGTH, id="len-raises-keyerror"),
    pytest.param(FakeMapping([], length=-1), TypeError, NO_LENGTH, id="len-negative"),
    pytest.param(FakeMapping([], length="2"), TypeError, NO_LENGTH, id="len-not-int"),
    pytest.param(
        FakeMapping([[1, 2]]), TypeError, "'list' object cannot be converted to 'PyTuple'", id="item-list"
    ),
    pytest.param(
        FakeMapping([5]), TypeError, "'int' object cannot be converted to 'PyTuple'", id="item-int"
    ),
    pytest.param(
        FakeMapping([(1, 2), NamedPair]),
        TypeError,
        "'type' object cannot be converted to 'PyTuple'",
        id="item-class",
    ),
    pytest.param(
        FakeMapping([Sized(2, (1, 2))]),
        TypeError,
        "'Sized' object cannot be converted to 'PyTuple'",
        id="item-sequence-object",
    ),
    pytest.param(
        FakeMapping([Unnamed()]),
        TypeError,
        "'<failed to extract type name>' object cannot be converted to 'PyTuple'",
        id="item-type-name-unreadable",
    ),
    pytest.param(
        FakeMapping([(1, 2, 3)]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
        id="item-three-tuple",
    ),
    pytest.param(
        FakeMapping([(1, 2), ()]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 0",
        id="item-empty-tuple",
    ),
    pytest.param(
        FakeMapping([NamedPair(1, 2), tuple(range(12))]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 12",
        id="item-twelve-tuple",
    ),
]


@pytest.mark.parametrize("entries, exc_type, message", CONTAINER_ERRORS)
def test_container_and_entry_errors(entries, exc_type, message):
    assert_replaced(raised_by(lambda: cast([0], "int8", "uint8", entries)), exc_type, message)


def test_qualified_name_of_a_nested_item_type():
    class Outer:
        class Inner:
            pass

    error = raised_by(lambda: cast([0], "int8", "int8", FakeMapping([Outer.Inner()])))
    qualname = "test_qualified_name_of_a_nested_item_type.<locals>.Outer.Inner"
    assert_replaced(error, TypeError, f"'{qualname}' object cannot be converted to 'PyTuple'")


def _raising_generator(exc):
    yield (1, 2)
    raise exc


class RaisingNext:
    def __init__(self, exc):
        self.exc = exc

    def __iter__(self):
        return self

    def __next__(self):
        raise self.exc


# Exceptions of the caller's code that reach the caller as the very object raised.
UNCHANGED = [
    pytest.param(lambda e: FakeMapping(e), id="items-raises"),
    pytest.param(lambda e: _raising_generator(e), id="generator-raises"),
    pytest.param(lambda e: RaisingNext(e), id="next-raises"),
    pytest.param(lambda e: [Sized(2, (e, 1))], id="getitem-0-raises"),
    pytest.param(lambda e: [Sized(2, (1, e))], id="getitem-1-raises"),
]


@pytest.mark.parametrize("make_entries", UNCHANGED)
@pytest.mark.parametrize("exc_type", [RuntimeError, ValueError, TypeError, KeyError])
def test_exceptions_returned_unchanged(make_entries, exc_type):
    exc = exc_type("raised by the caller's code")
    assert raised_by(lambda: cast([0], "int32", "int64", make_entries(exc))) is exc


@pytest.mark.parametrize(
    "pair, failing_index",
    [
        pytest.param({1, 2}, 0, id="set-not-subscriptable"),
        pytest.param({"a": 1, "b": 2}, 0, id="dict-without-key-0"),
        pytest.param({0: 1, "b": 2}, 1, id="dict-without-key-1"),
    ],
)
def test_getitem_errors_of_builtin_pairs_pass_unchanged(pair, failing_index):
    expected = raised_by(lambda: pair[failing_index])
    error = raised_by(lambda: cast([0], "int8", "int8", [pair]))
    assert type(error) is type(expected)
    assert error.args == expected.args


def test_items_that_are_not_iterable_pass_unchanged():
    error = raised_by(lambda: cast([0], "int8", "int8", FakeMapping(5)))
    assert type(error) is TypeError
    assert "scalar_map" not in str(error)


# --- value rules --------------------------------------------------------------

INT_RANGES = {
    "int8": (-(2**7), 2**7 - 1),
    "int16": (-(2**15), 2**15 - 1),
    "int32": (-(2**31), 2**31 - 1),
    "int64": (-(2**63), 2**63 - 1),
    "uint8": (0, 2**8 - 1),
    "uint16": (0, 2**16 - 1),
    "uint32": (0, 2**32 - 1),
    "uint64": (0, 2**64 - 1),
}


def accepted_integers(dtype):
    lo, hi = INT_RANGES[dtype]
    cases = [
        (lo, lo),
        (hi, hi),
        (0, 0),
        (1, 1),
        (True, 1),
        (False, 0),
        (IndexingInt(hi), hi),
        (IndexingInt(lo), lo),
        (Color.RED, 7),
        (Index(hi), hi),
        (Index(lo), lo),
        (np.int64(5), 5),
        (np.uint8(100), 100),
    ]
    if lo < 0:
        cases += [(-1, -1), (Index(-1), -1)]
    return [
        pytest.param(dtype, value, expected, id=f"{dtype}-{i}")
        for i, (value, expected) in enumerate(cases)
    ]


def rejected_integers(dtype):
    lo, hi = INT_RANGES[dtype]
    cases = [
        lo - 1,
        hi + 1,
        2**64,
        -(2**63) - 1,
        1.0,
        2.5,
        3.0,
        float("nan"),
        "5",
        "x",
        None,
        b"\x01",
        1 + 0j,
        [1],
        np.float32(1.5),
        np.float64(1.0),
        Index(lo - 1, "Index(lo - 1)"),
        Index(hi + 1, "Index(hi + 1)"),
        Index(ValueError("bad index"), "Index(raises)"),
        Index(1.5, "Index(1.5)"),
        Index("7", "Index('7')"),
        Floaty(1.0, "Floaty(1.0)"),
    ]
    if lo == 0:
        cases += [-1, Index(-1, "Index(-1)")]
    if not BOOL_SCALAR_HAS_INDEX:
        cases.append(np.bool_(True))
    if dtype == "uint32":
        cases.append(2**63)
    if dtype == "int8":
        cases.append(np.uint8(200))
    return [pytest.param(dtype, value, id=f"{dtype}-{i}") for i, value in enumerate(cases)]


INT_ACCEPTED = [case for dtype in INT_DTYPES for case in accepted_integers(dtype)]
INT_REJECTED = [case for dtype in INT_DTYPES for case in rejected_integers(dtype)]

NAN_SOURCE = float("nan")


@pytest.mark.parametrize("dtype, value, expected", INT_ACCEPTED)
def test_integer_values_as_targets(dtype, value, expected):
    # A NaN element has no conversion to an integer of its own: only the entry gives it a value.
    out = cast([NAN_SOURCE], "float64", dtype, [(NAN_SOURCE, value)])
    assert int(out[0]) == expected


@pytest.mark.parametrize("dtype, value, expected", INT_ACCEPTED)
def test_integer_values_as_sources(dtype, value, expected):
    lo, hi = INT_RANGES[dtype]
    neighbour = expected + 1 if expected < hi else expected - 1
    out = cast([expected, neighbour], dtype, "float64", [(value, 0.5)])
    assert out.tolist() == [0.5, float(neighbour)]


@pytest.mark.parametrize("dtype, value", INT_REJECTED)
def test_rejected_integer_targets(dtype, value):
    error = raised_by(lambda: cast([1], "int8", dtype, [(1, value)]))
    assert_replaced(error, TypeError, target_message(repr(value), dtype))


@pytest.mark.parametrize("dtype, value", INT_REJECTED)
def test_rejected_integer_sources(dtype, value):
    error = raised_by(lambda: cast([1], dtype, "int8", {value: 1} if _hashable(value) else [(value, 1)]))
    assert_replaced(error, TypeError, source_message(repr(value), dtype))


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def test_index_of_int_subclass_is_never_called():
    for dtype in INT_DTYPES:
        assert cast([NAN_SOURCE], "float64", dtype, [(NAN_SOURCE, IndexingInt(3))]).tolist() == [3]


def test_uint64_all_ones_is_a_value_not_an_error():
    all_ones = 2**64 - 1
    for value in (all_ones, Index(all_ones)):
        out = cast([NAN_SOURCE], "float64", "uint64", [(NAN_SOURCE, value)])
        assert int(out[0]) == all_ones
    out = cast([all_ones, 5], "uint64", "uint8", [(Index(all_ones), 1)])
    assert out.tolist() == [1, 5]


# Float values: (object, the double that the object stands for).
FLOAT_VALUES = [
    (1.5, 1.5),
    (-1.0, -1.0),
    (-1, -1.0),
    (True, 1.0),
    (False, 0.0),
    (0.0, 0.0),
    (-0.0, -0.0),
    (float("inf"), float("inf")),
    (float("-inf"), float("-inf")),
    (float("nan"), float("nan")),
    (-float("nan"), -float("nan")),
    (double_from_bits(0x7FF0000000000001), double_from_bits(0x7FF0000000000001)),
    (double_from_bits(0xFFF4000020000000), double_from_bits(0xFFF4000020000000)),
    (0.1, 0.1),
    (0.10000000000000002, 0.10000000000000002),
    (2**53 + 1, 9007199254740992.0),
    (10**39, 1e39),
    (-(10**39), -1e39),
    (2**60 + 2**36 + 1, float(2**60 + 2**36)),
    (16777217, 16777217.0),
    (3.4028235677973366e38, 3.4028235677973366e38),
    (3.4028235677973362e38, 3.4028235677973362e38),
    (1e-46, 1e-46),
    (-1e-46, -1e-46),
    (7.006492321624085e-46, 7.006492321624085e-46),
    (1.401298464324817e-45, 1.401298464324817e-45),
    (65504.0, 65504.0),
    (65519.0, 65519.0),
    (65520.0, 65520.0),
    (65519.99999999999, 65519.99999999999),
    (-65520.0, -65520.0),
    (1e6, 1e6),
    (1e-8, 1e-8),
    (-1e-8, -1e-8),
    (1.0004882812509095, 1.0004882812509095),
    (2.9802322388562674e-08, 2.9802322388562674e-08),
    (5.960464477539063e-08, 5.960464477539063e-08),
    (2.0**-25, 2.0**-25),
    (1.7976931348623157e308, 1.7976931348623157e308),
    (5e-324, 5e-324),
    (np.float64(2.5), 2.5),
    (np.float32(1.5), 1.5),
    (np.float16(0.5), 0.5),
    (np.int64(5), 5.0),
    (np.uint64(2**64 - 1), float(2**64)),
    (FloatSub(0.25), 0.25),
    (Floaty(2.25), 2.25),
    (Floaty(-1.0), -1.0),
    (Index(3), 3.0),
    (Index(-1), -1.0),
    (Index(2**53 + 1), 9007199254740992.0),
    (Color.RED, 7.0),
    (np.bool_(True), 1.0),
]

FLOAT_ACCEPTED = [
    pytest.param(dtype, value, double, id=f"{dtype}-{i}")
    for dtype in FLOAT_DTYPES
    for i, (value, double) in enumerate(FLOAT_VALUES)
]


@pytest.mark.parametrize("dtype, value, double", FLOAT_ACCEPTED)
def test_float_values_as_targets(dtype, value, double):
    out = cast([NAN_SOURCE], "float64", dtype, [(NAN_SOURCE, value)])
    assert as_bits(out) == [float_bits(dtype, double)]


@pytest.mark.parametrize("dtype, value, double", FLOAT_ACCEPTED)
def test_float_values_as_sources(dtype, value, double):
    element = np.array([float_bits(dtype, double)], dtype=BITS[dtype]).view(dtype)
    out = tolvane.cast_array(
        element, target_dtype="int64", rounding_mode="nearest-even", scalar_map_entries=[(value, 123456789)]
    )
    assert out.tolist() == [123456789]


# Bit patterns stated for the narrowing, independent of NumPy: they pin the
# double rounding of float16 and the quiet NaNs.
FLOAT_PATTERNS = [
    ("float16", 1.5, 0x3E00),
    ("float16", 1.0004882812509095, 0x3C00),
    ("float16", 65519.99999999999, 0x7C00),
    ("float16", 65519.0, 0x7BFF),
    ("float16", 65504.0, 0x7BFF),
    ("float16", 65520.0, 0x7C00),
    ("float16", 1e6, 0x7C00),
    ("float16", 2.9802322388562674e-08, 0x0000),
    ("float16", 5.960464477539063e-08, 0x0001),
    ("float16", 0.1, 0x2E66),
    ("float16", 1e-8, 0x0000),
    ("float16", -1e-8, 0x8000),
    ("float16", -0.0, 0x8000),
    ("float16", float("inf"), 0x7C00),
    ("float16", float("-inf"), 0xFC00),
    ("float16", float("nan"), 0x7E00),
    ("float16", -float("nan"), 0xFE00),
    ("float32", float("nan"), 0x7FC00000),
    # Quieted, with the sign and the leading payload bits: a processor that
    # makes every NaN its default NaN would lose them.
    ("float32", double_from_bits(0x7FF0000000000001), 0x7FC00000),
    ("float32", double_from_bits(0xFFF5A5A5A5A5A5A5), 0xFFED2D2D),
    ("float16", double_from_bits(0xFFF5A5A5A5A5A5A5), 0xFF69),
    ("float16", double_from_bits(0x7FF0040000000000), 0x7E01),
    ("float32", 0.1, 0x3DCCCCCD),
    ("float32", 1e39, 0x7F800000),
    ("float32", 3.4028235677973366e38, 0x7F800000),
    ("float32", 3.4028235677973362e38, 0x7F7FFFFF),
    ("float32", 1e-46, 0x00000000),
    ("float32", -1e-46, 0x80000000),
    ("float32", 2**60 + 2**36 + 1, 0x5D800000),
    ("float64", 2**53 + 1, 0x4340000000000000),
    ("float64", double_from_bits(0x7FF0000000000001), 0x7FF0000000000001),
]


@pytest.mark.parametrize("dtype, value, bits", FLOAT_PATTERNS)
def test_float_target_patterns(dtype, value, bits):
    assert float_bits(dtype, float(value)) == bits
    assert as_bits(cast([NAN_SOURCE], "float64", dtype, [(NAN_SOURCE, value)])) == [bits]


FLOAT_REJECTED = [
    "1.5",
    "x",
    None,
    b"1",
    1 + 2j,
    [1.0],
    (1.0,),
    2**1024,
    -(2**1024),
    10**400,
    Floaty(ValueError("bad float"), "Floaty(raises)"),
    Floaty(1, "Floaty(returns int)"),
    Floaty("1.5", "Floaty(returns str)"),
    Index(ValueError("bad index"), "Index(raises)"),
    Index(2**1024, "Index(2**1024)"),
    Index(1.5, "Index(1.5)"),
]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("value", FLOAT_REJECTED, ids=lambda v: repr(v)[:20])
def test_rejected_float_values(dtype, value):
    error = raised_by(lambda: cast([1], "int8", dtype, [(1, value)]))
    assert_replaced(error, TypeError, target_message(repr(value), dtype))
    error = raised_by(lambda: cast([1], dtype, "int8", [(value, 1)]))
    assert_replaced(error, TypeError, source_message(repr(value), dtype))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_nan_inf_and_signed_zero_keys(dtype):
    nan = float("nan")
    entries = {nan: 1, float("inf"): 2, float("-inf"): 3, -0.0: 4}
    values = [nan, -nan, float("inf"), float("-inf"), 0.0, -0.0, 5.0]
    assert cast(values, dtype, "int32", entries).tolist() == [1, 1, 2, 3, 4, 4, 5]


@pytest.mark.parametrize(
    "dtype, entries, values, expected",
    [
        # Keys narrow before any lookup: an overflowing key is an infinity, a tiny one a zero.
        ("float32", {1e39: -1}, [float("inf"), 5.0], [-1, 5]),
        ("float32", {-1e39: -1}, [float("-inf"), 5.0], [-1, 5]),
        ("float32", {7.006492321624085e-46: -1}, [0.0, -0.0, 5.0], [-1, -1, 5]),
        ("float32", {0.1: -1, 0.10000000000000002: -2}, [0.1], [-1]),
        ("float64", {0.1: -1, 0.10000000000000002: -2}, [0.1, 0.10000000000000002], [-1, -2]),
        ("float16", {0.1: -1, 0.10000001: -2}, [0.1], [-1]),
        ("float16", {1e6: -1}, [float("inf"), 5.0], [-1, 5]),
        ("float16", {65519.0: -1}, [65504.0, 65472.0], [-1, 65472]),
        ("float16", {1.0004882812509095: -1}, [1.0, 1.0009765625], [-1, 1]),
    ],
)
def test_float_keys_are_narrowed_before_lookup(dtype, entries, values, expected):
    assert cast(values, dtype, "int64", entries).tolist() == expected


@pytest.mark.parametrize("dtype", INT_DTYPES)
def test_float_keys_never_convert_to_integers(dtype):
    error = raised_by(lambda: cast([1], dtype, "float64", {1.5: 3.0}))
    assert_replaced(error, TypeError, source_message("1.5", dtype))


def test_key_converts_then_value_fails():
    error = raised_by(lambda: cast([1.5], "float64", "int8", {1.5: 3.0}))
    assert_replaced(error, TypeError, target_message("3.0", "int8"))


def test_many_float_targets_against_numpy():
    rng = np.random.default_rng(20240611)
    bits = rng.integers(0, 2**64, size=4000, dtype=np.uint64)
    doubles = bits.view(np.float64).tolist()
    doubles += (rng.standard_normal(4000) * 70000.0).tolist()
    doubles += (rng.standard_normal(2000) * 2.0**-20).tolist()
    entries = [(i, d) for i, d in enumerate(doubles)]
    sources = np.arange(len(doubles), dtype=np.int64)
    for dtype in FLOAT_DTYPES:
        out = tolvane.cast_array(
            sources, target_dtype=dtype, rounding_mode="nearest-even", scalar_map_entries=entries
        )
        assert as_bits(out) == float_bits_of(dtype, doubles)


# --- all 121 pairs --------------------------------------------------------------

PAIRS = [pytest.param(s, d, id=f"{s}-{d}") for s, d in itertools.product(DTYPES, DTYPES)]


@pytest.mark.parametrize("src, dst", PAIRS)
def test_every_pair_parses_and_names_its_dtypes(src, dst):
    assert cast([1, 0], src, dst, [(1, 2), (True, 3)]).tolist() == [2, 0]
    assert cast([1, 0], src, dst, {0: 2}).tolist() == [1, 2]
    assert_replaced(raised_by(lambda: cast([1], src, dst, [("s", 1)])), TypeError, source_message("'s'", src))
    assert_replaced(raised_by(lambda: cast([1], src, dst, {1: "t"})), TypeError, target_message("'t'", dst))
    assert_replaced(raised_by(lambda: cast([1], src, dst, [(1, 2), 3])), ValueError, NOT_PAIR)


# --- value messages -------------------------------------------------------------


class ReprRaises:
    def __init__(self, repr_exc, str_result):
        self.repr_exc = repr_exc
        self.str_result = str_result

    def __repr__(self):
        raise self.repr_exc

    def __str__(self):
        if isinstance(self.str_result, BaseException):
            raise self.str_result
        return self.str_result


class StrRaisesOnStr(str):
    def __str__(self):
        raise ValueError("no text")


class StrWithText(str):
    def __str__(self):
        return "own text"


class ReprReturns:
    def __init__(self, rendering):
        self.rendering = rendering

    def __repr__(self):
        return self.rendering


@pytest.fixture
def unraisable_count(monkeypatch):
    """Counts unraisable reports without keeping the reported objects alive."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append(report.exc_type.__name__))
    return seen


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: seen.append((report.exc_type, report.object)))
    return seen


@pytest.mark.parametrize(
    "value, text",
    [
        pytest.param("abc", "'abc'", id="str-quoted"),
        pytest.param(1.5, "1.5", id="float"),
        pytest.param(300, "300", id="int"),
        pytest.param(ReprRaises(ValueError("no repr"), "X"), "X", id="repr-raises-str-used"),
        pytest.param(ReprReturns("a\ud800b"), "a\ufffd\ufffd\ufffdb", id="lone-surrogate"),
        pytest.param(ReprReturns("\udfff\ud800"), "\ufffd" * 6, id="two-surrogates"),
        pytest.param(ReprReturns("é€😀"), "é€😀", id="non-ascii"),
        pytest.param(ReprReturns("nul\x00inside"), "nul\x00inside", id="embedded-nul"),
        pytest.param(ReprReturns(StrWithText("shown")), "own text", id="str-subclass-rendering"),
        pytest.param(tuple(range(10000)), repr(tuple(range(10000))), id="long-repr"),
    ],
)
def test_value_message_text(value, text, unraisable):
    error = raised_by(lambda: cast([0], "int8", "int8", [(value, 0)]))
    assert_replaced(error, TypeError, source_message(text, "int8"))
    error = raised_by(lambda: cast([0], "uint64", "int8", [(0, value)]))
    assert_replaced(error, TypeError, target_message(text, "int8"))
    assert unraisable == []


def test_unprintable_rendering_goes_to_the_unraisable_hook(unraisable):
    value = ReprReturns(StrRaisesOnStr("hidden"))
    error = raised_by(lambda: cast([0], "int8", "int8", [(value, 0)]))
    assert_replaced(error, TypeError, source_message("<unprintable StrRaisesOnStr object>", "int8"))
    assert len(unraisable) == 1
    exc_type, obj = unraisable[0]
    assert exc_type is ValueError
    assert type(obj) is StrRaisesOnStr and str.__str__(obj) == "hidden"


@pytest.mark.parametrize("side", ["source", "target"])
def test_repr_and_str_both_raising_end_with_the_internal_error(side, capfd):
    value = ReprRaises(ValueError("no repr"), LookupError("no str"))
    entries = [(value, 0)] if side == "source" else [(0, value)]
    error = raised_by(lambda: cast([0], "int16", "int32", entries))
    assert type(error).__name__ == "InternalError"
    assert not isinstance(error, Exception)
    assert "tolvane internal error" in capfd.readouterr().err


def test_both_entries_failing_reports_the_key():
    error = raised_by(lambda: cast([0], "int8", "int8", {"a": "b"}))
    assert_replaced(error, TypeError, source_message("'a'", "int8"))
    error = raised_by(lambda: cast([0], "int8", "int8", [("a", "b")]))
    assert_replaced(error, TypeError, source_message("'a'", "int8"))


# --- order of the walk ----------------------------------------------------------


class Recorder:
    def __init__(self, events, name, result):
        self.events = events
        self.name = name
        self.result = result

    def __index__(self):
        self.events.append(("index", self.name))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        self.events.append(("repr", self.name))
        return self.name


def test_iterable_form_fetches_and_converts_source_before_target():
    events = []
    pair = Sized(2, (Recorder(events, "first", 1), Recorder(events, "second", 2)), events)
    assert cast([1], "int8", "int8", [pair]).tolist() == [2]
    assert events == [("getitem", 0), ("index", "first"), ("getitem", 1), ("index", "second")]


def test_failing_first_element_never_fetches_the_second():
    events = []
    pair = Sized(2, (Recorder(events, "first", 300), Recorder(events, "second", 2)), events)
    error = raised_by(lambda: cast([1], "int8", "int8", [pair]))
    assert_replaced(error, TypeError, source_message("first", "int8"))
    assert events == [("getitem", 0), ("index", "first"), ("repr", "first")]


def test_mapping_form_converts_key_before_value_and_stops_at_a_bad_key():
    events = []
    mapping = FakeMapping(
        [
            (Recorder(events, "k1", 1), Recorder(events, "v1", 2)),
            (Recorder(events, "k2", -1), Recorder(events, "v2", -3)),
            (Recorder(events, "k3", 1), Recorder(events, "v3", 3)),
        ]
    )
    error = raised_by(lambda: cast([1], "int8", "uint8", mapping))
    assert_replaced(error, TypeError, target_message("v2", "uint8"))
    assert events == [("index", "k1"), ("index", "v1"), ("index", "k2"), ("index", "v2"), ("repr", "v2")]


def test_generator_is_not_advanced_past_the_failing_pair():
    drawn = []

    def pairs():
        for pair in [(1, 2), (3, "bad"), (5, 6)]:
            drawn.append(pair)
            yield pair

    gen = pairs()
    error = raised_by(lambda: cast([1], "int8", "int8", gen))
    assert_replaced(error, TypeError, target_message("'bad'", "int8"))
    assert drawn == [(1, 2), (3, "bad")]
    assert next(gen) == (5, 6)


def test_third_entry_failing_writes_nothing():
    arr = np.array([1, 2, 3], dtype=np.int32)
    out = np.full(3, 77, dtype=np.int16)
    error = raised_by(
        lambda: tolvane.cast_array_into(
            arr, out, rounding_mode="nearest-even", scalar_map_entries=[(1, 10), (2, 20), (3, 2**20)]
        )
    )
    assert_replaced(error, TypeError, target_message(str(2**20), "int16"))
    assert out.tolist() == [77, 77, 77]


class ItemsListMapping(collections.abc.Mapping):
    """Hands out its items list itself, so that conversions can change it during the walk."""

    def __init__(self):
        self.items_list = []

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return len(self.items_list)

    def items(self):
        return self.items_list


class Mutator:
    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __index__(self):
        self.action()
        return self.value


def test_items_list_shrunk_during_the_walk_ends_it_early():
    mapping = ItemsListMapping()
    mapping.items_list[:] = [(Mutator(1, lambda: mapping.items_list.clear()), 10), (2, 20), (3, 30)]
    assert cast([1, 2, 3], "int8", "int8", mapping).tolist() == [10, 2, 3]


def test_items_appended_during_the_walk_are_not_visited():
    mapping = ItemsListMapping()
    mapping.items_list[:] = [(Mutator(1, lambda: mapping.items_list.append((3, 30))), 10), (2, 20)]
    assert cast([1, 2, 3], "int8", "int8", mapping).tolist() == [10, 20, 3]


def test_item_replaced_during_the_walk_stays_alive():
    mapping = ItemsListMapping()

    def replace():
        mapping.items_list[0] = None
        gc.collect()

    mapping.items_list[:] = [(Mutator(1, replace), Index(10)), (2, 20)]
    assert cast([1, 2], "int8", "int8", mapping).tolist() == [10, 20]


# --- the form test --------------------------------------------------------------


class InstanceCheckRaises:
    """isinstance(obj, Mapping) reads __class__, which raises here."""

    def __init__(self, exc, pairs=None):
        self.exc = exc
        self.pairs = pairs

    @property
    def __class__(self):
        raise self.exc

    def __iter__(self):
        if self.pairs is None:
            raise TypeError("not iterable")
        return iter(self.pairs)


def test_failing_mapping_test_is_reported_then_parsed_as_iterable(unraisable):
    entries = InstanceCheckRaises(RuntimeError("isinstance failed"), [(1, 5)])
    assert cast([1, 2], "int8", "int8", entries).tolist() == [5, 2]
    assert len(unraisable) == 1
    assert unraisable[0][0] is RuntimeError
    assert unraisable[0][1] is entries


def test_failing_mapping_test_then_failing_iteration(unraisable):
    entries = InstanceCheckRaises(RuntimeError("isinstance failed"))
    assert_replaced(raised_by(lambda: cast([1], "int8", "int8", entries)), TypeError, NOT_ITERABLE)
    assert [t for t, _ in unraisable] == [RuntimeError]


# --- exceptions that pass through -----------------------------------------------


class MyBase(BaseException):
    pass


PASSING = [KeyboardInterrupt, SystemExit, MemoryError, MyBase, GeneratorExit]


def _str_raising(exc):
    class StrRaising(str):
        def __str__(self):
            raise exc

    return StrRaising("x")


# Each site is where an ordinary exception of the caller's code is replaced,
# discarded or reported: (source dtype, target dtype, entries around the
# exception), and what an ordinary exception there gives: the replacing
# exception's type and text, the internal error, or an unraisable report
# after which the pairs are read as an iterable.
PASS_SITES = [
    pytest.param(
        lambda e: ("int8", "int8", [(Index(e), 1)]),
        (TypeError, source_message("Index()", "int8")),
        id="source-index",
    ),
    pytest.param(
        lambda e: ("uint64", "int8", [(Index(e), 1)]),
        (TypeError, source_message("Index()", "uint64")),
        id="uint64-source-index",
    ),
    pytest.param(
        lambda e: ("int8", "uint64", {1: Index(e)}),
        (TypeError, target_message("Index()", "uint64")),
        id="uint64-target-index",
    ),
    pytest.param(
        lambda e: ("int8", "int32", {1: Index(e)}),
        (TypeError, target_message("Index()", "int32")),
        id="target-index",
    ),
    pytest.param(
        lambda e: ("float32", "int8", [(Floaty(e), 1)]),
        (TypeError, source_message("Floaty()", "float32")),
        id="source-float",
    ),
    pytest.param(
        lambda e: ("int8", "float16", {1: Floaty(e)}),
        (TypeError, target_message("Floaty()", "float16")),
        id="target-float",
    ),
    pytest.param(
        lambda e: ("int8", "int8", [(ReprRaises(e, "X"), 1)]),
        (TypeError, source_message("X", "int8")),
        id="repr",
    ),
    pytest.param(
        lambda e: ("int8", "int8", [(ReprRaises(ValueError("r"), e), 1)]),
        "internal-error",
        id="str-after-repr",
    ),
    pytest.param(
        lambda e: ("int8", "int8", [(1, ReprReturns(_str_raising(e)))]),
        (TypeError, target_message("<unprintable StrRaising object>", "int8")),
        id="rendering-str",
    ),
    pytest.param(
        lambda e: ("int8", "int8", FakeMapping([], length=e)),
        (TypeError, NO_LENGTH),
        id="mapping-len",
    ),
    pytest.param(lambda e: ("int8", "int8", RaisingIter(e)), (TypeError, NOT_ITERABLE), id="iter"),
    pytest.param(lambda e: ("int8", "int8", [Sized(e)]), (ValueError, NOT_PAIR), id="entry-len"),
    pytest.param(
        lambda e: ("int8", "int8", InstanceCheckRaises(e, [(1, 2)])),
        "read-as-iterable",
        id="mapping-test",
    ),
]


@pytest.mark.parametrize("site, ordinary_outcome", PASS_SITES)
@pytest.mark.parametrize("exc_type", PASSING)
def test_base_exceptions_and_memory_error_pass_through(site, ordinary_outcome, exc_type, unraisable):
    exc = exc_type()
    src, dst, entries = site(exc)
    assert raised_by(lambda: cast([1], src, dst, entries)) is exc
    assert unraisable == []


@pytest.mark.parametrize("site, ordinary_outcome", PASS_SITES)
def test_ordinary_exceptions_at_the_same_sites_are_replaced(site, ordinary_outcome, unraisable, capfd):
    exc = ArithmeticError("ordinary")
    src, dst, entries = site(exc)
    call = lambda: cast([1], src, dst, entries)  # noqa: E731
    if ordinary_outcome == "read-as-iterable":
        assert call().tolist() == [2]
        assert [t for t, _ in unraisable] == [ArithmeticError]
    elif ordinary_outcome == "internal-error":
        assert type(raised_by(call)).__name__ == "InternalError"
        assert unraisable == []
    else:
        assert_replaced(raised_by(call), *ordinary_outcome)
        reported = [ArithmeticError] if "unprintable" in ordinary_outcome[1] else []
        assert [t for t, _ in unraisable] == reported


def test_internal_error_inside_a_conversion_continues_as_the_internal_error(capfd):
    internal = raised_by(
        lambda: cast([0], "int8", "int8", [(ReprRaises(ValueError("r"), ValueError("s")), 0)])
    )
    assert type(internal).__name__ == "InternalError"
    error = raised_by(lambda: cast([0], "int8", "int8", [(1, Index(internal))]))
    assert error is internal


# --- reference counts -----------------------------------------------------------


def _call_ignoring_errors(call):
    try:
        call()
    except BaseException:  # every outcome is measured the same way
        pass


def assert_refcounts_unchanged(objects, call):
    _call_ignoring_errors(call)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(5):
        _call_ignoring_errors(call)
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before


def _refcount_cases():
    """name -> (entries factory, objects whose counts must not move). The
    factories build every raising object afresh, so that no exception object
    survives a call with a traceback that keeps frames alive."""
    key, value, bad = Index(1, "key"), Index(2, "value"), Index(70000, "bad")
    pair_list = [key, value]
    mapping = {key: value}
    pairs = [(key, value)]
    cases = {
        "dict": lambda: mapping,
        "list-of-tuples": lambda: pairs,
        "list-of-lists": lambda: [pair_list],
        "generator": lambda: (p for p in [(key, value)]),
        "bad-key-mapping": lambda: {bad: value},
        "bad-value-mapping": lambda: {key: bad},
        "bad-key-list": lambda: [[bad, value]],
        "bad-value-list": lambda: [[key, bad]],
        "not-tuple-item": lambda: FakeMapping([pair_list]),
        "long-tuple-item": lambda: FakeMapping([(key, value, bad)]),
        "len-raises": lambda: FakeMapping([(key, value)], length=KeyError("k")),
        "items-raises": lambda: FakeMapping(RuntimeError("items")),
        "not-iterable": lambda: key,
        "entry-not-pair": lambda: [key],
        "getitem-raises": lambda: [Sized(2, (key, RuntimeError("x")))],
        "generator-raising": lambda: _raising_generator(RuntimeError("g")),
        "repr-raises": lambda: [(ReprRaises(ValueError("r"), "X"), value)],
        "repr-and-str-raise": lambda: [(ReprRaises(ValueError("r"), ValueError("s")), value)],
        "index-raises-keyboard-interrupt": lambda: [(Index(KeyboardInterrupt()), value)],
        "mapping-test-raises": lambda: InstanceCheckRaises(RuntimeError("m"), [(key, value)]),
    }
    watched = [key, value, bad, pair_list, mapping, pairs]
    return {name: (make, watched) for name, make in cases.items()}


@pytest.mark.parametrize("name", list(_refcount_cases()))
def test_reference_counts_unchanged(name, unraisable_count, capfd):
    make_entries, watched = _refcount_cases()[name]
    arr = np.array([1, 2], dtype=np.int16)
    call = lambda: tolvane.cast_array(  # noqa: E731
        arr, target_dtype="uint8", rounding_mode="nearest-even", scalar_map_entries=make_entries()
    )
    assert_refcounts_unchanged([arr] + watched, call)


def test_no_objects_accumulate_over_many_failing_calls(unraisable_count, capfd):
    arr = np.array([1], dtype=np.int32)
    failing = [
        lambda: {1: "x"},
        lambda: [(1, 2), (3, 4, 5)],
        lambda: FakeMapping([], length=KeyError("k")),
        lambda: [(ReprRaises(ValueError("r"), "X"), 1)],
        lambda: [(ReprRaises(ValueError("r"), ValueError("s")), 1)],
        lambda: _raising_generator(RuntimeError("g")),
        lambda: InstanceCheckRaises(RuntimeError("m")),
    ]

    def run():
        for make_entries in failing:
            _call_ignoring_errors(
                lambda: tolvane.cast_array(
                    arr, target_dtype="int8", rounding_mode="nearest-even", scalar_map_entries=make_entries()
                )
            )

    run()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(300):
        run()
    gc.collect()
    assert len(gc.get_objects()) - before < 50


# --- long arrays: mapped elements across chunk edges --------------------------


def assert_same_bits(whole, alone):
    # The differing positions, not a diff of two long lists, which pytest
    # takes minutes to build.
    differ = np.flatnonzero(whole.view(f"u{whole.itemsize}") != alone.view(f"u{alone.itemsize}"))
    assert differ.size == 0, f"bits differ at {differ[:8].tolist()}"


NAN = float("nan")
F32_NAN_PAYLOAD = np.array([0x7FC00123], dtype=np.uint32).view(np.float32)[0]

# Targets whose value the source type holds exactly, targets it can't hold
# (a fraction, -0.0, NaN, a value beyond it), and a target that is itself a
# mapped source.
LONG_MAPS = [
    ("int16", "float32", "nearest-even", None, {5: -0.0}),
    ("int32", "int16", "nearest-even", None, {7: 8, 8: 9}),
    ("float32", "int64", "towards-zero", "wrap", {NAN: 2**53 + 1}),
    ("float64", "int8", "towards-positive", "wrap", {NAN: -128, 1.5: 127}),
    ("float16", "int8", "nearest-away", "clamp", {NAN: 100, float("inf"): -3}),
    ("uint8", "int16", "nearest-even", "clamp", {7: -1}),
    ("int64", "float64", "towards-negative", None, {3: 0.5, 4: 2.0**60}),
    ("float64", "float32", "nearest-even", None, {NAN: F32_NAN_PAYLOAD, 2.5: 1e-45}),
    ("float64", "float16", "towards-zero", None, {1e300: 65504.0, -0.0: 2.0}),
    ("uint64", "float16", "towards-positive", None, {2**64 - 1: 1.0, 9: NAN}),
    ("uint16", "int8", "nearest-even", None, {6: -7}),
    ("float16", "uint16", "towards-zero", "clamp", {2.0: 9}),
    ("float32", "uint32", "towards-negative", None, {NAN: 3}),
    ("int8", "int32", "nearest-even", None, {3: 100}),
    ("float32", "int32", "towards-zero", "clamp", {3.0: -9}),
    ("float32", "int32", "towards-positive", "clamp", [(-0.0, 5), (0.0, 6), (NAN, -2), (3e9, 1)]),
    ("float32", "uint32", "nearest-even", "clamp", [(NAN, 7), (2.0, 8)]),
    ("float64", "int16", "towards-zero", "clamp", [(NAN, 4), (1.0, 5), (NAN, 6), (-0.0, 7)]),
    ("float16", "float32", "nearest-even", None, [(3.0, 1), (-0.0, 2), (NAN, 3), (0.0, 4)]),
]


@pytest.mark.parametrize("src, dst", [("float64", "float32"), ("float32", "float16"),
                                      ("float64", "float16")])
def test_unmapped_nans_keep_their_bits_beside_a_map(src, dst):
    """NaNs that no entry catches convert as they would alone, sign and
    payload included, however long the array."""
    nans = {"float64": [0xFFF4000000000001, 0x7FF8000000000ABC],
            "float32": [0xFFA00001, 0x7FC00ABC]}[src]
    a = np.array(nans * 60, dtype=f"u{np.dtype(src).itemsize}").view(src)
    a[::3] = 1.5
    kwargs = dict(target_dtype=dst, rounding_mode="nearest-even",
                  scalar_map_entries=[(-1.0, 7.0), (2.5, 3.0)])
    whole = tolvane.cast_array(a, **kwargs)
    alone = np.concatenate([tolvane.cast_array(a[i:i + 1], **kwargs) for i in range(a.size)])
    assert_same_bits(whole, alone)


@pytest.mark.parametrize("src, dst, mode, policy, entries", LONG_MAPS)
def test_long_arrays_map_as_elements_alone(src, dst, mode, policy, entries):
    """A long mapped conversion equals, bit for bit, its elements converted
    in slices too short for the chunked loops; the mapped sources sit at the
    edges of blocks and chunks."""
    n = 2100
    a = (np.arange(n) % 7).astype(src)
    sources = [s for s, _ in entries] if isinstance(entries, list) else list(entries)
    for k, at in enumerate([0, 255, 256, 1023, 1024, 1025, 2047, 2048, 2099, 600]):
        a[at] = sources[k % len(sources)]
    kwargs = dict(target_dtype=dst, rounding_mode=mode, scalar_map_entries=entries)
    if policy:
        kwargs["out_of_range_mode"] = policy
    whole = tolvane.cast_array(a, **kwargs)
    alone = np.concatenate([tolvane.cast_array(a[i : i + 15], **kwargs) for i in range(0, n, 15)])
    assert_same_bits(whole, alone)

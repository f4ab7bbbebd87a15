"""Randomised calls with hostile arguments.

Hypothesis draws plain descriptions; each test builds from them the objects
of one call: arrays of every layout, byte order, dimension count (0 to 36;
NumPy allows 64) and dtype, rejected ones included, ndarray subclasses whose
`dtype` lies or raises, and scalar maps in every form (dict, dict subclass,
collections.abc.Mapping, mapping proxy, list, tuple, generator, iterators,
strings, non-iterables) built from numbers and pairs whose `__len__`,
`__iter__`, `__getitem__`, `__index__`, `__float__`, `repr` and `str` raise,
lie or return the wrong type.

A model written from the description of the module (below, with `reference`
for the element conversions) says what each call must do: succeed with the
reference elements, raise the module's exception with its exact text, let a
caller's exception through as the very same object, or end with the
internal-error exception. Every call must also leave the reference count of
every object it was handed unchanged.
"""

import collections
import collections.abc
import math
import operator
import os
import sys
import types
import weakref

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
from numpy_features import HOLDS_33_DIMENSIONS
from tolvane import cast_array, cast_array_into

TYPES = reference.ALL_TYPES
PAIR_MESSAGE = "Each scalar_map entry must be a (source, target) pair"
NOT_ITERABLE = "scalar_map_entries must be a dict or an iterable of (source, target) pairs"
LENGTH_MESSAGE = "Failed to get length of scalar_map dict."
INPUT_LAYOUT = "Input array must be row-major (C-contiguous)"
OUTPUT_LAYOUT = "Output array must be row-major (C-contiguous) and writeable"
MAX_DIMENSIONS = 32

# A fifth of the examples under an emulator, which runs them some ten times slower.
FUZZ_SETTINGS = settings(max_examples=60 if os.environ.get("TOLVANE_EMULATED") else 300,
                         deadline=None,
                         suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                                HealthCheck.filter_too_much])


# ------------------------------------------------------------ caller's code

class HostileError(Exception):
    pass


class Interrupt(BaseException):
    """Outside Exception, like KeyboardInterrupt and SystemExit."""


EXCEPTION_KINDS = {
    "error": lambda: HostileError("hostile"),
    "type-error": lambda: TypeError("hostile"),
    "value-error": lambda: ValueError("hostile"),
    "memory": lambda: MemoryError("hostile"),
    "interrupt": lambda: Interrupt("hostile"),
    "keyboard": KeyboardInterrupt,
}


def passes_through(exception):
    """Exceptions that the module never replaces or reports as unraisable."""
    return not isinstance(exception, Exception) or isinstance(exception, MemoryError)


# Hostile methods act only while the module runs: pytest's failure report
# calls repr and len on the test's arguments, and must not be interrupted.
ARMED = False


class Act:
    """What a hostile method does: return `value`, or raise `exception` (the
    same object on every call, so that a test can recognise it)."""

    def __init__(self, description):
        what, detail = description
        self.value = detail if what == "return" else None
        self.exception = EXCEPTION_KINDS[detail]() if what == "raise" else None

    def __call__(self):
        if self.exception is not None and ARMED:
            raise self.exception
        return self.value


class Hostile:
    """A number whose conversions and texts do what its acts say."""

    def __init__(self, index=None, to_float=None, text=None, string=None):
        self.index_act, self.float_act = index, to_float
        self.repr_act, self.str_act = text, string

    def __repr__(self):
        return self.repr_act()

    def __str__(self):
        return self.str_act()


class IndexNumber(Hostile):
    def __index__(self):
        return self.index_act()


class FloatNumber(Hostile):
    def __float__(self):
        return self.float_act()


class IndexAndFloatNumber(Hostile):
    def __index__(self):
        return self.index_act()

    def __float__(self):
        return self.float_act()


class NoNumber(Hostile):
    pass


HOSTILE_CLASSES = {"index": IndexNumber, "float": FloatNumber, "both": IndexAndFloatNumber,
                   "neither": NoNumber}


class HostilePair:
    """A pair whose length and items do what its acts say; an item whose act
    returns gives the stored element."""

    def __init__(self, length, first_act, second_act, first, second):
        self.length_act = length
        self.item_acts = (first_act, second_act)
        self.items = (first, second)

    def __len__(self):
        return self.length_act()

    def __getitem__(self, index):
        if self.item_acts[index] is not None:
            self.item_acts[index]()
        return self.items[index]


class HostileDict(dict):
    def __init__(self, pairs, length, items):
        super().__init__(pairs)
        self.length_act, self.items_result = length, items

    def __len__(self):
        return dict.__len__(self) if self.length_act is None else self.length_act()

    def items(self):
        if isinstance(self.items_result, Act):
            return self.items_result()
        return dict.items(self) if self.items_result is None else self.items_result


class HostileMapping(collections.abc.Mapping):
    """Keys in list order; a key's value is that of its first pair."""

    def __init__(self, pairs, length, iteration):
        self.pairs, self.length_act, self.iter_act = pairs, length, iteration

    def __getitem__(self, key):
        for k, v in self.pairs:
            if k is key:
                return v
        raise KeyError(key)

    def __iter__(self):
        if self.iter_act is not None:
            self.iter_act()
        return iter([k for k, _ in self.pairs])

    def __len__(self):
        return len(self.pairs) if self.length_act is None else self.length_act()


class IterRaises:
    def __init__(self, act):
        self.act = act

    def __iter__(self):
        return self.act()


class NextRaises:
    """An iterator over pairs whose __next__ raises once they are used up."""

    def __init__(self, pairs, act):
        self.pairs, self.position, self.act = pairs, 0, act

    def __iter__(self):
        return self

    def __next__(self):
        if self.position == len(self.pairs):
            self.act()
            raise StopIteration
        self.position += 1
        return self.pairs[self.position - 1]


class InstancecheckRaises:
    """Iterable over pairs; isinstance(obj, collections.abc.Mapping) raises."""

    def __init__(self, pairs, act):
        self.pairs, self.act = pairs, act

    @property
    def __class__(self):
        return self.act()

    def __iter__(self):
        return iter(self.pairs)


def pair_generator(pairs, act):
    yield from pairs
    if act is not None:
        act()


# What each generator will yield and do at its end, for the model: a
# generator's own frame can't be read without taking references.
GENERATOR_PLANS = weakref.WeakKeyDictionary()


class PlainSubclass(np.ndarray):
    pass


class DtypeLies(np.ndarray):
    """`dtype` answers what its act says instead of the array's element type."""

    dtype_act = None

    @property
    def dtype(self):
        return self.dtype_act()


Named = collections.namedtuple("Named", "source target")


# ----------------------------------------------------------------- strategies

raising_acts = st.sampled_from(sorted(EXCEPTION_KINDS)).map(lambda k: ("raise", k))


def acts(returns):
    return st.one_of(returns.map(lambda v: ("return", v)), raising_acts)


plain_numbers = st.one_of(
    st.tuples(st.just("int"), st.one_of(st.integers(-300, 300),
                                        st.sampled_from([2**31, -2**31 - 1, 2**32, 2**63 - 1,
                                                         -2**63, 2**63, 2**64 - 1, 2**64,
                                                         -2**64, 10**400]))),
    st.tuples(st.just("float"), st.one_of(
        st.floats(), st.sampled_from([0.5, 1.5, -0.0, 1e39, 65519.999, 3.4028235677973366e38])),
    ),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("str"), st.sampled_from(["7", "1.5", "\udc80", ""])),
    st.tuples(st.just("none"), st.none()),
    st.tuples(st.just("complex"), st.just(1j)),
    st.tuples(st.just("numpy"), st.sampled_from([("int64", 5), ("uint8", 200), ("float32", 1.5),
                                                  ("float64", 2.5), ("int8", -3)])),
)

texts = acts(st.sampled_from(["<H>", "<\udc80>", 5]))
hostile_numbers = st.tuples(
    st.just("hostile"), st.sampled_from(sorted(HOSTILE_CLASSES)),
    acts(st.one_of(st.integers(-300, 300), st.sampled_from([2**64 - 1, 2**70, 1.5, "x"]))),
    acts(st.one_of(st.floats(), st.sampled_from(["x", 3]))),
    texts, texts)
numbers = st.one_of(plain_numbers, plain_numbers, hostile_numbers)

small_plain = st.one_of(st.tuples(st.just("int"), st.integers(-130, 300)),
                        st.tuples(st.just("float"), st.floats(-300, 300)))
length_acts = acts(st.sampled_from([2, 2, 2, 1, 3, -1, "2", 2**70]))
item_acts = st.one_of(st.none(), acts(st.just(None)))
pairs = st.one_of(
    st.tuples(st.sampled_from(["tuple", "list", "named"]), numbers, numbers),
    st.tuples(st.just("ndarray"), small_plain, small_plain),
    st.tuples(st.just("hostile"), numbers, numbers, length_acts, item_acts, item_acts),
    st.tuples(st.just("triple"), numbers, numbers, numbers),
    st.tuples(st.just("single"), numbers),
    st.tuples(st.just("scalar"), numbers),
)
pair_lists = st.lists(pairs, max_size=4)
proper_pair_lists = st.lists(st.tuples(st.just("tuple"), numbers, numbers), max_size=4)
optional_length = st.one_of(st.none(), acts(st.sampled_from([0, 1, 10, 2**62, -1, "3"])))

scalar_maps = st.one_of(
    st.tuples(st.just("none")),
    st.tuples(st.just("dict"), proper_pair_lists),
    st.tuples(st.just("dict-subclass"), proper_pair_lists, optional_length,
              st.one_of(st.tuples(st.just("inherit")),
                        st.tuples(st.just("list"), st.lists(st.sampled_from(
                            ["tuple", "named", "list", "triple"]), max_size=4)),
                        st.tuples(st.just("act"), acts(st.just(5))))),
    st.tuples(st.just("mapping"), proper_pair_lists, optional_length,
              st.one_of(st.none(), acts(st.just(None)))),
    st.tuples(st.just("proxy"), proper_pair_lists),
    st.tuples(st.sampled_from(["list", "tuple"]), pair_lists),
    st.tuples(st.just("generator"), pair_lists, st.one_of(st.none(), acts(st.just(None)))),
    st.tuples(st.just("next-raises"), pair_lists, acts(st.just(None))),
    st.tuples(st.just("iter-raises"), acts(st.just(None))),
    st.tuples(st.just("instancecheck-raises"), proper_pair_lists, raising_acts),
    st.tuples(st.just("not-iterable"), st.sampled_from([5, 2.5, None.__class__])),
    st.tuples(st.just("string"), st.sampled_from(["", "ab", b"", b"\x01\x02"])),
)

UNSUPPORTED = ["bool", "complex128", "longdouble", "object", "U2", "datetime64[s]"]


@st.composite
def shapes(draw):
    most = 36 if HOLDS_33_DIMENSIONS else 32
    ndim = draw(st.one_of(st.integers(0, 4), st.integers(30, most)))
    dims = draw(st.lists(st.sampled_from([1, 1, 1, 2, 3]), min_size=ndim, max_size=ndim))
    while math.prod(dims) > 48:
        dims[dims.index(max(dims))] = 1
    if dims and draw(st.integers(0, 9)) == 0:
        dims[draw(st.integers(0, ndim - 1))] = 0
    return tuple(dims)


def element_values(dtype, count):
    if dtype in reference.INT_TYPES:
        lo, hi = reference.int_limits(dtype)
        values = st.one_of(st.integers(lo, hi), st.integers(max(lo, -300), min(hi, 300)))
    elif dtype in reference.FLOAT_TYPES:
        width = int(dtype[5:])
        values = st.one_of(st.floats(width=width), st.integers(-300, 300).map(float),
                           st.integers(-1200, 1200).map(lambda v: v / 4))
    else:
        values = st.just(0)
    return st.lists(values, min_size=count, max_size=count)


@st.composite
def arrays(draw, dtype=None):
    """(description, values): dtype, shape, layout, byte order, flags, class."""
    if dtype is None:
        dtype = draw(st.sampled_from(TYPES * 2 + UNSUPPORTED))
    shape = draw(shapes())
    values = draw(element_values(dtype, math.prod(shape)))
    layout = draw(st.sampled_from(["C", "C", "C", "F", "reversed", "strided", "transposed",
                                   "unaligned"]))
    swapped = np.dtype(dtype).itemsize > 1 and draw(st.integers(0, 7)) == 0
    read_only = draw(st.integers(0, 7)) == 0
    kind = draw(st.sampled_from(["ndarray", "ndarray", "ndarray", "subclass", "lies"]))
    lie = draw(st.one_of(acts(st.sampled_from(TYPES + ["int9", "bool"])),
                         st.just(("name", 5)), st.just(("return", None))))
    return dict(dtype=dtype, shape=shape, layout=layout, swapped=swapped, read_only=read_only,
                kind=kind, lie=lie), values


# Mostly valid, so that most calls get past their arguments.
modes = st.sampled_from(reference.ROUNDING_MODES * 4 + ["Nearest-Even", "", None, "\udc80"])
policies = st.sampled_from(reference.OUT_OF_RANGE_MODES * 5 + ["Clamp", "", 5])


# -------------------------------------------------------------------- builder

class Built:
    """The objects of one call, and every act they hold."""

    def __init__(self):
        self.objects = []  # everything handed to the module, directly or inside another object
        self.acts = []
        self.generators = []

    def keep(self, obj):
        self.objects.append(obj)
        return obj

    def act(self, description):
        act = Act(description)
        self.acts.append(act)
        return act

    def number(self, description):
        kind = description[0]
        if kind == "hostile":
            _, cls, index, to_float, text, string = description
            return self.keep(HOSTILE_CLASSES[cls](self.act(index), self.act(to_float),
                                                  self.act(text), self.act(string)))
        if kind == "numpy":
            dtype, value = description[1]
            return self.keep(np.dtype(dtype).type(value))
        value = description[1]
        if kind == "float":
            value = float.fromhex(value.hex())  # a new object of its own
        return self.keep(value)

    def pair(self, description):
        kind = description[0]
        if kind in ("tuple", "list", "named"):
            source, target = self.number(description[1]), self.number(description[2])
            make = {"tuple": tuple, "list": list, "named": lambda p: Named(*p)}[kind]
            return self.keep(make((source, target)))
        if kind == "ndarray":
            return self.keep(np.array([description[1][1], description[2][1]]))
        if kind == "hostile":
            _, source, target, length, first, second = description
            return self.keep(HostilePair(
                self.act(length), None if first is None else self.act(first),
                None if second is None else self.act(second), self.number(source),
                self.number(target)))
        if kind == "triple":
            return self.keep(tuple(self.number(n) for n in description[1:]))
        if kind == "single":
            return self.keep((self.number(description[1]),))
        return self.number(description[1])

    def proper_pairs(self, descriptions):
        return [(self.number(d[1]), self.number(d[2])) for d in descriptions]

    def scalar_map(self, description):
        kind = description[0]
        if kind == "none":
            return None
        if kind == "dict":
            return self.keep(dict(self.proper_pairs(description[1])))
        if kind == "dict-subclass":
            _, pairs, length, items = description
            built_pairs = self.proper_pairs(pairs)
            if items[0] == "inherit":
                result = None
            elif items[0] == "act":
                result = self.act(items[1])
            else:
                forms = {"tuple": tuple, "named": lambda p: Named(*p), "list": list,
                         "triple": lambda p: p + (p[0],)}
                result = self.keep([self.keep(forms[f](p))
                                    for f, p in zip(items[1], built_pairs)])
            return self.keep(HostileDict(built_pairs, None if length is None else self.act(length),
                                         result))
        if kind == "mapping":
            _, pairs, length, iteration = description
            return self.keep(HostileMapping(
                self.proper_pairs(pairs), None if length is None else self.act(length),
                None if iteration is None else self.act(iteration)))
        if kind == "proxy":
            inner = self.keep(dict(self.proper_pairs(description[1])))
            return self.keep(types.MappingProxyType(inner))
        if kind in ("list", "tuple"):
            items = [self.pair(p) for p in description[1]]
            return self.keep(items if kind == "list" else tuple(items))
        if kind == "generator":
            items = [self.pair(p) for p in description[1]]
            act = None if description[2] is None else self.act(description[2])
            generator = self.keep(pair_generator(items, act))
            self.generators.append(generator)
            GENERATOR_PLANS[generator] = (items, act)
            return generator
        if kind == "next-raises":
            return self.keep(NextRaises([self.pair(p) for p in description[1]],
                                        self.act(description[2])))
        if kind == "iter-raises":
            return self.keep(IterRaises(self.act(description[1])))
        if kind == "instancecheck-raises":
            return self.keep(InstancecheckRaises(self.proper_pairs(description[1]),
                                                 self.act(description[2])))
        return self.keep(description[1])  # not-iterable, string

    def array(self, description, values):
        dtype = np.dtype(description["dtype"])
        shape = description["shape"]
        base = np.array(values, dtype=dtype).reshape(shape) if dtype.kind in "iuf" else \
            np.zeros(shape, dtype=dtype)
        if description["swapped"]:
            base = base.astype(dtype.newbyteorder("S"))
        layout = description["layout"]
        if layout == "F":
            arr = np.asfortranarray(base)
        elif layout == "reversed" and base.ndim:
            arr = base[..., ::-1]
        elif layout == "strided" and base.ndim:
            wide = np.zeros(shape[:-1] + (2 * shape[-1],), dtype=base.dtype)
            wide[..., ::2] = base
            arr = wide[..., ::2]
        elif layout == "transposed":
            arr = np.ascontiguousarray(base.T).T
        elif layout == "unaligned" and dtype.kind in "iuf":
            buffer = bytearray(base.nbytes + 1)
            arr = np.frombuffer(buffer, dtype=base.dtype, count=base.size, offset=1).reshape(shape)
            arr[...] = base
        else:
            arr = base
        if description["read_only"]:
            arr.setflags(write=False)
        if description["kind"] == "subclass":
            arr = arr.view(PlainSubclass)
        elif description["kind"] == "lies":
            arr = arr.view(DtypeLies)
            arr.dtype_act = self.dtype_act(description["lie"])
        return self.keep(arr)

    def dtype_act(self, lie):
        """`dtype` gives an object with the name of the lie (or a name that isn't
        a str), None (which has no name), or raises."""
        if lie[0] == "raise":
            return self.act(lie)
        if lie[0] == "name" or lie[1] is not None:
            return self.act(("return", types.SimpleNamespace(name=lie[1])))
        return self.act(("return", None))

    def release(self):
        """Drops what the caller's own code still holds after a call, so that
        only the module's references can differ."""
        for generator in self.generators:
            generator.close()
        for act in self.acts:
            if act.exception is not None:
                act.exception.__traceback__ = None
                act.exception.__context__ = None


# ---------------------------------------------------------------------- model

class Expect(Exception):
    """Ends the model with the call's outcome."""

    def __init__(self, outcome):
        super().__init__(outcome)
        self.outcome = outcome


def same(exception):
    return ("same", exception)


def message(exception_type, text):
    return ("message", exception_type, text)


INTERNAL = ("internal",)


def qualified_name(obj):
    return type(obj).__qualname__


def int_value(obj):
    """What PyLong_AsLong (or PyNumber_Index) gives: ('ok', int) or ('fail', exception or None)."""
    if isinstance(obj, Hostile):
        if not hasattr(type(obj), "__index__"):
            return "fail", None
        act = obj.index_act
        if act.exception is not None:
            return "fail", act.exception
        return ("ok", act.value) if type(act.value) is int else ("fail", None)
    if isinstance(obj, int):
        return "ok", int(obj)
    if hasattr(type(obj), "__index__"):
        return "ok", operator.index(obj)
    return "fail", None


def double_value(obj):
    """What PyFloat_AsDouble gives."""
    if isinstance(obj, Hostile):
        if hasattr(type(obj), "__float__"):
            act = obj.float_act
            if act.exception is not None:
                return "fail", act.exception
            return ("ok", act.value) if type(act.value) is float else ("fail", None)
        status, value = int_value(obj)
    elif isinstance(obj, float):
        return "ok", float(obj)
    elif hasattr(type(obj), "__float__"):
        try:
            return "ok", float(type(obj).__float__(obj))
        except OverflowError:
            return "fail", None
    else:
        status, value = int_value(obj)
    if status != "ok":
        return status, value
    try:
        return "ok", float(value)
    except OverflowError:
        return "fail", None


def element_value(obj, dtype):
    """extract_element: ('ok', reference value) or ('fail', exception or None)."""
    if dtype in reference.INT_TYPES:
        status, value = int_value(obj)
        if status != "ok":
            return status, value
        lo, hi = reference.int_limits(dtype)
        if dtype != "uint64" and not -2**63 <= value < 2**63:
            return "fail", None
        return ("ok", value) if lo <= value <= hi else ("fail", None)
    status, value = double_value(obj)
    if status != "ok":
        return status, value
    with np.errstate(all="ignore"):
        if dtype == "float32":
            value = float(np.float32(value))
        elif dtype == "float16":
            value = float(np.float16(np.float32(value)))
    return "ok", value


def readable(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def object_text(obj):
    """repr, else str; a repr or str that can't give a text ends the model."""
    if not isinstance(obj, Hostile):
        return readable(repr(obj))
    for act in (obj.repr_act, obj.str_act):
        if act.exception is not None and passes_through(act.exception):
            raise Expect(same(act.exception))
        if act.exception is None and isinstance(act.value, str):
            return readable(act.value)
    raise Expect(INTERNAL)


def convert_entry_value(obj, dtype, side):
    status, value = element_value(obj, dtype)
    if status == "ok":
        return value
    if value is not None and passes_through(value):
        raise Expect(same(value))
    raise Expect(message(TypeError, f"scalar_map {side} value {object_text(obj)}: expected a "
                                    f"value convertible to {side} dtype {dtype}"))


def act_result(act):
    """('ok', value), or ends the model when the act raises an exception the module passes on."""
    if act.exception is not None:
        return "raised", act.exception
    return "ok", act.value


def length_of(act, default):
    """A length that PyObject_Size accepts, or None when it fails."""
    if act is None:
        return default
    status, value = act_result(act)
    if status == "raised":
        if passes_through(value):
            raise Expect(same(value))
        return None
    if type(value) is not int or not 0 <= value <= sys.maxsize:
        return None
    return value


def parse_map(entries, source, target, unraisable):
    """The entry list parse_map_entries gives, as reference values."""
    if entries is None:
        return []
    kind = type(entries)  # isinstance would read InstancecheckRaises.__class__
    if kind is InstancecheckRaises:
        if passes_through(entries.act.exception):
            raise Expect(same(entries.act.exception))
        unraisable.append(type(entries.act.exception))
        is_mapping = False
    else:
        is_mapping = isinstance(entries, (dict, collections.abc.Mapping))
    converted = []
    if is_mapping:
        if isinstance(entries, (HostileDict, HostileMapping)):
            if length_of(entries.length_act, 0) is None:
                raise Expect(message(TypeError, LENGTH_MESSAGE))
        if isinstance(entries, HostileDict) and isinstance(entries.items_result, Act):
            status, value = act_result(entries.items_result)
            if status == "raised":
                raise Expect(same(value))
            raise Expect(message(TypeError, None))  # items() returned a non-iterable
        if isinstance(entries, HostileDict) and entries.items_result is not None:
            items = entries.items_result
        elif isinstance(entries, HostileMapping):
            if entries.iter_act is not None and entries.iter_act.exception is not None:
                raise Expect(same(entries.iter_act.exception))
            items = [(k, entries[k]) for k, _ in entries.pairs]
        else:
            items = list(entries.items())
        for item in items:
            if not isinstance(item, tuple):
                raise Expect(message(TypeError, f"'{qualified_name(item)}' object cannot be "
                                                "converted to 'PyTuple'"))
            if len(item) != 2:
                raise Expect(message(ValueError, "expected tuple of length 2, but got tuple of "
                                                 f"length {len(item)}"))
            converted.append((convert_entry_value(item[0], source, "source"),
                              convert_entry_value(item[1], target, "target")))
        return converted

    if kind is IterRaises:  # raises, or returns None, which is no iterator
        exception = entries.act.exception
        if exception is not None and passes_through(exception):
            raise Expect(same(exception))
        raise Expect(message(TypeError, NOT_ITERABLE))
    if kind not in (list, tuple, str, bytes, types.GeneratorType, NextRaises, InstancecheckRaises):
        raise Expect(message(TypeError, NOT_ITERABLE))
    if kind is types.GeneratorType:
        items, final = GENERATOR_PLANS[entries]
    elif kind is NextRaises:
        items, final = entries.pairs, entries.act
    elif kind is InstancecheckRaises:
        items, final = entries.pairs, None
    else:
        items, final = list(entries), None
    for item in items:
        if isinstance(item, HostilePair):
            length = length_of(item.length_act, 2)
        else:
            length = len(item) if isinstance(item, (tuple, list, str, bytes, np.ndarray)) else None
        if length != 2:
            raise Expect(message(ValueError, PAIR_MESSAGE))
        for index, dtype, side in ((0, source, "source"), (1, target, "target")):
            if isinstance(item, HostilePair):
                act = item.item_acts[index]
                if act is not None and act.exception is not None:
                    raise Expect(same(act.exception))
                element = item.items[index]
            else:
                element = item[index]
            value = convert_entry_value(element, dtype, side)
            if index == 0:
                first = value
        converted.append((first, value))
    if final is not None and final.exception is not None:
        raise Expect(same(final.exception))
    return converted


def dtype_key(arr):
    """array_dtype_key: the dtype name the module reads, or ends the model."""
    if isinstance(arr, DtypeLies):
        status, value = act_result(arr.dtype_act)
        if status == "raised":
            raise Expect(same(value))
        if value is None:
            raise Expect(message(AttributeError, None))  # None has no name
        name = value.name
    else:
        name = np.ndarray.dtype.__get__(arr).name
    if not isinstance(name, str):
        raise Expect(message(TypeError, f"'{qualified_name(name)}' object cannot be converted "
                                        "to 'PyString'"))
    if name not in TYPES:
        raise Expect(message(TypeError, f"Unsupported numpy dtype: {name}"))
    return name


def real_dtype(arr):
    return np.ndarray.dtype.__get__(arr)


def is_array_of(arr, dtype):
    real = real_dtype(arr)
    return real == np.dtype(dtype) and real.isnative


def check_mode_arguments(rounding, policy):
    for name, value, parse in (("rounding_mode", rounding, reference.ROUNDING_MODES),
                               ("out_of_range_mode", policy, ["clamp", "wrap"])):
        if name == "out_of_range_mode" and value is None:
            continue
        if not isinstance(value, str):
            raise Expect(message(TypeError, f"argument '{name}': '{qualified_name(value)}' object "
                                            "cannot be converted to 'PyString'"))
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise Expect(message(UnicodeEncodeError, None)) from None
        if value not in parse:
            label = "rounding mode" if name == "rounding_mode" else "out_of_range mode"
            raise Expect(message(ValueError, f"Unknown {label}: {value}"))


def expect_call(arr, out, target, rounding, policy, entries, unraisable):
    """The outcome of cast_array (out None) or cast_array_into: ('ok', values),
    ('conversion', index, text, values) or an exception outcome."""
    try:
        check_mode_arguments(rounding, policy)
        source = dtype_key(arr)
        if out is None:
            if target not in TYPES:
                raise Expect(message(TypeError, f"Unsupported target dtype: {target}"))
        else:
            target = dtype_key(out)
            if arr.shape != out.shape:
                raise Expect(message(ValueError, f"Shape mismatch: input shape {list(arr.shape)} "
                                                 f"!= output shape {list(out.shape)}"))
        if not arr.flags.c_contiguous:
            raise Expect(message(ValueError, INPUT_LAYOUT))
        if not is_array_of(arr, source):
            raise Expect(message(TypeError, f"'{qualified_name(arr)}' object cannot be converted "
                                            "to 'PyArray<T, D>'"))
        entries = parse_map(entries, source, target, unraisable)
        if out is not None and not is_array_of(out, target):
            raise Expect(message(TypeError, f"'{qualified_name(out)}' object cannot be converted "
                                            "to 'PyArray<T, D>'"))
        if 0 in arr.shape:
            return ("ok", [], source, target)
        if arr.ndim > MAX_DIMENSIONS:
            raise Expect(INTERNAL)
        if out is not None and not (out.flags.writeable and out.flags.c_contiguous):
            raise Expect(message(ValueError, OUTPUT_LAYOUT))
        values = reference.python_values(arr.view(np.ndarray))
        results, index, failure = reference.convert_all(values, source, target, rounding, policy,
                                                        entries)
        if failure is not None:
            return ("conversion", index, failure.text, results, source, target)
        return ("ok", results, source, target)
    except Expect as expected:
        return expected.outcome


# ---------------------------------------------------------------------- check

def run_and_check(arr, out, target, rounding, policy, entries, built):
    """Makes the call and checks its outcome against the model, and the
    reference counts of everything handed in."""
    unraisable_expected = []
    outcome = expect_call(arr, out, target, rounding, policy, entries, unraisable_expected)
    out_before = None if out is None else out.view(np.ndarray).tobytes()
    # Objects that are shared across the interpreter (None, small ints,
    # interned strings, the empty tuple) change counts with every local
    # variable: only the call's own objects are counted.
    shared = (type(None), bool, int, str, bytes)
    handed = [o for o in built.objects
              if type(o) not in shared and not (type(o) is tuple and not o)]
    counts = [sys.getrefcount(o) for o in handed]

    unraisable = []
    previous_hook = sys.unraisablehook
    sys.unraisablehook = lambda report: unraisable.append(report.exc_type)
    result = raised = None
    global ARMED
    ARMED = True
    try:
        if out is None:
            result = cast_array(arr, target_dtype=target, rounding_mode=rounding,
                                out_of_range_mode=policy, scalar_map_entries=entries)
        else:
            result = cast_array_into(arr, out, rounding_mode=rounding,
                                     out_of_range_mode=policy, scalar_map_entries=entries)
    except BaseException as error:  # noqa: B036 - the internal error and Interrupt included
        raised = error
    finally:
        ARMED = False
        sys.unraisablehook = previous_hook

    description = f"expected {outcome[:3]!r}, got {result!r} / {raised!r}"
    kind = outcome[0]
    if kind in ("ok", "conversion"):
        if kind == "ok":
            assert raised is None, description
        else:
            assert type(raised) is ValueError and str(raised) == outcome[2], description
        values, target_key = outcome[-3 if kind == "conversion" else 1], outcome[-1]
        written = values if kind == "ok" else values[:outcome[1] // 8 * 8]
        if out is None and kind == "ok":
            assert type(result) is np.ndarray and result.shape == arr.shape, description
            assert result.dtype == np.dtype(target_key) and result.flags.c_contiguous
            assert reference.same_elements(result, values, target_key), \
                reference.mismatches(result, values, target_key)
        elif out is not None:
            assert result is None, description
            flat = out.view(np.ndarray).reshape(-1)
            assert reference.same_elements(flat[:len(written)], written, target_key), \
                reference.mismatches(flat, written, target_key)
            if kind == "ok" and 0 not in out.shape:
                assert len(written) == flat.size
            del flat  # a view: it holds a reference to out
    elif kind == "same":
        assert raised is outcome[1], description
    elif kind == "internal":
        assert raised is not None and not isinstance(raised, Exception), description
        assert not isinstance(raised, (Interrupt, KeyboardInterrupt)), description
    else:
        _, exception_type, text = outcome
        assert type(raised) is exception_type, description
        if text is not None:
            assert str(raised) == text, description
        if exception_type is not UnicodeEncodeError and text is not None:
            # A replaced exception leaves no trace on its replacement.
            assert raised.__context__ is None and raised.__cause__ is None, description
    if kind not in ("ok", "conversion") and out is not None:
        assert out.view(np.ndarray).tobytes() == out_before, "a call that failed a check wrote out"
    assert unraisable == unraisable_expected

    if raised is not None:
        raised.__traceback__ = None
        raised.__context__ = None
    del raised, result
    built.release()
    after = [sys.getrefcount(o) for o in handed]
    changed = [(type(handed[i]).__qualname__, counts[i], after[i])
               for i in range(len(handed)) if after[i] != counts[i]]
    assert not changed, f"references kept or lost (object, before, after): {changed}"


def build_call(data, into):
    built = Built()
    description, values = data.draw(arrays(), label="arr")
    arr = built.array(description, values)
    out, target = None, data.draw(st.one_of(st.sampled_from(TYPES),
                                            st.sampled_from(["float", "Int8", "int9"])),
                                  label="target_dtype")
    if into:
        choice = data.draw(st.sampled_from(["fresh", "fresh", "same-shape", "alias"]), label="out")
        names = [t for t in TYPES if np.dtype(t).itemsize == real_dtype(arr).itemsize]
        if choice == "alias" and arr.flags.c_contiguous and arr.flags.writeable and names and \
                real_dtype(arr).kind in "iuf":
            view_type = data.draw(st.sampled_from(names), label="alias dtype")
            out = built.keep(arr.view(np.ndarray).view(view_type))
        else:
            out_description, out_values = data.draw(arrays(), label="out")
            if choice != "fresh":
                out_description["shape"] = arr.shape
                out_values = data.draw(element_values(out_description["dtype"], arr.size))
            out = built.array(out_description, out_values)
    entries = built.scalar_map(data.draw(scalar_maps, label="scalar_map_entries"))
    rounding = data.draw(modes, label="rounding_mode")
    policy = data.draw(policies, label="out_of_range_mode")
    return arr, out, target, rounding, policy, entries, built


@FUZZ_SETTINGS
@given(st.data())
def test_cast_array_with_hostile_arguments(data):
    run_and_check(*build_call(data, into=False))


@FUZZ_SETTINGS
@given(st.data())
def test_cast_array_into_with_hostile_arguments(data):
    run_and_check(*build_call(data, into=True))


@FUZZ_SETTINGS
@given(st.data())
def test_hostile_scalar_maps_on_plain_arrays(data):
    """Every map form and value on valid arrays of a random pair, so that
    parsing, lookup and conversion are reached on every example."""
    built = Built()
    source = data.draw(st.sampled_from(TYPES), label="source")
    target = data.draw(st.sampled_from(TYPES), label="target")
    count = data.draw(st.integers(0, 20), label="count")
    values = data.draw(element_values(source, count), label="values")
    arr = built.keep(np.array(values, dtype=source))
    out = built.keep(np.zeros(count, dtype=target)) if data.draw(st.booleans()) else None
    entries = built.scalar_map(data.draw(scalar_maps, label="scalar_map_entries"))
    rounding = data.draw(st.sampled_from(reference.ROUNDING_MODES), label="rounding_mode")
    policy = data.draw(st.sampled_from(reference.OUT_OF_RANGE_MODES), label="out_of_range_mode")
    run_and_check(arr, out, target, rounding, policy, entries, built)

"""The 64 integer pairs through both functions, under every out-of-range
policy, with and without a scalar map, against a per-element computation with
Python integers."""

import itertools

import numpy as np
import pytest

import reference
from reference import INT_TYPES, OUT_OF_RANGE_MODES, ROUNDING_MODES, int_limits
from tolvane import cast_array, cast_array_into

INT_PAIRS = list(itertools.product(INT_TYPES, INT_TYPES))


def oor(value, lo, hi):
    return reference.out_of_range_text(float(value), float(lo), float(hi))


def pair_seed(source, target):
    return INT_TYPES.index(source) * 8 + INT_TYPES.index(target)


def accepted_range(source, target):
    (smin, smax), (tmin, tmax) = int_limits(source), int_limits(target)
    return max(smin, tmin), min(smax, tmax)


def sample_values(source, target):
    """Small in-range values first, then random values over the whole source
    range, then the edges of both types."""
    smin, smax = int_limits(source)
    tmin, tmax = int_limits(target)
    rng = np.random.default_rng(pair_seed(source, target))
    edges = [smin, smin + 1, -1, 0, 1, 2, smax - 1, smax, tmin - 1, tmin, tmin + 1,
             tmax - 1, tmax, tmax + 1, -129, -128, 127, 128, 255, 256, 65535, 65536,
             2**31 - 1, 2**31, 2**32, 2**53 + 1, 2**63 - 1, -(2**63)]
    edges = [v for v in edges if smin <= v <= smax]
    wide = rng.integers(smin, smax, size=20, endpoint=True, dtype=source).tolist()
    near = rng.integers(max(smin, -300), min(smax, 300), size=12, endpoint=True).tolist()
    return [0, 1, 2] + near + wide + edges


def map_entries(source, target):
    """A map that catches a value outside the accepted range (if the pair has
    one), overrides an in-range value, and repeats that source later."""
    smin, smax = int_limits(source)
    tmin, tmax = int_limits(target)
    lo, hi = accepted_range(source, target)
    outside = smax if smax > hi else (smin if smin < lo else smax)
    return [(outside, tmin), (2, tmax), (2, 0), (1, tmax - 1)]


def run(function, arr, target, mode, policy, entries, out_fill=None):
    kwargs = {"rounding_mode": mode, "out_of_range_mode": policy}
    if entries is not None:
        kwargs["scalar_map_entries"] = entries
    if function == "cast_array":
        return cast_array(arr, target_dtype=target, **kwargs)
    out = np.full(arr.shape, out_fill if out_fill is not None else 0, dtype=target)
    assert cast_array_into(arr, out, **kwargs) is None
    return out


@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
@pytest.mark.parametrize("with_map", [False, True], ids=["no-map", "map"])
@pytest.mark.parametrize("policy", OUT_OF_RANGE_MODES, ids=["absent", "clamp", "wrap"])
@pytest.mark.parametrize("source, target", INT_PAIRS)
def test_integer_pair(source, target, policy, with_map, function):
    values = sample_values(source, target)
    entries = map_entries(source, target) if with_map else []
    mode = ROUNDING_MODES[pair_seed(source, target) % 5]
    results, failing, failure = reference.convert_all(values, source, target, mode, policy,
                                                      entries)
    arr = np.array(values, dtype=source)
    passed = None if not with_map else entries

    if failure is None:
        shaped = arr.reshape(-1, 1) if len(values) % 2 else arr.reshape(2, -1)
        result = run(function, shaped, target, mode, policy, passed)
        assert result.dtype == np.dtype(target) and result.shape == shaped.shape
        assert result.ravel().tolist() == results
        return

    # The first element that can't be converted ends the call with its text.
    with pytest.raises(ValueError) as info:
        run(function, arr, target, mode, policy, passed)
    assert type(info.value) is ValueError
    assert str(info.value) == failure.text
    # Each element on its own: converted, or the same text as above for its value.
    good = []
    for x in values:
        single, _, single_failure = reference.convert_all([x], source, target, mode, policy,
                                                          entries)
        if single_failure is None:
            good.append((x, single[0]))
    result = run(function, np.array([g[0] for g in good], dtype=source), target, mode,
                 policy, passed)
    assert result.tolist() == [g[1] for g in good]


RANGE_POLICY_PAIRS = [(s, t) for s, t in INT_PAIRS if accepted_range(s, t) != int_limits(s)]


@pytest.mark.parametrize("with_map", [False, True], ids=["no-map", "map"])
@pytest.mark.parametrize("source, target", RANGE_POLICY_PAIRS)
def test_failed_conversion_into_keeps_earlier_writes_only(source, target, with_map):
    lo, hi = accepted_range(source, target)
    smax = int_limits(source)[1]
    bad = hi + 1 if hi < smax else lo - 1
    entries = [(1, 1)] if with_map else None
    values = [0, 1, 2, 2, 1, 0, 2, bad, 1, bad, 0, 2, 1, 1, 1, 1, 1, 1, 1]
    arr = np.array(values, dtype=source)
    out = np.full(len(values), 3, dtype=target)
    with pytest.raises(ValueError) as info:
        cast_array_into(arr, out, rounding_mode="nearest-even", scalar_map_entries=entries)
    assert str(info.value) == oor(bad, lo, hi)
    assert out.tolist() == values[:7] + [3] * 12


@pytest.mark.parametrize("source, target", INT_PAIRS)
def test_dict_and_iterable_maps_give_the_same_result(source, target):
    smin, smax = int_limits(source)
    tmin, tmax = int_limits(target)
    arr = np.array([smin, 0, 1, smax, 1, 0], dtype=source)
    as_dict = {smax: tmin, 1: tmax, smin: 0}
    expected = [0, 0, tmax, tmin, tmax, 0]
    forms = [
        lambda: as_dict,
        lambda: list(as_dict.items()),
        lambda: iter(as_dict.items()),
        lambda: [[k, v] for k, v in as_dict.items()],
        lambda: (pair for pair in as_dict.items()),
        lambda: np.array(list(as_dict.items()), dtype=object),
    ]
    for form in forms:
        result = cast_array(arr, target_dtype=target, rounding_mode="towards-zero",
                            scalar_map_entries=form())
        assert result.tolist() == expected
        out = np.zeros(6, dtype=target)
        cast_array_into(arr, out, rounding_mode="nearest-away", scalar_map_entries=form())
        assert out.tolist() == expected


@pytest.mark.parametrize("source", INT_TYPES)
def test_same_type_copy_is_bit_exact(source):
    smin, smax = int_limits(source)
    rng = np.random.default_rng(INT_TYPES.index(source))
    arr = rng.integers(smin, smax, size=1001, endpoint=True, dtype=source)
    arr[:2] = [smin, smax]
    for policy in OUT_OF_RANGE_MODES:
        result = cast_array(arr, target_dtype=source, rounding_mode="towards-negative",
                            out_of_range_mode=policy)
        assert result.tobytes() == arr.tobytes()
        out = np.empty_like(arr)
        cast_array_into(arr, out, rounding_mode="nearest-even", out_of_range_mode=policy)
        assert out.tobytes() == arr.tobytes()


MSG_NEG1_UINT64 = oor(-1, 0, 2**63 - 1)

# Literal cases: (source, target, values, policy, entries, expected values or message).
LITERAL_CASES = [
    ("int8", "uint8", [5, -1, 3], "wrap", None, [5, 255, 3]),
    ("int8", "uint8", [5, -1, -128], "clamp", None, [5, 0, 0]),
    ("int8", "uint8", [5, -1, 3], None, None, oor(-1, 0, 127)),
    ("uint8", "int8", [200], "clamp", None, [127]),
    ("uint8", "int8", [200], "wrap", None, [-56]),
    ("uint8", "int8", [200], None, None, oor(200, 0, 127)),
    ("int64", "uint64", [-1], None, None, MSG_NEG1_UINT64),
    ("int64", "uint64", [-5], None, None,
     "Value -5 out of range [0, 9223372036854776000]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("uint64", "int64", [18446744073709551615], None, None,
     "Value 18446744073709552000 out of range [0, 9223372036854776000]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("uint64", "int64", [9223372036854775808], None, None,
     "Value 9223372036854776000 out of range [0, 9223372036854776000]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("uint64", "int64", [9223372036854775808], "clamp", None, [9223372036854775807]),
    ("uint64", "int64", [9223372036854775808], "wrap", None, [-9223372036854775808]),
    ("int64", "int32", [9007199254740993], None, None,
     "Value 9007199254740992 out of range [-2147483648, 2147483647]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("int8", "uint64", [-128], "wrap", None, [18446744073709551488]),
    ("int8", "uint16", [-1], "wrap", None, [65535]),
    ("int8", "uint32", [-1], "wrap", None, [4294967295]),
    ("int32", "uint64", [-2], "wrap", None, [18446744073709551614]),
    ("int32", "int8", [300, -1000, 1000], "wrap", None, [44, 24, -24]),
    ("int32", "int8", [-1000, 1000], "clamp", None, [-128, 127]),
    ("int16", "uint8", [-1], "wrap", None, [255]),
    ("uint16", "int8", [200], "wrap", None, [-56]),
    ("int16", "int8", [300], None, {300: 7}, [7]),
    ("int16", "int8", [300, 301], None, {300: 7}, oor(301, -128, 127)),
    ("int16", "int8", [5, 6], None, [(5, 9)], [9, 6]),
    ("uint32", "int8", [5, 300, 7], None, None,
     "Value 300 out of range [0, 127]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("uint32", "int8", [5, 300, 7], "clamp", None, [5, 127, 7]),
    ("uint32", "int8", [5, 300, 7], "wrap", None, [5, 44, 7]),
    ("uint32", "int8", [5, 300, 7], None, [(300, -5)], [5, -5, 7]),
    ("uint32", "int8", [5, 300, 7], "clamp", [(300, -5)], [5, -5, 7]),
    ("uint32", "int8", [5, 300, 7], "wrap", [(300, -5)], [5, -5, 7]),
    ("int16", "uint64", [-1], "clamp", None, [0]),
    ("int16", "uint64", [-1], "wrap", None, [18446744073709551615]),
    ("int16", "uint64", [-1], None, None,
     "Value -1 out of range [0, 32767]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("uint16", "int16", [65535], "wrap", None, [-1]),
    ("uint16", "int16", [65535], "clamp", None, [32767]),
    ("uint16", "int16", [65535], None, None, oor(65535, 0, 32767)),
    ("uint32", "int32", [4294967295], "wrap", None, [-1]),
    ("uint32", "int32", [4294967295], "clamp", None, [2147483647]),
    ("uint16", "uint8", [1000, 3], None, [(1000, 7)], [7, 3]),
    ("int16", "int16", [1, 2, 3], None, [(1, 2), (2, 3)], [2, 3, 3]),
    ("int16", "int16", [5, 4], None, [(5, 1), (5, 2)], [1, 4]),
    ("int16", "int16", [5, 4, 5], "wrap", [(5, 7), (5, 9)], [7, 4, 7]),
    ("uint16", "uint16", [65535, 1], None, [(65535, 0)], [0, 1]),
    ("int16", "int64", [-32768], None, None, [-32768]),
    ("int8", "int32", [-1], None, None, [-1]),
    ("uint16", "int32", [65535], None, None, [65535]),
    ("uint32", "int64", [4294967295], None, None, [4294967295]),
    ("uint8", "int16", [255], None, None, [255]),
    ("uint32", "uint64", [4294967295, 4294967294], None, [(4294967295, 0)], [0, 4294967294]),
    ("int16", "int32", [-1, 3], None, [(-1, 100000)], [100000, 3]),
    ("uint16", "int64", [65535, 4], None, [(65535, -1)], [-1, 4]),
    ("int16", "int8", [300, -300, 5], "clamp", None, [127, -128, 5]),
    ("int16", "int8", [300, -300, 5], "wrap", None, [44, -44, 5]),
    ("int16", "int8", [300, -300, 5], None, None,
     "Value 300 out of range [-128, 127]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("int16", "int8", [300, 5], None, [(300, 1)], [1, 5]),
    ("int32", "uint8", [1, 2, 999, 3], None, None,
     "Value 999 out of range [0, 255]. "
     "Set out_of_range='clamp' or out_of_range='wrap' to handle this."),
    ("int64", "int64", [-9223372036854775808, 9223372036854775807], None, None,
     [-9223372036854775808, 9223372036854775807]),
    ("uint64", "uint64", [18446744073709551615], None, None, [18446744073709551615]),
    ("int8", "int16", [-128, 127], "clamp", None, [-128, 127]),
    ("int8", "int16", [-128, 127], "wrap", None, [-128, 127]),
    ("int64", "uint64", [-1, 2**62], "wrap", [(2**62, 5)], [18446744073709551615, 5]),
]


@pytest.mark.parametrize("source, target, values, policy, entries, expected", LITERAL_CASES)
@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
def test_literal_cases(function, source, target, values, policy, entries, expected):
    arr = np.array(values, dtype=source)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            run(function, arr, target, "nearest-even", policy, entries)
        assert str(info.value) == expected
    else:
        assert run(function, arr, target, "nearest-even", policy, entries).tolist() == expected


def test_conversion_error_returns_no_array_and_leaves_input():
    arr = np.array([1, 2, 999, 3], dtype=np.int32)
    before = arr.copy()
    with pytest.raises(ValueError):
        cast_array(arr, target_dtype="uint8", rounding_mode="nearest-even")
    np.testing.assert_array_equal(arr, before)

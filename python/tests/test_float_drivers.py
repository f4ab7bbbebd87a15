"""The 57 pairs that involve a float type, through both functions, under every
rounding mode and out-of-range policy, with and without scalar maps: tables of
edge values against exact arithmetic (reference.py), literal cases, what `out`
holds after a failed conversion, and property tests against NumPy and
fractions.Fraction."""

import functools
import itertools
import math
import struct
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import reference
from reference import (ALL_TYPES, BITS_DTYPE, FLOAT_TYPES, INT_TYPES, OUT_OF_RANGE_MODES,
                       ROUNDING_MODES, int_limits)
from tolvane import cast_array, cast_array_into

FLOAT_PAIRS = [(s, t) for s, t in itertools.product(ALL_TYPES, ALL_TYPES)
               if s in FLOAT_TYPES or t in FLOAT_TYPES]
F2I = [(s, t) for s, t in FLOAT_PAIRS if t in INT_TYPES]
I2F = [(s, t) for s, t in FLOAT_PAIRS if s in INT_TYPES]
F2F = [(s, t) for s, t in FLOAT_PAIRS if s in FLOAT_TYPES and t in FLOAT_TYPES]
NARROWING = [("float32", "float16"), ("float64", "float16"), ("float64", "float32")]
POLICY_IDS = ["absent", "clamp", "wrap"]

NAN_PATTERNS = {
    "float16": [0x7E00, 0xFE00, 0x7C01, 0x7D55, 0xFFFF],
    "float32": [0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FA5A5A5, 0xFFFFFFFF],
    "float64": [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                0x7FF5A5A5A5A5A5A5, 0xFFFFFFFFFFFFFFFF],
}


def oor(value, lo, hi):
    return reference.out_of_range_text(value, lo, hi)


def nonfinite(value):
    return reference.non_finite_text(value)


def neighbours(value, dtype):
    v = np.array(value, dtype=dtype)
    return [np.nextafter(v, dtype(-np.inf)), v, np.nextafter(v, dtype(np.inf))]


def float_inputs(source: str, target: str) -> np.ndarray:
    """Edge values of a float source for one target, as an array of `source`:
    signed zeros, ties, the neighbours of the target's limits and thresholds,
    subnormals, infinities, NaNs with payloads, and random values."""
    with np.errstate(all="ignore"):
        return _float_inputs(source, target)


def _float_inputs(source, target):
    sdt = np.dtype(source).type
    info = np.finfo(source)
    candidates = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 3.5, -3.5, 0.3, -0.3,
                  0.6, -0.6, 7.75, 2049.0, 65519.0, 65520.0, 65504.0, 100000.0, 70000.0,
                  1 + 2**-11, 1 + 2**-11 + 2**-40, 1 + 2**-24, 1 + 2**-24 + 2**-50,
                  2.0**-24, 2.0**-25, 3 * 2.0**-26, 2.0**-149, 2.0**-150, 1e-50, -1e-50,
                  1e39, -1e39, 3.4028235e38, 3.4028235677973366e38, 65519.998046875,
                  65519.999, 4503599627370497.0, 8388609.0, 0.49999999999999994,
                  0.49999997, 0.499755859375, 2.0**60, -(2.0**60), 255.4, 255.5, 254.5,
                  2147483647.4, 2147483647.5, -2147483648.5, 3000000000.0]
    extremes = [info.max, -info.max, info.tiny, info.smallest_subnormal,
                -info.smallest_subnormal, np.inf, -np.inf]
    values = [np.array(c, dtype=np.float64).astype(source) for c in candidates]
    values += [sdt(e) for e in extremes]
    if target in INT_TYPES:
        lo, hi = int_limits(target)
        for bound in (lo, hi):
            for offset in (-1, -0.5, 0, 0.5, 1):
                values += neighbours(np.float64(bound + offset).astype(source), sdt)
        values += [sdt(2.0 * hi), sdt(hi + 256), sdt(lo - 300)]
    else:
        largest = reference.float_max(target)
        for v in (largest, -largest):
            values += neighbours(np.float64(v).astype(source), sdt)
    rng = np.random.default_rng(FLOAT_TYPES.index(source) * 16 + ALL_TYPES.index(target))
    values += list((rng.standard_normal(12) * 10.0 ** rng.integers(-8, 12, 12)).astype(source))
    bits = np.array(values, dtype=source).view(BITS_DTYPE[source])
    bits = list(dict.fromkeys(bits.tolist()))  # drop repeats, keep order
    random_bits = rng.integers(0, np.iinfo(BITS_DTYPE[source]).max, size=12, endpoint=True,
                               dtype=BITS_DTYPE[source]).tolist()
    bits = bits + random_bits + NAN_PATTERNS[source]
    return np.array(bits, dtype=BITS_DTYPE[source]).view(source)


def int_inputs(source: str) -> np.ndarray:
    smin, smax = int_limits(source)
    candidates = [0, 1, -1, 2, 2049, -2049, 2050, 65504, 65505, 65519, 65520, 65535, 70000,
                  -70000, 16777216, 16777217, -16777217, 16777218, 2**31 - 1, -(2**31),
                  2**32 - 1, 2**53, 2**53 + 1, 2**53 + 3, 2**60 + 1, 18014399583223807,
                  2**63 - 1, -(2**63), 2**64 - 1, 2**63, 2**54 + 2**30, -(2**54 + 2**30 + 1),
                  smin, smax, smin + 1, smax - 1]
    values = list(dict.fromkeys(v for v in candidates if smin <= v <= smax))
    rng = np.random.default_rng(INT_TYPES.index(source))
    values += rng.integers(smin, smax, size=16, endpoint=True, dtype=source).tolist()
    return np.array(values, dtype=source)


def inputs_for(source, target):
    return float_inputs(source, target) if source in FLOAT_TYPES else int_inputs(source)


def map_entries(source, target):
    """(source, target) pairs given to the module, in the element types' values."""
    if target in INT_TYPES:
        tmin, tmax = int_limits(target)
        targets = [tmin, tmax, 7, 0, 1, tmax - 1]
    else:
        targets = [-2.0, 0.25, float("nan"), -0.0, float("inf"), 0.5]
    if source in FLOAT_TYPES:
        sources = [float("nan"), 1.0, -0.0, float("inf"), 1.0, float(np.finfo(source).max)]
    else:
        smin, smax = int_limits(source)
        sources = [smax, 1, 0, smin, 1, 2]
    return list(zip(sources, targets))


@functools.lru_cache(maxsize=None)
def element_result(source, target, mode, policy, key):
    x = reference.float64_with_bits(key) if source in FLOAT_TYPES else key
    return reference.convert(x, source, target, mode, policy)


def key_of(x):
    if isinstance(x, float):
        return struct.unpack("<Q", struct.pack("<d", x))[0]
    return x


def expected_results(arr, source, target, mode, policy, entries):
    """Element results in order until the first failure: (results, index, Failure)."""
    values = reference.python_values(arr)
    results = []
    for i, x in enumerate(values):
        hit = reference.map_lookup(x, entries) if entries else None
        if hit is not None:
            results.append(entries[hit][1])
            continue
        if source == target:
            results.append(arr.reshape(-1)[i])  # same-type pairs keep the bits
            continue
        r = element_result(source, target, mode, policy, key_of(x))
        if isinstance(r, reference.Failure):
            return results, i, r
        results.append(r)
    return results, None, None


def same(actual, results, target):
    """Same-type elements compare bit for bit; the rest as in reference."""
    if any(isinstance(r, np.generic) for r in results):
        expected = np.array([np.array(r, dtype=target) for r in results], dtype=target)
        flat = actual.reshape(-1)
        if target in FLOAT_TYPES:
            return flat.view(BITS_DTYPE[target]).tolist() == expected.view(
                BITS_DTYPE[target]).tolist()
        return flat.tolist() == expected.tolist()
    return reference.same_elements(actual, results, target)


def call(function, arr, target, mode, policy, entries, out=None):
    kwargs = {"rounding_mode": mode, "out_of_range_mode": policy}
    if entries is not None:
        kwargs["scalar_map_entries"] = entries
    if function == "cast_array":
        return cast_array(arr, target_dtype=target, **kwargs)
    if out is None:
        out = np.zeros(arr.shape, dtype=target)
    assert cast_array_into(arr, out, **kwargs) is None
    return out


def same_type_map_result(arr, entries, target):
    """Same-type pairs with a map: the entry's target, else the element's bits."""
    flat = arr.reshape(-1)
    out = []
    for i, x in enumerate(reference.python_values(arr)):
        hit = reference.map_lookup(x, entries)
        out.append(np.array(entries[hit][1], dtype=target) if hit is not None else flat[i])
    return out


# ---------------------------------------------------- every pair, every mode

@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
@pytest.mark.parametrize("with_map", [False, True], ids=["no-map", "map"])
@pytest.mark.parametrize("policy", OUT_OF_RANGE_MODES, ids=POLICY_IDS)
@pytest.mark.parametrize("mode", ROUNDING_MODES)
@pytest.mark.parametrize("source, target", FLOAT_PAIRS)
def test_float_pair_table(source, target, mode, policy, with_map, function):
    arr = inputs_for(source, target)
    entries = map_entries(source, target) if with_map else []
    results, failing, failure = expected_results(arr, source, target, mode, policy, entries)
    passed = entries if with_map else None
    if failure is None:
        result = call(function, arr.reshape(1, -1), target, mode, policy, passed)
        assert result.shape == (1, arr.size) and result.dtype == np.dtype(target)
        assert same(result, results, target), reference.mismatches(
            result, [float(r) if target in FLOAT_TYPES else r for r in results], target,
            reference.python_values(arr))
        return
    with pytest.raises(ValueError) as info:
        call(function, arr, target, mode, policy, passed)
    assert type(info.value) is ValueError
    assert str(info.value) == failure.text, f"first failing element {arr[failing]!r}"
    # Every element that converts on its own, in one call.
    keep = [i for i in range(arr.size)
            if expected_results(arr[i:i + 1], source, target, mode, policy, entries)[2] is None]
    good = arr[keep]
    good_results, _, none = expected_results(good, source, target, mode, policy, entries)
    assert none is None
    result = call(function, good, target, mode, policy, passed)
    assert same(result, good_results, target), reference.mismatches(
        result, [float(r) if target in FLOAT_TYPES else r for r in good_results], target,
        reference.python_values(good))


@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
@pytest.mark.parametrize("dtype", FLOAT_TYPES)
def test_identity_float_pairs_keep_unmatched_bits(dtype, function):
    """Unmatched NaNs (payloads, signalling) and -0.0 keep their bits in the
    identity pairs, with a map and without, under every mode."""
    arr = float_inputs(dtype, dtype)
    entries = [(1.0, 2.0), (1.0, 3.0), (0.5, -0.0)]
    expected = same_type_map_result(arr, entries, dtype)
    for mode in ROUNDING_MODES:
        for policy in OUT_OF_RANGE_MODES:
            result = call(function, arr, dtype, mode, policy, entries)
            assert same(result, expected, dtype)
            plain = call(function, arr, dtype, mode, policy, None)
            assert plain.view(BITS_DTYPE[dtype]).tolist() == arr.view(
                BITS_DTYPE[dtype]).tolist()


def test_float16_identity_copies_every_pattern():
    patterns = np.arange(65536, dtype=np.uint16)
    arr = patterns.view(np.float16)
    for mode in ROUNDING_MODES:
        for policy in OUT_OF_RANGE_MODES:
            result = cast_array(arr, target_dtype="float16", rounding_mode=mode,
                                out_of_range_mode=policy)
            assert np.array_equal(result.view(np.uint16), patterns)
            out = np.zeros(65536, dtype=np.float16)
            cast_array_into(arr, out, rounding_mode=mode, out_of_range_mode=policy)
            assert np.array_equal(out.view(np.uint16), patterns)


@pytest.mark.parametrize("target", ["float32", "float64"])
def test_float16_widening_of_every_pattern_is_exact(target):
    patterns = np.arange(65536, dtype=np.uint16)
    arr = patterns.view(np.float16)
    with np.errstate(invalid="ignore"):  # Arm flags the signalling NaNs
        expected = arr.astype(target)  # exact in both directions
    for mode in ROUNDING_MODES:
        result = cast_array(arr, target_dtype=target, rounding_mode=mode)
        nan = np.isnan(expected)
        assert np.array_equal(np.isnan(result), nan)
        bits = BITS_DTYPE[target]
        assert np.array_equal(result[~nan].view(bits), expected[~nan].view(bits))
        # The sign of a NaN survives the widening.
        assert np.array_equal(np.signbit(result), np.signbit(expected))


# ------------------------------------------------------------- literal cases

F32_MAX = float(np.finfo(np.float32).max)
RANGE_TAIL = ". Set out_of_range='clamp' or out_of_range='wrap' to handle this."

# (source, target, value, mode, policy, expected value or error text)
LITERAL_CASES = [
    ("float64", "uint8", 300.0, "nearest-even", None, "Value 300 out of range [0, 255]"
     + RANGE_TAIL),
    ("float64", "uint8", 300.0, "nearest-even", "clamp", 255),
    ("float64", "uint8", 300.0, "nearest-even", "wrap", 44),
    ("float64", "uint8", -1.0, "nearest-even", "wrap", 255),
    ("float64", "uint8", 256.0, "nearest-even", "wrap", 0),
    ("float64", "int8", 200.0, "nearest-even", "wrap", -56),
    ("float64", "int8", 128.0, "nearest-even", "wrap", -128),
    ("float64", "int8", -129.0, "nearest-even", "wrap", 127),
    ("float64", "uint8", 255.5, "nearest-even", None, oor(256, 0, 255)),
    ("float64", "uint8", 255.5, "towards-zero", None, 255),
    ("float64", "uint8", -0.5, "towards-zero", None, 0),
    ("float64", "uint8", -0.5, "towards-negative", None, oor(-1, 0, 255)),
    ("float64", "uint8", -0.3, "nearest-even", None, 0),
    ("float64", "uint8", -0.6, "nearest-even", None, oor(-1, 0, 255)),
    ("float64", "uint8", 255.4, "towards-zero", None, 255),
    ("float64", "uint8", 255.4, "nearest-even", None, 255),
    ("float64", "uint8", 255.4, "towards-positive", None, oor(256, 0, 255)),
    ("float64", "uint8", 300.0, "nearest-even", None, oor(300, 0, 255)),
    # Nearest-away is exact: the greatest value below one half rounds to zero.
    ("float64", "int8", 0.49999999999999994, "nearest-away", None, 0),
    ("float32", "int8", 0.4999999701976776, "nearest-away", None, 0),
    ("float16", "int8", 0.499755859375, "nearest-away", None, 0),
    ("float64", "int64", 4503599627370497.0, "nearest-away", None, 4503599627370497),
    ("float32", "int32", 8388609.0, "nearest-away", None, 8388609),
    ("float64", "int8", 0.5, "nearest-away", None, 1),
    ("float64", "int8", -0.5, "nearest-away", None, -1),
    # Infinities and NaN.
    ("float32", "int8", math.inf, "nearest-even", "clamp", 127),
    ("float32", "int8", math.inf, "nearest-even", "wrap", nonfinite(math.inf)),
    ("float32", "int8", -math.inf, "nearest-even", "wrap", nonfinite(-math.inf)),
    ("float32", "int8", math.inf, "nearest-even", None, oor(math.inf, -128, 127)),
    ("float64", "int8", math.nan, "nearest-even", None,
     "Cannot cast NaN to integer type without scalar_map"),
    ("float64", "int8", math.nan, "nearest-even", "clamp",
     "Cannot cast NaN to integer type without scalar_map"),
    ("float32", "uint8", math.nan, "towards-zero", "wrap",
     "Cannot cast NaN to integer type without scalar_map"),
    ("float16", "uint16", math.inf, "nearest-even", "clamp", 65535),
    ("float64", "int64", -math.inf, "nearest-even", "clamp", -(2**63)),
    ("float64", "int8", 300.0, "nearest-even", "clamp", 127),
    # The range test is exact against the target's true limits.
    ("float16", "uint16", math.inf, "nearest-even", None, oor(math.inf, 0, 65535)),
    ("float16", "int32", math.inf, "nearest-even", None,
     oor(math.inf, -2147483648, 2147483647)),
    ("float16", "int64", -math.inf, "nearest-even", None,
     oor(-math.inf, -(2.0**63), 2.0**63)),
    ("float16", "uint32", -math.inf, "nearest-even", None, oor(-math.inf, 0, 4294967295)),
    ("float32", "int32", 2147483648.0, "nearest-even", None,
     "Value 2147483648 out of range [-2147483648, 2147483647]" + RANGE_TAIL),
    ("float64", "int32", 2147483648.0, "nearest-even", None,
     "Value 2147483648 out of range [-2147483648, 2147483647]" + RANGE_TAIL),
    ("float32", "int32", 2147483904.0, "nearest-even", None,
     oor(2147483904, -2147483648, 2147483647)),
    ("float32", "int32", -2147483648.0, "nearest-even", None, -2147483648),
    ("float32", "int32", 2147483648.0, "nearest-even", "clamp", 2147483647),
    ("float32", "int32", 2147483648.0, "nearest-even", "wrap", -2147483648),
    ("float64", "int32", 2147483647.4, "nearest-even", None, 2147483647),
    ("float64", "int32", 2147483647.5, "nearest-even", None,
     oor(2147483648, -2147483648, 2147483647)),
    ("float64", "int32", 2147483647.5, "towards-zero", None, 2147483647),
    ("float64", "int32", -2147483648.5, "nearest-even", None, -2147483648),
    ("float64", "int32", -2147483648.5, "towards-negative", None,
     oor(-2147483649, -2147483648, 2147483647)),
    ("float64", "int32", 2147483647.5, "nearest-even", "clamp", 2147483647),
    ("float64", "int32", math.inf, "nearest-even", "clamp", 2147483647),
    ("float64", "int32", -math.inf, "towards-zero", "clamp", -2147483648),
    ("float64", "int64", 9223372036854775808.0, "nearest-even", None,
     "Value 9223372036854776000 out of range [-9223372036854776000, 9223372036854776000]"
     + RANGE_TAIL),
    ("float64", "uint64", 18446744073709551616.0, "nearest-even", None,
     "Value 18446744073709552000 out of range [0, 18446744073709552000]" + RANGE_TAIL),
    ("float64", "uint64", 18446744073709549568.0, "nearest-even", None,
     18446744073709549568),
    ("float16", "int16", 32768.0, "nearest-even", None,
     "Value 32768 out of range [-32768, 32767]" + RANGE_TAIL),
    ("float16", "int16", 32800.0, "nearest-even", None, oor(32800, -32768, 32767)),
    ("float16", "int16", 32768.0, "nearest-even", "clamp", 32767),
    ("float32", "uint32", -0.6000000238418579, "nearest-even", None, oor(-1, 0, 4294967295)),
    ("float16", "uint64", -1.0, "nearest-even", None,
     "Value -1 out of range [0, 18446744073709552000]" + RANGE_TAIL),
    # Wrap is the exact reduction modulo 2 to the target's width.
    ("float64", "int8", 2.0**60, "nearest-even", "wrap", 0),
    ("float64", "int8", 2.0**52 + 128.0, "nearest-even", "wrap", -128),
    ("float64", "uint16", -(2.0**62) - 1024.0, "towards-zero", "wrap", 64512),
    ("float32", "int32", 2.0**40 + 2.0**20, "nearest-even", "wrap", 2**20),
    ("float16", "int8", 65376.0, "nearest-even", "wrap", 96),
    ("float16", "int8", 65504.0, "nearest-even", "wrap", -32),
    ("float16", "int8", -300.0, "nearest-even", "wrap", -44),
    ("float16", "uint8", -300.0, "nearest-even", "wrap", 212),
    ("float16", "int16", 32768.0, "nearest-even", "wrap", -32768),
    ("float16", "int16", 65504.0, "nearest-even", "wrap", -32),
    ("float16", "int16", -40000.0, "nearest-even", "wrap", 25536),
    ("float16", "uint16", -1.0, "nearest-even", "wrap", 65535),
    ("float16", "uint32", -2.0, "nearest-even", "wrap", 4294967294),
    ("float16", "uint64", -1.0, "nearest-even", "wrap", 2**64 - 1),
    ("float16", "int32", math.inf, "nearest-even", "wrap", nonfinite(math.inf)),
    # Integers into float16 and float32, decided on the exact integer.
    ("int16", "float16", 2049, "nearest-even", None, 2048.0),
    ("int16", "float16", 2049, "towards-zero", None, 2048.0),
    ("int16", "float16", 2049, "towards-negative", None, 2048.0),
    ("int16", "float16", 2049, "towards-positive", None, 2050.0),
    ("int16", "float16", 2049, "nearest-away", None, 2050.0),
    ("uint16", "float16", 65519, "nearest-even", None, 65504.0),
    ("uint16", "float16", 65519, "nearest-away", None, 65504.0),
    ("uint16", "float16", 65519, "towards-zero", None, 65504.0),
    ("uint16", "float16", 65519, "towards-positive", None, math.inf),
    ("uint16", "float16", 65520, "nearest-even", None, math.inf),
    ("uint16", "float16", 65520, "nearest-away", None, math.inf),
    ("uint16", "float16", 65520, "towards-positive", None, math.inf),
    ("uint16", "float16", 65520, "towards-zero", None, 65504.0),
    ("uint16", "float16", 65520, "towards-negative", None, 65504.0),
    ("int32", "float16", -70000, "nearest-even", None, -math.inf),
    ("int32", "float16", -70000, "nearest-away", None, -math.inf),
    ("int32", "float16", -70000, "towards-negative", None, -math.inf),
    ("int32", "float16", -70000, "towards-zero", None, -65504.0),
    ("int32", "float16", -70000, "towards-positive", None, -65504.0),
    ("int32", "float32", 16777217, "nearest-even", None, 16777216.0),
    ("int32", "float32", 16777217, "towards-zero", None, 16777216.0),
    ("int32", "float32", 16777217, "towards-positive", None, 16777218.0),
    ("int32", "float32", 16777217, "nearest-away", None, 16777218.0),
    ("int32", "float32", -16777217, "towards-positive", None, -16777216.0),
    ("int32", "float32", -16777217, "towards-negative", None, -16777218.0),
    ("int32", "float32", -16777217, "nearest-away", None, -16777218.0),
    ("int64", "float32", 2**60 + 1, "nearest-even", None, float(2**60)),
    ("int64", "float32", 2**60 + 1, "towards-zero", None, float(2**60)),
    ("int64", "float32", 2**60 + 1, "towards-positive", None, float(2**60 + 2**37)),
    ("int64", "float32", 2**60 + 1, "nearest-away", None, float(2**60)),
    ("int64", "float32", 18014399583223807, "nearest-away", None, 18014398509481984.0),
    ("int64", "float32", 18014399583223807, "nearest-even", None, 18014398509481984.0),
    ("int64", "float32", 18014399583223807, "towards-positive", None, 18014400656965632.0),
    ("int64", "float32", 2**54 + 2**30, "nearest-away", None, 18014400656965632.0),
    ("uint64", "float32", 2**64 - 1, "towards-zero", None, 18446742974197923840.0),
    ("uint64", "float32", 2**64 - 1, "towards-negative", None, 18446742974197923840.0),
    ("uint64", "float32", 2**64 - 1, "nearest-even", None, 2.0**64),
    ("uint64", "float32", 2**64 - 1, "towards-positive", None, 2.0**64),
    ("int64", "float32", 2**63 - 1, "towards-zero", None, float(2**63 - 2**39)),
    ("int64", "float32", -(2**63) + 1, "towards-negative", None, -(2.0**63)),
    ("int64", "float32", -(2**63) + 1, "towards-zero", None, -float(2**63 - 2**39)),
    ("int64", "float16", 2**62, "towards-zero", None, 65504.0),
    ("uint64", "float16", 2**64 - 1, "towards-positive", None, math.inf),
    # int64 and uint64 into float64 round by the mode.
    ("uint64", "float64", 2**64 - 1, "towards-zero", None, 18446744073709549568.0),
    ("uint64", "float64", 2**64 - 1, "nearest-even", None, 2.0**64),
    ("int64", "float64", 2**53 + 1, "nearest-even", None, float(2**53)),
    ("int64", "float64", 2**53 + 1, "towards-positive", None, float(2**53 + 2)),
    ("int64", "float64", 2**53 + 1, "nearest-away", None, float(2**53 + 2)),
    ("int64", "float64", 2**53 + 1, "towards-zero", None, float(2**53)),
    ("int64", "float64", 2**53 + 3, "nearest-even", None, float(2**53 + 4)),
    ("int64", "float64", -(2**53) - 1, "towards-negative", None, -float(2**53 + 2)),
    ("int64", "float64", 2**63 - 1, "nearest-even", None, 2.0**63),
    ("int64", "float64", 2**63 - 1, "towards-zero", None, float(2**63 - 1024)),
    ("int64", "float64", -(2**63), "towards-zero", None, -(2.0**63)),
    ("uint32", "float64", 4294967295, "towards-zero", None, 4294967295.0),
    ("int32", "float64", -2147483648, "towards-positive", None, -2147483648.0),
    ("int8", "float32", -128, "towards-positive", None, -128.0),
    ("uint16", "float32", 65535, "towards-zero", None, 65535.0),
    # Float narrowing.
    ("float64", "float32", 1e39, "nearest-even", None,
     "Value 1000000000000000000000000000000000000000 out of range "
     "[-340282346638528860000000000000000000000, 340282346638528860000000000000000000000]"
     + RANGE_TAIL),
    ("float64", "float32", 1e39, "nearest-even", "wrap",
     "Value 1000000000000000000000000000000000000000 out of range "
     "[-340282346638528860000000000000000000000, 340282346638528860000000000000000000000]"
     + RANGE_TAIL),
    ("float64", "float32", 1e39, "nearest-even", "clamp", math.inf),
    ("float64", "float32", 1e39, "towards-zero", None, F32_MAX),
    ("float64", "float32", 1e39, "towards-negative", "wrap", F32_MAX),
    ("float64", "float32", 3.4028235e38, "nearest-even", None, F32_MAX),
    ("float64", "float32", 3.4028235e38, "towards-positive", None,
     oor(3.4028235e38, -F32_MAX, F32_MAX)),
    ("float64", "float32", 3.4028235e38, "towards-positive", "clamp", math.inf),
    ("float64", "float32", -1e39, "towards-positive", None, -F32_MAX),
    ("float64", "float32", 3.4028235677973366e38, "nearest-even", "clamp", math.inf),
    ("float64", "float32", 3.4028235677973362e38, "nearest-even", None, F32_MAX),
    ("float32", "float16", 65519.0, "nearest-even", None, 65504.0),
    ("float32", "float16", 65520.0, "nearest-even", None, oor(65520, -65504, 65504)),
    ("float32", "float16", 65520.0, "nearest-even", "clamp", math.inf),
    ("float32", "float16", 70000.0, "nearest-even", None,
     "Value 70000 out of range [-65504, 65504]" + RANGE_TAIL),
    ("float32", "float16", 100000.0, "nearest-even", None,
     "Value 100000 out of range [-65504, 65504]" + RANGE_TAIL),
    ("float32", "float16", 100000.0, "nearest-even", "clamp", math.inf),
    ("float32", "float16", -100000.0, "towards-positive", None, -65504.0),
    ("float32", "float16", 65505.0, "towards-positive", "wrap", oor(65505, -65504, 65504)),
    ("float64", "float16", 65519.999, "nearest-even", None, oor(65519.999, -65504, 65504)),
    ("float64", "float16", 65519.999, "towards-zero", None, 65504.0),
    ("float64", "float16", 65520.0, "nearest-even", None, oor(65520, -65504, 65504)),
    ("float64", "float16", 65519.0, "nearest-even", None, 65504.0),
    ("float64", "float16", 1.0004882812509095, "nearest-even", None, 1.0),
    ("float64", "float16", 1.0004882812509095, "nearest-away", None, 1.0),
    ("float64", "float16", 1.0004882812509095, "towards-positive", None, 1.0009765625),
    ("float64", "float16", 1.00048828125, "nearest-away", None, 1.0009765625),
    ("float64", "float16", 1.00048828125, "nearest-even", None, 1.0),
    ("float64", "float32", 1e-50, "nearest-even", None, 0.0),
    ("float64", "float32", 1e-50, "towards-positive", None, 2.0**-149),
    ("float64", "float32", -1e-50, "nearest-even", None, -0.0),
    ("float64", "float32", -1e-50, "towards-negative", None, -(2.0**-149)),
    ("float64", "float32", -1e-50, "towards-zero", None, -0.0),
    ("float64", "float32", 2.0**-150, "nearest-even", None, 0.0),
    ("float64", "float32", 2.0**-150, "nearest-away", None, 2.0**-149),
    ("float64", "float16", -0.0, "towards-negative", None, -0.0),
    ("float64", "float32", math.inf, "nearest-even", None, math.inf),
    ("float64", "float16", -math.inf, "towards-zero", "wrap", -math.inf),
    ("float32", "float16", math.nan, "towards-positive", None, math.nan),
    # Widening is exact under every mode.
    ("float16", "float32", 2.0**-24, "towards-zero", None, 2.0**-24),
    ("float16", "float64", 65504.0, "towards-positive", None, 65504.0),
    ("float32", "float64", 0.10000000149011612, "towards-negative", None,
     0.10000000149011612),
]


@pytest.mark.parametrize("source, target, value, mode, policy, expected", LITERAL_CASES)
@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
def test_literal_cases(function, source, target, value, mode, policy, expected):
    arr = np.array([value], dtype=source)
    assert reference.python_values(arr) == [value] or math.isnan(value), \
        "the literal must be exact in the source type"
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            call(function, arr, target, mode, policy, None)
        assert str(info.value) == expected
        return
    result = call(function, arr, target, mode, policy, None)
    assert reference.same_elements(result, [expected], target), result


def test_literal_cases_agree_with_the_reference():
    """The hand-written expectations and the exact reference tell the same story."""
    for source, target, value, mode, policy, expected in LITERAL_CASES:
        got = reference.convert(value, source, target, mode, policy)
        if isinstance(expected, str):
            assert got == reference.Failure(expected), (source, target, value, mode)
        elif isinstance(expected, float) and math.isnan(expected):
            assert math.isnan(got)
        else:
            assert got == expected and (not isinstance(expected, float) or math.copysign(
                1, got) == math.copysign(1, expected)), (source, target, value, mode)


@pytest.mark.parametrize("source", FLOAT_TYPES)
@pytest.mark.parametrize("target", ["int8", "uint8", "int32", "int64"])
def test_ties_under_each_mode(source, target):
    arr = np.array([2.5, -2.5, 0.5, -0.5, 1.5], dtype=source)
    expected = {
        "nearest-even": [2, -2, 0, 0, 2],
        "towards-zero": [2, -2, 0, 0, 1],
        "towards-positive": [3, -2, 1, 0, 2],
        "towards-negative": [2, -3, 0, -1, 1],
        "nearest-away": [3, -3, 1, -1, 2],
    }
    for mode, values in expected.items():
        if target.startswith("u"):
            values = [max(v, 0) for v in values]
        result = cast_array(arr, target_dtype=target, rounding_mode=mode,
                            out_of_range_mode="clamp")
        assert result.tolist() == values, mode


# --------------------------------------------------------------- scalar maps

MAP_CASES = [
    # (source, target, elements, entries, expected)
    ("float64", "float64", [0.0, -0.0, 1.0], [(-0.0, 9.0)], [9.0, 9.0, 1.0]),
    ("float32", "float32", [0.0, -0.0, math.nan, 2.0], [(0.0, 5.0)], [5.0, 5.0, math.nan, 2.0]),
    ("float64", "float64", [math.nan, 1.0, -math.nan], [(math.nan, 1.0), (math.nan, 2.0)],
     [1.0, 1.0, 1.0]),
    ("float64", "float64", [math.inf, -math.inf], [(math.inf, 0.0)], [0.0, -math.inf]),
    ("float32", "float32", [float(np.float32(0.1)), 0.1], [(0.1, 7.0)], [7.0, 7.0]),
    ("float64", "int8", [1.0, math.nan, 300.0], [(1.0, 5), (math.nan, -1), (300.0, 7)],
     [5, -1, 7]),
    ("float64", "uint8", [300.0], [(300.0, 7)], [7]),
    ("float32", "int16", [math.inf, -math.inf], [(math.inf, 1), (-math.inf, 2)], [1, 2]),
    ("float16", "float16", [0.0, -0.0], [(-0.0, 3.0)], [3.0, 3.0]),
    ("float16", "uint8", [math.inf, -math.inf], [(math.inf, 9)], None),
    ("int8", "float64", [1, 2, 1], [(1, 10.5), (1, 20.0)], [10.5, 2.0, 10.5]),
    ("int8", "float64", [3, 4], [(3, math.nan), (4, -0.0)], [math.nan, -0.0]),
    ("int64", "float32", [2**60 + 1], [(2**60 + 1, 1.0)], [1.0]),
    ("uint16", "float16", [65520, 7], [(65520, 0.5)], [0.5, 7.0]),
    ("float64", "float32", [1e39, 2.0], [(1e39, -1.0)], [-1.0, 2.0]),
    ("float32", "float16", [1.0, 1e6], [(1.0, 2.0), (1.0, 3.0), (1e6, 65504.0)],
     [2.0, 65504.0]),
    ("float64", "float64", [1.0, 2.0], [(2.0, 1.0), (1.0, 3.0)], [3.0, 1.0]),
    ("float32", "float64", [math.inf], [(1e39, 4.0)], [4.0]),
    ("float16", "int32", [0.0999755859375], [(0.1, 1), (0.10000001, 2)], [1]),
]


@pytest.mark.parametrize("source, target, elements, entries, expected", MAP_CASES)
@pytest.mark.parametrize("mode", ["nearest-even", "towards-zero"])
@pytest.mark.parametrize("function", ["cast_array", "cast_array_into"])
def test_scalar_map_cases(function, mode, source, target, elements, entries, expected):
    arr = np.array(elements, dtype=source)
    if expected is None:  # an unmatched -inf under the absent policy
        with pytest.raises(ValueError, match="^Value -inf out of range"):
            call(function, arr, target, mode, None, entries)
        return
    result = call(function, arr, target, mode, None, entries)
    assert reference.same_elements(result, expected, target), result


def test_float16_map_on_bit_patterns():
    elements = np.array([0x0000, 0x8000, 0x7C01, 0xFE00, 0x7C00, 0xFC00, 0x3C00],
                        dtype=np.uint16).view(np.float16)
    entries = [(-0.0, 1), (float("nan"), 2), (float("inf"), 3)]
    for target in ["float16", "float32", "int8"]:
        result = cast_array(elements, target_dtype=target, rounding_mode="nearest-even",
                            out_of_range_mode="clamp", scalar_map_entries=entries)
        expected = [1, 1, 2, 2, 3, -128 if target == "int8" else -math.inf, 1]
        assert reference.same_elements(result, expected, target), (target, result)


@pytest.mark.parametrize("source, target", F2F + F2I)
def test_first_entry_wins_in_every_float_pair(source, target):
    # Long enough for the vector loops, with two entries for 1.0 and two for NaN.
    arr = np.array([1.0, 4.0, math.nan] * 40, dtype=source)
    result = cast_array(arr, target_dtype=target, rounding_mode="towards-positive",
                        out_of_range_mode="clamp",
                        scalar_map_entries=[(1.0, 2), (math.nan, 5), (1.0, 3), (-math.nan, 6)])
    assert result.tolist() == [2, 4, 5] * 40


@pytest.mark.parametrize("source, target", FLOAT_PAIRS)
def test_empty_maps_equal_no_map(source, target):
    arr = inputs_for(source, target)

    def outcome(entries):
        try:
            return "ok", cast_array(arr, target_dtype=target, rounding_mode="towards-zero",
                                    out_of_range_mode="clamp",
                                    scalar_map_entries=entries).tobytes()
        except ValueError as error:
            return "error", str(error)

    base = outcome(None)
    for empty in ([], {}, (), iter([]), "", b""):
        assert outcome(empty) == base


@pytest.mark.parametrize("source, target", F2I)
def test_nan_entry_with_any_payload_catches_every_nan(source, target):
    arr = np.array(NAN_PATTERNS[source] + [0], dtype=BITS_DTYPE[source]).view(source)
    payload_nan = reference.float64_with_bits(0x7FF0000000000ABC)
    for nan_key in (float("nan"), -float("nan"), payload_nan):
        for policy in OUT_OF_RANGE_MODES:
            result = cast_array(arr, target_dtype=target, rounding_mode="nearest-even",
                                out_of_range_mode=policy, scalar_map_entries={nan_key: 3})
            assert result.tolist() == [3] * len(NAN_PATTERNS[source]) + [0]


# ------------------------------------------------ what `out` holds on failure

# Narrowing towards zero never overflows, so it has no failing element.
FAILING_COMBINATIONS = [(s, t, m) for s, t in F2I + NARROWING for m in ROUNDING_MODES
                        if t in INT_TYPES or m != "towards-zero"]


@pytest.mark.parametrize("source, target, mode", FAILING_COMBINATIONS)
def test_failure_in_scalar_loop_keeps_earlier_writes_only(source, target, mode):
    """With a (non-matching) map every pair runs its element loop: elements
    before the failing one are written, the rest of `out` is untouched."""
    if target in INT_TYPES:
        bad = math.nan
    else:
        bad = float(np.finfo(source).max) * (-1 if mode == "towards-negative" else 1)
    values = [1.0, 2.0, 3.0, 1.0, 0.0, 2.0, 3.0, 1.0, 2.0, 1.0, bad, 1.0, 2.0, 3.0, bad, 1.0,
              1.0]
    arr = np.array(values, dtype=source)
    fill = 5
    out = np.full(arr.size, fill, dtype=target)
    with pytest.raises(ValueError):
        cast_array_into(arr, out, rounding_mode=mode, scalar_map_entries=[(100.0, 1)])
    assert out.tolist() == values[:10] + [fill] * 7


def converted_or_untouched(out, before, expected, failing, step):
    """The vector paths may leave the failing step unwritten, or (float64 to
    float32) write every element; whole steps before it are always written."""
    first_unsure = failing - failing % step
    for i in range(out.size):
        got = out[i]
        if i < first_unsure:
            assert reference.same_elements(out[i:i + 1], [expected[i]], out.dtype.name), i
        elif not np.array_equal(got, before[i]):
            assert reference.same_elements(out[i:i + 1], [expected[i]], out.dtype.name), i


STEPS = {("float64", "uint8"): 8, ("float32", "uint8"): 8, ("float64", "int32"): 2,
         ("float64", "float32"): 1, ("float16", "int8"): 1, ("float32", "int32"): 1,
         ("float32", "uint32"): 1}
# A narrowing fails only by overflow, which "clamp" and "towards-zero" never report.
FAST_PATH_FAILURES = [(s, t, STEPS[s, t], m, p) for s, t in STEPS for m in ROUNDING_MODES
                      for p in OUT_OF_RANGE_MODES
                      if t in INT_TYPES or (p != "clamp" and m != "towards-zero")]


@pytest.mark.parametrize("source, target, step, mode, policy", FAST_PATH_FAILURES)
@pytest.mark.parametrize("failing", [0, 1, 7, 8, 9, 10, 16, 17])
def test_failure_without_map_writes_at_most_the_converted_values(source, target, step, mode,
                                                                 policy, failing):
    n = 18
    values = [float(i % 7) + 0.25 for i in range(n)]
    if target in INT_TYPES:
        bad = math.nan
    else:
        bad = -1e39 if mode == "towards-negative" else 1e39
    values[failing] = bad
    arr = np.array(values, dtype=source)
    before = np.full(n, 99, dtype=target)
    out = before.copy()
    with pytest.raises(ValueError) as info:
        cast_array_into(arr, out, rounding_mode=mode, out_of_range_mode=policy)
    expected_text = reference.convert(bad, source, target, mode, policy).text
    assert str(info.value) == expected_text
    written = [reference.float_to_float_value(v, source, target, mode) if target in FLOAT_TYPES
               else reference.round_to_integer(Fraction(v), mode) if v == v else 0
               for v in values]
    converted_or_untouched(out, before, written, failing, step)


def test_float64_to_float32_fast_path_or_element_loop_after_overflow():
    arr = np.array([1.0, 1e39, 2.0], dtype=np.float64)
    out = np.array([7.0, 7.0, 7.0], dtype=np.float32)
    with pytest.raises(ValueError, match="^Value 1000000000000000000000000000000000000000 "):
        cast_array_into(arr, out, rounding_mode="nearest-even")
    assert out.tolist() in ([1.0, math.inf, 2.0], [1.0, 7.0, 7.0])
    out = np.array([7.0, 7.0, 7.0], dtype=np.float32)
    with pytest.raises(ValueError, match="^Value 1000000000000000000000000000000000000000 "):
        cast_array_into(arr, out, rounding_mode="nearest-even", scalar_map_entries=[(5.0, 5.0)])
    assert out.tolist() == [1.0, 7.0, 7.0]


def test_first_failure_in_element_order_float64_to_int32():
    for values, text in [
        ([3000000000.0, math.nan], oor(3000000000, -2147483648, 2147483647)),
        ([1.0, math.nan], "Cannot cast NaN to integer type without scalar_map"),
        ([1.0, 2.0, math.nan, 5e9], "Cannot cast NaN to integer type without scalar_map"),
        ([1.0, 2.0, 2147483647.5, math.nan], oor(2147483648, -2147483648, 2147483647)),
    ]:
        for mode in ["nearest-even", "towards-zero", "towards-positive"]:
            if mode == "towards-zero" and values[2:3] == [2147483647.5]:
                continue
            with pytest.raises(ValueError) as info:
                cast_array(np.array(values), target_dtype="int32", rounding_mode=mode)
            assert str(info.value) == text


VECTOR_PATH_VALUES = {
    ("float64", "uint8", "clamp"): [255.5, 254.5, -0.4, -1e30, math.inf, -math.inf, 3.5, 2.5,
                                    0.5, 100.7, 300.0, -2.5, 1e300, 127.5, 128.5, -0.0, 7.0],
    ("float32", "uint8", "clamp"): [255.5, 254.5, -0.4, -1e30, math.inf, -math.inf, 3.5, 2.5,
                                    0.5, 100.75, 300.0, -2.5, 1e30, 127.5, 128.5, -0.0, 7.0],
    ("float64", "int32", "clamp"): [2147483647.5, -2147483648.5, 1e10, -1e10, 2.5, -3.5,
                                    math.inf, -math.inf, 0.5, -0.5],
    ("float64", "int32", None): [2147483647.0, -2147483648.0, 2147483646.5, -2147483647.5,
                                 2.5, -3.5, 0.5, -0.5, 1e9 + 0.5, -7.25],
    ("float64", "float32", None): [1.0, 0.1, -2.5e38, 3.4028235e38, 1e-46, -1e-40, math.inf,
                                   -math.inf, math.nan, -0.0, 1 + 2**-24, 1 + 3 * 2**-24],
    ("float64", "float32", "clamp"): [1e39, -1e39, 3.4028235677973366e38, 0.1, math.nan,
                                      1e-46, 2.0**-150, -(2.0**-150)],
}


@pytest.mark.parametrize("source, target, policy", list(VECTOR_PATH_VALUES))
@pytest.mark.parametrize("mode", ["nearest-even", "towards-zero", "towards-positive",
                                  "towards-negative"])
def test_every_length_of_the_vector_paths(source, target, policy, mode):
    """Lengths around the vector steps (8 for uint8, 2 for int32, 10 for
    float32) give element for element the exact result."""
    pool = VECTOR_PATH_VALUES[(source, target, policy)]
    for length in range(0, 24):
        values = [pool[(i * 7 + length) % len(pool)] for i in range(length)]
        arr = np.array(values, dtype=source)
        results, _, failure = expected_results(arr, source, target, mode, policy, [])
        if failure is not None:
            with pytest.raises(ValueError) as info:
                cast_array(arr, target_dtype=target, rounding_mode=mode,
                           out_of_range_mode=policy)
            assert str(info.value) == failure.text
            continue
        result = cast_array(arr, target_dtype=target, rounding_mode=mode,
                            out_of_range_mode=policy)
        assert same(result, results, target), (length, reference.mismatches(
            result, results, target, values))
        out = np.full(length + 3, 9, dtype=target)
        cast_array_into(arr, out[:length], rounding_mode=mode, out_of_range_mode=policy)
        assert same(out[:length], results, target)
        assert out[length:].tolist() == [9, 9, 9]


@pytest.mark.parametrize("source, target", F2I + NARROWING)
def test_allocating_call_that_fails_on_its_last_element_returns_nothing(source, target):
    bad = math.nan if target in INT_TYPES else float(np.finfo(source).max)
    arr = np.array([1.0] * 9 + [bad], dtype=source)
    with pytest.raises(ValueError):
        cast_array(arr, target_dtype=target, rounding_mode="nearest-even")


# ----------------------------------------------------------- property tests

def bit_arrays(dtype, max_size=24):
    return hnp.arrays(BITS_DTYPE[dtype], st.integers(1, max_size)).map(
        lambda a: a.view(dtype))


def finite_floats(dtype, lo=None, hi=None):
    width = np.dtype(dtype).itemsize * 8
    biggest = float(np.finfo(dtype).max)
    lo = -biggest if lo is None else lo
    hi = biggest if hi is None else hi
    return st.floats(min_value=lo, max_value=hi, width=width, allow_nan=False,
                     allow_infinity=False)


def float_arrays(dtype, max_size=24):
    """Arrays of `dtype` mixing raw bit patterns with values of every scale."""
    return st.one_of(
        bit_arrays(dtype, max_size),
        hnp.arrays(dtype, st.integers(1, max_size), elements=finite_floats(dtype)),
        hnp.arrays(dtype, st.integers(1, max_size),
                   elements=st.integers(-300, 300).map(lambda v: v / 4)),
    )


def assert_float_arrays_equal(result, expected):
    nan = np.isnan(expected)
    assert np.array_equal(np.isnan(result), nan)
    bits = BITS_DTYPE[result.dtype.name]
    assert np.array_equal(result[~nan].view(bits), expected[~nan].view(bits)), (
        result[~nan], expected[~nan])


@pytest.mark.parametrize("source, target", F2F)
@given(data=st.data())
def test_property_nearest_even_float_pairs_match_numpy(source, target, data):
    arr = data.draw(float_arrays(source))
    with np.errstate(over="ignore", invalid="ignore"):
        if (source, target) == ("float64", "float16"):
            expected = arr.astype(np.float32).astype(np.float16)
        else:
            expected = arr.astype(target)
    result = cast_array(arr, target_dtype=target, rounding_mode="nearest-even",
                        out_of_range_mode="clamp")
    if source == target:
        assert np.array_equal(result.view(BITS_DTYPE[target]), arr.view(BITS_DTYPE[source]))
    else:
        assert_float_arrays_equal(result, expected)


def check_against_reference(arr, source, target, mode, policy, entries=None):
    results, failing, failure = expected_results(arr, source, target, mode, policy,
                                                 entries or [])
    if failure is not None:
        with pytest.raises(ValueError) as info:
            cast_array(arr, target_dtype=target, rounding_mode=mode, out_of_range_mode=policy,
                       scalar_map_entries=entries)
        assert str(info.value) == failure.text
        return
    result = cast_array(arr, target_dtype=target, rounding_mode=mode, out_of_range_mode=policy,
                        scalar_map_entries=entries)
    assert same(result, results, target), reference.mismatches(
        result, [float(r) if target in FLOAT_TYPES else r for r in results], target,
        reference.python_values(arr))
    out = np.zeros_like(result)
    cast_array_into(arr, out, rounding_mode=mode, out_of_range_mode=policy,
                    scalar_map_entries=entries)
    assert np.array_equal(out.view(np.uint8), result.view(np.uint8))


@pytest.mark.parametrize("mode", ROUNDING_MODES)
@pytest.mark.parametrize("source, target", F2F)
@given(data=st.data())
def test_property_float_pairs_against_exact_arithmetic(source, target, mode, data):
    arr = data.draw(float_arrays(source))
    policy = data.draw(st.sampled_from(OUT_OF_RANGE_MODES))
    check_against_reference(arr, source, target, mode, policy)


NUMPY_ROUNDING = {"nearest-even": np.rint, "towards-zero": np.trunc,
                  "towards-positive": np.ceil, "towards-negative": np.floor}


def in_range_bounds(source, target):
    """The least and greatest `source` values inside the target's range."""
    lo, hi = int_limits(target)
    sdt = np.dtype(source).type
    biggest = float(np.finfo(source).max)
    low = sdt(max(lo, -biggest))
    if float(low) < lo:
        low = np.nextafter(low, sdt(np.inf))
    high = sdt(min(hi, biggest))
    if float(high) > hi:
        high = np.nextafter(high, sdt(-np.inf))
    return float(low), float(high)


@pytest.mark.parametrize("source, target", F2I)
@given(data=st.data())
def test_property_in_range_float_to_int_matches_numpy_rounding(source, target, data):
    mode = data.draw(st.sampled_from(list(NUMPY_ROUNDING)))
    low, high = in_range_bounds(source, target)
    arr = data.draw(hnp.arrays(source, st.integers(1, 24),
                               elements=finite_floats(source, low, high)))
    rounded = NUMPY_ROUNDING[mode](arr)
    lo, hi = int_limits(target)
    inside = np.array([lo <= int(v) <= hi for v in rounded.astype(np.float64)])
    arr, rounded = arr[inside], rounded[inside]
    expected = [int(v) for v in rounded.astype(np.float64)]
    policy = data.draw(st.sampled_from(OUT_OF_RANGE_MODES))
    result = cast_array(arr, target_dtype=target, rounding_mode=mode, out_of_range_mode=policy)
    assert result.tolist() == expected


@pytest.mark.parametrize("source, target", F2I)
@given(data=st.data())
def test_property_float_to_int_against_exact_arithmetic(source, target, data):
    mode = data.draw(st.sampled_from(ROUNDING_MODES))
    lo, hi = int_limits(target)
    near_bounds = st.one_of(st.integers(2 * lo - 7, 2 * lo + 7), st.integers(2 * hi - 7, 2 * hi + 7),
                            st.integers(-600, 600)).map(lambda v: v / 2)
    arr = data.draw(st.one_of(
        float_arrays(source),
        hnp.arrays(np.float64, st.integers(1, 24), elements=near_bounds).map(
            lambda a: narrowed(a, source))))
    policy = data.draw(st.sampled_from(OUT_OF_RANGE_MODES))
    check_against_reference(arr, source, target, mode, policy)


def narrowed(arr, dtype):
    with np.errstate(over="ignore"):
        return arr.astype(dtype)


def int_arrays(dtype, max_size=24):
    smin, smax = int_limits(dtype)
    near = st.integers(-(2**25), 2**25).filter(lambda v: smin <= v <= smax)
    return st.one_of(
        hnp.arrays(dtype, st.integers(1, max_size)),
        hnp.arrays(dtype, st.integers(1, max_size), elements=near),
    )


@pytest.mark.parametrize("source, target", I2F)
@given(data=st.data())
def test_property_nearest_even_int_to_float_matches_numpy(source, target, data):
    arr = data.draw(int_arrays(source))
    result = cast_array(arr, target_dtype=target, rounding_mode="nearest-even")
    with np.errstate(over="ignore"):
        expected = arr.astype(target)
    assert_float_arrays_equal(result, expected)


@pytest.mark.parametrize("source, target", I2F)
@given(data=st.data())
def test_property_int_to_float_against_exact_arithmetic(source, target, data):
    mode = data.draw(st.sampled_from(ROUNDING_MODES))
    arr = data.draw(int_arrays(source))
    policy = data.draw(st.sampled_from(OUT_OF_RANGE_MODES))
    check_against_reference(arr, source, target, mode, policy)


@pytest.mark.parametrize("source, target", FLOAT_PAIRS)
@settings(max_examples=10)
@given(data=st.data())
def test_property_scalar_map_first_match_wins(source, target, data):
    arr = inputs_for(source, target)
    picks = data.draw(st.lists(st.integers(0, arr.size - 1), min_size=1, max_size=4))
    values = reference.python_values(arr)
    if target in INT_TYPES:
        tmin, tmax = int_limits(target)
        targets = st.integers(tmin, tmax)
    else:
        targets = st.sampled_from([0.5, -2.0, 0.0, -0.0, 1024.0, float("inf")])
    entries = [(values[i], data.draw(targets)) for i in picks]
    mode = data.draw(st.sampled_from(ROUNDING_MODES))
    policy = data.draw(st.sampled_from(["clamp", "wrap"]))
    if target in FLOAT_TYPES and policy == "wrap":
        policy = "clamp"
    check_against_reference(arr, source, target, mode, policy, entries)

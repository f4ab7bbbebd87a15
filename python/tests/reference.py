"""Independent expected results for the conversions, computed with Python
integers and fractions.Fraction, never with the module's own arithmetic.

Every function here works element by element on Python values: an integer
element is a Python int, a float element a Python float holding exactly the
element's value (float16 and float32 values are exact in a Python float).
A conversion that must fail returns a `Failure` with the ValueError text.
"""

from __future__ import annotations

import math
import struct
from decimal import Decimal
from fractions import Fraction

import numpy as np

INT_TYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
FLOAT_TYPES = ["float16", "float32", "float64"]
ALL_TYPES = INT_TYPES + FLOAT_TYPES
ROUNDING_MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative",
                  "nearest-away"]
OUT_OF_RANGE_MODES = [None, "clamp", "wrap"]

BITS_DTYPE = {"float16": np.uint16, "float32": np.uint32, "float64": np.uint64}

# (precision in bits, least normal exponent, largest finite value)
FLOAT_FORMATS = {
    "float16": (11, -14, Fraction(65504)),
    "float32": (24, -126, Fraction((2**24 - 1) * 2**104)),
    "float64": (53, -1022, Fraction((2**53 - 1) * 2**971)),
}


def is_int(name: str) -> bool:
    return name in INT_TYPES


def int_limits(name: str) -> tuple[int, int]:
    info = np.iinfo(name)
    return int(info.min), int(info.max)


def int_width(name: str) -> int:
    return np.dtype(name).itemsize * 8


def float_max(name: str) -> float:
    return float(FLOAT_FORMATS[name][2])


# ---------------------------------------------------------------- error texts

def display_number(x: float) -> str:
    """Shortest round-trip decimal of a float64, positional, no exponent."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    # repr gives the shortest round-trip digits; Decimal lays them out.
    text = format(Decimal(repr(x)).normalize(), "f")
    return text


def out_of_range_text(value: float, lo: float, hi: float) -> str:
    return (f"Value {display_number(float(value))} out of range "
            f"[{display_number(float(lo))}, {display_number(float(hi))}]. "
            "Set out_of_range='clamp' or out_of_range='wrap' to handle this.")


def non_finite_text(value: float) -> str:
    return f"Cannot cast {display_number(value)} to integer type without scalar_map"


class Failure:
    """An element whose conversion must stop the call with this ValueError text."""

    def __init__(self, text: str):
        self.text = text

    def __repr__(self) -> str:
        return f"Failure({self.text!r})"

    def __eq__(self, other) -> bool:
        return isinstance(other, Failure) and other.text == self.text


# ------------------------------------------------------------ exact rounding

def round_to_integer(q: Fraction, mode: str) -> int:
    floor = math.floor(q)
    rest = q - floor
    if rest == 0:
        return floor
    half = Fraction(1, 2)
    if mode == "towards-zero":
        return floor if q > 0 else floor + 1
    if mode == "towards-positive":
        return floor + 1
    if mode == "towards-negative":
        return floor
    if rest != half:
        return floor + 1 if rest > half else floor
    if mode == "nearest-even":
        return floor if floor % 2 == 0 else floor + 1
    return floor + 1 if q > 0 else floor  # nearest-away


def round_to_float(q: Fraction, name: str, mode: str, zero_negative: bool = False) -> float:
    """The exact rounding of q into float type `name` under `mode`, with the
    IEEE overflow rule: infinity where the mode rounds outward, else the
    largest finite value."""
    precision, emin, largest = FLOAT_FORMATS[name]
    if q == 0:
        return -0.0 if zero_negative else 0.0
    negative = q < 0
    a = -q if negative else q
    e = a.numerator.bit_length() - a.denominator.bit_length()
    if Fraction(2) ** e > a:
        e -= 1
    quantum = max(e, emin) - (precision - 1)
    scaled = a / Fraction(2) ** quantum
    m = math.floor(scaled)
    rest = scaled - m
    if rest:
        half = Fraction(1, 2)
        if mode == "nearest-even":
            up = rest > half or (rest == half and m % 2 == 1)
        elif mode == "nearest-away":
            up = rest >= half
        elif mode == "towards-zero":
            up = False
        elif mode == "towards-positive":
            up = not negative
        else:
            up = negative
        m += up
    magnitude = m * Fraction(2) ** quantum
    if magnitude > largest:
        outward = mode in ("nearest-even", "nearest-away") or (
            mode == "towards-positive" and not negative) or (
            mode == "towards-negative" and negative)
        result = math.inf if outward else float(largest)
    else:
        result = float(magnitude)
    if result == 0:
        return -0.0 if negative else 0.0
    return -result if negative else result


def is_float16_midpoint(q: Fraction) -> bool:
    """True when q lies exactly halfway between two adjacent float16 values."""
    down = round_to_float(q, "float16", "towards-zero")
    up = round_to_float(q, "float16", "nearest-away")
    if down == up or math.isinf(up):
        return False
    return Fraction(down) + Fraction(up) == 2 * q


# ------------------------------------------------------- element conversions

def int_to_int(x: int, source: str, target: str, policy: str | None):
    smin, smax = int_limits(source)
    tmin, tmax = int_limits(target)
    lo, hi = max(smin, tmin), min(smax, tmax)
    if lo <= x <= hi:
        return x
    if policy == "clamp":
        return lo if x < lo else hi
    if policy == "wrap":
        return (x - tmin) % 2 ** int_width(target) + tmin
    return Failure(out_of_range_text(float(x), float(lo), float(hi)))


def float_to_int(x: float, target: str, mode: str, policy: str | None):
    lo, hi = int_limits(target)
    if math.isnan(x):
        return Failure(non_finite_text(x))
    if math.isinf(x):
        if policy == "clamp":
            return hi if x > 0 else lo
        if policy == "wrap":
            return Failure(non_finite_text(x))
        return Failure(out_of_range_text(x, float(lo), float(hi)))
    r = round_to_integer(Fraction(x), mode)
    if lo <= r <= hi:
        return r
    if policy == "clamp":
        return lo if r < lo else hi
    if policy == "wrap":
        return (r - lo) % 2 ** int_width(target) + lo
    return Failure(out_of_range_text(float(r), float(lo), float(hi)))


def int_to_float(x: int, target: str, mode: str) -> float:
    return round_to_float(Fraction(x), target, mode)


def float_to_float_value(x: float, source: str, target: str, mode: str) -> float:
    """The value a float-to-float conversion writes, overflow included (what
    "clamp" writes); NaN stays NaN."""
    if math.isnan(x) or math.isinf(x):
        return x
    q = Fraction(x)
    negative_zero = math.copysign(1.0, x) < 0
    if FLOAT_FORMATS[target][0] >= FLOAT_FORMATS[source][0]:
        return x  # widening (or identity): exact
    if source == "float64" and target == "float16" and mode in ("nearest-even",
                                                                 "nearest-away"):
        # Two roundings, float64 to float32 then to float16; "nearest-away"
        # departs from that only on an exact float16 tie.
        if mode == "nearest-away" and is_float16_midpoint(q):
            return round_to_float(q, "float16", "nearest-away", negative_zero)
        via32 = round_to_float(q, "float32", "nearest-even", negative_zero)
        if math.isinf(via32):
            return via32
        return round_to_float(Fraction(via32), "float16", "nearest-even", negative_zero)
    return round_to_float(q, target, mode, negative_zero)


def float_to_float(x: float, source: str, target: str, mode: str, policy: str | None):
    value = float_to_float_value(x, source, target, mode)
    if math.isinf(value) and not math.isinf(x) and policy != "clamp":
        largest = float_max(target)
        return Failure(out_of_range_text(x, -largest, largest))
    return value


def convert(x, source: str, target: str, mode: str, policy: str | None):
    """One element, no scalar map."""
    if is_int(source) and is_int(target):
        return int_to_int(x, source, target, policy)
    if is_int(target):
        return float_to_int(x, target, mode, policy)
    if is_int(source):
        return int_to_float(x, target, mode)
    return float_to_float(x, source, target, mode, policy)


def map_lookup(x, entries):
    """Index of the first entry whose source matches x, or None. Entries hold
    (source, target) already as values of the two element types."""
    if isinstance(x, float) and math.isnan(x):
        for i, (source, _) in enumerate(entries):
            if isinstance(source, float) and math.isnan(source):
                return i
        return None
    for i, (source, _) in enumerate(entries):
        if source == x:
            return i
    return None


MAPPED = object()


def convert_all(values, source, target, mode, policy, entries=()):
    """Expected element results of a whole conversion: a list whose items are
    the element values, and the index and Failure of the first failing
    element (or None, None)."""
    results = []
    for i, x in enumerate(values):
        hit = map_lookup(x, entries) if entries else None
        if hit is not None:
            results.append(entries[hit][1])
            continue
        r = convert(x, source, target, mode, policy)
        if isinstance(r, Failure):
            return results, i, r
        results.append(r)
    return results, None, None


# ------------------------------------------------------------ array helpers

def python_values(array: np.ndarray) -> list:
    """The elements of an array as exact Python ints or floats."""
    flat = array.reshape(-1)
    if array.dtype.kind == "f":
        with np.errstate(invalid="ignore"):  # signalling NaNs
            return [float(v) for v in flat.astype(np.float64)]
    return [int(v) for v in flat]


def float_from_bits(bits: int, name: str) -> float:
    return float(np.array([bits], dtype=BITS_DTYPE[name]).view(name)[0])


def float64_with_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def expected_array(results: list, target: str) -> np.ndarray:
    return np.array(results, dtype=target)


def same_elements(actual: np.ndarray, expected_values: list, target: str) -> bool:
    """Element-wise equality; floats compare bit for bit except that any NaN
    matches any NaN."""
    actual = actual.reshape(-1)
    if len(actual) != len(expected_values):
        return False
    if is_int(target):
        return [int(v) for v in actual] == [int(v) for v in expected_values]
    expected = np.array(expected_values, dtype=target)
    nan_a = np.isnan(actual)
    nan_e = np.isnan(expected)
    if not np.array_equal(nan_a, nan_e):
        return False
    bits = BITS_DTYPE[target]
    return np.array_equal(actual.view(bits)[~nan_a], expected.view(bits)[~nan_e])


def mismatches(actual: np.ndarray, expected_values: list, target: str, inputs=None, limit=5):
    """A short description of the first differing elements, for assertion messages."""
    actual = actual.reshape(-1)
    out = []
    for i, e in enumerate(expected_values):
        a = actual[i].item()
        if is_int(target):
            ok = int(a) == int(e)
        else:
            a = float(a)
            e = float(e)
            ok = (math.isnan(a) and math.isnan(e)) or (
                a == e and math.copysign(1, a) == math.copysign(1, e))
        if not ok:
            src = "" if inputs is None else f" from {inputs[i]!r}"
            out.append(f"[{i}]{src}: got {a!r}, expected {e!r}")
            if len(out) >= limit:
                break
    return "; ".join(out)

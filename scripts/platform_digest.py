"""Converts a fixed grid of inputs and prints one line per case: the case's
name and a digest of everything the calls gave back (output bytes, what
cast_array_into wrote before a failing element, the exception's type and
text). Two machines that convert alike print the same lines.

The grid: every (source, target) pair under every rounding mode, range policy
and with and without a scalar map; each source type's edge values one by one
(the alloc function), the same values placed inside runs of lengths that fill
vector steps and leave tails (the into function, on a patterned output), and
for float sources every float16 pattern, with the midpoints between them for
float32 and float64.

    python3 scripts/platform_digest.py > digest.txt
    python3 scripts/platform_digest.py --show NAME     # one case, call by call
    python3 scripts/platform_digest.py --inputs [--reversed]

The inputs are a function of the values chosen, not of the order they are
listed in nor of any NumPy algorithm (a sort may keep either zero):
--inputs prints only their lines, and --reversed builds them from every
list of values reversed, which must print the same lines.
"""

from __future__ import annotations

import argparse
import hashlib
import itertools
import sys

import numpy as np

from tolvane import cast_array, cast_array_into

INT_TYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
FLOAT_TYPES = ["float16", "float32", "float64"]
ALL_TYPES = INT_TYPES + FLOAT_TYPES
MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]
POLICIES = [None, "clamp", "wrap"]
BITS = {"float16": np.uint16, "float32": np.uint32, "float64": np.uint64}
# Quiet and signalling NaNs of both signs, with and without payloads: what a
# conversion keeps of them differs between processors unless the code decides.
NANS = {
    "float16": [0x7E00, 0xFE00, 0x7C01, 0x7D55, 0x7FFF, 0xFC01],
    "float32": [0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FA5A5A5, 0x7FFFFFFF, 0xFF800001,
                0x7FC02000],
    "float64": [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
                0x7FF5A5A5A5A5A5A5, 0x7FFFFFFFFFFFFFFF, 0xFFF0000000000001,
                0x7FF8000020000000, 0x7FF8000000002000],
}
# Lengths around 8, 16, 32 and 64 reach every vector step width and leave
# tails of every size on both processors.
RUN_LENGTHS = [2, 5, 8, 9, 15, 16, 17, 23, 31, 32, 33, 47, 64, 67]
CHUNK = 1024
OUT_FILL = 0xA5
# Set by --reversed: every list of chosen values is taken in reverse.
REVERSED = False


def chosen(values):
    return list(reversed(values)) if REVERSED else list(values)


def int_limits(name):
    info = np.iinfo(name)
    return int(info.min), int(info.max)


def boundaries():
    """Every integer type's limits and the float types' exact-integer and
    range limits, with their neighbours."""
    points = set(chosen([0, 1, 2, 3, 7, 42, 100, 2049, 65504, 65505, 65519, 65520, 70000,
                         2**24 + 1, 2**53 + 1, 2**53 + 3, 2**54 + 2**30]))
    for name in chosen(INT_TYPES):
        points.update(int_limits(name))
    for p in list(points):
        points.update((p - 1, p + 1, -p, -p - 1))
    return sorted(points)


def int_edges(name):
    lo, hi = int_limits(name)
    return np.array([v for v in boundaries() if lo <= v <= hi], dtype=name)


def float_edges(name):
    dtype = np.dtype(name)
    info = np.finfo(name)
    values = [0.5, 1.5, 2.5, 3.5, 0.25, 0.75, 0.3, 0.6, 7.75, 126.5, 127.5, 128.5, 254.5, 255.5,
              65519.99, 3.4028235677973366e38, 1e39, 1e300, 2.0**-24, 2.0**-25, 2.0**-149,
              2.0**-150, 1e-300, 0.49999999999999994, 2147483647.5, 2**63 - 1024.0]
    values += [float(v) for v in boundaries()]
    values += [float(info.max), float(info.tiny), float(info.smallest_subnormal), np.inf]
    with np.errstate(all="ignore"):
        arr = np.array(chosen(values + [-v for v in values] + [0.0, -0.0]),
                       dtype=np.float64).astype(dtype)
    bits = arr.view(BITS[name]).astype(np.int64)
    # The neighbours of each finite value in the source type itself.
    finite = bits[np.isfinite(arr)]
    wide = np.concatenate([bits, finite - 1, finite + 1])
    wide = wide[(wide >= 0) & (wide <= np.iinfo(BITS[name]).max)]
    # Distinct bit patterns in increasing order, so that neither zero nor
    # any NaN is lost to a comparison of values.
    ordered = sorted(set(wide.tolist())) + NANS[name]
    return np.array(ordered, dtype=BITS[name]).view(name)


def edges(name):
    return float_edges(name) if name in FLOAT_TYPES else int_edges(name)


def tame(name, length):
    """Values that every target holds after rounding, with fractions for floats."""
    steps = np.arange(length) % 101
    if name in FLOAT_TYPES:
        return (steps * 0.375).astype(name)
    return steps.astype(name)


def runs(name):
    """Runs of tame values with one edge value each, at a position that moves
    through the vector steps and the tail."""
    values = edges(name)
    out = []
    for length in RUN_LENGTHS:
        out.append(tame(name, length))
    for k, value in enumerate(values):
        length = RUN_LENGTHS[k % len(RUN_LENGTHS)]
        run = tame(name, length)
        run[(k * 7) % length] = value
        out.append(run)
    return out


def float16_grid(name):
    """Every float16 pattern; for wider floats, the finite ones widened (exact)
    and the midpoints between neighbours, which narrowing rounds."""
    patterns = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16).view(np.float16)
    if name == "float16":
        return patterns
    # The finite values in increasing order, from their bits: the positive
    # patterns count up from +0, their negations down to -0.
    positive = patterns[:0x7C00].astype(np.float64)
    finite = np.concatenate([-positive[::-1], positive])
    mids = (finite[1:] + finite[:-1]) / 2
    above = np.array([65520.0, -65520.0, 65519.0, np.inf, -np.inf])
    return np.concatenate([finite, mids, above]).astype(name)


def scalar_map(source, target):
    keys = [float("nan"), 2.5] if source in FLOAT_TYPES else [0, int_limits(source)[1]]
    return {keys[0]: 5, keys[1]: 1}


def describe(arr):
    if arr.dtype.kind == "f":
        return " ".join(f"{b:x}" for b in arr.view(BITS[arr.dtype.name]).tolist())
    return " ".join(str(v) for v in arr.tolist())


def single_calls(arr, target, kwargs):
    for i in range(arr.size):
        x = arr[i:i + 1]
        try:
            yield x, cast_array(x, target_dtype=target, **kwargs), None
        except Exception as exc:  # noqa: BLE001 - the exception is what's compared
            yield x, None, exc


def into_calls(arrays, target, kwargs):
    longest = max(x.size for x in arrays)
    filled = np.full(longest * np.dtype(target).itemsize, OUT_FILL, dtype=np.uint8).view(target)
    for x in arrays:
        out = filled[:x.size].copy()
        try:
            cast_array_into(x, out, **kwargs)
            yield x, out, None
        except Exception as exc:  # noqa: BLE001
            yield x, out, exc


def chunks(arr):
    return [arr[i:i + CHUNK] for i in range(0, arr.size, CHUNK)]


def cases():
    """(name, thunk) for every case; the thunk yields (input, output, exception)."""
    cache = {}

    def inputs(source):
        if source not in cache:
            grid = chunks(float16_grid(source)) if source in FLOAT_TYPES else None
            cache[source] = (edges(source), runs(source), grid)
        return cache[source]

    for source in ALL_TYPES:
        # The inputs are made with NumPy on each machine, so they are compared too.
        yield (f"{source} inputs", lambda s=source: (
            (x, x, None) for x in [inputs(s)[0], *inputs(s)[1], *(inputs(s)[2] or [])]))
    for source, target, mode, policy, mapped in itertools.product(
            ALL_TYPES, ALL_TYPES, MODES, POLICIES, (False, True)):
        kwargs = {"rounding_mode": mode, "out_of_range_mode": policy,
                  "scalar_map_entries": scalar_map(source, target) if mapped else None}
        stem = f"{source}->{target} {mode} {policy or 'raise'} {'map' if mapped else 'no-map'}"
        yield (f"{stem} edges",
               lambda s=source, t=target, k=kwargs: single_calls(inputs(s)[0], t, k))
        yield (f"{stem} runs",
               lambda s=source, t=target, k=kwargs: into_calls(inputs(s)[1], t, k))
        if source in FLOAT_TYPES:
            yield (f"{stem} float16-grid",
                   lambda s=source, t=target, k=kwargs: into_calls(inputs(s)[2], t, k))


def digest(calls):
    h = hashlib.sha256()
    for _, out, exc in calls:
        if out is not None:
            h.update(out.tobytes())
        if exc is not None:
            h.update(f"{type(exc).__name__}: {exc}".encode())
        h.update(b"|")
    return h.hexdigest()[:20]


def show(name):
    for case, thunk in cases():
        if case == name:
            for x, out, exc in thunk():
                text = describe(out) if out is not None else "-"
                error = f" !{type(exc).__name__}: {exc}" if exc is not None else ""
                print(f"{describe(x)} -> {text}{error}")
            return 0
    print(f"no case {name!r}", file=sys.stderr)
    return 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--show", metavar="NAME", help="print one case's calls")
    parser.add_argument("--inputs", action="store_true", help="print only the inputs' lines")
    parser.add_argument("--reversed", action="store_true",
                        help="build the inputs from every list of values reversed")
    args = parser.parse_args()
    global REVERSED
    REVERSED = args.reversed
    with np.errstate(all="ignore"):
        if args.show:
            return show(args.show)
        for name, thunk in cases():
            if args.inputs and not name.endswith(" inputs"):
                break
            print(f"{name}\t{digest(thunk())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

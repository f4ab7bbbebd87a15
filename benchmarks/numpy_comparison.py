"""tolvane against the NumPy code a user would write for the same result.

Times, in one run, every conversion below for arrays of 1, 1,000, 100,000,
1,000,000 and 16,000,000 elements: our call, the NumPy pipeline that gives the
same array (checks included), the Numba loop a user would write for it
(benchmarks/numba_loops.py, compiled and warmed up first) and plain ``astype``
(NumPy's unchecked floor), interleaved round by round. Prints the median time
of each and the ratios, the bytes per second of the 16,000,000-element calls
against ``np.copyto`` moving as many bytes, and the peak memory of each
16,000,000-element call. Numba comes from benchmarks/requirements.txt.

    python3 benchmarks/numpy_comparison.py [--sizes 1,1000] [--rounds 15]
"""
import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
import tracemalloc
from dataclasses import dataclass
from typing import Callable

import numpy as np

import tolvane

try:
    import numba_loops
except ImportError as missing:
    raise SystemExit(f"{missing}: pip install -r benchmarks/requirements.txt") from None

SIZES = (1, 1_000, 100_000, 1_000_000, 16_000_000)
MEMORY_SIZE = 16_000_000
INT32 = np.iinfo(np.int32)


# ---------------------------------------------------------------- the rows


def f64_to_i32_numpy(a, out):
    r = np.rint(a)
    if np.isnan(r).any() or r.min() < INT32.min or r.max() > INT32.max:
        raise ValueError("out of range")
    return r.astype(np.int32)


def f64_to_f32_numpy(a, out):
    f = a.astype(np.float32)
    # An infinity that the source did not have is an overflow.
    if np.isinf(f).any() and (np.isinf(f) != np.isinf(a)).any():
        raise ValueError("overflow")
    return f


def f32_to_f16_towards_zero_numpy(a, out):
    h = a.astype(np.float16)
    # Nearest results that landed further from zero than the source step back.
    return np.where(np.abs(h) > np.abs(a), np.nextafter(h, np.float16(0)), h)


def i64_to_i32_numpy(a, out):
    if a.min() < INT32.min or a.max() > INT32.max:
        raise ValueError("out of range")
    return a.astype(np.int32)


def f64_to_i16_map_numpy(a, out):
    return np.where(np.isnan(a), -1, np.clip(np.trunc(a), -32768, 32767)).astype(np.int16)


def uniform(low, high, dtype=np.float64):
    return lambda rng, n: rng.uniform(low, high, n).astype(dtype, copy=False)


def integers(dtype, low=None, high=None):
    info = np.iinfo(dtype)
    low = info.min if low is None else low
    high = info.max if high is None else high
    return lambda rng, n: rng.integers(low, high, n, dtype=dtype, endpoint=True)


def with_nans(make, fraction):
    def build(rng, n):
        a = make(rng, n)
        a[rng.random(n) < fraction] = np.nan
        return a
    return build


def cast(target, rounding, policy=None, entries=None):
    """Our call as a user writes it: only the arguments it needs, and the
    function bound as locally as plain astype's method."""
    cast_array = tolvane.cast_array
    if entries is not None:
        return lambda a, out: cast_array(a, target_dtype=target, rounding_mode=rounding,
                                         out_of_range_mode=policy, scalar_map_entries=entries)
    if policy is not None:
        return lambda a, out: cast_array(a, target_dtype=target, rounding_mode=rounding,
                                         out_of_range_mode=policy)
    return lambda a, out: cast_array(a, target_dtype=target, rounding_mode=rounding)


def numba_alloc(loop, target):
    """The Numba loop as a user calls it: NumPy allocates, the loop fills."""
    def call(a, out):
        result = np.empty(a.size, dtype=target)
        loop(a, result)
        return result
    return call


def numba_f32_to_f16_bits(a, out):
    result = np.empty(a.size, dtype=np.float16)
    numba_loops.f32_to_f16_towards_zero_bits(a.view(np.uint32), result.view(np.uint16))
    return result


def numba_into(loop):
    def call(a, out):
        loop(a, out)
        return out
    return call


def cast_into(rounding):
    cast_array_into = tolvane.cast_array_into
    return lambda a, out: cast_array_into(a, out, rounding_mode=rounding)


@dataclass
class Row:
    name: str
    source: type
    target: type
    make_input: Callable
    ours: Callable
    numpy: Callable
    numba: Callable
    # The most of plain astype's time (the unchecked conversion) that the
    # row may take from 1,000,000 elements on, if it is held to it.
    astype_limit: float | None
    into: bool = False


ROWS = [
    Row("float64->uint8 nearest-even clamp", np.float64, np.uint8, uniform(-20.0, 280.0),
        cast("uint8", "nearest-even", "clamp"),
        lambda a, out: np.clip(np.rint(a), 0, 255).astype(np.uint8),
        numba_alloc(numba_loops.f64_to_u8_nearest_clamp, np.uint8), 1.1),
    Row("float64->int32 nearest-even no policy", np.float64, np.int32, uniform(-2e9, 2e9),
        cast("int32", "nearest-even"), f64_to_i32_numpy,
        numba_alloc(numba_loops.f64_to_i32_nearest_checked, np.int32), 1.2),
    Row("float64->float32 nearest-even no policy", np.float64, np.float32, uniform(-1e6, 1e6),
        cast("float32", "nearest-even"), f64_to_f32_numpy,
        numba_alloc(numba_loops.f64_to_f32_nearest_checked, np.float32), 1.1),
    Row("float32->float16 towards-zero clamp", np.float32, np.float16,
        uniform(-6e4, 6e4, np.float32), cast("float16", "towards-zero", "clamp"),
        f32_to_f16_towards_zero_numpy, numba_f32_to_f16_bits, 1.1),
    Row("int64->int32 no policy", np.int64, np.int32, integers(np.int64, INT32.min, INT32.max),
        cast("int32", "nearest-even"), i64_to_i32_numpy,
        numba_alloc(numba_loops.i64_to_i32_checked, np.int32), 1.2),
    Row("int32->uint8 wrap", np.int32, np.uint8, integers(np.int32),
        cast("uint8", "nearest-even", "wrap"), lambda a, out: a.astype(np.uint8),
        numba_alloc(numba_loops.i32_to_u8_wrap, np.uint8), 1.1),
    Row("int64->float32 nearest-even", np.int64, np.float32, integers(np.int64),
        cast("float32", "nearest-even"), lambda a, out: a.astype(np.float32),
        numba_alloc(numba_loops.i64_to_f32_nearest, np.float32), 1.1),
    Row("float64->int16 {NaN: -1} towards-zero clamp", np.float64, np.int16,
        with_nans(uniform(-4e4, 4e4), 0.01),
        cast("int16", "towards-zero", "clamp", {float("nan"): -1}), f64_to_i16_map_numpy,
        numba_alloc(numba_loops.f64_to_i16_nan_map_towards_zero_clamp, np.int16), None),
    Row("cast_array_into float64->float32", np.float64, np.float32, uniform(-1e6, 1e6),
        cast_into("nearest-even"),
        lambda a, out: np.copyto(out, a, casting="unsafe"),
        numba_into(numba_loops.f64_to_f32_nearest_checked), None, into=True),
]


# ---------------------------------------------------------------- timing


def per_call_seconds(fn, a, out, number):
    start = time.perf_counter_ns()
    for _ in range(number):
        fn(a, out)
    return (time.perf_counter_ns() - start) / number / 1e9


def calibrate(fn, a, out, batch_seconds):
    number = 1
    while True:
        if per_call_seconds(fn, a, out, number) * number >= batch_seconds or number >= 1 << 20:
            return number
        number *= 2


def median_times(functions, a, out, rounds, batch_seconds):
    """Median per-call time of each function; every round runs each once, in
    turn, so that drifts of the machine hit all of them alike."""
    numbers = [calibrate(fn, a, out, batch_seconds) for fn in functions]
    samples = [[] for _ in functions]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for k, fn in enumerate(functions):
                samples[k].append(per_call_seconds(fn, a, out, numbers[k]))
    finally:
        if gc_was_enabled:
            gc.enable()
    return [statistics.median(s) for s in samples]


def check_same_result(row, a, out):
    """Our result equals the NumPy pipeline's and the Numba loop's, so the
    three do the same job; the Numba loop is compiled here, before timing."""
    if row.into:
        expected = np.empty_like(out)
        np.copyto(expected, a, casting="unsafe")
        row.ours(a, out)
        got = [out.copy(), row.numba(a, np.zeros_like(out))]
    else:
        with np.errstate(all="ignore"):
            expected = row.numpy(a, out)
        got = [row.ours(a, out), row.numba(a, out)]
    for who, result in zip(("our", "the Numba loop's"), got):
        if result.dtype != expected.dtype or not np.array_equal(
                result, expected, equal_nan=result.dtype.kind == "f"):
            raise SystemExit(f"{row.name}: {who} result differs from the NumPy pipeline's")


def floor_seconds(total_bytes, rounds):
    """np.copyto between two arrays that together hold total_bytes."""
    half = total_bytes // 2
    src = np.ones(half, dtype=np.uint8)
    dst = np.zeros(half, dtype=np.uint8)
    fn = lambda a, out: np.copyto(out, a)  # noqa: E731
    return median_times([fn], src, dst, rounds, 0.0)[0], 2 * half


def human_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds / 1e-9:7.0f} ns"


# ---------------------------------------------------------------- memory


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def memory_probe(row_index, which):
    """Runs one 16,000,000-element call in this fresh process and prints its
    peak memory beyond the input (and `out`) as JSON."""
    row = ROWS[row_index]
    a = row.make_input(np.random.default_rng(1), MEMORY_SIZE)
    out = None
    if row.into:
        out = np.empty(MEMORY_SIZE, dtype=row.target)
        out.fill(0)  # resident before the call, like any array a caller passes
    fn = row.ours if which == "ours" else row.numpy
    gc.collect()
    try:
        # Linux: resets the peak resident size (VmHWM) to the current size.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        resettable = True
    except OSError:
        resettable = False
    rss_before = status_kib("VmRSS")
    tracemalloc.start()
    with np.errstate(all="ignore"):
        result = fn(a, out)
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    peak_growth = (status_kib("VmHWM") - rss_before) * 1024 if resettable else None
    kept = 0 if row.into else result.nbytes
    print(json.dumps({"traced_peak": traced_peak, "rss_growth": peak_growth, "kept": kept}))


def measure_memory(row_index, which):
    command = [sys.executable, os.path.abspath(__file__), "--memory-probe", str(row_index), which]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


# ---------------------------------------------------------------- report


def targets(row, n, ratio_numpy, ratio_numba, ratio_astype, copyto_share):
    """The performance targets for this row and size, as (text, met) pairs."""
    if n == 1:
        return [("<=1.0 astype", ratio_astype <= 1.0)]
    found = []
    if n in (100_000, 1_000_000):
        found.append(("<=1.0 numba", ratio_numba <= 1.0))
    if n >= 1_000_000:
        found.append(("<=0.5 numpy", ratio_numpy <= 0.5))
        if row.astype_limit is not None:
            found.append((f"<={row.astype_limit} astype", ratio_astype <= row.astype_limit))
    if copyto_share is not None:
        found.append(("<=1.0 numba or >=0.8 copyto",
                      ratio_numba <= 1.0 or copyto_share >= 0.8))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(str(s) for s in SIZES),
                        help="comma-separated element counts")
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds per function")
    parser.add_argument("--rows", default="", help="substring filter on row names")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory table")
    parser.add_argument("--memory-probe", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        memory_probe(int(args.memory_probe[0]), args.memory_probe[1])
        return

    sizes = [int(s) for s in args.sizes.split(",") if s]
    rows = [(i, r) for i, r in enumerate(ROWS) if args.rows in r.name]
    rng = np.random.default_rng(0)
    print(f"tolvane vs NumPy {np.__version__}, Python {sys.version.split()[0]}; "
          f"median of {args.rounds} timed rounds ({4 * args.rounds} below 1,000,000 elements); "
          f"ratio = ours / theirs")
    header = (f"{'conversion':44} {'n':>10} {'ours':>10} {'numpy':>10} {'ratio':>6} "
              f"{'numba':>10} {'ratio':>6} {'astype':>10} {'ratio':>6}  targets")
    print(header)
    print("-" * len(header))
    bandwidth = []
    misses = []
    for i, row in rows:
        check_a = row.make_input(rng, 1000)
        check_same_result(row, check_a, np.zeros(1000, dtype=row.target))
        plain = (lambda a, out, t=row.target: a.astype(t))
        for n in sizes:
            a = row.make_input(rng, n)
            out = np.zeros(n, dtype=row.target)
            # Small calls: many short interleaved batches, so that a burst of
            # load on a shared machine spoils few samples of each function.
            batch = 0.002 if n < 1_000_000 else 0.0
            rounds = args.rounds * (4 if n < 1_000_000 else 1)
            with np.errstate(all="ignore"):
                t_ours, t_numpy, t_numba, t_astype = median_times(
                    [row.ours, row.numpy, row.numba, plain], a, out, rounds, batch)
            r_numpy, r_numba, r_astype = t_ours / t_numpy, t_ours / t_numba, t_ours / t_astype
            copyto_share = None
            if n == 16_000_000:
                moved = n * (np.dtype(row.source).itemsize + np.dtype(row.target).itemsize)
                t_floor, floor_bytes = floor_seconds(moved, rounds)
                copyto_share = (moved / t_ours) / (floor_bytes / t_floor)
                bandwidth.append((row.name, moved, t_ours, floor_bytes / t_floor))
            checks = targets(row, n, r_numpy, r_numba, r_astype, copyto_share)
            marks = "  ".join(f"{text} {'ok' if met else 'MISS'}" for text, met in checks)
            misses += [f"{row.name} n={n}: {text}" for text, met in checks if not met]
            print(f"{row.name:44} {n:>10,} {human_time(t_ours)} {human_time(t_numpy)} "
                  f"{r_numpy:6.2f} {human_time(t_numba)} {r_numba:6.2f} "
                  f"{human_time(t_astype)} {r_astype:6.2f}  {marks}", flush=True)
            del a, out

    if bandwidth:
        print("\nBytes moved per second at 16,000,000 elements (input + output bytes / time),")
        print("against np.copyto between two uint8 arrays that together hold as many bytes:")
        print(f"{'conversion':44} {'bytes':>10} {'ours':>12} {'copyto':>12} {'ours/copyto':>12}")
        for name, moved, t_ours, floor_rate in bandwidth:
            print(f"{name:44} {moved / 1e6:8.0f}MB {moved / t_ours / 1e9:8.2f}GB/s "
                  f"{floor_rate / 1e9:8.2f}GB/s {moved / t_ours / floor_rate:12.2f}")

    if not args.no_memory:
        print("\nPeak memory of one 16,000,000-element call beyond its input (and `out`), fresh process;")
        print("tracemalloc counts NumPy's allocations, the resident-size growth counts everything:")
        print(f"{'conversion':44} {'input':>9} {'output':>9} {'ours traced':>12} {'ours RSS':>9} "
              f"{'temps':>9} {'numpy traced':>13}")
        for i, row in rows:
            ours = measure_memory(i, "ours")
            theirs = measure_memory(i, "numpy")
            in_bytes = MEMORY_SIZE * np.dtype(row.source).itemsize
            out_bytes = MEMORY_SIZE * np.dtype(row.target).itemsize
            rss = ours["rss_growth"]
            # `out` already exists for cast_array_into: nothing new should appear.
            temps = None if rss is None else rss - ours["kept"]
            mb = lambda b: "n/a" if b is None else f"{b / 1e6:7.1f}MB"  # noqa: E731
            print(f"{row.name:44} {mb(in_bytes):>9} {mb(out_bytes):>9} {mb(ours['traced_peak']):>12} "
                  f"{mb(rss):>9} {mb(temps):>9} {mb(theirs['traced_peak']):>13}")

    if misses:
        print("\nTargets missed:")
        for miss in misses:
            print("  " + miss)


if __name__ == "__main__":
    main()

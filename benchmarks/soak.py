"""Soak run: a million mixed calls in one process, with resident memory and
the count of live Python objects printed after a warm-up and at intervals.
Both must stay flat: a reference or a buffer kept by any path, error paths
included, shows as steady growth.

    python3 benchmarks/soak.py [--calls 1000000] [--every 100000] [--warmup 50000]
                               [--max-growth-kib 2048] [--max-object-growth 100]

The calls cycle through every (source, target) pair with each rounding mode
and out-of-range policy, on arrays of 0 to 64 elements in 0 to 3 dimensions,
with and without scalar maps of every form (dict, list, generator, custom
mapping), into new arrays and into existing ones, and through the failures:
conversion errors, scalar-map values that don't convert, exceptions from the
caller's generators and __index__, unsupported dtypes, shape mismatches,
non-contiguous inputs and arrays of 33 dimensions. Exits with status 1 when,
after the warm-up, resident memory grows by more than --max-growth-kib or the
number of live Python objects by more than --max-object-growth.
"""
import argparse
import collections.abc
import gc
import itertools
import os
import sys
import time

import numpy as np

from tolvane import cast_array, cast_array_into

TYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
         "float16", "float32", "float64"]
MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]
POLICIES = [None, "clamp", "wrap"]
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE // 1024


class Refusing:
    """A scalar-map key whose __index__ and __float__ raise."""

    def __index__(self):
        raise LookupError("refused")

    def __float__(self):
        raise LookupError("refused")


class ListMapping(collections.abc.Mapping):
    def __init__(self, pairs):
        self.pairs = dict(pairs)

    def __getitem__(self, key):
        return self.pairs[key]

    def __iter__(self):
        return iter(self.pairs)

    def __len__(self):
        return len(self.pairs)


def failing_generator():
    yield (1, 2)
    raise RuntimeError("generator stops")


def maps(rng):
    """Scalar maps of every form, valid for every pair (small integral values)."""
    pairs = [(int(rng.integers(0, 100)), int(rng.integers(0, 100))) for _ in range(3)]
    return [None, dict(pairs), pairs, lambda: (p for p in pairs), ListMapping(pairs),
            [(float("nan"), 1)] if rng.random() < 0.5 else {0: 1}]


def make_inputs(rng):
    arrays = {}
    for dtype in TYPES:
        for shape in [(0,), (1,), (7,), (64,), (4, 4), (2, 3, 2), ()]:
            count = int(np.prod(shape, dtype=np.int64))
            if dtype.startswith("float"):
                values = rng.normal(0, 200, count)
                if count == 64:
                    values[::11] = np.nan
            else:
                info = np.iinfo(dtype)
                values = rng.integers(max(info.min, -300), min(info.max, 300), count, endpoint=True)
            arrays[dtype, shape] = np.asarray(values).astype(dtype).reshape(shape)
    return arrays


def quietly(call):
    """Runs call with file descriptor 2 closed off: the module reports each
    internal error on stderr, which would flood the soak's output."""
    def run():
        sys.stderr.flush()
        saved = os.dup(2)
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 2)
        try:
            call()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
    return run


def failing_calls():
    """Calls that must raise; each returns nothing, the soak only counts them."""
    i16 = np.arange(6, dtype=np.int16)
    return [
        lambda: cast_array(np.array([1.0, 1e39]), target_dtype="float32",
                           rounding_mode="nearest-even"),
        lambda: cast_array_into(np.array([300], np.int16), np.zeros(1, np.int8),
                                rounding_mode="nearest-even"),
        lambda: cast_array(i16, target_dtype="int8", rounding_mode="nearest-even",
                           scalar_map_entries=[(Refusing(), 1)]),
        lambda: cast_array(i16, target_dtype="float32", rounding_mode="nearest-even",
                           scalar_map_entries=failing_generator()),
        lambda: cast_array(i16, target_dtype="int8", rounding_mode="nearest-even",
                           scalar_map_entries=[(1, 2, 3)]),
        lambda: cast_array(i16, target_dtype="int8", rounding_mode="sideways"),
        lambda: cast_array(np.zeros(3, bool), target_dtype="int8", rounding_mode="nearest-even"),
        lambda: cast_array_into(i16, np.zeros(7, np.int8), rounding_mode="nearest-even"),
        lambda: cast_array(i16[::2], target_dtype="int8", rounding_mode="nearest-even"),
        quietly(lambda: cast_array(np.zeros((1,) * 33, np.int16), target_dtype="int8",
                                   rounding_mode="nearest-even")),
        lambda: cast_array_into(i16, np.zeros(6, np.int8)[::-1], rounding_mode="nearest-even",
                                scalar_map_entries={1: 2}),
    ]


def calls(rng):
    """An endless mix: mostly successful conversions, one failing call in eight."""
    arrays = make_inputs(rng)
    keys = list(arrays)
    scalar_maps = maps(rng)
    failing = failing_calls()
    outputs = {}
    for n in itertools.count():
        if n % 8 == 7:
            yield failing[n // 8 % len(failing)], True
            continue
        dtype, shape = keys[n % len(keys)]
        target = TYPES[n // len(keys) % len(TYPES)]
        mode = MODES[n % len(MODES)]
        policy = POLICIES[n // 5 % len(POLICIES)]
        entries = scalar_maps[n // 3 % len(scalar_maps)]
        arr = arrays[dtype, shape]
        if n % 2:
            out = outputs.setdefault((target, shape), np.zeros(shape, dtype=target))

            def call(arr=arr, out=out, mode=mode, policy=policy, entries=entries):
                cast_array_into(arr, out, rounding_mode=mode, out_of_range_mode=policy,
                                scalar_map_entries=entries() if callable(entries) else entries)
        else:
            def call(arr=arr, target=target, mode=mode, policy=policy, entries=entries):
                cast_array(arr, target_dtype=target, rounding_mode=mode, out_of_range_mode=policy,
                           scalar_map_entries=entries() if callable(entries) else entries)
        # A float with NaN or out of range values may fail without a policy.
        yield call, None


def run(total, every, warmup, max_growth_kib, max_object_growth):
    rng = np.random.default_rng(2024)
    expected_failures = unexpected = raised = 0
    baseline = baseline_objects = None
    start = time.perf_counter()
    print(f"{'calls':>9} {'rss KiB':>9} {'growth':>8} {'objects':>9} {'raised':>8} {'s':>6}")
    for n, (call, must_fail) in enumerate(calls(rng), start=1):
        try:
            call()
            if must_fail:
                unexpected += 1
        except BaseException as error:  # noqa: B036 - the internal error derives from it
            if isinstance(error, KeyboardInterrupt):
                raise
            raised += 1
            expected_failures += bool(must_fail)
        if n == warmup or (n > warmup and n % every == 0) or n == total:
            gc.collect()
            rss, objects = resident_kib(), len(gc.get_objects())
            if baseline is None:
                baseline, baseline_objects = rss, objects
            print(f"{n:>9} {rss:>9} {rss - baseline:>+8} {objects:>9} "
                  f"{raised:>8} {time.perf_counter() - start:>6.1f}", flush=True)
        if n == total:
            break
    growth, object_growth = rss - baseline, objects - baseline_objects
    print(f"growth after warm-up: {growth} KiB and {object_growth} objects over "
          f"{total - warmup} calls; {raised} calls raised ({expected_failures} of them by "
          f"design); {unexpected} calls that had to fail succeeded")
    return growth <= max_growth_kib and object_growth <= max_object_growth and unexpected == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--every", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=50_000)
    parser.add_argument("--max-growth-kib", type=int, default=2048)
    parser.add_argument("--max-object-growth", type=int, default=100)
    args = parser.parse_args()
    sys.exit(0 if run(args.calls, args.every, args.warmup, args.max_growth_kib,
                      args.max_object_growth) else 1)


if __name__ == "__main__":
    main()

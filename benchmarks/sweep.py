"""Every conversion against plain ``astype`` of the same pair.

Times all 121 pairs x 5 rounding modes x the out-of-range policies each pair
reads (None, "clamp" and "wrap"; integer-to-float pairs and the pairs whose
values carry over exactly read none), at 1,000,000 elements, each cell against
``astype`` of the same pair in the same process: the calls of one pair and
policy take turns, round after round, and each time is the median of the
rounds. Prints the ten slowest cells (our time / astype) and how many are
above 3x. With --maps it also times every pair and mode (under "clamp" where
the pair reads a policy) with scalar maps of 1 and 4 entries against the same
call without a map, at 100,000 and 1,000,000 elements, and prints the ten
dearest maps.

    python3 benchmarks/sweep.py [--maps] [--rounds 9] [--pairs float32->int8] [--json FILE]

Inputs are what a user converts: values spread over the target's range (at
most +-1,000,000, with fractions for float sources), 10% beyond it on both
sides where a policy says what becomes of them, every value of the source for
integer-to-float pairs. Mapped inputs have 1% of their elements replaced by
the map's source values (NaN, a sentinel, the zeros, an infinity).
"""
import argparse
import gc
import json
import statistics
import sys
import time

import numpy as np

import tolvane

INTEGERS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
FLOATS = ["float16", "float32", "float64"]
TYPES = INTEGERS + FLOATS
MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]
POLICIES = [None, "clamp", "wrap"]
SPREAD = 1e6


def is_float(name):
    return name in FLOATS


def value_range(name):
    if is_float(name):
        top = float(np.finfo(name).max)
        return -top, top
    info = np.iinfo(name)
    return int(info.min), int(info.max)


def carries_over(source, target):
    """Pairs whose every value converts exactly: they read no policy or mode."""
    if source == target:
        return source != "float16"
    if is_float(target):
        if is_float(source):
            return False
        digits = np.iinfo(source).bits - (1 if source.startswith("int") else 0)
        return digits <= {"float32": 24, "float64": 53}.get(target, 0)
    if is_float(source):
        return False
    lo, hi = value_range(source)
    tlo, thi = value_range(target)
    return tlo <= lo and hi <= thi


def policies_read(source, target):
    if carries_over(source, target) or (not is_float(source) and is_float(target)):
        return [None]
    return POLICIES


def draw(rng, dtype, lo, hi, n):
    if is_float(dtype):
        return rng.uniform(lo, hi, n).astype(dtype)
    return rng.integers(int(lo), int(hi), n, dtype=dtype, endpoint=True)


def make_input(rng, source, target, policy, n):
    slo, shi = value_range(source)
    if not is_float(source) and is_float(target):
        return draw(rng, source, slo, shi, n)
    tlo, thi = value_range(target)
    lo, hi = max(tlo, slo), min(thi, shi)
    if is_float(source):
        # Fractions at every magnitude, and rounding that stays in range.
        lo, hi = 0.98 * max(lo, -SPREAD), 0.98 * min(hi, SPREAD)
    a = draw(rng, source, lo, hi, n)
    if policy == "clamp" or (policy == "wrap" and not is_float(target)):
        reach = (thi - tlo) // 10 if not is_float(target) else thi / 10
        sides = [(max(slo, tlo - reach), tlo - 1)] if slo < tlo else []
        sides += [(thi + 1, min(shi, thi + reach))] if shi > thi else []
        beyond = np.flatnonzero(rng.random(n) < 0.1)
        for k, (side_lo, side_hi) in enumerate(sides):
            at = beyond[k::len(sides)]
            a[at] = draw(rng, source, side_lo, side_hi, at.size)
    return a


def map_sources(source, count):
    if is_float(source):
        return [float("nan"), -9999.0, -0.0, float("inf")][:count]
    lo, hi = value_range(source)
    return [7, hi, 0, lo][:count]


def with_map_sources(rng, a, sources):
    mapped = a.copy()
    hits = np.flatnonzero(rng.random(a.size) < 0.01)
    mapped[hits] = np.array(sources, dtype=np.float64).astype(a.dtype)[
        rng.integers(0, len(sources), hits.size)]
    return mapped


def call(source, target, mode, policy, entries=None):
    """Our call as a user writes it, bound as locally as astype."""
    cast_array = tolvane.cast_array
    kwargs = {"target_dtype": target, "rounding_mode": mode}
    if policy is not None:
        kwargs["out_of_range_mode"] = policy
    if entries is not None:
        kwargs["scalar_map_entries"] = entries
    return lambda a: cast_array(a, **kwargs)


def median_times(functions, inputs, rounds, min_batch_seconds):
    """Median per-call time of each function on its input; each round runs
    every function once in turn, so that the load of a shared machine falls
    on all of them alike."""
    numbers = []
    for fn, a in zip(functions, inputs):
        number = 1
        while True:
            start = time.perf_counter()
            for _ in range(number):
                fn(a)
            if time.perf_counter() - start >= min_batch_seconds or number >= 1 << 16:
                break
            number *= 2
        numbers.append(number)
    samples = [[] for _ in functions]
    gc.disable()
    try:
        for _ in range(rounds):
            for k, (fn, a) in enumerate(zip(functions, inputs)):
                start = time.perf_counter_ns()
                for _ in range(numbers[k]):
                    fn(a)
                samples[k].append((time.perf_counter_ns() - start) / numbers[k] / 1e9)
    finally:
        gc.enable()
    return [statistics.median(s) for s in samples]


def selected_pairs(pattern):
    return [(s, t) for s in TYPES for t in TYPES if pattern in f"{s}->{t}"]


def sweep(pairs, n, rounds):
    rng = np.random.default_rng(0)
    cells = []
    for source, target in pairs:
        for policy in policies_read(source, target):
            a = make_input(rng, source, target, policy, n)
            functions = [lambda a, t=target: a.astype(t)]
            functions += [call(source, target, mode, policy) for mode in MODES]
            for fn in functions:
                fn(a)  # no cell may fail on its input
            times = median_times(functions, [a] * len(functions), rounds, 0.003)
            for mode, t in zip(MODES, times[1:]):
                cells.append({"pair": f"{source}->{target}", "mode": mode, "policy": policy,
                              "seconds": t, "astype": times[0], "ratio": t / times[0]})
    return cells


def map_costs(pairs, sizes, rounds):
    rng = np.random.default_rng(1)
    rows = []
    for source, target in pairs:
        policy = "clamp" if "clamp" in policies_read(source, target) else None
        for n in sizes:
            a = make_input(rng, source, target, policy, n)
            mapped = {}
            for count in (1, 4):
                sources = map_sources(source, count)
                entries = {s: k + 1 for k, s in enumerate(sources)}
                mapped[count] = (with_map_sources(rng, a, sources), entries)
            for mode in MODES:
                functions = [call(source, target, mode, policy)]
                inputs = [a]
                for count, (m, entries) in mapped.items():
                    functions.append(call(source, target, mode, policy, entries))
                    inputs.append(m)
                times = median_times(functions, inputs, rounds, 0.003)
                for count, t in zip(mapped, times[1:]):
                    rows.append({"pair": f"{source}->{target}", "mode": mode, "policy": policy,
                                 "n": n, "entries": count, "seconds": t, "unmapped": times[0],
                                 "ratio": t / times[0]})
    return rows


def describe(cell):
    policy = cell["policy"] or "-"
    return f"{cell['pair']:18} {cell['mode']:17} {policy:6}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="elements of each call")
    parser.add_argument("--rounds", type=int, default=9, help="timed rounds per call")
    parser.add_argument("--pairs", default="", help="substring filter on 'source->target'")
    parser.add_argument("--maps", action="store_true", help="also time scalar maps of 1 and 4 entries")
    parser.add_argument("--show", type=int, default=10, help="how many of the slowest cells to print")
    parser.add_argument("--json", help="write every cell's times to this file")
    args = parser.parse_args()
    pairs = selected_pairs(args.pairs)

    print(f"tolvane against astype, NumPy {np.__version__}, Python {sys.version.split()[0]}, "
          f"{args.size:,} elements, median of {args.rounds} rounds", flush=True)
    with np.errstate(all="ignore"):
        cells = sweep(pairs, args.size, args.rounds)
    cells.sort(key=lambda c: c["ratio"], reverse=True)
    above = sum(c["ratio"] > 3 for c in cells)
    print(f"{len(cells)} cells, {above} above 3x astype; the {min(args.show, len(cells))} slowest:")
    print(f"{'pair':18} {'mode':17} {'policy':6} {'ours':>9} {'astype':>9} {'ratio':>6}")
    for c in cells[:args.show]:
        print(f"{describe(c)} {c['seconds'] * 1e3:6.3f} ms {c['astype'] * 1e3:6.3f} ms "
              f"{c['ratio']:6.2f}")
    result = {"sweep": cells}

    if args.maps:
        with np.errstate(all="ignore"):
            rows = map_costs(pairs, (100_000, args.size), args.rounds)
        rows.sort(key=lambda r: r["ratio"], reverse=True)
        print(f"\nScalar maps against the same call without one ('clamp' where the pair reads "
              f"a policy), {len(rows)} cells:")
        for count in (1, 4):
            for n in (100_000, args.size):
                ratios = [r["ratio"] for r in rows if r["entries"] == count and r["n"] == n]
                print(f"  {count} entr{'y' if count == 1 else 'ies'}, {n:>9,} elements: median "
                      f"{statistics.median(ratios):.2f}x, worst {max(ratios):.2f}x, "
                      f"{sum(r > 1.2 for r in ratios)} above 1.2x")
        print(f"the {min(args.show, len(rows))} dearest:")
        print(f"{'pair':18} {'mode':17} {'policy':6} {'entries':>7} {'n':>9} {'mapped':>9} "
              f"{'unmapped':>9} {'ratio':>6}")
        for r in rows[:args.show]:
            print(f"{describe(r)} {r['entries']:7} {r['n']:9,} {r['seconds'] * 1e3:6.3f} ms "
                  f"{r['unmapped'] * 1e3:6.3f} ms {r['ratio']:6.2f}")
        result["maps"] = rows

    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()

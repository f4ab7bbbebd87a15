"""Results and errors under the calling thread's floating-point state: a
subprocess sets a rounding direction (the C library's fesetround), or
flush-to-zero and denormals-are-zero (MXCSR on x86-64, FPCR's FZ on Arm, both
through fegetenv/fesetenv), and converts every float source into every target
under every mode and policy, with and without a map. Each element converted
alone (the element loop) must give what long arrays of the same elements give
(block loops and vector paths), and a failing element must fail alike inside a
long run of ordinary values. Under a rounding direction, integer targets and
the directed modes must also give what they give under the default state, and
integers converted to float under "nearest-even" what NumPy's conversion
gives."""

import platform
import subprocess
import sys
import textwrap

import pytest

X86 = platform.machine().lower() in ("x86_64", "amd64")
# fesetround's constants: x86's encoding, else Arm's FPCR one.
DIRECTIONS = ({"upward": 0x800, "downward": 0x400, "towardzero": 0xC00} if X86
              else {"upward": 0x400000, "downward": 0x800000, "towardzero": 0xC00000})
# The bits to set in the control register, and where fenv_t keeps it: MXCSR's
# FTZ and DAZ at byte 28 of x86-64's fenv_t, FPCR's FZ at byte 0 on Arm.
FLUSH = ({"ftz": 0x8000, "daz": 0x40, "ftz+daz": 0x8040} if X86 else {"fz": 1 << 24})
CONTROL_OFFSET = 28 if X86 else 0

CHILD = textwrap.dedent("""
    import ctypes, ctypes.util, itertools, sys
    import numpy as np
    from tolvane import cast_array

    kind, value, offset = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    FLOATS = ["float16", "float32", "float64"]
    TARGETS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"] + FLOATS
    MODES = ["nearest-even", "towards-zero", "towards-positive", "towards-negative",
             "nearest-away"]
    BITS = {"float16": np.uint16, "float32": np.uint32, "float64": np.uint64}
    LONG = 203

    # Ties, range limits of every target, the float types' overflow and
    # subnormal edges; made before the state changes.
    tiny = [2.0**-14, 2.0**-24, 2.0**-25, 1.5 * 2.0**-25, 2.0**-126, 2.0**-127, 2.0**-149,
            2.0**-150, 1.5 * 2.0**-149, 2.0**-1022, 2.0**-1074, 3 * 2.0**-1074]
    large = [0.5, 1.5, 2.5, 0.3, 127.5, 128.5, 255.5, 256.0, 32767.5, 65504.0, 65519.99,
             65520.0, 2147483647.5, 2147483648.5, 4294967295.5, 2.0**63, 2.0**64, 1e20,
             3.4028234663852886e38, 3.4028234695544e38, 3.4028235677973366e38, 1e300,
             1.7976931348623157e308, np.inf, np.nan]
    candidates = np.array([0.0, 1.0] + tiny + large, dtype=np.float64)
    candidates = np.concatenate([candidates, -candidates])

    def inputs(source):
        with np.errstate(all="ignore"):
            bits = candidates.astype(source).view(BITS[source]).tolist()
        # Each type's own subnormal and range edges, by their bits.
        width = np.dtype(source).itemsize * 8
        mantissa = {16: 10, 32: 23, 64: 52}[width]
        for b in (1, (1 << mantissa) - 1, 1 << mantissa, (((1 << (width - 1 - mantissa)) - 2)
                  << mantissa) | ((1 << mantissa) - 1)):
            bits += [b, b | (1 << (width - 1))]
        return np.array(list(dict.fromkeys(bits)), dtype=BITS[source]).view(source)

    cases = []
    for source, target, mode, policy, mapped in itertools.product(
            FLOATS, TARGETS, MODES, [None, "clamp", "wrap"], [False, True]):
        kwargs = {"target_dtype": target, "rounding_mode": mode, "out_of_range_mode": policy,
                  "scalar_map_entries": {float("nan"): 0} if mapped else None}
        cases.append((source, target, mode, kwargs))
    values = {source: inputs(source) for source in FLOATS}

    def call(x, kwargs):
        try:
            return cast_array(x, **kwargs).tobytes()
        except Exception as exc:
            return f"{type(exc).__name__}: {exc}"

    def alone(source, kwargs):
        return [call(values[source][i:i + 1], kwargs) for i in range(values[source].size)]

    # What the direction must not change, under the default state.
    default = [alone(source, kwargs) if kind == "direction" else None
               for source, _, _, kwargs in cases]

    if kind == "direction":
        assert libm.fesetround(value) == 0
    else:
        env = ctypes.create_string_buffer(64)
        assert libm.fegetenv(env) == 0
        word = int.from_bytes(env.raw[offset:offset + 4], "little") | value
        env[offset:offset + 4] = word.to_bytes(4, "little")
        assert libm.fesetenv(env) == 0

    def report(what, source, kwargs, detail):
        print(what, source, *kwargs.values(), detail)

    ordinary = {source: np.ones(LONG, dtype=source) for source in FLOATS}
    for (source, target, mode, kwargs), before in zip(cases, default):
        x = values[source]
        results = alone(source, kwargs)
        if kind == "direction" and (not target.startswith("float") or
                                    mode.startswith("towards")):
            for i, (now, then) in enumerate(zip(results, before)):
                if now != then:
                    report("direction", source, kwargs, f"{i}: {now!r} != {then!r}")
        good = [i for i, r in enumerate(results) if isinstance(r, bytes)]
        # The good elements in a long run that starts one element into the array.
        order = np.resize(np.array(good), LONG)
        run = np.concatenate([x[:1], x[order]])[1:]
        expected = b"".join(results[i] for i in order)
        got = call(run, kwargs)
        if got != expected:
            size = np.dtype(target).itemsize
            k = next((k for k in range(LONG) if got[k * size:(k + 1) * size]
                      != expected[k * size:(k + 1) * size]), None) if isinstance(got, bytes) else 0
            report("long", source, kwargs, f"element {order[k]}: {got[k * size:(k + 1) * size]!r}"
                   f" != {results[order[k]]!r}" if isinstance(got, bytes) else got)
        for i, r in enumerate(results):
            if isinstance(r, bytes):
                continue
            for at in (0, 37, LONG - 1):
                run = ordinary[source].copy()
                run[at] = x[i]
                got = call(run, kwargs)
                if got != r:
                    report("failure", source, kwargs, f"{i} at {at}: {got[:60]!r} != {r!r}")
    # Integer sources round to nearest in the thread's direction, as NumPy's
    # conversion does: alone and in a long run, zero included.
    for source in ("int32", "int64", "uint64"):
        info = np.iinfo(source)
        chosen = [0, 1, 3, info.max, info.min, 2**24 + 1, 2**31 - 1, 2**53 + 1,
                  2**62 + 2**9 + 1, -(2**53) - 1]
        x = np.tile(np.array([v for v in chosen if info.min <= v <= info.max], dtype=source), 21)
        for target in ("float32", "float64"):
            kwargs = {"target_dtype": target, "rounding_mode": "nearest-even"}
            want = x.astype(target).tobytes()
            size = np.dtype(target).itemsize
            got = [call(x, kwargs), b"".join(call(x[i:i + 1], kwargs) for i in range(x.size))]
            for what, bits in zip(("long", "alone"), got):
                if bits != want:
                    k = next(k for k in range(x.size)
                             if bits[k * size:(k + 1) * size] != want[k * size:(k + 1) * size])
                    report(what, source, kwargs, f"{x[k]}: not NumPy's conversion")
    print("checked", len(cases))
""")


@pytest.mark.parametrize("kind, value", [
    *(pytest.param("direction", value, id=name) for name, value in sorted(DIRECTIONS.items())),
    *(pytest.param("control", value, id=name) for name, value in sorted(FLUSH.items())),
])
def test_results_follow_no_length_under_floating_point_state(kind, value):
    done = subprocess.run([sys.executable, "-c", CHILD, kind, str(value), str(CONTROL_OFFSET)],
                          capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines == ["checked 990"], "\n".join(lines[:20])

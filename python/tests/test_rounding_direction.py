"""Float-to-integer results do not depend on the calling thread's rounding
direction, nor on the array's length (short arrays run the element loop, long
ones the block loops and vector paths): a subprocess changes the direction
through the C library's fesetround and compares every mode's results with
those under the default direction."""

import platform
import subprocess
import sys
import textwrap

import pytest

# fesetround's constants: x86's MXCSR/x87 encoding, else Arm's FPCR one.
DIRECTIONS = ({"upward": 0x800, "downward": 0x400, "towardzero": 0xC00}
              if platform.machine().lower() in ("x86_64", "amd64", "i686")
              else {"upward": 0x400000, "downward": 0x800000, "towardzero": 0xC00000})

CHILD = textwrap.dedent("""
    import ctypes, ctypes.util, itertools, sys
    import numpy as np
    from tolvane import cast_array

    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    # Quarters, ties and their neighbours, 2.3 and values near the targets' limits.
    base = np.array([k / 4 for k in range(-42, 43)] + [2.3, -2.3, 0.49999999999999994,
                    -0.5000000000000001, 126.5, 127.5, -128.5, 254.5, 255.5], dtype=np.float64)
    cases = [("float64", "int16", None), ("float64", "int32", None), ("float64", "int32", "clamp"),
             ("float64", "uint8", "clamp"), ("float32", "int8", "wrap"), ("float32", "uint8", "clamp"),
             ("float16", "int32", None), ("float32", "int64", "clamp"), ("float64", "uint16", "wrap")]
    modes = ["nearest-even", "towards-zero", "towards-positive", "towards-negative", "nearest-away"]

    # Made before the direction changes, which would change the narrowings.
    inputs = {}
    for source, target, policy in cases:
        values = base.astype(source)
        if policy is None:
            values = values[(values > -100) & (values < 100)]
            if target.startswith("u"):
                values = np.abs(values)
        inputs[source, target, policy] = values

    def results():
        found = {}
        for (source, target, policy), mode in itertools.product(cases, modes):
            for length in (9, 600):
                a = np.resize(inputs[source, target, policy], length)
                found[source, target, policy, mode, length] = cast_array(
                    a, target_dtype=target, rounding_mode=mode, out_of_range_mode=policy)
        return found

    default = results()
    # The short arrays must agree with the long ones under the default too.
    for (source, target, policy, mode, length), r in default.items():
        if length == 600 and not np.array_equal(r[:9], default[source, target, policy, mode, 9]):
            print("length", source, target, policy, mode)
    assert libm.fesetround(int(sys.argv[1])) == 0
    for key, r in results().items():
        if not np.array_equal(r, default[key]):
            print("direction", *key)
    libm.fesetround(0)
    print("checked", len(default))
""")


@pytest.mark.parametrize("direction", sorted(DIRECTIONS))
def test_float_to_int_results_ignore_rounding_direction(direction):
    done = subprocess.run([sys.executable, "-c", CHILD, str(DIRECTIONS[direction])],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["checked 90"], done.stdout

"""Numba loops for the cells of benchmarks/sweep.py, generated from one
template per family of conversions.

``loop_text`` writes the source of the loop that gives tolvane's result bit for
bit for a pair, mode, policy and optional one-entry scalar map, or says why
there is none; ``compile_loop`` turns the text into an @njit function, once per
text (Numba then specialises it once per source dtype). Every loop takes the
source and a preallocated output array, as ``cast_array_into`` does. A checked
conversion (no policy) gathers a flag and raises after the loop, as a user who
wants speed writes it.

Importing this module points Numba at the instruction set that tolvane's
extension runs on this processor (AVX2 with F16C, or SSE only), so that both
sides of a comparison use the same vector width: it must come before anything
imports numba.
"""
import os
import platform
import sys

import numpy as np

ROUND = {
    "nearest-even": "r = np.rint(x)",
    "towards-zero": "r = np.trunc(x)",
    "towards-positive": "r = np.ceil(x)",
    "towards-negative": "r = np.floor(x)",
    # x - trunc(x) is exact, so the half-way test is too; the step is
    # arithmetic, not a branch, which the loops that stay scalar (a conversion
    # to int64 has no AVX2 instruction) would mispredict half the time.
    "nearest-away": ("t = np.trunc(x)\nd = x - t\n"
                     "r = t + np.copysign(np.float64(abs(d) >= 0.5), d)"),
}


def extension_cpu_name():
    """The LLVM CPU name matching the widest vector paths the extension picks
    here: 'haswell' where the processor has AVX2 and F16C (there are no
    AVX-512 paths), 'generic' on other x86-64 processors, None elsewhere."""
    if platform.machine().lower() not in ("x86_64", "amd64"):
        return None
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split(":", 1)[1].split() for line in f
                          if line.startswith("flags")), [])
    except OSError:
        return "generic"
    return "haswell" if {"avx2", "f16c"} <= set(flags) else "generic"


def _choose_numba_target():
    if "numba" in sys.modules:
        raise RuntimeError("numba was imported before benchmarks/numba_sweep_loops.py "
                           "could choose its instruction set")
    if "NUMBA_CPU_NAME" in os.environ:  # the caller's choice stands
        return
    name = extension_cpu_name()
    if name is not None:
        os.environ["NUMBA_CPU_NAME"] = name
        # Without this Numba adds the host's features (AVX-512 where there is
        # one) to the named CPU's.
        os.environ.setdefault("NUMBA_CPU_FEATURES", "")


_choose_numba_target()

import numba  # noqa: E402  (after the choice above)

INTEGERS = {"int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"}
FLOATS = {"float32", "float64"}


def _float(value):
    return repr(float(value))


def _typed(dtype, value):
    return f"np.{dtype}({value})"


def _indent(text, depth):
    return "".join(" " * depth + line + "\n" for line in text.splitlines())


def _float_to_int(target, mode, policy, mapped):
    """Rounded in the source's float type, then clamped by comparisons,
    reduced through int64, or checked against the target's range."""
    info = np.iinfo(target)
    low, high_edge = _float(info.min), _float(info.max + 1)  # both powers of two or 0
    body = ROUND[mode] + "\n"
    guard = ""
    if policy == "clamp":
        body += (f"v = {_typed(target, info.min)} if r < {low} else "
                 f"({_typed(target, info.max)} if r >= {high_edge} else np.{target}(r))\n")
    elif policy == "wrap":
        body += "v = np.int64(r)\n"
    else:
        body += (f"inside = (r >= {low}) & (r < {high_edge})\n"
                 f"v = np.{target}(r) if inside else np.{target}(0)\n")
        guard = "inside | (x != x)" if mapped else "inside"
    return body, guard, "x != x"


def _int_to_int(source, target, policy):
    """Clamped by comparisons against the bounds the source can pass, wrapped
    by the store's truncation, or checked."""
    s, t = np.iinfo(source), np.iinfo(target)
    # A bound the source can pass lies in the source's range: compare in its type.
    low = _typed(source, t.min) if t.min > s.min else None
    high = _typed(source, t.max) if t.max < s.max else None
    body, guard = "", ""
    if policy == "clamp":
        v = "x"
        if high:
            v = f"{high} if x > {high} else {v}"
        if low:
            v = f"{low} if x < {low} else ({v})"
        body = f"v = {v}\n"
    else:
        body = "v = x\n"
        tests = ([f"(x < {low})"] if low else []) + ([f"(x > {high})"] if high else [])
        if policy is None and tests:
            guard = "not (" + " | ".join(tests) + ")"
    return body, guard, f"x == {_typed(source, 7)}"


def loop_text(source, target, mode, policy, mapped, carries_over):
    """The loop's source text, or (None, why) where no loop gives the same
    result. ``mapped`` adds the sweep's one-entry map (NaN or 7 to 1)."""
    if source not in INTEGERS | FLOATS or target not in INTEGERS | FLOATS:
        return None, "float16"
    guard = ""
    if source in FLOATS and target in INTEGERS:
        body, guard, hit = _float_to_int(target, mode, policy, mapped)
    elif source in INTEGERS and target in INTEGERS:
        body, guard, hit = _int_to_int(source, target, policy)
        if mapped and guard:
            guard = f"({hit}) | ({guard})"
    elif carries_over or source == "float32" and target == "float64":
        body, hit = "v = x\n", "x != x" if source in FLOATS else f"x == {_typed(source, 7)}"
    elif mode != "nearest-even":
        return None, "mode"
    elif source in INTEGERS:  # to float, under the processor's rounding
        body, hit = "v = x\n", f"x == {_typed(source, 7)}"
    else:  # float64 to float32: an infinity the source did not have overflowed
        body, hit = f"v = np.{target}(x)\n", "x != x"
        if policy is None:
            body += "inside = not (np.isinf(v) and not np.isinf(x))\n"
            guard = "inside"
    lines = "x = a[i]\n" + body
    if guard:
        lines += f"bad |= not ({guard})\n"
    if mapped:
        one = _typed(target, 1 if target in INTEGERS else 1.0)
        # Both arms in the target's type: Numba would unify a uint64 and a
        # signed integer to float64.
        lines += f"out[i] = {one} if {hit} else np.{target}(v)\n"
    else:
        lines += "out[i] = v\n"
    text = ("def loop(a, out):\n    bad = False\n    for i in range(a.size):\n"
            + _indent(lines, 8)
            + "    if bad:\n        raise ValueError('out of range')\n")
    return text, None


_compiled = {}


def compile_loop(text):
    """The @njit function of a loop's text, compiled once per text."""
    fn = _compiled.get(text)
    if fn is None:
        scope = {"np": np}
        exec(compile(text, "<numba sweep loop>", "exec"), scope)
        fn = _compiled[text] = numba.njit(scope["loop"])
    return fn

"""The Numba loops a user would write instead of calling tolvane: one @njit
loop per conversion of the NumPy comparison, with the same checks, writing
into an array that NumPy allocated. A check gathers a flag and raises after
the loop, as a user who wants speed writes it: a raise inside the loop keeps
LLVM from vectorising it. Numba has no float16 arithmetic, so the float16 row
works on the bit patterns."""
import numpy as np
from numba import njit

INT32_MIN, INT32_MAX = -2147483648, 2147483647


@njit
def f64_to_u8_nearest_clamp(a, out):
    nan = False
    for i in range(a.size):
        x = a[i]
        nan |= np.isnan(x)
        out[i] = min(max(np.rint(x), 0.0), 255.0)
    if nan:
        raise ValueError("NaN")


@njit
def f64_to_i32_nearest_checked(a, out):
    outside = False
    for i in range(a.size):
        r = np.rint(a[i])
        inside = r >= INT32_MIN and r <= INT32_MAX
        outside |= not inside
        out[i] = np.int32(r if inside else 0.0)
    if outside:
        raise ValueError("out of range")


@njit
def f64_to_f32_nearest_checked(a, out):
    overflow = False
    for i in range(a.size):
        x = a[i]
        f = np.float32(x)
        overflow |= np.isinf(f) and not np.isinf(x)
        out[i] = f
    if overflow:
        raise ValueError("overflow")


@njit
def f32_to_f16_towards_zero_bits(bits, out):
    """float32 patterns (uint32) to float16 patterns (uint16), truncating."""
    for i in range(bits.size):
        x = bits[i]
        sign = (x >> 16) & 0x8000
        ax = x & 0x7FFFFFFF
        if ax > 0x7F800000:  # NaN: quiet, top payload bits kept
            h = 0x7E00 | ((ax >> 13) & 0x3FF)
        elif ax == 0x7F800000:
            h = 0x7C00
        elif ax >= 0x477FF000:  # beyond 65504: the largest finite value
            h = 0x7BFF
        elif ax >= 0x38800000:  # normal: rebias and drop the low bits
            h = (ax - 0x38000000) >> 13
        else:  # subnormal: whole units of 2^-24
            shift = 126 - (ax >> 23)
            h = ((ax & 0x7FFFFF) | 0x800000) >> shift if shift < 32 else 0
        out[i] = sign | h


@njit
def i64_to_i32_checked(a, out):
    outside = False
    for i in range(a.size):
        x = a[i]
        outside |= x < INT32_MIN or x > INT32_MAX
        out[i] = x
    if outside:
        raise ValueError("out of range")


@njit
def i32_to_u8_wrap(a, out):
    for i in range(a.size):
        out[i] = a[i] & 0xFF


@njit
def i64_to_f32_nearest(a, out):
    for i in range(a.size):
        out[i] = np.float32(a[i])


@njit
def f64_to_i16_nan_map_towards_zero_clamp(a, out):
    for i in range(a.size):
        x = a[i]
        if np.isnan(x):
            out[i] = -1
        else:
            out[i] = np.int16(min(max(np.trunc(x), -32768.0), 32767.0))

"""Writes the fuzzer's seed inputs into fuzz/corpus: for every (source,
target) pair, one input of every interesting value with its neighbours, one
of small values around ties, one of small values with an interesting one
among them, one that mixes every kind of element under a map
whose sources come from the buffer, and one of random raw elements under a
three-entry map.

Layout of an input (fuzz/pair_checks.hpp reads it): source index, target
index, shape, fill byte, layout byte (map size + 4 * style), the map entries
(a byte, a source element, a raw target each), then the elements.
"""
import math
import random
import struct
import sys
from pathlib import Path

SIZES = [1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8]  # element bytes, in the fuzzer's type order
INTERESTING_PICKS = 52 * 5  # every interesting value with every nudge
RAW, INTERESTING, SMALL, MIXED, SPIKED = range(5)


def element(rng, style, size, kind=None):
    """The bytes of one element read under `style` (kind picks for MIXED)."""
    if style == MIXED:
        kind = rng.randrange(3) if kind is None else kind
        return bytes([kind]) + element(rng, kind, size)
    if style == INTERESTING:
        return bytes([rng.randrange(256)])
    if style in (SMALL, SPIKED):
        return rng.randrange(-2048, 2048).to_bytes(2, "little", signed=True)
    return rng.randbytes(size)


def seed(source, target, shape, fill, style, map_entries, elements):
    out = bytearray([source, target, shape, fill, len(map_entries) + 4 * style])
    for how, source_bytes, target_bytes in map_entries:
        out += bytes([how]) + source_bytes + target_bytes
    return bytes(out + elements)


# Values where conversions change behaviour; the dictionary holds each as the
# bytes of every type that can hold it, and its neighbours.
DICTIONARY_VALUES = [
    0.5, 1.5, 2.5, 127, 128, -129, 255, 255.5, 256, 32767, 32768, -32769, 65504, 65519,
    65519.998046875, 65520, 65535, 65536, 2.0**24 + 1, 2147483647, 2147483647.5, 2.0**31,
    -(2.0**31) - 1, 2.0**32, 2.0**53 + 1, 2.0**63, -(2.0**63), 2.0**64, 2.0**60,
    float.fromhex("0x1.ffffffp127"), float.fromhex("0x1.fffffep127"), 1e39, 2.0**-24,
    2.0**-25, 2.0**-149, 2.0**-150, 0.49999999999999994, 4503599627370497.0, 8388609.0,
    1.0004882812509095, 1e-50, math.inf, math.nan,
]


def dictionary_tokens():
    tokens = set()
    for value in DICTIONARY_VALUES:
        for sign in (1, -1):
            v = sign * value
            for fmt in ("<d", "<f", "<e"):
                try:
                    packed = struct.pack(fmt, float(v))
                except (OverflowError, struct.error):
                    continue
                bits = int.from_bytes(packed, "little")
                for step in (-1, 0, 1):
                    tokens.add(((bits + step) % 256 ** len(packed)).to_bytes(len(packed), "little"))
            if not math.isfinite(v) or v != int(v):
                continue
            for width in (1, 2, 4, 8):
                for signed in (True, False):
                    for step in (-1, 0, 1):
                        try:
                            tokens.add((int(v) + step).to_bytes(width, "little", signed=signed))
                        except OverflowError:
                            pass
    return sorted(tokens)


def write_dictionary(path):
    lines = ["# Edge values as the bytes of each element type (written by make_seeds.py)."]
    for token in dictionary_tokens():
        lines.append('"' + "".join(f"\\x{b:02x}" for b in token) + '"')
    path.write_text("\n".join(lines) + "\n")


def main(directory):
    rng = random.Random(7)
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("seed-*"):
        old.unlink()
    for s in range(11):
        for d in range(11):
            def entry(how, style):
                return (how, element(rng, style, SIZES[s]), rng.randbytes(SIZES[d]))

            inputs = {
                "interesting": seed(s, d, 0, 0xA5, INTERESTING, [],
                                    bytes(k % 256 for k in range(INTERESTING_PICKS))),
                "small": seed(s, d, 1, 0x5A, SMALL, [entry(0, SMALL)],
                              b"".join(element(rng, SMALL, SIZES[s]) for _ in range(48))),
                "mixed-map": seed(s, d, 5, 0x00, MIXED, [entry(1 + 4 * 3, MIXED), entry(0, MIXED)],
                                  b"".join(element(rng, MIXED, SIZES[s]) for _ in range(40))),
                "spiked": seed(s, d, 0, 0x3C, SPIKED, [],
                               bytes([1, rng.randrange(256), rng.randrange(256)]) +
                               b"".join(element(rng, SMALL, SIZES[s]) for _ in range(34))),
                "raw-map": seed(s, d, 2, 0xFF, RAW, [entry(1 + 4 * k, RAW) for k in range(3)],
                                b"".join(element(rng, RAW, SIZES[s]) for _ in range(64))),
            }
            for name, data in inputs.items():
                (directory / f"seed-{s:02d}-{d:02d}-{name}").write_bytes(data)


if __name__ == "__main__":
    here = Path(__file__).parent
    main(sys.argv[1] if len(sys.argv) > 1 else here / "corpus")
    write_dictionary(here / "core.dict")

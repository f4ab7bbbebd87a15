"""Converts float64 samples to uint8 pixels in one checked pass."""
import numpy as np

import tolvane

samples = np.array([[-3.2, 0.5, 1.5], [254.5, 255.49, 900.0]])
pixels = tolvane.cast_array(samples, target_dtype="uint8", rounding_mode="nearest-even",
                            out_of_range_mode="clamp")
print(pixels)

with_nan = np.array([1.0, np.nan, 70000.0])
codes = tolvane.cast_array(with_nan, target_dtype="int16", rounding_mode="towards-zero",
                           out_of_range_mode="clamp", scalar_map_entries={float("nan"): -1})
print(codes)

try:
    tolvane.cast_array(np.array([1.0, 300.7]), target_dtype="uint8", rounding_mode="nearest-even")
except ValueError as error:
    print("ValueError:", error)

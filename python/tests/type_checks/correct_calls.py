"""Calls as users write them: mypy --strict accepts every one, and each runs."""
import enum

import numpy as np
import numpy.typing as npt

import tolvane
from tolvane import cast_array, cast_array_into


class Code(enum.IntEnum):
    MISSING = -1


samples = np.array([[-3.2, 0.5], [254.5, 900.0]])
pixels: npt.NDArray[np.uint8] = cast_array(samples, target_dtype="uint8",
                                           rounding_mode="nearest-even", out_of_range_mode="clamp")
tolvane.cast_array(arr=samples, target_dtype="float16", rounding_mode="towards-zero",
                   out_of_range_mode=None, scalar_map_entries=None)

out = np.zeros(samples.shape, dtype=np.int16)
cast_array_into(samples, out, rounding_mode="towards-negative",
                out_of_range_mode="wrap")
cast_array_into(arr=samples, out=out, rounding_mode="nearest-away")

# Every accepted form of scalar map, with Python and NumPy scalars as values.
sentinels = {float("nan"): -1}
cast_array(samples, target_dtype="int16", rounding_mode="towards-positive",
           scalar_map_entries=sentinels)
cast_array(samples, target_dtype="int16", rounding_mode="nearest-even",
           scalar_map_entries={1: 2, 2.5: Code.MISSING, np.float64(4.0): True})
cast_array(samples, target_dtype="int16", rounding_mode="nearest-even",
           scalar_map_entries=[(float("nan"), True), [0.5, 1], (np.float32(2.5), np.uint8(2))])
cast_array(samples, target_dtype="float32", rounding_mode="nearest-even",
           scalar_map_entries=np.array([[np.nan, 0.0], [900.0, 255.0]]))
cast_array(samples, target_dtype="float32", rounding_mode="nearest-even",
           scalar_map_entries=((value, 0) for value in (1.5, 2.5)))
cast_array(samples, target_dtype="uint8", rounding_mode="nearest-even", out_of_range_mode="clamp",
           scalar_map_entries=zip([1.0, 2.0], [3, 4]))

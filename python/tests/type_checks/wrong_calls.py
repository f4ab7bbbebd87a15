"""Calls that mypy must refuse, each with the error it gives in its trailing E: comment."""
import numpy as np

from tolvane import cast_array, cast_array_into

samples = np.zeros(3)
cast_array(samples, target_dtype="uint8", rounding_mode="nearest")  # E: Argument "rounding_mode" to "cast_array" has incompatible type "Literal['nearest']"; expected "Literal['nearest-even', 'towards-zero', 'towards-positive', 'towards-negative', 'nearest-away']"  [arg-type]
cast_array(samples, "uint8", rounding_mode="nearest-even")  # E: Too many positional arguments for "cast_array"  [misc]
cast_array(samples, target_dtype="uint8", rounding_mode="nearest-even", out_of_range_mode="saturate")  # E: Argument "out_of_range_mode" to "cast_array" has incompatible type "Literal['saturate']"; expected "Literal['clamp', 'wrap'] | None"  [arg-type]
cast_array(samples, target_dtype="bool", rounding_mode="nearest-even")  # E: Argument "target_dtype" to "cast_array" has incompatible type "Literal['bool']"; expected "Literal['int8', 'int16', 'int32', 'int64', 'uint8', 'uint16', 'uint32', 'uint64', 'float16', 'float32', 'float64']"  [arg-type]
cast_array_into(samples, np.zeros(3, np.uint8), target_dtype="uint8", rounding_mode="towards-zero")  # E: Unexpected keyword argument "target_dtype" for "cast_array_into"  [call-arg]
cast_array(samples, target_dtype="uint8", rounding_mode="towards-zero", scalar_map_entries=[("nan", 0)])  # E: List item 0 has incompatible type "tuple[str, int]"; expected "_Pair"  [list-item]

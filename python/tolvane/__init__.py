"""Exact conversions of NumPy arrays between numeric dtypes, under explicit
rounding modes, out-of-range policies and scalar maps."""

from tolvane._tolvane import cast_array, cast_array_into

__all__ = ["cast_array", "cast_array_into"]

from collections.abc import Iterable, Set
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias

from numpy.typing import NDArray

__all__ = ["cast_array", "cast_array_into"]

_DType: TypeAlias = Literal["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
                            "uint64", "float16", "float32", "float64"]
_RoundingMode: TypeAlias = Literal["nearest-even", "towards-zero", "towards-positive",
                                   "towards-negative", "nearest-away"]
_OutOfRangeMode: TypeAlias = Literal["clamp", "wrap"]

# An integer dtype takes any object with __index__ (int, bool, NumPy integers),
# a float dtype also any object with __float__ (float, NumPy floats).
_Scalar: TypeAlias = SupportsIndex | SupportsFloat

# A pair is anything of length 2 that yields its source and target for the
# indices 0 and 1: a tuple, a list, a row of a NumPy array of shape (n, 2).
class _Pair(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Scalar: ...

# Described by items() rather than as a Mapping, whose key type is invariant, so
# that a dict[float, int] is accepted. mypy types a dict display that mixes
# unrelated scalar classes (an int and a NumPy integer) as dict[..., object],
# which is refused: annotate such a dict, or give the pairs as a list.
class _ScalarMapping(Protocol):
    def __len__(self) -> int: ...
    def items(self) -> Set[tuple[_Scalar, _Scalar]]: ...

_ScalarMap: TypeAlias = _ScalarMapping | Iterable[_Pair]

def cast_array(
    arr: NDArray[Any],
    *,
    target_dtype: _DType,
    rounding_mode: _RoundingMode,
    out_of_range_mode: _OutOfRangeMode | None = None,
    scalar_map_entries: _ScalarMap | None = None,
) -> NDArray[Any]: ...
def cast_array_into(
    arr: NDArray[Any],
    out: NDArray[Any],
    *,
    rounding_mode: _RoundingMode,
    out_of_range_mode: _OutOfRangeMode | None = None,
    scalar_map_entries: _ScalarMap | None = None,
) -> None: ...

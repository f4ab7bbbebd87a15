"""What the installed NumPy can do, found by trying it rather than by reading its
version: the suite also runs against NumPy 1.26, the oldest release we support."""

import numpy as np
import pytest


def _holds_dimensions(ndim):
    try:
        np.empty((1,) * ndim)
    except ValueError:
        return False
    return True


# NumPy 2 arrays have up to 64 dimensions, NumPy 1 arrays 32; the module's own
# limit of 32 can only be crossed with the former.
HOLDS_33_DIMENSIONS = _holds_dimensions(33)
needs_33_dimensions = pytest.mark.skipif(not HOLDS_33_DIMENSIONS,
                                         reason="this NumPy makes no array of 33 dimensions")

# NumPy 1's bool scalar still has a (deprecated) __index__, so it converts to an integer.
BOOL_SCALAR_HAS_INDEX = hasattr(np.bool_, "__index__")

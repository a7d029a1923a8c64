"""Array types shared by the steps."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]
#: Text values as pandas and numpy hold them (Python str objects).
ObjectArray = npt.NDArray[np.object_]

"""Type-checked usage of the shipped stubs; mypy and basedpyright must accept this file as it is."""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

import gapwright
from gapwright import MNARrs, PanicException

Float2D = np.ndarray[tuple[int, int], np.dtype[np.float64]]
Object2D = np.ndarray[tuple[int, int], np.dtype[np.object_]]

m = MNARrs()
m = MNARrs(0.5, 0.1, 7, 2)
m = MNARrs(mean=np.float64(0.3), variance=1, seed=np.uint64(3), n_workers=True)
m = MNARrs(seed=1, dump=False)

floats: npt.NDArray[np.float64] = np.zeros((3, 2))
objects: npt.NDArray[np.object_] = np.empty((3, 2), dtype=object)
frame = pd.DataFrame({"a": [1.0, 2.0]})

assert_type(m(floats, 0.1), Float2D)
assert_type(m(objects, alpha=1), Object2D)
assert_type(m(np.empty((3, 2), dtype=object), 0.1), np.ndarray[tuple[int, int], np.dtype[Any]])
assert_type(m(data=frame, alpha=np.float32(0.5)), pd.DataFrame)
assert_type(repr(m), str)
assert_type(gapwright.__version__, str)
internal: BaseException = PanicException("Sample is nan")

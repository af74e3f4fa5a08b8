from typing import Any, SupportsFloat, SupportsIndex, overload

import numpy as np
import numpy.typing as npt
from pandas import DataFrame

__all__ = ["MNARrs"]

_Real = SupportsFloat | SupportsIndex

class MNARrs:
    """Seeded Missing-Not-At-Random masking of numpy arrays and pandas DataFrames.

    ``MNARrs(mean, variance, seed, n_workers)(data, alpha)`` returns a new container of
    the same kind as ``data`` in which ``ceil(alpha * rows * cols)`` cells are missing.
    """

    def __new__(
        cls,
        mean: _Real | None = None,
        variance: _Real | None = None,
        seed: SupportsIndex | None = None,
        n_workers: SupportsIndex | None = None,
    ) -> MNARrs: ...
    @overload
    def __call__(
        self, data: np.ndarray[Any, np.dtype[np.float64]], alpha: _Real
    ) -> npt.NDArray[np.float64]: ...
    @overload
    def __call__(
        self, data: np.ndarray[Any, np.dtype[np.object_]], alpha: _Real
    ) -> npt.NDArray[np.object_]: ...
    @overload
    def __call__(self, data: DataFrame, alpha: _Real) -> DataFrame: ...

from typing import Any, SupportsFloat, SupportsIndex, TypeVar, overload

import numpy as np
from pandas import DataFrame

__all__ = ["MNARrs"]

__version__: str

_Real = SupportsFloat | SupportsIndex

# One constrained variable rather than one overload per dtype: an array whose
# dtype the checker cannot see (np.array(..., dtype=object) is typed dtype[Any])
# then gives an array of unknown dtype in mypy and in pyright alike, where
# pyright would take the first matching overload and call it float64.
_Cell = TypeVar("_Cell", np.float64, np.object_)

class PanicException(BaseException):
    """An expectation inside the native code did not hold.

    Derives from BaseException, not Exception, so that ``except Exception``
    does not swallow it.
    """

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
        *,
        dump: bool | np.bool_ | None = True,
    ) -> MNARrs: ...
    def __reduce__(
        self,
    ) -> tuple[type[MNARrs], tuple[float, float, int, int], tuple[int, bool, int]]: ...
    def __setstate__(self, state: tuple[int, bool, int], /) -> None: ...
    # Any shape on the way in: before numpy 2.3 NDArray's shape is tuple[int, ...],
    # which a parameter typed 2-D would refuse. The result is always 2-D.
    @overload
    def __call__(
        self, data: np.ndarray[Any, np.dtype[_Cell]], alpha: _Real
    ) -> np.ndarray[tuple[int, int], np.dtype[_Cell]]: ...
    @overload
    def __call__(self, data: DataFrame, alpha: _Real) -> DataFrame: ...

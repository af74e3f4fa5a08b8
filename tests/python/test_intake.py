"""Intake: which inputs are accepted, how their cells are read, what is refused.

With alpha 0 a call blanks nothing, so it returns the intake's reading of the
input rebuilt as a new container.
"""

import sys

import numpy as np
import pandas as pd
import pytest

import gapwright

UNSUPPORTED = "'. Supported types are: numpy.ndarray, pandas.DataFrame, polars.DataFrame, pyarrow.Table"


def unmasked(data):
    return gapwright.MNARrs(seed=0)(data, 0.0)


def misaligned(expected):
    view = np.zeros(expected.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64)
    view[:] = expected.ravel()
    return view.reshape(expected.shape)


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a,
        np.asfortranarray,
        lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
        lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
        misaligned,
        lambda a: np.ma.masked_array(a, mask=a > 0),
    ],
    ids=["c", "fortran", "strided", "negative-strides", "misaligned", "subclass"],
)
# Tables of several MiB are copied on the pool too, tall ones split by rows
# and wide ones by columns.
@pytest.mark.parametrize("shape", [(3, 4), (200_003, 3), (3, 200_003)], ids=["small", "tall", "wide"])
def test_every_layout_reads_like_the_c_copy(layout, shape):
    expected = np.arange(shape[0] * shape[1], dtype=np.float64).reshape(shape) * 1.25 - 3
    data = layout(expected.copy())
    result = unmasked(data)
    assert type(result) is np.ndarray and result.flags.c_contiguous
    np.testing.assert_array_equal(result, expected)
    assert not np.shares_memory(result, data)
    np.testing.assert_array_equal(data, expected)


@pytest.mark.parametrize(
    "data, name",
    [
        (np.arange(3.0), "'numpy.ndarray' with 1 dimension (2 needed)"),
        (np.zeros((2, 2, 2)), "'numpy.ndarray' with 3 dimensions (2 needed)"),
        ([[1.0]], "'list'"),
        (pd.Series([1.0]), "'Series'"),
        (type("DataFrame", (), {"__module__": "polars.dataframe.frame"})(), "'polars.dataframe.frame.DataFrame'"),
    ],
)
def test_unsupported_inputs(data, name):
    """A name that reads like a supported type is spelled out in full."""
    with pytest.raises(TypeError) as caught:
        unmasked(data)
    assert str(caught.value) == "Unsupported type: " + name + UNSUPPORTED[1:]


@pytest.mark.parametrize("dtype", [np.int64, np.float32, np.bool_, ">f8"])
def test_arrays_not_native_float64_are_refused(dtype):
    with pytest.raises(BufferError, match="^buffer contents are not compatible with f64$"):
        unmasked(np.ones((2, 2), dtype=dtype))


class ndarray:  # noqa: N801 - dispatch goes by this exact type name
    """Looks like a numpy array by name, shape and dtype; exports a real one's buffer."""

    def __init__(self, shape, backing):
        self.shape = shape
        self.dtype = type("dtype", (), {"name": "float64"})()
        self._backing = backing

    def __buffer__(self, flags):
        return memoryview(self._backing)


def test_look_alike_ndarray_goes_through_the_buffer(panic):
    backing = np.arange(6.0).reshape(2, 3)
    if sys.version_info < (3, 12):
        # Python classes export buffers only from 3.12 on; the interpreter's
        # refusal reaches the caller unchanged.
        with pytest.raises(TypeError, match="bytes-like object is required"):
            unmasked(ndarray([2, 3], backing))
        return
    np.testing.assert_array_equal(unmasked(ndarray([2, 2], backing[:, ::2])), backing[:, ::2])
    with pytest.raises(BufferError, match=r"^slice to copy to \(of length 8\) does not match buffer length of 6$"):
        unmasked(ndarray((4, 2), backing))
    with pytest.raises(ValueError, match="^Expected a 2-dimensional array$"):
        unmasked(ndarray((6, 1), backing.ravel()))
    with pytest.raises(OverflowError):
        unmasked(ndarray((2, -3), backing))
    with pytest.raises(TypeError):
        unmasked(ndarray("23", backing))
    np.testing.assert_array_equal(unmasked(ndarray((3, 2), backing)), backing.reshape(3, 2))
    with panic("a table of shape"):
        unmasked(ndarray((2**40, 2**40), backing))


# A real numpy array whose Python-level shape disagrees with its data.
LyingArray = type("ndarray", (np.ndarray,), {"shape": property(lambda self: (5, 5))})


def test_ndarray_subclass_whose_shape_lies(panic):
    with panic("array shape (5, 5) does not match"):
        unmasked(np.array([["a", 1.0], ["b", 2.0]], dtype=object).view(LyingArray))
    with panic("array shape (5, 5) does not match"):
        unmasked(np.zeros((2, 2), dtype=np.int64).view(LyingArray))


def test_frames_of_numbers():
    frame = pd.DataFrame({0: [True, False], 1: [3, -4], 2: [0.5, np.nan]}, index=["x", "y"])
    result = unmasked(frame)
    assert list(result.columns) == ["0", "1", "2"] and list(result.index) == [0, 1]
    assert list(result.dtypes) == [np.float64] * 3
    np.testing.assert_array_equal(result.to_numpy(), [[1.0, 3.0, 0.5], [0.0, -4.0, np.nan]])
    floats = pd.DataFrame(np.ones((2, 2)))
    assert not np.shares_memory(unmasked(floats).to_numpy(), floats.to_numpy())
    assert unmasked(pd.DataFrame(index=range(3))).shape == (3, 0)


class LyingFrame(pd.DataFrame):
    _metadata = ["lie"]

    @property
    def _constructor(self):
        return LyingFrame

    @property
    def shape(self):
        return self.lie


def lying(frame, shape):
    frame = LyingFrame(frame)
    frame.lie = shape
    return frame


def test_frame_whose_shape_lies(panic):
    numbers = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    with panic("the frame has 2 column labels"):
        unmasked(lying(numbers, (2, 3)))
    with pytest.raises(BufferError, match=r"of length 10\) does not match buffer length of 4$"):
        unmasked(lying(numbers, (5, 2)))
    texts = pd.DataFrame({"s": ["x", "y", "z"]})
    with panic("column 0 holds 3 cells but the frame has 4 rows"):
        unmasked(lying(texts, (4, 1)))
    with panic("column 0 holds more cells"):
        unmasked(lying(texts, (2, 1)))


def test_frames_breaking_pandas_conventions(panic):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    class NoDtypes(pd.DataFrame):
        @property
        def dtypes(self):
            raise RuntimeError("hidden")

    with panic("Failed str conversion: ValueError: no text"):
        unmasked(pd.DataFrame({Unprintable(): [1.0]}))
    with panic("dtypes attr not found"):
        unmasked(NoDtypes({"a": [1.0]}))

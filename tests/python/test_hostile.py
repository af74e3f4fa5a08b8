"""Hostile inputs: wrong kinds, broken look-alikes, lying metadata, odd numbers.

Every case runs on a fresh instance and checks three things: the exact
outcome (an exception type and message, or an accepted result), that the
input object is unchanged afterwards, and that the same instance still masks
a good table correctly afterwards.
"""

import copy
import math
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, Callable

import numpy as np
import pandas as pd
import pytest

import reference
from conftest import is_panic
from gapwright import MNARrs

UNSUPPORTED = "'. Supported types are: numpy.ndarray, pandas.DataFrame, polars.DataFrame, pyarrow.Table"
NAN_CAUSE = " is NaN, as the column holds a NaN or an infinity; fill or drop those cells before masking"
NAN_VARIANCE = "Sample is nan: variance is NaN, so every threshold is; pass a number"
NOT_F64 = "buffer contents are not compatible with f64"
NOT_2D = "Expected a 2-dimensional array"


def length_mismatch(wanted, held):
    return f"slice to copy to (of length {wanted}) does not match buffer length of {held}"


# ---------------------------------------------------------------- outcomes


@dataclass
class Raises:
    """The call raises exactly `exc` (not a subclass) with this message."""

    exc: type
    message: str | None = None
    prefix: str | None = None

    def verify(self, outcome):
        assert isinstance(outcome, BaseException), f"expected {self.exc.__name__}, got a result"
        assert type(outcome) is self.exc, f"expected {self.exc.__name__}, got {outcome!r}"
        if self.message is not None:
            assert str(outcome) == self.message
        if self.prefix is not None:
            assert str(outcome).startswith(self.prefix), str(outcome)


@dataclass
class Panics:
    prefix: str = ""

    def verify(self, outcome):
        assert isinstance(outcome, BaseException) and is_panic(outcome), f"expected a panic, got {outcome!r}"
        assert len(outcome.args) == 1 and outcome.args[0].startswith(self.prefix), outcome.args


@dataclass
class PanicsOrNoMemory:
    """Memory that cannot be obtained: how that surfaces is the module's choice."""

    def verify(self, outcome):
        assert isinstance(outcome, BaseException), "expected a failure"
        assert type(outcome) is MemoryError or is_panic(outcome), repr(outcome)


@dataclass
class Returns:
    """The call returns; `check` asserts on the result or returns whether it is right."""

    check: Callable[[Any], bool | None]

    def verify(self, outcome):
        assert not isinstance(outcome, BaseException), f"unexpected {outcome!r}"
        assert self.check(outcome) is not False, f"unexpected result:\n{outcome!r}"


NAN_IN_COLUMN_0 = Raises(ValueError, "Sample is nan: the threshold drawn for column 0" + NAN_CAUSE)


def same_as(pandas_call):
    """The exception that pandas or numpy raises for the same conversion, passed on unchanged."""
    try:
        pandas_call()
    except Exception as e:  # noqa: BLE001 - whatever it is must come through as is
        return Raises(type(e), str(e))
    raise AssertionError("the conversion was expected to fail")


def equals_array(expected, dtype=np.float64):
    def check(result):
        assert type(result) is np.ndarray and result.dtype == dtype
        np.testing.assert_array_equal(result, expected)

    return check


def matches_reference(x, alpha, seed, mean, variance):
    def check(result):
        expected, _ = reference.mask(x.tolist(), alpha, seed, mean, variance)
        np.testing.assert_array_equal(result, np.array(expected))

    return check


# ---------------------------------------------------------------- look-alikes


class LookAlike:
    """A numpy array by type name only: shape, dtype and a buffer borrowed from `backing`.

    Subclasses replace any of these by class attributes."""

    def __init__(self, backing, shape=None, dtype_name=None):
        self.backing = backing
        self._shape = shape
        self._dtype_name = dtype_name

    @property
    def shape(self):
        return self.backing.shape if self._shape is None else self._shape

    @property
    def dtype(self):
        return SimpleNamespace(name=self._dtype_name or self.backing.dtype.name)

    def __buffer__(self, flags):
        return memoryview(self.backing)

    def __getitem__(self, key):
        return self.backing[key]


def lookalike(backing, shape=None, dtype_name=None, **attrs):
    """An instance of a LookAlike subclass whose qualified name is exactly 'ndarray'.

    A `shape` that is a property replaces the attribute itself."""
    if isinstance(shape, property):
        attrs["shape"], shape = shape, None
    return type("ndarray", (LookAlike,), attrs)(backing, shape, dtype_name)


def raising(exc):
    def fail(*args, **kwargs):
        raise exc

    return fail


def raising_property(exc):
    return property(raising(exc))


def raising_iterable(good_items, exc):
    class Iterable:
        def __iter__(self):
            yield from good_items
            raise exc

    return Iterable()


class HostileFrame(pd.DataFrame):
    """Base of the frame subclasses below; pandas operations build plain frames.

    pandas derives `shape` from `columns`, so cases that make `columns` lie fix
    `shape` to keep the two in disagreement."""

    @property
    def _constructor(self):
        return pd.DataFrame


def hostile_frame(base, **attrs):
    cls = type("HostileFrame", (HostileFrame,), attrs)
    return cls(base)


def frame_with_series(base, **series_attrs):
    """A frame whose column selections are Series carrying `series_attrs`."""
    series = type("HostileSeries", (pd.Series,), {"_constructor": property(lambda self: pd.Series), **series_attrs})
    # `dtypes` is built with the sliced constructor too; keep it plain.
    return hostile_frame(
        base,
        _constructor_sliced=property(lambda self: series),
        dtypes=property(lambda self: pd.DataFrame(self).dtypes),
    )


class Text:
    def __init__(self, text=None, float_error=None, str_result=None):
        self.text, self.float_error, self.str_result = text, float_error, str_result

    def __float__(self):
        if self.float_error is not None:
            raise self.float_error
        return "not a float"  # float() then fails with TypeError

    def __str__(self):
        return self.str_result if self.str_result is not None else self.text


def message_of(call):
    """What the interpreter says when `call` fails: its wording changes between versions."""
    try:
        call()
    except Exception as exc:
        return str(exc)
    raise AssertionError("the call was expected to fail")


def misaligned(values):
    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(values.shape)
    raw[...] = values
    return raw


def object_column(cells):
    return np.array(cells + [None], dtype=object)[:-1].reshape(-1, 1)


NUMBERS = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
NUMBERS_2x3 = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0], "c": [5.0, 6.0]})
MIXED = pd.DataFrame({"a": [1.0, 2.0], "s": pd.Series(["x", "y"], dtype=object)})
GRID = np.arange(6.0).reshape(2, 3)
LYING_SHAPE = type("ndarray", (np.ndarray,), {"shape": property(lambda self: (1, 1))})
UNINDEXABLE = type("ndarray", (np.ndarray,), {"__getitem__": raising(IndexError("no cells"))})


class NestedHolder:
    class ndarray:  # noqa: N801 - a qualified name of "NestedHolder.ndarray" is not "ndarray"
        shape = (1, 1)


Unnamed = type("Unnamed", (), {})
Unnamed.__qualname__ = "\udc80"  # cannot be read as UTF-8
NulNamed = type("NulNamed", (), {})
NulNamed.__qualname__ = "before\x00after"


def recording_frame():
    seen = []

    def to_numpy(self, *args, **kwargs):
        seen.append((args, kwargs))
        return pd.DataFrame.to_numpy(self, *args, **kwargs)

    frame = hostile_frame(NUMBERS, to_numpy=to_numpy)

    def check(result):
        assert seen == [((), {"dtype": "float64", "copy": False})]
        assert result.to_numpy().tolist() == [[1.0, 3.0], [2.0, 4.0]]

    return frame, check


# ---------------------------------------------------------------- the cases


@dataclass
class Case:
    id: str
    make: Callable[[], Any]
    expect: Any
    alpha: Any = 0.5
    mnar: dict = field(default_factory=dict)


def _recording_case():
    frame, check = recording_frame()
    return Case("frame-to-numpy-gets-float64-no-copy", lambda: frame, Returns(check), alpha=0.0)


HOSTILE = [
    # ---- not a table at all
    *[
        Case(f"unsupported-{name}", make, Raises(TypeError, "Unsupported type: '" + name + UNSUPPORTED))
        for name, make in [
            ("list", lambda: [[1.0, 2.0], [3.0, 4.0]]),
            ("NoneType", lambda: None),
            ("float", lambda: 3.0),
            ("int", lambda: 7),
            ("str", lambda: "1.0"),
            ("dict", lambda: {"a": [1.0, 2.0]}),
            ("Series", lambda: pd.Series([1.0, 2.0])),
            ("Index", lambda: pd.Index([1.0, 2.0])),
            ("float64", lambda: np.float64(1.0)),
            ("memoryview", lambda: memoryview(np.zeros((2, 2)))),
            ("matrix", lambda: np.matrix([[1, 2], [3, 4]])),
            ("recarray", lambda: np.rec.array([(1.0,), (2.0,)], dtype=[("x", "f8")])),
            ("NestedHolder.ndarray", lambda: NestedHolder.ndarray()),
            ("\udc80", lambda: Unnamed()),
            ("before\x00after", lambda: NulNamed()),
        ]
    ],
    # ---- numpy arrays that are not two-dimensional
    *[
        Case(
            f"ndarray-{label}",
            make,
            Raises(TypeError, f"Unsupported type: '{module}.ndarray' with {dims}{UNSUPPORTED[1:]}"),
        )
        for label, make, module, dims in [
            ("0d-float", lambda: np.array(1.0), "numpy", "0 dimensions (2 needed)"),
            ("1d-float", lambda: np.arange(3.0), "numpy", "1 dimension (2 needed)"),
            ("3d-float", lambda: np.zeros((2, 2, 2)), "numpy", "3 dimensions (2 needed)"),
            ("0d-object", lambda: np.array("x", dtype=object), "numpy", "0 dimensions (2 needed)"),
            ("1d-object", lambda: np.array(["x", 1.0], dtype=object), "numpy", "1 dimension (2 needed)"),
            ("3d-int", lambda: np.zeros((1, 2, 3), dtype=np.int64), "numpy", "3 dimensions (2 needed)"),
            ("1d-empty", lambda: np.zeros(0), "numpy", "1 dimension (2 needed)"),
            (
                "lookalike-3-entries",
                lambda: lookalike(np.zeros((2, 2)), shape=(2, 2, 1)),
                LookAlike.__module__,
                "3 dimensions (2 needed)",
            ),
            (
                "lookalike-1-entry",
                lambda: lookalike(np.zeros((2, 2)), shape=[4]),
                LookAlike.__module__,
                "1 dimension (2 needed)",
            ),
        ]
    ],
    # ---- two-dimensional arrays that are not native float64
    *[
        Case(
            f"dtype-{np.dtype(dtype).str}",
            lambda dtype=dtype: np.ones((2, 2), dtype=dtype),
            Raises(BufferError, NOT_F64),
        )
        for dtype in [
            np.int64,
            np.uint64,
            np.int8,
            np.float32,
            np.float16,
            np.longdouble,
            np.bool_,
            np.complex128,
            ">f8",
            "U3",
            "S8",
            [("a", "f8")],
        ]
    ],
    # numpy would refuse these a buffer with an error of its own; a numpy
    # array's dtype is checked before a buffer is asked for
    *[
        Case(f"dtype-{dtype}", lambda dtype=dtype: np.ones((2, 2), dtype=dtype), Raises(BufferError, NOT_F64))
        for dtype in ["datetime64[ns]", "timedelta64[s]"]
    ],
    Case("big-endian-misaligned", lambda: misaligned(np.ones((2, 2))).astype(">f8"), Raises(BufferError, NOT_F64)),
    Case("big-endian-fortran", lambda: np.asfortranarray(np.ones((3, 2), dtype=">f8")), Raises(BufferError, NOT_F64)),
    Case(
        "int-view-of-float-lookalike",
        lambda: lookalike(np.zeros((2, 2), dtype=np.int64), dtype_name="float64"),
        Raises(BufferError, NOT_F64),
    ),
    Case("lookalike-misaligned", lambda: lookalike(misaligned(GRID)), Returns(equals_array(GRID)), alpha=0.0),
    Case("lookalike-3d-buffer", lambda: lookalike(np.zeros((2, 2, 2)), shape=(2, 4)), Raises(ValueError, NOT_2D)),
    Case("lookalike-0d-buffer", lambda: lookalike(np.array(1.0), shape=(1, 1)), Raises(BufferError, "shape is null")),
    Case("lookalike-too-few-cells", lambda: lookalike(GRID, shape=(3, 3)), Raises(BufferError, length_mismatch(9, 6))),
    Case("lookalike-too-many-cells", lambda: lookalike(GRID, shape=(1, 1)), Raises(BufferError, length_mismatch(1, 6))),
    # the same count under another shape is read in the buffer's C order, as a reshape
    Case(
        "lookalike-transposed-shape",
        lambda: lookalike(GRID, shape=(3, 2)),
        Returns(equals_array(GRID.reshape(3, 2))),
        alpha=0.0,
    ),
    Case("lookalike-huge-shape", lambda: lookalike(GRID, shape=(2**32, 2**32)), Panics()),
    Case("lookalike-non-contiguous", lambda: lookalike(GRID[:, ::-2]), Returns(equals_array(GRID[:, ::-2])), alpha=0.0),
    Case(
        "lookalike-readonly",
        lambda: lookalike(np.frombuffer(GRID.tobytes()).reshape(2, 3)),
        Returns(equals_array(GRID)),
        alpha=0.0,
    ),
    # ---- look-alikes whose attributes raise or lie
    Case(
        "lookalike-shape-raises",
        lambda: lookalike(GRID, shape=raising_property(RuntimeError("no shape"))),
        Raises(RuntimeError, "no shape"),
    ),
    Case("lookalike-shape-str", lambda: lookalike(GRID, shape="23"), Raises(TypeError)),
    Case("lookalike-shape-none", lambda: lookalike(GRID, shape=property(lambda self: None)), Raises(TypeError)),
    Case("lookalike-shape-generator", lambda: lookalike(GRID, shape=(n for n in (2, 3))), Raises(TypeError)),
    Case("lookalike-shape-floats", lambda: lookalike(GRID, shape=(2.0, 3.0)), Raises(TypeError)),
    Case("lookalike-shape-negative", lambda: lookalike(GRID, shape=(-2, 3)), Raises(OverflowError)),
    Case("lookalike-shape-2**64", lambda: lookalike(GRID, shape=(2, 2**64)), Raises(OverflowError)),
    Case("lookalike-shape-index-raises", lambda: lookalike(GRID, shape=(2, SimpleNamespace())), Raises(TypeError)),
    Case(
        "lookalike-shape-iteration-raises",
        lambda: lookalike(GRID, shape=type("Seq", (list,), {"__iter__": raising(KeyError("iter"))})([2, 3])),
        Raises(KeyError),
    ),
    Case(
        "lookalike-dtype-missing",
        lambda: lookalike(GRID, dtype=raising_property(AttributeError("no dtype"))),
        Raises(AttributeError, "no dtype"),
    ),
    Case(
        "lookalike-dtype-name-raises",
        lambda: lookalike(GRID, dtype=property(lambda self: SimpleNamespace())),
        Raises(AttributeError),
    ),
    Case(
        "lookalike-dtype-name-int",
        lambda: lookalike(GRID, dtype=property(lambda self: SimpleNamespace(name=8))),
        Raises(TypeError),
    ),
    Case(
        "lookalike-buffer-raises",
        lambda: lookalike(GRID, __buffer__=raising(ValueError("no buffer"))),
        Raises(ValueError, "no buffer"),
    ),
    Case(
        "lookalike-buffer-not-memoryview",
        lambda: lookalike(GRID, __buffer__=lambda self, flags: b"x" * 48),
        Raises(TypeError),
    ),
    Case("lookalike-without-buffer", lambda: lookalike(GRID, __buffer__=None), Raises(TypeError)),
    # ---- object arrays and object look-alikes
    Case(
        "object-lookalike",
        lambda: lookalike(np.array([["b", 1.0], ["a", 2.0]], dtype=object)),
        Returns(lambda r: r.tolist() == [["b", 1.0], ["a", 2.0]]),
        alpha=0.0,
    ),
    Case(
        "object-lookalike-shape-past-its-cells",
        lambda: lookalike(np.array([["b", 1.0]], dtype=object), shape=(2, 2)),
        Panics("cant index"),
    ),
    Case(
        "object-lookalike-huge-shape",
        lambda: lookalike(np.array([["b"]], dtype=object), shape=(2**31, 2**31)),
        PanicsOrNoMemory(),
    ),
    Case(
        "object-array-shape-lies-small",
        lambda: np.array([["a", 1.0], ["b", 2.0]], dtype=object).view(LYING_SHAPE),
        Panics("array shape (1, 1)"),
    ),
    Case("object-array-unindexable", lambda: np.array([["a"]], dtype=object).view(UNINDEXABLE), Panics("cant index")),
    Case(
        "object-cell-str-not-str",
        lambda: object_column(["x", Text(str_result=b"bytes")]),
        Panics("cant convert to str"),
    ),
    Case(
        "object-cell-float-raises",
        lambda: object_column([Text("v", float_error=ValueError("no float")), 1.0]),
        Returns(lambda r: r[:, 0].tolist() == ["v", "1.0"]),
        alpha=0.0,
    ),
    Case(
        "object-cell-float-not-float",
        lambda: object_column([2.0, Text("w")]),
        Returns(lambda r: r[:, 0].tolist() == ["2", "w"]),
        alpha=0.0,
    ),
    Case(
        "object-cell-int-too-big-for-float",
        lambda: object_column([0.5, 10**400]),
        Returns(lambda r: r[:, 0].tolist() == ["0.5", str(10**400)]),
        alpha=0.0,
    ),
    Case("object-cell-surrogate", lambda: object_column(["\udc80", "a"]), Panics("cant convert to str")),
    Case(
        "object-cells-with-nul",
        lambda: object_column(["a\x00b", "a", "a\x00"]),
        Returns(lambda r: r[:, 0].tolist() == ["a\x00b", "a", "a\x00"]),
        alpha=0.0,
    ),
    Case("object-nan-cell-sampled", lambda: object_column([1.0, math.nan, 2.0]), NAN_IN_COLUMN_0, alpha=1.0),
    # ---- frames whose metadata raises or lies
    Case(
        "frame-shape-raises",
        lambda: hostile_frame(NUMBERS, shape=raising_property(RuntimeError("no shape"))),
        Raises(RuntimeError, "no shape"),
    ),
    Case("frame-shape-str", lambda: hostile_frame(NUMBERS, shape=property(lambda self: "22")), Raises(TypeError)),
    Case("frame-shape-one-entry", lambda: hostile_frame(NUMBERS, shape=property(lambda self: (2,))), Panics()),
    Case("frame-shape-three-entries", lambda: hostile_frame(NUMBERS, shape=property(lambda self: (2, 2, 1))), Panics()),
    Case(
        "frame-shape-negative",
        lambda: hostile_frame(NUMBERS, shape=property(lambda self: (-2, 2))),
        Raises(OverflowError),
    ),
    Case(
        "frame-shape-huge",
        lambda: hostile_frame(NUMBERS, shape=property(lambda self: (2**64, 2))),
        Raises(OverflowError),
    ),
    Case(
        "frame-shape-more-rows",
        lambda: hostile_frame(NUMBERS, shape=property(lambda self: (3, 2))),
        Raises(BufferError, length_mismatch(6, 4)),
    ),
    Case(
        "frame-shape-fewer-rows",
        lambda: hostile_frame(NUMBERS, shape=property(lambda self: (1, 2))),
        Raises(BufferError, length_mismatch(2, 4)),
    ),
    Case("frame-shape-more-columns", lambda: hostile_frame(NUMBERS, shape=property(lambda self: (2, 3))), Panics()),
    Case(
        "frame-text-shape-huge",
        lambda: hostile_frame(MIXED, shape=property(lambda self: (2**31, 2))),
        PanicsOrNoMemory(),
    ),
    Case(
        "frame-columns-raise",
        lambda: hostile_frame(NUMBERS, columns=raising_property(RuntimeError("no labels"))),
        Raises(RuntimeError, "no labels"),
    ),
    Case(
        "frame-columns-not-iterable",
        lambda: hostile_frame(NUMBERS, columns=property(lambda self: 5), shape=property(lambda self: (2, 2))),
        Panics("no items found!"),
    ),
    Case(
        "frame-columns-iteration-raises",
        lambda: hostile_frame(
            NUMBERS,
            columns=property(lambda self: raising_iterable(["a"], ValueError("stop"))),
            shape=property(lambda self: (2, 2)),
        ),
        Panics("no items found!"),
    ),
    Case(
        "frame-label-str-not-str",
        lambda: hostile_frame(NUMBERS, columns=property(lambda self: ["a", Text(str_result=3)])),
        Panics("Failed str conversion"),
    ),
    Case(
        "frame-more-labels",
        lambda: hostile_frame(
            NUMBERS, columns=property(lambda self: ["a", "b", "c"]), shape=property(lambda self: (2, 2))
        ),
        Panics(),
    ),
    Case(
        "frame-fewer-labels",
        lambda: hostile_frame(NUMBERS, columns=property(lambda self: ["a"]), shape=property(lambda self: (2, 2))),
        Panics(),
    ),
    Case(
        "frame-dtypes-raise",
        lambda: hostile_frame(NUMBERS, dtypes=raising_property(KeyError("x"))),
        Panics("dtypes attr not found"),
    ),
    Case(
        "frame-dtypes-not-iterable",
        lambda: hostile_frame(NUMBERS, dtypes=property(lambda self: 5)),
        Panics("No dtypes found."),
    ),
    Case(
        "frame-dtypes-iteration-raises",
        lambda: hostile_frame(
            NUMBERS, dtypes=property(lambda self: raising_iterable([np.dtype("f8")], OSError("gone")))
        ),
        Panics("No dtypes found."),
    ),
    Case(
        "frame-dtype-without-kind",
        lambda: hostile_frame(NUMBERS, dtypes=property(lambda self: [SimpleNamespace(name="float64")])),
        Panics("kind attr not found"),
    ),
    Case(
        "frame-dtype-without-name",
        lambda: hostile_frame(NUMBERS, dtypes=property(lambda self: [SimpleNamespace(kind="f")])),
        Panics("name attr not found"),
    ),
    Case(
        "frame-dtype-kind-not-str",
        lambda: hostile_frame(NUMBERS, dtypes=property(lambda self: [SimpleNamespace(kind=1, name="x")])),
        Panics("kind attr"),
    ),
    Case(
        "frame-dtype-name-not-str",
        lambda: hostile_frame(NUMBERS, dtypes=property(lambda self: [SimpleNamespace(kind="f", name=None)])),
        Panics("name attr"),
    ),
    # ---- numeric frames whose to_numpy misbehaves
    _recording_case(),
    Case(
        "frame-to-numpy-raises",
        lambda: hostile_frame(NUMBERS, to_numpy=raising(KeyError("conv"))),
        Raises(KeyError, "'conv'"),
    ),
    Case(
        "frame-to-numpy-1d",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: np.zeros(4)),
        Raises(ValueError, NOT_2D),
    ),
    Case(
        "frame-to-numpy-too-long",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: np.zeros((3, 2))),
        Raises(BufferError, length_mismatch(4, 6)),
    ),
    Case(
        "frame-to-numpy-too-short",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: np.zeros((1, 2))),
        Raises(BufferError, length_mismatch(4, 2)),
    ),
    Case(
        "frame-to-numpy-transposed",
        lambda: hostile_frame(NUMBERS_2x3, to_numpy=lambda self, **kw: np.zeros((3, 2))),
        Returns(lambda r: r.shape == (2, 3) and bool((r.fillna(0.0).to_numpy() == 0.0).all())),
    ),
    Case(
        "frame-to-numpy-int",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: np.zeros((2, 2), dtype=int)),
        Raises(BufferError, NOT_F64),
    ),
    Case(
        "frame-to-numpy-big-endian",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: np.zeros((2, 2), dtype=">f8")),
        Raises(BufferError, NOT_F64),
    ),
    Case(
        "frame-to-numpy-misaligned",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: misaligned(np.full((2, 2), 7.0))),
        Returns(lambda out: out.equals(pd.DataFrame({"a": [7.0, 7.0], "b": [7.0, 7.0]}))),
        alpha=0.0,
    ),
    Case(
        "frame-to-numpy-list",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: [[1.0, 2.0], [3.0, 4.0]]),
        Raises(TypeError),
    ),
    Case(
        "frame-to-numpy-strided",
        lambda: hostile_frame(NUMBERS, to_numpy=lambda self, **kw: np.arange(16.0).reshape(4, 4)[::-2, ::2]),
        Returns(lambda r: r.to_numpy().tolist() == [[12.0, 14.0], [4.0, 6.0]]),
        alpha=0.0,
    ),
    Case(
        "frame-iloc-raises",
        lambda: hostile_frame(MIXED, iloc=raising_property(RuntimeError("no iloc"))),
        Raises(RuntimeError, "no iloc"),
    ),
    # ---- text frames whose column selections misbehave
    Case(
        "text-frame-column-to-numpy-short",
        lambda: frame_with_series(MIXED, to_numpy=lambda self, **kw: np.zeros(1)),
        Raises(BufferError, length_mismatch(2, 1)),
    ),
    Case(
        "text-frame-column-to-numpy-long",
        lambda: frame_with_series(MIXED, to_numpy=lambda self, **kw: np.zeros(5)),
        Raises(BufferError, length_mismatch(2, 5)),
    ),
    Case(
        "text-frame-column-to-numpy-int",
        lambda: frame_with_series(MIXED, to_numpy=lambda self, **kw: np.zeros(2, dtype=int)),
        Raises(BufferError, NOT_F64),
    ),
    Case(
        "text-frame-column-to-numpy-misaligned",
        lambda: frame_with_series(MIXED, to_numpy=lambda self, **kw: misaligned(np.full(2, 7.0))),
        Returns(lambda out: out["a"].tolist() == [7.0, 7.0] and out["s"].tolist() == ["x", "y"]),
        alpha=0.0,
    ),
    Case(
        "text-frame-column-to-numpy-raises",
        lambda: frame_with_series(MIXED, to_numpy=raising(ZeroDivisionError("z"))),
        Raises(ZeroDivisionError, "z"),
    ),
    Case(
        "text-frame-column-to-numpy-str",
        lambda: frame_with_series(MIXED, to_numpy=lambda self, **kw: "12"),
        Raises(TypeError),
    ),
    Case(
        "text-frame-column-to-numpy-2d",
        lambda: frame_with_series(MIXED, to_numpy=lambda self, **kw: np.array([[7.0, 8.0]])),
        Returns(lambda r: r.to_numpy().tolist() == [[7.0, "x"], [8.0, "y"]]),
        alpha=0.0,
    ),
    Case(
        "text-frame-column-iter-raises",
        lambda: frame_with_series(MIXED, __iter__=raising(LookupError("it"))),
        Raises(LookupError, "it"),
    ),
    Case(
        "text-frame-column-yields-more",
        lambda: frame_with_series(MIXED, __iter__=lambda self: iter(["x", "y", "z"])),
        Panics(),
    ),
    Case(
        "text-frame-column-yields-fewer", lambda: frame_with_series(MIXED, __iter__=lambda self: iter(["x"])), Panics()
    ),
    Case(
        "text-frame-column-dtype-raises",
        lambda: frame_with_series(MIXED, dtype=raising_property(TypeError("dt"))),
        Raises(TypeError, "dt"),
    ),
    Case(
        "text-frame-cell-str-raises",
        lambda: pd.DataFrame({"s": pd.Series(["x", Text(str_result=None)], dtype=object)}),
        Raises(TypeError, message_of(lambda: str(Text(str_result=None)))),
    ),
    Case(
        "text-frame-surrogate-cell",
        lambda: pd.DataFrame({"s": pd.Series(["\udc80", "a"], dtype=object)}),
        same_as(lambda: "\udc80".encode()),
    ),
    Case(
        "frame-surrogate-label",
        lambda: pd.DataFrame([[1.0]], columns=pd.Index(["\udc80"], dtype=object)),
        Panics("Failed str conversion"),
    ),
    Case(
        "text-frame-with-nul",
        lambda: pd.DataFrame({"s\x00": pd.Series(["a\x00b", "a"], dtype=object)}),
        Returns(lambda r: r.to_dict() == {"s\x00": {0: "a\x00b", 1: "a"}}),
        alpha=0.0,
    ),
    # ---- pandas refusing to convert
    Case(
        "frame-period",
        lambda: pd.DataFrame({"p": pd.period_range("2020-01", periods=2, freq="M")}),
        Raises(TypeError, prefix="column 'p' (position 0) has type period[M], which cannot be masked"),
    ),
    Case(
        "frame-interval",
        lambda: pd.DataFrame({"i": pd.interval_range(0, 2)}),
        Raises(TypeError, prefix="column 'i' (position 0) has type interval, which cannot be masked"),
    ),
    # ---- odd numbers in the data and the parameters
    Case("nan-cell", lambda: np.array([[1.0, 2.0], [math.nan, 3.0]]), NAN_IN_COLUMN_0, alpha=1.0),
    Case("inf-cell-zero-variance", lambda: np.array([[1.0], [math.inf]]), NAN_IN_COLUMN_0),
    Case(
        "nan-frame",
        lambda: pd.DataFrame({"a": [1.0, None]}),
        Raises(ValueError, "Sample is nan: the threshold drawn for column 'a' (position 0)" + NAN_CAUSE),
    ),
    Case("nan-variance", lambda: GRID.copy(), Raises(ValueError, NAN_VARIANCE), mnar={"variance": math.nan}),
    Case(
        "inf-variance",
        lambda: GRID.copy(),
        Returns(matches_reference(GRID, 0.5, 5, 0.5, math.inf)),
        mnar={"variance": math.inf},
    ),
    Case(
        "negative-variance",
        lambda: GRID.copy(),
        Returns(matches_reference(GRID, 0.5, 5, 0.5, -3.0)),
        mnar={"variance": -3.0},
    ),
    Case(
        "infinite-cells-with-variance",
        lambda: np.array([[math.inf, 1.0], [-math.inf, 2.0], [0.0, -math.inf]]),
        Returns(matches_reference(np.array([[math.inf, 1.0], [-math.inf, 2.0], [0.0, -math.inf]]), 0.5, 5, 0.5, 0.7)),
        mnar={"variance": 0.7},
    ),
    Case(
        "overflowing-range",
        lambda: np.array([[1.7e308], [-1.7e308], [0.0]]),
        Returns(matches_reference(np.array([[1.7e308], [-1.7e308], [0.0]]), 0.7, 5, 0.5, 2.0)),
        alpha=0.7,
        mnar={"variance": 2.0},
    ),
    Case(
        "subnormals",
        lambda: np.array([[5e-324], [-5e-324], [0.0], [-0.0]]),
        Returns(matches_reference(np.array([[5e-324], [-5e-324], [0.0], [-0.0]]), 0.5, 5, 0.5, 0.0)),
    ),
    # The model's floor() cannot take infinity; any mean far past the end clamps the same way.
    Case(
        "inf-mean", lambda: GRID.copy(), Returns(matches_reference(GRID, 0.5, 5, 1e300, 0.0)), mnar={"mean": math.inf}
    ),
    # A NaN quantile position saturates to 0, as the mean 0 gives.
    Case("nan-mean", lambda: GRID.copy(), Returns(matches_reference(GRID, 0.5, 5, 0.0, 0.0)), mnar={"mean": math.nan}),
    Case(
        "empty-frame",
        lambda: pd.DataFrame(),
        Returns(lambda r: type(r) is pd.DataFrame and r.shape == (0, 0)),
    ),
    Case(
        "frame-without-rows",
        lambda: pd.DataFrame({"a": pd.Series([], dtype=float), "s": pd.Series([], dtype=object)}),
        Returns(lambda r: r.shape == (0, 2) and list(r.columns) == ["a", "s"]),
        alpha=1.0,
    ),
    Case(
        "array-without-columns",
        lambda: np.zeros((5, 0)),
        Returns(lambda r: r.shape == (5, 0)),
        alpha=math.inf,
    ),
    Case(
        "object-array-without-rows",
        lambda: np.empty((0, 4), dtype=object),
        Returns(lambda r: r.shape == (0, 4) and r.dtype == object),
        alpha=1.0,
    ),
    # ---- odd rates
    Case("alpha-str", lambda: GRID.copy(), Raises(TypeError, prefix="argument 'alpha': "), alpha="0.5"),
    Case("alpha-none", lambda: GRID.copy(), Raises(TypeError, prefix="argument 'alpha': "), alpha=None),
    Case("alpha-complex", lambda: GRID.copy(), Raises(TypeError, prefix="argument 'alpha': "), alpha=0.5j),
    Case("alpha-checked-before-data", lambda: [[1.0]], Raises(TypeError, prefix="argument 'alpha': "), alpha=[0.5]),
    Case("alpha-huge-int", lambda: GRID.copy(), Raises(OverflowError), alpha=10**400),
    Case(
        "alpha-float-raises",
        lambda: GRID.copy(),
        Raises(ArithmeticError, "bad rate"),
        alpha=type("Rate", (), {"__float__": raising(ArithmeticError("bad rate"))})(),
    ),
    Case(
        "alpha-float-returns-str", lambda: GRID.copy(), Raises(TypeError, prefix="argument 'alpha': "), alpha=Text("x")
    ),
    Case(
        "alpha-index-only",
        lambda: GRID.copy(),
        Returns(lambda r: np.isnan(r).all()),
        alpha=type("One", (), {"__index__": lambda self: 1})(),
    ),
    Case("alpha-nan", lambda: GRID.copy(), Returns(equals_array(GRID)), alpha=math.nan),
    Case("alpha-negative-inf", lambda: GRID.copy(), Returns(equals_array(GRID)), alpha=-math.inf),
    Case("alpha-inf", lambda: GRID.copy(), Returns(lambda r: np.isnan(r).all()), alpha=math.inf),
    Case("alpha-numpy-nan", lambda: GRID.copy(), Returns(equals_array(GRID)), alpha=np.float32("nan")),
    Case(
        "alpha-tiny",
        lambda: GRID.copy(),
        Returns(lambda r: np.isnan(r).sum() == 1),
        alpha=5e-324,
    ),
]


# ---------------------------------------------------------------- checks


def snapshot(data):
    """A deep copy of what the caller can see of `data`, for comparison afterwards."""
    if isinstance(data, pd.DataFrame):
        plain = pd.DataFrame(data)  # reads the block manager, never the overridden attributes
        return ("frame", plain.copy(deep=True), list(plain.dtypes), list(plain.columns))
    if isinstance(data, np.ndarray):
        plain = data.view(np.ndarray)
        return ("array", plain.copy(), plain.dtype, plain.shape, plain.tobytes())
    if isinstance(data, LookAlike):
        return ("lookalike", snapshot(data.backing))
    if isinstance(data, pd.Series | pd.Index):
        return ("pandas", data.copy(deep=True))
    if isinstance(data, memoryview):
        return ("other", (data.format, data.shape, data.tobytes()))
    if hasattr(data, "__dict__"):
        return ("other", (type(data), copy.deepcopy(vars(data))))
    return ("other", copy.deepcopy(data))


def assert_unchanged(data, before):
    after = snapshot(data)
    kind = before[0]
    assert after[0] == kind
    if kind == "frame":
        assert after[1].equals(before[1]) and after[2] == before[2] and after[3] == before[3]
    elif kind == "array":
        assert after[2] == before[2] and after[3] == before[3] and after[4] == before[4]
    elif kind == "lookalike":
        assert_unchanged(data.backing, before[1])
    elif kind == "pandas":
        assert after[1].equals(before[1])
    else:
        assert after[1] == before[1]


GOOD = np.array([[3.0, 1.0], [1.0, 5.0], [2.0, 3.0], [4.0, 2.0]])


def assert_still_usable(m, variance=0.0):
    np.testing.assert_array_equal(m(GOOD, 0.0), GOOD)
    if math.isnan(variance):
        # every threshold is NaN: the instance keeps refusing, and keeps working
        with pytest.raises(ValueError) as caught:
            m(GOOD, 0.5)
        assert str(caught.value) == NAN_VARIANCE
        return
    out = m(GOOD, 0.5)
    assert np.isnan(out).sum() == 4
    kept = ~np.isnan(out)
    np.testing.assert_array_equal(out[kept], GOOD[kept])
    assert repr(m).startswith("MNAR[")


def outcome_of(call):
    try:
        return call()
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(e, KeyboardInterrupt | SystemExit):
            raise
        return e


# Look-alikes whose call gets as far as asking them for a buffer.
BUFFER_READERS = frozenset(
    {
        "int-view-of-float-lookalike",
        "lookalike-misaligned",
        "lookalike-3d-buffer",
        "lookalike-0d-buffer",
        "lookalike-too-few-cells",
        "lookalike-too-many-cells",
        "lookalike-transposed-shape",
        "lookalike-huge-shape",
        "lookalike-non-contiguous",
        "lookalike-readonly",
        "lookalike-buffer-raises",
    }
)


def test_buffer_readers_name_real_cases():
    assert BUFFER_READERS <= {c.id for c in HOSTILE}


def expected_outcome(case):
    """Python classes export buffers only from 3.12 on: before that, a look-alike
    asked for a buffer meets the interpreter's own refusal, passed on unchanged."""
    if sys.version_info < (3, 12) and case.id in BUFFER_READERS:
        return Raises(TypeError, prefix="a bytes-like object is required")
    return case.expect


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # numpy.matrix
@pytest.mark.parametrize("case", HOSTILE, ids=[c.id for c in HOSTILE])
def test_hostile_call(case, capfd):
    data = case.make()
    before = snapshot(data)
    m = MNARrs(seed=5, n_workers=2, **case.mnar)
    outcome = outcome_of(lambda: m(data, case.alpha))
    expected_outcome(case).verify(outcome)
    assert_unchanged(data, before)
    assert_still_usable(m, case.mnar.get("variance", 0.0))


def test_threshold_turning_nan_in_a_later_pass(capfd):
    """Centre +inf and spread +inf: a threshold is NaN whenever its draw is negative,
    so some calls fail after passes that have already been dumped."""
    x = np.array([[math.inf, 1.0], [math.inf, 2.0], [-math.inf, 3.0], [1.0, 4.0]])
    passes_before_failure = set()
    for seed in range(16):
        capfd.readouterr()
        outcome = outcome_of(lambda seed=seed: MNARrs(0.5, 1.0, seed, 2)(x, 1.0))
        dumps = capfd.readouterr().out
        try:
            expected, expected_dumps = reference.mask(x.tolist(), 1.0, seed, 0.5, 1.0)
        except reference.Failure as failure:
            assert type(outcome) is ValueError and str(outcome).startswith("Sample is nan: "), repr(outcome)
            assert dumps == failure.args[1]
            passes_before_failure.add(dumps.count("shape="))
            continue
        np.testing.assert_array_equal(outcome, np.array(expected))
        assert dumps == expected_dumps
    assert 0 in passes_before_failure and max(passes_before_failure) > 0


def test_panics_write_their_message_to_stderr_first(capfd):
    m = MNARrs(seed=5, n_workers=2)
    outcome = outcome_of(lambda: m(hostile_frame(NUMBERS, dtypes=property(lambda self: 5)), 0.5))
    assert is_panic(outcome)
    assert outcome.args[0] in capfd.readouterr().err


def test_keyword_binding_of_hostile_data(capfd):
    m = MNARrs(seed=5, n_workers=2)
    with pytest.raises(TypeError, match="^Unsupported type: 'list'"):
        m(alpha=0.5, data=[[1.0]])
    assert_still_usable(m)


# ---------------------------------------------------------------- constructor arguments


class IndexRaises:
    def __index__(self):
        raise LookupError("index")


CONSTRUCTOR_CASES = [
    ({"seed": -(2**100)}, Raises(OverflowError)),
    ({"seed": 2**100}, Raises(OverflowError)),
    ({"n_workers": 2**64}, Raises(OverflowError)),
    ({"n_workers": -1}, Raises(OverflowError)),
    ({"seed": np.float64(1.0)}, Raises(TypeError, prefix="argument 'seed': ")),
    ({"n_workers": "3"}, Raises(TypeError, prefix="argument 'n_workers': ")),
    ({"n_workers": 1.0}, Raises(TypeError, prefix="argument 'n_workers': ")),
    ({"seed": IndexRaises()}, Raises(LookupError, "index")),
    ({"n_workers": IndexRaises()}, Raises(LookupError, "index")),
    ({"variance": -(10**400)}, Raises(OverflowError)),
    ({"mean": 1j}, Raises(TypeError, prefix="argument 'mean': ")),
    ({"variance": "0.1"}, Raises(TypeError, prefix="argument 'variance': ")),
    ({"n_workers": 0}, Raises(ValueError, "argument 'n_workers': must be at least 1, not 0")),
    ({"n_workers": False}, Raises(ValueError, "argument 'n_workers': must be at least 1, not False")),
    ({"mean": "x", "seed": -1}, Raises(TypeError, prefix="argument 'mean': ")),  # converted in order
    ({"seed": -1, "n_workers": 0}, Raises(OverflowError)),
]


@pytest.mark.parametrize("kwargs, expect", CONSTRUCTOR_CASES, ids=[str(i) for i in range(len(CONSTRUCTOR_CASES))])
def test_hostile_constructor_arguments(kwargs, expect):
    expect.verify(outcome_of(lambda: MNARrs(**kwargs)))


@pytest.mark.parametrize("seed", [0, 1, 2**63, 2**64 - 1, True, np.uint64(2**64 - 1)])
@pytest.mark.parametrize("n_workers", [1, 3, 64, True, np.uint8(2)])
def test_extreme_but_valid_construction(capfd, seed, n_workers):
    out = MNARrs(seed=seed, n_workers=n_workers)(GOOD, 0.5)
    expected, _ = reference.mask(GOOD.tolist(), 0.5, int(seed))
    np.testing.assert_array_equal(out, np.array(expected))


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one CPU: no call hands work to a worker thread")
def test_a_worker_the_system_refuses_to_start():
    """Instances start no thread of their own, however many workers they are allowed; when the first
    call that needs a worker finds the system refusing threads: RuntimeError, and the instance goes on."""
    script = textwrap.dedent(
        """
        import os, resource, sys
        import numpy as np
        from gapwright import MNARrs

        def threads():
            return len(os.listdir("/proc/self/task"))

        def address_space():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

        x = np.random.default_rng(0).normal(size=(200, 100))
        before = threads()
        m = MNARrs(variance=0.5, seed=3, n_workers=2**64 - 1, dump=False)
        print("threads", before, threads(), file=sys.stderr)
        # a worker's 2 MiB stack does not fit; the call's own buffers do
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + 3 * 2**19, resource.RLIM_INFINITY))
        try:
            m(x, 0.1)
        except BaseException as e:
            print(type(e).__name__, type(e).__bases__[0].__name__, e.args[0], file=sys.stderr)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print("threads", before, threads(), file=sys.stderr)
        print("blanks", int(np.isnan(m(x, 0.1)).sum()), file=sys.stderr)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120, cwd=os.path.dirname(__file__)
    )
    assert done.returncode == 0, done.stderr
    lines = [line for line in done.stderr.splitlines() if line.startswith(("RuntimeError", "threads", "blanks"))]
    assert [line.split()[1] == line.split()[2] for line in lines if line.startswith("threads")] == [True, True]
    assert lines[1].startswith("RuntimeError Exception can't start new thread: "), done.stderr
    assert lines[3] == "blanks 2000"


# Calls, constructions, and the two one-off cases above: keyword-bound bad data
# and a worker the system refuses to start.
HOSTILE_COUNT = len(HOSTILE) + len(CONSTRUCTOR_CASES) + 2


# Refusals whose message is formatted from what the caller passed: its type,
# its module, a keyword, a value's repr. The array is made here, before any
# allocation is made to fail: free-threaded numpy keeps no cache of small
# blocks, so making it inside the call would fail in numpy instead.
ONE_DIMENSION = np.zeros(3)
FORMATTED_REFUSALS = {
    "unsupported type": (lambda m: m(7, 0.5), TypeError, "Unsupported type: 'int" + UNSUPPORTED),
    "array of one dimension": (
        lambda m: m(ONE_DIMENSION, 0.5),
        TypeError,
        "Unsupported type: 'numpy.ndarray' with 1 dimension (2 needed)" + UNSUPPORTED[1:],
    ),
    "unexpected keyword": (
        lambda m: m(7, 0.5, colour=1),
        TypeError,
        "MNARrs.__call__() got an unexpected keyword argument 'colour'",
    ),
    "no workers": (lambda m: MNARrs(n_workers=0), ValueError, "argument 'n_workers': must be at least 1, not 0"),
    "state of another type": (lambda m: m.__setstate__([1]), TypeError, "MNARrs state must be a tuple, not list"),
}


# CPython 3.11 before 3.11.5 sets an exception of the refusal's type with no
# message when PyErr_Format cannot allocate the message: the caller must get
# the MemoryError all the same.
@pytest.mark.thread_unsafe  # the failing allocator is the whole process's
@pytest.mark.parametrize("refusal", FORMATTED_REFUSALS)
def test_allocation_failures_while_naming_a_refusal_raise_memory_error(refusal):
    testcapi = pytest.importorskip("_testcapi")  # not shipped by every CPython build
    call, error, message = FORMATTED_REFUSALS[refusal]
    m = MNARrs(seed=1, n_workers=1)
    outcomes = set()
    for k in range(40):
        testcapi.set_nomemory(k, k + 1)
        try:
            call(m)
        except (error, MemoryError) as e:
            outcome = e
        finally:
            testcapi.remove_mem_hooks()
        assert type(outcome) is MemoryError or str(outcome) == message, (k, outcome)
        outcomes.add(type(outcome))
    assert outcomes == {MemoryError, error}

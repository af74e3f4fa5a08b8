"""Properties of the masking call over random tables, layouts and parameters.

The holes are checked against the independent model in reference.py, and
the invariants that hold whatever the model says are checked on their own:
the exact blank count, untouched survivors, and independence from the pool
size and the memory layout. Values stay within 1e300 so that sums and ranges
stay finite (an infinite range makes a NaN threshold, which fails by design),
while squared distances may still overflow.
"""

import math
import struct

import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
from conftest import silenced_stdout
from gapwright import MNARrs

SETTINGS = settings(max_examples=60, deadline=None)

values = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 3.0]),
    st.floats(min_value=-1e300, max_value=1e300, allow_nan=False),
)
means = st.floats(min_value=0.0, max_value=1.0)
variances = st.floats(min_value=0.0, max_value=2.0)
alphas = st.floats(min_value=0.0, max_value=1.5)
seeds = st.integers(min_value=0, max_value=2**64 - 1)


@st.composite
def matrices(draw, max_rows=8, max_cols=6):
    rows = draw(st.integers(0, max_rows))
    cols = draw(st.integers(0, max_cols))
    cells = draw(st.lists(values, min_size=rows * cols, max_size=rows * cols))
    return np.array(cells, dtype=np.float64).reshape(rows, cols)


def stepped(a):
    big = np.full((2 * a.shape[0] + 1, 3 * a.shape[1]), 7.0)
    big[1::2, ::3] = a
    return big[1::2, ::3]


def misaligned(a):
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(a.shape)
    raw[...] = a
    return raw


def readonly(a):
    b = a.copy()
    b.flags.writeable = False
    return b


LAYOUTS = {
    "c": np.ascontiguousarray,
    "fortran": np.asfortranarray,
    "transposed": lambda a: a.T.copy().T,
    "stepped": stepped,
    "negative-strides": lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
    "misaligned": misaligned,
    "readonly": readonly,
}
layouts = st.sampled_from(sorted(LAYOUTS))


def blank_count(alpha, rows, cols):
    return min(math.ceil(alpha * float(rows * cols)), rows * cols)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def expected_by_model(x, alpha, seed, mean, variance):
    if x.shape[0] == 0:
        return np.zeros(x.shape)
    holes, _ = reference.mask(x.tolist(), alpha, seed, mean, variance)
    return np.array(holes, dtype=np.float64).reshape(x.shape)


@SETTINGS
@given(matrices(), layouts, alphas, means, variances, seeds, st.sampled_from([1, 2, 5]))
def test_float_arrays(x, layout, alpha, mean, variance, seed, n_workers):
    data = LAYOUTS[layout](x)
    before = bits(data).copy()
    with silenced_stdout():
        out = MNARrs(mean, variance, seed, n_workers)(data, alpha)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == x.shape
    assert out.flags.c_contiguous and not np.shares_memory(out, data)
    blank = np.isnan(out)
    assert blank.sum() == blank_count(alpha, *x.shape)
    np.testing.assert_array_equal(bits(out)[~blank], bits(x)[~blank])
    np.testing.assert_array_equal(bits(data), before)
    np.testing.assert_array_equal(bits(out), bits(expected_by_model(x, alpha, seed, mean, variance)))


@SETTINGS
@given(matrices(max_rows=12, max_cols=7), alphas, variances, seeds)
def test_same_holes_for_every_pool_size_and_layout(x, alpha, variance, seed):
    results = set()
    with silenced_stdout():
        for n_workers in (1, 2, 5):
            for layout in ("c", "fortran", "stepped", "misaligned"):
                results.add(MNARrs(0.5, variance, seed, n_workers)(LAYOUTS[layout](x), alpha).tobytes())
        frame = pd.DataFrame(x)
        results.add(MNARrs(0.5, variance, seed, 3)(frame, alpha).to_numpy().tobytes())
    assert len(results) == 1


# ---------------------------------------------------------------- text cells

words = st.text(alphabet="abzAZ09é ", max_size=3)  # no "NaN", which is how a blank text shows


@st.composite
def mixed_columns(draw, max_rows=7, max_cols=4):
    """Columns that are all text or all numbers, as (kinds, list of columns)."""
    rows = draw(st.integers(0, max_rows))
    cols = draw(st.integers(1, max_cols))
    kinds = draw(st.lists(st.sampled_from(["text", "number"]), min_size=cols, max_size=cols))
    columns = [draw(st.lists(words if kind == "text" else values, min_size=rows, max_size=rows)) for kind in kinds]
    return kinds, columns


def codes(column):
    order = sorted(set(column), key=lambda s: s.encode())
    return [float(order.index(s)) for s in column]


def model_holes(kinds, columns, alpha, seed, mean, variance):
    """Blank mask of the model run on the label codes."""
    rows = len(columns[0])
    if rows == 0:
        return np.zeros((0, len(columns)), dtype=bool)
    numeric = [codes(c) if kind == "text" else c for kind, c in zip(kinds, columns)]
    matrix = [list(row) for row in zip(*numeric)]
    holes, _ = reference.mask(matrix, alpha, seed, mean, variance)
    return np.isnan(np.array(holes))


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


@SETTINGS
@given(mixed_columns(), alphas, means, variances, seeds)
def test_object_arrays(mixed, alpha, mean, variance, seed):
    kinds, columns = mixed
    rows, cols = len(columns[0]), len(columns)
    data = np.empty((rows, cols), dtype=object)
    for j, column in enumerate(columns):
        data[:, j] = column
    before = data.copy()
    with silenced_stdout():
        out = MNARrs(mean, variance, seed, 2)(np.asfortranarray(data), alpha)
    assert out.dtype == object and out.shape == (rows, cols)
    holes = model_holes(kinds, columns, alpha, seed, mean, variance)
    assert holes.sum() == blank_count(alpha, rows, cols)
    for j, kind in enumerate(kinds):
        for i in range(rows):
            cell = out[i, j]
            if kind == "text":
                assert type(cell) is str and cell == ("NaN" if holes[i, j] else columns[j][i])
            else:
                assert type(cell) is float
                assert math.isnan(cell) if holes[i, j] else same_float(cell, columns[j][i])
    assert all(a is b for a, b in zip(data.ravel(), before.ravel()))


@SETTINGS
@given(mixed_columns(), st.booleans(), alphas, means, variances, seeds)
def test_text_frames(mixed, object_dtype, alpha, mean, variance, seed):
    kinds, columns = mixed
    rows, cols = len(columns[0]), len(columns)
    frame = pd.DataFrame(
        {
            f"c{j}": pd.Series(column, dtype=(object if object_dtype else None) if kind == "text" else np.float64)
            for j, (kind, column) in enumerate(zip(kinds, columns))
        }
    )
    before = frame.copy(deep=True)
    with silenced_stdout():
        out = MNARrs(mean, variance, seed, 2)(frame, alpha)
    assert frame.equals(before) and list(frame.dtypes) == list(before.dtypes)
    assert list(out.columns) == list(frame.columns) and out.shape == (rows, cols)
    if "text" not in kinds:
        return  # a frame of numbers is covered with the float arrays
    holes = model_holes(kinds, columns, alpha, seed, mean, variance)
    assert holes.sum() == blank_count(alpha, rows, cols)
    for j, kind in enumerate(kinds):
        cells = out.iloc[:, j].tolist()
        if kind == "text":
            assert out.dtypes.iloc[j] == np.dtype("O")
            assert cells == [None if holes[i, j] else columns[j][i] for i in range(rows)]
        else:
            assert out.dtypes.iloc[j] == np.float64
            for i in range(rows):
                assert math.isnan(cells[i]) if holes[i, j] else same_float(cells[i], columns[j][i])


# ---------------------------------------------------------------- long columns

few_values = st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, 1e300, -1e300, 5e-324])


@st.composite
def long_columns(draw, min_rows, max_rows, cols):
    rows = draw(st.integers(min_rows, max_rows))
    cell = draw(st.sampled_from([few_values, values]))
    cells = draw(st.lists(cell, min_size=rows * cols, max_size=rows * cols))
    return np.array(cells, dtype=np.float64).reshape(rows, cols)


@settings(max_examples=25, deadline=None)
@given(long_columns(17, 160, 2), st.floats(0.0, 1.0), means, variances, seeds)
def test_many_blanks_in_long_columns(x, alpha, mean, variance, seed):
    with silenced_stdout():
        out = MNARrs(mean, variance, seed, 2)(x, alpha)
    np.testing.assert_array_equal(bits(out), bits(expected_by_model(x, alpha, seed, mean, variance)))


@settings(max_examples=10, deadline=None)
@given(long_columns(760, 1300, 1), st.floats(0.0, 0.02), means, variances, seeds)
def test_few_blanks_in_very_long_columns(x, alpha, mean, variance, seed):
    with silenced_stdout():
        out = MNARrs(mean, variance, seed, 2)(x, alpha)
    np.testing.assert_array_equal(bits(out), bits(expected_by_model(x, alpha, seed, mean, variance)))

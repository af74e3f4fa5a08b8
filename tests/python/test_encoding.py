"""Label encoding of string cells in object arrays and DataFrames.

Codes are not visible directly, but with mean 0 and variance 0 every threshold
is a column's smallest code, so a one-column table loses its cells in code
order (lowest row first among equal codes): the order of blanking shows the
order of the codes.
"""

import math

import numpy as np
import pandas as pd
import pytest

import gapwright


def unmasked(data):
    return gapwright.MNARrs(seed=0)(data, 0.0)


def column(cells):
    return np.array(cells, dtype=object).reshape(-1, 1)


def blank_order(cells):
    """Rows of a one-column object array in the order the masking blanks them."""
    order = []
    for k in range(1, len(cells) + 1):
        result = gapwright.MNARrs(mean=0.0, seed=0)(column(cells), (k - 0.5) / len(cells))
        (new,) = {r for r in range(len(cells)) if result[r, 0] == "NaN"} - set(order)
        order.append(new)
    return order


def test_codes_follow_bytewise_order():
    assert blank_order(["apple", "Zebra"]) == [1, 0]
    assert blank_order(["9", "10"]) == [1, 0]
    assert blank_order(["b", "é", "a", "z", "b"]) == [2, 0, 4, 3, 1]


@pytest.mark.parametrize(
    "cells, texts, order",
    [
        ([1.0, "a", 2.0], ["1", "a", "2.0"], [0, 2, 1]),
        ([None, 3.0], ["None", "3.0"], [1, 0]),
        ([math.nan, "a", math.nan], ["NaN", "a", "nan"], [0, 1, 2]),
        ([1e21, 1e-7, -0.0, -math.inf, np.int64(7), "x"], ["1000000000000000000000", "0.0000001", "-0", "-inf", "7", "x"], None),
    ],
)
def test_numbers_before_the_first_text_use_positional_digits(cells, texts, order):
    """Missing cells are labels of their own, and come back as they were."""
    result = list(unmasked(column(cells))[:, 0])
    for out, cell, text in zip(result, cells, texts):
        if cell is None or isinstance(cell, float) and math.isnan(cell):
            assert out is cell
        else:
            assert out == text
    if order is not None:
        assert blank_order(cells) == order


def test_object_array_numeric_and_text_columns():
    data = np.array([[1, "b", math.nan], [2.5, "a", math.inf], [True, "b", -1]], dtype=object)
    before = data.copy()
    result = unmasked(data)
    assert result.dtype == object
    assert list(result[:, 0]) == [1.0, 2.5, 1.0] and type(result[2, 0]) is float
    assert list(result[:, 1]) == ["b", "a", "b"]
    assert math.isnan(result[0, 2]) and list(result[1:, 2]) == [math.inf, -1.0]
    assert (data[:, :2] == before[:, :2]).all() and not np.shares_memory(result, data)


@pytest.mark.parametrize(
    "layout",
    [lambda a: a, np.asfortranarray, lambda a: np.repeat(a, 2, axis=1)[::-1, ::2][::-1]],
    ids=["c", "fortran", "strided"],
)
def test_object_array_layouts_read_alike(layout):
    data = np.array([[1.5, "b", None], ["a", 2, "c"], [3.0, "b", 4.5]], dtype=object)
    result = unmasked(layout(data.copy()))
    assert result.tolist() == [["1.5", "b", None], ["a", "2", "c"], ["3.0", "b", "4.5"]]


def test_object_cell_without_text_is_an_internal_failure(panic):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    with panic("cant convert to str: ValueError: no text"):
        unmasked(column(["x", Unprintable()]))


def test_frame_text_columns():
    frame = pd.DataFrame({"x": [0.5, 1.5, 2.5], "s": pd.Series(["u", None, "t"], dtype=object), "d": ["b", "a", None]})
    result = unmasked(frame)
    assert list(result.dtypes) == [np.float64, object, object]
    assert list(result["x"]) == [0.5, 1.5, 2.5]
    assert list(result["s"]) == ["u", None, "t"]
    assert list(result["d"])[:2] == ["b", "a"] and pd.isna(result["d"][2])


def test_wide_mixed_frame_keeps_every_column_in_place():
    """Columns reach the matrix a few at a time, text and numbers alike."""
    rng = np.random.default_rng(2)
    frame = pd.DataFrame({
        f"c{j}": pd.Series(rng.choice(["ab", "c", "é"], 40), dtype="str") if j % 6 == 0
        else pd.Series(rng.choice(["x", None], 40), dtype=object) if j % 6 == 3
        else rng.normal(size=40)
        for j in range(19)
    })
    result = unmasked(frame)
    for j, name in enumerate(frame.columns):
        expected = [v if v is None else str(v) for v in frame[name]] if j % 3 == 0 else list(frame[name])
        assert list(result[name]) == expected, name


@pytest.mark.parametrize(
    "labels, names",
    [([0, 1], ["0", "1"]), (["x", "x"], ["x", "x"]), ([1, "1"], ["1", "1"])],
    ids=["int-labels", "duplicate-labels", "labels-with-equal-text"],
)
def test_frame_columns_are_taken_by_position(labels, names):
    result = unmasked(pd.DataFrame([[1.0, "a"], [2.0, "b"]], columns=labels))
    assert list(result.columns) == names
    assert list(result.dtypes) == [np.float64, object]
    assert result.to_numpy().tolist() == [[1.0, "a"], [2.0, "b"]]


def test_frame_cell_errors_pass_through():
    class Unprintable:
        def __str__(self):
            raise KeyError("no text")

    with pytest.raises(KeyError, match="no text"):
        unmasked(pd.DataFrame({"s": ["x", Unprintable()]}, dtype=object))

"""Result rebuild: the masked matrix back in the caller's kind of container."""

import math

import numpy as np
import pandas as pd

import gapwright


def masked(data, alpha):
    return gapwright.MNARrs(seed=3)(data, alpha)


def test_object_array_holes():
    data = np.array([[0.5, "b"], [1.5, "a"], [2.5, "b"], [3.5, "c"]], dtype=object)
    result = masked(data, 0.5)
    assert result.dtype == object and result.shape == (4, 2)
    numbers, texts = list(result[:, 0]), list(result[:, 1])
    assert "NaN" in texts and all(t in ("NaN", o) and type(t) is str for t, o in zip(texts, data[:, 1]))
    assert any(math.isnan(x) for x in numbers)
    assert all(type(x) is float and (math.isnan(x) or x == o) for x, o in zip(numbers, data[:, 0]))
    assert masked(np.array([[1, 2.0]], dtype=object), 0.0).dtype == object


def test_frame_holes():
    frame = pd.DataFrame({"f": [0.5, 1.5, 2.5, 3.5], "s": list("wxyz"), "b": [True, False, True, True]}, index=[9, 8, 7, 6])
    before = frame.copy()
    result = masked(frame, 0.5)
    pd.testing.assert_frame_equal(frame, before)
    assert list(result.columns) == ["f", "s", "b"] and list(result.index) == [0, 1, 2, 3]
    assert list(result.dtypes) == [np.float64, object, np.float64]
    assert None in list(result["s"]) and result["f"].isna().any()
    assert all(t is None or t == o for t, o in zip(result["s"], frame["s"]))
    for name in ("f", "b"):
        assert all(math.isnan(x) or x == float(o) for x, o in zip(result[name], frame[name]))


def test_large_frame_holds_the_holes_of_its_array_in_contiguous_columns():
    """A frame of several MiB goes in and out by copies on the pool."""
    table = np.random.default_rng(5).normal(size=(200_003, 3))
    frame = pd.DataFrame(table, columns=["a", "b", "c"])
    for workers in (1, 3):
        result = gapwright.MNARrs(0.4, 0.1, 11, workers)(frame, 0.3)
        expected = gapwright.MNARrs(0.4, 0.1, 11, workers)(table, 0.3)
        np.testing.assert_array_equal(result.to_numpy(), expected)
        assert list(result.columns) == ["a", "b", "c"] and list(result.dtypes) == [np.float64] * 3
        assert all(result[name].to_numpy().flags.c_contiguous for name in result.columns)
        assert not np.shares_memory(result["a"].to_numpy(), table)


def test_frame_with_repeated_labels_is_masked_by_position():
    frame = pd.DataFrame([["p", 1.0], ["q", 2.0], ["r", 3.0]], columns=["k", "k"])
    result = masked(frame, 0.5)
    assert list(result.columns) == ["k", "k"] and list(result.dtypes) == [object, np.float64]
    texts, numbers = list(result.iloc[:, 0]), result.iloc[:, 1]
    assert texts.count(None) + int(numbers.isna().sum()) == 3
    assert all(t is None or t == o for t, o in zip(texts, "pqr"))


def test_frame_all_columns_encoded():
    result = masked(pd.DataFrame({"a": ["x", "y"], "b": ["u", "v"]}), 0.0)
    assert list(result.dtypes) == [object, object]
    assert result.to_numpy().tolist() == [["x", "u"], ["y", "v"]]


def test_empty_tables():
    array = masked(np.zeros((0, 3)), 0.0)
    assert array.shape == (0, 3) and array.dtype == np.float64
    objects = masked(np.empty((0, 2), dtype=object), 0.0)
    assert objects.shape == (0, 2) and objects.dtype == object
    frame = pd.DataFrame({0: pd.Series([], dtype=float), "t": pd.Series([], dtype=object)})
    result = masked(frame, 0.0)
    assert result.shape == (0, 2) and list(result.columns) == ["0", "t"]
    assert list(result.dtypes) == [np.float64, object]

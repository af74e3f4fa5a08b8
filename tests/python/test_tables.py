"""Tables as users load them: every pandas dtype family, polars and pyarrow.

Each family is checked against a plain frame of the same values (object text,
float64 numbers, float64 ticks): the same holes, the column's own dtype back,
and the kept cells exactly as they went in."""

import datetime as dt
import decimal
import re

import numpy as np
import pandas as pd
import pytest

import gapwright

pa = pytest.importorskip("pyarrow", reason="pyarrow has no wheel for this interpreter")
pl = pytest.importorskip("polars", reason="polars has no wheel for this interpreter")

ROWS = 60
rng = np.random.default_rng(37)
WORDS = rng.choice(["kiwi", "Apple", "fig", "10", "9", "é"], ROWS).astype(object)
WORDS[[3, 17, 40]] = np.nan
NUMBERS = rng.integers(-50, 50, ROWS)
TICKS = 1_704_067_200_000_000 + rng.integers(0, 10**12, ROWS)
FLOATS = rng.normal(size=ROWS)


def mask(data, alpha=0.3, variance=0.1):
    return gapwright.MNARrs(variance=variance, seed=8, dump=False)(data, alpha)


def text_frame(dtype):
    return pd.DataFrame({"x": FLOATS, "s": pd.Series(WORDS, dtype=object).astype(dtype)})


def number_frame(dtype):
    return pd.DataFrame({"x": FLOATS, "n": pd.Series(NUMBERS).astype(dtype)})


def tick_frame(make):
    return pd.DataFrame({"x": FLOATS, "t": make(TICKS)})


FAMILIES = {
    # name: (frame in that dtype, its plain counterpart, the dtype that comes back)
    "str": (lambda: text_frame("str"), lambda: text_frame(object), object),
    "string-python": (lambda: text_frame("string[python]"), lambda: text_frame(object), "string"),
    "string-pyarrow": (lambda: text_frame("string[pyarrow]"), lambda: text_frame(object), "string"),
    "arrow-string": (lambda: text_frame(pd.ArrowDtype(pa.string())), lambda: text_frame(object), None),
    "arrow-large-string": (lambda: text_frame(pd.ArrowDtype(pa.large_string())), lambda: text_frame(object), None),
    # categories no cell uses take no rank
    "category-text": (
        lambda: text_frame(pd.CategoricalDtype(["0 unused", "Apple", "fig", "kiwi", "10", "9", "é", "~unused"])),
        lambda: text_frame(object),
        "category",
    ),
    "category-numbers": (lambda: number_frame("category"), lambda: number_frame("float64"), "category"),
    "Int64": (lambda: number_frame("Int64"), lambda: number_frame("float64"), "Int64"),
    "Float64": (lambda: number_frame("Float64"), lambda: number_frame("float64"), "Float64"),
    "boolean": (lambda: number_frame(bool).astype({"n": "boolean"}), lambda: number_frame(bool), "boolean"),
    "arrow-int": (lambda: number_frame(pd.ArrowDtype(pa.int32())), lambda: number_frame("float64"), None),
    "datetime": (lambda: tick_frame(lambda t: pd.to_datetime(t, unit="us")), lambda: tick_frame(np.float64), "datetime64[us]"),
    "datetime-tz": (
        lambda: tick_frame(lambda t: pd.to_datetime(t, unit="us").tz_localize("UTC").tz_convert("Asia/Tokyo")),
        lambda: tick_frame(np.float64),
        "datetime64[us, Asia/Tokyo]",
    ),
    "timedelta": (lambda: tick_frame(lambda t: pd.to_timedelta(t, unit="us")), lambda: tick_frame(np.float64), "timedelta64[us]"),
    "arrow-timestamp": (
        lambda: tick_frame(lambda t: pd.array(t, dtype=pd.ArrowDtype(pa.timestamp("us")))),
        lambda: tick_frame(np.float64),
        None,
    ),
}


@pytest.mark.parametrize("variance", [0.0, 0.1])
@pytest.mark.parametrize("family", list(FAMILIES))
def test_each_dtype_family_masks_like_its_plain_frame_and_comes_back_in_its_dtype(family, variance):
    make, plain, dtype = FAMILIES[family]
    frame = make()
    before = frame.copy()
    result = mask(frame, variance=variance)
    expected = mask(plain(), variance=variance)
    pd.testing.assert_frame_equal(frame, before)
    np.testing.assert_array_equal(result.isna().to_numpy(), expected.isna().to_numpy())
    assert result.isna().to_numpy().sum() > frame.isna().to_numpy().sum()
    column = frame.columns[1]
    assert result[column].dtype == (frame[column].dtype if dtype is None else dtype)
    kept = result[column].notna().to_numpy()
    assert result[column][kept].tolist() == frame[column][kept].tolist()


def test_large_integers_and_ticks_round_trip_exactly():
    """The matrix holds doubles; the kept cells come from the input."""
    big = [2**60 + 1, 2**53 + 1, -(2**62) - 3, 7]
    frame = pd.DataFrame({
        "i": pd.array(big, dtype="Int64"),
        "t": pd.to_datetime([2**60 + 1, 2**60 + 3, 5, 2**59], unit="ns"),
        "a": pd.array(big, dtype=pd.ArrowDtype(pa.int64())),
    })
    result = mask(frame, 0.25)
    for name in frame.columns:
        kept = result[name].notna().to_numpy()
        assert result[name].dtype == frame[name].dtype
        assert result[name][kept].tolist() == frame[name][kept].tolist()


def test_missing_text_stays_missing_and_keeps_its_label():
    """A missing label is a category of its own (no hole moves); what was
    missing and not blanked comes back missing, not as the text of its repr."""
    cells = ["b", None, "a", np.nan, "b", "c", None, "a"]
    objects = np.array([[float(i), c] for i, c in enumerate(cells)], dtype=object)
    for alpha in (0.0, 0.25):
        array = mask(objects, alpha, variance=0.0)
        frame = mask(pd.DataFrame({"x": objects[:, 0].astype(float), "s": pd.Series(cells, dtype=object)}), alpha, 0.0)
        for r, cell in enumerate(cells):
            if array[r, 1] != "NaN":
                assert array[r, 1] is cell if cell is None else (array[r, 1] == cell or pd.isna(cell) and pd.isna(array[r, 1]))
                assert type(array[r, 1]) is not str or cell is not None and not pd.isna(cell)
            if frame["s"][r] is not None and not pd.isna(frame["s"][r]):
                assert frame["s"][r] == cell
        assert frame["s"].isna().sum() >= 3
    # the same values as the str dtype and as Arrow strings lose the same cells
    plain = mask(pd.DataFrame({"s": pd.Series(cells, dtype=object).fillna(np.nan)}), 0.5, 0.0)
    for dtype in ("str", "string", pd.ArrowDtype(pa.string()), "category"):
        typed = mask(pd.DataFrame({"s": pd.Series(cells, dtype=object).astype(dtype)}), 0.5, 0.0)
        np.testing.assert_array_equal(typed.isna().to_numpy(), plain.isna().to_numpy())


def test_a_missing_number_in_a_picked_column_names_it():
    for column in (pd.array([1, None, 3, 4], dtype="Int64"), pd.to_datetime([1, None, 3, 4]), pd.array([1.0, None, 2.0, 3.0], dtype=pd.ArrowDtype(pa.float64()))):
        with pytest.raises(ValueError, match=r"Sample is nan: the threshold drawn for column 'v' \(position 0\)"):
            mask(pd.DataFrame({"v": column}), 1.0)


def polars_holes(frame):
    return frame.select(pl.all().is_null()).to_numpy()


def arrow_holes(table):
    return np.column_stack([col.is_null().to_numpy(zero_copy_only=False) for col in table.columns])


def mixed_polars():
    return pl.DataFrame({
        "f": FLOATS,
        "i": pl.Series(NUMBERS, dtype=pl.Int16),
        "s": [None if pd.isna(w) else w for w in WORDS],
        # an enum whose categories include ones no cell uses
        "e": pl.Series([w if not pd.isna(w) else "fig" for w in WORDS], dtype=pl.Enum(["zz", "fig", "é", "9", "10", "Apple", "kiwi"])),
        "c": pl.Series([w if not pd.isna(w) else "fig" for w in WORDS], dtype=pl.Categorical),
        "d": [dt.date(2024, 1, 1) + dt.timedelta(days=int(k)) for k in NUMBERS + 60],
        "t": pl.Series(TICKS).cast(pl.Datetime("us")).dt.replace_time_zone("Europe/Oslo"),
        "b": NUMBERS > 0,
    })


def as_pandas_equivalent(frame):
    """The same values as a pandas frame of plain dtypes."""
    return pd.DataFrame({
        "f": frame["f"].to_numpy(),
        "i": frame["i"].to_numpy().astype(float),
        "s": pd.Series(frame["s"].to_list(), dtype=object).fillna(np.nan),
        "e": pd.Series(frame["e"].to_list(), dtype=object),
        "c": pd.Series(frame["c"].to_list(), dtype=object),
        "d": (frame["d"].to_numpy().astype("datetime64[D]").astype(np.int64)).astype(float),
        "t": TICKS.astype(float),
        "b": frame["b"].to_numpy().astype(float),
    })


@pytest.mark.parametrize("variance", [0.0, 0.1])
def test_polars_and_pyarrow_tables_mask_like_pandas_and_come_back_in_kind(variance):
    frame = mixed_polars()
    # two chunks: the stream carries two batches
    frame = pl.concat([frame.head(25), frame.tail(ROWS - 25)], rechunk=False)
    expected = mask(as_pandas_equivalent(frame), variance=variance).isna().to_numpy()
    result = mask(frame, variance=variance)
    assert isinstance(result, pl.DataFrame) and result.schema == frame.schema
    np.testing.assert_array_equal(polars_holes(result), expected | polars_holes(frame))
    for name in frame.columns:
        kept = ~result[name].is_null()
        assert result[name].filter(kept).to_list() == frame[name].filter(kept).to_list()

    table = frame.to_arrow()
    out = mask(table, variance=variance)
    assert isinstance(out, pa.Table) and out.schema == table.schema
    np.testing.assert_array_equal(arrow_holes(out), polars_holes(result))


def test_polars_result_lives_on_its_own():
    """The result shares the input's buffers; it must outlive the input and
    every intermediate object of the call."""
    import gc

    result = mask(pl.DataFrame({"a": np.arange(1000.0), "s": [str(k % 7) for k in range(1000)]}), 0.5)
    gc.collect()
    assert result.null_count().sum_horizontal().item() == 1000
    assert result.filter(pl.col("a").is_not_null())["a"].to_list() == [float(v) for v in result["a"].drop_nulls()]


@pytest.mark.parametrize(
    "make, column, dtype",
    [
        (lambda: pd.DataFrame({"x": [1.0, 2.0], "p": pd.period_range("2020-01", periods=2, freq="M")}), "'p' (position 1)", "period[M]"),
        (lambda: pd.DataFrame({"i": pd.interval_range(0, 2)}), "'i' (position 0)", "interval"),
        (lambda: pd.DataFrame({"c": [1 + 2j, 3j]}), "'c' (position 0)", "complex128"),
        (lambda: pd.DataFrame({"d": pd.array([decimal.Decimal("1.5")] * 2, dtype=pd.ArrowDtype(pa.decimal128(5, 2)))}), "'d' (position 0)", "decimal128(5, 2)[pyarrow]"),
        (lambda: pl.DataFrame({"x": [1.0, 2.0], "l": [[1], [2]]}), "'l' (position 1)", "list"),
        (lambda: pa.table({"b": pa.array([b"x", b"y"])}), "'b' (position 0)", "binary"),
        (lambda: pa.table({"d": pa.array([decimal.Decimal("1.5")] * 2)}), "'d' (position 0)", "decimal(2,1)"),
    ],
    ids=["period", "interval", "complex", "arrow-decimal", "polars-list", "arrow-binary", "pyarrow-decimal"],
)
def test_unsupported_columns_are_named(make, column, dtype):
    with pytest.raises(TypeError, match=re.escape(f"column {column} has type {dtype},")) as caught:
        mask(make())
    assert "convert the column first" in str(caught.value)

"""The masking call end to end, against the independent reference model."""

import math
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import reference
from gapwright import MNARrs


def masked(x, alpha, seed, n_workers=2, **kw):
    return MNARrs(seed=seed, n_workers=n_workers, **kw)(x, alpha)


def test_plain_call_blanks_exactly_n_cells(capfd):
    x = np.arange(30.0).reshape(10, 3)
    out = masked(x, 0.2, seed=1)
    assert out.dtype == np.float64 and out.shape == x.shape and out.flags.c_contiguous
    assert np.isnan(out).sum() == 6
    kept = ~np.isnan(out)
    np.testing.assert_array_equal(out[kept], x[kept])
    assert not np.shares_memory(out, x)
    np.testing.assert_array_equal(x, np.arange(30.0).reshape(10, 3))


# Few levels, both zeros among them, around a median of +0.
LEVELS = [-1.0, -0.0, 0.0, 0.5, 2.0]


@pytest.mark.parametrize("seed", [0, 1, 7, 123456789, 2**64 - 1])
@pytest.mark.parametrize(
    "shape, alpha, mean, variance, levels",
    [
        ((6, 3), 0.3, 0.5, 0.0, None),
        ((9, 4), 0.5, 0.5, 0.2, None),
        ((8, 5), 0.25, 0.3, 1.0, None),
        ((5, 7), 0.1, 0.9, 0.05, None),
        ((1, 6), 0.5, 0.5, 0.5, None),
        ((7, 1), 1.0, 0.5, 0.3, None),
        ((30, 20), 0.05, 0.5, 0.3, None),  # 600 cells: both dimensions truncated in the dump
        ((120, 5), 0.04, 0.4, 0.2, None),  # 600 cells: only the rows truncated
        # Columns long enough to be searched where they lie, full of ties;
        # 50 blanks: 16 passes of all three columns and one of two.
        ((4100, 3), 0.004, 0.5, 0.0, LEVELS),
        ((4100, 3), 0.004, 0.5, 0.1, LEVELS),
    ],
)
def test_matches_reference_holes_and_dumps(capfd, rng, seed, shape, alpha, mean, variance, levels):
    if levels is None:
        x = np.round(rng.normal(size=shape) * 10, 1)
        x.flat[::3] = np.round(x.flat[::3])  # duplicates make ties
    else:
        x = rng.choice(levels, size=shape)
    capfd.readouterr()
    out = MNARrs(mean, variance, seed, 3)(x, alpha)
    dumps = capfd.readouterr().out
    expected, expected_dumps = reference.mask(x.tolist(), alpha, seed, mean, variance)
    np.testing.assert_array_equal(out, np.array(expected))
    assert dumps == expected_dumps


PORTABLE_RUN = """
import sys, numpy as np, pandas as pd
from gapwright import MNARrs
x = np.frombuffer(sys.stdin.buffer.read()).reshape(-1, 4)
sys.stdout.buffer.write(MNARrs(seed=5, dump=False)(x, 0.3).tobytes())
sys.stdout.buffer.write(MNARrs(seed=6, dump=False)(pd.DataFrame(x), 0.3).to_numpy().tobytes())
for rows in (30, 200, 5000):
    sys.stdout.buffer.write(MNARrs(seed=7, variance=0.1, dump=False)(x[:rows], 0.3).tobytes())
"""


def test_portable_kernels_make_the_same_holes(rng):
    # The vector kernels are chosen once per process: a child forced onto the
    # portable ones must blank exactly what this process blanks. Long columns
    # full of ties, both zeros, NaN-free, at variance 0, where they run; the
    # frame goes in and out through the transposes. At variance 0.1, columns
    # short enough to be scanned, or indexed, whichever the kernels choose.
    x = rng.choice(LEVELS + [1e-310, -3.5], size=(5000, 4))
    env = dict(os.environ, GAPWRIGHT_KERNELS="portable")
    child = subprocess.run([sys.executable, "-c", PORTABLE_RUN], input=x.tobytes(),
                           capture_output=True, env=env, check=True)
    ours = MNARrs(seed=5, dump=False)(x, 0.3)
    frame = MNARrs(seed=6, dump=False)(pd.DataFrame(x), 0.3).to_numpy()
    drawn = [MNARrs(seed=7, variance=0.1, dump=False)(x[:rows], 0.3) for rows in (30, 200, 5000)]
    assert child.stdout == b"".join(out.tobytes() for out in [ours, frame, *drawn])


def test_same_result_and_output_for_any_worker_count(capfd, rng):
    x = rng.normal(size=(40, 9))
    outputs = []
    for workers in (1, 2, 8):
        capfd.readouterr()
        out = masked(x, 0.35, seed=99, n_workers=workers, variance=0.4)
        outputs.append((out.tobytes(), capfd.readouterr().out))
    assert outputs[0] == outputs[1] == outputs[2]


def test_consecutive_calls_continue_the_stream(capfd, rng):
    x = np.round(rng.normal(size=(10, 4)), 2)
    m = MNARrs(variance=0.5, seed=5, n_workers=2)
    first, second = m(x, 0.3), m(x, 0.3)
    stream = reference.Stream(5)
    ref_first, _ = reference.mask(x.tolist(), 0.3, 5, 0.5, 0.5, stream=stream)
    ref_second, _ = reference.mask(x.tolist(), 0.3, 5, 0.5, 0.5, stream=stream)
    np.testing.assert_array_equal(first, np.array(ref_first))
    np.testing.assert_array_equal(second, np.array(ref_second))
    assert not np.array_equal(np.isnan(first), np.isnan(second))


@pytest.mark.parametrize(
    "cells, alpha, blanks",
    [((5, 6), 0.01, 1), ((10, 10), 0.07, 8), ((4, 5), 1.0, 20), ((4, 5), 0.5, 10)],
)
def test_blank_count_rounds_up_after_the_product(capfd, cells, alpha, blanks):
    x = np.arange(float(cells[0] * cells[1])).reshape(cells)
    assert np.isnan(masked(x, alpha, seed=3)).sum() == blanks


@pytest.mark.parametrize("alpha", [0, 0.0, -1.0, float("nan"), -math.inf])
def test_no_blanks_no_output(capfd, alpha):
    x = np.array([[1.0, np.nan], [3.0, 4.0]])  # a NaN would fail once sampled
    out = masked(x, alpha, seed=1)
    np.testing.assert_array_equal(out, x)
    assert capfd.readouterr().out == ""


def test_tie_goes_to_lowest_row(capfd):
    x = np.array([[1.0], [2.0], [3.0], [4.0]])
    out = masked(x, 0.25, seed=8)
    assert np.isnan(out[1, 0]) and np.isnan(out).sum() == 1
    assert capfd.readouterr().out == (
        "[[1.0],\n [NaN],\n [3.0],\n [4.0]], shape=[4, 1], strides=[1, 1], "
        "layout=CFcf (0xf), const ndim=2\n"
    )


def test_median_cells_go_first_with_zero_variance(capfd):
    x = np.array([[5.0, 10.0], [1.0, 30.0], [3.0, 20.0]])
    out = masked(x, 1 / 3, seed=2)
    assert np.isnan(out[2, 0]) and np.isnan(out[2, 1]) and np.isnan(out).sum() == 2
    assert capfd.readouterr().out == (
        "[[5.0, 10.0],\n [1.0, 30.0],\n [NaN, NaN]], shape=[3, 2], strides=[2, 1], "
        "layout=Cc (0x5), const ndim=2\n"
    )


@pytest.mark.parametrize("alpha", [2.0, 1e12, math.inf])
def test_more_blanks_than_cells_stops_when_all_blank(capfd, alpha):
    x = np.arange(6.0).reshape(3, 2)
    out = masked(x, alpha, seed=4)
    assert np.isnan(out).all()
    captured = capfd.readouterr()
    assert captured.out.count("shape=[3, 2]") == 3  # one dump per pass until all blank
    assert "No argmin found!" not in captured.err


def test_nan_column_fails_when_sampled(capfd):
    x = np.array([[1.0, np.nan], [2.0, 3.0], [4.0, 5.0]])
    m = MNARrs(seed=1, n_workers=2)
    with pytest.raises(ValueError, match=r"^Sample is nan: the threshold drawn for column 1 is NaN"):
        m(x, 0.5)
    # the data's fault, not the module's: no diagnostic
    assert capfd.readouterr().err == ""
    # the instance stays usable
    assert np.isnan(m(x[:, :1], 0.4)).sum() == 2


def test_infinite_column_with_zero_variance_fails(capfd):
    x = np.array([[1.0], [np.inf], [2.0]])
    with pytest.raises(ValueError, match="^Sample is nan: "):
        masked(x, 0.5, seed=1)


def test_nan_column_matters_only_when_chosen(capfd):
    # Fewer blanks than columns: one pass over a random subset of columns.
    x = np.column_stack([np.arange(10.0), np.arange(10.0), np.r_[np.arange(9.0), np.nan]])
    outcomes = set()
    for seed in range(12):
        try:
            expected, dumps = reference.mask(x.tolist(), 0.05, seed)
        except reference.Failure:
            with pytest.raises(ValueError, match="^Sample is nan: the threshold drawn for column 2 "):
                masked(x, 0.05, seed=seed)
            assert capfd.readouterr().out == ""
            outcomes.add("failed")
            continue
        capfd.readouterr()
        np.testing.assert_array_equal(masked(x, 0.05, seed=seed), np.array(expected))
        assert capfd.readouterr().out == dumps
        outcomes.add("masked")
    assert outcomes == {"failed", "masked"}


def test_mean_past_the_end_clamps_to_the_largest_value(capfd):
    x = np.array([[3.0], [1.0], [5.0], [2.0], [4.0]])  # odd n: the position lands on a cell
    for mean in (1.0, 7.5, math.inf):
        out = masked(x, 0.2, seed=1, mean=mean)
        assert np.isnan(out[2, 0]) and np.isnan(out).sum() == 1
    even = np.array([[3.0], [1.0], [2.0], [4.0]])
    out = masked(even, 0.25, seed=1, mean=1.0)
    assert np.isnan(out[3, 0])


def test_negative_or_nan_mean_centres_on_the_smallest(capfd):
    x = np.array([[3.0], [1.0], [2.0]])
    for mean in (-1.0, float("nan")):
        out = masked(x, 0.3, seed=1, mean=mean)
        assert np.isnan(out[1, 0]) and np.isnan(out).sum() == 1


@pytest.mark.parametrize("shape", [(0, 3), (0, 0), (4, 0)])
def test_empty_tables_return_empty_results(capfd, shape):
    x = np.zeros(shape)
    for alpha in (0.0, 0.5, 1.0):
        out = masked(x, alpha, seed=1)
        assert out.shape == shape and out.dtype == np.float64
    assert capfd.readouterr().out == ""


def test_signed_zero_column(capfd):
    x = np.array([[0.0], [-0.0], [5.0]])
    out = masked(x, 0.3, seed=1)
    # centre +0; both zeros are at distance 0, the lower row wins
    assert np.isnan(out[0, 0]) and np.isnan(out).sum() == 1


def test_huge_values_whose_squares_overflow(capfd):
    x = np.array([[1e300], [-1e300], [2e300], [-3e300], [5e300]])
    for seed in range(5):
        out = masked(x, 0.6, seed=seed, variance=0.5)
        expected, _ = reference.mask(x.tolist(), 0.6, seed, 0.5, 0.5)
        np.testing.assert_array_equal(out, np.array(expected))


def test_many_random_small_tables_match_the_plain_scan(capfd):
    gen = np.random.default_rng(55)
    for case in range(120):
        rows, cols = int(gen.integers(1, 9)), int(gen.integers(1, 6))
        # few distinct values: ties between equal values and between values
        # equally far on both sides of a threshold are the rule here
        x = gen.integers(-3, 4, size=(rows, cols)).astype(float) * float(gen.choice([0.5, 1.0, 1e200]))
        alpha = float(gen.choice([0.1, 0.3, 0.5, 0.9, 1.0, 1.7]))
        mean = float(gen.choice([0.0, 0.25, 0.5, 0.8, 1.0]))
        variance = float(gen.choice([0.0, 0.1, 1.0]))
        seed = int(gen.integers(0, 2**63))
        capfd.readouterr()
        out = MNARrs(mean, variance, seed, int(gen.integers(1, 4)))(x, alpha)
        dumps = capfd.readouterr().out
        expected, expected_dumps = reference.mask(x.tolist(), alpha, seed, mean, variance)
        np.testing.assert_array_equal(out, np.array(expected), err_msg=f"case {case}")
        assert dumps == expected_dumps, f"case {case}"


def test_nan_threshold_still_draws_the_rest_of_its_pass(capfd):
    # Under variance 1 both columns are sampled in the failing pass; which of
    # them holds the NaN must not change where the stream stands afterwards.
    clean = np.arange(8.0).reshape(4, 2)
    left = MNARrs(seed=5, variance=1.0, n_workers=2)
    right = MNARrs(seed=5, variance=1.0, n_workers=2)
    with pytest.raises(ValueError, match="^Sample is nan: the threshold drawn for column 0 "):
        left(np.array([[np.nan, 1.0], [np.nan, 2.0]]), 1.0)
    with pytest.raises(ValueError, match="^Sample is nan: the threshold drawn for column 1 "):
        right(np.array([[1.0, np.nan], [2.0, np.nan]]), 1.0)
    after_left, after_right = left(clean, 0.5), right(clean, 0.5)
    np.testing.assert_array_equal(after_left, after_right)
    stream = reference.Stream(5)
    for _ in range(2):  # the failing pass drew both thresholds
        stream.gauss(0.0, 1.0)
    expected, _ = reference.mask(clean.tolist(), 0.5, 5, 0.5, 1.0, stream=stream)
    np.testing.assert_array_equal(after_left, np.array(expected))


@pytest.mark.parametrize("mean", [2.0**62, 2.0**63, 2.0**64, 1e30])
def test_huge_means_clamp_to_the_largest_value(capfd, mean):
    x = np.array([[1.0], [2.0], [4.0], [3.0]])
    out = masked(x, 0.25, seed=1, mean=mean)
    assert np.isnan(out[2, 0]) and np.isnan(out).sum() == 1


# ---------------------------------------------------------------- long and wide tables

def _sampled_rows(n):
    """The rows an evenly spread sample of 256 or of 4096 rows reads."""
    return sorted({(2 * i + 1) * n // (2 * size) for size in (256, 4096) for i in range(size)})


def _adversarial_column(kind, n, gen):
    if kind == "sorted":
        return np.sort(np.round(gen.normal(size=n), 2))
    if kind == "sawtooth":
        return (np.arange(n) % 97) * 0.5 - 20.0
    if kind == "all but a few equal":
        column = np.full(n, 3.0)
        column[gen.integers(0, n, size=5)] = [2.0, 4.0, 3.0 + 2.0**-51, 3.0 - 2.0**-51, 9.0]
        return column
    # The sampled rows all hold the centre, while the rows nearest it lie elsewhere.
    column = gen.uniform(0.0, 1.0, size=n)
    column[_sampled_rows(n)] = 0.5
    return column


@pytest.mark.parametrize("kind", ["sorted", "sawtooth", "all but a few equal", "sample at the centre"])
def test_columns_that_mislead_a_sample_match_reference(capfd, kind):
    # Long enough for the selection's sample rounds; an odd blank count, so
    # that the last pass takes one column's next nearest cell.
    gen = np.random.default_rng(42)
    x = np.column_stack([_adversarial_column(kind, 17000, gen) for _ in range(2)])
    out = MNARrs(seed=11, n_workers=2, dump=False)(x, 12.5 / x.size)
    expected, _ = reference.mask(x.tolist(), 12.5 / x.size, 11)
    np.testing.assert_array_equal(out, np.array(expected))


@pytest.mark.parametrize("rows, cols", [(440, 600), (16, 16400)])
def test_variance_zero_over_many_groups_and_two_jobs_matches_reference(capfd, rows, cols):
    # Enough cells for a second job; 16 columns a group and a partial last
    # group; a full pass then a partial one. Short columns are sorted.
    gen = np.random.default_rng(rows)
    x = np.round(gen.normal(size=(rows, cols)), 1)
    alpha = (cols + 6.5) / x.size
    capfd.readouterr()
    out = MNARrs(seed=3, n_workers=2)(x, alpha)
    dumps = capfd.readouterr().out
    expected, expected_dumps = reference.mask(x.tolist(), alpha, 3)
    np.testing.assert_array_equal(out, np.array(expected))
    assert dumps == expected_dumps


def test_calls_of_other_shapes_on_one_instance_match_reference(capfd):
    # One instance, and the scratch its calls keep, over tables longer and
    # shorter, wider and narrower, in ranges far apart; each call matches the
    # reference model carried on along the same stream.
    gen = np.random.default_rng(8)
    tables = [
        gen.normal(500.0, 300.0, size=(6000, 3)),
        gen.integers(-2, 3, size=(2000, 2)) * 0.5,
        gen.normal(-1e6, 1.0, size=(5000, 1)),
        np.round(gen.normal(size=(1500, 4)), 1),
    ]
    for variance in (0.1, 0.0):
        instance = MNARrs(variance=variance, seed=21, n_workers=2, dump=False)
        stream = reference.Stream(21)
        for i, x in enumerate(tables):
            expected, _ = reference.mask(x.tolist(), 0.002, 21, 0.5, variance, stream=stream)
            np.testing.assert_array_equal(instance(x, 0.002), np.array(expected),
                                          err_msg=f"variance {variance}, call {i}")


def test_a_column_over_two_million_rows_matches_reference():
    # Longer than the columns that are copied before they are indexed. The
    # reference model's passes, with its scans and its sort done by numpy:
    # the values are finite and never zero, so the numeric order is the
    # total order and a square's bits are its key.
    n = 2**21 + 5
    x = np.round(np.random.default_rng(21).normal(size=(n, 1)), 4)
    x[x == 0.0] = 0.5
    column = x[:, 0]
    s = np.sort(column)
    p = reference.saturating_u64(math.floor(n * 0.5))
    centre, spread = s[p], (s[-1] - s[0]) * 0.1  # n is odd
    stream = reference.Stream(9)
    expected = column.copy()
    for _ in range(math.ceil(1e-5 * n)):
        assert stream.pick_indices(1, 1) == [0]
        d = expected - stream.gauss(centre, spread)
        keys = np.where(np.isnan(expected), np.iinfo(np.int64).max, (d * d).view(np.int64))
        expected[np.argmin(keys)] = np.nan
    out = MNARrs(variance=0.1, seed=9, n_workers=2, dump=False)(x, 1e-5)
    np.testing.assert_array_equal(out[:, 0], expected)

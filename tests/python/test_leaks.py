"""Memory and reference counts stay flat over many calls, good and bad.

Growth is measured after a warm-up, so that one-time caches (numpy's C API,
the pandas import, the PanicException class) do not count.
"""

import gc
import os
import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from conftest import is_panic, silenced_stdout
from gapwright import MNARrs

PAGE = os.sysconf("SC_PAGE_SIZE")

FLOATS = np.random.default_rng(5).normal(size=(60, 6))
OBJECTS = np.array([[f"w{i % 7}", float(i), i % 3 == 0] for i in range(40)], dtype=object)


# Frames are built anew for every use: pandas keeps a weak reference for each
# view or copy taken from a frame's blocks and prunes them only now and then,
# which would look like growth if one frame served every round.
def numbers():
    return pd.DataFrame(FLOATS.copy(), columns=[f"c{j}" for j in range(6)])


def texts():
    return pd.DataFrame(
        {"s": [f"t{i % 5}" for i in range(40)], "n": np.arange(40.0), "b": [i % 2 == 0 for i in range(40)]}
    )


def big_texts():
    return pd.DataFrame({"s": [f"t{i % 13}" for i in range(2000)], "n": np.arange(2000.0)})


# Large enough that losing one copy per call would show in the resident size.
BIG = np.random.default_rng(6).normal(size=(400, 50))
BIG_OBJECTS = np.array([[f"v{i % 11}", float(i)] for i in range(2000)], dtype=object)
WITH_NAN = np.array([[1.0, np.nan], [2.0, 3.0], [4.0, 5.0]])


class NoDtypes(pd.DataFrame):
    @property
    def _constructor(self):
        return pd.DataFrame

    @property
    def dtypes(self):
        raise KeyError("hidden")


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


BROKEN_FRAME = NoDtypes({"a": [1.0, 2.0]})
UNPRINTABLE = np.array([["x"], [Unprintable()]], dtype=object)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def expect_failure(call, kind):
    try:
        call()
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        assert is_panic(e) if kind == "panic" else type(e) is kind, repr(e)
    else:
        raise AssertionError("expected a failure")


def one_round(m):
    """Every container kind, successful and failing, on one instance."""
    assert np.isnan(m(FLOATS, 0.3)).sum() == 108
    assert m(OBJECTS, 0.4).shape == (40, 3)
    assert m(numbers(), 0.2).isna().sum().sum() == 72
    assert m(texts(), 0.5).isna().sum().sum() == 60
    assert m(np.asfortranarray(FLOATS)[::2], 1.0).shape == (30, 6)
    assert np.isnan(m(BIG, 0.001)).sum() == 20
    assert m(BIG_OBJECTS, 0.001).shape == (2000, 2)
    assert m(big_texts(), 0.001).isna().sum().sum() == 4
    assert m(pd.DataFrame(BIG), 0.0).shape == (400, 50)
    expect_failure(lambda: m([[1.0]], 0.1), TypeError)
    expect_failure(lambda: m(np.ones((2, 2), dtype=np.int64), 0.1), BufferError)
    expect_failure(lambda: m(WITH_NAN, 1.0), ValueError)
    expect_failure(lambda: m(BROKEN_FRAME, 0.1), "panic")
    expect_failure(lambda: m(UNPRINTABLE, 0.1), "panic")
    expect_failure(lambda: m(FLOATS, "x"), TypeError)
    expect_failure(lambda: m(FLOATS), TypeError)
    expect_failure(lambda: MNARrs(n_workers=0), ValueError)
    expect_failure(lambda: MNARrs(seed=-1), OverflowError)


def test_memory_and_objects_stay_flat():
    with silenced_stdout():
        m = MNARrs(seed=1, n_workers=3)
        for i in range(40):
            one_round(m if i % 10 else MNARrs(seed=i, n_workers=2))
        gc.collect()
        rss_before, objects_before = resident_bytes(), len(gc.get_objects())
        for i in range(300):
            one_round(m if i % 10 else MNARrs(seed=i, n_workers=2))
        gc.collect()
        rss_after, objects_after = resident_bytes(), len(gc.get_objects())
    assert rss_after - rss_before < 20 * 2**20, f"grew by {(rss_after - rss_before) / 2**20:.1f} MiB"
    assert objects_after - objects_before < 200, f"{objects_after - objects_before} more tracked objects"


@pytest.mark.parametrize(
    "data, alpha, failure",
    [
        (FLOATS, 0.3, None),
        (OBJECTS, 0.3, None),
        (numbers(), 0.3, None),
        (texts(), 0.3, None),
        (WITH_NAN, 1.0, ValueError),
        (BROKEN_FRAME, 0.3, "panic"),
        (UNPRINTABLE, 0.3, "panic"),
        (np.ones((2, 2), dtype=">f8"), 0.3, BufferError),
        ([[1.0]], 0.3, TypeError),
    ],
    ids=["floats", "objects", "numbers", "texts", "nan", "broken-frame", "unprintable", "big-endian", "list"],
)
@pytest.mark.thread_unsafe  # reference counts move while other threads use the same objects
def test_calls_leave_reference_counts_alone(data, alpha, failure):
    m = MNARrs(seed=2, n_workers=2)
    rate = float(str(alpha))  # a float object of this test's own
    cells = list(data.ravel()) if isinstance(data, np.ndarray) and data.dtype == object else []
    labels = list(data.columns) if isinstance(data, pd.DataFrame) else []
    counts = lambda: (  # noqa: E731
        sys.getrefcount(data),
        sys.getrefcount(rate),
        [sys.getrefcount(c) for c in cells],
        [sys.getrefcount(c) for c in labels],
    )
    with silenced_stdout():
        before = counts()
        for _ in range(20):
            if failure is None:
                m(data, rate)
            else:
                expect_failure(lambda: m(data, rate), failure)
        after = counts()
    assert after == before


def test_instances_release_the_type_and_the_panic_class():
    gc.collect()
    type_refs = sys.getrefcount(MNARrs)
    panic_type = None
    with silenced_stdout():
        for i in range(100):
            m = MNARrs(seed=i, n_workers=1 + i % 3)
            expect_failure(lambda: m(WITH_NAN, 1.0), ValueError)
            try:
                m(UNPRINTABLE, 0.1)
            except BaseException as e:  # noqa: B036
                panic_type = type(e)
            del m
        panic_refs = sys.getrefcount(panic_type)
        for i in range(100):
            try:
                MNARrs(seed=i)(UNPRINTABLE, 0.1)
            except BaseException:  # noqa: B036
                pass
    gc.collect()
    assert sys.getrefcount(MNARrs) == type_refs
    assert sys.getrefcount(panic_type) == panic_refs


def test_argument_objects_are_not_kept():
    class Number(SimpleNamespace):
        def __float__(self):
            return 0.5

        def __index__(self):
            return 3

    mean, variance, seed, workers, rate = Number(), Number(), Number(), Number(), Number()
    refs = [sys.getrefcount(o) for o in (mean, variance, seed, workers, rate)]

    def use_once():
        m = MNARrs(mean, variance, seed, workers)
        m(FLOATS, rate)
        m(alpha=rate, data=FLOATS)
        expect_failure(lambda: m(FLOATS, rate, rate), TypeError)
        expect_failure(lambda: MNARrs(mean, variance, seed, workers, rate), TypeError)

    with silenced_stdout():
        for _ in range(20):
            use_once()
    assert [sys.getrefcount(o) for o in (mean, variance, seed, workers, rate)] == refs

"""Grids on process pools and clusters: instances that travel, errors that come
back, and the dump switch.

A copy of an instance (pickle, copy, deepcopy) stands where the original's
stream stands, so it makes the holes the original's next call would make.
The engines' tests run scripts as subprocesses, so that their task functions
live in `__main__` as a user's do; every wait in them is bounded.
"""

import copy
import math
import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from gapwright import MNARrs

TABLE = np.random.default_rng(11).normal(size=(300, 7))
WITH_NAN = np.array([[1.0, 2.0], [np.nan, 3.0], [4.0, 5.0]])
COPIERS = {
    **{f"pickle-{p}": lambda m, p=p: pickle.loads(pickle.dumps(m, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def holes(m, data=TABLE, alpha=0.15):
    return np.isnan(m(data, alpha))


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize("variance", [0.0, 0.2])
def test_a_copy_continues_the_stream_where_the_original_stands(copier, variance):
    original = MNARrs(0.4, variance, 9, 3, dump=False)
    holes(original)  # the copy must start mid-stream, not from the seed
    clone = copier(original)
    assert type(clone) is MNARrs and clone is not original
    assert clone.__reduce__() == original.__reduce__()
    assert repr(clone) == "MNAR[0.4]"
    for alpha in (0.15, 0.01):  # a partial pass: the column picks come from the stream too
        np.testing.assert_array_equal(holes(clone, alpha=alpha), holes(original, alpha=alpha))


def test_a_clock_seeded_instance_travels_and_copies_are_independent():
    original = MNARrs(variance=0.3, n_workers=2, dump=False)
    clone = pickle.loads(pickle.dumps(original))
    assert clone.__reduce__()[1] == original.__reduce__()[1]
    first = holes(clone)
    # the copy's calls move its own stream only
    assert clone.__reduce__()[2] != original.__reduce__()[2]
    np.testing.assert_array_equal(holes(original), first)


def test_the_reduced_form_is_the_documented_one():
    m = MNARrs(0.25, 0.5, 2**64 - 1, 5, dump=False)
    assert m.__reduce__() == (MNARrs, (0.25, 0.5, 2**64 - 1, 5), (1, False, 0))
    m(TABLE, 0.01)
    # 21 blanks: three passes over all seven columns, which draw no picks,
    # and four words for each threshold
    assert m.__reduce__()[2] == (1, False, 21 * 4)
    default = MNARrs(seed=0)
    assert default.__reduce__() == (MNARrs, (0.5, 0.0, 0, 4), (1, True, 0))


def test_the_dump_switch_travels_and_changes_nothing_else(capfd):
    loud, quiet = MNARrs(seed=4, variance=0.1), MNARrs(seed=4, variance=0.1, dump=False)
    copies = [copy.deepcopy(loud), copy.deepcopy(quiet)]
    passes = -(-math.ceil(0.15 * TABLE.size) // TABLE.shape[1])
    capfd.readouterr()
    expected = holes(loud)
    assert capfd.readouterr().out.count("shape=[300, 7]") == passes
    for m, dumps in zip([copies[0], quiet, copies[1]], [passes, 0, 0]):
        np.testing.assert_array_equal(holes(m), expected)
        assert capfd.readouterr().out.count("shape=[300, 7]") == dumps
    # the same error, with the stream left in the same place
    for m in (loud, quiet):
        with pytest.raises(ValueError, match="^Sample is nan: the threshold drawn for column 0 "):
            m(WITH_NAN, 1.0)
    assert loud.__reduce__()[2][2] == quiet.__reduce__()[2][2]
    capfd.readouterr()
    assert np.array_equal(holes(loud), holes(quiet))
    assert MNARrs(dump=np.bool_(False)).__reduce__()[2][1] is False


@pytest.mark.parametrize("value", [0, 1, "yes", 1.0, [], np.int64(1)])
def test_dump_takes_only_a_bool(value):
    with pytest.raises(TypeError, match="^argument 'dump': expected True or False, got "):
        MNARrs(dump=value)
    with pytest.raises(TypeError, match="takes from 0 to 4 positional arguments but 5 were given"):
        MNARrs(0.5, 0.0, 1, 1, False)


DAMAGED = [
    ([1, False, 0], TypeError),
    ((), ValueError),
    ((2, False, 0), ValueError),
    ((0, False, 0), ValueError),
    ((2**70, False, 0), ValueError),
    (("1", False, 0), TypeError),
    ((1.0, False, 0), TypeError),
    ((True, False, 0), TypeError),
    ((1,), ValueError),
    ((1, False), ValueError),
    ((1, False, 0, 0), ValueError),
    ((1, 1, 0), TypeError),
    ((1, None, 0), TypeError),
    ((1, False, -1), ValueError),
    ((1, False, 2**64), ValueError),
    ((1, False, 1.0), TypeError),
    ((1, False, "0"), TypeError),
]


def test_a_damaged_state_is_refused_and_changes_nothing():
    m = MNARrs(seed=6, variance=0.2, n_workers=2, dump=False)
    holes(m)
    before = m.__reduce__()
    twin = copy.copy(m)
    for state, error in DAMAGED:
        with pytest.raises(error, match="^MNARrs state"):
            m.__setstate__(state)
        assert m.__reduce__() == before, state
    with pytest.raises(TypeError):
        m.__setstate__()
    np.testing.assert_array_equal(holes(m), holes(twin))


def test_altered_and_truncated_states_never_crash(rng):
    """Every item replaced by values of every kind, and every truncation: a
    state either applies as given or is refused, and the instance keeps working."""
    m = MNARrs(seed=8, variance=0.1, n_workers=2, dump=False)
    holes(m)
    valid = m.__reduce__()[2]
    values = [None, True, False, 0, 1, 2, -1, 2**63, 2**64 - 1, 2**64, 1.5, math.nan, "1", b"1", (), [1], object()]
    states = [valid[:n] for n in range(len(valid))]
    states += [valid[:i] + (v,) + valid[i + 1 :] for i in range(len(valid)) for v in values]
    states += [tuple(values[i] for i in rng.integers(0, len(values), size=rng.integers(0, 5))) for _ in range(300)]
    for state in states:
        try:
            m.__setstate__(state)
        except (TypeError, ValueError):
            continue
        assert m.__reduce__()[2] == state
    m.__setstate__(valid)
    assert m(TABLE, 0.05).shape == TABLE.shape
    # far into the stream is a stream position like any other
    m.__setstate__((1, False, 2**64 - 1))
    assert np.isnan(m(TABLE, 0.05)).sum() == math.ceil(0.05 * TABLE.size)


# ---------------------------------------------------------------- engines


def run_script(tmp_path, source, timeout=240):
    script = tmp_path / "grid.py"
    script.write_text(textwrap.dedent(source))
    done = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, timeout=timeout, cwd=tmp_path
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-4000:]
    return done.stdout


# Shared by the engines' scripts: a grid of instances, copies of which give the
# sequential answer, and a task function of the script's own `__main__`.
GRID = """
import copy, sys
import numpy as np
from gapwright import MNARrs

def rmse_of_mean_imputation(masker, data, alpha):
    holes = masker(data, alpha)
    filled = np.where(np.isnan(holes), np.nanmean(holes, axis=0), holes)
    return np.isnan(holes), float(np.sqrt(np.mean((filled - data) ** 2)))

tables = [np.random.default_rng(i).normal(size=(400, 6)) for i in range(2)]
grid = [(MNARrs(variance=v, seed=s, n_workers=2, dump=False), t, a)
        for v in (0.0, 0.1) for s in range(2) for t in tables for a in (0.05, 0.3)]
sequential = [rmse_of_mean_imputation(copy.deepcopy(m), t, a) for m, t, a in grid]

def same(results):
    return all(np.array_equal(h, eh) and e == ee for (h, e), (eh, ee) in zip(results, sequential, strict=True))

nan_table = tables[0].copy()
nan_table[5, 3] = np.nan
"""


@pytest.mark.thread_unsafe  # starts process pools of its own
def test_joblib_loky_grid_with_a_task_function_from_main(tmp_path):
    pytest.importorskip("joblib", reason="joblib does not install on this interpreter")
    out = run_script(
        tmp_path,
        GRID
        + """
if __name__ == "__main__":
    from joblib import Parallel, delayed
    with Parallel(n_jobs=2, backend="loky", timeout=120) as parallel:
        results = parallel(delayed(rmse_of_mean_imputation)(m, t, a) for m, t, a in grid)
        print("grid", same(results))
        # the instance itself as the task
        masks = parallel(delayed(m)(t, a) for m, t, a in grid[:4])
        print("instances", all(np.array_equal(np.isnan(x), h) for x, (h, _) in zip(masks, sequential)))
        try:
            parallel([delayed(MNARrs(seed=1, dump=False))(nan_table, 0.5)])
        except ValueError as error:
            print("error", error)
""",
    )
    lines = out.splitlines()
    assert lines[:2] == ["grid True", "instances True"]
    assert lines[2].startswith("error Sample is nan: the threshold drawn for column 3 is NaN")


@pytest.mark.thread_unsafe  # starts process pools of its own
@pytest.mark.parametrize("method", ["spawn", "fork"])
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_multiprocessing_pool_returns_bad_data_as_value_error(method):
    m = MNARrs(seed=2, n_workers=2, dump=False)
    with multiprocessing.get_context(method).Pool(2) as pool:
        failing = pool.apply_async(m, (WITH_NAN, 1.0))
        working = pool.apply_async(m, (TABLE, 0.2))
        with pytest.raises(ValueError, match="^Sample is nan: the threshold drawn for column 0 "):
            failing.get(timeout=120)
        np.testing.assert_array_equal(np.isnan(working.get(timeout=120)), holes(m, alpha=0.2))


@pytest.mark.thread_unsafe  # starts process pools of its own
def test_multiprocessing_pool_returns_a_dump_to_a_pipe_without_reader_as_broken_pipe_error():
    # As in `python grid.py | head`: the workers' fd 1 is a pipe whose reader has gone.
    break_stdout = "import os; r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.close(w)"
    m = MNARrs(seed=2, n_workers=2)
    with multiprocessing.get_context("spawn").Pool(2, initializer=exec, initargs=(break_stdout,)) as pool:
        failing = [pool.apply_async(m, (TABLE, 0.2)) for _ in range(3)]
        for result in failing:
            with pytest.raises(BrokenPipeError, match=r"^\[Errno 32\] Broken pipe$"):
                result.get(timeout=120)
        quiet = MNARrs(seed=2, n_workers=2, dump=False)
        working = pool.apply_async(quiet, (TABLE, 0.2))
        np.testing.assert_array_equal(np.isnan(working.get(timeout=120)), holes(copy.deepcopy(quiet), alpha=0.2))


@pytest.mark.thread_unsafe  # starts a cluster of its own
def test_dask_local_cluster_runs_the_grid_instances_and_failures(tmp_path):
    pytest.importorskip("distributed", reason="dask.distributed does not install on this interpreter")
    out = run_script(
        tmp_path,
        GRID
        + """
if __name__ == "__main__":
    import pandas as pd
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, worker_dashboard_address=None) as cluster, \\
            Client(cluster, timeout=60) as client:
        futures = client.map(rmse_of_mean_imputation, *zip(*grid), pure=False)
        print("grid", same(client.gather(futures, errors="raise", direct=False)))
        m = MNARrs(seed=3, variance=0.1, dump=False)
        frame = pd.DataFrame(tables[1], columns=list("abcdef"))
        remote = client.submit(m, frame, 0.2, pure=False).result(timeout=60)
        print("instance", remote.isna().equals(m(frame, 0.2).isna()))
        failing = client.submit(MNARrs(seed=1, dump=False), pd.DataFrame(nan_table, columns=list("abcdef")), 0.5)
        try:
            failing.result(timeout=60)
        except ValueError as error:
            print("error", error)
""",
    )
    lines = out.splitlines()
    assert lines[:2] == ["grid True", "instance True"]
    assert lines[2].startswith("error Sample is nan: the threshold drawn for column 'd' (position 3) is NaN")


def test_a_frame_shipped_out_of_band_is_read_at_any_byte_offset():
    """Engines ship frames by pickle protocol 5, and their blocks may then
    start at any byte offset; the frame is read like the original."""
    frame = pd.DataFrame(TABLE[:, :3], columns=["x", "y", "z"]).assign(s=[f"t{i % 4}" for i in range(300)])
    buffers = []
    payload = pickle.dumps(frame, protocol=5, buffer_callback=buffers.append)
    shifted = []
    for buffer in buffers:
        raw = bytearray(len(buffer.raw()) + 1)
        raw[1:] = buffer.raw()
        shifted.append(memoryview(raw)[1:])
    shipped = pickle.loads(payload, buffers=shifted)
    assert shipped["x"].to_numpy().ctypes.data % 8 != 0
    for alpha in (0.0, 0.2):
        expected = MNARrs(seed=5, dump=False)(frame, alpha)
        assert MNARrs(seed=5, dump=False)(shipped, alpha).equals(expected)

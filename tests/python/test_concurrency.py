"""Threads, re-entry through callbacks, and failures around the instance's life.

The borrow flag is what these tests look at from the outside: a call holds
the instance exclusively, a representation holds it shared, and neither may
stay held once the entry point has returned, however it returned.
"""

import copy
import os
import pickle
import queue
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

from conftest import is_panic, silenced_stdout
from gapwright import MNARrs

HERE = os.path.dirname(os.path.abspath(__file__))
X = np.array([[3.0, 1.0], [1.0, 5.0], [2.0, 3.0], [4.0, 2.0]])


def assert_usable(m):
    out = m(X, 0.5)
    assert np.isnan(out).sum() == 4
    assert repr(m).startswith("MNAR[")


# ---------------------------------------------------------------- parallel instances


def workload(i):
    rng = np.random.default_rng(i)
    table = np.round(rng.normal(size=(30 + i, 5)), 1)
    kinds = [
        lambda: table,
        lambda: np.asfortranarray(table),
        lambda: pd.DataFrame(table, columns=list("abcde")),
        lambda: pd.DataFrame({"s": [f"w{int(v * 10) % 7}" for v in table[:, 0]], "n": table[:, 1]}),
        lambda: np.array([[f"t{int(v) % 3}", v] for v in table[:, 2]], dtype=object),
    ]
    return kinds[i % len(kinds)]


def run_instance(i, calls):
    m = MNARrs(mean=0.3 + 0.05 * (i % 5), variance=0.2 * (i % 3), seed=1000 + i, n_workers=1 + i % 3)
    make = workload(i)
    return [pickle_free(m(make(), 0.15 * (k + 1))) for k in range(calls)]


def pickle_free(result):
    """A comparable rendering of a result of any container kind."""
    if isinstance(result, pd.DataFrame):
        return ("frame", list(result.columns), [str(d) for d in result.dtypes], repr(result.to_numpy().tolist()))
    return ("array", str(result.dtype), repr(result.tolist()))


def test_parallel_instances_match_one_after_another():
    threads_count, calls = 12, 4
    with silenced_stdout():
        expected = [run_instance(i, calls) for i in range(threads_count)]
        results = [None] * threads_count
        errors = []
        start = threading.Barrier(threads_count)

        def work(i):
            try:
                start.wait()
                results[i] = run_instance(i, calls)
            except BaseException as e:  # noqa: B036 - a PanicException must be reported too
                errors.append(e)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(threads_count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    assert results == expected


def test_one_instance_shared_by_threads_refuses_overlap_only():
    """Threads take turns on one instance: each call either runs or is refused as borrowed."""
    m = MNARrs(seed=3, n_workers=2)
    frame = pd.DataFrame({"s": ["a", "b", "c", "d"] * 5, "n": np.arange(20.0)})
    outcomes = []
    lock = threading.Lock()

    def work():
        for _ in range(25):
            try:
                out = m(frame, 0.2)
                result = ("ok", int(out.isna().sum().sum()))
            except RuntimeError as e:
                result = ("refused", str(e))
            try:
                text = repr(m)
            except RuntimeError as e:
                text = str(e)
            with lock:
                outcomes.append(result)
                outcomes.append(("repr", text))

    with silenced_stdout():
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    allowed = {("ok", 8), ("refused", "Already borrowed"), ("repr", "MNAR[0.5]"), ("repr", "Already mutably borrowed")}
    assert set(outcomes) <= allowed
    assert ("ok", 8) in outcomes
    with silenced_stdout():
        assert_usable(m)


def test_representations_overlap_freely():
    m = MNARrs(0.25, seed=1, n_workers=1)
    seen = set()
    lock = threading.Lock()
    start = threading.Barrier(8)

    def work():
        start.wait()
        texts = {repr(m) for _ in range(3000)} | {str(m) for _ in range(100)}
        with lock:
            seen.update(texts)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen == {"MNAR[0.25]"}
    with silenced_stdout():
        assert_usable(m)


def test_second_thread_is_refused_while_a_call_waits_in_a_callback():
    m = MNARrs(seed=2, n_workers=2)
    inside, release = threading.Event(), threading.Event()

    class Waiting(pd.DataFrame):
        @property
        def _constructor(self):
            return pd.DataFrame

        def to_numpy(self, *args, **kwargs):
            inside.set()
            assert release.wait(30)
            return pd.DataFrame.to_numpy(self, *args, **kwargs)

    result = {}

    def call():
        result["out"] = m(Waiting({"a": [1.0, 2.0, 3.0]}), 1 / 3)

    with silenced_stdout():
        worker = threading.Thread(target=call)
        worker.start()
        assert inside.wait(30)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            m(X, 0.5)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            repr(m)
        other = MNARrs(seed=2, n_workers=2)
        assert np.isnan(other(X, 0.5)).sum() == 4  # other instances are not held up
        release.set()
        worker.join()
        assert result["out"]["a"].isna().tolist() == [False, True, False]
        assert_usable(m)


# ---------------------------------------------------------------- re-entry from callbacks


class Reentry:
    """Calls back into an instance from inside a running call and records what happened."""

    def __init__(self, m):
        self.m = m
        self.seen = []

    def call(self):
        try:
            self.m(X, 0.5)
            self.seen.append("ran")
        except RuntimeError as e:
            self.seen.append(str(e))

    def represent(self):
        try:
            self.seen.append(repr(self.m))
        except RuntimeError as e:
            self.seen.append(str(e))

    def both(self):
        self.call()
        self.represent()


def frame_calling_back(hook, where):
    def to_numpy(self, *args, **kwargs):
        hook()
        return pd.DataFrame.to_numpy(self, *args, **kwargs)

    def columns(self):
        hook()
        return pd.DataFrame.columns.__get__(self, pd.DataFrame)

    attrs = {"_constructor": property(lambda self: pd.DataFrame)}
    if where == "to_numpy":
        attrs["to_numpy"] = to_numpy
    else:
        attrs["columns"] = property(columns)
    return type("CallingBack", (pd.DataFrame,), attrs)({"a": [1.0, 2.0], "b": [3.0, 4.0]})


class CellCallingBack:
    def __init__(self, hook, text):
        self.hook, self.text = hook, text

    def __float__(self):
        self.hook()
        raise TypeError("a text cell")

    def __str__(self):
        self.hook()
        return self.text


class RateCallingBack:
    def __init__(self, hook):
        self.hook = hook

    def __float__(self):
        self.hook()
        return 0.5


def make_callbacks(hook):
    return {
        "frame-to_numpy": lambda: frame_calling_back(hook, "to_numpy"),
        "frame-columns": lambda: frame_calling_back(hook, "columns"),
        "object-cell": lambda: np.array([[CellCallingBack(hook, "x"), 1.0], ["y", 2.0]], dtype=object),
    }


@pytest.mark.parametrize("where", ["frame-to_numpy", "frame-columns", "object-cell"])
def test_callbacks_cannot_reenter_the_running_instance(capfd, where):
    m = MNARrs(seed=4, n_workers=2)
    reentry = Reentry(m)
    data = make_callbacks(reentry.both)[where]()
    out = m(data, 0.25)
    assert reentry.seen and set(reentry.seen) == {"Already borrowed", "Already mutably borrowed"}
    assert reentry.seen[:2] == ["Already borrowed", "Already mutably borrowed"]
    assert out.shape == (2, 2)
    assert_usable(m)


@pytest.mark.parametrize("where", ["frame-to_numpy", "frame-columns", "object-cell"])
def test_callbacks_may_use_other_instances(capfd, where):
    m, other = MNARrs(seed=4, n_workers=2), MNARrs(seed=4, n_workers=2)
    reentry = Reentry(other)
    m(make_callbacks(reentry.both)[where](), 0.25)
    assert reentry.seen and set(reentry.seen) == {"ran", "MNAR[0.5]"}


def test_rate_conversion_runs_under_the_borrow(capfd):
    m = MNARrs(seed=4, n_workers=2)
    reentry = Reentry(m)
    out = m(X, RateCallingBack(reentry.both))
    assert reentry.seen == ["Already borrowed", "Already mutably borrowed"]
    assert np.isnan(out).sum() == 4
    assert_usable(m)


def test_refusal_raised_inside_a_callback_ends_the_call_and_frees_the_instance(capfd):
    m = MNARrs(seed=4, n_workers=2)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m(frame_calling_back(lambda: m(X, 0.5), "to_numpy"), 0.5)
    for reader in (repr, copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            m(frame_calling_back(lambda reader=reader: reader(m), "columns"), 0.5)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m(frame_calling_back(lambda: m.__setstate__((1, False, 0)), "columns"), 0.5)
    assert_usable(m)


# ---------------------------------------------------------------- subprocesses


# An interpreter built with ThreadSanitizer, which runs code several times
# slower and does not follow threads started in the child of a multi-threaded
# fork (it ends such a child).
UNDER_THREAD_SANITIZER = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")


def run_child(script, timeout=120, env=None):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=timeout * (10 if UNDER_THREAD_SANITIZER else 1),
        cwd=HERE,
        env=env,
    )


def test_instances_dropped_after_failing_calls_exit_cleanly():
    done = run_child(
        """
        import gc, os, sys, time
        import numpy as np
        from gapwright import MNARrs

        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()
        x = np.column_stack([np.arange(400.0), np.r_[np.arange(399.0), np.nan], np.arange(400.0)])
        failures = 0
        for seed in range(40):
            m = MNARrs(seed=seed, n_workers=1 + seed % 4)
            try:
                m(x, 0.9)
            except BaseException as e:
                failures += type(e) is ValueError and str(e).startswith("Sample is nan: ")
            del m
        # dropped from inside the handler, with the traceback still alive
        try:
            MNARrs(seed=1, n_workers=3)(x, 1.0)
        except BaseException as e:
            held = e
        del held
        gc.collect()
        deadline = time.monotonic() + 30
        while threads() > before and time.monotonic() < deadline:
            time.sleep(0.01)
        print("failures", failures, "threads", before, threads(), file=sys.stderr)
        """
    )
    assert done.returncode == 0, done.stderr[-2000:]
    summary = done.stderr.strip().splitlines()[-1]
    assert summary.split()[:2] == ["failures", "40"], summary
    _, _, _, before, after = summary.split()
    assert before == after, "pool threads of dropped instances are still running"



def test_instances_share_the_process_workers():
    """A grid keeps an instance per point: after a call on each of 500 kept instances, the process
    holds no more worker threads than its CPUs, and a forked child makes its own."""
    done = run_child(
        """
        import os, sys
        import numpy as np
        from gapwright import MNARrs

        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()
        x = np.random.default_rng(0).normal(size=(200, 100))
        grid = {seed: MNARrs(variance=0.5, seed=seed, n_workers=4, dump=False) for seed in range(500)}
        blanks = {int(np.isnan(m(x, 0.1)).sum()) for m in grid.values()}
        print("workers", threads() - before, len(os.sched_getaffinity(0)), blanks == {2000}, file=sys.stderr)
        if FORK:
            pid = os.fork()
            if pid == 0:
                os._exit(0 if np.isnan(grid[7](x, 0.1)).sum() == 2000 else 1)
            print("child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), file=sys.stderr)
        """.replace("FORK", str(not UNDER_THREAD_SANITIZER))
    )
    assert done.returncode == 0, done.stderr[-2000:]
    workers, cpus, right_counts = done.stderr.split("workers ")[1].split()[:3]
    assert right_counts == "True"
    assert 1 <= int(workers) <= int(cpus) or int(cpus) == 1
    assert UNDER_THREAD_SANITIZER or "child 0" in done.stderr


@pytest.mark.parametrize("variance", [0.0, 0.1])
def test_interpreter_exits_cleanly_with_daemon_threads_inside_calls(variance):
    # Threads still inside calls at shutdown are ended by the interpreter as
    # they reattach, some from the passes, some from pandas code under intake.
    done = run_child(
        f"""
        import sys, threading
        import numpy as np
        import pandas as pd
        from gapwright import MNARrs

        rng = np.random.default_rng(0)
        tables = [rng.normal(size=(20_000, 20)), pd.DataFrame(rng.normal(size=(4_000, 6)))]
        running = threading.Semaphore(0)

        def keep_calling(i):
            m = MNARrs(variance={variance}, seed=i, n_workers=1 + i % 3, dump=False)
            while True:
                m(tables[i % 2], 0.1)
                running.release()

        for i in range(6):
            threading.Thread(target=keep_calling, args=(i,), daemon=True).start()
        for _ in range(12):
            running.acquire()
        print("exiting", file=sys.stderr)
        """,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stderr.strip().endswith("exiting"), done.stderr[-2000:]


CLOSED_WRITER = """
import os, sys
import numpy as np
import pandas as pd
from gapwright import MNARrs

def attempt(m, data):
    try:
        out = m(data, 0.5)
        return "ok " + str(int(pd.isna(out).sum().sum()) if isinstance(out, pd.DataFrame) else int(pd.isna(out).sum()))
    except BaseException as e:
        return type(e).__name__ + " " + str(e)

m = MNARrs(seed=9, n_workers=2)
saved = os.dup(1)
tables = [np.arange(12.0).reshape(4, 3), pd.DataFrame({"s": list("abcd"), "n": [1.0, 2, 3, 4]})]
for data in tables:
    {break_stdout}
    print("broken", attempt(m, data), file=sys.stderr)
    os.dup2(saved, 1)
    print("restored", attempt(m, data), file=sys.stderr)
"""


@pytest.mark.parametrize(
    "break_stdout, refusal",
    [
        ("r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.close(w)", "BrokenPipeError [Errno 32] Broken pipe"),
        ("os.close(1)", "OSError [Errno 9] Bad file descriptor"),
    ],
    ids=["pipe-without-reader", "closed-descriptor"],
)
def test_dump_to_a_closed_writer_raises_its_os_error_and_the_instance_recovers(break_stdout, refusal):
    done = run_child(CLOSED_WRITER.replace("{break_stdout}", break_stdout))
    assert done.returncode == 0, done.stderr[-2000:]
    lines = [line for line in done.stderr.splitlines() if line.startswith(("broken", "restored"))]
    assert len(lines) == 4, done.stderr
    assert lines[0::2] == ["broken " + refusal] * 2
    assert lines[1] == "restored ok 6" and lines[3] == "restored ok 4"
    assert done.stdout.count("shape=[4, 3]") == 2 and done.stdout.count("shape=[4, 2]") == 2
    assert "panicked" not in done.stderr


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def test_panic_is_not_caught_by_exception_handlers_in_threads():
    """In a thread, a panic passes handlers for Exception; bad data is an ordinary ValueError."""
    m = MNARrs(seed=1, n_workers=2)
    caught = []

    def work():
        try:
            m(np.array([[1.0], [np.nan]]), 1.0)
        except Exception as e:  # noqa: BLE001 - a pool's handler must see it
            caught.append(e)
        try:
            try:
                m(np.array([["x"], [Unprintable()]], dtype=object), 0.5)
            except Exception:  # noqa: BLE001 - must not catch it
                caught.append("Exception")
        except BaseException as e:  # noqa: B036
            caught.append(e)

    with silenced_stdout():
        t = threading.Thread(target=work)
        t.start()
        t.join()
        assert len(caught) == 2 and type(caught[0]) is ValueError, caught
        assert is_panic(caught[1]) and caught[1].args == ("cant convert to str: ValueError: no text",)
        assert_usable(m)


def test_output_stage_runs_under_the_borrow(capfd, monkeypatch):
    """The result is built by calling pandas.DataFrame / numpy.array as the module finds them."""
    m = MNARrs(seed=4, n_workers=2)
    reentry = Reentry(m)
    original_array = np.array

    class Hooked(pd.DataFrame):
        def __init__(self, *args, **kwargs):
            if kwargs.get("columns") is not None:  # the call's result, not pandas' own copies
                reentry.both()
            super().__init__(*args, **kwargs)

    def hooked_array(*args, **kwargs):
        reentry.both()
        return original_array(*args, **kwargs)

    frame = Hooked({"a": [1.0, 2.0], "s": ["x", "y"]})
    objects = np.array([["x", 1.0], ["y", 2.0]], dtype=object)
    monkeypatch.setattr(pd, "DataFrame", Hooked)
    out = m(frame, 0.5)
    monkeypatch.setattr(np, "array", hooked_array)
    out_objects = m(objects, 0.5)
    monkeypatch.undo()
    assert reentry.seen == ["Already borrowed", "Already mutably borrowed"] * 2
    assert out.shape == (2, 2) and out_objects.shape == (2, 2)
    assert_usable(m)


def test_instance_keeps_working_in_a_forked_child():
    # The workers do not survive fork(); the child's first call must start its own.
    done = run_child(
        """
        import os, sys, warnings
        import numpy as np
        from gapwright import MNARrs

        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        x = np.random.default_rng(1).normal(size=(200, 4))
        m = MNARrs(seed=3, variance=0.3, n_workers=3)
        m(x, 0.2)
        twin = MNARrs(seed=3, variance=0.3, n_workers=1)
        twin(x, 0.2)
        expected = twin(x, 0.2)
        pid = os.fork()
        if pid == 0:
            signal_ok = np.array_equal(m(x, 0.2), expected, equal_nan=True)
            os._exit(0 if signal_ok else 3)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status), file=sys.stderr)
        print("parent", np.array_equal(m(x, 0.2), expected, equal_nan=True), file=sys.stderr)
        """
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert "child 0" in done.stderr and "parent True" in done.stderr, done.stderr[-2000:]


@pytest.mark.parametrize("forker", ["another-thread", "the-calling-thread"])
def test_fork_during_a_call(forker):
    # The call is held inside its intake while the process forks. Forked by
    # another thread, the child has no thread inside the call, so its copy is
    # free; forked from the call's own callback, the call goes on in the child
    # and holds the copy until it returns.
    done = run_child(
        f"""
        import os, sys, threading, warnings
        import numpy as np
        import pandas as pd
        from gapwright import MNARrs

        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        forker = "{forker}"
        x = np.random.default_rng(1).normal(size=(200, 4))
        m = MNARrs(seed=3, n_workers=2, dump=False)
        inside, forked = threading.Event(), threading.Event()

        def attempt(use):
            try:
                return use()
            except RuntimeError as e:
                return str(e)

        def child_sees():
            return attempt(lambda: m(x, 0.2) is not None and "callable") + " / " + attempt(lambda: repr(m))

        def fork_and_report(in_call):
            pid = os.fork()
            if pid == 0:
                os.write(2, ("child " + child_sees() + "\\n").encode())
                if in_call:
                    return pid
                os._exit(0)
            os.waitpid(pid, 0)
            return pid

        class Held(pd.DataFrame):
            _constructor = property(lambda self: pd.DataFrame)

            def to_numpy(self, *args, **kwargs):
                if forker == "another-thread":
                    inside.set()
                    forked.wait(60)
                elif fork_and_report(in_call=True) == 0:
                    result = pd.DataFrame.to_numpy(self, *args, **kwargs)
                    os.write(2, b"child's call goes on\\n")
                    return result
                return pd.DataFrame.to_numpy(self, *args, **kwargs)

        def call():
            out = m(Held(x), 0.2)
            if forker == "the-calling-thread" and os.getpid() != parent:
                os.write(2, ("child after its call " + child_sees() + "\\n").encode())
                os._exit(0)

        parent = os.getpid()
        caller = threading.Thread(target=call)
        caller.start()
        if forker == "another-thread":
            inside.wait(60)
            fork_and_report(in_call=False)
            forked.set()
        caller.join(60)
        print("parent", child_sees(), file=sys.stderr)
        """
    )
    assert done.returncode == 0, done.stderr[-2000:]
    lines = [line for line in done.stderr.splitlines() if line.startswith(("child", "parent"))]
    if forker == "another-thread":
        expected = ["child callable / MNAR[0.5]"]
    else:
        expected = [
            "child Already borrowed / Already mutably borrowed",
            "child's call goes on",
            "child after its call callable / MNAR[0.5]",
        ]
    assert lines == [*expected, "parent callable / MNAR[0.5]"], done.stderr[-2000:]


def test_failed_dump_leaves_the_stream_after_the_failing_pass():
    # After a call that dies at the first dump, the instance continues from
    # the end of that pass, like an instance whose first call made one pass.
    done = run_child(
        """
        import os, sys
        import numpy as np
        from gapwright import MNARrs

        x = np.arange(40.0).reshape(10, 4)
        broken = MNARrs(seed=12, variance=0.5, n_workers=2)
        saved = os.dup(1)
        r, w = os.pipe(); os.close(r); os.dup2(w, 1); os.close(w)
        try:
            broken(x, 0.5)  # five passes; the first dump fails
        except BaseException as e:
            print("failed", type(e).__name__, file=sys.stderr)
        os.dup2(saved, 1)
        one_pass = MNARrs(seed=12, variance=0.5, n_workers=2)
        one_pass(x, 0.1)  # ceil(4.0) = 4 blanks: exactly the first pass
        print("same", np.array_equal(broken(x, 0.5), one_pass(x, 0.5), equal_nan=True), file=sys.stderr)
        """
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert "failed BrokenPipeError" in done.stderr, done.stderr[-2000:]
    assert "same True" in done.stderr, done.stderr[-2000:]


# ---------------------------------------------------------------- where users run it


def test_call_lets_a_thread_of_its_own_process_drain_fd_1():
    # ipykernel, pytest's capfd and log collectors read fd 1 from a thread of
    # the writing process: the dump, far larger than a pipe holds, can only be
    # written while that thread runs.
    done = run_child(
        """
        import os, sys, threading
        import numpy as np
        from gapwright import MNARrs

        x = np.random.default_rng(0).standard_normal((3000, 5))
        r, w = os.pipe()
        saved = os.dup(1)
        os.dup2(w, 1)
        os.close(w)
        chunks = []
        reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: os.read(r, 1 << 16), b"")))
        reader.start()
        out = MNARrs(seed=1)(x, 0.5)
        os.dup2(saved, 1)
        reader.join()
        text = b"".join(chunks)
        print("holes", int(np.isnan(out).sum()), "bytes", len(text), file=sys.stderr)
        sys.stdout.buffer.write(text)
        """,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    twin = run_child(
        """
        import numpy as np
        from gapwright import MNARrs
        MNARrs(seed=1)(np.random.default_rng(0).standard_normal((3000, 5)), 0.5)
        """
    )
    assert f"holes 7500 bytes {len(twin.stdout)}\n" in done.stderr, done.stderr[-2000:]
    assert len(twin.stdout) > 1 << 20 and done.stdout == twin.stdout


@pytest.mark.thread_unsafe  # a kernel process of its own, and its output counted to the byte
def test_call_finishes_in_a_jupyter_kernel_and_the_client_gets_the_dump():
    pytest.importorskip("ipykernel")
    start_new_kernel = pytest.importorskip("jupyter_client.manager").start_new_kernel

    # ipykernel forwards fd 1 only outside pytest, so the kernel must not see
    # that it was started from a test.
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    # Free-threaded builds start threads in their creator's context
    # (sys.flags.thread_inherit_context), so ipykernel's fd-1 reader publishes
    # under an empty parent header and the client drops all it forwards; a
    # notebook user of such a build sets this too (see the README).
    env["PYTHON_THREAD_INHERIT_CONTEXT"] = "0"
    kernel, client = start_new_kernel(
        kernel_name="python3", env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    try:
        code = (
            "import sys\n"
            "import numpy as np\n"
            "from gapwright import MNARrs\n"
            "out = MNARrs(seed=1)(np.random.default_rng(0).standard_normal((3000, 5)), 0.5)\n"
            # One write: the kernel interleaves what it reads from fd 1
            # with sys.stdout between writes, and print() makes several.
            "sys.stdout.write(f'holes {int(np.isnan(out).sum())}\\n')\n"
        )
        texts = []
        shape = "shape=[3000, 5]"

        def keep_stdout(msg):
            if msg["msg_type"] == "stream" and msg["content"]["name"] == "stdout":
                texts.append(msg["content"]["text"])

        reply = client.execute_interactive(code, timeout=120, output_hook=keep_stdout)
        # The kernel's fd-1 reader may publish its last chunk after the cell
        # has gone idle, later still on a loaded machine, and then under
        # whichever parent header it holds by then; this kernel runs no other
        # cell, so take every stdout chunk that arrives until the channel
        # stays quiet with every dump and the count in, or for a minute.
        deadline = time.monotonic() + 60
        while True:
            try:
                msg = client.get_iopub_msg(timeout=2)
            except queue.Empty:
                seen = "".join(texts)
                done = "holes 7500\n" in seen and seen.replace("holes 7500\n", "", 1).count(shape) >= 1500
                if done or time.monotonic() > deadline:
                    break
                continue
            keep_stdout(msg)
    finally:
        client.stop_channels()
        kernel.shutdown_kernel(now=True)
    assert reply["content"]["status"] == "ok", reply["content"]
    received = "".join(texts)
    assert len(received) > 1 << 20
    assert "holes 7500\n" in received
    # The count line may land inside a dump the kernel had not finished reading.
    assert received.replace("holes 7500\n", "", 1).count(shape) == 1500  # one dump per pass


# ---------------------------------------------------------------- free-threaded interpreters


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build (3.14t)")
def test_gil_stays_off_after_import_and_a_call():
    # An extension module that does not declare Py_mod_gil turns the GIL back
    # on for the whole process as it is imported; so would pandas, which the
    # call imports.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = run_child(
        """
        import sys
        import gapwright
        imported = sys._is_gil_enabled()
        import pandas as pd
        gapwright.MNARrs(seed=1, dump=False)(pd.DataFrame({"n": [1.0, 2.0], "s": ["x", "y"]}), 0.5)
        print("gil", imported, sys._is_gil_enabled(), file=sys.stderr)
        """,
        env=env,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stderr.strip().splitlines()[-1] == "gil False False", done.stderr[-2000:]


@pytest.mark.thread_unsafe  # a child process of threads of its own
def test_callers_and_writers_of_their_inputs_on_threads_at_once():
    # Cheap with the GIL; on a free-threaded build the callers and the
    # writers truly overlap (see thread_stress.py).
    done = run_child(f"import os, thread_stress; os._exit(thread_stress.main(3.0, {not UNDER_THREAD_SANITIZER}))")
    assert done.returncode == 0, (done.stdout + done.stderr)[-2000:]
    assert done.stdout.startswith("stress: "), done.stdout[-2000:]

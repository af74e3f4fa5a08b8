"""Callers on threads of their own while other threads rewrite the inputs they read.

Each caller owns an instance and cycles through shared inputs: a float64
array whose rows a writer overwrites in place, a DataFrame whose columns a
writer replaces (numbers, integers, strings and booleans by turns), and an
object array whose cells a writer reassigns between numbers and strings.
Another thread makes and drops instances, so pools start and stop meanwhile.

Every result must hold exactly ceil(alpha x rows x cols) holes. A writer may
change a frame's column between the moment intake learns that the frame is
numeric and the moment pandas converts it, which pandas refuses with its own
ValueError; pandas' own consistency checks may fail while the column goes, and
so may its listing of the frame's dtypes, which the module reports as the
internal failure it names for a frame it cannot read. Failures raised inside
pandas are the ones a call may end with. A crash, any other
exception, a wrong count or a thread still running long after the deadline
fails the run.

Run as a script (python thread_stress.py SECONDS [--no-buffer-writers]) it prints its figures and
exits with status 1 on any failure; the suite runs main() in a subprocess, so
that a crash cannot take pytest down with it, and ends that process with
os._exit(main(...)) for the same reason as the script does.
"""

import math
import os
import sys
import sysconfig
import threading
import time
from fractions import Fraction

import numpy as np
import pandas as pd

from gapwright import MNARrs, PanicException

ROWS, COLS = 300, 6
# Dyadic rates: alpha x rows x cols is exact in floating point, so the
# expected count does not hinge on how the product is rounded.
RATES = (0.125, 0.25, 0.5, 0.0625)
CALLERS = 6
# Joined this long after the deadline; one call on these inputs takes milliseconds.
GRACE_SECONDS = 60


def expected_holes(alpha, shape):
    rows, cols = shape
    return math.ceil(Fraction(alpha) * rows * cols)


def holes_in(result):
    if isinstance(result, pd.DataFrame):
        return int(pd.isna(result).sum().sum())
    # The text columns of an object array hold the str "NaN" in their holes;
    # no input here holds that text.
    return int((pd.isna(result) | (result == "NaN")).sum())


def raised_in_pandas(error):
    """Whether the innermost Python frame the error passed through is pandas' own code."""
    frame, tb = None, error.__traceback__
    while tb is not None:
        frame, tb = tb.tb_frame, tb.tb_next
    return frame is not None and f"{os.sep}pandas{os.sep}" in frame.f_code.co_filename


def is_refusal(error):
    """pandas failing on a frame whose column another thread replaces: its refusal to make floats of
    a column that turned to text after the numeric check, its own consistency checks (an
    AssertionError "Some items were not contained in blocks"), or its failure to list the frame's
    dtypes, which the module reports as the internal failure it names for an unreadable frame."""
    if isinstance(error, PanicException):
        return str(error).startswith(("dtypes attr not found", "No dtypes found."))
    return raised_in_pandas(error)


class Shared:
    def __init__(self, seed=0):
        rng = np.random.default_rng(seed)
        self.numbers = np.round(rng.normal(size=(ROWS, COLS)), 2)
        self.frame = pd.DataFrame(self.numbers.copy(), columns=[f"c{j}" for j in range(COLS)])
        self.objects = np.array(self.numbers, dtype=object)
        # Kept alive here, so that a reassigned cell never frees what a reader may still hold.
        self.cell_values = [float(v) for v in rng.normal(size=64).round(2)] + [f"t{k}" for k in range(16)]
        self.columns = [
            pd.Series(rng.normal(size=ROWS).round(2)),
            pd.Series(rng.integers(-50, 50, size=ROWS)),
            pd.Series([f"s{k % 7}" for k in range(ROWS)]),
            pd.Series(rng.integers(0, 2, size=ROWS).astype(bool)),
        ]
        self.inputs = (lambda: self.numbers, lambda: self.frame, lambda: self.objects)


def rewrite_rows(run, rng):
    while not run.stop.is_set():
        run.shared.numbers[rng.integers(ROWS)] = np.round(rng.normal(size=COLS), 2)


def replace_columns(run, rng):
    while not run.stop.is_set():
        run.shared.frame[f"c{rng.integers(COLS)}"] = run.shared.columns[rng.integers(len(run.shared.columns))]


def reassign_cells(run, rng):
    values = run.shared.cell_values
    while not run.stop.is_set():
        run.shared.objects[rng.integers(ROWS), rng.integers(COLS)] = values[rng.integers(len(values))]


def churn_instances(run, rng):
    while not run.stop.is_set():
        MNARrs(seed=int(rng.integers(1 << 30)), n_workers=int(rng.integers(1, 5)), dump=False)


def call(run, i):
    m = MNARrs(variance=0.1 * (i % 3), seed=100 + i, n_workers=1 + i % 3, dump=False)
    inputs = run.shared.inputs
    k = 0
    while not run.stop.is_set():
        alpha = RATES[k % len(RATES)]
        try:
            result = m(inputs[(i + k) % len(inputs)](), alpha)
        except (Exception, PanicException) as e:
            if not is_refusal(e):
                raise
            run.add("refused")
        else:
            found, wanted = holes_in(result), expected_holes(alpha, result.shape)
            if found != wanted:
                raise AssertionError(f"{type(result).__name__} {result.shape} at alpha {alpha}: {found} holes, not {wanted}")
            run.add("calls")
        k += 1


class Run:
    def __init__(self):
        self.shared = Shared()
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.counts = {"calls": 0, "refused": 0}
        self.failures = []

    def add(self, what):
        with self.lock:
            self.counts[what] += 1

    def thread(self, target, argument):
        def guarded():
            try:
                target(self, argument)
            except BaseException as e:  # noqa: B036 - a PanicException must be reported too
                with self.lock:
                    self.failures.append(f"{target.__name__}: {type(e).__name__}: {e}")
                self.stop.set()

        return threading.Thread(target=guarded, daemon=True)


def main(seconds, buffer_writers=True):
    run = Run()
    threads = [run.thread(call, i) for i in range(CALLERS)]
    # The writers into the arrays' own memory race the calls' reads by design,
    # so ThreadSanitizer leaves them out: it would report every such write.
    writers = (rewrite_rows, reassign_cells) if buffer_writers else ()
    writers += (replace_columns, churn_instances)
    threads += [run.thread(writer, np.random.default_rng(n)) for n, writer in enumerate(writers)]
    started = time.monotonic()
    for t in threads:
        t.start()
    run.stop.wait(seconds)
    run.stop.set()
    for t in threads:
        t.join(max(0.0, started + seconds + GRACE_SECONDS - time.monotonic()))
    elapsed = time.monotonic() - started
    hung = sum(t.is_alive() for t in threads)
    gil = "enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "disabled"
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
    counts = run.counts
    print(
        f"stress: {counts['calls']} calls checked, {counts['refused']} refused by pandas mid-rewrite, "
        f"{elapsed:.1f} s, {CALLERS} callers and {len(writers)} writers, {build}, GIL {gil}"
    )
    for failure in run.failures:
        print("FAILED", failure)
    if hung:
        print(f"FAILED {hung} threads still running {GRACE_SECONDS} s after the deadline")
    if counts["calls"] == 0:
        print("FAILED no call finished")
    sys.stdout.flush()
    return 1 if run.failures or hung or counts["calls"] == 0 else 0


if __name__ == "__main__":
    # Not sys.exit: a thread hung inside a call must not hold up the exit.
    arguments = [a for a in sys.argv[1:] if a != "--no-buffer-writers"]
    os._exit(main(float(arguments[0]) if arguments else 5.0, "--no-buffer-writers" not in sys.argv))

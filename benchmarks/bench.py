"""Wall-time and memory benchmark of the masking call.

Beside each case it prints a floor (copy the input and sort each of its
columns once with numpy), the numpy cut recipe (np.quantile per column, then
argpartition of the distances to it: a one-step MNAR masker a user would
write), pyampute's amputation (the peer) and the plain per-pass scan (a numpy
model of the literal algorithm).

Our call is timed with dump=False, on an instance made before the clock
starts (as a user making repeated calls has it), with one worker and with
two; on tables below a million cells the call with the per-pass dump on (to
/dev/null at the file-descriptor level) is timed too. Every time is the
median over repeated runs, and the runs are interleaved (floor, call in each
setting, cut, floor, ...) so that a burst of load from elsewhere on the
machine hits every figure alike; a run of a small case repeats its function
until it takes about a millisecond. The plain scan rescans every chosen
column on every pass; where running it to the end would take minutes it is
timed over its first passes and scaled to the full pass count (each pass
costs the same); it is left out of the largest case. `--compare MODULE`
times another build of the extension (a path to its .so file) in the same
rounds, for before-and-after figures from one run.

Peak memory is measured in fresh child processes: what the call adds to the
high-water mark of a process that already holds the interpreter, numpy and
the input. `--huge` masks 100,000,000 x 10 (1e9 cells, 7.5 GiB of input)
once at variance 0 in a child and prints its time and peak memory; it needs
about 17 GiB of free memory and is not part of the default run.

A last table times the call on the same table held as a float array, a
float DataFrame, a DataFrame with text and integer columns and an object
array, where intake and rebuild rather than the search take most of the time.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import math
import os
import statistics
import subprocess
import sys
import time

import numpy as np

from gapwright import MNARrs

SIZES = [(300, 6), (1_000, 10), (10_000, 20), (100_000, 20), (1_000_000, 10), (10_000_000, 10),
         (100, 10_000), (10, 100_000)]
VARIANCES = (0.0, 0.1)
ALPHA = 0.1
# Cases at least this large skip the plain scan and the peer.
LARGE_CELLS = 50_000_000
# Cases below this many cells also time the call with the dump on.
DUMP_CELLS = 1_000_000
# A timed run of a small case repeats its function for about this long.
RUN_SECONDS = 1e-3
MEMORY_SIZES = [(1_000_000, 10), (10_000_000, 10)]
# The rows of the tables of the containers table.
CONTAINER_ROWS = 100_000
HUGE = (100_000_000, 10)


@contextlib.contextmanager
def stdout_to_devnull():
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
            yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def seconds(fn, inner: int = 1) -> float:
    """Seconds per call of `fn`, over `inner` calls in a row."""
    start = time.perf_counter()
    for _ in range(inner):
        fn()
    return (time.perf_counter() - start) / inner


def calls_per_run(fn) -> int:
    """How many calls of `fn` take about RUN_SECONDS (at least one)."""
    once = seconds(fn)
    return max(1, min(10_000, int(RUN_SECONDS / max(once, 1e-7))))


def interleaved_medians(fns: dict, repeats: int) -> dict:
    """Runs every function once per round, `repeats` rounds; the median time of each."""
    inner = {name: calls_per_run(fn) for name, fn in fns.items()}
    times: dict = {name: [] for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            times[name].append(seconds(fn, inner[name]))
    return {name: statistics.median(values) for name, values in times.items()}


def load_build(path: str):
    """Another build of the extension, loaded beside the installed one."""
    import importlib.machinery
    import importlib.util

    installed = sys.modules.pop("gapwright", None)
    try:
        loader = importlib.machinery.ExtensionFileLoader("gapwright", path)
        module_spec = importlib.util.spec_from_file_location("gapwright", path, loader=loader)
        module = importlib.util.module_from_spec(module_spec)
        loader.exec_module(module)
    finally:
        if installed is not None:
            sys.modules["gapwright"] = installed
    return module.MNARrs


def plain_scan(x: np.ndarray, alpha: float, variance: float, max_passes: int | None,
               seed: int = 1) -> tuple[float, int, int]:
    """The literal algorithm: each pass rescans each chosen column from the top.
    Returns (seconds, passes run, passes needed)."""
    rng = np.random.default_rng(seed)
    m = x.copy()
    rows, cols = m.shape
    start = time.perf_counter()
    centres = np.median(m, axis=0)
    spreads = (m.max(axis=0) - m.min(axis=0)) * variance
    blanks = min(math.ceil(alpha * rows * cols), rows * cols)
    needed = math.ceil(blanks / cols)
    passes = needed if max_passes is None else min(max_passes, needed)
    done = 0
    for _ in range(passes):
        k = blanks - done
        selection = np.arange(cols) if k >= cols else rng.choice(cols, size=k, replace=False)
        thresholds = centres[selection] + spreads[selection] * rng.standard_normal(len(selection))
        d = m[:, selection] - thresholds
        keys = d * d
        keys[np.isnan(keys)] = np.inf
        picked = np.argmin(keys, axis=0)
        m[picked, selection] = np.nan
        done += len(selection)
    return time.perf_counter() - start, passes, needed


def peer(x: np.ndarray, alpha: float) -> None:
    from pyampute.ampute import MultivariateAmputation

    cols = x.shape[1]
    pattern = {"incomplete_vars": list(range(cols)), "mechanism": "MNAR"}
    MultivariateAmputation(prop=alpha, patterns=[pattern], seed=1).fit_transform(x)


def quantile_cut(x: np.ndarray, alpha: float, mean: float = 0.5) -> np.ndarray:
    """One-step MNAR in numpy, the recipe a user would write: np.quantile per
    column, then argpartition of the distances to it; blanks, in every column,
    the alpha share of cells nearest that quantile."""
    out = x.copy()
    rows = x.shape[0]
    k = min(rows, math.ceil(alpha * rows))
    if k == 0:
        return out
    distance = np.abs(out - np.quantile(out, mean, axis=0))
    nearest = np.argpartition(distance, k - 1, axis=0)[:k]
    np.put_along_axis(out, nearest, np.nan, axis=0)
    return out


def floor(x: np.ndarray) -> None:
    np.sort(x.copy(), axis=0)


CHILD = """
import os, sys, time, numpy as np
from gapwright import MNARrs
def hwm():
    # ru_maxrss survives exec, so it would report the parent's peak; VmHWM is this process's own.
    line = [l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
    return int(line.split()[1]) * 1024
rows, cols, variance, call = {rows}, {cols}, {variance}, {call}
x = np.random.default_rng(0).normal(size=(rows, cols))
before = hwm()
seconds = 0.0
if call:
    fd = os.open(os.devnull, os.O_WRONLY); os.dup2(fd, 1)
    start = time.perf_counter()
    y = MNARrs(variance=variance, seed=1, dump=False)(x, {alpha})
    seconds = time.perf_counter() - start
print(before, hwm(), seconds, file=sys.stderr)
"""


def child(rows: int, cols: int, variance: float, call: bool) -> tuple[int, int, float]:
    """(high-water mark before the call, after it, the call's seconds) of a fresh process."""
    code = CHILD.format(rows=rows, cols=cols, variance=variance, call=call, alpha=ALPHA)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, after, secs = done.stderr.strip().splitlines()[-1].split()
    return int(before), int(after), float(secs)


def memory_table() -> None:
    print(f"\n{'peak RSS (fresh process)':<26}{'base':>9}{'peak':>9}{'added':>9}{'x input':>9}")
    for rows, cols in MEMORY_SIZES:
        input_bytes = rows * cols * 8
        base = child(rows, cols, 0.0, call=False)[1]
        for variance in VARIANCES:
            peak = child(rows, cols, variance, call=True)[1]
            print(f"{rows:>11,} x {cols:<3} v={variance:<4}   {base / 2**20:>7.0f}M"
                  f"{peak / 2**20:>8.0f}M{(peak - base) / 2**20:>8.0f}M"
                  f"{(peak - base) / input_bytes:>8.2f}x")
    print("base: interpreter + numpy + input; added: what the call adds to the peak")


def huge_run() -> None:
    rows, cols = HUGE
    input_bytes = rows * cols * 8
    before, after, secs = child(rows, cols, 0.0, call=True)
    print(f"\n{rows:,} x {cols} (1e9 cells, {input_bytes / 2**30:.1f} GiB), variance 0, "
          f"alpha {ALPHA}: {secs:.1f} s; peak RSS {after / 2**30:.2f} GiB, "
          f"{before / 2**30:.2f} GiB before the call; the call adds "
          f"{(after - before) / input_bytes:.2f} x the input")


def container_inputs(rows: int) -> dict:
    """The same kind of table as a user may hold it: 20 float columns, 3 of text, 1 of integers."""
    import pandas as pd

    rng = np.random.default_rng(rows)
    floats = rng.normal(size=(rows, 20))
    frame = pd.DataFrame(floats, columns=[f"f{j}" for j in range(20)])
    mixed = frame.copy()
    for j in range(3):
        mixed[f"t{j}"] = rng.choice(["red", "green", "blue", "cyan"], rows)
    mixed["i"] = rng.integers(0, 100, rows)
    objects = mixed.to_numpy(dtype=object)
    return {"float array": floats, "float frame": frame, "mixed frame": mixed, "object array": objects}


def container_table(repeats: int, other) -> None:
    """Our call on each kind of container, two workers, dump=False."""
    rows = CONTAINER_ROWS
    inputs = container_inputs(rows)
    builds = {"ours": MNARrs} | ({"before": other} if other else {})
    fns = {}
    for kind, data in inputs.items():
        for variance in VARIANCES:
            for build, cls in builds.items():
                instance = cls(variance=variance, seed=1, n_workers=2, dump=False)
                fns[(kind, variance, build)] = timed_call(instance, data)
    times = {k: v * 1e3 for k, v in interleaved_medians(fns, repeats).items()}
    print(f"\ncontainers: {rows:,} rows (20 float columns; the mixed ones add 3 of text and 1 of"
          " integers), two workers, dump=False, ms")
    print(f"{'input':<16}" + "".join(f"{f'{b} v={v}':>14}" for v in VARIANCES for b in builds))
    for kind in inputs:
        print(f"{kind:<16}" + "".join(f"{times[(kind, v, b)]:>14.2f}" for v in VARIANCES for b in builds))


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            lines = info.read().splitlines()
    except OSError:
        return "unknown CPU"
    name = next((l.split(":", 1)[1].strip() for l in lines if l.startswith("model name")), "?")
    flags = next((l.split(":", 1)[1].split() for l in lines if l.startswith("flags")), [])
    widest = ("AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2")
    return f"{name} ({widest})"


def call_settings(cells: int, other) -> dict:
    """The ways our call is timed: each a function from the variance to an instance."""
    settings = {
        "w1": lambda v: MNARrs(variance=v, seed=1, n_workers=1, dump=False),
        "w2": lambda v: MNARrs(variance=v, seed=1, n_workers=2, dump=False),
    }
    if cells < DUMP_CELLS:
        settings["dump"] = lambda v: MNARrs(variance=v, seed=1, n_workers=2)
    if other is not None:
        settings["before"] = lambda v: other(variance=v, seed=1, n_workers=2, dump=False)
    return settings


def timed_call(instance, x: np.ndarray):
    return lambda: instance(x, ALPHA)


def main() -> None:
    parser = argparse.ArgumentParser(description="gapwright benchmark")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scan-passes", type=int, default=200,
                        help="passes of the plain scan to time on large cases before scaling")
    parser.add_argument("--sizes", default=None,
                        help="comma-separated ROWSxCOLS cases instead of the default ones")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory table")
    parser.add_argument("--no-peer", action="store_true", help="skip the peer (pyampute)")
    parser.add_argument("--no-containers", action="store_true",
                        help="skip the table of frames and object arrays")
    parser.add_argument("--compare", metavar="MODULE", default=None,
                        help="also time the build of the extension at this .so path")
    parser.add_argument("--huge", action="store_true",
                        help="also mask 100,000,000 x 10 once (needs ~17 GiB free)")
    args = parser.parse_args()
    sizes = SIZES
    if args.sizes:
        sizes = [tuple(int(v) for v in case.split("x")) for case in args.sizes.split(",")]
    logging.disable(logging.WARNING)  # the peer logs a warning at import
    warm = np.random.default_rng(0).normal(size=(100, 4))
    if not args.no_peer:
        peer(warm, ALPHA)  # keep its import time out of the figures

    other = load_build(args.compare) if args.compare else None
    print(f"alpha {ALPHA}; median of {args.repeats} interleaved runs; times in milliseconds; "
          f"{cpu_name()}, {os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.2f} at start\n")
    header = (f"{'case':<22}{'ours w1':>9}{'w2':>8}{'/ floor':>8}{'dump on':>9}"
              + (f"{'before':>9}" if other else "")
              + f"{'cut':>9}{'vs cut':>7}{'peer':>9}{'vs peer':>8}{'floor':>9}"
              f"{'plain scan':>12}{'speed-up':>9}")
    print(header)
    print("-" * len(header))
    results = {}
    for rows, cols in sizes:
        x = np.random.default_rng(rows + cols).normal(size=(rows, cols))
        large = rows * cols >= LARGE_CELLS
        fns = {"floor": lambda: floor(x)}
        for variance in VARIANCES:
            for setting, make in call_settings(rows * cols, other).items():
                fns[(variance, setting)] = timed_call(make(variance), x)
        fns["cut"] = lambda: quantile_cut(x, ALPHA)
        with stdout_to_devnull():
            medians = interleaved_medians(fns, args.repeats)
        times = {k: v * 1e3 for k, v in medians.items()}
        t_peer = None
        if not large and not args.no_peer:
            t_peer = 1e3 * interleaved_medians({"peer": lambda: peer(x, ALPHA)},
                                               max(1, args.repeats // 2))["peer"]
        for variance in VARIANCES:
            t_ours = times[(variance, "w1")]
            t_two = times[(variance, "w2")]
            results[(rows, cols, variance)] = min(t_ours, t_two)
            dump = times.get((variance, "dump"))
            line = (f"{rows:>10,} x {cols:<3} v={variance:<4}{t_ours:>9.3f}{t_two:>8.3f}"
                    f"{min(t_ours, t_two) / times['floor']:>7.2f}x"
                    + (f"{dump:>9.3f}" if dump is not None else f"{'-':>9}")
                    + (f"{times[(variance, 'before')]:>9.3f}" if other else "")
                    + f"{times['cut']:>9.3f}{times['cut'] / min(t_ours, t_two):>6.1f}x"
                    + (f"{'-':>9}{'-':>8}" if t_peer is None
                       else f"{t_peer:>9.1f}{t_peer / min(t_ours, t_two):>7.0f}x")
                    + f"{times['floor']:>9.3f}")
            if not large:
                full = rows * cols <= 200_000
                t_scan, ran, needed = plain_scan(x, ALPHA, variance,
                                                 None if full else args.scan_passes)
                t_scan_total = 1e3 * t_scan * needed / ran
                scaled = "" if ran == needed else "*"
                line += f"{t_scan_total:>11.1f}{scaled:1}{t_scan_total / t_ours:>8.0f}x"
            print(line)
    print("\nours: dump=False, one worker (w1) and two (w2); / floor: the faster of them over the"
          "\nfloor; dump on: two workers, dump to /dev/null"
          + ("; before: the --compare build, two workers" if other else "")
          + ";\nvs cut, vs peer: their time over ours; * plain scan timed over its first passes"
          " and scaled")
    for small, big in (((100_000, 20), (1_000_000, 10)), ((1_000_000, 10), (10_000_000, 10))):
        for variance in VARIANCES:
            if (*small, variance) in results and (*big, variance) in results:
                growth = results[(*big, variance)] / results[(*small, variance)]
                print(f"growth {big[0]:,}x{big[1]} over {small[0]:,}x{small[1]} "
                      f"(variance {variance}): {growth:.1f}x")

    if not args.no_containers:
        container_table(args.repeats, other)
    if not args.no_memory:
        memory_table()
    if args.huge:
        huge_run()


if __name__ == "__main__":
    main()

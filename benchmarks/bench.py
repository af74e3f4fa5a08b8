"""Wall-time benchmark of the masking call against the plain per-pass scan,
a peer MNAR amputation library and a copy-and-sort floor.

Every figure is the median over repeated runs, measured in this process one
after the other. The call's per-pass matrix dump goes to /dev/null at the
file-descriptor level. The plain scan rescans every chosen column on every
pass; where running it to the end would take minutes it is timed over its
first passes and scaled to the full pass count (each pass costs the same).
Peak memory of the largest case is measured in a child process.
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

SIZES = [(10_000, 20), (100_000, 20), (1_000_000, 10)]
ALPHA = 0.1


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


def median_time(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


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


def floor(x: np.ndarray) -> None:
    np.sort(x.copy(), axis=0)


def peak_memory_child(rows: int, cols: int, variance: float, baseline: bool) -> int:
    code = f"""
import os, numpy as np
from gapwright import MNARrs
x = np.random.default_rng(0).normal(size=({rows}, {cols}))
if not {baseline}:
    fd = os.open(os.devnull, os.O_WRONLY); os.dup2(fd, 1)
    y = MNARrs(variance={variance}, seed=1)(x, {ALPHA})
# ru_maxrss survives exec, so it would report the parent's peak; VmHWM is this process's own.
hwm = [l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
print(int(hwm.split()[1]), file=__import__('sys').stderr)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(done.stderr.strip().splitlines()[-1]) * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description="gapwright benchmark")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--scan-passes", type=int, default=200,
                        help="passes of the plain scan to time on large cases before scaling")
    args = parser.parse_args()
    logging.disable(logging.WARNING)  # the peer logs a warning at import
    warm = np.random.default_rng(0).normal(size=(100, 4))
    peer(warm, ALPHA)  # keep its import time out of the figures

    print(f"alpha {ALPHA}; median of {args.repeats} runs; times in seconds\n")
    header = (f"{'case':<22}{'gapwright':>11}{'plain scan':>13}{'speed-up':>10}"
              f"{'peer':>9}{'vs peer':>9}{'floor':>8}")
    print(header)
    print("-" * len(header))
    results = {}
    for rows, cols in SIZES:
        x = np.random.default_rng(rows + cols).normal(size=(rows, cols))
        repeats = args.repeats if rows < 1_000_000 else max(3, args.repeats // 2)
        t_floor = median_time(lambda: floor(x), repeats)
        t_peer = median_time(lambda: peer(x, ALPHA), max(1, repeats // 2))
        for variance in (0.0, 0.1):
            with stdout_to_devnull():
                t_ours = median_time(lambda: MNARrs(variance=variance, seed=1)(x, ALPHA), repeats)
            full = rows * cols <= 200_000
            t_scan, ran, needed = plain_scan(x, ALPHA, variance, None if full else args.scan_passes)
            t_scan_total = t_scan * needed / ran
            scaled = "" if ran == needed else "*"
            results[(rows, cols, variance)] = t_ours
            print(f"{rows:>9,} x {cols:<3} v={variance:<4}{t_ours:>11.4f}"
                  f"{t_scan_total:>12.2f}{scaled:1}{t_scan_total / t_ours:>9.0f}x"
                  f"{t_peer:>9.3f}{t_peer / t_ours:>8.1f}x{t_floor:>8.3f}")
    print("\n* plain scan timed over its first passes and scaled to the full pass count")
    for variance in (0.0, 0.1):
        growth = results[(1_000_000, 10, variance)] / results[(100_000, 20, variance)]
        print(f"growth 1,000,000x10 over 100,000x20 (variance {variance}): {growth:.1f}x")

    base = peak_memory_child(1_000_000, 10, 0.1, baseline=True)
    peak = peak_memory_child(1_000_000, 10, 0.1, baseline=False)
    input_bytes = 1_000_000 * 10 * 8
    print(f"\npeak RSS, 1,000,000 x 10: {peak / 2**20:.0f} MiB; interpreter + numpy + input: "
          f"{base / 2**20:.0f} MiB; the call adds {(peak - base) / 2**20:.0f} MiB "
          f"= {(peak - base) / input_bytes:.2f} x the input's {input_bytes / 2**20:.0f} MiB")


if __name__ == "__main__":
    main()

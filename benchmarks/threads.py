"""Throughput of two Python threads, each with its own instance, against one
thread making the same two calls one after the other.

The call leaves the interpreter for its passes, so the two threads' passes
overlap. Each instance gets one pool worker: a thread per instance is then the
only parallelism, as when a user spreads experiments over a thread pool.
Figures are medians over interleaved runs; the dump goes to /dev/null.

It also prints how many threads a process holds after one call on each of
many kept instances (a grid's dict of instances), counted in a fresh child
process; `--compare MODULE` counts for another build of the extension (a
path to its .so file) too.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

from gapwright import MNARrs

ROWS, COLS, ALPHA = 100_000, 20, 0.1


def one_after_another(tables, variance):
    start = time.perf_counter()
    for i, x in enumerate(tables):
        MNARrs(variance=variance, seed=i, n_workers=1)(x, ALPHA)
    return time.perf_counter() - start


def side_by_side(tables, variance):
    instances = [MNARrs(variance=variance, seed=i, n_workers=1) for i in range(len(tables))]
    barrier = threading.Barrier(len(tables) + 1)

    def work(m, x):
        barrier.wait()
        m(x, ALPHA)

    threads = [threading.Thread(target=work, args=(m, x)) for m, x in zip(instances, tables)]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


HELD = """
import importlib.machinery, importlib.util, os, sys
import numpy as np
path = sys.argv[2]
if path:
    loader = importlib.machinery.ExtensionFileLoader("gapwright", path)
    found = importlib.util.spec_from_file_location("gapwright", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
else:
    import gapwright as module
x = np.random.default_rng(0).normal(size=(200, 100))
before = len(os.listdir("/proc/self/task"))
grid = [module.MNARrs(variance=0.1, seed=i, dump=False) for i in range(int(sys.argv[1]))]
for m in grid:
    m(x, 0.1)
print(len(os.listdir("/proc/self/task")) - before)
"""


def threads_held(instances, module_path):
    """Threads a fresh process gains from `instances` kept instances (default n_workers) after one
    call each on a table that the pool works on."""
    done = subprocess.run([sys.executable, "-c", HELD, str(instances), module_path or ""],
                          capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else f"failed: {done.stderr.strip().splitlines()[-1]}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--instances", type=int, default=1000)
    parser.add_argument("--compare", metavar="MODULE", default=None)
    args = parser.parse_args()
    print(f"threads held after one call on each of {args.instances:,} instances "
          f"({len(os.sched_getaffinity(0))} usable CPUs): this build {threads_held(args.instances, None)}"
          + (f", --compare build {threads_held(args.instances, args.compare)}" if args.compare else ""))
    rng = np.random.default_rng(0)
    tables = [rng.standard_normal((ROWS, COLS)) for _ in range(2)]
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    rows = []
    try:
        os.dup2(devnull, 1)
        for variance in (0.0, 0.1):
            serial, parallel = [], []
            for _ in range(args.repeats):
                serial.append(one_after_another(tables, variance))
                parallel.append(side_by_side(tables, variance))
            rows.append((variance, statistics.median(serial), statistics.median(parallel)))
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)
    print(f"two calls at {ROWS:,}x{COLS}, alpha {ALPHA}, one pool worker per instance, "
          f"{os.cpu_count()} cores, median of {args.repeats}")
    print(f"{'variance':>8} {'one thread':>11} {'two threads':>12} {'throughput':>11}")
    for variance, serial, parallel in rows:
        print(f"{variance:>8} {serial:>10.3f}s {parallel:>11.3f}s {serial / parallel:>10.2f}x")


if __name__ == "__main__":
    main()

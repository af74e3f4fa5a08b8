"""Time and memory of the call on the same table held by different libraries.

1,000,000 x 10 floats as a numpy array, a pandas DataFrame, a polars
DataFrame and a pyarrow Table; and one 1,000,000-cell text column as `str`
(pandas' default), `category`, `string[pyarrow]` and an object column.
Times are medians of interleaved runs (one call of each kind per round, in a
new order each round, so a burst of load elsewhere hits every figure alike), with dump=False at
variance 0 and one worker; the ratio compares CPU time (all threads of the
process), which a machine busy with other work disturbs less than wall time. Peak memory is measured in a fresh child process
per case: what the call adds to the high-water mark of a process that
already holds the interpreter, the libraries and the input, in MiB and as a
multiple of the input's own size.

    python benchmarks/tables.py [--rounds N]
"""

import argparse
import platform
import random
import statistics
import subprocess
import sys
import time

SETUP = r"""
import numpy as np, pandas as pd, polars as pl, pyarrow as pa
from gapwright import MNARrs
rng = np.random.default_rng(0)
floats = rng.normal(size=(1_000_000, 10))
words = rng.choice([f"label {k:03d}" for k in range(300)], 1_000_000)
tables = {
    "numpy array": lambda: floats,
    "pandas DataFrame": lambda: pd.DataFrame(floats, columns=[f"c{j}" for j in range(10)]),
    "polars DataFrame": lambda: pl.DataFrame(floats, schema=[f"c{j}" for j in range(10)]),
    "pyarrow Table": lambda: pa.table({f"c{j}": floats[:, j] for j in range(10)}),
    "text as str": lambda: pd.DataFrame({"s": pd.Series(words, dtype="str")}),
    "text as category": lambda: pd.DataFrame({"s": pd.Series(words, dtype="category")}),
    "text as string[pyarrow]": lambda: pd.DataFrame({"s": pd.Series(words, dtype="string[pyarrow]")}),
    "text as object": lambda: pd.DataFrame({"s": pd.Series(words, dtype=object)}),
    "text as polars Categorical": lambda: pl.DataFrame({"s": pl.Series(words, dtype=pl.Categorical)}),
}
def size_of(table):
    if isinstance(table, np.ndarray): return table.nbytes
    if isinstance(table, pd.DataFrame): return int(table.memory_usage(deep=True).sum())
    if isinstance(table, pl.DataFrame): return table.estimated_size()
    return table.nbytes
"""

CHILD = SETUP + r"""
import sys, gc
table = tables[sys.argv[1]]()
masker = MNARrs(seed=1, n_workers=1, dump=False)
gc.collect()
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field): return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as f: f.write("5")
before = rss("VmRSS:")
result = masker(table, 0.1)
added = rss("VmHWM:") - before
print(added / 2**20, added / size_of(table))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    namespace = {}
    exec(SETUP, namespace)
    tables = {name: make() for name, make in namespace["tables"].items()}
    masker = namespace["MNARrs"](seed=1, n_workers=1, dump=False)
    times = {name: [] for name in tables}
    cpu_times = {name: [] for name in tables}
    order = list(tables)
    shuffler = random.Random(0)
    for _ in range(args.rounds):
        # A new order each round: no case always runs after the same one.
        shuffler.shuffle(order)
        for name in order:
            table = tables[name]
            start, cpu_start = time.perf_counter(), time.process_time()
            masker(table, 0.1)
            times[name].append(time.perf_counter() - start)
            cpu_times[name].append(time.process_time() - cpu_start)
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), platform.machine())
    avx512 = "avx512f" in open("/proc/cpuinfo").read()
    print(f"CPU: {cpu} ({'AVX-512' if avx512 else 'no AVX-512'}), Python {platform.python_version()}")
    print(f"{'table':<28} {'wall ms':>8} {'cpu ms':>8} {'x numpy/str':>12} {'peak added MiB':>15} {'/ input':>8}")
    for name in tables:
        median = statistics.median(times[name]) * 1000
        cpu = statistics.median(cpu_times[name]) * 1000
        base = "numpy array" if not name.startswith("text") else "text as str"
        ratio = cpu / (statistics.median(cpu_times[base]) * 1000)
        peak = subprocess.run([sys.executable, "-c", CHILD, name], capture_output=True, text=True, check=True)
        added, share = (float(v) for v in peak.stdout.split())
        print(f"{name:<28} {median:>8.1f} {cpu:>8.1f} {ratio:>12.2f} {added:>15.1f} {share:>8.2f}")


if __name__ == "__main__":
    main()

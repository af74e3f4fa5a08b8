"""A benchmark grid on every process and thread engine at hand, as a user runs it.

Three tables x three rates x five seeds, each call followed by a mean-imputer
RMSE, in three forms per engine: a task function of this script's `__main__`
that builds its instance, the same function handed an instance, and a task
whose table holds a NaN (it must come back as ValueError, in bounded time).
Prints one row per engine: whether each form works and whether the masks
equal the sequential run bit for bit, and the wall time of the grid.

    python benchmarks/grid_engines.py          # engines that are installed
"""

import copy
import functools
import multiprocessing
import time

import numpy as np

from gapwright import MNARrs

ALPHAS = (0.05, 0.1, 0.3)
SEEDS = range(5)
TIMEOUT = 120


def tables():
    rng = np.random.default_rng(2026)
    try:
        from sklearn import datasets

        loaded = [datasets.load_diabetes().data, datasets.load_wine().data, datasets.load_breast_cancer().data]
        return [np.ascontiguousarray(t, dtype=np.float64) for t in loaded]
    except ImportError:  # same shapes, synthetic values
        return [rng.normal(size=shape) for shape in [(442, 10), (178, 13), (569, 30)]]


def score(holes, data):
    filled = np.where(np.isnan(holes), np.nanmean(holes, axis=0), holes)
    return np.isnan(holes).tobytes(), float(np.sqrt(np.mean((filled - data) ** 2)))


def built_in_task(data, alpha, seed):
    return score(MNARrs(variance=0.1, seed=seed, dump=False)(data, alpha), data)


def handed_task(masker, data, alpha):
    return score(masker(data, alpha), data)


def grid(data_sets):
    return [(data, alpha, seed) for data in data_sets for alpha in ALPHAS for seed in SEEDS]


def instances(points):
    return [(MNARrs(variance=0.1, seed=seed, dump=False), data, alpha) for data, alpha, seed in points]


def outcome(run, expected):
    try:
        results = run()
    except Exception as error:  # noqa: BLE001 - the row reports it
        return f"fails: {type(error).__name__}: {str(error)[:60]}"
    return "identical" if results == expected else "differs"


def failure_outcome(run):
    started = time.monotonic()
    try:
        run()
    except ValueError as error:
        return f"ValueError in {time.monotonic() - started:.1f} s" if str(error).startswith("Sample is nan") else "?"
    except BaseException as error:  # noqa: BLE001
        return f"{type(error).__name__}"
    return "no error"


def joblib_engine(backend):
    from joblib import Parallel, delayed

    def run(function, argument_sets):
        with Parallel(n_jobs=2, backend=backend, timeout=TIMEOUT) as parallel:
            return parallel(delayed(function)(*args) for args in argument_sets)

    return run


def pool_engine(method):
    def run(function, argument_sets):
        with multiprocessing.get_context(method).Pool(2) as pool:
            return pool.starmap_async(function, argument_sets).get(TIMEOUT)

    return run


def dask_engine():
    from distributed import Client, LocalCluster

    def run(function, argument_sets):
        with LocalCluster(
            n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
        ) as cluster, Client(cluster, timeout=60) as client:
            futures = client.map(function, *zip(*argument_sets), pure=False)
            return client.gather(futures, direct=False)

    return run


def engines():
    found = {}
    try:
        import joblib  # noqa: F401

        found["joblib loky"] = joblib_engine("loky")
        found["joblib threading"] = joblib_engine("threading")
    except ImportError:
        pass
    found["multiprocessing spawn"] = pool_engine("spawn")
    found["multiprocessing fork"] = pool_engine("fork")
    try:
        import distributed  # noqa: F401

        found["dask LocalCluster"] = dask_engine()
    except ImportError:
        pass
    return found


def main():
    data_sets = tables()
    points = grid(data_sets)
    expected = [built_in_task(*point) for point in points]
    handed = instances(points)
    bad = data_sets[0].copy()
    bad[3, 2] = np.nan
    print(f"{len(points)} calls per grid on tables {[t.shape for t in data_sets]}")
    print(f"{'engine':24} {'task builds instance':22} {'instance handed in':22} {'NaN table':22} grid time")
    for name, run in engines().items():
        started = time.perf_counter()
        built = outcome(functools.partial(run, built_in_task, points), expected)
        elapsed = time.perf_counter() - started
        passed = outcome(functools.partial(run, handed_task, [copy.deepcopy(h) for h in handed]), expected)
        failed = failure_outcome(functools.partial(run, built_in_task, [(bad, 0.5, 1)]))
        print(f"{name:24} {built:22} {passed:22} {failed:22} {elapsed:.2f} s")


if __name__ == "__main__":
    main()

"""Prints one line per fixed masking call: its name and a digest of where the holes fell and of
what the result holds. Run on two machines (x86-64 and aarch64 here), the outputs must be the
same line for line: a seed makes the same holes on every processor."""

import contextlib
import hashlib
import os

import numpy as np
import pandas as pd

from gapwright import MNARrs


@contextlib.contextmanager
def quiet_fd1():
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def digest(result) -> str:
    """Where the holes are, and what every other cell holds, as text (NaN's bits differ by processor)."""
    if isinstance(result, pd.DataFrame):
        holes = result.isna().to_numpy()
        cells = [repr(v) for v in result.to_numpy(dtype=object)[~holes]]
    elif result.dtype == object:
        holes = pd.isna(result) | (result == "NaN")
        cells = [repr(v) for v in result[~holes]]
    else:
        holes = np.isnan(result)
        cells = [v.hex() for v in result[~holes]]
    text = np.packbits(holes).tobytes().hex() + "|" + ",".join(cells)
    return hashlib.sha256(text.encode()).hexdigest()[:16] + f" holes={int(holes.sum())}"


def cases():
    rng = np.random.default_rng(2026)
    normal = rng.standard_normal((1000, 7))
    ties = rng.integers(0, 5, size=(1000, 4)).astype(np.float64)
    long = rng.standard_normal((2000, 40))
    for variance in (0.0, 0.1, 0.5):
        for seed in (0, 7, 2**64 - 1):
            yield f"normal v={variance} s={seed}", MNARrs(variance=variance, seed=seed), normal, 0.3
    yield "normal mean=0.2 workers=1", MNARrs(mean=0.2, variance=0.1, seed=3, n_workers=1), normal, 0.5
    yield "normal mean=0.2 workers=4", MNARrs(mean=0.2, variance=0.1, seed=3, n_workers=4), normal, 0.5
    yield "ties", MNARrs(seed=11), ties, 0.4
    # With variance, plans of 2**16 blanks and more draw their thresholds in chunks on the workers.
    yield "long v=0.1", MNARrs(variance=0.1, seed=5), long, 0.85
    words = np.array(["oslo", "lima", "pune", "kobe", "nuuk", "Äänekoski"], dtype=object)
    objects = np.empty((500, 3), dtype=object)
    objects[:, 0] = rng.standard_normal(500)
    objects[:, 1] = words[rng.integers(0, len(words), 500)]
    objects[:, 2] = rng.integers(0, 9, 500).astype(float)
    yield "object array with text", MNARrs(variance=0.1, seed=9), objects, 0.35
    frame = pd.DataFrame({"x": rng.standard_normal(600), "city": words[rng.integers(0, len(words), 600)],
                          "n": rng.integers(0, 50, 600)})
    yield "frame with text", MNARrs(variance=0.2, seed=13), frame, 0.25


if __name__ == "__main__":
    for name, masker, data, alpha in cases():
        with quiet_fd1():
            result = masker(data, alpha)
        print(f"{name}: {digest(result)}", flush=True)

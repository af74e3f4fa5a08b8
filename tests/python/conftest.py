import contextlib
import os
import sys

import numpy as np
import pytest

import gapwright


def pytest_configure(config):
    # pytest-run-parallel's marker, registered here too so runs without the plugin know it.
    config.addinivalue_line("markers", "thread_unsafe: not run concurrently by pytest-run-parallel")


def is_panic(exc: BaseException) -> bool:
    return type(exc) is gapwright.PanicException


@pytest.fixture
def panic():
    """Context manager asserting a PanicException whose message starts with `prefix`."""

    class _Panic:
        def __init__(self, prefix: str = ""):
            self.prefix = prefix
            self.value = None

        def __enter__(self):
            return self

        def __exit__(self, exc_type, exc, tb):
            assert exc is not None, "expected PanicException"
            assert is_panic(exc), f"expected PanicException, got {exc_type.__name__}: {exc}"
            assert str(exc.args[0]).startswith(self.prefix), exc.args
            self.value = exc
            return True

    return _Panic


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)


@contextlib.contextmanager
def silenced_stdout():
    """Sends file descriptor 1, where the matrix dump goes, to /dev/null for a while.

    Used inside test bodies: pytest's own capture re-points fd 1 between phases."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)

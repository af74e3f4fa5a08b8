import numpy as np
import pytest


def is_panic(exc: BaseException) -> bool:
    """PanicException is not exported; it is recognised by its class."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


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

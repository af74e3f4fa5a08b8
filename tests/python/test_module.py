"""The module surface: import, class, constructor, representation, binding."""

import importlib.metadata
import inspect
import re
import subprocess
import threading
import weakref

import numpy as np
import pytest

import gapwright
from gapwright import MNARrs


def test_module_exports_one_class():
    assert gapwright.__all__ == ["MNARrs"]
    assert MNARrs.__module__ == "gapwright"
    assert MNARrs.__name__ == MNARrs.__qualname__ == "MNARrs"
    assert gapwright.__doc__ and gapwright.__doc__.strip()
    assert gapwright.__version__ == importlib.metadata.version("gapwright")
    assert issubclass(gapwright.PanicException, BaseException)
    assert not issubclass(gapwright.PanicException, Exception)


def test_library_exports_only_its_init_and_names_no_build_path():
    listed = subprocess.run(
        ["nm", "-D", "--defined-only", gapwright.__file__], capture_output=True, text=True, check=True
    )
    assert [line.split()[-1] for line in listed.stdout.splitlines()] == ["PyInit_gapwright"]
    binary = open(gapwright.__file__, "rb").read()
    if b"__ubsan_handle" in binary:
        return  # a sanitizer build: its runtime's records keep absolute paths of their own
    at = binary.find(b"src/runtime/thread_pool.cpp")
    assert at > 0 and binary[at - 1] == 0  # the path starts the string: no directory before it


def test_signature_from_text_signature():
    text = "(mean=None, variance=None, seed=None, n_workers=None, *, dump=True)"
    assert str(inspect.signature(MNARrs)) == MNARrs.__text_signature__ == text


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "MNAR[0.5]"),
        ((None, None, None, None), {}, "MNAR[0.5]"),
        ((0.2, 1, 7, 2), {}, "MNAR[0.2]"),
        ((), {"mean": 3}, "MNAR[3]"),
        ((0.5, 2.0, 1, 8), {}, "MNAR[0.5]"),
        ((1e-7,), {}, "MNAR[0.0000001]"),
        ((1e21,), {}, "MNAR[1000000000000000000000]"),
        ((0.1 + 0.2,), {}, "MNAR[0.30000000000000004]"),
        ((-0.0,), {}, "MNAR[-0]"),
        ((float("nan"),), {}, "MNAR[NaN]"),
        ((float("inf"),), {}, "MNAR[inf]"),
        ((float("-inf"),), {}, "MNAR[-inf]"),
        ((True,), {}, "MNAR[1]"),
        ((-2.5, -1.0), {}, "MNAR[-2.5]"),
    ],
)
def test_representation(args, kwargs, text):
    m = MNARrs(*args, **kwargs)
    assert repr(m) == text
    assert str(m) == text


def test_conversions_accept_index_and_float_protocols():
    class Idx:
        def __index__(self):
            return 7

    class Flt:
        def __float__(self):
            return 0.25

    assert repr(MNARrs(Flt(), Idx(), Idx(), Idx())) == "MNAR[0.25]"
    assert repr(MNARrs(np.float64(0.75), seed=np.uint64(2**64 - 1), n_workers=np.int8(1))) == "MNAR[0.75]"
    MNARrs(seed=0, n_workers=True)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"seed": -1}, OverflowError, "argument 'seed': can't convert negative int to unsigned"),
        ({"seed": 2**64}, OverflowError, "argument 'seed': int too big to convert"),
        ({"n_workers": -3}, OverflowError, "argument 'n_workers': "),
        ({"mean": 10**400}, OverflowError, None),
        ({"n_workers": 0}, ValueError, "argument 'n_workers': must be at least 1, not 0"),
        ({"n_workers": False}, ValueError, "argument 'n_workers': must be at least 1, not False"),
        ({"seed": 1.5}, TypeError, "argument 'seed': "),
        ({"seed": "7"}, TypeError, "argument 'seed': "),
        ({"n_workers": 2.0}, TypeError, "argument 'n_workers': "),
        ({"mean": "a"}, TypeError, "argument 'mean': "),
        ({"variance": []}, TypeError, "argument 'variance': "),
    ],
)
def test_constructor_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        MNARrs(**kwargs)
    assert type(info.value) is exc
    if message is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value).startswith(message)


def test_rewrapped_type_error_keeps_cause():
    root = KeyError("root")

    class Bad:
        def __float__(self):
            try:
                raise root
            except KeyError as e:
                raise TypeError("nope") from e

    with pytest.raises(TypeError) as info:
        MNARrs(mean=Bad())
    assert str(info.value) == "argument 'mean': nope"
    assert info.value.__cause__ is root


def test_non_type_errors_from_conversions_pass_unchanged():
    class Boom(Exception):
        pass

    class Bad:
        def __float__(self):
            raise Boom("inside __float__")

    with pytest.raises(Boom, match="inside __float__"):
        MNARrs(variance=Bad())

    class SubTypeError(TypeError):
        pass

    class Sub:
        def __index__(self):
            raise SubTypeError("sub")

    with pytest.raises(SubTypeError) as info:
        MNARrs(seed=Sub())
    assert str(info.value) == "sub"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: MNARrs(1, 2, 3, 4, 5), "MNARrs.__new__() takes from 0 to 4 positional arguments but 5 were given"),
        (lambda: MNARrs(0.1, mean=0.2), "MNARrs.__new__() got multiple values for argument 'mean'"),
        (lambda: MNARrs(foo=1), "MNARrs.__new__() got an unexpected keyword argument 'foo'"),
        # the keyword is quoted whole, however unusual its text
        (lambda: MNARrs(**{"mean\x00x": 1}), "MNARrs.__new__() got an unexpected keyword argument 'mean\x00x'"),
        (lambda: MNARrs(**{"\ud800": 1}), "MNARrs.__new__() got an unexpected keyword argument '\ud800'"),
    ],
)
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_call_binding_errors():
    m = MNARrs(seed=1, n_workers=1)
    x = np.zeros((2, 2))
    cases = [
        (lambda: m(), "MNARrs.__call__() missing 2 required positional arguments: 'data' and 'alpha'"),
        (lambda: m(x), "MNARrs.__call__() missing 1 required positional argument: 'alpha'"),
        (lambda: m(alpha=0.1), "MNARrs.__call__() missing 1 required positional argument: 'data'"),
        (lambda: m(x, 0.1, 3), "MNARrs.__call__() takes 2 positional arguments but 3 were given"),
        (lambda: m(x, alpha=0.1, beta=2), "MNARrs.__call__() got an unexpected keyword argument 'beta'"),
        (lambda: m(x, 0.1, data=x), "MNARrs.__call__() got multiple values for argument 'data'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        m(x, "a")
    assert str(info.value).startswith("argument 'alpha': ")
    # keywords bind by name in any order
    np.testing.assert_array_equal(m(alpha=0, data=x), x)


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def unprintable_call():
    """A call that panics: a cell that object arrays cannot hold."""
    MNARrs(seed=0)(np.array([["x"], [Unprintable()]], dtype=object), 0.0)


def test_panic_passes_exception_handlers(panic, capfd):
    with panic("cant convert to str: ValueError: no text") as p:
        try:
            unprintable_call()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    assert type(p.value) is gapwright.PanicException
    assert p.value.args == ("cant convert to str: ValueError: no text",)
    notice = capfd.readouterr().err
    assert re.fullmatch(r"thread '.+' panicked at src/\S+\.cpp:\d+:\d+:\n"
                        r"cant convert to str: ValueError: no text\n", notice), notice
    assert issubclass(type(p.value), BaseException)
    assert type(p.value).__bases__ == (BaseException,)


def test_panic_exception_class_is_created_once(panic):
    seen = []
    for _ in range(2):
        try:
            unprintable_call()
        except BaseException as e:  # noqa: B036
            seen.append(type(e))
    assert seen[0] is seen[1]


def test_class_is_closed():
    with pytest.raises(TypeError):
        type("Sub", (MNARrs,), {})
    m = MNARrs(n_workers=1)
    with pytest.raises(AttributeError):
        m.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(m)
    for name in ("mean", "variance", "seed", "n_workers"):
        assert not hasattr(m, name)


def test_extreme_seeds_are_ordinary():
    x = np.arange(40.0).reshape(10, 4)
    for seed in (0, 2**64 - 1):
        a = MNARrs(seed=seed, n_workers=1)(x, 0.3)
        b = MNARrs(seed=seed, n_workers=3)(x, 0.3)
        np.testing.assert_array_equal(np.isnan(a), np.isnan(b))


def test_clock_seeded_instances_differ():
    x = np.arange(400.0).reshape(100, 4)
    masks = {MNARrs(variance=1.0, n_workers=1)(x, 0.2).tobytes() for _ in range(4)}
    assert len(masks) > 1


def test_reimport_shares_the_type():
    import importlib.util
    import sys

    found = importlib.util.find_spec("gapwright")
    other = importlib.util.module_from_spec(found)
    found.loader.exec_module(other)
    assert other.MNARrs is MNARrs
    assert other.__all__ == ["MNARrs"]
    assert sys.modules["gapwright"] is gapwright


def test_instances_in_threads_are_independent():
    x = np.random.default_rng(3).normal(size=(50, 6))
    expected = MNARrs(seed=11, variance=0.3, n_workers=2)(x, 0.4)
    results = [None] * 6

    def work(i):
        results[i] = MNARrs(seed=11, variance=0.3, n_workers=2)(x, 0.4)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, expected)

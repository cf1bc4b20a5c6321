"""Calling convention of the module's operations: binding, checks, conversions,
their error messages and the traceback entries that failures carry."""

from __future__ import annotations

import asyncio
import builtins
import ctypes
import dataclasses
import decimal
import fractions
import gc
import traceback
import warnings

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

SOURCE = "zorvic/core/worker_pool.py"
PREFIX = "zorvic.core.worker_pool."


def module_entries(exc: BaseException) -> list[tuple[str, int]]:
    """(function name, line) of every traceback entry in the module's file, outermost first."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE]


def entry(qualname: str, line: int) -> list[tuple[str, int]]:
    return [(PREFIX + qualname, line)]


def id_factory():
    return next(f for f in dataclasses.fields(WorkerTask) if f.name == "id").default_factory


def close(result):
    # An async operation that bound its arguments returns a coroutine; drop it
    # cleanly so no "never awaited" warning leaks into other tests.
    if hasattr(result, "close"):
        result.close()
    return result


@pytest.fixture
def pool():
    return WorkerPool()


class Text(str):
    pass


class Items(list):
    pass


# ---------------------------------------------------------------- counts and keywords

# (call, qualname, def line, message); every binding error carries the entry
# for the def line under the module-qualified name.
BINDING_ERRORS = [
    (
        lambda p: p.get_status(),
        "WorkerPool.get_status",
        226,
        "get_status() takes exactly 2 positional arguments (1 given)",
    ),
    (
        lambda p: WorkerPool.get_status(task_id="a"),
        "WorkerPool.get_status",
        226,
        "get_status() takes exactly 2 positional arguments (0 given)",
    ),
    (
        lambda p: p.list_completed(1, 2),
        "WorkerPool.list_completed",
        247,
        "list_completed() takes at most 2 positional arguments (3 given)",
    ),
    (
        lambda p: WorkerPool.list_completed(),
        "WorkerPool.list_completed",
        247,
        "list_completed() takes at least 1 positional argument (0 given)",
    ),
    (lambda p: p.stats(1), "WorkerPool.stats", 257, "stats() takes exactly 1 positional argument (2 given)"),
    (
        lambda p: WorkerPool(1, None, None, 4),
        "WorkerPool.__init__",
        130,
        "__init__() takes at most 4 positional arguments (5 given)",
    ),
    (
        lambda p: p.wait_for(timeout=1.0),
        "WorkerPool.wait_for",
        277,
        "wait_for() takes at least 2 positional arguments (1 given)",
    ),
    (lambda p: p.submit(), "WorkerPool.submit", 171, "submit() takes exactly 2 positional arguments (1 given)"),
    (
        lambda p: WorkerPool.max_workers.fset(p),
        "WorkerPool.max_workers",
        160,
        "max_workers() takes exactly 2 positional arguments (1 given)",
    ),
    (
        lambda p: WorkerTask().to_dict(1),
        "WorkerTask.to_dict",
        56,
        "to_dict() takes exactly 1 positional argument (2 given)",
    ),
    (
        lambda p: p.get_status("a", task_id="b"),
        "WorkerPool.get_status",
        226,
        "get_status() got multiple values for keyword argument 'task_id'",
    ),
    (
        lambda p: p.get_status(id="a"),
        "WorkerPool.get_status",
        226,
        "get_status() got an unexpected keyword argument 'id'",
    ),
    (
        lambda p: WorkerPool.get_status(p, self=p),
        "WorkerPool.get_status",
        226,
        "get_status() got multiple values for keyword argument 'self'",
    ),
    # the first offending keyword, in the order given, is reported
    (
        lambda p: p.wait_all(None, bogus=1, timeout=2.0, task_ids=[]),
        "WorkerPool.wait_all",
        302,
        "wait_all() got an unexpected keyword argument 'bogus'",
    ),
    (
        lambda p: p.wait_all(None, task_ids=[], bogus=1),
        "WorkerPool.wait_all",
        302,
        "wait_all() got multiple values for keyword argument 'task_ids'",
    ),
]


@pytest.mark.parametrize(("call", "qualname", "line", "message"), BINDING_ERRORS)
def test_binding_errors(pool, call, qualname, line, message):
    with pytest.raises(TypeError) as info:
        call(pool)
    assert str(info.value) == message
    assert module_entries(info.value) == entry(qualname, line)


@pytest.mark.parametrize(
    "call",
    [
        lambda p: p.get_status(task_id="nope"),
        lambda p: WorkerPool.get_status(self=p, task_id="nope"),
        lambda p: WorkerPool.get_status(task_id="nope", self=p),
        # keyword names that are not the interned parameter names
        lambda p: p.get_status(**{"".join(["task", "_id"]): "nope"}),
        lambda p: p.get_status(**{Text("task_id"): "nope"}),
    ],
)
def test_keywords_bind(pool, call):
    assert call(pool) is None


def test_keyword_str_subclass_is_compared_with_its_own_eq(pool):
    class Alias(str):
        def __eq__(self, other):
            return other == "task_id"

        __hash__ = str.__hash__

    assert pool.get_status(**{Alias("whatever"): "nope"}) is None

    class Broken(str):
        def __eq__(self, other):
            raise LookupError("no comparison")

        __hash__ = str.__hash__

    with pytest.raises(LookupError, match="no comparison") as info:
        pool.get_status(**{Broken("task_id"): "x"})
    assert module_entries(info.value) == entry("WorkerPool.get_status", 226)


def test_non_string_key_in_keyword_dict(pool):
    kwargs = {1: 2}
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        WorkerPool.get_status(*[pool], **kwargs)
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        pool.wait_all(**{"timeout": 1.0, ("task_ids",): None})


def vectorcall(func, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    array = (ctypes.py_object * len(args))(*args)
    return call(func, array, len(args) - len(kwnames), kwnames)


def test_non_string_keyword_name_from_a_c_caller(pool):
    assert vectorcall(WorkerPool.get_status, (pool, "nope"), ("task_id",)) is None
    with pytest.raises(TypeError) as info:
        vectorcall(WorkerPool.get_status, (pool, "nope"), (7,))
    assert str(info.value) == "get_status() keywords must be strings"
    assert module_entries(info.value) == entry("WorkerPool.get_status", 226)
    # a repeated keyword name from C is a second value for the same parameter
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'task_id'"):
        vectorcall(WorkerPool.get_status, (pool, "a", "b"), ("task_id", "task_id"))


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1,), {}, "<lambda>() takes no arguments (1 given)"),
        ((1, 2), {"x": 3}, "<lambda>() takes no arguments (2 given)"),
        ((), {"x": 3}, "<lambda>() takes no keyword arguments"),
    ],
)
def test_id_factory_takes_nothing(args, kwargs, message):
    factory = id_factory()
    with pytest.raises(TypeError) as info:
        factory(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == entry("WorkerTask.lambda", 45)
    assert len(factory()) == 12


# ---------------------------------------------------------------- exact types


EXACT_CASES = [
    # (call, parameter, expected, bad value)
    (lambda p, v: p.get_status(v), "task_id", "str", None),
    (lambda p, v: p.get_status(task_id=v), "task_id", "str", b"id"),
    (lambda p, v: p._move_to_completed(v), "task_id", "str", Text("id")),
    (lambda p, v: p.cancel(v), "task_id", "str", 5),
    (lambda p, v: p.cancel(v), "task_id", "str", Text("id")),
    (lambda p, v: p.submit_many(v), "tasks", "list", (WorkerTask(),)),
    (lambda p, v: p.submit_many(tasks=v), "tasks", "list", Items()),
    (lambda p, v: p.wait_all(v), "task_ids", "list", ("a",)),
    (lambda p, v: p.wait_all(v, 1.0), "task_ids", "list", "a"),
]


@pytest.mark.parametrize(("call", "param", "expected", "value"), EXACT_CASES)
def test_exact_type_checks(pool, call, param, expected, value):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no coroutine may be left unawaited
        with pytest.raises(TypeError) as info:
            call(pool, value)
        gc.collect()
    exc = info.value
    assert str(exc) == (f"Argument '{param}' has incorrect type (expected {expected}, got {type(value).__name__})")
    # an exact-type failure carries no entry for the operation
    assert module_entries(exc) == []
    notes = getattr(exc, "__notes__", [])
    if isinstance(value, {"str": str, "list": list}[expected]):
        assert len(notes) == 1 and "subclass" in notes[0]
    else:
        assert notes == []


def test_none_and_lists_pass_where_allowed(pool):
    assert asyncio.run(pool.wait_all(None, 0.0)) == []
    assert asyncio.run(pool.wait_all([], timeout=0.0)) == []
    assert asyncio.run(pool.submit_many([])) == []


# ---------------------------------------------------------------- int coercion


class Index:
    def __index__(self):
        return 4


class IntOnly:
    def __int__(self):
        return 6


class BadInt:
    def __int__(self):
        raise ArithmeticError("bad int")


@pytest.mark.parametrize(
    ("value", "stored"),
    [
        (5, 5),
        (2.9, 2),
        (True, 1),
        (Index(), 4),
        (IntOnly(), 6),
        (decimal.Decimal("7.8"), 7),
        (fractions.Fraction(9, 2), 4),
        (10**30, 10**30),
    ],
)
def test_int_coercion_in_constructor(value, stored):
    pool = WorkerPool(value)
    assert pool._max_workers == stored and type(pool._max_workers) is int


@pytest.mark.parametrize(
    ("value", "stored"),
    [(2.9, 2), (-2.9, 1), (True, 1), (Index(), 4), (decimal.Decimal("25.5"), 20), (10**30, 20)],
)
def test_int_coercion_in_setter(pool, value, stored):
    pool.max_workers = value
    assert pool._max_workers == stored and type(pool._max_workers) is int


def test_int_coercion_of_limit(pool):
    for n in range(3):
        pool._completed.append(WorkerStatus(task_id=f"t{n}", state=WorkerState.COMPLETED))
    # True binds 1 (the newest record), 2.5 binds 2
    assert [d["task_id"] for d in pool.list_completed(True)] == ["t2"]
    assert [d["task_id"] for d in pool.list_completed(limit=2.5)] == ["t1", "t2"]
    assert len(pool.list_completed()) == 3


INT_FAILURES = [
    # (call, exception, message or None for the host's own, qualname, line)
    (
        lambda p: WorkerPool("3"),
        TypeError,
        "Argument 'max_workers' has incorrect type (expected int, got str)",
        "WorkerPool.__init__",
        132,
    ),
    (
        lambda p: WorkerPool(max_workers=None),
        TypeError,
        "Argument 'max_workers' has incorrect type (expected int, got NoneType)",
        "WorkerPool.__init__",
        132,
    ),
    (lambda p: WorkerPool(float("nan")), ValueError, "cannot convert float NaN to integer", "WorkerPool.__init__", 132),
    (lambda p: WorkerPool(1j), TypeError, None, "WorkerPool.__init__", 132),
    (lambda p: WorkerPool(BadInt()), ArithmeticError, "bad int", "WorkerPool.__init__", 132),
    (
        lambda p: setattr(p, "max_workers", "3"),
        TypeError,
        "Argument 'value' has incorrect type (expected int, got str)",
        "WorkerPool.max_workers",
        161,
    ),
    (
        lambda p: setattr(p, "max_workers", float("-inf")),
        OverflowError,
        "cannot convert float infinity to integer",
        "WorkerPool.max_workers",
        161,
    ),
    (
        lambda p: p.list_completed("5"),
        TypeError,
        "Argument 'limit' has incorrect type (expected int, got str)",
        "WorkerPool.list_completed",
        247,
    ),
]


@pytest.mark.parametrize(("call", "error", "message", "qualname", "line"), INT_FAILURES)
def test_int_coercion_failures(pool, call, error, message, qualname, line):
    before = (pool._max_workers, pool._semaphore)
    with pytest.raises(error) as info:
        call(pool)
    if message is not None:
        assert str(info.value) == message
    assert module_entries(info.value)[-1:] == entry(qualname, line)
    # nothing changed before the error
    assert (pool._max_workers, pool._semaphore) == before


# ---------------------------------------------------------------- float conversion


class FloatOnly:
    def __float__(self):
        return 0.0


class BadFloat:
    def __float__(self):
        raise ArithmeticError("bad float")


@pytest.mark.parametrize("timeout", [0, False, FloatOnly(), Index(), -(2**70)])
def test_float_conversion_accepts_numbers(pool, timeout):
    assert asyncio.run(pool.wait_for("nope", timeout)) is None
    assert asyncio.run(pool.wait_all([], timeout=timeout)) == []


FLOAT_FAILURES = [
    (lambda p: p.wait_for("a", None), TypeError, "WorkerPool.wait_for", 277),
    (lambda p: p.wait_for("a", timeout=BadFloat()), ArithmeticError, "WorkerPool.wait_for", 277),
    (lambda p: p.wait_all(None, 10**400), OverflowError, "WorkerPool.wait_all", 302),
    # the conversion runs before the exact-type check of the same call
    (lambda p: p.wait_for(5, "5"), TypeError, "WorkerPool.wait_for", 277),
    (lambda p: p.wait_all(("a",), timeout="5"), TypeError, "WorkerPool.wait_all", 302),
]


@pytest.mark.parametrize(("call", "error", "qualname", "line"), FLOAT_FAILURES)
def test_float_conversion_failures(pool, call, error, qualname, line):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(error) as info:
            call(pool)
        gc.collect()
    assert "incorrect type" not in str(info.value)
    assert module_entries(info.value) == entry(qualname, line)


def test_float_conversion_message_is_the_hosts(pool):
    import math

    with pytest.raises(TypeError) as ours:
        pool.wait_for("a", "5")
    with pytest.raises(TypeError) as host:
        math.isnan("5")  # the host's own float conversion of a str
    assert str(ours.value) == str(host.value)


# ---------------------------------------------------------------- entries of bodies


def test_plain_body_error_names_the_failing_line():
    with pytest.raises(AttributeError) as info:
        WorkerPool.set_executor(1, None)
    assert module_entries(info.value) == entry("WorkerPool.set_executor", 169)


def test_entry_is_added_below_the_callers_frames():
    status = WorkerStatus(task_id="t", state=WorkerState.RUNNING)
    status.state = None  # no .value: to_dict fails reading it
    with pytest.raises(AttributeError) as info:
        status.to_dict()
    assert str(info.value) == "'NoneType' object has no attribute 'value'"
    assert module_entries(info.value) == entry("WorkerStatus.to_dict", 90)
    frames = traceback.extract_tb(info.value.__traceback__)
    assert frames[0].name == "test_entry_is_added_below_the_callers_frames"
    assert (frames[-1].filename, frames[-1].name) == (SOURCE, PREFIX + "WorkerStatus.to_dict")


# ---------------------------------------------------------------- module globals


def test_global_lookup_falls_back_to_builtins(monkeypatch):
    class FakeUuid:
        class _Value:
            hex = "abcdef0123456789" * 2

        @staticmethod
        def uuid4():
            return FakeUuid._Value()

    monkeypatch.delattr(wp, "uuid")
    with pytest.raises(NameError) as info:
        WorkerTask()
    assert str(info.value) == "name 'uuid' is not defined"
    assert info.value.name == "uuid"
    assert module_entries(info.value) == entry("WorkerTask.lambda", 45)

    monkeypatch.setattr(builtins, "uuid", FakeUuid, raising=False)
    assert WorkerTask().id == "abcdef012345"

    # looked up at each use: the module namespace wins again once it has the name
    class Zeros:
        @staticmethod
        def uuid4():
            return type("V", (), {"hex": "0" * 32})()

    monkeypatch.setattr(wp, "uuid", Zeros, raising=False)
    assert WorkerTask().id == "0" * 12


def test_round_is_fetched_once(monkeypatch):
    def no_round(*args):
        raise AssertionError("the module must use the builtin fetched at load")

    monkeypatch.setattr(builtins, "round", no_round)
    status = WorkerStatus(task_id="t", state=WorkerState.QUEUED, progress_pct=33.333, duration=1.23456)
    d = status.to_dict()
    assert (d["progress_pct"], d["duration"]) == (33.3, 1.23)

"""Hostile input: every operation called with arbitrary argument tuples and
keyword dicts (wrong types, subclasses of str/list/int/float, objects whose
__index__, __float__, __eq__, __hash__, __bool__ or __str__ raise, huge and
negative numbers, the module's own objects in the wrong places), tables
replaced by odd objects, and the coroutines that come back driven with
arbitrary send/throw/close sequences. Every call either returns or raises an
ordinary exception (or the exception that was thrown into it), the event loop
reports nothing, and a replay of many such programs leaks nothing.

A program is built by one interpreter from a stream of choices: Hypothesis
makes the choices in the property test, a seeded random source in the replay.
"""

from __future__ import annotations

import asyncio
import gc
import math
import os
import random
import sys
import warnings
from collections.abc import Callable, Sequence
from typing import Any

from hypothesis import given, settings
from hypothesis import strategies as st

from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask


class HostileError(Exception):
    """What every hostile protocol method raises."""


def _raise(*_: Any, **__: Any) -> Any:
    raise HostileError("hostile")


class RaisingIndex:
    __index__ = __int__ = _raise


class RaisingFloat:
    __float__ = _raise


class RaisingEqHash:
    __eq__ = __ne__ = __hash__ = _raise


class RaisingBool:
    __bool__ = __len__ = _raise


class RaisingStr:
    __str__ = __format__ = _raise


class RaisingAttributes:
    def __getattr__(self, name: str) -> Any:
        raise HostileError(name)


class RaisingEverything(RaisingAttributes):
    __index__ = __int__ = __float__ = __eq__ = __ne__ = __hash__ = _raise
    __bool__ = __len__ = __str__ = __format__ = __iter__ = __await__ = __call__ = _raise


class Index:
    """An integer only through __index__."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class FloatOnly:
    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        return self.value


class StrSub(str):
    pass


class ListSub(list):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


HOSTILE_CLASSES = (
    RaisingIndex,
    RaisingFloat,
    RaisingEqHash,
    RaisingBool,
    RaisingStr,
    RaisingAttributes,
    RaisingEverything,
)
EDGE_INTS = (0, 1, -1, 2, 20, 21, 50, 2**31, 2**63, -(2**63) - 1, 2**200, -(2**200))
EDGE_FLOATS = (0.0, -0.0, 0.001, 2.9, -1.5, 1e308, 5e-324, math.inf, -math.inf, math.nan)
EDGE_TEXTS = ("", "x", "task", "\x00", "\ud800", "é" * 40, "a" * 300, "queued")
KEYWORDS = (
    "self",
    "task",
    "tasks",
    "task_id",
    "task_ids",
    "timeout",
    "status",
    "executor",
    "limit",
    "max_workers",
    "on_status_change",
    "value",
    "state",
    "id",
    "name",
)
POOL_METHODS = (
    "__init__",
    "set_executor",
    "submit",
    "submit_many",
    "cancel",
    "cancel_all",
    "get_status",
    "list_active",
    "list_running",
    "list_queued",
    "list_completed",
    "list_all",
    "stats",
    "wait_for",
    "wait_all",
    "cleanup",
    "_run_worker",
    "_update_status",
    "_move_to_completed",
)
POOL_FIELDS = (
    "_active",
    "_completed",
    "_tasks",
    "_all_tasks",
    "_executor",
    "_on_status_change",
    "_semaphore",
    "_max_workers",
    "_total_submitted",
    "_total_completed",
    "_total_failed",
)
RECORD_FIELDS = ("state", "task_id", "name", "error", "started_at", "completed_at", "progress_pct")
COROUTINE_ACTIONS = (
    "send_none",
    "send_none",
    "send_value",
    "throw",
    "throw",
    "close",
    "wrapper_next",
    "wrapper_send",
    "wrapper_throw",
    "wrapper_close",
    "read",
    "rename",
    "reduce",
)


class Chooser:
    """The stream of choices a program is built from."""

    def pick(self, options: Sequence[Any]) -> Any:
        raise NotImplementedError

    def count(self, most: int) -> int:
        raise NotImplementedError

    def integer(self) -> int:
        return self.pick(EDGE_INTS)

    def real(self) -> float:
        return self.pick(EDGE_FLOATS)

    def text(self) -> str:
        return self.pick(EDGE_TEXTS)


class DrawChooser(Chooser):
    def __init__(self, data: Any) -> None:
        self.data = data

    def pick(self, options: Sequence[Any]) -> Any:
        return self.data.draw(st.sampled_from(options))

    def count(self, most: int) -> int:
        return self.data.draw(st.integers(0, most))

    def integer(self) -> int:
        return self.data.draw(st.one_of(st.sampled_from(EDGE_INTS), st.integers()))

    def real(self) -> float:
        return self.data.draw(st.one_of(st.sampled_from(EDGE_FLOATS), st.floats()))

    def text(self) -> str:
        return self.data.draw(st.one_of(st.sampled_from(EDGE_TEXTS), st.text(max_size=12)))


class RandomChooser(Chooser):
    def __init__(self, rng: random.Random) -> None:
        self.rng = rng

    def pick(self, options: Sequence[Any]) -> Any:
        return self.rng.choice(options)

    def count(self, most: int) -> int:
        return self.rng.randint(0, most)


# ---------------------------------------------------------------- the world a program acts on


async def good_executor(task: Any, update: Any, *, deadline: float) -> str:
    await asyncio.sleep(0)
    return "answer"


async def failing_executor(task: Any, update: Any, *, deadline: float) -> str:
    raise HostileError("executor")


async def good_callback(status: Any) -> None:
    await asyncio.sleep(0)


async def failing_callback(status: Any) -> None:
    raise HostileError("callback")


class World:
    """The pools and loose objects of one program, and what it must clean up."""

    def __init__(self) -> None:
        self.pools = [
            WorkerPool(executor=good_executor, on_status_change=good_callback),
            WorkerPool(1, failing_executor, failing_callback),
            WorkerPool(2, good_executor),
        ]
        self.coroutines: list[Any] = []  # every coroutine made, closed at the end
        self.failures: list[str] = []

    def fail(self, text: str) -> None:
        self.failures.append(text)


def build_value(ch: Chooser, world: World, depth: int = 0) -> Any:
    kind = ch.pick(VALUE_KINDS if depth < 2 else SCALAR_KINDS)
    if kind == "none":
        return None
    if kind == "bool":
        return ch.pick((True, False))
    if kind == "int":
        return ch.integer()
    if kind == "float":
        return ch.real()
    if kind == "text":
        return ch.text()
    if kind == "bytes":
        return ch.text().encode("utf-8", "surrogatepass")
    if kind == "subclass":
        cls = ch.pick((StrSub, ListSub, IntSub, FloatSub))
        if cls is StrSub:
            return StrSub(ch.text())
        if cls is ListSub:
            return ListSub(build_value(ch, world, depth + 1) for _ in range(ch.count(2)))
        if cls is IntSub:
            return IntSub(ch.integer())
        return FloatSub(ch.real())
    if kind == "hostile":
        return ch.pick(HOSTILE_CLASSES)()
    if kind == "number_protocol":
        return Index(ch.integer()) if ch.pick((True, False)) else FloatOnly(ch.real())
    if kind == "list":
        return [build_value(ch, world, depth + 1) for _ in range(ch.count(3))]
    if kind == "tuple":
        return tuple(build_value(ch, world, depth + 1) for _ in range(ch.count(3)))
    if kind == "dict":
        return {ch.text(): build_value(ch, world, depth + 1) for _ in range(ch.count(2))}
    if kind == "task":
        fields = {}
        for _ in range(ch.count(3)):
            fields[ch.pick(("name", "prompt", "timeout", "metadata", "tools"))] = build_value(ch, world, depth + 1)
        task = WorkerTask(**fields)
        if ch.count(4) == 0:
            task.id = build_value(ch, world, depth + 1)
        return task
    if kind == "status":
        status = WorkerStatus(task_id=ch.text(), state=ch.pick(tuple(WorkerState)))
        if ch.count(2) == 0:
            setattr(status, ch.pick(RECORD_FIELDS), build_value(ch, world, depth + 1))
        return status
    if kind == "state":
        return ch.pick(tuple(WorkerState))
    if kind == "pool":
        return ch.pick(world.pools)
    if kind == "callable":
        return ch.pick((good_executor, failing_executor, good_callback, failing_callback, len, _raise))
    if kind == "coroutine":
        coroutine = ch.pick(world.pools).cancel("nobody")
        world.coroutines.append(coroutine)
        return coroutine
    raise AssertionError(kind)


SCALAR_KINDS = ("none", "bool", "int", "float", "text", "hostile", "number_protocol", "subclass")
VALUE_KINDS = SCALAR_KINDS + (
    "bytes",
    "list",
    "tuple",
    "dict",
    "task",
    "status",
    "state",
    "pool",
    "callable",
    "coroutine",
    "task",
    "status",
)


def build_arguments(ch: Chooser, world: World) -> tuple[tuple[Any, ...], dict[str, Any]]:
    args = tuple(build_value(ch, world) for _ in range(ch.count(3)))
    kwargs = {}
    for _ in range(ch.count(2)):
        key = ch.pick(KEYWORDS) if ch.count(3) else ch.text()
        kwargs[key] = build_value(ch, world)
    return args, kwargs


def build_call(ch: Chooser, world: World) -> tuple[str, Callable[[], Any]]:
    """One operation with hostile arguments, as a description and a thunk."""
    pool = ch.pick(world.pools)
    what = ch.pick(
        ("method", "method", "method", "unbound", "constructor", "set_limit", "get_limit", "corrupt", "record", "state")
    )
    if what in ("method", "unbound"):
        name = ch.pick(POOL_METHODS)
        args, kwargs = build_arguments(ch, world)
        if what == "method":
            return f"pool.{name}{args!r:.120} {kwargs!r:.120}", lambda: getattr(pool, name)(*args, **kwargs)
        return f"WorkerPool.{name}{args!r:.120}", lambda: getattr(WorkerPool, name)(*args, **kwargs)
    if what == "constructor":
        args, kwargs = build_arguments(ch, world)
        return f"WorkerPool{args!r:.120} {kwargs!r:.120}", lambda: WorkerPool(*args, **kwargs)
    if what == "set_limit":
        value = build_value(ch, world)
        return f"max_workers = {value!r:.80}", lambda: setattr(pool, "max_workers", value)
    if what == "get_limit":
        value = build_value(ch, world)

        def get_limit() -> Any:
            pool._max_workers = value
            return pool.max_workers

        return f"max_workers after _max_workers = {value!r:.80}", get_limit
    if what == "corrupt":
        # A table or field replaced by an odd object, then a query or wait.
        field, value = ch.pick(POOL_FIELDS), build_value(ch, world)
        name = ch.pick(
            (
                "get_status",
                "list_active",
                "list_all",
                "list_completed",
                "stats",
                "wait_all",
                "cancel_all",
                "cancel",
                "submit",
                "cleanup",
            )
        )
        args, _ = build_arguments(ch, world)
        return f"{field} = {value!r:.80}; {name}{args!r:.80}", lambda: (
            setattr(pool, field, value),
            getattr(pool, name)(*args),
        )[1]
    if what == "record":
        args, kwargs = build_arguments(ch, world)
        cls = ch.pick((WorkerTask, WorkerStatus))
        return f"{cls.__name__}{args!r:.120}", lambda: cls(*args, **kwargs).to_dict()
    value = build_value(ch, world)
    return f"WorkerState({value!r:.80})", lambda: WorkerState(value)


def throw_arguments(ch: Chooser) -> tuple[Any, ...]:
    return ch.pick(
        (
            (ValueError,),
            (ValueError("v"),),
            (asyncio.CancelledError(),),
            (GeneratorExit,),
            (StopIteration,),
            (StopIteration(5),),
            (KeyboardInterrupt,),
            (HostileError,),
            (ValueError, "value"),
            (ValueError, ValueError("v")),
            (ValueError, ("a", "b")),
            (ValueError("v"), "extra"),
            (TypeError, None, "not a traceback"),
            (1,),
            ("text",),
            (RaisingEverything,),
            (int,),
            (BaseException, None, None),
            (),
        )
    )


def thrown_types(args: tuple[Any, ...]) -> tuple[type, ...]:
    if not args:
        return ()
    first = args[0]
    if isinstance(first, BaseException):
        return (type(first),)
    if isinstance(first, type) and issubclass(first, BaseException):
        return (first,)
    return ()


def check(world: World, where: str, call: Callable[[], Any], allowed: tuple[type, ...] = ()) -> Any:
    """Calls `call`; any exception must be ordinary or one of `allowed`."""
    try:
        return call()
    except Exception:
        return None
    except BaseException as error:
        if not isinstance(error, allowed):
            world.fail(f"{where} raised {error!r}")
        return None


def drive(ch: Chooser, world: World, coroutine: Any, where: str) -> None:
    """Arbitrary send/throw/close sequences on a coroutine and its wrapper."""
    wrapper = None
    for _ in range(ch.count(6)):
        action = ch.pick(COROUTINE_ACTIONS)
        label = f"{where}: {action}"
        if action == "send_none":
            check(world, label, lambda: coroutine.send(None))
        elif action == "send_value":
            value = build_value(ch, world, 2)
            check(world, label, lambda: coroutine.send(value))
        elif action in ("throw", "wrapper_throw"):
            args = throw_arguments(ch)
            target = coroutine if action == "throw" or wrapper is None else wrapper
            check(world, f"{label}{args!r}", lambda: target.throw(*args), thrown_types(args))
        elif action == "close":
            check(world, label, coroutine.close)
        elif action.startswith("wrapper"):
            if wrapper is None:
                wrapper = check(world, label, coroutine.__await__)
                if wrapper is None:
                    continue
            if action == "wrapper_next":
                check(world, label, lambda: next(wrapper))
            elif action == "wrapper_send":
                check(world, label, lambda: wrapper.send(None))
            else:
                check(world, label, wrapper.close)
        elif action == "read":
            for name in ("cr_await", "cr_frame", "cr_running", "cr_code", "__name__", "__qualname__", "__module__"):
                check(world, f"{label} {name}", lambda name=name: getattr(coroutine, name))
        elif action == "rename":
            name, value = ch.pick(("__name__", "__qualname__", "__module__")), build_value(ch, world, 2)
            check(world, label, lambda: setattr(coroutine, name, value))
        else:
            protocol = build_value(ch, world, 2)
            check(world, label, lambda: coroutine.__reduce_ex__(protocol))
            check(world, label, coroutine.__reduce__)


def _coroutine_type() -> type:
    coroutine = WorkerPool().cancel_all()
    coroutine.close()
    return type(coroutine)


COROUTINE_TYPE = _coroutine_type()


def is_module_coroutine(obj: Any) -> bool:
    return type(obj) is COROUTINE_TYPE


async def program(ch: Chooser, world: World, steps: int) -> None:
    for step in range(steps):
        where, call = build_call(ch, world)
        result = check(world, where, call)
        if is_module_coroutine(result):
            world.coroutines.append(result)
            drive(ch, world, result, where)
        if ch.count(1):
            await asyncio.sleep(0)  # let workers that were started take steps


def run_program(ch: Chooser, steps: int) -> list[str]:
    """Runs one program on a fresh loop and cleans up after it; returns what
    went wrong."""
    world = World()
    loop = asyncio.new_event_loop()
    handler_calls: list[dict[str, Any]] = []
    loop.set_exception_handler(lambda _loop, context: handler_calls.append(context))
    tasks: list[asyncio.Task[Any]] = []

    def factory(loop: asyncio.AbstractEventLoop, coro: Any, **kwargs: Any) -> asyncio.Task[Any]:
        task = asyncio.Task(coro, loop=loop, **kwargs)
        tasks.append(task)
        return task

    loop.set_task_factory(factory)
    try:
        loop.run_until_complete(loop.create_task(program(ch, world, steps), name="program"))
    finally:
        # Also when the program was cut short (Hypothesis stops an example by
        # raising from a draw): whatever it started is cancelled and finished,
        # every coroutine it made is closed.
        try:
            for _ in range(3):
                pending = [t for t in tasks if not t.done()]
                for task in pending:
                    task.cancel()
                if pending:
                    loop.run_until_complete(asyncio.wait(pending))
            for task in tasks:
                if not task.cancelled() and task.exception() is not None:
                    error = task.exception()
                    if not isinstance(error, Exception) and task.get_name() != "program":
                        world.fail(f"task {task.get_name()} ended with {error!r}")
            for coroutine in world.coroutines:
                check(world, "close", coroutine.close)
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            loop.close()
    world.failures += [f"exception handler: {c.get('message')}" for c in handler_calls]
    return world.failures


def run_guarded(ch: Chooser, steps: int) -> list[str]:
    """`run_program` with the never-awaited warning and unraisable exceptions
    reported as failures."""
    unraisable: list[str] = []
    saved = sys.unraisablehook
    sys.unraisablehook = lambda info: unraisable.append(f"{info.err_msg}: {info.exc_value!r}")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            failures = run_program(ch, steps)
            gc.collect()
    finally:
        sys.unraisablehook = saved
    # Coroutines made only to be passed as arguments may be dropped unstarted
    # by an operation that fails first; every one of them is closed above.
    failures += [f"warning: {w.message}" for w in caught]
    return failures + [f"unraisable: {text}" for text in unraisable]


# `make stress` (STRESS_FULL=1) runs many more examples and programs.
FULL = os.environ.get("STRESS_FULL") == "1"
LONG_RUN = settings(max_examples=1000) if FULL else (lambda test: test)
REPLAY_PROGRAMS = 1000 if FULL else 60


@LONG_RUN
@given(st.data())
def test_every_operation_with_hostile_arguments(data: Any) -> None:
    failures = run_guarded(DrawChooser(data), steps=data.draw(st.integers(1, 6)))
    assert not failures, failures


def test_hostile_programs_leak_nothing() -> None:
    def rounds(seed: int) -> list[str]:
        rng = random.Random(seed)
        failures: list[str] = []
        for _ in range(REPLAY_PROGRAMS):
            failures += run_program(RandomChooser(rng), steps=6)
        return failures

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert rounds(99) == []
        gc.collect()
        deltas = []
        for _ in range(2):
            before = sys.getallocatedblocks()
            assert rounds(99) == []
            gc.collect()
            deltas.append(sys.getallocatedblocks() - before)
    print(f"[leaks] {REPLAY_PROGRAMS} hostile programs: {min(deltas):+d} blocks (runs {deltas})")
    assert min(deltas) <= 64, deltas

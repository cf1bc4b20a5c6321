"""The module's coroutine, coroutine-wrapper and generator objects.

Most cases drive `pool._update_status(report)` by hand: its body awaits exactly
what the status callback returns (source line 414), so a test chooses what the
coroutine awaits.
"""

from __future__ import annotations

import asyncio
import gc
import inspect
import logging
import pickle
import sys
import traceback
import types
import typing
import warnings
import weakref

import pytest

from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

MODULE = "zorvic.core.worker_pool"


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


class Report:
    """What `_update_status` needs of a record: a task id (not an active one)."""

    task_id = "nobody"


class Steps:
    """An awaitable whose iterator yields `n` times, then returns `result`; it
    records what it is sent, thrown and whether it was closed."""

    def __init__(self, n=1, result=None):
        self.n, self.result, self.log = n, result, []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        self.log.append("next")
        return self._step()

    def send(self, value):
        self.log.append(("send", value))
        return self._step()

    def throw(self, *args):
        self.log.append(("throw", args))
        raise args[0] if isinstance(args[0], BaseException) else args[0]()

    def close(self):
        self.log.append("close")

    def _step(self):
        if self.n:
            self.n -= 1
            return "tick"
        raise StopIteration(self.result)


class Plain:
    """An awaitable whose iterator is a plain list iterator: no send, throw or close."""

    def __await__(self):
        return iter(["a", "b"])


class BadAwait:
    def __init__(self, error):
        self.error = error

    def __await__(self):
        raise self.error


def finished(coro):
    coro.close()
    return coro


def driven(awaitable):
    """An unstarted `_update_status` coroutine whose only await is on `awaitable`."""
    return WorkerPool(on_status_change=lambda status: awaitable)._update_status(Report())


async def drain():
    """Runs until every other task has finished."""
    current = asyncio.current_task()
    while pending := [t for t in asyncio.all_tasks() if t is not current and not t.done()]:
        await asyncio.wait(pending)


def unraisables(action):
    seen = []
    old, sys.unraisablehook = sys.unraisablehook, lambda u: seen.append(u.exc_value)
    try:
        action()
        gc.collect()
    finally:
        sys.unraisablehook = old
    return seen


ASYNC_OPERATIONS = [
    ("submit", (WorkerTask(),), 171),
    ("submit_many", ([],), 200),
    ("cancel", ("x",), 204),
    ("cancel_all", (), 218),
    ("wait_for", ("x", 0), 277),
    ("wait_all", (None, 0), 302),
    ("cleanup", (), 323),
    ("_run_worker", (WorkerTask(),), 332),
    ("_update_status", (Report(),), 409),
]


# ---------------------------------------------------------------- the objects


@pytest.mark.parametrize(("name", "args", "line"), ASYNC_OPERATIONS)
def test_attributes_of_a_new_coroutine(name, args, line):
    pool = WorkerPool(executor=lambda task, update, deadline: None)
    coro = getattr(pool, name)(*args)
    assert type(coro).__name__ == "coroutine"
    assert (coro.__name__, coro.__qualname__, coro.__module__) == (name, "WorkerPool." + name, MODULE)
    assert coro.cr_code is getattr(WorkerPool, name).__code__
    assert coro.cr_code.co_firstlineno == line
    assert (coro.cr_running, coro.cr_await) == (False, None)
    frame = coro.cr_frame
    assert frame is coro.cr_frame and frame.f_code is coro.cr_code
    assert asyncio.iscoroutine(coro) and not hasattr(coro, "__next__") and not hasattr(coro, "__iter__")
    assert weakref.ref(coro)() is coro
    coro.close()
    assert pool._total_submitted == 0  # no statement of the body ran


def test_types_refuse_creation_and_pickling():
    coro = WorkerPool().cancel_all()
    wrapper = coro.__await__()
    for obj, type_name in [(coro, "coroutine"), (wrapper, "coroutine_wrapper")]:
        assert type(obj).__name__ == type_name
        with pytest.raises(TypeError):
            type(obj)()
        message = f"cannot pickle '{type_name}' object"
        for dump in (pickle.dumps, lambda o: o.__reduce__(), lambda o: o.__reduce_ex__(2)):
            with pytest.raises(TypeError, match=message):
                dump(obj)
    coro.close()


def test_names_are_writable_with_str_only():
    coro = WorkerPool().cancel_all()
    for attr in ("__name__", "__qualname__"):
        for bad in (1, None):
            with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
                setattr(coro, attr, bad)
        with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
            delattr(coro, attr)
        setattr(coro, attr, "renamed")
        assert getattr(coro, attr) == "renamed"
    coro.__module__ = 5
    assert coro.__module__ == 5
    coro.close()


def test_everything_is_dropped_when_finished():
    coro = WorkerPool().cancel_all()
    coro.cr_frame
    assert asyncio.run(coro) == 0
    assert [coro.__name__, coro.__qualname__, coro.__module__, coro.cr_code, coro.cr_frame, coro.cr_await] == [None] * 6
    for again in (lambda: coro.send(None), lambda: coro.throw(KeyError)):
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            again()
    assert coro.close() is None


# ---------------------------------------------------------------- starting and finalizing


def test_dropping_an_unstarted_coroutine_warns():
    coro = WorkerPool().submit(WorkerTask())
    with pytest.warns(RuntimeWarning) as record:
        del coro
        gc.collect()
    assert [str(w.message) for w in record] == ["coroutine 'WorkerPool.submit' was never awaited"]
    coro = WorkerPool().cancel_all()
    coro.__qualname__ = "q" * 60
    with pytest.warns(RuntimeWarning, match=f"^coroutine '{'q' * 50}' was never awaited$"):
        del coro
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        seen = unraisables(lambda: WorkerPool().cancel_all())
    assert [type(e) for e in seen] == [RuntimeWarning]


@pytest.mark.parametrize("end", ["send 1", "close", "throw"])
def test_ending_an_unstarted_coroutine(end):
    coro = WorkerPool().cancel_all()
    if end == "close":
        assert coro.close() is None
    elif end == "throw":
        with pytest.raises(KeyError) as info:
            coro.throw(KeyError("k"))
        assert entries(info.value)[-1] == ("cancel_all", 218)
    else:
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$") as info:
            coro.send(1)
        assert entries(info.value)[-1] == ("cancel_all", 218)
    assert coro.cr_code is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no "never awaited" warning
        del coro
        gc.collect()


def test_finalizing_a_suspended_coroutine_closes_it():
    steps = Steps(3)
    coro = driven(steps)
    coro.send(None)
    del coro
    gc.collect()
    assert steps.log[-1] == "close"

    class BadClose(Steps):
        def close(self):
            raise KeyError("close")

    def drop():
        coro = driven(BadClose(3))
        coro.send(None)

    assert [type(e) for e in unraisables(drop)] == [KeyError]


def test_cycles_through_the_scope_are_collected():
    steps = Steps(5)
    report = Report()
    coro = WorkerPool(on_status_change=lambda status: steps)._update_status(report)  # noqa: F821 (deleted below, read before)
    report.coro = coro  # the scope holds the report, the report the coroutine
    steps.coro = coro  # and so does what it awaits
    coro.send(None)
    alive, log = weakref.ref(coro), steps.log
    del coro, report, steps
    gc.collect()
    assert alive() is None and log[-1] == "close"


# ---------------------------------------------------------------- resumption


def test_send_delegates_to_the_awaited_iterator():
    steps = Steps(2, result="ignored")
    coro = driven(steps)
    assert coro.send(None) == "tick"
    assert coro.cr_await is steps
    assert coro.send("value") == "tick"
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value is None
    assert steps.log == ["next", ("send", "value"), "next"]


def test_wrapper_drives_the_coroutine():
    coro = driven(Steps(1))
    wrapper = coro.__await__()
    assert iter(wrapper) is wrapper
    assert next(wrapper) == "tick"
    with pytest.raises(StopIteration):
        next(wrapper)
    assert wrapper.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        wrapper.send(None)


def test_reentrant_resumption():
    holder = []

    class Reenter(Steps):
        def __next__(self):
            coro = holder[0]
            assert coro.cr_running
            for action in (lambda: coro.send(None), lambda: coro.throw(KeyError), coro.close):
                with pytest.raises(ValueError, match="^coroutine already executing$"):
                    action()
            return "tick"

    holder.append(driven(Reenter()))
    assert holder[0].send(None) == "tick"
    assert not holder[0].cr_running
    holder[0].close()


def test_own_coroutines_are_awaited_directly():
    steps = Steps(3, result="inner")
    inner = driven(steps)
    outer = driven(inner)
    assert outer.send(None) == "tick"
    assert outer.cr_await is inner and inner.cr_await is steps
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$") as info:
        driven(inner).send(None)
    assert entries(info.value)[-1] == ("_update_status", 414)
    with pytest.raises(KeyError):
        outer.throw(KeyError)
    assert steps.log[-1] == ("throw", (KeyError,))
    assert inner.cr_code is None and outer.cr_code is None


def test_stop_iteration_leaving_a_body():
    class Faulty:
        @property
        def task_id(self):
            raise StopIteration("from the body")

    coro = WorkerPool()._update_status(Faulty())
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        coro.send(None)
    assert isinstance(info.value.__cause__, StopIteration)
    assert entries(info.value)[-1] == ("_update_status", 411)


# ---------------------------------------------------------------- awaiting inside a body


@pytest.mark.parametrize(
    ("awaited", "message"),
    [
        (None, "^object NoneType can't be used in 'await' expression$"),
        (types.SimpleNamespace(), "^object types.SimpleNamespace can't be used in 'await' expression$"),
        (BadAwait(ValueError("inner")), "^'async for' received an invalid object from __anext__: BadAwait$"),
        (types.SimpleNamespace(__await__=lambda: 5), "^__await__\\(\\) returned non-iterator of type 'int'$"),
        (
            types.SimpleNamespace(__await__=lambda: finished(WorkerPool().cleanup())),
            "^__await__\\(\\) returned a coroutine$",
        ),
    ],
)
def test_awaiting_what_cannot_be_awaited(awaited, message):
    with pytest.raises(TypeError, match=message) as info:
        driven(awaited).send(None)
    assert entries(info.value)[-1] == ("_update_status", 414)
    if isinstance(awaited, BadAwait):
        assert info.value.__cause__ is awaited.error and info.value.__context__ is awaited.error


@pytest.mark.parametrize("error", [asyncio.CancelledError(), KeyboardInterrupt(), SystemExit(2), GeneratorExit()])
def test_await_slot_errors_that_are_not_exceptions_pass_unchanged(error):
    with pytest.raises(BaseException) as info:
        driven(BadAwait(error)).send(None)
    assert info.value is error and info.value.__cause__ is None


@pytest.mark.parametrize(
    ("error", "state", "text"),
    [
        (asyncio.CancelledError(), WorkerState.CANCELLED, "Cancelled by user"),
        (ValueError("bad"), WorkerState.FAILED, "'async for' received an invalid object from __anext__: BadAwait"),
    ],
)
def test_await_slot_errors_in_a_worker(run, error, state, text):
    async def scenario():
        pool = WorkerPool(executor=lambda task, update, deadline: BadAwait(error))
        status = await pool.submit(WorkerTask())
        await drain()
        return status

    status = run(scenario)
    assert (status.state, status.error) == (state, text)


def test_iterable_coroutines_are_used_directly():
    @types.coroutine
    def legacy():
        return (yield "legacy")

    coro = driven(legacy())
    assert coro.send(None) == "legacy"
    with pytest.raises(StopIteration):
        coro.send("sent back")


# ---------------------------------------------------------------- throw and close


def test_throw_delegates_with_the_arguments_given():
    steps = Steps(3)
    coro = driven(steps)
    coro.send(None)
    error = KeyError("k")
    with pytest.raises(KeyError) as info:
        coro.throw(KeyError, error, None)
    assert steps.log[-1] == ("throw", (KeyError, error, None))
    assert ("_update_status", 414) in entries(info.value)


def test_throw_without_a_throw_method_raises_in_the_body():
    coro = driven(Plain())
    assert coro.send(None) == "a"
    with pytest.raises(KeyError) as info:
        coro.throw(KeyError("k"))
    assert entries(info.value)[-1] == ("_update_status", 414)


def test_throw_generator_exit_closes_the_awaited_object():
    steps = Steps(3)
    coro = driven(steps)
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert steps.log[-1] == "close" and coro.cr_code is None


class NotAnException(Exception):
    def __new__(cls, *args):
        return 5


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((KeyError, None, 5), "^raise: arg 3 must be a traceback or None$"),
        ((KeyError("x"), 1), "^instance exception may not have a separate value$"),
        ((5,), "^raise: exception class must be a subclass of BaseException$"),
        ((NotAnException,), "^calling .* should have returned an instance of BaseException, not <class 'int'>$"),
    ],
)
def test_bad_throw_arguments(args, message):
    coro = driven(Plain())
    coro.send(None)
    with pytest.raises(TypeError, match=message):
        coro.throw(*args)
    assert coro.send(None) == "b"  # still suspended where it was
    coro.close()


@pytest.mark.parametrize(
    ("args", "expected"),
    [((KeyError,), ()), ((KeyError, "v"), ("v",)), ((KeyError, ("a", "b")), ("a", "b"))],
)
def test_throw_builds_the_exception(args, expected):
    coro = WorkerPool().cancel_all()
    with pytest.raises(KeyError) as info:
        coro.throw(*args)
    assert info.value.args == expected


def test_close_suspended():
    steps = Steps(3)
    coro = driven(steps)
    coro.send(None)
    assert coro.close() is None
    assert steps.log[-1] == "close" and coro.cr_code is None

    class BadClose(Steps):
        def close(self):
            raise KeyError("close")

    coro = driven(BadClose(3))
    coro.send(None)
    with pytest.raises(KeyError, match="close"):
        coro.close()

    class BadLookup(Steps):
        @property
        def close(self):
            raise KeyError("lookup")

    coro = driven(BadLookup(3))
    coro.send(None)
    result = []
    assert [type(e) for e in unraisables(lambda: result.append(coro.close()))] == [KeyError]
    assert result == [None]


# ---------------------------------------------------------------- handled-exception state


def test_the_callers_handled_exception_is_kept():
    coro = driven(Steps(1))
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert coro.send(None) == "tick"
        assert sys.exc_info()[1] is outer
        with pytest.raises(StopIteration):
            coro.send(None)
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)


def test_handlers_inside_a_body_see_their_exception(run):
    seen = {}
    error = ValueError("boom")

    class Capture(logging.Handler):
        def emit(self, record):
            seen.setdefault("log", sys.exc_info()[1])

    async def executor(task, update, *, deadline):
        seen["executor"] = sys.exc_info()[1]
        raise error

    async def callback(status):
        if status.state == WorkerState.FAILED:
            seen["final broadcast"] = sys.exc_info()[1]

    async def scenario():
        pool = WorkerPool(executor=executor, on_status_change=callback)
        await pool.submit(WorkerTask())
        await drain()

    handler = Capture(logging.ERROR)
    logging.getLogger("zorvic.worker_pool").addHandler(handler)
    try:
        run(scenario)
    finally:
        logging.getLogger("zorvic.worker_pool").removeHandler(handler)
    assert seen == {"executor": None, "log": error, "final broadcast": None}


# ---------------------------------------------------------------- the generator of stats()


def capture_counting_generators(act):
    """Runs stats() over one record whose state calls `act(generator)` from
    inside the running counting generator; returns the generators seen."""
    seen = []

    class State:
        __hash__ = None

        def __eq__(self, other):
            [generator] = [o for o in gc.get_referrers(record) if type(o).__name__ == "generator"]
            seen.append(generator)
            act(generator)
            return False

    record = types.SimpleNamespace(state=State())
    pool = WorkerPool()
    pool._active = {"a": record}
    assert pool.stats()["active_count"] == 0
    return seen


def test_counting_generators():
    def while_running(gen):
        assert (gen.gi_running, gen.gi_yieldfrom) == (True, None)
        assert (inspect.getgeneratorstate(gen), gen.gi_suspended) == ("GEN_RUNNING", False)
        assert (gen.__name__, gen.__qualname__, gen.__module__) == (
            "genexpr",
            "WorkerPool.stats.<locals>.genexpr",
            MODULE,
        )
        assert gen.gi_code.co_firstlineno in (260, 264) and gen.gi_frame.f_code is gen.gi_code
        for action in (lambda: next(gen), lambda: gen.send(None), lambda: gen.throw(KeyError), gen.close):
            with pytest.raises(ValueError, match="^generator already executing$"):
                action()

    gens = capture_counting_generators(while_running)
    assert len(gens) == 2 and gens[0] is not gens[1]
    gen = gens[0]
    assert iter(gen) is gen and gen.__name__ is None and gen.gi_code is None
    assert (inspect.getgeneratorstate(gen), gen.gi_suspended) == ("GEN_CLOSED", False)
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(StopIteration):
        gen.send(None)
    with pytest.raises(KeyError):
        gen.throw(KeyError)
    assert gen.close() is None
    with pytest.raises(TypeError, match="^cannot pickle 'generator' object$"):
        pickle.dumps(gen)
    assert not hasattr(type(gen), "__await__")


def test_error_leaving_a_counting_generator():
    def fail(gen):
        raise KeyError("state")

    with pytest.raises(KeyError) as info:
        capture_counting_generators(fail)
    found = entries(info.value)
    assert found.index((f"{MODULE}.WorkerPool.stats", 259)) + 1 == found.index(("genexpr", 260))


# ---------------------------------------------------------------- asyncio


def test_asyncio_drives_coroutines(run):
    log = []

    async def slow(status):
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            log.append("cancelled")
            raise

    async def scenario():
        pool, idle = WorkerPool(on_status_change=slow), WorkerPool()
        results = await asyncio.gather(idle.cancel_all(), idle._update_status(Report()), asyncio.sleep(0, "n"))
        assert results == [0, None, "n"]
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(pool._update_status(Report()), 0.01)
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await pool._update_status(Report())
        async with asyncio.TaskGroup() as group:
            first = group.create_task(idle.cancel_all())
            second = group.create_task(idle._update_status(Report()))
        assert (first.result(), second.result()) == (0, None)
        task = asyncio.create_task(pool._update_status(Report()))
        await asyncio.sleep(0)
        assert [frame.f_code.co_name for frame in task.get_stack()] == ["_update_status"]
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task.cancelled()

    assert run(scenario) is True
    assert log == ["cancelled"] * 3


def test_no_references_left_behind(run):
    async def callback(status):
        await asyncio.sleep(0)

    async def executor(task, update, *, deadline):
        await update(WorkerStatus(task_id="elsewhere", state=WorkerState.RUNNING))
        return "done"

    def by_hand():
        for end in ("close", "drop", "throw"):
            coro = driven(Steps(2))
            coro.send(None)
            if end == "close":
                coro.close()
            elif end == "throw":
                with pytest.raises(KeyError):
                    coro.throw(KeyError)
            del coro
        with pytest.raises(TypeError):
            driven(BadAwait(ValueError())).send(None)
        report = Report()
        report.coro = WorkerPool()._update_status(report)
        report.coro.close()
        WorkerPool().cancel_all().close()

    async def cycles(n):
        for _ in range(n):
            pool = WorkerPool(executor=executor, on_status_change=callback)  # its history grows
            status = await pool.submit(WorkerTask())
            await drain()
            assert status.state == WorkerState.COMPLETED
            assert await pool.cancel_all() == 0
            by_hand()
            pool.stats()
        gc.collect()
        return sys.getrefcount(executor), sys.getrefcount(callback), sys.getallocatedblocks()

    run(cycles, 20)
    before = run(cycles, 20)
    after = run(cycles, 200)
    assert after[:2] == before[:2]
    assert after[2] - before[2] < 100


# ---------------------------------------------------------------- the types seen by tools


def test_types_have_a_string_module_while_instances_keep_their_own():
    pool = WorkerPool()
    coro = pool.cancel_all()
    generator = capture_counting_generators(lambda gen: None)[0]
    for obj in (WorkerPool.submit, coro, coro.__await__(), generator):
        assert type(obj).__module__ == MODULE
    assert (WorkerPool.submit.__module__, coro.__module__, coro.__await__().__module__) == (MODULE,) * 3
    coro.__module__ = "elsewhere"
    assert (coro.__module__, type(coro).__module__) == ("elsewhere", MODULE)
    assert repr(typing.Callable[[type(coro)], None]) == f"typing.Callable[[{MODULE}.coroutine], NoneType]"
    with pytest.raises(pickle.PicklingError, match=f"attribute lookup coroutine on {MODULE} failed"):
        pickle.dumps(type(coro))
    # IPython shows the value of an expression such as `pool.cancel_all()`
    formatter = pytest.importorskip("IPython.core.formatters").PlainTextFormatter()
    assert formatter(coro).startswith(f"<{MODULE}.coroutine at 0x")
    coro.close()

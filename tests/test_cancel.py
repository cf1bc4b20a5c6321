"""Cancellation and clean-up: cancel, cancel_all, cleanup."""

from __future__ import annotations

import asyncio
import gc
import logging
import traceback
import warnings

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

LOGGER = "zorvic.worker_pool"


class Gates:
    """An executor whose workers run until their own gate opens."""

    def __init__(self) -> None:
        self.events: dict[str, asyncio.Event] = {}

    def gate(self, task_id):
        return self.events.setdefault(task_id, asyncio.Event())

    def open_all(self):
        for event in self.events.values():
            event.set()

    async def __call__(self, task, update, *, deadline):
        await self.gate(task.id).wait()
        return "done"


class Callback:
    """A status callback that records (id, state, completed_at, error) and can fail."""

    def __init__(self) -> None:
        self.calls = []
        self.fail_for: set[str] = set()  # ids whose CANCELLED broadcasts raise
        self.on_cancelled = None

    async def __call__(self, status):
        self.calls.append((status.task_id, status.state, status.completed_at, status.error))
        if status.state == WorkerState.CANCELLED:
            if status.task_id in self.fail_for:
                raise LookupError("callback failed for " + status.task_id)
            if self.on_cancelled:
                await self.on_cancelled(status)


async def settle(rounds: int = 20) -> None:
    for _ in range(rounds):
        await asyncio.sleep(0)


class FakeTask:
    """Stands in for a worker's asyncio task: counts cancel() calls."""

    def __init__(self) -> None:
        self.cancels = 0

    def cancel(self):
        self.cancels += 1
        return "ignored"


def _status(task_id="x"):
    return WorkerStatus(task_id=task_id, state=WorkerState.RUNNING)


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER]


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture(autouse=True)
def info_logs(caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)


async def start(pool, count):
    tasks = [WorkerTask(name=f"w{i}") for i in range(count)]
    for task in tasks:
        await pool.submit(task)
    await settle()
    return tasks


# ---------------------------------------------------------------- cancel


def test_cancel_unknown_id(caplog):
    pool = WorkerPool(executor=Gates())
    assert asyncio.run(pool.cancel("never")) is False
    assert messages(caplog) == []


@pytest.mark.parametrize("with_callback", [False, True], ids=["no_callback", "callback"])
def test_cancel_a_running_worker(run, caplog, with_callback):
    async def scenario():
        gates, callback = Gates(), Callback()
        pool = WorkerPool(max_workers=1, executor=gates, on_status_change=callback if with_callback else None)
        (task,) = await start(pool, 1)
        status, worker = pool._active[task.id], pool._tasks[task.id]
        assert status.state == WorkerState.RUNNING
        caplog.clear()

        assert await pool.cancel(task.id) is True
        # marked and moved at once, before the worker has noticed anything
        assert status.state == WorkerState.CANCELLED and status.completed_at > 0
        assert status.error is None
        assert pool.get_status(task.id) is status is pool._completed[-1]
        assert task.id not in pool._active and task.id not in pool._tasks
        if with_callback:
            assert callback.calls[-1] == (task.id, WorkerState.CANCELLED, status.completed_at, None)
        assert await pool.cancel(task.id) is False

        await settle()
        assert worker.done() and not worker.cancelled()  # the worker absorbed it
        assert status.error == "Cancelled by user" and status.current_step == "Cancelled"
        assert pool._total_failed == 1 and pool._total_completed == 0
        assert pool._completed.count(status) == 1
        if with_callback:
            assert [c[1] for c in callback.calls] == ["queued", "running", "cancelled", "cancelled"]
        assert messages(caplog) == [f"Worker cancelled: {task.id}", f"Worker {task.id} was cancelled by user"]

        # the slot came back: a new worker runs to the end
        later = WorkerTask()
        gates.gate(later.id).set()
        await pool.submit(later)
        await settle()
        assert pool.get_status(later.id).state == WorkerState.COMPLETED

    run(scenario)


@pytest.mark.parametrize("with_callback", [False, True], ids=["no_callback", "callback"])
def test_cancel_a_queued_worker(run, with_callback):
    async def scenario():
        gates, callback = Gates(), Callback()
        pool = WorkerPool(max_workers=1, executor=gates, on_status_change=callback if with_callback else None)
        first, second = await start(pool, 2)
        status, worker = pool._active[second.id], pool._tasks[second.id]
        assert status.state == WorkerState.QUEUED

        assert await pool.cancel(second.id) is True
        await settle()
        assert worker.cancelled()
        assert status.state == WorkerState.CANCELLED and status.error is None
        assert status.current_step == "" and status.started_at == 0.0
        assert pool._completed == [status]
        assert (pool._total_failed, pool._total_completed) == (0, 0)

        gates.gate(first.id).set()
        await settle()
        assert pool._active == {} and pool._tasks == {}
        assert not pool._semaphore.locked()
        assert pool._total_completed == 1

    run(scenario)


def test_cancel_before_the_worker_runs(run):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(executor=gates)
        task = WorkerTask()
        status = await pool.submit(task)
        worker = pool._tasks[task.id]
        assert await pool.cancel(task.id) is True
        await settle()
        assert status.state == WorkerState.CANCELLED and pool._completed == [status]
        if run.kind == "eager":  # the worker had reached its executor inside submit
            assert not worker.cancelled() and pool._total_failed == 1
        else:  # none of its body ran
            assert worker.cancelled() and pool._total_failed == 0
            assert status.started_at == 0.0 and gates.events == {}

    run(scenario)


def test_cancel_tracked_but_not_active(caplog):
    pool = WorkerPool()
    task = pool._tasks["x"] = FakeTask()
    assert asyncio.run(pool.cancel("x")) is True
    assert asyncio.run(pool.cancel(task_id="x")) is True
    assert task.cancels == 2 and "x" in pool._tasks and pool._completed == []
    assert messages(caplog) == ["Worker cancelled: x"] * 2


class StrId(str):
    pass


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda p: p.cancel(None), r"expected str, got NoneType"),
        (lambda p: p.cancel(5), r"expected str, got int"),
        (lambda p: p.cancel(StrId("x")), r"expected str, got StrId"),
        (lambda p: p.cleanup(None), r"cleanup\(\) takes exactly 1 positional argument \(2 given\)"),
    ],
)
def test_bad_arguments_fail_at_the_call(call, message):
    pool = WorkerPool()
    pool._tasks = None  # would fail if a body ran
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError, match=message):
            call(pool)
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, RuntimeWarning)]


def test_worker_moves_itself_while_cancel_is_suspended(run):
    async def scenario():
        callback = Callback()
        callback.on_cancelled = lambda status: settle()  # lets the worker run its handler
        pool = WorkerPool(executor=Gates(), on_status_change=callback)
        (task,) = await start(pool, 1)
        status = pool._active[task.id]
        assert await pool.cancel(task.id) is True
        assert pool._completed == [status] and status.error == "Cancelled by user"
        assert pool._active == {} and pool._tasks == {}

    run(scenario)


# ---------------------------------------------------------------- a failing callback


@pytest.mark.parametrize("phase", ["running", "queued"])
def test_callback_failing_inside_cancel(run, caplog, phase):
    async def scenario():
        gates, callback = Gates(), Callback()
        pool = WorkerPool(max_workers=1, executor=gates, on_status_change=callback)
        tasks = await start(pool, 2)
        victim = tasks[0] if phase == "running" else tasks[1]
        status = pool._active[victim.id]
        callback.fail_for.add(victim.id)
        caplog.clear()

        with pytest.raises(LookupError, match="callback failed") as info:
            await pool.cancel(victim.id)
        assert ("cancel", 212) in entries(info.value)
        assert status.state == WorkerState.CANCELLED and status.completed_at > 0
        assert pool._active[victim.id] is status and victim.id in pool._tasks
        assert messages(caplog) == []

        await settle()
        if phase == "running":
            # the worker's own end logged the failing final broadcast and moved it
            assert f"Failed to broadcast final status for {victim.id}: callback failed for {victim.id}" in (
                messages(caplog)
            )
        else:
            # the worker ended at its semaphore wait without touching anything
            assert pool._tasks[victim.id].cancelled()
            assert pool._active[victim.id] is status
            callback.fail_for.clear()
            assert await pool.cancel(victim.id) is True
        assert victim.id not in pool._active and victim.id not in pool._tasks
        assert pool._completed.count(status) == 1

        gates.open_all()
        await settle()

    run(scenario)


def test_cancel_all_stops_at_a_failing_callback(run):
    async def scenario():
        gates, callback = Gates(), Callback()
        pool = WorkerPool(executor=gates, on_status_change=callback)
        first, second, third = await start(pool, 3)
        callback.fail_for.add(second.id)
        third_worker = pool._tasks[third.id]

        with pytest.raises(LookupError) as info:
            await pool.cancel_all()
        assert ("cancel_all", 222) in entries(info.value) and ("cancel", 212) in entries(info.value)
        assert pool.get_status(first.id).state == WorkerState.CANCELLED
        assert pool._active[second.id].state == WorkerState.CANCELLED
        assert pool._active[third.id].state == WorkerState.RUNNING
        assert pool._tasks[third.id] is third_worker

        await settle()
        assert not third_worker.done()
        gates.open_all()
        await settle()
        assert pool.get_status(third.id).state == WorkerState.COMPLETED

    run(scenario)


def test_cleanup_with_a_failing_callback(run, caplog):
    async def scenario():
        gates, callback = Gates(), Callback()
        pool = WorkerPool(executor=gates, on_status_change=callback)
        (task,) = await start(pool, 1)
        callback.fail_for.add(task.id)
        with pytest.raises(LookupError) as info:
            await pool.cleanup()
        assert ("cleanup", 325) in entries(info.value)
        assert "WorkerPool cleaned up" not in messages(caplog)
        assert list(pool._active) == [task.id] and list(pool._tasks) == [task.id]
        await settle()

    run(scenario)


# ---------------------------------------------------------------- cancel_all


def test_cancel_all_on_an_empty_pool(caplog):
    pool = WorkerPool()
    assert asyncio.run(pool.cancel_all()) == 0
    assert messages(caplog) == []


def test_cancel_all_running_workers(run, caplog):
    async def scenario():
        pool = WorkerPool(executor=Gates())
        tasks = await start(pool, 3)
        caplog.clear()
        count = await pool.cancel_all()
        assert type(count) is int and count == 3
        assert messages(caplog) == [f"Worker cancelled: {t.id}" for t in tasks]
        assert [s.task_id for s in pool._completed] == [t.id for t in tasks]
        await settle()
        assert pool._total_failed == 3

    run(scenario)


def test_cancel_all_uses_the_instance_cancel_on_a_snapshot():
    class Custom(WorkerPool):
        seen = []

        async def cancel(self, task_id):
            self.seen.append(task_id)
            self._tasks["added-" + task_id] = None  # after the snapshot: not reached
            return {"a": 1, "b": 0, "c": "yes", "d": None}[task_id]

    pool = Custom()
    pool._tasks.update(a=None, b=None, c=None, d=None)
    assert asyncio.run(pool.cancel_all()) == 2
    assert Custom.seen == ["a", "b", "c", "d"]


# ---------------------------------------------------------------- cleanup


def test_cleanup_on_an_empty_pool(caplog):
    pool = WorkerPool()
    assert asyncio.run(pool.cleanup()) is None
    assert messages(caplog) == ["WorkerPool cleaned up"]


def test_cleanup_keeps_history_and_counters(run, caplog):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(executor=gates)
        done, *busy = await start(pool, 3)
        gates.gate(done.id).set()
        await settle()
        active, tasks, history = pool._active, pool._tasks, pool._completed
        caplog.clear()

        assert await pool.cleanup() is None
        assert pool._active is active == {} and pool._tasks is tasks == {}
        assert pool._completed is history
        assert [s.task_id for s in history] == [done.id] + [t.id for t in busy]
        assert messages(caplog)[-1] == "WorkerPool cleaned up"
        await settle()
        assert (pool._total_submitted, pool._total_completed, pool._total_failed) == (3, 1, 2)

        later = WorkerTask()
        gates.gate(later.id).set()
        await pool.submit(later)
        await settle()
        assert pool.get_status(later.id).state == WorkerState.COMPLETED
        assert pool._total_submitted == 4 and not pool._semaphore.locked()

    run(scenario)


def test_worker_submitted_while_cleanup_is_suspended(run):
    async def scenario():
        gates, callback = Gates(), Callback()
        pool = WorkerPool(executor=gates, on_status_change=callback)
        (task,) = await start(pool, 1)
        late, late_worker = WorkerTask(name="late"), []

        async def submit_late(status):
            callback.on_cancelled = None
            await pool.submit(late)
            late_worker.append(pool._tasks[late.id])

        callback.on_cancelled = submit_late
        await pool.cleanup()
        assert late_worker and (late.id, WorkerState.QUEUED) in [c[:2] for c in callback.calls]
        assert pool._active == {} and pool._tasks == {}
        assert pool.get_status(task.id).state == WorkerState.CANCELLED
        assert pool.get_status(late.id) is None

        gates.open_all()
        await settle()
        # not cancelled: it either found itself gone or ran to its end unseen
        assert late_worker[0].done() and not late_worker[0].cancelled()
        assert pool._total_failed == 1
        assert all(c[1] != WorkerState.CANCELLED for c in callback.calls if c[0] == late.id)

    run(scenario)


# ---------------------------------------------------------------- tracebacks


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def _returns_none(status):
    return None


def _pool(tasks=None, active=None, **fields):
    pool = WorkerPool()
    if tasks is not None:
        pool._tasks.update(tasks)
    if active is not None:
        pool._active.update(active)
    for name, value in fields.items():
        setattr(pool, name, value)
    return pool


class MoveFails(WorkerPool):
    def _move_to_completed(self, task_id):
        raise OSError("cannot move")


def _move_fails():
    pool = MoveFails()
    pool._tasks["x"] = FakeTask()
    pool._active["x"] = _status()
    return pool


class NoClear:
    def keys(self):
        return []


@pytest.mark.parametrize(
    ("make", "op", "error", "where"),
    [
        (lambda: _pool(_tasks=None), "cancel", TypeError, [("cancel", 206)]),
        (lambda: _pool({"x": object()}), "cancel", AttributeError, [("cancel", 207)]),
        (lambda: _pool({"x": FakeTask()}, _active=None), "cancel", TypeError, [("cancel", 208)]),
        (lambda: _pool({"x": FakeTask()}, {"x": (1,)}), "cancel", AttributeError, [("cancel", 209)]),
        (
            lambda: _pool({"x": FakeTask()}, {"x": _status()}, _on_status_change=Truthless()),
            "cancel",
            ZeroDivisionError,
            [("cancel", 211)],
        ),
        (_move_fails, "cancel", OSError, [("cancel", 213)]),
        (lambda: _pool(_tasks=None), "cancel_all", AttributeError, [("cancel_all", 221)]),
        (lambda: _pool(_active=None), "cleanup", AttributeError, [("cleanup", 326)]),
        (lambda: _pool(_tasks=NoClear()), "cleanup", AttributeError, [("cleanup", 327)]),
    ],
)
def test_failing_steps_report_their_lines(make, op, error, where):
    call = getattr(make(), op)
    with pytest.raises(error) as info:
        asyncio.run(call("x") if op == "cancel" else call())
    frames = traceback.extract_tb(info.value.__traceback__)
    assert [(f.name, f.lineno) for f in frames if f.filename == "zorvic/core/worker_pool.py"] == where


def test_callback_result_that_cannot_be_awaited():
    pool = _pool({"x": FakeTask()}, {"x": _status()}, _on_status_change=_returns_none)
    with pytest.raises(TypeError, match="^object NoneType can't be used in 'await' expression$") as info:
        asyncio.run(pool.cancel("x"))
    assert ("cancel", 212) in entries(info.value)
    assert pool._active["x"].state == WorkerState.CANCELLED and "x" in pool._tasks


@pytest.mark.parametrize(
    ("name", "op", "line"),
    [("WorkerState", "cancel", 209), ("time", "cancel", 210), ("logger", "cancel", 214), ("logger", "cleanup", 328)],
)
def test_missing_module_globals(monkeypatch, name, op, line):
    pool = _pool({"x": FakeTask()}, {"x": _status()}) if op == "cancel" else _pool()
    monkeypatch.delattr(wp, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined") as info:
        asyncio.run(pool.cancel("x") if op == "cancel" else pool.cleanup())
    assert (op, line) in entries(info.value)

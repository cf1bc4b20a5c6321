"""Status reporting, the completed history and the lives of workers."""

from __future__ import annotations

import asyncio
import gc
import logging
import sys
import traceback
import types

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

QUALIFIED = "zorvic.core.worker_pool.WorkerPool._run_worker"


class Interrupt(BaseException):
    """An error that is not an Exception (like KeyboardInterrupt, but harmless to asyncio)."""


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def pool_logs(caplog, level=logging.INFO):
    return [
        (r.levelno, r.getMessage()) for r in caplog.records if r.name == "zorvic.worker_pool" and r.levelno >= level
    ]


async def drain():
    """Run until every other task has finished."""
    current = asyncio.current_task()
    while pending := [t for t in asyncio.all_tasks() if t is not current and not t.done()]:
        await asyncio.wait(pending)


async def settle(rounds=20):
    for _ in range(rounds):
        await asyncio.sleep(0)


def record(task_id="t1", state=WorkerState.RUNNING):
    return WorkerStatus(task_id=task_id, state=state)


def seen_by(states):
    async def callback(status):
        states.append(status.state)

    return callback


# ---------------------------------------------------------------- _update_status


def test_update_status_stores_an_active_report_and_forwards_any():
    states = []
    pool = WorkerPool(on_status_change=seen_by(states))
    pool._active["t1"] = record()
    report, stray = record(state=WorkerState.COMPLETED), record("nope")
    assert asyncio.run(pool._update_status(report)) is None
    asyncio.run(pool._update_status(stray))
    assert pool._active == {"t1": report}
    assert states == [WorkerState.COMPLETED, WorkerState.RUNNING]


def test_update_status_without_callback_only_stores():
    pool = WorkerPool()
    pool._active["t1"] = record(state=WorkerState.QUEUED)
    asyncio.run(pool._update_status(report := record()))
    assert pool._active["t1"] is report


def test_update_status_failures_propagate():
    async def callback(status):
        raise ValueError("callback down")

    pool = WorkerPool(on_status_change=callback)
    pool._active["t1"] = record(state=WorkerState.QUEUED)
    with pytest.raises(ValueError, match="callback down"):
        asyncio.run(pool._update_status(report := record()))
    assert pool._active["t1"] is report  # stored before the broadcast
    with pytest.raises(AttributeError) as info:
        asyncio.run(pool._update_status(object()))
    assert ("_update_status", 411) in entries(info.value)


# ---------------------------------------------------------------- _move_to_completed


@pytest.mark.parametrize(("before", "after"), [(0, 1), (199, 200), (200, 100), (250, 100)])
def test_history_bound(before, after):
    pool = WorkerPool()
    history = [record(f"h{i}") for i in range(before)]
    pool._completed.extend(history)
    earlier = pool._completed
    pool._active["t1"] = moved = record()
    pool._tasks["t1"] = "task"
    assert pool._move_to_completed("t1") is None
    assert pool._completed[-1] is moved and len(pool._completed) == after
    assert pool._completed[:-1] == (history + [moved])[-after:-1]
    assert (pool._completed is earlier) == (after > 100 or before < 100)
    assert earlier[-1] is moved and pool._active == {} and pool._tasks == {}


def test_move_of_an_inactive_id_only_drops_the_task():
    pool = WorkerPool()
    pool._active["other"] = other = record("other")
    pool._tasks["t1"] = "task"
    for _ in range(2):
        pool._move_to_completed("t1")
    assert pool._active == {"other": other} and pool._completed == [] and pool._tasks == {}


# ---------------------------------------------------------------- outcomes


@pytest.mark.parametrize("timeout", [30.0, -1.0])  # -1: the deadline has passed already
def test_executor_returns(run, timeout):
    calls = []

    async def executor(task, update, **keywords):
        calls.append((task, update, keywords))
        await asyncio.sleep(0)
        return "answer"

    async def scenario():
        pool = WorkerPool(executor=executor)
        status = await pool.submit(task := WorkerTask(name="n", timeout=timeout))
        await drain()
        return pool, task, status

    pool, task, status = run(scenario)
    [(called_task, update, keywords)] = calls
    assert called_task is task and update.__self__ is pool and update.__name__ == "_update_status"
    assert list(keywords) == ["deadline"] and type(keywords["deadline"]) is float
    assert status.started_at + timeout <= keywords["deadline"] <= status.completed_at + timeout
    assert (status.state, status.result, status.error) == (WorkerState.COMPLETED, "answer", None)
    assert (status.progress_pct, status.current_step) == (100.0, "Done")
    assert status.duration == status.completed_at - status.started_at >= 0
    assert (pool._total_completed, pool._total_failed) == (1, 0)
    assert pool._completed == [status] and pool._active == {} and pool._tasks == {}
    assert pool._semaphore._value == 3


@pytest.mark.parametrize(
    ("error", "text"),
    [(ValueError("boom"), "boom"), (ValueError(), ""), (KeyError("k"), "'k'")],
)
def test_executor_raises(run, caplog, error, text):
    async def executor(task, update, *, deadline):
        await asyncio.sleep(0)
        raise error

    async def scenario():
        pool = WorkerPool(executor=executor)
        status = await pool.submit(WorkerTask())
        await drain()
        return pool, status

    with caplog.at_level(logging.INFO, logger="zorvic.worker_pool"):
        pool, status = run(scenario)
    assert (status.state, status.error, status.result) == (WorkerState.FAILED, text, None)
    assert status.current_step == "Failed: " + (text or "Unknown error")
    assert (pool._total_completed, pool._total_failed) == (0, 1) and pool._completed == [status]
    [failure] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert failure.getMessage() == f"Worker {status.task_id} failed: {text}"
    assert failure.exc_info[1] is error
    assert (QUALIFIED, 364) in entries(error)


@pytest.mark.parametrize(
    ("make", "text"),
    [
        (lambda: lambda task, update, deadline: "text", "object str can't be used in 'await' expression"),
        (lambda: lambda task, update, deadline: None, "object NoneType can't be used in 'await' expression"),
        (lambda: None, "'NoneType' object is not callable"),
    ],
)
def test_executor_that_cannot_be_awaited(run, make, text):
    async def scenario():
        pool = WorkerPool(executor=print)
        for _ in range(3):  # the worker waits until the executor is replaced
            await pool._semaphore.acquire()
        status = await pool.submit(WorkerTask())
        pool._executor = make()
        for _ in range(3):
            pool._semaphore.release()
        await drain()
        return pool, status

    pool, status = run(scenario)
    assert (status.state, status.error, pool._total_failed) == (WorkerState.FAILED, text, 1)


def test_bad_task_ends_failed_instead_of_running(run, caplog):
    called = []

    async def executor(task, update, *, deadline):
        called.append(task)

    async def scenario():
        pool = WorkerPool(executor=executor)
        task = WorkerTask()
        task.timeout = None
        status = await pool.submit(task)
        await drain()
        return pool, status

    pool, status = run(scenario)
    text = "unsupported operand type(s) for +: 'float' and 'NoneType'"
    assert (status.state, status.error, status.current_step) == (WorkerState.FAILED, text, "Failed: " + text)
    assert called == [] and pool._total_failed == 1 and pool._completed == [status]
    assert pool._active == {} and pool._semaphore._value == 3
    [failure] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert (QUALIFIED, 353) in entries(failure.exc_info[1])


def test_executor_reporting_its_own_record(run):
    seen, broadcast = [], []

    async def executor(task, update, *, deadline):
        report = WorkerStatus(
            task_id=task.id,
            state=WorkerState.RUNNING,
            name="renamed",
            model_used="m1",
            current_step="step 2",
            steps_completed=2,
            progress_pct=50.0,
        )
        await update(report)
        seen.append((box["pool"]._active[task.id], report))
        return "answer"

    async def callback(status):
        broadcast.append(status)

    async def scenario():
        pool = box["pool"] = WorkerPool(executor=executor, on_status_change=callback)
        status = await pool.submit(WorkerTask(name="first"))
        await drain()
        return pool, status

    box = {}
    pool, status = run(scenario)
    [(live, report)] = seen
    assert live is report and broadcast[-1] is status
    assert pool._completed == [status] and pool.get_status(status.task_id) is status
    assert (status.state, status.result, status.name, status.model_used) == (
        WorkerState.COMPLETED,
        "answer",
        "renamed",
        "m1",
    )
    assert (status.steps_completed, status.progress_pct, status.current_step) == (2, 100.0, "Done")
    assert report.state == WorkerState.RUNNING  # the report itself is left as the executor wrote it


def test_clock_readings(monkeypatch):
    readings = iter([100.0, 200.0, 300.0])
    monkeypatch.setattr(wp, "time", types.SimpleNamespace(time=lambda: next(readings)))
    deadlines = []

    async def executor(task, update, *, deadline):
        deadlines.append(deadline)
        return "x"

    pool = WorkerPool(executor=executor)
    task = WorkerTask(timeout=5.0)
    pool._active[task.id] = status = WorkerStatus(task_id=task.id, state=WorkerState.QUEUED)
    asyncio.run(pool._run_worker(task))
    # started_at, then a second reading for the deadline, then completed_at
    assert (status.started_at, deadlines, status.completed_at, status.duration) == (100.0, [205.0], 300.0, 200.0)


# ---------------------------------------------------------------- cancellation and other errors


def test_cancelled_inside_the_executor(run, caplog):
    async def scenario():
        started = asyncio.Event()

        async def executor(task, update, *, deadline):
            started.set()
            await asyncio.Event().wait()

        pool = WorkerPool(executor=executor)
        status = await pool.submit(WorkerTask())
        worker = pool._tasks[status.task_id]
        await started.wait()
        worker.cancel()
        await drain()
        return pool, status, worker

    with caplog.at_level(logging.INFO, logger="zorvic.worker_pool"):
        pool, status, worker = run(scenario)
    assert not worker.cancelled() and worker.exception() is None
    assert (status.state, status.error, status.current_step) == (
        WorkerState.CANCELLED,
        "Cancelled by user",
        "Cancelled",
    )
    assert status.progress_pct == 100.0 and (pool._total_completed, pool._total_failed) == (0, 1)
    assert (logging.INFO, f"Worker {status.task_id} was cancelled by user") in pool_logs(caplog)
    assert pool._completed == [status] and pool._semaphore._value == 3


@pytest.mark.parametrize("where", ["queued", "running broadcast", "final broadcast"])
def test_cancelled_outside_the_executor(run, where):
    """The cancellation ends the worker's task and the record is left as the pool had it."""
    calls = []

    async def scenario():
        hold = asyncio.Event()
        reached = asyncio.Event()
        blocking = {"running broadcast": WorkerState.RUNNING, "final broadcast": WorkerState.COMPLETED}

        async def executor(task, update, *, deadline):
            calls.append(task.id)
            if task.name == "blocker":
                await hold.wait()
            return "answer"

        async def callback(status):
            if status.name == "target" and status.state == blocking.get(where):
                reached.set()
                await asyncio.Event().wait()

        pool = WorkerPool(max_workers=1, executor=executor, on_status_change=callback)
        if where == "queued":
            await pool.submit(WorkerTask(name="blocker"))
        status = await pool.submit(WorkerTask(name="target"))
        worker = pool._tasks[status.task_id]
        if where == "queued":
            await settle()
        else:
            await reached.wait()
        worker.cancel()
        await settle()
        hold.set()
        await drain()
        return pool, status, worker

    pool, status, worker = run(scenario)
    assert worker.cancelled() and pool._semaphore._value == 1
    assert pool._active == {status.task_id: status}
    expected = {"queued": WorkerState.QUEUED, "running broadcast": WorkerState.RUNNING}
    assert status.state == expected.get(where, WorkerState.COMPLETED)
    assert (status.task_id in calls) == (where == "final broadcast")
    assert pool._tasks[status.task_id] is worker  # nothing took the finished task out


def test_error_that_is_not_an_exception(run, caplog):
    states = []

    async def executor(task, update, *, deadline):
        await asyncio.sleep(0)
        raise Interrupt("stop")

    async def scenario():
        pool = WorkerPool(executor=executor, on_status_change=seen_by(states))
        status = await pool.submit(WorkerTask())
        worker = pool._tasks[status.task_id]
        await drain()
        return pool, status, worker

    pool, status, worker = run(scenario)
    error = worker.exception()
    assert type(error) is Interrupt
    assert status.state == WorkerState.RUNNING and status.completed_at >= status.started_at > 0
    assert (status.progress_pct, status.current_step) == (0.0, "")
    assert states == [WorkerState.QUEUED, WorkerState.RUNNING, WorkerState.RUNNING]
    assert pool._completed == [status] and pool._active == {} and pool._semaphore._value == 3
    assert (pool._total_completed, pool._total_failed) == (0, 0)
    assert ("_run_worker", 364) in entries(error) and (QUALIFIED, 364) in entries(error)
    assert pool_logs(caplog, logging.ERROR) == []


@pytest.mark.parametrize("failing", [WorkerState.RUNNING, WorkerState.COMPLETED])
def test_failing_status_callback_inside_the_worker(run, caplog, failing):
    async def executor(task, update, *, deadline):
        return "answer"

    async def callback(status):
        if status.state == failing:
            raise ValueError("callback down")

    async def scenario():
        pool = WorkerPool(executor=executor, on_status_change=callback)
        status = await pool.submit(WorkerTask())
        await drain()
        return pool, status

    pool, status = run(scenario)
    assert status.state == WorkerState.COMPLETED and pool._completed == [status]
    errors = [r for r in caplog.records if r.levelno >= logging.ERROR]
    if failing == WorkerState.RUNNING:
        assert errors == []
    else:
        [error] = errors
        assert error.getMessage() == f"Failed to broadcast final status for {status.task_id}: callback down"
        assert error.exc_info is None


def test_failing_handler_raises_after_the_final_part(run, monkeypatch):
    class Logger:
        def info(self, message):
            pass

        def exception(self, message):
            raise RuntimeError("log down")

    async def executor(task, update, *, deadline):
        await asyncio.sleep(0)
        raise ValueError("boom")

    async def scenario():
        pool = WorkerPool(executor=executor)
        status = await pool.submit(WorkerTask())
        worker = pool._tasks[status.task_id]
        await drain()
        return pool, status, worker

    monkeypatch.setattr(wp, "logger", Logger())
    pool, status, worker = run(scenario)
    error = worker.exception()
    assert type(error) is RuntimeError and type(error.__context__) is ValueError
    assert ("_run_worker", 381) in entries(error)
    assert (status.state, status.current_step, pool._total_failed) == (WorkerState.FAILED, "Failed: boom", 1)
    assert pool._completed == [status] and pool._semaphore._value == 3


@pytest.mark.parametrize("suppress", [False, True])
def test_async_with_protocol(suppress):
    class Gate:
        def __init__(self):
            self.calls = []

        async def __aenter__(self):
            self.calls.append("enter")

        async def __aexit__(self, *exc_info):
            self.calls.append(exc_info)
            return suppress

    async def executor(task, update, *, deadline):
        raise Interrupt("stop") if task.name == "stop" else ValueError("boom")

    pool = WorkerPool(executor=executor)
    pool._semaphore = gate = Gate()
    gate.__aenter__ = None  # looked up on the type, as `async with` does
    for name in ("ok", "stop"):
        task = WorkerTask(name=name)
        pool._active[task.id] = WorkerStatus(task_id=task.id, state=WorkerState.QUEUED)
        try:
            asyncio.run(pool._run_worker(task))
        except Interrupt as error:
            assert not suppress and gate.calls[-1][:2] == (Interrupt, error)
    assert gate.calls[:2] == ["enter", (None, None, None)] and gate.calls[2] == "enter"
    assert gate.calls[3][0] is Interrupt and isinstance(gate.calls[3][2], types.TracebackType)


def test_inactive_worker_ends_at_once():
    pool = WorkerPool(executor=print)
    pool._semaphore = None  # never reached
    assert asyncio.run(pool._run_worker(WorkerTask())) is None
    assert (pool._total_completed, pool._total_failed, pool._completed) == (0, 0, [])


# ---------------------------------------------------------------- the limit


def test_concurrency_limit(run):
    async def scenario():
        running, peak, gates = set(), [], {}

        async def executor(task, update, *, deadline):
            running.add(task.id)
            peak.append(len(running))
            await gates.setdefault(task.id, asyncio.Event()).wait()
            running.discard(task.id)
            return task.id

        pool = WorkerPool(max_workers=2, executor=executor)
        records = await pool.submit_many([WorkerTask() for _ in range(5)])
        await settle()
        states = [r.state for r in records]
        assert states == [WorkerState.RUNNING] * 2 + [WorkerState.QUEUED] * 3
        while pool._active:
            for event in list(gates.values()):
                event.set()
            await settle()
        await drain()
        return records, max(peak)

    records, peak = run(scenario)
    assert peak == 2 and all(r.state == WorkerState.COMPLETED for r in records)
    for first, later in zip(records[:2], records[2:]):
        assert later.started_at >= first.completed_at


def test_no_references_left_behind():
    async def executor(task, update, *, deadline):
        await asyncio.sleep(0)
        if task.name == "fail":
            raise ValueError("boom")
        return "answer"

    async def cycles(pool, count):
        for _ in range(count):
            for name in ("ok", "fail", "ok"):
                await pool.submit(WorkerTask(name=name))
            await drain()
            pool._completed.clear()
            pool._all_tasks.clear()

    async def main():
        pool = WorkerPool(executor=executor)
        await cycles(pool, 2)
        gc.collect()
        before = sys.getrefcount(executor), sys.getallocatedblocks()
        await cycles(pool, 30)
        gc.collect()
        return before, (sys.getrefcount(executor), sys.getallocatedblocks())

    logger = logging.getLogger("zorvic.worker_pool")
    logger.disabled = True
    try:
        before, after = asyncio.run(main())
    finally:
        logger.disabled = False
    assert after[0] == before[0] and after[1] - before[1] < 100

"""Submission of single tasks and lists of tasks."""

from __future__ import annotations

import asyncio
import logging
import traceback
import types
import warnings

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerTask

NO_EXECUTOR = "No executor set \u2014 call set_executor() first"


async def forever(task, update, *, deadline):
    await asyncio.Event().wait()


async def instantly(task, update, *, deadline):
    return "answer"


async def drain():
    current = asyncio.current_task()
    while pending := [t for t in asyncio.all_tasks() if t is not current and not t.done()]:
        for t in pending:
            t.cancel()
        await asyncio.wait(pending)


class Str(str):
    pass


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def test_submit_records_and_starts_the_worker(run, caplog):
    async def scenario():
        pool = WorkerPool(max_workers=1, executor=forever)
        await pool.submit(WorkerTask(name="blocker"))
        task = WorkerTask(id="abc123def456")
        status = await pool.submit(task)
        worker = pool._tasks[task.id]
        result = pool, task, status, worker, worker.get_name(), dict(pool._active)
        await drain()
        return result

    with caplog.at_level(logging.INFO, logger="zorvic.worker_pool"):
        pool, task, status, _worker, worker_name, active = run(scenario)
    assert (status.task_id, status.state, status.name) == ("abc123def456", WorkerState.QUEUED, "Worker-abc123")
    assert active[task.id] is status and pool._all_tasks[task.id] is task
    assert worker_name == "worker-abc123def456" and pool._total_submitted == 2
    assert "Worker submitted:  (abc123def456)" in [r.getMessage() for r in caplog.records]


def test_named_task_and_eager_start(run):
    async def scenario():
        pool = WorkerPool(executor=forever)
        status = await pool.submit(WorkerTask(name="Research"))
        state = status.state
        await drain()
        return status, state

    status, state = run(scenario)
    assert status.name == "Research"
    # With an eager task factory the worker has run up to its executor already.
    assert state == (WorkerState.RUNNING if run.kind == "eager" else WorkerState.QUEUED)


@pytest.mark.parametrize("executor", [None, 0, ""])
def test_submit_without_executor(executor):
    pool = WorkerPool(executor=executor)
    with pytest.raises(RuntimeError) as info:
        asyncio.run(pool.submit(WorkerTask()))
    assert str(info.value) == NO_EXECUTOR and ("submit", 174) in entries(info.value)
    assert (pool._total_submitted, pool._all_tasks, pool._active, pool._tasks) == (0, {}, {}, {})


@pytest.mark.parametrize(("task_id", "type_name"), [(7, "int"), (None, "NoneType"), (Str("x"), "Str")])
def test_task_id_must_be_an_exact_str(task_id, type_name):
    pool = WorkerPool(executor=instantly)
    with pytest.raises(TypeError) as info:
        asyncio.run(pool.submit(WorkerTask(id=task_id)))
    error = info.value
    assert str(error) == f"Argument 'task_id' has incorrect type (expected str, got {type_name})"
    assert bool(getattr(error, "__notes__", None)) == (type_name == "Str")
    assert (pool._total_submitted, pool._all_tasks, pool._active, pool._tasks) == (0, {}, {}, {})


def test_submit_reads_the_task_in_order():
    reads = []

    class Task:
        def __getattr__(self, name):
            raise AttributeError(name)

        def __getattribute__(self, name):
            reads.append(name)
            values = {"id": "abcdefgh", "name": ""}
            return values[name] if name in values else object.__getattribute__(self, name)

    async def scenario():
        pool = WorkerPool(executor=forever)
        await pool.submit(Task())
        reads.append("|")
        await drain()

    asyncio.run(scenario())
    submitted = reads[: reads.index("|")]
    assert submitted == ["id", "id", "id", "name", "id", "id", "id", "id", "name", "id"]


def test_broadcast_comes_before_the_worker_task():
    seen = []

    async def callback(status):
        seen.append((status.state, status.task_id in pool._active, status.task_id in pool._tasks))

    pool = WorkerPool(executor=instantly, on_status_change=callback)
    asyncio.run(pool.submit(WorkerTask()))
    assert seen[0] == (WorkerState.QUEUED, True, False)


def test_failing_broadcast_leaves_no_queued_record():
    async def callback(status):
        raise ValueError("callback down")

    pool = WorkerPool(executor=instantly, on_status_change=callback)
    task = WorkerTask()
    with pytest.raises(ValueError, match="callback down") as info:
        asyncio.run(pool.submit(task))
    assert ("submit", 188) in entries(info.value)
    assert (pool._total_submitted, pool._all_tasks, pool._active, pool._tasks) == (1, {task.id: task}, {}, {})


def test_failing_broadcast_keeps_a_record_put_there_by_another():
    other = object()

    async def callback(status):
        pool._active[status.task_id] = other
        raise ValueError("callback down")

    pool = WorkerPool(executor=instantly, on_status_change=callback)
    task = WorkerTask()
    with pytest.raises(ValueError):
        asyncio.run(pool.submit(task))
    assert pool._active == {task.id: other}


def test_worker_that_cannot_be_started_leaves_no_queued_record(monkeypatch):
    def create_task(coroutine, *, name):
        coroutine.close()
        raise RuntimeError("no loop for " + name)

    pool = WorkerPool(executor=instantly)
    monkeypatch.setattr(wp, "asyncio", types.SimpleNamespace(create_task=create_task))
    task = WorkerTask()
    with pytest.raises(RuntimeError, match="no loop for worker-" + task.id):
        asyncio.run(pool.submit(task))
    assert (pool._total_submitted, pool._active, pool._tasks) == (1, {}, {})


def test_missing_task_attribute_after_counting():
    pool = WorkerPool(executor=instantly)
    task = types.SimpleNamespace(id="abc")
    with pytest.raises(AttributeError) as info:
        asyncio.run(pool.submit(task))
    assert ("submit", 183) in entries(info.value)
    assert (pool._total_submitted, pool._all_tasks, pool._active) == (1, {"abc": task}, {})


def test_finished_worker_is_not_left_in_tasks(run):
    async def scenario():
        pool = WorkerPool(executor=instantly)
        status = await pool.submit(WorkerTask())
        tracked = dict(pool._tasks)
        cancelled = await pool.cancel(status.task_id)
        await drain()
        return pool, status, tracked, cancelled

    pool, status, tracked, cancelled = run(scenario)
    if run.kind == "eager":  # the worker finished inside create_task
        assert tracked == {} and not cancelled and status.state == WorkerState.COMPLETED
        assert pool._completed == [status]
    else:
        assert list(tracked) == [status.task_id] and cancelled


def test_worker_dropped_by_cleanup_during_its_broadcast_leaves_no_task(run):
    """cleanup() inside the QUEUED broadcast empties the tables before the
    worker exists; the worker then finds its id inactive and must not stay
    behind in _tasks, where cancel() would report it as running."""

    async def scenario():
        pool = WorkerPool()

        async def on_status(status):
            if status.state == WorkerState.QUEUED:
                await pool.cleanup()

        pool._on_status_change = on_status
        pool.set_executor(instantly)
        status = await pool.submit(WorkerTask())
        await asyncio.sleep(0)
        return pool, status, await pool.cancel(status.task_id)

    pool, status, cancelled = run(scenario)
    assert pool._tasks == {} and pool._active == {} and not cancelled
    assert status.state == WorkerState.QUEUED and pool._total_submitted == 1


# ---------------------------------------------------------------- submit_many


def test_submit_many_in_order(run):
    async def scenario():
        pool = WorkerPool(executor=forever)
        assert await pool.submit_many([]) == []
        tasks = [WorkerTask(name=f"w{i}") for i in range(3)]
        records = await pool.submit_many(tasks)
        await drain()
        return pool, tasks, records

    pool, tasks, records = run(scenario)
    assert [r.task_id for r in records] == [t.id for t in tasks]
    assert [r.name for r in records] == ["w0", "w1", "w2"] and pool._total_submitted == 3


def test_submit_many_takes_tasks_appended_while_suspended():
    async def callback(status):
        if len(tasks) < 4:
            tasks.append(WorkerTask(name=f"late{len(tasks)}"))

    tasks = [WorkerTask(name="first")]
    pool = WorkerPool(executor=instantly, on_status_change=callback)
    records = asyncio.run(pool.submit_many(tasks))
    assert [r.name for r in records] == ["first", "late1", "late2", "late3"]


def test_submit_many_stops_at_the_first_failure():
    pool = WorkerPool(executor=instantly)
    good = WorkerTask()
    with pytest.raises(TypeError, match="task_id"):
        asyncio.run(pool.submit_many([good, WorkerTask(id=1), WorkerTask()]))
    assert list(pool._all_tasks) == [good.id] and pool._total_submitted == 1


@pytest.mark.parametrize(("tasks", "type_name"), [((), "tuple"), (None, "NoneType"), (type("L", (list,), {})(), "L")])
def test_submit_many_needs_an_exact_list(tasks, type_name):
    pool = WorkerPool(executor=instantly)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no coroutine is created, so none goes unawaited
        with pytest.raises(TypeError) as info:
            pool.submit_many(tasks)
    assert str(info.value) == f"Argument 'tasks' has incorrect type (expected list, got {type_name})"

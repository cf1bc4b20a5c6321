"""Memory: many submit-to-history cycles, cancellations and argument errors
leave the allocator and the reference counts of shared objects where they
started, and reference cycles through the module's objects are collected.

The suite runs shortened counts; `make stress` (STRESS_FULL=1) runs 100,000
submit-to-history cycles. The allowance is a fixed number of blocks for the
interpreter's own caches, never a share of the work done.
"""

from __future__ import annotations

import asyncio
import gc
import logging
import os
import sys
import warnings
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import pytest

from zorvic.core import worker_pool
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

FULL = os.environ.get("STRESS_FULL") == "1"
SUBMIT_CYCLES = 100_000 if FULL else 6_000
CANCELLATIONS = 10_000 if FULL else 5_000
ARGUMENT_ERRORS = 10_000
BLOCK_ALLOWANCE = 64  # interpreter caches (free lists, dict key tables, the loop's deques)
BATCH = 50


class _Dropping(logging.Handler):
    """Takes every record (so that the log calls do their full work) and keeps none."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.count += 1


@pytest.fixture
def quiet_log() -> Iterator[_Dropping]:
    """The module's `logger` replaced by one outside the logging tree (the
    module looks it up at each use), so that no capturing handler keeps the
    records and their tracebacks alive."""
    handler = _Dropping()
    private = logging.Logger("zorvic.worker_pool")  # not registered with the manager
    private.propagate = False
    private.setLevel(logging.INFO)
    private.addHandler(handler)
    saved = worker_pool.logger
    worker_pool.logger = private
    try:
        yield handler
    finally:
        worker_pool.logger = saved


@contextmanager
def no_stray_reports() -> Iterator[list[Any]]:
    """Fails on any warning or unraisable exception inside the block."""
    unraisable: list[Any] = []
    saved = sys.unraisablehook
    sys.unraisablehook = lambda info: unraisable.append((info.exc_value, info.object))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            yield caught
            gc.collect()
    finally:
        sys.unraisablehook = saved
    assert not unraisable, unraisable
    assert not caught, [str(w.message) for w in caught]


def measure(
    loop: asyncio.AbstractEventLoop, work: Callable[[int], Any], count: int, shared: tuple[object, ...], rounds: int = 2
) -> tuple[int, list[int]]:
    """Runs `work(count)` once to warm up and then `rounds` times measured.
    Returns the smallest change in allocated blocks of the measured runs, and
    the change in the reference count of each shared object over all of them.

    The warm-up fills what the interpreter keeps for reuse (free lists of
    tuples, lists, dicts and frames, the module's scope free lists, type
    caches) up to the level the same work needs; what is left of that settles
    within a measured run or two. A leak grows in every run."""
    loop.run_until_complete(work(count))
    gc.collect()
    refs_before = [sys.getrefcount(obj) for obj in shared]
    deltas = []
    for _ in range(rounds):
        blocks_before = sys.getallocatedblocks()
        loop.run_until_complete(work(count))
        gc.collect()
        deltas.append(sys.getallocatedblocks() - blocks_before)
    refs_after = [sys.getrefcount(obj) for obj in shared]
    return min(deltas), [a - b for a, b in zip(refs_after, refs_before)]


def test_submit_to_history_cycles_leak_nothing(quiet_log: _Dropping) -> None:
    async def executor(task: WorkerTask, update: Any, *, deadline: float) -> str:
        # Reports on a record of its own (taken over by the worker at the end).
        await update(WorkerStatus(task_id=task.id, state=WorkerState.RUNNING, current_step="half way"))
        await asyncio.sleep(0)
        if task.name == "fails":
            raise ValueError("boom")
        return "answer"

    async def on_status(status: WorkerStatus) -> None:
        await asyncio.sleep(0)

    # The same task objects go through the pool again and again.
    tasks = [WorkerTask(name="fails" if i % 5 == 0 else "works") for i in range(BATCH)]
    pool = WorkerPool(max_workers=4, executor=executor, on_status_change=on_status)

    async def cycles(count: int) -> None:
        for _ in range(count // BATCH):
            for task in tasks:
                await pool.submit(task)
            while pool._tasks:
                await asyncio.sleep(0)
            statuses = await pool.wait_all([t.id for t in tasks[:5]], 0)
            assert len(statuses) == 5 and await pool.wait_for(tasks[0].id, 0) is statuses[0]
            assert pool.stats()["completed_history"] == len(pool.list_completed(200))
        # The history is bounded by the pool; _all_tasks keeps every task by design.
        pool._completed.clear()
        pool._all_tasks.clear()

    loop = asyncio.new_event_loop()
    try:
        with no_stray_reports():
            blocks, refs = measure(loop, cycles, SUBMIT_CYCLES, (pool, executor, on_status, *tasks[:2]))
    finally:
        loop.close()
    print(f"[leaks] {SUBMIT_CYCLES} submit-to-history cycles: {blocks:+d} blocks, refcounts {refs}")
    assert pool._total_submitted == pool._total_completed + pool._total_failed
    assert pool._total_failed == pool._total_submitted // 5
    assert quiet_log.count >= pool._total_submitted  # every submission was logged
    assert refs == [0] * len(refs)
    assert blocks <= BLOCK_ALLOWANCE, f"{blocks} blocks more after {SUBMIT_CYCLES} cycles"


def test_cancellations_leak_nothing(quiet_log: _Dropping) -> None:
    never = asyncio.Event()  # executors wait until they are cancelled

    async def executor(task: WorkerTask, update: Any, *, deadline: float) -> str:
        await never.wait()
        return "unreachable"

    async def on_status(status: WorkerStatus) -> None:
        pass

    pool = WorkerPool(max_workers=2, executor=executor, on_status_change=on_status)

    async def cancellations(count: int) -> None:
        for round_ in range(count // BATCH):
            tasks = [WorkerTask() for _ in range(BATCH)]
            workers = []
            for i, task in enumerate(tasks):
                await pool.submit(task)
                workers.append(pool._tasks[task.id])
                if i % 10 == 0:  # before its first step
                    assert await pool.cancel(task.id)
            for _ in range(3):  # two are running, the rest wait for a slot
                await asyncio.sleep(0)
            if round_ % 4 == 0:
                await pool.cancel_all()
            else:
                for task in reversed(tasks):
                    await pool.cancel(task.id)
            while not all(w.done() for w in workers):
                await asyncio.sleep(0)
            assert not pool._active and not pool._tasks
        pool._completed.clear()
        pool._all_tasks.clear()

    loop = asyncio.new_event_loop()
    try:
        with no_stray_reports():
            blocks, refs = measure(loop, cancellations, CANCELLATIONS, (pool, executor, on_status, never))
    finally:
        loop.close()
    print(f"[leaks] {CANCELLATIONS} cancellations: {blocks:+d} blocks, refcounts {refs}")
    assert pool._semaphore._value == 2
    assert refs == [0] * len(refs)
    assert blocks <= BLOCK_ALLOWANCE, f"{blocks} blocks more after {CANCELLATIONS} cancellations"


class _StrSub(str):
    pass


class _ListSub(list):
    pass


def _argument_errors(pool: WorkerPool, task: WorkerTask) -> list[Callable[[], Any]]:
    def set_limit(value: Any) -> Callable[[], Any]:
        return lambda: setattr(pool, "max_workers", value)

    return [
        lambda: pool.get_status(None),
        lambda: pool.get_status(_StrSub("x")),
        lambda: WorkerPool.get_status(pool, task_id=5),
        lambda: pool.cancel(None),
        lambda: pool.cancel(),
        lambda: pool.cancel("a", "b"),
        lambda: pool.cancel(task_id="a", other=1),
        lambda: pool.wait_for(None),
        lambda: pool.wait_for("x", None),
        lambda: pool.wait_for("x", "1"),
        lambda: pool.wait_all(()),
        lambda: pool.wait_all(None, "x"),
        lambda: pool.submit_many(()),
        lambda: pool.submit_many(_ListSub([task])),
        lambda: pool.submit(),
        lambda: pool.submit(task, task),
        lambda: pool.submit(task=task, extra=1),
        lambda: pool.list_completed("5"),
        lambda: pool.list_completed(None),
        lambda: pool.list_all(1),
        lambda: pool.stats(extra=1),
        lambda: pool._move_to_completed(1),
        lambda: pool._update_status(),
        lambda: pool._run_worker(task, task),
        lambda: pool.cancel_all(1),
        lambda: pool.cleanup(task=1),
        lambda: pool.set_executor(),
        lambda: WorkerPool(max_workers="3"),
        lambda: WorkerPool(None),
        lambda: WorkerPool(1, None, None, None),
        set_limit(None),
        set_limit("3"),
    ]


def test_argument_errors_leak_nothing() -> None:
    pool = WorkerPool()
    task = WorkerTask(name="t")
    calls = _argument_errors(pool, task)

    async def errors(count: int) -> None:
        for i in range(count):
            try:
                calls[i % len(calls)]()
            except TypeError:
                continue
            raise AssertionError(f"call {i % len(calls)} did not raise TypeError")

    loop = asyncio.new_event_loop()
    try:
        with no_stray_reports():  # no coroutine was made, so none goes unawaited
            blocks, refs = measure(loop, errors, ARGUMENT_ERRORS, (pool, task), rounds=4)
    finally:
        loop.close()
    print(f"[leaks] {ARGUMENT_ERRORS} argument errors: {blocks:+d} blocks, refcounts {refs}")
    assert refs == [0, 0]
    assert pool.stats()["total_submitted"] == 0 and pool._max_workers == 3
    assert blocks <= BLOCK_ALLOWANCE, f"{blocks} blocks more after {ARGUMENT_ERRORS} argument errors"


# ---------------------------------------------------------------- reference cycles


class _Yield:
    """An awaitable that suspends its awaiter once."""

    def __await__(self) -> Iterator[None]:
        yield None


def _suspended_submit() -> tuple[WorkerPool, WorkerTask, Any]:
    """A pool and a submit coroutine suspended in its QUEUED broadcast."""

    async def executor(task: WorkerTask, update: Any, *, deadline: float) -> str:
        return "never called"

    pool = WorkerPool(executor=executor, on_status_change=lambda status: _Yield())
    task = WorkerTask(name="held")
    coro = pool.submit(task)
    assert coro.send(None) is None  # suspended: the scope holds pool and task
    return pool, task, coro


def test_scope_references_are_traversed() -> None:
    pool, task, coro = _suspended_submit()
    assert gc.is_tracked(coro)
    referents = gc.get_referents(coro)
    assert any(r is pool for r in referents) and any(r is task for r in referents)
    wrapper = coro.__await__()
    assert gc.is_tracked(wrapper) and any(r is coro for r in gc.get_referents(wrapper))
    coro.close()
    assert not any(r is pool for r in gc.get_referents(coro))  # dropped when finished


@pytest.mark.parametrize("hold", ["pool", "task", "wrapper", "callback"])
def test_cycles_through_a_suspended_coroutine_are_collected(hold: str) -> None:
    with no_stray_reports():
        pool, task, coro = _suspended_submit()
        # The coroutine holds the pool and the task in its scope; close the
        # cycle through one of them.
        if hold == "pool":
            pool.held = coro
        elif hold == "task":
            task.metadata["coro"] = coro
        elif hold == "wrapper":
            pool.held = coro.__await__()
        else:
            pool._on_status_change = lambda status, coro=coro: _Yield()
        pool.self_ref = pool
        watched = [weakref.ref(obj) for obj in (pool, task, coro)]
        del pool, task, coro
        gc.collect()
        assert [ref() for ref in watched] == [None, None, None]


def test_unstarted_coroutine_in_a_cycle_is_collected_with_its_warning() -> None:
    pool = WorkerPool()
    pool.held = pool.cancel("x")
    watched = weakref.ref(pool)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del pool
        gc.collect()
    assert watched() is None
    assert [str(w.message) for w in caught] == ["coroutine 'WorkerPool.cancel' was never awaited"]


def test_cycles_through_records_callbacks_and_history_are_collected(run) -> None:
    def build() -> list[weakref.ref[Any]]:
        holder: dict[str, Any] = {}

        async def executor(task: WorkerTask, update: Any, *, deadline: float) -> Any:
            await update(WorkerStatus(task_id=task.id, state=WorkerState.RUNNING))
            return holder["pool"]  # the history record's result is the pool

        async def on_status(status: WorkerStatus) -> None:
            holder["last"] = status

        async def scenario() -> WorkerPool:
            pool = WorkerPool(executor=executor, on_status_change=on_status)
            holder["pool"] = pool
            record = await pool.submit(WorkerTask(name="cyclic"))
            record.error = record  # a record holding itself
            while pool._tasks:
                await asyncio.sleep(0)
            return pool

        pool = run(scenario)
        assert pool._completed[0].result is pool
        return [weakref.ref(pool), weakref.ref(executor), weakref.ref(on_status)]

    with no_stray_reports():
        watched = build()
        gc.collect()
        assert [ref() for ref in watched] == [None, None, None]

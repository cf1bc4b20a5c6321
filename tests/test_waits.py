"""Waiting for workers by polling: wait_for and wait_all.

Most tests run on a fake clock: `time` in sys.modules (what `import time`
inside the waits finds) gets a monotonic() that only moves when the module's
`asyncio.sleep` is called, and that sleep records its interval and just yields.
"""

from __future__ import annotations

import asyncio
import gc
import sys
import time
import traceback
import types
import warnings

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

real_sleep = asyncio.sleep

SCHEDULE = [0.5, 0.6, 0.72, 0.864, 1.0368, 1.24416, 1.492992, 1.7915904]


class Clock:
    """A monotonic clock that moves only when a wait sleeps."""

    def __init__(self) -> None:
        self.now = 1000.0
        self.sleeps: list[float] = []
        self.on_sleep = None

    def monotonic(self) -> float:
        return self.now

    async def sleep(self, delay):
        assert type(delay) is float
        self.sleeps.append(delay)
        self.now += delay
        if self.on_sleep:
            self.on_sleep(len(self.sleeps))
        for _ in range(10):  # let workers run
            await real_sleep(0)


class _Proxy(types.ModuleType):
    def __init__(self, name, target, **overrides):
        super().__init__(name)
        self._target = target
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(self._target, name)


@pytest.fixture
def clock(monkeypatch):
    c = Clock()
    monkeypatch.setitem(sys.modules, "time", _Proxy("time", time, monotonic=c.monotonic))
    monkeypatch.setattr(wp, "asyncio", _Proxy("asyncio", asyncio, sleep=c.sleep))
    return c


class Recording(WorkerPool):
    """Records every get_status the waits make (they read through it)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.reads = []

    def get_status(self, task_id):
        self.reads.append(task_id)
        return super().get_status(task_id)


def with_states(**states) -> Recording:
    pool = Recording()
    for task_id, state in states.items():
        pool._active[task_id] = WorkerStatus(task_id=task_id, state=WorkerState[state])
    return pool


class Gates:
    """An executor whose workers run until their own gate opens."""

    def __init__(self) -> None:
        self.events: dict[str, asyncio.Event] = {}

    def gate(self, task_id):
        return self.events.setdefault(task_id, asyncio.Event())

    async def __call__(self, task, update, *, deadline):
        await self.gate(task.id).wait()
        return "done"


# ---------------------------------------------------------------- the schedule


@pytest.mark.parametrize(
    ("timeout", "sleeps"),
    [(10, SCHEDULE + [2.0]), (30.0, SCHEDULE + [2.0] * 11), (1, SCHEDULE[:2]), (5, SCHEDULE[:7])],
)
@pytest.mark.parametrize("which", ["wait_for", "wait_all"])
def test_interval_grows_to_the_cap(clock, timeout, sleeps, which):
    pool = with_states(r=WorkerState.RUNNING.name)
    if which == "wait_for":
        result = asyncio.run(pool.wait_for("r", timeout))
        assert result is pool._active["r"]
    else:
        result = asyncio.run(pool.wait_all(["r"], timeout))
        assert result == [pool._active["r"]] and result[0] is pool._active["r"]
    assert clock.sleeps == pytest.approx(sleeps)
    # one reading per loop pass, then the final reading(s)
    assert len(pool.reads) == len(sleeps) + (1 if which == "wait_for" else 2)


@pytest.mark.parametrize("which", ["wait_for", "wait_all"])
def test_deadline_starts_at_first_run(clock, which):
    pool = with_states(r="RUNNING")
    coro = pool.wait_for("r", 1.0) if which == "wait_for" else pool.wait_all(timeout=1.0)
    pool._tasks["r"] = None  # wait_all() reads the ids when it runs
    clock.now += 100
    asyncio.run(coro)
    assert clock.sleeps == pytest.approx([0.5, 0.6])


# ---------------------------------------------------------------- wait_for


@pytest.mark.parametrize("timeout", [0, -5.0])
def test_no_time_means_one_final_reading(clock, timeout):
    pool = with_states(r="RUNNING")
    assert asyncio.run(pool.wait_for("r", timeout)) is pool._active["r"]
    assert asyncio.run(pool.wait_for("gone", timeout)) is None
    assert asyncio.run(pool.wait_all(["r", "gone", "r"], timeout)) == [pool._active["r"]] * 2
    assert clock.sleeps == []
    assert pool.reads == ["r", "gone", "r", "r", "gone", "r", "r"]


def test_unknown_id_returns_none_at_once(clock):
    pool = with_states(r="RUNNING")
    pool._completed.append(WorkerStatus(task_id="old", state=WorkerState.COMPLETED))
    assert asyncio.run(pool.wait_for("trimmed", 100.0)) is None
    assert clock.sleeps == [] and pool.reads == ["trimmed"]


@pytest.mark.parametrize("state", ["COMPLETED", "FAILED", "CANCELLED", "TIMEOUT"])
def test_end_states_finish_wait_for(clock, state):
    pool = with_states(x=state)
    assert asyncio.run(pool.wait_for("x", 100.0)) is pool._active["x"]
    assert clock.sleeps == []


def test_wait_for_a_worker_that_completes(run, clock):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(executor=gates)
        task = WorkerTask(name="slow")
        await pool.submit(task)
        clock.on_sleep = lambda n: n == 2 and gates.gate(task.id).set()
        status = await pool.wait_for(task.id, 100.0)
        assert status.state == WorkerState.COMPLETED and status.result == "done"
        assert status is pool._completed[-1]
        assert clock.sleeps == pytest.approx([0.5, 0.6])

    run(scenario)


def test_wait_for_a_cancelled_worker(run, clock):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(executor=gates)
        task = WorkerTask()
        await pool.submit(task)
        await real_sleep(0)
        assert await pool.cancel(task.id) is True
        status = await pool.wait_for(task.id, 100.0)
        assert status.state == WorkerState.CANCELLED
        assert clock.sleeps == []
        for _ in range(10):
            await real_sleep(0)

    run(scenario)


def test_wait_never_awaits_the_worker_task(run):
    """A worker that waits for itself times out instead of deadlocking (real clock)."""

    async def scenario():
        seen = []

        async def executor(task, update, *, deadline):
            status = await pool.wait_for(task.id, 0.05)
            seen.append(status.state)
            return "waited"

        pool = WorkerPool(executor=executor)
        task = WorkerTask()
        status = await pool.submit(task)
        for _ in range(300):  # about 0.5 s: the inner wait's one sleep
            if status.state not in (WorkerState.QUEUED, WorkerState.RUNNING):
                break
            await asyncio.sleep(0.01)
        assert seen == [WorkerState.RUNNING]
        assert status.state == WorkerState.COMPLETED and status.result == "waited"

    run(scenario)


def test_cancelling_the_waiter_propagates():
    async def scenario():
        pool = with_states(r="RUNNING")
        waiter = asyncio.create_task(pool.wait_for("r", 60.0))
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiter
        return pool.reads

    assert asyncio.run(scenario()) == ["r"]


# ---------------------------------------------------------------- wait_all


@pytest.mark.parametrize("state", ["COMPLETED", "FAILED", "CANCELLED", "TIMEOUT"])
def test_end_states_finish_wait_all(clock, state):
    pool = with_states(x=state, y="COMPLETED")
    assert asyncio.run(pool.wait_all(["x", "y"], 100.0)) == [pool._active["x"], pool._active["y"]]
    assert clock.sleeps == []


def test_scan_stops_at_the_first_unfinished(clock):
    pool = with_states(r="RUNNING", done="COMPLETED")
    result = asyncio.run(pool.wait_all(["r", "done"], 1.0))
    assert result == [pool._active["r"], pool._active["done"]]
    assert pool.reads == ["r", "r", "r", "r", "done", "done"]


@pytest.mark.parametrize("task_ids", [None, []], ids=["none", "empty"])
def test_default_ids_are_the_tracked_ones(clock, task_ids):
    pool = with_states(a="COMPLETED", b="RUNNING", late="RUNNING")
    pool._tasks.update(a=None, b=None)

    def on_sleep(n):
        pool._tasks["late"] = None  # tracked after the ids were chosen
        if n == 2:
            pool._active["b"].state = WorkerState.COMPLETED

    clock.on_sleep = on_sleep
    result = asyncio.run(pool.wait_all(task_ids, 100.0))
    assert result == [pool._active["a"], pool._active["b"]]
    assert len(clock.sleeps) == 2


def test_nothing_tracked_returns_empty_at_once(clock):
    pool = Recording()
    assert asyncio.run(pool.wait_all()) == []
    assert asyncio.run(pool.wait_all([], 5)) == []
    assert clock.sleeps == [] and pool.reads == []


def test_unknown_and_duplicate_ids(clock):
    pool = with_states(a="COMPLETED", b="FAILED")
    result = asyncio.run(pool.wait_all(["nope", "a", "b", "a", "nope"], 100.0))
    assert result == [pool._active["a"], pool._active["b"], pool._active["a"]]
    assert result[0] is result[2]
    assert clock.sleeps == []


def test_the_callers_list_is_used_itself(clock):
    pool = with_states(r="RUNNING", extra="COMPLETED")
    ids = ["r"]
    clock.on_sleep = lambda n: (ids.append("extra"), setattr(pool._active["r"], "state", "completed"))
    result = asyncio.run(pool.wait_all(ids, 100.0))
    assert result == [pool._active["r"], pool._active["extra"]]
    assert len(clock.sleeps) == 1


def test_wait_all_on_real_workers(run, clock):
    async def scenario():
        gates = Gates()
        pool = WorkerPool(max_workers=1, executor=gates)
        tasks = [WorkerTask(name=f"w{i}") for i in range(3)]
        for task in tasks:
            await pool.submit(task)

        def on_sleep(n):
            for task in tasks[: n + 1]:
                gates.gate(task.id).set()

        clock.on_sleep = on_sleep
        result = await pool.wait_all(timeout=100.0)
        assert [s.task_id for s in result] == [t.id for t in tasks]
        assert all(s.state == WorkerState.COMPLETED for s in result)
        assert pool._tasks == {} and pool._active == {}

    run(scenario)


def test_a_bad_id_fails_inside_the_wait(clock):
    pool = with_states(a="COMPLETED")
    coro = pool.wait_all(["a", 5], 100.0)
    with pytest.raises(TypeError, match=r"Argument 'task_id' has incorrect type \(expected str, got int\)") as info:
        asyncio.run(coro)
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)]
    assert ("wait_all", 312) in entries


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda p: p.wait_for("a", None), "must be real number, not NoneType"),
        (lambda p: p.wait_for("a", "5"), "must be real number, not str"),
        (lambda p: p.wait_for(None), r"Argument 'task_id' has incorrect type \(expected str, got NoneType\)"),
        (lambda p: p.wait_all(("a",)), r"Argument 'task_ids' has incorrect type \(expected list, got tuple\)"),
    ],
)
def test_bad_arguments_fail_at_the_call(call, message):
    pool = WorkerPool()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError, match=message):
            call(pool)
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, RuntimeWarning)]


def test_int_timeout_is_accepted(clock):
    pool = with_states(r="RUNNING")
    asyncio.run(pool.wait_for(task_id="r", timeout=True))
    assert clock.sleeps == pytest.approx([0.5, 0.6])


# ---------------------------------------------------------------- tracebacks


class Broken(WorkerPool):
    def get_status(self, task_id):
        raise KeyError(task_id)


def _stateless():
    pool = WorkerPool()
    pool._active["x"] = object()
    return pool


def _tasks_none():
    pool = WorkerPool()
    pool._tasks = None
    return pool


@pytest.mark.parametrize(
    ("make", "wait", "error", "line"),
    [
        (Broken, lambda p: p.wait_for("x", 5.0), KeyError, ("wait_for", 289)),
        (Broken, lambda p: p.wait_for("x", 0), KeyError, ("wait_for", 300)),
        (_stateless, lambda p: p.wait_for("x", 5.0), AttributeError, ("wait_for", 292)),
        (_tasks_none, lambda p: p.wait_all(), AttributeError, ("wait_all", 305)),
        (_stateless, lambda p: p.wait_all(["x"], 5.0), AttributeError, ("wait_all", 313)),
        (Broken, lambda p: p.wait_all(["x"], 0), KeyError, ("wait_all", 321)),
    ],
)
def test_failing_steps_report_their_lines(make, wait, error, line):
    with pytest.raises(error) as info:
        asyncio.run(wait(make()))
    entries = traceback.extract_tb(info.value.__traceback__)
    assert [(f.name, f.lineno) for f in entries if f.filename == "zorvic/core/worker_pool.py"] == [line]

"""Lookups that the module remembers must still see every change at once."""

import asyncio
import builtins
import math
import struct
import time
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zorvic.core import worker_pool as wp


async def executor(task, update, *, deadline):
    return "ok"


def run_one(pool=None):
    async def main():
        p = pool or wp.WorkerPool(executor=executor)
        status = await p.submit(wp.WorkerTask())
        for _ in range(5):
            await asyncio.sleep(0)
        return p, status

    return asyncio.run(main())


def test_rebinding_a_module_global_is_seen_at_once(monkeypatch):
    run_one()  # warm every remembered lookup
    readings = []
    fake = types.SimpleNamespace(time=lambda: readings.append(1) or 1000.0)
    monkeypatch.setattr(wp, "time", fake)
    _, status = run_one()
    assert status.started_at == 1000.0 and status.completed_at == 1000.0
    assert len(readings) == 3  # started_at, the deadline, completed_at
    monkeypatch.undo()
    _, status = run_one()
    assert status.started_at != 1000.0


def test_changing_an_attribute_of_a_module_is_seen_at_once(monkeypatch):
    run_one()
    monkeypatch.setattr(time, "time", lambda: 42.0)
    _, status = run_one()
    assert status.started_at == 42.0
    monkeypatch.undo()
    _, status = run_one()
    assert status.started_at > 1e9


def test_replacing_asyncio_create_task_is_seen(monkeypatch):
    run_one()
    names = []
    real = asyncio.create_task

    def spy(coro, *, name=None):
        names.append(name)
        return real(coro, name=name)

    monkeypatch.setattr(asyncio, "create_task", spy)
    run_one()
    assert len(names) == 1 and names[0].startswith("worker-")


def test_a_class_global_and_its_attributes_are_read_afresh(monkeypatch):
    run_one()

    class States:
        QUEUED = "q"
        RUNNING = "r"
        COMPLETED = "c"
        FAILED = "f"
        CANCELLED = "x"
        TIMEOUT = "t"

    monkeypatch.setattr(wp, "WorkerState", States)
    _, status = run_one()
    assert status.state == "c"
    States.COMPLETED = "done!"  # a change of the class itself
    _, status = run_one()
    assert status.state == "done!"


def test_a_global_that_disappears_falls_back_to_builtins_then_fails(monkeypatch):
    pool, _ = run_one()
    monkeypatch.delattr(wp, "logger")
    with pytest.raises(NameError, match="name 'logger' is not defined"):
        asyncio.run(pool.submit(wp.WorkerTask()))
    import logging

    monkeypatch.setattr(builtins, "logger", logging.getLogger("from-builtins"), raising=False)
    asyncio.run(pool.submit(wp.WorkerTask()))  # found among the builtins now


def test_a_descriptor_on_the_metaclass_is_honoured(monkeypatch):
    run_one()
    calls = []

    class Meta(type):
        @property
        def RUNNING(cls):
            calls.append(1)
            return "running-from-meta"

    class States(metaclass=Meta):
        QUEUED = "q"
        COMPLETED = "c"
        FAILED = "f"
        CANCELLED = "x"
        TIMEOUT = "t"

    monkeypatch.setattr(wp, "WorkerState", States)
    pool = wp.WorkerPool(executor=executor)
    run_one(pool)
    run_one(pool)
    assert len(calls) == 2  # called each time, never remembered


# ---------------------------------------------------------------- awaiting native coroutines


def test_a_native_coroutine_is_awaited_directly(run=None):  # noqa: PT028 (run by hand too)
    seen = {}

    async def main():
        gate = asyncio.get_running_loop().create_future()

        async def executor(task, update, *, deadline):
            await gate
            return "ok"

        pool = wp.WorkerPool(executor=executor)
        await pool.submit(wp.WorkerTask())
        await asyncio.sleep(0)
        (worker,) = pool._tasks.values()
        seen["awaiting"] = worker.get_coro().cr_await
        gate.set_result(None)
        await worker

    asyncio.run(main())
    assert asyncio.iscoroutine(seen["awaiting"]) and type(seen["awaiting"]) is types.CoroutineType
    assert seen["awaiting"].cr_code.co_name == "executor"


def test_an_executor_that_returns_at_once_gives_its_value():
    async def executor(task, update, *, deadline):
        return ("a", "tuple")

    async def main():
        pool = wp.WorkerPool(executor=executor)
        status = await pool.submit(wp.WorkerTask())
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return status

    assert asyncio.run(main()).result == ("a", "tuple")


# ---------------------------------------------------------------- to_dict and stats


def roundings(value):
    s = wp.WorkerStatus("x", wp.WorkerState.QUEUED, progress_pct=value, duration=value)
    d = s.to_dict()
    return d["progress_pct"], d["duration"]


def same(a, b):
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b and math.copysign(1, a) == math.copysign(1, b)


@given(
    st.floats(allow_nan=True, allow_infinity=True)
    | st.integers(-(10**6), 10**6).map(lambda i: i / 200)
    | st.integers(0, 2**64 - 1).map(lambda b: struct.unpack("d", struct.pack("Q", b))[0])
)
def test_rounding_equals_the_builtin(value):
    got = roundings(value)
    assert same(got[0], round(value, 1)) and same(got[1], round(value, 2)), (value, got)


@pytest.mark.parametrize("value", [50, True, 2.675, -0.04, 0.05, 0.15, 0.25, 1.005, -0.0, 1e300, 5e-324])
def test_rounding_edge_values(value):
    got = roundings(value)
    assert same(got[0], round(value, 1)) and same(got[1], round(value, 2))


def test_round_of_a_float_subclass_uses_its_own_method():
    class Odd(float):
        def __round__(self, n=None):
            return "odd"

    assert roundings(Odd(1.25)) == ("odd", "odd")


def test_every_dict_is_new_and_ordered():
    s = wp.WorkerStatus("x", wp.WorkerState.QUEUED)
    a, b = s.to_dict(), s.to_dict()
    assert a == b and a is not b
    a["task_id"] = "changed"
    a["extra"] = 1
    assert list(b) == [
        "task_id",
        "state",
        "name",
        "model_used",
        "current_step",
        "steps_completed",
        "progress_pct",
        "result",
        "error",
        "started_at",
        "completed_at",
        "duration",
    ]
    assert s.to_dict()["task_id"] == "x" and "extra" not in s.to_dict()
    t = wp.WorkerTask(id="abc")
    ta, tb = t.to_dict(), t.to_dict()
    ta.clear()
    assert list(tb) == [
        "id",
        "name",
        "prompt",
        "model_key",
        "complexity",
        "timeout",
        "tools",
        "parent_task_id",
        "metadata",
        "created_at",
    ]


def test_stats_dicts_are_new_and_ordered():
    pool = wp.WorkerPool()
    a = pool.stats()
    a["max_workers"] = 99
    b = pool.stats()
    assert b == {
        "max_workers": 3,
        "active_count": 0,
        "queued_count": 0,
        "total_submitted": 0,
        "total_completed": 0,
        "total_failed": 0,
        "completed_history": 0,
    }
    assert list(b) == list(a)


def test_history_scan_compares_ids_by_text():
    pool = wp.WorkerPool()
    ids = ["abc", "abd", "ab", "\u00e9t\u00e9", "\U0001f600x", "x" * 40]
    pool._completed.extend(wp.WorkerStatus(i, wp.WorkerState.COMPLETED) for i in ids)
    for i in ids:
        assert pool.get_status("".join(list(i))).task_id == i  # an equal, distinct str
    assert pool.get_status("abe") is None
    assert pool.get_status("\u00e9t\u00e8") is None


def test_a_missing_attribute_error_names_the_object_and_attribute():
    class NoId:
        name = "x"

    task = NoId()
    pool = wp.WorkerPool(executor=executor)
    with pytest.raises(AttributeError) as caught:
        asyncio.run(pool.submit(task))
    assert caught.value.name == "id" and caught.value.obj is task
    with pytest.raises(AttributeError) as caught:
        pool.get_status.__func__ if False else wp.WorkerPool.get_status(types.SimpleNamespace(), "x")
    assert caught.value.name == "_active"


def test_setting_attributes_honours_a_property_of_the_record(monkeypatch):
    sets = []

    class Recorded(wp.WorkerStatus):
        @property
        def state(self):
            return self._state

        @state.setter
        def state(self, value):
            sets.append(value)
            self._state = value

    monkeypatch.setattr(wp, "WorkerStatus", Recorded)
    _, status = run_one()
    assert type(status) is Recorded
    assert sets == [wp.WorkerState.QUEUED, wp.WorkerState.RUNNING, wp.WorkerState.COMPLETED]

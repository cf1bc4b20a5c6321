"""Pool construction, the max_workers property and set_executor."""

from __future__ import annotations

import asyncio
import fractions
import logging
import traceback

import pytest

import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool

FIELDS = [
    "_max_workers",
    "_executor",
    "_on_status_change",
    "_queue",
    "_active",
    "_completed",
    "_tasks",
    "_all_tasks",
    "_total_submitted",
    "_total_completed",
    "_total_failed",
    "_semaphore",
    "_running",
]


class Index:
    def __index__(self):
        return 4


def entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def test_new_pool_fields_in_order():
    pool = WorkerPool()
    assert list(vars(pool)) == FIELDS
    assert pool.max_workers == 3 and pool._executor is None and pool._on_status_change is None
    assert type(pool._queue) is asyncio.Queue and pool._queue.empty()
    for name in ("_active", "_tasks", "_all_tasks"):
        assert getattr(pool, name) == {} and type(getattr(pool, name)) is dict
    assert pool._completed == [] and type(pool._completed) is list
    assert (pool._total_submitted, pool._total_completed, pool._total_failed) == (0, 0, 0)
    assert type(pool._semaphore) is asyncio.Semaphore and pool._semaphore._value == 3
    assert pool._running is False


@pytest.mark.parametrize(
    ("value", "stored"),
    [(50, 50), (0, 0), (2.9, 2), (True, 1), (fractions.Fraction(7, 2), 3), (Index(), 4)],
)
def test_constructor_converts_without_clamping(value, stored):
    pool = WorkerPool(max_workers=value)
    assert pool._max_workers == stored and type(pool._max_workers) is int
    assert pool._semaphore._value == stored


@pytest.mark.parametrize(("value", "type_name"), [("3", "str"), (None, "NoneType"), ([], "list")])
def test_constructor_rejects_non_numbers(value, type_name):
    message = f"Argument 'max_workers' has incorrect type (expected int, got {type_name})"
    with pytest.raises(TypeError) as info:
        WorkerPool(value)
    assert str(info.value) == message
    assert ("zorvic.core.worker_pool.WorkerPool.__init__", 132) in entries(info.value)


def test_negative_limit_fails_at_the_semaphore_after_the_counters():
    pool = WorkerPool.__new__(WorkerPool)
    with pytest.raises(ValueError) as info:
        pool.__init__(-1)
    assert list(vars(pool)) == FIELDS[:11]
    assert ("zorvic.core.worker_pool.WorkerPool.__init__", 152) in entries(info.value)


@pytest.mark.parametrize(
    ("value", "stored"),
    [(0, 1), (-5, 1), (1, 1), (7, 7), (20, 20), (21, 20), (50, 20), (2.9, 2), (True, 1)],
)
def test_setter_clamps_logs_and_replaces_the_semaphore(caplog, value, stored):
    pool = WorkerPool(max_workers=50)
    old = pool._semaphore
    with caplog.at_level(logging.INFO, logger="zorvic.worker_pool"):
        pool.max_workers = value
    assert pool.max_workers == stored
    assert pool._semaphore is not old and pool._semaphore._value == stored
    assert old._value == 50
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.INFO, f"Max workers updated to {stored}")]


def test_setter_rejects_a_string_before_changing_anything():
    pool = WorkerPool()
    old = pool._semaphore
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected int, got str\)$"):
        pool.max_workers = "3"
    assert pool._max_workers == 3 and pool._semaphore is old


def test_setter_log_failure_leaves_the_old_semaphore(monkeypatch):
    class BrokenLogger:
        def info(self, message):
            raise RuntimeError(message)

    monkeypatch.setattr(wp, "logger", BrokenLogger())
    pool = WorkerPool()
    old = pool._semaphore
    with pytest.raises(RuntimeError, match="^Max workers updated to 9$") as info:
        pool.max_workers = 9
    assert pool._max_workers == 9 and pool._semaphore is old
    assert ("zorvic.core.worker_pool.WorkerPool.max_workers", 164) in entries(info.value)


@pytest.mark.parametrize(("stored", "read"), [(None, None), (2.5, 2), (True, 1), (-3, -3)])
def test_getter_converts_numbers(stored, read):
    pool = WorkerPool()
    pool._max_workers = stored
    assert pool.max_workers == read and type(pool.max_workers) is type(read)


def test_getter_rejects_non_numbers():
    pool = WorkerPool()
    pool._max_workers = "3"
    with pytest.raises(TypeError, match=r"^Expected int, got str$") as info:
        pool.max_workers
    assert ("zorvic.core.worker_pool.WorkerPool.max_workers", 158) in entries(info.value)


def test_set_executor():
    async def executor(task, update, *, deadline):
        return ""

    pool = WorkerPool()
    assert pool.set_executor(executor) is None and pool._executor is executor
    pool.set_executor(executor=None)
    assert pool._executor is None
    with pytest.raises(TypeError):
        pool.set_executor()

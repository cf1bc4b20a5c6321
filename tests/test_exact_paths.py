"""The shortcuts the pool takes on its own objects give way as soon as an
object is not the one they were taken for."""

import asyncio

import pytest

from zorvic.core import worker_pool as wp


async def executor(task, update, *, deadline):
    return "ok"


async def run_worker(pool, task):
    status = await pool.submit(task)
    for _ in range(5):
        await asyncio.sleep(0)
    return status


class Recording(dict):
    """A table whose methods are called by name, as the source calls them."""

    def __init__(self, calls, label):
        super().__init__()
        self.calls, self.label = calls, label

    def get(self, key, default=None):
        self.calls.append((self.label, "get", key))
        return super().get(key, default)

    def pop(self, key, *default):
        self.calls.append((self.label, "pop", key))
        return super().pop(key, *default)


@pytest.mark.parametrize(
    "table, expected",
    [
        # the worker's lookup, the final part's report check, the move to the history
        ("_active", [("_active", "get", "t1"), ("_active", "get", "t1"), ("_active", "pop", "t1")]),
        ("_tasks", [("_tasks", "pop", "t1")]),
    ],
)
def test_a_dict_subclass_table_has_its_methods_called(table, expected):
    calls = []

    async def main():
        pool = wp.WorkerPool(executor=executor)
        setattr(pool, table, Recording(calls, table))
        status = await run_worker(pool, wp.WorkerTask(id="t1"))
        return pool, status

    pool, status = asyncio.run(main())
    assert calls == expected
    assert pool.get_status("t1") is status and status.state == wp.WorkerState.COMPLETED


def test_a_patched_status_init_is_called_with_keywords(monkeypatch):
    seen = []
    original = wp.WorkerStatus.__init__

    def init(self, *args, **kwargs):
        seen.append((args, sorted(kwargs)))
        original(self, *args, **kwargs)

    monkeypatch.setattr(wp.WorkerStatus, "__init__", init)
    asyncio.run(run_worker(wp.WorkerPool(executor=executor), wp.WorkerTask(id="t1", name="n")))
    assert seen == [((), ["name", "state", "task_id"])]


def test_a_status_init_with_new_code_binds_by_keyword(monkeypatch):
    # The same body under reordered parameter names: only a keyword call
    # tells the two orders apart (the body stores slot 1 as task_id).
    init = wp.WorkerStatus.__init__
    names = list(init.__code__.co_varnames)
    names[1], names[3] = names[3], names[1]
    monkeypatch.setattr(init, "__code__", init.__code__.replace(co_varnames=tuple(names)))
    status = asyncio.run(run_worker(wp.WorkerPool(executor=executor), wp.WorkerTask(id="t1", name="n")))
    assert (status.task_id, status.name) == ("n", "t1")
    monkeypatch.undo()
    status = asyncio.run(run_worker(wp.WorkerPool(executor=executor), wp.WorkerTask(id="t2", name="n")))
    assert (status.task_id, status.name) == ("t2", "n")


def test_an_instance_attribute_shadows_the_methods_the_pool_calls():
    moved, asked = [], []

    def factory(loop, coro, **kwargs):
        task = asyncio.Task(coro, loop=loop, **kwargs)
        task.done = lambda: asked.append(task.get_name()) or True
        return task

    async def main():
        asyncio.get_running_loop().set_task_factory(factory)
        pool = wp.WorkerPool(executor=executor)
        pool._move_to_completed = moved.append
        status = await pool.submit(wp.WorkerTask(id="t1"))
        first_asked, tracked = list(asked), "t1" in pool._tasks
        for _ in range(5):
            await asyncio.sleep(0)
        return pool, status, first_asked, tracked

    pool, status, first_asked, tracked = asyncio.run(main())
    # the task's own done() said it had finished, so it was not kept
    assert first_asked == ["worker-t1"] and not tracked
    # the instance's callable took the move, called without the pool
    assert moved == ["t1"] and pool._active == {"t1": status}


def test_a_subclass_method_takes_the_move():
    moved = []

    class Pool(wp.WorkerPool):
        def _move_to_completed(self, task_id):
            moved.append((self, task_id))

    pool = Pool(executor=executor)
    status = asyncio.run(run_worker(pool, wp.WorkerTask(id="t1")))
    assert moved == [(pool, "t1")] and pool._active == {"t1": status}


def test_what_the_class_gains_later_is_seen_at_once():
    # A worker's life with the class as made, then after the class has gained
    # a property for a field, then attribute hooks.
    seen, read, written = [], [], []

    async def callback(status):
        seen.append(status.state.value)

    def getattribute(self, name):
        read.append(name)
        return object.__getattribute__(self, name)

    def set_attribute(self, name, value):
        written.append(name)
        object.__setattr__(self, name, value)

    class Pool(wp.WorkerPool):
        pass

    async def main():
        pool = Pool(executor=executor)
        await run_worker(pool, wp.WorkerTask(id="t0"))
        Pool._on_status_change = property(lambda self: callback)
        await run_worker(pool, wp.WorkerTask(id="t1"))
        Pool.__getattribute__ = getattribute
        Pool.__setattr__ = set_attribute
        await run_worker(pool, wp.WorkerTask(id="t2"))
        return pool

    pool = asyncio.run(main())
    assert seen == ["queued", "running", "completed"] * 2
    assert {"_executor", "_active", "_semaphore", "_move_to_completed", "_tasks", "_completed"} <= set(read)
    assert written == ["_total_submitted", "_total_completed"]
    assert pool.stats()["total_completed"] == 3

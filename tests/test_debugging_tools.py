"""The coroutines as Python's own tools read them: inspect's states, the
origin recorded under origin tracking, the never-awaited warning, and the
memory tracemalloc and the allocation-failure hooks see."""

from __future__ import annotations

import asyncio
import gc
import inspect
import sys
import tracemalloc
import types
import warnings

import pytest

from zorvic.core.worker_pool import WorkerPool, WorkerTask

pytestmark = pytest.mark.loop_independent


def states(make):
    """(getcoroutinestate, cr_suspended) of the coroutine `make(callback)`
    returns at each stage; it awaits `callback(status)`, which reports too."""
    seen = []

    def note(c):
        seen.append((inspect.getcoroutinestate(c), c.cr_suspended))

    async def callback(status):
        note(coro)
        try:
            await asyncio.sleep(0)
        except KeyError:
            note(coro)
        try:
            await asyncio.sleep(0)
        except GeneratorExit:
            note(coro)
            raise

    coro = make(callback)
    note(coro)
    coro.send(None)
    note(coro)
    coro.throw(KeyError)  # then waits again
    coro.close()
    note(coro)
    unstarted = make(callback)
    unstarted.close()
    note(unstarted)
    return seen


def test_coroutine_states_match_a_python_coroutine():
    async def native(callback):
        await callback(None)

    report = types.SimpleNamespace(task_id="nobody")
    ours = states(lambda callback: WorkerPool(on_status_change=callback)._update_status(report))
    assert ours == states(native)
    assert [s[0][5:] for s in ours] == ["CREATED", "RUNNING", "SUSPENDED"] + ["RUNNING"] * 2 + ["CLOSED"] * 2
    # The members have the shape of the interpreter's own.
    made = WorkerPool().cleanup(), native(None)
    mine, its = (type(c).__dict__ for c in made)
    for c in made:
        c.close()
    for name in ("cr_suspended", "cr_origin"):
        assert type(mine[name]) is type(its[name]) and mine[name].__doc__ == its[name].__doc__


def made_here(factory):
    return factory()


@pytest.fixture
def track():
    yield sys.set_coroutine_origin_tracking_depth
    sys.set_coroutine_origin_tracking_depth(0)


@pytest.mark.parametrize("depth", [0, 1, 3])
def test_origin_and_warning_as_for_a_python_coroutine(track, depth):
    async def native():
        pass

    native.__qualname__ = "WorkerPool.cancel_all"
    track(depth)
    ours, theirs, ended = (made_here(f) for f in (WorkerPool().cancel_all, native, WorkerPool().cancel_all))
    track(0)
    origin = theirs.cr_origin
    assert ours.cr_origin == origin and (origin is None) == (depth == 0)
    if depth:
        assert len(origin) == depth and origin[0] == (__file__, made_here.__code__.co_firstlineno + 1, "made_here")
    ended.close()
    assert ended.cr_origin == origin  # kept after the end, as the interpreter keeps its own
    coros, warned = [ours, theirs], []
    del ours, theirs
    while coros:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coros.pop(0)
            gc.collect()
        warned += [(w.category, str(w.message), w.filename, w.lineno) for w in caught]
    assert len(warned) == 2 and warned[0] == warned[1]  # text, category and place as the interpreter's
    text = warned[0][1].split("\n")
    assert text[0] == "coroutine 'WorkerPool.cancel_all' was never awaited"
    assert text[1:2] == (["Coroutine created at (most recent call last)"] if depth else [])


def test_tracemalloc_counts_a_workers_coroutine():
    pool, task = WorkerPool(), WorkerTask()
    held = [pool._run_worker(task) for _ in range(40)]  # empties the free lists: the next are new
    n = 50
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        made = [pool._run_worker(task) for _ in range(n)]
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    here = [s for s in after.compare_to(before, "lineno") if s.traceback[0].filename == __file__]
    assert max(s.count_diff for s in here) >= 3 * n  # each one's object, scope and frame
    for c in held + made:
        c.close()


def test_coroutine_frames_come_from_the_interpreters_allocator():
    _testcapi = pytest.importorskip("_testcapi")
    pool = WorkerPool()
    held = [pool.cancel_all() for _ in range(40)]
    for c in held:
        c.close()
    del held, c  # the object and scope free lists filled: only the frame is new
    _testcapi.set_nomemory(0, 0)
    try:
        made = pool.cancel_all()
    except MemoryError as e:
        made = e
    finally:
        _testcapi.remove_mem_hooks()
    assert type(made) is MemoryError

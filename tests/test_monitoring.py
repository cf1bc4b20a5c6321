"""Profilers see the pool's operations as they see the plain-Python class's methods."""

from __future__ import annotations

import asyncio
import cProfile
import importlib.util
import pstats
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

import zorvic.core.worker_pool as module_pool

PLAIN = Path(__file__).resolve().parents[1] / "bench" / "plain_pool.py"
if not PLAIN.is_file():
    pytest.skip(f"needs {PLAIN}, which the sdist does not ship", allow_module_level=True)


def _plain_pool() -> ModuleType:
    if "bench_plain_pool" not in sys.modules:
        spec = importlib.util.spec_from_file_location("bench_plain_pool", PLAIN)
        assert spec and spec.loader
        sys.modules[spec.name] = mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
    return sys.modules["bench_plain_pool"]


async def _lifecycle(mod: ModuleType) -> None:
    """Workers that complete, fail and are cancelled, with every query and wait on the way."""
    gate = asyncio.Event()

    async def executor(task: Any, update: Any, *, deadline: float) -> str:
        await update(pool.get_status(task.id))
        if task.name == "bad":
            raise ValueError("boom")
        if task.name == "hang":
            await gate.wait()
        return "ok"

    async def on_status(status: Any) -> None:
        await asyncio.sleep(0)

    pool = mod.WorkerPool(max_workers=2, executor=executor, on_status_change=on_status)
    tasks = [mod.WorkerTask(id=f"t{i}", name=("ok", "bad", "ok", "hang", "hang")[i]) for i in range(5)]
    await pool.submit_many(tasks[:3])
    for _ in range(20):
        await asyncio.sleep(0)
    await pool.wait_for("t0", 5.0)
    await pool.wait_all(["t0", "t1", "t2"], 5.0)
    await pool.submit(tasks[3])
    await pool.submit(tasks[4])
    for _ in range(5):
        await asyncio.sleep(0)
    pool.stats(), pool.list_running(), pool.list_queued(), pool.list_all(), pool.get_status("nope")
    await pool.cancel("t4")
    await pool.cleanup()
    await asyncio.sleep(0)


def _profiled(mod: ModuleType) -> dict[str, tuple[int, int, set[str]]]:
    """Per function of the pool's file: call counts and the callers' names."""
    profiler = cProfile.Profile()
    loop = asyncio.new_event_loop()
    try:
        profiler.runcall(loop.run_until_complete, _lifecycle(mod))
    finally:
        loop.close()
    rows: dict[str, tuple[int, int, set[str]]] = {}
    # in source order, so that stats()'s two generator expressions are "genexpr" and "genexpr 2"
    for (file, _, name), (cc, nc, _, _, callers) in sorted(pstats.Stats(profiler).stats.items()):  # type: ignore[attr-defined]
        if file in ("zorvic/core/worker_pool.py", str(PLAIN)):
            key = name.strip("<>")
            rows[f"{key} 2" if key in rows else key] = (nc, cc, {caller[2] for caller in callers})
    return rows


def test_profilers_see_the_operations() -> None:
    module, plain = _profiled(module_pool), _profiled(_plain_pool())
    names = ["submit", "submit_many", "wait_for", "wait_all", "cancel", "cancel_all", "cleanup", "get_status",
             "list_all", "list_running", "list_queued", "list_active", "list_completed", "stats", "_run_worker",
             "_update_status", "_move_to_completed", "to_dict", "genexpr", "genexpr 2"]  # fmt: skip
    assert {n: module[n][:2] for n in names} == {n: plain[n][:2] for n in names}
    assert all(module[n][0] > 0 for n in names) and module["_run_worker"][0] > 5  # resumptions count
    # the same callers, but for the builtin that drives stats()'s generators
    assert {n: module[n][2] for n in names if "genexpr" not in n} == {
        n: plain[n][2] for n in names if "genexpr" not in n
    }

    # A legacy profiler sees each frame once between its "call" and its "return".
    active: set[int] = set()
    repeated: list[str] = []

    def profile(frame: Any, event: str, arg: Any) -> None:
        if event == "call":
            if id(frame) in active:
                repeated.append(frame.f_code.co_qualname)
            active.add(id(frame))
        elif event == "return":
            active.discard(id(frame))

    loop = asyncio.new_event_loop()
    sys.setprofile(profile)
    try:
        loop.run_until_complete(_lifecycle(module_pool))
    finally:
        sys.setprofile(None)
        loop.close()
    assert repeated == []

"""The benchmarks' plain-Python pool behaves like the module, and bench/run.py runs.

The plain pool is the baseline the benchmarks compare against; if it drifted
from the module's behaviour the comparison would mean nothing.
"""

from __future__ import annotations

import asyncio
import importlib.util
import logging
import subprocess
import sys
from collections import defaultdict
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

import zorvic.core.worker_pool as module_pool

BENCH = Path(__file__).resolve().parents[1] / "bench"
TIME_KEYS = ("started_at", "completed_at", "duration")

if not (BENCH / "plain_pool.py").is_file():
    # The source distribution leaves bench/ out (pyproject.toml, sdist.exclude).
    pytest.skip(f"needs the benchmarks in {BENCH}, which the sdist does not ship", allow_module_level=True)


def _load_plain_pool() -> ModuleType:
    spec = importlib.util.spec_from_file_location("bench_plain_pool", BENCH / "plain_pool.py")
    assert spec and spec.loader
    mod = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = mod
    spec.loader.exec_module(mod)
    return mod


plain_pool = _load_plain_pool()


async def _until(condition: Any) -> None:
    for _ in range(1000):
        if condition():
            return
        await asyncio.sleep(0)
    raise AssertionError("the pool did not reach the expected state")


async def _workload(mod: ModuleType) -> dict[str, Any]:
    """205 quick workers (the history overflows once), then with both slots held:
    a worker cancelled while queued, one cancelled inside its executor, one whose
    executor raises and one that completes. Returns what a host can observe."""
    events: dict[str, list[tuple[Any, ...]]] = defaultdict(list)
    gate = asyncio.Event()

    async def on_status(status: Any) -> None:
        events[status.task_id].append(
            (status.state.value, status.current_step, status.error, status.progress_pct, status.steps_completed)
        )

    async def executor(task: Any, update: Any, *, deadline: float) -> str:
        status = pool.get_status(task.id)
        status.steps_completed += 1
        await update(status)
        if task.name == "bad":
            raise ValueError("boom")
        if task.name.startswith("hang"):
            await gate.wait()
        return "result of " + task.id

    pool = mod.WorkerPool(max_workers=2, executor=executor, on_status_change=on_status)
    quick = [mod.WorkerTask(id=f"quick{i:03d}", name="" if i % 2 else f"q{i}") for i in range(205)]
    await pool.submit_many(quick)
    await _until(lambda: not pool._tasks)

    hang1, hang2, queued, bad = (mod.WorkerTask(id=name, name=name) for name in ("hang1", "hang2", "queued", "bad"))
    for task in (hang1, hang2, queued):
        await pool.submit(task)
    await _until(lambda: pool.stats()["active_count"] == 2)
    stats_busy = pool.stats()
    cancelled = [await pool.cancel("queued"), await pool.cancel("hang1"), await pool.cancel("hang1")]
    await _until(lambda: pool.get_status("hang1").error is not None)
    await pool.submit(bad)
    await _until(lambda: pool.get_status("bad").state == "failed")
    gate.set()
    await _until(lambda: not pool._tasks)

    def masked(status: Any) -> dict[str, Any]:
        return {k: v for k, v in status.to_dict().items() if k not in TIME_KEYS}

    return {
        "stats_busy": stats_busy,
        "stats": pool.stats(),
        "cancelled": cancelled,
        "records": {tid: masked(pool.get_status(tid)) for tid in ("queued", "hang1", "bad", "hang2", "quick204")},
        "history": [masked(pool.get_status(s.task_id)) for s in pool._completed],
        "listing": [{k: v for k, v in d.items() if k not in TIME_KEYS} for d in pool.list_all()],
        "events": dict(events),
        "wait_all": [s.task_id for s in await pool.wait_all(["bad", "nope", "hang2"], 1.0)],
    }


def _logged(caplog: pytest.LogCaptureFixture, name: str) -> list[tuple[str, str, bool]]:
    return sorted((r.levelname, r.getMessage(), r.exc_info is not None) for r in caplog.records if r.name == name)


def test_plain_pool_matches_module(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO, logger="zorvic.worker_pool")
    caplog.set_level(logging.INFO, logger="bench.plain_pool")
    got_module = asyncio.run(_workload(module_pool))
    got_plain = asyncio.run(_workload(plain_pool))

    for key in got_module:
        assert got_plain[key] == got_module[key], key
    assert _logged(caplog, "bench.plain_pool") == _logged(caplog, "zorvic.worker_pool")

    # the workload did what it is meant to do (so that the comparison is not vacuous)
    assert got_module["stats"] == {
        "max_workers": 2,
        "active_count": 0,
        "queued_count": 0,
        "total_submitted": 209,
        "total_completed": 206,
        "total_failed": 2,
        "completed_history": 108,
    }
    assert got_module["cancelled"] == [True, True, False]
    records = got_module["records"]
    assert [records[t]["state"] for t in ("queued", "hang1", "bad", "hang2")] == [
        "cancelled",
        "cancelled",
        "failed",
        "completed",
    ]
    assert records["queued"]["error"] is None and records["hang1"]["error"] == "Cancelled by user"
    assert records["bad"]["current_step"] == "Failed: boom"
    assert ("ERROR", "Worker bad failed: boom", True) in _logged(caplog, "zorvic.worker_pool")


@pytest.mark.parametrize(
    "call",
    [
        lambda pool: pool.get_status(None),
        lambda pool: pool._move_to_completed(5),
        lambda pool: pool.list_completed("3"),
        lambda pool: setattr(pool, "max_workers", "3"),
    ],
)
def test_plain_pool_argument_errors_match(call: Any) -> None:
    messages = []
    for mod in (module_pool, plain_pool):
        with pytest.raises(TypeError) as info:
            call(mod.WorkerPool())
        messages.append(str(info.value))
    assert messages[1] == messages[0]


def test_run_quick_smoke(tmp_path: Path) -> None:
    """`bench/run.py --quick` with tiny counts prints the table and writes the markdown."""
    out = tmp_path / "results.md"
    proc = subprocess.run(
        [sys.executable, str(BENCH / "run.py"), "--quick", "--scale", "0.005", "--markdown", str(out)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    lifecycle = [line.split() for line in proc.stdout.splitlines() if line.startswith("lifecycle")]
    assert len(lifecycle) == 6
    for row in lifecycle:  # measurement words..., module, floor, plain, module/floor, module/plain
        module_us, floor_us, plain_us = (float(cell.replace(",", "")) for cell in row[-5:-2])
        assert module_us > 0 and floor_us > 0 and plain_us > 0
    assert any(line.startswith("query us/call, stats") for line in proc.stdout.splitlines())
    text = out.read_text()
    assert "- CPU: " in text and "- Python: 3.13" in text and "| measurement |" in text

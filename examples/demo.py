"""A main agent runs six workers, at most three at a time, and watches them."""

import asyncio
import logging
import sys
import time
from collections.abc import Awaitable, Callable
from logging.handlers import BufferingHandler

from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

STEP = 0.2  # seconds of simulated work per step
LIVE = sys.stdout.isatty()


async def simulated_executor(
    task: WorkerTask, update: Callable[[WorkerStatus], Awaitable[None]], *, deadline: float
) -> str:
    """Works through task.metadata["steps"] steps, reporting after each one."""
    steps = int(task.metadata.get("steps", 3))
    report = WorkerStatus(task.id, WorkerState.RUNNING, name=task.name, model_used=task.model_key or "large")
    for step in range(1, steps + 1):
        if time.time() >= deadline:  # finish the round, then stop on time
            return f"stopped at its deadline after {step - 1} of {steps} steps"
        report.current_step = f"step {step} of {steps}"
        await update(report)
        await asyncio.sleep(STEP)
        if step == task.metadata.get("fail_at"):
            raise RuntimeError(f"source unreachable at step {step}")
        report.steps_completed, report.progress_pct = step, 100.0 * step / steps
        await update(report)
    return f"{task.name}: {steps} steps done"


def rows(pool: WorkerPool, ids: list[str]) -> list[WorkerStatus]:
    return [s for s in map(pool.get_status, ids) if s is not None]


async def main() -> None:
    logger = logging.getLogger("zorvic.worker_pool")  # its lines are shown at the end
    logger.addHandler(log := BufferingHandler(capacity=1000))
    logger.setLevel(logging.INFO)
    logger.propagate = False
    start = time.monotonic()
    seen: dict[str, WorkerState] = {}

    async def on_status(status: WorkerStatus) -> None:
        # Without a terminal, every change of state becomes one plain line.
        if not LIVE and seen.get(status.task_id) != status.state:
            print(f"{time.monotonic() - start:5.1f}s  {status.name:<12} {status.state.value}")
        seen[status.task_id] = status.state

    pool = WorkerPool(max_workers=3, executor=simulated_executor, on_status_change=on_status)
    tasks = [
        WorkerTask(name="research", prompt="Collect sources", metadata={"steps": 4}),
        WorkerTask(name="outline", prompt="Draft an outline", metadata={"steps": 3}),
        WorkerTask(name="monitor", prompt="Watch the feed", metadata={"steps": 50}),
        WorkerTask(name="fact-check", prompt="Check claims", metadata={"steps": 4, "fail_at": 2}),
        WorkerTask(name="summary", prompt="Summarise", timeout=0.5, metadata={"steps": 8}),
        WorkerTask(name="translate", prompt="Translate", model_key="small", metadata={"steps": 2}),
    ]
    print(f"main agent: {len(tasks)} workers, at most {pool.max_workers} at a time")
    ids = [status.task_id for status in await pool.submit_many(tasks)]

    async def redraw() -> None:  # on a terminal: the table, redrawn in place
        drawn = 0
        while True:
            lines = [
                f"\x1b[2K  {s.name:<12} {s.state.value:<10} {s.progress_pct:4.0f}%  {s.current_step}\n"
                for s in rows(pool, ids)
            ]
            sys.stdout.write((f"\x1b[{drawn}F" if drawn else "") + "".join(lines))
            sys.stdout.flush()
            drawn = len(lines)
            await asyncio.sleep(0.1)

    display = asyncio.create_task(redraw()) if LIVE else None
    await asyncio.sleep(1.0)
    await pool.cancel(ids[2])  # the monitor is no longer needed
    finished = await pool.wait_all(timeout=10.0)
    if display is not None:
        await asyncio.sleep(0.15)  # one last redraw with the final states
        display.cancel()
    print(f"\nmain agent: waited for the last {len(finished)} workers; results:")
    for s in rows(pool, ids):
        print(f"  {s.name:<12} {s.state.value:<10} {s.result or s.error or 'at ' + s.current_step}")
    await pool.cleanup()
    print("\npool log", *(f"  {r.levelname:<7} {r.getMessage()}" for r in log.buffer), sep="\n")
    print("\npool stats", *(f"  {key:<18} {value}" for key, value in pool.stats().items()), sep="\n")


if __name__ == "__main__":
    asyncio.run(main())

"""The pool inside an anyio program (on its asyncio backend): workers
submitted from a task group, a cancel scope that bounds the wait, and the
pool cleaned up on the way out."""

import anyio

from zorvic.core.worker_pool import WorkerPool, WorkerStatus, WorkerTask


async def executor(task: WorkerTask, update: object, *, deadline: float) -> str:
    await anyio.sleep(0.05 if task.name != "slow" else 60)  # anyio works inside a worker
    return f"{task.name}: done"


async def main() -> None:
    pool = WorkerPool(max_workers=2, executor=executor)
    submitted: list[WorkerStatus] = []

    # anyio 4.0 to 4.13 starts only Python's own coroutines in start_soon:
    # an async def of your own around the pool's call works with every version.
    async def submit(task: WorkerTask) -> None:
        submitted.append(await pool.submit(task))

    try:
        async with anyio.create_task_group() as tg:
            for name in ("fast", "slow", "other"):
                tg.start_soon(submit, WorkerTask(name=name))
        # the pool's operations can be awaited anywhere as they are
        with anyio.move_on_after(1):
            await pool.wait_all([s.task_id for s in submitted], timeout=0.5)
        for status in sorted(submitted, key=lambda s: s.name):
            print(f"{status.name:<6} {status.state.value}")
    finally:
        await pool.cleanup()  # the slow worker is still running: cancel it


anyio.run(main, backend="asyncio")

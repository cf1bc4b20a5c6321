"""A typed executor: an object that picks a model per task, works in rounds,
reports after each round and stops at its deadline. `mypy --strict` checks it
against the module's stubs (the suite does so on every run).
"""

from __future__ import annotations

import asyncio
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING

from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus, WorkerTask

if TYPE_CHECKING:  # the contracts exist for type checkers only
    from zorvic.core.worker_pool import Executor, StatusCallback, StatusUpdate


@dataclass
class ScriptedModel:
    """Stands in for a language-model client: one canned reply per round."""

    name: str
    latency: float

    async def complete(self, prompt: str, round_no: int) -> str:
        await asyncio.sleep(self.latency)
        return f"{self.name} #{round_no}: {prompt}"


@dataclass
class RoutedExecutor:
    """Called by the pool once per worker as `executor(task, update, deadline=...)`."""

    models: dict[str, ScriptedModel]
    rounds: int = 3

    def route(self, task: WorkerTask) -> ScriptedModel:
        return self.models[task.model_key or ("small" if task.complexity == "simple" else "large")]

    async def __call__(self, task: WorkerTask, update: StatusUpdate, *, deadline: float) -> str:
        model = self.route(task)
        report = WorkerStatus(task.id, WorkerState.RUNNING, name=task.name, model_used=model.name)
        answers: list[str] = []
        for round_no in range(1, self.rounds + 1):
            if time.time() >= deadline:  # the pool never stops us: finish the round, then return
                answers.append(f"(stopped at the deadline after {round_no - 1} rounds)")
                break
            answers.append(await model.complete(task.prompt, round_no))
            report.steps_completed = round_no
            report.progress_pct = 100.0 * round_no / self.rounds
            report.current_step = f"round {round_no} of {self.rounds}"
            await update(report)  # stored as the live record, then passed to on_status_change
        return "; ".join(answers)


async def main() -> None:
    executor: Executor = RoutedExecutor({"small": ScriptedModel("small", 0.02), "large": ScriptedModel("large", 0.1)})
    changes: list[str] = []

    async def record_change(status: WorkerStatus) -> None:
        changes.append(f"{status.name}:{status.state.value}")

    on_status_change: StatusCallback = record_change
    pool = WorkerPool(max_workers=2, executor=executor, on_status_change=on_status_change)
    queued = await pool.submit_many(
        [
            WorkerTask(name="quick", prompt="list the files", complexity="simple"),
            WorkerTask(name="deep", prompt="review the design", timeout=0.15),
            WorkerTask(name="spare", prompt="not needed after all"),
        ]
    )
    await pool.cancel(queued[2].task_id)  # still queued: it never reaches the executor
    for status in await pool.wait_all([s.task_id for s in queued], timeout=5.0):
        print(
            f"{status.name:<6} {status.state.value:<10} {status.model_used or '-':<6} {status.result or status.error}"
        )
    print(len(changes), "status changes;", pool.stats())
    await pool.cleanup()


if __name__ == "__main__":
    asyncio.run(main())

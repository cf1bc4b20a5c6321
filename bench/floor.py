"""The floor: the least host work that running workers on asyncio takes.

One twelve-field dataclass record per worker, one ``create_task`` per worker,
one ``asyncio.Semaphore`` for the concurrency limit, the executor awaited with
the same arguments a pool passes (the task, an update callback, a deadline),
and, when a status callback is given, the same four broadcasts a pool makes
(queued, running, each update, final). No history, no counters, no logging,
no argument checks: no pool built on asyncio can do less per worker.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

QUEUED = "queued"
RUNNING = "running"
COMPLETED = "completed"
FAILED = "failed"


@dataclass
class Record:
    task_id: str
    state: str
    name: str = ""
    model_used: str = ""
    current_step: str = ""
    steps_completed: int = 0
    progress_pct: float = 0.0
    result: str | None = None
    error: str | None = None
    started_at: float = 0.0
    completed_at: float = 0.0
    duration: float = 0.0


class Floor:
    """Starts workers straight on the loop; `records` maps task id to the live record."""

    def __init__(
        self,
        max_workers: int,
        executor: Callable[..., Awaitable[Any]],
        on_status_change: Callable[[Record], Awaitable[None]] | None = None,
    ) -> None:
        self.records: dict[str, Record] = {}
        self.semaphore = asyncio.Semaphore(max_workers)
        self.executor = executor
        self.on_status_change = on_status_change

    async def start_all(self, tasks: list[Any]) -> list[asyncio.Task[None]]:
        """Record each task as queued and start its worker; returns the asyncio tasks."""
        records = self.records
        on_status_change = self.on_status_change
        create_task = asyncio.create_task
        workers = []
        for task in tasks:
            record = Record(task.id, QUEUED, task.name)
            records[task.id] = record
            if on_status_change:
                await on_status_change(record)
            workers.append(create_task(self._run(task, record), name="worker-" + task.id))
        return workers

    async def update(self, record: Record) -> None:
        if record.task_id in self.records:
            self.records[record.task_id] = record
        if self.on_status_change:
            await self.on_status_change(record)

    async def _run(self, task: Any, record: Record) -> None:
        async with self.semaphore:
            record.state = RUNNING
            record.started_at = time.time()
            deadline = record.started_at + task.timeout
            if self.on_status_change:
                await self.on_status_change(record)
            try:
                record.result = await self.executor(task, self.update, deadline=deadline)
                record.state = COMPLETED
            except Exception as e:
                record.state = FAILED
                record.error = str(e)
            record.completed_at = time.time()
            record.duration = record.completed_at - record.started_at
            record.progress_pct = 100.0
            record.current_step = "Done"
            if self.on_status_change:
                await self.on_status_change(record)
            del self.records[task.id]

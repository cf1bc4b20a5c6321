"""Worker Pool — manages concurrent agent workers for parallel task execution."""

import asyncio
import logging
import time
import uuid
from dataclasses import dataclass, field
from enum import Enum
from typing import Any, Awaitable, Callable, ClassVar, Protocol, TypeAlias

logger: logging.Logger

class WorkerState(str, Enum):
    QUEUED = "queued"
    RUNNING = "running"
    COMPLETED = "completed"
    FAILED = "failed"
    CANCELLED = "cancelled"
    TIMEOUT = "timeout"

@dataclass
class WorkerTask:
    """A task to be executed by an agent worker."""

    id: str = ...
    name: str = ""
    prompt: str = ""
    model_key: str | None = None
    complexity: str | None = None
    timeout: float = 600.0
    tools: list[str] | None = None
    parent_task_id: str | None = None
    metadata: dict[str, Any] = ...
    created_at: float = ...
    def to_dict(self) -> dict[str, Any]: ...

@dataclass
class WorkerStatus:
    """Real-time status of a worker."""

    task_id: str
    state: WorkerState
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
    def to_dict(self) -> dict[str, Any]: ...

WorkerExecutor: TypeAlias = Callable[..., Awaitable[str]]

class StatusUpdate(Protocol):
    """What an executor receives as its second argument: await it with a record."""

    def __call__(self, status: WorkerStatus, /) -> Awaitable[None]: ...

class Executor(Protocol):
    """The executor contract: called once per worker as
    ``executor(task, update, deadline=deadline)``; the awaited result is the
    worker's answer, an exception makes the worker FAILED."""

    def __call__(
        self, task: WorkerTask, update: StatusUpdate, /, *, deadline: float
    ) -> Awaitable[str]: ...

StatusCallback: TypeAlias = Callable[[WorkerStatus], Awaitable[None]]

class WorkerPool:
    """Manages a pool of concurrent agent workers."""

    _max_workers: int
    _executor: WorkerExecutor | None
    _on_status_change: StatusCallback | None
    _queue: asyncio.Queue[Any]
    _active: dict[str, WorkerStatus]
    _completed: list[WorkerStatus]
    _tasks: dict[str, asyncio.Task[None]]
    _all_tasks: dict[str, WorkerTask]
    _total_submitted: int
    _total_completed: int
    _total_failed: int
    _semaphore: asyncio.Semaphore
    _running: bool

    def __init__(
        self,
        max_workers: int = 3,
        executor: WorkerExecutor | None = None,
        on_status_change: StatusCallback | None = None,
    ) -> None: ...
    @property
    def max_workers(self) -> int: ...
    @max_workers.setter
    def max_workers(self, value: int) -> None: ...
    def set_executor(self, executor: WorkerExecutor) -> None: ...
    async def submit(self, task: WorkerTask) -> WorkerStatus: ...
    async def submit_many(self, tasks: list[WorkerTask]) -> list[WorkerStatus]: ...
    async def cancel(self, task_id: str) -> bool: ...
    async def cancel_all(self) -> int: ...
    def get_status(self, task_id: str) -> WorkerStatus | None: ...
    def list_active(self) -> list[dict[str, Any]]: ...
    def list_running(self) -> list[dict[str, Any]]: ...
    def list_queued(self) -> list[dict[str, Any]]: ...
    def list_completed(self, limit: int = 50) -> list[dict[str, Any]]: ...
    def list_all(self) -> list[dict[str, Any]]: ...
    def stats(self) -> dict[str, Any]: ...
    async def wait_for(self, task_id: str, timeout: float = 300.0) -> WorkerStatus | None: ...
    async def wait_all(
        self, task_ids: list[str] | None = None, timeout: float = 600.0
    ) -> list[WorkerStatus]: ...
    async def cleanup(self) -> None: ...
    async def _run_worker(self, task: WorkerTask) -> None: ...
    async def _update_status(self, status: WorkerStatus) -> None: ...
    def _move_to_completed(self, task_id: str) -> None: ...

"""A worker pool written in plain Python: the baseline for the benchmarks.

This is the pool a developer would write by hand with asyncio, with the same
observable behaviour as ``zorvic.core.worker_pool.WorkerPool``: the same
records and dictionary forms, tables, counters, history bound, status
broadcasts, log lines, waits by polling and cancellation. The benchmarks run it
side by side with the extension module; the package never imports it.

Being ordinary ``async def`` functions, its asynchronous operations check their
arguments when awaited rather than when called; the log lines go to the logger
"bench.plain_pool" so that they never mix with the module's.
"""

from __future__ import annotations

import asyncio
import logging
import time
import uuid
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from enum import Enum
from typing import Any

logger = logging.getLogger("bench.plain_pool")


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

    id: str = field(default_factory=lambda: uuid.uuid4().hex[:12])
    name: str = ""
    prompt: str = ""
    model_key: str | None = None
    complexity: str | None = None
    timeout: float = 600.0
    tools: list[str] | None = None
    parent_task_id: str | None = None
    metadata: dict[str, Any] = field(default_factory=dict)
    created_at: float = field(default_factory=time.time)

    def to_dict(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "name": self.name,
            "prompt": self.prompt[:200] + ("..." if len(self.prompt) > 200 else ""),
            "model_key": self.model_key,
            "complexity": self.complexity,
            "timeout": self.timeout,
            "tools": self.tools,
            "parent_task_id": self.parent_task_id,
            "metadata": self.metadata,
            "created_at": self.created_at,
        }


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

    def to_dict(self) -> dict[str, Any]:
        return {
            "task_id": self.task_id,
            "state": self.state.value,
            "name": self.name,
            "model_used": self.model_used,
            "current_step": self.current_step,
            "steps_completed": self.steps_completed,
            "progress_pct": round(self.progress_pct, 1),
            "result": self.result[:500] if self.result and len(self.result) > 500 else self.result,
            "error": self.error,
            "started_at": self.started_at,
            "completed_at": self.completed_at,
            "duration": round(self.duration, 2),
        }


WorkerExecutor = Callable[..., Awaitable[str]]

_HISTORY_MAX = 200  # the history is cut back when it grows past this
_HISTORY_KEEP = 100  # ... to its newest entries


class WorkerPool:
    """Manages a pool of concurrent agent workers, in plain Python."""

    def __init__(
        self,
        max_workers: int = 3,
        executor: WorkerExecutor | None = None,
        on_status_change: Callable[[WorkerStatus], Awaitable[None]] | None = None,
    ):
        max_workers = _as_int("max_workers", max_workers)
        self._max_workers = max_workers
        self._executor = executor
        self._on_status_change = on_status_change
        self._queue: asyncio.Queue[Any] = asyncio.Queue()
        self._active: dict[str, WorkerStatus] = {}
        self._completed: list[WorkerStatus] = []
        self._tasks: dict[str, asyncio.Task[None]] = {}
        self._all_tasks: dict[str, Any] = {}
        self._total_submitted = 0
        self._total_completed = 0
        self._total_failed = 0
        self._semaphore = asyncio.Semaphore(max_workers)
        self._running = False

    # -- configuration

    @property
    def max_workers(self) -> int:
        return self._max_workers

    @max_workers.setter
    def max_workers(self, value: int) -> None:
        value = _as_int("value", value)
        self._max_workers = max(1, min(value, 20))
        logger.info(f"Max workers updated to {self._max_workers}")
        self._semaphore = asyncio.Semaphore(self._max_workers)

    def set_executor(self, executor: WorkerExecutor) -> None:
        """Set the worker executor function (called after init when agent is ready)."""
        self._executor = executor

    # -- submission

    async def submit(self, task: Any) -> WorkerStatus:
        """Submit a task for execution. Returns immediately with queued status."""
        if not self._executor:
            raise RuntimeError("No executor set — call set_executor() first")
        self._total_submitted += 1
        self._all_tasks[task.id] = task
        status = WorkerStatus(
            task_id=task.id,
            state=WorkerState.QUEUED,
            name=task.name or f"Worker-{task.id[:6]}",
        )
        self._active[task.id] = status
        if self._on_status_change:
            await self._on_status_change(status)
        self._tasks[task.id] = asyncio.create_task(self._run_worker(task), name=f"worker-{task.id}")
        logger.info(f"Worker submitted: {task.name} ({task.id})")
        return status

    async def submit_many(self, tasks: list[Any]) -> list[WorkerStatus]:
        """Submit multiple tasks at once."""
        if type(tasks) is not list:
            raise _arg_type_error("tasks", "list", tasks)
        results = []
        i = 0
        while i < len(tasks):  # tasks appended while a submit waits are submitted too
            results.append(await self.submit(tasks[i]))
            i += 1
        return results

    # -- cancellation

    async def cancel(self, task_id: str) -> bool:
        """Cancel a running or queued worker."""
        if type(task_id) is not str:
            raise _arg_type_error("task_id", "str", task_id)
        if task_id not in self._tasks:
            return False
        self._tasks[task_id].cancel()
        if task_id in self._active:
            self._active[task_id].state = WorkerState.CANCELLED
            self._active[task_id].completed_at = time.time()
            if self._on_status_change:
                await self._on_status_change(self._active[task_id])
            self._move_to_completed(task_id)
        logger.info(f"Worker cancelled: {task_id}")
        return True

    async def cancel_all(self) -> int:
        """Cancel all active workers. Returns count of cancelled tasks."""
        count = 0
        for task_id in list(self._tasks.keys()):
            if await self.cancel(task_id):
                count += 1
        return count

    # -- queries

    def get_status(self, task_id: str) -> WorkerStatus | None:
        """Get the status of a specific worker."""
        if type(task_id) is not str:
            raise _arg_type_error("task_id", "str", task_id)
        if task_id in self._active:
            return self._active[task_id]
        for status in self._completed:
            if status.task_id == task_id:
                return status
        return None

    def list_active(self) -> list[dict[str, Any]]:
        """List all active (queued + running) workers."""
        return [s.to_dict() for s in self._active.values()]

    def list_running(self) -> list[dict[str, Any]]:
        """List only running workers."""
        return [s.to_dict() for s in self._active.values() if s.state == WorkerState.RUNNING]

    def list_queued(self) -> list[dict[str, Any]]:
        """List only queued workers."""
        return [s.to_dict() for s in self._active.values() if s.state == WorkerState.QUEUED]

    def list_completed(self, limit: int = 50) -> list[dict[str, Any]]:
        """List recently completed workers."""
        limit = _as_int("limit", limit)
        return [s.to_dict() for s in self._completed[-limit:]]

    def list_all(self) -> list[dict[str, Any]]:
        """List all workers (active + recent completed)."""
        return self.list_active() + self.list_completed(20)

    def stats(self) -> dict[str, Any]:
        """Get pool statistics."""
        running = sum(1 for s in self._active.values() if s.state == WorkerState.RUNNING)
        queued = sum(1 for s in self._active.values() if s.state == WorkerState.QUEUED)
        return {
            "max_workers": self._max_workers,
            "active_count": running,
            "queued_count": queued,
            "total_submitted": self._total_submitted,
            "total_completed": self._total_completed,
            "total_failed": self._total_failed,
            "completed_history": len(self._completed),
        }

    # -- waits (polling: awaiting a worker's task from inside an agent loop can deadlock)

    async def wait_for(self, task_id: str, timeout: float = 300.0) -> WorkerStatus | None:
        """Wait for a specific worker to complete by polling status."""
        timeout = _as_float(timeout)
        if type(task_id) is not str:
            raise _arg_type_error("task_id", "str", task_id)
        deadline = time.monotonic() + timeout
        poll_interval = 0.5
        while time.monotonic() < deadline:
            status = self.get_status(task_id)
            if status is None:
                return None
            if status.state in _FINAL_STATES:
                return status
            await asyncio.sleep(poll_interval)
            poll_interval = min(poll_interval * 1.2, 2.0)
        return self.get_status(task_id)

    async def wait_all(self, task_ids: list[str] | None = None, timeout: float = 600.0) -> list[WorkerStatus]:
        """Wait for multiple workers to complete by polling status."""
        timeout = _as_float(timeout)
        if task_ids is not None and type(task_ids) is not list:
            raise _arg_type_error("task_ids", "list", task_ids)
        ids = task_ids or list(self._tasks.keys())
        deadline = time.monotonic() + timeout
        poll_interval = 0.5
        while time.monotonic() < deadline:
            all_done = True
            for tid in ids:
                status = self.get_status(tid)
                if status and status.state in (WorkerState.QUEUED, WorkerState.RUNNING):
                    all_done = False
                    break
            if all_done:
                break
            await asyncio.sleep(poll_interval)
            poll_interval = min(poll_interval * 1.2, 2.0)
        return [self.get_status(tid) for tid in ids if self.get_status(tid)]  # type: ignore[misc]

    async def cleanup(self) -> None:
        """Cancel all workers and clean up."""
        await self.cancel_all()
        self._active.clear()
        self._tasks.clear()
        logger.info("WorkerPool cleaned up")

    # -- the life of one worker

    async def _run_worker(self, task: Any) -> None:
        """Execute a worker task with concurrency control.

        The executor gets an absolute deadline and stops on its own; the pool
        never wraps the call in a timer, so a time-out is not a cancellation.
        """
        status = self._active.get(task.id)
        if not status:
            return
        async with self._semaphore:
            status.state = WorkerState.RUNNING
            status.started_at = time.time()
            deadline = time.time() + task.timeout
            if self._on_status_change:
                try:
                    await self._on_status_change(status)
                except Exception:
                    pass
            try:
                result = await self._executor(task, self._update_status, deadline=deadline)  # type: ignore[misc]
                status.state = WorkerState.COMPLETED
                status.result = result
                self._total_completed += 1
            except asyncio.CancelledError:
                status.state = WorkerState.CANCELLED
                status.error = "Cancelled by user"
                self._total_failed += 1
                logger.info(f"Worker {task.id} was cancelled by user")
            except Exception as e:
                status.state = WorkerState.FAILED
                status.error = str(e)
                self._total_failed += 1
                logger.exception(f"Worker {task.id} failed: {e}")
            finally:
                status.completed_at = time.time()
                status.duration = status.completed_at - (status.started_at or status.completed_at)
                if status.state in _FINAL_STATES:
                    status.progress_pct = 100.0
                    if status.state == WorkerState.COMPLETED:
                        status.current_step = "Done"
                    elif status.state == WorkerState.FAILED:
                        status.current_step = f"Failed: {status.error or 'Unknown error'}"
                    elif status.state == WorkerState.TIMEOUT:
                        status.current_step = "Timed out"
                    else:
                        status.current_step = "Cancelled"
                if self._on_status_change:
                    try:
                        await self._on_status_change(status)
                    except Exception as e:
                        logger.error(f"Failed to broadcast final status for {task.id}: {e}")
                self._move_to_completed(task.id)

    async def _update_status(self, status: WorkerStatus) -> None:
        """Callback for workers to report status updates."""
        if status.task_id in self._active:
            self._active[status.task_id] = status
        if self._on_status_change:
            await self._on_status_change(status)

    def _move_to_completed(self, task_id: str) -> None:
        """Move a worker from active to completed history."""
        if type(task_id) is not str:
            raise _arg_type_error("task_id", "str", task_id)
        if task_id in self._active:
            self._completed.append(self._active.pop(task_id))
            if len(self._completed) > _HISTORY_MAX:
                self._completed = self._completed[-_HISTORY_KEEP:]
        self._tasks.pop(task_id, None)


_FINAL_STATES = (WorkerState.COMPLETED, WorkerState.FAILED, WorkerState.CANCELLED, WorkerState.TIMEOUT)


def _arg_type_error(name: str, expected: str, value: Any) -> TypeError:
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _is_number(value: Any) -> bool:
    kind = type(value)
    return any(hasattr(kind, m) for m in ("__int__", "__index__", "__float__", "__complex__"))


def _as_int(name: str, value: Any) -> int:
    """An exact int as is; another number through int(); anything else is refused."""
    if type(value) is int:
        return value
    if not _is_number(value):
        raise _arg_type_error(name, "int", value)
    return int(value)


def _as_float(value: Any) -> float:
    """Like the interpreter's float conversion of an argument: numbers only, no strings."""
    if type(value) is float:
        return value
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"must be real number, not {kind.__name__}")
    return float(value)

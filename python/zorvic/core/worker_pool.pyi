"""Worker pool: runs agent workers as asyncio tasks on the host's event loop.

Type information for the compiled module. Three names here exist for type
checkers only (decorated with ``@type_check_only``): ``StatusUpdate``,
``Executor`` and ``StatusCallback`` spell out the calling contracts of the
executor and of the status callback. Import them under ``TYPE_CHECKING``::

    from typing import TYPE_CHECKING
    if TYPE_CHECKING:
        from zorvic.core.worker_pool import StatusUpdate
"""

import asyncio
import logging
from collections.abc import Awaitable, Callable, Coroutine
from dataclasses import dataclass
from enum import Enum
from typing import Any, ClassVar, Protocol, Self, TypeAlias, type_check_only

logger: logging.Logger
"""``logging.getLogger("zorvic.worker_pool")``; the module adds no handler."""

# An empty doctest table (no doctests are collected from the module).
__test__: dict[str, Any]

class WorkerState(str, Enum):
    # Members are also strings: WorkerState.RUNNING == "running";
    # WorkerState("failed") is WorkerState.FAILED (lookup by value).
    _value_: str
    def __new__(cls, value: str) -> Self: ...
    @property
    def value(self) -> str: ...
    QUEUED = "queued"
    RUNNING = "running"
    COMPLETED = "completed"
    FAILED = "failed"
    CANCELLED = "cancelled"
    TIMEOUT = "timeout"  # never set by the pool itself

@dataclass
class WorkerTask:
    """A task to be executed by an agent worker."""

    # Unhashable: the generated __eq__ without frozen=True sets __hash__ to None.
    __hash__: ClassVar[None]  # type: ignore[assignment]

    id: str = ...  # fresh 12 lowercase hex digits per instance
    name: str = ""
    prompt: str = ""
    model_key: str | None = None
    complexity: str | None = None
    timeout: float = 600.0
    tools: list[str] | None = None
    parent_task_id: str | None = None
    metadata: dict[str, Any] = ...  # a new empty dict per instance
    created_at: float = ...  # time.time() at construction
    def to_dict(self) -> dict[str, Any]: ...

@dataclass
class WorkerStatus:
    """Real-time status of a worker."""

    __hash__: ClassVar[None]  # type: ignore[assignment]

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

# The module's own alias, exactly as it exists at run time.
WorkerExecutor: TypeAlias = Callable[..., Awaitable[str]]

@type_check_only
class StatusUpdate(Protocol):
    """The second argument of every executor call: the pool's bound
    ``_update_status``. ``await update(status)`` stores ``status`` as the
    worker's live record (while the worker is active) and forwards it to the
    status callback; an exception from the callback propagates to the caller."""

    def __call__(self, status: WorkerStatus, /) -> Coroutine[Any, Any, None]: ...

@type_check_only
class Executor(Protocol):
    """The executor contract. Called once per worker, after it took a slot and
    became RUNNING, as ``executor(task, update, deadline=deadline)`` where
    ``deadline`` is an absolute ``time.time()`` reading. The returned awaitable
    is awaited at once: its result becomes ``WorkerStatus.result``
    (COMPLETED); an ``Exception`` makes the worker FAILED with ``str(exc)`` as
    ``error``; cancellation of the worker makes it CANCELLED. The pool never
    enforces the deadline: the executor finishes its round and returns."""

    def __call__(self, task: WorkerTask, update: StatusUpdate, /, *, deadline: float) -> Awaitable[str]: ...

@type_check_only
class StatusCallback(Protocol):
    """The ``on_status_change`` contract: called with the pool's live record
    (not a copy) at every change and awaited at once; the awaited value is
    ignored."""

    def __call__(self, status: WorkerStatus, /) -> Awaitable[object]: ...

class WorkerPool:
    """Manages a pool of concurrent agent workers."""

    _max_workers: int
    _executor: Executor | None
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

    # Arguments are checked when an operation is called, before an awaitable
    # exists. "str" and "list" parameters take exactly that type (not None,
    # not a subclass): TypeError "Argument 'task_id' has incorrect type
    # (expected str, got NoneType)". "int" parameters take any number and
    # convert it with int(); anything else raises the same TypeError naming
    # int. "float" parameters take any real number ("must be real number, not
    # NoneType"). Parameters typed with the module's own classes are not checked.
    def __init__(
        self,
        max_workers: int = 3,
        executor: Executor | None = None,
        on_status_change: StatusCallback | None = None,
    ) -> None:
        """max_workers is taken as given (the property setter clamps to 1..20);
        a negative value raises asyncio.Semaphore's ValueError."""
    @property
    def max_workers(self) -> int: ...
    @max_workers.setter
    def max_workers(self, value: int) -> None:
        """Clamps to 1..20, logs "Max workers updated to <n>" and applies to
        workers that have not yet asked for a slot."""
    def set_executor(self, executor: Executor | None) -> None:
        """Set the worker executor function (called after init when agent is ready).

        None unsets it: submit() then raises RuntimeError."""
    async def submit(self, task: WorkerTask) -> WorkerStatus:
        """Submit a task for execution. Returns immediately with queued status.

        Raises RuntimeError "No executor set — call set_executor() first" when
        the pool has no executor."""
    async def submit_many(self, tasks: list[WorkerTask]) -> list[WorkerStatus]:
        """Submit multiple tasks at once (one after the other, in list order)."""
    async def cancel(self, task_id: str) -> bool:
        """Cancel a running or queued worker.

        Returns before the worker has stopped: the record is marked CANCELLED,
        broadcast and moved to the history at once; False for an id that is
        not tracked."""
    async def cancel_all(self) -> int:
        """Cancel all active workers. Returns count of cancelled tasks."""
    def get_status(self, task_id: str) -> WorkerStatus | None:
        """The live record: active, else the oldest history entry, else None."""
    def list_active(self) -> list[dict[str, Any]]: ...
    def list_running(self) -> list[dict[str, Any]]: ...
    def list_queued(self) -> list[dict[str, Any]]: ...
    def list_completed(self, limit: int = 50) -> list[dict[str, Any]]:
        """The newest ``limit`` history entries as dicts, oldest first."""
    def list_all(self) -> list[dict[str, Any]]:
        """list_active() followed by the newest 20 history entries."""
    def stats(self) -> dict[str, int]:
        """Keys: max_workers, active_count (running only), queued_count,
        total_submitted, total_completed, total_failed (cancellations
        included), completed_history."""
    async def wait_for(self, task_id: str, timeout: float = 300.0) -> WorkerStatus | None:
        """Poll until the worker is in a final state or ``timeout`` seconds
        have passed; never raises on time-out (look at ``state``). None at
        once for an id the pool does not know."""
    async def wait_all(self, task_ids: list[str] | None = None, timeout: float = 600.0) -> list[WorkerStatus]:
        """Poll until none of the workers is queued or running, or until
        ``timeout``; without ids, the workers tracked when the wait starts.
        Unknown ids are left out of the result."""
    async def cleanup(self) -> None:
        """Cancel all workers and empty the active tables (history and
        counters stay; the pool stays usable)."""
    async def _run_worker(self, task: WorkerTask) -> None: ...
    async def _update_status(self, status: WorkerStatus) -> None: ...
    def _move_to_completed(self, task_id: str) -> None: ...

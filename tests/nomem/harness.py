"""Allocation-failure sweep of zorvic.core.worker_pool.

Every operation of the module is run again and again, each time with the
interpreter's N-th memory allocation made to fail (`_testcapi.set_nomemory`),
for N = 1, 2, 3, ... until the operation gets through without reaching the
failing allocation. Two regimes:

    all   allocation N and every later one fail (until the operation returns)
    one   allocation N alone fails; the operation goes on with memory again

After each attempt, with the allocator restored, the operation must have
raised MemoryError or succeeded (an operation's own outcome, such as the
TypeError of a bad-argument call, counts as success), never SystemError; the
pool's tables must still hang together (see `check_tables`); any worker left
running is driven to its end; and a fresh end-to-end run in the same process
must work. A crash or a hang fails that index only: the parent starts a new
child at the next index.

    python tests/nomem/harness.py                      # every operation, both regimes
    python tests/nomem/harness.py --ops submit,cancel --modes one
    python tests/nomem/harness.py --ops import --import-stride 1   # every index of an import

`--stacks` reruns every bad index under gdb and prints the C stack of the
allocation made to fail (for a crash, also the crashing stack, from the same
run; for a hang, the spinning one). The module allocates everything through
the interpreter's allocator (its coroutine frames and scopes included), so
the same hooks fail its own allocations too; built with
ZORVIC_FAULT_INJECTION (as `make nomem` builds it), every frame and scope is
a new allocation rather than one taken from a free list.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import dataclasses
import gc
import json
import os
import re
import selectors
import signal
import subprocess
import sys
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
MODULE = "zorvic.core.worker_pool"

# Outcomes of one index. The first three are fine.
GOOD = ("ok", "memoryerror", "expected")
# Faults of CPython 3.13.0 itself, recognised by a C stack: of the allocation
# made to fail ("alloc_stack"), or of the crash or hang ("stack"). Each entry
# names what must match, field by field (regular expressions; a stack is
# gdb's `bt` lines). cpython_faults.py reproduces each without the module
# (its function named in brackets). They are reported, and do not fail the
# sweep. (Faults recognised by the exception they leave: `exception_fault`.)
# A frame, then its caller: "f" + _CALLED_FROM + "g" (g called f).
_CALLED_FROM = r" \(.*\n#\d+ +(0x\w+ in )?"
# From the top of a stack down to an evaluation loop, only frames of the
# interpreter's exception unwinding and of a failing allocation, with the
# loop itself in its unwinding code: it spins on one Python frame's handler.
_SPINNING_IN_EVAL = (
    r"\A(#\d+ +(0x\w+ in )?\w+ \(.*\) at (Python/(ceval|errors|traceback|gc)\.c"
    r"|Objects/(longobject|exceptions|obmalloc|frameobject|object|tupleobject)\.c"
    r"|\./Include/\S+|\./Modules/_testcapi/mem\.c|\S*/tls_get_addr\.S):\d+\n"
    r"|#\d+ +0x\w+ in \w+@plt \(\) from \S*/libpython3\.13\.so\S*\n)*"
    r"#\d+ +(0x\w+ in )?_PyEval_EvalFrameDefault \(.*\) at (Python/ceval\.c|\./Include/\S+):\d+$"
)
INTERPRETER_STACKS: tuple[tuple[str, dict[str, str]], ...] = (
    ("frame.c take_ownership() clears the error in flight [take_ownership]", {"alloc_stack": "take_ownership"}),
    ("frame.f_back returns None with MemoryError set [f_back]", {"alloc_stack": "frame_getback"}),
    # Entering a handler whose offset does not fit a small int allocates;
    # when that fails, the exception unwinds to the same handler again, for
    # as long as every allocation fails. A snapshot of the loop is anywhere
    # in the unwinding code.
    (
        "exception handler entry fails to box lasti and loops [handler_lasti]",
        {"outcome": "^hang$", "mode": "^all$", "stack": _SPINNING_IN_EVAL},
    ),
    # dict_setdefault_ref_lock_held() counts the entry in when its insertion
    # fails to grow the table, and returns success: the dict (a type's being
    # readied, the compiler's constant cache, ...) holds one entry less than
    # it says, and its next resize or release reads a NULL or stale entry.
    (
        "dict setdefault counts a failed insertion in and returns success [setdefault_resize]",
        {"alloc_stack": "insert_combined_dict" + _CALLED_FROM + "dict_setdefault_ref_lock_held"},
    ),
    # MAKE_FUNCTION releases the code object once more when the function
    # cannot be made; a later function made from it uses freed memory.
    (
        "MAKE_FUNCTION releases the code object once too often [make_function]",
        {"alloc_stack": "PyFunction_NewWithQualName" + _CALLED_FROM + "_PyEval_EvalFrameDefault"},
    ),
    # assemble_init() releases its buffers when the second or third cannot
    # be made, without forgetting them; assemble_free() releases them again.
    (
        "the assembler frees its bytecode buffer twice [assemble_init]",
        {"alloc_stack": r"assemble_init \(.*\) at Python/assemble\.c:(74|78)$"},
    ),
    (
        "the tokenizer's state or text not allocated: NULL without an exception [tokenizer_new]",
        {"alloc_stack": "_PyTokenizer_(tok_new|translate_newlines|new_string)"},
    ),
    # dictiter_new() releases the items iterator it has not tracked yet when
    # its result pair cannot be made, and the deallocator untracks it: a
    # write through a null link. (No reproduction alone: the pair usually
    # comes from the interpreter's free list of pairs, and the sweep meets
    # this only inside dataclasses, when that list is empty.)
    (
        "the dict items iterator untracked before it was tracked (no reproduction alone)",
        {"alloc_stack": "PyTuple_Pack" + _CALLED_FROM + "dictiter_new"},
    ),
    # The compiler (dataclasses compiles the methods it makes) returns NULL
    # without an exception when its state or the table of a code unit's used
    # constants cannot be allocated.
    (
        "the compiler's state not allocated: NULL without an exception [compiler_null]",
        {"alloc_stack": r"new_compiler \(.*\) at Python/compile\.c"},
    ),
    (
        "the compiler's used-constants table not allocated: NULL without an exception [compiler_null]",
        {"alloc_stack": "remove_unused_consts"},
    ),
    # compiler_enter_scope() goes on when the new scope's instruction
    # sequence cannot be made; the compiler crashes on it afterwards.
    (
        "the compiler's scope has no instruction sequence [inst_seq_create]",
        {"alloc_stack": "inst_seq_create"},
    ),
    (
        "an f-string field not copied: SyntaxError instead of MemoryError [fstring_expr]",
        {"alloc_stack": "_PyLexer_update_fstring_expr"},
    ),
)
BAD = ("systemerror", "other", "inconsistent", "e2e", "crash", "hang", "harness")


# ================================================================ the child


@dataclasses.dataclass
class Op:
    """One operation under test.

    `call(st)` runs it (for `is_async`, returns the awaitable that is awaited
    inside the failure window). `setup(st)` prepares `st` with the allocator
    intact; `finish(st)` afterwards drives what the operation left running to
    its end and returns problems found.
    """

    name: str
    call: Callable[[Any], Any]
    is_async: bool = False
    setup: Callable[[Any], Awaitable[None]] | None = None
    finish: Callable[[Any], Awaitable[list[str]]] | None = None
    expect: tuple[type[BaseException], ...] = ()
    clock: bool = False  # fake asyncio.sleep and time.monotonic during the call
    eager: bool = False  # the loop's task factory is asyncio.eager_task_factory


class St:
    """What one attempt works on: pools, tasks, records, worker tasks."""

    def __init__(self) -> None:
        self.pools: list[Any] = []
        self.workers: list[asyncio.Future[Any]] = []
        self.gate: asyncio.Event | None = None
        self.coro: Any = None
        # Filled in by the set-ups that use them.
        self.pool: Any = None
        self.task: Any = None
        self.tasks: list[Any] = []
        self.status: Any = None
        self.running: Any = None
        self.queued: Any = None
        self.done: list[Any] = []
        self.spec: Any = None


def _child_ops() -> dict[str, Op]:
    import zorvic.core.worker_pool as wp

    WorkerPool, WorkerTask, WorkerStatus, WorkerState = wp.WorkerPool, wp.WorkerTask, wp.WorkerStatus, wp.WorkerState

    async def returning(task: Any, update: Any, *, deadline: float) -> str:
        await update(WorkerStatus(task.id, WorkerState.RUNNING, name=task.name, progress_pct=50.0))
        return "answer " + task.name

    async def raising(task: Any, update: Any, *, deadline: float) -> str:
        raise ValueError("executor failed for " + task.name)

    async def cancelled(task: Any, update: Any, *, deadline: float) -> str:
        raise asyncio.CancelledError()

    async def callback(status: Any) -> None:
        return None

    class Yield:
        """Suspends its awaiter once, with no event loop involved."""

        def __await__(self) -> Any:
            yield None

    async def suspending_callback(status: Any) -> None:
        await Yield()

    def blocking_executor(st: St) -> Callable[..., Awaitable[str]]:
        async def blocked(task: Any, update: Any, *, deadline: float) -> str:
            assert st.gate is not None
            await st.gate.wait()
            return "released " + task.name

        return blocked

    def new_pool(st: St, *args: Any) -> Any:
        pool = WorkerPool(*args)
        st.pools.append(pool)
        return pool

    # ------------------------------------------------------------ set-ups

    async def nothing(st: St) -> None:
        pass

    async def records(st: St) -> None:
        st.task = WorkerTask(name="research", prompt="look it up", tools=["search"], metadata={"k": 1})
        st.status = WorkerStatus(st.task.id, WorkerState.RUNNING, name="research", progress_pct=42.0)

    def submitting(executor: Callable[..., Any], count: int = 1) -> Callable[[St], Awaitable[None]]:
        async def setup(st: St) -> None:
            st.pool = new_pool(st, 2, executor, callback)
            st.tasks = [WorkerTask(name=f"t{i}", prompt="p") for i in range(count)]
            st.task = st.tasks[0]

        return setup

    def direct_worker(executor: Callable[..., Any]) -> Callable[[St], Awaitable[None]]:
        # _run_worker driven by hand: the record is put in place as submit would.
        async def setup(st: St) -> None:
            st.pool = pool = new_pool(st, 2, executor, callback)
            st.task = task = WorkerTask(name="direct", prompt="p")
            pool._total_submitted += 1
            pool._all_tasks[task.id] = task
            pool._active[task.id] = WorkerStatus(task_id=task.id, state=WorkerState.QUEUED, name=task.name)

        return setup

    async def busy(st: St) -> None:
        # One worker running (blocked on the gate), one queued, one finished,
        # one failed: every listing has something to show.
        st.gate = asyncio.Event()
        st.pool = pool = new_pool(st, 1, raising, callback)
        done = [WorkerTask(name="done"), WorkerTask(name="failed")]
        pool.set_executor(returning)
        await pool.submit(done[0])
        st.workers += pool._tasks.values()
        await asyncio.gather(*pool._tasks.values())
        pool.set_executor(raising)
        await pool.submit(done[1])
        await asyncio.gather(*pool._tasks.values())
        pool.set_executor(blocking_executor(st))
        st.running, st.queued = WorkerTask(name="running"), WorkerTask(name="queued")
        await pool.submit_many([st.running, st.queued])
        st.workers += pool._tasks.values()
        st.done = done
        for _ in range(3):
            await asyncio.sleep(0)
        assert pool._active[st.running.id].state == WorkerState.RUNNING
        assert pool._active[st.queued.id].state == WorkerState.QUEUED

    async def coroutine(st: St) -> None:
        st.pool = new_pool(st, 2, returning, suspending_callback)
        st.task = WorkerTask(name="reported")
        st.status = WorkerStatus(st.task.id, WorkerState.RUNNING, name="reported")

    # ------------------------------------------------------------ finishing

    async def settle(st: St) -> list[str]:
        """Lets every worker of every pool run to its end (allocator intact)."""
        problems: list[str] = []
        if st.gate is not None:
            st.gate.set()
        for pool in st.pools:
            st.workers += [t for t in pool._tasks.values() if isinstance(t, asyncio.Future)]
        for _ in range(200):
            pending = [w for w in st.workers if not w.done()]
            if not pending:
                break
            await asyncio.sleep(0)
        else:
            # A task whose awaited future is done was never woken: asyncio's
            # Future.cancel() lost the wake-up when scheduling it failed.
            lost = [w for w in pending if getattr(w, "_fut_waiter", None) is not None and w._fut_waiter.done()]
            # The others then wait for the slot the stuck one holds.
            if lost:
                problems.append(
                    f"interpreter: asyncio lost the wake-up of {len(lost)} cancelled task(s), "
                    f"{len(pending)} left waiting"
                )
            else:
                problems.append(f"{len(pending)} worker task(s) never finished: {pending[:2]}")
        for w in st.workers:
            if w.done() and not w.cancelled():
                w.exception()  # retrieved: no "never retrieved" report
        if isinstance(st.coro, collections.abc.Coroutine):
            st.coro.close()
        return problems

    # ------------------------------------------------------------ the operations

    def coro_send(st: St) -> Any:
        c = st.coro = st.pool._update_status(st.status)
        c.send(None)  # suspends inside the callback
        try:
            c.send(None)
        except StopIteration as stop:
            return stop.value
        raise AssertionError("the coroutine did not finish")

    def coro_throw(st: St) -> Any:
        c = st.coro = st.pool._update_status(st.status)
        c.send(None)
        return c.throw(KeyError("thrown in"))  # raises KeyError: the callback does not catch it

    def coro_close(st: St) -> Any:
        c = st.coro = st.pool._update_status(st.status)
        c.send(None)
        return c.close()

    def coro_throw_unstarted(st: St) -> Any:
        c = st.coro = st.pool._update_status(st.status)
        return c.throw(KeyError("before the start"))

    def coro_origin(st: St) -> Any:
        # Made under origin tracking: the origin is recorded. (Dropped
        # unstarted, it would warn through warnings._warn_unawaited_coroutine,
        # whose closure meets the interpreter's MAKE_FUNCTION fault; `settle`
        # closes it instead.)
        sys.set_coroutine_origin_tracking_depth(4)
        try:
            st.coro = st.pool._update_status(st.status)
        finally:
            sys.set_coroutine_origin_tracking_depth(0)
        return st.coro.cr_origin

    def set_max_workers(st: St) -> None:
        st.pool.max_workers = 5

    import pickle

    ops = [
        # records
        Op("task", lambda st: WorkerTask(name="n", prompt="p", tools=["a"], metadata={"k": 1}), setup=nothing),
        Op("task_to_dict", lambda st: st.task.to_dict(), setup=records),
        Op(
            "status",
            lambda st: WorkerStatus(st.task.id, WorkerState.RUNNING, name="n", progress_pct=5.0),
            setup=records,
        ),
        Op("status_to_dict", lambda st: st.status.to_dict(), setup=records),
        # pool
        Op("pool", lambda st: new_pool(st, 4, returning, callback), setup=nothing),
        Op("max_workers", set_max_workers, setup=submitting(returning)),
        # submission; the worker runs to its end inside the window when eager
        Op("submit", lambda st: st.pool.submit(st.task), True, submitting(returning)),
        Op("submit_raising", lambda st: st.pool.submit(st.task), True, submitting(raising)),
        Op("submit_eager", lambda st: st.pool.submit(st.task), True, submitting(returning), eager=True),
        Op("submit_eager_raising", lambda st: st.pool.submit(st.task), True, submitting(raising), eager=True),
        Op("submit_many", lambda st: st.pool.submit_many(st.tasks), True, submitting(returning, 3)),
        Op("submit_many_eager", lambda st: st.pool.submit_many(st.tasks), True, submitting(raising, 3), eager=True),
        # one worker's whole life, driven directly
        Op("run_worker", lambda st: st.pool._run_worker(st.task), True, direct_worker(returning)),
        Op("run_worker_raising", lambda st: st.pool._run_worker(st.task), True, direct_worker(raising)),
        Op("run_worker_cancelled", lambda st: st.pool._run_worker(st.task), True, direct_worker(cancelled)),
        # cancellation
        Op("cancel_running", lambda st: st.pool.cancel(st.running.id), True, busy),
        Op("cancel_queued", lambda st: st.pool.cancel(st.queued.id), True, busy),
        Op("cancel_all", lambda st: st.pool.cancel_all(), True, busy),
        Op("cleanup", lambda st: st.pool.cleanup(), True, busy),
        # waits, on a fake clock
        Op("wait_for_done", lambda st: st.pool.wait_for(st.done[0].id, 5.0), True, busy, clock=True),
        Op("wait_for_timeout", lambda st: st.pool.wait_for(st.running.id, 2.0), True, busy, clock=True),
        Op("wait_all_timeout", lambda st: st.pool.wait_all(None, 2.0), True, busy, clock=True),
        Op("wait_all_done", lambda st: st.pool.wait_all([t.id for t in st.done], 2.0), True, busy, clock=True),
        # queries
        Op("get_status", lambda st: st.pool.get_status(st.running.id), setup=busy),
        Op("get_status_completed", lambda st: st.pool.get_status(st.done[1].id), setup=busy),
        Op("list_active", lambda st: st.pool.list_active(), setup=busy),
        Op("list_running", lambda st: st.pool.list_running(), setup=busy),
        Op("list_queued", lambda st: st.pool.list_queued(), setup=busy),
        Op("list_completed", lambda st: st.pool.list_completed(), setup=busy),
        Op("list_all", lambda st: st.pool.list_all(), setup=busy),
        Op("stats", lambda st: st.pool.stats(), setup=busy),
        # function objects and argument binding
        Op("pickle", lambda st: pickle.dumps(WorkerPool.submit), setup=nothing),
        Op("bad_argument", lambda st: st.pool.get_status(12), setup=submitting(returning), expect=(TypeError,)),
        Op(
            "bad_keyword",
            lambda st: st.pool.wait_for("x", timeout=1.0, when=2),
            setup=submitting(returning),
            expect=(TypeError,),
        ),
        # the coroutine protocol by hand
        Op("coro_send", coro_send, setup=coroutine),
        Op("coro_throw", coro_throw, setup=coroutine, expect=(KeyError,)),
        Op("coro_close", coro_close, setup=coroutine),
        Op("coro_throw_unstarted", coro_throw_unstarted, setup=coroutine, expect=(KeyError,)),
        Op("coro_origin", coro_origin, setup=coroutine),
    ]
    for op in ops:
        if op.finish is None:
            op.finish = settle
    return {op.name: op for op in ops}


def check_tables(pool: Any) -> list[str]:
    """What must hold of a pool at any quiescent point, whatever failed."""
    wp = sys.modules[MODULE]
    problems: list[str] = []
    active, completed, tasks, all_tasks = pool._active, pool._completed, pool._tasks, pool._all_tasks
    for field, value, kind in (
        ("_active", active, dict),
        ("_completed", completed, list),
        ("_tasks", tasks, dict),
        ("_all_tasks", all_tasks, dict),
    ):
        if type(value) is not kind:
            problems.append(f"{field} is a {type(value).__name__}")
    if problems:
        return problems
    for key, status in active.items():
        if type(status) is not wp.WorkerStatus:
            problems.append(f"_active[{key!r}] is a {type(status).__name__}")
        elif status.task_id != key:
            problems.append(f"_active[{key!r}] has task_id {status.task_id!r}")
        elif not isinstance(status.state, wp.WorkerState):
            problems.append(f"_active[{key!r}].state is {status.state!r}")
    for i, status in enumerate(completed):
        if type(status) is not wp.WorkerStatus:
            problems.append(f"_completed[{i}] is a {type(status).__name__}")
    live = {id(s) for s in active.values()}
    both = [s.task_id for s in completed if id(s) in live]
    if both:
        problems.append(f"records both active and completed: {both}")
    for key, task in tasks.items():
        if not isinstance(task, asyncio.Future):
            problems.append(f"_tasks[{key!r}] is a {type(task).__name__}")
    for field, table in (("_active", active), ("_tasks", tasks)):
        missing = [k for k in table if k not in all_tasks]
        if missing:
            problems.append(f"{field} ids never submitted: {missing}")
    counters = (pool._total_submitted, pool._total_completed, pool._total_failed)
    if any(type(c) is not int or c < 0 for c in counters):
        problems.append(f"counters {counters}")
    elif counters[1] + counters[2] > counters[0]:
        problems.append(f"more workers finished than submitted: {counters}")
    if type(pool._semaphore) is not asyncio.Semaphore:
        problems.append(f"_semaphore is a {type(pool._semaphore).__name__}")
    return problems


async def end_to_end() -> list[str]:
    """A small complete run: three workers (one fails), a cancel, the queries."""
    wp = sys.modules[MODULE]
    S = wp.WorkerState
    seen: list[Any] = []
    gate = asyncio.Event()

    async def executor(task: Any, update: Any, *, deadline: float) -> str:
        await update(wp.WorkerStatus(task.id, S.RUNNING, name=task.name, progress_pct=50.0))
        await asyncio.sleep(0)
        if task.name == "bad":
            raise ValueError("bad task")
        if task.name == "slow":
            await gate.wait()
        return "answer " + task.name

    async def callback(status: Any) -> None:
        seen.append(status.state)

    pool = wp.WorkerPool(2, executor, callback)
    tasks = [wp.WorkerTask(name=n, prompt="p") for n in ("a", "bad", "c")]
    statuses = await pool.submit_many(tasks)
    await asyncio.gather(*pool._tasks.values())
    done = await pool.wait_all([t.id for t in tasks], 1.0)
    problems = []
    if [s.state for s in done] != [S.COMPLETED, S.FAILED, S.COMPLETED] or done != statuses:
        problems.append(f"end-to-end states {[s.state for s in done]}")
    slow = wp.WorkerTask(name="slow")
    await pool.submit(slow)
    await asyncio.sleep(0)
    worker = pool._tasks[slow.id]
    if not await pool.cancel(slow.id) or pool.get_status(slow.id).state != S.CANCELLED:
        problems.append("end-to-end cancel")
    await asyncio.gather(worker, return_exceptions=True)
    stats = pool.stats()
    expected = {
        "max_workers": 2,
        "active_count": 0,
        "queued_count": 0,
        "total_submitted": 4,
        "total_completed": 2,
        "total_failed": 2,
        "completed_history": 4,
    }
    if stats != expected:
        problems.append(f"end-to-end stats {stats}")
    if len(pool.list_all()) != 4 or pool.list_completed()[0] != statuses[0].to_dict():
        problems.append("end-to-end listings")
    if pool._active or pool._tasks:
        problems.append("end-to-end tables not empty")
    await pool.cleanup()
    return problems + check_tables(pool)


def _chain(exc: BaseException | None) -> list[BaseException]:
    seen: list[BaseException] = []
    while exc is not None and all(exc is not e for e in seen):
        seen.append(exc)
        exc = exc.__cause__ or exc.__context__
    return seen


def _probe_all() -> bool:
    """Regime `all`: True when the failing index has been reached."""
    try:
        bytearray(64)
    except MemoryError:
        return True
    return False


_ROWS = tuple(range(550))  # made in advance: a loop over it allocates nothing per step


def _probe_one() -> bool:
    """Regime `one`: True when the single failing allocation is behind us."""
    try:
        for _ in _ROWS:
            for _ in _ROWS:
                bytearray(1)
    except MemoryError:
        return False
    return True


class FakeClock:
    """asyncio.sleep and time.monotonic that advance a counter, nothing else."""

    def __init__(self) -> None:
        self.now = 1000.0

    def monotonic(self) -> float:
        return self.now

    async def sleep(self, delay: float, result: Any = None) -> Any:
        self.now += delay
        return result


async def _attempt_async(call: Callable[[Any], Any], st: St, n: int, stop: int, probe: Callable[[], bool]) -> Any:
    import _testcapi

    _testcapi.set_nomemory(n, stop)
    try:
        value = await call(st)
    except BaseException as e:
        reached = probe()
        _testcapi.remove_mem_hooks()
        return e, None, reached
    reached = probe()
    _testcapi.remove_mem_hooks()
    return None, value, reached


def _attempt_sync(call: Callable[[Any], Any], st: St, n: int, stop: int, probe: Callable[[], bool]) -> Any:
    import _testcapi

    _testcapi.set_nomemory(n, stop)
    try:
        value = call(st)
    except BaseException as e:
        reached = probe()
        _testcapi.remove_mem_hooks()
        return e, None, reached
    reached = probe()
    _testcapi.remove_mem_hooks()
    return None, value, reached


def exception_fault(exc: BaseException) -> str | None:
    """Faults of CPython 3.13.0 that put another exception in the place of
    MemoryError, recognised by that exception (cpython_faults.py)."""
    if type(exc).__name__ == "PicklingError" and "import of module" in str(exc):
        return "_pickle replaces the import's MemoryError with PicklingError [pickle_import]"
    if (
        type(exc) is TypeError
        and str(exc).startswith("_value_ not set in __new__")
        and isinstance(exc.__cause__, MemoryError)
    ):
        return "enum replaces a member's MemoryError with TypeError [enum_value]"
    return None


def classify(op: Op, exc: BaseException | None) -> str:
    if exc is None:
        return "ok"
    if any(isinstance(e, SystemError) for e in _chain(exc)):
        return "systemerror"
    if exception_fault(exc):
        return "interpreter"
    if isinstance(exc, MemoryError):
        return "memoryerror"
    if isinstance(exc, op.expect):
        return "expected"
    return "other"


async def child_main(op_name: str, mode: str, start: int, stop: int) -> None:
    import logging

    import zorvic.core

    if op_name != "import":
        import zorvic.core.worker_pool  # noqa: F401
    ops = _child_ops() if op_name != "import" else None
    avoid_interpreter_faults()
    logger = logging.getLogger("zorvic.worker_pool")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    # Every log call builds its record, except where all allocations fail:
    # there the interpreter's own exception handling inside logging can spin
    # (see cpython_faults.py), which says nothing about the module.
    logger.setLevel(logging.DEBUG if mode == "one" else logging.WARNING)
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(lambda loop, context: None)
    unraisable: list[Any] = []
    sys.unraisablehook = unraisable.append
    probe = _probe_all if mode == "all" else _probe_one
    until = 0 if mode == "all" else 1

    for n in range(start, stop):
        if op_name == "import":
            op = _import_op()
        else:
            assert ops is not None
            op = ops[op_name]
        st = St()
        assert op.setup is not None and op.finish is not None
        await op.setup(st)
        if op.eager:
            loop.set_task_factory(asyncio.eager_task_factory)
        clock = FakeClock()
        saved = asyncio.sleep, time.monotonic
        if op.clock:
            asyncio.sleep, time.monotonic = clock.sleep, clock.monotonic  # type: ignore[assignment]
        del unraisable[:]
        gc.disable()  # a collection inside the window would fail other objects' finalisers
        if op.is_async:
            exc, value, reached = await _attempt_async(op.call, st, n, n + until if until else 0, probe)
        else:
            exc, value, reached = _attempt_sync(op.call, st, n, n + until if until else 0, probe)
        gc.enable()
        asyncio.sleep, time.monotonic = saved
        loop.set_task_factory(None)
        outcome = classify(op, exc)
        problems: list[str] = []
        if op_name != "import":
            for pool in st.pools:
                problems += check_tables(pool)
            problems += await op.finish(st)
            for pool in st.pools:
                problems += check_tables(pool)
        else:
            problems += await _import_finish(st, exc)
        gc.collect()
        bad_unraisable = [u for u in unraisable if isinstance(u.exc_value, SystemError)]
        if bad_unraisable:
            outcome = "systemerror"
        e2e = await end_to_end() if MODULE in sys.modules else ["module not importable"]
        if problems and outcome in GOOD:
            ours = [p for p in problems if not p.startswith("interpreter:")]
            outcome = "inconsistent" if ours else "interpreter"
        if e2e and outcome in GOOD:
            outcome = "e2e"
        record = {
            "op": op_name,
            "mode": mode,
            "n": n,
            "start": start,
            "outcome": outcome,
            "reached": reached,
            "exc": type(exc).__name__ if exc is not None else None,
            "msg": str(exc)[:300] if exc is not None else None,
            "chain": [f"{type(e).__name__}: {str(e)[:120]}" for e in _chain(exc)[1:]],
            "problems": problems,
            "e2e": e2e,
            "why": exception_fault(exc) if outcome == "interpreter" and exc is not None else None,
            "unraisable": [
                f"{type(u.exc_value).__name__}: {str(u.exc_value)[:120]} in {u.object!r:.80}" for u in unraisable
            ],
        }
        print(json.dumps(record), flush=True)
        del st, exc, value
        if not reached and outcome in GOOD:
            print(json.dumps({"done": n}), flush=True)
            return
        if op_name == "import":
            # The module is loaded again now: the next index needs a new process.
            print(json.dumps({"restart": n + 1}), flush=True)
            return


def _import_op() -> Op:
    return _child_ops_import


async def _import_finish(st: St, exc: BaseException | None) -> list[str]:
    problems = []
    present = MODULE in sys.modules
    if exc is not None and present:
        problems.append("a failed import left the module in sys.modules")
    if not present:
        import importlib

        try:
            importlib.import_module(MODULE)
        except Exception as e:
            problems.append(f"import after the failure: {type(e).__name__}: {e}")
    return problems


def _import_call(st: St) -> Any:
    import _imp

    module = _imp.create_dynamic(st.spec)
    _imp.exec_dynamic(module)
    return module


async def _import_setup(st: St) -> None:
    import importlib.util

    for name in ("asyncio", "logging", "time", "uuid", "dataclasses", "enum", "typing"):
        __import__(name)
    st.spec = importlib.util.find_spec(MODULE)


async def _nothing_more(st: St) -> list[str]:
    return []


_child_ops_import = Op("import", _import_call, setup=_import_setup, finish=_nothing_more)


def avoid_interpreter_faults() -> None:
    """Keeps known faults of CPython 3.13.0 itself out of the module's paths
    (reproductions without the module: cpython_faults.py), so that a bad
    index says something about the module.

    - A function created while allocation fails frees its code object one
      reference too early (a crash later): Semaphore.locked() makes a
      generator expression on every acquire; this one makes none.
    - `frame.f_back` returns None with MemoryError still set (a SystemError
      later): logging reads it to find the caller; without `_srcfile` it
      does not look.
    """
    import asyncio.locks
    import logging

    def locked(self: asyncio.Semaphore) -> bool:
        if self._value == 0:  # type: ignore[attr-defined]
            return True
        for waiter in self._waiters or ():  # type: ignore[attr-defined]  # noqa: SIM110 (any() makes a generator)
            if not waiter.cancelled():
                return True
        return False

    asyncio.locks.Semaphore.locked = locked  # type: ignore[method-assign]
    logging._srcfile = None  # type: ignore[attr-defined]


def child(argv: list[str]) -> None:
    op, mode, start, stop, loop_name = argv[0], argv[1], int(argv[2]), int(argv[3]), argv[4]
    if loop_name == "uvloop":
        import uvloop

        runner = asyncio.Runner(loop_factory=uvloop.new_event_loop)
    else:
        runner = asyncio.Runner()
    with runner:
        runner.run(child_main(op, mode, start, stop))
    sys.stdout.flush()
    os._exit(0)  # finalisation is not under test


# ================================================================ the parent

OP_NAMES = (
    "task",
    "task_to_dict",
    "status",
    "status_to_dict",
    "pool",
    "max_workers",
    "submit",
    "submit_raising",
    "submit_eager",
    "submit_eager_raising",
    "submit_many",
    "submit_many_eager",
    "run_worker",
    "run_worker_raising",
    "run_worker_cancelled",
    "cancel_running",
    "cancel_queued",
    "cancel_all",
    "cleanup",
    "wait_for_done",
    "wait_for_timeout",
    "wait_all_timeout",
    "wait_all_done",
    "get_status",
    "get_status_completed",
    "list_active",
    "list_running",
    "list_queued",
    "list_completed",
    "list_all",
    "stats",
    "pickle",
    "bad_argument",
    "bad_keyword",
    "coro_send",
    "coro_throw",
    "coro_close",
    "coro_throw_unstarted",
    "coro_origin",
    "import",
)


@dataclasses.dataclass
class Sweep:
    op: str
    mode: str
    loop: str = "asyncio"
    start: int = 1
    stop: int = 1 << 20
    hang_seconds: float = 10.0
    python: str = sys.executable
    env: dict[str, str] | None = None
    stacks: bool = False
    stride: int = 1  # past `dense`, only every stride-th index
    dense: int = 0
    records: list[dict[str, Any]] = dataclasses.field(default_factory=list)
    finished: bool = False
    hang_stack: str = ""

    def command(self, start: int, stop: int) -> list[str]:
        return [
            self.python,
            str(Path(__file__).resolve()),
            "child",
            self.op,
            self.mode,
            str(start),
            str(stop),
            self.loop,
        ]

    def run(self) -> Sweep:
        n = self.start
        while n < self.stop and not self.finished:
            n = self._one_child(n)
            if self.stride > 1 and n > self.dense:
                n += -(n - self.dense) % self.stride
        return self

    def _one_child(self, start: int) -> int:
        """Runs a child from `start`; returns where the next one starts."""
        proc = subprocess.Popen(
            self.command(start, self.stop), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env, cwd=ROOT
        )
        assert proc.stdout is not None and proc.stderr is not None
        sel = selectors.DefaultSelector()
        sel.register(proc.stdout, selectors.EVENT_READ)
        next_n = start
        buffer = b""
        hung = False
        while True:
            if not sel.select(timeout=self.hang_seconds):
                hung = True
                break
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            buffer += chunk
            *lines, buffer = buffer.split(b"\n")
            for line in lines:
                message = json.loads(line)
                if "done" in message:
                    self.finished = True
                elif "restart" in message:
                    next_n = message["restart"]
                else:
                    self.records.append(message)
                    next_n = message["n"] + 1
        sel.close()
        if hung:
            self.hang_stack = attach_gdb(proc.pid) if self.stacks else ""
            proc.kill()
        try:
            _, err = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            _, err = proc.communicate()
        if self.finished or (not hung and proc.returncode == 0 and next_n > start):
            return next_n
        # The child died at next_n (or hung there).
        rc = proc.returncode
        if not hung and rc is not None and rc > 0 and next_n == start:
            # Not a crash of the index: the child itself failed.
            self.stop = start
            self.records.append(
                {
                    "op": self.op,
                    "mode": self.mode,
                    "n": start,
                    "outcome": "harness",
                    "exc": None,
                    "msg": f"exit {rc}",
                    "stderr": err.decode(errors="replace")[-2000:],
                }
            )
            return start
        kind = "hang" if hung else "crash"
        detail = f"signal {signal.Signals(-rc).name}" if rc is not None and rc < 0 else f"exit {rc}"
        self.records.append(
            {
                "op": self.op,
                "mode": self.mode,
                "n": next_n,
                "start": start,
                "outcome": kind,
                "exc": None,
                "msg": detail,
                "stderr": err.decode(errors="replace")[-2000:],
                "stack": self.hang_stack if hung else "",
            }
        )
        return next_n + 1


def attach_gdb(pid: int) -> str:
    args = ["gdb", "-q", "-batch", "-nx", "-p", str(pid), "-ex", "bt 40"]
    try:
        out = subprocess.run(args, capture_output=True, text=True, timeout=120).stdout
    except (subprocess.TimeoutExpired, FileNotFoundError):
        return "(no stack: gdb failed)"
    return "\n".join(line for line in out.splitlines() if line.startswith("#"))


def _gdb(sweep: Sweep, cmd: list[str], script: list[str]) -> list[str]:
    """Runs `cmd` under gdb with `script`; returns the stacks printed by the
    script's `bt` commands, one string each."""
    script = [
        "set pagination off",
        "set confirm off",
        "handle SIGPIPE nostop noprint",
        "set breakpoint pending on",
    ] + script
    args = ["gdb", "-q", "-batch", "-nx"] + [a for s in script for a in ("-ex", s)] + ["--args"] + cmd
    try:
        out = subprocess.run(
            args, capture_output=True, text=True, timeout=180, env=dict(sweep.env or os.environ), cwd=ROOT
        ).stdout
    except subprocess.TimeoutExpired:
        return ["(gdb timed out)"]
    except FileNotFoundError:
        return ["(no stack: gdb is not installed)"]
    stacks: list[list[str]] = []
    for line in out.splitlines():
        if line.startswith("#0 "):
            stacks.append([])
        if line.startswith("#") and stacks:
            stacks[-1].append(line)
    return ["\n".join(s) for s in stacks]


def _to_failing_allocation(sweep: Sweep, record: dict[str, Any]) -> list[str]:
    """gdb commands that run a child up to the first allocation made to fail
    at the record's index, and stop there."""
    n = record["n"]
    # _testcapi's hooks fail allocation number FmData.start + 1 onward (the
    # count is raised after the entry). They are watched only from the call
    # of set_nomemory for index n (the child calls it once per index): a
    # conditional breakpoint on every allocation before would take for ever.
    condition = f"FmData.start == {n} && FmData.count == FmData.start"
    return [
        "break set_nomemory",
        f"ignore 1 {n - record.get('start', n)}",
        "run",
        "delete",
        *[f"break {hook} if {condition}" for hook in ("hook_fmalloc", "hook_fcalloc", "hook_frealloc")],
        "continue",
    ]


def gdb_stacks(sweep: Sweep, record: dict[str, Any]) -> None:
    """Fills in the C stacks behind a bad index, reproduced by a child that
    starts where the failing one did (earlier indices can leave state
    behind): `alloc_stack`, where the allocation made to fail was asked for
    (the caller that mishandles the failure is usually on it), and `stack`,
    where a crash happened or a hang spins (for a crash the same child goes
    on from the failing allocation to the crash)."""
    cmd = sweep.command(record.get("start", record["n"]), record["n"] + 1)
    script = _to_failing_allocation(sweep, record) + ["bt 40"]
    if record["outcome"] == "crash":
        script += ["delete", "continue", "bt 40"]
    script += ["kill", "quit"]
    stacks = _gdb(sweep, cmd, script)
    record["alloc_stack"] = stacks[0] if stacks else "(no stack: the failing allocation was not reached)"
    if record["outcome"] == "crash":
        record["stack"] = stacks[1] if len(stacks) > 1 else "(no stack: no crash under gdb)"


def interpreter_fault(record: dict[str, Any]) -> str | None:
    """What INTERPRETER_STACKS says of a bad index, from its stacks."""
    for text, fields in INTERPRETER_STACKS:
        if all(re.search(pattern, str(record.get(field) or ""), re.MULTILINE) for field, pattern in fields.items()):
            return text
    return None


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "child":
        child(argv[1:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ops", default=",".join(OP_NAMES))
    parser.add_argument("--modes", default="all,one")
    parser.add_argument("--loop", default="asyncio", choices=("asyncio", "uvloop"))
    parser.add_argument("--start", type=int, default=1)
    parser.add_argument("--stop", type=int, default=1 << 20)
    parser.add_argument("--stacks", action="store_true", help="show the C stack of every bad index (gdb)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument(
        "--import-stride",
        type=int,
        default=10,
        help="an import makes some 7,000 allocations, each index in a new process: past "
        "the first 600, only every n-th index (1: all of them)",
    )
    parser.add_argument("--json", help="write every record to this file")
    args = parser.parse_args(argv)
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same allocations on every rerun
    sweeps = [
        Sweep(
            op,
            mode,
            args.loop,
            args.start,
            args.stop,
            env=env,
            stacks=args.stacks,
            stride=args.import_stride if op == "import" else 1,
            dense=600,
        )
        for op in args.ops.split(",")
        for mode in args.modes.split(",")
    ]
    sweeps.sort(key=lambda s: s.op != "import")  # the longest first
    unknown = {s.op for s in sweeps} - set(OP_NAMES)
    if unknown:
        parser.error(f"unknown operations: {', '.join(sorted(unknown))}")
    began = time.monotonic()
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        done = list(pool.map(Sweep.run, sweeps))
    totals: collections.Counter[str] = collections.Counter()
    bad = []
    print(f"{'operation':24} {'mode':4} {'indices':>7}  outcomes")
    for s in done:
        if args.stacks:
            for r in s.records:
                if r["outcome"] in BAD and r["outcome"] != "harness":
                    gdb_stacks(s, r)
                    why = interpreter_fault(r)
                    if why:
                        r["outcome"], r["why"] = "interpreter", why
        counts = collections.Counter(r["outcome"] for r in s.records)
        totals.update(counts)
        bad += [(s, r) for r in s.records if r["outcome"] in BAD]
        shown = ", ".join(f"{k} {v}" for k, v in sorted(counts.items()))
        print(f"{s.op:24} {s.mode:4} {len(s.records):7}  {shown}{'' if s.finished else '  (not finished)'}")
    print(
        f"total: {sum(totals.values())} indices, "
        + ", ".join(f"{k} {v}" for k, v in sorted(totals.items()))
        + f"; {time.monotonic() - began:.0f} s"
    )
    for s, r in bad:
        print(f"\n{r['outcome'].upper()}: {s.op} mode={s.mode} n={r['n']}: {r.get('exc')}: {r.get('msg')}")
        for key in ("chain", "problems", "e2e", "unraisable"):
            if r.get(key):
                print(f"  {key}: {r[key]}")
        if r.get("stderr"):
            print("  stderr: " + r["stderr"].strip().replace("\n", "\n    ")[-1200:])
        for key, title in (("alloc_stack", "the failing allocation"), ("stack", "the crash or hang")):
            if r.get(key) and (key == "alloc_stack" or r["outcome"] in ("crash", "hang")):
                print(f"  {title}:\n  " + r[key].replace("\n", "\n  "))
    theirs = [r for s in done for r in s.records if r["outcome"] == "interpreter"]
    if theirs:
        print(f"\ninterpreter faults (CPython 3.13.0, not the module): {len(theirs)}")
        reasons = collections.Counter(
            r.get("why") or (r.get("msg") or "")[:80] or "; ".join(r.get("problems", [])) for r in theirs
        )
        for reason, count in reasons.most_common():
            print(f"  {count:4}  {reason}")
    if args.json:
        Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        Path(args.json).write_text("\n".join(json.dumps(r) for s in done for r in s.records) + "\n")
    unfinished = [f"{s.op}/{s.mode}" for s in done if not s.finished]
    if unfinished:
        print("\nnot finished: " + ", ".join(unfinished))
    return 1 if bad or unfinished else 0


if __name__ == "__main__":
    sys.exit(main())

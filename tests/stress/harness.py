"""Stress and fault injection for zorvic.core.worker_pool.

One *run* drives one pool on a fresh event loop, everything decided by a seeded
random source: several submitters push workers in (one by one or through
`submit_many`), while a chaos task changes the limit, swaps the executor,
cancels workers at every phase of their life, calls `cancel_all` and
`cleanup`, starts and kills concurrent `wait_for`/`wait_all` calls and checks
the pool between steps. Executors return, raise `Exception`s, raise other
`BaseException`s (asyncio sets those on the task, or lets `KeyboardInterrupt`
and `SystemExit` out of the loop, which the run then re-enters), suspend,
report progress (on their own records, on the pool's record, on ids that are
not active, with objects that are not records), honour or ignore their
deadline, swallow their cancellation, return non-awaitables, futures and the
module's own coroutines. Status callbacks sometimes fail, return a
non-awaitable, suspend, cancel workers or submit new ones while `cleanup`
runs; the module's `logger`, the task factory and a task's `timeout` fail now
and then too.

Everything the run observes from the outside (what each executor saw happen,
every move into the history, every semaphore the pool made) goes into a
ledger; after the run the pool must agree with it (see `Run.final_checks`).
A run with the same seed makes the same decisions; runs without real-time
sleeps (`realtime` false, two seeds in three) also interleave the same way, so
a failing seed reproduces:

    STRESS_SEED=1234 .venv/bin/python -m pytest tests/stress -s
    .venv/bin/python tests/stress/harness.py --seed 1234 --workers 300
"""

from __future__ import annotations

import argparse
import asyncio
import asyncio.tasks
import collections
import contextvars
import dataclasses
import gc
import random
import sys
import time
import traceback
import warnings
from typing import Any

from zorvic.core import worker_pool as wp

WorkerPool = wp.WorkerPool
WorkerTask = wp.WorkerTask
WorkerStatus = wp.WorkerStatus
WorkerState = wp.WorkerState

FINAL_STATES = frozenset({WorkerState.COMPLETED, WorkerState.FAILED, WorkerState.CANCELLED, WorkerState.TIMEOUT})
ALIVE_STATES = frozenset({WorkerState.QUEUED, WorkerState.RUNNING})
KINDS = ("c_task", "py_task", "eager", "py_eager")
HISTORY_LIMIT, HISTORY_KEEP = 200, 100
CANCELLING = frozenset({"cancel", "cancel_all", "cleanup"})

# The pool operation the current task is inside of, as far as the run knows
# (read by the status callback to tell a failing `cancel` broadcast apart).
OP: contextvars.ContextVar[str | None] = contextvars.ContextVar("stress_op", default=None)
# How deep callbacks and executors have nested pool calls into each other.
DEPTH: contextvars.ContextVar[int] = contextvars.ContextVar("stress_depth", default=0)


# ---------------------------------------------------------------- injected faults


class InjectedError(Exception):
    """An ordinary failure of an executor."""


class CallbackFault(Exception):
    """The status callback refused a broadcast."""


class LogFault(Exception):
    """The module's logger failed."""


class FactoryFault(Exception):
    """The loop's task factory refused to create a worker's task."""


class TimeoutFault(Exception):
    """A task's timeout could not be added to the clock reading."""


class StrFault(Exception):
    """str() of an executor's error failed."""


class BadStrError(Exception):
    def __str__(self) -> str:
        raise StrFault("str() of this error fails")


class Abort(BaseException):
    """Not an Exception: asyncio stores it on the task and carries on."""


BASE_OUTCOMES: dict[str, type[BaseException]] = {
    "abort": Abort,
    "generator_exit": GeneratorExit,
    "keyboard_interrupt": KeyboardInterrupt,
    "system_exit": SystemExit,
}
# These two leave the event loop: the run catches them and re-enters it.
ESCAPING = (KeyboardInterrupt, SystemExit)
ESCAPING_OUTCOMES = frozenset(name for name, exc in BASE_OUTCOMES.items() if issubclass(exc, ESCAPING))


class BadTimeout:
    """A task timeout that cannot be added to a clock reading."""

    def __init__(self, run: Run, task_id: str) -> None:
        self.run, self.task_id = run, task_id

    def __radd__(self, other: Any) -> Any:
        self.run.outcome(self.task_id, "bad_timeout")
        raise TimeoutFault(f"no deadline for {self.task_id}")


class HostileName:
    """A task name whose truth cannot be tested."""

    def __bool__(self) -> bool:
        raise InjectedError("truth of this name fails")

    def __str__(self) -> str:
        return "hostile"


# ---------------------------------------------------------------- configuration


@dataclasses.dataclass
class Config:
    """Everything a run decides up front; all of it follows from the seed."""

    seed: int
    workers: int = 200
    kind: str = ""  # task kind; from the seed when empty
    realtime: bool | None = None  # real sleeps and timed waits; from the seed when None
    sabotage: str | None = None  # plant a fault to prove the checks catch it

    def __post_init__(self) -> None:
        rng = random.Random(self.seed * 7919 + 17)
        if not self.kind:
            self.kind = KINDS[self.seed % len(KINDS)]
        if self.kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS}")
        if self.realtime is None:
            self.realtime = self.seed % 3 == 2
        self.max_workers = rng.choice((1, 1, 2, 3, 4, 6, 8, 30))
        self.callback = rng.random() < 0.85
        self.p_callback_fail = rng.choice((0.0, 0.02, 0.06))
        self.p_callback_nonawaitable = rng.choice((0.0, 0.0, 0.01))
        self.p_log_fail = rng.choice((0.0, 0.01, 0.03))
        self.p_factory_fail = rng.choice((0.0, 0.0, 0.02))
        self.p_cancel = rng.choice((0.05, 0.15, 0.3))
        self.ending = rng.choice(("drain", "cancel_all", "cleanup"))

    def describe(self) -> str:
        return (
            f"seed={self.seed} workers={self.workers} kind={self.kind} realtime={self.realtime} "
            f"max_workers={self.max_workers} callback={self.callback} ending={self.ending}"
        )


@dataclasses.dataclass
class Plan:
    """What the executor does for one task."""

    outcome: str
    shape: str  # "coroutine", "wrapped" (an object with __await__), "future"
    rounds: int
    reports: float  # chance of a progress report per round
    honour_deadline: bool
    swallow_cancel: bool
    self_cancel_round: int  # -1: never
    seed: int


OUTCOMES = {
    "return": 50,
    "raise": 12,
    "raise_empty": 3,
    "bad_str": 2,
    "cancelled_error": 2,
    "abort": 2,
    "generator_exit": 1,
    "keyboard_interrupt": 1,
    "system_exit": 1,
    "nonawaitable": 3,
    "sync_raise": 3,
    "direct": 3,
}


@dataclasses.dataclass
class Sub:
    """One submission attempt as the run saw it."""

    task: Any
    epoch: int  # cleanups completed before the attempt
    counted: bool = False  # passed submit's checks, so counted in _total_submitted
    raised: BaseException | None = None
    record: Any = None


@dataclasses.dataclass
class Report:
    config: Config
    attempts: int
    submitted: int
    executor_calls: int
    outcomes: collections.Counter[str]
    faults: collections.Counter[str]
    problems: list[str]
    seconds: float
    broadcasts: int = 0
    polls: int = 0

    @property
    def faults_injected(self) -> int:
        return sum(self.faults.values())

    def summary(self) -> str:
        outcomes = ", ".join(f"{k} {v}" for k, v in sorted(self.outcomes.items()))
        return (
            f"[stress] {self.config.describe()}: {self.submitted} workers submitted "
            f"({self.attempts} attempts), {self.executor_calls} executor calls, "
            f"{self.faults_injected} faults injected, {self.broadcasts} status broadcasts, "
            f"{self.polls} wait polls, {len(self.problems)} problems, {self.seconds:.2f}s\n"
            f"[stress]   outcomes: {outcomes}"
        )

    def failure_text(self) -> str:
        shown = "\n".join(self.problems[:25])
        more = f"\n... and {len(self.problems) - 25} more" if len(self.problems) > 25 else ""
        return (
            f"{self.summary()}\nreproduce with: STRESS_SEED={self.config.seed} "
            f"STRESS_WORKERS={self.config.workers} (kind {self.config.kind})\n{shown}{more}"
        )


# ---------------------------------------------------------------- stand-ins the module calls


class AsyncioShim:
    """The module's `asyncio` global during a run: everything is asyncio's own,
    except that the waits' polling sleeps are shortened (a plain yield, or a
    hundredth of the interval in real-time runs) so that a run takes seconds."""

    def __init__(self, run: Run) -> None:
        self._run = run

    def __getattr__(self, name: str) -> Any:
        return getattr(asyncio, name)

    async def sleep(self, delay: float, result: Any = None) -> Any:
        self._run.polls += 1
        if self._run.cfg.realtime:
            return await asyncio.sleep(delay / 100, result)
        return await asyncio.sleep(0, result)


class FaultyLogger:
    """The module's `logger` global during a run: counts every message by kind
    and level, checks how it is called, and sometimes raises."""

    def __init__(self, run: Run) -> None:
        self._run = run
        self._rng = random.Random(run.cfg.seed ^ 0x1066)

    def _log(self, level: str, message: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        run = self._run
        if args or kwargs or type(message) is not str:
            run.problem(f"logger.{level} called with {message!r}, {args!r}, {kwargs!r}")
            return
        kind = classify_message(message)
        run.logs[(kind, level)] += 1
        if level == "exception" and sys.exception() is None:
            run.problem(f"logger.exception outside an exception handler: {message!r}")
        if self._rng.random() < run.cfg.p_log_fail:
            run.faults["logger raised"] += 1
            run.log_faults.append(message)
            if kind == "final_broadcast":
                run.log_failed_final.add(message[len(FINAL_PREFIX) :].split(": ", 1)[0])
            raise LogFault(message)

    def info(self, message: Any, *args: Any, **kwargs: Any) -> None:
        self._log("info", message, args, kwargs)

    def error(self, message: Any, *args: Any, **kwargs: Any) -> None:
        self._log("error", message, args, kwargs)

    def exception(self, message: Any, *args: Any, **kwargs: Any) -> None:
        self._log("exception", message, args, kwargs)

    def warning(self, message: Any, *args: Any, **kwargs: Any) -> None:
        self._log("warning", message, args, kwargs)

    def debug(self, message: Any, *args: Any, **kwargs: Any) -> None:
        self._log("debug", message, args, kwargs)


FINAL_PREFIX = "Failed to broadcast final status for "
# Each kind of message and the level it must be logged at.
MESSAGE_LEVELS = {
    "submitted": "info",
    "failed": "exception",
    "cancelled_by_user": "info",
    "final_broadcast": "error",
    "cancel": "info",
    "cleaned_up": "info",
    "limit": "info",
}


def classify_message(message: str) -> str:
    if message.startswith("Worker submitted: "):
        return "submitted"
    if message.startswith("Worker cancelled: "):
        return "cancel"
    if message.startswith(FINAL_PREFIX):
        return "final_broadcast"
    if message == "WorkerPool cleaned up":
        return "cleaned_up"
    if message.startswith("Max workers updated to "):
        return "limit"
    if message.startswith("Worker ") and message.endswith(" was cancelled by user"):
        return "cancelled_by_user"
    if message.startswith("Worker ") and " failed: " in message:
        return "failed"
    return "other"


class Observed:
    """An executor result that is not a coroutine: its `__await__` delegates to
    the inner awaitable and records how the await ended."""

    def __init__(self, inner: Any, run: Run, task_id: str) -> None:
        self.inner, self.run, self.task_id = inner, run, task_id

    def __await__(self) -> Any:
        run, task_id = self.run, self.task_id
        try:
            result = yield from self.inner.__await__()
        except BaseException as error:
            run.outcome(task_id, outcome_of_error(error))
            raise
        run.outcome(task_id, "returned")
        return result


def outcome_of_error(error: BaseException) -> str:
    if isinstance(error, asyncio.CancelledError):
        return "cancelled"
    if isinstance(error, BadStrError):
        return "bad_str"
    if isinstance(error, Exception):
        return "exception"
    return "base"


class Executor:
    """The host's executor: follows the plan of each task and records in the
    run's ledger how each call ended."""

    def __init__(self, run: Run) -> None:
        self.run = run

    def __call__(self, task: Any, update: Any, *, deadline: Any) -> Any:
        run = self.run
        called_at = time.time()
        task_id = task.id
        run.calls[task_id] += 1
        if run.calls[task_id] > 1:
            run.problem(f"executor called {run.calls[task_id]} times for {task_id}")
        sub = run.subs.get(task_id)
        plan = run.plans.get(task_id)
        if sub is None or plan is None or sub.task is not task:
            run.problem(f"executor called with a task the run never submitted: {task!r}")
            return "?"
        if getattr(update, "__self__", None) is not run.pool or update.__name__ != "_update_status":
            run.problem(f"executor got {update!r} as its update callback")
        timeout = task.timeout
        if type(deadline) is not float or not deadline <= called_at + timeout + 1e-3:
            run.problem(f"deadline {deadline!r} for {task_id} is not a clock reading plus {timeout}")
        record = sub.record
        if record is not None and not record.started_at + timeout <= deadline + 1e-6:
            run.problem(f"deadline {deadline!r} precedes started_at + timeout for {task_id}")

        if plan.outcome == "nonawaitable":
            run.outcome(task_id, "nonawaitable")
            return random.Random(plan.seed).choice((None, "plain text", 42))
        if plan.outcome == "sync_raise":
            run.outcome(task_id, "sync_raise")
            raise InjectedError(f"executor refused {task_id} at the call")
        if plan.outcome == "direct":
            # The module's own coroutine, awaited by the worker without a wrapper.
            run.outcome(task_id, "direct")
            return update(WorkerStatus(task_id=task_id, state=WorkerState.RUNNING, current_step="direct"))
        if plan.shape == "future":
            future = asyncio.get_running_loop().create_future()
            run.resolve_later(future, plan, task_id)
            return Observed(future, run, task_id)
        body = self.body(task, update, deadline, plan)
        if plan.shape == "wrapped":
            return Observed(body, run, task_id)
        return self.observed(body, task_id)

    async def observed(self, body: Any, task_id: str) -> Any:
        try:
            result = await body
        except BaseException as error:
            self.run.outcome(task_id, outcome_of_error(error))
            raise
        self.run.outcome(task_id, "returned")
        return result

    async def body(self, task: Any, update: Any, deadline: float, plan: Plan) -> Any:
        run = self.run
        rng = random.Random(plan.seed)
        task_id = task.id
        try:
            for round_ in range(plan.rounds):
                if plan.honour_deadline and time.time() >= deadline:
                    run.faults["executor stopped at its deadline"] += 1
                    break
                await run.pause(rng)
                if rng.random() < plan.reports:
                    await self.report(task, update, rng, round_)
                if round_ == plan.self_cancel_round and DEPTH.get() == 0:
                    run.faults["cancel from inside the executor"] += 1
                    await run.cancel_id(task_id, nested=True)
            else:
                if plan.honour_deadline is False and time.time() >= deadline:
                    run.faults["executor ignored its deadline"] += 1
        except asyncio.CancelledError:
            if not plan.swallow_cancel:
                raise
            run.faults["executor swallowed its cancellation"] += 1
            return f"{task_id}: kept going after a cancellation"

        outcome = plan.outcome
        if outcome == "raise":
            raise InjectedError(f"executor failed {task_id}")
        if outcome == "raise_empty":
            raise ValueError()
        if outcome == "bad_str":
            raise BadStrError()
        if outcome == "cancelled_error":
            raise asyncio.CancelledError()
        if outcome in BASE_OUTCOMES:
            if outcome in ESCAPING_OUTCOMES:
                # Raised in a step that the loop runs, never in an eager first
                # step inside create_task, where asyncio itself would lose the task.
                await asyncio.sleep(0)
            raise BASE_OUTCOMES[outcome](f"{outcome} from {task_id}")
        return f"answer for {task_id}"

    async def report(self, task: Any, update: Any, rng: random.Random, round_: int) -> None:
        run = self.run
        kind = rng.choices(("fresh", "live", "stray", "bad"), (5, 4, 1, 0.3))[0]
        if kind == "fresh":
            status: Any = WorkerStatus(
                task_id=task.id,
                state=WorkerState.RUNNING,
                name=f"report {round_}",
                model_used="stress-model",
                current_step=f"step {round_}",
                steps_completed=round_,
                progress_pct=min(99.0, 10.0 * round_),
            )
        elif kind == "live":
            status = run.pool.get_status(task.id)
            if status is None:
                return
            status.current_step = f"live step {round_}"
            status.steps_completed = round_
        elif kind == "stray":
            status = WorkerStatus(task_id="stray-" + task.id, state=WorkerState.RUNNING)
        else:
            run.faults["report that is not a record"] += 1
            status = object()
        run.faults[f"progress report ({kind})"] += 1
        try:
            await update(status)
        except (CallbackFault, AttributeError, TypeError):
            if rng.random() < 0.5:
                raise  # the executor gives up: the worker ends FAILED


class StatusCallback:
    """The host's status callback: usually an async function's coroutine,
    sometimes a non-awaitable; it may fail, suspend, cancel workers, or submit
    new ones while `cleanup` runs."""

    def __init__(self, run: Run) -> None:
        self.run = run
        self.rng = random.Random(run.cfg.seed ^ 0xCA11)

    def __call__(self, status: Any) -> Any:
        run = self.run
        run.broadcasts += 1
        if self.rng.random() < run.cfg.p_callback_nonawaitable:
            run.faults["status callback returned a non-awaitable"] += 1
            if OP.get() in CANCELLING:
                run.cancel_failed.add(status.task_id)
            return None
        return self.respond(status)

    async def respond(self, status: Any) -> None:
        run, rng = self.run, self.rng
        op = OP.get()
        task_id = status.task_id
        try:
            roll = rng.random()
            if roll < run.cfg.p_callback_fail:
                run.faults["status callback raised"] += 1
                raise CallbackFault(f"callback refused {task_id}")
            if roll < 0.4:
                run.faults["status callback suspended"] += 1
                await run.pause(rng)
            if op == "cleanup" and rng.random() < 0.3 and DEPTH.get() == 0:
                run.faults["submitted while cleanup runs"] += 1
                await run.submit_one(run.new_task(), nested=True)
            if DEPTH.get() == 0 and rng.random() < run.cfg.p_cancel * 0.25:
                target = task_id if rng.random() < 0.5 else run.pick_target(rng)
                state = getattr(status.state, "value", status.state)
                run.faults[f"cancel from a status callback (record {state})"] += 1
                await run.cancel_id(target, nested=True)
        except BaseException:
            if op in CANCELLING:
                run.cancel_failed.add(task_id)
            raise


# ---------------------------------------------------------------- the run


class Run:
    def __init__(self, cfg: Config) -> None:
        self.cfg = cfg
        self.rng = random.Random(cfg.seed)  # the chaos task's decisions
        self.plan_rng = random.Random(cfg.seed ^ 0x91A5)
        self.factory_rng = random.Random(cfg.seed ^ 0xFAC7)
        self.faults: collections.Counter[str] = collections.Counter()
        self.obs: collections.Counter[str] = collections.Counter()  # executor outcomes
        self.outcomes_of: dict[str, list[str]] = collections.defaultdict(list)
        self.calls: collections.Counter[str] = collections.Counter()
        self.logs: collections.Counter[tuple[str, str]] = collections.Counter()
        self.log_faults: list[str] = []
        self.problems: list[str] = []
        self.plans: dict[str, Plan] = {}
        self.subs: dict[str, Sub] = {}
        self.uncounted: list[Any] = []  # attempts refused before anything changed
        self.task_serial = 0
        self.all_tasks: list[asyncio.Task[Any]] = []
        self.clients: list[tuple[asyncio.Task[Any], str]] = []
        self.semaphores: list[tuple[Any, int]] = []
        self.ledger: list[Any] = []  # the history as the moves made it
        self.trimmed: set[str] = set()
        self.cancel_failed: set[str] = set()
        self.cancel_requested: set[str] = set()
        self.log_failed_final: set[str] = set()
        self.cleanups = 0
        self.broadcasts = 0
        self.polls = 0
        self.escaped: list[BaseException] = []
        self.handler_calls: list[dict[str, Any]] = []
        self.unraisable: list[str] = []
        self.stop_chaos = False
        self.sabotaged = False
        self.pool: Any = None
        self.real_move: Any = None
        self.executors: list[Executor] = []

    # ---- bookkeeping

    def problem(self, text: str) -> None:
        self.problems.append(text)

    def outcome(self, task_id: str, what: str) -> None:
        self.obs[what] += 1
        self.outcomes_of[task_id].append(what)

    def unexpected(self, error: BaseException, where: str) -> None:
        lines = traceback.format_exception(error)
        self.problem(f"unexpected {type(error).__name__} from {where}: {error!r}\n" + "".join(lines[-12:]))

    def allowed_op_error(self, error: BaseException) -> bool:
        """Errors that the injected faults may make a pool operation raise."""
        if isinstance(error, (CallbackFault, LogFault, FactoryFault, InjectedError, asyncio.CancelledError)):
            return True
        return isinstance(error, TypeError) and "can't be used in 'await' expression" in str(error)

    async def pause(self, rng: random.Random) -> None:
        """Suspends for a random short time: a few yields, or in real-time runs
        sometimes a real sleep of up to two milliseconds."""
        if self.cfg.realtime and rng.random() < 0.3:
            await asyncio.sleep(rng.random() * 0.002)
            return
        for _ in range(rng.choice((0, 1, 1, 2, 3))):
            await asyncio.sleep(0)

    def resolve_later(self, future: asyncio.Future[Any], plan: Plan, task_id: str) -> None:
        rng = random.Random(plan.seed)
        outcome = plan.outcome

        def resolve() -> None:
            if future.done():
                return
            if outcome == "raise":
                future.set_exception(InjectedError(f"future of {task_id} failed"))
            elif outcome == "abort":
                future.set_exception(Abort(f"future of {task_id} aborted"))
            else:
                future.set_result(f"future answer for {task_id}")

        loop = asyncio.get_running_loop()
        if self.cfg.realtime:
            loop.call_later(rng.random() * 0.002, resolve)
        else:
            loop.call_soon(resolve)

    # ---- tasks and plans

    def new_task(self) -> Any:
        """A new task and the plan its executor follows."""
        self.task_serial += 1
        task_id = f"w{self.cfg.seed:x}-{self.task_serial:05d}"
        prng = self.plan_rng
        outcome = prng.choices(list(OUTCOMES), list(OUTCOMES.values()))[0]
        shape = prng.choices(("coroutine", "wrapped", "future"), (70, 20, 10))[0]
        if outcome not in ("return", "raise", "abort") and shape == "future":
            shape = "coroutine"
        if outcome in ESCAPING_OUTCOMES and shape != "coroutine":
            shape = "coroutine"
        rounds = prng.choice((0, 1, 2, 3, 5, 8))
        if outcome in ESCAPING_OUTCOMES:
            # Raised by a later step that the loop runs, never inside an eager
            # first step within create_task.
            rounds = max(rounds, 1)
        plan = Plan(
            outcome=outcome,
            shape=shape,
            rounds=rounds,
            reports=prng.choice((0.0, 0.3, 0.7)),
            honour_deadline=prng.random() < 0.5,
            swallow_cancel=prng.random() < 0.08,
            self_cancel_round=prng.randrange(rounds) if rounds and prng.random() < 0.03 else -1,
            seed=prng.getrandbits(32),
        )
        timeout: Any = 600.0
        if self.cfg.realtime:
            timeout = prng.choice((600.0, 0.0005, 0.002, 0.01))
        name: Any = prng.choice(("", "research", "writer", "monitor"))
        if prng.random() < 0.01:
            self.faults["task whose timeout cannot be added"] += 1
            timeout = BadTimeout(self, task_id)
        elif prng.random() < 0.005:
            self.faults["task whose name has no truth"] += 1
            name = HostileName()
        task = WorkerTask(id=task_id, name=name, prompt=f"prompt {task_id}", timeout=timeout)
        self.plans[task_id] = plan
        return task

    def make_pool(self) -> Any:
        cfg = self.cfg
        self.executors = [Executor(self), Executor(self)]
        callback = StatusCallback(self) if cfg.callback else None
        pool = WorkerPool(cfg.max_workers, self.executors[0], on_status_change=callback)
        self.pool = pool
        self.semaphores.append((pool._semaphore, pool._semaphore._value))
        if pool._semaphore._value != cfg.max_workers:
            self.problem(f"a new pool's semaphore has {pool._semaphore._value} slots")
        # Every move into the history goes through here (the worker and
        # `cancel` look the method up on the pool each time).
        self.real_move = pool._move_to_completed
        pool._move_to_completed = self.move_to_completed
        return pool

    def move_to_completed(self, task_id: Any) -> Any:
        pool = self.pool
        record = pool._active.get(task_id)
        if self.cfg.sabotage == "skip_move" and record is not None and not self.sabotaged:
            self.sabotaged = True
            return None
        result = self.real_move(task_id)
        if record is not None and task_id not in pool._active:
            self.ledger.append(record)
            if len(self.ledger) > HISTORY_LIMIT:
                self.trimmed.update(r.task_id for r in self.ledger[:-HISTORY_KEEP])
                self.ledger = self.ledger[-HISTORY_KEEP:]
        history = pool._completed
        if len(history) != len(self.ledger) or any(a is not b for a, b in zip(history, self.ledger)):
            self.problem(
                f"after moving {task_id} the history holds {len(history)} records, the moves made {len(self.ledger)}"
            )
            self.ledger = list(history)
        return result

    # ---- operations as the host calls them

    async def submit_one(self, task: Any, nested: bool = False) -> Any:
        """`await pool.submit(task)`, checked; the outcome goes into the ledger."""
        pool = self.pool
        op, depth = OP.set(None), DEPTH.set(DEPTH.get() + (1 if nested else 0))
        task_id = task.id
        sub = Sub(task=task, epoch=self.cleanups, counted=type(task_id) is str)
        if sub.counted:
            self.subs[task_id] = sub
        else:
            self.uncounted.append(task)
        before = pool._total_submitted
        try:
            record = await pool.submit(task)
        except BaseException as error:
            sub.raised = error
            if not sub.counted:
                if not isinstance(error, TypeError) or pool._total_submitted != before:
                    self.problem(f"submit of a task with id {task_id!r} raised {error!r}")
            elif not self.allowed_op_error(error):
                self.unexpected(error, f"submit({task_id})")
            if isinstance(error, asyncio.CancelledError):
                raise
            return None
        finally:
            OP.reset(op)
            DEPTH.reset(depth)
        if not sub.counted:
            self.problem(f"submit accepted a task with id {task_id!r}")
            return record
        self.after_submit(sub, record)
        return record

    def after_submit(self, sub: Sub, record: Any, last: bool = True) -> None:
        """Checks made when `submit` has just returned `record` (`last`), or
        when `submit_many` has returned it among others (earlier workers may
        have run and finished since)."""
        pool, task = self.pool, sub.task
        sub.record = record
        if type(record) is not WorkerStatus or record.task_id != task.id:
            self.problem(f"submit({task.id}) returned {record!r}")
        if pool._all_tasks.get(task.id) is not task:
            self.problem(f"submit({task.id}) did not remember the task")
        worker = pool._tasks.get(task.id)
        if last and worker is not None and worker.done():
            self.problem(f"submit({task.id}) left a finished worker in _tasks")

    async def submit_many(self, tasks: list[Any]) -> None:
        pool = self.pool
        op = OP.set(None)
        subs = [Sub(task=t, epoch=self.cleanups) for t in tasks]
        for sub in subs:
            self.subs[sub.task.id] = sub
        try:
            records = await pool.submit_many(list(tasks))
        except BaseException as error:
            counted = [sub.task.id in pool._all_tasks for sub in subs]
            k = counted.count(True)
            if counted != [True] * k + [False] * (len(subs) - k) or k == 0:
                self.problem(f"submit_many failed with {error!r} after submitting {counted}")
            for sub, was in zip(subs, counted):
                sub.counted = was
                if not was:
                    del self.subs[sub.task.id]
            if k:
                subs[k - 1].raised = error
            if not self.allowed_op_error(error):
                self.unexpected(error, "submit_many")
            if isinstance(error, asyncio.CancelledError):
                raise
            return
        finally:
            OP.reset(op)
        if type(records) is not list or len(records) != len(tasks):
            self.problem(f"submit_many of {len(tasks)} returned {records!r}")
            return
        for i, (sub, record) in enumerate(zip(subs, records)):
            sub.counted = True
            self.after_submit(sub, record, last=i == len(subs) - 1)

    async def cancel_id(self, task_id: str, nested: bool = False) -> Any:
        """`await pool.cancel(task_id)`, checked."""
        pool = self.pool
        op, depth = OP.set("cancel"), DEPTH.set(DEPTH.get() + (1 if nested else 0))
        tracked = task_id in pool._tasks
        active = task_id in pool._active
        if tracked:
            self.cancel_requested.add(task_id)
        try:
            result = await pool.cancel(task_id)
        except BaseException as error:
            self.cancel_failed.add(task_id)
            if not self.allowed_op_error(error):
                self.unexpected(error, f"cancel({task_id})")
            if isinstance(error, asyncio.CancelledError):
                raise
            return None
        finally:
            OP.reset(op)
            DEPTH.reset(depth)
        if result is not tracked:
            self.problem(f"cancel({task_id}) returned {result!r}, tracked={tracked}")
        if tracked and active and (task_id in pool._active or task_id in pool._tasks):
            self.problem(f"cancel({task_id}) returned and the worker is still tracked")
        return result

    async def cancel_all(self) -> None:
        pool = self.pool
        op = OP.set("cancel_all")
        tracked = list(pool._tasks)
        self.cancel_requested.update(tracked)
        try:
            count = await pool.cancel_all()
        except BaseException as error:
            if not self.allowed_op_error(error):
                self.unexpected(error, "cancel_all")
            if isinstance(error, asyncio.CancelledError):
                raise
            return
        finally:
            OP.reset(op)
        if type(count) is not int or not 0 <= count <= len(tracked):
            self.problem(f"cancel_all of {len(tracked)} tracked workers returned {count!r}")

    async def cleanup(self) -> None:
        pool = self.pool
        op = OP.set("cleanup")
        self.cancel_requested.update(pool._tasks)
        try:
            await pool.cleanup()
        except BaseException as error:
            if isinstance(error, LogFault) and str(error) == "WorkerPool cleaned up":
                self.cleanups += 1  # the tables were cleared before the log line
            if not self.allowed_op_error(error):
                self.unexpected(error, "cleanup")
            if isinstance(error, asyncio.CancelledError):
                raise
            return
        finally:
            OP.reset(op)
        self.cleanups += 1
        if pool._active or pool._tasks:
            self.problem(f"cleanup left {len(pool._active)} active records, {len(pool._tasks)} tasks")

    def set_limit(self, value: Any) -> None:
        pool = self.pool
        old = pool._semaphore
        expected = max(1, min(int(value), 20))
        try:
            pool.max_workers = value
        except LogFault:
            pass  # logged after the store, before the new semaphore
        if pool._max_workers != expected or pool.max_workers != expected:
            self.problem(f"max_workers = {value!r} stored {pool._max_workers!r}")
        new = pool._semaphore
        if new is not old:
            self.semaphores.append((new, new._value))
            if new._value != expected:
                self.problem(f"max_workers = {value!r} made a semaphore of {new._value}")

    def pick_target(self, rng: random.Random) -> str:
        pool = self.pool
        roll = rng.random()
        if roll < 0.5 and pool._active:
            return rng.choice(list(pool._active))
        if roll < 0.75 and self.subs:
            recent = list(self.subs)[-40:]
            return rng.choice(recent)
        if roll < 0.9 and pool._completed:
            return rng.choice(pool._completed).task_id
        return f"unknown-{rng.randrange(10**6)}"

    def phase_of(self, task_id: str) -> str:
        record = self.pool._active.get(task_id)
        if record is not None:
            worker = self.pool._tasks.get(task_id)
            if record.state == WorkerState.QUEUED and worker is not None and not self.started(worker):
                return "not started"
            return str(getattr(record.state, "value", record.state))
        if task_id in self.subs:
            return "finished"
        return "unknown id"

    @staticmethod
    def started(worker: asyncio.Task[Any]) -> bool:
        coro = worker.get_coro()
        return coro is None or getattr(coro, "cr_await", None) is not None or worker.done()

    # ---- clients

    def spawn(self, start: Any, role: str) -> asyncio.Task[Any]:
        """Runs `start()` in a client task of its own. The coroutine is made
        inside the task, so that a client cancelled before its first step
        leaves no coroutine unawaited."""
        task = asyncio.get_running_loop().create_task(self.guard(start, role), name=f"stress-{role}")
        self.clients.append((task, role))
        return task

    async def guard(self, start: Any, role: str) -> None:
        try:
            await start()
        except asyncio.CancelledError:
            raise
        except BaseException as error:
            self.unexpected(error, role)

    async def submitter(self, tasks: list[Any], many: bool, cancel_soon: bool) -> None:
        rng = random.Random(self.cfg.seed + self.task_serial)
        if many:
            self.faults["submit_many"] += 1
            await self.submit_many(tasks)
            return
        for task in tasks:
            await self.submit_one(task)
            if cancel_soon and type(task.id) is str:
                # Cancelled before its coroutine has run a step (with ordinary
                # task start).
                self.faults[f"cancel right after submit ({self.phase_of(task.id)})"] += 1
                await self.cancel_id(task.id)
            await self.pause(rng)

    async def waiter(self, rng: random.Random, all_: bool) -> None:
        pool = self.pool
        timeouts = (0.0, -1.0, 0.003, 0.02, 0.05) if self.cfg.realtime else (0.0, -1, 5, 30.0)
        timeout = rng.choice(timeouts)
        start = time.monotonic()
        if not all_:
            task_id = self.pick_target(rng)
            self.faults["wait_for"] += 1
            status = await pool.wait_for(task_id, timeout)
            elapsed = time.monotonic() - start
            if status is not pool.get_status(task_id):
                self.problem(f"wait_for({task_id}) returned {status!r}, not its current status")
            elif status is not None and elapsed < timeout and status.state not in FINAL_STATES:
                self.problem(f"wait_for({task_id}) returned early with {status.state!r}")
            return
        self.faults["wait_all"] += 1
        ids = None if rng.random() < 0.3 else [self.pick_target(rng) for _ in range(rng.randint(0, 6))]
        statuses = await pool.wait_all(ids, timeout)
        elapsed = time.monotonic() - start
        if type(statuses) is not list or any(s is None for s in statuses):
            self.problem(f"wait_all returned {statuses!r}")
            return
        if ids:
            expected = [s for s in map(pool.get_status, ids) if s is not None]
            if len(expected) != len(statuses) or any(a is not b for a, b in zip(expected, statuses)):
                self.problem(f"wait_all({ids}) returned other statuses than get_status reads")
        if elapsed < timeout and any(s.state in ALIVE_STATES for s in statuses):
            self.problem(f"wait_all returned early with unfinished workers: {statuses!r}")

    # ---- chaos

    async def chaos(self) -> None:
        rng = self.rng
        p = self.cfg.p_cancel
        actions = {
            "cancel": 10 * p,
            "cancel_task": 4 * p,
            "cancel_all": 0.5 * p,
            "cleanup": 0.25 * p,
            "limit": 0.6,
            "executor": 0.2,
            "no_executor": 0.1,
            "wait": 1.5,
            "kill_client": 0.3,
            "query": 0.5,
            "idle": 1.0,
        }
        names, weights = list(actions), list(actions.values())
        tick = 0
        while not self.stop_chaos:
            await asyncio.sleep(0)
            await self.pause(rng)
            tick += 1
            action = rng.choices(names, weights)[0]
            await self.act(action, rng)
            if tick % 4 == 0:
                self.check_now(f"tick {tick}")

    async def act(self, action: str, rng: random.Random) -> None:
        pool = self.pool
        if action == "cancel":
            target = self.pick_target(rng)
            self.faults[f"cancel ({self.phase_of(target)})"] += 1
            await self.cancel_id(target)
        elif action == "cancel_task":
            target = self.pick_target(rng)
            self.faults[f"cancel in its own task ({self.phase_of(target)})"] += 1
            self.spawn(lambda target=target: self.cancel_id(target), "canceller")
        elif action == "cancel_all":
            self.faults["cancel_all"] += 1
            if rng.random() < 0.5:
                await self.cancel_all()
            else:
                self.spawn(self.cancel_all, "canceller")
        elif action == "cleanup":
            self.faults["cleanup"] += 1
            await self.cleanup()
        elif action == "limit":
            value = rng.choice((-5, 0, 1, 1, 2, 3, 5, 8, 20, 50, 2.9, True))
            self.faults["limit changed while workers run"] += 1
            self.set_limit(value)
        elif action == "executor":
            pool.set_executor(rng.choice(self.executors))
        elif action == "no_executor":
            self.faults["submit without an executor"] += 1
            executor = pool._executor
            pool.set_executor(None)
            task = self.new_task()
            before = pool._total_submitted
            try:
                await pool.submit(task)  # refused before the body suspends
            except RuntimeError as error:
                if "No executor set" not in str(error):
                    self.unexpected(error, "submit without an executor")
            else:
                self.problem("submit without an executor succeeded")
            finally:
                pool.set_executor(executor)
            if pool._total_submitted != before or task.id in pool._all_tasks:
                self.problem("submit without an executor changed the pool")
        elif action == "wait":
            if sum(1 for t, r in self.clients if r == "waiter" and not t.done()) < 6:
                waiter_rng, all_ = random.Random(rng.getrandbits(32)), rng.random() < 0.4
                self.spawn(lambda r=waiter_rng, a=all_: self.waiter(r, a), "waiter")
        elif action == "kill_client":
            live = [t for t, r in self.clients if not t.done()]
            if live:
                self.faults["client task cancelled"] += 1
                rng.choice(live).cancel()
        elif action == "query":
            self.check_queries(rng)

    # ---- checks between steps

    def check_queries(self, rng: random.Random) -> None:
        pool = self.pool
        stats = pool.stats()
        running, queued, active = pool.list_running(), pool.list_queued(), pool.list_active()
        history = pool._completed
        expected = {
            "max_workers": pool._max_workers,
            "active_count": len(running),
            "queued_count": len(queued),
            "total_submitted": pool._total_submitted,
            "total_completed": pool._total_completed,
            "total_failed": pool._total_failed,
            "completed_history": len(history),
        }
        if stats != expected or list(stats) != list(expected):
            self.problem(f"stats() {stats} disagrees with the listings {expected}")
        if len(active) != len(pool._active) or any(d["state"] != "running" for d in running):
            self.problem("list_active/list_running disagree with _active")
        limit = rng.choice((0, 1, 5, 50, 500, -3))
        if len(pool.list_completed(limit)) != len(history[-limit:]):
            self.problem(f"list_completed({limit}) has the wrong length")
        if len(pool.list_all()) != len(active) + min(20, len(history)):
            self.problem("list_all has the wrong length")
        task_id = self.pick_target(rng)
        status = pool.get_status(task_id)
        if task_id in pool._active:
            expected_status = pool._active[task_id]
        else:
            expected_status = next((r for r in history if r.task_id == task_id), None)
        if status is not expected_status:
            self.problem(f"get_status({task_id}) returned {status!r}")

    def expected_counters(self) -> tuple[int, int, int]:
        """The counters the executors' outcomes call for, and how many worker
        outcomes are unknown (the module's own coroutine returned directly,
        which the run cannot watch)."""
        o = self.obs
        completed = o["returned"]
        failed = o["exception"] + o["cancelled"] + o["nonawaitable"] + o["sync_raise"] + o["bad_timeout"]
        return completed, failed, o["direct"]

    def check_now(self, where: str) -> None:
        pool = self.pool
        history = pool._completed
        active_ids = set(pool._active)
        in_both = active_ids.intersection(r.task_id for r in history)
        if in_both:
            self.problem(f"{where}: ids in both _active and the history: {sorted(in_both)[:5]}")
        active_records = {id(r) for r in pool._active.values()}
        if any(id(r) in active_records for r in history):
            self.problem(f"{where}: a record is in both _active and the history")
        if len(history) > HISTORY_LIMIT:
            self.problem(f"{where}: the history holds {len(history)} records")
        for semaphore, size in self.semaphores:
            if not 0 <= semaphore._value <= size:
                self.problem(f"{where}: a semaphore of {size} has {semaphore._value} free slots")
        completed, failed, unknown = self.expected_counters()
        extra_completed = pool._total_completed - completed
        extra_failed = pool._total_failed - failed
        if not (extra_completed >= 0 and extra_failed >= 0 and extra_completed + extra_failed <= unknown):
            self.problem(
                f"{where}: counters completed={pool._total_completed} failed={pool._total_failed}, "
                f"the executors saw completed={completed} failed={failed} (+{unknown} unknown)"
            )

    # ---- the run

    async def main(self) -> None:
        pool = self.make_pool()
        rng = random.Random(self.cfg.seed ^ 0x5EED)
        chaos = self.spawn(self.chaos, "chaos")
        attempts = 0
        while attempts < self.cfg.workers:
            submitters = [t for t, r in self.clients if r == "submitter" and not t.done()]
            if len(submitters) < 4:
                size = min(rng.randint(1, 6), self.cfg.workers - attempts)
                tasks = [self.new_task() for _ in range(size)]
                many = size > 1 and rng.random() < 0.3
                if not many and rng.random() < 0.01:
                    self.faults["task whose id is not a str"] += 1
                    bad = tasks[0]
                    bad.id = rng.choice((12345, None, StrSubclass(bad.id)))
                attempts += size
                cancel_soon = rng.random() < self.cfg.p_cancel * 0.2
                self.spawn(lambda t=tasks, m=many, c=cancel_soon: self.submitter(t, m, c), "submitter")
            await asyncio.sleep(0)
            await self.pause(rng)

        # Let the submitters finish, then stop the chaos.
        while any(not t.done() for t, r in self.clients if r == "submitter"):
            await asyncio.sleep(0)
        self.stop_chaos = True
        await asyncio.wait([chaos])

        if self.cfg.ending == "cancel_all":
            await self.cancel_all()
        elif self.cfg.ending == "cleanup":
            await self.cleanup()
        for task, role in self.clients:
            if role == "waiter" and not task.done():
                task.cancel()
        clients = [t for t, _ in self.clients]
        while not all(t.done() for t in clients):
            await asyncio.sleep(0)
        await self.drain()
        if self.cfg.sabotage == "leak_slot":
            await pool._semaphore.acquire()  # never released
        self.check_now("end of run")
        self.final_checks()

    async def drain(self) -> None:
        deadline = time.monotonic() + 20.0
        while True:
            pending = [t for t in self.worker_tasks() if not t.done()]
            if not pending:
                return
            if time.monotonic() > deadline:
                names = ", ".join(t.get_name() for t in pending[:10])
                self.problem(f"{len(pending)} workers never finished: {names}")
                return
            await asyncio.sleep(0.0005 if self.cfg.realtime else 0)

    def worker_tasks(self) -> list[asyncio.Task[Any]]:
        return [t for t in self.all_tasks if t.get_name().startswith("worker-")]

    def final_checks(self) -> None:
        pool = self.pool
        allowed_stranded = self.cancel_failed | self.log_failed_final

        # Workers' tasks end with None, cancelled, or an error the run injected.
        for task in self.worker_tasks():
            task_id = task.get_name()[len("worker-") :]
            if task.cancelled():
                if task_id not in self.cancel_requested:
                    self.problem(f"worker {task_id} ended cancelled though nobody cancelled it")
                continue
            error = task.exception()
            if error is None:
                continue
            seen = self.outcomes_of.get(task_id, [])
            if isinstance(error, StrFault) and "bad_str" in seen:
                continue
            if isinstance(error, tuple(BASE_OUTCOMES.values())) and "base" in seen:
                continue
            if isinstance(error, LogFault):
                continue
            self.unexpected(error, f"worker {task_id}")

        # Counters against what the executors saw.
        completed, failed, unknown = self.expected_counters()
        counted = sum(1 for s in self.subs.values() if s.counted)
        if pool._total_submitted != counted or len(pool._all_tasks) != counted:
            self.problem(
                f"_total_submitted {pool._total_submitted}, _all_tasks {len(pool._all_tasks)}, "
                f"counted submissions {counted}"
            )
        extra_completed = pool._total_completed - completed
        extra_failed = pool._total_failed - failed
        if extra_completed < 0 or extra_failed < 0 or extra_completed + extra_failed != unknown:
            self.problem(
                f"counters completed={pool._total_completed} failed={pool._total_failed}; executors "
                f"saw completed={completed} failed={failed} and {unknown} direct awaits"
            )
        logged_failed = self.logs[("failed", "exception")]
        logged_cancelled = self.logs[("cancelled_by_user", "info")]
        known_failed = failed - self.obs["cancelled"]
        if not (
            logged_failed >= known_failed
            and logged_cancelled >= self.obs["cancelled"]
            and (logged_failed - known_failed) + (logged_cancelled - self.obs["cancelled"]) == extra_failed
        ):
            self.problem(
                f"logged {logged_failed} failures and {logged_cancelled} cancellations; the executors "
                f"saw {known_failed} failures and {self.obs['cancelled']} cancellations"
            )
        for (kind, level), count in self.logs.items():
            if MESSAGE_LEVELS.get(kind, level) != level:
                self.problem(f"{count} '{kind}' messages logged at level {level}")

        # Semaphores: every slot back.
        for semaphore, size in self.semaphores:
            if semaphore._value != size or semaphore._waiters:
                self.problem(f"a semaphore of {size} ends with {semaphore._value} free slots")

        # Every submitted id in exactly one place, or gone as the rules allow.
        # A worker whose executor raised an error that is not an Exception
        # keeps its RUNNING state (nothing marks it), in the history or, when
        # its final broadcast failed too, in _active.
        base_ids = {t for t, seen in self.outcomes_of.items() if "base" in seen}
        history_ids = collections.Counter(r.task_id for r in pool._completed)
        for task_id, sub in self.subs.items():
            if not sub.counted:
                continue
            in_active = task_id in pool._active
            in_history = history_ids[task_id]
            if in_history > 1:
                self.problem(f"{task_id} is {in_history} times in the history")
            if in_active and in_history:
                self.problem(f"{task_id} is in both _active and the history")
            elif in_active:
                record = pool._active[task_id]
                if task_id not in allowed_stranded:
                    self.problem(f"{task_id} is still in _active ({record.state!r}) after the run")
                elif record.state not in FINAL_STATES and task_id not in base_ids:
                    self.problem(f"{task_id} is left in _active as {record.state!r}")
            elif not in_history:
                if task_id in self.trimmed or sub.raised is not None or sub.epoch < self.cleanups:
                    continue
                self.problem(f"{task_id} vanished: not active, not in the history, not trimmed")
        for task in self.uncounted:
            if task.id in pool._all_tasks:
                self.problem(f"a refused task ({task.id!r}) is in _all_tasks")
        for task_id, worker in pool._tasks.items():
            if task_id not in allowed_stranded or not worker.done():
                sub = self.subs.get(task_id)
                record = sub.record if sub else None
                self.problem(
                    f"{task_id} is still in _tasks after the run: {worker!r}, its record "
                    f"{getattr(record, 'state', None)!r}, active={task_id in pool._active}, "
                    f"executor called={bool(self.calls[task_id])}, cleanups since its "
                    f"submission={self.cleanups - sub.epoch if sub else '?'}"
                )
        for record in pool._completed:
            if record.state not in FINAL_STATES and record.task_id not in base_ids:
                self.problem(f"{record.task_id} is in the history as {record.state!r}")

        # What left the loop: only the interrupts the executors raised.
        raised = sum(1 for seen in self.outcomes_of.values() if "base" in seen)
        if len(self.escaped) > raised:
            self.problem(f"{len(self.escaped)} exceptions left the loop: {self.escaped[:3]!r}")

    def execute(self) -> Report:
        started = time.perf_counter()
        loop = asyncio.new_event_loop()
        loop.set_task_factory(self.task_factory())
        loop.set_exception_handler(lambda _loop, context: self.handler_calls.append(context))
        saved_asyncio, saved_logger = wp.asyncio, wp.logger
        saved_hook = sys.unraisablehook
        sys.unraisablehook = self.on_unraisable
        caught_warnings: list[warnings.WarningMessage] = []
        try:
            with warnings.catch_warnings(record=True) as caught_warnings:
                warnings.simplefilter("always")
                wp.asyncio, wp.logger = AsyncioShim(self), FaultyLogger(self)
                try:
                    main = loop.create_task(self.main(), name="stress-main")
                    while True:
                        try:
                            loop.run_until_complete(main)
                            break
                        except ESCAPING as error:
                            self.escaped.append(error)
                            self.faults[f"{type(error).__name__} left the event loop"] += 1
                    self.finish_loop(loop)
                finally:
                    wp.asyncio, wp.logger = saved_asyncio, saved_logger
                    loop.close()
                self.pool = None
                self.all_tasks.clear()
                self.clients.clear()
                gc.collect()
        finally:
            sys.unraisablehook = saved_hook
        for context in self.handler_calls:
            self.problem(f"the loop's exception handler was called: {context.get('message')} {context!r}")
        for text in self.unraisable:
            self.problem(f"unraisable exception: {text}")
        for w in caught_warnings:
            self.problem(f"warning: {w.category.__name__}: {w.message}")
        return Report(
            config=self.cfg,
            attempts=len(self.subs) + len(self.uncounted),
            submitted=sum(1 for s in self.subs.values() if s.counted),
            executor_calls=sum(self.calls.values()),
            outcomes=collections.Counter(self.obs),
            faults=self.faults,
            problems=self.problems,
            seconds=time.perf_counter() - started,
            broadcasts=self.broadcasts,
            polls=self.polls,
        )

    def finish_loop(self, loop: asyncio.AbstractEventLoop) -> None:
        leftovers = [t for t in self.all_tasks if not t.done()]
        if leftovers:
            self.problem(
                f"{len(leftovers)} tasks still pending after the run: "
                + ", ".join(t.get_name() for t in leftovers[:10])
            )
            for task in leftovers:
                task.cancel()
            try:
                loop.run_until_complete(asyncio.wait(leftovers, timeout=5))
            except BaseException as error:
                self.unexpected(error, "the final cancellation")
        for task in self.all_tasks:  # retrieved, so that none is logged
            if task.done() and not task.cancelled():
                task.exception()
        loop.run_until_complete(loop.shutdown_asyncgens())

    def task_factory(self) -> Any:
        kind = self.cfg.kind
        if kind == "c_task":
            base: Any = lambda loop, coro, **kw: asyncio.Task(coro, loop=loop, **kw)  # noqa: E731
        elif kind == "py_task":
            base = lambda loop, coro, **kw: asyncio.tasks._PyTask(coro, loop=loop, **kw)  # noqa: E731
        elif kind == "eager":
            base = asyncio.eager_task_factory
        else:
            base = asyncio.create_eager_task_factory(asyncio.tasks._PyTask)

        def factory(loop: asyncio.AbstractEventLoop, coro: Any, **kwargs: Any) -> Any:
            # uvloop passes eager_start=; each kind decides that on its own.
            kwargs.pop("eager_start", None)
            # (the loop names the task after the factory has made it)
            if getattr(coro, "__qualname__", None) == "WorkerPool._run_worker":
                if self.factory_rng.random() < self.cfg.p_factory_fail:
                    self.faults["task factory refused a worker"] += 1
                    coro.close()
                    raise FactoryFault("no task for this worker")
            task = base(loop, coro, **kwargs)
            self.all_tasks.append(task)
            return task

        return factory

    def on_unraisable(self, info: Any) -> None:
        self.unraisable.append(f"{info.err_msg or 'Exception ignored in'}: {info.object!r}: {info.exc_value!r}")


class StrSubclass(str):
    """A task id that is a str, but not exactly."""


def run_scenario(cfg: Config) -> Report:
    return Run(cfg).execute()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, action="append", help="a seed to run (repeatable)")
    parser.add_argument("--seeds", type=int, default=4, help="random seeds to run without --seed")
    parser.add_argument("--workers", type=int, default=300)
    parser.add_argument("--kind", choices=KINDS, default="")
    args = parser.parse_args(argv)
    seeds = args.seed or [random.randrange(2**32) for _ in range(args.seeds)]
    failed = 0
    for seed in seeds:
        report = run_scenario(Config(seed=seed, workers=args.workers, kind=args.kind))
        print(report.failure_text() if report.problems else report.summary(), flush=True)
        failed += bool(report.problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

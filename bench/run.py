"""Benchmarks of zorvic.core.worker_pool against the floor and a plain-Python pool.

Every number in the table comes from this one process run, side by side:

- lifecycle: microseconds per worker to submit N workers and run them to
  completion (max_workers 20; the executor reports progress once and returns),
  without and with an async status callback, for the module, the floor
  (bench/floor.py: the least host work any pool on asyncio needs) and the
  plain-Python pool (bench/plain_pool.py);
- queries: microseconds per call with 50 active workers (20 running, 30
  queued) and 200 finished workers in the history, module and plain pool;
- memory: bytes per active worker and per history record, and the growth of
  allocated blocks, heap bytes and RSS over many submit-to-history cycles after
  a warm-up.

Each timing is repeated and the best run is kept. `--quick` shrinks the counts
for a smoke run; `--markdown` also writes the table, with the machine it ran
on, to bench/RESULTS.md. `--only` and `--impl` narrow a run to one section or
implementation (handy under perf), `--scale` and `--repeat` set the counts, and
`--no-gc` times the lifecycle with the cyclic collector switched off.
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import gc
import os
import platform
import re
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import floor  # noqa: E402
import plain_pool  # noqa: E402

try:
    from zorvic.core import worker_pool as module_pool
except ImportError as exc:  # the table still shows the floor and the plain pool
    module_pool = None
    MODULE_MISSING = f"{type(exc).__name__}: {exc}"
else:
    MODULE_MISSING = ""

MAX_WORKERS = 20
IMPLS = ("module", "floor", "plain")


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- executors and drivers


def fast_executor(active: dict[str, Any]) -> Callable[..., Any]:
    """Reports progress once on the worker's live record, then returns at once."""

    async def executor(task: Any, update: Callable[[Any], Any], *, deadline: float) -> str:
        status = active[task.id]
        status.progress_pct = 50.0
        await update(status)
        return "done"

    return executor


def gated_executor(gate: asyncio.Future[None]) -> Callable[..., Any]:
    """Holds every worker that reaches it until `gate` is resolved."""

    async def executor(task: Any, update: Callable[[Any], Any], *, deadline: float) -> str:
        await gate
        return "done"

    return executor


async def on_status(status: Any) -> None:
    pass


class PoolDriver:
    """Runs tasks through a WorkerPool (the module's or the plain one)."""

    def __init__(self, pool_cls: Any, callback: Any = None) -> None:
        self.pool = pool_cls(MAX_WORKERS, None, callback)
        self.active = self.pool._active

    def set_executor(self, executor: Any) -> None:
        self.pool.set_executor(executor)

    async def start_all(self, tasks: list[Any]) -> list[asyncio.Task[None]]:
        submit = self.pool.submit
        for task in tasks:
            await submit(task)
        return list(self.pool._tasks.values())

    def check_finished(self, n: int) -> None:
        pool = self.pool
        if pool._active or pool._tasks or pool._total_completed != n:
            raise AssertionError(f"pool did not finish its {n} workers: {pool.stats()}")

    def running_queued(self) -> tuple[int, int]:
        s = self.pool.stats()
        return s["active_count"], s["queued_count"]


class FloorDriver:
    def __init__(self, callback: Any = None) -> None:
        self.floor = floor.Floor(MAX_WORKERS, None, callback)  # type: ignore[arg-type]
        self.active = self.floor.records

    def set_executor(self, executor: Any) -> None:
        self.floor.executor = executor

    async def start_all(self, tasks: list[Any]) -> list[asyncio.Task[None]]:
        return await self.floor.start_all(tasks)

    def check_finished(self, n: int) -> None:
        if self.floor.records:
            raise AssertionError(f"floor left {len(self.floor.records)} records behind")

    def running_queued(self) -> tuple[int, int]:
        states = [r.state for r in self.floor.records.values()]
        return states.count(floor.RUNNING), states.count(floor.QUEUED)


def make_driver(impl: str, callback: Any = None) -> PoolDriver | FloorDriver:
    if impl == "module":
        return PoolDriver(module_pool.WorkerPool, callback)  # type: ignore[union-attr]
    if impl == "plain":
        return PoolDriver(plain_pool.WorkerPool, callback)
    return FloorDriver(callback)


def make_tasks(n: int, prefix: str) -> list[Any]:
    """Tasks with distinct ids; the pools read only id, name and timeout."""
    return [plain_pool.WorkerTask(id=f"{prefix}{i:010x}", name=f"w{i}") for i in range(n)]


SELECTED = set(IMPLS)  # narrowed by --impl


def available(impl: str) -> bool:
    return impl in SELECTED and (impl != "module" or module_pool is not None)


# ---------------------------------------------------------------- lifecycle


def lifecycle_once(impl: str, tasks: list[Any], with_callback: bool, gc_off: bool = False) -> float:
    """Seconds to submit `tasks` and run them all to completion."""

    async def main() -> float:
        driver = make_driver(impl, on_status if with_callback else None)
        driver.set_executor(fast_executor(driver.active))
        gc.collect()
        if gc_off:
            gc.disable()
        try:
            t0 = time.perf_counter()
            workers = await driver.start_all(tasks)
            await asyncio.gather(*workers)
            elapsed = time.perf_counter() - t0
        finally:
            gc.enable()
        driver.check_finished(len(tasks))
        return elapsed

    return asyncio.run(main())


def bench_lifecycle(sizes: list[int], repeat: int, gc_off: bool, results: dict[str, Any]) -> None:
    for n in sizes:
        tasks = make_tasks(n, "l")
        gc.collect()
        gc.freeze()  # the collector need not scan the prepared inputs again and again
        best: dict[tuple[str, bool], float] = {}
        # small runs are cheap and noisier: give them more tries
        for _ in range(repeat if n >= 100_000 else 3 * repeat):
            # interleaved, so that drift of the machine hits every column alike
            for with_callback in (False, True):
                for impl in IMPLS:
                    if not available(impl):
                        continue
                    t = lifecycle_once(impl, tasks, with_callback, gc_off)
                    key = (impl, with_callback)
                    best[key] = min(best.get(key, t), t)
        for (impl, with_callback), t in best.items():
            results[("lifecycle", n, with_callback, impl)] = t / n * 1e6
        log(f"  lifecycle {n:,}: done")
        gc.unfreeze()
        del tasks
        gc.collect()


# ---------------------------------------------------------------- queries

QUERY_ROWS = (
    ("get_status, active hit", "active"),
    ("get_status, history hit 150 deep", "deep"),
    ("get_status, miss", "miss"),
    ("list_all", None),
    ("stats", None),
)


def time_call(fn: Callable[..., Any], args: tuple[Any, ...], target: float, repeat: int) -> float:
    """Best microseconds per call of fn(*args), the loop sized to take about `target` seconds."""
    names = ", ".join(f"a{i}" for i in range(len(args)))
    timer = timeit.Timer(f"fn({names})", globals={"fn": fn, **{f"a{i}": a for i, a in enumerate(args)}})
    number = 1
    while True:
        t = timer.timeit(number)
        if t >= target / 4 or number >= 1 << 24:
            break
        number *= 4
    number = max(1, int(number * target / max(t, 1e-9)))
    return min(timer.repeat(repeat, number)) / number * 1e6


async def query_pool(impl: str) -> tuple[Any, dict[str, str], asyncio.Future[None], list[asyncio.Task[None]]]:
    """The pool the queries run on: 200 history records, then 50 active workers
    (20 running, 30 queued) held by a gate. Returns the pool, the ids of the
    query rows, the gate and the held workers (resolve the gate, then gather
    them)."""
    driver = make_driver(impl)
    pool = driver.pool  # type: ignore[union-attr]
    driver.set_executor(fast_executor(driver.active))
    history = await driver.start_all(make_tasks(200, "h"))
    await asyncio.gather(*history)
    gate = asyncio.get_running_loop().create_future()
    driver.set_executor(gated_executor(gate))
    active_tasks = make_tasks(50, "a")
    workers = await driver.start_all(active_tasks)
    for _ in range(3):
        await asyncio.sleep(0)
    if len(pool._completed) != 200 or driver.running_queued() != (20, 30):
        raise AssertionError(f"query set-up is off: {pool.stats()}")
    ids = {
        "active": active_tasks[25].id,
        "deep": pool._completed[149].task_id,
        "miss": "no-such-task",
    }
    if pool.get_status(ids["miss"]) is not None or pool.get_status(ids["deep"]) is None:
        raise AssertionError("query ids are off")
    return pool, ids, gate, workers


def query_call(pool: Any, ids: dict[str, str], label: str) -> tuple[Callable[..., Any], tuple[Any, ...]]:
    """The bound method and arguments of one query row."""
    which = dict(QUERY_ROWS)[label]
    if which:
        return pool.get_status, (ids[which],)
    return getattr(pool, label), ()


def bench_queries(impl: str, target: float, repeat: int, results: dict[str, Any]) -> None:
    async def main() -> None:
        pool, ids, gate, workers = await query_pool(impl)
        for label, _ in QUERY_ROWS:
            fn, args = query_call(pool, ids, label)
            results[("queries", label, impl)] = time_call(fn, args, target, repeat)
        gate.set_result(None)
        await asyncio.gather(*workers)

    asyncio.run(main())


# ---------------------------------------------------------------- memory probes


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _mallinfo2() -> Callable[[], int] | None:
    try:
        libc = ctypes.CDLL(None)
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _Mallinfo2
    fn.argtypes = []

    def in_use() -> int:
        info = fn()
        return int(info.uordblks + info.hblkhd)

    return in_use


MALLOC_IN_USE = _mallinfo2()
_PYMALLOC_RE = re.compile(r"# bytes in allocated blocks\s*=\s*([\d,]+)")


def pymalloc_in_use() -> int:
    """Bytes in allocated blocks of the small-object allocator (0 when it is not in use)."""
    sys.stderr.flush()
    with tempfile.TemporaryFile() as f:
        saved = os.dup(2)
        try:
            os.dup2(f.fileno(), 2)
            sys._debugmallocstats()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        f.seek(0)
        m = _PYMALLOC_RE.search(f.read().decode("ascii", "replace"))
    return int(m.group(1).replace(",", "")) if m else 0


def heap_in_use() -> int | None:
    """All heap bytes in use: small objects plus everything else malloc hands out
    (large objects, and anything an extension allocates with malloc, which tracemalloc does not see)."""
    if MALLOC_IN_USE is None:
        return None
    small = pymalloc_in_use()
    return small + MALLOC_IN_USE()


def traced_in_use() -> int:
    return tracemalloc.get_traced_memory()[0]


def rss_bytes() -> int | None:
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


@dataclass
class Probe:
    name: str
    read: Callable[[], int | None]
    traced: bool = False  # tracemalloc runs while this probe is used


PROBES = [Probe("tracemalloc", traced_in_use, traced=True), Probe("heap", heap_in_use)]


def with_probe(probe: Probe, fn: Callable[[], float | None]) -> float | None:
    if probe.traced:
        tracemalloc.start()
    try:
        return fn()
    finally:
        if probe.traced:
            tracemalloc.stop()


# ---------------------------------------------------------------- memory


async def _warm(impl: str) -> None:
    """One small run, so that lazily made objects exist before a measurement."""
    driver = make_driver(impl, on_status)
    driver.set_executor(fast_executor(driver.active))
    await asyncio.gather(*await driver.start_all(make_tasks(64, "w")))


async def _settle() -> None:
    """Lets go of finished work, then collects.

    Until the current step of this coroutine ends, the loop's handle that
    resumed it still holds the gathering future, and through it every worker's
    finished asyncio task."""
    await asyncio.sleep(0)
    gc.collect()


def active_worker_bytes(impl: str, n: int, probe: Probe) -> float | None:
    tasks = make_tasks(n, "m")

    async def main() -> float | None:
        await _warm(impl)
        driver = make_driver(impl)
        gate = asyncio.get_running_loop().create_future()
        driver.set_executor(gated_executor(gate))
        await _settle()
        before = probe.read()
        workers = await driver.start_all(tasks)
        for _ in range(3):  # the first 20 reach the executor, the rest wait on the semaphore
            await asyncio.sleep(0)
        gc.collect()
        after = probe.read()
        if driver.running_queued() != (MAX_WORKERS, n - MAX_WORKERS):
            raise AssertionError(f"{impl}: workers did not settle: {driver.running_queued()}")
        gate.set_result(None)
        await asyncio.gather(*workers)
        if before is None or after is None:
            return None
        return (after - before) / n

    return with_probe(probe, lambda: asyncio.run(main()))


def history_record_bytes(impl: str, probe: Probe) -> float | None:
    n = 200  # the history's bound: it is cut back only when it grows past 200
    tasks = make_tasks(n, "r")

    async def main() -> float | None:
        await _warm(impl)
        driver = make_driver(impl)
        driver.set_executor(fast_executor(driver.active))
        await _settle()
        before = probe.read()
        workers = await driver.start_all(tasks)
        await asyncio.gather(*workers)
        del workers
        await _settle()
        after = probe.read()
        if len(driver.pool._completed) != n:  # type: ignore[union-attr]
            raise AssertionError(f"{impl}: history holds {len(driver.pool._completed)}")  # type: ignore[union-attr]
        if before is None or after is None:
            return None
        return (after - before) / n

    return with_probe(probe, lambda: asyncio.run(main()))


def growth(impl: str, warm_cycles: int, cycles: int, ring_size: int) -> dict[str, float | None]:
    """Growth over `cycles` submit-to-history cycles after `warm_cycles` of warm-up.

    The tasks come from a ring of `ring_size` task objects that are submitted
    over and over, so the pool's `_all_tasks` (which keeps every task it was
    ever given, by design) stops growing after the first round: what grows
    after the warm-up is a leak. A status callback is set, so every broadcast
    runs. Reference counts of a task, the executor and the callback must not
    drift either."""
    ring = make_tasks(ring_size, "g")

    async def main() -> dict[str, float | None]:
        driver = make_driver(impl, on_status)
        executor = fast_executor(driver.active)
        driver.set_executor(executor)

        async def run_cycles(count: int) -> None:
            done = 0
            while done < count:
                batch = ring[: min(ring_size, count - done)]
                await asyncio.gather(*await driver.start_all(batch))
                done += len(batch)

        def refcounts() -> list[int]:
            return [sys.getrefcount(ring[-1]), sys.getrefcount(executor), sys.getrefcount(on_status)]

        await run_cycles(warm_cycles)
        await _settle()
        blocks0, heap0, rss0, refs0 = sys.getallocatedblocks(), heap_in_use(), rss_bytes(), refcounts()
        await run_cycles(cycles)
        await _settle()
        blocks1, heap1, rss1, refs1 = sys.getallocatedblocks(), heap_in_use(), rss_bytes(), refcounts()
        driver.check_finished(warm_cycles + cycles)
        return {
            "blocks": blocks1 - blocks0,
            "heap": None if heap0 is None or heap1 is None else heap1 - heap0,
            "rss": None if rss0 is None or rss1 is None else rss1 - rss0,
            "refs": float(sum(abs(a - b) for a, b in zip(refs0, refs1))),
        }

    return asyncio.run(main())


def bench_memory(n_active: int, warm_cycles: int, cycles: int, results: dict[str, Any]) -> None:
    for probe in PROBES:
        for impl in IMPLS:
            if available(impl):
                results[("memory", "active", probe.name, impl)] = active_worker_bytes(impl, n_active, probe)
        for impl in ("module", "plain"):
            if available(impl):
                results[("memory", "history", probe.name, impl)] = history_record_bytes(impl, probe)
    log("  memory per worker: done")
    for impl in IMPLS:  # the floor shows what asyncio itself does over the same cycles
        if available(impl):
            g = growth(impl, warm_cycles, cycles, ring_size=min(1000, max(1, cycles // 10)))
            for key, value in g.items():
                results[("growth", key, impl)] = value
    log("  memory growth: done")


# ---------------------------------------------------------------- the table


@dataclass
class Table:
    header: list[str]
    rows: list[list[str]] = field(default_factory=list)

    def text(self) -> str:
        widths = [max(len(r[i]) for r in [self.header, *self.rows]) for i in range(len(self.header))]
        lines = []
        for j, row in enumerate([self.header, *self.rows]):
            cells = [c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))]
            lines.append("  ".join(cells).rstrip())
            if j == 0:
                lines.append("  ".join("-" * w for w in widths))
        return "\n".join(lines)

    def markdown(self) -> str:
        lines = ["| " + " | ".join(self.header) + " |"]
        lines.append("|" + "|".join([":---"] + ["---:"] * (len(self.header) - 1)) + "|")
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)


def fmt(value: float | None, digits: int = 2) -> str:
    if value is None:
        return "n/a"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.2f}x"


def build_table(results: dict[Any, Any], sections: set[str], sizes: list[int], n_active: int, cycles: int) -> Table:
    table = Table(["measurement", "module", "floor", "plain", "module/floor", "module/plain"])
    get = results.get

    for with_callback in (False, True) if "lifecycle" in sections else ():
        for n in sizes:
            m, f, p = (get(("lifecycle", n, with_callback, impl)) for impl in IMPLS)
            cb = "with callback" if with_callback else "no callback"
            table.rows.append(
                [f"lifecycle us/worker, {n:,} workers, {cb}", fmt(m), fmt(f), fmt(p), ratio(m, f), ratio(m, p)]
            )
    for label, _ in QUERY_ROWS if "queries" in sections else ():
        m, p = get(("queries", label, "module")), get(("queries", label, "plain"))
        table.rows.append([f"query us/call, {label}", fmt(m, 3), "-", fmt(p, 3), "-", ratio(m, p)])
    for probe in PROBES if "memory" in sections else ():
        m, f, p = (get(("memory", "active", probe.name, impl)) for impl in IMPLS)
        table.rows.append(
            [
                f"bytes per active worker ({probe.name}, {n_active:,} active)",
                fmt(m, 0),
                fmt(f, 0),
                fmt(p, 0),
                ratio(m, f),
                ratio(m, p),
            ]
        )
        m, p = get(("memory", "history", probe.name, "module")), get(("memory", "history", probe.name, "plain"))
        table.rows.append([f"bytes per history record ({probe.name})", fmt(m, 0), "-", fmt(p, 0), "-", ratio(m, p)])
    growth_rows = (
        ("blocks", "allocated blocks"),
        ("heap", "heap bytes"),
        ("rss", "RSS bytes"),
        ("refs", "refcount drift (task, executor, callback)"),
    )
    for key, label in growth_rows if "memory" in sections else ():
        m, f, p = (get(("growth", key, impl)) for impl in IMPLS)
        table.rows.append([f"growth over {cycles:,} cycles, {label}", fmt(m, 0), fmt(f, 0), fmt(p, 0), "-", "-"])
    return table


# ---------------------------------------------------------------- machine and main


def machine() -> list[str]:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count() or 0
    rev = "unknown"
    try:
        rev = (
            subprocess.run(
                ["git", "-C", str(HERE), "describe", "--always", "--dirty"], capture_output=True, text=True, timeout=5
            ).stdout.strip()
            or rev
        )
    except (OSError, subprocess.SubprocessError):
        pass
    return [
        f"CPU: {cpu}",
        f"Cores: {cores}",
        f"Python: {sys.version.split()[0]} ({platform.python_implementation()}, {platform.machine()})",
        f"OS: {platform.system()} {platform.release()}, {platform.libc_ver()[0]} {platform.libc_ver()[1]}",
        f"Module: {module_pool.__file__ if module_pool else 'not importable (' + MODULE_MISSING + ')'}",
        f"Commit: {rev}",
        f"Date: {time.strftime('%Y-%m-%d %H:%M %Z')}",
    ]


NOTES = """\
How to read it:

- Each row is measured in the same process run; the columns of a row are
  interleaved, and each timing is the best of the repeats. Ratios are
  module / other: below 1.00x the module is faster (or smaller).
- lifecycle: submit N tasks one by one, then gather the workers' asyncio
  tasks; max_workers 20; the executor sets progress on its live record, awaits
  the update callback once and returns. The status callback is an empty async
  function (four broadcasts per worker: queued, running, update, final).
- floor (bench/floor.py): create_task per worker, an asyncio.Semaphore, the
  executor await, one twelve-field dataclass record per worker and the same
  broadcasts; no history, counters, logging or argument checks.
- plain (bench/plain_pool.py): the same pool written in plain Python.
- queries: 50 active workers (20 running, 30 queued) and 200 history records;
  each call is made from Python through the bound method, so the time
  includes the call itself.
- bytes per worker: "tracemalloc" counts what the interpreter's allocators
  hand out; "heap" adds what malloc hands out directly (small-object bytes in
  use plus mallinfo2), which also covers what is allocated with malloc directly,
  outside tracemalloc's view. Both include the worker's entries in the pool's tables (_active,
  _tasks, _all_tasks) and, for an active worker, its asyncio task and
  coroutine; the task objects themselves are made beforehand and not counted.
- growth: a ring of task objects is submitted over and over (so _all_tasks,
  which keeps every task ever submitted, stops growing after the first round),
  with a status callback; measured after a warm-up and a gc.collect(). A leak
  of one object per worker would show as at least as many blocks as cycles;
  the floor's column shows the small drift of asyncio itself.
"""


SECTIONS = ("queries", "lifecycle", "memory")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller counts and one repeat, for a smoke run")
    parser.add_argument(
        "--markdown",
        nargs="?",
        const=str(HERE / "RESULTS.md"),
        metavar="PATH",
        help="also write the table and the machine description (default bench/RESULTS.md)",
    )
    parser.add_argument("--scale", type=float, help="multiply every count by this factor (default 1, 0.1 with --quick)")
    parser.add_argument("--repeat", type=int, help="repeats per timing (default 3, 1 with --quick)")
    parser.add_argument(
        "--only",
        action="append",
        choices=SECTIONS,
        help="run only this section (may be repeated), for example to profile one workload",
    )
    parser.add_argument(
        "--impl",
        action="append",
        choices=IMPLS,
        help="measure only this implementation (may be repeated), for example under perf",
    )
    parser.add_argument(
        "--no-gc", action="store_true", help="disable the cyclic garbage collector during lifecycle timings"
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    scale = args.scale if args.scale is not None else (0.1 if args.quick else 1.0)
    repeat = args.repeat if args.repeat is not None else (1 if args.quick else 3)
    if scale <= 0 or repeat < 1:
        raise SystemExit("--scale must be positive and --repeat at least 1")

    def scaled(n: int, least: int) -> int:
        return max(least, int(n * scale))

    sizes = sorted({scaled(1_000, 10), scaled(10_000, 10), scaled(100_000, 10)})
    n_active = scaled(10_000, MAX_WORKERS + 10)
    cycles = scaled(100_000, 100)
    warm_cycles = scaled(20_000, 20)
    query_target = min(0.02, 0.02 * scale)

    if module_pool is None:
        log(f"zorvic.core.worker_pool is not importable ({MODULE_MISSING}); its column stays empty")
    sections = set(args.only or SECTIONS)
    SELECTED.intersection_update(args.impl or IMPLS)
    results: dict[Any, Any] = {}
    started = time.perf_counter()
    if "queries" in sections:  # first, while the heap is still small and tidy
        log("queries ...")
        for impl in ("module", "plain"):
            if available(impl):
                bench_queries(impl, query_target, max(5, 2 * repeat + 1), results)
    if "lifecycle" in sections:
        log("lifecycle ...")
        bench_lifecycle(sizes, repeat, args.no_gc, results)
    if "memory" in sections:
        log("memory ...")
        bench_memory(n_active, warm_cycles, cycles, results)
    log(f"total {time.perf_counter() - started:.1f} s")

    table = build_table(results, sections, sizes, n_active, cycles)
    print(table.text())
    if args.markdown:
        text = "\n".join(
            [
                "# Benchmark results",
                "",
                "Written by `bench/run.py --markdown` (`make bench`).",
                "",
                *[f"- {line}" for line in machine()],
                f"- Settings: scale {scale:g}, repeat {repeat}, cyclic GC {'off' if args.no_gc else 'on'} during"
                f" lifecycle timings, asyncio's default event loop and C Task",
                "",
                table.markdown(),
                "",
                NOTES,
            ]
        )
        # The instruction-count table (bench/instructions.py) keeps its place.
        out = Path(args.markdown)
        old = out.read_text() if out.exists() else ""
        begin, end = "<!-- instructions: begin -->", "<!-- instructions: end -->"
        if begin in old and end in old:
            text = text.rstrip("\n") + "\n\n" + old[old.index(begin) : old.index(end) + len(end)] + "\n"
        out.write_text(text)
        log(f"wrote {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

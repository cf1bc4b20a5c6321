"""Host code that plain Python survives must not take the interpreter down.

Each case runs in a subprocess, so a crash fails that test and not the run:
deep chains of coroutines driving or closing one another, host code that
closes a coroutine from inside its own close() or throw(), a remembered
global lookup whose owner is rebound mid-lookup, and a daemon thread inside a
module call when the interpreter exits.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

# AddressSanitizer's frames are several times larger than a plain build's, while
# the interpreter's recursion limit counts levels, not bytes: under the
# sanitizer the deep cases get a thread with room for them.
_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = """\
import asyncio, gc, sys, threading
import zorvic.core.worker_pool as wp
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus

class Tick:
    def __iter__(self): return self
    def __next__(self): return "tick"

class Suspends:
    def __await__(self): return Tick()

def chain(n, last):
    # n pools, each one's status callback being the next one's _update_status
    pools = [WorkerPool() for _ in range(n)]
    for a, b in zip(pools, pools[1:]):
        a._on_status_change = b._update_status
    pools[-1]._on_status_change = last
    return pools[0]._update_status(WorkerStatus("x", WorkerState.RUNNING))
"""


def run_script(
    body: str, *, big_stack: bool = False, stack_mb: int | None = None, env: dict[str, str] | None = None
) -> str:
    """Runs the case in a subprocess (in a thread with `stack_mb` of stack when
    given) and returns what it printed; it must exit with status 0."""
    script = PRELUDE + textwrap.dedent(body)
    if big_stack and _ASAN:
        stack_mb = 512
    if stack_mb:
        script = (
            f"import threading\nthreading.stack_size({stack_mb} * 1024 * 1024)\n"
            "t = threading.Thread(target=exec, args=(compile("
            f"{script!r}, '<case>', 'exec'), {{}}))\nt.start(); t.join()\n"
        )
    proc = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    return proc.stdout


DEEP_CASES = {
    "awaiting itself": """
        p = WorkerPool()
        p._on_status_change = p._update_status
        try:
            asyncio.run(p._update_status(WorkerStatus("x", WorkerState.RUNNING)))
        except RecursionError:
            print("RecursionError")
    """,
    "100,000 pools in a chain": """
        try:
            chain(100_000, None).send(None)
        except RecursionError:
            print("RecursionError")
    """,
}


@pytest.mark.parametrize("body", DEEP_CASES.values(), ids=DEEP_CASES.keys())
def test_deep_chains_raise_recursion_error(body: str) -> None:
    assert run_script(body, big_stack=True).split() == ["RecursionError"]


@pytest.mark.parametrize("how", ["del", "close", "gc"])
def test_long_suspended_chain_is_dropped_from_deep_inside_another(how: str) -> None:
    # A chain suspended near the recursion limit, dropped by a callback at the
    # bottom of a second one as deep: closing it cannot finish within the limit,
    # so part of it is closed with RecursionError and the rest deferred. The
    # limit keeps the C stack within 6 MB; unbounded, the two chains need more.
    out = run_script(
        f"""
        sys.setrecursionlimit(10_000)
        held = [chain(9000, lambda st: Suspends())]
        print(held[0].send(None))
        async def drop(st):
            if {how!r} == "close":
                try:
                    held[0].close()
                except RecursionError:
                    pass
            c = held.pop()
            if {how!r} == "gc":
                cycle = [c]; cycle.append(cycle); del c, cycle
                gc.collect()
        try:
            chain(9000, drop).send(None)
        except StopIteration:
            print("finished")
        gc.collect()
        """,
        big_stack=True,
        stack_mb=6,
    )
    assert out.split() == ["tick", "finished"]


def test_close_from_a_finalizer_run_by_close_itself() -> None:
    out = run_script("""
        class Dying(Tick):
            def __del__(self):
                try:
                    S.close()
                except ValueError as e:
                    print(e)
        class Aw:
            def __await__(self): return Dying()
        p = WorkerPool(); p._on_status_change = lambda st: Aw()
        S = p._update_status(WorkerStatus("x", WorkerState.RUNNING))
        S.send(None)
        S.close()
        try:
            S.send(None)
        except RuntimeError as e:
            print(e)
    """)
    assert out.splitlines() == ["coroutine already executing", "cannot reuse already awaited coroutine"]


def test_close_from_the_throw_lookup_of_the_awaited_object() -> None:
    out = run_script("""
        class Sly(Tick):
            @property
            def throw(self):
                S.close()
                return lambda *a: "never called"
        class Aw:
            def __await__(self): return Sly()
        p = WorkerPool(); p._on_status_change = lambda st: Aw()
        S = p._update_status(WorkerStatus("x", WorkerState.RUNNING))
        S.send(None)
        try:
            S.throw(KeyError("k"))
        except ValueError as e:
            print(e)
        print(type(S.cr_await).__name__)  # still suspended where it was
        S.close()
        print(S.cr_await)
    """)
    assert out.splitlines() == ["coroutine already executing", "Sly", "None"]


def test_remembered_lookup_keeps_its_owner_while_the_getter_runs() -> None:
    # The getter rebinds `logger` and repeats the lookup, which replaces the
    # remembered entry; the AttributeError it then raises must carry a live
    # object. The debug allocator turns a use after free into a crash.
    out = run_script(
        """
        class Log:
            calls = 0
            @property
            def info(self):
                Log.calls += 1
                if Log.calls == 2:
                    wp.logger = Log()
                    pool.max_workers = 2
                    del self  # now only the module's lookup can be keeping it alive
                    raise AttributeError("no info today")
                return lambda msg: None
        wp.logger = Log()
        pool = WorkerPool()
        pool.max_workers = 3
        try:
            pool.max_workers = 4
        except AttributeError as e:
            print(type(e.obj).__name__, e.name)
        gc.collect()
        """,
        env={"PYTHONMALLOC": "debug"} if not _ASAN else None,
    )
    assert out.split() == ["Log", "info"]


@pytest.mark.parametrize("inside", ["status callback", "executor"])
def test_daemon_thread_inside_a_module_call_at_exit(inside: str) -> None:
    out = run_script(f"""
        import time
        from zorvic.core.worker_pool import WorkerTask
        busy = threading.Event()
        async def spin(*args, **kwargs):
            busy.set()
            n = 0
            while True:
                n += 1
        async def main():
            if {inside!r} == "executor":
                pool = WorkerPool(executor=spin)
                await pool.submit(WorkerTask())
                await asyncio.sleep(60)
            else:
                pool = WorkerPool(on_status_change=spin)
                await pool._update_status(WorkerStatus("x", WorkerState.RUNNING))
        threading.Thread(target=asyncio.run, args=(main(),), daemon=True).start()
        busy.wait()
        time.sleep(0.05)
        print("exiting")
    """)
    assert out.split() == ["exiting"]

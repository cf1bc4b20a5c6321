"""Recursion through the module's coroutines follows the recursion limit and
stops short of the end of the real stack: RecursionError, never a crash.
`make stack-sweep` runs every stack size, `make test` the smallest of each."""

from __future__ import annotations

import asyncio
import os
import resource
import subprocess
import sys
import weakref

import pytest

from zorvic.core import worker_pool as wp

PRELUDE = """\
import gc, sys, threading
from zorvic.core.worker_pool import WorkerPool, WorkerState, WorkerStatus
ST = WorkerStatus("x", WorkerState.RUNNING)
closed = []

class Tick:
    def __iter__(self): return self
    def __next__(self): return "tick"
    def close(self): closed.append(1)

class Suspends:
    def __await__(self): return Tick()

def deep(n, then):
    # n levels of one pool's _update_status awaiting itself, then `then`
    p, left = WorkerPool(), [n]
    def callback(st):
        left[0] -= 1
        return p._update_status(st) if left[0] > 0 else then(st)
    p._on_status_change = callback
    return p._update_status(ST), left
"""

# Every mode goes as deep as the stack lets it: the recursion limit is out of
# the way. close, throw and del reach a suspended chain as deep as the stack
# holds from the bottom of a second one.
MODES = {
    "send": "deep(10**8, None)[0].send(None)",
    "self": "p = WorkerPool(); p._on_status_change = p._update_status; p._update_status(ST).send(None)",
    "close": "drop(lambda c: c.close())",
    "throw": "drop(lambda c: c.throw(KeyError('k')))",
    "del": "drop(lambda c: None)",
}

# The deepest chain that fits, measured first; then a suspended one nearly as
# deep, dropped, closed or thrown into from the bottom of a second one.
DROP = """
def drop(how):
    coro, left = deep(10**8, None)
    try:
        coro.send(None)
    except RecursionError:
        pass
    depth = 10**8 - left[0]
    held = [deep(depth * 9 // 10, lambda st: Suspends())[0]]
    assert held[0].send(None) == "tick"
    async def bottom(st):
        how(held.pop())
    deep(depth * 9 // 10, bottom)[0].send(None)
"""

THREAD_KB = [128, 256, 512, 1024, 2048, 8192]
MAIN_KB = [1024, 2048, 4096, 8192]
_SWEEP = os.environ.get("STACK_SWEEP") == "1"
CASES = [
    pytest.param(where, kb, mode, id=f"{mode}-{where}-{kb}k")
    for where, sizes in (("thread", THREAD_KB), ("main", MAIN_KB))
    for kb in (sizes if _SWEEP else sizes[:1])
    for mode in MODES
]


CASE = """
def case():
    sys.setrecursionlimit(10**9)
    try:
        {statement}
    except (RecursionError, StopIteration) as e:
        print(type(e).__name__)
    gc.collect()
    print("closed" if closed or {mode!r} in ("send", "self") else "open")
"""


def run(script: str, where: str, kb: int) -> list[str]:
    """Runs case() of `script` in a subprocess, in a thread of `kb` of stack or
    in the main thread under that stack limit; returns the words it printed."""
    if where == "thread":
        script += f"threading.stack_size({kb} * 1024)\nt = threading.Thread(target=case)\nt.start(); t.join()\n"
    else:
        script += "case()\n"
    limit = (kb * 1024, kb * 1024)
    proc = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=(lambda: resource.setrlimit(resource.RLIMIT_STACK, limit)) if where == "main" else None,
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    return proc.stdout.split()


@pytest.mark.parametrize(("where", "kb", "mode"), CASES)
def test_deep_recursion_raises_at_any_stack_size(where: str, kb: int, mode: str) -> None:
    out = run(PRELUDE + DROP + CASE.format(statement=MODES[mode], mode=mode), where, kb)
    # and the dropped chain is closed in the end, all of it: the innermost
    # awaited object's close() runs
    assert out == ["StopIteration" if mode == "del" else "RecursionError", "closed"]


LIMIT = """
class Plain:
    _on_status_change = None
    async def _update_status(self, status):
        if self._on_status_change:
            await self._on_status_change(status)

def depth_reached(cls, n):
    # n objects, each one's status callback the next one's _update_status:
    # how many of them ran before RecursionError
    objs = [cls() for _ in range(n)]
    for a, b in zip(objs, objs[1:]):
        a._on_status_change = b._update_status
    try:
        objs[0]._update_status(ST).send(None)
    except RecursionError as e:
        tb, frames = e.__traceback__, 0
        while tb:
            frames += tb.tb_frame.f_code.co_name == "_update_status"
            tb = tb.tb_next
        print(frames)
    for a in objs:
        a._on_status_change = None

def case():
    sys.setrecursionlimit(LIMIT)
    depth_reached(WorkerPool, LIMIT + 100)
    depth_reached(Plain, LIMIT + 100)
"""


@pytest.mark.parametrize("limit", [50, 100, 1000, 10_000])
def test_chains_follow_the_recursion_limit(limit: int) -> None:
    module, plain = map(int, run(PRELUDE + LIMIT.replace("LIMIT", str(limit)), "thread", 256 << 10))
    assert limit - 20 < plain < limit
    assert abs(module - plain) <= 2


def test_a_rebound_global_is_freed_at_the_rebinding(monkeypatch: pytest.MonkeyPatch) -> None:
    # `time` and the members of `WorkerState` are remembered by the module's
    # lookups; the old objects still go when they are rebound.
    class Clock:
        time = staticmethod(lambda: 1000.0)

    class Member(str):
        pass

    class States:
        QUEUED, RUNNING, COMPLETED, FAILED, CANCELLED, TIMEOUT = "qrcfxt"

    async def run_one() -> None:
        pool = wp.WorkerPool(executor=lambda *a, **k: asyncio.sleep(0, "ok"))
        await pool.submit(wp.WorkerTask())
        for _ in range(5):
            await asyncio.sleep(0)

    freed: list[str] = []
    clock, States.COMPLETED = Clock(), Member("c")
    weakref.finalize(clock, freed.append, "global")
    weakref.finalize(States.COMPLETED, freed.append, "class attribute")
    monkeypatch.setattr(wp, "time", clock)
    monkeypatch.setattr(wp, "WorkerState", States)
    asyncio.run(run_one())
    del clock
    assert freed == []
    States.COMPLETED = "c"
    assert freed == ["class attribute"]
    monkeypatch.undo()
    assert freed == ["class attribute", "global"]

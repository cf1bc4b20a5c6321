"""Shared fixtures: running coroutines under each kind of asyncio task."""

from __future__ import annotations

import asyncio
import asyncio.tasks
import os
from collections.abc import Awaitable, Callable, Coroutine
from pathlib import Path
from typing import Any

import pytest

try:
    from hypothesis import settings
    from hypothesis.database import DirectoryBasedExampleDatabase
except ImportError:  # the plain `pip install . pytest` route
    pass
else:
    # No per-example deadline: run time is not what these tests measure, and
    # sanitizer builds are several times slower. Failing examples are kept
    # under build/, out of the source tree.
    _examples = DirectoryBasedExampleDatabase(Path(__file__).parent.parent / "build" / "hypothesis")
    settings.register_profile("default", deadline=None, database=_examples)
    settings.register_profile("sanitize", deadline=None, database=_examples, max_examples=25)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


TASK_KINDS = ("c_task", "py_task", "eager")


def _py_task_factory(
    loop: asyncio.AbstractEventLoop,
    coro: Coroutine[Any, Any, Any],
    **kwargs: Any,
) -> asyncio.Future[Any]:
    """Tasks of the pure-Python implementation (`name=` and `context=` pass through)."""
    task: asyncio.Future[Any] = asyncio.tasks._PyTask(coro, loop=loop, **kwargs)  # type: ignore[attr-defined]
    return task


def _loop_factory(kind: str) -> Callable[[], asyncio.AbstractEventLoop]:
    def make() -> asyncio.AbstractEventLoop:
        loop = asyncio.new_event_loop()
        if kind == "py_task":
            loop.set_task_factory(_py_task_factory)
        elif kind == "eager":
            loop.set_task_factory(asyncio.eager_task_factory)
        return loop

    return make


class Run:
    """`run(async_fn, *args)`: run `async_fn(*args)` to completion in a fresh loop.

    The main coroutine and every task it creates are tasks of the kind named by
    `kind`. A task still pending when the main coroutine returns fails the test
    (after it has been cancelled and driven to its end, so nothing leaks into the
    next test).
    """

    def __init__(self, kind: str) -> None:
        self.kind = kind

    def __call__(self, async_fn: Callable[..., Awaitable[Any]], *args: Any) -> Any:
        runner = asyncio.Runner(loop_factory=_loop_factory(self.kind))
        try:
            result = runner.run(_as_coroutine(async_fn(*args)))
            loop = runner.get_loop()
            pending = [task for task in asyncio.all_tasks(loop) if not task.done()]
        finally:
            runner.close()  # cancels and finishes whatever is left
        if pending:
            names = ", ".join(sorted(task.get_name() for task in pending))
            raise AssertionError(f"tasks still pending after the run ({self.kind}): {names}")
        return result

    def __repr__(self) -> str:
        return f"<run {self.kind}>"


def _as_coroutine(awaitable: Awaitable[Any]) -> Coroutine[Any, Any, Any]:
    # asyncio.Runner takes coroutines only; the module's own coroutine objects
    # qualify and are handed over unchanged, other awaitables get a wrapper.
    if asyncio.iscoroutine(awaitable):
        return awaitable

    async def wrapper() -> Any:
        return await awaitable

    return wrapper()


@pytest.fixture(params=TASK_KINDS)
def run(request: pytest.FixtureRequest) -> Run:
    return Run(request.param)


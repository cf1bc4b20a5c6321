"""Shared fixtures: running coroutines under each kind of asyncio task.

The event loop is chosen for the whole run with `--loop=asyncio|uvloop` (or
the environment variable ZORVIC_TEST_LOOP; the option wins). With uvloop the
event loop policy is replaced for the session, so both the `run` fixture and
plain `asyncio.run` / `asyncio.new_event_loop` calls in tests get uvloop loops.
"""

from __future__ import annotations

import asyncio
import asyncio.tasks
import importlib.metadata
import inspect
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
LOOPS = ("asyncio", "uvloop")
LOOP_ENV = "ZORVIC_TEST_LOOP"


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption(
        "--loop",
        choices=LOOPS,
        default=None,
        help=f"event loop for every test (default: ${LOOP_ENV}, else asyncio)",
    )


def selected_loop(config: pytest.Config) -> str:
    loop: str | None = config.getoption("--loop")
    if loop is None:
        loop = os.environ.get(LOOP_ENV) or "asyncio"
    if loop not in LOOPS:
        raise pytest.UsageError(f"{LOOP_ENV}={loop!r}: expected one of {', '.join(LOOPS)}")
    return loop


_saved_policy: asyncio.AbstractEventLoopPolicy | None = None


def pytest_configure(config: pytest.Config) -> None:
    global _saved_policy
    config.addinivalue_line(
        "markers", "loop_independent: uses no event loop; runs in the asyncio pass, deselected on other loops"
    )
    if selected_loop(config) == "uvloop":
        # The policy decides what asyncio.new_event_loop() and asyncio.run()
        # create, so tests that manage their own loops are covered as well.
        _saved_policy = asyncio.get_event_loop_policy()
        asyncio.set_event_loop_policy(_uvloop_policy())


def _uvloop_policy() -> asyncio.AbstractEventLoopPolicy:
    """uvloop's policy, making loops that take asyncio.eager_task_factory.

    uvloop (0.23 here) calls task factories with an `eager_start=` keyword,
    which the eager factory of Python 3.13 does not accept: setting
    asyncio.eager_task_factory on a plain uvloop loop makes every create_task
    raise TypeError. The test loops drop that keyword for factories that do
    not take it; the factory starts its tasks eagerly on its own.
    """
    import uvloop

    class Loop(uvloop.Loop):
        def set_task_factory(self, factory: Any) -> None:
            if factory is not None and not _takes_eager_start(factory):
                original = factory

                def adapted(loop: Any, coro: Any, *, eager_start: Any = None, **kwargs: Any) -> Any:
                    return original(loop, coro, **kwargs)

                adapted.__wrapped__ = original  # type: ignore[attr-defined]
                factory = adapted
            super().set_task_factory(factory)

        def get_task_factory(self) -> Any:
            factory = super().get_task_factory()
            return getattr(factory, "__wrapped__", factory)

    class Policy(uvloop.EventLoopPolicy):  # type: ignore[misc]  # a deprecated name, typed Any
        def _loop_factory(self) -> Loop:
            return Loop()

    policy: asyncio.AbstractEventLoopPolicy = Policy()
    return policy


def _takes_eager_start(factory: Callable[..., Any]) -> bool:
    try:
        parameters = inspect.signature(factory).parameters.values()
    except (TypeError, ValueError):
        return True  # nothing to go by: leave it alone
    return any(p.name == "eager_start" or p.kind is p.VAR_KEYWORD for p in parameters)


def pytest_unconfigure(config: pytest.Config) -> None:
    global _saved_policy
    if _saved_policy is not None:
        asyncio.set_event_loop_policy(_saved_policy)
        _saved_policy = None


def pytest_report_header(config: pytest.Config) -> str:
    loop = selected_loop(config)
    if loop == "uvloop":
        return f"event loop: uvloop {importlib.metadata.version('uvloop')}"
    return "event loop: asyncio"


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    # What does not touch an event loop is checked once, in the asyncio pass.
    if selected_loop(config) != "asyncio":
        dropped = [item for item in items if item.get_closest_marker("loop_independent")]
        if dropped:
            config.hook.pytest_deselected(items=dropped)
            items[:] = [item for item in items if not item.get_closest_marker("loop_independent")]


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

    def __init__(self, kind: str, loop_name: str = "asyncio") -> None:
        self.kind = kind
        self.loop_name = loop_name

    def __call__(self, async_fn: Callable[..., Awaitable[Any]], *args: Any) -> Any:
        runner = asyncio.Runner(loop_factory=_loop_factory(self.kind))
        try:
            loop = runner.get_loop()
            # Guard against a selection that silently did not reach the loop.
            is_uvloop = any(cls.__module__.partition(".")[0] == "uvloop" for cls in type(loop).__mro__)
            assert is_uvloop == (self.loop_name == "uvloop"), f"expected {self.loop_name}, got {loop!r}"
            result = runner.run(_as_coroutine(async_fn(*args)))
            pending = [task for task in asyncio.all_tasks(loop) if not task.done()]
        finally:
            runner.close()  # cancels and finishes whatever is left
        if pending:
            names = ", ".join(sorted(task.get_name() for task in pending))
            raise AssertionError(f"tasks still pending after the run ({self.kind}): {names}")
        return result

    def __repr__(self) -> str:
        return f"<run {self.kind} on {self.loop_name}>"


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
    return Run(request.param, selected_loop(request.config))

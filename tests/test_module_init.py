"""Module set-up: attributes, the module body, and import behaviour.

Whatever needs a fresh interpreter (a failing import, a second interpreter,
loading the file under another name) runs in a subprocess.
"""

import asyncio
import builtins
import dataclasses
import enum
import importlib
import logging
import subprocess
import sys
import textwrap
import time
import typing
import uuid

import pytest

import zorvic.core.worker_pool as wp

MODULE = "zorvic.core.worker_pool"
INTERPRETER_MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

POOL_MEMBERS = [
    "__init__",
    "max_workers",
    "set_executor",
    "submit",
    "submit_many",
    "cancel",
    "cancel_all",
    "get_status",
    "list_active",
    "list_running",
    "list_queued",
    "list_completed",
    "list_all",
    "stats",
    "wait_for",
    "wait_all",
    "cleanup",
    "_run_worker",
    "_update_status",
    "_move_to_completed",
]

POOL_DOC = "\n".join(
    [
        "Manages a pool of concurrent agent workers.",
        "",
        "    The pool enforces a configurable max concurrency limit. Tasks beyond the",
        "    limit are queued and executed as slots become available.",
        "",
        "    Usage:",
        "        pool = WorkerPool(max_workers=3, executor=my_executor_fn)",
        "",
        "        # Submit a task",
        '        status = await pool.submit(WorkerTask(name="Research", prompt="..."))',
        "",
        "        # Check status",
        "        all_workers = pool.list_all()",
        "",
        "        # Cancel a worker",
        '        await pool.cancel("task_id")',
        "    ",
    ]
)

# Prepended to every subprocess script: the module's file, found without
# importing the module itself.
PRELUDE = textwrap.dedent(f"""
    import importlib.util, sys, traceback, types
    PATH = importlib.util.find_spec({MODULE!r}).origin

    def load_as(name):
        spec = importlib.util.spec_from_file_location(name, PATH)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    def innermost(exc):
        entry = traceback.extract_tb(exc.__traceback__)[-1]
        return entry.name, entry.lineno, entry.filename
""")


def run_script(*parts):
    """Runs the script parts in a fresh interpreter; returns its stdout lines."""
    script = PRELUDE + "".join(textwrap.dedent(part) for part in parts)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


# ---------------------------------------------------------------- the namespace


@pytest.mark.parametrize(
    "name, expected",
    [
        ("asyncio", asyncio),
        ("logging", logging),
        ("time", time),
        ("uuid", uuid),
        ("dataclass", dataclasses.dataclass),
        ("field", dataclasses.field),
        ("Enum", enum.Enum),
        ("Any", typing.Any),
        ("Callable", typing.Callable),
        ("Awaitable", typing.Awaitable),
        ("__builtins__", builtins),
    ],
)
def test_imported_names(name, expected):
    assert getattr(wp, name) is expected


def test_public_names_are_exactly_the_module_body():
    names = {n for n in vars(wp) if not n.startswith("__")}
    assert names == {
        "asyncio",
        "logging",
        "time",
        "uuid",
        "dataclass",
        "field",
        "Enum",
        "Any",
        "Callable",
        "Awaitable",
        "logger",
        "WorkerState",
        "WorkerTask",
        "WorkerStatus",
        "WorkerExecutor",
        "WorkerPool",
    }


def test_logger_and_test_dict():
    assert wp.logger is logging.getLogger("zorvic.worker_pool")
    assert wp.logger.name == "zorvic.worker_pool"
    assert wp.logger.handlers == [] and wp.logger.level == logging.NOTSET
    assert type(wp.__test__) is dict and wp.__test__ == {}


def test_worker_executor_alias():
    assert wp.WorkerExecutor == typing.Callable[..., typing.Awaitable[str]]


def test_spec_attributes():
    assert wp.__name__ == MODULE
    assert wp.__file__ == wp.__spec__.origin
    assert wp.__loader__ is wp.__spec__.loader
    assert wp.__package__ == "zorvic.core"
    assert not hasattr(wp, "__path__")


def test_docstring():
    lines = wp.__doc__.splitlines()
    assert lines[0] == ("Worker Pool \N{EM DASH} manages concurrent agent workers for parallel task execution.")
    assert "asyncio task" in wp.__doc__ and "subprocess" in wp.__doc__


def test_worker_pool_class():
    cls = wp.WorkerPool
    assert cls.__bases__ == (object,) and type(cls) is type
    assert cls.__module__ == MODULE and cls.__qualname__ == "WorkerPool"
    assert cls.__doc__ == POOL_DOC
    skip = {"__module__", "__doc__", "__dict__", "__weakref__"}
    assert [n for n in vars(cls) if n not in skip] == POOL_MEMBERS
    prop = vars(cls)["max_workers"]
    assert type(prop) is property
    assert prop.fget.__code__.co_firstlineno == 156
    assert prop.fset.__code__.co_firstlineno == 160
    function_type = type(vars(wp.WorkerTask)["to_dict"])
    for name in POOL_MEMBERS:
        if name != "max_workers":
            assert type(vars(cls)[name]) is function_type, name


def test_reimport_and_reload_keep_the_module(monkeypatch):
    pool_class = wp.WorkerPool
    monkeypatch.delitem(sys.modules, MODULE)
    again = importlib.import_module(MODULE)
    assert again is wp
    assert again.WorkerPool is pool_class
    assert importlib.reload(wp) is wp
    assert wp.WorkerPool is pool_class  # the body did not run again


# ---------------------------------------------------------------- fresh interpreters


def test_failing_import_adds_the_init_entry_and_releases_the_module():
    out = run_script("""
        sys.modules["uuid"] = None
        try:
            import zorvic.core.worker_pool
        except ModuleNotFoundError as exc:
            print(type(exc).__name__, *innermost(exc), sep="|")
        print("zorvic.core.worker_pool" in sys.modules)
        del sys.modules["uuid"]
        import zorvic.core.worker_pool as wp
        print(wp.WorkerTask().id.isalnum(), sys.modules["zorvic.core.worker_pool"] is wp)
    """)
    name, function, line, filename = out[0].split("|")
    assert (name, function, line) == ("ModuleNotFoundError", "init zorvic.core.worker_pool", "25")
    assert filename.replace("\\", "/").endswith("zorvic/core/worker_pool.py")
    assert out[1:] == ["False", "True True"]


def test_second_interpreter_is_refused():
    out = run_script("""
        import zorvic.core.worker_pool
        import _interpreters
        iid = _interpreters.create("legacy")
        try:
            setup = f"import sys; sys.path[:] = {sys.path!r}"
            assert _interpreters.run_string(iid, setup) is None
            failure = _interpreters.run_string(iid, "import zorvic.core.worker_pool")
        finally:
            _interpreters.destroy(iid)
        print(failure.type.__name__)
        print(failure.msg)
    """)
    assert out == ["ImportError", INTERPRETER_MESSAGE]


def test_loaded_under_another_name_registers_its_own_name():
    out = run_script("""
        module = load_as("worker_pool")
        print(sys.modules["zorvic.core.worker_pool"] is module, module.__name__)
        import zorvic.core.worker_pool as wp
        print(wp is module, wp.WorkerPool.__module__)
    """)
    assert out == ["True worker_pool", "True zorvic.core.worker_pool"]


def test_existing_entry_under_its_own_name_is_kept():
    out = run_script("""
        sentinel = types.ModuleType("sentinel")
        sys.modules["zorvic.core.worker_pool"] = sentinel
        module = load_as("worker_pool")
        print(sys.modules["zorvic.core.worker_pool"] is sentinel, hasattr(module, "WorkerPool"))
    """)
    assert out == ["True True"]


def test_exec_on_a_second_module_object_is_refused():
    out = run_script("""
        first = importlib.util.spec_from_file_location("worker_pool", PATH)
        second = importlib.util.spec_from_file_location("worker_pool", PATH)
        a = importlib.util.module_from_spec(first)
        b = importlib.util.module_from_spec(second)
        print(a is b)
        first.loader.exec_module(a)
        try:
            second.loader.exec_module(b)
        except RuntimeError as exc:
            print(exc)
        first.loader.exec_module(a)  # the same object again: nothing happens
        print(importlib.util.module_from_spec(second) is a)
    """)
    assert out == [
        "False",
        "Module 'worker_pool' has already been imported. Re-initialisation is not supported.",
        "True",
    ]


# A stand-in for a host module that lacks one name; the real modules the body
# needs are imported first, so only the stand-in's `from` import is affected.
STAND_IN = """
    import asyncio, logging, time, uuid, dataclasses, enum, typing
    def stand_in(module, missing):
        fake = types.ModuleType(module.__name__)
        fake.__dict__.update({k: v for k, v in vars(module).items() if k != missing})
        sys.modules[module.__name__] = fake
        return module
"""


@pytest.mark.parametrize(
    "module, missing, line",
    [
        ("dataclasses", "field", 26),
        ("enum", "Enum", 27),
        ("typing", "Awaitable", 28),
    ],
)
def test_missing_name_in_from_import(module, missing, line):
    out = run_script(
        STAND_IN,
        f"""
        real = stand_in({module}, {missing!r})
        try:
            import zorvic.core.worker_pool
        except ImportError as exc:
            print(type(exc).__name__, exc, *innermost(exc)[:2], sep="|")
        sys.modules[real.__name__] = real
        import zorvic.core.worker_pool as wp
        print(wp.{missing} is getattr(real, {missing!r}))
    """,
    )
    assert out == [f"ImportError|cannot import name {missing}|init zorvic.core.worker_pool|{line}", "True"]


def test_from_import_falls_back_to_a_listed_submodule():
    out = run_script(
        STAND_IN,
        """
        real = stand_in(enum, "Enum")
        sys.modules["enum.Enum"] = real.Enum
        import zorvic.core.worker_pool as wp
        print(wp.Enum is real.Enum, wp.WorkerState.QUEUED == "queued")
    """,
    )
    assert out == ["True True"]


def test_failed_exec_removes_the_entry_it_inserted():
    out = run_script(
        STAND_IN,
        """
        real = stand_in(typing, "Awaitable")
        try:
            load_as("worker_pool")
        except ImportError as exc:
            print(exc)
        print("zorvic.core.worker_pool" in sys.modules)
        sys.modules["typing"] = real
        import zorvic.core.worker_pool as wp
        print(wp.__name__, hasattr(wp, "WorkerPool"))
    """,
    )
    assert out == ["cannot import name Awaitable", "False", "zorvic.core.worker_pool True"]


def test_failed_exec_keeps_an_entry_that_was_there_before():
    out = run_script(
        STAND_IN,
        """
        sentinel = types.ModuleType("sentinel")
        sys.modules["zorvic.core.worker_pool"] = sentinel
        stand_in(typing, "Awaitable")
        try:
            load_as("worker_pool")
        except ImportError as exc:
            print(exc)
        print(sys.modules.get("zorvic.core.worker_pool") is sentinel)
    """,
    )
    assert out == ["cannot import name Awaitable", "True"]


def test_missing_logger_factory_reports_line_30():
    out = run_script(
        STAND_IN,
        """
        fake = types.ModuleType("logging")
        sys.modules["logging"] = fake
        try:
            import zorvic.core.worker_pool
        except AttributeError as exc:
            print(exc, *innermost(exc)[:2], sep="|")
    """,
    )
    assert out == ["module 'logging' has no attribute 'getLogger'|init zorvic.core.worker_pool|30"]

"""The type stubs: installed with the module, true to it, and useful to mypy.

stubtest compares signatures, defaults and the set of names; the checks here
cover what it does not compare (async-ness of stub-only `async def`, enum
values, dataclass field annotations and defaults), and mypy runs on the
examples and on a file of deliberate misuses whose errors must be reported
exactly where they are marked.
"""

from __future__ import annotations

import ast
import dataclasses
import inspect
import os
import re
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

from zorvic.core import worker_pool

pytestmark = pytest.mark.loop_independent

ROOT = Path(__file__).resolve().parent.parent
SOURCE_PACKAGE = ROOT / "python" / "zorvic" / "core"
INSTALLED_PACKAGE = Path(worker_pool.__file__).parent
STUB = INSTALLED_PACKAGE / "worker_pool.pyi"
MYPY_CACHE = ROOT / "build" / "mypy-cache"

# Names that exist for type checkers only (decorated with @type_check_only).
STUB_ONLY = {"Executor", "StatusUpdate", "StatusCallback"}


def run_module(module: str, *args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", module, *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        env={**os.environ, "MYPY_FORCE_COLOR": "0", "NO_COLOR": "1"},
    )


def empty_config(directory: Path) -> str:
    # The project's pyproject.toml must not steer the checks.
    config = directory / "mypy-empty.ini"
    config.write_text("[mypy]\n")
    return str(config)


def mypy_strict(*files: Path, tmp_path: Path) -> subprocess.CompletedProcess[str]:
    args = ["--strict", "--config-file", empty_config(tmp_path), "--cache-dir", str(MYPY_CACHE)]
    return run_module("mypy", *args, *map(str, files), cwd=files[0].parent)


@pytest.fixture(scope="module")
def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(), filename=str(STUB))


def stub_class(tree: ast.Module, name: str) -> ast.ClassDef:
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return node
    raise AssertionError(f"class {name} is not in the stub")


def methods(cls: ast.ClassDef) -> Iterator[ast.FunctionDef | ast.AsyncFunctionDef]:
    for node in cls.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node


# ---------------------------------------------------------------- installation


@pytest.mark.parametrize("name", ["worker_pool.pyi", "py.typed"])
def test_installed_next_to_the_module_and_current(name: str) -> None:
    installed = INSTALLED_PACKAGE / name
    assert installed.is_file(), f"{name} is not installed beside {worker_pool.__file__}"
    source = SOURCE_PACKAGE / name
    if source.is_file():  # running from the source tree: the install must not be stale
        assert installed.read_bytes() == source.read_bytes(), f"{installed} is stale: reinstall (make test)"


# ---------------------------------------------------------------- stubtest


def test_stubtest_finds_no_difference(tmp_path: Path) -> None:
    args = ["--strict-type-check-only", "--mypy-config-file", empty_config(tmp_path), "zorvic.core.worker_pool"]
    done = run_module("mypy.stubtest", *args, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


# ---------------------------------------------------------------- what stubtest does not compare


def test_every_public_name_is_declared(stub_tree: ast.Module) -> None:
    declared: set[str] = set()
    for node in stub_tree.body:
        if isinstance(node, ast.ClassDef):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
    public = {"WorkerState", "WorkerTask", "WorkerStatus", "WorkerExecutor", "WorkerPool", "logger"}
    assert public <= declared
    for name in public:
        assert hasattr(worker_pool, name)
    for name in STUB_ONLY:
        assert name in declared and not hasattr(worker_pool, name)


def test_async_operations_are_async_def(stub_tree: ast.Module) -> None:
    declared = {
        m.name: isinstance(m, ast.AsyncFunctionDef)
        for m in methods(stub_class(stub_tree, "WorkerPool"))
        if not m.decorator_list  # the max_workers property
    }
    runtime = {
        name: inspect.iscoroutinefunction(member)
        for name, member in vars(worker_pool.WorkerPool).items()
        if callable(member) and (name == "__init__" or not name.startswith("__"))
    }
    assert declared == runtime
    assert sorted(name for name, is_async in runtime.items() if is_async) == [
        "_run_worker",
        "_update_status",
        "cancel",
        "cancel_all",
        "cleanup",
        "submit",
        "submit_many",
        "wait_all",
        "wait_for",
    ]


def test_enum_members_and_values(stub_tree: ast.Module) -> None:
    members = {
        node.targets[0].id: ast.literal_eval(node.value)
        for node in stub_class(stub_tree, "WorkerState").body
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name)
    }
    assert list(members.items()) == [(m.name, m.value) for m in worker_pool.WorkerState]


@pytest.mark.parametrize("record", [worker_pool.WorkerTask, worker_pool.WorkerStatus], ids=lambda c: c.__name__)
def test_dataclass_fields(stub_tree: ast.Module, record: type) -> None:
    stubbed = [
        node
        for node in stub_class(stub_tree, record.__name__).body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and not node.target.id.startswith("_")
    ]
    fields = dataclasses.fields(record)
    assert [n.target.id for n in stubbed] == [f.name for f in fields]  # type: ignore[union-attr]
    for node, f in zip(stubbed, fields):
        # The annotations read as the module's own annotation strings.
        assert ast.unparse(node.annotation) == f.type, f.name
        if node.value is None:
            assert f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING, f.name
        elif isinstance(node.value, ast.Constant) and node.value.value is Ellipsis:
            assert f.default_factory is not dataclasses.MISSING, f.name
        else:
            default = ast.literal_eval(node.value)
            assert f.default == default and type(f.default) is type(default), f.name


# ---------------------------------------------------------------- mypy --strict


@pytest.mark.parametrize("example", ["demo.py", "typed_executor.py"])
def test_examples_pass_mypy_strict(example: str, tmp_path: Path) -> None:
    done = mypy_strict(ROOT / "examples" / example, tmp_path=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


# Every line marked `# E` must draw a mypy error, and no other line may.
MISUSE = """
from __future__ import annotations

import logging
from typing import TYPE_CHECKING, Any, assert_type

from zorvic.core.worker_pool import (
    WorkerExecutor, WorkerPool, WorkerState, WorkerStatus, WorkerTask, logger,
)

if TYPE_CHECKING:
    from zorvic.core.worker_pool import Executor, StatusCallback, StatusUpdate


async def executor(task: WorkerTask, update: StatusUpdate, *, deadline: float) -> str:
    await update(WorkerStatus(task.id, WorkerState.RUNNING, progress_pct=50.0))
    return task.prompt

async def loose_executor(task: Any, update: Any, deadline: float = 0.0) -> str:
    return ""

class ExecutorObject:
    async def __call__(self, task: WorkerTask, update: StatusUpdate, *, deadline: float) -> str:
        return ""

def sync_executor(task: WorkerTask, update: StatusUpdate, *, deadline: float) -> str:
    return ""

async def without_deadline(task: WorkerTask, update: StatusUpdate) -> str:
    return ""

async def positional_deadline(task: WorkerTask, update: StatusUpdate, deadline: float, /) -> str:
    return ""

async def int_result(task: WorkerTask, update: StatusUpdate, *, deadline: float) -> int:
    return 0

async def on_status(status: WorkerStatus) -> None: ...

async def on_status_returning(status: WorkerStatus) -> int:
    return 0

def sync_on_status(status: WorkerStatus) -> None: ...

alias: WorkerExecutor = executor
contract: Executor = executor
callback: StatusCallback = on_status


async def main() -> None:
    WorkerPool(3, executor, on_status)
    WorkerPool(executor=loose_executor, on_status_change=on_status_returning)
    WorkerPool(executor=ExecutorObject())
    WorkerPool(executor=alias)
    WorkerPool(executor=sync_executor)  # E
    WorkerPool(executor=without_deadline)  # E
    WorkerPool(executor=positional_deadline)  # E
    WorkerPool(executor=int_result)  # E
    WorkerPool(on_status_change=sync_on_status)  # E
    WorkerPool(max_workers="3")  # E

    pool = WorkerPool()
    pool.set_executor(contract)
    pool.set_executor(None)
    pool.max_workers = 5
    assert_type(pool.max_workers, int)
    pool.max_workers = None  # E

    task = WorkerTask(name="research", prompt="find sources", tools=["search"], timeout=30)
    WorkerTask(tools="search")  # E
    assert_type(task.to_dict(), dict[str, Any])
    status = await pool.submit(task)
    assert_type(status, WorkerStatus)
    assert_type(status.state, WorkerState)
    assert_type(status.result, str | None)
    assert_type(WorkerState("queued"), WorkerState)
    assert_type(WorkerState.RUNNING.value, str)
    state: str = WorkerState.RUNNING
    WorkerStatus(task.id)  # E
    pool.submit(task)  # E
    assert_type(await pool.submit_many([task]), list[WorkerStatus])
    await pool.submit_many((task,))  # E

    assert_type(pool.get_status(task.id), WorkerStatus | None)
    pool.get_status(None)  # E
    pool.get_status(task.id).state  # E
    assert_type(pool.list_active(), list[dict[str, Any]])
    assert_type(pool.list_running(), list[dict[str, Any]])
    assert_type(pool.list_queued(), list[dict[str, Any]])
    assert_type(pool.list_completed(limit=5), list[dict[str, Any]])
    assert_type(pool.list_all(), list[dict[str, Any]])
    assert_type(pool.stats(), dict[str, int])

    assert_type(await pool.wait_for(task.id, timeout=1), WorkerStatus | None)
    assert_type(await pool.wait_all(), list[WorkerStatus])
    await pool.wait_all((task.id,))  # E
    await pool.wait_for(task.id, None)  # E
    assert_type(await pool.cancel(task.id), bool)
    assert_type(await pool.cancel_all(), int)
    await pool.cleanup()
    assert_type(logger, logging.Logger)
"""


def test_mypy_accepts_the_contracts_and_rejects_misuse(tmp_path: Path) -> None:
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    expected = {n for n, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# E")}
    done = mypy_strict(source, tmp_path=tmp_path)
    reported = {int(m[1]) for m in re.finditer(r"^misuse\.py:(\d+): error:", done.stdout, re.M)}
    assert reported == expected, done.stdout + done.stderr

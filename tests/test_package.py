"""The installed package: the compiled module, its packages, its public names."""

from __future__ import annotations

import dataclasses
import enum
import importlib.machinery
import logging
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import types
from collections.abc import Callable
from pathlib import Path

import pytest

import zorvic
import zorvic.core
from zorvic.core import worker_pool


def test_module_is_the_compiled_extension() -> None:
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert suffix in importlib.machinery.EXTENSION_SUFFIXES
    path = Path(worker_pool.__file__)
    assert path.name == "worker_pool" + suffix
    assert path.is_file()
    assert worker_pool.__spec__.origin == worker_pool.__file__
    assert sys.modules["zorvic.core.worker_pool"] is worker_pool


@pytest.mark.parametrize("package", [zorvic, zorvic.core], ids=lambda p: p.__name__)
def test_packages_are_regular_packages(package: types.ModuleType) -> None:
    # A namespace package has no __file__; a missing build must not hide behind one.
    assert package.__file__ is not None
    assert Path(package.__file__).name == "__init__.py"
    assert package.__spec__ is not None
    assert package.__spec__.submodule_search_locations is not None


@pytest.mark.parametrize(
    ("name", "check"),
    [
        ("WorkerState", lambda o: isinstance(o, type) and issubclass(o, str) and issubclass(o, enum.Enum)),
        ("WorkerTask", lambda o: isinstance(o, type) and dataclasses.is_dataclass(o)),
        ("WorkerStatus", lambda o: isinstance(o, type) and dataclasses.is_dataclass(o)),
        ("WorkerPool", lambda o: isinstance(o, type)),
        ("WorkerExecutor", lambda o: o is not None),
        ("logger", lambda o: isinstance(o, logging.Logger)),
    ],
)
def test_public_names(name: str, check: Callable[[object], bool]) -> None:
    assert check(getattr(worker_pool, name))


def test_only_the_init_function_is_exported() -> None:
    nm = shutil.which("nm")
    if nm is None or not sys.platform.startswith("linux"):
        pytest.skip("needs nm on Linux")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", worker_pool.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    # Lines read "<address> <type> <name>"; version nodes (type A) are not code or data.
    exported = {line.split()[2] for line in listing.splitlines() if len(line.split()) == 3 and line.split()[1] != "A"}
    assert exported == {"PyInit_worker_pool"}


@pytest.mark.loop_independent
def test_plain_builds_have_a_private_build_tree() -> None:
    # A build-dir in pyproject.toml would make every `pip install .` of one
    # checkout share one CMake tree: concurrent installs break each other and
    # build/ is left behind. Only the Makefile names trees, one per venv.
    pyproject = Path(__file__).resolve().parents[1] / "pyproject.toml"
    skbuild = tomllib.loads(pyproject.read_text(encoding="utf-8"))["tool"]["scikit-build"]
    tables = [skbuild, *skbuild.get("overrides", [])]
    assert [table.get("build-dir") for table in tables] == [None] * len(tables)

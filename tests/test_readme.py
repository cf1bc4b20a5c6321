"""Every ```python block of README.md runs, prints what the README says, and
passes mypy --strict: the README cannot drift away from the module.

Each block is a standalone program, run on its own in a fresh namespace (no
block depends on another), with the loop the suite runs on. A ```text block
that follows a python block directly, or after one paragraph ending in a colon
("It prints:"), is that block's expected standard output, compared exactly.
Blocks whose output depends on timing or on fresh ids are not followed by one.
The typed example executor, which the README points to, runs here as well.
"""

from __future__ import annotations

import contextlib
import importlib.util
import io
import logging
import os
import re
import runpy
import subprocess
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
MYPY_CACHE = README.parent / "build" / "mypy-cache"
# The test extra leaves uvloop out on Windows, which uvloop does not support.
HAS_UVLOOP = importlib.util.find_spec("uvloop") is not None

FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


@dataclass
class Block:
    line: int  # 1-based README line of the block's first code line
    code: str
    output: str | None  # the text block that follows, if any

    @property
    def id(self) -> str:
        return f"README.md:{self.line}"


def introduces_output(between: str) -> bool:
    between = between.strip()
    return not between or (between.endswith(":") and "\n\n" not in between)


def python_blocks(text: str) -> list[Block]:
    fences = list(FENCE.finditer(text))
    blocks = []
    for i, fence in enumerate(fences):
        if fence.group(1) != "python":
            continue
        output = None
        following = fences[i + 1] if i + 1 < len(fences) else None
        if following and following.group(1) == "text" and introduces_output(text[fence.end() : following.start()]):
            output = following.group(2)
        line = text.count("\n", 0, fence.start()) + 2
        blocks.append(Block(line, fence.group(2), output))
    return blocks


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))


def test_the_parser_finds_the_blocks() -> None:
    sample = (
        "x\n```python\nprint(1)\n```\n\n```text\n1\n```\n"  # output right after
        "```python\npass\n```\nprose\n```text\nno\n```\n"  # prose without a colon
        "```python\nprint(2)\n```\nIt prints\n(this):\n```text\n2\n```\n"  # one paragraph ending in a colon
        "```python\nprint(3)\n```\nOne.\n\nTwo:\n```text\nno\n```\n"  # two paragraphs
    )
    assert python_blocks(sample) == [
        Block(3, "print(1)\n", "1\n"),
        Block(10, "pass\n", None),
        Block(17, "print(2)\n", "2\n"),
        Block(25, "print(3)\n", None),
    ]
    assert len(BLOCKS) >= 5 and all(block.output is not None for block in BLOCKS[:2])


@contextlib.contextmanager
def logging_restored() -> Iterator[None]:
    # Blocks configure logging the way a program would (basicConfig, handlers,
    # levels); none of that may outlive the block.
    loggers = [logging.getLogger(), logging.getLogger("zorvic.worker_pool")]
    saved = [(lg, lg.handlers[:], lg.level, lg.propagate) for lg in loggers]
    try:
        yield
    finally:
        for lg, handlers, level, propagate in saved:
            lg.handlers[:] = handlers
            lg.setLevel(level)
            lg.propagate = propagate


@pytest.mark.parametrize("block", BLOCKS, ids=lambda b: b.id)
def test_block_runs_and_prints_what_the_readme_shows(block: Block) -> None:
    # Padded with blank lines so that tracebacks carry README line numbers.
    if "import uvloop" in block.code and not HAS_UVLOOP:
        pytest.skip("the block needs uvloop, which is not installed")
    code = compile("\n" * (block.line - 1) + block.code, str(README), "exec")
    stdout = io.StringIO()
    with logging_restored(), contextlib.redirect_stdout(stdout):
        exec(code, {"__name__": "__readme__"})
    if block.output is not None:
        assert stdout.getvalue() == block.output


@pytest.mark.loop_independent
def test_blocks_pass_mypy_strict(tmp_path: Path) -> None:
    files = []
    blocks = [block for block in BLOCKS if HAS_UVLOOP or "import uvloop" not in block.code]
    for n, block in enumerate(blocks, 1):
        path = tmp_path / f"readme_block_{n:02}.py"
        path.write_text(block.code)
        files.append(str(path))
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini", "--cache-dir", str(MYPY_CACHE), *files],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env={**os.environ, "MYPY_FORCE_COLOR": "0", "NO_COLOR": "1"},
    )
    where = {f"readme_block_{n:02}.py": block.id for n, block in enumerate(blocks, 1)}
    assert done.returncode == 0, re.sub(r"readme_block_\d\d\.py", lambda m: where[m[0]], done.stdout + done.stderr)


def test_typed_executor_example_runs() -> None:
    # The typed example is checked by mypy in test_stubs.py; here it has to work.
    stdout = io.StringIO()
    with contextlib.redirect_stdout(stdout):
        runpy.run_path(str(README.parent / "examples" / "typed_executor.py"), run_name="__main__")
    lines = stdout.getvalue().splitlines()
    assert [line.split()[:2] for line in lines[:3]] == [
        ["quick", "completed"],
        ["deep", "completed"],
        ["spare", "cancelled"],
    ]
    assert "stopped at the deadline" in lines[1] and "'total_completed': 2" in lines[3]

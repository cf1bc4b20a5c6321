"""A fixed slice of the allocation-failure sweep (tests/nomem/harness.py).

Each case runs one operation in child processes with its N-th allocation
failing, for every N until the operation gets through without reaching the
failure: it must raise MemoryError or succeed, leave the pool's tables
whole, and leave the process able to run a pool from start to end. `make
nomem` runs every operation in both regimes, and the C++ allocations too.
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.loop_independent  # the children run their own asyncio loops


def _harness():  # type: ignore[no-untyped-def]
    name = "zorvic_nomem_harness"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, Path(__file__).parent / "nomem" / "harness.py")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up while the class is made
        spec.loader.exec_module(module)
    return sys.modules[name]


# (operation, regime): every one of them runs through all of its indices. A
# fault of the interpreter itself that the harness recognises (see
# INTERPRETER_STACKS and cpython_faults.py) is reported, not failed.
SLICE = [
    ("submit_eager", "all"),
    ("run_worker_raising", "one"),
    ("max_workers", "one"),
    ("cancel_running", "one"),
    ("wait_for_timeout", "all"),
    ("list_all", "one"),
    ("stats", "all"),
    ("coro_close", "one"),
    ("coro_throw_unstarted", "one"),
    ("task", "all"),
]


@pytest.mark.parametrize(("op", "mode"), SLICE)
def test_allocation_failures(op: str, mode: str) -> None:
    harness = _harness()
    sweep = harness.Sweep(op, mode, env={"PYTHONHASHSEED": "0", "PATH": ""}, stop=200).run()
    bad = [r for r in sweep.records if r["outcome"] in harness.BAD]
    assert not bad, "\n".join(
        f"n={r['n']} {r['outcome']}: {r.get('exc')}: {r.get('msg')} {r.get('problems') or ''} {r.get('e2e') or ''}"
        for r in bad
    )
    assert sweep.finished, f"{op}/{mode} still failing at index {len(sweep.records)}"
    # The failure was really reached, and the last index got through untouched.
    assert any(r["outcome"] == "memoryerror" for r in sweep.records)
    assert sweep.records[-1]["reached"] is False

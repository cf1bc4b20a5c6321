"""A fixed slice of the allocation-failure sweep (tests/nomem/harness.py).

Each case runs one operation in child processes with its N-th allocation
failing, for every N until the operation gets through without reaching the
failure: it must raise MemoryError or succeed, leave the pool's tables
whole, and leave the process able to run a pool from start to end. `make
nomem` runs every operation in both regimes.
"""

from __future__ import annotations

import importlib.util
import os
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
    ("coro_origin", "one"),
    ("task", "all"),
]


@pytest.mark.parametrize(("op", "mode"), SLICE)
def test_allocation_failures(op: str, mode: str) -> None:
    harness = _harness()
    # A sanitizer build's children need its runtime and allocator settings.
    passed_on = {
        k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC") if k in os.environ
    }
    sweep = harness.Sweep(op, mode, env={"PYTHONHASHSEED": "0", "PATH": "", **passed_on}, stop=200).run()
    bad = [r for r in sweep.records if r["outcome"] in harness.BAD]
    assert not bad, "\n".join(
        f"n={r['n']} {r['outcome']}: {r.get('exc')}: {r.get('msg')} {r.get('problems') or ''} {r.get('e2e') or ''}"
        for r in bad
    )
    assert sweep.finished, f"{op}/{mode} still failing at index {len(sweep.records)}"
    # The failure was really reached, and the last index got through untouched.
    assert any(r["outcome"] == "memoryerror" for r in sweep.records)
    assert sweep.records[-1]["reached"] is False


def test_interpreter_faults_recognised_by_the_caller_of_the_failing_allocation() -> None:
    # gdb's frames as `--stacks` gets them (arguments shortened).
    harness = _harness()
    grow = (
        "#0  hook_fmalloc (ctx=0x7f10, size=208) at ./Modules/_testcapi/mem.c:87\n"
        "#1  0x00007f20 in new_keys_object (log2_size=<optimized out>) at Objects/dictobject.c:820\n"
        "#2  0x00007f30 in dictresize (mp=0x7f40) at Objects/dictobject.c:1979\n"
        "#3  0x00007f50 in insertion_resize (mp=0x7f40) at Objects/dictobject.c:1675\n"
        "#4  insert_combined_dict (value=0x7f60, mp=0x7f40) at Objects/dictobject.c:1684\n"
    )
    assert "[setdefault_resize]" in harness.interpreter_fault(
        {"alloc_stack": grow + "#5  dict_setdefault_ref_lock_held (d=0x7f40) at Objects/dictobject.c:429"}
    )
    # An insertion by PyDict_SetItem handles the failure.
    assert (
        harness.interpreter_fault(
            {"alloc_stack": grow + "#5  0x00007f70 in setitem_take2_lock_held (mp=0x7f40) at Objects/dictobject.c:2288"}
        )
        is None
    )
    # Only the stack of the failing allocation says who failed to handle it.
    assert (
        harness.interpreter_fault(
            {"stack": grow + "#5  dict_setdefault_ref_lock_held (d=0x7f40) at Objects/dictobject.c:429"}
        )
        is None
    )
    made = (
        "#0  hook_fmalloc (ctx=0x7f10, size=160) at ./Modules/_testcapi/mem.c:87\n"
        "#4  0x00007f20 in PyFunction_NewWithQualName (code=0x7f30) at Objects/funcobject.c:102\n"
    )
    assert "[make_function]" in harness.interpreter_fault(
        {
            "alloc_stack": made
            + "#5  0x00007f40 in _PyEval_EvalFrameDefault (tstate=0x7f50) at Python/generated_cases.c.h:4786"
        }
    )
    # A function made by a C caller, which has the failure to handle.
    assert (
        harness.interpreter_fault(
            {"alloc_stack": made + "#5  0x00007f40 in worker_pool::make (f=0x7f50) at /src/worker_pool/records.cpp:10"}
        )
        is None
    )
    # A hang while every allocation fails: spinning on a handler, or waiting.
    spinning = (
        "#0  0x00007f10 in PyLong_FromLong@plt () from /usr/lib/libpython3.13.so.1.0\n"
        "#1  0x00007f20 in _PyEval_EvalFrameDefault (tstate=0x7f30, frame=0x7f40) at Python/ceval.c:903\n"
        "#2  0x00007f50 in _PyObject_VectorcallTstate (nargsf=3) at ./Include/internal/pycore_call.h:168"
    )
    hang = {"outcome": "hang", "mode": "all", "stack": spinning}
    assert "[handler_lasti]" in harness.interpreter_fault(hang)
    assert harness.interpreter_fault(hang | {"mode": "one"}) is None
    waiting = (
        "#0  0x00007f10 in epoll_wait (epfd=3) at ../sysdeps/unix/sysv/linux/epoll_wait.c:30\n"
        "#1  0x00007f20 in select_epoll_poll_impl (self=0x7f30) at ./Modules/selectmodule.c:1700\n"
        "#2  0x00007f40 in _PyEval_EvalFrameDefault (tstate=0x7f50) at Python/ceval.c:903"
    )
    assert harness.interpreter_fault(hang | {"stack": waiting}) is None
    # The exception enum puts in the place of MemoryError.
    replaced = TypeError("_value_ not set in __new__, unable to create it")
    replaced.__cause__ = MemoryError()
    assert "[enum_value]" in harness.exception_fault(replaced)
    replaced.__cause__ = ValueError("a bad value")
    assert harness.exception_fault(replaced) is None

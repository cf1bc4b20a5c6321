"""Instruction counts of zorvic.core.worker_pool beside the floor and the plain pool.

Each scenario runs in a process of its own under `valgrind --tool=callgrind`,
at two sizes; the difference of the two totals divided by the difference of
the sizes is the cost of one more worker (lifecycle) or one more call
(queries). Start-up, imports, the pool's set-up and every one-time warm-up
are the same at both sizes and cancel. Instruction counts do not depend on
the machine's load, so one run of each suffices and small differences are
real; they do not weigh cache misses or branch mispredictions, which the
wall-clock table (bench/run.py) does.

The scenarios are those of bench/run.py:

- lifecycle: submit N tasks one by one, then gather the workers (max_workers
  20; the executor reports progress once and returns), without and with an
  async status callback;
- queries: with 50 active workers (20 running, 30 queued) and 200 history
  records, N calls of the bound method from Python.

`--markdown` adds the table to bench/RESULTS.md in place of the one there
(the section between the markers below), keeping the wall-clock table.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run  # noqa: E402  (the scenarios' code)

# Lifecycle rows: (scenario, row label, with a status callback), at
# LIFECYCLE_SIZE and three times as many workers.
LIFECYCLE = (
    ("lifecycle", "lifecycle per worker, no callback", False),
    ("lifecycle-callback", "lifecycle per worker, with callback", True),
)
# Query rows: label -> (scenario, N); measured at N and 3N calls.
QUERIES = {
    "get_status, active hit": ("get_status-active", 20_000),
    "get_status, history hit 150 deep": ("get_status-deep", 4_000),
    "get_status, miss": ("get_status-miss", 4_000),
    "list_all": ("list_all", 200),
    "stats": ("stats", 4_000),
}
LIFECYCLE_SIZE = 1_000

BEGIN = "<!-- instructions: begin -->"
END = "<!-- instructions: end -->"


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- the measured process


def child(impl: str, scenario: str, n: int) -> None:
    """Runs one scenario at size n (inside valgrind)."""
    lifecycle = {name: cb for name, _, cb in LIFECYCLE}
    if scenario in lifecycle:
        tasks = run.make_tasks(n, "l")
        gc.collect()
        gc.freeze()
        run.lifecycle_once(impl, tasks, lifecycle[scenario])
        return
    label = next(lbl for lbl, (name, _) in QUERIES.items() if name == scenario)

    async def main() -> None:
        pool, ids, gate, workers = await run.query_pool(impl)
        fn, args = run.query_call(pool, ids, label)
        gc.collect()
        gc.freeze()
        for _ in range(n):
            fn(*args)
        gate.set_result(None)
        await asyncio.gather(*workers)

    asyncio.run(main())


# ---------------------------------------------------------------- the runner

_TOTALS = re.compile(r"^(?:totals|summary):\s+(\d+)", re.M)


def instructions(impl: str, scenario: str, n: int, workdir: str) -> int:
    out = os.path.join(workdir, f"callgrind.{impl}.{scenario}.{n}")
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONDONTWRITEBYTECODE="1")
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        "--quiet",
        sys.executable,
        str(Path(__file__).resolve()),
        "--child",
        impl,
        scenario,
        str(n),
    ]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{impl} {scenario} {n} failed:\n{proc.stderr[-3000:]}")
    with open(out) as f:
        m = _TOTALS.search(f.read())
    if not m:
        raise RuntimeError(f"no instruction total in {out}")
    return int(m.group(1))


def plan(impls: set[str]) -> list[tuple[str, str, str, int]]:
    """(row label, impl, scenario, small size) of every measurement."""
    jobs = []
    for scenario, label, _ in LIFECYCLE:
        for impl in run.IMPLS:
            if impl in impls:
                jobs.append((label, impl, scenario, LIFECYCLE_SIZE))
    for label, (scenario, size) in QUERIES.items():
        for impl in ("module", "plain"):
            if impl in impls:
                jobs.append((f"{label}, per call", impl, scenario, size))
    return jobs


def fmt(v: float | None) -> str:
    return "-" if v is None else f"{v:,.0f}"


def ratio(a: float | None, b: float | None) -> str:
    return "-" if a is None or b is None or b == 0 else f"{a / b:.2f}x"


def table(results: dict[tuple[str, str], float]) -> str:
    rows = [
        "| instructions | module | floor | plain | module/floor | module/plain |",
        "|:---|---:|---:|---:|---:|---:|",
    ]
    labels = list(dict.fromkeys(label for label, _ in results))
    for label in labels:
        m, f, p = (results.get((label, impl)) for impl in run.IMPLS)
        rows.append(f"| {label} | {fmt(m)} | {fmt(f)} | {fmt(p)} | {ratio(m, f)} | {ratio(m, p)} |")
    return "\n".join(rows)


NOTES = """\
Instructions (callgrind's Ir) per worker or per call: each scenario runs in a
process of its own at two sizes (lifecycle: {lifecycle:,} and {lifecycle2:,}
workers; queries: N and 3N calls), and the difference of the totals is
divided by the difference of the sizes, so start-up and warm-up cancel.
PYTHONHASHSEED=0. The lifecycle and the queries are those of the wall-clock
table; the floor has no queries."""


def write_markdown(path: Path, text: str) -> None:
    section = f"{BEGIN}\n{text}\n{END}"
    old = path.read_text() if path.exists() else ""
    if BEGIN in old and END in old:
        new = old[: old.index(BEGIN)] + section + old[old.index(END) + len(END) :]
    else:
        new = old.rstrip("\n") + "\n\n" + section + "\n"
    path.write_text(new)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", nargs=3, metavar=("IMPL", "SCENARIO", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--impl", action="append", choices=run.IMPLS, help="measure only this implementation")
    parser.add_argument("--only", action="append", help="measure only rows whose label contains this text")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="valgrind runs at once")
    parser.add_argument("--keep", metavar="DIR", help="keep the callgrind files in DIR (for callgrind_annotate)")
    parser.add_argument(
        "--markdown",
        nargs="?",
        const=str(HERE / "RESULTS.md"),
        metavar="PATH",
        help="also write the table into PATH (default bench/RESULTS.md), beside the wall-clock table",
    )
    args = parser.parse_args(argv)
    if args.child:
        impl, scenario, n = args.child
        child(impl, scenario, int(n))
        return 0
    if run.module_pool is None:
        raise SystemExit(f"zorvic.core.worker_pool is not importable ({run.MODULE_MISSING})")

    jobs = [j for j in plan(set(args.impl or run.IMPLS)) if not args.only or any(o in j[0] for o in args.only)]
    workdir = args.keep or tempfile.mkdtemp(prefix="zorvic-callgrind-")
    os.makedirs(workdir, exist_ok=True)
    runs = [(impl, scenario, n) for _, impl, scenario, small in jobs for n in (small, 3 * small)]
    log(f"{len(runs)} callgrind runs, {args.jobs} at once ...")
    with ThreadPoolExecutor(max(1, args.jobs)) as pool:
        totals = dict(zip(runs, pool.map(lambda r: instructions(*r, workdir), runs)))
    results = {}
    for label, impl, scenario, small in jobs:
        results[(label, impl)] = (totals[(impl, scenario, 3 * small)] - totals[(impl, scenario, small)]) / (2 * small)
    text = table(results)
    print(text)
    if args.markdown:
        notes = NOTES.format(lifecycle=LIFECYCLE_SIZE, lifecycle2=3 * LIFECYCLE_SIZE)
        write_markdown(
            Path(args.markdown),
            f"## Instruction counts\n\nWritten by `bench/instructions.py --markdown` (`make bench-instructions`).\n\n{text}\n\n{notes}",
        )
        log(f"wrote {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

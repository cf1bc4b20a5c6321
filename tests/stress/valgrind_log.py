"""Reads a memcheck log of `make valgrind` and says what in it concerns the module.

The interpreter itself leaves thousands of blocks "definitely lost" at exit
(objects it does not free on finalisation, such as interned strings), so
leaks are judged by where the block was allocated: a loss record whose
allocation stack reaches the module's shared object within its first
`NEAR` frames (the allocator, an object constructor, the module's call) is
ours. A block allocated far below a call the module made (an import it
triggered, host code it called) is listed but not held against it. The real
leak checks are tests/test_leaks.py; this is the second opinion. Memory
errors (invalid reads and writes, use of uninitialised values, bad frees)
count wherever they are.

    python tests/stress/valgrind_log.py build/valgrind.log

Exits with 1 when there is a memory error or a leak from the module.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

MODULE = "worker_pool.cpython"
NEAR = 8
RECORD = re.compile(
    r"^==\d+== ([\d,]+) (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in ([\d,]+) blocks "
    r"are definitely lost in loss record"
)


def number(text: str) -> int:
    return int(text.replace(",", ""))


def read(path: Path) -> tuple[int, int, int, list[str], int, str]:
    """Errors, definitely lost bytes and blocks, the module's own loss
    records, how many records reach the module further down, and the error
    summary line."""
    lines = path.read_text(errors="replace").splitlines()
    ours: list[str] = []
    below = 0
    lost_bytes = lost_blocks = 0
    summary = ""
    i = 0
    while i < len(lines):
        line = lines[i]
        match = RECORD.match(line)
        if match:
            lost_bytes += number(match.group(1))
            lost_blocks += number(match.group(2))
            stack = [line]
            i += 1
            while i < len(lines) and lines[i].rstrip() not in ("", lines[i].split(" ", 1)[0]):
                stack.append(lines[i])
                i += 1
            if any(MODULE in frame for frame in stack[1 : 1 + NEAR]):
                ours.append("\n".join(stack))
            elif any(MODULE in frame for frame in stack):
                below += 1
            continue
        if "ERROR SUMMARY:" in line:
            summary = line.split("== ", 1)[-1]
        i += 1
    errors = number(re.search(r"ERROR SUMMARY: ([\d,]+) errors", summary).group(1)) if summary else -1
    return errors, lost_bytes, lost_blocks, ours, below, summary


def main(argv: list[str]) -> int:
    path = Path(argv[1] if len(argv) > 1 else "build/valgrind.log")
    errors, lost_bytes, lost_blocks, ours, below, summary = read(path)
    print(f"[valgrind] {summary or 'no error summary: did the run finish?'}")
    print(
        f"[valgrind] definitely lost at exit: {lost_bytes} bytes in {lost_blocks} blocks; "
        f"{len(ours)} loss records allocated by the module, {below} far below a call it made"
    )
    for record in ours[:10]:
        print(record)
    return 0 if errors == 0 and not ours else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""The site's pictures, drawn as SVG by the docs build.

- lifecycle.svg: the states of a worker and what moves it from one to the next;
- instructions.svg: the instruction counts of bench/RESULTS.md (the table
  between the `<!-- instructions: begin -->` and `<!-- instructions: end -->`
  markers, as `make bench-instructions` writes it), read at build time.

Plain SVG written here, with no drawing library: the text stays text (the
page's fonts, selectable, searchable) and nothing is fetched when it is shown.

    python docs/_ext/figures.py OUTDIR [RESULTS.md]   draws both into OUTDIR
"""

from __future__ import annotations

import re
import sys
from dataclasses import dataclass
from html import escape
from pathlib import Path

FONT = "system-ui, -apple-system, 'Segoe UI', Roboto, 'Helvetica Neue', Arial, sans-serif"
MONO = "ui-monospace, SFMono-Regular, Menlo, Consolas, 'DejaVu Sans Mono', monospace"
INK = "#1f2328"
MUTED = "#59636e"

# Colours that read on a light and a dark page alike (the SVG has a white
# card behind it, so that it never sits on the theme's dark background).
ACTIVE = "#dbeafe"  # queued, running
ACTIVE_EDGE = "#2563eb"
FINAL = {"COMPLETED": ("#dcfce7", "#16a34a"), "FAILED": ("#fee2e2", "#dc2626"), "CANCELLED": ("#f3f4f6", "#6b7280")}


def _text(x: float, y: float, s: str, size: int = 13, anchor: str = "middle", **extra: str) -> str:
    attrs = " ".join(f'{k.replace("_", "-")}="{v}"' for k, v in extra.items())
    return f'<text x="{x:g}" y="{y:g}" font-size="{size}" text-anchor="{anchor}" {attrs}>{s}</text>'


def _label(x: float, y: float, parts: list[tuple[str, bool]], size: int = 13) -> str:
    """A one-line label centred on (x, y) over a white box; (text, is_code) parts."""
    char = {False: size * 0.56, True: size * 0.62}
    width = sum(len(t) * char[code] for t, code in parts) + 10
    spans = "".join(
        f'<tspan font-family="{MONO}" fill="#0f4c81">{escape(t)}</tspan>' if code else escape(t) for t, code in parts
    )
    box = f'<rect x="{x - width / 2:g}" y="{y - size * 0.95:g}" width="{width:g}" height="{size * 1.45:g}" rx="3" fill="white" fill-opacity="0.92"/>'
    return box + _text(x, y, spans, size, fill=INK)


def _code_parts(label: str) -> list[tuple[str, bool]]:
    """`code` in backticks becomes monospace."""
    pieces = label.split("`")
    return [(p, i % 2 == 1) for i, p in enumerate(pieces) if p]


@dataclass(frozen=True)
class State:
    name: str
    x: float  # centre
    y: float
    w: float = 128
    h: float = 44

    def edge(self, side: str, shift: float = 0) -> tuple[float, float]:
        return {
            "left": (self.x - self.w / 2, self.y + shift),
            "right": (self.x + self.w / 2, self.y + shift),
            "top": (self.x + shift, self.y - self.h / 2),
            "bottom": (self.x + shift, self.y + self.h / 2),
        }[side]


# The states and the transitions the pool makes. TIMEOUT is a member of
# WorkerState that the pool never sets, so it has no arrow (the caption says so).
STATES = {
    "QUEUED": State("QUEUED", 150, 140, 116),
    "RUNNING": State("RUNNING", 360, 140, 116),
    "COMPLETED": State("COMPLETED", 630, 52, 130),
    "FAILED": State("FAILED", 630, 140, 130),
    "CANCELLED": State("CANCELLED", 630, 285, 130),
}

# The transitions the pool makes, each with its cause: (from, side and shift
# of the start, to, side and shift of the end, the two control points of the
# curve relative to start and end (None: a straight line), the label, where
# the label's centre goes).
Point = tuple[float, float]
TRANSITIONS: list[tuple[str, str, float, str, str, float, tuple[Point, Point] | None, str, Point]] = [
    ("QUEUED", "right", 0, "RUNNING", "left", 0, None, "a free slot", (255, 127)),
    ("RUNNING", "top", 30, "COMPLETED", "left", 0, ((0, -50), (-60, 0)), "the executor returns", (468, 52)),
    ("RUNNING", "right", 4, "FAILED", "left", 0, None, "the executor raises", (492, 128)),
    (
        "RUNNING",
        "bottom",
        20,
        "CANCELLED",
        "left",
        -8,
        ((0, 90), (-100, 0)),
        "`cancel` while the executor runs",
        (462, 236),
    ),
    (
        "QUEUED",
        "bottom",
        0,
        "CANCELLED",
        "left",
        10,
        ((0, 170), (-220, 10)),
        "`cancel` while waiting for a slot",
        (290, 318),
    ),
]


def lifecycle_svg() -> str:
    width, height = 720, 380
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {height}" width="{width}" height="{height}" '
        f'font-family="{FONT}" role="img" aria-labelledby="title">',
        '<title id="title">The life of a worker: QUEUED, RUNNING, then COMPLETED, FAILED or CANCELLED</title>',
        "<defs>",
        '<marker id="arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="8" markerHeight="8" orient="auto-start-reverse">',
        f'<path d="M0,0 L10,5 L0,10 z" fill="{INK}"/></marker>',
        "</defs>",
        f'<rect x="0" y="0" width="{width}" height="{height}" rx="8" fill="white"/>',
    ]
    # the two groups of states
    q, r = STATES["QUEUED"], STATES["RUNNING"]
    out.append(
        f'<rect x="{q.x - q.w / 2 - 22}" y="{q.y - 62}" width="{r.x - q.x + (q.w + r.w) / 2 + 44}" height="118" rx="10" '
        f'fill="none" stroke="{ACTIVE_EDGE}" stroke-opacity="0.45" stroke-dasharray="5 4"/>'
    )
    out.append(
        _text(q.x - q.w / 2 - 12, q.y - 44, "active: in list_active(), counted by stats()", 12, "start", fill=MUTED)
    )
    c = STATES["COMPLETED"]
    out.append(
        f'<rect x="{c.x - c.w / 2 - 18}" y="{c.y - 48}" width="{c.w + 36}" height="{STATES["CANCELLED"].y - c.y + 96}" '
        f'rx="10" fill="none" stroke="{MUTED}" stroke-opacity="0.5" stroke-dasharray="5 4"/>'
    )
    out.append(_text(c.x, STATES["CANCELLED"].y + 40, "final: in the history", 12, fill=MUTED))

    # the entry: submit creates the record
    sx, sy = 24, q.y
    out.append(f'<circle cx="{sx}" cy="{sy}" r="7" fill="{INK}"/>')
    qx, qy = q.edge("left")
    out.append(
        f'<line x1="{sx + 7}" y1="{sy}" x2="{qx - 2}" y2="{qy}" stroke="{INK}" stroke-width="1.6" marker-end="url(#arrow)"/>'
    )
    out.append(_label((sx + qx) / 2 + 2, sy - 13, _code_parts("`submit`")))

    def arrow(path: str) -> None:
        out.append(f'<path d="{path}" fill="none" stroke="{INK}" stroke-width="1.6" marker-end="url(#arrow)"/>')

    for source, source_side, source_shift, target, target_side, target_shift, curve, label, at in TRANSITIONS:
        x1, y1 = STATES[source].edge(source_side, source_shift)
        x2, y2 = STATES[target].edge(target_side, target_shift)
        x2 -= 2  # the arrow head ends on the border, not under it
        if curve is None:
            arrow(f"M{x1},{y1} L{x2},{y2}")
        else:
            (dx1, dy1), (dx2, dy2) = curve
            arrow(f"M{x1},{y1} C{x1 + dx1},{y1 + dy1} {x2 + dx2},{y2 + dy2} {x2},{y2}")
        out.append(_label(*at, _code_parts(label)))

    for s in STATES.values():
        fill, edge = FINAL.get(s.name, (ACTIVE, ACTIVE_EDGE))
        out.append(
            f'<rect x="{s.x - s.w / 2}" y="{s.y - s.h / 2}" width="{s.w}" height="{s.h}" rx="8" fill="{fill}" '
            f'stroke="{edge}" stroke-width="1.6"/>'
        )
        out.append(_text(s.x, s.y + 5, s.name, 14, font_weight="600", fill=INK, font_family=MONO))
    out.append(
        _text(
            width / 2,
            height - 12,
            "cancel_all() and cleanup() cancel every tracked worker the same way",
            12,
            fill=MUTED,
        )
    )
    out.append("</svg>")
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- the benchmark chart

BEGIN, END = "<!-- instructions: begin -->", "<!-- instructions: end -->"
SERIES = [
    ("module", "the module", "#2563eb"),
    ("plain", "plain Python", "#f59e0b"),
    ("floor", "asyncio floor", "#9ca3af"),
]


@dataclass
class Row:
    label: str
    values: dict[str, int | None]  # module, plain, floor


def parse_instructions(text: str) -> list[Row]:
    """The rows of the instruction table; a missing figure ("-") is None."""
    if BEGIN not in text or END not in text:
        raise ValueError(f"bench/RESULTS.md has no {BEGIN} ... {END} section")
    section = text.split(BEGIN, 1)[1].split(END, 1)[0]
    table = [line for line in section.splitlines() if line.startswith("|")]
    if len(table) < 3:
        raise ValueError("bench/RESULTS.md: the instruction table has no rows")
    header = [cell.strip() for cell in table[0].strip("|").split("|")]
    missing = [name for name, _, _ in SERIES if name not in header]
    if missing:
        raise ValueError(f"bench/RESULTS.md: the instruction table has no column {', '.join(missing)}: {header}")
    rows = []
    for line in table[2:]:
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        values: dict[str, int | None] = {}
        for name, _, _ in SERIES:
            cell = cells[header.index(name)]
            values[name] = None if cell in {"-", ""} else int(re.sub(r"[,_ ]", "", cell))
        rows.append(Row(cells[0], values))
    return rows


def instructions_svg(rows: list[Row]) -> str:
    """One group of bars per row, each group scaled to its own largest figure
    (a call of list_all costs 500 times a get_status hit), split into what a
    worker costs and what a query call costs."""
    per_worker = [row for row in rows if row.label.startswith("lifecycle")]
    per_call = [row for row in rows if not row.label.startswith("lifecycle")]
    width, label_w, bar_x, bar_max = 720, 226, 236, 384
    bar_h, gap, group_gap = 16, 3, 22
    y = 52
    out_rows: list[str] = []

    def group(row: Row) -> None:
        nonlocal y
        present = [(name, label, colour) for name, label, colour in SERIES if row.values[name] is not None]
        top = max(row.values[name] or 0 for name, _, _ in present)
        block = len(present) * (bar_h + gap) - gap
        label = row.label.removeprefix("lifecycle per worker, ").removesuffix(", per call")
        out_rows.append(_text(label_w, y + block / 2, escape(label), 13, "end", fill=INK))
        module = row.values["module"]
        ratios = [
            f"{module / value:.2f}x {short}"
            for name, short in (("plain", "plain"), ("floor", "floor"))
            if module and (value := row.values[name])
        ]
        out_rows.append(_text(label_w, y + block / 2 + 15, "module: " + ", ".join(ratios), 11, "end", fill=MUTED))
        for name, _, colour in present:
            value = row.values[name] or 0
            w = max(1.0, bar_max * value / top)
            out_rows.append(f'<rect x="{bar_x}" y="{y}" width="{w:.1f}" height="{bar_h}" rx="2" fill="{colour}"/>')
            out_rows.append(_text(bar_x + w + 6, y + bar_h - 4, f"{value:,}", 12, "start", fill=INK, font_family=MONO))
            y += bar_h + gap
        y += group_gap - gap

    def heading(s: str) -> None:
        nonlocal y
        y += 8
        out_rows.append(_text(20, y, escape(s), 14, "start", font_weight="600", fill=INK))
        y += 14

    heading("Instructions per worker: submit to history (lifecycle)")
    for row in per_worker:
        group(row)
    heading("Instructions per query call")
    for row in per_call:
        group(row)
    height = y + 10
    legend_x = 20
    legend = []
    for _, label, colour in SERIES:
        legend.append(f'<rect x="{legend_x}" y="14" width="14" height="14" rx="2" fill="{colour}"/>')
        legend.append(_text(legend_x + 20, 26, label, 13, "start", fill=INK))
        legend_x += 34 + len(label) * 7.6
    out_rows.append(
        _text(20, y + 6, "Each group is scaled to its largest figure; shorter is cheaper.", 12, "start", fill=MUTED)
    )
    height += 16
    head = [
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {height}" width="{width}" height="{height}" '
        f'font-family="{FONT}" role="img" aria-labelledby="title">',
        '<title id="title">Instructions per worker and per query call: the module, plain Python and the asyncio floor</title>',
        f'<rect x="0" y="0" width="{width}" height="{height}" rx="8" fill="white"/>',
    ]
    return "\n".join(head + legend + out_rows + ["</svg>"]) + "\n"


def draw_all(outdir: Path, results: Path) -> list[Path]:
    outdir.mkdir(parents=True, exist_ok=True)
    written = []
    for name, svg in (
        ("lifecycle.svg", lifecycle_svg()),
        ("instructions.svg", instructions_svg(parse_instructions(results.read_text(encoding="utf-8")))),
    ):
        path = outdir / name
        if not path.exists() or path.read_text(encoding="utf-8") != svg:
            path.write_text(svg, encoding="utf-8")
        written.append(path)
    return written


if __name__ == "__main__":
    root = Path(__file__).resolve().parents[2]
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "docs" / "_generated"
    source = Path(sys.argv[2]) if len(sys.argv) > 2 else root / "bench" / "RESULTS.md"
    for path in draw_all(target, source):
        print(path)

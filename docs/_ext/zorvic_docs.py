"""Sphinx extension of this site.

- draws the pictures (figures.py) into docs/_generated before the pages are read;
- appends the type stub's notes to the module's docstrings in the reference;
- warns when a public name of the module is missing from the reference;
- warns when a page would load a script, a style sheet or a font from elsewhere.

With `-W` (make docs, CI) every warning fails the build.
"""

from __future__ import annotations

import ast
import dataclasses
import enum
import inspect
import logging as logging_module
import re
from pathlib import Path
from typing import Any

import figures
from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

MODULE = "zorvic.core.worker_pool"
ROOT = Path(__file__).resolve().parents[2]


# ---------------------------------------------------------------- pictures


def draw_figures(app: Sphinx) -> None:
    written = figures.draw_all(Path(app.srcdir) / "_generated", ROOT / "bench" / "RESULTS.md")
    logger.info("figures: %s", ", ".join(path.name for path in written))


# ---------------------------------------------------------------- member order

FIELDS = re.compile(r"(\.\. autoclass:: (\w+)\n(?:(?!\.\. autoclass::).*\n)*?)([ ]+)\.\. autoattribute:: @fields\n")


def field_order(app: Sphinx, docname: str, source: list[str]) -> None:
    """`.. autoattribute:: @fields` inside an `autoclass` stands for one
    `autoattribute` per field of the record (member of the enumeration), in
    the order the module defines them: a compiled module has no source from
    which autodoc could read that order, and `:members:` would sort them."""

    def expand(match: re.Match[str]) -> str:
        cls = getattr(__import__(MODULE, fromlist=["_"]), match[2])
        if issubclass(cls, enum.Enum):
            names = [member.name for member in cls]
        else:
            names = [field.name for field in dataclasses.fields(cls)]
        return match[1] + "".join(f"{match[3]}.. autoattribute:: {name}\n" for name in names)

    source[0] = FIELDS.sub(expand, source[0])
    source[0] = VALUE.sub(value, source[0])


# `:value: @value(NAME)`: what the module holds under NAME, as the interpreter
# shows it (`typing.` dropped; a logger by its getLogger call). autodoc would
# spell the alias `Callable[[...], ...]` and show a logger's class docstring.
VALUE = re.compile(r"@value\((\w+)\)")


def value(match: re.Match[str]) -> str:
    obj = getattr(__import__(MODULE, fromlist=["_"]), match[1])
    if isinstance(obj, logging_module.Logger):
        return f'logging.getLogger("{obj.name}")'
    return repr(obj).replace("typing.", "")


# ---------------------------------------------------------------- the stub's notes


def stub_docstrings() -> dict[str, str]:
    """Docstrings of the type stub next to the compiled module, by qualified
    name ("WorkerPool.submit"); read as text, never executed."""
    module = __import__(MODULE, fromlist=["_"])
    stub = Path(module.__file__).with_name("worker_pool.pyi")
    docs: dict[str, str] = {}

    def walk(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef):
                doc = ast.get_docstring(node)
                name = prefix + node.name
                # a property's setter documents the property
                if isinstance(node, ast.FunctionDef) and any(
                    isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list
                ):
                    name += ".setter"
                if doc:
                    docs[name] = doc
                if isinstance(node, ast.ClassDef):
                    walk(node.body, name + ".")

    walk(ast.parse(stub.read_text(encoding="utf-8")).body, "")
    return docs


def add_stub_notes(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """The module's own docstring stays first, as `help()` shows it; the
    stub's follows when it says more (without the first paragraph when the
    stub repeats it). A class also gets its constructor's notes."""
    if not name.startswith(MODULE + "."):
        return
    qualname = name.removeprefix(MODULE + ".")
    notes = getattr(app.env, "zorvic_stub_docs", None)
    if notes is None:
        notes = app.env.zorvic_stub_docs = stub_docstrings()  # type: ignore[attr-defined]
    keys = [qualname, qualname + ".setter"] + ([qualname + ".__init__"] if what == "class" else [])
    for key in keys:
        own = "\n".join(lines).strip()
        first = own.split("\n\n", 1)[0]
        doc = inspect.cleandoc(notes.get(key, ""))
        if first and doc.startswith(first.rstrip(".")):
            # the stub's first paragraph is the module's, perhaps extended: it takes its place
            stub_first, _, doc = doc.partition("\n\n")
            lines[: len(first.splitlines())] = stub_first.splitlines()
        if doc and doc not in own:
            lines.extend(["", *doc.splitlines(), ""])


def plain_alias(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """autodoc ends an alias's entry with "alias of Callable[[...], ...]",
    a misspelling of `Callable[..., ...]`; the entry says what it is itself."""
    if name == MODULE + ".WorkerExecutor":
        lines[:] = [line for line in lines if not line.startswith("alias of ")]


def literal_examples(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    """A docstring's indented block after a line ending in a colon is code
    (`Usage:` and the calls under it) unless it is a list: it is shown as a
    literal block, as `help()` shows it, not reflowed into one paragraph."""
    i = 0
    while i < len(lines) - 1:
        line = lines[i].rstrip()
        following = next((k for k in range(i + 1, len(lines)) if lines[k].strip()), None)
        if line.endswith(":") and not line.endswith("::") and following is not None:
            indent = len(line) - len(line.lstrip())
            block = lines[following]
            if len(block) - len(block.lstrip()) > indent and not re.match(r"\s*([-*+]|\d+\.)\s", block):
                lines[i] = line + ":"
                if following == i + 1:
                    lines.insert(i + 1, "")
        i += 1


def factory_defaults(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, signature: str | None, annotation: str | None
) -> tuple[str | None, str | None] | None:
    """A dataclass field with a default factory shows its default as
    `<factory>`, which is not an expression: Sphinx cannot parse such a
    signature and splits it at every comma (`dict[str` and `Any]`). The stub
    writes those defaults as `...`, and so does the reference."""
    if signature and "<factory>" in signature:
        return signature.replace("<factory>", "..."), annotation
    return None


class StubProtocols(SphinxDirective):
    """`stub-protocols`: the names that exist for type checkers only (the
    stub's `@type_check_only` protocols), each with the signature of its
    `__call__` and its docstring, read from the stub's text."""

    def run(self) -> list[nodes.Node]:
        module = __import__(MODULE, fromlist=["_"])
        stub = Path(module.__file__).with_name("worker_pool.pyi")
        self.env.note_dependency(str(stub))
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        lines: list[str] = []
        for node in tree.body:
            if not isinstance(node, ast.ClassDef) or not any(
                isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list
            ):
                continue
            call = next(f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "__call__")
            if call.args.posonlyargs:  # without self
                call.args.posonlyargs = call.args.posonlyargs[1:]
            else:
                call.args.args = call.args.args[1:]
            returns = f" -> {ast.unparse(call.returns)}" if call.returns else ""
            # the page is MyST Markdown, and so is what a directive adds to it
            lines += [f"````{{py:class}} {node.name}", f":module: {MODULE}", ""]
            lines += inspect.cleandoc(ast.get_docstring(node) or "").splitlines()
            lines += ["", f"```{{py:method}} __call__({ast.unparse(call.args)}){returns}", "```", "````", ""]
        container = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(stub)), self.content_offset, container)
        return container.children


# ---------------------------------------------------------------- completeness


def public_names() -> set[str]:
    """Every public name of the module, with the members of its classes."""
    module = __import__(MODULE, fromlist=["_"])
    names = {"WorkerPool", "WorkerTask", "WorkerStatus", "WorkerState", "WorkerExecutor", "logger"}
    for cls_name in ("WorkerPool", "WorkerTask", "WorkerStatus"):
        cls = getattr(module, cls_name)
        for member in vars(cls):
            if not member.startswith("_"):
                names.add(f"{cls_name}.{member}")
        for field in getattr(cls, "__dataclass_fields__", {}):
            names.add(f"{cls_name}.{field}")
    for member in module.WorkerState:
        names.add(f"WorkerState.{member.name}")
    return names


def check_reference(app: Sphinx, env: Any) -> None:
    documented = {name.removeprefix(MODULE + ".") for name in env.get_domain("py").objects}
    for name in sorted(public_names() - documented):
        logger.warning("the API reference does not document %s.%s", MODULE, name, type="zorvic", subtype="reference")


# ---------------------------------------------------------------- readable offline

# A script, style sheet, font or image that a page would fetch from another host.
REMOTE = re.compile(
    r"""<(?:script|img|iframe)\b[^>]*\bsrc=["'](?:https?:)?//"""
    r"""|<link\b[^>]*\bhref=["'](?:https?:)?//"""
    r"""|@import\s+(?:url\()?["']?(?:https?:)?//"""
    r"""|url\(["']?(?:https?:)?//""",
    re.I,
)


def check_offline(app: Sphinx, exception: Exception | None) -> None:
    if exception is not None or app.builder.format != "html":
        return
    out = Path(app.outdir)
    for path in sorted([*out.rglob("*.html"), *out.rglob("*.css"), *out.rglob("*.js")]):
        text = path.read_text(encoding="utf-8", errors="replace")
        for match in REMOTE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            logger.warning(
                "%s:%d loads something from elsewhere: %s",
                path.relative_to(out),
                line,
                text[match.start() : match.start() + 120].splitlines()[0],
                type="zorvic",
                subtype="offline",
            )


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", draw_figures)
    app.connect("source-read", field_order)
    app.connect("autodoc-process-docstring", literal_examples)
    app.connect("autodoc-process-docstring", plain_alias)
    app.connect("autodoc-process-docstring", add_stub_notes)
    app.connect("autodoc-process-signature", factory_defaults)
    app.connect("env-check-consistency", check_reference)
    app.connect("build-finished", check_offline)
    app.add_directive("stub-protocols", StubProtocols)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}

"""Sphinx configuration of the documentation site (`make docs`).

The pages are Markdown (MyST). Most of the guide is the README itself, taken
section by section between `<!-- docs:NAME begin/end -->` markers, so that the
examples the test suite runs are the ones the site shows. The API reference is
autodoc over the compiled module; `_ext/zorvic_docs.py` draws the pictures,
adds the stub's notes to the docstrings and checks that the reference is
complete and that the site loads nothing from elsewhere.
"""

import sys
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

# The compiled module, imported before autodoc looks for it. From Sphinx 8.2
# on, autodoc loads a native module's `.pyi` stub in its place when the
# module is not imported yet; our stub is for type checkers only
# (`typing.type_check_only` does not exist at run time), so executing it
# fails, and it would document the stub's declarations instead of the
# module's own signatures and docstrings. A module already in sys.modules is
# taken as it is.
import zorvic.core.worker_pool

if not zorvic.core.worker_pool.__file__.endswith(tuple(EXTENSION_SUFFIXES)):
    raise RuntimeError(f"the compiled module was not found: {zorvic.core.worker_pool.__file__}")

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "zorvic-worker-pool"
author = "the zorvic developers"
copyright = "the zorvic developers"
release = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "zorvic_docs",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "_generated", "_ext", "requirements.txt"]

# A renamed method, a missing page or a broken link is a warning; `make docs`
# and CI turn warnings into errors.
nitpicky = True
# Names of the standard library that the annotations use; no intersphinx, so
# the build needs no network and the site links to nothing it cannot show.
nitpick_ignore_regex = [
    ("py:class", r"(asyncio|logging|typing|collections\.abc|enum)\..*"),
    ("py:class", r"Any|Callable|Awaitable|Coroutine"),
]

myst_enable_extensions = ["colon_fence"]
# `#heading` links inside one page, as on the README's own page.
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autoclass_content = "class"
autodoc_typehints = "signature"
# The module's own alias by its name, as the annotations write it (autodoc
# would otherwise spell out the Callable it stands for).
autodoc_type_aliases = {"WorkerExecutor": "WorkerExecutor"}
add_module_names = False

html_theme = "furo"
html_title = "zorvic-worker-pool"
html_static_path = ["_static"]
html_css_files = ["site.css"]
html_show_sourcelink = False
html_copy_source = False
pygments_style = "friendly"
pygments_dark_style = "monokai"

"""Sphinx configuration of varquin's documentation (tools/docs.sh builds it)."""

import sys
from pathlib import Path

from sphinx import addnodes
from sphinx.transforms.post_transforms import SphinxPostTransform

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import charts  # noqa: E402
import cliref  # noqa: E402
import errref  # noqa: E402

project = "varquin"
author = "varquin's developers"
extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_generated"]
html_theme = "furo"
html_title = "varquin"
myst_heading_anchors = 3
# Names in single backquotes in docstrings are code.
default_role = "code"
autodoc_member_order = "bysource"
autodoc_typehints = "description"
# Bus gets its calls from the native core's type: inherited members are
# shown, except those of the interpreter's own bases.
autodoc_default_options = {
    "members": True,
    "show-inheritance": True,
    "inherited-members": "BaseException, OSError, tuple, property, object",
}
suppress_warnings = ["myst.xref_missing"]
# Type hints of the package name types the documentation cannot link (its
# native core's, typing's private helpers); they are shown, not linked.
nitpicky = False


def _literal_blocks(app, what, name, obj, options, lines):
    """Docstrings show examples as blocks indented by four spaces after a
    blank line; reStructuredText reads those as quotes unless a `::` comes
    first, so one is put before each such block that has none."""
    i = 1
    while i < len(lines):
        starts_block = lines[i].startswith("    ") and not lines[i - 1].strip()
        at = next((k for k in range(i - 2, -1, -1) if lines[k].strip()), -1)
        before = lines[at] if at >= 0 else ""
        if starts_block and not before.startswith(" ") and not before.rstrip().endswith("::"):
            if before.rstrip().endswith(":") and not before.lstrip().startswith(":"):
                lines[at] = before.rstrip() + ":"
            else:
                lines[i:i] = ["::", ""]
                i += 2
        i += 1


class _NearestTarget(SphinxPostTransform):
    """Type hints name classes unqualified (`Bus`, `Subscription`,
    `InterfaceProxy`), and the blocking and the asyncio API each have a class
    of that name.  Before references are resolved, such a name is pointed at
    the class of the module that uses it or of its nearest parent, else at
    the one on the same side (asyncio or blocking) as that module."""

    default_priority = 5  # before ReferencesResolver (10)

    def run(self, **kwargs):
        domain = self.env.get_domain("py")
        for node in self.document.findall(addnodes.pending_xref):
            target = node.get("reftarget", "")
            if node.get("refdomain") != "py" or not target or "." in target:
                continue
            found = [name for name, obj in domain.objects.items() if name.endswith("." + target) and not obj.aliased]
            if len(found) < 2:
                continue
            module = node.get("py:module") or ""
            parts = module.split(".")
            scopes = [".".join(parts[:n]) for n in range(len(parts), 0, -1)]
            nearest = next((f"{scope}.{target}" for scope in scopes if f"{scope}.{target}" in found), None)
            if nearest is None:
                side = [name for name in found if name.startswith("varquin.aio.") == module.startswith("varquin.aio")]
                nearest = side[0] if len(side) == 1 else None
            if nearest is not None:
                node["reftarget"] = nearest


def _multiline_signature(app, what, name, obj, options, lines):
    """A native docstring that opens with a signature running over several
    lines (`name(a, b,\n      c) -> T`) keeps it as one line of code:
    autodoc reads only one-line signatures, and would take the rest for
    text (its `*` for emphasis)."""
    short = name.rpartition(".")[2]
    if not lines or not lines[0].startswith(short + "("):
        return
    depth, taken = 0, 0
    while taken < len(lines):
        depth += lines[taken].count("(") - lines[taken].count(")")
        taken += 1
        if depth <= 0:
            break
    if depth == 0 and taken > 1:
        lines[:taken] = ["``" + " ".join(line.strip() for line in lines[:taken]) + "``"]


def _draw_charts(app):
    charts.draw_all(HERE.parent / "bench" / "results" / "latest.txt", HERE / "_generated")


def setup(app):
    app.connect("builder-inited", _draw_charts)
    app.connect("autodoc-process-docstring", _multiline_signature)
    app.connect("autodoc-process-docstring", _literal_blocks)
    app.add_post_transform(_NearestTarget)
    cliref.setup(app)
    errref.setup(app)

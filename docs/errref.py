"""A Sphinx directive that writes the exception tree of varquin.errors: each
class under its base, with the D-Bus error name it is raised for and the
first sentence of its docstring, so the page follows the package's classes.

    ```{varquin-errors}
    ```
"""

from __future__ import annotations

import inspect

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx import addnodes

# The prefix of the error names varquin gives its own conditions.
OWN = "org.varquin.Error."


def summary(cls: type) -> str:
    """The first paragraph of the class's docstring, on one line, without
    its inline markup."""
    doc = inspect.getdoc(cls) or ""
    return " ".join(doc.split("\n\n", 1)[0].split()).replace("``", "")


def public_children(cls: type) -> list[type]:
    """The public subclasses under `cls`: those of a private class (one whose
    name starts with `_`) stand in its place."""
    found: list[type] = []
    for sub in cls.__subclasses__():
        if sub.__name__.startswith("_"):
            found.extend(public_children(sub))
        elif sub.__module__.startswith("varquin"):
            found.append(sub)
    return found


def _code(text: str) -> nodes.literal:
    return nodes.literal(text, text)


def entry(cls: type) -> nodes.list_item:
    """The list item of `cls`: a link to its reference, its error name, the
    interpreter's classes it also is, its summary, and its subclasses."""
    link = addnodes.pending_xref(
        "", _code(cls.__name__), refdomain="py", reftype="class", reftarget=f"varquin.{cls.__name__}"
    )
    para = nodes.paragraph("", "", link)
    name = getattr(cls, "NAME", "")
    if name:
        para += [nodes.Text(" "), _code(name)]
        if name.startswith(OWN):
            para += nodes.Text(" (raised by varquin itself, never received)")
    also = [b.__name__ for b in cls.__bases__ if b.__module__ == "builtins" and b is not Exception]
    if also:
        para += nodes.Text(" (also ")
        for i, base in enumerate(also):
            para += [nodes.Text(", " if i else ""), _code(base)]
        para += nodes.Text(")")
    para += nodes.Text(": " + summary(cls))
    item = nodes.list_item("", para)
    children = public_children(cls)
    if children:
        item += nodes.bullet_list("", *(entry(c) for c in children))
    return item


class ErrorTree(Directive):
    """Renders the tree of varquin.errors rooted at BusError."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        from varquin.errors import BusError

        return [nodes.bullet_list("", entry(BusError))]


def setup(app: object) -> dict[str, object]:
    app.add_directive("varquin-errors", ErrorTree)  # type: ignore[attr-defined]
    return {"parallel_read_safe": True}

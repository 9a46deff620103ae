"""A Sphinx directive that writes the command line's reference from its own
parsers: one section per verb holding what `python -m varquin VERB --help`
prints, so the page always says what the installed command does.

    ```{varquin-cli}
    ```
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Iterator

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx.util.nodes import make_id

# The width the help is laid out for: argparse reads it from COLUMNS.
WIDTH = "88"


def _help(parser: argparse.ArgumentParser) -> str:
    saved = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = WIDTH
    try:
        return parser.format_help()
    finally:
        if saved is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = saved


def sub_commands(parser: argparse.ArgumentParser) -> Iterator[tuple[str, argparse.ArgumentParser]]:
    """Each sub-command of `parser` by name, in the order they were added."""
    for action in parser._actions:  # argparse keeps its sub-parsers only here
        if isinstance(action, argparse._SubParsersAction):
            yield from action.choices.items()


class CommandLine(Directive):
    """Renders the usage of `python -m varquin`, then of every verb and of
    `python -m varquin codegen`, each in a section of its own."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        from varquin import cli, codegen

        env = self.state.document.settings.env
        top = cli.parser()
        out: list[nodes.Node] = [self._block(_help(top))]
        for name, parser in [*sub_commands(top), ("codegen", codegen.parser())]:
            section = nodes.section(ids=[make_id(env, self.state.document, "verb", name)], names=[name])
            section += nodes.title("", "", nodes.literal(name, name))
            section += self._block(_help(parser))
            out.append(section)
        return out

    @staticmethod
    def _block(text: str) -> nodes.literal_block:
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        return block


def setup(app: object) -> dict[str, object]:
    app.add_directive("varquin-cli", CommandLine)  # type: ignore[attr-defined]
    return {"parallel_read_safe": True}

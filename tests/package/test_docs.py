"""The documentation's generated pages: the command line's reference holds
every verb's own help, and the exception tree every error class with its
D-Bus name under the right base.  Built with Sphinx where the docs' tools are
installed (the main venv), skipped elsewhere."""

import pathlib
import re
import sys

import pytest

from varquin.cli.verbs import VERBS
from varquin.errors import error_classes

pytest.importorskip("sphinx")
pytest.importorskip("myst_parser")

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The two directives rendered in a one-page project, as plain text."""
    from sphinx.application import Sphinx

    src = tmp_path_factory.mktemp("src")
    (src / "conf.py").write_text(
        f"import sys\nsys.path.insert(0, {str(DOCS)!r})\n"
        "extensions = ['myst_parser', 'cliref', 'errref']\nsource_suffix = {'.md': 'markdown'}\n"
    )
    (src / "index.md").write_text("# Page\n\n```{varquin-cli}\n```\n\n## Errors\n\n```{varquin-errors}\n```\n")
    out = tmp_path_factory.mktemp("out")
    app = Sphinx(str(src), str(src), str(out), str(out / ".doctrees"), "text", status=None, warning=sys.stderr)
    app.build()
    sys.path.remove(str(DOCS))
    # The text builder quotes literals; lines are joined, as they wrap anywhere.
    return " ".join((out / "index.txt").read_text().replace('"', "").split())


def test_every_verb_has_a_section_with_its_own_help(built):
    for name, verb in VERBS.items():
        section = re.split(rf" {name} =+ usage: python -m varquin {name} \[", built)
        assert len(section) == 2, f"no section for {name}"
        assert verb.help in section[1].split(" usage: ", 1)[0]
    assert re.search(r" codegen =+ usage: python -m varquin codegen \[", built)


def test_every_error_class_is_in_the_tree_with_its_name(built):
    errors = built.split(" Errors ====== ", 1)[1]
    for name, cls in error_classes().items():
        assert f"* {cls.__name__} {name}" in errors, name


def test_the_tree_names_the_root_and_the_interpreters_bases(built):
    errors = built.split(" Errors ====== ", 1)[1]
    assert errors.startswith("* BusError: An error reply")
    assert "* NoReply org.freedesktop.DBus.Error.NoReply (also TimeoutError): " in errors

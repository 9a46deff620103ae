"""The documentation: every public name carries a docstring and every public
method of the bus types a signature that help() shows; the generated pages
(the command line's reference holds every verb's own help, and the exception
tree every error class with its D-Bus name under the right base) are built
with Sphinx where the docs' tools are installed (the main venv), skipped
elsewhere."""

import importlib
import inspect
import pathlib
import re
import sys
import types

import pytest

import varquin
import varquin.aio
from varquin.cli.verbs import VERBS
from varquin.errors import error_classes

MODULES = [
    "varquin",
    "varquin.systemd",
    "varquin.host",
    "varquin.fleet",
    "varquin.journal",
    "varquin.daemon",
    "varquin.proxy",
    "varquin.aio",
    "varquin.aio.systemd",
    "varquin.aio.proxy",
    "varquin.aio.journal",
    "varquin.aio.daemon",
]
# What a class attribute that documents itself can be: functions, properties
# and the native types' methods and attributes.
DOCUMENTED = (
    types.FunctionType,
    property,
    classmethod,
    staticmethod,
    types.MethodDescriptorType,
    types.ClassMethodDescriptorType,
    types.GetSetDescriptorType,
    types.BuiltinFunctionType,
    type,
)


def _ours(obj):
    return (getattr(obj, "__module__", None) or "").startswith("varquin")


def _public(module):
    """The module's public names: its __all__, else what it defines without a
    leading underscore."""
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n, v in vars(module).items() if not n.startswith("_") and _ours(v)]
    return [(n, getattr(module, n)) for n in names]


def _attributes(cls):
    """The public attributes of `cls` that the package defines (its own and
    those of the package's classes it inherits from)."""
    seen = set()
    for base in cls.__mro__:
        if not _ours(base):
            continue
        for name, value in vars(base).items():
            if not name.startswith("_") and name not in seen and isinstance(value, DOCUMENTED):
                seen.add(name)
                yield name, value


def _undocumented():
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        if not (module.__doc__ or "").strip():
            yield module_name
        for name, obj in _public(module):
            if not _ours(obj):
                continue
            if not (obj.__doc__ or "").strip():
                yield f"{module_name}.{name}"
            if inspect.isclass(obj):
                for attr, value in _attributes(obj):
                    if not (value.__doc__ or "").strip():
                        yield f"{module_name}.{name}.{attr}"


def test_every_public_name_has_a_docstring():
    assert list(_undocumented()) == []


def test_an_attribute_without_a_docstring_is_found(monkeypatch):
    monkeypatch.setattr(varquin.aio.Bus.closed, "__doc__", None)
    assert list(_undocumented()) == ["varquin.aio.Bus.closed"]


@pytest.mark.parametrize(
    "cls", [varquin.Bus, varquin.Subscription, varquin.Export, varquin.aio.Bus, varquin.aio.Subscription]
)
def test_every_public_method_of_the_bus_types_has_a_signature(cls):
    for name, _ in _attributes(cls):
        if callable(getattr(cls, name)):
            inspect.signature(getattr(cls, name))  # ValueError when help() would show "(...)"


# A valid value for each parameter a native Bus method's signature names.
VALUES = {
    "destination": "org.example.Thing",
    "path": "/org/example/Thing",
    "interface": "org.example.Thing",
    "member": "Changed",
    "signature": "",
    "name": "org.example.Thing",
    "value": 1,
    "sender": "org.example.Thing",
    "args": {1: "x"},
    "arg0namespace": "org.example",
    "path_namespace": None,
    "max_queued": 4,
    "timeout": 1,
}
NATIVE = ["call", "get_property", "get_all", "set_property", "subscribe", "request_name", "release_name", "emit"]


def test_the_native_signatures_name_the_parameters_the_methods_take():
    """Every parameter that help() shows for a native method is accepted by
    that name (the call then reaches the closed bus's ValueError, not a
    TypeError of the argument parsing)."""
    bus = varquin.Bus.system()
    bus.close()
    for method in NATIVE:
        params = list(inspect.signature(getattr(varquin.Bus, method)).parameters.values())[1:]
        keywords = {p.name: VALUES[p.name] for p in params if p.kind is not inspect.Parameter.VAR_POSITIONAL}
        if method in ("get_property", "set_property"):
            keywords["name"] = "Level"
        if method == "set_property":
            keywords["signature"] = "u"
        with pytest.raises(ValueError, match="closed bus"):
            getattr(bus, method)(**keywords)


DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The two directives rendered in a one-page project, as plain text."""
    pytest.importorskip("sphinx")
    pytest.importorskip("myst_parser")
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

"""python -m varquin codegen: annotations by signature, modules from XML
files and from live objects that pass the linters and the type checker,
round trips (generated class served, called through a typed proxy), and
failures that leave stdout empty."""

import importlib.util
import pathlib
import subprocess
import sys
import threading

import pytest

import varquin
from testing.env import child_env, load_module
from varquin.codegen import python_type
from varquin.proxy import parse_introspection

ROOT = pathlib.Path(__file__).resolve().parents[2]
PATH = "/org/varquin/test/generated"

TRICKY = """<node>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get">
   <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/>
  </method>
 </interface>
 <interface name="org.varquin.Test.Tricky">
  <method name="class">
   <arg type="s"/><arg name="self" type="as" direction="in"/><arg type="b" direction="out"/>
  </method>
  <method name="Long">
   <arg name="a_rather_long_argument_name" type="a{sa(sv)}" direction="in"/>
   <arg name="another_rather_long_name" type="a(sasbttttuii)" direction="in"/>
   <arg name="x" type="x" direction="out"/><arg name="y" type="ay" direction="out"/>
  </method>
  <method name="Nothing"/>
  <property name="import" type="u" access="readwrite"/>
  <property name="Label" type="s" access="read"/>
  <signal name="Moved"><arg name="where" type="o"/><arg name="how" type="v"/></signal>
 </interface>
 <interface name="org.varquin.Other.Tricky"/>
</node>"""


@pytest.mark.parametrize(
    "signature,annotation",
    [
        ("y", "int"),
        ("b", "bool"),
        ("d", "float"),
        ("o", "str"),
        ("h", "int"),
        ("v", "typing.Any"),
        ("ay", "bytes"),
        ("aay", "list[bytes]"),
        ("a{sv}", "dict[str, typing.Any]"),
        ("a{oa(sb)}", "dict[str, list[tuple[str, bool]]]"),
        ("(i(sv))", "tuple[int, tuple[str, typing.Any]]"),
    ],
)
def test_annotations_by_signature(signature, annotation):
    assert python_type(signature) == annotation


@pytest.mark.parametrize("signature", ["", "ss", "a", "(i", "a{s", "z"])
def test_signatures_that_are_not_one_complete_type(signature):
    with pytest.raises(ValueError):
        python_type(signature)


def codegen(*args):
    return subprocess.run(
        [sys.executable, "-m", "varquin", "codegen", *args],
        capture_output=True,
        text=True,
        env=child_env(imports_module=True),
        timeout=60,
    )


def checked_module(tmp_path, text, name):
    """Writes the generated module, lints and type-checks it, and imports it."""
    path = tmp_path / f"{name}.py"
    path.write_text(text)
    config = ["--config", str(ROOT / "pyproject.toml")]
    for tool, args in [("ruff", ["check", *config]), ("ruff", ["format", "--check", *config]), ("mypy", ["--strict"])]:
        if importlib.util.find_spec(tool) is None:
            continue  # the linters live in the main venv only
        run = subprocess.run(
            [sys.executable, "-m", tool, *args, str(path)], capture_output=True, text=True, env=child_env()
        )
        assert run.returncode == 0, f"{tool} {args}: {run.stdout}{run.stderr}\n{text}"
    return load_module(name, path)


def test_a_module_from_a_file(tmp_path):
    xml = tmp_path / "tricky.xml"
    xml.write_text(TRICKY)
    run = codegen(str(xml))
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    module = checked_module(tmp_path, run.stdout, "tricky")
    assert "org.freedesktop.DBus.Properties" not in run.stdout
    cls, other = module.Tricky, module.Tricky2
    assert other.__dbus_interface_name__ == "org.varquin.Other.Tricky"
    (name, methods, props, signals) = cls.__dbus_interfaces__[0]
    assert name == "org.varquin.Test.Tricky"
    assert [m[:3] for m in methods] == [
        ("class", "sas", "b"),
        ("Long", "a{sa(sv)}a(sasbttttuii)", "xay"),
        ("Nothing", "", ""),
    ]
    assert [(p[0], p[1], p[3] is not None) for p in props] == [("import", "u", True), ("Label", "s", False)]
    assert signals == (("Moved", "ov"),)
    with pytest.raises(NotImplementedError):
        cls().class_("a", [])


@pytest.mark.parametrize(
    "args,reason",
    [
        (["/no/such/file.xml"], "No such file"),
        (["BADXML"], "not valid XML"),
        (["org.freedesktop.systemd1"], "give the object's path too"),
        (["org.varquin.Test.Nobody", "/"], "org.freedesktop.DBus.Error.ServiceUnknown"),
        (["--address", "unix:path=/nonexistent/socket", "org.varquin.Test.Nobody", "/"], "varquin codegen: "),
    ],
)
def test_failures_leave_stdout_empty(tmp_path, system_bus, args, reason):
    bad = tmp_path / "bad.xml"
    bad.write_text("<node><interface>")
    run = codegen(*[str(bad) if a == "BADXML" else a for a in args])
    assert (run.returncode, run.stdout) == (1, "")
    assert run.stderr.startswith("varquin codegen: ") and reason in run.stderr


class Original(varquin.Interface, name="org.varquin.Test.Generated"):
    def __init__(self):
        self._mode = "fast"

    @varquin.method("sa{sv}", "ao")
    def Start(self, name, options):
        return [f"/job/{name}"]

    @varquin.method("", "ub")
    def Pair(self):
        return (1, True)

    @varquin.property("s")
    def Mode(self):
        return self._mode

    @Mode.setter
    def Mode(self, value):
        self._mode = value

    Done = varquin.signal("uo")


def serving(obj, name):
    bus = varquin.Bus.system()
    bus.export(PATH, obj)
    bus.request_name(name)
    loop = threading.Thread(target=bus.serve)
    loop.start()
    return bus, loop


def stop(bus, loop):
    bus.stop()
    loop.join(10)
    assert not loop.is_alive()
    bus.close()


def test_a_served_class_round_trips(tmp_path, system_bus):
    original = serving(Original(), "org.varquin.Test.Generated")
    try:
        run = codegen("--address", system_bus.address, "org.varquin.Test.Generated", PATH)
        assert run.returncode == 0, run.stderr
    finally:
        stop(*original)
    module = checked_module(tmp_path, run.stdout, "generated")

    class Served(module.Generated):
        def Start(self, name, options):
            return [f"/served/{name}/{len(options)}"]

        def Pair(self):
            return (2, False)

        @varquin.property("s")
        def Mode(self):
            return "served"

        @Mode.setter
        def Mode(self, value):
            self.set_to = value

    obj = Served()
    served = serving(obj, "org.varquin.Test.Generated2")
    try:
        with varquin.Bus.system() as client:
            xml = client.call("org.varquin.Test.Generated2", PATH, "org.freedesktop.DBus.Introspectable", "Introspect")
            node = parse_introspection(xml[0])
            assert (
                node.by_name["org.varquin.Test.Generated"]
                == parse_introspection(_introspection_of(Original)).by_name["org.varquin.Test.Generated"]
            )
            typed = client.proxy("org.varquin.Test.Generated2", PATH, module.Generated)
            assert typed.Start("x", {"a": varquin.Variant("u", 1)}) == ["/served/x/1"]
            assert typed.Pair() == (2, False)
            typed.Mode = "slow"
            assert (typed.Mode, obj.set_to) == ("served", "slow")
    finally:
        stop(*served)


def _introspection_of(cls):
    bus, loop = serving(cls(), "org.varquin.Test.Generated3")
    try:
        with varquin.Bus.system() as client:
            return client.call(
                "org.varquin.Test.Generated3", PATH, "org.freedesktop.DBus.Introspectable", "Introspect"
            )[0]
    finally:
        stop(bus, loop)

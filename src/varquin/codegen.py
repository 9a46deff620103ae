"""Python modules from introspection: one varquin.Interface subclass per
interface, usable as a typed proxy (``bus.proxy(dest, path, Cls)``) and, with
its methods and properties overridden in a subclass, as a served class.

    python -m varquin codegen [--address ADDRESS] DESTINATION PATH
    python -m varquin codegen FILE.xml

The first introspects the live object (on the system bus, or the bus at
ADDRESS), the second reads introspection XML.  The module goes to stdout; a
failure exits with status 1 and its reason on stderr, nothing on stdout.
"""

from __future__ import annotations

import argparse
import json
import keyword
import os
import re
from collections.abc import Sequence
from typing import TextIO

from varquin import _core
from varquin.proxy import INTROSPECTABLE, Arg, InterfaceInfo, MethodInfo, Node, parse_introspection

__all__ = ["generate", "main", "parser", "python_type"]

LINE = 120
# The annotation of each type code, or of a container's prefix ("ay",
# "a{", "a", "("), from the native core's table of types.
_NAMES = {code: python for code, python, _ in _core.type_names()}


def python_type(signature: str) -> str:
    """The annotation of the Python value that one complete type arrives as:
    ``python_type("a{sv}") == "dict[str, typing.Any]"``.  ValueError for a
    signature that is not one complete type."""
    try:
        types = _core.split_signature(signature)
    except ValueError as e:
        raise ValueError(f"{_q(signature)} is not a valid signature: {e}") from None
    if len(types) != 1:
        raise ValueError(f"{_q(signature)} is not one complete type")
    return _annotation(types[0])


def _annotation(complete: str) -> str:
    """The annotation of one valid complete type."""
    named = _NAMES.get(complete)
    if named is not None:  # a basic type, a variant, bytes
        return named
    if complete.startswith("a{"):  # key, value, '}'
        return f"{_NAMES['a{']}[{_annotation(complete[2])}, {_annotation(complete[3:-1])}]"
    if complete[0] == "a":
        return f"{_NAMES['a']}[{_annotation(complete[1:])}]"
    return f"{_NAMES['(']}[{', '.join(map(_annotation, _core.split_signature(complete[1:-1])))}]"


def _q(text: str) -> str:
    """A string literal in double quotes, as the formatter writes them (names
    and signatures hold no quote or backslash)."""
    return json.dumps(text)


def _python_name(name: str) -> str:
    """A D-Bus name as an attribute: a keyword gets a trailing underscore."""
    return name + "_" if keyword.iskeyword(name) or keyword.issoftkeyword(name) else name


def _class_name(interface: str, taken: set[str]) -> str:
    last = interface.rsplit(".", 1)[-1]
    base = re.sub(r"\W", "_", last[:1].upper() + last[1:]) or "Interface"
    name, n = base, 2
    while name in taken or keyword.iskeyword(name):
        name, n = f"{base}{n}", n + 1
    taken.add(name)
    return name


def _parameters(args: Sequence[Arg]) -> list[str]:
    names: set[str] = {"self"}
    params = []
    for i, arg in enumerate(args):
        name = arg.name if arg.name and arg.name.isidentifier() else f"arg{i}"
        name = _python_name(name)
        while name in names:
            name += "_"
        names.add(name)
        params.append(f"{name}: {python_type(arg.signature)}")
    return params


def _result(args: Sequence[Arg]) -> str:
    if not args:
        return "None"
    if len(args) == 1:
        return python_type(args[0].signature)
    return f"tuple[{', '.join(python_type(a.signature) for a in args)}]"


def _def(name: str, params: list[str], result: str) -> list[str]:
    """A method's `def` line, split one parameter a line when it is too long
    (as the formatter lays it out)."""
    one = f"    def {name}({', '.join(['self', *params])}) -> {result}:"
    if len(one) <= LINE:
        return [one]
    return [f"    def {name}(", *(f"        {p}," for p in ["self", *params]), f"    ) -> {result}:"]


def _named(name: str) -> str:
    """The name= argument when the attribute differs from the D-Bus name."""
    return "" if _python_name(name) == name else f", name={_q(name)}"


def _method(m: MethodInfo) -> list[str]:
    attr = _python_name(m.name)
    return [
        f"    @varquin.method({_q(m.in_signature)}, {_q(m.out_signature)}{_named(m.name)})",
        *_def(attr, _parameters(m.inputs), _result(m.outputs)),
        "        raise NotImplementedError",
    ]


def _interface(info: InterfaceInfo, class_name: str) -> list[str]:
    body: list[list[str]] = []
    for m in info.methods:
        body.append(_method(m))
    for p in info.properties:
        attr, kind = _python_name(p.name), python_type(p.signature)
        lines = [
            f"    @varquin.property({_q(p.signature)}{_named(p.name)})",
            f"    def {attr}(self) -> {kind}:",
            "        raise NotImplementedError",
        ]
        if p.writable:
            # The checker takes the setter for a second definition of the name.
            lines += [
                "",
                f"    @{attr}.setter  # type: ignore[no-redef]",
                f"    def {attr}(self, value: {kind}) -> None:",
                "        raise NotImplementedError",
            ]
        body.append(lines)
    signals = [f"    {_python_name(s.name)} = varquin.signal({_q(s.signature)}{_named(s.name)})" for s in info.signals]
    if signals:
        body.append(signals)
    lines = [f"class {class_name}(varquin.Interface, name={_q(info.name)}):"]
    for i, block in enumerate(body):
        lines += [""] * (i > 0) + block
    if not body:
        lines.append("    pass")
    return lines


def generate(node: Node, source: str) -> str:
    """The Python module for the interfaces of `node`, leaving out the
    standard org.freedesktop.DBus.* ones; `source` says where the XML came
    from, in the module's docstring.  ValueError for a signature it cannot
    express.

        from varquin.proxy import parse_introspection
        text = generate(parse_introspection(xml), "org.example.Greeter /greeter")
    """
    taken: set[str] = {"typing", "varquin"}
    classes = [
        _interface(info, _class_name(info.name, taken))
        for info in node.interfaces
        if not info.name.startswith("org.freedesktop.DBus.")
    ]
    out = ['"""D-Bus interfaces, generated by python -m varquin codegen from', *source.split(), '"""', ""]
    at = len(out)
    out += ["import typing", "", "import varquin"]
    for lines in classes:
        out += ["", "", *lines]
    if not any("typing." in line for lines in classes for line in lines):
        out[at : at + 2] = []  # no annotation needs it
    return "\n".join(out) + "\n"


def parser() -> argparse.ArgumentParser:
    """The argument parser of the codegen command."""
    p = argparse.ArgumentParser(
        prog="python -m varquin codegen",
        description="Print a Python module with one varquin.Interface class per interface of an object.",
    )
    p.add_argument("--address", help="the D-Bus address of the bus (default: the system bus)")
    p.add_argument("source", metavar="DESTINATION|FILE.xml", help="a bus name, or a file of introspection XML")
    p.add_argument("path", nargs="?", help="the object path (with a DESTINATION)")
    return p


def _introspect(address: str | None, destination: str, path: str) -> str:
    from varquin.bus import Bus

    with Bus(address) if address else Bus.system() as bus:
        (xml,) = bus.call(destination, path, INTROSPECTABLE, "Introspect")
    return str(xml)


def main(argv: Sequence[str], stdout: TextIO, stderr: TextIO) -> int:
    """The codegen command: 0 with the module on stdout, or 1 with the reason
    on stderr.  A command line argparse rejects raises SystemExit(2) after
    argparse's own message on stderr."""
    args = parser().parse_args(argv)
    try:
        if args.path is None:
            if args.address:
                raise ValueError("--address needs a DESTINATION and PATH, not a file")
            if not os.path.exists(args.source) and "/" not in args.source and "." in args.source:
                raise ValueError(
                    f"{args.source} is taken for a bus name: give the object's path too (codegen DESTINATION PATH)"
                )
            with open(args.source, encoding="utf-8") as f:
                xml, source = f.read(), args.source
        else:
            xml, source = _introspect(args.address, args.source, args.path), f"{args.source} {args.path}"
        module = generate(parse_introspection(xml), source)
    except Exception as e:
        from varquin.errors import BusError

        reason = f"{e.name}: {e.message}" if isinstance(e, BusError) else str(e) or type(e).__name__
        stderr.write(f"varquin codegen: {reason}\n")
        return 1
    stdout.write(module)
    return 0

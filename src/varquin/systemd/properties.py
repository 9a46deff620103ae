"""The unit properties a transient run or ``set_properties`` takes as plain
Python values, and the command line of a run."""

from __future__ import annotations

import math
import random
import shlex
from collections.abc import Iterable, Mapping
from datetime import timedelta
from typing import Any

from varquin.systemd._names import name_list
from varquin.types import Variant

# What the manager reports for a counter it does not have (accounting off,
# no such controller), and takes for "no limit": the largest 64-bit value.
UNAVAILABLE = 2**64 - 1

#: The transient and runtime properties :meth:`Manager.run` and
#: :meth:`Manager.set_properties` take as plain Python values, with their
#: D-Bus types.  ``"t"`` values named ``...USec`` are microseconds (an int,
#: or a timedelta); other ``"t"`` values are sizes or counts (an int;
#: ``"infinity"`` or ``math.inf`` for no limit).  Any other property is
#: given as a ``varquin.Variant(signature, value)``::
#:
#:     m.run(["/usr/bin/backup"], properties={"User": "backup", "MemoryMax": 1 << 30,
#:           "RuntimeMaxUSec": timedelta(hours=2)})
PROPERTY_TYPES: Mapping[str, str] = {
    "Description": "s",
    "Environment": "as",
    "WorkingDirectory": "s",
    "User": "s",
    "Group": "s",
    "SupplementaryGroups": "as",
    "Nice": "i",
    "UMask": "u",
    "Type": "s",
    "RemainAfterExit": "b",
    "Restart": "s",
    "RestartUSec": "t",
    "TimeoutStartUSec": "t",
    "TimeoutStopUSec": "t",
    "RuntimeMaxUSec": "t",
    "KillMode": "s",
    "KillSignal": "i",
    "Slice": "s",
    "CPUAccounting": "b",
    "CPUQuotaPerSecUSec": "t",
    "CPUWeight": "t",
    "IOWeight": "t",
    "MemoryAccounting": "b",
    "MemoryHigh": "t",
    "MemoryMax": "t",
    "TasksAccounting": "b",
    "TasksMax": "t",
    "LimitNOFILE": "t",
    "StandardInput": "s",
    "StandardOutput": "s",
    "StandardError": "s",
    "SyslogIdentifier": "s",
    "PrivateTmp": "b",
    "NoNewPrivileges": "b",
    "DynamicUser": "b",
}


def property_value(name: str, value: Any) -> Variant:
    """The variant ``name`` is sent as (see PROPERTY_TYPES).  ValueError for
    a name outside the table whose value is not a Variant; TypeError for a
    bare str where a list of str is expected, and for a timedelta given for
    a property other than a time (``...USec``).  A list of str may be given
    as a mapping of its ``NAME=value`` items (``{"Environment": {"A": "1"}}``)."""
    if isinstance(value, Variant):
        return value
    signature = PROPERTY_TYPES.get(name)
    if signature is None:
        raise ValueError(f"property {name!r} is not in PROPERTY_TYPES: give its value as varquin.Variant(sig, value)")
    if signature == "as":
        if isinstance(value, Mapping):  # {"A": "1"} for Environment: its assignments, not its keys
            value = [f"{k}={v}" for k, v in value.items()]
        value = name_list(value, f"property {name}")
    elif signature == "t":
        if isinstance(value, timedelta):
            # Only a time is a timedelta: a size or a count given as one is a mistake.
            if not name.endswith("USec"):
                raise TypeError(f"property {name} is a size or a count (int), not a timedelta")
            value = value // timedelta(microseconds=1)
        elif value == "infinity" or (isinstance(value, float) and math.isinf(value) and value > 0):
            value = UNAVAILABLE
    return Variant(signature, value)


# StandardInput=, StandardOutput= and StandardError= as unit files and
# systemd-run write a file ("file:PATH", "append:PATH", "truncate:PATH"): the
# manager takes the path as a property of its own, by this suffix.
_STDIO_FILES = {"file": "File", "append": "FileToAppend", "truncate": "FileToTruncate"}


def unit_properties(properties: Mapping[str, Any]) -> list[tuple[str, Variant]]:
    """The ``(name, variant)`` pairs ``properties`` are sent as (see
    :func:`property_value`); a standard stream given as ``"file:PATH"``,
    ``"append:PATH"`` or ``"truncate:PATH"`` becomes the manager's
    ``StandardOutputFile``, ``...FileToAppend`` or ``...FileToTruncate``
    (``StandardInputFile`` for input)."""
    out = []
    for name, value in properties.items():
        if name in ("StandardInput", "StandardOutput", "StandardError") and isinstance(value, str):
            kind, colon, path = value.partition(":")
            suffix = _STDIO_FILES.get(kind) if colon else None
            if suffix is not None and (name != "StandardInput" or kind == "file"):
                out.append((name + suffix, Variant("s", path)))
                continue
        out.append((name, property_value(name, value)))
    return out


def exec_start(args: list[str]) -> list[tuple[str, list[str], bool]]:
    """ExecStart for ``args``, passed verbatim: the manager expands ``$VAR``
    and turns ``$$`` into ``$`` in a command's arguments, so each ``$`` is
    doubled."""
    if not args or not args[0].startswith("/"):
        raise ValueError(f"argv must start with an absolute path, not {args[0] if args else 'nothing'!r}")
    return [(args[0], [a.replace("$", "$$") for a in args], False)]


def run_name(name: str | None) -> str:
    """The unit of a run: ``name`` (``.service`` added when it has no suffix)
    or a new ``run-u<N>.service``."""
    if name is None:
        return f"run-u{random.getrandbits(32)}.service"
    return name if "." in name else name + ".service"


def run_properties(
    argv: Iterable[str], properties: Mapping[str, Any] | None, collect: bool
) -> list[tuple[str, Variant]]:
    """The transient unit's properties: the command, the reference that keeps
    the unit until its results are read, and the caller's."""
    args = name_list(argv, "argv")
    command = exec_start(args)
    given = dict(properties or {})
    given.setdefault("Description", shlex.join(args))
    props = unit_properties(given)
    props.append(("ExecStart", Variant("a(sasb)", command)))
    props.append(("AddRef", Variant("b", True)))
    if collect:
        props.append(("CollectMode", Variant("s", "inactive-or-failed")))
    return props

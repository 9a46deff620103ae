"""Unit names and property values as systemctl and systemd-run take them on
the command line: ``web`` is ``web.service``, ``'web*'`` a pattern over the
loaded units, ``MemoryMax=256M`` and ``RuntimeMaxSec=5s`` property values."""

from __future__ import annotations

import fnmatch
import shlex
from collections.abc import Iterable, Mapping
from typing import Any

from varquin.systemd import PROPERTY_TYPES, Manager
from varquin.systemd._names import UNIT_TYPES, is_glob, unit_name
from varquin.systemd.properties import percent, property_name, size, time_span, value_from_text

__all__ = ["UNIT_TYPES", "expand", "is_glob", "run_properties", "size", "time_span", "unit_name"]


def expand(manager: Manager, names: Iterable[str]) -> list[str]:
    """The units ``names`` stand for on this manager: each name completed by
    :func:`unit_name`, each pattern replaced by the loaded units it matches
    (in name order; none when nothing matches), no unit twice."""
    mangled = [unit_name(n) for n in names]
    patterns = [n for n in mangled if is_glob(n)]
    matches = sorted(u.name for u in manager.list_units(patterns=patterns)) if patterns else []
    out: list[str] = []
    for name in mangled:
        found = [m for m in matches if fnmatch.fnmatchcase(m, name)] if is_glob(name) else [name]
        out.extend(f for f in found if f not in out)
    return out


def run_property(assignment: str, into: dict[str, Any]) -> None:
    """Adds one ``-p NAME=VALUE`` of systemd-run to ``into`` (D-Bus name ->
    Python value, as Manager.run's ``properties`` take them).  Environment=
    values add up over several -p; others replace.  ValueError for a name
    outside the table of plain properties, or a value it cannot read."""
    name, eq, text = assignment.partition("=")
    if not eq or not name:
        raise ValueError(f"a property is NAME=VALUE, not {assignment!r}")
    if name == "CPUQuota":
        into["CPUQuotaPerSecUSec"] = percent(text)
        return
    key = property_name(name)
    signature = PROPERTY_TYPES.get(key)
    if signature is None:
        raise ValueError(f"unknown property {name!r}: -p takes {', '.join(sorted(PROPERTY_TYPES))}")
    value: Any
    if signature == "as":
        value = [*into.get(key, []), *shlex.split(text)]
    elif signature in ("b", "t"):
        value = value_from_text(key, signature, text)
    elif signature in ("i", "u"):
        value = int(text, 8 if key == "UMask" else 10)
    else:
        value = text
    into[key] = value


def run_properties(assignments: Iterable[str]) -> Mapping[str, Any]:
    """Every ``-p NAME=VALUE`` of a run, read by :func:`run_property`."""
    out: dict[str, Any] = {}
    for a in assignments:
        run_property(a, out)
    return out

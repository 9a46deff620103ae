"""Unit names and property values as systemctl and systemd-run take them on
the command line: ``web`` is ``web.service``, ``'web*'`` a pattern over the
loaded units, ``MemoryMax=256M`` and ``RuntimeMaxSec=5s`` property values."""

from __future__ import annotations

import fnmatch
import re
import shlex
from collections.abc import Iterable, Mapping
from typing import Any

from varquin.systemd import PROPERTY_TYPES, Manager

# The suffixes of systemd's unit types; a name ending otherwise gets ".service".
UNIT_TYPES = frozenset(
    ("service", "socket", "target", "device", "mount", "automount", "swap", "timer", "path", "slice", "scope")
)
_GLOB = frozenset("*?[")

# Size suffixes (powers of 1024, as systemd's unit files read them).
_SIZES = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40, "P": 1 << 50, "E": 1 << 60}
# Time units in µs, as systemd's time spans spell them.
_TIMES = {
    "us": 1,
    "usec": 1,
    "µs": 1,
    "ms": 1000,
    "msec": 1000,
    "s": 10**6,
    "sec": 10**6,
    "second": 10**6,
    "seconds": 10**6,
    "m": 60 * 10**6,
    "min": 60 * 10**6,
    "minute": 60 * 10**6,
    "minutes": 60 * 10**6,
    "h": 3600 * 10**6,
    "hr": 3600 * 10**6,
    "hour": 3600 * 10**6,
    "hours": 3600 * 10**6,
    "d": 86400 * 10**6,
    "day": 86400 * 10**6,
    "days": 86400 * 10**6,
    "w": 7 * 86400 * 10**6,
    "week": 7 * 86400 * 10**6,
    "weeks": 7 * 86400 * 10**6,
}
_TIME_PART = re.compile(r"\s*(\d+(?:\.\d+)?)\s*([a-zµ]*)")
_SIZE = re.compile(r"(\d+(?:\.\d+)?)\s*([KMGTPE]?)B?")
_TRUE = frozenset(("1", "yes", "y", "true", "t", "on"))
_FALSE = frozenset(("0", "no", "n", "false", "f", "off"))

# Unit-file spellings whose D-Bus property has another name.
_ALIASES = {"CPUQuota": "CPUQuotaPerSecUSec", "LimitNOFILESoft": "LimitNOFILE"}


def is_glob(name: str) -> bool:
    """True for a name with a shell pattern character (``*``, ``?``, ``[``)."""
    return not _GLOB.isdisjoint(name)


def unit_name(name: str) -> str:
    """``name`` as systemctl reads it: ``.service`` is added unless it ends in
    a unit type's suffix; a pattern is left as it is."""
    if is_glob(name):
        return name
    if "." in name and name.rpartition(".")[2] in UNIT_TYPES:
        return name
    return name + ".service"


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


def size(text: str) -> int:
    """A size as systemd reads one: ``512``, ``256M``, ``1.5G`` (powers of
    1024); ``infinity`` is no limit.  ValueError otherwise."""
    if text == "infinity":
        return 2**64 - 1
    m = _SIZE.fullmatch(text.strip())
    if m is None:
        raise ValueError(f"not a size: {text!r} (such as 512, 256M, 2G or infinity)")
    return int(float(m.group(1)) * _SIZES[m.group(2)])


def time_span(text: str, default_unit: str = "s") -> int:
    """A time span in µs as systemd reads one: ``5s``, ``500ms``, ``1min 30s``,
    a bare number in ``default_unit``; ``infinity`` is no limit.  ValueError
    otherwise."""
    if text.strip() == "infinity":
        return 2**64 - 1
    total, at = 0, 0
    text = text.strip()
    if not text:
        raise ValueError("an empty time span")
    while at < len(text):
        m = _TIME_PART.match(text, at)
        if m is None or m.end() == at or (m.group(2) or default_unit) not in _TIMES:
            raise ValueError(f"not a time span: {text!r} (such as 5s, 500ms, 1min 30s or infinity)")
        total += int(float(m.group(1)) * _TIMES[m.group(2) or default_unit])
        at = m.end()
        while at < len(text) and text[at].isspace():
            at += 1
    return total


def boolean(text: str) -> bool:
    """yes/no, true/false, on/off, 1/0 as systemd reads them."""
    if text.lower() in _TRUE:
        return True
    if text.lower() in _FALSE:
        return False
    raise ValueError(f"not a boolean: {text!r} (yes or no)")


def _percent(text: str) -> int:
    """CPUQuota=50% as µs of CPU time per second."""
    if not text.endswith("%"):
        raise ValueError(f"CPUQuota takes a percentage such as 50%, not {text!r}")
    return int(float(text[:-1]) * 10**4)


def property_name(name: str) -> str:
    """The D-Bus property of a unit-file setting: ``RuntimeMaxSec`` is
    ``RuntimeMaxUSec``, ``CPUQuota`` is ``CPUQuotaPerSecUSec``; D-Bus names
    stay as they are."""
    if name in _ALIASES:
        return _ALIASES[name]
    if name.endswith("Sec") and not name.endswith("USec"):
        return name[: -len("Sec")] + "USec"
    return name


def run_property(assignment: str, into: dict[str, Any]) -> None:
    """Adds one ``-p NAME=VALUE`` of systemd-run to ``into`` (D-Bus name ->
    Python value, as Manager.run's ``properties`` take them).  Environment=
    values add up over several -p; others replace.  ValueError for a name
    outside the table of plain properties, or a value it cannot read."""
    name, eq, text = assignment.partition("=")
    if not eq or not name:
        raise ValueError(f"a property is NAME=VALUE, not {assignment!r}")
    if name == "CPUQuota":
        into["CPUQuotaPerSecUSec"] = _percent(text)
        return
    key = property_name(name)
    signature = PROPERTY_TYPES.get(key)
    if signature is None:
        raise ValueError(f"unknown property {name!r}: -p takes {', '.join(sorted(PROPERTY_TYPES))}")
    value: Any
    if signature == "as":
        value = [*into.get(key, []), *shlex.split(text)]
    elif signature == "b":
        value = boolean(text)
    elif signature in ("i", "u"):
        value = int(text, 8 if key == "UMask" else 10)
    elif signature == "t" and key.endswith("USec"):
        value = time_span(text)
    elif signature == "t":
        value = size(text) if key.startswith("Memory") or key.startswith("Limit") else _count(text)
    else:
        value = text
    into[key] = value


def _count(text: str) -> int:
    return 2**64 - 1 if text == "infinity" else int(text)


def run_properties(assignments: Iterable[str]) -> Mapping[str, Any]:
    """Every ``-p NAME=VALUE`` of a run, read by :func:`run_property`."""
    out: dict[str, Any] = {}
    for a in assignments:
        run_property(a, out)
    return out

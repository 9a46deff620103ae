"""The unit properties a transient run or ``set_properties`` takes as plain
Python values, and the command line of a run."""

from __future__ import annotations

import errno
import math
import os
import random
import re
import shlex
from collections.abc import Iterable, Mapping
from datetime import timedelta
from typing import Any

from varquin.systemd._names import name_list, unit_name
from varquin.types import Variant

# What the manager reports for a counter it does not have (accounting off,
# no such controller), and takes for "no limit": the largest 64-bit value.
UNAVAILABLE = 2**64 - 1

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


def size(text: str) -> int:
    """A size as systemd reads one: ``512``, ``256M``, ``1.5G`` (powers of
    1024); ``infinity`` is no limit.  ValueError otherwise."""
    if text == "infinity":
        return UNAVAILABLE
    m = _SIZE.fullmatch(text.strip())
    if m is None:
        raise ValueError(f"not a size: {text!r} (such as 512, 256M, 2G or infinity)")
    return int(float(m.group(1)) * _SIZES[m.group(2)])


def time_span(text: str, default_unit: str = "s") -> int:
    """A time span in µs as systemd reads one: ``5s``, ``500ms``, ``1min 30s``,
    a bare number in ``default_unit``; ``infinity`` is no limit.  ValueError
    otherwise."""
    if text.strip() == "infinity":
        return UNAVAILABLE
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


def percent(text: str) -> int:
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


def count(text: str) -> int:
    """A count as systemd reads one; ``infinity`` is no limit."""
    return UNAVAILABLE if text == "infinity" else int(text)


def _expected(name: str, signature: str) -> str:
    """What a plain value of the property ``name`` may be, for its TypeError."""
    if signature == "t" and name.endswith("USec"):
        return 'microseconds (an int), a timedelta or a time span such as "5s"'
    if signature == "t" and (name.startswith("Memory") or name.startswith("Limit")):
        return 'an unsigned 64-bit integer or a size such as "256M"'
    if signature == "t":
        return 'an unsigned 64-bit integer or "infinity"'
    return {"b": "a bool", "i": "an int", "u": "an int", "s": "a str", "as": "a list of str"}[signature]


def value_from_text(name: str, signature: str, text: str) -> Any:
    """A property's value written as systemd-run writes it (``256M``,
    ``5s``, ``yes``); ValueError naming the property when it is not one."""
    try:
        if signature == "t" and name.endswith("USec"):
            return time_span(text)
        if signature == "t" and (name.startswith("Memory") or name.startswith("Limit")):
            return size(text)
        if signature == "t":
            return count(text)
        return boolean(text)
    except ValueError as e:
        raise ValueError(f"{name}: {e}") from None


def property_value(name: str, value: Any) -> Variant:
    """The variant ``name`` is sent as (see PROPERTY_TYPES).  A size, time or
    count may also be written as systemd-run writes it (``"256M"``,
    ``"5s"``, ``"infinity"``), a boolean as ``"yes"``/``"no"``.  A list of
    str may be given as a mapping of its ``NAME=value`` items
    (``{"Environment": {"A": "1"}}``).

    Raises ValueError for a name outside the table whose value is not a
    Variant, and for a text that is not such a value; TypeError, naming the
    property and what it takes, for a value of another type (a bare str
    where a list of str is expected, a timedelta for a size)."""
    if isinstance(value, Variant):
        return value
    signature = PROPERTY_TYPES.get(name)
    if signature is None:
        raise ValueError(f"property {name!r} is not in PROPERTY_TYPES: give its value as varquin.Variant(sig, value)")
    if signature == "as":
        if isinstance(value, Mapping):  # {"A": "1"} for Environment: its assignments, not its keys
            value = [f"{k}={v}" for k, v in value.items()]
        value = name_list(value, f"property {name}")
    elif signature == "t" and isinstance(value, timedelta) and name.endswith("USec"):
        value = value // timedelta(microseconds=1)
    elif signature == "t" and isinstance(value, float) and math.isinf(value) and value > 0:
        value = UNAVAILABLE
    elif signature in ("t", "b") and isinstance(value, str):
        value = value_from_text(name, signature, value)
    elif not isinstance(value, {"t": int, "i": int, "u": int, "b": bool, "s": str}[signature]) or (
        signature in "tiu" and isinstance(value, bool)
    ):
        raise TypeError(f"{name}: expected {_expected(name, signature)}, not {type(value).__name__}")
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
    if not args:
        raise ValueError("argv is empty: it needs at least the command to run")
    if not args[0].startswith("/"):
        raise ValueError(f"argv must start with an absolute path, not {args[0]!r}")
    return [(args[0], [a.replace("$", "$$") for a in args], False)]


# The search path systemd-run uses when PATH is not set.
_DEFAULT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"


def find_executable(name: str, root: str | None = None) -> str:
    """The absolute path of the command ``name`` as systemd-run finds it: an
    absolute path that is there, a name with a ``/`` from the current
    folder, any other on PATH.  With ``root`` (the folder where the managed
    machine is installed) the command is looked for there and its path is
    the one that machine sees.  FileNotFoundError ("Failed to find
    executable") when there is none."""

    def runnable(path: str) -> bool:
        inside = path if root is None else os.path.join(root, path.lstrip("/"))
        return os.path.isfile(inside) and os.access(inside, os.X_OK)

    if name.startswith("/"):
        if runnable(name):
            return name
    elif "/" in name:
        found = os.path.abspath(name)
        if root is None and runnable(found):
            return found
    else:
        for folder in os.environ.get("PATH", _DEFAULT_PATH).split(":"):
            if folder.startswith("/") and runnable(candidate := os.path.join(folder, name)):
                return os.path.normpath(candidate)
    raise FileNotFoundError(errno.ENOENT, "Failed to find executable", name)


def run_name(name: str | None) -> str:
    """The unit of a run: ``name`` (``.service`` added when it has no suffix)
    or a new ``run-u<N>.service``."""
    if name is None:
        return f"run-u{random.getrandbits(32)}.service"
    return unit_name(name)


def run_properties(
    argv: Iterable[str], properties: Mapping[str, Any] | None, collect: bool, tracked: bool = True
) -> list[tuple[str, Variant]]:
    """The transient unit's properties: the command, what keeps the unit
    until its results are read, and the caller's.  On a bus (``tracked``)
    that is the manager's reference held for this connection (AddRef); the
    manager tracks a reference by the holder's bus name, so on a connection
    to the manager alone (no bus, no names) the service stays after its
    process instead (RemainAfterExit), and is stopped once read (a failed
    one is reset then, when it is to be collected)."""
    args = name_list(argv, "argv")
    command = exec_start(args)
    given = dict(properties or {})
    given.setdefault("Description", shlex.join(args))
    if not tracked:
        given.setdefault("RemainAfterExit", True)
    props = unit_properties(given)
    props.append(("ExecStart", Variant("a(sasb)", command)))
    if tracked:
        props.append(("AddRef", Variant("b", True)))
    if collect and tracked:  # untracked, a failed unit would go before it is read
        props.append(("CollectMode", Variant("s", "inactive-or-failed")))
    return props

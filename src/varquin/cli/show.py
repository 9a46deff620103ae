"""Property values as ``systemctl show`` prints them: ``NAME=VALUE`` lines,
one block per unit, blocks apart by an empty line."""

from __future__ import annotations

import signal
import time
from collections.abc import Sequence
from typing import Any

from varquin.cli.report import Row

# What uint64 properties read when they are not set or have no limit.
UNSET = 2**64 - 1
# Names whose unset value is a limit that is not there ("infinity") rather
# than a value nobody has ("[not set]").
_LIMIT_ENDINGS = ("Max", "High", "Low", "Min", "Limit", "Soft")

# Units of time spans, largest first, in µs (as systemd spells them).
_SPANS = (
    ("y", 31_557_600 * 10**6),
    ("month", 2_629_800 * 10**6),
    ("w", 7 * 86400 * 10**6),
    ("d", 86400 * 10**6),
    ("h", 3600 * 10**6),
    ("min", 60 * 10**6),
    ("s", 10**6),
    ("ms", 1000),
    ("us", 1),
)
# How a process ended (the CLD_* codes of waitid()).
_CODES = {1: "exited", 2: "killed", 3: "dumped", 4: "trapped", 5: "stopped", 6: "continued"}


def time_span(usec: int) -> str:
    """``90_000_000`` as ``1min 30s``; 0 as ``0``."""
    if usec == 0:
        return "0"
    parts = []
    for suffix, size in _SPANS:
        if usec >= size:
            parts.append(f"{usec // size}{suffix}")
            usec %= size
    return " ".join(parts)


def timestamp(usec: int) -> str:
    """µs since the epoch in this machine's time zone (``Wed 2026-12-09
    10:52:40 UTC``); empty for 0."""
    if usec == 0:
        return ""
    return time.strftime("%a %Y-%m-%d %H:%M:%S %Z", time.localtime(usec // 10**6))


def _exec_status(code: int, status: int) -> str:
    if code in (2, 3):
        try:
            return f"{status}/{signal.Signals(status).name.removeprefix('SIG')}"
        except ValueError:
            pass
    return f"{status}/{status}"


def exec_command(entry: Sequence[Any]) -> str:
    """One of ExecStart's (path, argv, ignore, start, start monotonic, exit,
    exit monotonic, pid, code, status) entries, in braces."""
    path, argv, ignore, started, _, stopped, _, pid, code, status = entry
    start = f"[{timestamp(started)}]" if started else "[n/a]"
    stop = f"[{timestamp(stopped)}]" if stopped else "[n/a]"
    return (
        f"{{ path={path} ; argv[]={' '.join(argv)} ; ignore_errors={'yes' if ignore else 'no'} ; "
        f"start_time={start} ; stop_time={stop} ; pid={pid} ; code={_CODES.get(code, '(null)')} ; "
        f"status={_exec_status(code, status)} }}"
    )


def value_text(name: str, value: Any) -> str:
    """One property's value as systemctl show prints it."""
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        if name.endswith("Timestamp"):
            return timestamp(value)
        if name.endswith(("USec", "NSec")):
            if value == UNSET:
                return "infinity"
            return time_span(value // 1000 if name.endswith("NSec") else value)
        if value == UNSET:
            return "infinity" if name.endswith(_LIMIT_ENDINGS) or name.startswith("Limit") else "[not set]"
        return str(value)
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return " ".join(value_text(name, v) for v in value)
    return str(value)


def property_lines(name: str, value: Any) -> list[tuple[str, str]]:
    """(name, text) of a property: one per command of an Exec* list, else one."""
    if (
        name.startswith("Exec")
        and isinstance(value, list)
        and all(isinstance(v, tuple) and len(v) == 10 for v in value)
    ):
        return [(name, exec_command(v)) for v in value] if value else [(name, "")]
    return [(name, value_text(name, value))]


def shown(text: str) -> bool:
    """Whether a value is worth a line when neither -p nor --all asked for
    every one: empty and unset values are left out."""
    return text not in ("", "[not set]")


def render(rows: Sequence[Row], values_only: bool, several_hosts: bool) -> str:
    """The rows of show (one per host, unit and property line) as systemctl
    prints them: ``NAME=VALUE`` (the value alone with ``values_only``), an
    empty line between units, and each host's units under a ``-- HOST``
    line when there are several hosts."""
    out: list[str] = []
    last: tuple[str, str] | None = None
    for row in rows:
        if row.error is not None:
            continue
        if last is None or row.host != last[0]:
            if several_hosts:
                out.extend([""] if out else [])
                out.append(f"-- {row.host}")
        elif row.unit != last[1]:
            out.append("")
        last = (row.host, row.unit)
        name, text = row.fields["property"], row.fields["value"]
        out.append(text if values_only else f"{name}={text}")
    return "\n".join(out)

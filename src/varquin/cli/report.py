"""What the command line prints: a table (or JSON) of rows on stdout, the
failures and the progress of hosts on stderr."""

from __future__ import annotations

import json
import threading
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from varquin import fleet
from varquin.errors import BusError
from varquin.systemd import Change


@dataclass
class Row:
    """One line of output: a unit (or a unit file, a property) on one host,
    its fields by column, and the failure that replaced them."""

    host: str
    unit: str
    fields: dict[str, Any] = field(default_factory=dict)
    error: BaseException | None = None
    ok: bool = True


@dataclass
class Outcome:
    """What a verb did on one host: its rows, the exit status systemctl of
    that host's version would give, and lines for stderr (failures named as
    systemctl names them)."""

    rows: list[Row] = field(default_factory=list)
    status: int = 0
    messages: list[str] = field(default_factory=list)
    version: int | None = None


def message(e: BaseException) -> str:
    """The text of a failure: the bus's own, or the exception's."""
    if isinstance(e, BusError):
        return e.message
    return e.strerror if isinstance(e, OSError) and e.strerror else str(e)


def describe(e: BaseException) -> str:
    """A failure in one line: the error name or the exception's class, then its text."""
    what = e.name if isinstance(e, BusError) else type(e).__name__
    return f"{what}: {message(e)}" if message(e) else what


def cell(value: Any) -> str:
    """A field as a table shows it."""
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, list) and value and isinstance(value[0], Change):
        return "; ".join(f"{c.type} {c.path}" + (f" -> {c.source}" if c.source else "") for c in value)
    if isinstance(value, list):
        return " ".join(cell(v) for v in value) if value else "no change" if value == [] else ""
    return str(value)


def plain(value: Any) -> Any:
    """A field as JSON holds it."""
    if isinstance(value, Change):
        return value._asdict()
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, bytes):
        return value.hex()
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)


def as_json(rows: Sequence[Row], columns: Sequence[str]) -> str:
    """The rows as a JSON array: per row its host, unit, ``ok``, each of
    `columns` (None where a failure left it empty) and ``error`` (None, or
    its type, D-Bus error name and text)."""
    out = []
    for row in rows:
        item: dict[str, Any] = {"host": row.host, "unit": row.unit, "ok": row.ok and row.error is None}
        for col in columns:
            item[col] = plain(row.fields.get(col))
        e = row.error
        item["error"] = (
            None
            if e is None
            else {"type": type(e).__name__, "name": e.name if isinstance(e, BusError) else None, "message": message(e)}
        )
        out.append(item)
    return json.dumps(out, indent=2)


def as_table(rows: Sequence[Row], columns: Sequence[str]) -> str:
    """Aligned columns under a header, ``-`` for a field a failure left
    empty, and an ERROR column when any row failed."""
    names = ["host", "unit", *columns]
    failed = any(r.error is not None for r in rows)
    if failed:
        names.append("error")
    lines = [[c.upper() for c in names]]
    for row in rows:
        cells = [row.host, row.unit, *(cell(row.fields.get(c)) for c in columns)]
        if failed:
            cells.append(describe(row.error) if row.error is not None else "")
        lines.append(cells)
    widths = [max(len(line[i]) for line in lines) for i in range(len(names))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(line, widths, strict=True)).rstrip() for line in lines)


class Progress:
    """Hosts as they answer, on stderr: a bar rewritten in place on a
    terminal, one line per host otherwise.  A host that could not be reached
    (or failed before its verb ran) is counted and named as failed, never as
    answered.  Silent for a single host."""

    WIDTH = 30

    def __init__(self, keys: Sequence[str], stream: TextIO) -> None:
        self.pending = list(keys)
        self.total = len(keys)
        self.failed = 0
        self.stream = stream
        self.tty = stream.isatty()
        self.active = self.total > 1
        self.lock = threading.Lock()  # hosts answer from their own threads
        if self.active and self.tty:
            self._bar()

    def _bar(self) -> None:
        done = self.total - len(self.pending)
        filled = self.WIDTH * done // self.total
        text = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {done}/{self.total} hosts"
        if self.failed:
            text += f", {self.failed} failed"
        if self.pending:
            text += f"; waiting for {', '.join(self.pending[:3])}" + (", ..." if len(self.pending) > 3 else "")
        self.stream.write(f"\r\x1b[K{text}")
        self.stream.flush()

    def answered(self, key: str, result: fleet.Result[Outcome]) -> None:
        """Counts ``key``'s result (fleet.run's progress callback)."""
        if not self.active:
            return
        with self.lock:
            if key in self.pending:
                self.pending.remove(key)
            done = self.total - len(self.pending)
            if result.error is not None:
                self.failed += 1
            if self.tty:
                self._bar()
            elif result.error is not None:
                self.stream.write(f"varquin: {key} failed: {describe(result.error)} ({done}/{self.total})\n")
            else:
                self.stream.write(f"varquin: {key} answered ({done}/{self.total})\n")
            self.stream.flush()

    def end(self) -> None:
        """Clears the bar from the terminal, so that what follows starts on a clean line."""
        if self.active and self.tty:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

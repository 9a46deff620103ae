"""The command line: systemctl's common verbs on one host or many.

    python -m varquin [-H HOST[,HOST...]] status|start|stop|restart|reload|enable|disable|mask|unmask
                      UNIT... [--wait] [--timeout S] [--json]

One table row per host and unit; with --json, stdout holds only the rows as
JSON.  While several hosts answer, a progress line goes to stderr, and every
failure is named there too.  The exit status is systemctl's: 0 when every
host and unit succeeded, 1 for any failure, and for status the first of 3
(a unit not active) or 4 (a unit that does not exist).
"""

from __future__ import annotations

import argparse
import json
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from varquin import fleet
from varquin.bus import Bus
from varquin.errors import BusError
from varquin.systemd import Change, Job, Manager

JOBS = {"start": Manager.start, "stop": Manager.stop, "restart": Manager.restart, "reload": Manager.reload}
FILES = {"enable": Manager.enable, "disable": Manager.disable, "mask": Manager.mask, "unmask": Manager.unmask}
COMMANDS = ("status", *JOBS, *FILES)
COLUMNS = {
    "status": ("load", "active", "sub", "description"),
    **{c: ("job", "result") for c in JOBS},
    **{c: ("changes",) for c in FILES},
}
# Job results systemctl counts as success.
GOOD_RESULTS = ("done", "skipped")
# systemctl's exit statuses for status: a unit not active, a unit not found.
NOT_RUNNING, UNKNOWN = 3, 4
LOCAL = "local"


@dataclass
class Row:
    """One unit on one host: the command's fields, or the failure."""

    host: str
    unit: str
    fields: dict[str, Any] = field(default_factory=dict)
    error: BaseException | None = None
    job: Job | None = None  # the job queued for this row, to wait for

    def status(self, command: str) -> int:
        if self.error is not None:
            return 1
        if command == "status":
            if self.fields["load"] == "not-found":
                return UNKNOWN
            if self.fields["active"] not in ("active", "reloading"):
                return NOT_RUNNING
        if command in JOBS and self.fields["result"] not in (None, *GOOD_RESULTS):
            return 1
        return 0


def message(e: BaseException) -> str:
    """The text of a failure: the bus's own, or the exception's."""
    if isinstance(e, BusError):
        return e.message
    return e.strerror if isinstance(e, OSError) and e.strerror else str(e)


def describe(e: BaseException) -> str:
    """A failure in one line: the error name or the exception's class, then its text."""
    what = e.name if isinstance(e, BusError) else type(e).__name__
    return f"{what}: {message(e)}" if message(e) else what


def show_changes(changes: list[Change]) -> str:
    if not changes:
        return "no change"
    return "; ".join(f"{c.type} {c.path}" + (f" -> {c.source}" if c.source else "") for c in changes)


def per_host(command: str, units: Sequence[str], wait: bool, deadline: float | None) -> Callable[[Manager], list[Row]]:
    """What runs against each host's manager: one row per unit."""

    def left() -> float | None:
        return None if deadline is None else max(0.0, deadline - time.monotonic())

    def status(m: Manager, row: Row) -> None:
        p = m.unit(row.unit).properties()
        row.fields = {
            "load": p["LoadState"],
            "active": p["ActiveState"],
            "sub": p["SubState"],
            "description": p["Description"],
        }

    def unit_files(m: Manager, row: Row) -> None:
        row.fields = {"changes": FILES[command](m, row.unit)}

    def queue(m: Manager, row: Row) -> None:
        row.job = JOBS[command](m, row.unit)
        row.fields = {"job": row.job.path, "result": None}

    def wait_for(m: Manager, row: Row) -> None:
        if row.job is not None:
            row.fields["result"] = row.job.wait(left())

    steps: list[Callable[[Manager, Row], None]]
    if command == "status":
        steps = [status]
    elif command in FILES:
        steps = [unit_files]
    else:
        # Every job is queued first, then waited for: they run together.
        steps = [queue, wait_for] if wait else [queue]

    def rows(m: Manager) -> list[Row]:
        out = [Row("", u) for u in units]
        for step in steps:
            for row in out:
                if row.error is None:
                    try:
                        step(m, row)
                    except Exception as e:  # noqa: BLE001  (each unit's failure is its row's)
                        row.error = e
        return out

    return rows


def split_hosts(value: str) -> list[str]:
    """The hosts of one -H value.  Commas separate hosts, and also the keys
    of a D-Bus address (``unix:path=/x,guid=...``): a piece that holds ``=``
    without starting an address continues the address before it."""
    hosts: list[str] = []
    for piece in value.split(","):
        if hosts and "=" in piece and not fleet.is_address(piece) and fleet.is_address(hosts[-1]):
            hosts[-1] += "," + piece
        elif piece:
            hosts.append(piece)
    return hosts


def host_openers(values: Sequence[str]) -> dict[str, fleet.Opener]:
    if not values:
        return {LOCAL: lambda timeout: (Bus.system(timeout=timeout), True)}
    openers: dict[str, fleet.Opener] = {}
    for value in values:
        for host in split_hosts(value):
            key, o = fleet.opener(host)
            openers.setdefault(key, o)
    return openers


class Progress:
    """The line on stderr while hosts answer: rewritten in place on a
    terminal, one line per host otherwise.  Silent for a single host."""

    def __init__(self, keys: Sequence[str], stream: TextIO) -> None:
        self.pending = list(keys)
        self.total = len(keys)
        self.stream = stream
        self.tty = stream.isatty()
        self.active = self.total > 1
        self.lock = threading.Lock()  # hosts answer from their own threads
        self.show("")

    def show(self, last: str) -> None:
        if not self.active:
            return
        done = self.total - len(self.pending)
        text = f"varquin: {done}/{self.total} hosts answered"
        if self.pending:
            text += f", waiting for {', '.join(self.pending[:3])}" + (", ..." if len(self.pending) > 3 else "")
        if self.tty:
            self.stream.write(f"\r\x1b[K{text}")
        elif last:
            self.stream.write(f"varquin: {last} answered ({done}/{self.total})\n")
        self.stream.flush()

    def answered(self, key: str, result: fleet.Result[list[Row]]) -> None:
        with self.lock:
            if key in self.pending:
                self.pending.remove(key)
            self.show(key)

    def end(self) -> None:
        if self.active and self.tty:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def collect(command: str, units: Sequence[str], results: dict[str, fleet.Result[list[Row]]]) -> list[Row]:
    rows: list[Row] = []
    for host, r in results.items():
        if r.error is not None or r.value is None:
            rows.extend(Row(host, u, error=r.error) for u in units)
            continue
        for row in r.value:
            row.host = host
            rows.append(row)
    return rows


def as_json(rows: list[Row], command: str) -> str:
    out = []
    for row in rows:
        item: dict[str, Any] = {"host": row.host, "unit": row.unit, "ok": row.status(command) == 0}
        for col in COLUMNS[command]:
            value = row.fields.get(col)
            if col == "changes" and value is not None:
                value = [c._asdict() for c in value]
            item[col] = value
        e = row.error
        item["error"] = (
            None
            if e is None
            else {
                "type": type(e).__name__,
                "name": e.name if isinstance(e, BusError) else None,
                "message": message(e),
            }
        )
        out.append(item)
    return json.dumps(out, indent=2)


def as_table(rows: list[Row], command: str, waited: bool) -> str:
    columns = ["host", "unit", *COLUMNS[command]]
    failed = any(r.error is not None for r in rows)
    if failed:
        columns.append("error")
    lines = [[c.upper() for c in columns]]
    for row in rows:
        cells = [row.host, row.unit]
        for col in COLUMNS[command]:
            value = row.fields.get(col)
            if row.error is not None and value is None:
                cells.append("-")
            elif col == "changes":
                cells.append(show_changes(value or []))
            elif col == "result" and value is None:
                cells.append("queued" if not waited else "-")
            else:
                cells.append(str(value))
        if failed:
            cells.append(describe(row.error) if row.error is not None else "")
        lines.append(cells)
    widths = [max(len(line[i]) for line in lines) for i in range(len(columns))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(line, widths, strict=True)).rstrip() for line in lines)


def failure_lines(rows: list[Row], command: str) -> list[str]:
    out = []
    for row in rows:
        if row.error is not None:
            out.append(f"varquin: {row.host}: {command} {row.unit}: {describe(row.error)}")
        elif command == "status" and row.status(command) == UNKNOWN:
            out.append(f"varquin: {row.host}: unit {row.unit} could not be found.")
        elif command in JOBS and row.status(command):
            out.append(f"varquin: {row.host}: job for {row.unit} finished with result '{row.fields['result']}'")
    return out


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m varquin",
        description="systemctl's common verbs on one host or many, over D-Bus.",
        epilog="Exit status: 0 when every host and unit succeeded, 1 on any failure; "
        "for status, 3 when a unit is not active and 4 when one does not exist.",
    )
    p.add_argument(
        "-H",
        "--host",
        action="append",
        default=[],
        metavar="HOST[,HOST...]",
        help="operate on these hosts over SSH ([user@]host[:port]; a D-Bus address such as "
        "unix:path=... also works); may be given more than once; default: this host",
    )
    p.add_argument("command", choices=COMMANDS)
    p.add_argument("units", nargs="+", metavar="UNIT")
    p.add_argument(
        "--wait", action="store_true", help="wait until each job has finished (start, stop, restart, reload)"
    )
    p.add_argument(
        "--timeout", type=float, metavar="S", help="give up on hosts that have not answered within S seconds"
    )
    p.add_argument("--json", action="store_true", help="print the rows as JSON on stdout, nothing else")
    return p


def main(argv: Sequence[str] | None = None, stdout: TextIO = sys.stdout, stderr: TextIO = sys.stderr) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["codegen"]:  # python -m varquin codegen ...: see varquin.codegen
        from varquin import codegen

        return codegen.main(argv[1:], stdout, stderr)
    args = parser().parse_intermixed_args(argv)
    if args.timeout is not None and args.timeout <= 0:
        parser().error("--timeout must be positive")
    openers = host_openers(args.host)
    deadline = None if args.timeout is None else time.monotonic() + args.timeout
    progress = Progress(list(openers), stderr)
    try:
        results = fleet.run_openers(
            openers,
            per_host(args.command, args.units, args.wait, deadline),
            timeout=args.timeout,
            progress=progress.answered,
        )
    except KeyboardInterrupt:
        progress.end()
        stderr.write("varquin: interrupted\n")
        return 130
    progress.end()
    rows = collect(args.command, args.units, results)
    stderr.writelines(line + "\n" for line in failure_lines(rows, args.command))
    stdout.write((as_json(rows, args.command) if args.json else as_table(rows, args.command, args.wait)) + "\n")
    stdout.flush()
    codes = [row.status(args.command) for row in rows]
    if 1 in codes:
        return 1
    return next((c for c in codes if c), 0)


if __name__ == "__main__":
    sys.exit(main())

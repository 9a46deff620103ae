"""The verbs of the command line, each as systemctl does it: what it asks of
one host's manager, the rows it prints, and the exit status systemctl of
that manager's version would give."""

from __future__ import annotations

import argparse
import signal
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from varquin.cli import exits
from varquin.cli import show as show_module
from varquin.cli.report import Outcome, Row, describe
from varquin.cli.values import UNIT_TYPES, expand, is_glob, run_properties, unit_name
from varquin.errors import BusError, NoSuchUnit
from varquin.proxy import introspect_sync
from varquin.systemd import MANAGER_INTERFACE, MANAGER_PATH, SERVICE, UNIT_INTERFACE, Job, Manager, type_interface

# What a verb runs against one host's manager.
Action = Callable[[Manager, argparse.Namespace, "Context"], Outcome]


@dataclass
class Context:
    """What every verb on a host shares: the deadline of the whole command
    and the manager's version, read once."""

    deadline: float | None
    version: int | None = None

    def left(self) -> float | None:
        """Seconds left before the deadline (0 once past), None without one."""
        return None if self.deadline is None else max(0.0, self.deadline - time.monotonic())


@dataclass(frozen=True)
class Verb:
    """A verb: its name, its one-line help, the columns of its rows, what it
    does on one host, and ``arguments``, which adds the verb's own arguments
    to its sub-parser."""

    name: str
    help: str
    columns: tuple[str, ...]
    action: Action
    arguments: Callable[[argparse.ArgumentParser], None] = lambda p: None
    # What the verb prints instead of a table (not with --json): from the
    # rows of every host, the arguments, and whether there are several hosts.
    render: Callable[[Sequence[Row], argparse.Namespace, bool], str] | None = None


def manager_version(m: Manager) -> int | None:
    """The major version of the manager's ``Version`` property."""
    text = m.bus.get_property(SERVICE, MANAGER_PATH, MANAGER_INTERFACE, "Version")
    return exits.version_number(str(text))


def _units(p: argparse.ArgumentParser) -> None:
    p.add_argument("units", nargs="+", metavar="UNIT", help="unit names (.service when no suffix) or patterns")


# -- jobs ------------------------------------------------------------------------------

JOBS: dict[str, Callable[..., Job]] = {
    "start": Manager.start,
    "stop": Manager.stop,
    "restart": Manager.restart,
    "reload": Manager.reload,
    "try-restart": Manager.try_restart,
    "reload-or-restart": Manager.reload_or_restart,
}
# Job results systemctl counts as success.
GOOD_RESULTS = ("done", "skipped")


def _job_arguments(p: argparse.ArgumentParser) -> None:
    _units(p)
    p.add_argument("--no-block", action="store_true", help="queue the jobs and return without waiting for them")
    p.add_argument("--job-mode", default="replace", metavar="MODE", help="the job mode (default: replace)")


def job_action(verb: str) -> Action:
    """The action of a job verb (start, stop, ...): every unit's job queued
    first, then each waited for unless --no-block.  A refused job gives
    systemctl's status for the refusal (5 for a missing unit), a job that
    ends other than done or skipped 1.  On a manager whose systemctl queues
    several units' jobs all or none (262 on), a missing unit among several
    queues none of them."""
    queue = JOBS[verb]

    def action(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
        out = Outcome()
        jobs: list[tuple[Row, Job]] = []
        units = expand(m, args.units)
        if len(units) > 1 and exits.jobs_all_or_none(ctx.version):
            missing = next((u for u in units if m.unit(u).status.load == "not-found"), None)
            if missing is not None:
                out.rows = [Row("", u, {"job": None, "result": None}, ok=False) for u in units]
                out.messages.append(f"{verb}: no job queued: unit {missing} not found")
                out.status = exits.NOT_INSTALLED
                return out
        # Every job is queued first, then waited for: they run together.
        for unit in units:
            row = Row("", unit, {"job": None, "result": None})
            out.rows.append(row)
            try:
                job = queue(m, unit, args.job_mode)
            except Exception as e:  # noqa: BLE001  (each unit's failure is its row's)
                row.error, row.ok = e, False
                out.messages.append(f"{verb} {unit}: {describe(e)}")
                if out.status == 0:
                    out.status = exits.job_refused(e)
                continue
            row.fields["job"] = job.path
            row.fields["result"] = "queued"
            jobs.append((row, job))
        failed = False
        if not args.no_block:
            for row, job in jobs:
                try:
                    result = job.wait(ctx.left())
                except Exception as e:  # noqa: BLE001
                    row.error, row.ok, failed = e, False, True
                    out.messages.append(f"{verb} {row.unit}: {describe(e)}")
                    continue
                row.fields["result"] = result
                if result not in GOOD_RESULTS:
                    row.ok, failed = False, True
                    out.messages.append(f"job for {row.unit} finished with result '{result}'")
        if failed:
            out.status = exits.FAILURE  # a failed job outweighs a refused one, as in systemctl
        if not out.rows and any(is_glob(u) for u in args.units):
            out.messages.append(f"{verb}: no loaded unit matches {' '.join(args.units)}")
        return out

    return action


# -- state queries ---------------------------------------------------------------------


def _lines(p: argparse.ArgumentParser) -> None:
    _units(p)
    p.add_argument("-n", "--lines", type=int, default=10, metavar="N", help="journal lines per unit (default 10)")


def status(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """systemctl status: 4 for the first unit that does not exist, 3 for one
    not active, whichever comes first."""
    out = Outcome()
    for unit in expand(m, args.units):
        row = Row("", unit)
        out.rows.append(row)
        p = m.unit(unit).properties()
        row.fields = {
            "load": p["LoadState"],
            "active": p["ActiveState"],
            "sub": p["SubState"],
            "description": p["Description"],
        }
        if args.lines > 0:
            row.fields["journal"] = unit_journal(m, unit, args.lines, out)
        code = 0
        if p["LoadState"] == "not-found":
            code = exits.UNKNOWN
            out.messages.append(f"unit {unit} could not be found.")
        elif p["ActiveState"] not in ("active", "reloading"):
            code = exits.NOT_RUNNING
        row.ok = code == 0
        if out.status == 0:
            out.status = code
    return out


def unit_journal(m: Manager, unit: str, lines: int, out: Outcome) -> list[str] | None:
    """The unit's last journal lines as ``journalctl -u`` prints them, or
    None (the reason on stderr once per host) where its journal cannot be
    read from here."""
    try:
        entries = m.unit(unit).journal(lines)
    except (ValueError, OSError) as e:
        note = f"journal: {describe(e)}"
        if isinstance(e, ValueError) and m.root is None:
            note = (
                f"journal: the journal of the manager at {m.bus.address} is not on this machine: "
                "give --root DIR, the folder where that machine is installed as seen from here"
            )
        if note not in out.messages:
            out.messages.append(note)
        return None
    return [
        f"{e.time.astimezone():%b %d %H:%M:%S} {e.fields.get('SYSLOG_IDENTIFIER', '')}"
        + (f"[{e.pid}]" if e.pid else "")
        + f": {e.message}"
        for e in entries
    ]


def state_query(good: tuple[str, ...]) -> Action:
    """The action of is-active: each unit's active state, 0 when any is one
    of `good`, else systemctl's status for that manager's version."""

    def action(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
        out = Outcome()
        states = []
        for unit in expand(m, args.units):
            st = m.unit(unit).status
            states.append((st.load, st.active))
            out.rows.append(Row("", unit, {"active": st.active}, ok=st.active in good))
        out.status = exits.is_active(states, ctx.version, good)
        return out

    return action


def is_enabled(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """systemctl is-enabled: each unit file's state (``not-found`` for none),
    0 when any is enabled."""
    out = Outcome()
    states: list[str | None] = []
    for unit in expand(m, args.units):
        try:
            state: str | None = m.is_enabled(unit)
        except NoSuchUnit as e:
            state = None
            if not exits.missing_is_unknown(ctx.version):
                out.messages.append(f"is-enabled {unit}: {describe(e)}")
        states.append(state)
        out.rows.append(Row("", unit, {"state": state or "not-found"}, ok=state in exits.ENABLED))
    out.status = exits.is_enabled(states, ctx.version)
    return out


# -- unit files ------------------------------------------------------------------------

FILES: dict[str, Callable[..., object]] = {
    "enable": Manager.enable,
    "disable": Manager.disable,
    "mask": Manager.mask,
    "unmask": Manager.unmask,
}


def _file_arguments(p: argparse.ArgumentParser) -> None:
    _units(p)
    p.add_argument("--runtime", action="store_true", help="under /run, until the next boot")
    p.add_argument("--no-reload", action="store_true", help="do not reload the manager after a change")


def file_action(verb: str) -> Action:
    """The action of enable, disable, mask and unmask: the changes made per
    unit file (names taken as given, patterns not expanded), 1 when any was
    refused."""
    call = FILES[verb]

    def action(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
        out = Outcome()
        # Patterns are not expanded: unit files need not be loaded.
        for unit in (unit_name(u) for u in args.units):
            row = Row("", unit)
            out.rows.append(row)
            try:
                row.fields["changes"] = call(m, unit, runtime=args.runtime, reload=not args.no_reload)
            except BusError as e:
                row.error, row.ok = e, False
                out.messages.append(f"{verb} {unit}: {describe(e)}")
                out.status = exits.FAILURE
        return out

    return action


# -- listings and properties ----------------------------------------------------------


def _list_units_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("patterns", nargs="*", metavar="PATTERN", help="only units whose names match")
    p.add_argument("--failed", action="store_true", help="only failed units")
    p.add_argument("--all", "-a", action="store_true", help="inactive units too")
    p.add_argument(
        "--type",
        "-t",
        action="append",
        type=unit_types,
        default=[],
        metavar="TYPE",
        help="only units of this type (or load state)",
    )
    p.add_argument("--state", action="append", default=[], metavar="STATE", help="only units in this state")


# The load states that --type also takes.
LOAD_STATES = frozenset(("stub", "loaded", "not-found", "bad-setting", "error", "merged", "masked"))


def unit_types(value: str) -> list[str]:
    """The unit types and load states of one --type value (``service,socket``)."""
    names = [t for t in value.split(",") if t]
    for t in names:
        if t not in UNIT_TYPES and t not in LOAD_STATES:
            raise argparse.ArgumentTypeError(
                f"unknown unit type or load state {t!r} (types: {', '.join(sorted(UNIT_TYPES))})"
            )
    return names


def list_units(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """As systemctl: the active units, or those in a state given; ``--all``
    every loaded unit."""
    states = [s for v in args.state for s in v.split(",")] + (["failed"] if args.failed else [])
    given = {t for v in args.type for t in v}
    types, loads = given & UNIT_TYPES, given - UNIT_TYPES
    out = Outcome()
    for u in sorted(m.list_units(patterns=[unit_name(p) for p in args.patterns], states=states)):
        if (types and u.name.rpartition(".")[2] not in types) or (loads and u.load not in loads):
            continue
        if not (args.all or states) and u.active == "inactive" and u.load != "not-found":
            continue
        out.rows.append(
            Row("", u.name, {"load": u.load, "active": u.active, "sub": u.sub, "description": u.description})
        )
    return out


def _list_unit_files_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("patterns", nargs="*", metavar="PATTERN", help="only unit files whose names match")
    p.add_argument("--state", action="append", default=[], metavar="STATE", help="only unit files in this state")
    p.add_argument(
        "--type", "-t", action="append", type=unit_types, default=[], metavar="TYPE", help="only files of this type"
    )


def list_unit_files(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """systemctl list-unit-files: the matching files, sorted, with state and
    path; 1 when none matches."""
    states = [s for v in args.state for s in v.split(",")]
    types = {t for v in args.type for t in v} & UNIT_TYPES
    out = Outcome()
    for f in sorted(m.list_unit_files(patterns=args.patterns, states=states)):
        if not types or f.name.rpartition(".")[2] in types:
            out.rows.append(Row("", f.name, {"state": f.state, "path": f.path}))
    if not out.rows:
        out.status = exits.FAILURE
        out.messages.append("no unit file matches")
    return out


def daemon_reload(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """systemctl daemon-reload: one row once the manager has reloaded."""
    m.daemon_reload()
    return Outcome([Row("", "-", {"result": "reloaded"})])


def _show_arguments(p: argparse.ArgumentParser) -> None:
    _units(p)
    p.add_argument(
        "-p",
        "--property",
        action="append",
        default=[],
        metavar="NAME",
        help="only these properties (may be given more than once, or NAME,NAME)",
    )
    p.add_argument("--value", action="store_true", help="print the values alone, without NAME=")
    p.add_argument("-a", "--all", action="store_true", help="empty and unset values too")


def signatures(m: Manager, path: str, interfaces: Sequence[str]) -> dict[str, str]:
    """The D-Bus types of the properties of `interfaces` at the unit object
    `path`, from its introspection (none where it cannot be read)."""
    try:
        node = introspect_sync(m.bus, SERVICE, path, None)
    except (BusError, ValueError):
        return {}
    found = (node.by_name[i] for i in interfaces if i in node.by_name)
    return {p.name: p.signature for info in found for p in info.properties}


def show(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """As systemctl show: one row per unit and property line, the unit
    type's properties first, then the unit's (the other way round from 262
    on); with -p only those named (and nothing for a name the unit does not
    have), else every property that systemctl shows (every one with --all)."""
    wanted = {n for v in args.property for n in v.split(",") if n}
    out = Outcome()
    for unit in expand(m, args.units):
        u = m.unit(unit)
        own = u.properties()
        kind = type_interface(own["Id"])
        typed = u.properties(kind) if kind is not None and own["LoadState"] != "not-found" else {}
        first, then = (own, typed) if (ctx.version or 0) >= show_module.UNIT_FIRST else (typed, own)
        props = dict(first)
        props.update((k, v) for k, v in then.items() if k not in props)
        types = signatures(m, u.path, [i for i in (kind, UNIT_INTERFACE) if i is not None])
        for name, value in props.items():
            if wanted and name not in wanted:
                continue
            for shown_name, text, hidden in show_module.property_lines(name, value, ctx.version, types.get(name, "")):
                if wanted or args.all or not hidden:
                    out.rows.append(Row("", unit, {"property": shown_name, "value": text}))
    return out


# -- failed state and signals ----------------------------------------------------------


def _reset_failed_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("units", nargs="*", metavar="UNIT", help="unit names or patterns (none: every unit)")


def per_unit(verb: str, call: Callable[[Manager, str, argparse.Namespace], None], column: str) -> Action:
    """A verb that makes one call per unit: 1 when any failed, as systemctl."""

    def action(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
        out = Outcome()
        for unit in expand(m, args.units):
            row = Row("", unit, {column: "done"})
            out.rows.append(row)
            try:
                call(m, unit, args)
            except BusError as e:
                row.fields[column], row.error, row.ok = None, e, False
                out.messages.append(f"{verb} {unit}: {describe(e)}")
                out.status = exits.FAILURE
        return out

    return action


def reset_failed(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """systemctl reset-failed: of the units given, or of every unit."""
    if not args.units:
        m.reset_failed()
        return Outcome([Row("", "*", {"result": "done"})])
    return per_unit("reset-failed", lambda m, unit, args: m.reset_failed(unit), "result")(m, args, ctx)


def signal_number(text: str) -> int:
    """A signal by number or name (``9``, ``KILL``, ``SIGKILL``, ``HUP``)."""
    if text.isdigit():
        return int(text)
    name = text.upper()
    try:
        return int(signal.Signals[name if name.startswith("SIG") else "SIG" + name])
    except KeyError:
        raise argparse.ArgumentTypeError(f"unknown signal {text!r}") from None


def _kill_arguments(p: argparse.ArgumentParser) -> None:
    _units(p)
    p.add_argument(
        "-s", "--signal", type=signal_number, default=signal.SIGTERM, metavar="SIG", help="the signal (default TERM)"
    )
    p.add_argument(
        "--kill-whom",
        "--kill-who",
        dest="whom",
        choices=("all", "main", "control"),
        default="all",
        help="which of the units' processes (default all)",
    )


# -- transient runs ---------------------------------------------------------------------


def _run_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--wait", action="store_true", help="wait until the command has exited; exit with its status")
    p.add_argument(
        "-p",
        "--property",
        action="append",
        default=[],
        metavar="NAME=VALUE",
        help="a unit property in unit-file syntax (MemoryMax=256M, RuntimeMaxSec=5s, Environment=A=1)",
    )
    p.add_argument("-u", "--unit", metavar="NAME", help="the unit's name (default: run-u<N>.service)")
    p.add_argument("-G", "--collect", action="store_true", help="unload the unit once it has ended, even failed")
    p.add_argument("--description", metavar="TEXT", help="the unit's description (default: the command)")
    p.add_argument(
        "command",
        nargs=argparse.REMAINDER,
        metavar="-- CMD [ARG...]",
        help="the command: an absolute path, or a name found on PATH as systemd-run finds it",
    )


def run(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
    """As systemd-run: without --wait 0 once the unit has started; with it
    the command's status (see exits.run_wait)."""
    argv = args.command[1:] if args.command[:1] == ["--"] else args.command
    out = Outcome()
    row = Row("", args.unit or "-", {"result": None})
    out.rows.append(row)
    try:
        props = dict(run_properties(args.property))
        if args.description is not None:
            props["Description"] = args.description
        if not argv:
            raise ValueError("run needs a command: run [OPTIONS] -- /path/to/command [ARG...]")
        started = m.run(argv, name=args.unit, properties=props, collect=args.collect)
        row.unit = started.unit
        row.fields["result"] = "started"
        if args.wait:
            r = started.wait(ctx.left())
            row.fields.update(result=r.result, exit_code=r.exit_code, exit_status=r.exit_status)
            out.status = exits.run_wait(r.result, r.exit_status)
            row.ok = out.status == 0
    except FileNotFoundError as e:  # in systemd-run's words
        row.error, row.ok = e, False
        out.messages.append(f"Failed to find executable {e.filename}: No such file or directory")
        out.status = exits.FAILURE
    except (BusError, ValueError, TypeError, TimeoutError) as e:
        row.error, row.ok = e, False
        out.messages.append(f"run: {describe(e)}")
        out.status = exits.FAILURE
    return out


VERBS: dict[str, Verb] = {}


def _add(verb: Verb) -> None:
    VERBS[verb.name] = verb


_add(
    Verb(
        "status",
        "show each unit's state (3: one not active, 4: one missing)",
        ("load", "active", "sub", "description"),
        status,
        _lines,
    )
)
for _name, _help in (
    ("start", "start units and wait for their jobs"),
    ("stop", "stop units and wait for their jobs"),
    ("restart", "restart units (starting those not running) and wait"),
    ("reload", "reload units' configuration and wait"),
    ("try-restart", "restart units that are running, and wait"),
    ("reload-or-restart", "reload units that can, restart the others, and wait"),
):
    _add(Verb(_name, _help, ("job", "result"), job_action(_name), _job_arguments))
_add(
    Verb(
        "is-active",
        "print whether units are active (0 when any is)",
        ("active",),
        state_query(("active", "reloading")),
        _units,
    )
)
_add(Verb("is-enabled", "print the state of units' files (0 when any is enabled)", ("state",), is_enabled, _units))
for _name, _help in (
    ("enable", "enable unit files, then reload the manager"),
    ("disable", "disable unit files, then reload the manager"),
    ("mask", "mask unit files so that nothing starts them"),
    ("unmask", "remove the masks of unit files"),
):
    _add(Verb(_name, _help, ("changes",), file_action(_name), _file_arguments))
_add(
    Verb(
        "list-units",
        "list loaded units (active ones unless --all)",
        ("load", "active", "sub", "description"),
        list_units,
        _list_units_arguments,
    )
)
_add(
    Verb(
        "list-unit-files",
        "list unit files and their states",
        ("state", "path"),
        list_unit_files,
        _list_unit_files_arguments,
    )
)
_add(Verb("daemon-reload", "reload the manager's configuration", ("result",), daemon_reload))
_add(
    Verb(
        "show",
        "show units' properties as NAME=VALUE lines (-p NAME for some)",
        ("property", "value"),
        show,
        _show_arguments,
        lambda rows, args, several: show_module.render(rows, args.value, several),
    )
)
_add(
    Verb(
        "reset-failed",
        "reset units' failed state (every unit's when none given)",
        ("result",),
        reset_failed,
        _reset_failed_arguments,
    )
)
_add(
    Verb(
        "kill",
        "send a signal to units' processes",
        ("result",),
        per_unit("kill", lambda m, unit, args: m.kill(unit, args.signal, args.whom), "result"),
        _kill_arguments,
    )
)
_add(
    Verb(
        "run",
        "run a command as a transient service (--wait: until it exits, with its status)",
        ("result", "exit_code", "exit_status"),
        run,
        _run_arguments,
    )
)

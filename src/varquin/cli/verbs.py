"""The verbs of the command line, each as systemctl does it: what it asks of
one host's manager, the rows it prints, and the exit status systemctl of
that manager's version would give."""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from dataclasses import dataclass

from varquin.cli import exits
from varquin.cli.report import Outcome, Row, describe
from varquin.cli.values import expand, is_glob, unit_name
from varquin.errors import BusError, NoSuchUnit
from varquin.systemd import MANAGER_INTERFACE, MANAGER_PATH, SERVICE, Job, Manager

# What a verb runs against one host's manager.
Action = Callable[[Manager, argparse.Namespace, "Context"], Outcome]


@dataclass
class Context:
    """What every verb on a host shares: the deadline of the whole command
    and the manager's version, read once."""

    deadline: float | None
    version: int | None = None

    def left(self) -> float | None:
        return None if self.deadline is None else max(0.0, self.deadline - time.monotonic())


@dataclass(frozen=True)
class Verb:
    """A verb: its name, its one-line help, its own arguments, the columns of
    its rows and what it does on one host."""

    name: str
    help: str
    columns: tuple[str, ...]
    action: Action
    arguments: Callable[[argparse.ArgumentParser], None] = lambda p: None


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
    queue = JOBS[verb]

    def action(m: Manager, args: argparse.Namespace, ctx: Context) -> Outcome:
        out = Outcome()
        jobs: list[tuple[Row, Job]] = []
        # Every job is queued first, then waited for: they run together.
        for unit in expand(m, args.units):
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


def state_query(good: tuple[str, ...]) -> Action:
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

"""A unit's journal as a Manager reads it: where it is (this machine's, a
folder's, a host's over SSH), and the entries a failed job or an ended run
carries, read once the manager's last line about it is in."""

from __future__ import annotations

import logging
import time
from collections.abc import Callable

from varquin import _core
from varquin import journal as _journal
from varquin._deadline import Deadline
from varquin.journal import JournalEntry
from varquin.systemd._effects import FollowJournal, Op, ReadJournal, Sleep
from varquin.systemd._names import job_id

log = logging.getLogger("varquin")

# The addresses of this machine's own system bus: a manager there is this
# machine's, whose journal is the local one.
_LOCAL_SYSTEM_BUS = frozenset({"unix:path=/run/dbus/system_bus_socket", "unix:path=/var/run/dbus/system_bus_socket"})
# How many entries JobFailed and RunResult carry, and how long their reading
# waits for the manager's last lines about the unit to reach the journal.
_FAILURE_LINES = 10
_SETTLE_WAIT = 2.0
# The pause between two readings of a host's journal over SSH while waiting.
_REMOTE_SETTLE_PAUSE = 0.2


def journal_source(root: str | None, address: str) -> tuple[str, str | None]:
    """Where the units' journal of a manager given ``root=`` on the bus at
    ``address`` is read: ("root", folder), ("local", None) or ("remote",
    host).  ValueError for a manager elsewhere."""
    if root is not None:
        return "root", root
    if address in _LOCAL_SYSTEM_BUS:
        return "local", None
    if not _core.is_address(address):  # Bus.remote(host) keeps the host as its address
        return "remote", address
    raise ValueError(
        f"the journal of the manager at {address} is not on this machine: give Manager(bus, root=...) "
        "the folder where that machine is installed, or use journal.entries(unit, root=...)"
    )


def now_usec() -> int:
    return time.time_ns() // 1000


# The MESSAGE_ID of the manager's "Deactivated successfully." about a unit.
_UNIT_SUCCESS = "7ad2d189f7e94e70a38c781354912448"

# Whether a journal entry is the manager's last word on what was waited for.
Settled = Callable[[JournalEntry], bool]


def _about_unit_since(after_usec: int) -> Settled:
    """Any line of the manager (PID 1) about the unit at or after ``after_usec``."""
    after = _journal.make_entry(after_usec, {}).time
    return lambda e: e.pid == 1 and e.time >= after


def job_ended(path: str, result: str, queued_usec: int) -> Settled:
    """The manager's line on the end of the job at ``path`` (it carries the
    job's JOB_ID and a JOB_RESULT).  A canceled or skipped job gets none:
    then any line of the manager about the unit since it was queued."""
    if result in ("canceled", "skipped"):
        return _about_unit_since(queued_usec)
    job = str(job_id(path))
    return lambda e: e.pid == 1 and e.fields.get("JOB_ID") == job and "JOB_RESULT" in e.fields


def unit_failed(e: JournalEntry) -> bool:
    """The manager's line on a unit's failure (it carries the UNIT_RESULT)."""
    return e.pid == 1 and "UNIT_RESULT" in e.fields


def run_ended(exit_usec: int, active: bool) -> Settled:
    """The manager's line on how a run's service ended, at or after its
    exit: its UNIT_RESULT, or "Deactivated successfully.".  A service that
    stays active after its process (RemainAfterExit) gets none: then any line
    of the manager about it since the exit."""
    since = _about_unit_since(exit_usec)
    if active:
        return since
    return lambda e: since(e) and ("UNIT_RESULT" in e.fields or e.fields.get("MESSAGE_ID") == _UNIT_SUCCESS)


def journal_in_use(root: str | None) -> bool:
    """Whether the journal at ``root`` (this machine's when None) holds any
    entry: only a journal that journald writes is worth waiting for."""
    j = _journal.open_journal(None, root)
    try:
        return bool(j.read(1))
    finally:
        j.close()


#: Which invocation of a unit entries are wanted of: its id (hex) and when
#: the job or run began (µs since the epoch); None for every entry.
Invocation = tuple[str, int] | None


def of_invocation(found: list[JournalEntry], invocation: Invocation) -> list[JournalEntry]:
    """The entries of ``found`` that belong to the unit's ``invocation``: its
    own lines carry its id as _SYSTEMD_INVOCATION_ID, the manager's about it
    as INVOCATION_ID.  A line that carries neither (journald could not tell
    the unit of a process that had already gone) belongs to it when it was
    written after the invocation began.  An id of zeros keeps every entry."""
    if invocation is None or not invocation[0].strip("0"):
        return found
    wanted, since = invocation[0], _journal.make_entry(invocation[1], {}).time

    def belongs(e: JournalEntry) -> bool:
        ids = (e.fields.get("_SYSTEMD_INVOCATION_ID"), e.fields.get("INVOCATION_ID"))
        return wanted in ids if ids != (None, None) else e.time >= since

    return [e for e in found if belongs(e)]


def settled_entries(root: str | None, unit: str, settled: Settled, invocation: Invocation) -> Op[list[JournalEntry]]:
    """The unit's last entries in the local journal at ``root``, once the
    manager's line that ``settled`` recognises is in it: journald may still
    be writing the last lines (all of them, for a unit that never logged
    before) when the job or the process has ended.  Waits (at most
    _SETTLE_WAIT) only where journald writes at all."""
    j = _journal.open_journal(unit, root)
    try:
        found = of_invocation([_journal.make_entry(*e) for e in j.read(_FAILURE_LINES)], invocation)
        if any(settled(e) for e in found) or (not found and not journal_in_use(root)):
            return found
        j.seek_tail(0)
        deadline = Deadline(_SETTLE_WAIT)
        while not deadline.passed:
            new = yield FollowJournal(j, deadline.left() or 0.0)
            if not new or any(settled(_journal.make_entry(*e)) for e in new):
                break
        return of_invocation([_journal.make_entry(*e) for e in j.read(_FAILURE_LINES)], invocation)
    finally:
        j.close()


def unit_entries(root: str | None, address: str, unit: str, lines: int) -> Op[list[JournalEntry]]:
    """The unit's last ``lines`` entries, from wherever its manager's journal
    is (see journal_source)."""
    how, where = journal_source(root, address)
    found: list[JournalEntry] = yield ReadJournal(how, where, unit, lines)
    return found


def failure_entries(
    root: str | None, address: str, unit: str, settled: Settled, invocation: Invocation = None
) -> Op[list[JournalEntry] | None]:
    """The entries JobFailed, UnitFailed and RunResult carry: those of the
    unit's invocation ``invocation`` (see of_invocation) among its last
    ones; None wherever they cannot be read."""
    try:
        how, where = journal_source(root, address)
        if how != "remote":
            return (yield from settled_entries(where, unit, settled, invocation))
        # Over SSH: read again, a little later, until the line is in.
        deadline = Deadline(_SETTLE_WAIT)
        found: list[JournalEntry] = of_invocation((yield ReadJournal(how, where, unit, _FAILURE_LINES)), invocation)
        while found and not any(settled(e) for e in found) and not deadline.passed:
            yield Sleep(_REMOTE_SETTLE_PAUSE)
            found = of_invocation((yield ReadJournal(how, where, unit, _FAILURE_LINES)), invocation)
        return found
    except (ValueError, OSError) as e:
        log.debug("journal of %s: %s", unit, e)
        return None

"""A unit's journal as a Manager reads it: where it is (this machine's, a
folder's, a host's over SSH), and the entries a failed job or an ended run
carries, read once the manager's last line about it is in."""

from __future__ import annotations

import logging
import os
import time
from collections.abc import Callable
from typing import TYPE_CHECKING
from urllib.parse import unquote_to_bytes

from varquin import _core
from varquin import journal as _journal
from varquin._deadline import Deadline
from varquin.journal import JournalEntry
from varquin.systemd._effects import Call, FollowJournal, Op, ReadJournal, Sleep
from varquin.systemd._names import SERVICE, job_id

if TYPE_CHECKING:
    from varquin.systemd._state import ManagerState

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


def _local_user_bus(address: str) -> bool:
    """Whether ``address`` is a user's bus (or user manager's socket) of this
    machine: a socket in a user's runtime folder, /run/user/UID."""
    try:
        path = _socket_path(address)
    except ValueError:
        return False
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    return path.startswith("/run/user/") or bool(runtime and path.startswith(runtime.rstrip("/") + "/"))


def is_local(address: str, user: bool = False) -> bool:
    """Whether the bus at ``address`` is this machine's own: its system bus,
    or for a user's manager (``user``) a socket in a user's runtime folder."""
    return _local_user_bus(address) if user else address in _LOCAL_SYSTEM_BUS


def journal_source(root: str | None, address: str, user: bool = False) -> tuple[str, str | None]:
    """Where the units' journal of a manager given ``root=`` on the bus at
    ``address`` is read: ("root", folder), ("local", None) or ("remote",
    host).  ``user``: the manager is a user's, whose bus is in its runtime
    folder.  ValueError for a manager elsewhere."""
    if root is not None:
        return "root", root
    if is_local(address, user):
        return "local", None
    if not _core.is_address(address):  # Bus.remote(host) keeps the host as its address
        return "remote", address
    raise ValueError(
        f"the journal of the manager at {address} is not on this machine: give Manager(bus, root=...) "
        "the folder where that machine is installed, or use journal.entries(unit, root=...)"
    )


def manager_uid(m: ManagerState) -> Op[int]:
    """The user that a user manager runs as: the owner of its connection to
    the bus, or, on the manager's own socket (no bus), of that socket."""
    if m.uid is None:
        if m.bus.unique_name:
            (uid,) = yield Call(
                "GetConnectionUnixUser", "s", (SERVICE,), path="/org/freedesktop/DBus",
                interface="org.freedesktop.DBus", destination="org.freedesktop.DBus",
            )  # fmt: skip
            m.uid = int(uid)
        else:
            m.uid = os.stat(_socket_path(m.bus.address)).st_uid
    return m.uid


def _socket_path(address: str) -> str:
    """The path of a ``unix:path=`` address, unescaped."""
    if not address.startswith("unix:path=") or ";" in address:
        raise ValueError(f"the user manager at {address} is not on a socket of this machine")
    return os.fsdecode(unquote_to_bytes(address[len("unix:path=") :].split(",")[0]))


def open_unit_journal(unit: str, root: str | None, uid: int | None) -> _core.Journal:
    """The native Journal of ``unit``'s entries at ``root`` (this machine's
    when None): a system unit's, or with ``uid`` the unit of that user's
    manager."""
    if uid is None:
        return _journal.open_journal(unit, root)
    if root is not None and not os.path.isdir(root):
        raise FileNotFoundError(f"no such root folder: {root!r}")
    return _core.Journal(root, terms=_journal.unit_terms(unit if "." in unit else unit + ".service", uid))


def read_entries(unit: str, root: str | None, uid: int | None, lines: int) -> list[JournalEntry]:
    """The last ``lines`` entries of ``unit`` in the local journal at ``root``
    (see open_unit_journal)."""
    if uid is None:
        return _journal.entries(unit=unit, lines=lines, root=root)
    j = open_unit_journal(unit, root, uid)
    try:
        return [_journal.make_entry(*e) for e in j.read(lines)]
    finally:
        j.close()


def remote_argv(host: str, unit: str, lines: int, user: bool) -> list[str]:
    """The command that prints the last ``lines`` entries of ``unit`` on
    ``host`` as JSON: for a user unit, ``journalctl --user-unit`` run there as
    the user ssh logs in as, whose manager it is."""
    argv = _journal.remote_argv(host, unit, lines)
    if user:
        argv = [*_journal.ssh_target(host), "journalctl", "-o", "json", "--no-pager"]
        argv += ["--user-unit", unit if "." in unit else unit + ".service", "-n", str(lines)]
    return argv


def now_usec() -> int:
    return time.time_ns() // 1000


# The MESSAGE_ID of the manager's "Deactivated successfully." about a unit.
_UNIT_SUCCESS = "7ad2d189f7e94e70a38c781354912448"

# Whether a journal entry is the manager's last word on what was waited for.
Settled = Callable[[JournalEntry], bool]


def _by_manager(e: JournalEntry) -> bool:
    """Whether ``e`` is a line of the manager: the system's is PID 1, a user
    manager's names the unit as USER_UNIT (its units' own lines do not)."""
    return e.pid == 1 or "USER_UNIT" in e.fields


def _about_unit_since(after_usec: int) -> Settled:
    """Any line of the manager about the unit at or after ``after_usec``."""
    after = _journal.make_entry(after_usec, {}).time
    return lambda e: _by_manager(e) and e.time >= after


def job_ended(path: str, result: str, queued_usec: int) -> Settled:
    """The manager's line on the end of the job at ``path`` (it carries the
    job's JOB_ID and a JOB_RESULT).  A canceled or skipped job gets none:
    then any line of the manager about the unit since it was queued."""
    if result in ("canceled", "skipped"):
        return _about_unit_since(queued_usec)
    job = str(job_id(path))
    return lambda e: _by_manager(e) and e.fields.get("JOB_ID") == job and "JOB_RESULT" in e.fields


def unit_failed(e: JournalEntry) -> bool:
    """The manager's line on a unit's failure (it carries the UNIT_RESULT)."""
    return _by_manager(e) and "UNIT_RESULT" in e.fields


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
    own lines carry its id as _SYSTEMD_INVOCATION_ID, the system manager's
    about it as INVOCATION_ID, a user manager's as USER_INVOCATION_ID (their
    _SYSTEMD_INVOCATION_ID is that of the user's user@.service).  A line
    that carries none (journald could not tell the unit of a process that
    had already gone) belongs to it when it was written after the invocation
    began.  An id of zeros keeps every entry."""
    if invocation is None or not invocation[0].strip("0"):
        return found
    wanted, since = invocation[0], _journal.make_entry(invocation[1], {}).time

    def belongs(e: JournalEntry) -> bool:
        f = e.fields
        named = f.get("USER_INVOCATION_ID") or f.get("INVOCATION_ID") or f.get("_SYSTEMD_INVOCATION_ID")
        return named == wanted if named is not None else e.time >= since

    return [e for e in found if belongs(e)]


def settled_entries(
    root: str | None, unit: str, settled: Settled, invocation: Invocation, uid: int | None = None
) -> Op[list[JournalEntry]]:
    """The unit's last entries in the local journal at ``root``, once the
    manager's line that ``settled`` recognises is in it: journald may still
    be writing the last lines (all of them, for a unit that never logged
    before) when the job or the process has ended.  Waits (at most
    _SETTLE_WAIT) only where journald writes at all."""
    j = open_unit_journal(unit, root, uid)
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


def _source(m: ManagerState) -> Op[tuple[str, str | None, int | None]]:
    """Where the units' journal of ``m`` is (see journal_source), and for a
    user manager read here the user it runs as."""
    how, where = journal_source(m.root, m.bus.address, m.user)
    uid = (yield from manager_uid(m)) if m.user and how != "remote" else None
    return how, where, uid


def unit_entries(m: ManagerState, unit: str, lines: int) -> Op[list[JournalEntry]]:
    """The unit's last ``lines`` entries, from wherever its manager's journal
    is (see journal_source)."""
    how, where, uid = yield from _source(m)
    found: list[JournalEntry] = yield ReadJournal(how, where, unit, lines, m.user, uid)
    return found


def failure_entries(
    m: ManagerState, unit: str, settled: Settled, invocation: Invocation = None
) -> Op[list[JournalEntry] | None]:
    """The entries JobFailed, UnitFailed and RunResult carry: those of the
    unit's invocation ``invocation`` (see of_invocation) among its last
    ones; None wherever they cannot be read."""
    try:
        how, where, uid = yield from _source(m)
        if how != "remote":
            return (yield from settled_entries(where, unit, settled, invocation, uid))
        # Over SSH: read again, a little later, until the line is in.
        deadline = Deadline(_SETTLE_WAIT)
        read = ReadJournal(how, where, unit, _FAILURE_LINES, m.user)
        found: list[JournalEntry] = of_invocation((yield read), invocation)
        while found and not any(settled(e) for e in found) and not deadline.passed:
            yield Sleep(_REMOTE_SETTLE_PAUSE)
            found = of_invocation((yield read), invocation)
        return found
    except (ValueError, OSError) as e:
        log.debug("journal of %s: %s", unit, e)
        return None

"""systemd's manager as Python objects: unit files, jobs that can be waited
for, transient runs with their exit status, unit status, details and
properties, and waiting for a unit's state.

    from varquin import systemd
    with systemd.Manager() as m:                   # its own Bus.system() connection
        m.enable("nginx.service")                  # -> [Change(type, path, source), ...]
        m.start("nginx.service", wait=True, timeout=30)
        m.unit("nginx.service").status             # UnitStatus('loaded', 'active', 'running')
        r = m.run(["/bin/sh", "-c", "exit 7"], wait=True)   # RunResult(..., exit_status=7, ...)

Failures are the Bus exceptions with the manager's own text: ``NoSuchUnit``
for a unit that does not exist, ``BusError`` named
``org.freedesktop.systemd1.UnitMasked`` for a masked one, ``AccessDenied``,
``InvalidArgs`` (a job mode the manager does not know), and so on; a job
that ends with a result other than ``"done"`` raises :class:`JobFailed`
when waited for through ``wait=True``.

Where a parameter takes several names (``patterns``, ``states``, ``argv``),
it takes an iterable of str; a bare str raises TypeError rather than being
read as its characters.
"""

from __future__ import annotations

import dataclasses
import fnmatch
import logging
import math
import os
import random
import shlex
import signal as _signal
import threading
import time
import weakref
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from typing import Any, Generic, Literal, NamedTuple, Protocol, Self, TypeVar, overload

from varquin import journal as _journal
from varquin._closing import Closing
from varquin._core import Subscription
from varquin.bus import Bus
from varquin.errors import BusError, NoSuchUnit, SignalsLost, UnknownMethod
from varquin.journal import JournalEntry
from varquin.types import Variant

__all__ = [
    "RunTimeout",
    "MANAGER_INTERFACE",
    "PROPERTY_TYPES",
    "SERVICE",
    "UNIT_INTERFACE",
    "Change",
    "Job",
    "JobFailed",
    "Manager",
    "Run",
    "RunResult",
    "Unit",
    "UnitDetails",
    "UnitFile",
    "UnitInfo",
    "UnitStatus",
    "UnitWatch",
    "name_list",
    "unit_path",
]

log = logging.getLogger("varquin")

SERVICE = "org.freedesktop.systemd1"
MANAGER_PATH = "/org/freedesktop/systemd1"
MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager"
UNIT_INTERFACE = "org.freedesktop.systemd1.Unit"
SERVICE_INTERFACE = "org.freedesktop.systemd1.Service"
UNIT_PREFIX = "/org/freedesktop/systemd1/unit/"
PROPERTIES = "org.freedesktop.DBus.Properties"

# Error names under which a manager reports a unit or unit file that does not
# exist without calling it NoSuchUnit (an errno turned into an error name).
_NOT_FOUND = frozenset({"org.freedesktop.DBus.Error.FileNotFound", "System.Error.ENOENT"})
_ALREADY_SUBSCRIBED = "org.freedesktop.systemd1.AlreadySubscribed"
_NO_SUCH_JOB = "org.freedesktop.systemd1.NoSuchJob"
_UNIT_EXISTS = "org.freedesktop.systemd1.UnitExists"

# What the manager reports for a counter it does not have (accounting off,
# no such controller): the largest 64-bit value.
_UNAVAILABLE = 2**64 - 1

# ExecMainCode: the si_code of the main process's end.
_EXIT_CODES = {1: "exited", 2: "killed", 3: "dumped"}

# The interface of each unit type's own properties, by the unit name's suffix.
_TYPE_INTERFACES = {
    suffix: f"org.freedesktop.systemd1.{kind}"
    for suffix, kind in (
        ("service", "Service"),
        ("socket", "Socket"),
        ("timer", "Timer"),
        ("mount", "Mount"),
        ("automount", "Automount"),
        ("swap", "Swap"),
        ("path", "Path"),
        ("slice", "Slice"),
        ("scope", "Scope"),
    )
}

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


class Change(NamedTuple):
    """One change a unit file operation made: ``type`` is ``"symlink"`` or
    ``"unlink"``, ``path`` the link made or removed, ``source`` where a new
    link points (``""`` for an unlink)."""

    type: str
    path: str
    source: str


class UnitStatus(NamedTuple):
    """A unit's LoadState, ActiveState and SubState, as systemctl shows them."""

    load: str
    active: str
    sub: str


class UnitInfo(NamedTuple):
    """A unit the manager has loaded: its name, description, the three states
    and its object path."""

    name: str
    description: str
    load: str
    active: str
    sub: str
    path: str


class UnitFile(NamedTuple):
    """A unit file the manager knows: its name, its path and its state
    (``"enabled"``, ``"disabled"``, ``"static"``, ``"masked"``, ...)."""

    name: str
    path: str
    state: str


@dataclass(frozen=True)
class UnitDetails:
    """What ``systemctl status`` shows of a unit, in Python types.  Values the
    manager reports as not available (a counter with accounting off, a
    timestamp never set, a main process that never ran) are None; those of
    another unit type (a target has no main process) too."""

    id: str
    description: str
    load: str
    active: str
    sub: str
    result: str | None
    main_pid: int | None
    active_enter: datetime | None
    active_exit: datetime | None
    inactive_enter: datetime | None
    memory_current: int | None
    tasks_current: int | None
    cpu_usage: timedelta | None
    exec_main_status: int | None
    exec_main_code: str | None
    n_restarts: int | None
    fragment_path: str | None
    unit_file_state: str


@dataclass(frozen=True)
class RunResult:
    """How a transient service of :meth:`Manager.run` ended.

    ``result`` is systemd's word for it (``"success"``, ``"exit-code"``,
    ``"signal"``, ``"core-dump"``, ``"timeout"``, ...); ``exit_code`` is
    ``"exited"``, ``"killed"`` or ``"dumped"`` and ``exit_status`` the exit
    status or the signal's number (both None when the process never ran).
    systemd counts an end by SIGTERM, SIGHUP, SIGINT or SIGPIPE as
    ``"success"`` with ``exit_code="killed"``.  Times are aware datetimes in
    UTC; ``cpu_usage`` and ``memory_peak`` (bytes) are None where the manager
    does not report them.  ``journal`` holds the unit's last journal entries
    (up to 10, read once it has settled; ``[]`` where the journal cannot be
    read, see :meth:`Unit.journal`)."""

    unit: str
    result: str
    exit_code: str | None
    exit_status: int | None
    started: datetime | None
    finished: datetime | None
    cpu_usage: timedelta | None
    memory_peak: int | None
    invocation_id: str
    journal: list[JournalEntry] = dataclasses.field(default_factory=list, compare=False)


class RunTimeout(TimeoutError):
    """A run that had not finished when its wait's timeout passed.  ``run`` is
    its :class:`Run` (an asyncio one from ``varquin.aio.systemd``): the
    service goes on, and ``e.run.wait(...)`` waits for it again.

        try:
            m.run(argv, wait=True, timeout=60)
        except systemd.RunTimeout as e:
            result = e.run.wait(timeout=600)
    """

    def __init__(self, message: str, run: Any) -> None:
        super().__init__(message)
        self.run = run


class JobFailed(Exception):
    """A job finished with a result other than ``"done"``: ``result`` is the
    manager's word for it (``"failed"``, ``"canceled"``, ``"timeout"``,
    ``"dependency"``, ``"skipped"``), ``unit`` the unit's name, ``job`` the
    job's object path, ``journal`` the unit's last journal entries (up to
    10; ``[]`` where they cannot be read, see :meth:`Unit.journal`)."""

    result: str
    unit: str
    job: str
    journal: list[JournalEntry]

    def __init__(self, result: str, unit: str, job: str = "", journal: list[JournalEntry] | None = None) -> None:
        super().__init__(result, unit, job)
        self.result = result
        self.unit = unit
        self.job = job
        self.journal = [] if journal is None else journal

    def __str__(self) -> str:
        return f"job for {self.unit} finished with result '{self.result}'"


def unit_path(name: str) -> str:
    """The object path of the unit ``name``: ASCII letters, and digits other
    than a leading one, stay; every other byte becomes ``_`` and two hex
    digits (``foo-bar.service`` -> ``.../unit/foo_2dbar_2eservice``)."""
    if not name:
        return UNIT_PREFIX + "_"
    out = []
    for i, byte in enumerate(name.encode()):
        c = chr(byte)
        if c.isascii() and (c.isalpha() or (c.isdigit() and i > 0)):
            out.append(c)
        else:
            out.append(f"_{byte:02x}")
    return UNIT_PREFIX + "".join(out)


def name_list(names: Iterable[str], what: str) -> list[str]:
    """The names of an iterable of str as a list.  A bare str (or bytes) is
    refused with TypeError, as its characters are never what is meant; so is
    an item that is not a str.  ``what`` names the parameter in the message."""
    if isinstance(names, (str, bytes)):
        raise TypeError(f"{what} takes an iterable of str, not a bare {type(names).__name__}: ({names!r},)")
    found = list(names)
    for item in found:
        if not isinstance(item, str):
            raise TypeError(f"{what} takes str items, not {type(item).__name__}")
    return found


def _type_name(obj: object) -> str:
    cls = type(obj)
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


def blocking_bus(bus: object) -> Bus:
    """``bus`` when it is a (blocking) varquin.Bus; TypeError otherwise, an
    asyncio Bus included."""
    if not isinstance(bus, Bus):
        raise TypeError(f"a varquin.Bus is needed, not {_type_name(bus)}")
    return bus


def _timestamp(usec: int) -> datetime | None:
    """A manager timestamp (µs since the epoch, 0 when unset) as an aware datetime."""
    if not usec or usec == _UNAVAILABLE:
        return None
    return datetime(1970, 1, 1, tzinfo=UTC) + timedelta(microseconds=usec)


def _available(value: int | None) -> int | None:
    return None if value is None or value == _UNAVAILABLE else value


def _cpu(nsec: int | None) -> timedelta | None:
    nsec = _available(nsec)
    return None if nsec is None else timedelta(microseconds=nsec // 1000)


def property_value(name: str, value: Any) -> Variant:
    """The variant ``name`` is sent as (see PROPERTY_TYPES).  ValueError for
    a name outside the table whose value is not a Variant; TypeError for a
    bare str where a list of str is expected, and for a timedelta given for
    a property other than a time (``...USec``).  A list of str may be given
    as a mapping of its ``NAME=value`` items (``{"Environment": {"A": "1"}}``)."""
    if isinstance(value, Variant):
        return value
    signature = PROPERTY_TYPES.get(name)
    if signature is None:
        raise ValueError(f"property {name!r} is not in PROPERTY_TYPES: give its value as varquin.Variant(sig, value)")
    if signature == "as":
        if isinstance(value, Mapping):  # {"A": "1"} for Environment: its assignments, not its keys
            value = [f"{k}={v}" for k, v in value.items()]
        value = name_list(value, f"property {name}")
    elif signature == "t":
        if isinstance(value, timedelta):
            # Only a time is a timedelta: a size or a count given as one is a mistake.
            if not name.endswith("USec"):
                raise TypeError(f"property {name} is a size or a count (int), not a timedelta")
            value = value // timedelta(microseconds=1)
        elif value == "infinity" or (isinstance(value, float) and math.isinf(value) and value > 0):
            value = _UNAVAILABLE
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


def _exec_start(args: list[str]) -> list[tuple[str, list[str], bool]]:
    """ExecStart for ``args``, passed verbatim: the manager expands ``$VAR``
    and turns ``$$`` into ``$`` in a command's arguments, so each ``$`` is
    doubled."""
    if not args or not args[0].startswith("/"):
        raise ValueError(f"argv must start with an absolute path, not {args[0] if args else 'nothing'!r}")
    return [(args[0], [a.replace("$", "$$") for a in args], False)]


def _run_name(name: str | None) -> str:
    if name is None:
        return f"run-u{random.getrandbits(32)}.service"
    return name if "." in name else name + ".service"


def _run_properties(
    argv: Iterable[str], properties: Mapping[str, Any] | None, collect: bool
) -> list[tuple[str, Variant]]:
    """The transient unit's properties: the command, the reference that keeps
    the unit until its results are read, and the caller's."""
    args = name_list(argv, "argv")
    exec_start = _exec_start(args)
    given = dict(properties or {})
    given.setdefault("Description", shlex.join(args))
    props = unit_properties(given)
    props.append(("ExecStart", Variant("a(sasb)", exec_start)))
    props.append(("AddRef", Variant("b", True)))
    if collect:
        props.append(("CollectMode", Variant("s", "inactive-or-failed")))
    return props


def run_settled(unit: Mapping[str, Any]) -> bool:
    """Whether a run's unit has ended: no job pending, and inactive, failed,
    or active with its process gone (RemainAfterExit)."""
    job = unit.get("Job", (0, "/"))
    if job[0] != 0:
        return False
    active, sub = unit.get("ActiveState"), unit.get("SubState")
    return active in ("inactive", "failed") or (active == "active" and sub == "exited")


def run_result(name: str, unit: Mapping[str, Any], service: Mapping[str, Any]) -> RunResult:
    """The RunResult of a run's Unit and Service properties."""
    code = service.get("ExecMainCode", 0)
    return RunResult(
        unit=name,
        result=service.get("Result", ""),
        exit_code=_EXIT_CODES.get(code),
        exit_status=service.get("ExecMainStatus") if code else None,
        started=_timestamp(service.get("ExecMainStartTimestamp", 0)),
        finished=_timestamp(service.get("ExecMainExitTimestamp", 0)),
        cpu_usage=_cpu(service.get("CPUUsageNSec")),
        memory_peak=_available(service.get("MemoryPeak")),
        invocation_id=bytes(unit.get("InvocationID", b"")).hex(),
    )


def unit_details(unit: Mapping[str, Any], kind: Mapping[str, Any]) -> UnitDetails:
    """The UnitDetails of a unit's own properties and its type's."""
    code = kind.get("ExecMainCode", 0)
    return UnitDetails(
        id=unit["Id"],
        description=unit.get("Description", ""),
        load=unit["LoadState"],
        active=unit["ActiveState"],
        sub=unit["SubState"],
        result=kind.get("Result"),
        main_pid=kind.get("MainPID") or None,
        active_enter=_timestamp(unit.get("ActiveEnterTimestamp", 0)),
        active_exit=_timestamp(unit.get("ActiveExitTimestamp", 0)),
        inactive_enter=_timestamp(unit.get("InactiveEnterTimestamp", 0)),
        memory_current=_available(kind.get("MemoryCurrent")),
        tasks_current=_available(kind.get("TasksCurrent")),
        cpu_usage=_cpu(kind.get("CPUUsageNSec")),
        exec_main_status=kind.get("ExecMainStatus") if code else None,
        exec_main_code=_EXIT_CODES.get(code),
        n_restarts=kind.get("NRestarts"),
        fragment_path=unit.get("FragmentPath") or None,
        unit_file_state=unit.get("UnitFileState", ""),
    )


def filter_units(found: Iterable[Any], patterns: list[str], states: list[str]) -> list[UnitInfo]:
    """The UnitInfo of ListUnits' entries whose names match one of
    ``patterns`` (all when empty) and whose load, active or sub state is one
    of ``states`` (any when empty): what ListUnitsByPatterns answers, for a
    manager older than it."""
    return [
        u
        for u in unit_list(found)
        if (not patterns or any(fnmatch.fnmatchcase(u.name, p) for p in patterns))
        and (not states or any(s in states for s in (u.load, u.active, u.sub)))
    ]


def filter_unit_files(found: Iterable[Any], patterns: list[str], states: list[str]) -> list[UnitFile]:
    """The UnitFile of ListUnitFiles' entries whose names match one of
    ``patterns`` and whose state is one of ``states`` (as
    :func:`filter_units`)."""
    files = unit_file_list(found)
    return [
        f
        for f in files
        if (not patterns or any(fnmatch.fnmatchcase(f.name, p) for p in patterns)) and (not states or f.state in states)
    ]


def type_interface(unit_id: str) -> str | None:
    """The interface of the unit type's own properties (``...Service``), or
    None for a type without properties of its own (target, device)."""
    return _TYPE_INTERFACES.get(unit_id.rpartition(".")[2])


# Connections on which the manager's Subscribe() has been called.  It is per
# client connection and stays for the connection's life: every Manager on a
# Bus shares it, and a second Subscribe() (this module's or the caller's own)
# answers AlreadySubscribed, which means the same.
_subscribed: weakref.WeakSet[Bus] = weakref.WeakSet()
_subscribed_lock = threading.Lock()


def subscribe_manager(bus: Bus) -> None:
    """Makes sure the manager sends its job and unit signals to ``bus``."""
    with _subscribed_lock:
        if bus in _subscribed:
            return
    try:
        bus.call(SERVICE, MANAGER_PATH, MANAGER_INTERFACE, "Subscribe")
    except BusError as e:
        if e.name != _ALREADY_SUBSCRIBED:
            raise
    with _subscribed_lock:
        _subscribed.add(bus)


class _Outcome:
    """The result of one job path, shared by every Job object for it.
    ``lost`` is set when the job's JobRemoved was dropped from a full queue."""

    __slots__ = ("__weakref__", "lost", "result")

    def __init__(self) -> None:
        self.result: str | None = None
        self.lost = False


# The bound of a Manager's queue of JobRemoved signals.  The queue is drained
# whenever a job is queued or waited for, and results are kept only for the
# jobs someone holds, so a process that queues jobs and never waits keeps at
# most this many signals of the host's jobs.
JOB_SIGNALS_QUEUED = 1024


def job_id(path: str) -> int:
    """The id of the job at object path ``path`` (``.../job/42`` -> 42)."""
    return int(path.rpartition("/")[2])


def job_removed_match() -> dict[str, Any]:
    """The match of a Manager's JobRemoved signals, as Bus.subscribe takes
    it, with the queue bounded by JOB_SIGNALS_QUEUED as it is now."""
    return {
        "sender": SERVICE,
        "path": MANAGER_PATH,
        "interface": MANAGER_INTERFACE,
        "member": "JobRemoved",
        "max_queued": JOB_SIGNALS_QUEUED,
    }


def jobs_lost() -> SignalsLost:
    """The error of a wait for a job whose end was dropped from the full queue."""
    return SignalsLost(
        "the end of the job was among the signals dropped from the manager's full queue "
        f"(max_queued={JOB_SIGNALS_QUEUED}): its result is unknown"
    )


class _JobRecords:
    """The job results a Manager's job watch keeps, blocking or asyncio:
    a record per job someone holds, and the results that arrive while a
    call queueing a job is still in flight (its path is not known yet).
    The blocking watch calls these under its condition."""

    def __init__(self) -> None:
        self._jobs: weakref.WeakValueDictionary[str, _Outcome] = weakref.WeakValueDictionary()
        self._in_flight = 0
        self._early: dict[str, str] = {}  # path -> result, while calls are in flight

    def _register(self, path: str | None) -> _Outcome | None:
        """The record of the job a finished call queued at ``path`` (None
        when the call failed), holding its result if it came early.  Early
        results are dropped once no call is in flight."""
        outcome = None
        if path is not None:
            outcome = self._jobs.get(path)
            if outcome is None:
                outcome = _Outcome()
                outcome.result = self._early.pop(path, None)
                self._jobs[path] = outcome
        if self._in_flight == 0:
            self._early.clear()
        return outcome

    def _record(self, args: tuple[Any, ...]) -> None:
        # JobRemoved(u id, o job, s unit, s result).
        _id, path, _unit, result = args
        outcome = self._jobs.get(path)
        if outcome is not None:
            outcome.result = result
        elif self._in_flight:
            self._early[path] = result

    def _pending(self) -> list[tuple[str, _Outcome]]:
        """The held jobs whose end has not been seen nor found lost."""
        return [(path, o) for path, o in self._jobs.items() if o.result is None and not o.lost]


class _JobWatch(_JobRecords):
    """Receives the manager's JobRemoved signals for one Manager and hands
    each result to the jobs queued through it.

    The subscription (and the manager's Subscribe()) is in place before the
    first job is queued, so a job that ends at once is still seen.  Signals
    are read only by threads that wait: one of them at a time reads (the
    reader), the others sleep on the condition and are woken after every
    signal.  A result read while a queueing call is still in flight is kept
    until that call has registered its job; otherwise results of jobs nobody
    here holds are dropped.  Signals waiting in the subscription are read
    whenever a job is queued too, so that nothing grows while nobody waits;
    the subscription's queue is bounded (JOB_SIGNALS_QUEUED), and when its
    oldest signals were dropped, each held job still unresolved is looked
    up: one that no longer exists had its end dropped, and its wait() raises
    SignalsLost.
    """

    # Lock order: _subscribing is held across the two bus calls that set up
    # the match and takes no other lock; _cond is never held while the bus
    # waits (the reader lets go of it around its get()).  Bus waits release
    # the interpreter lock, so neither lock holds up other threads' calls.

    def __init__(self, bus: Bus) -> None:
        super().__init__()  # the records, guarded by _cond
        self._bus = bus
        self._subscribing = threading.Lock()  # guards _sub
        self._sub: Subscription | None = None
        self._cond = threading.Condition()  # guards the fields below and the records
        self._closed = False
        self._reading = False

    def _subscribe(self) -> Subscription:
        with self._subscribing:
            if self._closed:
                raise ValueError("the manager is closed")
            if self._sub is None:
                sub = self._bus.subscribe(**job_removed_match())
                try:
                    subscribe_manager(self._bus)
                except BaseException:
                    sub.close()
                    raise
                self._sub = sub
            return self._sub

    def queue(self, call: Callable[[], str]) -> tuple[str, _Outcome]:
        """Runs ``call`` (which queues a job and returns its path) with the
        match in place; returns the path and the record its result lands in."""
        self._subscribe()
        with self._cond:
            self._in_flight += 1
        path = None
        try:
            path = call()
        finally:
            with self._cond:
                self._in_flight -= 1
                outcome = self._register(path)
                lost = self._drain()
        if lost:
            self._resolve_lost()
        assert path is not None and outcome is not None
        return path, outcome

    def _drain(self) -> bool:
        """Records the signals already queued, unless a reader is at it;
        True when some were dropped.  Under the condition."""
        if self._reading or self._sub is None:
            return False
        lost = False
        while True:
            try:
                signal = self._sub._pop()
            except SignalsLost:
                lost = True
                continue
            except ValueError:
                return lost  # closed
            if signal is None:
                return lost
            self._record(signal.args)

    def _resolve_lost(self) -> None:
        """After signals were dropped: a held job that no longer exists had
        its end among them.  Bus calls: the condition is not held."""
        with self._cond:
            pending = self._pending()
        gone = []
        for path, outcome in pending:
            try:
                self._bus.call(SERVICE, MANAGER_PATH, MANAGER_INTERFACE, "GetJob", "u", job_id(path))
            except BusError as e:
                if e.name == _NO_SUCH_JOB:
                    gone.append(outcome)
        with self._cond:
            for outcome in gone:
                if outcome.result is None:
                    outcome.lost = True
            self._cond.notify_all()

    def wait(self, outcome: _Outcome, timeout: float | None) -> str:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while outcome.result is None:
                if self._closed:
                    raise ValueError("the manager is closed")
                if outcome.lost:
                    raise jobs_lost()
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError(f"the job did not finish within {timeout} s")
                if self._reading:
                    self._cond.wait(left)
                    continue
                self._reading = True
                try:
                    self._cond.release()
                    lost = False
                    try:
                        assert self._sub is not None
                        signal = self._sub.get(timeout=left)
                    except TimeoutError:
                        signal = None  # the loop raises it once the deadline has passed
                    except SignalsLost:
                        signal, lost = None, True
                    except ValueError:
                        if self._closed:
                            raise ValueError("the manager is closed") from None
                        raise  # the bus was closed under the manager
                    finally:
                        if lost:
                            self._resolve_lost()
                        self._cond.acquire()
                    if signal is not None:
                        self._record(signal.args)
                finally:
                    self._reading = False
                    self._cond.notify_all()
            return outcome.result

    def close(self) -> None:
        with self._subscribing:
            with self._cond:
                self._closed = True
                self._cond.notify_all()
            if self._sub is not None:
                self._sub.close()


_M = TypeVar("_M")


class _JobState(Generic[_M]):
    """What the blocking and the asyncio Job share: the manager, the job's
    path and unit, and the record its result lands in."""

    path: str
    unit: str

    def __init__(self, manager: _M, outcome: _Outcome, path: str, unit: str) -> None:
        self._manager = manager
        self._outcome = outcome
        self.path = path
        self.unit = unit

    @property
    def result(self) -> str | None:
        """How the job ended, or None while it has not been seen to end."""
        return self._outcome.result

    def __repr__(self) -> str:
        return f"<Job {self.path} for {self.unit}: {self.result or 'running'}>"


class Job(_JobState["Manager"]):
    """A job the manager has queued.  ``path`` is its object path, ``unit``
    the unit it acts on; :meth:`wait` returns how it ended."""

    def wait(self, timeout: float | None = None) -> str:
        """Waits until the job ends and returns the manager's result: ``"done"``,
        ``"failed"``, ``"canceled"``, ``"timeout"``, ``"dependency"`` or
        ``"skipped"``. A start job is done once the unit has started: that
        says nothing of how long it stays up.  Any number of threads may wait
        for the same job.

        Raises TimeoutError after ``timeout`` seconds (None: no limit), after
        which the job stays waitable; SignalsLost when the job's end was
        dropped from a full signal queue; ValueError once the manager is
        closed."""
        return self._manager._watch.wait(self._outcome, timeout)

    def cancel(self) -> bool:
        """Asks the manager to cancel the job: True when it did, False when the
        job had already ended.  A process the job already started keeps
        running (stop the unit to end it).

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        try:
            self._manager._call("CancelJob", "u", job_id(self.path))
        except BusError as e:
            if e.name == _NO_SUCH_JOB:
                return False
            raise
        return True


# How often a snapshot of a unit's properties is read again when changes
# were queued beside it (see _Changes) before they are applied to it instead.
SNAPSHOT_TRIES = 4


def queued_changes(props: dict[str, Any], interface: str, signals: list[Any]) -> dict[str, Any]:
    """``props`` of ``interface`` with the changes of the PropertiesChanged
    ``signals`` applied in order."""
    for sig in signals:
        changed_interface, changed, _invalidated = sig.args
        if changed_interface == interface:
            props.update(changed)
    return props


def settled_snapshot(props: dict[str, Any], interface: str, queued: list[Any], attempt: int) -> dict[str, Any] | None:
    """The snapshot to use after reading ``props`` on attempt ``attempt``
    (from 0) with the PropertiesChanged signals ``queued`` beside it, or
    None to read it again (see _Changes)."""
    if not queued:
        return props
    if attempt + 1 == SNAPSHOT_TRIES:
        return queued_changes(props, interface, queued)
    return None


def properties_changed_match(path: str) -> dict[str, Any]:
    """The match of the PropertiesChanged signals of the manager's object ``path``."""
    return {"sender": SERVICE, "path": path, "interface": PROPERTIES, "member": "PropertiesChanged"}


def unit_changes(args: tuple[Any, ...]) -> dict[str, Any] | None:
    """The changed values of a PropertiesChanged signal's ``args`` when they
    are the Unit interface's, else None."""
    interface, changed, _invalidated = args
    return dict(changed) if interface == UNIT_INTERFACE else None


def unit_status(props: Mapping[str, Any]) -> UnitStatus:
    """The UnitStatus of a unit's properties."""
    return UnitStatus(props["LoadState"], props["ActiveState"], props["SubState"])


def next_status(last: UnitStatus, load: str, changed: Mapping[str, Any]) -> UnitStatus | None:
    """The unit's status after the ``changed`` values (with ``load`` read
    anew: LoadState is not among the properties the manager signals), or
    None when it is still ``last``."""
    status = UnitStatus(load, changed.get("ActiveState", last.active), changed.get("SubState", last.sub))
    return None if status == last else status


def wanted_states(load: str | None, active: str | None, sub: str | None) -> dict[str, str]:
    """The states a wait_for() waits for, by UnitStatus field; TypeError when none is given."""
    wanted = {k: v for k, v in (("load", load), ("active", active), ("sub", sub)) if v is not None}
    if not wanted:
        raise TypeError("wait_for() needs at least one of load=, active=, sub=")
    return wanted


def reached(status: UnitStatus, wanted: Mapping[str, str]) -> bool:
    """Whether ``status`` has every state of ``wanted``."""
    return all(getattr(status, k) == v for k, v in wanted.items())


def wait_for_failed(name: str, wanted: Mapping[str, str], timeout: float | None, watch: _WatchState[Any]) -> Exception:
    """The error of a wait_for() whose watch ended before the states were
    reached: TimeoutError naming the last state seen, or ValueError when the
    manager was closed."""
    if not watch.timed_out:
        return ValueError("the manager is closed")
    goal = ", ".join(f"{k}={v!r}" for k, v in wanted.items())
    return TimeoutError(f"{name} did not reach {goal} within {timeout} s; last seen {watch.last}")


class _Changes:
    """The PropertiesChanged signals of one unit, read in order after a
    snapshot of its properties.

    The match is made first, then the snapshot is read.  The manager sends
    its replies and signals in order, but the signals queued when the
    snapshot's reply is taken may include newer ones: another thread
    reading the connection may have gone on past the reply (an asyncio
    driver always does).  Queued signals are dropped, and when there were
    any the snapshot is read again, until a reading finds none queued; then
    nothing newer was dropped, and what follows the snapshot are exactly the
    changes after it.  After SNAPSHOT_TRIES readings the queued changes are
    applied to the last one instead: an older state may then come again,
    but the newest is never lost."""

    def __init__(self, bus: Bus, path: str) -> None:
        self._bus = bus
        self._path = path
        self.sub = bus.subscribe(**properties_changed_match(path))

    def _queued(self) -> list[Any]:
        return list(iter(self.sub._pop, None))

    def snapshot(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        attempt = 0
        while (
            props := settled_snapshot(
                self._bus.get_all(SERVICE, self._path, interface), interface, self._queued(), attempt
            )
        ) is None:
            attempt += 1
        return props

    def next(self, timeout: float | None) -> dict[str, Any]:
        """The changed values of the next change of the Unit interface's
        properties.  TimeoutError when none came in time, ValueError once
        closed."""
        while (changed := unit_changes(self.sub.get(timeout=timeout).args)) is None:
            pass
        return changed

    def close(self) -> None:
        self.sub.close()


def _left(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class _Closable(Protocol):
    def close(self) -> None: ...


_C = TypeVar("_C", bound=_Closable)


class _WatchState(Generic[_C]):
    """What the blocking and the asyncio UnitWatch share: the unit's
    changes, the total deadline and the last state seen."""

    def __init__(self, changes: _C, timeout: float | None) -> None:
        self._changes = changes
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._last: UnitStatus | None = None
        self.timed_out = False

    def _time_left(self) -> float | None:
        """Seconds left (None: no limit); TimeoutError once none are."""
        left = _left(self._deadline)
        if left == 0:
            raise TimeoutError
        return left

    def _first(self, props: Mapping[str, Any]) -> UnitStatus:
        self._last = unit_status(props)
        return self._last

    def _step(self, load: str, changed: Mapping[str, Any]) -> UnitStatus | None:
        """The new state after a change, or None when it is the last one."""
        assert self._last is not None
        status = next_status(self._last, load, changed)
        if status is not None:
            self._last = status
        return status

    def _end(self) -> None:
        """The end at the deadline."""
        self.timed_out = True
        self.close()

    @property
    def last(self) -> UnitStatus | None:
        """The last state seen (None before the first)."""
        return self._last

    def close(self) -> None:
        """Ends the iteration; a waiter in it returns.  Closing twice is fine."""
        self._changes.close()


class UnitWatch(_WatchState[_Changes], Closing):
    """The states of a unit as they change: an iterator of UnitStatus, first
    the current one, then one per change of its load, active or sub state.
    Iteration ends at :meth:`close` (from any thread, or the Manager's
    close()) or when the watch's total ``timeout`` has passed.  Use it as a
    context manager.  It follows the unit by name, so it goes on when the
    manager unloads the unit and loads it again."""

    def __init__(self, unit: Unit, timeout: float | None) -> None:
        super().__init__(_Changes(unit._bus, unit.path), timeout)
        self._unit = unit

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> UnitStatus:
        try:
            if self._last is None:
                return self._first(self._changes.snapshot())
            while True:
                changed = self._changes.next(self._time_left())
                load = self._unit._bus.get_property(SERVICE, self._unit.path, UNIT_INTERFACE, "LoadState")
                if (status := self._step(load, changed)) is not None:
                    return status
        except TimeoutError:
            self._end()
            raise StopIteration from None
        except (ValueError, ConnectionError):
            # Closed meanwhile (the Manager's close() may close its bus
            # under a call of this watch's).
            if self._changes.sub.closed:
                raise StopIteration from None
            raise


class Unit:
    """A unit of the manager, by name; nothing is asked until a property is read."""

    name: str
    path: str

    def __init__(self, manager: Manager, name: str) -> None:
        self._manager = manager
        self._bus = manager.bus
        self.name = name
        self.path = unit_path(name)

    @property
    def status(self) -> UnitStatus:
        """The unit's load, active and sub state (:class:`UnitStatus`), read in
        one GetAll.  A unit that does not exist reads ``("not-found",
        "inactive", "dead")``.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        return unit_status(self.properties())

    def properties(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        """Every property of ``interface`` (the unit's own by default, or its
        type's: ``org.freedesktop.systemd1.Service``, ...), with its D-Bus
        type: str, int, bool, list, tuple, dict.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed.

            m.unit("nginx.service").properties()["MainPID"]
        """
        self._manager._check_open()
        return self._bus.get_all(SERVICE, self.path, interface)

    def details(self) -> UnitDetails:
        """What ``systemctl status`` shows of the unit (:class:`UnitDetails`),
        read in a GetAll of the unit's properties and one of its type's.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        unit = self.properties()
        kind = type_interface(unit["Id"])
        return unit_details(unit, self.properties(kind) if kind else {})

    def watch(self, timeout: float | None = None) -> UnitWatch:
        """The unit's states as they change (:class:`UnitWatch`); ``timeout`` is
        the watch's total time in seconds (None: until closed). The match is
        in place before the current state is read.

        Raises ValueError once the manager is closed.

            with m.unit("nginx.service").watch(timeout=60) as w:
                for status in w: ...
        """
        self._manager._check_open()
        watch = UnitWatch(self, timeout)
        self._manager._track(watch)
        return watch

    def wait_for(
        self,
        *,
        load: str | None = None,
        active: str | None = None,
        sub: str | None = None,
        timeout: float | None = None,
    ) -> UnitStatus:
        """Waits until the unit's states are all those given and returns its
        :class:`UnitStatus` then.

        Raises TypeError when no state is given; TimeoutError, naming the last
        state seen, after ``timeout`` seconds (None: no limit); ValueError
        once the manager is closed.

            m.unit("nginx.service").wait_for(active="active", timeout=30)
        """
        wanted = wanted_states(load, active, sub)
        with self.watch(timeout) as watch:
            for status in watch:
                if reached(status, wanted):
                    return status
        raise wait_for_failed(self.name, wanted, timeout, watch)

    def journal(self, lines: int = 10) -> list[JournalEntry]:
        """The unit's last ``lines`` journal entries, oldest first, as
        ``journalctl -u`` shows them (its own lines and the manager's about
        it). They are read from this machine's journal for this machine's
        manager (``Bus.system()`` at its default address), from the folder the
        Manager was given as ``root=``, or, over ``Bus.remote(host)``, by
        ``journalctl -o json`` on that host through the same SSH target.

        Raises ValueError for a manager on any other address (read it with
        ``journal.entries(unit, root=...)``); ConnectionError when the host
        cannot be reached."""
        return self._manager._journal(self.name, lines)

    def __repr__(self) -> str:
        return f"<Unit {self.name}>"


class Run:
    """A transient service started by :meth:`Manager.run`; ``unit`` is its
    name.  The manager keeps the unit (even with ``collect=True``) until
    :meth:`wait` has read its results, or until the connection closes."""

    unit: str

    def __init__(self, manager: Manager, unit: str, changes: _Changes) -> None:
        self._manager = manager
        self._changes = changes
        self._lock = threading.Lock()  # one waiter reads at a time
        self._result: RunResult | None = None
        self._queued = _now_usec()
        self.unit = unit

    def wait(self, timeout: float | None = None) -> RunResult:
        """Waits until the service has exited (not only started) and returns its
        :class:`RunResult`, with the unit's last journal entries.  Any number
        of threads may wait; the result is read once.

        Raises TimeoutError after ``timeout`` seconds (None: no limit), naming
        the unit's last state, after which the run stays waitable; ValueError
        once the manager is closed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        if not self._lock.acquire(timeout=-1 if timeout is None else timeout):
            raise RunTimeout(f"{self.unit} did not finish within {timeout} s", self)
        try:
            if self._result is None:
                self._result = self._wait(deadline, timeout)
            return self._result
        finally:
            self._lock.release()

    def _wait(self, deadline: float | None, timeout: float | None) -> RunResult:
        bus = self._manager.bus
        try:
            unit = self._changes.snapshot()
            while True:
                if run_settled(unit):
                    # Signals may lag behind: settled only if the manager agrees now.
                    unit = self._changes.snapshot()
                    if run_settled(unit):
                        break
                try:
                    unit.update(self._changes.next(_left(deadline)))
                except TimeoutError:
                    state = f"{unit.get('ActiveState')}/{unit.get('SubState')}"
                    raise RunTimeout(f"{self.unit} did not finish within {timeout} s ({state})", self) from None
            service = bus.get_all(SERVICE, unit_path(self.unit), SERVICE_INTERFACE)
        except ValueError:
            if self._manager.closed:
                raise ValueError("the manager is closed") from None
            raise
        self._changes.close()
        result = run_result(self.unit, unit, service)
        finished = service.get("ExecMainExitTimestamp") or self._queued
        ended = run_ended(finished, unit.get("ActiveState") == "active")
        result = dataclasses.replace(result, journal=self._manager._settled_journal(self.unit, ended))
        self._manager._unref(self.unit)
        return result

    def __repr__(self) -> str:
        return f"<Run {self.unit}: {self._result.result if self._result else 'running'}>"


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
    if "=" not in address:  # Bus.remote(host) keeps the host as its address
        return "remote", address
    raise ValueError(
        f"the journal of the manager at {address} is not on this machine: give Manager(bus, root=...) "
        "the folder where that machine is installed, or use journal.entries(unit, root=...)"
    )


def _now_usec() -> int:
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


def _local_settled_entries(root: str | None, unit: str, settled: Settled) -> list[JournalEntry]:
    """The unit's last entries, once the manager's line that ``settled``
    recognises is in the journal: journald may still be writing the last
    lines (all of them, for a unit that never logged before) when the job or
    the process has ended.  Waits (at most _SETTLE_WAIT) only where journald
    writes at all."""
    j = _journal.open_journal(unit, root)
    try:
        found = [_journal.make_entry(*e) for e in j.read(_FAILURE_LINES)]
        if any(settled(e) for e in found) or (not found and not journal_in_use(root)):
            return found
        j.seek_tail(0)
        deadline = time.monotonic() + _SETTLE_WAIT
        while (left := deadline - time.monotonic()) > 0:
            new = j.follow(left)
            if not new:
                break
            if any(settled(_journal.make_entry(*e)) for e in new):
                break
        return [_journal.make_entry(*e) for e in j.read(_FAILURE_LINES)]
    finally:
        j.close()


class _HasAddress(Protocol):
    @property
    def address(self) -> str: ...


class _HasChanges(Protocol):
    @property
    def _changes(self) -> _Closable: ...


class _ManagerState:
    """What the blocking and the asyncio Manager share: where the units'
    journal is, whether the manager is closed, and the job watch, unit
    watches and runs that closing it ends."""

    bus: _HasAddress
    root: str | None
    closed: bool

    def __init__(self, root: str | os.PathLike[str] | None, watch: _Closable) -> None:
        self.root = None if root is None else os.fspath(root)
        self._watch = watch
        self._watches: weakref.WeakSet[_Closable] = weakref.WeakSet()
        self._runs: weakref.WeakSet[_HasChanges] = weakref.WeakSet()
        self.closed = False

    def _close_all(self) -> None:
        self.closed = True
        self._watch.close()
        for watch in list(self._watches):
            watch.close()
        for run in list(self._runs):
            run._changes.close()

    def _track(self, watch: _Closable) -> None:
        self._watches.add(watch)
        if self.closed:
            watch.close()

    def _track_run(self, run: _HasChanges) -> None:
        self._runs.add(run)
        if self.closed:  # closed while the unit was being started
            run._changes.close()

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("the manager is closed")

    def _journal_source(self) -> tuple[str, str | None]:
        return journal_source(self.root, self.bus.address)


def run_attempts(name: str | None) -> int:
    """How many names run() tries: a generated one may be taken, then it draws another."""
    return 1 if name is not None else 8


def retry_run(e: BaseException, attempt: int, attempts: int) -> bool:
    """Whether a StartTransientUnit that failed with ``e`` is tried again under a new name."""
    return isinstance(e, BusError) and e.name == _UNIT_EXISTS and attempt + 1 < attempts


def unit_file_list(found: Iterable[tuple[str, str]]) -> list[UnitFile]:
    """The UnitFile of each (path, state) the manager lists."""
    return [UnitFile(path.rpartition("/")[2], path, state) for path, state in found]


def unit_list(found: Iterable[Any]) -> list[UnitInfo]:
    """The UnitInfo of each entry ListUnits and ListUnitsByPatterns answer."""
    return [UnitInfo(u[0], u[1], u[2], u[3], u[4], u[6]) for u in found]


class Manager(_ManagerState, Closing):
    """systemd's manager on a bus: ``Manager()`` opens a connection of its own
    to the system bus and closes it with :meth:`close` (or at the end of a
    ``with`` block); ``Manager(bus)`` uses ``bus`` (a varquin.Bus) and leaves
    it open.  Any number of Managers may share a Bus, from any threads.

    ``root`` is the folder where the manager's machine is installed, as this
    machine sees it (a container's ``/proc/PID/root``): its units' journal
    is read there.  Without it, only this machine's own manager
    (``Bus.system()`` at its default address) and a host's over
    ``Bus.remote(host)`` have a journal to read (see :meth:`Unit.journal`)."""

    bus: Bus
    root: str | None

    def __init__(self, bus: Bus | None = None, *, root: str | os.PathLike[str] | None = None) -> None:
        self._owns_bus = bus is None
        self.bus = Bus.system() if bus is None else blocking_bus(bus)
        self._watch: _JobWatch
        super().__init__(root, _JobWatch(self.bus))

    def close(self) -> None:
        """Ends the job subscription, every unit watch and every run's wait, and
        closes the bus when the manager opened it (a Bus given to it stays
        open). Closing twice is fine; afterwards the manager's methods raise
        ValueError."""
        self._close_all()
        if self._owns_bus:
            self.bus.close()

    def _journal(self, unit: str, lines: int) -> list[JournalEntry]:
        how, where = self._journal_source()
        if how == "remote":
            assert where is not None
            return _journal.remote_entries(where, unit, lines)
        return _journal.entries(unit=unit, lines=lines, root=where)

    def _settled_journal(self, unit: str, settled: Settled) -> list[JournalEntry]:
        """The entries JobFailed and RunResult carry: [] wherever they cannot be read."""
        try:
            how, where = self._journal_source()
            if how != "remote":
                return _local_settled_entries(where, unit, settled)
            # Over SSH: read again, a little later, until the line is in.
            deadline = time.monotonic() + _SETTLE_WAIT
            found = self._journal(unit, _FAILURE_LINES)
            while found and not any(settled(e) for e in found) and time.monotonic() < deadline:
                time.sleep(_REMOTE_SETTLE_PAUSE)
                found = self._journal(unit, _FAILURE_LINES)
            return found
        except (ValueError, OSError) as e:
            log.debug("journal of %s: %s", unit, e)
            return []

    def _call(self, member: str, signature: str = "", *args: Any, timeout: float | None = None) -> tuple[Any, ...]:
        self._check_open()
        try:
            return self.bus.call(SERVICE, MANAGER_PATH, MANAGER_INTERFACE, member, signature, *args, timeout=timeout)
        except BusError as e:
            if e.name in _NOT_FOUND:
                raise NoSuchUnit(e.message) from e
            raise

    # -- unit files -------------------------------------------------------------------

    def _reloaded(self, changes: list[Change], reload: bool) -> list[Change]:
        if changes and reload:
            self.daemon_reload()
        return changes

    def enable(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        """Enables the unit files (``runtime``: under /run, until reboot;
        ``force``: replace links in the way) and returns every change made,
        ``[]`` when there was nothing to do.  After a change the manager
        reloads its configuration, as systemctl does (``reload=False`` not
        to).

        Raises NoSuchUnit for a unit file that does not exist, BusError
        ``org.freedesktop.systemd1.UnitMasked`` for a masked one, AccessDenied
        where the caller may not do it, NoReply (also a TimeoutError) when the
        manager does not answer in time, ValueError once the manager is
        closed.

            m.enable("nginx.service")
            # [Change(type='symlink', path='/etc/systemd/system/multi-user.target.wants/nginx.service',
            #         source='/usr/lib/systemd/system/nginx.service')]
        """
        carries_install_info, changes = self._call("EnableUnitFiles", "asbb", units, runtime, force)
        if not carries_install_info:
            log.debug("enable %s: no installation information in the unit files", " ".join(units))
        return self._reloaded([Change(*c) for c in changes], reload)

    def disable(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        """Disables the unit files (``runtime``: only the links under /run) and
        returns every change made, reloading the manager after a change as
        :meth:`enable` does (``reload=False`` not to).

        Raises NoSuchUnit for a unit file that does not exist, AccessDenied
        where the caller may not do it, NoReply (also a TimeoutError) when the
        manager does not answer in time, ValueError once the manager is
        closed."""
        (changes,) = self._call("DisableUnitFiles", "asb", units, runtime)
        return self._reloaded([Change(*c) for c in changes], reload)

    def mask(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        """Links the unit files to /dev/null so that nothing can start the units
        (``runtime``: under /run, until reboot; ``force``: replace a file in
        the way) and returns every change made, reloading the manager after a
        change as :meth:`enable` does.  Starting a masked unit then raises
        BusError ``org.freedesktop.systemd1.UnitMasked``.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        (changes,) = self._call("MaskUnitFiles", "asbb", units, runtime, force)
        return self._reloaded([Change(*c) for c in changes], reload)

    def unmask(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        """Removes the masks of the units and returns every change made (``[]``
        for a unit that was not masked), reloading the manager after a change
        as :meth:`enable` does.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        (changes,) = self._call("UnmaskUnitFiles", "asb", units, runtime)
        return self._reloaded([Change(*c) for c in changes], reload)

    def daemon_reload(self) -> None:
        """Reloads the manager's configuration and unit files; returns once the
        manager has reloaded.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        self._call("Reload")

    def is_enabled(self, unit: str) -> str:
        """The state of the unit's file (GetUnitFileState): ``"enabled"``,
        ``"disabled"``, ``"static"``, ``"masked"``, ``"alias"``,
        ``"transient"``, ...

        Raises NoSuchUnit for a unit without a file, AccessDenied where the
        caller may not do it, NoReply (also a TimeoutError) when the manager
        does not answer in time, ValueError once the manager is closed.

            m.is_enabled("nginx.service")     # 'enabled'
        """
        (state,) = self._call("GetUnitFileState", "s", unit)
        return str(state)

    def list_unit_files(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitFile]:
        """The unit files the manager knows (a list of :class:`UnitFile`) whose
        names match one of the shell-style ``patterns`` (all when empty) and
        whose state is one of ``states`` (any when empty).

        Raises TypeError when ``patterns`` or ``states`` is a bare str or
        holds something other than str, AccessDenied where the caller may not
        do it, NoReply (also a TimeoutError) when the manager does not answer
        in time, ValueError once the manager is closed.

            m.list_unit_files(["*.timer"], ["enabled"])
        """
        patterns, states = name_list(patterns, "patterns"), name_list(states, "states")
        try:
            (found,) = self._call("ListUnitFilesByPatterns", "asas", states, patterns)
        except UnknownMethod:
            # A manager older than ListUnitFilesByPatterns: filter here.
            (found,) = self._call("ListUnitFiles")
            return filter_unit_files(found, patterns, states)
        return unit_file_list(found)

    # -- jobs ---------------------------------------------------------------------------

    def _job(self, member: str, unit: str, mode: str, wait: bool, timeout: float | None) -> Job:
        deadline = None if timeout is None else time.monotonic() + timeout

        def call() -> str:
            (path,) = self._call(member, "ss", unit, mode, timeout=timeout)
            return str(path)

        queued = _now_usec()
        path, outcome = self._watch.queue(call)
        job = Job(self, outcome, path, unit)
        if wait:
            result = job.wait(_left(deadline))
            if result != "done":
                raise JobFailed(
                    result, unit, job.path, self._settled_journal(unit, job_ended(job.path, result, queued))
                )
        return job

    def start(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a start job for ``unit`` and returns its :class:`Job`. ``mode``
        is the manager's job mode (``"replace"``, ``"fail"``, ``"isolate"``,
        ``"ignore-dependencies"``, ...). With ``wait=True`` it returns once
        the job has ended (the unit has started: it may still fail later) and
        raises :class:`JobFailed` (with the unit's last journal lines) unless
        it ended ``"done"``; ``timeout`` bounds the whole in seconds.

        Raises NoSuchUnit for a unit that does not exist, BusError
        ``org.freedesktop.systemd1.UnitMasked`` for a masked one, InvalidArgs
        for a mode the manager does not know, TimeoutError when ``timeout``
        passes, SignalsLost when the job's end was dropped from a full signal
        queue (its result is unknown), AccessDenied where the caller may not,
        and ValueError once the manager is closed.

            m.start("nginx.service", wait=True, timeout=30)
        """
        return self._job("StartUnit", unit, mode, wait, timeout)

    def stop(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a stop job for ``unit`` and returns its :class:`Job`; ``mode``,
        ``wait`` and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return self._job("StopUnit", unit, mode, wait, timeout)

    def restart(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a restart job for ``unit`` (a unit that was not running is
        started) and returns its :class:`Job`; ``mode``, ``wait`` and
        ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return self._job("RestartUnit", unit, mode, wait, timeout)

    def reload(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a reload job for ``unit`` and returns its :class:`Job`;
        ``mode``, ``wait`` and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed.  A unit
        that cannot reload raises BusError
        ``org.freedesktop.systemd1.JobTypeNotApplicable``."""
        return self._job("ReloadUnit", unit, mode, wait, timeout)

    def try_restart(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a try-restart job for ``unit`` (for a unit that is not running
        the job does nothing) and returns its :class:`Job`; ``mode``, ``wait``
        and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return self._job("TryRestartUnit", unit, mode, wait, timeout)

    def reload_or_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """Queues a reload-or-restart job for ``unit`` (a unit that can reload
        reloads, another restarts, one not running starts) and returns its
        :class:`Job`; ``mode``, ``wait`` and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return self._job("ReloadOrRestartUnit", unit, mode, wait, timeout)

    # -- transient runs ---------------------------------------------------------------

    @overload
    def run(
        self,
        argv: Iterable[str],
        *,
        name: str | None = None,
        wait: Literal[False] = False,
        timeout: float | None = None,
        properties: Mapping[str, Any] | None = None,
        collect: bool = False,
    ) -> Run: ...

    @overload
    def run(
        self,
        argv: Iterable[str],
        *,
        name: str | None = None,
        wait: Literal[True],
        timeout: float | None = None,
        properties: Mapping[str, Any] | None = None,
        collect: bool = False,
    ) -> RunResult: ...

    def run(
        self,
        argv: Iterable[str],
        *,
        name: str | None = None,
        wait: bool = False,
        timeout: float | None = None,
        properties: Mapping[str, Any] | None = None,
        collect: bool = False,
    ) -> Run | RunResult:
        """Runs ``argv`` as a transient service (``StartTransientUnit``, job mode
        "fail") and returns its :class:`Run`, or with ``wait=True`` its
        :class:`RunResult` once the service has exited; ``timeout`` bounds the
        whole in seconds.

        ``argv[0]`` must be an absolute path; the arguments reach the command
        as written (``$`` is not expanded). The unit is ``name`` (``.service``
        added when it has no suffix) or a new ``run-u<N>.service``.
        ``properties`` sets unit properties from plain values for the names of
        PROPERTY_TYPES (``{"User": "nobody", "MemoryMax": 256 << 20,
        "Environment": ["A=1"]}``; a standard stream may name a file as
        systemd-run does: ``{"StandardOutput": "append:/var/log/job.log"}``);
        any other name needs a varquin.Variant.  ``collect=True`` lets the
        manager unload the unit once its results are read, failed or not.

        Raises ValueError for a relative ``argv[0]`` or a property outside
        PROPERTY_TYPES given without a Variant; TypeError for a bare str as
        ``argv`` or as a list-of-str property; BusError
        ``org.freedesktop.systemd1.UnitExists`` for a ``name`` in use;
        InvalidArgs for a property value the manager refuses; TimeoutError
        when ``timeout`` passes; AccessDenied where the caller may not;
        ValueError once the manager is closed.

            r = m.run(["/bin/sh", "-c", "exit 7"], wait=True)
            r.result, r.exit_status                # ('exit-code', 7)
        """
        props = _run_properties(argv, properties, collect)
        self._check_open()
        deadline = None if timeout is None else time.monotonic() + timeout
        attempts = run_attempts(name)
        for attempt in range(attempts):
            unit = _run_name(name)
            changes = _Changes(self.bus, unit_path(unit))
            try:
                self._call("StartTransientUnit", "ssa(sv)a(sa(sv))", unit, "fail", props, [], timeout=_left(deadline))
            except BaseException as e:
                changes.close()
                if retry_run(e, attempt, attempts):
                    continue
                raise
            break
        started = Run(self, unit, changes)
        self._track_run(started)
        return started.wait(_left(deadline)) if wait else started

    def _unref(self, unit: str) -> None:
        """Drops the reference a run took on its unit (the manager may then
        unload it); a unit already gone is fine."""
        try:
            self._call("UnrefUnit", "s", unit)
        except BusError as e:
            log.debug("unref %s: %s", unit, e)

    # -- units --------------------------------------------------------------------------

    def unit(self, name: str) -> Unit:
        """The :class:`Unit` ``name``; nothing is asked until its status or
        properties are read, so a name that does not exist raises nothing
        here."""
        return Unit(self, name)

    def list_units(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitInfo]:
        """The units the manager has loaded (a list of :class:`UnitInfo`) whose
        names match one of the shell-style ``patterns`` (all when empty) and
        whose load, active or sub state is one of ``states`` (any when empty).

        Raises TypeError when ``patterns`` or ``states`` is a bare str or
        holds something other than str, AccessDenied where the caller may not
        do it, NoReply (also a TimeoutError) when the manager does not answer
        in time, ValueError once the manager is closed.

            [u.name for u in m.list_units(states=["failed"])]
        """
        patterns, states = name_list(patterns, "patterns"), name_list(states, "states")
        try:
            (found,) = self._call("ListUnitsByPatterns", "asas", states, patterns)
        except UnknownMethod:
            # A manager older than ListUnitsByPatterns: filter here.
            (found,) = self._call("ListUnits")
            return filter_units(found, patterns, states)
        return unit_list(found)

    def reset_failed(self, unit: str | None = None) -> None:
        """Resets the failed state (and the restart counter) of ``unit``, or of
        every unit when None.

        Raises NoSuchUnit for a unit that is not loaded, AccessDenied where
        the caller may not do it, NoReply (also a TimeoutError) when the
        manager does not answer in time, ValueError once the manager is
        closed."""
        if unit is None:
            self._call("ResetFailed")
        else:
            self._call("ResetFailedUnit", "s", unit)

    def kill(self, unit: str, signal: int = _signal.SIGTERM, whom: str = "all") -> None:
        """Sends ``signal`` to the unit's processes: ``whom`` is ``"all"``,
        ``"main"`` (the main process) or ``"control"`` (a running ExecStop=
        and the like).

        Raises NoSuchUnit for a unit that is not loaded, BusError
        ``org.freedesktop.systemd1.NoSuchProcess`` when it has no such
        process, InvalidArgs for a ``whom`` the manager does not know,
        AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed.

            m.kill("nginx.service", signal.SIGHUP, whom="main")
        """
        self._call("KillUnit", "ssi", unit, whom, int(signal))

    def set_properties(self, unit: str, properties: Mapping[str, Any], *, runtime: bool = False) -> None:
        """Sets unit properties as ``systemctl set-property`` does: persistent (a
        drop-in under /etc) unless ``runtime`` (under /run, until reboot).
        Values are those of :meth:`run`'s ``properties``.

        Raises ValueError for a property outside PROPERTY_TYPES given without
        a Variant, TypeError for a bare str as a list-of-str property,
        NoSuchUnit for a unit that is not loaded, InvalidArgs (or another
        BusError with the manager's reason) for a property it cannot set on
        the unit, AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed.

            m.set_properties("nginx.service", {"MemoryMax": 512 << 20}, runtime=True)
        """
        self._call("SetUnitProperties", "sba(sv)", unit, runtime, unit_properties(properties))

"""What the manager's answers become: the result types of varquin.systemd
(blocking and asyncio alike) and how each is made from the replies."""

from __future__ import annotations

import dataclasses
import fnmatch
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from typing import Any, NamedTuple

from varquin.journal import JournalEntry
from varquin.systemd.properties import UNAVAILABLE

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
    does not report them.  ``journal`` holds this run's last journal entries
    (up to 10, read once it has settled): ``[]`` when it wrote none, None
    where the journal cannot be read (see :meth:`Unit.journal`)."""

    unit: str
    result: str
    exit_code: str | None
    exit_status: int | None
    started: datetime | None
    finished: datetime | None
    cpu_usage: timedelta | None
    memory_peak: int | None
    invocation_id: str
    journal: list[JournalEntry] | None = dataclasses.field(default=None, compare=False)


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
    10; None where they cannot be read, see :meth:`Unit.journal`)."""

    result: str
    unit: str
    job: str
    journal: list[JournalEntry] | None

    def __init__(self, result: str, unit: str, job: str = "", journal: list[JournalEntry] | None = None) -> None:
        super().__init__(result, unit, job)
        self.result = result
        self.unit = unit
        self.job = job
        self.journal = journal

    def __str__(self) -> str:
        return f"job for {self.unit} finished with result '{self.result}'"


class UnitFailed(Exception):
    """A wait for a unit's state that cannot end well: the unit has failed and
    no job is queued that could change that.  ``unit`` is its name,
    ``status`` its :class:`UnitStatus`, ``journal`` its last journal entries
    (None where they cannot be read)."""

    def __init__(self, unit: str, status: UnitStatus, journal: list[JournalEntry] | None) -> None:
        super().__init__(unit, status)
        self.unit = unit
        self.status = status
        self.journal = journal

    def __str__(self) -> str:
        return f"{self.unit} has failed ({self.status.active}/{self.status.sub}) and no job is queued for it"


def _timestamp(usec: int) -> datetime | None:
    """A manager timestamp (µs since the epoch, 0 when unset) as an aware datetime."""
    if not usec or usec == UNAVAILABLE:
        return None
    return datetime(1970, 1, 1, tzinfo=UTC) + timedelta(microseconds=usec)


def _available(value: int | None) -> int | None:
    return None if value is None or value == UNAVAILABLE else value


def _cpu(nsec: int | None) -> timedelta | None:
    nsec = _available(nsec)
    return None if nsec is None else timedelta(microseconds=nsec // 1000)


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
        main_pid=kind.get("MainPID") or kind.get("ExecMainPID") or None,
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


def unit_status(props: Mapping[str, Any]) -> UnitStatus:
    """The UnitStatus of a unit's properties."""
    return UnitStatus(props["LoadState"], props["ActiveState"], props["SubState"])


def unit_file_list(found: Iterable[tuple[str, str]]) -> list[UnitFile]:
    """The UnitFile of each (path, state) the manager lists."""
    return [UnitFile(path.rpartition("/")[2], path, state) for path, state in found]


def unit_list(found: Iterable[Any]) -> list[UnitInfo]:
    """The UnitInfo of each entry ListUnits and ListUnitsByPatterns answer."""
    return [UnitInfo(u[0], u[1], u[2], u[3], u[4], u[6]) for u in found]

"""systemd's manager driven by the calling thread: the blocking driver of
the logic in varquin.systemd._calls, and the Manager itself."""

from __future__ import annotations

import os
import signal as _signal
import subprocess
import time
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Literal, TypeVar, overload

from varquin import journal as _journal
from varquin._closing import Closing
from varquin._deadline import Deadline
from varquin.bus import Bus
from varquin.systemd import _calls
from varquin.systemd import _unit_journal as uj
from varquin.systemd._effects import (
    Call,
    Effect,
    FollowJournal,
    GetAll,
    GetProperty,
    Next,
    Op,
    Queued,
    ReadJob,
    ReadJournal,
    Sleep,
    Subscribe,
)
from varquin.systemd._names import SERVICE
from varquin.systemd._state import ManagerState, take_queued
from varquin.systemd.jobs import Job, read_job
from varquin.systemd.results import Change, RunResult, UnitFile, UnitInfo
from varquin.systemd.runs import Run
from varquin.systemd.units import Unit

T = TypeVar("T")


def _type_name(obj: object) -> str:
    cls = type(obj)
    return cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


def blocking_bus(bus: object) -> Bus:
    """``bus`` when it is a (blocking) varquin.Bus; TypeError otherwise, an
    asyncio Bus included."""
    if not isinstance(bus, Bus):
        raise TypeError(f"a varquin.Bus is needed, not {_type_name(bus)}")
    return bus


def _read_journal(e: ReadJournal) -> Any:
    if e.how == "remote":
        assert e.where is not None
        if not e.user:
            return _journal.remote_entries(e.where, e.unit, e.lines)
        argv = uj.remote_argv(e.where, e.unit, e.lines, True)
        try:
            done = subprocess.run(argv, capture_output=True, timeout=60, check=False, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            raise TimeoutError(f"the journal of {e.where} did not arrive within 60 s") from None
        return _journal.parse_json_lines(e.where, done.returncode, done.stdout, done.stderr)
    return uj.read_entries(e.unit, e.where, e.uid, e.lines)


@_calls.documented(_calls.manager_docs)
class Manager(ManagerState, Closing):
    """systemd's manager on a bus: ``Manager()`` opens a connection of its own
    to the system bus and closes it with :meth:`close` (or at the end of a
    ``with`` block); ``Manager(bus)`` uses ``bus`` (a varquin.Bus) and leaves
    it open.  Any number of Managers may share a Bus, from any threads.

    ``user=True``: the user's own manager (``systemctl --user``), on
    ``Bus.user(manager=True)`` when no bus is given (its own socket first, as
    systemctl reaches it: through the user bus the manager asks polkit before
    it changes anything); a given bus is then one where a
    user's manager is (``Bus.user()``, ``Bus.remote(host, user=True)``), and
    its units' journal is read as ``journalctl --user-unit`` reads it.

    ``root`` is the folder where the manager's machine is installed, as this
    machine sees it (a container's ``/proc/PID/root``): its units' journal
    is read there.  Without it, only this machine's own managers
    (``Bus.system()`` at its default address, ``Bus.user()``) and a host's
    over ``Bus.remote(host)`` have a journal to read (see
    :meth:`Unit.journal`)."""

    bus: Bus
    root: str | None

    def __init__(
        self, bus: Bus | None = None, *, user: bool = False, root: str | os.PathLike[str] | None = None
    ) -> None:
        self._owns_bus = bus is None
        if bus is None:
            bus = Bus.user(manager=True) if user else Bus.system()
        super().__init__(blocking_bus(bus), root, user)
        b = self.bus
        # What each request of the logic is, on this thread.
        self._perform: dict[type, Callable[[Any], Any]] = {
            Call: lambda e: b.call(
                e.destination, e.path, e.interface, e.member, e.signature, *e.args, timeout=e.timeout
            ),
            GetAll: lambda e: b.get_all(SERVICE, e.path, e.interface),
            GetProperty: lambda e: b.get_property(SERVICE, e.path, e.interface, e.name),
            Subscribe: lambda e: b.subscribe(**e.match),
            Next: lambda e: e.sub.get(timeout=e.timeout),
            Queued: lambda e: take_queued(e.sub._pop),
            ReadJob: lambda e: read_job(self, e),
            ReadJournal: _read_journal,
            FollowJournal: lambda e: e.journal.follow(e.timeout),
            Sleep: lambda e: time.sleep(e.seconds),
        }

    def _drive(self, op: Op[T]) -> T:
        """Runs ``op`` to its end, performing each of its requests here."""
        perform = self._perform
        value: Any = None
        failed = False
        while True:
            try:
                effect: Effect = op.throw(value) if failed else op.send(value)
            except StopIteration as done:
                return done.value  # type: ignore[no-any-return]
            try:
                value, failed = perform[type(effect)](effect), False
            except BaseException as e:  # handed to the logic, which may handle it
                value, failed = e, True

    def close(self) -> None:
        self._close_all()
        if self._owns_bus:
            self.bus.close()

    # -- unit files -------------------------------------------------------------------

    def enable(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        return self._drive(_calls.enable(self, units, runtime, force, reload))

    def disable(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        return self._drive(_calls.disable(self, units, runtime, reload))

    def mask(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        return self._drive(_calls.mask(self, units, runtime, force, reload))

    def unmask(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        return self._drive(_calls.unmask(self, units, runtime, reload))

    def daemon_reload(self) -> None:
        self._drive(_calls.daemon_reload(self))

    def is_enabled(self, unit: str) -> str:
        return self._drive(_calls.is_enabled(self, unit))

    def list_unit_files(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitFile]:
        return self._drive(_calls.list_unit_files(self, patterns, states))

    # -- jobs ---------------------------------------------------------------------------

    def _job(self, verb: str, unit: str, mode: str, wait: bool, timeout: float | None) -> Job:
        def make(path: str, outcome: Any, name: str) -> Job:
            return Job(self, outcome, path, name)

        return self._drive(_calls.job(self, _calls.JOB_MEMBERS[verb], unit, mode, wait, timeout, make))

    def start(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return self._job("start", unit, mode, wait, timeout)

    def stop(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return self._job("stop", unit, mode, wait, timeout)

    def restart(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return self._job("restart", unit, mode, wait, timeout)

    def reload(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return self._job("reload", unit, mode, wait, timeout)

    def try_restart(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return self._job("try_restart", unit, mode, wait, timeout)

    def reload_or_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        return self._job("reload_or_restart", unit, mode, wait, timeout)

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
        deadline = Deadline(timeout)
        unit, changes = self._drive(_calls.run(self, argv, name, deadline, properties, collect))
        started = Run(self, unit, changes, collect)
        return started._wait_until(deadline) if wait else started

    # -- units --------------------------------------------------------------------------

    def unit(self, name: str) -> Unit:
        return Unit(self, name)

    def list_units(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitInfo]:
        return self._drive(_calls.list_units(self, patterns, states))

    def reset_failed(self, unit: str | None = None) -> None:
        self._drive(_calls.reset_failed(self, unit))

    def kill(self, unit: str, signal: int = _signal.SIGTERM, whom: str = "all") -> None:
        self._drive(_calls.kill(self, unit, signal, whom))

    def set_properties(self, unit: str, properties: Mapping[str, Any], *, runtime: bool = False) -> None:
        self._drive(_calls.set_properties(self, unit, properties, runtime))

"""systemd's manager on an asyncio Bus: the methods of varquin.systemd,
awaited, with no thread per call or per wait (every wait is a signal read
by the event loop).

    from varquin import aio
    from varquin.aio import systemd

    async with await aio.Bus.system() as abus:
        m = systemd.Manager(abus)
        await m.start("nginx.service", wait=True, timeout=30)
        r = await m.run(["/bin/sh", "-c", "exit 7"], wait=True)    # RunResult(..., exit_status=7)
        u = m.unit("nginx.service")
        await u.wait_for(active="active", timeout=30)
        async for status in u.watch(timeout=10): ...

Results, errors, arguments and docstrings are those of varquin.systemd
(UnitStatus, RunResult, JobFailed, ...): the logic is the same, written
once in varquin.systemd._calls; this module is the driver that awaits what
it asks for.
"""

from __future__ import annotations

import asyncio
import os
import signal as _signal
from collections.abc import Awaitable, Callable, Iterable, Mapping
from typing import Any, Literal, Self, TypeVar, overload

from varquin import journal as _journal
from varquin._closing import AsyncClosing
from varquin._deadline import Deadline
from varquin.aio import Bus
from varquin.errors import SignalsLost
from varquin.journal import JournalEntry
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
from varquin.systemd._names import SERVICE, UNIT_INTERFACE
from varquin.systemd._state import (
    Changes,
    ManagerState,
    WatchState,
    properties_changed_match,
    take_queued,
    wanted_states,
)
from varquin.systemd.jobs import JobBase
from varquin.systemd.results import Change, RunResult, RunTimeout, UnitDetails, UnitFile, UnitInfo, UnitStatus
from varquin.systemd.runs import RunBase
from varquin.systemd.units import UnitBase

__all__ = ["Job", "Manager", "Run", "Unit", "UnitWatch"]

T = TypeVar("T")

# Seconds a host's journal may take to arrive over SSH, as for the blocking
# Manager's read (varquin.journal.remote_entries).
_REMOTE_JOURNAL_TIMEOUT = 60


async def _remote_entries(host: str, argv: list[str]) -> list[JournalEntry]:
    proc = await asyncio.create_subprocess_exec(
        *argv,
        stdin=asyncio.subprocess.DEVNULL,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.PIPE,
    )
    try:
        async with asyncio.timeout(_REMOTE_JOURNAL_TIMEOUT):
            out, err = await proc.communicate()
    except BaseException:
        if proc.returncode is None:
            proc.kill()
            await proc.wait()
        raise
    return _journal.parse_json_lines(host, proc.returncode or 0, out, err)


async def _read_journal(e: ReadJournal) -> list[JournalEntry]:
    if e.how == "remote":
        assert e.where is not None
        return await _remote_entries(e.where, uj.remote_argv(e.where, e.unit, e.lines, e.user))
    # A local read: files mapped in memory, no wait.
    return uj.read_entries(e.unit, e.where, e.uid, e.lines)


def _wake(woke: asyncio.Future[None]) -> None:
    if not woke.done():
        woke.set_result(None)


async def _follow_journal(e: FollowJournal) -> list[Any]:
    """The journal's new entries, waiting on the loop for its descriptor
    (as varquin.aio.journal.follow does) until some come or the time is up."""
    journal, deadline = e.journal, Deadline(e.timeout)
    loop = asyncio.get_running_loop()
    fd = journal.fileno()
    while not (found := journal.follow(0)) and not deadline.passed:
        woke: asyncio.Future[None] = loop.create_future()
        loop.add_reader(fd, _wake, woke)
        try:
            async with asyncio.timeout(deadline.left()):
                await woke
        except TimeoutError:
            break
        finally:
            loop.remove_reader(fd)
        journal.process()
    return list(found or [])


@_calls.documented(_calls.manager_docs)
class Manager(ManagerState, AsyncClosing):
    """systemd's manager on a varquin.aio.Bus, every call awaited on the event
    loop with no thread per call or per wait.  ``Manager(abus)`` uses ``abus``
    and leaves it open; ``async with`` closes the manager at the block's end.
    ``root`` is the folder where the manager's machine is installed, as this
    machine sees it (a container's ``/proc/PID/root``): its units' journal is
    read there.  ``user=True``: the bus is one where a user's own manager is
    (``await aio.Bus.user(manager=True)``, ``await aio.Bus.remote(host, user=True)``), as
    for the blocking Manager.

    Raises TypeError for a bus that is not a varquin.aio.Bus (a blocking
    varquin.Bus included).

        async with await aio.Bus.system() as abus, systemd.Manager(abus) as m:
            await m.start("nginx.service", wait=True, timeout=30)
    """

    bus: Bus

    def __init__(self, bus: Bus, *, user: bool = False, root: str | os.PathLike[str] | None = None) -> None:
        if not isinstance(bus, Bus):
            raise TypeError(f"a varquin.aio.Bus is needed, not {type(bus).__module__}.{type(bus).__qualname__}")
        super().__init__(bus, root, user)
        # The news a job's reader gives the other waiters once it has read.
        self._notice: asyncio.Future[None] | None = None
        # What each request of the logic is, awaited on the loop.
        self._perform: dict[type, Callable[[Any], Awaitable[Any]]] = {
            Call: lambda e: bus.call(
                e.destination, e.path, e.interface, e.member, e.signature, *e.args, timeout=e.timeout
            ),
            GetAll: lambda e: bus.get_all(SERVICE, e.path, e.interface),
            GetProperty: lambda e: bus.get_property(SERVICE, e.path, e.interface, e.name),
            Subscribe: self._subscribe,
            Next: lambda e: e.sub.get(e.timeout),
            Queued: self._queued,
            ReadJob: self._read_job,
            ReadJournal: _read_journal,
            FollowJournal: _follow_journal,
            Sleep: lambda e: asyncio.sleep(e.seconds),
        }

    async def _drive(self, op: Op[T]) -> T:
        """Runs ``op`` to its end, awaiting each of its requests."""
        perform = self._perform
        value: Any = None
        failed = False
        while True:
            try:
                effect: Effect = op.throw(value) if failed else op.send(value)
            except StopIteration as done:
                return done.value  # type: ignore[no-any-return]
            try:
                value, failed = await perform[type(effect)](effect), False
            except BaseException as e:  # handed to the logic, which may handle it
                value, failed = e, True

    async def _subscribe(self, e: Subscribe) -> Any:
        return await self.bus.subscribe(**e.match)

    async def _queued(self, e: Queued) -> tuple[list[Any], bool]:
        core = e.sub._core
        return ([], False) if core is None else take_queued(core._pop)

    async def _read_job(self, step: ReadJob) -> bool:
        """One step of a job's wait on the loop: the first waiter reads one
        JobRemoved, the others await its notice."""
        jobs, outcome, deadline = self.jobs, step.outcome, step.deadline
        if outcome.result is not None or outcome.lost or jobs.closed:
            return False
        try:
            async with asyncio.timeout(deadline.left()):
                if jobs.reading:
                    assert self._notice is not None
                    await asyncio.shield(self._notice)
                    return False
                jobs.reading = True
                self._notice = notice = asyncio.get_running_loop().create_future()
                try:
                    jobs.record((await jobs.sub.get()).args)
                except SignalsLost:
                    return True
                except ValueError:
                    raise ValueError("the manager is closed") from None
                finally:
                    jobs.reading = False
                    if not notice.done():
                        notice.set_result(None)
        except TimeoutError:
            pass  # the wait raises it once the deadline has passed
        return False

    def close(self) -> None:
        self._close_all()
        if self._notice is not None and not self._notice.done():
            self._notice.set_result(None)

    # -- unit files -------------------------------------------------------------

    async def enable(
        self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True
    ) -> list[Change]:
        return await self._drive(_calls.enable(self, units, runtime, force, reload))

    async def disable(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        return await self._drive(_calls.disable(self, units, runtime, reload))

    async def mask(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        return await self._drive(_calls.mask(self, units, runtime, force, reload))

    async def unmask(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        return await self._drive(_calls.unmask(self, units, runtime, reload))

    async def daemon_reload(self) -> None:
        await self._drive(_calls.daemon_reload(self))

    async def is_enabled(self, unit: str) -> str:
        return await self._drive(_calls.is_enabled(self, unit))

    async def list_unit_files(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitFile]:
        return await self._drive(_calls.list_unit_files(self, patterns, states))

    # -- jobs -------------------------------------------------------------------

    async def _job(self, verb: str, unit: str, mode: str, wait: bool, timeout: float | None) -> Job:
        def make(path: str, outcome: Any, name: str) -> Job:
            return Job(self, outcome, path, name)

        return await self._drive(_calls.job(self, _calls.JOB_MEMBERS[verb], unit, mode, wait, timeout, make))

    async def start(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return await self._job("start", unit, mode, wait, timeout)

    async def stop(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        return await self._job("stop", unit, mode, wait, timeout)

    async def restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        return await self._job("restart", unit, mode, wait, timeout)

    async def reload(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        return await self._job("reload", unit, mode, wait, timeout)

    async def try_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        return await self._job("try_restart", unit, mode, wait, timeout)

    async def reload_or_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        return await self._job("reload_or_restart", unit, mode, wait, timeout)

    # -- transient runs ---------------------------------------------------------

    @overload
    async def run(
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
    async def run(
        self,
        argv: Iterable[str],
        *,
        name: str | None = None,
        wait: Literal[True],
        timeout: float | None = None,
        properties: Mapping[str, Any] | None = None,
        collect: bool = False,
    ) -> RunResult: ...

    async def run(
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
        unit, changes = await self._drive(_calls.run(self, argv, name, deadline, properties, collect))
        started = Run(self, unit, changes, collect)
        return await started._wait_until(deadline) if wait else started

    # -- units ------------------------------------------------------------------

    def unit(self, name: str) -> Unit:
        return Unit(self, name)

    async def list_units(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitInfo]:
        return await self._drive(_calls.list_units(self, patterns, states))

    async def reset_failed(self, unit: str | None = None) -> None:
        await self._drive(_calls.reset_failed(self, unit))

    async def kill(self, unit: str, signal: int = _signal.SIGTERM, whom: str = "all") -> None:
        await self._drive(_calls.kill(self, unit, signal, whom))

    async def set_properties(self, unit: str, properties: Mapping[str, Any], *, runtime: bool = False) -> None:
        await self._drive(_calls.set_properties(self, unit, properties, runtime))


@_calls.documented(_calls.job_docs)
class Job(JobBase):
    """A job the manager has queued.  ``path`` is its object path, ``unit`` the
    unit it acts on; ``await job.wait()`` returns how it ended."""

    _manager: Manager

    async def wait(self, timeout: float | None = None) -> str:
        return await self._manager._drive(_calls.job_wait(self._manager, self._outcome, Deadline(timeout)))

    async def cancel(self) -> bool:
        return await self._manager._drive(_calls.cancel_job(self._manager, self.path))


class UnitWatch(WatchState, AsyncClosing):
    """The states of a unit as they change: an async iterator of
    :class:`UnitStatus`, first the current one, then one per change of its
    load, active or sub state.  Iteration ends at :meth:`close` (or the
    Manager's close()) or when the watch's total ``timeout`` has passed.  Use
    it with ``async with``. It follows the unit by name, so it goes on when
    the manager unloads the unit and loads it again."""

    def __init__(self, unit: Unit, timeout: float | None) -> None:
        self._manager = unit._manager
        sub = self._manager.bus.subscribe(**properties_changed_match(unit.path))
        super().__init__(unit.name, Changes(unit.path, sub), timeout)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> UnitStatus:
        if self.last is None:
            await self._changes.sub  # the match in place before the first snapshot
        status = await self._manager._drive(_calls.watch_step(self))
        if status is None:
            raise StopAsyncIteration
        return status


@_calls.documented(_calls.unit_docs)
class Unit(UnitBase):
    """A unit of the manager, by name; nothing is asked until a property is read,
    and every read is awaited."""

    _manager: Manager

    async def status(self) -> UnitStatus:
        return await self._manager._drive(_calls.status(self._manager, self.path))

    async def properties(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        return await self._manager._drive(_calls.properties(self._manager, self.path, interface))

    async def details(self) -> UnitDetails:
        return await self._manager._drive(_calls.details(self._manager, self.path))

    def watch(self, timeout: float | None = None) -> UnitWatch:
        self._manager._check_open()
        watch = UnitWatch(self, timeout)
        self._manager._track(watch)
        return watch

    async def wait_for(
        self,
        *,
        load: str | None = None,
        active: str | None = None,
        sub: str | None = None,
        timeout: float | None = None,
    ) -> UnitStatus:
        wanted = wanted_states(load, active, sub)
        watch = self.watch(timeout)
        await watch._changes.sub
        return await self._manager._drive(_calls.wait_for(self._manager, watch, wanted))

    async def journal(self, lines: int = 10) -> list[JournalEntry]:
        return await self._manager._drive(_calls.unit_journal(self._manager, self.name, lines))


@_calls.documented(_calls.run_docs)
class Run(RunBase):
    """A transient service started by :meth:`Manager.run`; ``unit`` is its name.
    The manager keeps the unit (even with ``collect=True``) until ``await
    run.wait()`` has read its :class:`RunResult`, or until the connection
    closes."""

    _manager: Manager

    def __init__(self, manager: Manager, unit: str, changes: Changes, collect: bool = False) -> None:
        super().__init__(manager, unit, changes, collect)
        self._lock = asyncio.Lock()  # one waiter reads at a time

    async def wait(self, timeout: float | None = None) -> RunResult:
        return await self._wait_until(Deadline(timeout))

    async def _wait_until(self, deadline: Deadline) -> RunResult:
        try:
            async with asyncio.timeout(deadline.left()):
                await self._lock.acquire()
        except TimeoutError:
            raise RunTimeout(f"{self.unit} did not finish {deadline.within()}", self) from None
        try:
            result = self._result
            if result is None:
                result = self._result = await self._manager._drive(self._waiting(deadline))
            return result
        finally:
            self._lock.release()

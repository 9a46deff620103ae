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

Results, errors and arguments are those of varquin.systemd (UnitStatus,
RunResult, JobFailed, ...).
"""

from __future__ import annotations

import asyncio
import dataclasses
import os
import signal as _signal
import time
import weakref
from collections.abc import Awaitable, Callable, Iterable, Mapping
from typing import Any, Literal, Self, overload

from varquin import journal as _journal
from varquin import systemd as _s
from varquin._closing import AsyncClosing
from varquin.aio import Bus, Subscription
from varquin.errors import BusError, NoSuchUnit, SignalsLost, UnknownMethod
from varquin.journal import JournalEntry
from varquin.systemd import (
    MANAGER_INTERFACE,
    SERVICE,
    SERVICE_INTERFACE,
    UNIT_INTERFACE,
    Change,
    JobFailed,
    RunResult,
    UnitDetails,
    UnitFile,
    UnitInfo,
    UnitStatus,
    name_list,
    unit_path,
)

__all__ = ["Job", "Manager", "Run", "Unit", "UnitWatch"]

_MANAGER_PATH = "/org/freedesktop/systemd1"
# Seconds a host's journal may take to arrive over SSH.
_REMOTE_JOURNAL_TIMEOUT = 60

# asyncio Buses on which the manager's Subscribe() has been called (see
# varquin.systemd.subscribe_manager).
_subscribed: weakref.WeakSet[Bus] = weakref.WeakSet()


_left = _s._left


class _JobWatch(_s._JobRecords):
    """The manager's JobRemoved signals for one Manager, read by whichever
    waiter is first; the others await the next signal's notice.  As in
    varquin.systemd, results are kept only for the jobs someone holds, and
    the queue is drained whenever a job is queued."""

    def __init__(self, bus: Bus) -> None:
        super().__init__()
        self._bus = bus
        self._sub: Subscription | None = None
        self._subscribing = asyncio.Lock()
        self._reading = False
        self._notice: asyncio.Future[None] | None = None
        self.closed = False

    async def _subscribe(self) -> Subscription:
        async with self._subscribing:
            if self.closed:
                raise ValueError("the manager is closed")
            if self._sub is None:
                sub = await self._bus.subscribe(**_s.JOB_REMOVED_MATCH)
                if self._bus not in _subscribed:
                    try:
                        await self._bus.call(SERVICE, _MANAGER_PATH, MANAGER_INTERFACE, "Subscribe")
                    except BusError as e:
                        if e.name != "org.freedesktop.systemd1.AlreadySubscribed":
                            sub.close()
                            raise
                    _subscribed.add(self._bus)
                self._sub = sub
            return self._sub

    async def queue(self, call: Callable[[], Awaitable[str]]) -> tuple[str, _s._Outcome]:
        sub = await self._subscribe()
        self._in_flight += 1
        path = None
        try:
            path = await call()
        finally:
            self._in_flight -= 1
            outcome = self._register(path)
        assert outcome is not None
        if not self._reading:
            lost = False
            while True:
                try:
                    sig = sub._core._pop() if sub._core is not None else None
                except SignalsLost:
                    lost = True
                    continue
                if sig is None:
                    break
                self._record(sig.args)
            if lost:
                await self._resolve_lost()
        return path, outcome

    async def _resolve_lost(self) -> None:
        for path, outcome in self._pending():
            try:
                await self._bus.call(SERVICE, _MANAGER_PATH, MANAGER_INTERFACE, "GetJob", "u", _s.job_id(path))
            except BusError as e:
                if e.name == "org.freedesktop.systemd1.NoSuchJob" and outcome.result is None:
                    outcome.lost = True

    async def wait(self, outcome: _s._Outcome, timeout: float | None) -> str:
        try:
            async with asyncio.timeout(timeout):
                while outcome.result is None:
                    if self.closed or self._sub is None:
                        raise ValueError("the manager is closed")
                    if outcome.lost:
                        raise _s.jobs_lost()
                    if self._reading:
                        assert self._notice is not None
                        await asyncio.shield(self._notice)
                        continue
                    self._reading = True
                    self._notice = asyncio.get_running_loop().create_future()
                    try:
                        try:
                            sig = await self._sub.get()
                            self._record(sig.args)
                        except SignalsLost:
                            await self._resolve_lost()
                        except ValueError:
                            raise ValueError("the manager is closed") from None
                    finally:
                        self._reading = False
                        if not self._notice.done():
                            self._notice.set_result(None)
        except TimeoutError:
            raise TimeoutError(f"the job did not finish within {timeout} s") from None
        return outcome.result

    def close(self) -> None:
        self.closed = True
        if self._sub is not None:
            self._sub.close()
        if self._notice is not None and not self._notice.done():
            self._notice.set_result(None)


class Job(_s._JobState["Manager"]):
    """A job the manager has queued (see varquin.systemd.Job); its wait()
    and cancel() are awaited."""

    async def wait(self, timeout: float | None = None) -> str:
        """The manager's result once the job has ended (``"done"``,
        ``"failed"``, ...); TimeoutError after ``timeout`` seconds (the job
        stays waitable), ValueError once the manager is closed."""
        return await self._manager._watch.wait(self._outcome, timeout)

    async def cancel(self) -> bool:
        """Cancels the job: True when it did, False when it had already ended."""
        try:
            await self._manager._call("CancelJob", "u", _s.job_id(self.path))
        except BusError as e:
            if e.name == "org.freedesktop.systemd1.NoSuchJob":
                return False
            raise
        return True


class _Changes:
    """A unit's PropertiesChanged after a snapshot (see varquin.systemd._Changes:
    the event loop's driver reads every message that has arrived before the
    snapshot's reader resumes, so signals newer than the reply are often
    queued beside it)."""

    def __init__(self, bus: Bus, path: str) -> None:
        self._bus = bus
        self._path = path
        self.sub = bus.subscribe(**_s.properties_changed_match(path))

    def _queued(self) -> list[Any]:
        core = self.sub._core
        return [] if core is None else list(iter(core._pop, None))

    async def snapshot(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        await self.sub
        attempt = 0
        while (
            props := _s.settled_snapshot(
                await self._bus.get_all(SERVICE, self._path, interface), interface, self._queued(), attempt
            )
        ) is None:
            attempt += 1
        return props

    async def next(self, timeout: float | None) -> dict[str, Any]:
        while (changed := _s.unit_changes((await self.sub.get(timeout)).args)) is None:
            pass
        return changed

    def close(self) -> None:
        self.sub.close()


class UnitWatch(_s._WatchState[_Changes], AsyncClosing):
    """The unit's states as they change: ``async for status in watch``,
    first the current one; ends at close() or after the total ``timeout``."""

    def __init__(self, unit: Unit, timeout: float | None) -> None:
        super().__init__(_Changes(unit._bus, unit.path), timeout)
        self._unit = unit

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> UnitStatus:
        try:
            if self._last is None:
                return self._first(await self._changes.snapshot())
            while True:
                changed = await self._changes.next(self._time_left())
                load = await self._unit._bus.get_property(SERVICE, self._unit.path, UNIT_INTERFACE, "LoadState")
                if (status := self._step(load, changed)) is not None:
                    return status
        except TimeoutError:
            self._end()
            raise StopAsyncIteration from None
        except (ValueError, ConnectionError):
            if self._changes.sub._closed:
                raise StopAsyncIteration from None
            raise


class Unit:
    """A unit of the manager, by name (see varquin.systemd.Unit); its reads are awaited."""

    def __init__(self, manager: Manager, name: str) -> None:
        self._manager = manager
        self._bus = manager.bus
        self.name = name
        self.path = unit_path(name)

    async def status(self) -> UnitStatus:
        """The unit's load, active and sub state."""
        return _s.unit_status(await self.properties())

    async def properties(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        """Every property of ``interface`` with its D-Bus type."""
        self._manager._check_open()
        return await self._bus.get_all(SERVICE, self.path, interface)

    async def details(self) -> UnitDetails:
        """What ``systemctl status`` shows of the unit (see varquin.systemd.UnitDetails)."""
        unit = await self.properties()
        kind = _s.type_interface(unit["Id"])
        return _s.unit_details(unit, await self.properties(kind) if kind else {})

    def watch(self, timeout: float | None = None) -> UnitWatch:
        """The unit's states as they change (see UnitWatch)."""
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
        """The UnitStatus once the unit's states are all those given;
        TimeoutError naming the last state seen; ValueError when the manager
        is closed meanwhile."""
        wanted = _s.wanted_states(load, active, sub)
        async with self.watch(timeout) as watch:
            async for status in watch:
                if _s.reached(status, wanted):
                    return status
        raise _s.wait_for_failed(self.name, wanted, timeout, watch)

    async def journal(self, lines: int = 10) -> list[JournalEntry]:
        """The unit's last ``lines`` journal entries, read where
        varquin.systemd.Unit.journal reads them (ValueError elsewhere)."""
        return await self._manager._journal(self.name, lines)

    def __repr__(self) -> str:
        return f"<Unit {self.name}>"


class Run:
    """A transient service started by Manager.run; ``await run.wait()``
    returns its RunResult once it has exited."""

    def __init__(self, manager: Manager, unit: str, changes: _Changes) -> None:
        self._manager = manager
        self._changes = changes
        self._lock = asyncio.Lock()
        self._result: RunResult | None = None
        self._queued = _s._now_usec()
        self._state = ""  # the unit's last active/sub state seen, for a timeout's message
        self.unit = unit

    async def wait(self, timeout: float | None = None) -> RunResult:
        """The RunResult once the service has exited; TimeoutError after
        ``timeout`` seconds, naming the unit's last state (the run stays
        waitable); ValueError once the manager is closed."""
        try:
            async with asyncio.timeout(timeout), self._lock:
                if self._result is None:
                    self._result = await self._wait()
                return self._result
        except TimeoutError:
            state = f" ({self._state})" if self._state else ""
            raise TimeoutError(f"{self.unit} did not finish within {timeout} s{state}") from None
        except ValueError:
            if self._manager.closed:
                raise ValueError("the manager is closed") from None
            raise

    async def _wait(self) -> RunResult:
        unit = await self._changes.snapshot()
        while True:
            self._state = f"{unit.get('ActiveState')}/{unit.get('SubState')}"
            if _s.run_settled(unit):
                unit = await self._changes.snapshot()
                if _s.run_settled(unit):
                    break
            unit.update(await self._changes.next(None))
        service = await self._manager.bus.get_all(SERVICE, unit_path(self.unit), SERVICE_INTERFACE)
        self._changes.close()
        result = _s.run_result(self.unit, unit, service)
        finished = service.get("ExecMainExitTimestamp") or self._queued
        ended = _s.run_ended(finished, unit.get("ActiveState") == "active")
        result = dataclasses.replace(result, journal=await self._manager._settled_journal(self.unit, ended))
        await self._manager._unref(self.unit)
        return result


class Manager(_s._ManagerState, AsyncClosing):
    """systemd's manager on a varquin.aio.Bus: the methods of
    varquin.systemd.Manager, awaited.  ``root`` as there."""

    bus: Bus

    def __init__(self, bus: Bus, *, root: str | os.PathLike[str] | None = None) -> None:
        if not isinstance(bus, Bus):
            raise TypeError(f"a varquin.aio.Bus is needed, not {type(bus).__module__}.{type(bus).__qualname__}")
        self.bus = bus
        self._watch: _JobWatch
        super().__init__(root, _JobWatch(bus))

    def close(self) -> None:
        """Ends the job subscription, every watch and run; the bus stays open."""
        self._close_all()

    async def _call(self, member: str, signature: str = "", *args: Any, timeout: float | None = None) -> Any:
        self._check_open()
        try:
            return await self.bus.call(
                SERVICE, _MANAGER_PATH, MANAGER_INTERFACE, member, signature, *args, timeout=timeout
            )
        except BusError as e:
            if e.name in _s._NOT_FOUND:
                raise NoSuchUnit(e.message) from e
            raise

    # -- the journal: where varquin.systemd.Manager reads it --------------------

    async def _journal(self, unit: str, lines: int) -> list[JournalEntry]:
        how, where = self._journal_source()
        if how == "remote":
            assert where is not None
            proc = await asyncio.create_subprocess_exec(
                *_journal.remote_argv(where, unit, lines),
                stdin=asyncio.subprocess.DEVNULL,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
            )
            try:
                # Bounded as the blocking Manager's read (a host that stops answering).
                async with asyncio.timeout(_REMOTE_JOURNAL_TIMEOUT):
                    out, err = await proc.communicate()
            except BaseException:
                if proc.returncode is None:
                    proc.kill()
                    await proc.wait()
                raise
            return _journal.parse_json_lines(where, proc.returncode or 0, out, err)
        # A local read: files mapped in memory, no wait.
        return _journal.entries(unit=unit, lines=lines, root=where)

    async def _settled_journal(self, unit: str, settled: _s.Settled) -> list[JournalEntry]:
        try:
            how, where = self._journal_source()
            found = await self._journal(unit, _s._FAILURE_LINES)
            # journald may still be writing the manager's last lines (all of
            # them, for a unit that never logged before): look again on the
            # loop's timer, within the same bound as the blocking Manager.
            # A local journal is waited for only where journald writes at
            # all, a host's once it shows lines of the unit.
            waits = bool(found) or (how != "remote" and _s.journal_in_use(where))
            pause = _s._REMOTE_SETTLE_PAUSE if how == "remote" else 0.05
            deadline = time.monotonic() + _s._SETTLE_WAIT
            while waits and not any(settled(e) for e in found) and time.monotonic() < deadline:
                await asyncio.sleep(pause)
                found = await self._journal(unit, _s._FAILURE_LINES)
            return found
        except (ValueError, OSError) as e:
            _s.log.debug("journal of %s: %s", unit, e)
            return []

    # -- unit files -------------------------------------------------------------

    async def _reloaded(self, changes: list[Change], reload: bool) -> list[Change]:
        if changes and reload:
            await self.daemon_reload()
        return changes

    async def enable(
        self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True
    ) -> list[Change]:
        """As varquin.systemd.Manager.enable."""
        _carries, changes = await self._call("EnableUnitFiles", "asbb", units, runtime, force)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def disable(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        """As varquin.systemd.Manager.disable."""
        (changes,) = await self._call("DisableUnitFiles", "asb", units, runtime)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def mask(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        """As varquin.systemd.Manager.mask."""
        (changes,) = await self._call("MaskUnitFiles", "asbb", units, runtime, force)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def unmask(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        """As varquin.systemd.Manager.unmask."""
        (changes,) = await self._call("UnmaskUnitFiles", "asb", units, runtime)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def daemon_reload(self) -> None:
        """Reloads the manager's configuration; returns once it has."""
        await self._call("Reload")

    async def is_enabled(self, unit: str) -> str:
        """As varquin.systemd.Manager.is_enabled."""
        (state,) = await self._call("GetUnitFileState", "s", unit)
        return str(state)

    async def list_unit_files(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitFile]:
        """As varquin.systemd.Manager.list_unit_files."""
        patterns, states = name_list(patterns, "patterns"), name_list(states, "states")
        try:
            (found,) = await self._call("ListUnitFilesByPatterns", "asas", states, patterns)
        except UnknownMethod:
            (found,) = await self._call("ListUnitFiles")
            return _s.filter_unit_files(found, patterns, states)
        return _s.unit_file_list(found)

    async def list_units(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitInfo]:
        """As varquin.systemd.Manager.list_units."""
        patterns, states = name_list(patterns, "patterns"), name_list(states, "states")
        try:
            (found,) = await self._call("ListUnitsByPatterns", "asas", states, patterns)
        except UnknownMethod:
            (found,) = await self._call("ListUnits")
            return _s.filter_units(found, patterns, states)
        return _s.unit_list(found)

    # -- jobs -------------------------------------------------------------------

    async def _job(self, member: str, unit: str, mode: str, wait: bool, timeout: float | None) -> Job:
        deadline = None if timeout is None else time.monotonic() + timeout
        queued = _s._now_usec()

        async def call() -> str:
            (path,) = await self._call(member, "ss", unit, mode, timeout=timeout)
            return str(path)

        path, outcome = await self._watch.queue(call)
        job = Job(self, outcome, path, unit)
        if wait:
            result = await job.wait(_left(deadline))
            if result != "done":
                ended = _s.job_ended(job.path, result, queued)
                raise JobFailed(result, unit, job.path, await self._settled_journal(unit, ended))
        return job

    async def start(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """As varquin.systemd.Manager.start."""
        return await self._job("StartUnit", unit, mode, wait, timeout)

    async def stop(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """As varquin.systemd.Manager.stop."""
        return await self._job("StopUnit", unit, mode, wait, timeout)

    async def restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """As varquin.systemd.Manager.restart."""
        return await self._job("RestartUnit", unit, mode, wait, timeout)

    async def reload(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """As varquin.systemd.Manager.reload."""
        return await self._job("ReloadUnit", unit, mode, wait, timeout)

    async def try_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """As varquin.systemd.Manager.try_restart."""
        return await self._job("TryRestartUnit", unit, mode, wait, timeout)

    async def reload_or_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """As varquin.systemd.Manager.reload_or_restart."""
        return await self._job("ReloadOrRestartUnit", unit, mode, wait, timeout)

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
        """As varquin.systemd.Manager.run: a Run, or with ``wait=True`` the
        RunResult once the service has exited."""
        props = _s._run_properties(argv, properties, collect)
        self._check_open()
        deadline = None if timeout is None else time.monotonic() + timeout
        attempts = _s.run_attempts(name)
        for attempt in range(attempts):
            unit = _s._run_name(name)
            changes = _Changes(self.bus, unit_path(unit))
            try:
                await changes.sub  # the match is in place before the unit exists
                await self._call(
                    "StartTransientUnit", "ssa(sv)a(sa(sv))", unit, "fail", props, [], timeout=_left(deadline)
                )
            except BaseException as e:
                changes.close()
                if _s.retry_run(e, attempt, attempts):
                    continue
                raise
            break
        started = Run(self, unit, changes)
        self._track_run(started)
        return await started.wait(_left(deadline)) if wait else started

    async def _unref(self, unit: str) -> None:
        try:
            await self._call("UnrefUnit", "s", unit)
        except BusError as e:
            _s.log.debug("unref %s: %s", unit, e)

    # -- units ------------------------------------------------------------------

    def unit(self, name: str) -> Unit:
        """The unit ``name``; nothing is asked until it is read."""
        return Unit(self, name)

    async def reset_failed(self, unit: str | None = None) -> None:
        """As varquin.systemd.Manager.reset_failed."""
        if unit is None:
            await self._call("ResetFailed")
        else:
            await self._call("ResetFailedUnit", "s", unit)

    async def kill(self, unit: str, signal: int = _signal.SIGTERM, whom: str = "all") -> None:
        """As varquin.systemd.Manager.kill."""
        await self._call("KillUnit", "ssi", unit, whom, int(signal))

    async def set_properties(self, unit: str, properties: Mapping[str, Any], *, runtime: bool = False) -> None:
        """As varquin.systemd.Manager.set_properties."""
        await self._call("SetUnitProperties", "sba(sv)", unit, runtime, _s.unit_properties(properties))

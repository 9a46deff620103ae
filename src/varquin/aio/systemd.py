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
    RunTimeout,
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
                sub = await self._bus.subscribe(**_s.job_removed_match())
                if self._bus not in _subscribed:
                    try:
                        await self._bus.call(SERVICE, _MANAGER_PATH, MANAGER_INTERFACE, "Subscribe")
                    except BusError as e:
                        if e.name != _s._ALREADY_SUBSCRIBED:
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
                if e.name == _s._NO_SUCH_JOB and outcome.result is None:
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
    """A job the manager has queued.  ``path`` is its object path, ``unit`` the
    unit it acts on; ``await job.wait()`` returns how it ended."""

    async def wait(self, timeout: float | None = None) -> str:
        """Returns, once the job has ended, the manager's result: ``"done"``,
        ``"failed"``, ``"canceled"``, ``"timeout"``, ``"dependency"`` or
        ``"skipped"``. A start job is done once the unit has started: that
        says nothing of how long it stays up.  Any number of threads may wait
        for the same job.

        Raises TimeoutError after ``timeout`` seconds (None: no limit), after
        which the job stays waitable; SignalsLost when the job's end was
        dropped from a full signal queue; ValueError once the manager is
        closed."""
        return await self._manager._watch.wait(self._outcome, timeout)

    async def cancel(self) -> bool:
        """Asks the manager to cancel the job: True when it did, False when the
        job had already ended.  A process the job already started keeps
        running (stop the unit to end it).

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        try:
            await self._manager._call("CancelJob", "u", _s.job_id(self.path))
        except BusError as e:
            if e.name == _s._NO_SUCH_JOB:
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
    """The states of a unit as they change: an async iterator of
    :class:`UnitStatus`, first the current one, then one per change of its
    load, active or sub state.  Iteration ends at :meth:`close` (or the
    Manager's close()) or when the watch's total ``timeout`` has passed.  Use
    it with ``async with``. It follows the unit by name, so it goes on when
    the manager unloads the unit and loads it again."""

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
    """A unit of the manager, by name; nothing is asked until a property is read,
    and every read is awaited."""

    def __init__(self, manager: Manager, name: str) -> None:
        self._manager = manager
        self._bus = manager.bus
        self.name = name
        self.path = unit_path(name)

    async def status(self) -> UnitStatus:
        """The unit's load, active and sub state (:class:`UnitStatus`), read in
        one GetAll.  A unit that does not exist reads ``("not-found",
        "inactive", "dead")``.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        return _s.unit_status(await self.properties())

    async def properties(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        """Every property of ``interface`` (the unit's own by default, or its
        type's: ``org.freedesktop.systemd1.Service``, ...), with its D-Bus
        type: str, int, bool, list, tuple, dict.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed.

            await m.unit("nginx.service").properties()["MainPID"]
        """
        self._manager._check_open()
        return await self._bus.get_all(SERVICE, self.path, interface)

    async def details(self) -> UnitDetails:
        """What ``systemctl status`` shows of the unit (:class:`UnitDetails`),
        read in a GetAll of the unit's properties and one of its type's.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        unit = await self.properties()
        kind = _s.type_interface(unit["Id"])
        return _s.unit_details(unit, await self.properties(kind) if kind else {})

    def watch(self, timeout: float | None = None) -> UnitWatch:
        """The unit's states as they change (:class:`UnitWatch`, an async
        iterator); ``timeout`` is the watch's total time in seconds (None:
        until closed). The match is in place before the current state is read.

        Raises ValueError once the manager is closed.

            async with m.unit("nginx.service").watch(timeout=60) as w:
                async for status in w: ...
        """
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
        """Returns the unit's :class:`UnitStatus` once its states are all those
        given, awaiting their changes on the event loop.

        Raises TypeError when no state is given; TimeoutError, naming the last
        state seen, after ``timeout`` seconds (None: no limit); ValueError
        once the manager is closed.

            await m.unit("nginx.service").wait_for(active="active", timeout=30)
        """
        wanted = _s.wanted_states(load, active, sub)
        async with self.watch(timeout) as watch:
            async for status in watch:
                if _s.reached(status, wanted):
                    return status
        raise _s.wait_for_failed(self.name, wanted, timeout, watch)

    async def journal(self, lines: int = 10) -> list[JournalEntry]:
        """The unit's last ``lines`` journal entries, oldest first, as
        ``journalctl -u`` shows them (its own lines and the manager's about
        it). A local journal (this machine's for the manager of
        ``Bus.system()`` at its default address, or the folder the Manager was
        given as ``root=``) is read at once from its files; over
        ``Bus.remote(host)`` the await runs ``journalctl -o json`` on that
        host through the same SSH target, bounded to a minute.

        Raises ValueError for a manager on any other address (read it with
        ``journal.entries(unit, root=...)``); ConnectionError when the host
        cannot be reached; TimeoutError when it stops answering."""
        return await self._manager._journal(self.name, lines)

    def __repr__(self) -> str:
        return f"<Unit {self.name}>"


class Run:
    """A transient service started by :meth:`Manager.run`; ``unit`` is its name.
    The manager keeps the unit (even with ``collect=True``) until ``await
    run.wait()`` has read its :class:`RunResult`, or until the connection
    closes."""

    def __init__(self, manager: Manager, unit: str, changes: _Changes) -> None:
        self._manager = manager
        self._changes = changes
        self._lock = asyncio.Lock()
        self._result: RunResult | None = None
        self._queued = _s._now_usec()
        self._state = ""  # the unit's last active/sub state seen, for a timeout's message
        self.unit = unit

    async def wait(self, timeout: float | None = None) -> RunResult:
        """Returns, once the service has exited (not only started), its
        :class:`RunResult`, with the unit's last journal entries.  Any number
        of tasks may await it; the result is read once.

        Raises TimeoutError after ``timeout`` seconds (None: no limit), naming
        the unit's last state, after which the run stays waitable; ValueError
        once the manager is closed."""
        try:
            async with asyncio.timeout(timeout), self._lock:
                if self._result is None:
                    self._result = await self._wait()
                return self._result
        except TimeoutError:
            state = f" ({self._state})" if self._state else ""
            raise RunTimeout(f"{self.unit} did not finish within {timeout} s{state}", self) from None
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
    """systemd's manager on a varquin.aio.Bus, every call awaited on the event
    loop with no thread per call or per wait.  ``Manager(abus)`` uses ``abus``
    and leaves it open; ``async with`` closes the manager at the block's end.
    ``root`` is the folder where the manager's machine is installed, as this
    machine sees it (a container's ``/proc/PID/root``): its units' journal is
    read there.

    Raises TypeError for a bus that is not a varquin.aio.Bus (a blocking
    varquin.Bus included).

        async with await aio.Bus.system() as abus, systemd.Manager(abus) as m:
            await m.start("nginx.service", wait=True, timeout=30)
    """

    bus: Bus

    def __init__(self, bus: Bus, *, root: str | os.PathLike[str] | None = None) -> None:
        if not isinstance(bus, Bus):
            raise TypeError(f"a varquin.aio.Bus is needed, not {type(bus).__module__}.{type(bus).__qualname__}")
        self.bus = bus
        self._watch: _JobWatch
        super().__init__(root, _JobWatch(bus))

    def close(self) -> None:
        """Ends the job subscription, every unit watch and every run's wait; the
        bus stays open (it is the caller's). Closing twice is fine; afterwards
        the manager's methods raise ValueError."""
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

            await m.enable("nginx.service")
            # [Change(type='symlink', path='/etc/systemd/system/multi-user.target.wants/nginx.service',
            #         source='/usr/lib/systemd/system/nginx.service')]
        """
        _carries, changes = await self._call("EnableUnitFiles", "asbb", units, runtime, force)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def disable(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        """Disables the unit files (``runtime``: only the links under /run) and
        returns every change made, reloading the manager after a change as
        :meth:`enable` does (``reload=False`` not to).

        Raises NoSuchUnit for a unit file that does not exist, AccessDenied
        where the caller may not do it, NoReply (also a TimeoutError) when the
        manager does not answer in time, ValueError once the manager is
        closed."""
        (changes,) = await self._call("DisableUnitFiles", "asb", units, runtime)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def mask(self, *units: str, runtime: bool = False, force: bool = False, reload: bool = True) -> list[Change]:
        """Links the unit files to /dev/null so that nothing can start the units
        (``runtime``: under /run, until reboot; ``force``: replace a file in
        the way) and returns every change made, reloading the manager after a
        change as :meth:`enable` does.  Starting a masked unit then raises
        BusError ``org.freedesktop.systemd1.UnitMasked``.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        (changes,) = await self._call("MaskUnitFiles", "asbb", units, runtime, force)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def unmask(self, *units: str, runtime: bool = False, reload: bool = True) -> list[Change]:
        """Removes the masks of the units and returns every change made (``[]``
        for a unit that was not masked), reloading the manager after a change
        as :meth:`enable` does.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        (changes,) = await self._call("UnmaskUnitFiles", "asb", units, runtime)
        return await self._reloaded([Change(*c) for c in changes], reload)

    async def daemon_reload(self) -> None:
        """Reloads the manager's configuration and unit files; the await returns
        once the manager has reloaded.

        Raises AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed."""
        await self._call("Reload")

    async def is_enabled(self, unit: str) -> str:
        """The state of the unit's file (GetUnitFileState): ``"enabled"``,
        ``"disabled"``, ``"static"``, ``"masked"``, ``"alias"``,
        ``"transient"``, ...

        Raises NoSuchUnit for a unit without a file, AccessDenied where the
        caller may not do it, NoReply (also a TimeoutError) when the manager
        does not answer in time, ValueError once the manager is closed.

            await m.is_enabled("nginx.service")  # 'enabled'
        """
        (state,) = await self._call("GetUnitFileState", "s", unit)
        return str(state)

    async def list_unit_files(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitFile]:
        """The unit files the manager knows (a list of :class:`UnitFile`) whose
        names match one of the shell-style ``patterns`` (all when empty) and
        whose state is one of ``states`` (any when empty).

        Raises TypeError when ``patterns`` or ``states`` is a bare str or
        holds something other than str, AccessDenied where the caller may not
        do it, NoReply (also a TimeoutError) when the manager does not answer
        in time, ValueError once the manager is closed.

            await m.list_unit_files(["*.timer"], ["enabled"])
        """
        patterns, states = name_list(patterns, "patterns"), name_list(states, "states")
        try:
            (found,) = await self._call("ListUnitFilesByPatterns", "asas", states, patterns)
        except UnknownMethod:
            (found,) = await self._call("ListUnitFiles")
            return _s.filter_unit_files(found, patterns, states)
        return _s.unit_file_list(found)

    async def list_units(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitInfo]:
        """The units the manager has loaded (a list of :class:`UnitInfo`) whose
        names match one of the shell-style ``patterns`` (all when empty) and
        whose load, active or sub state is one of ``states`` (any when empty).

        Raises TypeError when ``patterns`` or ``states`` is a bare str or
        holds something other than str, AccessDenied where the caller may not
        do it, NoReply (also a TimeoutError) when the manager does not answer
        in time, ValueError once the manager is closed.

            [u.name for u in await m.list_units(states=["failed"])]
        """
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
        """Queues a start job for ``unit`` and returns its :class:`Job`. ``mode``
        is the manager's job mode (``"replace"``, ``"fail"``, ``"isolate"``,
        ``"ignore-dependencies"``, ...). With ``wait=True`` the await returns
        once the job has ended (the unit has started: it may still fail later)
        and raises :class:`JobFailed` (with the unit's last journal lines)
        unless it ended ``"done"``; ``timeout`` bounds the whole in seconds.

        Raises NoSuchUnit for a unit that does not exist, BusError
        ``org.freedesktop.systemd1.UnitMasked`` for a masked one, InvalidArgs
        for a mode the manager does not know, TimeoutError when ``timeout``
        passes, SignalsLost when the job's end was dropped from a full signal
        queue (its result is unknown), AccessDenied where the caller may not,
        and ValueError once the manager is closed.

            await m.start("nginx.service", wait=True, timeout=30)
        """
        return await self._job("StartUnit", unit, mode, wait, timeout)

    async def stop(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a stop job for ``unit`` and returns its :class:`Job`; ``mode``,
        ``wait`` and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return await self._job("StopUnit", unit, mode, wait, timeout)

    async def restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """Queues a restart job for ``unit`` (a unit that was not running is
        started) and returns its :class:`Job`; ``mode``, ``wait`` and
        ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return await self._job("RestartUnit", unit, mode, wait, timeout)

    async def reload(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """Queues a reload job for ``unit`` and returns its :class:`Job`;
        ``mode``, ``wait`` and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed.  A unit
        that cannot reload raises BusError
        ``org.freedesktop.systemd1.JobTypeNotApplicable``."""
        return await self._job("ReloadUnit", unit, mode, wait, timeout)

    async def try_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """Queues a try-restart job for ``unit`` (for a unit that is not running
        the job does nothing) and returns its :class:`Job`; ``mode``, ``wait``
        and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
        return await self._job("TryRestartUnit", unit, mode, wait, timeout)

    async def reload_or_restart(
        self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None
    ) -> Job:
        """Queues a reload-or-restart job for ``unit`` (a unit that can reload
        reloads, another restarts, one not running starts) and returns its
        :class:`Job`; ``mode``, ``wait`` and ``timeout`` as for :meth:`start`.

        Raises as :meth:`start`: NoSuchUnit, BusError
        ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError
        with ``wait=True``, ValueError once the manager is closed."""
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

            r = await m.run(["/bin/sh", "-c", "exit 7"], wait=True)
            r.result, r.exit_status                # ('exit-code', 7)
        """
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
        """The :class:`Unit` ``name``; nothing is asked until its status or
        properties are read, so a name that does not exist raises nothing
        here."""
        return Unit(self, name)

    async def reset_failed(self, unit: str | None = None) -> None:
        """Resets the failed state (and the restart counter) of ``unit``, or of
        every unit when None.

        Raises NoSuchUnit for a unit that is not loaded, AccessDenied where
        the caller may not do it, NoReply (also a TimeoutError) when the
        manager does not answer in time, ValueError once the manager is
        closed."""
        if unit is None:
            await self._call("ResetFailed")
        else:
            await self._call("ResetFailedUnit", "s", unit)

    async def kill(self, unit: str, signal: int = _signal.SIGTERM, whom: str = "all") -> None:
        """Sends ``signal`` to the unit's processes: ``whom`` is ``"all"``,
        ``"main"`` (the main process) or ``"control"`` (a running ExecStop=
        and the like).

        Raises NoSuchUnit for a unit that is not loaded, BusError
        ``org.freedesktop.systemd1.NoSuchProcess`` when it has no such
        process, InvalidArgs for a ``whom`` the manager does not know,
        AccessDenied where the caller may not do it, NoReply (also a
        TimeoutError) when the manager does not answer in time, ValueError
        once the manager is closed.

            await m.kill("nginx.service", signal.SIGHUP, whom="main")
        """
        await self._call("KillUnit", "ssi", unit, whom, int(signal))

    async def set_properties(self, unit: str, properties: Mapping[str, Any], *, runtime: bool = False) -> None:
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

            await m.set_properties("nginx.service", {"MemoryMax": 512 << 20}, runtime=True)
        """
        await self._call("SetUnitProperties", "sba(sv)", unit, runtime, _s.unit_properties(properties))

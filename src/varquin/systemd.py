"""systemd's manager as Python objects: unit files, jobs that can be waited
for, unit status and properties.

    from varquin import systemd
    with systemd.Manager() as m:                   # its own Bus.system() connection
        m.enable("nginx.service")                  # -> [Change(type, path, source), ...]
        m.start("nginx.service", wait=True, timeout=30)
        m.unit("nginx.service").status             # UnitStatus('loaded', 'active', 'running')

Failures are the Bus exceptions with the manager's own text: ``NoSuchUnit``
for a unit that does not exist, ``BusError`` named
``org.freedesktop.systemd1.UnitMasked`` for a masked one, ``AccessDenied``,
``InvalidArgs`` (a job mode the manager does not know), and so on; a job
that ends with a result other than ``"done"`` raises :class:`JobFailed`
when waited for through ``wait=True``.
"""

from __future__ import annotations

import fnmatch
import logging
import threading
import time
import weakref
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, NamedTuple, Self

from varquin._core import Subscription
from varquin.bus import Bus
from varquin.errors import BusError, NoSuchUnit, UnknownMethod

__all__ = [
    "MANAGER_INTERFACE",
    "SERVICE",
    "UNIT_INTERFACE",
    "Change",
    "Job",
    "JobFailed",
    "Manager",
    "Unit",
    "UnitInfo",
    "UnitStatus",
    "unit_path",
]

log = logging.getLogger("varquin")

SERVICE = "org.freedesktop.systemd1"
MANAGER_PATH = "/org/freedesktop/systemd1"
MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager"
UNIT_INTERFACE = "org.freedesktop.systemd1.Unit"
UNIT_PREFIX = "/org/freedesktop/systemd1/unit/"

# Error names under which a manager reports a unit or unit file that does not
# exist without calling it NoSuchUnit (an errno turned into an error name).
_NOT_FOUND = frozenset({"org.freedesktop.DBus.Error.FileNotFound", "System.Error.ENOENT"})


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


class JobFailed(Exception):
    """A job finished with a result other than ``"done"``: ``result`` is the
    manager's word for it (``"failed"``, ``"canceled"``, ``"timeout"``,
    ``"dependency"``, ``"skipped"``), ``unit`` the unit's name, ``job`` the
    job's object path."""

    result: str
    unit: str
    job: str

    def __init__(self, result: str, unit: str, job: str = "") -> None:
        super().__init__(result, unit, job)
        self.result = result
        self.unit = unit
        self.job = job

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


class _Outcome:
    """The result of one job path, shared by every Job object for it."""

    __slots__ = ("__weakref__", "result")

    def __init__(self) -> None:
        self.result: str | None = None


class _JobWatch:
    """Receives the manager's JobRemoved signals for one Manager and hands
    each result to the jobs queued through it.

    The subscription (and the manager's Subscribe()) is in place before the
    first job is queued, so a job that ends at once is still seen.  Signals
    are read only by threads that wait: one of them at a time reads (the
    reader), the others sleep on the condition and are woken after every
    signal.  A result read while a queueing call is still in flight is kept
    until that call has registered its job; otherwise results of jobs nobody
    here holds are dropped.
    """

    # Lock order: _subscribing is held across the two bus calls that set up
    # the match and takes no other lock; _cond is never held while the bus
    # waits (the reader lets go of it around its get()).  Bus waits release
    # the interpreter lock, so neither lock holds up other threads' calls.

    def __init__(self, bus: Bus) -> None:
        self._bus = bus
        self._subscribing = threading.Lock()  # guards _sub and _closed
        self._sub: Subscription | None = None
        self._closed = False
        self._cond = threading.Condition()  # guards the fields below
        self._reading = False
        self._jobs: weakref.WeakValueDictionary[str, _Outcome] = weakref.WeakValueDictionary()
        self._in_flight = 0
        self._early: dict[str, str] = {}  # path -> result, while calls are in flight

    def _subscribe(self) -> None:
        with self._subscribing:
            if self._closed:
                raise ValueError("the manager is closed")
            if self._sub is not None:
                return
            sub = self._bus.subscribe(
                sender=SERVICE, path=MANAGER_PATH, interface=MANAGER_INTERFACE, member="JobRemoved"
            )
            try:
                # The manager may send job signals only to subscribed clients.
                self._bus.call(SERVICE, MANAGER_PATH, MANAGER_INTERFACE, "Subscribe")
            except BaseException:
                sub.close()
                raise
            self._sub = sub

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
                outcome = None
                if path is not None:
                    outcome = self._jobs.get(path)
                    if outcome is None:
                        outcome = _Outcome()
                        outcome.result = self._early.pop(path, None)
                        self._jobs[path] = outcome
                if self._in_flight == 0:
                    self._early.clear()
        assert path is not None and outcome is not None
        return path, outcome

    def wait(self, outcome: _Outcome, timeout: float | None) -> str:
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while outcome.result is None:
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError(f"the job did not finish within {timeout} s")
                if self._reading:
                    self._cond.wait(left)
                    continue
                self._reading = True
                try:
                    self._cond.release()
                    try:
                        assert self._sub is not None
                        signal = self._sub.get(timeout=left)
                    except TimeoutError:
                        signal = None
                    finally:
                        self._cond.acquire()
                    if signal is not None:
                        self._record(signal.args)
                finally:
                    self._reading = False
                    self._cond.notify_all()
            return outcome.result

    def _record(self, args: tuple[Any, ...]) -> None:
        # JobRemoved(u id, o job, s unit, s result); under the condition.
        _id, path, _unit, result = args
        outcome = self._jobs.get(path)
        if outcome is not None:
            outcome.result = result
        elif self._in_flight:
            self._early[path] = result

    def close(self) -> None:
        with self._subscribing:
            self._closed = True
            if self._sub is not None:
                self._sub.close()


class Job:
    """A job the manager has queued.  ``path`` is its object path, ``unit``
    the unit it acts on; :meth:`wait` returns how it ended."""

    path: str
    unit: str

    def __init__(self, watch: _JobWatch, outcome: _Outcome, path: str, unit: str) -> None:
        self._watch = watch
        self._outcome = outcome
        self.path = path
        self.unit = unit

    @property
    def result(self) -> str | None:
        """How the job ended, or None while it has not been seen to end."""
        return self._outcome.result

    def wait(self, timeout: float | None = None) -> str:
        """Waits until the job ends and returns the manager's result:
        ``"done"``, ``"failed"``, ``"canceled"``, ``"timeout"``,
        ``"dependency"`` or ``"skipped"``.  Raises TimeoutError after
        ``timeout`` seconds (None: no limit); the job stays waitable.  Any
        number of threads may wait for the same job."""
        return self._watch.wait(self._outcome, timeout)

    def __repr__(self) -> str:
        return f"<Job {self.path} for {self.unit}: {self.result or 'running'}>"


class Unit:
    """A unit of the manager, by name; nothing is asked until a property is read."""

    name: str
    path: str

    def __init__(self, bus: Bus, name: str) -> None:
        self._bus = bus
        self.name = name
        self.path = unit_path(name)

    @property
    def status(self) -> UnitStatus:
        """The unit's load, active and sub state, read in one GetAll.  A unit
        that does not exist reads ``("not-found", "inactive", "dead")``."""
        p = self.properties()
        return UnitStatus(p["LoadState"], p["ActiveState"], p["SubState"])

    def properties(self, interface: str = UNIT_INTERFACE) -> dict[str, Any]:
        """Every property of ``interface`` (the unit's own by default, or its
        type's: ``org.freedesktop.systemd1.Service``, ...), with its D-Bus
        type: str, int, bool, list, tuple, dict."""
        return self._bus.get_all(SERVICE, self.path, interface)

    def __repr__(self) -> str:
        return f"<Unit {self.name}>"


class Manager:
    """systemd's manager on a bus: ``Manager()`` opens a connection of its own
    to the system bus and closes it with :meth:`close` (or at the end of a
    ``with`` block); ``Manager(bus)`` uses ``bus`` and leaves it open."""

    bus: Bus

    def __init__(self, bus: Bus | None = None) -> None:
        self._owns_bus = bus is None
        self.bus = Bus.system() if bus is None else bus
        self._watch = _JobWatch(self.bus)

    def close(self) -> None:
        """Ends the job subscription, and closes the bus when the manager
        opened it.  Closing twice is fine."""
        self._watch.close()
        if self._owns_bus:
            self.bus.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def _call(self, member: str, signature: str = "", *args: Any, timeout: float | None = None) -> tuple[Any, ...]:
        try:
            return self.bus.call(SERVICE, MANAGER_PATH, MANAGER_INTERFACE, member, signature, *args, timeout=timeout)
        except BusError as e:
            if e.name in _NOT_FOUND:
                raise NoSuchUnit(e.message) from e
            raise

    # -- unit files -------------------------------------------------------------------

    def enable(self, *units: str, runtime: bool = False, force: bool = False) -> list[Change]:
        """Enables the unit files (``runtime``: under /run, until reboot;
        ``force``: replace links in the way) and returns every change made,
        ``[]`` when there was nothing to do.  Raises NoSuchUnit for a unit
        file that does not exist, BusError ``...UnitMasked`` for a masked one."""
        carries_install_info, changes = self._call("EnableUnitFiles", "asbb", units, runtime, force)
        if not carries_install_info:
            log.debug("enable %s: no installation information in the unit files", " ".join(units))
        return [Change(*c) for c in changes]

    def disable(self, *units: str, runtime: bool = False) -> list[Change]:
        """Disables the unit files and returns every change made.  Raises
        NoSuchUnit for a unit file that does not exist."""
        (changes,) = self._call("DisableUnitFiles", "asb", units, runtime)
        return [Change(*c) for c in changes]

    def mask(self, *units: str, runtime: bool = False, force: bool = False) -> list[Change]:
        """Links the units to /dev/null so that nothing can start them;
        returns every change made."""
        (changes,) = self._call("MaskUnitFiles", "asbb", units, runtime, force)
        return [Change(*c) for c in changes]

    def unmask(self, *units: str, runtime: bool = False) -> list[Change]:
        """Removes the masks of the units; returns every change made."""
        (changes,) = self._call("UnmaskUnitFiles", "asb", units, runtime)
        return [Change(*c) for c in changes]

    def daemon_reload(self) -> None:
        """Reloads the manager's configuration and unit files; returns when
        the manager has reloaded."""
        self._call("Reload")

    # -- jobs ---------------------------------------------------------------------------

    def _job(self, member: str, unit: str, mode: str, wait: bool, timeout: float | None) -> Job:
        deadline = None if timeout is None else time.monotonic() + timeout

        def call() -> str:
            (path,) = self._call(member, "ss", unit, mode, timeout=timeout)
            return str(path)

        path, outcome = self._watch.queue(call)
        job = Job(self._watch, outcome, path, unit)
        if wait:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            result = job.wait(left)
            if result != "done":
                raise JobFailed(result, unit, job.path)
        return job

    def start(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a start job for ``unit`` and returns it.  ``mode`` is the
        manager's job mode (``"replace"``, ``"fail"``, ``"isolate"``,
        ``"ignore-dependencies"``, ...).  With ``wait=True`` it returns once
        the job has finished, and raises JobFailed unless it ended ``"done"``;
        ``timeout`` bounds the whole (TimeoutError).  Raises NoSuchUnit for a
        unit that does not exist, BusError ``...UnitMasked`` for a masked one."""
        return self._job("StartUnit", unit, mode, wait, timeout)

    def stop(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a stop job; as :meth:`start`."""
        return self._job("StopUnit", unit, mode, wait, timeout)

    def restart(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a restart job (starting the unit if it is not running); as :meth:`start`."""
        return self._job("RestartUnit", unit, mode, wait, timeout)

    def reload(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a reload job; as :meth:`start`.  A unit that cannot reload
        raises BusError ``org.freedesktop.systemd1.JobTypeNotApplicable``."""
        return self._job("ReloadUnit", unit, mode, wait, timeout)

    def try_restart(self, unit: str, mode: str = "replace", *, wait: bool = False, timeout: float | None = None) -> Job:
        """Queues a restart job that does nothing for a unit that is not running; as :meth:`start`."""
        return self._job("TryRestartUnit", unit, mode, wait, timeout)

    # -- units --------------------------------------------------------------------------

    def unit(self, name: str) -> Unit:
        """The unit ``name``; nothing is asked until its status or properties are read."""
        return Unit(self.bus, name)

    def list_units(self, patterns: Iterable[str] = (), states: Iterable[str] = ()) -> list[UnitInfo]:
        """The units the manager has loaded whose names match one of the
        shell-style ``patterns`` (all when empty) and whose load, active or
        sub state is one of ``states`` (any when empty)."""
        patterns, states = list(patterns), list(states)
        try:
            (found,) = self._call("ListUnitsByPatterns", "asas", states, patterns)
        except UnknownMethod:
            # A manager older than ListUnitsByPatterns: filter here.
            (found,) = self._call("ListUnits")
            found = [
                u
                for u in found
                if (not patterns or any(fnmatch.fnmatchcase(u[0], p) for p in patterns))
                and (not states or any(s in states for s in u[2:5]))
            ]
        return [UnitInfo(u[0], u[1], u[2], u[3], u[4], u[6]) for u in found]

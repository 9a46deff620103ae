"""The state a Manager keeps, blocking or asyncio, and the rules that move
it: job records, unit watches, snapshots of a unit's properties, run ends.
Nothing here does I/O (see varquin.systemd._effects)."""

from __future__ import annotations

import os
import threading
import weakref
from collections.abc import Mapping
from typing import Any, Protocol

from varquin._deadline import Deadline
from varquin.errors import SignalsLost
from varquin.systemd._names import MANAGER_INTERFACE, MANAGER_PATH, PROPERTIES, SERVICE, UNIT_INTERFACE
from varquin.systemd.results import UnitStatus, unit_status

# -- jobs --------------------------------------------------------------------------

# The bound of a Manager's queue of JobRemoved signals.  The queue is drained
# whenever a job is queued or waited for, and results are kept only for the
# jobs someone holds, so a process that queues jobs and never waits keeps at
# most this many signals of the host's jobs.
JOB_SIGNALS_QUEUED = 1024


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


class Outcome:
    """The result of one job path, shared by every Job object for it.
    ``lost`` is set when the job's JobRemoved was dropped from a full queue."""

    __slots__ = ("__weakref__", "lost", "result")

    def __init__(self) -> None:
        self.result: str | None = None
        self.lost = False


class JobRecords:
    """The job results a Manager keeps: a record per job someone holds, and the
    results that arrive while a call queueing a job is still in flight (its
    path is not known yet); results of jobs nobody here holds are dropped.

    One reader at a time takes JobRemoved signals from the subscription
    (``reading``); the blocking driver's other waiters sleep on ``cond``,
    which every change notifies.  ``cond`` guards every field; its sections
    never wait on the bus nor take another lock, so the asyncio driver takes
    it too without holding up its loop.
    """

    def __init__(self) -> None:
        self.cond = threading.Condition()
        self.sub: Any = None  # the world's subscription, once made
        self.native: Any = None  # its native subscription, which filters as signals arrive
        self.closed = False
        self.reading = False
        self._jobs: weakref.WeakValueDictionary[str, Outcome] = weakref.WeakValueDictionary()
        self._in_flight = 0
        self._early: dict[str, str] = {}  # path -> result, while calls are in flight

    def begin(self) -> None:
        """A call that queues a job is about to be made."""
        with self.cond:
            if self.closed:
                raise ValueError("the manager is closed")
            self._in_flight += 1
            self._filter()

    def end(self, path: str | None) -> Outcome | None:
        """The call made after begin() has returned the job ``path`` (None
        when it failed): the record its result lands in, holding the result
        if it came early.  Early results are dropped once no call is in
        flight."""
        with self.cond:
            self._in_flight -= 1
            outcome = None
            if path is not None:
                outcome = self._jobs.get(path)
                if outcome is None:
                    outcome = Outcome()
                    outcome.result = self._early.pop(path, None)
                    self._jobs[path] = outcome
            if self._in_flight == 0:
                self._early.clear()
            self._filter()
            return outcome

    def record(self, args: tuple[Any, ...]) -> None:
        """Takes in a JobRemoved(u id, o job, s unit, s result)."""
        _id, path, _unit, result = args
        with self.cond:
            outcome = self._jobs.get(path)
            if outcome is not None:
                outcome.result = result
                self._filter()
            elif self._in_flight:
                self._early[path] = result
            self.cond.notify_all()

    def record_all(self, signals: list[Any]) -> None:
        for signal in signals:
            self.record(signal.args)

    def pending(self) -> list[tuple[str, Outcome]]:
        """The held jobs whose end has not been seen nor found lost."""
        with self.cond:
            return [(path, o) for path, o in self._jobs.items() if o.result is None and not o.lost]

    def mark_lost(self, outcomes: list[Outcome]) -> None:
        """The ends of ``outcomes`` were dropped: their waits raise SignalsLost."""
        with self.cond:
            for outcome in outcomes:
                if outcome.result is None:
                    outcome.lost = True
            self._filter()
            self.cond.notify_all()

    def _filter(self) -> None:
        """Tells the native subscription which JobRemoved to queue, under
        ``cond``: every one while a call that queues a job is in flight (its
        path is not known yet), else only those of the held jobs still
        running.  The others are dropped as they arrive, so that a host
        busy with other jobs never pushes a held job's end out of the
        bounded queue.  Lock order: ``cond``, then the connection lock
        (taken by _keep with the interpreter lock released)."""
        if self.native is None or self.closed:
            return
        keep = None if self._in_flight else [p for p, o in self._jobs.items() if o.result is None and not o.lost]
        try:
            self.native._keep(1, keep)  # JobRemoved(u id, o job, s unit, s result)
        except ValueError:
            pass  # closed meanwhile

    def check(self, outcome: Outcome, deadline: Deadline) -> str | None:
        """The job's result once it is known; raises what ends its wait before
        that (closed, lost, timed out); None while the wait goes on."""
        if outcome.result is not None:
            return outcome.result
        if self.closed:
            raise ValueError("the manager is closed")
        if outcome.lost:
            raise jobs_lost()
        if deadline.passed:
            raise TimeoutError(f"the job did not finish {deadline.within()}")
        return None

    def close(self) -> None:
        with self.cond:
            self.closed = True
            self.cond.notify_all()
        if self.sub is not None:
            self.sub.close()


def take_queued(pop: Any) -> tuple[list[Any], bool]:
    """The signals ``pop`` gives until it gives None, and whether some were
    dropped from the full queue meanwhile (a closed subscription gives none)."""
    signals: list[Any] = []
    lost = False
    while True:
        try:
            signal = pop()
        except SignalsLost:
            lost = True
            continue
        except ValueError:
            break
        if signal is None:
            break
        signals.append(signal)
    return signals, lost


# Buses on which the manager's Subscribe() has been called.  It is per client
# connection and stays for the connection's life: every Manager on a Bus
# (blocking or asyncio) shares it, and a second Subscribe() (this module's or
# the caller's own) answers AlreadySubscribed, which means the same.
_subscribed: weakref.WeakSet[Any] = weakref.WeakSet()
_subscribed_lock = threading.Lock()


def is_subscribed(bus: object) -> bool:
    with _subscribed_lock:
        return bus in _subscribed


def mark_subscribed(bus: object) -> None:
    with _subscribed_lock:
        _subscribed.add(bus)


# -- a unit's properties as they change -----------------------------------------------

# How often a snapshot of a unit's properties is read again when changes
# were queued beside it (see varquin.systemd._calls.snapshot) before they
# are applied to it instead.
SNAPSHOT_TRIES = 4


def properties_changed_match(path: str) -> dict[str, Any]:
    """The match of the PropertiesChanged signals of the manager's object ``path``."""
    return {"sender": SERVICE, "path": path, "interface": PROPERTIES, "member": "PropertiesChanged"}


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
    None to read it again."""
    if not queued:
        return props
    if attempt + 1 == SNAPSHOT_TRIES:
        return queued_changes(props, interface, queued)
    return None


def unit_changes(args: tuple[Any, ...]) -> dict[str, Any] | None:
    """The changed values of a PropertiesChanged signal's ``args`` when they
    are the Unit interface's, else None."""
    interface, changed, _invalidated = args
    return dict(changed) if interface == UNIT_INTERFACE else None


def next_status(last: UnitStatus, load: str, changed: Mapping[str, Any]) -> UnitStatus | None:
    """The unit's status after the ``changed`` values (with ``load`` read
    anew: LoadState is not among the properties the manager signals), or
    None when it is still ``last``."""
    status = UnitStatus(load, changed.get("ActiveState", last.active), changed.get("SubState", last.sub))
    return None if status == last else status


# The states systemd's units can be in, as ``systemctl --state=help`` lists
# them (the sub states of every unit type together); a newer systemd's
# additions are here too.
STATES = {
    "load": ("stub", "loaded", "not-found", "bad-setting", "error", "merged", "masked"),
    "active": ("active", "reloading", "inactive", "failed", "activating", "deactivating", "maintenance", "refreshing"),
    "sub": tuple(
        sorted(
            {
                *("dead", "waiting", "running", "failed", "tentative", "plugged", "active", "elapsed", "exited"),
                *("mounting", "mounting-done", "mounted", "remounting", "unmounting", "remounting-sigterm"),
                *("remounting-sigkill", "unmounting-sigterm", "unmounting-sigkill", "cleaning", "start-chown"),
                *("abandoned", "stop-sigterm", "stop-sigkill", "condition", "start-pre", "start", "start-post"),
                *("reload", "reload-signal", "reload-notify", "reload-post", "stop", "stop-watchdog", "stop-post"),
                *("final-watchdog", "final-sigterm", "final-sigkill", "dead-before-auto-restart"),
                *("failed-before-auto-restart", "dead-resources-pinned", "auto-restart", "auto-restart-queued"),
                *("listening", "deferred", "stop-pre", "stop-pre-sigterm", "stop-pre-sigkill", "activating"),
                *("activating-done", "deactivating", "deactivating-sigterm", "deactivating-sigkill", "refreshing"),
                # systemd 262's
                *("start-open", "running-revalidating", "refresh-extensions", "refresh-credentials"),
            }
        )
    ),
}


def wanted_states(load: str | None, active: str | None, sub: str | None) -> dict[str, str]:
    """The states a wait_for() waits for, by UnitStatus field; TypeError when
    none is given, ValueError for a state systemd does not have."""
    wanted = {k: v for k, v in (("load", load), ("active", active), ("sub", sub)) if v is not None}
    if not wanted:
        raise TypeError("wait_for() needs at least one of load=, active=, sub=")
    for field, state in wanted.items():
        if state not in STATES[field]:
            raise ValueError(f"{field}={state!r} is not a {field} state of systemd: one of {', '.join(STATES[field])}")
    return wanted


def reached(status: UnitStatus, wanted: Mapping[str, str]) -> bool:
    """Whether ``status`` has every state of ``wanted``."""
    return all(getattr(status, k) == v for k, v in wanted.items())


class Changes:
    """The PropertiesChanged signals of one unit (``sub``, the world's
    subscription, made before its first snapshot is read)."""

    __slots__ = ("__weakref__", "path", "sub")

    def __init__(self, path: str, sub: Any) -> None:
        self.path = path
        self.sub = sub

    @property
    def closed(self) -> bool:
        return bool(self.sub.closed)

    def close(self) -> None:
        self.sub.close()


class WatchState:
    """A unit watch's state: the unit's changes, the total deadline and the
    last state seen."""

    def __init__(self, name: str, changes: Changes, timeout: float | None) -> None:
        self._name = name
        self._changes = changes
        self._deadline = Deadline(timeout)
        self._last: UnitStatus | None = None
        self.timed_out = False

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
        self._changes.close()

    @property
    def last(self) -> UnitStatus | None:
        """The last state seen (None before the first)."""
        return self._last

    def close(self) -> None:
        """Ends the iteration; a waiter in it returns.  Closing twice is fine."""
        self._changes.close()


# -- runs ---------------------------------------------------------------------------------


def run_settled(unit: Mapping[str, Any]) -> bool:
    """Whether a run's unit has ended: no job pending, and inactive, failed,
    or active with its process gone (RemainAfterExit)."""
    job = unit.get("Job", (0, "/"))
    if job[0] != 0:
        return False
    active, sub = unit.get("ActiveState"), unit.get("SubState")
    return active in ("inactive", "failed") or (active == "active" and sub == "exited")


def run_attempts(name: str | None) -> int:
    """How many names run() tries: a generated one may be taken, then it draws another."""
    return 1 if name is not None else 8


# -- the manager ------------------------------------------------------------------------


class _Closable(Protocol):
    def close(self) -> None: ...


class ManagerState:
    """What a Manager keeps, blocking or asyncio: whether it is a user's
    manager, where the units' journal is, whether the manager is closed, its
    job records, and the unit watches and runs' changes that closing it
    ends."""

    bus: Any
    root: str | None
    user: bool
    closed: bool

    def __init__(self, bus: Any, root: str | os.PathLike[str] | None, user: bool = False) -> None:
        self.bus = bus
        self.root = None if root is None else os.fspath(root)
        self.user = bool(user)
        self.uid: int | None = None  # a user manager's user, once asked
        self.jobs = JobRecords()
        self._watches: weakref.WeakSet[_Closable] = weakref.WeakSet()
        self._runs: weakref.WeakSet[_Closable] = weakref.WeakSet()
        self.closed = False

    def _close_all(self) -> None:
        self.closed = True
        self.jobs.close()
        for item in [*self._watches, *self._runs]:
            item.close()

    def _track(self, watch: _Closable) -> None:
        """Closes ``watch`` with the manager, or now when it is already closed."""
        self._watches.add(watch)
        if self.closed:
            watch.close()

    def _track_run(self, changes: _Closable) -> None:
        """Closes a run's ``changes`` with the manager (ending its wait), or now
        when it is already closed (it closed while the unit was being started)."""
        self._runs.add(changes)
        if self.closed:
            changes.close()

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("the manager is closed")

"""The manager's calls and waits, each written once, for both worlds.

Each function here is one method of varquin.systemd's Manager, Unit, Job or
Run (and of varquin.aio.systemd's, awaited): the member it calls and its
signature, how the reply becomes the result, and the method's docstring.
They are generators that never do I/O (see varquin.systemd._effects); a
driver runs them.
"""

from __future__ import annotations

import dataclasses
import logging
import signal as _signal
from collections.abc import Callable, Iterable, Mapping
from typing import Any, TypeVar

from varquin._deadline import Deadline
from varquin.errors import BusError, NoSuchUnit, UnknownMethod
from varquin.journal import JournalEntry
from varquin.systemd import _unit_journal as uj
from varquin.systemd._effects import Call, Next, Op, Queued, ReadJob, Subscribe, get_all, get_property
from varquin.systemd._names import (
    ALREADY_SUBSCRIBED,
    NO_SUCH_JOB,
    NOT_FOUND,
    SERVICE_INTERFACE,
    UNIT_EXISTS,
    UNIT_INTERFACE,
    job_id,
    name_list,
    unit_name,
    unit_path,
)
from varquin.systemd._state import (
    SNAPSHOT_TRIES,
    Changes,
    ManagerState,
    Outcome,
    WatchState,
    is_subscribed,
    job_removed_match,
    mark_subscribed,
    properties_changed_match,
    reached,
    run_attempts,
    run_settled,
    settled_snapshot,
    unit_changes,
)
from varquin.systemd._unit_journal import is_local
from varquin.systemd.properties import find_executable, run_name, run_properties, unit_properties
from varquin.systemd.results import (
    Change,
    JobFailed,
    RunResult,
    RunTimeout,
    UnitDetails,
    UnitFailed,
    UnitFile,
    UnitInfo,
    UnitStatus,
    filter_unit_files,
    filter_units,
    run_result,
    type_interface,
    unit_details,
    unit_file_list,
    unit_list,
    unit_status,
)

log = logging.getLogger("varquin")

C = TypeVar("C", bound=type)
J = TypeVar("J")


def documented(docs: Callable[[], Mapping[str, str | None]]) -> Callable[[C], C]:
    """Gives each method (or property) of the decorated class named in
    ``docs()`` its docstring there: the docstring of the call it runs,
    written once for both worlds."""

    def give(cls: C) -> C:
        for name, doc in docs().items():
            member = cls.__dict__[name]
            if isinstance(member, property):
                setattr(cls, name, property(member.fget, doc=doc))
            else:
                member.__doc__ = doc
        return cls

    return give


def call(m: ManagerState, member: str, signature: str = "", *args: Any, timeout: float | None = None) -> Op[Any]:
    """A call of the manager's ``member``; a unit (file) that does not exist
    raises NoSuchUnit whatever name the manager gave its error."""
    m._check_open()
    try:
        return (yield Call(member, signature, args, timeout))
    except BusError as e:
        if e.name in NOT_FOUND:
            raise NoSuchUnit(e.message) from e
        raise


# -- unit files -----------------------------------------------------------------------


def unit_names(units: Iterable[str]) -> list[str]:
    """Each of ``units`` as systemctl reads it (see unit_name)."""
    return [unit_name(u) for u in units]


def _changes(m: ManagerState, found: Iterable[Any], reload: bool) -> Op[list[Change]]:
    changes = [Change(*c) for c in found]
    if changes and reload:
        yield from daemon_reload(m)
    return changes


def enable(m: ManagerState, units: tuple[str, ...], runtime: bool, force: bool, reload: bool) -> Op[list[Change]]:
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
    carries_install_info, found = yield from call(m, "EnableUnitFiles", "asbb", unit_names(units), runtime, force)
    if not carries_install_info:
        log.debug("enable %s: no installation information in the unit files", " ".join(units))
    return (yield from _changes(m, found, reload))


def disable(m: ManagerState, units: tuple[str, ...], runtime: bool, reload: bool) -> Op[list[Change]]:
    """Disables the unit files (``runtime``: only the links under /run) and
    returns every change made, reloading the manager after a change as
    :meth:`enable` does (``reload=False`` not to).

    Raises NoSuchUnit for a unit file that does not exist, AccessDenied
    where the caller may not do it, NoReply (also a TimeoutError) when the
    manager does not answer in time, ValueError once the manager is
    closed."""
    (found,) = yield from call(m, "DisableUnitFiles", "asb", unit_names(units), runtime)
    return (yield from _changes(m, found, reload))


def mask(m: ManagerState, units: tuple[str, ...], runtime: bool, force: bool, reload: bool) -> Op[list[Change]]:
    """Links the unit files to /dev/null so that nothing can start the units
    (``runtime``: under /run, until reboot; ``force``: replace a file in
    the way) and returns every change made, reloading the manager after a
    change as :meth:`enable` does.  Starting a masked unit then raises
    BusError ``org.freedesktop.systemd1.UnitMasked``.

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed."""
    (found,) = yield from call(m, "MaskUnitFiles", "asbb", unit_names(units), runtime, force)
    return (yield from _changes(m, found, reload))


def unmask(m: ManagerState, units: tuple[str, ...], runtime: bool, reload: bool) -> Op[list[Change]]:
    """Removes the masks of the units and returns every change made (``[]``
    for a unit that was not masked), reloading the manager after a change
    as :meth:`enable` does.

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed."""
    (found,) = yield from call(m, "UnmaskUnitFiles", "asb", unit_names(units), runtime)
    return (yield from _changes(m, found, reload))


def daemon_reload(m: ManagerState) -> Op[None]:
    """Reloads the manager's configuration and unit files; returns once the
    manager has reloaded.

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed."""
    yield from call(m, "Reload")


def is_enabled(m: ManagerState, unit: str) -> Op[str]:
    """The state of the unit's file (GetUnitFileState): ``"enabled"``,
    ``"disabled"``, ``"static"``, ``"masked"``, ``"alias"``,
    ``"transient"``, ...

    Raises NoSuchUnit for a unit without a file, AccessDenied where the
    caller may not do it, NoReply (also a TimeoutError) when the manager
    does not answer in time, ValueError once the manager is closed.

        m.is_enabled("nginx.service")     # 'enabled'
    """
    (state,) = yield from call(m, "GetUnitFileState", "s", unit_name(unit))
    return str(state)


def list_unit_files(m: ManagerState, patterns: Iterable[str], states: Iterable[str]) -> Op[list[UnitFile]]:
    """The unit files the manager knows (a list of :class:`UnitFile`) whose
    names match one of the shell-style ``patterns`` (all when empty) and
    whose state is one of ``states`` (any when empty).

    Raises TypeError when ``patterns`` or ``states`` is a bare str or
    holds something other than str, AccessDenied where the caller may not
    do it, NoReply (also a TimeoutError) when the manager does not answer
    in time, ValueError once the manager is closed.

        m.list_unit_files(["*.timer"], ["enabled"])
    """
    wanted, states = name_list(patterns, "patterns"), name_list(states, "states")
    try:
        (found,) = yield from call(m, "ListUnitFilesByPatterns", "asas", states, wanted)
    except UnknownMethod:
        # A manager older than ListUnitFilesByPatterns: filter here.
        (found,) = yield from call(m, "ListUnitFiles")
        return filter_unit_files(found, wanted, states)
    return unit_file_list(found)


# -- units ------------------------------------------------------------------------------


def list_units(m: ManagerState, patterns: Iterable[str], states: Iterable[str]) -> Op[list[UnitInfo]]:
    """The units the manager has loaded (a list of :class:`UnitInfo`) whose
    names match one of the shell-style ``patterns`` (all when empty) and
    whose load, active or sub state is one of ``states`` (any when empty).

    Raises TypeError when ``patterns`` or ``states`` is a bare str or
    holds something other than str, AccessDenied where the caller may not
    do it, NoReply (also a TimeoutError) when the manager does not answer
    in time, ValueError once the manager is closed.

        [u.name for u in m.list_units(states=["failed"])]
    """
    wanted, states = name_list(patterns, "patterns"), name_list(states, "states")
    try:
        (found,) = yield from call(m, "ListUnitsByPatterns", "asas", states, wanted)
    except UnknownMethod:
        # A manager older than ListUnitsByPatterns: filter here.
        (found,) = yield from call(m, "ListUnits")
        return filter_units(found, wanted, states)
    return unit_list(found)


def reset_failed(m: ManagerState, unit: str | None) -> Op[None]:
    """Resets the failed state (and the restart counter) of ``unit``, or of
    every unit when None.

    Raises NoSuchUnit for a unit that is not loaded, AccessDenied where
    the caller may not do it, NoReply (also a TimeoutError) when the
    manager does not answer in time, ValueError once the manager is
    closed."""
    if unit is None:
        yield from call(m, "ResetFailed")
    else:
        yield from call(m, "ResetFailedUnit", "s", unit_name(unit))


def kill(m: ManagerState, unit: str, signal: int = _signal.SIGTERM, whom: str = "all") -> Op[None]:
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
    yield from call(m, "KillUnit", "ssi", unit_name(unit), whom, int(signal))


def set_properties(m: ManagerState, unit: str, properties: Mapping[str, Any], runtime: bool) -> Op[None]:
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
    yield from call(m, "SetUnitProperties", "sba(sv)", unit_name(unit), runtime, unit_properties(properties))


def properties(m: ManagerState, path: str, interface: str = UNIT_INTERFACE) -> Op[dict[str, Any]]:
    """Every property of ``interface`` (the unit's own by default, or its
    type's: ``org.freedesktop.systemd1.Service``, ...), with its D-Bus
    type: str, int, bool, list, tuple, dict.

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed.

        m.unit("nginx.service").properties()["MainPID"]
    """
    m._check_open()
    return (yield from get_all(path, interface))


def status(m: ManagerState, path: str) -> Op[UnitStatus]:
    """The unit's load, active and sub state (:class:`UnitStatus`), read in
    one GetAll.  A unit that does not exist reads ``("not-found",
    "inactive", "dead")``.

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed."""
    return unit_status((yield from properties(m, path)))


def details(m: ManagerState, path: str) -> Op[UnitDetails]:
    """What ``systemctl status`` shows of the unit (:class:`UnitDetails`),
    read in a GetAll of the unit's properties and one of its type's.

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed."""
    unit = yield from properties(m, path)
    kind = type_interface(unit["Id"])
    return unit_details(unit, (yield from properties(m, path, kind)) if kind else {})


def unit_journal(m: ManagerState, unit: str, lines: int) -> Op[list[JournalEntry]]:
    """The unit's last ``lines`` journal entries, oldest first, as
    ``journalctl -u`` shows them (its own lines and the manager's about
    it). They are read from this machine's journal for this machine's
    manager (``Bus.system()`` at its default address), from the folder the
    Manager was given as ``root=``, or, over ``Bus.remote(host)``, by
    ``journalctl -o json`` on that host through the same SSH target
    (bounded to a minute).

    Raises ValueError for a manager on any other address (read it with
    ``journal.entries(unit, root=...)``); ConnectionError when the host
    cannot be reached; TimeoutError when it stops answering."""
    return (yield from uj.unit_entries(m, unit, lines))


# -- a unit's states as they change -----------------------------------------------------


def open_changes(path: str) -> Op[Changes]:
    """The PropertiesChanged signals of the object ``path``, the match in place."""
    return Changes(path, (yield Subscribe(properties_changed_match(path))))


def snapshot(changes: Changes, interface: str = UNIT_INTERFACE) -> Op[dict[str, Any]]:
    """The properties of ``interface``, read so that the changes that follow
    are exactly those after them.

    The match is made first, then the properties are read.  The manager
    sends its replies and signals in order, but the signals queued when the
    reply is taken may include newer ones: another thread reading the
    connection may have gone on past the reply (an asyncio driver always
    does).  Queued signals are dropped, and when there were any the
    properties are read again, until a reading finds none queued; then
    nothing newer was dropped.  After SNAPSHOT_TRIES readings the queued
    changes are applied to the last one instead: an older state may then
    come again, but the newest is never lost."""
    attempt = 0
    while True:
        props = yield from get_all(changes.path, interface)
        queued, lost = yield Queued(changes.sub)
        if not (lost and attempt + 1 < SNAPSHOT_TRIES):
            if (settled := settled_snapshot(props, interface, queued, attempt)) is not None:
                return settled
        attempt += 1


def next_change(changes: Changes, deadline: Deadline) -> Op[dict[str, Any]]:
    """The changed values of the next change of the Unit interface's
    properties.  TimeoutError when none came by ``deadline``, ValueError
    once closed."""
    while True:
        signal = yield Next(changes.sub, deadline.left())
        if (changed := unit_changes(signal.args)) is not None:
            return changed


def watch_step(watch: WatchState) -> Op[UnitStatus | None]:
    """The unit's next state: first the current one, then one per change of
    its load, active or sub state; None once the watch has ended (its
    deadline passed, or it was closed)."""
    try:
        if watch.last is None:
            return watch._first((yield from snapshot(watch._changes)))
        while True:
            changed = yield from next_change(watch._changes, watch._deadline)
            load = yield from get_property(watch._changes.path, UNIT_INTERFACE, "LoadState")
            if (step := watch._step(load, changed)) is not None:
                return step
    except TimeoutError:
        watch._end()
        return None
    except (ValueError, ConnectionError):
        # Closed meanwhile (the Manager's close() may close its bus under a
        # call of this watch's).
        if watch._changes.closed:
            return None
        raise


def nothing_queued(path: str) -> Op[bool]:
    """Whether no job is queued for the unit at ``path``."""
    job_ = yield from get_property(path, UNIT_INTERFACE, "Job")
    return bool(job_[0] == 0)


def wait_for(m: ManagerState, watch: WatchState, wanted: Mapping[str, str]) -> Op[UnitStatus]:
    """Waits until the unit's states are all those given and returns its
    :class:`UnitStatus` then.  A state is named as systemctl names it
    (``systemctl --state=help`` lists them).

    Raises TypeError when no state is given; ValueError for a state name
    systemd does not have (listing those it has); UnitFailed (with the
    unit's last journal lines) as soon as the unit has failed with no job
    queued that could change it, unless failed is what is waited for;
    TimeoutError, naming the last state seen, after ``timeout`` seconds
    (None: no limit); ValueError once the manager is closed.

        m.unit("nginx.service").wait_for(active="active", timeout=30)
    """
    try:
        while (step := (yield from watch_step(watch))) is not None:
            if reached(step, wanted):
                return step
            if step.active == "failed" and (yield from nothing_queued(watch._changes.path)):
                entries = yield from uj.failure_entries(m, watch._name, uj.unit_failed)
                raise UnitFailed(watch._name, step, entries)
    finally:
        watch.close()
    if not watch.timed_out:
        raise ValueError("the manager is closed")
    goal = ", ".join(f"{k}={v!r}" for k, v in wanted.items())
    raise TimeoutError(f"{watch._name} did not reach {goal} {watch._deadline.within()}; last seen {watch.last}")


# -- jobs ---------------------------------------------------------------------------------


def subscribe(m: ManagerState) -> Op[None]:
    """Makes sure the manager sends its job and unit signals to the bus."""
    if is_subscribed(m.bus):
        return
    try:
        yield Call("Subscribe")
    except BusError as e:
        if e.name != ALREADY_SUBSCRIBED:
            raise
    mark_subscribed(m.bus)


def job_subscription(m: ManagerState) -> Op[None]:
    """The subscription to JobRemoved in place (and the manager's
    Subscribe()) before a job is queued, so that a job that ends at once is
    still seen."""
    m._check_open()
    jobs = m.jobs
    if jobs.sub is None:
        sub = yield Subscribe(job_removed_match())
        with jobs.cond:
            keep = jobs.sub is None and not jobs.closed
            if keep:
                jobs.sub = sub
                # The native subscription: an asyncio one wraps it.
                jobs.native = getattr(sub, "_core", sub)
                jobs._filter()
        if not keep:
            sub.close()  # another caller's made it first, or the manager closed
        m._check_open()
    yield from subscribe(m)


def resolve_lost(m: ManagerState) -> Op[None]:
    """After signals were dropped: a held job that no longer exists had its
    end among them, and its wait raises SignalsLost."""
    gone = []
    for path, outcome in m.jobs.pending():
        try:
            yield Call("GetJob", "u", (job_id(path),))
        except BusError as e:
            if e.name == NO_SUCH_JOB:
                gone.append(outcome)
    m.jobs.mark_lost(gone)


def queue_job(m: ManagerState, member: str, unit: str, mode: str, timeout: float | None) -> Op[tuple[str, Outcome]]:
    """Queues a job with the match in place; the job's path and the record
    its result lands in."""
    yield from job_subscription(m)
    jobs = m.jobs
    jobs.begin()
    path = None
    try:
        (path,) = yield from call(m, member, "ss", unit, mode, timeout=timeout)
    finally:
        outcome = jobs.end(path)
    # Take in what is queued, so that nothing grows while nobody waits.
    signals, lost = yield Queued(jobs.sub)
    jobs.record_all(signals)
    if lost:
        yield from resolve_lost(m)
    assert path is not None and outcome is not None
    return str(path), outcome


def job_wait(m: ManagerState, outcome: Outcome, deadline: Deadline) -> Op[str]:
    """Waits until the job ends and returns the manager's result: ``"done"``,
    ``"failed"``, ``"canceled"``, ``"timeout"``, ``"dependency"`` or
    ``"skipped"``. A start job is done once the unit has started: that
    says nothing of how long it stays up.  Any number of threads (or
    tasks) may wait for the same job.

    Raises TimeoutError after ``timeout`` seconds (None: no limit), after
    which the job stays waitable; SignalsLost when the job's end was
    dropped from a full signal queue; ValueError once the manager is
    closed."""
    while (result := m.jobs.check(outcome, deadline)) is None:
        if (yield ReadJob(outcome, deadline)):
            yield from resolve_lost(m)
    return result


def invocation_of(unit: str) -> Op[str]:
    """The unit's current invocation id (hex; zeros when it cannot be read)."""
    try:
        value = yield from get_property(unit_path(unit), UNIT_INTERFACE, "InvocationID")
    except BusError:
        return ""
    return bytes(value).hex()


def job(
    m: ManagerState,
    member: str,
    unit: str,
    mode: str,
    wait: bool,
    timeout: float | None,
    make: Callable[[str, Outcome, str], J],
) -> Op[J]:
    """Queues the job ``member`` and returns it as ``make`` makes it; with
    ``wait``, once it has ended, raising JobFailed (with the unit's last
    journal lines) unless it ended "done"."""
    deadline = Deadline(timeout)
    queued = uj.now_usec()
    unit = unit_name(unit)
    path, outcome = yield from queue_job(m, member, unit, mode, timeout)
    made = make(path, outcome, unit)
    if wait:
        result = yield from job_wait(m, outcome, deadline)
        if result != "done":
            ended = uj.job_ended(path, result, queued)
            invocation = yield from invocation_of(unit)
            entries = yield from uj.failure_entries(m, unit, ended, (invocation, queued))
            raise JobFailed(result, unit, path, entries)
    return made


def _job_doc(what: str, extra: str = "") -> str:
    return (
        f"Queues a {what} job for ``unit``{extra} and returns its :class:`Job`;\n"
        "    ``mode``, ``wait`` and ``timeout`` as for :meth:`start`.\n\n"
        "    Raises as :meth:`start`: NoSuchUnit, BusError\n"
        "    ``org.freedesktop.systemd1.UnitMasked``, JobFailed and TimeoutError\n"
        "    with ``wait=True``, ValueError once the manager is closed."
    )


WATCH_DOC = """The unit's states as they change (:class:`UnitWatch`, an
    iterator, or an async iterator on an asyncio Manager); ``timeout`` is
    the watch's total time in seconds (None: until closed). The match is
    in place before the current state is read.

    Raises ValueError once the manager is closed.

        with m.unit("nginx.service").watch(timeout=60) as w:
            for status in w: ...
    """

UNIT_DOC = """The :class:`Unit` ``name``; nothing is asked until its status or
    properties are read, so a name that does not exist raises nothing
    here."""

CLOSE_DOC = """Ends the job subscription, every unit watch and every run's wait, and
    closes the bus when the manager opened it (a Bus given to it stays
    open). Closing twice is fine; afterwards the manager's methods raise
    ValueError."""

#: The docstring of each job verb.
JOB_DOCS = {
    "start": """Queues a start job for ``unit`` and returns its :class:`Job`. ``mode``
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
    """,
    "stop": _job_doc("stop"),
    "restart": _job_doc("restart", " (a unit that was not running is\n    started)"),
    "reload": _job_doc("reload")
    + "  A unit\n    that cannot reload raises BusError\n    ``org.freedesktop.systemd1.JobTypeNotApplicable``.",
    "try_restart": _job_doc("try-restart", " (for a unit that is not running\n    the job does nothing)"),
    "reload_or_restart": _job_doc(
        "reload-or-restart", " (a unit that can reload\n    reloads, another restarts, one not running starts)"
    ),
}

#: The manager's member for each job verb.
JOB_MEMBERS = {
    "start": "StartUnit",
    "stop": "StopUnit",
    "restart": "RestartUnit",
    "reload": "ReloadUnit",
    "try_restart": "TryRestartUnit",
    "reload_or_restart": "ReloadOrRestartUnit",
}


def cancel_job(m: ManagerState, path: str) -> Op[bool]:
    """Asks the manager to cancel the job: True when it did, False when the
    job had already ended.  A process the job already started keeps
    running (stop the unit to end it).

    Raises AccessDenied where the caller may not do it, NoReply (also a
    TimeoutError) when the manager does not answer in time, ValueError
    once the manager is closed."""
    try:
        yield from call(m, "CancelJob", "u", job_id(path))
    except BusError as e:
        if e.name == NO_SUCH_JOB:
            return False
        raise
    return True


# -- transient runs --------------------------------------------------------------------


def command(m: ManagerState, name: str) -> str:
    """The command ``name`` as systemd-run finds it where the managed
    machine's files can be seen from here: on this machine for its own
    manager, under the Manager's ``root=``.  Elsewhere an absolute path goes
    as it is and any other name is a ValueError: the manager's own PATH
    cannot be searched from here."""
    if m.root is not None:
        return find_executable(name, m.root)
    if is_local(m.bus.address, m.user):
        return find_executable(name)
    if not name.startswith("/"):
        raise ValueError(
            f"argv must start with an absolute path, not {name!r}: the manager at {m.bus.address} is not "
            "this machine's, so the command cannot be looked up on its PATH from here"
        )
    return name


def run(
    m: ManagerState,
    argv: Iterable[str],
    name: str | None,
    deadline: Deadline,
    props: Mapping[str, Any] | None,
    collect: bool,
) -> Op[tuple[str, Changes]]:
    """Runs ``argv`` as a transient service (``StartTransientUnit``, job mode
    "fail") and returns its :class:`Run`, or with ``wait=True`` its
    :class:`RunResult` once the service has exited; ``timeout`` bounds the
    whole in seconds.

    ``argv[0]`` is the command's absolute path; for this machine's own
    manager it may also be a name found on PATH (or a path from the current
    folder), as systemd-run finds it.  The arguments reach the command as
    written (``$`` is not expanded). The unit is ``name`` (``.service``
    added when it has no suffix) or a new ``run-u<N>.service``.
    ``properties`` sets unit properties from plain values for the names of
    PROPERTY_TYPES (``{"User": "nobody", "MemoryMax": 256 << 20,
    "Environment": ["A=1"]}``; a standard stream may name a file as
    systemd-run does: ``{"StandardOutput": "append:/var/log/job.log"}``);
    any other name needs a varquin.Variant.  ``collect=True`` lets the
    manager unload the unit once its results are read, failed or not.

    Raises FileNotFoundError ("Failed to find executable") for a command
    not found on this machine; ValueError for an empty ``argv``, for a
    ``argv[0]`` that is not an absolute path where the manager is not this
    machine's, and for a property outside PROPERTY_TYPES given without a
    Variant; TypeError for a bare str as
    ``argv`` or as a list-of-str property; BusError
    ``org.freedesktop.systemd1.UnitExists`` for a ``name`` in use;
    InvalidArgs for a property value the manager refuses; TimeoutError
    when ``timeout`` passes; AccessDenied where the caller may not;
    ValueError once the manager is closed.

        r = m.run(["/bin/sh", "-c", "exit 7"], wait=True)
        r.result, r.exit_status                # ('exit-code', 7)
    """
    args = name_list(argv, "argv")
    if args:
        args = [command(m, args[0]), *args[1:]]
    sent = run_properties(args, props, collect, tracked=bool(m.bus.unique_name))
    m._check_open()
    attempts = run_attempts(name)
    for attempt in range(attempts):
        unit = run_name(name)
        changes = yield from open_changes(unit_path(unit))  # in place before the unit exists
        try:
            yield from call(
                m, "StartTransientUnit", "ssa(sv)a(sa(sv))", unit, "fail", sent, [], timeout=deadline.left()
            )
        except BaseException as e:
            changes.close()
            if isinstance(e, BusError) and e.name == UNIT_EXISTS and attempt + 1 < attempts:
                continue  # a generated name in use: draw another
            raise
        m._track_run(changes)
        return unit, changes
    raise AssertionError("unreachable")


def run_wait(
    m: ManagerState, unit: str, changes: Changes, queued_usec: int, deadline: Deadline, run: Any, collect: bool
) -> Op[RunResult]:
    """Waits until the service has exited (not only started) and returns its
    :class:`RunResult`, with the unit's last journal entries.  Any number
    of threads (or tasks) may wait; the result is read once.

    Raises RunTimeout (a TimeoutError) after ``timeout`` seconds (None: no
    limit), naming the unit's last state, after which the run stays
    waitable; ValueError once the manager is closed."""
    try:
        props = yield from snapshot(changes)
        while True:
            if run_settled(props):
                # Signals may lag behind: settled only if the manager agrees now.
                props = yield from snapshot(changes)
                if run_settled(props):
                    break
            try:
                props.update((yield from next_change(changes, deadline)))
            except TimeoutError:
                state = f"{props.get('ActiveState')}/{props.get('SubState')}"
                raise RunTimeout(f"{unit} did not finish {deadline.within()} ({state})", run) from None
        service = yield from get_all(unit_path(unit), SERVICE_INTERFACE)
    except ValueError:
        if m.closed:
            raise ValueError("the manager is closed") from None
        raise
    changes.close()
    result = run_result(unit, props, service)
    finished = service.get("ExecMainExitTimestamp") or queued_usec
    ended = uj.run_ended(finished, props.get("ActiveState") == "active")
    entries = yield from uj.failure_entries(m, unit, ended, (result.invocation_id, queued_usec))
    try:
        # Drops what kept the unit until now (the manager may then unload
        # it): the run's reference, or on a connection without a bus the
        # service that stayed after its process; a unit already gone is fine.
        if m.bus.unique_name:
            yield from call(m, "UnrefUnit", "s", unit)
        elif props.get("ActiveState") == "active":
            yield from call(m, "StopUnit", "ss", unit, "replace")
        elif props.get("ActiveState") == "failed" and collect:
            yield from call(m, "ResetFailedUnit", "s", unit)
    except BusError as e:
        log.debug("unref %s: %s", unit, e)
    return dataclasses.replace(result, journal=entries)


# -- the docstrings of the public methods, by class ------------------------------------


def manager_docs() -> dict[str, str | None]:
    verbs = (enable, disable, mask, unmask, daemon_reload, is_enabled, list_unit_files, list_units)
    more = (reset_failed, kill, set_properties, run)
    return {
        "close": CLOSE_DOC,
        "unit": UNIT_DOC,
        **{op.__name__: op.__doc__ for op in (*verbs, *more)},
        **JOB_DOCS,
    }


def unit_docs() -> dict[str, str | None]:
    ops = (status, properties, details, wait_for)
    return {"watch": WATCH_DOC, "journal": unit_journal.__doc__, **{op.__name__: op.__doc__ for op in ops}}


def job_docs() -> dict[str, str | None]:
    return {"wait": job_wait.__doc__, "cancel": cancel_job.__doc__}


def run_docs() -> dict[str, str | None]:
    return {"wait": run_wait.__doc__}

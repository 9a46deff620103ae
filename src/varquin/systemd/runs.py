"""Transient services of Manager.run, waited for by the calling thread."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any

from varquin._deadline import Deadline
from varquin.systemd import _calls
from varquin.systemd._effects import Op
from varquin.systemd._state import Changes
from varquin.systemd._unit_journal import now_usec
from varquin.systemd.results import RunResult, RunTimeout

if TYPE_CHECKING:
    from varquin.systemd.manager import Manager


class RunBase:
    """What a Run is in both worlds: its manager, unit and changes, when it was
    started, and its result once read."""

    unit: str

    def __init__(self, manager: Any, unit: str, changes: Changes, collect: bool = False) -> None:
        self._manager = manager
        self._collect = collect
        self._changes = changes
        self._result: RunResult | None = None
        self._queued = now_usec()
        self.unit = unit

    def _waiting(self, deadline: Deadline) -> Op[RunResult]:
        return _calls.run_wait(self._manager, self.unit, self._changes, self._queued, deadline, self, self._collect)

    def __repr__(self) -> str:
        return f"<Run {self.unit}: {self._result.result if self._result else 'running'}>"


@_calls.documented(_calls.run_docs)
class Run(RunBase):
    """A transient service started by :meth:`Manager.run`; ``unit`` is its
    name.  The manager keeps the unit (even with ``collect=True``) until
    :meth:`wait` has read its results, or until the connection closes."""

    _manager: Manager

    def __init__(self, manager: Manager, unit: str, changes: Changes, collect: bool = False) -> None:
        super().__init__(manager, unit, changes, collect)
        self._lock = threading.Lock()  # one waiter reads at a time

    def wait(self, timeout: float | None = None) -> RunResult:
        return self._wait_until(Deadline(timeout))

    def _wait_until(self, deadline: Deadline) -> RunResult:
        left = deadline.left()
        if not self._lock.acquire(timeout=-1 if left is None else left):
            raise RunTimeout(f"{self.unit} did not finish {deadline.within()}", self)
        try:
            result = self._result
            if result is None:
                result = self._result = self._manager._drive(self._waiting(deadline))
            return result
        finally:
            self._lock.release()

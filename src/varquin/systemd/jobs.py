"""Jobs the manager has queued, waited for by the calling thread."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from varquin._deadline import Deadline
from varquin.errors import SignalsLost
from varquin.systemd import _calls
from varquin.systemd._effects import ReadJob
from varquin.systemd._state import Outcome

if TYPE_CHECKING:
    from varquin.systemd.manager import Manager


class JobBase:
    """What a Job is in both worlds: the manager, the job's path and unit,
    and the record its result lands in."""

    path: str
    unit: str

    def __init__(self, manager: Any, outcome: Outcome, path: str, unit: str) -> None:
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


@_calls.documented(_calls.job_docs)
class Job(JobBase):
    """A job the manager has queued.  ``path`` is its object path, ``unit``
    the unit it acts on; :meth:`wait` returns how it ended."""

    _manager: Manager

    def wait(self, timeout: float | None = None) -> str:
        return self._manager._drive(_calls.job_wait(self._manager, self._outcome, Deadline(timeout)))

    def cancel(self) -> bool:
        return self._manager._drive(_calls.cancel_job(self._manager, self.path))


def read_job(manager: Manager, step: ReadJob) -> bool:
    """One step of a job's wait on this thread: the reader takes one
    JobRemoved in, any other waiter sleeps until the reader has.

    Lock order: ``cond`` is never held while the bus waits (the reader lets
    go of it around its get(), which releases the interpreter lock), so it
    holds up neither other threads' calls nor the reader."""
    jobs = manager.jobs
    outcome, deadline = step.outcome, step.deadline
    with jobs.cond:
        if outcome.result is not None or outcome.lost or jobs.closed:
            return False
        if jobs.reading:
            jobs.cond.wait(deadline.left())
            return False
        jobs.reading = True
    signal, lost = None, False
    try:
        signal = jobs.sub.get(timeout=deadline.left())
    except TimeoutError:
        pass  # the wait raises it once the deadline has passed
    except SignalsLost:
        lost = True
    except ValueError:
        if jobs.closed:
            raise ValueError("the manager is closed") from None
        raise  # the bus was closed under the manager
    finally:
        with jobs.cond:
            if signal is not None:
                jobs.record(signal.args)
            jobs.reading = False
            jobs.cond.notify_all()
    return lost

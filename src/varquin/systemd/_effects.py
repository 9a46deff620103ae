"""What the manager's logic asks its driver to do.

The logic of varquin.systemd is written once, as generators that never do
I/O: each ``yield``s one of the requests below and is sent back its result,
or has the request's exception thrown in at the ``yield``.  A driver per
world performs them: the blocking one with the calling thread (the manager,
units, jobs and runs of varquin.systemd), the asyncio one by awaiting on
the event loop (varquin.aio.systemd).
"""

from __future__ import annotations

from collections.abc import Generator, Mapping
from dataclasses import dataclass
from typing import Any, TypeVar

from varquin.systemd._names import MANAGER_INTERFACE, MANAGER_PATH, SERVICE

T = TypeVar("T")

#: A piece of the manager's logic that returns a T.
Op = Generator["Effect", Any, T]


@dataclass(frozen=True, slots=True)
class Call:
    """A method call on the manager's service (or on ``destination``); its
    result is the reply's values."""

    member: str
    signature: str = ""
    args: tuple[Any, ...] = ()
    timeout: float | None = None
    path: str = MANAGER_PATH
    interface: str = MANAGER_INTERFACE
    destination: str = SERVICE


@dataclass(frozen=True, slots=True)
class GetAll:
    """Every property of ``interface`` of the manager's object ``path``, as a dict."""

    path: str
    interface: str


@dataclass(frozen=True, slots=True)
class GetProperty:
    """The property ``name`` of ``interface`` of the manager's object ``path``."""

    path: str
    interface: str
    name: str


@dataclass(frozen=True, slots=True)
class Subscribe:
    """A subscription (the world's) to the signals of ``match``, with its match
    in place on the bus when it is handed back."""

    match: Mapping[str, Any]


@dataclass(frozen=True, slots=True)
class Next:
    """The next signal of the subscription ``sub``, waiting up to ``timeout``
    seconds (None: no limit): TimeoutError when none came, ValueError once
    it is closed, SignalsLost when its queue dropped signals."""

    sub: Any
    timeout: float | None


@dataclass(frozen=True, slots=True)
class Queued:
    """The signals already queued in ``sub``, taken without waiting, and
    whether some were dropped from its full queue: ``(signals, lost)``."""

    sub: Any


@dataclass(frozen=True, slots=True)
class ReadJob:
    """One step of a wait for the job whose result lands in ``outcome``: read
    one JobRemoved signal and take it in (when no other waiter of the
    manager reads), or wait for the news of the one that reads, up to
    ``deadline``.  True when signals were dropped from the full queue."""

    outcome: Any
    deadline: Any


@dataclass(frozen=True, slots=True)
class ReadJournal:
    """A unit's last ``lines`` journal entries: ``how`` and ``where`` say where
    the journal is ("local" with the root folder or None, "remote" with the
    host).  ``user``: the unit is a user manager's, whose owner is ``uid``
    (None over SSH, where the journal is read as that user)."""

    how: str
    where: str | None
    unit: str
    lines: int
    user: bool = False
    uid: int | None = None


@dataclass(frozen=True, slots=True)
class FollowJournal:
    """The entries of the open journal ``journal`` after its position, waiting
    up to ``timeout`` seconds for the first ([] when none came)."""

    journal: Any
    timeout: float


@dataclass(frozen=True, slots=True)
class Sleep:
    """A pause of ``seconds``."""

    seconds: float


Effect = Call | GetAll | GetProperty | Subscribe | Next | Queued | ReadJob | ReadJournal | FollowJournal | Sleep


def get_all(path: str, interface: str) -> Op[dict[str, Any]]:
    """Every property of ``interface`` of the object ``path``."""
    values: dict[str, Any] = yield GetAll(path, interface)
    return values


def get_property(path: str, interface: str, name: str) -> Op[Any]:
    """The property ``name`` of ``interface`` of the object ``path``."""
    return (yield GetProperty(path, interface, name))

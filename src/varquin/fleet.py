"""Many hosts at once: the same function against each host's manager, in
parallel threads, each host's outcome kept apart.

    from varquin import fleet
    results = fleet.run(["root@web1", "root@web2"], lambda m: m.unit("nginx.service").status, timeout=10)
    for host, r in results.items():
        print(host, r.value if r.error is None else f"failed: {r.error}")

A host is reached over SSH as ``systemctl -H`` reaches it (``Bus.remote``);
one that fails, hangs or goes away mid-way fails alone.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Generic, TypeVar

from varquin import _core
from varquin.bus import Bus
from varquin.systemd import Manager

__all__ = ["MAX_WORKERS", "Result", "run"]

T = TypeVar("T")

#: Hosts served at once when the caller does not say: each host holds a
#: thread and a connection (an ssh child for a remote one) while it runs.
MAX_WORKERS = 64


@dataclass(frozen=True)
class Result(Generic[T]):
    """One host's outcome: ``value`` is what the function returned, ``error``
    the exception that ended it instead (None when it succeeded).

        r = fleet.run(["root@web1"], lambda m: m.is_enabled("nginx.service"))["root@web1"]
        print(r.value if r.ok else f"failed: {r.error}")
    """

    value: T | None
    error: BaseException | None

    @property
    def ok(self) -> bool:
        """True when the function returned."""
        return self.error is None


# Opens a host's bus within the given seconds (None: the library default);
# the flag says whether the caller owns it (and so closes it).
Opener = Callable[[float | None], tuple[Bus, bool]]


def is_address(host: str) -> bool:
    """True for a D-Bus address (``unix:path=...``, ``tcp:host=...``) rather
    than a host name (``root@web1``, ``web1:2222``, ``[::1]:2222``)."""
    return _core.is_address(host)


def opener(host: str | Bus) -> tuple[str, Opener]:
    """The key and the opener of a host: a ``Bus`` is used as it is and keyed
    by its address; a D-Bus address (``unix:path=...``) is opened with
    ``Bus(address)``; anything else is a host for ``Bus.remote``
    (``[user@]host[:port]``).  The opener takes a timeout in seconds and
    returns the bus and whether the caller owns it (and so closes it).
    TypeError for anything but a str or a Bus."""
    if isinstance(host, Bus):
        bus = host
        return bus.address, lambda timeout: (bus, False)
    if not isinstance(host, str):
        raise TypeError(f"a host is a str or a Bus, not {type(host).__name__}")
    if is_address(host):
        return host, lambda timeout: (Bus(host, timeout=timeout), True)
    return host, lambda timeout: (Bus.remote(host, timeout=timeout), True)


class _Host(Generic[T]):
    """One host's run: its opener, the bus once open, and its outcome."""

    def __init__(self, open_bus: Opener) -> None:
        self.open_bus = open_bus
        self.bus: Bus | None = None
        self.owned = False
        self.result: Result[T] | None = None
        self.abandoned = False


def run_openers(
    openers: dict[str, Opener],
    fn: Callable[[Manager], T],
    max_workers: int | None = None,
    timeout: float | None = None,
    progress: Callable[[str, Result[T]], None] | None = None,
) -> dict[str, Result[T]]:
    """:func:`run` over hosts given as openers by key (see :func:`opener`):
    the command line's way in, where the keys are the names it prints.
    Returns and raises as :func:`run`."""
    hosts: dict[str, _Host[T]] = {key: _Host(o) for key, o in openers.items()}
    deadline = None if timeout is None else time.monotonic() + timeout
    lock = threading.Condition()  # guards the hosts' fields and `waiting`
    waiting = list(hosts)  # keys not yet taken by a worker, in order

    def left() -> float | None:
        return None if deadline is None else max(0.001, deadline - time.monotonic())

    def finish(key: str, h: _Host[T], result: Result[T]) -> None:
        with lock:
            if h.abandoned:
                return
            # Under the lock, so that no report comes after run() returned.
            if progress is not None:
                progress(key, result)
            h.result = result
            lock.notify_all()

    def serve_one(key: str, h: _Host[T]) -> None:
        result: Result[T] | None = None
        try:
            bus, owned = h.open_bus(left())
            with lock:
                h.bus, h.owned = bus, owned
                abandoned = h.abandoned
            if not abandoned:
                manager = Manager(bus)
                try:
                    result = Result(fn(manager), None)
                finally:
                    manager.close()
        except Exception as e:  # noqa: BLE001  (one host's failure is that host's result)
            result = Result(None, e)
        finally:
            # Closed before the result counts, so that run() returns with
            # every connection it opened closed.
            with lock:
                opened, h.bus = h.bus, None
            if opened is not None and h.owned:
                opened.close()
        if result is not None:
            finish(key, h, result)

    def worker() -> None:
        while True:
            with lock:
                if not waiting or (deadline is not None and time.monotonic() >= deadline):
                    return
                key = waiting.pop(0)
            serve_one(key, hosts[key])

    if max_workers is not None and max_workers < 1:
        raise ValueError(f"max_workers must be at least 1, not {max_workers}")
    count = min(MAX_WORKERS if max_workers is None else max_workers, len(hosts))
    # Daemon threads: a host that hangs past the deadline must not hold up
    # the interpreter's exit.
    threads = [threading.Thread(target=worker, name=f"varquin-fleet-{i}", daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    try:
        with lock:
            while any(h.result is None for h in hosts.values()):
                wait = None if deadline is None else deadline - time.monotonic()
                if wait is not None and wait <= 0:
                    break
                lock.wait(wait)
    finally:
        # Hosts without an answer: their result is a timeout, and the
        # connections opened for them are closed, which ends their calls.
        to_close = []
        with lock:
            for key, h in hosts.items():
                if h.result is None:
                    h.abandoned = True
                    h.result = Result(None, TimeoutError(f"{key}: no answer within {timeout} s"))
                    if h.bus is not None and h.owned:
                        to_close.append(h.bus)
        for bus in to_close:
            bus.close()
        # Workers are about to return (those of closed connections too): let
        # them, so that none still holds a connection when the caller goes on
        # or the interpreter exits.  Only a worker stuck on a Bus given by
        # the caller outlives this, and then by at most a second.
        grace = time.monotonic() + 1.0
        for t in threads:
            t.join(max(0.0, grace - time.monotonic()))
    return {key: h.result for key, h in hosts.items() if h.result is not None}


def run(
    hosts: Iterable[str | Bus],
    fn: Callable[[Manager], T],
    max_workers: int | None = None,
    timeout: float | None = None,
    progress: Callable[[str, Result[T]], None] | None = None,
) -> dict[str, Result[T]]:
    """Calls ``fn(manager)`` for each host, in parallel threads (at most
    ``max_workers`` at once, MAX_WORKERS (64) when None; the others wait for
    a free thread), each on its own connection:
    ``Bus.remote(host)`` for a host name (``"root@web1"``), ``Bus(address)``
    for a D-Bus address, or a ``Bus`` given (keyed by its address, left open).

    Returns ``{host: Result(value, error)}`` in the order given, with the
    exception that ended a host as its ``error``.  With ``timeout`` it returns
    within that many seconds (plus a little): a host that has not answered
    holds a TimeoutError, and the connection opened for it is closed.
    Connections opened here are closed here.  ``progress(host, result)``,
    when given, is called as each host finishes, from a worker thread and
    one call at a time (so it should be quick).  A host that cannot be
    reached fails at once with the connection's error (ConnectionError; over
    SSH it carries ssh's own reason).  Raises ValueError for a host given
    twice or a ``max_workers`` below 1, TypeError for a host that is neither
    a str nor a Bus, and for a bare str or Bus as ``hosts`` (a str's letters
    are never the hosts meant: give ``["web1"]``).

        def restart(m):
            return m.restart("nginx.service", wait=True, timeout=60).result

        for host, r in fleet.run(["root@web1", "root@web2"], restart, timeout=120).items():
            print(host, r.value if r.ok else f"failed: {r.error}")
    """
    if isinstance(hosts, (str, bytes, Bus)):
        raise TypeError(f"hosts takes an iterable of hosts, not a bare {type(hosts).__name__}: ({hosts!r},)")
    openers: dict[str, Opener] = {}
    for host in hosts:
        key, o = opener(host)
        if key in openers:
            raise ValueError(f"host {key!r} is given twice")
        openers[key] = o
    return run_openers(openers, fn, max_workers, timeout, progress)

"""Services written in Python: what a service started by systemd tells its
manager, and what the manager hands it.

    from varquin import daemon

    sockets = daemon.listen_fds()            # {"web": [socket], ...}
    ...                                      # set up, serve on the bus
    daemon.notify(ready=True, status="serving")
    with daemon.watchdog():                  # pings for as long as the block runs
        serve()
    daemon.notify(stopping=True)

Messages go to the socket in ``$NOTIFY_SOCKET`` through libsystemd, so every
kind of address it understands works; without that variable (a process not
started by systemd, or a unit without ``Type=notify`` or
``NotifyAccess=``) :func:`notify` returns False and sends nothing.  The
asyncio form of the watchdog is :func:`varquin.aio.daemon.watchdog`.
"""

from __future__ import annotations

import logging
import os
import re
import socket
import threading
import time
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from datetime import timedelta
from typing import Protocol

from varquin import _core

__all__ = [
    "FDNAME_MAX",
    "listen_fds",
    "notify",
    "stored_fds",
    "watchdog",
    "watchdog_timeout",
]

_log = logging.getLogger("varquin")

# The longest name of a stored or passed descriptor the manager accepts.
FDNAME_MAX = 255
# The most descriptors one message can carry (the kernel's SCM_MAX_FD).
_MAX_FDS = 253
_FIELD = re.compile(r"[A-Z_][A-Z0-9_]*\Z")
_LISTEN_VARIABLES = ("LISTEN_PID", "LISTEN_PIDFDID", "LISTEN_FDS", "LISTEN_FDNAMES")


class _HasFileno(Protocol):
    def fileno(self) -> int: ...


# A descriptor to store: its number, or an object with fileno() (a socket, a file).
_Descriptor = int | _HasFileno


def _usec(what: str, value: timedelta | float) -> int:
    seconds = value.total_seconds() if isinstance(value, timedelta) else value
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError(f"{what} must be a timedelta or seconds, not {type(value).__name__}")
    if not seconds >= 0:  # also refuses NaN
        raise ValueError(f"{what} must not be negative: {value!r}")
    return round(seconds * 1_000_000)


def _fdname(what: str, name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be str, not {type(name).__name__}")
    if not name:
        raise ValueError(f"{what} must not be empty")
    if len(name.encode()) > FDNAME_MAX:
        raise ValueError(f"{what} {name[:20]!r}... is longer than {FDNAME_MAX} bytes")
    bad = next((c for c in name if c == ":" or not " " <= c <= "~"), None)
    if bad is not None:
        raise ValueError(f"{what} {name!r} contains {bad!r}: only printable ASCII other than ':'")
    return name


def _fd(item: _Descriptor) -> int:
    fileno = getattr(item, "fileno", None)
    if isinstance(item, bool) or not (isinstance(item, int) or callable(fileno)):
        raise TypeError(f"a descriptor must be an int or have fileno(), not {type(item).__name__}")
    fd = item if isinstance(item, int) else item.fileno()
    if not isinstance(fd, int) or fd < 0:
        raise ValueError(f"{item!r} is not an open descriptor")
    return fd


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return value


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    if "\n" in value or "\0" in value:
        raise ValueError(f"{name} must be one line without NUL characters: {value!r}")
    return value


def _number(name: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}: {value}")
    return value


def notify(
    *,
    ready: bool = False,
    reloading: bool = False,
    stopping: bool = False,
    status: str | None = None,
    errno: int | None = None,
    mainpid: int | None = None,
    watchdog: bool = False,
    watchdog_timeout: timedelta | float | None = None,
    extend_timeout: timedelta | float | None = None,
    fdstore: Mapping[str, Sequence[_Descriptor]] | None = None,
    fdstore_remove: str | None = None,
    fdstore_poll: bool = True,
    fields: Mapping[str, str] | None = None,
) -> bool:
    """Tells the service manager about this service.  Returns True once sent,
    False when the process has no ``$NOTIFY_SOCKET`` (nothing is sent).

    - ``ready``: READY=1, start-up (or a reload) is done;
    - ``reloading``: RELOADING=1 with MONOTONIC_USEC (now), a reload began;
      ``Type=notify-reload`` waits for the READY=1 that follows;
    - ``stopping``: STOPPING=1; ``status``: STATUS=, one line shown by
      ``systemctl status``; ``errno``: ERRNO=, why the service failed;
    - ``mainpid``: MAINPID=, the service's main process from now on;
    - ``watchdog``: WATCHDOG=1, one ping (:func:`watchdog` pings for you);
      ``watchdog_timeout``: WATCHDOG_USEC=, a new watchdog timeout;
    - ``extend_timeout``: EXTEND_TIMEOUT_USEC=, the start, stop or reload
      under way may take this much longer from now;
    - ``fdstore``: per name, descriptors for the manager to keep and pass
      back at the next start (FDSTORE=1 and FDNAME=, the descriptors sent
      with the message: one message per name, before the other fields);
      ``fdstore_poll=False`` keeps the manager from dropping them when they
      signal an error (FDPOLL=0);
    - ``fdstore_remove``: FDSTOREREMOVE=1 for the descriptors kept under
      this name;
    - ``fields``: any other VARIABLE=value pairs.

    Durations are ``timedelta`` or seconds.  Raises ``ValueError`` for a bad
    argument (a negative duration, a descriptor name that is empty, longer
    than 255 bytes, or holds ``:`` or a character other than printable
    ASCII; a text with a newline; nothing to send), ``TypeError`` for one of
    the wrong type, both before anything is sent; ``OSError`` with the reason
    when a send fails.
    """
    lines: list[str] = []
    if _flag("ready", ready):
        lines.append("READY=1")
    if _flag("reloading", reloading):
        lines += ["RELOADING=1", f"MONOTONIC_USEC={time.monotonic_ns() // 1000}"]
    if _flag("stopping", stopping):
        lines.append("STOPPING=1")
    if status is not None:
        lines.append("STATUS=" + _text("status", status))
    if errno is not None:
        lines.append(f"ERRNO={_number('errno', errno, 0)}")
    if mainpid is not None:
        lines.append(f"MAINPID={_number('mainpid', mainpid, 1)}")
    if _flag("watchdog", watchdog):
        lines.append("WATCHDOG=1")
    if watchdog_timeout is not None:
        lines.append(f"WATCHDOG_USEC={_usec('watchdog_timeout', watchdog_timeout)}")
    if extend_timeout is not None:
        lines.append(f"EXTEND_TIMEOUT_USEC={_usec('extend_timeout', extend_timeout)}")
    if fdstore_remove is not None:
        lines += ["FDSTOREREMOVE=1", "FDNAME=" + _fdname("fdstore_remove", fdstore_remove)]
    for name, value in (fields or {}).items():
        if not isinstance(name, str) or not _FIELD.match(name):
            raise ValueError(f"field name {name!r} is not upper-case letters, digits and '_'")
        lines.append(f"{name}={_text(name, value)}")
    poll = [] if _flag("fdstore_poll", fdstore_poll) else ["FDPOLL=0"]
    stores: list[tuple[str, list[int]]] = []
    for name, items in (fdstore or {}).items():
        fds = [_fd(item) for item in items]
        if not 0 < len(fds) <= _MAX_FDS:
            raise ValueError(f"fdstore {name!r} needs 1 to {_MAX_FDS} descriptors, not {len(fds)}")
        stores.append(("\n".join(["FDSTORE=1", "FDNAME=" + _fdname("fdstore name", name), *poll]), fds))
    if not lines and not stores:
        raise ValueError("notify() needs something to send")
    sent = True
    for state, fds in stores:
        sent = _core.notify(state, fds) and sent
    if lines:
        sent = _core.notify("\n".join(lines)) and sent
    return sent


# The descriptors the manager passed, taken once per process: (number, name,
# the object handed out).  The package keeps the objects, so that a socket
# nobody holds is not closed behind the service's back.
_passed: list[tuple[int, str, socket.socket | int]] | None = None
_passed_lock = threading.Lock()


def _take() -> list[tuple[int, str, socket.socket | int]]:
    global _passed
    with _passed_lock:
        if _passed is None:
            taken: list[tuple[int, str, socket.socket | int]] = []
            for fd, name in _core.listen_fds():
                item: socket.socket | int
                try:
                    item = socket.socket(fileno=fd)
                except OSError:  # not a socket: a pipe, a file, a memfd
                    item = fd
                taken.append((fd, name, item))
            # Children of the service must not take them for theirs.
            for variable in _LISTEN_VARIABLES:
                os.environ.pop(variable, None)
            _passed = taken
            if taken:
                _log.debug("passed descriptors: %s", ", ".join(f"{fd} ({name})" for fd, name, _ in taken))
        return _passed


def listen_fds() -> dict[str, list[socket.socket]]:
    """The sockets the service manager passed at start, by name: the socket
    units' ``FileDescriptorName=`` (their unit name when not set), the names
    given to descriptors stored with ``notify(fdstore=...)``.  Empty when
    none were passed to this process (``$LISTEN_PID`` and, where the
    manager sets it, ``$LISTEN_PIDFDID`` must name it).

    The descriptors are taken once per process, and the variables that
    announced them are removed so that child processes do not take them too;
    every call returns the same socket objects.  Raises ``OSError`` when the
    variables are malformed (more names than descriptors)."""
    found: dict[str, list[socket.socket]] = {}
    for _, name, item in _take():
        if isinstance(item, socket.socket):
            found.setdefault(name, []).append(item)
    return found


def stored_fds() -> dict[str, list[socket.socket | int]]:
    """Every descriptor the service manager passed at start, by name: those
    the fd store kept from an earlier run of the service (``notify(fdstore=
    {name: [...]})``) come back under their names, sockets as the same
    objects :func:`listen_fds` returns and other descriptors (pipes, files)
    as their numbers, which the caller then owns.  The manager passes socket
    units' sockets in the same set; their names tell them apart."""
    found: dict[str, list[socket.socket | int]] = {}
    for _, name, item in _take():
        found.setdefault(name, []).append(item)
    return found


def watchdog_timeout() -> timedelta | None:
    """The watchdog timeout the manager set for this process
    (``WatchdogSec=``), or None when it expects no pings from it (none set,
    or ``$WATCHDOG_PID`` names another process: a child forked by the
    service).  Raises ``OSError`` when the variables are malformed."""
    usec = _core.watchdog_usec()
    return timedelta(microseconds=usec) if usec else None


class _Pinger(threading.Thread):
    """Sends WATCHDOG=1 every `interval` seconds until stopped."""

    def __init__(self, interval: float) -> None:
        super().__init__(name="varquin-watchdog", daemon=True)
        self.interval = interval
        self.halt = threading.Event()
        self.pid = os.getpid()

    def run(self) -> None:
        while not self.halt.wait(self.interval):
            _ping(self.pid)


def _ping(pid: int) -> None:
    # A forked child never pings for the process the watchdog belongs to.
    if os.getpid() != pid:
        return
    try:
        _core.notify("WATCHDOG=1")
    except OSError as e:
        _log.warning("watchdog ping failed: %s", e)


@contextmanager
def watchdog() -> Iterator[timedelta | None]:
    """Pings the manager's watchdog from a thread, at half its timeout, for
    as long as the block runs; gives the timeout, or None (and does nothing)
    when the manager expects no pings from this process.  The first ping is
    sent on entry; the thread is stopped and joined on exit.

    The thread pings as long as the interpreter runs threads, even when the
    service's own work hangs: where the work runs on an asyncio loop,
    :func:`varquin.aio.daemon.watchdog` pings from the loop instead, so that
    a blocked loop stops the pings.  Raises ``OSError`` when the watchdog's
    variables are malformed."""
    timeout = watchdog_timeout()
    if timeout is None:
        yield None
        return
    pinger = _Pinger(timeout.total_seconds() / 2)
    _ping(pinger.pid)
    pinger.start()
    try:
        yield timeout
    finally:
        pinger.halt.set()
        pinger.join()

"""Services written in Python, on asyncio: the watchdog pinged from the
running loop.

    async with varquin.aio.daemon.watchdog():
        await serve()

The pings are callbacks of the loop itself, so a loop that blocks (a
callback that never returns, a synchronous call that hangs) stops them, and
the manager restarts the service after ``WatchdogSec=`` as it should.
:func:`notify`, :func:`listen_fds` and :func:`stored_fds` are those of
:mod:`varquin.daemon`: none of them waits on anything but a local send.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from datetime import timedelta

from varquin.daemon import _ping, listen_fds, notify, stored_fds, watchdog_timeout

__all__ = ["listen_fds", "notify", "stored_fds", "watchdog", "watchdog_timeout"]


@asynccontextmanager
async def watchdog() -> AsyncIterator[timedelta | None]:
    """Pings the manager's watchdog from the running loop, at half its
    timeout, for as long as the block runs; gives the timeout, or None (and
    does nothing) when the manager expects no pings from this process.  The
    first ping is sent on entry, the timer cancelled on exit; no thread is
    involved.  Raises ``OSError`` when the watchdog's variables are
    malformed."""
    timeout = watchdog_timeout()
    if timeout is None:
        yield None
        return
    loop = asyncio.get_running_loop()
    interval = timeout.total_seconds() / 2
    pid = os.getpid()
    timer: asyncio.TimerHandle | None = None

    def ping() -> None:
        nonlocal timer
        _ping(pid)
        timer = loop.call_later(interval, ping)

    ping()
    try:
        yield timeout
    finally:
        if timer is not None:
            timer.cancel()

"""New journal entries on the running asyncio loop: the journal's descriptor
is watched by the loop (``add_reader``), no thread.

    from varquin.aio import journal
    async with journal.follow(unit="nginx") as new:
        async for e in new:
            print(e.message)
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Sequence
from typing import Self

from varquin._closing import AsyncClosing
from varquin._core import Journal
from varquin._journal_query import Boot, Matches, Priority
from varquin.journal import JournalEntry, make_entry, open_follow

__all__ = ["AsyncJournalFollow", "follow"]


class AsyncJournalFollow(AsyncClosing):
    """New journal entries as they are written (see :func:`follow`): an
    async iterator of JournalEntry that ends at :meth:`close`.  Use it with
    ``async with``; it belongs to the loop it was made on."""

    def __init__(self, journal: Journal, loop: asyncio.AbstractEventLoop) -> None:
        self._journal = journal
        self._loop = loop
        self._fd = journal.fileno()
        self._ready: list[JournalEntry] = []
        self._wake: asyncio.Future[None] | None = None
        self._watching = False

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> JournalEntry:
        if self._journal.closed:
            raise StopAsyncIteration
        while not self._ready:
            # follow(0) reads what is there without waiting; only when there
            # is nothing does the loop wait for the descriptor.
            found = self._journal.follow(0)
            if found is None:
                raise StopAsyncIteration
            if found:
                self._ready = [make_entry(*e) for e in reversed(found)]
                break
            await self._readable()
        return self._ready.pop()

    async def _readable(self) -> None:
        self._wake = self._loop.create_future()
        if not self._watching:
            self._loop.add_reader(self._fd, self._on_readable)
            self._watching = True
        try:
            await self._wake
        finally:
            self._wake = None
        if not self._journal.closed:
            self._journal.process()

    def _on_readable(self) -> None:
        # Stop watching until the next wait: the descriptor stays readable
        # until process() takes the change in.
        self._unwatch()
        if self._wake is not None and not self._wake.done():
            self._wake.set_result(None)

    def _unwatch(self) -> None:
        if self._watching:
            self._loop.remove_reader(self._fd)
            self._watching = False

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called."""
        return bool(self._journal.closed)

    def close(self) -> None:
        """Ends the iteration (a task waiting in it gets StopAsyncIteration).
        Closing twice is fine; call it on the loop's thread."""
        self._unwatch()
        self._journal.close()
        if self._wake is not None and not self._wake.done():
            self._wake.set_result(None)


def follow(
    unit: str | Sequence[str] | None = None,
    lines: int = 0,
    root: str | os.PathLike[str] | None = None,
    *,
    after_cursor: str | None = None,
    matches: Matches | Sequence[Matches] | None = None,
    boot: Boot | None = None,
    priority: Priority | None = None,
) -> AsyncJournalFollow:
    """The entries of ``unit`` (or all) as they are written, on the running
    loop: first the last ``lines`` already there, or every entry after
    ``after_cursor``.  The filters and errors of
    :func:`varquin.journal.follow`; RuntimeError outside a running loop.

        async with journal.follow(unit="nginx", after_cursor=last) as new:
            async for e in new:
                ...
    """
    loop = asyncio.get_running_loop()
    return AsyncJournalFollow(open_follow(unit, lines, root, after_cursor, matches, boot, priority), loop)

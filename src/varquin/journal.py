"""The systemd journal, read natively (sd-journal) as journalctl reads it,
and written (sd_journal_sendv): a unit's entries as ``journalctl -u UNIT``
shows them, the last ones, those of a boot, a priority, a time span or after
a cursor, new ones as they are written, and entries and log records sent.

    from varquin import journal
    for e in journal.entries(unit="nginx.service", lines=20):
        print(e.time, e.message)
    with journal.follow(unit="nginx.service") as new:   # close() from any thread ends it
        for e in new:
            ...
    journal.send("disk almost full", priority=journal.LOG_WARNING, DEVICE="/dev/sda")
    logging.getLogger().addHandler(journal.Handler())

``root=`` reads the journal of the system installed at that folder (its
/var/log/journal and /run/log/journal): another machine's root, a container's
(``/proc/PID/root``).  Reading needs the rights journalctl needs (root, or
the systemd-journal group); entries that cannot be read are simply not there.

A value that is not UTF-8 (``journalctl -o json`` shows it as an array of
bytes) is decoded with U+FFFD in ``message`` and ``fields``; its bytes are in
``entry.binary``, and ``entry.raw(name)`` gives the bytes of any field.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import time
from collections.abc import Mapping, Sequence
from datetime import UTC, datetime, timedelta
from types import MappingProxyType
from typing import Any, NamedTuple, Self

from varquin._closing import Closing
from varquin._core import Journal, ssh_argv
from varquin._journal_query import Boot, Matches, Priority, conditions, unit_name, unit_terms
from varquin._journal_send import (
    LOG_ALERT,
    LOG_CRIT,
    LOG_DEBUG,
    LOG_EMERG,
    LOG_ERR,
    LOG_INFO,
    LOG_NOTICE,
    LOG_WARNING,
    Handler,
    send,
)

__all__ = [
    "LOG_ALERT",
    "LOG_CRIT",
    "LOG_DEBUG",
    "LOG_EMERG",
    "LOG_ERR",
    "LOG_INFO",
    "LOG_NOTICE",
    "LOG_WARNING",
    "Handler",
    "JournalEntry",
    "JournalFollow",
    "entries",
    "follow",
    "remote_entries",
    "send",
    "unit_terms",
]

_EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
_NO_BYTES: Mapping[str, bytes] = MappingProxyType({})


class JournalEntry(NamedTuple):
    """One journal entry: ``time`` (aware, UTC) is the time journalctl
    shows, the sender's own (``_SOURCE_REALTIME_TIMESTAMP``) where the entry
    has it and otherwise when the journal received it; ``priority`` the
    syslog level (0 emerg ... 7 debug; None when not given), ``pid`` the
    process that wrote it (None when unknown), ``message`` its text and
    ``fields`` every field of the entry as str (bytes that are not UTF-8
    replaced by U+FFFD).  ``received`` is when the journal received it (what
    ``since`` and ``until`` compare), ``cursor`` names the entry for
    ``after_cursor``, and ``binary`` holds the bytes of the values that are
    not UTF-8 (see :meth:`raw`)."""

    time: datetime
    priority: int | None
    pid: int | None
    message: str
    fields: Mapping[str, str]
    received: datetime = _EPOCH
    cursor: str = ""
    binary: Mapping[str, bytes] = _NO_BYTES

    def raw(self, name: str) -> bytes:
        """The bytes of field ``name`` as the journal holds them (for a
        value that is not UTF-8 too); KeyError when the entry has none."""
        found = self.binary.get(name)
        return found if found is not None else self.fields[name].encode()


def _int(text: str | None) -> int | None:
    if text is None:
        return None
    try:
        return int(text)
    except ValueError:
        return None


_new_entry = tuple.__new__
_MICROSECOND = timedelta(microseconds=1)


def make_entry(
    usec: int, fields: Mapping[str, str], cursor: str = "", binary: Mapping[str, bytes] | None = None
) -> JournalEntry:
    """The JournalEntry of an entry's receive time (µs since the epoch),
    fields, cursor and the bytes of its values that are not UTF-8."""
    # Made for every entry read: positional, without NamedTuple's keyword
    # handling.
    received = _EPOCH + usec * _MICROSECOND
    source = _int(fields.get("_SOURCE_REALTIME_TIMESTAMP"))
    shown = received if source is None or source <= 0 else _EPOCH + source * _MICROSECOND
    values = (
        shown,
        _int(fields.get("PRIORITY")),
        _int(fields.get("_PID")),
        fields.get("MESSAGE", ""),
        fields,
        received,
        cursor,
        _NO_BYTES if binary is None else binary,
    )
    return _new_entry(JournalEntry, values)


def _usec(at: datetime | timedelta | None) -> int:
    if at is None:
        return 0
    if isinstance(at, timedelta):
        at = datetime.now(UTC) - at
    if at.tzinfo is None:
        at = at.astimezone()  # a naive time is the local time, as journalctl reads it
    return max(1, (at - _EPOCH) // timedelta(microseconds=1))


def _root_folder(root: str | os.PathLike[str] | None) -> str | None:
    if root is None:
        return None
    folder = os.fspath(root)
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"no such root folder: {folder!r}")
    return folder


def open_journal(
    unit: str | Sequence[str] | None,
    root: str | os.PathLike[str] | None,
    *,
    matches: Matches | Sequence[Matches] | None = None,
    boot: Boot | None = None,
    priority: Priority | None = None,
) -> Journal:
    """The native Journal of the entries of ``unit`` (all when None; a
    glob, or several units, as ``journalctl -u`` takes them) that hold every
    one of ``matches``, ``boot`` and ``priority`` (see :func:`entries`), at
    ``root`` (this machine's when None); FileNotFoundError when ``root`` is
    not a folder, LookupError for a boot the journal does not have."""
    folder = _root_folder(root)
    return Journal(folder, conditions=conditions(folder, unit, matches, boot, priority))


def entries(
    unit: str | Sequence[str] | None = None,
    lines: int | None = None,
    since: datetime | timedelta | None = None,
    root: str | os.PathLike[str] | None = None,
    *,
    matches: Matches | Sequence[Matches] | None = None,
    boot: Boot | None = None,
    priority: Priority | None = None,
    until: datetime | timedelta | None = None,
    after_cursor: str | None = None,
    reverse: bool = False,
) -> list[JournalEntry]:
    """The journal's entries, oldest first (newest first with ``reverse``),
    selected as journalctl selects them:

    - ``unit``: that unit's (``-u``: its own lines, the manager's about it;
      ``.service`` added to a name without a unit type), a glob (``"web*"``:
      every unit of the journal that matches) or a list of them;
    - ``matches``: ``{"FIELD": value or [values]}``, every field must match
      one of its values (str, bytes or int), as ``journalctl FIELD=value``;
      a list of such mappings: one of them must hold (journalctl's ``+``).
      ``[{"_SYSTEMD_INVOCATION_ID": id}, {"INVOCATION_ID": id}]`` picks one
      run of a unit: its own lines and the manager's about that run;
    - ``boot``: 0 the current boot (the last one of a ``root``), -1 the one
      before, 1 the first, or a boot id (``-b``);
    - ``priority``: a level or its name (``"err"``: that level and the more
      urgent ones) or a ``(from, to)`` range (``-p``);
    - ``since`` / ``until``: received at or after / at or before (a
      datetime, naive meaning local time, or a timedelta meaning that long
      ago);
    - ``after_cursor``: after the entry of that cursor (``--after-cursor``);
    - ``lines``: only the last ``lines`` of them (``-n``).

    ``root`` reads the journal of the system installed there instead of
    this machine's.

    Raises FileNotFoundError when ``root`` is not a folder, PermissionError
    when the journal cannot be read at all, ValueError for a negative
    ``lines``, a bad match, priority or cursor, LookupError for a boot the
    journal does not have, TypeError for a ``unit`` that is not a name; a
    system without a journal has no entries.

        journal.entries(unit="nginx", lines=20)
        journal.entries(unit="web*", priority="warning", boot=0)
        journal.entries(since=timedelta(minutes=5), root="/proc/4242/root")
        journal.entries(matches={"_SYSTEMD_INVOCATION_ID": run.invocation_id})
    """
    if lines is not None and lines < 0:
        raise ValueError("lines must not be negative")
    j = open_journal(unit, root, matches=matches, boot=boot, priority=priority)
    try:
        found = j.read(-1 if lines is None else lines, _usec(since), until=_usec(until), after=after_cursor)
    finally:
        j.close()
    selected = [make_entry(*e) for e in found]
    if reverse:
        selected.reverse()
    return selected


class JournalFollow(Closing):
    """New journal entries as they are written (see :func:`follow`): an
    iterator of JournalEntry that ends at :meth:`close` (from any thread) or
    once its total ``timeout`` has passed.  Use it as a context manager."""

    def __init__(self, journal: Journal, timeout: float | None) -> None:
        self._journal = journal
        self._deadline = None if timeout is None else time.monotonic() + timeout
        self._ready: list[JournalEntry] = []

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> JournalEntry:
        if self._journal.closed:
            raise StopIteration
        while not self._ready:
            left = None if self._deadline is None else max(0.0, self._deadline - time.monotonic())
            if left == 0:
                self.close()
                raise StopIteration
            try:
                found = self._journal.follow(left)
            except ValueError:
                if self._journal.closed:
                    raise StopIteration from None
                raise
            if found is None:
                raise StopIteration
            self._ready = [make_entry(*e) for e in reversed(found)]
        return self._ready.pop()

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called (or the timeout ended it)."""
        return bool(self._journal.closed)

    def close(self) -> None:
        """Ends the iteration; a thread waiting in it returns.  Closing twice is fine."""
        self._journal.close()


def open_follow(
    unit: str | Sequence[str] | None,
    lines: int,
    root: str | os.PathLike[str] | None,
    after_cursor: str | None,
    matches: Matches | Sequence[Matches] | None,
    boot: Boot | None,
    priority: Priority | None,
) -> Journal:
    """The native Journal of :func:`follow`, positioned to read the last
    ``lines`` entries first, or those after ``after_cursor``."""
    if lines < 0:
        raise ValueError("lines must not be negative")
    j = open_journal(unit, root, matches=matches, boot=boot, priority=priority)
    try:
        if after_cursor is not None:
            j.seek_cursor(after_cursor)
        else:
            j.seek_tail(lines)
    except BaseException:
        j.close()
        raise
    return j


def follow(
    unit: str | Sequence[str] | None = None,
    lines: int = 0,
    root: str | os.PathLike[str] | None = None,
    timeout: float | None = None,
    *,
    after_cursor: str | None = None,
    matches: Matches | Sequence[Matches] | None = None,
    boot: Boot | None = None,
    priority: Priority | None = None,
) -> JournalFollow:
    """The entries of ``unit`` (or all) as they are written, first the last
    ``lines`` already there, or with ``after_cursor`` every entry after that
    one (to resume where an earlier reading stopped): a
    :class:`JournalFollow` iterator that ends at its close() (from any
    thread) or after ``timeout`` seconds in all (None: no limit).  ``root``,
    ``matches``, ``boot`` and ``priority`` as in :func:`entries`, and the
    errors of :func:`entries`; a unit glob stands for the units the journal
    has entries of when following starts.

        with journal.follow(unit="nginx") as new:
            for e in new:
                print(e.message)
                last = e.cursor
        journal.follow(unit="nginx", after_cursor=last)   # on from there
    """
    return JournalFollow(open_follow(unit, lines, root, after_cursor, matches, boot, priority), timeout)


def ssh_target(host: str) -> list[str]:
    """The ssh command line that reaches ``host`` as ``Bus.remote(host)``
    does (``[USER@]HOST[:PORT]``), up to the remote command.  ValueError for
    a host not of that form."""
    return ssh_argv(host)


def remote_entries(host: str, unit: str, lines: int, timeout: float | None = 60) -> list[JournalEntry]:
    """The last ``lines`` entries of ``unit`` on ``host``, read by running
    ``journalctl -o json`` there over SSH, as ``Bus.remote(host)`` reaches
    it.  Raises ConnectionError with ssh's own reason when the host cannot
    be reached, TimeoutError when the entries did not arrive within
    ``timeout`` seconds, OSError when journalctl fails there."""
    try:
        done = subprocess.run(
            remote_argv(host, unit, lines), capture_output=True, timeout=timeout, check=False, stdin=subprocess.DEVNULL
        )
    except subprocess.TimeoutExpired:
        raise TimeoutError(f"the journal of {host} did not arrive within {timeout} s") from None
    return parse_json_lines(host, done.returncode, done.stdout, done.stderr)


def remote_argv(host: str, unit: str, lines: int) -> list[str]:
    """The command that prints the last ``lines`` entries of ``unit`` on
    ``host`` as JSON, one per line; FileNotFoundError when ssh is missing."""
    if shutil.which("ssh") is None:
        raise FileNotFoundError("ssh is not installed")
    return [*ssh_target(host), "journalctl", "-o", "json", "--no-pager", "-u", unit_name(unit), "-n", str(lines)]


def parse_json_lines(host: str, returncode: int, stdout: bytes, stderr: bytes) -> list[JournalEntry]:
    """The entries of ``journalctl -o json`` run over ssh on ``host``:
    ConnectionError with ssh's reason when ssh failed (255), OSError when
    journalctl did."""
    why = stderr.decode(errors="replace").strip().splitlines()
    if returncode == 255:
        raise ConnectionError(why[-1] if why else f"ssh to {host} failed")
    if returncode != 0:
        raise OSError(f"journalctl on {host} failed: {why[-1] if why else returncode}")
    found = []
    for line in stdout.splitlines():
        if line.strip():
            found.append(json_entry(json.loads(line)))
    return found


def json_entry(record: Mapping[str, Any]) -> JournalEntry:
    """The JournalEntry of one record of ``journalctl -o json``: its fields
    (those not starting with ``__``), receive time and cursor.  A value shown
    as an array of bytes is decoded (U+FFFD for bytes that are not UTF-8,
    which then stay in ``binary``); of a field given several times (an array
    of values) the last is kept, as :func:`entries` keeps it."""
    fields: dict[str, str] = {}
    binary: dict[str, bytes] = {}
    for name, value in record.items():
        if name.startswith("__"):
            continue
        if isinstance(value, list) and value and not all(isinstance(b, int) for b in value):
            value = value[-1]
        if isinstance(value, list):
            data = bytes(value)
            try:
                fields[name] = data.decode()
            except UnicodeDecodeError:
                fields[name] = data.decode(errors="replace")
                binary[name] = data
        else:
            fields[name] = "" if value is None else str(value)
    received = int(record.get("__REALTIME_TIMESTAMP", 0))
    return make_entry(received, fields, str(record.get("__CURSOR", "")), binary or None)

"""The systemd journal, read natively (sd-journal): a unit's entries as
``journalctl -u UNIT`` shows them, the last ones, those since a time, and new
ones as they are written.

    from varquin import journal
    for e in journal.entries(unit="nginx.service", lines=20):
        print(e.time, e.message)
    with journal.follow(unit="nginx.service") as new:   # close() from any thread ends it
        for e in new:
            ...

``root=`` reads the journal of the system installed at that folder (its
/var/log/journal and /run/log/journal): another machine's root, a container's
(``/proc/PID/root``).  Reading needs the rights journalctl needs (root, or
the systemd-journal group); entries that cannot be read are simply not there.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import time
from collections.abc import Mapping
from datetime import UTC, datetime, timedelta
from typing import Any, NamedTuple, Self

from varquin._closing import Closing
from varquin._core import Journal, ssh_argv

__all__ = ["JournalEntry", "JournalFollow", "entries", "follow", "remote_entries", "unit_terms"]

_EPOCH = datetime(1970, 1, 1, tzinfo=UTC)
# The message id of systemd-coredump's entries.
_COREDUMP = "fc2e22bc6ee647b6b90729ab34a250b1"


class JournalEntry(NamedTuple):
    """One journal entry: ``time`` (aware, UTC) is when the journal received
    it, ``priority`` the syslog level (0 emerg ... 7 debug; None when not
    given), ``pid`` the process that wrote it (None when unknown),
    ``message`` its text and ``fields`` every field of the entry as str."""

    time: datetime
    priority: int | None
    pid: int | None
    message: str
    fields: Mapping[str, str]


def _int(text: str | None) -> int | None:
    try:
        return int(text) if text is not None else None
    except ValueError:
        return None


def make_entry(usec: int, fields: Mapping[str, str]) -> JournalEntry:
    """The JournalEntry of an entry's time (µs since the epoch) and fields."""
    return JournalEntry(
        time=_EPOCH + timedelta(microseconds=usec),
        priority=_int(fields.get("PRIORITY")),
        pid=_int(fields.get("_PID")),
        message=fields.get("MESSAGE", ""),
        fields=fields,
    )


def unit_terms(unit: str) -> list[list[str]]:
    """The matches of ``journalctl -u UNIT``: the unit's own lines, the
    manager's (PID 1) about it, those of privileged daemons about it, its
    core dumps, and for a slice the lines of every unit in it."""
    terms = [
        [f"_SYSTEMD_UNIT={unit}"],
        [f"MESSAGE_ID={_COREDUMP}", "_UID=0", f"COREDUMP_UNIT={unit}"],
        ["_PID=1", f"UNIT={unit}"],
        ["_UID=0", f"OBJECT_SYSTEMD_UNIT={unit}"],
    ]
    if unit.endswith(".slice"):
        terms.append([f"_SYSTEMD_SLICE={unit}"])
    return terms


def _unit_name(unit: str) -> str:
    if not isinstance(unit, str) or not unit:
        raise TypeError(f"unit must be a unit name (str), not {unit!r}")
    return unit if "." in unit else unit + ".service"


def _since_usec(since: datetime | timedelta | None) -> int:
    if since is None:
        return 0
    if isinstance(since, timedelta):
        since = datetime.now(UTC) - since
    if since.tzinfo is None:
        since = since.astimezone()  # a naive time is the local time, as journalctl reads it
    return max(1, (since - _EPOCH) // timedelta(microseconds=1))


def open_journal(unit: str | None, root: str | os.PathLike[str] | None) -> Journal:
    """The native Journal of ``unit``'s entries (all when None) at ``root``
    (this machine's when None); FileNotFoundError when ``root`` is not a folder."""
    terms = unit_terms(_unit_name(unit)) if unit is not None else None
    if root is None:
        return Journal(None, terms=terms)
    folder = os.fspath(root)
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"no such root folder: {folder!r}")
    return Journal(folder, terms=terms)


def entries(
    unit: str | None = None,
    lines: int | None = None,
    since: datetime | timedelta | None = None,
    root: str | os.PathLike[str] | None = None,
) -> list[JournalEntry]:
    """The journal's entries, oldest first: those of ``unit`` (as
    ``journalctl -u`` shows them; ``.service`` added to a name without a
    suffix) or all, only the last ``lines`` of them when given, only those
    written at or after ``since`` (a datetime, naive meaning local time, or a
    timedelta meaning that long ago).  ``root`` reads the journal of the
    system installed there instead of this machine's.

    Raises FileNotFoundError when ``root`` is not a folder, PermissionError
    when the journal cannot be read at all, ValueError for a negative
    ``lines``, TypeError for a ``unit`` that is not a name; a system without
    a journal has no entries.

        journal.entries(unit="nginx", lines=20)
        journal.entries(since=timedelta(minutes=5), root="/proc/4242/root")
    """
    if lines is not None and lines < 0:
        raise ValueError("lines must not be negative")
    j = open_journal(unit, root)
    try:
        found = j.read(-1 if lines is None else lines, _since_usec(since))
    finally:
        j.close()
    return [make_entry(usec, fields) for usec, fields in found]


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
            self._ready = [make_entry(usec, fields) for usec, fields in reversed(found)]
        return self._ready.pop()

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called (or the timeout ended it)."""
        return bool(self._journal.closed)

    def close(self) -> None:
        """Ends the iteration; a thread waiting in it returns.  Closing twice is fine."""
        self._journal.close()


def follow(
    unit: str | None = None,
    lines: int = 0,
    root: str | os.PathLike[str] | None = None,
    timeout: float | None = None,
) -> JournalFollow:
    """The entries of ``unit`` (or all) as they are written, first the last
    ``lines`` already there: a :class:`JournalFollow` iterator that ends at
    its close() (from any thread) or after ``timeout`` seconds in all (None:
    no limit).  ``root`` as in :func:`entries`, and the errors of
    :func:`entries`.

        with journal.follow(unit="nginx") as new:
            for e in new:
                print(e.message)
    """
    if lines < 0:
        raise ValueError("lines must not be negative")
    j = open_journal(unit, root)
    try:
        j.seek_tail(lines)
    except BaseException:
        j.close()
        raise
    return JournalFollow(j, timeout)


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
    return [*ssh_target(host), "journalctl", "-o", "json", "--no-pager", "-u", _unit_name(unit), "-n", str(lines)]


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
        if not line.strip():
            continue
        record: dict[str, Any] = json.loads(line)
        fields = {k: _json_field(v) for k, v in record.items() if not k.startswith("__")}
        found.append(make_entry(int(record.get("__REALTIME_TIMESTAMP", 0)), fields))
    return found


def _json_field(value: Any) -> str:
    # journalctl -o json writes binary values as arrays of byte values, and
    # a field given several times as an array of those.
    if isinstance(value, str):
        return value
    if isinstance(value, list) and all(isinstance(b, int) for b in value):
        return bytes(value).decode(errors="replace")
    if isinstance(value, list) and value:
        return _json_field(value[-1])
    return "" if value is None else str(value)

"""Writing to the journal: ``send`` (one entry with the caller's code
location) and ``Handler`` (a logging handler)."""

from __future__ import annotations

import logging
import re
import sys
import traceback
from collections.abc import Mapping

from varquin._core import Journal

LOG_EMERG, LOG_ALERT, LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG = range(8)

FieldValue = str | bytes | int


def _item(name: str, value: object) -> bytes | str:
    if isinstance(value, bytes):
        return name.encode() + b"=" + value
    if isinstance(value, str):
        return f"{name}={value}"
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{name}={value}"
    raise TypeError(f"the value of {name} must be str, bytes or int, not {type(value).__name__}")


def _priority(priority: int) -> str:
    if isinstance(priority, bool) or not isinstance(priority, int) or not 0 <= priority <= 7:
        raise ValueError(f"priority must be a syslog level 0..7, not {priority!r}")
    return f"PRIORITY={priority}"


def send(message: str | bytes, priority: int = LOG_INFO, **fields: FieldValue) -> None:
    """Writes one entry to this machine's journal: ``message``, its
    ``priority`` (LOG_EMERG 0 ... LOG_DEBUG 7) and ``fields`` (names of A-Z,
    0-9 and _, as journald takes them; values str, bytes or int).
    ``CODE_FILE``, ``CODE_LINE`` and ``CODE_FUNC`` name the caller unless
    given.  Raises ValueError for a field name journald would drop or a bad
    priority, TypeError for another kind of value, OSError when journald
    cannot be reached.

        journal.send("backup done", priority=journal.LOG_NOTICE, BYTES=4096)
    """
    items = [_item("MESSAGE", message), _priority(priority)]
    items.extend(_item(name, value) for name, value in fields.items())
    if "CODE_FILE" not in fields or "CODE_LINE" not in fields or "CODE_FUNC" not in fields:
        caller = sys._getframe(1)
        code = {
            "CODE_FILE": caller.f_code.co_filename,
            "CODE_LINE": caller.f_lineno,
            "CODE_FUNC": caller.f_code.co_name,
        }
        items.extend(f"{name}={value}" for name, value in code.items() if name not in fields)
    Journal.send(items)


# The attributes every LogRecord has: the others came from ``extra``.
_RECORD_ATTRIBUTES = frozenset(logging.LogRecord("", 0, "", 0, "", None, None).__dict__) | {"message", "asctime"}


def _level(levelno: int) -> int:
    if levelno >= logging.CRITICAL:
        return LOG_CRIT
    if levelno >= logging.ERROR:
        return LOG_ERR
    if levelno >= logging.WARNING:
        return LOG_WARNING
    if levelno >= logging.INFO:
        return LOG_INFO
    return LOG_DEBUG


class Handler(logging.Handler):
    """A logging handler that writes each record to this machine's journal:
    the formatted text as ``MESSAGE``, the level as ``PRIORITY`` (CRITICAL 2,
    ERROR 3, WARNING 4, INFO 6, DEBUG 7), ``LOGGER``, ``THREAD_NAME``,
    ``CODE_FILE``/``CODE_LINE``/``CODE_FUNC`` of the logging call, the
    exception's traceback as ``EXCEPTION``, and each ``extra`` field under
    its name uppercased.  ``identifier`` sets ``SYSLOG_IDENTIFIER`` (the
    name journalctl shows), ``fields`` are added to every entry.  A field
    name journald would drop raises ValueError here, and in ``extra`` makes
    the record fail as logging's handlers fail (``handleError``).

        logging.getLogger().addHandler(journal.Handler(identifier="backup"))
        log.warning("slow disk", extra={"device": "/dev/sda"})   # DEVICE=/dev/sda
    """

    def __init__(self, level: int = logging.NOTSET, *, identifier: str | None = None, **fields: FieldValue) -> None:
        super().__init__(level)
        extra = dict(fields)
        if identifier is not None:
            extra["SYSLOG_IDENTIFIER"] = identifier
        for name in extra:
            _check_name(name)
        self._fields = [_item(name, value) for name, value in extra.items()]

    def emit(self, record: logging.LogRecord) -> None:
        """Sends ``record`` as one entry; a failure goes to ``handleError``
        as with logging's own handlers."""
        try:
            items = [
                _item("MESSAGE", self.format(record)),
                f"PRIORITY={_level(record.levelno)}",
                f"LOGGER={record.name}",
                f"THREAD_NAME={record.threadName}",
                f"CODE_FILE={record.pathname}",
                f"CODE_LINE={record.lineno}",
                f"CODE_FUNC={record.funcName}",
                *self._fields,
            ]
            if record.exc_info and record.exc_info[0] is not None:
                items.append("EXCEPTION=" + "".join(traceback.format_exception(*record.exc_info)).rstrip("\n"))
            items.extend(_extra(record.__dict__))
            Journal.send(items)
        except Exception:
            self.handleError(record)


def _extra(attributes: Mapping[str, object]) -> list[bytes | str]:
    found: list[bytes | str] = []
    for name, value in attributes.items():
        if name in _RECORD_ATTRIBUTES or name.startswith("_"):
            continue
        plain = isinstance(value, str | bytes) or (isinstance(value, int) and not isinstance(value, bool))
        found.append(_item(name.upper(), value if plain else str(value)))
    return found


# The names journald keeps from a client (the native send checks each one
# the same way; a handler checks its own fields when it is made).
_FIELD_NAME = re.compile(r"[A-Z][A-Z0-9_]{0,63}\Z")


def _check_name(name: str) -> None:
    if not isinstance(name, str) or not _FIELD_NAME.match(name):
        raise ValueError(
            f"invalid journal field name {name!r}: a name is 1 to 64 of A-Z, 0-9 and _, not starting with a digit or _"
        )

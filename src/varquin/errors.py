"""The exceptions of varquin: one tree rooted at :class:`BusError`, keyed by
the D-Bus error name.

An error reply raises the class registered for its name, or :class:`BusError`
itself for a name without a class of its own; the bus's own text is kept as
``message``.  Local failures are the interpreter's own ``OSError`` subclasses
with their errno: ``ConnectionError`` when the connection is gone,
``TimeoutError`` when no reply came in time (``NoReply`` is both a
``BusError`` and a ``TimeoutError``).

    try:
        bus.call("org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                 "org.freedesktop.systemd1.Manager", "GetUnit", "s", "nosuch.service")
    except varquin.NoSuchUnit as e:
        print(e.message)                  # Unit nosuch.service not loaded.
    except varquin.BusError as e:         # any other error reply
        print(e.name, e.message)
"""

from __future__ import annotations

import errno
from typing import ClassVar

__all__ = [
    "AccessDenied",
    "BadMessage",
    "BusError",
    "InvalidArgs",
    "NameTaken",
    "NoReply",
    "NoSuchUnit",
    "ServiceUnknown",
    "SignalsLost",
    "UnknownInterface",
    "UnknownMethod",
    "UnknownObject",
    "UnknownProperty",
    "error_classes",
]


class BusError(Exception):
    """An error reply: ``BusError(name, message)``.

    ``name`` is the D-Bus error name (``org.freedesktop.DBus.Error.Failed``),
    ``message`` the text the peer sent.  A call raises it for an error reply
    whose name has no class of its own (the subclasses below are raised for
    theirs, and are caught by ``except BusError`` too).  Raised by a served
    method, it becomes the error reply its caller receives:

        @varquin.method("s", "")
        def Remove(self, key):
            if key not in self._items:
                raise varquin.BusError("org.example.Error.NoSuchKey", f"no item {key}")

    ``str()`` of it is ``"name: message"``; it pickles with both.
    """

    name: str
    message: str

    def __init__(self, name: str, message: str = "") -> None:
        super().__init__(name, message)
        self.name = name
        self.message = message

    def __str__(self) -> str:
        return f"{self.name}: {self.message}" if self.message else self.name

    def __reduce__(self) -> tuple[object, ...]:
        return (BusError, (self.name, self.message))


class _NamedError(BusError):
    """A BusError whose name is fixed by its class: made with the message alone."""

    NAME: ClassVar[str] = ""

    def __init__(self, message: str = "") -> None:
        super().__init__(self.NAME, message)

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.message,))


class ServiceUnknown(_NamedError):
    """No connection owns the destination name, and the bus could not start
    one for it."""

    NAME = "org.freedesktop.DBus.Error.ServiceUnknown"


class UnknownMethod(_NamedError):
    """The object has no such method (or interface)."""

    NAME = "org.freedesktop.DBus.Error.UnknownMethod"


class UnknownObject(_NamedError):
    """The service has no object at that path."""

    NAME = "org.freedesktop.DBus.Error.UnknownObject"


class UnknownInterface(_NamedError):
    """The object has no such interface."""

    NAME = "org.freedesktop.DBus.Error.UnknownInterface"


class UnknownProperty(_NamedError):
    """The interface has no such property."""

    NAME = "org.freedesktop.DBus.Error.UnknownProperty"


class InvalidArgs(_NamedError):
    """The arguments do not fit what the method or property takes."""

    NAME = "org.freedesktop.DBus.Error.InvalidArgs"


class AccessDenied(_NamedError):
    """The bus or the service refused the caller."""

    NAME = "org.freedesktop.DBus.Error.AccessDenied"


class NoReply(_NamedError, TimeoutError):
    """The bus reports that no reply came (the peer did not answer in time,
    or left without answering).  Also a TimeoutError."""

    NAME = "org.freedesktop.DBus.Error.NoReply"

    def __init__(self, message: str = "") -> None:
        TimeoutError.__init__(self, errno.ETIMEDOUT, message)
        self.name = self.NAME
        self.message = message

    def __str__(self) -> str:
        return BusError.__str__(self)


class BadMessage(_NamedError, OSError):
    """A received message whose body cannot be read: a reply (raised by the
    call), a signal (raised by the subscription's ``get()``, which then goes
    on with the next signal) or a call to a served object (its caller gets
    this error reply).  The text says which message and why, for instance a
    string holding a Unicode noncharacter, which sd-bus refuses although the
    bus passes it.  Only that message is refused: the connection and every
    other call go on.  Also an OSError (errno EBADMSG)."""

    NAME = "org.varquin.Error.BadMessage"

    def __init__(self, message: str = "") -> None:
        OSError.__init__(self, errno.EBADMSG, message)
        self.name = self.NAME
        self.message = message

    def __str__(self) -> str:
        return BusError.__str__(self)


class NameTaken(_NamedError):
    """Raised by ``Bus.request_name`` when another connection owns the name
    (the request is not queued).  varquin's own error: no peer sends it."""

    NAME = "org.varquin.Error.NameTaken"


class SignalsLost(_NamedError):
    """A subscription's queue was full (``subscribe(..., max_queued=N)``): its
    oldest signals were dropped.  ``lost`` says how many.  The next ``get()``
    or iteration step raises it once, then goes on with the signals kept."""

    NAME = "org.varquin.Error.SignalsLost"
    lost: int

    def __init__(self, message: str = "", lost: int = 0) -> None:
        super().__init__(message)
        self.lost = lost

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.message, self.lost))


class NoSuchUnit(_NamedError):
    """systemd knows no unit of that name: ``GetUnit`` of a unit that is not
    loaded, ``StartUnit`` of one without a unit file.  varquin.systemd's
    Manager raises it too for a unit file that does not exist (enable,
    disable, is_enabled)."""

    NAME = "org.freedesktop.systemd1.NoSuchUnit"


def error_classes() -> dict[str, type[BusError]]:
    """Every error class with a fixed name, by its name (subclasses included,
    those defined after import too): the mapping an error reply's name is
    looked up in.

        >>> error_classes()["org.freedesktop.DBus.Error.AccessDenied"]
        <class 'varquin.errors.AccessDenied'>
    """
    found: dict[str, type[BusError]] = {}
    pending: list[type[_NamedError]] = [_NamedError]
    while pending:
        cls = pending.pop()
        for sub in cls.__subclasses__():
            if sub.NAME:
                found[sub.NAME] = sub
            pending.append(sub)
    return found

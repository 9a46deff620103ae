"""The value types that cross the bus with a shape of their own."""

from __future__ import annotations

from typing import Any, NamedTuple

__all__ = ["Signal", "Variant"]


class Variant(NamedTuple):
    """A D-Bus variant on the way in: the value and the one complete type it is
    sent as, ``Variant("s", "text")``, ``Variant("a{sv}", {...})``.  Received
    variants arrive as their plain values."""

    signature: str
    value: Any


class Signal(NamedTuple):
    """A received signal: who sent it (its unique name), from which object,
    which interface and member, and its values as a tuple."""

    sender: str | None
    path: str | None
    interface: str | None
    member: str | None
    args: tuple[Any, ...]

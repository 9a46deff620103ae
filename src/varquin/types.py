"""The value types that cross the bus with a shape of their own."""

from __future__ import annotations

from typing import Any, NamedTuple

__all__ = ["Signal", "Variant"]


class Variant(NamedTuple):
    """A D-Bus variant on the way in: the value and the one complete type it is
    sent as, ``Variant("s", "text")``, ``Variant("a{sv}", {...})``.  Received
    variants arrive as their plain values.  A value that does not fit its
    signature raises at the call that sends it (TypeError, OverflowError,
    ValueError), naming the argument; so does a signature that is not one
    complete type.

        bus.call(dest, path, iface, "SetUnitProperties", "sba(sv)",
                 "web.service", True, [("MemoryMax", Variant("t", 1 << 30))])
    """

    signature: str
    value: Any


class Signal(NamedTuple):
    """A received signal: who sent it (its unique name, ``":1.42"``), from
    which object, which interface and member, and its values as a tuple.
    What ``Subscription.get()`` and iteration over a subscription return.

        sig = sub.get(timeout=30)
        if sig.member == "JobRemoved":
            job_id, job_path, unit, result = sig.args
    """

    sender: str | None
    path: str | None
    interface: str | None
    member: str | None
    args: tuple[Any, ...]

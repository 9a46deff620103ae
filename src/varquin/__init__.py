"""varquin: drive systemd and speak D-Bus from Python, over sd-bus.

``Bus`` is a connection to a bus (``Bus.system()``, ``Bus(address)``,
``Bus.remote(host)``) that any number of threads may share; its calls carry
every D-Bus type, and error replies are raised as :class:`BusError` and its
subclasses.
"""

from __future__ import annotations

from varquin import _core
from varquin._core import Bus, Subscription
from varquin.errors import (
    AccessDenied,
    BusError,
    InvalidArgs,
    NoReply,
    NoSuchUnit,
    ServiceUnknown,
    UnknownInterface,
    UnknownMethod,
    UnknownObject,
    UnknownProperty,
    error_classes,
)
from varquin.types import Signal, Variant
from varquin._version import __version__ as __version__

_core._setup(variant=Variant, signal=Signal, bus_error=BusError, errors=error_classes())

__all__ = [
    "AccessDenied",
    "Bus",
    "BusError",
    "InvalidArgs",
    "NoReply",
    "NoSuchUnit",
    "ServiceUnknown",
    "Signal",
    "Subscription",
    "UnknownInterface",
    "UnknownMethod",
    "UnknownObject",
    "UnknownProperty",
    "Variant",
]

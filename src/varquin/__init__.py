"""varquin: drive systemd and speak D-Bus from Python, over sd-bus.

``Bus`` is a connection to a bus (``Bus.system()``, ``Bus.session()``,
``Bus(address)``, ``Bus.remote(host)``) that any number of threads may
share; its calls carry every D-Bus type, and error replies are raised as
:class:`BusError` and its subclasses.  ``Interface`` with ``method``,
``property`` and ``signal`` declares a class that a Bus serves.

    import varquin
    with varquin.Bus.system() as bus:
        (names,) = bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "ListNames")

The rest lives in modules of its own: varquin.systemd (the manager: unit
files, jobs, runs, unit status), varquin.host (host names, time zone,
reboot), varquin.journal, varquin.fleet (many hosts at once),
varquin.proxy (calling objects by their members' names), varquin.aio
(asyncio) and varquin.codegen; ``python -m varquin`` is the command line.
"""

from __future__ import annotations

from varquin import _core, service
from varquin._core import Export, Subscription
from varquin._version import __version__ as __version__
from varquin.bus import Bus
from varquin.errors import (
    AccessDenied,
    BadMessage,
    BusError,
    InvalidArgs,
    NameTaken,
    NoReply,
    NoSuchUnit,
    ServiceUnknown,
    SignalsLost,
    UnknownInterface,
    UnknownMethod,
    UnknownObject,
    UnknownProperty,
    error_classes,
)
from varquin.service import Interface, method, property, signal
from varquin.types import Signal, Variant

_core._setup(
    variant=Variant,
    signal=Signal,
    bus_error=BusError,
    errors=error_classes(),
    log=service.log_failure,
    awaitable=service.run_awaitable,
)

__all__ = [
    "AccessDenied",
    "BadMessage",
    "Bus",
    "BusError",
    "Export",
    "Interface",
    "InvalidArgs",
    "NameTaken",
    "NoReply",
    "NoSuchUnit",
    "ServiceUnknown",
    "Signal",
    "SignalsLost",
    "Subscription",
    "UnknownInterface",
    "UnknownMethod",
    "UnknownObject",
    "UnknownProperty",
    "Variant",
    "method",
    "property",
    "signal",
]

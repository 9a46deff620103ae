"""Host settings through systemd's services: host names (hostnamed), the time
zone (timedated), the wall message, reboot and power-off (logind).

Each function opens a connection of its own to the system bus for the call,
or uses ``bus=`` (another host's, from ``Bus.remote``) and leaves it open;
a ``bus`` that is not a varquin.Bus (an asyncio one) raises TypeError.
None asks for interactive authorisation.  A refusal raises the service's
error with its own text: ``InvalidArgs`` for a host name or time zone the
service does not accept, ``AccessDenied`` for a caller it does not allow.
A system bus that cannot be reached raises ConnectionError.

    from varquin import host
    host.set_hostname(static="web1", pretty="Web server 1")
    host.set_timezone("Europe/Berlin")
    host.reboot("rebooting for the new kernel")
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from varquin.bus import Bus
from varquin.systemd import blocking_bus

__all__ = ["hostname", "poweroff", "reboot", "set_hostname", "set_timezone", "set_wall_message"]

HOSTNAME = ("org.freedesktop.hostname1", "/org/freedesktop/hostname1", "org.freedesktop.hostname1")
TIMEDATE = ("org.freedesktop.timedate1", "/org/freedesktop/timedate1", "org.freedesktop.timedate1")
LOGIN = ("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager")


@contextmanager
def _using(bus: Bus | None) -> Iterator[Bus]:
    if bus is not None:
        yield blocking_bus(bus)
        return
    with Bus.system() as own:
        yield own


def _call(bus: Bus, service: tuple[str, str, str], member: str, signature: str, *args: Any) -> None:
    bus.call(*service, member, signature, *args)


def hostname(*, bus: Bus | None = None) -> str:
    """The host's current host name (hostnamed's ``Hostname``), ``"web1"``.
    Raises ServiceUnknown where hostnamed is not installed."""
    with _using(bus) as b:
        return str(b.get_property(*HOSTNAME, "Hostname"))


def set_hostname(
    static: str | None = None, pretty: str | None = None, transient: str | None = None, *, bus: Bus | None = None
) -> None:
    """Sets the names given: ``static`` (written to /etc/hostname, and made
    the current name), ``pretty`` (free text, in /etc/machine-info) and
    ``transient`` (the kernel's name until the next change; hostnamed keeps
    the static name while one is set), in that order.  ``""`` clears a
    name.  Raises InvalidArgs for a name hostnamed refuses; names set before
    the refused one stay set.

        host.set_hostname(static="web1", pretty="Web server 1")
        host.set_hostname(pretty="")            # clears the pretty name only
    """
    with _using(bus) as b:
        for member, value in (
            ("SetStaticHostname", static),
            ("SetPrettyHostname", pretty),
            ("SetHostname", transient),
        ):
            if value is not None:
                _call(b, HOSTNAME, member, "sb", value, False)


def set_timezone(tz: str, *, bus: Bus | None = None) -> None:
    """Sets the time zone (``"Europe/Berlin"``): timedated links
    /etc/localtime to it.  Raises InvalidArgs for a zone not installed."""
    with _using(bus) as b:
        _call(b, TIMEDATE, "SetTimezone", "sb", tz, False)


def set_wall_message(text: str, *, bus: Bus | None = None) -> None:
    """Sets the message logind shows on terminals before a shutdown (and
    shows in its ``WallMessage`` property); ``""`` clears it.  Raises
    AccessDenied for a caller logind does not allow."""
    with _using(bus) as b:
        _call(b, LOGIN, "SetWallMessage", "sb", text, bool(text))


def _power(member: str, message: str | None, bus: Bus | None) -> None:
    with _using(bus) as b:
        if message is not None:
            _call(b, LOGIN, "SetWallMessage", "sb", message, bool(message))
        _call(b, LOGIN, member, "b", False)


def reboot(message: str | None = None, *, bus: Bus | None = None) -> None:
    """Asks logind to reboot the host, with ``message`` as the wall message
    when given.  A refused wall message raises before the reboot is asked."""
    _power("Reboot", message, bus)


def poweroff(message: str | None = None, *, bus: Bus | None = None) -> None:
    """Asks logind to power the host off, with ``message`` as the wall
    message when given.  A refused wall message raises before anything else."""
    _power("PowerOff", message, bus)

"""The manager's bus names, the object paths of its units and jobs, and the
rule for lists of names."""

from __future__ import annotations

from collections.abc import Iterable

SERVICE = "org.freedesktop.systemd1"
MANAGER_PATH = "/org/freedesktop/systemd1"
MANAGER_INTERFACE = "org.freedesktop.systemd1.Manager"
UNIT_INTERFACE = "org.freedesktop.systemd1.Unit"
SERVICE_INTERFACE = "org.freedesktop.systemd1.Service"
UNIT_PREFIX = "/org/freedesktop/systemd1/unit/"
PROPERTIES = "org.freedesktop.DBus.Properties"

# Error names under which a manager reports a unit or unit file that does not
# exist without calling it NoSuchUnit (an errno turned into an error name).
NOT_FOUND = frozenset({"org.freedesktop.DBus.Error.FileNotFound", "System.Error.ENOENT"})
ALREADY_SUBSCRIBED = "org.freedesktop.systemd1.AlreadySubscribed"
NO_SUCH_JOB = "org.freedesktop.systemd1.NoSuchJob"
UNIT_EXISTS = "org.freedesktop.systemd1.UnitExists"


# The suffixes of systemd's unit types; a name ending otherwise gets ".service".
UNIT_TYPES = frozenset(
    ("service", "socket", "target", "device", "mount", "automount", "swap", "timer", "path", "slice", "scope")
)
_GLOB = frozenset("*?[")


def is_glob(name: str) -> bool:
    """True for a name with a shell pattern character (``*``, ``?``, ``[``)."""
    return not _GLOB.isdisjoint(name)


def unit_name(name: str) -> str:
    """``name`` as systemctl reads it: ``.service`` is added unless it ends in
    a unit type's suffix (``web`` is ``web.service``, ``web.timer`` stays);
    a pattern is left as it is.  TypeError for anything but a str."""
    if not isinstance(name, str):
        raise TypeError(f"a unit name is a str, not {type(name).__name__}")
    if is_glob(name):
        return name
    if "." in name and name.rpartition(".")[2] in UNIT_TYPES:
        return name
    return name + ".service"


def unit_path(name: str) -> str:
    """The object path of the unit ``name``: ASCII letters, and digits other
    than a leading one, stay; every other byte becomes ``_`` and two hex
    digits (``foo-bar.service`` -> ``.../unit/foo_2dbar_2eservice``)."""
    if not name:
        return UNIT_PREFIX + "_"
    out = []
    for i, byte in enumerate(name.encode()):
        c = chr(byte)
        if c.isascii() and (c.isalpha() or (c.isdigit() and i > 0)):
            out.append(c)
        else:
            out.append(f"_{byte:02x}")
    return UNIT_PREFIX + "".join(out)


def job_id(path: str) -> int:
    """The id of the job at object path ``path`` (``.../job/42`` -> 42)."""
    return int(path.rpartition("/")[2])


def name_list(names: Iterable[str], what: str) -> list[str]:
    """The names of an iterable of str as a list.  A bare str (or bytes) is
    refused with TypeError, as its characters are never what is meant; so is
    an item that is not a str.  ``what`` names the parameter in the message."""
    if isinstance(names, (str, bytes)):
        raise TypeError(f"{what} takes an iterable of str, not a bare {type(names).__name__}: ({names!r},)")
    found = list(names)
    for item in found:
        if not isinstance(item, str):
            raise TypeError(f"{what} takes str items, not {type(item).__name__}")
    return found

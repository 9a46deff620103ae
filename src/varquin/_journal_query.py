"""How journalctl's filters become the native journal's matches: units (and
their globs), fields, a boot and a priority, each a condition that must hold."""

from __future__ import annotations

import fnmatch
from collections.abc import Mapping, Sequence

from varquin._core import Journal

# Field values as matches take them, one or several.
Value = str | bytes | int
Matches = Mapping[str, Value | Sequence[Value]]
# A boot: an offset (0 the current, -1 the one before, 1 the first) or an id.
Boot = int | str
# A syslog level, its name, or a (from, to) range of them.
Priority = int | str | tuple[int | str, int | str]

# A condition: one of its terms must hold; a term: every match of it (of
# the same field: one of them).
Condition = list[list[str | bytes]]

# The message id of systemd-coredump's entries.
_COREDUMP = "fc2e22bc6ee647b6b90729ab34a250b1"
_UNIT_TYPES = frozenset(
    ("service", "socket", "target", "device", "mount", "automount", "swap", "timer", "path", "slice", "scope")
)
# The fields whose values journalctl matches a unit glob against.
_UNIT_FIELDS = ("_SYSTEMD_UNIT", "COREDUMP_UNIT", "UNIT", "OBJECT_SYSTEMD_UNIT", "_SYSTEMD_SLICE")
LEVELS = ("emerg", "alert", "crit", "err", "warning", "notice", "info", "debug")


def unit_terms(unit: str, uid: int | None = None) -> list[list[str]]:
    """The matches of ``journalctl -u UNIT``: the unit's own lines, the
    manager's (PID 1) about it, those of privileged daemons about it, its
    core dumps, and for a slice the lines of every unit in it.  With ``uid``,
    those of ``journalctl --user-unit UNIT`` as user ``uid`` runs it: the
    same for the unit of that user's own manager (two values of one field
    in a term match either)."""
    if uid is not None:
        owner = f"_UID={uid}"
        user_terms = [
            [f"_SYSTEMD_USER_UNIT={unit}", owner],
            [f"USER_UNIT={unit}", owner],
            [f"MESSAGE_ID={_COREDUMP}", f"COREDUMP_USER_UNIT={unit}", owner, "_UID=0"],
            [f"OBJECT_SYSTEMD_USER_UNIT={unit}", owner, "_UID=0"],
        ]
        if unit.endswith(".slice"):
            user_terms.append([f"_SYSTEMD_USER_SLICE={unit}", owner])
        return user_terms
    terms = [
        [f"_SYSTEMD_UNIT={unit}"],
        [f"MESSAGE_ID={_COREDUMP}", "_UID=0", f"COREDUMP_UNIT={unit}"],
        ["_PID=1", f"UNIT={unit}"],
        ["_UID=0", f"OBJECT_SYSTEMD_UNIT={unit}"],
    ]
    if unit.endswith(".slice"):
        terms.append([f"_SYSTEMD_SLICE={unit}"])
    return terms


def is_glob(unit: str) -> bool:
    return any(c in unit for c in "*?[")


def unit_name(unit: str) -> str:
    """``unit`` as journalctl takes it: ``.service`` added to a name that
    has no unit type (a glob stays as it is); TypeError for a non-name."""
    if not isinstance(unit, str) or not unit:
        raise TypeError(f"unit must be a unit name (str), not {unit!r}")
    if is_glob(unit) or unit.rpartition(".")[2] in _UNIT_TYPES:
        return unit
    return unit + ".service"


def _unit_condition(root: str | None, units: Sequence[str]) -> Condition:
    names = [unit_name(u) for u in units]
    globs = [u for u in names if is_glob(u)]
    if globs:
        # A glob stands for the units of that name the journal has entries
        # of, whatever the other filters.
        j = Journal(root)
        try:
            known = {v for field in _UNIT_FIELDS for v in j.unique(field)}
        finally:
            j.close()
        found = sorted(u for u in known if any(fnmatch.fnmatchcase(u, g) for g in globs))
        names = [u for u in names if not is_glob(u)] + found
    terms: Condition = [list[str | bytes](t) for u in dict.fromkeys(names) for t in unit_terms(u)]
    if terms or not globs:
        return terms
    # No unit matched: a match no entry has (a glob is never a unit's name).
    return [[f"_SYSTEMD_UNIT={globs[0]}"]]


def _match(name: str, value: Value) -> str | bytes:
    if isinstance(value, bytes):
        return name.encode() + b"=" + value
    if isinstance(value, bool) or not isinstance(value, str | int):
        raise TypeError(f"the value of match {name} must be str, bytes or int, not {type(value).__name__}")
    return f"{name}={value}"


def _field_condition(matches: Matches | Sequence[Matches]) -> Condition:
    if isinstance(matches, Mapping):
        return _field_term(matches)
    return [t for m in matches for t in _field_term(m)]


def _field_term(matches: Matches) -> Condition:
    term: list[str | bytes] = []
    for name, values in matches.items():
        if not isinstance(name, str) or not name or "=" in name:
            raise ValueError(f"{name!r} is not a field name")
        listed = [values] if isinstance(values, str | bytes | int) else list(values)
        if not listed:
            raise ValueError(f"match {name} has no value")
        term.extend(_match(name, v) for v in listed)
    return [term] if term else []


def level(value: int | str) -> int:
    """A syslog level from its number or name (``"err"``, ``"warning"``...);
    ValueError for anything else."""
    if isinstance(value, str) and value.lower() in LEVELS:
        return LEVELS.index(value.lower())
    if isinstance(value, str) and value.isdigit():
        value = int(value)
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 7:
        return value
    raise ValueError(f"{value!r} is not a syslog level (0..7 or {', '.join(LEVELS)})")


def _priority_condition(priority: Priority) -> Condition:
    if isinstance(priority, tuple):
        low, high = sorted((level(priority[0]), level(priority[1])))
    else:
        low, high = 0, level(priority)
    return [[f"PRIORITY={p}" for p in range(low, high + 1)]]


def _this_boot() -> str:
    with open("/proc/sys/kernel/random/boot_id") as f:
        return f.read().strip().replace("-", "")


def boot_id(root: str | None, boot: Boot) -> str:
    """The id of ``boot`` in the journal at ``root``: 0 is the current boot
    of this machine (of a root: its last boot), a negative offset counts
    back from it, a positive one on from the first; a str is an id.
    LookupError when the journal has no such boot."""
    if isinstance(boot, str):
        text = boot.replace("-", "").lower()
        if len(text) != 32 or any(c not in "0123456789abcdef" for c in text):
            raise ValueError(f"{boot!r} is not a boot id")
        return text
    if isinstance(boot, bool) or not isinstance(boot, int):
        raise TypeError(f"boot must be an offset (int) or a boot id (str), not {boot!r}")
    if boot == 0 and root is None:
        return _this_boot()
    j = Journal(root)
    try:
        ids = [b[0] for b in j.boots()]
    finally:
        j.close()
    index = len(ids) - 1 + boot if boot <= 0 else boot - 1
    if not 0 <= index < len(ids):
        raise LookupError(f"the journal has no boot {boot} ({len(ids)} boots)")
    return ids[index]


def conditions(
    root: str | None,
    unit: str | Sequence[str] | None,
    matches: Matches | Sequence[Matches] | None,
    boot: Boot | None,
    priority: Priority | None,
) -> list[Condition]:
    """The native journal's conditions for these filters (see
    ``journal.entries``), every one of which must hold."""
    found: list[Condition] = []
    if unit is not None:
        found.append(_unit_condition(root, [unit] if isinstance(unit, str) else list(unit)))
    if matches:
        found.append(_field_condition(matches))
    if boot is not None:
        found.append([[f"_BOOT_ID={boot_id(root, boot)}"]])
    if priority is not None:
        found.append(_priority_condition(priority))
    return found

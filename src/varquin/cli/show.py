"""Property values as ``systemctl show`` prints them: ``NAME=VALUE`` lines,
one block per unit, blocks apart by an empty line."""

from __future__ import annotations

import signal
import time
from collections.abc import Sequence
from typing import Any

from varquin.cli.report import Row

# What uint64 properties read when they are not set or have no limit.
UNSET = 2**64 - 1
# Names whose unset value is a limit that is not there ("infinity") rather
# than a value nobody has ("[not set]").
_LIMIT_ENDINGS = ("Max", "High", "Low", "Min", "Limit", "Soft")
# Counters the manager has no data for.
_NO_DATA = frozenset(("IPIngressBytes", "IPIngressPackets", "IPEgressBytes", "IPEgressPackets"))
_IO_COUNTERS = frozenset(("IOReadBytes", "IOReadOperations", "IOWriteBytes", "IOWriteOperations"))
# The first manager version whose systemctl shows unset IO counters as
# "[not set]" rather than as the number.
IO_COUNTERS_UNSET = 257
# The first manager version whose systemctl shows the unit's own properties
# before those of its type (Service, Socket, ...); earlier ones, after.
UNIT_FIRST = 262
_OCTAL = frozenset(
    (
        "UMask",
        "RuntimeDirectoryMode",
        "StateDirectoryMode",
        "CacheDirectoryMode",
        "LogsDirectoryMode",
        "ConfigurationDirectoryMode",
    )
)
_CAPABILITIES = frozenset(("CapabilityBoundingSet", "AmbientCapabilities"))
# The kernel's capabilities by bit number.
CAPABILITY_NAMES = (
    "cap_chown cap_dac_override cap_dac_read_search cap_fowner cap_fsetid cap_kill cap_setgid cap_setuid "
    "cap_setpcap cap_linux_immutable cap_net_bind_service cap_net_broadcast cap_net_admin cap_net_raw "
    "cap_ipc_lock cap_ipc_owner cap_sys_module cap_sys_rawio cap_sys_chroot cap_sys_ptrace cap_sys_pacct "
    "cap_sys_admin cap_sys_boot cap_sys_nice cap_sys_resource cap_sys_time cap_sys_tty_config cap_mknod "
    "cap_lease cap_audit_write cap_audit_control cap_setfcap cap_mac_override cap_mac_admin cap_syslog "
    "cap_wake_alarm cap_block_suspend cap_audit_read cap_perfmon cap_bpf cap_checkpoint_restore"
).split()
# Structures (exit statuses, security labels, allow/deny lists) and the
# arrays of structures that systemctl prints as "[unprintable]".
_EXIT_STATUSES = frozenset(("RestartPreventExitStatus", "RestartForceExitStatus", "SuccessExitStatus"))
_UNPRINTABLE = frozenset(
    (
        "Conditions",
        "Asserts",
        "LoadCredential",
        "LoadCredentialEncrypted",
        "SetCredential",
        "SetCredentialEncrypted",
        "ImportCredentialEx",
        "NFTSet",
    )
)
# Arrays of structures that --all shows empty; the others it leaves out.
_SHOWN_EMPTY = frozenset(
    (
        "BindPaths",
        "BindReadOnlyPaths",
        "TemporaryFileSystem",
        "MountImages",
        "ExtensionImages",
        "IPAddressAllow",
        "IPAddressDeny",
    )
)
_UNPRINTABLE_WHEN_UNSET = {"TTYRows": 65535, "TTYColumns": 65535, "ActivationDetails": None}
# Structures systemctl cannot print (newer managers' (ss) and (tt) ones).
_UNPRINTABLE_STRUCTURES = frozenset(
    ("ProtectHostnameEx", "StateDirectoryQuotaUsage", "CacheDirectoryQuotaUsage", "LogsDirectoryQuotaUsage")
)
# Directory quotas (size, share of the file system, enforcement), "[not
# set]" while neither a size nor a share is given.
_QUOTAS = frozenset(("StateDirectoryQuota", "CacheDirectoryQuota", "LogsDirectoryQuota"))
# Counters and masks systemctl prints as the number even when unset.
_NUMBER_WHEN_UNSET = frozenset(("OOMKills", "ManagedOOMKills", "DelegateNamespaces"))
# Characters a list item may hold without quotes.
_PLAIN = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.:/@+=,%")

# Units of time spans, largest first, in µs (as systemd spells them).
_SPANS = (
    ("y", 31_557_600 * 10**6),
    ("month", 2_629_800 * 10**6),
    ("w", 7 * 86400 * 10**6),
    ("d", 86400 * 10**6),
    ("h", 3600 * 10**6),
    ("min", 60 * 10**6),
    ("s", 10**6),
    ("ms", 1000),
    ("us", 1),
)
# How a process ended (the CLD_* codes of waitid()).
_CODES = {1: "exited", 2: "killed", 3: "dumped", 4: "trapped", 5: "stopped", 6: "continued"}


def time_span(usec: int) -> str:
    """``90_000_000`` as ``1min 30s``; 0 as ``0``."""
    if usec == 0:
        return "0"
    parts = []
    for suffix, size in _SPANS:
        if usec >= size:
            parts.append(f"{usec // size}{suffix}")
            usec %= size
    return " ".join(parts)


def timestamp(usec: int) -> str:
    """µs since the epoch in this machine's time zone (``Wed 2026-12-09
    10:52:40 UTC``); empty for 0."""
    if usec == 0:
        return ""
    return time.strftime("%a %Y-%m-%d %H:%M:%S %Z", time.localtime(usec // 10**6))


def _exec_status(code: int, status: int) -> str:
    if code in (2, 3):
        try:
            return f"{status}/{signal.Signals(status).name.removeprefix('SIG')}"
        except ValueError:
            pass
    return f"{status}/{status}"


def exec_command(entry: Sequence[Any]) -> str:
    """One command of an Exec* property, in braces: (path, argv, ignore,
    start, start monotonic, exit, exit monotonic, pid, code, status), or its
    ...Ex form with flags (a list) in place of ``ignore``."""
    path, argv, flags, started, _, stopped, _, pid, code, status = entry
    middle = f"flags={' '.join(flags)}" if isinstance(flags, list) else f"ignore_errors={'yes' if flags else 'no'}"
    start = f"[{timestamp(started)}]" if started else "[n/a]"
    stop = f"[{timestamp(stopped)}]" if stopped else "[n/a]"
    return (
        f"{{ path={path} ; argv[]={' '.join(argv)} ; {middle} ; "
        f"start_time={start} ; stop_time={stop} ; pid={pid} ; code={_CODES.get(code, '(null)')} ; "
        f"status={_exec_status(code, status)} }}"
    )


def _item(value: Any) -> str:
    text = str(value)
    return text if text and _PLAIN.issuperset(text) else f'"{text}"'


def _number(name: str, value: int, version: int | None) -> tuple[str, bool]:
    """An integer property's text, and whether it is left out unless asked for."""
    if name.endswith("Timestamp"):
        return timestamp(value), value == 0
    if name in _OCTAL:
        return f"{value:04o}", False
    if name == "CoredumpFilter":
        return f"{value:#x}", False
    if name in _CAPABILITIES:
        return " ".join(c for bit, c in enumerate(CAPABILITY_NAMES) if value >> bit & 1), value == 0
    if name == "MountFlags":
        return ("" if value == 0 else str(value)), value == 0
    if name == "NUMAPolicy" and value < 0:
        return "n/a", False
    if name in ("FailureActionExitStatus", "SuccessActionExitStatus") and value < 0:
        return "[not set]", True
    if name in ("UID", "GID") and value == 2**32 - 1:
        return "[not set]", False
    if name in _UNPRINTABLE_WHEN_UNSET and value == _UNPRINTABLE_WHEN_UNSET[name]:
        return "[unprintable]", True
    if value != UNSET:
        if "USec" in name:
            return time_span(value), False
        return str(value), False
    if name == "RestrictNamespaces":
        return "no", False
    if name in _NUMBER_WHEN_UNSET:
        return str(value), False
    if name in _NO_DATA:
        return "[no data]", False
    if name in _IO_COUNTERS:
        return ("[not set]" if (version or 0) >= IO_COUNTERS_UNSET else str(value)), False
    if name == "MemoryAvailable" or (name.endswith("USec") and "Managed" not in name):
        return "infinity", False
    if name.endswith(_LIMIT_ENDINGS) or name.startswith("Limit"):
        return "infinity", False
    return "[not set]", False


def _structure(name: str, value: tuple[Any, ...]) -> tuple[str, bool]:
    """A structure's text, and whether it is left out unless asked for."""
    if name in _EXIT_STATUSES:
        statuses, signals = value
        words = [str(s) for s in statuses] + [signal.Signals(n).name.removeprefix("SIG") for n in signals]
        return " ".join(words), not words
    if name == "Job":
        return (f"{value[0]} {value[1]}" if value[0] else ""), not value[0]
    if name in _UNPRINTABLE_STRUCTURES:
        return "[unprintable]", True
    if name in _QUOTAS and not any(value[:2]):
        return "[not set]", False
    if name == "LoadError":
        return (f'{value[0]} "{value[1]}"' if value[0] else ""), not value[0]
    if len(value) == 2 and isinstance(value[0], bool) and isinstance(value[1], str):
        return ("-" if value[0] else "") + value[1], not value[1]
    if len(value) == 2 and isinstance(value[0], bool) and isinstance(value[1], list):
        return ("" if value[0] else "~") + " ".join(map(str, value[1])), not value[1]
    return " ".join(map(str, value)), False


def property_lines(
    name: str, value: Any, version: int | None = None, signature: str = ""
) -> list[tuple[str, str, bool]]:
    """(name, text, hidden) for each line systemctl show prints of a
    property of D-Bus type ``signature`` (a list of commands is one line per
    command), hidden where the line is left out unless -p or --all asks for
    it; none for what it never prints (an empty array of structures)."""
    if isinstance(value, list) and value and all(isinstance(v, tuple) for v in value):
        if name.startswith("Exec") and all(len(v) == 10 for v in value):
            return [(name, exec_command(v), False) for v in value]
        return [(name, " ".join(" ".join(map(str, v)) for v in value), False)]
    if isinstance(value, bool):
        return [(name, "yes" if value else "no", False)]
    if isinstance(value, int):
        text, hidden = _number(name, value, version)
        return [(name, text, hidden)]
    if isinstance(value, str):
        return [(name, value, not value)]
    if isinstance(value, bytes):
        return [(name, value.hex(), not value)]
    if isinstance(value, tuple):
        text, hidden = _structure(name, value)
        return [(name, text, hidden)]
    if isinstance(value, list) and value:
        return [(name, " ".join(_item(v) for v in value), False)]
    if isinstance(value, list):  # empty
        if name in _UNPRINTABLE or name in _UNPRINTABLE_WHEN_UNSET:
            return [(name, "[unprintable]", True)]
        if signature.startswith("a(sas") or (not signature and name.startswith("Exec")):
            return []  # no command
        if signature.startswith("a(") and name not in _SHOWN_EMPTY:
            return []
        return [(name, "", True)]
    return [(name, str(value), False)]


def render(rows: Sequence[Row], values_only: bool, several_hosts: bool) -> str:
    """The rows of show (one per host, unit and property line) as systemctl
    prints them: ``NAME=VALUE`` (the value alone with ``values_only``), an
    empty line between units, and each host's units under a ``-- HOST``
    line when there are several hosts."""
    out: list[str] = []
    last: tuple[str, str] | None = None
    for row in rows:
        if row.error is not None:
            continue
        if last is None or row.host != last[0]:
            if several_hosts:
                out.extend([""] if out else [])
                out.append(f"-- {row.host}")
        elif row.unit != last[1]:
            out.append("")
        last = (row.host, row.unit)
        name, text = row.fields["property"], row.fields["value"]
        out.append(text if values_only else f"{name}={text}")
    return "\n".join(out)

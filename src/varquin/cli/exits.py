"""The exit statuses of systemctl and systemd-run, per manager version.

systemctl's statuses follow the LSB's: for the state queries 3 is "not
running" and 4 "status unknown"; for jobs 3 is "not implemented", 4 "no
permission", 5 "not installed", 6 "not configured".  Some answers changed
between versions: from 257 on (the first newer version checked after 252),
``is-active`` of units that are all missing gives 4 rather than 3, and
``is-enabled`` of missing units prints ``not-found`` and gives 4 rather than
failing with 1; from 262 on (the next checked) the jobs of several units
are queued all or none: one missing unit queues none and gives 5.
"""

from __future__ import annotations

from varquin.errors import BusError

FAILURE = 1
NOT_RUNNING = 3
UNKNOWN = 4
NOT_IMPLEMENTED = 3
NO_PERMISSION = 4
NOT_INSTALLED = 5
NOT_CONFIGURED = 6
# systemd-run --wait for a command ended by a signal the manager counts as a failure.
SIGNALLED = 255

# The first manager version whose systemctl answers missing units with 4.
MISSING_IS_UNKNOWN = 257
# The first whose systemctl queues the jobs of several units all or none.
JOBS_ALL_OR_NONE = 262

_PERMISSION = frozenset(
    (
        "org.freedesktop.DBus.Error.AccessDenied",
        "org.freedesktop.systemd1.OnlyByDependency",
        "org.freedesktop.systemd1.NoIsolation",
        "org.freedesktop.systemd1.TransactionIsDestructive",
    )
)
_NOT_APPLICABLE = frozenset(
    ("org.freedesktop.systemd1.JobTypeNotApplicable", "org.freedesktop.DBus.Error.NotSupported")
)


def version_number(text: str) -> int | None:
    """The major version of a manager's ``Version`` (``"252.39-1~deb12u2"``
    is 252), or None when it does not start with one."""
    digits = ""
    for c in text.lstrip("v"):
        if not c.isdigit():
            break
        digits += c
    return int(digits) if digits else None


def jobs_all_or_none(version: int | None) -> bool:
    """Whether systemctl of this version queues several units' jobs all or none."""
    return version is not None and version >= JOBS_ALL_OR_NONE


def missing_is_unknown(version: int | None) -> bool:
    """Whether systemctl of this version answers missing units with 4."""
    return version is not None and version >= MISSING_IS_UNKNOWN


def job_refused(e: BaseException) -> int:
    """systemctl's status when queuing a job failed with ``e``."""
    name = e.name if isinstance(e, BusError) else ""
    if name in _PERMISSION:
        return NO_PERMISSION
    if name == "org.freedesktop.systemd1.NoSuchUnit":
        return NOT_INSTALLED
    if name in _NOT_APPLICABLE:
        return NOT_IMPLEMENTED
    if name == "org.freedesktop.systemd1.LoadFailed":
        return NOT_CONFIGURED
    return FAILURE


def is_active(states: list[tuple[str, str]], version: int | None, good: tuple[str, ...]) -> int:
    """``is-active``'s status for (load, active) states: 0 when any unit is
    in a ``good`` state, 4 when every unit is missing (257 on), else 3."""
    if any(active in good for _, active in states):
        return 0
    if states and missing_is_unknown(version) and all(load == "not-found" for load, _ in states):
        return UNKNOWN
    return NOT_RUNNING


# Unit file states is-enabled counts as enabled.
ENABLED = frozenset(("enabled", "enabled-runtime", "static", "alias", "indirect", "generated"))


def is_enabled(states: list[str | None], version: int | None) -> int:
    """``is-enabled``'s status for the unit file states (None: no such unit
    file): 0 when any is enabled; a missing one fails with 1 before 257; from
    257 on 4 when every one is missing, else 1."""
    if not missing_is_unknown(version) and None in states:
        return FAILURE
    if any(s in ENABLED for s in states):
        return 0
    if states and missing_is_unknown(version) and all(s is None for s in states):
        return UNKNOWN
    return FAILURE


def run_wait(result: str, exit_status: int | None) -> int:
    """systemd-run --wait's status for a run's ``result``, as measured beside
    it on 252 and 257: 0 for ``success`` (a command ended by SIGTERM, SIGHUP,
    SIGINT or SIGPIPE counts as success to the manager), the command's own
    status for ``exit-code``, 255 for ``signal``, and 1 for anything else (a
    core dump, a timeout, a command that never ran)."""
    if result == "success":
        return 0
    if result == "exit-code" and exit_status:
        return exit_status
    if result == "signal":
        return SIGNALLED
    return FAILURE

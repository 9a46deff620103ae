"""systemd's manager as Python objects: unit files, jobs that can be waited
for, transient runs with their exit status, unit status, details and
properties, and waiting for a unit's state.

    from varquin import systemd
    with systemd.Manager() as m:                   # its own Bus.system() connection
        m.enable("nginx.service")                  # -> [Change(type, path, source), ...]
        m.start("nginx.service", wait=True, timeout=30)
        m.unit("nginx.service").status             # UnitStatus('loaded', 'active', 'running')
        r = m.run(["/bin/sh", "-c", "exit 7"], wait=True)   # RunResult(..., exit_status=7, ...)

Failures are the Bus exceptions with the manager's own text: ``NoSuchUnit``
for a unit that does not exist, ``BusError`` named
``org.freedesktop.systemd1.UnitMasked`` for a masked one, ``AccessDenied``,
``InvalidArgs`` (a job mode the manager does not know), and so on; a job
that ends with a result other than ``"done"`` raises :class:`JobFailed`
when waited for through ``wait=True``.

Where a parameter takes several names (``patterns``, ``states``, ``argv``),
it takes an iterable of str; a bare str raises TypeError rather than being
read as its characters.
"""

from varquin.systemd._names import (
    MANAGER_INTERFACE,
    MANAGER_PATH,
    SERVICE,
    SERVICE_INTERFACE,
    UNIT_INTERFACE,
    job_id,
    name_list,
    unit_name,
    unit_path,
)
from varquin.systemd.jobs import Job
from varquin.systemd.manager import Manager, blocking_bus
from varquin.systemd.properties import PROPERTY_TYPES, property_value
from varquin.systemd.results import (
    Change,
    JobFailed,
    RunResult,
    RunTimeout,
    UnitDetails,
    UnitFailed,
    UnitFile,
    UnitInfo,
    UnitStatus,
    type_interface,
)
from varquin.systemd.runs import Run
from varquin.systemd.units import Unit, UnitWatch

__all__ = [
    "MANAGER_INTERFACE",
    "MANAGER_PATH",
    "PROPERTY_TYPES",
    "SERVICE",
    "SERVICE_INTERFACE",
    "UNIT_INTERFACE",
    "Change",
    "Job",
    "JobFailed",
    "Manager",
    "Run",
    "RunResult",
    "RunTimeout",
    "Unit",
    "UnitDetails",
    "UnitFailed",
    "UnitFile",
    "UnitInfo",
    "UnitStatus",
    "UnitWatch",
    "blocking_bus",
    "job_id",
    "name_list",
    "property_value",
    "type_interface",
    "unit_name",
    "unit_path",
]

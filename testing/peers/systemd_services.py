"""Substitutes for the systemd services the module calls, on the private
test bus: the manager (org.freedesktop.systemd1, its Manager interface and
its unit objects), hostnamed, timedated and logind.

They use the real services' member names, argument signatures and reply
shapes (a call with another signature is refused with InvalidArgs, as the
real services refuse it), keep a little state so that answers follow from
earlier calls (links made by an enable, a unit started, a host name set), and
answer failures with the real services' error names and messages.  Every call
is recorded, and the tests can script any member to fail, to answer with a
reply of another type or to answer several change entries (see peerlib).

The manager sends its signals as the real one does, but always before the
reply to the call that caused them (the hardest order for a client that must
not miss them): a job's JobRemoved (unless the script "vq.hold_jobs" is set,
until CancelJob), a unit's PropertiesChanged when a job changes its state,
and a transient unit's PropertiesChanged as it runs and ends.  A transient
unit ends as the script "vq.run" says: {"service": {...}} holds the Service
properties it ends with (by default a success, exit 0), as JSON [signature,
value] pairs.  Subscribe answers AlreadySubscribed to a client that called it
before.

The unit files the manager knows, like the test units of the real tier:
vq-plain.service (WantedBy=multi-user.target), vq-alias.service (WantedBy=
and Alias=vq-other.service) and vq-static.service (no [Install] section).
"""

import re
from fnmatch import fnmatch
from pathlib import Path

from jeepney import DBusAddress, HeaderFields, new_signal

from peerlib import INVALID_ARGS, Peer, Reply, peer_main

MANAGER_PATH = "/org/freedesktop/systemd1"
MANAGER_IFACE = "org.freedesktop.systemd1.Manager"
UNIT_PREFIX = "/org/freedesktop/systemd1/unit/"
PROPERTIES = "org.freedesktop.DBus.Properties"
NO_SUCH_UNIT = "org.freedesktop.systemd1.NoSuchUnit"
UNKNOWN_PROPERTY = "org.freedesktop.DBus.Error.UnknownProperty"
UNIT_IFACE = "org.freedesktop.systemd1.Unit"
SERVICE_IFACE = "org.freedesktop.systemd1.Service"

HOSTNAME = ("/org/freedesktop/hostname1", "org.freedesktop.hostname1")
TIMEDATE = ("/org/freedesktop/timedate1", "org.freedesktop.timedate1")
LOGIN = ("/org/freedesktop/login1", "org.freedesktop.login1.Manager")

# name -> (WantedBy= target, Alias= name)
UNIT_FILES = {
    "vq-plain.service": ("multi-user.target", None),
    "vq-alias.service": ("multi-user.target", "vq-other.service"),
    "vq-static.service": (None, None),
}
UNIT_DIR = "/lib/systemd/system"
JOB_MODES = {"replace", "fail", "isolate", "ignore-dependencies", "ignore-requirements", "flush", "triggering"}
JOB_METHODS = {
    "StartUnit": ("active", "running"),
    "RestartUnit": ("active", "running"),
    "TryRestartUnit": ("active", "running"),
    "ReloadOrRestartUnit": ("active", "running"),
    "ReloadUnit": None,  # a reload leaves the state as it is
    "StopUnit": ("inactive", "dead"),
}
HOSTNAME_RE = re.compile(r"^(?!-)[A-Za-z0-9-]{1,63}(?<!-)(\.(?!-)[A-Za-z0-9-]{1,63}(?<!-))*$")
ZONEINFO = Path("/usr/share/zoneinfo")

peer = Peer(
    "org.freedesktop.systemd1",
    "org.freedesktop.hostname1",
    "org.freedesktop.timedate1",
    "org.freedesktop.login1",
)


class State:
    def __init__(self):
        self.links = {}  # link file -> destination ("/dev/null" for a mask)
        self.units = {}  # unit name -> (ActiveState, SubState)
        self.jobs = 0
        self.pending = {}  # held job id -> (path, unit)
        self.transient = {}  # transient unit name -> {"collect": bool, "service": {name: (sig, value)}}
        self.subscribers = set()
        self.hostname = {
            "Hostname": "vq-host",
            "StaticHostname": "vq-host",
            "PrettyHostname": "",
            "IconName": "computer-vm",
            "Chassis": "vm",
            "Deployment": "",
            "Location": "",
            "KernelName": "Linux",
        }
        self.timedate = {"Timezone": "Etc/UTC", "LocalRTC": False}
        self.login = {"WallMessage": "", "EnableWallMessages": False}


state = State()


@peer.on_reset
def _reset():
    global state
    state = State()


# -- the manager ---------------------------------------------------------------


def emit(path, interface, member, signature, body):
    peer.conn.send(new_signal(DBusAddress(path, interface=interface), member, signature, body))


def job_removed(job_id, path, unit, result):
    emit(MANAGER_PATH, MANAGER_IFACE, "JobRemoved", "uoss", (job_id, path, unit, result))


@peer.method(MANAGER_IFACE, "Reload", MANAGER_PATH, signature="")
def reload(msg):
    return "", ()


@peer.method(MANAGER_IFACE, "Subscribe", MANAGER_PATH, signature="")
def subscribe(msg):
    sender = msg.header.fields.get(HeaderFields.sender)
    if sender is None:
        return "", ()  # a direct client is always subscribed
    if sender in state.subscribers:
        raise Reply("org.freedesktop.systemd1.AlreadySubscribed", "Client is already subscribed.")
    state.subscribers.add(sender)
    return "", ()


def new_job(unit, done):
    """A job for `unit`: it ends at once with `done`, unless jobs are held."""
    state.jobs += 1
    path = f"/org/freedesktop/systemd1/job/{state.jobs}"
    if "vq.hold_jobs" in peer.scripts:
        state.pending[state.jobs] = (path, unit)
    else:
        job_removed(state.jobs, path, unit, done)
    return path


@peer.method(MANAGER_IFACE, "GetJob", MANAGER_PATH, signature="u")
def get_job(msg):
    (job_id,) = msg.body
    if job_id not in state.pending:
        raise Reply("org.freedesktop.systemd1.NoSuchJob", f"Job {job_id} does not exist.")
    return "o", (state.pending[job_id][0],)


@peer.method(MANAGER_IFACE, "CancelJob", MANAGER_PATH, signature="u")
def cancel_job(msg):
    (job_id,) = msg.body
    if job_id not in state.pending:
        raise Reply("org.freedesktop.systemd1.NoSuchJob", f"Job {job_id} does not exist.")
    path, unit = state.pending.pop(job_id)
    job_removed(job_id, path, unit, "canceled")
    return "", ()


def job_method(member, new_state):
    @peer.method(MANAGER_IFACE, member, MANAGER_PATH, signature="ss")
    def job(msg):
        name, mode = msg.body
        if mode not in JOB_MODES:
            raise Reply(INVALID_ARGS, f"Job mode {mode} invalid.")
        if name not in UNIT_FILES:
            raise Reply(NO_SUCH_UNIT, f"Unit {name} not found.")
        if new_state is not None and state.units.get(name, ("inactive", "dead")) != new_state:
            state.units[name] = new_state
            unit_changed(name, *new_state, (0, "/"))
        return "o", (new_job(name, "done"),)


for _member, _new_state in JOB_METHODS.items():
    job_method(_member, _new_state)


def loaded_unit(name):
    if name not in UNIT_FILES and name not in state.transient:
        raise Reply(NO_SUCH_UNIT, f"Unit {name} not loaded.")


@peer.method(MANAGER_IFACE, "ResetFailed", MANAGER_PATH, signature="")
def reset_failed(msg):
    return "", ()


@peer.method(MANAGER_IFACE, "ResetFailedUnit", MANAGER_PATH, signature="s")
@peer.method(MANAGER_IFACE, "UnrefUnit", MANAGER_PATH, signature="s")
def unit_call(msg):
    (name,) = msg.body
    loaded_unit(name)
    if msg.header.fields[HeaderFields.member] == "UnrefUnit" and state.transient[name]["collect"]:
        del state.transient[name]
    return "", ()


@peer.method(MANAGER_IFACE, "KillUnit", MANAGER_PATH, signature="ssi")
@peer.method(MANAGER_IFACE, "SetUnitProperties", MANAGER_PATH, signature="sba(sv)")
def recorded_unit_call(msg):
    loaded_unit(msg.body[0])
    return "", ()


@peer.method(MANAGER_IFACE, "GetUnitFileState", MANAGER_PATH, signature="s")
def get_unit_file_state(msg):
    (name,) = msg.body
    if name not in UNIT_FILES:
        raise Reply("org.freedesktop.DBus.Error.FileNotFound", "No such file or directory")
    return "s", (unit_properties(name)["UnitFileState"][1],)


@peer.method(MANAGER_IFACE, "ListUnitFilesByPatterns", MANAGER_PATH, signature="asas")
def list_unit_files(msg):
    states, patterns = msg.body
    found = []
    for name in UNIT_FILES:
        file_state = unit_properties(name)["UnitFileState"][1]
        if (not states or file_state in states) and (not patterns or any(fnmatch(name, p) for p in patterns)):
            found.append((f"{UNIT_DIR}/{name}", file_state))
    return "a(ss)", (found,)


# How a transient unit ends unless the script "vq.run" says otherwise.
RUN_SUCCESS = {
    "Result": ["s", "success"],
    "ExecMainCode": ["i", 1],
    "ExecMainStatus": ["i", 0],
    "ExecMainStartTimestamp": ["t", 1_700_000_000_000_000],
    "ExecMainExitTimestamp": ["t", 1_700_000_001_500_000],
    "CPUUsageNSec": ["t", 2**64 - 1],
}


def unit_changed(name, active, sub, job):
    emit(
        unit_path(name),
        "org.freedesktop.DBus.Properties",
        "PropertiesChanged",
        "sa{sv}as",
        (UNIT_IFACE, {"ActiveState": ("s", active), "SubState": ("s", sub), "Job": ("(uo)", job)}, []),
    )


@peer.method(MANAGER_IFACE, "StartTransientUnit", MANAGER_PATH, signature="ssa(sv)a(sa(sv))")
def start_transient_unit(msg):
    name, _mode, props, _aux = msg.body
    if name in state.transient or name in UNIT_FILES:
        raise Reply("org.freedesktop.systemd1.UnitExists", f"Unit {name} already exists.")
    given = dict(props)
    script = peer.scripts.get("vq.run", {})
    service = {k: tuple(v) for k, v in {**RUN_SUCCESS, **script.get("service", {})}.items()}
    collect = given.get("CollectMode", ("s", ""))[1] == "inactive-or-failed"
    state.transient[name] = {"collect": collect, "service": service}
    state.jobs += 1
    job = (state.jobs, f"/org/freedesktop/systemd1/job/{state.jobs}")
    ended = "failed" if service["Result"][1] != "success" else "inactive"
    # The unit's whole life, before the reply: a client that subscribes only
    # after the call returns sees none of it.
    unit_changed(name, "activating", "start", job)
    unit_changed(name, "active", "running", (0, "/"))
    state.units[name] = (ended, "failed" if ended == "failed" else "dead")
    unit_changed(name, ended, state.units[name][1], (0, "/"))
    job_removed(job[0], job[1], name, "done")
    return "o", (job[1],)


def unit_path(name):
    return UNIT_PREFIX + "".join(
        c if c.isascii() and (c.isalpha() or (c.isdigit() and i > 0)) else f"_{ord(c):02x}" for i, c in enumerate(name)
    )


def unit_dir(runtime):
    return "/run/systemd/system" if runtime else "/etc/systemd/system"


def install_links(name, runtime):
    """The links an enable of `name` makes, alias first as the manager
    lists them."""
    wanted_by, alias = UNIT_FILES[name]
    base = unit_dir(runtime)
    links = []
    if alias:
        links.append(f"{base}/{alias}")
    if wanted_by:
        links.append(f"{base}/{wanted_by}.wants/{name}")
    return links


def known_unit_file(name):
    if name not in UNIT_FILES:
        raise Reply(NO_SUCH_UNIT, f"Unit file {name} does not exist.")


@peer.method(MANAGER_IFACE, "EnableUnitFiles", MANAGER_PATH, signature="asbb")
def enable_unit_files(msg):
    names, runtime, _force = msg.body
    changes = []
    carries_install_info = False
    for name in names:
        known_unit_file(name)
        links = install_links(name, runtime)
        carries_install_info = carries_install_info or bool(links)
        for link in links:
            if link not in state.links:
                state.links[link] = f"{UNIT_DIR}/{name}"
                changes.append(("symlink", link, f"{UNIT_DIR}/{name}"))
    return "ba(sss)", (carries_install_info, changes)


@peer.method(MANAGER_IFACE, "DisableUnitFiles", MANAGER_PATH, signature="asb")
def disable_unit_files(msg):
    names, runtime = msg.body
    changes = []
    for name in names:
        known_unit_file(name)
        for link in reversed(install_links(name, runtime)):
            if state.links.pop(link, None) is not None:
                changes.append(("unlink", link, ""))
    return "a(sss)", (changes,)


@peer.method(MANAGER_IFACE, "MaskUnitFiles", MANAGER_PATH, signature="asbb")
def mask_unit_files(msg):
    names, runtime, _force = msg.body
    changes = []
    for name in names:
        link = f"{unit_dir(runtime)}/{name}"
        if state.links.get(link) != "/dev/null":
            state.links[link] = "/dev/null"
            changes.append(("symlink", link, "/dev/null"))
    return "a(sss)", (changes,)


@peer.method(MANAGER_IFACE, "UnmaskUnitFiles", MANAGER_PATH, signature="asb")
def unmask_unit_files(msg):
    names, runtime = msg.body
    changes = []
    for name in names:
        link = f"{unit_dir(runtime)}/{name}"
        if state.links.get(link) == "/dev/null":
            del state.links[link]
            changes.append(("unlink", link, ""))
    return "a(sss)", (changes,)


def unescape_label(label):
    """The unit name of an object path element: "_" followed by two hex
    digits stands for that byte; a lone "_" is the empty name."""
    if label == "_":
        return ""
    out = bytearray()
    i = 0
    while i < len(label):
        if label[i] == "_" and re.fullmatch(r"[0-9a-fA-F]{2}", label[i + 1 : i + 3]):
            out.append(int(label[i + 1 : i + 3], 16))
            i += 3
        else:
            out.extend(label[i].encode())
            i += 1
    return out.decode("utf-8", errors="replace")


def file_state(name, enabled):
    if name not in UNIT_FILES:
        return ""
    if not install_links(name, False):
        return "static"
    return "enabled" if enabled else "disabled"


def unit_properties(name):
    """Properties of the unit `name` across its interfaces, strings and
    other types mixed, in the manager's order."""
    if name in state.transient:
        active, sub = state.units[name]
        return {
            "Id": ("s", name),
            "LoadState": ("s", "loaded"),
            "ActiveState": ("s", active),
            "SubState": ("s", sub),
            "Job": ("(uo)", (0, "/")),
            "InvocationID": ("ay", bytes(range(16))),
        }
    known = name in UNIT_FILES
    active, sub = state.units.get(name, ("inactive", "dead"))
    link_state = "masked" if state.links.get(f"/etc/systemd/system/{name}") == "/dev/null" else None
    enabled = any(link in state.links for link in install_links(name, False)) if known else False
    return {
        "Id": ("s", name),
        "Names": ("as", [name]),
        "Following": ("s", ""),
        "Description": ("s", f"substitute unit {name}" if known else name),
        "LoadState": ("s", "masked" if link_state else "loaded" if known else "not-found"),
        "ActiveState": ("s", active),
        "FreezerState": ("s", "running"),
        "SubState": ("s", sub),
        "UnitFileState": ("s", link_state or file_state(name, enabled)),
        "ActiveEnterTimestamp": ("t", 0),
        "CanStart": ("b", known),
        "Conditions": ("a(sbbsi)", []),
        "MainPID": ("u", 0),
        "ExecMainStatus": ("i", 0),
        "Type": ("s", "simple"),
    }


@peer.method(PROPERTIES, "GetAll", signature="s")
def get_all(msg):
    path = msg.header.fields[HeaderFields.path]
    if path.startswith(UNIT_PREFIX):
        name = unescape_label(path[len(UNIT_PREFIX) :])
        if not name:
            raise Reply(INVALID_ARGS, f"Unit name {name} is neither a valid invocation ID nor unit name.")
        if msg.body[0] == SERVICE_IFACE and name in state.transient:
            return "a{sv}", (state.transient[name]["service"],)
        return "a{sv}", (unit_properties(name),)
    for props_path, props in service_properties().items():
        if path == props_path:
            return "a{sv}", ({k: as_variant(v) for k, v in props.items()},)
    raise Reply("org.freedesktop.DBus.Error.UnknownObject", f"Unknown object '{path}'.")


# -- hostnamed, timedated, logind ----------------------------------------------


def service_properties():
    return {
        MANAGER_PATH: {"Version": "252.30-1~deb12u2"},
        HOSTNAME[0]: state.hostname,
        TIMEDATE[0]: state.timedate,
        LOGIN[0]: state.login,
    }


def as_variant(value):
    return ("b", value) if isinstance(value, bool) else ("s", value)


@peer.method(PROPERTIES, "Get", signature="ss")
def get(msg):
    path = msg.header.fields[HeaderFields.path]
    interface, name = msg.body
    if path.startswith(UNIT_PREFIX) and name in (props := unit_properties(unescape_label(path[len(UNIT_PREFIX) :]))):
        return "v", (props[name],)
    for props_path, props in service_properties().items():
        if path == props_path and name in props:
            return "v", (as_variant(props[name]),)
    raise Reply(UNKNOWN_PROPERTY, f"Unknown interface {interface} or property {name}.")


def hostname_setter(member, prop, check):
    @peer.method(HOSTNAME[1], member, HOSTNAME[0], signature="sb")
    def setter(msg):
        value, _interactive = msg.body
        if check and value and not HOSTNAME_RE.match(value):
            raise Reply(INVALID_ARGS, f"Invalid {check} '{value}'")
        state.hostname[prop] = value
        if prop == "StaticHostname" and value:
            state.hostname["Hostname"] = value
        return "", ()


for _member, _prop, _check in (
    ("SetHostname", "Hostname", "hostname"),
    ("SetStaticHostname", "StaticHostname", "static hostname"),
    ("SetPrettyHostname", "PrettyHostname", None),
    ("SetIconName", "IconName", None),
    ("SetChassis", "Chassis", None),
    ("SetDeployment", "Deployment", None),
    ("SetLocation", "Location", None),
):
    hostname_setter(_member, _prop, _check)


@peer.method(TIMEDATE[1], "SetTimezone", TIMEDATE[0], signature="sb")
def set_timezone(msg):
    zone, _interactive = msg.body
    path = ZONEINFO / zone
    if not zone or ".." in zone.split("/") or zone.startswith("/") or not path.is_file():
        raise Reply(INVALID_ARGS, f"Invalid or not installed time zone '{zone}'")
    state.timedate["Timezone"] = zone
    return "", ()


@peer.method(LOGIN[1], "SetWallMessage", LOGIN[0], signature="sb")
def set_wall_message(msg):
    message, enable = msg.body
    state.login["WallMessage"] = message
    state.login["EnableWallMessages"] = enable
    return "", ()


@peer.method(LOGIN[1], "Reboot", LOGIN[0], signature="b")
@peer.method(LOGIN[1], "PowerOff", LOGIN[0], signature="b")
def power(msg):
    # Recorded only: the substitute has nothing to reboot.
    return "", ()


if __name__ == "__main__":
    peer_main(peer)

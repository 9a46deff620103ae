"""A tour of _varquin's systemd control.

Where this host's system bus has systemd, the tour only reads: the status
of a few units and the host names.  Otherwise (a container or a build
machine whose PID 1 is not systemd) it boots systemd in a throwaway container
over an overlay of / and shows the whole of systemd control on a demo unit
there: enable, start, status, stop, disable, mask, unmask, reload, host names,
time zone, wall message and power-off.  The container and its mounts are
torn down at the end, also on Ctrl-C or SIGTERM.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import _varquin
from testing.container import Container, Unavailable

DEMO_UNIT = "vq-demo.service"
DEMO_FILES = {
    f"/lib/systemd/system/{DEMO_UNIT}": "[Unit]\nDescription=varquin tour demo unit\n"
    "[Service]\nExecStart=/bin/sleep infinity\n"
    "[Install]\nWantedBy=multi-user.target\n",
}


def heading(text):
    print(f"\n== {text}", flush=True)


def show(call, result):
    """Prints a call and what it returned, and the recorded failure if any."""
    print(f"  {call:44} -> {result!r}", flush=True)
    failed = result is False or (isinstance(result, tuple) and result[0] is False)
    if failed:
        print(f"  {'get_last_error(0)':44} -> {_varquin.get_last_error(0)!r}", flush=True)
    return result


def run(fn, *args):
    text = f"{fn}({', '.join(repr(a) for a in args)})"
    return show(text, getattr(_varquin, fn)(*args))


def host_has_systemd():
    """True when this host's PID 1 is systemd and its system bus answers."""
    if not Path("/run/systemd/system").is_dir():
        return False
    ok = _varquin.unit_status("basic.target")[0]
    _varquin.get_last_error(0)
    return ok


def read_only_tour():
    heading("this host runs systemd: a read-only tour of its system bus")
    for unit in ("basic.target", "dbus.service", "systemd-journald.service", "nosuch.service"):
        run("unit_status", unit)
    for prop in ("Hostname", "StaticHostname", "PrettyHostname", "Chassis"):
        run("get_hostname", prop)


def wait_for_state(unit, active, timeout=15.0):
    deadline = time.monotonic() + timeout
    while True:
        found = _varquin.unit_status(unit)[1]
        if found["ActiveState"] == active or time.monotonic() > deadline:
            return found


def container_tour():
    heading("this host's PID 1 is not systemd: booting systemd in a throwaway container")
    began = time.monotonic()
    with Container(files=DEMO_FILES, progress=lambda line: print(f"  {line}", flush=True)) as c:
        print(f"  booted in {time.monotonic() - began:.1f} s; its system bus: {c.bus_address}")
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = c.bus_address
        _varquin.deinit_client()  # the next call connects to the container's bus

        def container_link(path):
            target = c.path(path)
            where = os.readlink(target) if target.is_symlink() else "(no link)"
            print(f"  {'  in the container: ' + path:44}    {where}")

        heading(f"the demo unit {DEMO_UNIT}")
        run("unit_status", DEMO_UNIT)
        wants = f"/etc/systemd/system/multi-user.target.wants/{DEMO_UNIT}"
        run("unit_enable", DEMO_UNIT)
        container_link(wants)
        run("unit_enable", DEMO_UNIT)
        run("unit_control", DEMO_UNIT, "StartUnit")
        show("  ... once the job has run: unit_status", (True, wait_for_state(DEMO_UNIT, "active")))
        run("unit_control", DEMO_UNIT, "StopUnit")
        show("  ... once the job has run: unit_status", (True, wait_for_state(DEMO_UNIT, "inactive")))
        run("unit_disable", DEMO_UNIT)
        container_link(wants)
        masked = f"/etc/systemd/system/{DEMO_UNIT}"
        run("unit_mask", DEMO_UNIT)
        container_link(masked)
        run("daemon_reload")
        run("unit_status", DEMO_UNIT)
        run("unit_unmask", DEMO_UNIT)
        container_link(masked)
        run("daemon_reload")
        run("unit_status", DEMO_UNIT)

        heading("failures: False, and get_last_error tells why")
        run("unit_enable", "nosuch.service")
        run("unit_control", DEMO_UNIT, "NoSuchMethod")
        run("unit_status", "")

        heading("host names, time zone and wall message")
        run("get_hostname", "Hostname")
        run("set_hostname", "SetStaticHostname", "varquin-demo")
        run("get_hostname", "StaticHostname")
        print(f"  {'  in the container: /etc/hostname':44}    {c.path('/etc/hostname').read_text().strip()}")
        run("set_hostname", "SetStaticHostname", "bad name!")
        run("set_timezone", "Europe/Berlin")
        container_link("/etc/localtime")
        run("set_timezone", "Nowhere/Atlantis")
        run("set_wall_message", "varquin tour: powering off")

        heading("power")
        run("machine_poweroff", "varquin tour: powering off")
        try:
            status = c.proc.wait(timeout=60)
            print(f"  the container powered off (systemd-nspawn exited with status {status})")
        except subprocess.TimeoutExpired:
            print("  the container did not power off within 60 s; stopping it")
        heading("tearing down the container and its mounts")
    _varquin.deinit_client()
    print("  done: no container, no mounts, no folders left")


def main():
    print(f"_varquin: {_varquin.__doc__}")
    if host_has_systemd():
        read_only_tour()
        return 0
    try:
        container_tour()
    except Unavailable as e:
        print(f"  the throwaway container cannot run here: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\n  interrupted: the container and its mounts have been torn down", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())

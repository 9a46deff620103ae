"""A tour of varquin.

Where this host's PID 1 is systemd, the tour only reads: the status of a few
units and the host name.  Otherwise it boots this machine's own systemd in a
throwaway container over an overlay of / and walks the package's main path
there: a unit file installed before boot is enabled (every change shown),
started and waited for, its status and properties read; a unit that fails
and one that does not exist raise their exceptions; host name, time zone and
wall message are set and read back from the container's files; then the
low-level module functions, and a power-off.  Last, a fleet status over three
containers reached over SSH, where sshd is available.  Containers and mounts
are torn down at the end, also on Ctrl-C or SIGTERM.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import _varquin
import varquin
from testing import remote
from testing.container import Container, Unavailable
from varquin import fleet, host, systemd

DEMO = "vq-demo.service"
FAILS = "vq-demo-fails.service"
DEMO_FILES = {
    f"/lib/systemd/system/{DEMO}": "[Unit]\nDescription=varquin tour demo unit\n"
    "[Service]\nExecStart=/bin/sleep infinity\n"
    "[Install]\nWantedBy=multi-user.target\nAlias=vq-demo-alias.service\n",
    f"/lib/systemd/system/{FAILS}": "[Unit]\nDescription=varquin tour unit that fails\n"
    "[Service]\nType=oneshot\nExecStart=/bin/false\n",
}


def heading(text):
    print(f"\n== {text}", flush=True)


def show(text, value=None):
    print(f"  {text:52} -> {value!r}" if value is not None else f"  {text}", flush=True)


def raises(text, fn):
    """Runs fn, which is meant to raise, and shows the exception."""
    try:
        fn()
    except (varquin.BusError, systemd.JobFailed) as e:
        show(text, f"raises {type(e).__name__}: {e}")
    else:
        show(text, "did not raise")


def host_has_systemd():
    """True when this host's PID 1 is systemd and its system bus answers."""
    if not Path("/run/systemd/system").is_dir():
        return False
    ok = _varquin.unit_status("basic.target")[0]
    _varquin.get_last_error(0)
    return ok


def read_only_tour():
    heading("this host runs systemd: a read-only tour of its system bus")
    try:
        with systemd.Manager() as m:
            for unit in ("basic.target", "dbus.service", "nosuch.service"):
                show(f"m.unit({unit!r}).status", m.unit(unit).status)
        show("host.hostname()", host.hostname())
    except (varquin.BusError, OSError) as e:
        show(f"varquin cannot use this host's bus: {type(e).__name__}: {e}")
    for unit in ("basic.target", "nosuch.service"):
        show(f"_varquin.unit_status({unit!r})", _varquin.unit_status(unit))


def api_tour(c):
    def in_container(path):
        target = c.path(path)
        return os.readlink(target) if target.is_symlink() else "(no link)"

    heading("varquin.systemd: unit files, jobs, status")
    with systemd.Manager() as m:  # its own connection to the system bus: the container's
        for change in m.enable(DEMO):
            show(f"m.enable({DEMO!r}): {change.type} {change.path}", change.source)
            show(f"  in the container: {change.path}", in_container(change.path))
        show(f"m.enable({DEMO!r}) again", m.enable(DEMO))
        began = time.monotonic()
        job = m.start(DEMO, wait=True, timeout=30)
        show(f"m.start({DEMO!r}, wait=True) in {time.monotonic() - began:.2f} s", job)
        unit = m.unit(DEMO)
        show("unit.status (one GetAll)", unit.status)
        props = unit.properties()
        for name in ("Names", "CanStart", "ActiveEnterTimestamp"):
            show(f"unit.properties()[{name!r}]", props[name])
        show("MainPID of its Service interface", unit.properties("org.freedesktop.systemd1.Service")["MainPID"])
        show("m.list_units(patterns=('vq-*',))", [u.name for u in m.list_units(patterns=("vq-*",))])

        heading("failures are exceptions, with the manager's own text")
        raises(f"m.start({FAILS!r}, wait=True)", lambda: m.start(FAILS, wait=True, timeout=30))
        raises("m.start('nosuch.service')", lambda: m.start("nosuch.service"))
        show(f"m.mask({DEMO!r})", m.mask(DEMO))
        m.daemon_reload()
        show("m.daemon_reload(); unit.status", unit.status)
        raises(f"m.restart({DEMO!r}) of the masked unit", lambda: m.restart(DEMO))
        show(f"m.unmask({DEMO!r})", m.unmask(DEMO))
        m.daemon_reload()
        show(f"m.stop({DEMO!r}, wait=True).result", m.stop(DEMO, wait=True, timeout=30).result)
        show(f"m.disable({DEMO!r})", [c.type for c in m.disable(DEMO)])
        show("m.unit('nosuch.service').status", m.unit("nosuch.service").status)

    heading("varquin.host: host names, time zone, wall message")
    host.set_hostname(static="varquin-demo", pretty="varquin demo host")
    show("host.set_hostname(static=..., pretty=...); host.hostname()", host.hostname())
    show("  in the container: /etc/hostname", c.path("/etc/hostname").read_text().strip())
    host.set_timezone("Europe/Berlin")
    show("host.set_timezone('Europe/Berlin'); /etc/localtime", in_container("/etc/localtime"))
    raises("host.set_timezone('Nowhere/Atlantis')", lambda: host.set_timezone("Nowhere/Atlantis"))
    host.set_wall_message("varquin tour: powering off soon")


def low_level_tour():
    heading("the low-level layer: module functions that return flags and record errors")
    _varquin.deinit_client()  # the next call connects to the container's bus
    show(f"_varquin.unit_control({DEMO!r}, 'StartUnit')", _varquin.unit_control(DEMO, "StartUnit"))
    show(f"_varquin.unit_status({DEMO!r})", _varquin.unit_status(DEMO))
    show("_varquin.unit_enable('nosuch.service')", _varquin.unit_enable("nosuch.service"))
    show("_varquin.get_last_error(0)", _varquin.get_last_error(0))
    show("_varquin.get_hostname('StaticHostname')", _varquin.get_hostname("StaticHostname"))


def container_tour():
    heading("this host's PID 1 is not systemd: booting systemd in a throwaway container")
    began = time.monotonic()
    with Container(files=DEMO_FILES, progress=lambda line: show(line)) as c:
        show(f"booted in {time.monotonic() - began:.1f} s; its system bus: {c.bus_address}")
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = c.bus_address
        api_tour(c)
        low_level_tour()
        heading("power")
        host.poweroff("varquin tour: powering off")
        show("host.poweroff(message)")
        try:
            show(f"the container powered off (systemd-nspawn exited with status {c.proc.wait(timeout=60)})")
        except subprocess.TimeoutExpired:
            show("the container did not power off within 60 s; stopping it")
        heading("tearing down the container and its mounts")
    _varquin.deinit_client()
    show("done: no container, no mounts, no folders left")


def fleet_tour():
    heading("a fleet: three containers reached over SSH")
    reason = remote.why_not()
    if reason:
        show(f"skipped: throwaway hosts over SSH cannot run here ({reason})")
        return
    with remote.RemoteHosts(3, progress=lambda line: show(line)) as hosts, hosts.use():
        results = fleet.run(hosts.remotes, lambda m: m.unit("basic.target").status, timeout=60)
        show("fleet.run(hosts, lambda m: m.unit('basic.target').status, timeout=60):")
        for name, result in results.items():
            show(f"  {name}", result.value if result.ok else f"failed: {type(result.error).__name__}: {result.error}")
        argv = [sys.executable, "-m", "varquin", "-H", ",".join(hosts.remotes), "status", "basic.target"]
        show("python -m varquin -H " + ",".join(hosts.remotes) + " status basic.target")
        cli = subprocess.run(argv, capture_output=True, text=True, env=hosts.env(), timeout=120)
        for line in (cli.stdout + cli.stderr).splitlines():
            show(f"  {line}")
        show(f"  exit status {cli.returncode}")
        heading("tearing down the hosts")


def main():
    print((varquin.__doc__ or "varquin").strip().splitlines()[0])
    try:
        if host_has_systemd():
            read_only_tour()
        else:
            container_tour()
        fleet_tour()
    except Unavailable as e:
        print(f"  the throwaway container cannot run here: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\n  interrupted: containers and mounts have been torn down", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())

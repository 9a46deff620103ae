"""The example service written with varquin.daemon (examples/notify_service.py
and its units in examples/systemd/), run by the real manager in a throwaway
container of its own on each systemd of the real tier: socket activation with
two named sockets, READY=1 only once its bus name is taken, a client socket
kept in the fd store across a restart, a reload that returns once READY=1
follows RELOADING=1, and the watchdog: pinged from the event loop for 30 s
without a kill, then a blocked loop killed and restarted.

On systemd 252 the service is the host's own interpreter and package; on the
Debian 13 root (systemd 257) the manager runs it in the host's root, bound
read-only into the container (RootDirectory=), so that the same interpreter
and build serve against the newer manager."""

import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

import varquin
from testing.container import Container, Unavailable
from testing.env import child_env, wait_for
from varquin import systemd

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
UNIT = "notify-service.service"
SOCKETS = ("notify-service-web.socket", "notify-service-admin.socket")
NAME = "org.example.Notify"
PATH = "/org/example/Notify"
HOST_ROOT = "/vq-host"  # where the host's root is bound in the 257 container
NOTIFY_RELOAD = 253  # the first systemd with Type=notify-reload

pytestmark = pytest.mark.real_systemd


def _drop_in(root):
    """The test's changes to the shipped unit: the interpreter running the
    tests and the example in this tree, a 2 s watchdog, and what each
    systemd needs."""
    # No core file of the process the watchdog kills (with SIGABRT).
    lines = ["[Service]", "ExecStart=", "WatchdogSec=2", "LimitCORE=0"]
    example = EXAMPLES / "notify_service.py"
    if root.lower == Path("/"):
        lines.append(f"ExecStart={sys.executable} {example} /etc/notify-service.toml")
    else:
        # The host's root, read-only, with the container's bus, notification
        # socket and the configuration bound into a /run of its own.
        lines += [
            f"ExecStart={sys.executable} {example} /run/notify-service.toml",
            f"RootDirectory={HOST_ROOT}",
            "MountAPIVFS=yes",
            "TemporaryFileSystem=/run",
            "BindPaths=/run/dbus /run/systemd/notify",
            "BindReadOnlyPaths=/etc/notify-service.toml:/run/notify-service.toml",
        ]
    if (root.version or 0) < NOTIFY_RELOAD:
        # Type=notify-reload is unknown here (ignored with a warning): the
        # service reloads on SIGHUP and tells RELOADING=1 ... READY=1 alike,
        # but the reload job ends when kill does.
        lines += ["Type=notify", "ExecReload=/bin/kill -HUP $MAINPID"]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def service_container(systemd_root):
    reason = systemd_root.why_not()
    if reason:
        pytest.skip(f"the real systemd tier cannot run on {systemd_root.label}: {reason}")
    units = EXAMPLES / "systemd"
    files = {f"/etc/systemd/system/{name}": (units / name).read_text() for name in (UNIT, *SOCKETS)}
    files[f"/etc/systemd/system/{UNIT}.d/test.conf"] = _drop_in(systemd_root)
    files["/etc/dbus-1/system.d/org.example.Notify.conf"] = (units / "org.example.Notify.conf").read_text()
    files["/etc/notify-service.toml"] = 'greeting = "hello"\n'
    binds = {} if systemd_root.lower == Path("/") else {HOST_ROOT: "/"}
    container = Container(
        files=files, lower=systemd_root.lower, unified_cgroup=systemd_root.unified_cgroup, binds=binds
    )
    try:
        container.start()
    except Unavailable as e:
        pytest.skip(f"the real systemd tier cannot run on {systemd_root.label}: {e}")
    try:
        yield container
    finally:
        container.stop()


@pytest.fixture(scope="module")
def manager(service_container):
    with varquin.Bus(service_container.bus_address) as bus:
        yield systemd.Manager(bus, root=f"/proc/{service_container.init[0]}/root")


def _service(m):
    return m.unit(UNIT).properties(systemd.SERVICE_INTERFACE)


def _connect(container, name):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(30)
    sock.connect(f"/proc/{container.init[0]}/root/run/notify-service/{name}.sock")
    return sock


def _ask(sock, line):
    """The reply to ``line``; None sends nothing (the admin socket answers
    as soon as it is connected, and may have closed before a line would
    arrive)."""
    if line is not None:
        sock.sendall(line.encode() + b"\n")
    reply = b""
    while not reply.endswith(b"\n"):
        chunk = sock.recv(4096)
        assert chunk, "the service closed the connection"
        reply += chunk
    return reply.decode().split()


def test_sockets_ready_after_the_name_and_a_client_kept_across_restart(service_container, manager):
    for unit in SOCKETS:
        manager.start(unit, wait=True, timeout=30)
    # The first connection starts the service; its answer comes once it is up.
    web = _connect(service_container, "web")
    with web:
        greeting, text, _, first_pid = _ask(web, "one")
        assert (greeting, text) == ("hello", "one")
        service = _service(manager)
        assert service["MainPID"] == int(first_pid) and "1 web clients" in service["StatusText"]
        with _connect(service_container, "admin") as admin:
            assert _ask(admin, None) == ["clients", "1"]

        # The start job ends with READY=1, sent after the name was taken.
        manager.restart(UNIT, wait=True, timeout=60)
        (owner,) = manager.bus.call(
            "org.freedesktop.DBus",
            "/org/freedesktop/DBus",
            "org.freedesktop.DBus",
            "GetConnectionUnixProcessID",
            "s",
            NAME,
        )
        second_pid = _service(manager)["MainPID"]
        assert owner == second_pid != int(first_pid)
        # The same connection, kept by the fd store, is answered by the new process.
        assert _ask(web, "two") == ["hello", "two", "from", str(second_pid)]
    assert wait_for(lambda: "0 web clients" in _service(manager)["StatusText"], timeout=30)


def test_reload_returns_once_the_new_configuration_is_in_use(service_container, manager, systemd_root):
    if (systemd_root.version or 0) < NOTIFY_RELOAD:
        pytest.skip(
            f"systemd {systemd_root.label} has no Type=notify-reload (253 and newer): its reload "
            "job ends when ExecReload's kill does, not at READY=1"
        )
    manager.start(UNIT, wait=True, timeout=30)
    # The service waits a second between reading the file and READY=1: a
    # reload that did not wait for READY=1 would meet the old greeting.
    # systemctl is the container's own.
    config = service_container.path("/etc/notify-service.toml")
    config.write_text('greeting = "hi"\nreload_pause = 1.0\n')
    try:
        reload = subprocess.run(
            ["nsenter", "-t", str(service_container.init[0]), "-m", "-p", "--", "systemctl", "reload", UNIT],
            capture_output=True,
            text=True,
            timeout=60,
            env={k: v for k, v in child_env().items() if k != "DBUS_SYSTEM_BUS_ADDRESS"},
        )
        assert reload.returncode == 0, reload.stderr
        assert manager.bus.call(NAME, PATH, NAME, "Greeting") == ("hi",)
        assert _service(manager)["StatusText"].endswith("greeting 'hi'")
    finally:
        config.write_text('greeting = "hello"\n')
        manager.reload(UNIT, wait=True, timeout=60)


def test_the_watchdog_is_pinged_from_the_loop_and_a_blocked_loop_is_restarted(service_container, manager):
    manager.start(UNIT, wait=True, timeout=30)
    before = _service(manager)
    pid, restarts = before["MainPID"], before["NRestarts"]
    # 30 s of a 2 s watchdog: the loop's pings keep the service alive, and
    # the manager records each one.
    stamps = set()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        now = _service(manager)
        assert (now["MainPID"], now["NRestarts"]) == (pid, restarts), "killed while pinging"
        stamps.add(now["WatchdogTimestampMonotonic"])
        time.sleep(1.5)
    assert len(stamps) >= 10

    # Block the loop for longer than the watchdog's period: no ping, a kill,
    # and Restart=on-failure starts it again.
    with pytest.raises(varquin.BusError):
        manager.bus.call(NAME, PATH, NAME, "Stall", "d", 30.0, timeout=20)
    assert wait_for(
        lambda: _service(manager)["NRestarts"] == restarts + 1 and manager.unit(UNIT).status.active == "active",
        timeout=30,
    )
    assert _service(manager)["MainPID"] not in (0, pid)
    journal = manager.unit(UNIT).journal(lines=50)
    assert any("watchdog timeout" in line.message.lower() for line in journal), [e.message for e in journal]

"""The user's own manager: Bus.user() finds the user's bus where the session
bus is, else the manager's own socket in the runtime folder (a connection
to that one peer, served here by the manager's substitute listening on a
socket of its own), and Manager(user=True) drives it in both worlds."""

import asyncio
import io
import json
import os
import shutil
import tempfile
from pathlib import Path

import pytest

import varquin
from testing.env import child_env
from testing.peers.peerlib import DirectPeer
from varquin import aio, cli, systemd
from varquin.aio import systemd as asystemd


@pytest.fixture
def runtime_dir(monkeypatch):
    """A runtime folder of the user's ($XDG_RUNTIME_DIR), with no session bus
    address set.  Short: a socket path must stay under 108 bytes."""
    folder = Path(tempfile.mkdtemp(prefix="vq-user-"))
    monkeypatch.delenv("DBUS_SESSION_BUS_ADDRESS", raising=False)
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(folder))
    try:
        yield folder
    finally:
        shutil.rmtree(folder)


@pytest.fixture
def private_socket(runtime_dir):
    """The manager's substitute on $XDG_RUNTIME_DIR/systemd/private."""
    (runtime_dir / "systemd").mkdir()
    peer = DirectPeer("systemd_services.py", runtime_dir / "systemd" / "private", env=child_env())
    try:
        yield runtime_dir / "systemd" / "private"
    finally:
        peer.stop()


@pytest.mark.parametrize("how", ["session address", "runtime folder"])
def test_the_user_bus_is_where_the_session_bus_is(system_bus, runtime_dir, monkeypatch, how):
    if how == "session address":
        monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", system_bus.address)
        expected = system_bus.address
    else:
        (runtime_dir / "bus").symlink_to(system_bus.socket)
        expected = f"unix:path={runtime_dir}/bus"
    # A private socket beside it is not used while the bus answers.
    (runtime_dir / "systemd").mkdir()
    (runtime_dir / "systemd" / "private").touch()
    with varquin.Bus.user(timeout=10) as bus:
        assert bus.address == expected and bus.unique_name.startswith(":")


def test_without_a_user_bus_the_managers_own_socket_serves_the_blocking_manager(private_socket):
    with varquin.Bus.user(timeout=10) as bus:
        assert bus.address == f"unix:path={private_socket}" and bus.unique_name == ""
    # The manager's signals carry no sender there: a job's end is still seen.
    with systemd.Manager(user=True) as m:
        assert m.user and m.bus.unique_name == ""
        assert m.start("vq-plain.service", wait=True, timeout=10).result == "done"
        assert m.unit("vq-plain.service").status.active == "active"
        result = m.run(["/bin/true"], wait=True, timeout=10)
        assert (result.result, result.exit_status) == ("success", 0)
    assert m.bus.closed  # the Manager opened it, the Manager closed it


def test_without_a_user_bus_the_managers_own_socket_serves_the_asyncio_manager(private_socket):
    async def body():
        async with await aio.Bus.user(timeout=10) as abus, asystemd.Manager(abus, user=True) as m:
            job = await m.start("vq-plain.service", wait=True, timeout=10)
            assert job.result == "done"
            seen = []
            async for status in m.unit("vq-plain.service").watch(timeout=0.5):
                seen.append(status.active)
            assert seen == ["active"]

    asyncio.run(body())


def test_the_user_manager_is_reached_on_its_own_socket_first_as_systemctl_does(system_bus, private_socket, monkeypatch):
    # Through the user bus the manager asks polkit before it changes units.
    monkeypatch.setenv("DBUS_SESSION_BUS_ADDRESS", system_bus.address)
    with varquin.Bus.user(timeout=10) as bus:
        assert bus.address == system_bus.address
    with varquin.Bus.user(timeout=10, manager=True) as bus:
        assert bus.address == f"unix:path={private_socket}"
    with systemd.Manager(user=True) as m:  # the substitute serves one connection at a time
        assert m.bus.address == f"unix:path={private_socket}"


def test_with_neither_the_user_bus_error_is_raised(runtime_dir):
    with pytest.raises(ConnectionError, match=f"{runtime_dir}/bus"):
        varquin.Bus.user(timeout=10)


def test_the_command_line_drives_the_users_manager_here_and_over_ssh(
    private_socket, services, system_bus, tmp_path, monkeypatch
):
    out = io.StringIO()
    assert cli.main(["--user", "start", "vq-plain"], stdout=out) == 0
    out = io.StringIO()
    assert cli.main(["--user", "--json", "is-active", "vq-plain", "vq-static"], stdout=out) == 0
    assert [(row["unit"], row["active"]) for row in json.loads(out.getvalue())] == [
        ("vq-plain.service", "active"),
        ("vq-static.service", "inactive"),
    ]
    # Over SSH, the bridge there is asked for the user's bus (here: the private
    # bus, where the manager's substitute is).
    args = tmp_path / "args"
    folder = tmp_path / "bin"
    folder.mkdir()
    (folder / "ssh").write_text(
        f'#!/bin/sh\nunset LD_PRELOAD\necho "$@" > {args}\nexec socat STDIO UNIX-CONNECT:{system_bus.socket}\n'
    )
    (folder / "ssh").chmod(0o755)
    monkeypatch.setenv("PATH", f"{folder}{os.pathsep}{os.environ['PATH']}")
    services.reset()
    assert cli.main(["-H", "web1", "--user", "start", "vq-plain"], stdout=out) == 0
    assert args.read_text() == "-xT -- web1 systemd-stdio-bridge --bus-path=unix:path=$XDG_RUNTIME_DIR/bus\n"
    assert [c["body"] for c in services.calls("StartUnit")] == [["vq-plain.service", "replace"]]

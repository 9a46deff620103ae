"""Throwaway hosts reached over SSH answer through sd-bus's remote transport
(`busctl -H`, the transport `systemctl -H` uses), and a host that goes down
fails at once (testing/remote_tier.py boots them)."""

from __future__ import annotations

import subprocess

from testing.env import child_env
from testing.processes import stop_process
from testing.remote import RemoteHosts

STATE = (
    "get-property",
    "org.freedesktop.systemd1",
    "/org/freedesktop/systemd1",
    "org.freedesktop.systemd1.Manager",
    "SystemState",
)
# Seconds: a hang fails the test instead of stalling the run.
BOUND = 30


def busctl_remote(hosts: RemoteHosts, remote: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        ["busctl", "-H", remote, *STATE],
        check=False,
        env=hosts.env(child_env()),
        capture_output=True,
        text=True,
        timeout=BOUND,
    )


def test_each_host_answers_over_ssh(remote_hosts: RemoteHosts) -> None:
    for remote in remote_hosts.remotes:
        p = busctl_remote(remote_hosts, remote)
        assert (p.returncode, p.stderr) == (0, "")
        assert p.stdout.strip() in ('s "running"', 's "degraded"')


def test_a_host_that_goes_down_fails_fast(remote_hosts: RemoteHosts) -> None:
    hosts = remote_hosts
    session = subprocess.Popen(
        [str(hosts.bin / "ssh"), hosts.names[1], "echo up; exec sleep infinity"],
        env=hosts.env(child_env()),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    try:
        assert session.stdout is not None and session.stdout.readline() == "up\n"
        hosts.container(1).stop()
        # The open session ends with its host...
        assert session.wait(timeout=BOUND) != 0
    finally:
        stop_process(session)
    # ...a new connection is refused at once, naming the host, while the
    # other hosts still answer; a name that is not a host of the run never
    # leaves the machine.
    for remote, why in [
        (hosts.remotes[1], "vq-host-1: the container is not running"),
        ("root@example.org", "example.org: not a host of this run"),
    ]:
        p = busctl_remote(hosts, remote)
        assert p.returncode != 0 and why in p.stderr
    assert busctl_remote(hosts, hosts.remotes[0]).returncode == 0


def test_a_users_own_manager_over_ssh_beside_systemctl_user_there(remote_hosts: RemoteHosts) -> None:
    """What systemctl refuses (-H with --user): root's own manager on host 0,
    through systemd-stdio-bridge on root's own bus there (its login's
    runtime folder, set by the hosts' sshd as a PAM login would)."""
    import io

    from testing.env import wait_for
    from varquin import Bus, systemd
    from varquin.cli import main

    hosts, unit = remote_hosts, "vq-remote-user.service"
    assert hosts.ssh(0, "loginctl enable-linger root")[0] == 0
    assert wait_for(lambda: hosts.ssh(0, "systemctl is-active user@0.service")[0] == 0, timeout=60)
    with hosts.use(), Bus.remote(hosts.remotes[0], user=True, timeout=BOUND) as bus:
        with systemd.Manager(bus, user=True) as m:
            m.run(["/bin/sleep", "600"], name=unit)
            assert m.unit(unit).wait_for(active="active", timeout=BOUND).sub == "running"
            assert hosts.ssh(0, f"systemctl --user is-active {unit}") == (0, "active")
            out = io.StringIO()
            assert main(["-H", hosts.remotes[0], "--user", "stop", unit], stdout=out, stderr=io.StringIO()) == 0
            assert hosts.ssh(0, f"systemctl --user is-active {unit}")[0] == 3
            assert m.unit(unit).status.active in ("inactive", "failed")

"""The user's own manager in the container: a user with lingering on, its
user@UID.service running, driven by this package run there as that user
(as systemctl --user runs: the user manager takes no other user's
connection, root's from outside included; a root that is not this
machine's gets this interpreter and the clone bound in) beside systemctl --user,
systemd-run --user and journalctl --user-unit run as that user."""

import json
import os
import shlex
import sys
from pathlib import Path

import pytest

from testing.container import Container, Unavailable, inside
from testing.env import wait_for

pytestmark = pytest.mark.real_systemd

USER = "vquser"
LINGER = "/var/lib/systemd/linger"

# Runs as root in the container with this interpreter, takes everything it
# needs in, then becomes the user (the interpreter's own files may not be
# the user's to read) and does what argv[2] (JSON) asks of its manager.
SCRIPT = r"""
import io, json, os, pwd, sys
import varquin, varquin.cli, varquin.journal, varquin.systemd
from varquin import systemd
pw = pwd.getpwnam(sys.argv[1])
os.initgroups(pw.pw_name, pw.pw_gid)
os.setgid(pw.pw_gid)
os.setuid(pw.pw_uid)
os.environ["XDG_RUNTIME_DIR"] = f"/run/user/{pw.pw_uid}"
os.environ.pop("DBUS_SESSION_BUS_ADDRESS", None)
os.environ.pop("DBUS_SYSTEM_BUS_ADDRESS", None)
ask, out = json.loads(sys.argv[2]), {}
with systemd.Manager(user=True) as m:
    if "run" in ask:
        r = m.run(ask["run"], name="vq-user-echo", wait=True, timeout=30, collect=True)
        out["run"] = [r.result, r.exit_status, [e.message for e in r.journal or []]]
    if "start" in ask:
        m.run(["/bin/sleep", "600"], name=ask["start"])
        out["start"] = list(m.unit(ask["start"]).wait_for(active="active", timeout=30))
    if "stop" in ask:
        out["stop"] = m.stop(ask["stop"], wait=True, timeout=30).result
    if "enable" in ask:
        out["enable"] = [list(c) for c in m.enable(ask["enable"])]
    if "journal" in ask:
        out["journal"] = [e.message for e in m.unit(ask["journal"]).journal(20)]
if "cli" in ask:
    text = io.StringIO()
    out["cli"] = [varquin.cli.main(["--user", *ask["cli"]], stdout=text, stderr=io.StringIO()), text.getvalue()]
print(json.dumps(out))
"""


# This interpreter and the clone it runs from: bound into a container whose
# root is another system's (an overlay of this machine's root has them).
BINDS = {folder: folder for folder in (sys.base_prefix, str(Path(sys.prefix).resolve().parent))}


@pytest.fixture(scope="module")
def user_container(systemd_root):
    reason = systemd_root.why_not()
    if reason:
        pytest.skip(f"the real systemd tier cannot run on {systemd_root.label}: {reason}")
    own = systemd_root.lower == Path("/")
    if os.environ.get("VQ_SANITIZED"):
        # The leak checker stops the process to scan it, which a process
        # that became another user may no longer let it do: it hangs.
        pytest.skip("under the sanitizers a process that changes its user cannot be checked for leaks")
    c = Container(lower=systemd_root.lower, unified_cgroup=systemd_root.unified_cgroup, binds={} if own else BINDS)
    try:
        c.start()
    except Unavailable as e:
        pytest.skip(f"the real systemd tier cannot run on {systemd_root.label}: {e}")
    try:
        yield c
    finally:
        c.stop()


@pytest.fixture
def user(user_container):
    c = user_container
    assert c.path(sys.executable).exists()
    made = inside(c, f"id -u {USER} >/dev/null 2>&1 || useradd -m -G systemd-journal {USER} 2>&1")
    assert made[0] == 0, made
    uid = int(inside(c, f"id -u {USER}")[1])
    # Lingering as loginctl turns it on; where logind refuses in the
    # container (Debian 13's and testing's: "Protocol driver not attached"),
    # as its file, and the user's manager started as logind would start it.
    linger = f"loginctl enable-linger {USER} || {{ mkdir -p {LINGER} && touch {LINGER}/{USER}; }}"
    lingering = inside(c, f"{{ {linger}; }} 2>&1 && systemctl start user@{uid}.service 2>&1")
    assert lingering[0] == 0, lingering
    assert wait_for(lambda: inside(c, f"systemctl is-active user@{uid}.service")[0] == 0, timeout=60)
    return c, uid


def ours(c, **ask):
    status, out = inside(c, shlex.join([sys.executable, "-c", SCRIPT, USER, json.dumps(ask)]) + " 2>&1", True)
    assert status == 0, out
    return json.loads(out.splitlines()[-1])


def theirs(c, uid, command):
    return inside(c, f"runuser -u {USER} -- env XDG_RUNTIME_DIR=/run/user/{uid} {command}")


def test_user_units_run_started_stopped_and_enabled_beside_systemctl_user(user):
    c, uid = user
    # The line stays a moment before the end: journald reads the output stream
    # apart from the manager's own lines about the end.
    shell = ["/bin/sh", "-c", "echo vq-user-hello; sleep 0.5; exit 3"]
    # systemd-run --user without --wait: --wait needs a user bus, which the
    # Debian roots here do not run (no dbus-user-session); the manager's own
    # socket serves both sides.
    assert theirs(c, uid, "systemd-run --user --quiet -u vq-user-theirs " + shlex.join(shell))[0] == 0
    show = "systemctl --user show -p ActiveState,Result,ExecMainStatus vq-user-theirs.service"
    assert wait_for(lambda: "ActiveState=failed" in theirs(c, uid, show)[1], timeout=30)
    ended = dict(line.split("=", 1) for line in theirs(c, uid, show)[1].split())
    got = ours(c, run=shell)["run"]
    assert got[:2] == [ended["Result"], int(ended["ExecMainStatus"])] and "vq-user-hello" in got[2]

    unit = "vq-user-sleep.service"
    assert ours(c, start=unit)["start"] == ["loaded", "active", "running"]
    assert theirs(c, uid, f"systemctl --user is-active {unit}") == (0, "active\n")
    got = ours(c, cli=["is-active", unit])["cli"]
    assert got[0] == 0 and got[1].split()[-1] == "active"  # our table ends with the state
    assert ours(c, stop=unit)["stop"] == "done"
    stopped = theirs(c, uid, f"systemctl --user is-active {unit}")  # 3, or 4 once it is unloaded (257 on)
    assert stopped[1] == "inactive\n" and ours(c, cli=["is-active", unit])["cli"][0] == stopped[0]

    home = Path(f"/home/{USER}/.config/systemd/user")
    assert inside(c, f"runuser -u {USER} -- mkdir -p {home}")[0] == 0
    c.path(str(home / "vq-user-enabled.service")).write_text(
        "[Service]\nExecStart=/bin/true\n[Install]\nWantedBy=default.target\n"
    )
    changes = ours(c, enable="vq-user-enabled")["enable"]
    assert [t for t, _path, _source in changes] == ["symlink"]
    assert theirs(c, uid, "systemctl --user is-enabled vq-user-enabled.service") == (0, "enabled\n")

    # The unit's journal as journalctl --user-unit shows it.
    mine = ours(c, journal="vq-user-echo.service")["journal"]
    _, lines = theirs(c, uid, "journalctl --user-unit vq-user-echo.service -o cat -n 20 --no-pager")
    assert "vq-user-hello" in mine and mine == lines.splitlines()

"""The user's own manager in the container: a user with lingering on, its
user@UID.service running, driven by this package run there as that user
(as systemctl --user runs: the user manager takes no other user's
connection, root's from outside included) beside systemctl --user,
systemd-run --user and journalctl --user-unit run as that user."""

import json
import shlex
import sys
from pathlib import Path

import pytest

from testing.container import inside
from testing.env import wait_for

pytestmark = pytest.mark.real_systemd

USER = "vquser"

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


@pytest.fixture
def user(real_systemd, systemd_root):
    c = real_systemd
    if not c.path(sys.executable).exists():
        pytest.skip(f"this interpreter is not in the {systemd_root.label} root, so it cannot run there as the user")
    assert inside(c, f"id -u {USER} >/dev/null 2>&1 || useradd -m -G systemd-journal {USER}")[0] == 0
    uid = int(inside(c, f"id -u {USER}")[1])
    assert inside(c, f"loginctl enable-linger {USER}")[0] == 0
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
    status, _ = theirs(c, uid, "systemd-run --user --quiet --wait --collect " + shlex.join(shell))
    got = ours(c, run=shell)["run"]
    assert got[:2] == ["exit-code", status] and "vq-user-hello" in got[2]

    unit = "vq-user-sleep.service"
    assert ours(c, start=unit)["start"] == ["loaded", "active", "running"]
    assert theirs(c, uid, f"systemctl --user is-active {unit}") == (0, "active\n")
    got = ours(c, cli=["is-active", unit])["cli"]
    assert got[0] == 0 and got[1].split()[-1] == "active"  # our table ends with the state
    assert ours(c, stop=unit)["stop"] == "done"
    assert theirs(c, uid, f"systemctl --user is-active {unit}") == (3, "inactive\n")
    assert ours(c, cli=["is-active", unit])["cli"][0] == 3

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

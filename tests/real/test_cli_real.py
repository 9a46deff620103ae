"""python -m varquin beside the container's own systemctl and systemd-run,
on each systemd of the real tier: the same command after the same setup
must end with the same exit status, and the state words it prints
(is-active, is-enabled) must be the same."""

import io
import json
import shlex
import subprocess

import pytest

from testing.env import child_env
from varquin.cli import main

NOSUCH = "vq-nosuch.service"

# (setup run by the container's systemctl first, the command's arguments)
CASES = [
    ([], ["is-active", NOSUCH]),
    ([], ["is-active", NOSUCH, "basic.target"]),
    ([], ["is-active", "vq-api-quick.service", NOSUCH]),
    (["start vq-cli-long"], ["is-active", "vq-cli-long"]),  # no suffix: .service
    ([], ["is-enabled", NOSUCH]),
    ([], ["is-enabled", "vq-api.service", NOSUCH]),
    ([], ["is-enabled", "vq-static.service"]),
    ([], ["start", NOSUCH]),
    ([], ["stop", NOSUCH]),
    ([], ["restart", NOSUCH]),
    ([], ["start", "vq-cli-fail.service"]),
    ([], ["start", "vq-cli-fail.service", NOSUCH]),
    (["stop vq-cli-long"], ["start", "vq-cli-long", NOSUCH]),  # 262 on: no job queued
    ([], ["reload", "vq-api-quick.service"]),
    ([], ["start", "vq-nosuch*"]),
    (["start vq-cli-long"], ["stop", "vq-cli-l*"]),
    ([], ["try-restart", "vq-api-quick.service"]),
    ([], ["reload-or-restart", "vq-api-quick.service"]),
    ([], ["status", NOSUCH]),
    (["start vq-cli-fail || true"], ["status", "vq-cli-fail.service"]),
    ([], ["status", "basic.target"]),
    ([], ["reset-failed", NOSUCH]),
    (["start vq-cli-fail || true"], ["reset-failed", "vq-cli-fail.service"]),
    ([], ["kill", NOSUCH]),
    # restart, not start: systemctl kill returns before the unit has gone,
    # and a start then would find it still active and do nothing, leaving a
    # unit that goes away (SIGHUP counts as a clean exit) under our kill.
    (["restart vq-cli-long"], ["kill", "--signal=HUP", "--kill-whom=main", "vq-cli-long"]),
    (["restart vq-cli-long"], ["kill", "--kill-whom=control", "vq-cli-long"]),
    ([], ["show", "-p", "ActiveState", NOSUCH]),
    ([], ["daemon-reload"]),
    ([], ["list-units", "--failed"]),
    ([], ["list-unit-files", "vq-*"]),
]

RUNS = [
    ["/bin/true"],
    ["/bin/sh", "-c", "exit 7"],
    ["/bin/sh", "-c", "kill -9 $$"],
    ["/bin/sh", "-c", "kill -TERM $$"],
    ["-p", "Environment=A=1 B=2", "-p", "Environment=C=3", "/bin/sh", "-c", 'test "$A$B$C" = 123'],
    ["-p", "RuntimeMaxSec=1s", "-p", "MemoryMax=256M", "/bin/sleep", "30"],
]


JOB_VERBS = ("start", "stop", "restart")


def inside(container, command):
    """Runs a shell command in the container's namespaces, with its own
    binaries: (exit status, stdout)."""
    argv = ["nsenter", "-t", str(container.init[0]), "-m", "-p", "-u", "-i", "-n", "--", "sh", "-c", command]
    # The bus address the tests set is the host's path of the container's
    # bus: inside, the tools find their own.
    env = {k: v for k, v in child_env().items() if k != "DBUS_SYSTEM_BUS_ADDRESS"}
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)
    return done.returncode, done.stdout


def ours(container, argv):
    out, err = io.StringIO(), io.StringIO()
    status = main(["-H", container.bus_address, "--json", "--timeout", "60", *argv], stdout=out, stderr=err)
    return status, json.loads(out.getvalue()), err.getvalue()


def prepare(container, setup):
    for command in setup:
        assert inside(container, f"systemctl {command}")[0] == 0, command


@pytest.mark.parametrize("setup,argv", CASES, ids=[" ".join(c[1]) for c in CASES])
def test_each_verb_exits_as_the_containers_systemctl(real_systemd, systemd_root, setup, argv):
    # Which of several units' jobs ran shows in their states afterwards (a
    # pattern's units may be unloaded by then: not compared).
    named = [a for a in argv[1:] if not a.startswith("-") and "*" not in a]
    states = "systemctl is-active " + shlex.join(named) if argv[0] in JOB_VERBS and named else "true"
    prepare(real_systemd, setup)
    theirs, printed = inside(real_systemd, "systemctl --no-pager " + shlex.join(argv))
    after_theirs = inside(real_systemd, states)[1]
    prepare(real_systemd, setup)
    status, rows, err = ours(real_systemd, argv)
    assert status == theirs, (err, printed)
    assert inside(real_systemd, states)[1] == after_theirs
    if argv[0] == "is-active":
        assert [r["active"] for r in rows] == printed.split()
    elif argv[0] == "is-enabled" and printed:
        assert [r["state"] for r in rows][: len(printed.split())] == printed.split()
    elif argv[0] == "show":
        assert [f"{r['property']}={r['value']}" for r in rows] == printed.split()
    elif argv[0] == "stop" and "*" in argv[1]:
        assert [r["unit"] for r in rows] == ["vq-cli-long.service"]  # the pattern matched the loaded unit


@pytest.mark.parametrize("argv", RUNS, ids=[" ".join(a) for a in RUNS])
def test_run_wait_exits_as_the_containers_systemd_run(real_systemd, systemd_root, argv):
    theirs, _ = inside(real_systemd, "systemd-run --quiet --wait " + shlex.join(argv))
    options = argv[: argv.index(next(a for a in argv if a.startswith("/")))]
    status, rows, err = ours(real_systemd, ["run", "--wait", "--collect", *options, "--", *argv[len(options) :]])
    assert status == theirs, (err, rows)
    (row,) = rows
    assert row["unit"].startswith("run-u") and row["result"] in ("success", "exit-code", "signal", "timeout")

"""python -m varquin beside the container's own systemctl and systemd-run,
on each systemd of the real tier: the same command after the same setup
must end with the same exit status, and the state words it prints
(is-active, is-enabled) must be the same."""

import io
import json
import shlex
import time

import pytest

from testing.container import inside
from varquin.cli import main

NOSUCH = "vq-nosuch.service"
NOMATCH = "vq-nomatch*"
SHOWN = "Id,Names,Wants,Description,LoadState,ActiveState,ActiveEnterTimestamp,MainPID,RemainAfterExit"
SHOWN_SERVICE = "TimeoutStartUSec,RuntimeMaxUSec,RestartUSec,ExecStart,MemoryCurrent,CPUWeight,Nope"

# (setup run by the container's systemctl before each side and after both,
# the command's arguments).  Every verb has its success, its missing unit
# (or a pattern that matches nothing) and a bad option.
CASES = [
    ([], ["status", "basic.target"]),
    ([], ["status", NOSUCH]),
    (["start vq-cli-fail || true"], ["status", "vq-cli-fail.service"]),
    ([], ["status", "--lines=x", "basic.target"]),
    (["stop vq-cli-long"], ["start", "vq-cli-long"]),  # no suffix: .service
    ([], ["start", NOSUCH]),
    ([], ["start", "vq-cli-fail.service"]),
    ([], ["start", "vq-cli-fail.service", NOSUCH]),
    (["stop vq-cli-long"], ["start", "vq-cli-long", NOSUCH]),  # 262 on: no job queued
    ([], ["start", NOMATCH]),
    ([], ["start", "--job-mode=bogus", "vq-cli-long"]),
    (["start vq-cli-long"], ["stop", "vq-cli-l*"]),
    ([], ["stop", NOSUCH]),
    ([], ["stop", "--job-mode=bogus", "vq-cli-long"]),
    ([], ["restart", "vq-cli-long"]),
    ([], ["restart", NOSUCH]),
    ([], ["restart", "--job-mode=bogus", "vq-cli-long"]),
    (["start vq-cli-reload"], ["reload", "vq-cli-reload"]),
    ([], ["reload", "vq-api-quick.service"]),  # no ExecReload
    ([], ["reload", NOSUCH]),
    ([], ["reload", "--job-mode=bogus", "vq-cli-reload"]),
    (["start vq-cli-long"], ["try-restart", "vq-cli-long"]),
    ([], ["try-restart", "vq-api-quick.service"]),
    ([], ["try-restart", NOSUCH]),
    ([], ["try-restart", "--job-mode=bogus", "vq-cli-long"]),
    ([], ["reload-or-restart", "vq-api-quick.service"]),
    ([], ["reload-or-restart", NOSUCH]),
    ([], ["reload-or-restart", "--job-mode=bogus", "vq-cli-long"]),
    (["start vq-cli-long"], ["is-active", "vq-cli-long"]),
    ([], ["is-active", NOSUCH]),
    ([], ["is-active", NOSUCH, "basic.target"]),
    ([], ["is-active", "vq-api-quick.service", NOSUCH]),
    ([], ["is-active", "--bogus", "basic.target"]),
    ([], ["is-enabled", "vq-static.service"]),
    ([], ["is-enabled", NOSUCH]),
    ([], ["is-enabled", "vq-api.service", NOSUCH]),
    ([], ["is-enabled", "--bogus", "vq-static.service"]),
    (["disable vq-cli-file"], ["enable", "vq-cli-file"]),
    ([], ["enable", NOSUCH]),
    ([], ["enable", "--bogus", "vq-cli-file"]),
    (["enable vq-cli-file"], ["disable", "vq-cli-file"]),
    ([], ["disable", NOSUCH]),
    ([], ["disable", "--bogus", "vq-cli-file"]),
    (["unmask vq-cli-file"], ["mask", "vq-cli-file"]),
    (["unmask " + NOSUCH], ["mask", NOSUCH]),
    ([], ["mask", "--bogus", "vq-cli-file"]),
    (["mask vq-cli-file"], ["unmask", "vq-cli-file"]),
    ([], ["unmask", NOSUCH]),
    ([], ["unmask", "--bogus", "vq-cli-file"]),
    ([], ["list-units", "--failed"]),
    ([], ["list-units", "--type=service,loaded"]),
    ([], ["list-units", NOMATCH]),
    ([], ["list-units", "--type=bogus"]),
    ([], ["list-unit-files", "vq-*"]),
    ([], ["list-unit-files", NOMATCH]),
    ([], ["list-unit-files", "--state=bogus", "vq-*"]),
    ([], ["list-unit-files", "--type=bogus"]),
    ([], ["daemon-reload"]),
    ([], ["daemon-reload", "extra"]),
    ([], ["show", "-p", SHOWN, "-p", SHOWN_SERVICE, "basic.target", "vq-cli-show.service"]),
    ([], ["show", "--value", "-p", "Id,ActiveState", "basic.target", NOSUCH]),
    ([], ["show", "--all", "-p", "StatusText,ExecMainCode", "vq-cli-show.service"]),
    ([], ["show", "vq-cli-show.service", "basic.target"]),
    ([], ["show", "--all", "vq-cli-show.service"]),
    ([], ["show", "-p", "ActiveState", NOSUCH]),
    ([], ["show", "-p", "Id", NOMATCH]),
    ([], ["show", "--bogus", "basic.target"]),
    (["start vq-cli-fail || true"], ["reset-failed", "vq-cli-fail.service"]),
    ([], ["reset-failed", NOSUCH]),
    ([], ["reset-failed", "--bogus"]),
    # restart, not start: systemctl kill returns before the unit has gone,
    # and a start then would find it still active and do nothing, leaving a
    # unit that goes away (SIGHUP counts as a clean exit) under our kill.
    (["restart vq-cli-long"], ["kill", "--signal=HUP", "--kill-whom=main", "vq-cli-long"]),
    (["restart vq-cli-long"], ["kill", "--kill-whom=control", "vq-cli-long"]),
    ([], ["kill", NOSUCH]),
    (["restart vq-cli-long"], ["kill", "--signal=BOGUS", "vq-cli-long"]),
    (["restart vq-cli-long"], ["kill", "--kill-whom=bogus", "vq-cli-long"]),
]

# (the options of run --wait, the command, the manager's result for our
# run).  No command holds a `$`: systemd-run passes it on unescaped, and the
# manager expands it, so the two sides would run different commands.
RUNS = [
    ([], ["/bin/true"], "success"),
    ([], ["/bin/sh", "-c", "exit 7"], "exit-code"),
    ([], ["/bin/sh", "-c", "kill -TERM 0"], "success"),  # the manager counts SIGTERM as a clean end
    ([], ["/bin/sh", "-c", "kill -KILL 0"], "signal"),
    ([], ["/bin/sh", "-c", "ulimit -c unlimited; kill -SEGV 0"], "core-dump"),
    ([], ["/nonexistent/vq-command"], None),  # refused before anything runs
    ([], ["sh", "-c", "exit 3"], "exit-code"),  # found on PATH
    ([], ["vq-nonexistent"], None),
    (["-p", "Environment=A=1 B=2", "-p", "Environment=C=3"], ["/bin/sh", "-c", "env | grep -qx B=2"], "success"),
    (["-p", "RuntimeMaxSec=1s", "-p", "MemoryMax=256M"], ["/bin/sleep", "30"], "timeout"),
    (["--bogus"], ["/bin/true"], None),
    (["-p", "Bogus=1"], ["/bin/true"], None),
]


def ours(container, argv, text=False):
    """Our command line against the container's manager (its files seen
    through --root): (exit status, rows or stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    common = ["-H", container.bus_address, "--root", f"/proc/{container.init[0]}/root", "--timeout", "60"]
    try:
        status = main([*common, *([] if text else ["--json"]), *argv], stdout=out, stderr=err)
    except SystemExit as refused:  # a command line argparse refused
        status = refused.code
    printed = out.getvalue()
    return status, printed if text or not printed else json.loads(printed), err.getvalue()


def prepare(container, setup):
    for command in setup:
        assert inside(container, f"systemctl {command}")[0] == 0, command


JOB_VERBS = ("start", "stop", "restart")


def same_lines(ours_text, theirs_text):
    """Whether show printed the same lines on both sides, the words of a
    line in any order (the manager may list a unit's dependencies in
    another order from one call to the next)."""
    a, b = ours_text.splitlines(), theirs_text.splitlines()
    return len(a) == len(b) and all(
        x == y or sorted(x.split()) == sorted(y.split()) for x, y in zip(a, b, strict=False)
    )


@pytest.fixture
def utc(monkeypatch):
    """Both sides print timestamps in the caller's time zone, which another
    test may have changed in the container: both run in UTC."""
    monkeypatch.setenv("TZ", "UTC")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize("setup,argv", CASES, ids=[" ".join(c[1]) for c in CASES])
def test_each_verb_exits_as_the_containers_systemctl(real_systemd, systemd_root, setup, argv, utc):
    # Which of several units' jobs ran shows in their states afterwards (a
    # pattern's units may be unloaded by then: not compared).
    named = [a for a in argv[1:] if not a.startswith("-") and "*" not in a]
    states = "systemctl is-active " + shlex.join(named) if argv[0] in JOB_VERBS and named else "true"
    command = "TZ=UTC systemctl --no-pager " + shlex.join(argv)
    prepare(real_systemd, setup)
    theirs, printed = inside(real_systemd, command)
    after_theirs = inside(real_systemd, states)[1]
    prepare(real_systemd, setup)
    status, rows, err = ours(real_systemd, argv, text=argv[0] == "show")
    after_ours = inside(real_systemd, states)[1]
    prepare(real_systemd, setup)
    # A target's dependency lists follow the units loaded at the moment, which
    # other units' starts and garbage collection change between two reads:
    # show is read again, both sides, a bounded number of times.
    for _ in range(3):
        if argv[0] != "show" or same_lines(rows, printed):
            break
        theirs, printed = inside(real_systemd, command)
        status, rows, err = ours(real_systemd, argv, text=True)
    assert status == theirs, (err, printed)
    assert after_ours == after_theirs, (err, printed)
    if argv[0] == "show":  # the very lines systemctl printed
        assert len(rows.splitlines()) == len(printed.splitlines()), err
        for line, theirs_line in zip(rows.splitlines(), printed.splitlines(), strict=True):
            # The manager may list a unit's dependencies in another order from one call to the next.
            assert line == theirs_line or sorted(line.split()) == sorted(theirs_line.split()), err
    elif argv[0] == "is-active" and status != 1:
        assert [r["active"] for r in rows] == printed.split()
    elif argv[0] == "is-enabled" and printed and status != 1:
        assert [r["state"] for r in rows][: len(printed.split())] == printed.split()
    elif argv[0] == "stop" and "*" in argv[1]:
        assert [r["unit"] for r in rows] == ["vq-cli-long.service"]  # the pattern matched the loaded unit


@pytest.mark.parametrize("options,command,result", RUNS, ids=[" ".join(o + c) for o, c, _ in RUNS])
def test_run_wait_exits_as_the_containers_systemd_run(real_systemd, systemd_root, options, command, result):
    assert "$" not in " ".join(options + command)
    theirs, _ = inside(real_systemd, "systemd-run --quiet --wait " + shlex.join(options + command))
    status, rows, err = ours(real_systemd, ["run", "--wait", "--collect", *options, "--", *command])
    assert status == theirs, (err, rows)
    if result is not None:  # the case exercised what it is there for
        (row,) = rows
        assert row["unit"].startswith("run-u") and row["result"] == result, row


def test_status_reads_the_journal_under_root_as_journalctl_does(real_systemd, systemd_root):
    prepare(real_systemd, ["start vq-cli-fail || true"])
    _, theirs = inside(real_systemd, "journalctl --no-pager -o cat -n 5 -u vq-cli-fail.service")
    status, rows, err = ours(real_systemd, ["status", "-n", "5", "vq-cli-fail.service"])
    assert status == 3 and "journal" not in err, err
    assert [line.split(": ", 1)[1] for line in rows[0]["journal"]] == theirs.splitlines()

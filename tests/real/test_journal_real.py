"""The journal beside journalctl on the throwaway container's journal: the
same filters give the same entries in the same order with the same cursors,
times as journalctl shows them, bytes that are not UTF-8 kept, lines written
with send() and the logging Handler read back field by field, and following
resumed from a cursor, blocking and on an asyncio loop."""

import asyncio
import json
import subprocess
import sys
import time

import pytest

import varquin
from testing.env import wait_for
from varquin import journal, systemd
from varquin.aio import journal as aio_journal

# The script of the units run here: three lines, the second not UTF-8.  It
# stays a moment: journald takes the unit of a line's stream from the
# writer's process, and a process already gone leaves its lines without one.
LINES = "echo one; printf 'bin\\377\\376x\\n'; echo three; sleep 1"


@pytest.fixture
def root(real_systemd):
    return f"/proc/{real_systemd.init[0]}/root"


@pytest.fixture
def runs(real_systemd, root):
    """Two units of one name pattern run to their end, and the time after
    which nothing else is compared (entries written later are left out)."""
    with varquin.Bus(real_systemd.bus_address) as bus, systemd.Manager(bus, root=root) as m:
        done = [m.run(["/bin/sh", "-c", LINES], name=f"vq-jr-{n}", wait=True, timeout=30) for n in ("a", "b")]
    # A unit's output reaches journald on a stream of its own, which may be
    # read after the manager's line on the unit's end: wait for all of it.
    for r in done:
        assert wait_for(
            lambda r=r: len(journal.entries(matches={"_SYSTEMD_INVOCATION_ID": r.invocation_id}, root=root)) == 3,
            timeout=30,
        )
    settled = journal.entries(lines=1, root=root)[-1].received
    return done, settled


def journalctl(root, *args):
    shown = subprocess.run(
        ["journalctl", f"--root={root}", "--no-pager", *args], capture_output=True, timeout=60, check=False
    )
    return shown.returncode, shown.stdout


def as_json(root, *args):
    code, out = journalctl(root, "-o", "json", "--all", *args)
    assert code == 0, args
    return [journal.json_entry(json.loads(line)) for line in out.splitlines()]


def at(when):
    return f"@{when.timestamp():.6f}"


def test_filters_select_what_journalctl_selects(root, runs):
    (a, b), settled = runs
    boot_id = a.journal[-1].fields["_BOOT_ID"]
    middle = journal.entries(unit="vq-jr-b", root=root)[1]
    cases = [
        ({"unit": "vq-jr-*"}, ["-u", "vq-jr-*"]),
        ({"unit": ["vq-jr-a", "vq-jr-b.service"]}, ["-u", "vq-jr-a", "-u", "vq-jr-b.service"]),
        (
            {"matches": {"_SYSTEMD_UNIT": [a.unit, b.unit], "PRIORITY": 6}},
            [f"_SYSTEMD_UNIT={a.unit}", f"_SYSTEMD_UNIT={b.unit}", "PRIORITY=6"],
        ),
        (
            {
                "unit": "vq-jr-a",
                "matches": [{"_SYSTEMD_INVOCATION_ID": a.invocation_id}, {"INVOCATION_ID": a.invocation_id}],
            },
            ["-u", "vq-jr-a", f"_SYSTEMD_INVOCATION_ID={a.invocation_id}", "+", f"INVOCATION_ID={a.invocation_id}"],
        ),
        ({"boot": 0, "unit": "vq-jr-a"}, ["-b", "0", "-u", "vq-jr-a"]),
        ({"boot": boot_id, "priority": "notice"}, ["-b", boot_id, "-p", "notice"]),
        ({"priority": ("warning", "info"), "unit": "vq-jr-*"}, ["-p", "warning..info", "-u", "vq-jr-*"]),
        ({"since": middle.received, "unit": "vq-jr-b"}, ["--since", at(middle.received), "-u", "vq-jr-b"]),
        ({"after_cursor": middle.cursor, "unit": "vq-jr-b"}, ["--after-cursor", middle.cursor, "-u", "vq-jr-b"]),
        ({"reverse": True, "unit": "vq-jr-*"}, ["-r", "-u", "vq-jr-*"]),
        ({"lines": 3, "unit": "vq-jr-*"}, ["-n", "3", "-u", "vq-jr-*"]),
        ({"lines": 3, "reverse": True, "unit": "vq-jr-a"}, ["-n", "3", "-r", "-u", "vq-jr-a"]),
    ]
    for kwargs, args in cases:
        # Bounded by `until` on both sides where journalctl allows it, so that
        # entries written meanwhile are compared by neither.
        bounded = "lines" not in kwargs
        ours = journal.entries(root=root, **kwargs, **({"until": settled} if bounded else {}))
        theirs = as_json(root, *args, *(["--until", at(settled)] if bounded else []))
        assert ours == theirs and ours, kwargs
    assert {e.fields["_SYSTEMD_UNIT"] for e in journal.entries(unit="vq-jr-*", root=root) if e.pid != 1} == {
        a.unit,
        b.unit,
    }
    # A glob that matches no unit: journalctl refuses, entries() has none.
    assert journalctl(root, "-u", "vq-none-*")[0] != 0 and journal.entries(unit="vq-none-*", root=root) == []
    # A boot the journal does not have: both refuse.
    assert journalctl(root, "-b", "-1")[0] != 0
    with pytest.raises(LookupError):
        journal.entries(boot=-1, root=root)


def test_time_is_what_journalctl_shows_and_bytes_are_kept(root, runs):
    (a, _), _ = runs
    # This run's lines only: its own and the manager's about it.
    run = [f"_SYSTEMD_INVOCATION_ID={a.invocation_id}", "+", f"INVOCATION_ID={a.invocation_id}"]
    ours = journal.entries(
        matches=[{"_SYSTEMD_INVOCATION_ID": a.invocation_id}, {"INVOCATION_ID": a.invocation_id}], root=root
    )
    code, shown = journalctl(root, *run, "-o", "short-unix")
    assert code == 0
    assert [line.split(b" ", 1)[0].decode() for line in shown.splitlines()] == [
        f"{e.time.timestamp():.6f}" for e in ours
    ]
    # The manager's lines carry the sender's time, earlier than the journal's.
    assert any(e.pid == 1 and e.time < e.received for e in ours)
    # Field by field beside -o json: a byte array where the value is not UTF-8.
    (record,) = [
        json.loads(line)
        for line in journalctl(root, *run, "-o", "json", "--all")[1].splitlines()
        if b'"MESSAGE":[' in line
    ]
    (binary,) = [e for e in ours if e.binary]
    assert binary == journal.json_entry(record) and binary.cursor == record["__CURSOR"]
    assert binary.received == journal.make_entry(int(record["__REALTIME_TIMESTAMP"]), {}).received
    for name, value in record.items():
        if not name.startswith("__"):
            assert binary.raw(name) == (bytes(value) if isinstance(value, list) else value.encode()), name
    assert binary.binary == {"MESSAGE": b"bin\xff\xfex"} and binary.message == "bin\ufffd\ufffdx"
    assert [e.message for e in ours if e.pid != 1] == ["one", "bin\ufffd\ufffdx", "three"]


SENDER = r"""
import logging, sys
from varquin import journal
journal.send("sent line", priority=journal.LOG_WARNING, TEXT="multi\nline", RAW=b"\xff\x00z", COUNT=42, TAG=sys.argv[1])
log = logging.getLogger("vq.test")
log.addHandler(journal.Handler(identifier="vq-handler", TAG=sys.argv[1]))
try:
    1 / 0
except ZeroDivisionError:
    log.exception("handled %s", "line", extra={"request_id": 7})
"""


def test_sent_lines_and_handler_records_are_read_back_field_by_field(root, tmp_path):
    """The sender runs on the host in a mount namespace of its own where
    journald's socket is a link to the container's."""
    script = tmp_path / "sender.py"
    script.write_text(SENDER)
    tag = f"t{time.monotonic_ns()}"
    bind = (
        f"mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/journal && "
        f"ln -s {root}/run/systemd/journal/socket /run/systemd/journal/socket && exec {sys.executable} {script} {tag}"
    )
    subprocess.run(["unshare", "-m", "sh", "-c", bind], check=True, timeout=60)
    assert wait_for(lambda: len(journal.entries(matches={"TAG": tag}, root=root)) == 2, timeout=30)
    sent, logged = as_json(root, f"TAG={tag}")
    # Each field once: the native layer adds no code location of its own.
    records = [json.loads(line) for line in journalctl(root, f"TAG={tag}", "-o", "json")[1].splitlines()]
    assert all(
        isinstance(r[k], str) for r in records for k in ("CODE_FILE", "CODE_LINE", "SYSLOG_IDENTIFIER", "MESSAGE")
    )
    assert journal.entries(matches={"TAG": tag}, root=root) == [sent, logged]
    assert sent.message == "sent line" and sent.priority == 4
    assert (sent.fields["TEXT"], sent.raw("RAW"), sent.fields["COUNT"]) == ("multi\nline", b"\xff\x00z", "42")
    assert (
        sent.fields["CODE_FILE"] == str(script)
        and sent.fields["CODE_LINE"] == "4"
        and sent.fields["CODE_FUNC"] == "<module>"
    )
    # MESSAGE is the handler's formatted text: the default format ends with the traceback.
    assert logged.message == "handled line\n" + logged.fields["EXCEPTION"] and logged.priority == 3
    assert logged.fields["LOGGER"] == "vq.test" and logged.fields["THREAD_NAME"] == "MainThread"
    assert logged.fields["SYSLOG_IDENTIFIER"] == "vq-handler" and logged.fields["REQUEST_ID"] == "7"
    assert (logged.fields["CODE_FILE"], logged.fields["CODE_LINE"], logged.fields["CODE_FUNC"]) == (
        str(script),
        "10",
        "<module>",
    )
    assert logged.fields["EXCEPTION"].startswith("Traceback") and logged.fields["EXCEPTION"].endswith(
        "ZeroDivisionError: division by zero"
    )


def test_following_resumes_after_a_cursor_blocking_and_on_a_loop(real_systemd, root, runs):
    (a, _), _ = runs
    last = journal.entries(unit="vq-jr-*", root=root)[-1]
    with varquin.Bus(real_systemd.bus_address) as bus, systemd.Manager(bus, root=root) as m:
        again = m.run(["/bin/sh", "-c", "echo again; sleep 1"], name="vq-jr-a", wait=True, timeout=30)
    assert wait_for(
        lambda: journal.entries(matches={"_SYSTEMD_INVOCATION_ID": again.invocation_id}, root=root), timeout=30
    )
    expected = journal.entries(unit="vq-jr-*", root=root, after_cursor=last.cursor)
    assert "again" in [e.message for e in expected] and expected[0].received >= last.received

    with journal.follow(unit="vq-jr-*", root=root, after_cursor=last.cursor, timeout=30) as new:
        assert [next(new) for _ in expected] == expected

    async def on_loop():
        seen = []
        async with aio_journal.follow(unit=again.unit, root=root, after_cursor=last.cursor) as new:
            async for e in new:
                seen.append(e)
                if e.message == "again":
                    break
            with varquin.Bus(real_systemd.bus_address) as bus, systemd.Manager(bus, root=root) as m:
                m.run(["/bin/sh", "-c", "echo live; sleep 1"], name="vq-jr-a", wait=True, timeout=30)
            async for e in new:  # written while the loop waits on the descriptor
                seen.append(e)
                if e.message == "live":
                    break
        assert new.closed and [e async for e in new] == []
        return seen

    seen = asyncio.run(asyncio.wait_for(on_loop(), 60))
    assert seen[: len(expected)] == [
        e for e in expected if e.fields.get("_SYSTEMD_UNIT") == again.unit or e.fields.get("UNIT") == again.unit
    ]
    assert seen[-1].message == "live"

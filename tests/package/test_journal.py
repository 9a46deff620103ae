"""varquin.journal and the journal of units, JobFailed and RunResult: read
from the throwaway container's journal through its root (real tier), and
the rules for where a Manager's journal is read (substitute manager)."""

import gc
import os
import subprocess
import threading
import weakref
from datetime import timedelta

import pytest

import varquin
from testing.env import wait_for
from varquin import journal, systemd


@pytest.fixture
def root(real_systemd):
    return f"/proc/{real_systemd.init[0]}/root"


@pytest.fixture
def manager(real_systemd, root):
    with varquin.Bus(real_systemd.bus_address) as bus:
        m = systemd.Manager(bus, root=root)
        yield m
        m.close()


def test_a_units_entries_are_its_own_lines_and_the_managers_about_it(manager, root):
    r = manager.run(["/bin/sh", "-c", "echo one; echo two; exit 7"], name="vq-journal-lines", wait=True, timeout=30)
    assert r.result == "exit-code"
    # Read once settled: the unit's lines and the manager's last line about it are there.
    ours = [e.message for e in r.journal if e.pid != 1]
    assert ours == ["one", "two"] and r.journal[-1].pid == 1 and len(r.journal) <= 10
    assert any(e.pid == 1 and e.fields.get("UNIT_RESULT") == "exit-code" for e in r.journal)  # "Failed with result"
    assert all(e.fields.get("_SYSTEMD_UNIT") == r.unit or e.fields.get("UNIT") == r.unit for e in r.journal)

    every = journal.entries(unit=r.unit, root=root)
    assert [e.message for e in every if e.pid != 1] == ["one", "two"]
    # The same entries journalctl -u shows of that root: of the run's unit,
    # and of a slice (every unit in it; entries written meanwhile come after).
    for unit in (r.unit, "system.slice"):
        shown = subprocess.run(
            ["journalctl", f"--root={root}", "-u", unit, "-o", "json", "--no-pager"],
            capture_output=True,
            check=True,
            timeout=60,
        ).stdout
        expected = journal.parse_json_lines("journalctl", 0, shown, b"")
        assert journal.entries(unit=unit, root=root)[: len(expected)] == expected and len(expected) > 2
    assert any(e.pid == 1 and "Started" in e.message for e in every)  # the manager's line when it started
    assert journal.entries(unit=r.unit, lines=2, root=root) == every[-2:]
    assert manager.unit(r.unit).journal(lines=3) == every[-3:]
    assert [e.received for e in every] == sorted(e.received for e in every) and every[0].time.tzinfo is not None
    assert journal.entries(unit=r.unit, since=every[-1].received, root=root) == [every[-1]]  # as --since: received
    assert journal.entries(unit=r.unit, since=timedelta(days=-1), root=root) == []  # a time to come
    assert journal.entries(unit="vq-journal-none", root=root) == []
    assert journal.entries(lines=5, root=root)[-1].received >= every[-1].received  # every unit's


def test_a_failed_job_carries_the_units_last_lines(manager):
    with pytest.raises(systemd.JobFailed) as caught:
        manager.start("vq-api-fail.service", wait=True, timeout=30)
    lines = caught.value.journal
    assert 0 < len(lines) <= 10 and all(isinstance(e, journal.JournalEntry) for e in lines)
    assert any(e.pid == 1 and "vq-api-fail.service" in e.message and "Failed" in e.message for e in lines)
    # Read once the manager's line on this very job's end is in.
    job = caught.value.job.rpartition("/")[2]
    assert any(e.fields.get("JOB_ID") == job and e.fields.get("JOB_RESULT") == "failed" for e in lines)
    manager.reset_failed("vq-api-fail.service")


def test_follow_reads_new_entries_and_ends_at_close_from_another_thread(manager, root):
    unit = "vq-journal-follow.service"
    seen = []
    with journal.follow(unit=unit, root=root, timeout=60) as new:
        t = threading.Thread(target=lambda: seen.extend(e.message for e in new))
        t.start()
        manager.run(["/bin/sh", "-c", "echo first; echo second"], name=unit, wait=True, timeout=30)
        assert wait_for(lambda: "second" in seen, timeout=30)
        new.close()
        t.join()
    assert seen.index("first") < seen.index("second") and new.closed and list(new) == []

    # The last lines first, then only new ones; the total timeout ends it, without an exception.
    with journal.follow(unit=unit, lines=2, root=root, timeout=0.3) as new:
        assert [e.message for e in new] == [e.message for e in journal.entries(unit=unit, lines=2, root=root)]
    followed = journal.follow(unit=unit, root=root)
    ref = weakref.ref(followed)
    followed.cycle = followed
    del followed
    gc.collect()
    assert ref() is None


def test_an_unreadable_root_is_an_error(tmp_path):
    with pytest.raises(OSError):
        journal.entries(root=str(tmp_path / "nothing"))
    with pytest.raises(ValueError, match="lines"):
        journal.entries(lines=-1)


def test_a_journal_opened_before_fork_fails_at_once_in_the_child(tmp_path):
    j = journal.open_journal(None, str(tmp_path))
    try:
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: report what each call raised, and leave without cleanup
            outcomes = []
            for call in (lambda: j.read(1), lambda: j.seek_tail(0), lambda: j.follow(0), j.close, lambda: j.closed):
                try:
                    outcomes.append(str(call()))
                except BaseException as e:
                    outcomes.append(type(e).__name__)
            del j  # freed in the child without touching the parent's journal
            gc.collect()
            os.write(writer, " ".join(outcomes).encode())
            os._exit(0)
        os.close(writer)
        with os.fdopen(reader, "rb") as report:
            outcomes = report.read().decode().split()
        assert os.waitpid(pid, 0)[1] == 0
        # close() in the child forgets the parent's journal without closing it.
        assert outcomes == ["ChildProcessError"] * 3 + ["None", "True"]
        assert not j.closed and j.read(1) == []
    finally:
        j.close()


@pytest.mark.parametrize(
    "script,outcome",
    [
        (
            'echo \'{"__REALTIME_TIMESTAMP": "1700000000000000", "MESSAGE": "hi", "_PID": "42", "BIN": [104, 105]}\'',
            [("hi", 42, "hi")],
        ),
        ("echo 'ssh: connect to host web1 port 22: Connection refused' >&2; exit 255", ConnectionError),
        ("echo 'No journal files were found.' >&2; exit 1", OSError),
        ("exec sleep 30", TimeoutError),
    ],
    ids=["entries", "unreachable", "journalctl-failed", "no-answer"],
)
def test_a_hosts_journal_is_read_over_ssh_with_its_reasons(tmp_path, monkeypatch, script, outcome):
    """A stand-in ssh on PATH records its arguments and answers as the script says."""
    ssh = tmp_path / "ssh"
    ssh.write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" > {tmp_path}/argv\n{script}\n')
    ssh.chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    if isinstance(outcome, list):
        found = journal.remote_entries("root@web1:2222", "web", 5, timeout=30)
        assert [(e.message, e.pid, e.fields["BIN"]) for e in found] == outcome
        assert found[0].time.timestamp() == 1_700_000_000
    else:
        with pytest.raises(outcome) as caught:
            journal.remote_entries("root@web1:2222", "web", 5, timeout=0.5)
        if outcome is TimeoutError:
            return  # killed, perhaps before it recorded anything
        if outcome is ConnectionError:
            assert str(caught.value) == "ssh: connect to host web1 port 22: Connection refused"
    argv = (tmp_path / "argv").read_text().split()
    assert argv == [
        "-xT",
        "-p",
        "2222",
        "--",
        "root@web1",
        *"journalctl -o json --no-pager -u web.service -n 5".split(),
    ]


def test_a_manager_elsewhere_has_no_journal_here(services, tmp_path):
    """The private bus is not this machine's manager: its units are never
    looked up in this machine's journal."""
    services.reset()
    with systemd.Manager() as m:
        with pytest.raises(ValueError, match=r"root=") as caught:
            m.unit("vq-plain.service").journal()
        assert m.bus.address in str(caught.value)
        assert m.run(["/bin/true"], wait=True).journal is None  # unreadable: says so
    (tmp_path / "bin").mkdir()
    os.symlink("/bin/true", tmp_path / "bin" / "true")  # the command is looked for under the root
    with systemd.Manager(root=str(tmp_path)) as m:  # a root without a journal
        assert m.run(["/bin/true"], wait=True).journal == [] and m.unit("vq-plain.service").journal() == []
    with systemd.Manager(root=str(tmp_path / "nothing")) as m:
        with pytest.raises(FileNotFoundError, match="Failed to find executable"):
            m.run(["/bin/true"], wait=True)
        with pytest.raises(FileNotFoundError):
            m.unit("vq-plain.service").journal()


def test_run_and_journal_over_ssh(remote_hosts):
    with remote_hosts.use(), varquin.Bus.remote(remote_hosts.remotes[0], timeout=30) as bus:
        m = systemd.Manager(bus)
        r = m.run(["/bin/sh", "-c", "echo over ssh; exit 3"], wait=True, timeout=60)
        assert (r.result, r.exit_status) == ("exit-code", 3)
        assert "over ssh" in [e.message for e in r.journal]
        assert any(e.pid == 1 and e.fields.get("UNIT_RESULT") == "exit-code" for e in r.journal)  # read once settled
        lines = m.unit(r.unit).journal(lines=50)
        assert [e.message for e in lines if e.pid != 1] == ["over ssh"]
        assert any(e.pid == 1 and e.fields["UNIT"] == r.unit for e in lines)
        m.close()


SEND_SCRIPT = r"""
import logging, sys
from varquin import journal
journal.send("plain", priority=journal.LOG_ERR, TEXT="a\nb", RAW=b"\xff\x00", COUNT=3)
class Recording(journal.Handler):
    def handleError(self, record):
        print("failed:", record.getMessage())
log = logging.getLogger("vq.pkg")
log.addHandler(Recording(identifier="vq-id", SITE="lab"))
log.warning("warned %d", 1, extra={"request_id": "r1"})
log.warning("refused", extra={"bad-name": 1})
"""


def datagram_fields(data):
    """The fields of one datagram of journald's native protocol: NAME=value
    lines, or NAME, a 64-bit little-endian length and the bytes."""
    fields, at = [], 0
    while at < len(data):
        end = data.index(b"\n", at)
        line = data[at:end]
        if b"=" in line:
            fields.append(tuple(line.split(b"=", 1)))
            at = end + 1
        else:
            size = int.from_bytes(data[end + 1 : end + 9], "little")
            fields.append((line, data[end + 9 : end + 9 + size]))
            at = end + 9 + size + 1
    return fields


def test_send_and_the_handler_write_journalds_native_datagrams(tmp_path):
    """A substitute journald socket records the datagrams; the sender runs in
    a mount namespace of its own where journald's socket path leads to it."""
    import socket
    import sys

    script = tmp_path / "send.py"
    script.write_text(SEND_SCRIPT)
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as peer:
        peer.bind(str(tmp_path / "socket"))
        link = (
            "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/journal && "
            f"ln -s {tmp_path}/socket /run/systemd/journal/socket && exec {sys.executable} {script}"
        )
        done = subprocess.run(["unshare", "-m", "sh", "-c", link], capture_output=True, timeout=60, check=True)
        peer.settimeout(10)
        sent, logged = (datagram_fields(peer.recv(65536)) for _ in range(2))
    assert sent == [
        (b"MESSAGE", b"plain"),
        (b"PRIORITY", b"3"),
        (b"TEXT", b"a\nb"),
        (b"RAW", b"\xff\x00"),
        (b"COUNT", b"3"),
        (b"CODE_FILE", str(script).encode()),
        (b"CODE_LINE", b"4"),
        (b"CODE_FUNC", b"<module>"),
        (b"SYSLOG_IDENTIFIER", b"python"),  # libsystemd's, where none is given
    ]
    assert dict(logged) == {
        b"MESSAGE": b"warned 1",
        b"PRIORITY": b"4",
        b"LOGGER": b"vq.pkg",
        b"THREAD_NAME": b"MainThread",
        b"CODE_FILE": str(script).encode(),
        b"CODE_LINE": b"10",
        b"CODE_FUNC": b"<module>",
        b"SITE": b"lab",
        b"SYSLOG_IDENTIFIER": b"vq-id",
        b"REQUEST_ID": b"r1",
    }
    # An extra field journald would drop fails the record as logging's handlers fail.
    assert done.stdout.decode() == "failed: refused\n"


@pytest.mark.parametrize("name", ["lower", "_TRUSTED", "1ST", "A" * 65, "HAS-DASH", "É"])
def test_field_names_journald_would_drop_are_refused(name):
    with pytest.raises(ValueError, match="field"):
        journal.send("x", **{name: "v"})
    with pytest.raises(ValueError, match="field"):
        journal.Handler(**{name: "v"})


@pytest.mark.parametrize(
    "kwargs,error",
    [
        ({"priority": "loud"}, ValueError),
        ({"priority": 8}, ValueError),
        ({"boot": "not-an-id"}, ValueError),
        ({"boot": 1}, LookupError),  # a journal without boots
        ({"matches": {"F": []}}, ValueError),
        ({"matches": {"F": 1.5}}, TypeError),
        ({"after_cursor": "no cursor"}, ValueError),
    ],
)
def test_bad_filters_are_refused(tmp_path, kwargs, error):
    with pytest.raises(error):
        journal.entries(root=tmp_path, **kwargs)


def test_json_records_keep_bytes_times_and_cursors():
    record = {
        "__CURSOR": "s=1;i=2",
        "__REALTIME_TIMESTAMP": "1700000000000500",
        "_SOURCE_REALTIME_TIMESTAMP": "1700000000000100",
        "MESSAGE": [98, 255, 120],
        "TEXT": [27, 91, 109],  # UTF-8 that journalctl shows as bytes (not printable)
        "MULTI": ["first", [108, 97, 115, 116]],
    }
    e = journal.json_entry(record)
    assert (e.message, e.binary, e.raw("MESSAGE"), e.fields["TEXT"]) == (
        "b\ufffdx",
        {"MESSAGE": b"b\xffx"},
        b"b\xffx",
        "\x1b[m",
    )
    assert e.fields["MULTI"] == "last" and e.cursor == "s=1;i=2"
    assert (e.time.timestamp(), e.received.timestamp()) == (1700000000.0001, 1700000000.0005)


def test_an_asyncio_follower_waiting_on_the_loop_ends_at_close(tmp_path):
    import asyncio

    from varquin.aio import journal as aio_journal

    async def waiting_then_closed():
        new = aio_journal.follow(root=tmp_path)
        task = asyncio.ensure_future(anext(new, "ended"))
        await asyncio.sleep(0)  # the task now waits on the journal's descriptor
        assert not task.done()
        new.close()
        return await asyncio.wait_for(task, 10), new.closed, [e async for e in new]

    assert asyncio.run(waiting_then_closed()) == ("ended", True, [])
    with pytest.raises(RuntimeError):
        aio_journal.follow(root=tmp_path)  # outside a running loop

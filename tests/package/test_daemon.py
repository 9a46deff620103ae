"""varquin.daemon and varquin.aio.daemon against a stand-in for the manager:
a notification socket the test listens on (testing/notify.py), which
records the datagrams, the descriptors sent with them and the sender's PID,
and processes started with descriptors passed as the manager passes them."""

import asyncio
import math
import os
import socket
import threading
import time
from datetime import timedelta

import pytest

import varquin.aio.daemon
from testing.notify import NotifySocket, run_with_fds
from varquin import daemon


@pytest.fixture
def manager(tmp_path, monkeypatch):
    """A notification socket, named in NOTIFY_SOCKET for the test."""
    listener = NotifySocket(tmp_path)
    monkeypatch.setenv("NOTIFY_SOCKET", listener.address)
    for variable in ("WATCHDOG_USEC", "WATCHDOG_PID"):
        monkeypatch.delenv(variable, raising=False)
    try:
        yield listener
    finally:
        listener.close()


# (notify's arguments, the exact text sent)
MESSAGES = [
    ({"ready": True}, "READY=1"),
    ({"ready": True, "status": "serving 3 clients"}, "READY=1\nSTATUS=serving 3 clients"),
    ({"stopping": True}, "STOPPING=1"),
    ({"status": ""}, "STATUS="),
    ({"errno": 2, "mainpid": 4321}, "ERRNO=2\nMAINPID=4321"),
    ({"watchdog": True}, "WATCHDOG=1"),
    ({"watchdog_timeout": timedelta(seconds=5)}, "WATCHDOG_USEC=5000000"),
    ({"extend_timeout": timedelta(seconds=30)}, "EXTEND_TIMEOUT_USEC=30000000"),
    ({"extend_timeout": 1.5}, "EXTEND_TIMEOUT_USEC=1500000"),
    ({"extend_timeout": 0}, "EXTEND_TIMEOUT_USEC=0"),
    ({"fdstore_remove": "conn-7"}, "FDSTOREREMOVE=1\nFDNAME=conn-7"),
    ({"fields": {"X_VQ_TEST": "a b=c"}, "ready": True}, "READY=1\nX_VQ_TEST=a b=c"),
]


@pytest.mark.parametrize(("kwargs", "text"), MESSAGES, ids=[t.split("\n")[0] for _, t in MESSAGES])
def test_fields_are_sent_as_one_message(manager, kwargs, text):
    assert daemon.notify(**kwargs) is True
    message = manager.receive()
    assert message.text == text and message.fds == [] and message.pid == os.getpid()
    assert manager.receive(timeout=0) is None


def test_reloading_carries_the_monotonic_time(manager):
    before = time.monotonic_ns() // 1000
    daemon.notify(reloading=True)
    after = time.monotonic_ns() // 1000
    fields = manager.receive().fields
    assert fields["RELOADING"] == "1" and before <= int(fields["MONOTONIC_USEC"]) <= after


def test_fdstore_sends_the_descriptors_one_message_per_name_before_the_rest(manager):
    a, a_peer = socket.socketpair()
    b, b_peer = socket.socketpair()
    r, w = os.pipe()
    try:
        assert daemon.notify(fdstore={"conn-7": [a, b], "pipe": [r]}, fdstore_poll=False, ready=True)
        first, second, rest = manager.receive(), manager.receive(), manager.receive()
        assert first.text == "FDSTORE=1\nFDNAME=conn-7\nFDPOLL=0" and len(first.fds) == 2
        assert second.text == "FDSTORE=1\nFDNAME=pipe\nFDPOLL=0" and len(second.fds) == 1
        assert rest.text == "READY=1" and rest.fds == []
        # What arrived are the very sockets and pipe that were stored.
        for fd, peer in zip(first.fds, (a_peer, b_peer), strict=True):
            with socket.socket(fileno=os.dup(fd)) as copy:
                copy.sendall(b"x")
            assert peer.recv(1) == b"x"
        os.write(w, b"y")
        assert os.read(second.fds[0], 1) == b"y"
    finally:
        for s in (a, a_peer, b, b_peer):
            s.close()
        os.close(r)
        os.close(w)


# (notify's arguments, the exception, its text)
BAD = [
    ({"fdstore": {"a:b": [0]}}, ValueError, "contains ':'"),
    ({"fdstore": {"x" * 256: [0]}}, ValueError, "longer than 255 bytes"),
    ({"fdstore": {"é" * 128: [0]}}, ValueError, "longer than 255 bytes"),
    ({"fdstore": {"tab\there": [0]}}, ValueError, "printable ASCII"),
    ({"fdstore": {"": [0]}}, ValueError, "must not be empty"),
    ({"fdstore": {"none": []}}, ValueError, "needs 1 to 253 descriptors"),
    ({"fdstore": {"neg": [-1]}}, ValueError, "not an open descriptor"),
    ({"fdstore": {"str": ["3"]}}, TypeError, "int or have fileno"),
    ({"fdstore_remove": "a:b"}, ValueError, "contains ':'"),
    ({"extend_timeout": timedelta(seconds=-1)}, ValueError, "must not be negative"),
    ({"extend_timeout": -0.5}, ValueError, "must not be negative"),
    ({"extend_timeout": math.nan}, ValueError, "must not be negative"),
    ({"watchdog_timeout": "5s"}, TypeError, "timedelta or seconds"),
    ({"status": "two\nlines"}, ValueError, "one line"),
    ({"errno": -1}, ValueError, "at least 0"),
    ({"mainpid": 0}, ValueError, "at least 1"),
    ({"ready": 1}, TypeError, "ready must be a bool"),
    ({"fields": {"lower": "x"}}, ValueError, "field name 'lower'"),
    ({"fields": {"A=B": "x"}}, ValueError, "field name 'A=B'"),
]


@pytest.mark.parametrize(("kwargs", "error", "text"), BAD)
def test_a_bad_argument_raises_before_anything_is_sent(manager, kwargs, error, text):
    # A valid store and READY come first: a check made late would let them out.
    a, b = socket.socketpair()
    call = {"ready": True, **kwargs, "fdstore": {"good": [a], **kwargs.get("fdstore", {})}}
    with a, b, pytest.raises(error, match=text):
        daemon.notify(**call)
    assert manager.receive(timeout=0) is None
    with pytest.raises(ValueError, match="needs something to send"):
        daemon.notify()


def test_an_abstract_address(tmp_path, monkeypatch):
    listener = NotifySocket(abstract=True)
    monkeypatch.setenv("NOTIFY_SOCKET", listener.address)
    try:
        assert daemon.notify(ready=True)
        assert listener.receive().text == "READY=1"
    finally:
        listener.close()


@pytest.mark.parametrize(
    ("address", "errno_names"),
    # An address libsystemd cannot parse: EINVAL up to 257, EPROTO from 262's.
    [("/nonexistent/varquin/notify", ["ENOENT"]), ("relative/notify", ["EINVAL", "EPROTO"])],
)
def test_a_failed_send_raises_oserror_with_the_reason(monkeypatch, address, errno_names):
    monkeypatch.setenv("NOTIFY_SOCKET", address)
    with pytest.raises(OSError, match="cannot notify the service manager") as caught:
        daemon.notify(ready=True)
    assert caught.value.errno in [getattr(__import__("errno"), name) for name in errno_names]


def test_without_notify_socket_nothing_is_sent(monkeypatch):
    monkeypatch.delenv("NOTIFY_SOCKET", raising=False)
    a, b = socket.socketpair()
    with a, b:
        assert daemon.notify(ready=True, fdstore={"x": [a]}) is False


# -- descriptors passed at start ----------------------------------------------

REPORT = """
from varquin import daemon
import os, socket
views = []
for _ in range(2):
    listened, stored = daemon.listen_fds(), daemon.stored_fds()
    views.append((listened, stored))
report({
    "listen": {k: [s.fileno() for s in v] for k, v in views[0][0].items()},
    "stored": {k: [x if isinstance(x, int) else x.fileno() for x in v] for k, v in views[0][1].items()},
    "same": all(a is b for k in views[0][0] for a, b in zip(views[0][0][k], views[1][0][k])),
    "env": sorted(k for k in os.environ if k.startswith("LISTEN_")),
    "kinds": {k: [type(x).__name__ for x in v] for k, v in views[0][1].items()},
})
"""


def _sockets():
    web = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    web.bind(("127.0.0.1", 0))
    web.listen()
    admin = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    return web, admin


def test_listen_fds_by_name_as_the_manager_passes_them():
    web, admin = _sockets()
    r, w = os.pipe()
    try:
        (seen,) = run_with_fds(REPORT, [web, admin, r], {"LISTEN_FDNAMES": "web:admin:state"})
    finally:
        web.close(), admin.close(), os.close(r), os.close(w)
    assert seen["listen"] == {"web": [3], "admin": [4]}
    assert seen["stored"] == {"web": [3], "admin": [4], "state": [5]}
    assert seen["kinds"] == {"web": ["socket"], "admin": ["socket"], "state": ["int"]}
    assert seen["same"] and seen["env"] == []


# (the variables besides the passed descriptors, what listen_fds gives)
PASSING = [
    ({"LISTEN_FDNAMES": "web:web"}, {"web": [3, 4]}),
    ({"LISTEN_FDNAMES": None}, {"unknown": [3, 4]}),
    ({"LISTEN_PID": "1", "LISTEN_FDNAMES": "web:admin"}, {}),
    ({"LISTEN_FDS": None}, {}),
]


@pytest.mark.parametrize("lookup", [True, False], ids=["library", "fallback"])
@pytest.mark.parametrize(("env", "expected"), PASSING)
def test_which_descriptors_are_this_process_s(env, expected, lookup):
    web, admin = _sockets()
    code = f"from varquin import _core\nreport(dict(_core.listen_fds(lookup={lookup})))"
    try:
        (pairs,) = run_with_fds(code, [web, admin], env)
    finally:
        web.close(), admin.close()
    grouped = {}
    for fd, name in pairs.items():
        grouped.setdefault(name, []).append(int(fd))
    assert grouped == expected


@pytest.mark.parametrize("lookup", [True, False], ids=["library", "fallback"])
def test_more_names_than_descriptors_raise(lookup):
    web, admin = _sockets()
    code = (
        "from varquin import _core\n"
        f"try:\n    _core.listen_fds(lookup={lookup})\nexcept OSError as e:\n    report([e.errno, str(e)])"
    )
    try:
        (seen,) = run_with_fds(code, [web, admin], {"LISTEN_FDNAMES": "a:b:c"})
    finally:
        web.close(), admin.close()
    assert seen[0] == 22 and "cannot read the descriptors passed" in seen[1]


PIDFD = """
import os
from varquin import daemon
own = os.fstat(os.pidfd_open(os.getpid())).st_ino
parent = os.fstat(os.pidfd_open(os.getppid())).st_ino
os.environ["LISTEN_PIDFDID"] = str(own if MATCH else own + 1)
report({"unique": own != parent, "names": sorted(daemon.listen_fds())})
"""


@pytest.mark.parametrize("match", [True, False])
def test_listen_pidfdid_must_name_this_process_where_the_kernel_tells(match):
    web, admin = _sockets()
    try:
        (seen,) = run_with_fds(f"MATCH = {match}\n" + PIDFD, [web, admin], {"LISTEN_FDNAMES": "web:admin"})
    finally:
        web.close(), admin.close()
    if not seen["unique"]:
        pytest.skip("this kernel's pidfds have no unique inode numbers")
    assert seen["names"] == (["admin", "web"] if match else [])


# -- the watchdog ----------------------------------------------------------------


def _pings(manager, count, timeout=10.0):
    got = []
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        message = manager.receive(timeout=deadline - time.monotonic())
        if message is not None:
            got.append(message)
    return got


@pytest.mark.parametrize("pid", ["self", "other", None])
def test_watchdog_timeout_is_only_for_the_process_named(monkeypatch, pid):
    monkeypatch.setenv("WATCHDOG_USEC", "2000000")
    if pid is None:
        monkeypatch.delenv("WATCHDOG_PID", raising=False)
    else:
        monkeypatch.setenv("WATCHDOG_PID", str(os.getpid() if pid == "self" else os.getppid()))
    expected = None if pid == "other" else timedelta(seconds=2)
    assert daemon.watchdog_timeout() == expected


def test_a_malformed_watchdog_timeout_raises(monkeypatch):
    monkeypatch.setenv("WATCHDOG_USEC", "soon")
    monkeypatch.setenv("WATCHDOG_PID", str(os.getpid()))
    with pytest.raises(OSError, match="cannot read the watchdog's period"):
        daemon.watchdog_timeout()


def test_the_watchdog_thread_pings_and_is_gone_after_the_block(manager, monkeypatch):
    monkeypatch.setenv("WATCHDOG_USEC", "100000")
    monkeypatch.setenv("WATCHDOG_PID", str(os.getpid()))
    with daemon.watchdog() as timeout:
        assert timeout == timedelta(milliseconds=100)
        # Three pings while this thread waits (on the socket): the pinger
        # runs beside it.
        pings = _pings(manager, 3)
        forked = os.fork()
        if forked == 0:  # the child: not named by WATCHDOG_PID
            with daemon.watchdog() as child_timeout:
                os._exit(0 if child_timeout is None else 1)
        _, status = os.waitpid(forked, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert [m.text for m in pings] == ["WATCHDOG=1"] * 3
    assert not [t for t in threading.enumerate() if t.name == "varquin-watchdog"]
    while (late := manager.receive(timeout=0)) is not None:
        pings.append(late)
    assert {m.pid for m in pings} == {os.getpid()}


def test_the_watchdog_does_nothing_when_not_expected(manager):
    with daemon.watchdog() as timeout:
        assert timeout is None
    assert manager.receive(timeout=0) is None


def test_the_asyncio_watchdog_pings_from_the_loop(manager, monkeypatch):
    monkeypatch.setenv("WATCHDOG_USEC", "100000")
    monkeypatch.setenv("WATCHDOG_PID", str(os.getpid()))

    async def main():
        async with varquin.aio.daemon.watchdog() as timeout:
            assert timeout == timedelta(milliseconds=100)
            assert manager.receive(timeout=0).text == "WATCHDOG=1"  # sent on entry
            pinged = await asyncio.to_thread(_pings, manager, 2)
            assert [m.text for m in pinged] == ["WATCHDOG=1"] * 2
            # A blocked loop sends nothing, however long it blocks.
            while manager.receive(timeout=0) is not None:
                pass
            time.sleep(0.3)
            assert manager.receive(timeout=0) is None
        # Once the block is left the timer is gone: a loop that runs on
        # for three periods sends nothing.
        while manager.receive(timeout=0) is not None:
            pass
        await asyncio.sleep(0.3)
        assert manager.receive(timeout=0) is None

    asyncio.run(main())

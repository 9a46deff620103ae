"""varquin.Bus as a client: every type both ways, refusals before sending,
errors as exceptions, timeouts, threads, signals, closing and a restarted bus."""

import asyncio
import math
import os
import re
import subprocess
import sys
import threading
import time

import pytest

import varquin
import varquin.aio
from testing.env import ECHO, child_env
from testing.peers.peerlib import PeerProcess
from testing.privatebus import PrivateBus
from varquin import _core, fleet, journal

OTHER = "org.varquin.Test.Other"
PATH = "/org/varquin/test/echo"


@pytest.fixture
def bus(echo_peer):
    with varquin.Bus.system() as b:
        yield b


def call(bus, member, signature="", *args, **kw):
    return bus.call(ECHO, PATH, ECHO, member, signature, *args, **kw)


V = varquin.Variant
# (signature, values sent, values expected back)
ROUND_TRIPS = [
    ("ybnqiuxt", (0, False, -32768, 0, -(2**31), 0, -(2**63), 0), None),
    ("ybnqiuxt", (255, True, 32767, 65535, 2**31 - 1, 2**32 - 1, 2**63 - 1, 2**64 - 1), None),
    ("d", (-1.5e308,), None),
    ("d", (math.inf,), None),
    ("sog", ("", "/", ""), None),
    ("sog", ("ünïcode ✓", "/a/b_1/C", "a{sv}(iay)"), None),
    ("ay", (b"\x00\xff\x00",), None),
    ("ay", (bytearray(b"ab"),), (b"ab",)),
    ("ay", (memoryview(b"xyz"),), (b"xyz",)),
    ("ay", ([1, 2],), (b"\x01\x02",)),
    ("as", ([],), None),
    ("as", (("a", "b"),), (["a", "b"],)),
    ("ai", (iter(range(3)),), ([0, 1, 2],)),
    ("ad", ([0.5, -2],), ([0.5, -2.0],)),
    ("ab", ([True, False],), None),
    ("a{sv}", ({},), None),
    (
        "a{sv}",
        ({"a": V("i", 1), "b": V("as", ["x"]), "c": V("v", V("s", "deep"))},),
        ({"a": 1, "b": ["x"], "c": "deep"},),
    ),
    ("a{ys}", ({1: "one", 255: "max"},), None),
    ("a(si)", ([("a", 1), ("b", 2)],), None),
    ("(i(s(yb)))", ((1, ("s", (2, True))),), None),
    ("aa{sa{sv}}", ([{"k": {"x": V("u", 7)}}, {}],), ([{"k": {"x": 7}}, {}],)),
    ("av", ([V("s", "a"), V("ay", b"b"), V("(ii)", (1, 2))],), (["a", b"b", (1, 2)],)),
    ("v", (V("a{sv}", {"n": V("t", 2**64 - 1)}),), ({"n": 2**64 - 1},)),
    ("", (), None),
    # More complete types, and more values, than a plan notes and holds inline.
    ("i" * 16 + "(ss)ais", (*range(16), ("a", "b"), [1, 2], "z"), None),
]


@pytest.mark.parametrize("signature,values,expected", ROUND_TRIPS)
def test_values_round_trip_through_an_echo_peer(bus, signature, values, expected):
    got = call(bus, "Echo", signature, *values)
    assert got == (expected if expected is not None else tuple(values))


def test_file_descriptors_arrive_as_new_descriptors_owned_by_the_caller(bus):
    r, w = os.pipe()
    try:
        (got,) = call(bus, "Echo", "h", w)
        assert got not in (r, w)
        os.write(got, b"through")  # the same pipe, through the received copy
        os.close(got)
        assert os.read(r, 7) == b"through"
    finally:
        os.close(r)
        os.close(w)


# (signature, values, exception, text found in its message)
REFUSALS = [
    ("y", (256,), OverflowError, "argument 1: 256 does not fit 'y'"),
    ("n", (-32769,), OverflowError, "'n'"),
    ("t", (-1,), OverflowError, "'t'"),
    ("x", (2**63,), OverflowError, "'x'"),
    ("si", ("a", 2**31), OverflowError, "argument 2"),
    ("i", ("1",), TypeError, "expected a signed 32-bit integer for 'i', got str"),
    ("d", ("1.0",), TypeError, "for 'd'"),
    ("ay", ("text",), TypeError, "expected bytes for 'ay', got str"),
    ("as", ("abc",), TypeError, "for 'as', got str"),
    ("(is)", ([1, "a"],), TypeError, "expected a tuple for '(is)', got list"),
    ("(is)", ((1,),), TypeError, "tuple of 2 items"),
    ("a{sv}", ({"k": 1},), TypeError, "argument 1['k']: expected a varquin.Variant"),
    ("a(si)", ([("a", 1), ("b", "x")],), TypeError, "argument 1[1][1]"),
    ("v", (V("i(", 1),), ValueError, "one complete type"),
    ("s", ("a\0b",), ValueError, "must not contain NUL"),
    ("o", ("no/path",), ValueError, "not a valid object path"),
    ("g", ("a{",), ValueError, "not a valid signature"),
    ("s", ("\ud800",), UnicodeEncodeError, "surrogate"),
    ("ss", ("one",), TypeError, "takes 2 values, 1 given"),
    ("a{", (), ValueError, "invalid signature 'a{': the key of the dict entry at 1 must be a basic type, not ''"),
    ("a" * 33 + "i", ([],), ValueError, "invalid signature"),
]


@pytest.mark.parametrize("signature,values,error,text", REFUSALS)
def test_values_that_do_not_fit_are_refused_before_sending(bus, signature, values, error, text):
    with varquin.Bus.system() as watcher, watcher.subscribe(sender=ECHO) as sub:
        with pytest.raises(error) as caught:
            call(bus, "Echo", signature, *values)
        assert text in str(caught.value) + "".join(getattr(caught.value, "__notes__", []))
        # Nothing reached the peer: the next call is answered first.
        assert call(bus, "Emit", "ss", "After", "x") == ()
        assert sub.get(timeout=5).member == "After"


ERRORS = [
    ("org.freedesktop.DBus.Error.UnknownMethod", varquin.UnknownMethod),
    ("org.freedesktop.DBus.Error.UnknownObject", varquin.UnknownObject),
    ("org.freedesktop.DBus.Error.UnknownInterface", varquin.UnknownInterface),
    ("org.freedesktop.DBus.Error.UnknownProperty", varquin.UnknownProperty),
    ("org.freedesktop.DBus.Error.InvalidArgs", varquin.InvalidArgs),
    ("org.freedesktop.DBus.Error.AccessDenied", varquin.AccessDenied),
    ("org.freedesktop.DBus.Error.NoReply", varquin.NoReply),
    ("org.freedesktop.systemd1.NoSuchUnit", varquin.NoSuchUnit),
    ("org.example.Error.Custom", varquin.BusError),
]


@pytest.mark.parametrize("name,cls", ERRORS)
def test_error_replies_raise_the_class_of_their_name(bus, name, cls):
    with pytest.raises(varquin.BusError) as caught:
        call(bus, "Fail", "ss", name, "the peer's text")
    assert type(caught.value) is cls
    assert (caught.value.name, caught.value.message) == (name, "the peer's text")
    assert isinstance(caught.value, TimeoutError) == (cls is varquin.NoReply)
    if cls is not varquin.BusError:
        assert cls("t").name == name  # made with the message alone


def test_a_service_nobody_owns_raises_service_unknown(bus):
    with pytest.raises(varquin.ServiceUnknown):
        bus.call("org.varquin.Nobody", "/", None, "Ping")


def test_threads_see_only_their_own_errors(bus):
    failures = []

    def fail_often(k):
        for i in range(150):
            name = f"org.varquin.Error.T{k}"
            try:
                call(bus, "Fail", "ss", name, f"{k}:{i}")
            except varquin.BusError as e:
                if (e.name, e.message) != (name, f"{k}:{i}"):
                    failures.append((k, i, e.name, e.message))

    threads = [threading.Thread(target=fail_often, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_calls_of_several_threads_are_in_flight_together(bus):
    results = []
    threads = [threading.Thread(target=lambda: results.append(call(bus, "Sleep", "d", 0.5))) for _ in range(4)]
    began = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - began
    assert len({serial for _, serial in results}) == 4
    assert elapsed < 1.5, f"four 0.5 s calls took {elapsed:.2f} s: they waited for each other"


def test_many_threads_get_their_own_replies(bus):
    wrong = []

    def worker(k):
        for i in range(10):
            if i % 3 == 0:
                got = call(bus, "Echo", "(is)a{sv}", (k, str(i)), {"k": V("i", k)})
                expected = ((k, str(i)), {"k": k})
            elif i % 3 == 1:
                got = call(bus, "Echo", "s", f"{k}-{i}")
                expected = (f"{k}-{i}",)
            else:
                got = call(bus, "Sleep", "d", 0.01)[:1]
                expected = (bus.unique_name,)
            if got != expected:
                wrong.append((got, expected))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(200)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


def test_a_timed_out_call_raises_and_its_late_reply_reaches_no_later_call(bus):
    with pytest.raises(TimeoutError):
        call(bus, "Sleep", "d", 0.4, timeout=0.1)
    assert call(bus, "Echo", "s", "next") == ("next",)
    # The late reply arrives while this call waits; it must not be taken for it.
    name, serial = call(bus, "Sleep", "d", 0.6)
    assert call(bus, "Echo", "u", serial) == (serial,)
    with pytest.raises((ValueError, TypeError)):
        call(bus, "Echo", timeout=-1)


def test_subscriptions_see_signals_emitted_right_after_subscribe(bus):
    with bus.subscribe(path=PATH, interface=ECHO, member="Ping") as sub:
        assert call(bus, "Emit", "ss", "Ping", "one") == ()
        sig = sub.get(timeout=5)
        assert (sig.path, sig.interface, sig.member, sig.args) == (PATH, ECHO, "Ping", ("one",))
        assert sig.sender.startswith(":")
        with pytest.raises(TimeoutError):
            sub.get(timeout=0.1)


def test_a_well_known_sender_matches_only_its_owner(bus, system_bus):
    other = PeerProcess("echo_peer.py", OTHER, OTHER, env=child_env())
    try:
        with bus.subscribe(sender=OTHER, member="Ping") as mine:
            call(bus, "Emit", "ss", "Ping", "from echo")
            bus.call(OTHER, PATH, ECHO, "Emit", "ss", "Ping", "from other")
            assert mine.get(timeout=5).args == ("from other",)
            with pytest.raises(TimeoutError):
                mine.get(timeout=0.2)
    finally:
        other.stop()


def test_iteration_ends_when_another_thread_closes_the_subscription(bus):
    sub = bus.subscribe(member="Ping")
    seen = []
    reader = threading.Thread(target=lambda: seen.extend(s.args for s in sub))
    reader.start()
    call(bus, "Emit", "ss", "Ping", "a")
    deadline = time.monotonic() + 5
    while not seen and time.monotonic() < deadline:
        time.sleep(0.01)
    sub.close()
    reader.join(5)
    assert not reader.is_alive() and seen == [("a",)]
    with pytest.raises(ValueError):
        sub.get()


def test_closing(bus, echo_peer):
    assert bus.unique_name.startswith(":") and bus.address.startswith("unix:path=")
    other = varquin.Bus(bus.address)
    outcome = []

    def waiting_call():
        try:
            other.call(ECHO, PATH, ECHO, "Silent")
        except Exception as e:
            outcome.append(e)

    with bus.subscribe(member="Silenced") as silenced:
        t = threading.Thread(target=waiting_call)
        t.start()
        assert silenced.get(timeout=5).args == (other.unique_name,)  # the call is in flight
    other.close()
    t.join(5)
    assert not t.is_alive() and isinstance(outcome[0], ConnectionAbortedError)
    other.close()  # twice is fine
    assert other.closed
    with pytest.raises(ValueError):
        other.call(ECHO, PATH, ECHO, "Echo")
    with pytest.raises(ValueError):
        other.subscribe()


@pytest.mark.parametrize(
    "address",
    ["unix:path=/nonexistent/varquin/socket", "tcp:host=127.0.0.1,port=1;", "x:;unix:path=/nonexistent/a"],
)
def test_an_unreachable_address_raises_connection_error(address):
    with pytest.raises(ConnectionError):
        varquin.Bus(address)


@pytest.mark.parametrize("address", ["garbage", "/run/dbus/system_bus_socket", ":path=/x", "unix:path", "unix:=x", ";"])
def test_what_is_not_an_address_raises_value_error_naming_it_and_the_form(address):
    with pytest.raises(ValueError, match=re.escape(repr(address)) + ".*transport:key=value"):
        varquin.Bus(address)


def test_after_the_bus_daemon_restarts_calls_raise_and_a_new_bus_works():
    daemon = PrivateBus(env=child_env())
    try:
        bus = varquin.Bus(daemon.address)
        daemon.restart()
        with pytest.raises(ConnectionError):
            bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId")
        with varquin.Bus(daemon.address) as fresh:
            (names,) = fresh.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames")
            assert fresh.unique_name in names
        bus.close()
    finally:
        daemon.stop()


CTRL_C = """
import os, signal, threading, varquin
bus = varquin.Bus.system()
for what in ("call", "get"):
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        if what == "call":
            bus.call("{echo}", "{path}", "{echo}", "Silent")
        else:
            bus.subscribe(member="Never").get()
        print(what, "returned")
    except KeyboardInterrupt:
        print(what, "interrupted")
print(bus.call("{echo}", "{path}", "{echo}", "Echo", "s", "still usable")[0])
"""


def test_ctrl_c_interrupts_a_wait_on_the_main_thread_and_the_bus_stays_usable(echo_peer):
    out = subprocess.run(
        [sys.executable, "-c", CTRL_C.format(echo=ECHO, path=PATH)],
        capture_output=True,
        text=True,
        timeout=60,
        env=child_env(imports_module=True),
    )
    assert out.stdout.split("\n")[:3] == ["call interrupted", "get interrupted", "still usable"], out.stderr


def test_a_subscription_follows_the_new_owner_of_a_well_known_name(bus, system_bus):
    first = PeerProcess("echo_peer.py", OTHER, OTHER, env=child_env())
    try:
        with bus.subscribe(sender=OTHER, member="Ping") as sub:
            bus.call(OTHER, PATH, ECHO, "Emit", "ss", "Ping", "first")
            assert sub.get(timeout=5).args == ("first",)
            first.stop()
            second = PeerProcess("echo_peer.py", OTHER, OTHER, env=child_env())
            try:
                # The old owner is gone; the name's new owner is followed.
                bus.call(OTHER, PATH, ECHO, "Emit", "ss", "Ping", "second")
                assert sub.get(timeout=5).args == ("second",)
            finally:
                second.stop()
    finally:
        first.stop()


def test_a_reader_in_another_thread_serves_the_replies_and_deadlines_of_others(bus):
    # One thread waits on a subscription for ever, so it reads the connection;
    # the others' replies and timeouts must not depend on it.
    with bus.subscribe(member="Never") as sub:
        reader = threading.Thread(target=lambda: pytest.raises(ValueError, sub.get))
        reader.start()
        try:
            assert call(bus, "Echo", "s", "through the reader") == ("through the reader",)
            began = time.monotonic()
            with pytest.raises(TimeoutError):
                call(bus, "Silent", timeout=0.2)
            assert time.monotonic() - began < 5
        finally:
            sub.close()
            reader.join(5)
    assert not reader.is_alive()


def test_a_message_over_the_bus_limit_raises_connection_error(echo_peer):
    # The bus daemon ends a connection that sends more than its limit (the
    # private bus allows 100 MB): the call and the next raise; a new Bus works.
    with varquin.Bus.system() as big:
        for _ in range(2):
            with pytest.raises(ConnectionError):
                call(big, "Echo", "ay", bytes(110 * 1000 * 1000))
    with varquin.Bus.system() as fresh:
        assert call(fresh, "Echo", "s", "after") == ("after",)


@pytest.fixture
def runtime_dir(tmp_path, system_bus):
    """An XDG_RUNTIME_DIR whose 'bus' is the private bus's socket."""
    (tmp_path / "bus").symlink_to(system_bus.socket)
    return tmp_path


NOWHERE = "unix:path=/nonexistent/varquin/session_socket"


@pytest.mark.parametrize(
    "session_address,use_runtime_dir,outcome",
    [
        ("private", False, "private"),
        (None, True, "runtime dir"),
        (NOWHERE, True, NOWHERE),  # a given address is used alone, even when it fails
        (None, False, "neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR"),
    ],
)
def test_the_session_bus_is_found_as_d_bus_says(
    monkeypatch, system_bus, runtime_dir, session_address, use_runtime_dir, outcome
):
    for name, value in (
        ("DBUS_SESSION_BUS_ADDRESS", system_bus.address if session_address == "private" else session_address),
        ("XDG_RUNTIME_DIR", str(runtime_dir) if use_runtime_dir else None),
    ):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    expected = {"private": system_bus.address, "runtime dir": f"unix:path={runtime_dir}/bus"}.get(outcome)
    if expected is None:
        with pytest.raises(ConnectionError, match=outcome):
            varquin.Bus.session()
        return
    with varquin.Bus.session() as bus:
        assert bus.address == expected and bus.unique_name.startswith(":")

    async def aio_session():
        async with await varquin.aio.Bus.session() as abus:
            return abus.unique_name

    assert asyncio.run(aio_session()).startswith(":")


def test_a_failed_system_bus_names_the_address_it_tried(unreachable_bus):
    with pytest.raises(ConnectionError, match=re.escape(unreachable_bus)):
        varquin.Bus.system()


def run_in_child(body, timeout=20):
    """Runs body() in a forked child; returns what it returned (a str), or
    fails when the child hangs past `timeout` (it is killed by its PID)."""
    import select

    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            result = body()
        except BaseException as e:
            result = f"raised {type(e).__name__}: {e}"
        os.write(write_end, result.encode())
        os._exit(0)
    os.close(write_end)
    try:
        ready, _, _ = select.select([read_end], [], [], timeout)
        if not ready:
            os.kill(pid, 9)
            pytest.fail(f"the forked child hung for {timeout} s")
        return os.read(read_end, 65536).decode()
    finally:
        os.close(read_end)
        os.waitpid(pid, 0)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with threads running
def test_a_bus_inherited_across_fork_fails_at_once_in_the_child_and_works_in_the_parent(bus):
    class Thing(varquin.Interface, name="org.varquin.Test.Fork"):
        pass

    handle = bus.export("/fork", Thing())
    sub = bus.subscribe(interface="org.varquin.Test.Fork", member="Ping")
    got = []
    # This thread is the connection's reader while the process forks.
    reader = threading.Thread(target=lambda: got.append(sub.get(timeout=30)))
    reader.start()

    def child():
        outcomes = []
        attempts = [
            ("get", sub.get),
            ("call", lambda: call(bus, "Echo", "s", "x")),
            ("emit", lambda: bus.emit("/", "org.varquin.Test.Fork", "Ping")),
            ("subscribe", lambda: bus.subscribe(member="Other")),
            ("sub.close", sub.close),
            ("export.close", handle.close),
        ]
        for name, attempt in attempts:
            try:
                attempt()
                outcomes.append(f"{name}: ok")
            except ChildProcessError:
                outcomes.append(f"{name}: ChildProcessError")
        # A thread of the child fails the same way, without waiting.
        in_thread = []
        t = threading.Thread(target=lambda: in_thread.append(pytest.raises(ChildProcessError, call, bus, "Echo")))
        t.start()
        t.join(10)
        outcomes.append(f"thread: {bool(in_thread)}")
        outcomes.append(f"closed: {bus.closed}, export closed: {handle.closed}")
        bus.close()
        outcomes.append(f"closed after close: {bus.closed}")
        try:
            call(bus, "Echo")
        except ValueError:
            outcomes.append("closed bus: ValueError")
        return ", ".join(outcomes)

    assert run_in_child(child) == (
        "get: ChildProcessError, call: ChildProcessError, emit: ChildProcessError, "
        "subscribe: ChildProcessError, sub.close: ok, export.close: ok, thread: True, closed: False, "
        "export closed: True, closed after close: True, closed bus: ValueError"
    )
    # The parent's bus, its reader and its subscription go on.
    assert call(bus, "Echo", "s", "parent") == ("parent",)
    bus.emit("/", "org.varquin.Test.Fork", "Ping")
    reader.join(30)
    assert [s.member for s in got] == ["Ping"]
    assert not handle.closed  # the parent's export stays
    sub.close()
    handle.close()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_an_asyncio_bus_inherited_across_fork_fails_in_the_child_and_leaves_the_parents_loop_alone(echo_peer):
    async def main():
        async with await varquin.aio.Bus.system() as abus:

            def child():
                try:
                    abus.call(ECHO, PATH, ECHO, "Echo").send(None)
                    return "call: no error"
                except ChildProcessError:
                    pass
                abus.close()  # must not touch the parent's loop (its epoll set is shared)
                return f"closed: {abus.closed}"

            assert run_in_child(child) == "closed: True"
            # No deadline of its own: only the loop's watch of the descriptor
            # brings the reply.
            assert await abus.call(ECHO, PATH, ECHO, "Echo", "s", "parent", timeout=math.inf) == ("parent",)

    asyncio.run(asyncio.wait_for(main(), 30))


@pytest.fixture
def fake_ssh(tmp_path, monkeypatch):
    """Puts an `ssh` running the given shell script first on PATH."""
    folder = tmp_path / "bin"
    folder.mkdir()

    def make(script):
        ssh = folder / "ssh"
        # The sanitizer run preloads its runtime into the test process; the
        # tools the stand-in runs (socat) go without it.
        ssh.write_text("#!/bin/sh\nunset LD_PRELOAD\n" + script)
        ssh.chmod(0o755)

    monkeypatch.setenv("PATH", f"{folder}{os.pathsep}{os.environ['PATH']}")
    return make


def test_ssh_failures_carry_what_ssh_said_and_its_messages_stay_off_the_terminal(fake_ssh, capfd):
    fake_ssh(
        "echo 'Warning: Permanently added web1 to the list of known hosts.' >&2\n"
        "echo 'ssh: Could not resolve hostname nohost.invalid: Name or service not known' >&2\n"
        "exit 255\n"
    )
    with pytest.raises(ConnectionError, match="nohost.invalid over SSH: ssh: Could not resolve hostname") as failed:
        varquin.Bus.remote("nohost.invalid", timeout=20)
    assert not isinstance(failed.value, ConnectionResetError)
    assert "Warning" not in capfd.readouterr().err


@pytest.mark.parametrize(
    "host,user,argv",
    [
        ("root@web1:2222", False, "-xT -p 2222 -- root@web1 systemd-stdio-bridge"),
        ("root@[::1]:2222", False, "-xT -p 2222 -- root@::1 systemd-stdio-bridge"),
        ("web1", True, "-xT -- web1 systemd-stdio-bridge --bus-path=unix:path=$XDG_RUNTIME_DIR/bus"),
    ],
)
def test_a_working_ssh_connection_runs_the_bridge_with_the_port_and_keeps_ssh_quiet(
    fake_ssh, capfd, tmp_path, system_bus, host, user, argv
):
    args = tmp_path / "args"
    fake_ssh(
        f'echo "$@" > {args}\n'
        "echo 'Warning: Permanently added web1 to the list of known hosts.' >&2\n"
        f"exec socat STDIO UNIX-CONNECT:{system_bus.socket}\n"
    )
    with varquin.Bus.remote(host, user=user, timeout=20) as bus:
        assert bus.unique_name.startswith(":") and bus.address == host
    assert args.read_text() == f"{argv}\n"
    assert "Warning" not in capfd.readouterr().err


# What a host string means to every part of the package that takes one:
# (text, whether it is a D-Bus address, parse_host's answer or None where
# it is refused, ssh's arguments after "ssh -xT").
HOSTS = [
    ("web1", False, (None, "web1", None), ["--", "web1"]),
    ("web1:2222", False, (None, "web1", 2222), ["-p", "2222", "--", "web1"]),
    ("root@web1:2222", False, ("root", "web1", 2222), ["-p", "2222", "--", "root@web1"]),
    ("a@b@web1", False, ("a@b", "web1", None), ["--", "a@b@web1"]),  # the last '@' ends the user
    ("[::1]:2222", False, (None, "::1", 2222), ["-p", "2222", "--", "::1"]),
    ("root@[fe80::1%eth0]:22", False, ("root", "fe80::1%eth0", 22), ["-p", "22", "--", "root@fe80::1%eth0"]),
    ("[::1]", False, (None, "::1", None), ["--", "::1"]),
    ("::1", False, (None, "::1", None), ["--", "::1"]),  # bare IPv6: all of it the host
    ("root@2001:db8::1", False, ("root", "2001:db8::1", None), ["--", "root@2001:db8::1"]),
    ("unix:path=/run/x", True, None, None),
    ("tcp:host=127.0.0.1,port=1;unix:path=/x", True, None, None),
    ("web1:", True, None, None),  # a transport without keys: the bus library judges it
    ("", False, None, None),
    ("web1:ssh", False, None, None),
    ("web1:0", False, None, None),
    ("web1:65536", False, None, None),
    ("web1::22", False, None, None),  # two ':' but no IPv6 address
    ("[::1", False, None, None),
    ("[::1]x", False, None, None),
    ("[web1]:22", False, None, None),
    ("@web1", False, None, None),
    ("web 1", False, None, None),
    ("web1\x00", False, None, None),
]


@pytest.mark.parametrize("text,address,parsed,argv", HOSTS)
def test_what_a_host_string_means(text, address, parsed, argv):
    assert _core.is_address(text) is address
    assert fleet.is_address(text) is address
    if parsed is None:
        for reader in (_core.parse_host, _core.ssh_argv, journal.ssh_target, varquin.Bus.remote):
            with pytest.raises(ValueError, match=re.escape(repr(text)) + " is not valid"):
                reader(text)
        if text and "\0" not in text:  # (those two are refused before they are read)
            with pytest.raises(ValueError, match=r"\[user@\]host\[:port\]"):
                varquin.Bus.remote(text)
    else:
        assert _core.parse_host(text) == parsed
        assert _core.ssh_argv(text) == journal.ssh_target(text) == ["ssh", "-xT", *argv]

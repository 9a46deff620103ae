"""The service host: Python callables published as bus methods, called by
independent peers on the private bus, answered as their results say, and
stopped from another thread."""

import ctypes
import errno
import os
import resource
import socket
import stat
import subprocess
import sys
import threading
import time
import weakref

import pytest
from jeepney import DBusAddress, MessageType, message_bus, new_method_call
from jeepney.io.blocking import open_dbus_connection

import _varquin
from testing.env import child_env, wait_for
from testing.privatebus import PrivateBus
from testing.servicelib import Caller, ListenThread, Method, Service, event_fd, fresh_interface, register, registry

MISSING = "service_register() is called without required arguments"
NOT_CALLABLE = "service_register() argument `python_method` must be callable"


class Host:
    """The services and callers a test started."""

    def __init__(self):
        self.services, self.callers = [], []

    def serve(self, *methods):
        self.services.append(Service(*methods))
        return self.services[-1]

    def caller(self):
        self.callers.append(Caller())
        return self.callers[-1]


@pytest.fixture
def host():
    """At the end every loop is stopped and joined, with bounded waits,
    whatever the test did."""
    h = Host()
    yield h
    for c in h.callers:
        c.close()
    _varquin.deinit_server()
    stuck = [s for s in h.services if not s.loop.join(15)]
    assert not stuck, "a listen loop did not return"


@pytest.fixture(autouse=True)
def no_server_left():
    _varquin.deinit_server()
    yield
    _varquin.deinit_server()


def server_unique_name(native):
    sd = ctypes.CDLL("libsystemd.so.0")
    sd.sd_bus_get_unique_name.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p)]
    name = ctypes.c_char_p()
    assert sd.sd_bus_get_unique_name(native.acquire_server_bus(), ctypes.byref(name)) >= 0
    return name.value.decode()


# ---------------------------------------------------------------------------
# The registry and registration


def test_init_sizes_the_registry_and_deinit_releases_it(native):
    assert _varquin.init(3) is True
    amount, slots = registry(native)
    assert amount == 3 and len(slots) == 3
    for slot in slots:
        assert [getattr(slot, f) for f, _ in slot._fields_] == [None] * 6
    assert _varquin.deinit_server() is True
    assert registry(native) == (3, None)  # the count keeps its value
    for n in (0, -2):
        assert _varquin.init(n) is True
        assert registry(native) == (n, None)


@pytest.mark.parametrize(
    "args,message",
    [
        (("/p",), MISSING),
        (("/p", "org.varquin.X", "M", "s"), MISSING),
        (("", "org.varquin.X", "M", "s", "s", print), MISSING),
        (("/p", "", "M", "s", "s", print), MISSING),
        (("/p", "org.varquin.X", "", "s", "s", print), MISSING),
        (("/p", "org.varquin.X", "M", "", "s", print), MISSING),
        (("/p", "org.varquin.X", "M", "s", "", print), MISSING),
        (("/p", "org.varquin.X", "M", "s", "s", None), NOT_CALLABLE),
        (("/p", "org.varquin.X", "M", "s", "s", 5, 0), NOT_CALLABLE),
    ],
)
def test_missing_strings_and_non_callables_raise_attribute_error(args, message, native):
    _varquin.init(1)
    with pytest.raises(AttributeError) as info:
        _varquin.service_register(*args)
    assert str(info.value) == message
    _, slots = registry(native)
    assert slots[0].method_name is None and slots[0].method_vtable is None
    assert native.error_code == 0 and native.is_server_bus_open() == 0


def test_arguments_of_the_wrong_type_raise_the_parsers_error(native):
    _varquin.init(1)
    for args in [(), (1,), ("/p", "org.varquin.X", "M", "s", "s", print, "0"), ("/p", b"x")]:
        with pytest.raises(TypeError):
            _varquin.service_register(*args)
    assert registry(native)[1][0].method_name is None


def test_registration_without_a_free_slot_is_refused_with_code_13(host, native):
    fn = lambda s: (s,)  # noqa: E731
    base = sys.getrefcount(fn)
    iface = fresh_interface()
    reg = lambda i: _varquin.service_register("/p", iface, "Echo", "s", "s", fn, i)  # noqa: E731
    assert reg(0) == 0  # before init
    assert native.error_code == 13 and "init()" in native.detail
    _varquin.init(2)
    for index in (2, -1, 99):
        assert reg(index) == 0
        assert native.error_code == 13 and "outside the registry of 2 slots" in native.detail
    assert sys.getrefcount(fn) == base  # no slot, no reference kept
    assert reg(0) == 1 and sys.getrefcount(fn) == base + 1
    assert reg(0) == 0
    assert native.error_code == 13 and native.detail == "method index 0 is already registered"
    assert sys.getrefcount(fn) == base + 1
    # The refused registrations left the first one intact: it still serves.
    _varquin.get_last_error(0)
    loop = ListenThread()
    c = host.caller()
    assert c.body(Method("Echo", "s", "s", fn, interface=iface, path="/p"), "s", "kept") == ("s", ("kept",))
    assert _varquin.deinit_server() and loop.join(15) and loop.result == 1
    assert sys.getrefcount(fn) == base  # deinit_server gave the reference back


def test_init_without_memory_says_so_and_deinit_server_touches_only_the_used_slots():
    # A child process: 10**7 slots (480 MB, untouched) fit, and deinit_server
    # must not make them resident; an address-space limit (the sanitizer's
    # allocation cap in that build) makes 10**8 slots fail.
    probe = f"""
import os, resource, _varquin
def kb(field):  # from /proc/self/status: VmHWM is the peak resident size
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))
_varquin.init(10**7)
assert _varquin.service_register("/p", {fresh_interface()!r}, "M", "s", "s", print, 0) == 1
before = kb("VmHWM")
_varquin.deinit_server()
print((kb("VmHWM") - before) >> 10)
if not os.environ.get("VQ_SANITIZED"):
    resource.setrlimit(resource.RLIMIT_AS, ((kb("VmSize") << 10) + (1 << 30), resource.RLIM_INFINITY))
print(_varquin.init(10**8), _varquin.get_last_error(0))
print(_varquin.service_register("/p", "org.varquin.X", "M", "s", "s", print, 0), _varquin.get_last_error(0))
"""
    env = child_env(imports_module=True)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=2048"
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    peak_growth_mb, *lines = done.stdout.splitlines()
    assert int(peak_growth_mb) < 100
    assert lines == [
        "False Failed to add object vtable, no memory for 100000000 method slots, Success",
        "0 Failed to add object vtable, no method registry: no memory for 100000000 method slots, Success",
    ]


def test_a_second_init_keeps_the_earlier_methods_until_deinit_server(host, native):
    first = Method("First", "s", "s", lambda s: ("first",))
    second = Method("Second", "s", "s", lambda s: ("second",))
    counts = [sys.getrefcount(first.fn), sys.getrefcount(second.fn)]
    assert register([first]) == [1]
    assert register([second]) == [1]  # a new registry; the first stays published
    loop = ListenThread()
    c = host.caller()
    assert c.body(first, "s", "") == ("s", ("first",))
    assert c.body(second, "s", "") == ("s", ("second",))
    assert _varquin.deinit_server() and loop.join(15)
    assert [sys.getrefcount(first.fn), sys.getrefcount(second.fn)] == counts


def test_name_owned_by_another_peer_gives_code_11_but_the_method_is_published(host, native):
    iface = fresh_interface()
    owner = open_dbus_connection(bus="SYSTEM")
    try:
        assert owner.send_and_get_reply(message_bus.RequestName(iface, 4)).body == (1,)
        other = Method("Ping", "s", "s", lambda s: ("pong " + s,), interface=iface)
        same = Method("Again", "s", "s", lambda s: ("again " + s,))
        second = Method("Second", "s", "s", lambda s: ("second " + s,), interface=same.interface)
        _varquin.init(3)
        reg = lambda m, i: _varquin.service_register(m.path, m.interface, m.member, "s", "s", m.fn, i)  # noqa: E731
        assert reg(other, 0) == 0 and native.error_code == 11
        native.vq_clean_error()
        # A name this connection owns already is no failure.
        assert [reg(same, 1), reg(second, 2)] == [1, 1] and native.error_code == 0
        loop = ListenThread()
        unique = server_unique_name(native)
        c = host.caller()
        reply = c.call(other, "s", "x", destination=unique)
        assert reply.header.message_type == MessageType.method_return and reply.body == ("pong x",)
        assert c.body(second, "s", "y") == ("s", ("second y",))
        assert _varquin.deinit_server() and loop.join(15)
    finally:
        owner.close()


def test_vtable_refused_by_the_library_gives_code_13(native, system_bus, unreachable_bus):
    _varquin.init(3)
    assert _varquin.service_register("/p", "org.varquin.X", "M", "s", "s", print, 0) == 0
    assert native.error_code == 13 and native.detail is None  # replaced the code 4 of the open
    _varquin.deinit_server()
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address
    _varquin.init(2)
    for index, (path, member) in enumerate([("not/a/path", "M"), ("/p", "bad member")]):
        assert _varquin.service_register(path, fresh_interface(), member, "s", "s", print, index) == 0
        assert native.error_code == 13 and native.detail is None


# ---------------------------------------------------------------------------
# Calls and replies


def test_string_arguments_reach_the_callable_in_call_order(host):
    seen = []

    def join(a, b):
        seen.append((a, b))
        return (a + "|" + b,)

    one = Method("Upper", "s", "s", lambda s: (s.upper(),))
    two = Method("Join", "s", "ss", join)
    host.serve(one, two)
    c = host.caller()
    assert c.body(one, "s", "grüße") == ("s", ("GRÜSSE",))
    assert c.body(two, "ss", "héllo", "wörld") == ("s", ("héllo|wörld",))
    busctl = subprocess.run(
        ["busctl", "--system", "call", two.interface, two.path, two.interface, "Join", "ss", "a", "b"],
        capture_output=True,
        text=True,
        timeout=30,
        env=child_env(),
    )
    assert busctl.stdout == 's "a|b"\n', busctl.stderr
    gdbus = subprocess.run(
        [
            "gdbus",
            "call",
            "--system",
            "--dest",
            two.interface,
            "--object-path",
            two.path,
            "--method",
            f"{two.interface}.Join",
            "c",
            "d",
        ],
        capture_output=True,
        text=True,
        timeout=30,
        env=child_env(),
    )
    assert gdbus.stdout == "('c|d',)\n", gdbus.stderr
    assert seen == [("héllo", "wörld"), ("a", "b"), ("c", "d")]


FAILED = "org.freedesktop.DBus.Error.Failed"
MISMATCH = None  # an error reply naming the result and the output signature

REPLY_CASES = [
    # output signature, what the callable returns, the reply (signature and
    # values) or MISMATCH
    ("is", (0, "x"), ("is", (0, "x"))),
    ("i", (2**32 + 5,), ("i", (5,))),  # the low 32 bits
    ("i", (2**31,), ("i", (-(2**31),))),
    ("i", (True,), ("i", (1,))),
    ("ss", ("x", "y", "z"), ("ss", ("x", "y"))),  # items beyond the signature are ignored
    ("is", (1, 2), MISMATCH),  # position 1 holds an int where a string is due
    ("si", (1, "a"), MISMATCH),
    ("sisi", (1.5, 2, b"x", 3), MISMATCH),  # floats and bytes fit no position
    ("ssi", (["a"], None, 4), MISMATCH),  # nor do lists and None
    ("iss", (7,), MISMATCH),  # a short tuple
    ("s", 5, MISMATCH),  # not a tuple
    ("s", (), MISMATCH),
    ("i", (2**70,), MISMATCH),  # beyond 64 bits: printed
    ("ss", ("\udcff", "after"), MISMATCH),  # cannot be encoded: printed
]


def test_replies_carry_the_results_or_an_error_naming_the_mismatch(host, native, capfd):
    methods = [
        Method(f"Case{i}", out, "s", lambda _s, value=value: value)
        for i, (out, value, _reply) in enumerate(REPLY_CASES)
    ]
    svc = host.serve(*methods)
    c = host.caller()
    for m, (out, value, expected) in zip(methods, REPLY_CASES, strict=True):
        if expected is MISMATCH:
            # sd-bus sends a method return only with the declared signature.
            assert c.error(m, "s", "") == (FAILED, f'result {value!r} does not match output signature "{out}"')
            assert native.error_code == 14
            native.vq_clean_error()
        else:
            assert c.body(m, "s", "") == expected
            assert native.error_code == 0
    assert svc.stop() == 1  # no exception was left behind to surface in listen
    err = capfd.readouterr().err
    assert "OverflowError" in err and "UnicodeEncodeError" in err


class CustomError(Exception):
    pass


def test_a_raising_callable_is_answered_with_its_exception_and_the_loop_goes_on(host, native, capfd):
    def raiser(exc):
        def fn(s):
            raise exc(s) if s else exc

        return fn

    cases = [
        (ValueError, "boom now", "ValueError: boom now"),
        (KeyboardInterrupt, "", "KeyboardInterrupt"),
        (CustomError, "x", f"{__name__}.CustomError: x"),
    ]
    methods = [Method(f"Raise{i}", "s", "s", raiser(exc)) for i, (exc, _arg, _text) in enumerate(cases)]
    good = Method("Fine", "s", "s", lambda s: ("fine",))
    svc = host.serve(*methods, good)
    c = host.caller()
    for m, (_exc, arg, text) in zip(methods, cases, strict=True):
        assert c.error(m, "s", arg) == (FAILED, text)
        assert native.error_code == 14
    assert c.body(good, "s", "") == ("s", ("fine",))
    assert svc.stop() == 1
    err = capfd.readouterr().err
    assert "ValueError: boom now" in err and "KeyboardInterrupt" in err and "CustomError: x" in err


def test_an_interrupt_a_callable_raised_does_not_end_the_process_later(tmp_path):
    # The interrupt is answered and printed at the call; the program then
    # goes on and ends normally.  Run as `python -m`, whose interpreter ends
    # itself with SIGINT at exit when it holds an interrupt as unhandled.
    (tmp_path / "vq_interrupted.py").write_text(
        "from testing.servicelib import Caller, Method, Service\n"
        "def fn(s):\n    raise KeyboardInterrupt\n"
        'm = Method("Interrupt", "s", "s", fn)\n'
        "svc = Service(m)\n"
        'print(Caller().error(m, "s", "")[1])\n'
        "assert svc.stop() == 1\n"
    )
    pythonpath = os.pathsep.join([str(tmp_path), os.getcwd()])
    done = subprocess.run(
        [sys.executable, "-m", "vq_interrupted"],
        capture_output=True,
        text=True,
        timeout=60,
        env=child_env(imports_module=True, PYTHONPATH=pythonpath),
    )
    assert (done.returncode, done.stdout) == (0, "KeyboardInterrupt\n"), done.stderr


def test_arguments_of_every_basic_type_become_python_values(host):
    got = []
    sig = "ybnqiuxtdsog"
    m = Method("Types", "i", sig, lambda *a: (got.append(a) or len(a),))
    host.serve(m)
    values = (255, True, -2, 65535, -5, 2**32 - 1, -(2**63), 2**64 - 1, 1.5, "s", "/o/p", "a{sv}")
    assert host.caller().body(m, sig, *values) == ("i", (12,))
    assert got == [values]
    assert [type(v) for v in got[0]] == [int, bool, int, int, int, int, int, int, float, str, str, str]


def test_a_method_without_a_callable_answers_with_an_error(host, native):
    iface = fresh_interface()
    _varquin.init(2)
    assert _varquin.service_register("/p", iface, "Nothing", "s", "s") == 1
    loop = ListenThread()
    c = host.caller()
    m = Method("Nothing", "s", "s", None, interface=iface, path="/p")
    reply = c.call(m, "s", "x")
    assert reply.header.message_type == MessageType.error
    assert reply.header.fields[4] == "org.freedesktop.DBus.Error.NotSupported"  # 4: error name
    assert "No callable is registered for method Nothing" in reply.body[0]
    reply = c.call(m, "s", "again")  # the loop goes on
    assert reply.header.message_type == MessageType.error
    assert _varquin.deinit_server() and loop.join(15) and loop.result == 0


def test_a_reply_of_one_megabyte_is_delivered_whole(host):
    big = "x" * (1 << 20)
    m = Method("Big", "s", "s", lambda s: (big + s,))
    assert register([m]) == [1]
    # A small send buffer makes sd-bus write the reply in many parts: the
    # rest goes out only if the loop waits for the descriptor to be writable.
    with socket.socket(fileno=os.dup(_varquin.get_sd_bus_fd())) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
    svc = ListenThread()
    c = host.caller()
    for tail in ("a", "b"):
        # Well below the loop's 10-second wait.
        assert c.body(m, "s", tail, timeout=8) == ("s", (big + tail,))
    assert _varquin.deinit_server() and svc.join(15)


def test_calls_queued_before_listen_are_served_without_new_traffic(host):
    early = Method("Early", "s", "s", lambda s: ("early " + s,))
    late = Method("Late", "s", "s", lambda s: (s,))
    _varquin.init(2)
    assert _varquin.service_register(early.path, early.interface, "Early", "s", "s", early.fn, 0) == 1
    callers = [host.caller() for _ in range(3)]
    for k, c in enumerate(callers):
        c.conn.send(new_method_call(DBusAddress(early.path, early.interface, early.interface), "Early", "s", (str(k),)))
        # The daemon answers this after it has passed the call on.
        c.conn.send_and_get_reply(message_bus.GetId(), timeout=10)
    # This registration's name request reads the three calls off the socket
    # while it waits for its own reply: sd-bus queues them, and the socket
    # has nothing left to announce.
    assert _varquin.service_register(late.path, late.interface, "Late", "s", "s", late.fn, 1) == 1
    loop = ListenThread()
    try:
        for k, c in enumerate(callers):
            reply = c.conn.receive(timeout=5)
            assert reply.body == (f"early {k}",)
    finally:
        assert _varquin.deinit_server() and loop.join(15)


def test_eight_concurrent_callers_are_all_answered_without_stalls(host):
    m = Method("Add", "is", "ss", lambda a, b: (int(a) + int(b), a + "+" + b))
    host.serve(m)
    failures = []
    start = threading.Barrier(8)

    def caller(k):
        c = Caller()
        try:
            start.wait(10)
            for i in range(500):
                # A call left waiting for the loop's 10-second wait would
                # miss this timeout.
                got = c.body(m, "ss", str(k), str(i), timeout=5)
                if got != ("is", (k + i, f"{k}+{i}")):
                    failures.append((k, i, got))
        except Exception as e:
            failures.append((k, repr(e)))
        finally:
            c.close()

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


# ---------------------------------------------------------------------------
# The loop and its shutdown


def test_deinit_server_from_another_thread_stops_an_idle_loop(native):
    m = Method("Idle", "s", "s", lambda s: (s,))
    svc = Service(m)
    assert wait_for(lambda: event_fd(native) > 0)
    fd = event_fd(native)
    assert svc.stop() == 0  # no call was served
    assert event_fd(native) == 0
    with pytest.raises(OSError):
        os.fstat(fd)  # the loop closed its eventfd
    assert native.is_server_bus_open() == 0 and registry(native)[1] is None
    assert native.error_code == 0


def test_listen_returns_only_after_deinit_server_has_finished(native):
    # What the loop's thread sees as soon as listen returns: the callable
    # given back and the error state cleared, in every cycle.
    seen = []

    class Echo:
        def __call__(self, s):
            return (s,)

        def __del__(self):
            time.sleep(0.001)  # gives a loop that returned too early the interpreter lock

    def run(alive):
        _varquin.listen()
        seen.append((native.error_code, alive() is None))

    for _ in range(20):
        echo = Echo()
        loop = threading.Thread(target=run, args=(weakref.ref(echo),))
        assert register([Method("Echo", "s", "s", echo)]) == [1]
        del echo  # the registry holds the only reference
        loop.start()
        assert wait_for(lambda: event_fd(native) > 0)
        native.set_vq_error(5)
        assert _varquin.deinit_server() is True
        loop.join(15)
        assert not loop.is_alive()
    assert seen == [(0, True)] * 20


def test_a_deinit_server_at_any_moment_after_listen_was_called_ends_it(host, native):
    # Called after deinit_server, before the next init: nothing to serve,
    # listen returns at once.
    assert register([Method("Idle", "s", "s", print)]) == [1]
    _varquin.deinit_server()
    late = ListenThread()
    assert late.join(5) and late.result == 0 and native.is_server_bus_open() == 0
    for _ in range(20):  # started just before deinit_server: whichever runs first, it ends
        assert register([Method("Idle", "s", "s", print)]) == [1]
        loop = ListenThread()
        _varquin.deinit_server()
        assert loop.join(5)
    m = Method("Again", "s", "s", lambda s: ("again " + s,))
    host.serve(m)  # init starts anew
    assert host.caller().body(m, "s", "x") == ("s", ("again x",))


def test_deinit_server_without_a_loop_and_twice(native):
    assert register([Method("Unused", "s", "s", print)]) == [1]
    native.set_vq_error(5)
    assert _varquin.deinit_server() is True
    assert native.is_server_bus_open() == 0 and registry(native)[1] is None
    assert native.error_code == 0 and event_fd(native) == 0
    native.set_vq_error(7)
    assert _varquin.deinit_server(1, "ignored") is True
    assert native.error_code == 0


def test_deinit_server_waits_for_a_callable_that_is_still_running(host, native):
    entered, release = threading.Event(), threading.Event()
    replies, stopped, seen = [], [], []

    def slow(s):
        entered.set()
        release.wait(20)
        seen.append(list(stopped))  # deinit_server, under way by now, has not finished
        return ("done " + s,)

    def stop():
        release.set()  # the callable goes on once deinit_server lets go of the interpreter lock
        stopped.append(_varquin.deinit_server())

    m = Method("Slow", "s", "s", slow)
    svc = host.serve(m)
    c = host.caller()
    call = threading.Thread(target=lambda: replies.append(c.body(m, "s", "x", timeout=30)))
    call.start()
    stopper = threading.Thread(target=stop)
    assert entered.wait(10)
    stopper.start()
    stopper.join(15)
    call.join(15)
    assert seen == [[]] and stopped == [True]
    assert replies == [("s", ("done x",))]  # the reply went out before the close
    assert svc.loop.join(15) and svc.loop.result == 1
    assert native.is_server_bus_open() == 0


EXIT_PROBE = r"""
import ctypes, sys, threading, time, _varquin
iface, where, catch = sys.argv[1:]
_varquin.init(1)
assert _varquin.service_register("/p", iface, "Quit", "s", "s", lambda s: sys.exit(int(s)), 0) == 1
if where == "main":
    print("ready", flush=True)  # the call waits on the connection until listen runs
    _varquin.listen()
    sys.exit("listen returned")
loop = threading.Thread(target=_varquin.listen)
loop.start()
while ctypes.c_int.in_dll(ctypes.CDLL(_varquin.__file__), "g_event_fd").value == 0:
    time.sleep(0.01)
if catch == "ended":
    print("ready", flush=True)
    sys.exit()  # the main thread finishes: the process waits for the loop's thread
try:
    # Ready only inside the try: the exit may reach this thread at once.
    print("ready", flush=True)
    loop.join()
    for _ in range(1000):  # the exit arrives here at the latest
        time.sleep(0.01)
except SystemExit as e:
    if catch == "no":
        raise
    print("caught", e.code, _varquin.deinit_server(), flush=True)
"""


@pytest.mark.parametrize(
    "where,catch,reply,status,printed",
    [
        # On another thread: the caller is answered, the exit goes to the main thread.
        ("thread", "no", (FAILED, "SystemExit: 7"), 7, []),
        ("thread", "yes", (FAILED, "SystemExit: 7"), 0, ["caught 7 True"]),
        ("thread", "ended", (FAILED, "SystemExit: 7"), 7, []),  # nothing left to catch it
        # On the main thread the process ends at once, without a reply.
        ("main", "no", ("org.freedesktop.DBus.Error.NoReply", None), 7, []),
    ],
)
def test_system_exit_in_a_callable_ends_the_process_with_its_status(where, catch, reply, status, printed):
    from testing.processes import stop_process

    iface = fresh_interface()
    proc = subprocess.Popen(
        [sys.executable, "-c", EXIT_PROBE, iface, where, catch],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(imports_module=True),
    )
    try:
        assert proc.stdout.readline() == "ready\n"
        c = Caller()
        try:
            got = c.call(Method("Quit", "s", "s", None, interface=iface, path="/p"), "s", "7", timeout=10)
        finally:
            c.close()
        assert got.header.message_type == MessageType.error
        assert got.header.fields[4] == reply[0] and reply[1] in (None, got.body[0])
        out, err = proc.communicate(timeout=30)
        assert (proc.returncode, out.splitlines()) == (status, printed), err
    finally:
        stop_process(proc)


def test_a_callable_may_stop_the_service_it_runs_in(host, native):
    m = Method("Quit", "s", "s", lambda s: ("bye" if _varquin.deinit_server() else "?",))
    svc = host.serve(m)
    assert host.caller().body(m, "s", "") == ("s", ("bye",))
    assert svc.loop.join(15) and svc.loop.result == 1 and svc.loop.error is None
    assert native.is_server_bus_open() == 0 and registry(native)[1] is None


def test_a_second_listen_is_refused_while_one_runs(host, native):
    m = Method("First", "s", "s", lambda s: ("first",))
    host.serve(m)
    assert wait_for(lambda: event_fd(native) > 0)
    fd = event_fd(native)
    assert _varquin.listen() == -errno.EBUSY
    assert native.error_code == 9
    assert event_fd(native) == fd
    assert host.caller().body(m, "s", "") == ("s", ("first",))


def test_listen_without_a_connection_records_code_16(native, unreachable_bus):
    _varquin.init(1)  # a service after the fixture's deinit_server
    assert _varquin.listen() == -errno.ENOTCONN
    assert native.error_code == 16 and event_fd(native) == 0


def test_get_sd_bus_fd_opens_the_server_connection(native):
    fd = _varquin.get_sd_bus_fd()
    assert fd >= 0 and stat.S_ISSOCK(os.fstat(fd).st_mode)
    assert native.is_server_bus_open() == 1
    assert _varquin.get_sd_bus_fd(1, "ignored") == fd
    _varquin.deinit_server()
    assert native.is_server_bus_open() == 0


def test_a_lost_connection_ends_the_loop_promptly_and_a_new_service_starts(native, system_bus):
    doomed = PrivateBus()
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = doomed.address
    loop = None
    try:
        m = Method("Doomed", "s", "s", lambda s: (s,))
        assert register([m]) == [1]
        loop = ListenThread()
        c = Caller()
        assert c.body(m, "s", "alive") == ("s", ("alive",))
        c.close()
        doomed.stop()
        # sd-bus closes the descriptor after the disconnect; a loop that
        # only waited would never wake again.
        assert loop.join(8), "listen did not notice the lost connection"
        assert loop.result < 0 and native.error_code == 8
        assert event_fd(native) == 0
    finally:
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address
        _varquin.deinit_server()
        if loop:
            loop.join(15)
        doomed.stop()
    m = Method("Fresh", "s", "s", lambda s: ("fresh " + s,))
    svc = Service(m)
    c = Caller()
    try:
        assert c.body(m, "s", "start") == ("s", ("fresh start",))
    finally:
        c.close()
        assert svc.stop() == 1


# ---------------------------------------------------------------------------
# The open-file limit


def may_raise_hard_limits():
    """Whether this process holds CAP_SYS_RESOURCE (24)."""
    with open("/proc/self/status") as f:
        caps = next(int(line.split()[1], 16) for line in f if line.startswith("CapEff:"))
    return bool(caps >> 24 & 1)


HARD = resource.getrlimit(resource.RLIMIT_NOFILE)[1]  # what a child can be given at most


@pytest.mark.parametrize(
    "soft,hard,privileged,expected",
    [
        (1024, 4096, False, (4096, 4096)),  # the hard limit cannot rise: the soft one rises to it
        (1024, 4096, True, (16384, 16384)),
        (1024, HARD, False, (16384, HARD)),  # a higher hard limit stays
        (HARD, HARD, False, (HARD, HARD)),  # and so does a higher soft limit
    ],
)
def test_init_raises_the_open_file_limit_towards_16384_and_never_lowers_it(soft, hard, privileged, expected):
    if privileged and not may_raise_hard_limits():
        pytest.skip("this process may not raise a hard limit")
    if hard == HARD and HARD <= 16384:
        pytest.skip(f"the hard open-file limit here is {HARD}")
    libc = ctypes.CDLL(None, use_errno=True)

    def limited():
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        if not privileged:
            # Without CAP_SYS_RESOURCE (24) the child may lower its hard
            # limit but not raise it; PR_CAPBSET_DROP (24) takes it away
            # across exec.
            libc.prctl(24, 24, 0, 0, 0)

    probe = "import resource, _varquin; print(_varquin.init(0), *resource.getrlimit(resource.RLIMIT_NOFILE))"
    out = subprocess.run(
        [sys.executable, "-c", probe],
        capture_output=True,
        text=True,
        timeout=60,
        env=child_env(imports_module=True),
        preexec_fn=limited,
        check=True,
    ).stdout.split()
    assert out == ["True", *map(str, expected)]

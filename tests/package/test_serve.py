"""Serving Interface classes on a Bus: every type through exported methods
(called by jeepney and by busctl), properties, signals, error replies,
stopping, Ctrl-C, callers that vanish, many callers, and calls a callable
makes."""

import asyncio
import gc
import json
import logging
import os
import subprocess
import sys
import threading
import weakref
from pathlib import Path
from xml.etree import ElementTree

import pytest
from jeepney import DBusAddress, HeaderFields, MatchRule, MessageType, message_bus, new_method_call
from jeepney.io.blocking import open_dbus_connection

import varquin
import varquin.aio
from testing.env import child_env, wait_for
from testing.privatebus import CONFIG_HEAD, PrivateBus
from varquin import _core

NAME = "org.varquin.Test.Served"
DBUS = "org.freedesktop.DBus"
PATH = "/org/varquin/test/served"

# (signature, value as jeepney sends it, value as the method receives it)
TYPES = [
    ("ybnqiuxt", (255, True, -32768, 65535, -(2**31), 2**32 - 1, -(2**63), 2**64 - 1), None),
    ("dsog", (-0.5, "ünï", "/a/b", "a{sv}"), None),
    ("ay", (b"\x00\xff",), None),
    ("as", (["a", ""],), None),
    ("a{sv}", ({"n": ("i", 1), "l": ("as", ["x"])},), ({"n": 1, "l": ["x"]},)),
    ("a(si)", ([("a", 1)],), None),
    ("(i(sv))", ((1, ("s", ("u", 7))),), ((1, ("s", 7)),)),
    ("aa{ys}", ([{1: "one"}, {}],), None),
    ("v", (("ay", b"v"),), (b"v",)),
]


def make_echo_class():
    """One Echo method per signature of TYPES: it records what it received and
    returns it (variants go back as Variant of their received signature)."""
    members = {"received": None}
    for i, (sig, _, _) in enumerate(TYPES):

        def echo(self, *args, _sig=sig):
            self.received = args
            return _back(_sig, args)

        members[f"Echo{i}"] = varquin.method(sig, sig)(echo)
    return type("Echo", (varquin.Interface,), members, name=NAME)


def _back(sig, args):
    """What a method returns for `args` of `sig`: variants need their type."""
    out = []
    for value, t in zip(args, _types(sig), strict=True):
        out.append(_variantise(t, value))
    return out[0] if len(out) == 1 else tuple(out)


def _types(sig):
    types, depth, start = [], 0, 0
    i = 0
    while i < len(sig):
        c = sig[i]
        if c == "a":
            i += 1
            continue
        if c in "({":
            depth += 1
        elif c in ")}":
            depth -= 1
        if depth == 0:
            types.append(sig[start : i + 1])
            start = i + 1
        i += 1
    return types


def _variantise(t, value):
    if t == "v":
        return varquin.Variant("ay" if isinstance(value, bytes) else "u", value)
    if t == "a{sv}":
        kinds = {int: "i", list: "as", str: "s"}
        return {k: varquin.Variant(kinds[type(v)], v) for k, v in value.items()}
    if t == "(i(sv))":
        return (value[0], (value[1][0], varquin.Variant("u", value[1][1])))
    return value


class Counter(varquin.Interface, name="org.varquin.Test.Counter"):
    def __init__(self):
        self._count = 3

    @varquin.property("u")
    def Count(self):
        return self._count

    @Count.setter
    def Count(self, value):
        self._count = value

    @varquin.property("s")
    def Label(self):
        return "fixed"

    Changed = varquin.signal("su")

    @varquin.method("s", "")
    def Fail(self, how):
        if how == "named":
            raise varquin.BusError("org.varquin.Test.Error.Named", "named text")
        if how == "invalid":
            raise varquin.InvalidArgs("bad argument")
        if how == "exit":
            raise SystemExit(3)
        raise ValueError(f"boom {how}")

    @varquin.method("", "is")
    def Mismatch(self):
        return ("a",)

    @varquin.method("s", "s")
    def CallMyself(self, name):
        return self.bus.call(name, PATH, "org.varquin.Test.Counter", "Fail", "s", "x")[0]

    @varquin.method("", "")
    def Stop(self):
        self.bus.stop()

    @varquin.method("d", "s")
    def Sleep(self, seconds):
        threading.Event().wait(seconds)  # holds this call, not the bus
        return "slept"


class Served(make_echo_class(), Counter):
    pass


@pytest.fixture
def served(system_bus):
    """An object of both interfaces exported on a Bus served by a thread."""
    bus = varquin.Bus.system()
    obj = Served()
    obj.bus = bus
    handle = bus.export(PATH, obj)
    bus.request_name(NAME)
    loop = threading.Thread(target=bus.serve)
    loop.start()
    try:
        yield bus, obj, handle
    finally:
        bus.stop()
        loop.join(10)
        assert not loop.is_alive()
        handle.close()
        # Released before the next test asks for it: the bus daemon frees the
        # names of a closed connection only when it sees the connection end.
        bus.release_name(NAME)
        bus.close()


def jeepney_call(conn, member, sig, body, interface=NAME):
    msg = new_method_call(DBusAddress(PATH, bus_name=NAME, interface=interface), member, sig, body)
    reply = conn.send_and_get_reply(msg, timeout=10)
    return reply.header.message_type, reply.header.fields, reply.body


@pytest.mark.parametrize("index", range(len(TYPES)))
def test_every_type_round_trips_through_an_exported_method(served, index):
    _, obj, _ = served
    sig, sent, received = TYPES[index]
    with open_dbus_connection(bus="SYSTEM") as conn:
        kind, _, body = jeepney_call(conn, f"Echo{index}", sig, sent)
    assert kind == MessageType.method_return
    assert obj.received == (received or sent)
    assert body == sent


@pytest.mark.parametrize(
    "index,args,expected",
    [
        (1, ["0.5", "x", "/p", "s"], [0.5, "x", "/p", "s"]),
        (3, ["2", "a", "b"], [["a", "b"]]),
        (4, ["1", "k", "s", "v"], [{"k": {"type": "s", "data": "v"}}]),
    ],
)
def test_busctl_calls_exported_methods(served, index, args, expected):
    out = subprocess.run(
        ["busctl", "--system", "--json=short", "call", NAME, PATH, NAME, f"Echo{index}", TYPES[index][0], *args],
        capture_output=True,
        text=True,
        env=child_env(),
        check=True,
    )
    assert json.loads(out.stdout)["data"] == expected


def test_properties_through_busctl_and_get_all(served):
    bus, obj, _ = served
    busctl = ["busctl", "--system"]
    subprocess.run(
        [*busctl, "set-property", NAME, PATH, "org.varquin.Test.Counter", "Count", "u", "41"],
        check=True,
        env=child_env(),
    )
    out = subprocess.run(
        [*busctl, "get-property", NAME, PATH, "org.varquin.Test.Counter", "Count"],
        capture_output=True,
        text=True,
        check=True,
        env=child_env(),
    )
    assert out.stdout.strip() == "u 41" and obj.Count == 41
    with varquin.Bus.system() as client:
        assert client.get_all(NAME, PATH, "org.varquin.Test.Counter") == {"Count": 41, "Label": "fixed"}
        for prop, sig, value, error in [
            ("Label", "s", "x", "PropertyReadOnly"),
            ("Count", "s", "x", "InvalidArgs"),
            ("Nope", "u", 1, "UnknownProperty"),
        ]:
            with pytest.raises(varquin.BusError) as caught:
                client.set_property(NAME, PATH, "org.varquin.Test.Counter", prop, sig, value)
            assert caught.value.name.endswith(error)
        intro = client.call(NAME, PATH, "org.freedesktop.DBus.Introspectable", "Introspect")[0]
        assert '<property name="Count" type="u" access="readwrite">' in intro and 'name="Changed"' in intro


def test_signals_reach_jeepney_and_bus_subscribers(served):
    bus, obj, _ = served
    with open_dbus_connection(bus="SYSTEM") as conn, varquin.Bus.system() as client:
        rule = MatchRule(type="signal", path=PATH)
        conn.send_and_get_reply(message_bus.AddMatch(rule), timeout=10)
        with conn.filter(rule) as queue, client.subscribe(path=PATH) as sub:
            obj.Changed("x", 1)
            client.set_property(NAME, PATH, "org.varquin.Test.Counter", "Count", "u", 9)
            obj.properties_changed("Label")
            got = [(s.member, s.args) for s in (sub.get(5), sub.get(5), sub.get(5))]
            seen = [conn.recv_until_filtered(queue, timeout=10) for _ in range(3)]
    assert got == [
        ("Changed", ("x", 1)),
        ("PropertiesChanged", ("org.varquin.Test.Counter", {"Count": 9}, [])),
        ("PropertiesChanged", ("org.varquin.Test.Counter", {"Label": "fixed"}, [])),
    ]
    assert [(m.header.fields[HeaderFields.member], m.body) for m in seen] == [
        ("Changed", ("x", 1)),
        ("PropertiesChanged", ("org.varquin.Test.Counter", {"Count": ("u", 9)}, [])),
        ("PropertiesChanged", ("org.varquin.Test.Counter", {"Label": ("s", "fixed")}, [])),
    ]


@pytest.mark.parametrize(
    "how,name,text,logged",
    [
        ("named", "org.varquin.Test.Error.Named", "named text", False),
        ("invalid", "org.freedesktop.DBus.Error.InvalidArgs", "bad argument", False),
        ("other", "org.freedesktop.DBus.Error.Failed", "ValueError: boom other", True),
    ],
)
def test_raising_callables_answer_with_their_error(served, caplog, how, name, text, logged):
    with caplog.at_level(logging.ERROR, logger="varquin"), varquin.Bus.system() as client:
        with pytest.raises(varquin.BusError) as caught:
            client.call(NAME, PATH, "org.varquin.Test.Counter", "Fail", "s", how)
    assert (caught.value.name, caught.value.message) == (name, text)
    assert any("Counter.Fail failed" in r.getMessage() and r.exc_info for r in caplog.records) == logged


def test_a_result_that_does_not_fit_answers_with_the_mismatch(served, caplog):
    with caplog.at_level(logging.ERROR, logger="varquin"), varquin.Bus.system() as client:
        with pytest.raises(varquin.BusError) as caught:
            client.call(NAME, PATH, "org.varquin.Test.Counter", "Mismatch")
    assert caught.value.name == "org.freedesktop.DBus.Error.Failed"
    assert caught.value.message.startswith("result ('a',) does not match output signature \"is\"")
    assert any("Mismatch" in r.getMessage() for r in caplog.records)


def test_bad_input_from_peers_gets_sd_bus_error_replies(served):
    with open_dbus_connection(bus="SYSTEM") as conn:
        cases = [
            ("Echo0", "s", ("x",), NAME),
            ("Nope", "", (), NAME),
            ("Get", "s", ("x",), "org.freedesktop.DBus.Properties"),
        ]
        names = [jeepney_call(conn, *c)[1][HeaderFields.error_name] for c in cases]
        msg = new_method_call(DBusAddress("/no/such", bus_name=NAME, interface=NAME), "Echo0")
        names.append(conn.send_and_get_reply(msg, timeout=10).header.fields[HeaderFields.error_name])
    assert names == [
        "org.freedesktop.DBus.Error.InvalidArgs",
        "org.freedesktop.DBus.Error.UnknownMethod",
        "org.freedesktop.DBus.Error.InvalidArgs",
        "org.freedesktop.DBus.Error.UnknownObject",
    ]


def test_a_caller_that_vanishes_and_many_callers(served):
    with open_dbus_connection(bus="SYSTEM") as gone:
        gone.send(
            new_method_call(
                DBusAddress(PATH, bus_name=NAME, interface="org.varquin.Test.Counter"), "Sleep", "d", (0.2,)
            )
        )
    wrong = []

    def caller(k):
        with varquin.Bus.system() as c:
            got = c.call(NAME, PATH, NAME, "Echo3", "as", [str(k)])
            if got != ([str(k)],):
                wrong.append(got)

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(200)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []


def test_stop_from_a_callable_and_a_call_to_its_own_service(served):
    bus, _, _ = served
    # A name taken by a raw RequestName call counts as the service's own too.
    raw = NAME + ".Raw"
    assert bus.call(DBUS, "/org/freedesktop/DBus", DBUS, "RequestName", "su", raw, 0) == (1,)
    with varquin.Bus.system() as client:
        for name in (NAME, raw, bus.unique_name):
            with pytest.raises(varquin.BusError) as caught:
                client.call(name, PATH, "org.varquin.Test.Counter", "CallMyself", "s", name, timeout=20)
            assert "RuntimeError" in caught.value.message and "never be answered" in caught.value.message
        client.call(NAME, PATH, "org.varquin.Test.Counter", "Stop")


SERVE_SCRIPT = """
import os, signal, sys, threading, varquin

class Service(varquin.Interface, name="{name}"):
    @varquin.method("", "")
    def Exit(self):
        raise SystemExit(3)

bus = varquin.Bus.system()
bus.export("{path}", Service())
bus.request_name("{name}")
print("ready", flush=True)
if sys.argv[1] == "ctrl-c":
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        bus.serve()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    threading.Timer(0.3, bus.stop).start()
    bus.serve()
    print("served again", flush=True)
else:
    bus.serve()
"""


@pytest.mark.parametrize("mode", ["ctrl-c", "exit"])
def test_ctrl_c_and_system_exit_leave_serve(system_bus, mode):
    script = SERVE_SCRIPT.format(name=NAME, path=PATH)
    proc = subprocess.Popen(
        [sys.executable, "-c", script, mode], stdout=subprocess.PIPE, text=True, env=child_env(imports_module=True)
    )
    try:
        assert proc.stdout.readline().strip() == "ready"
        if mode == "exit":
            with varquin.Bus.system() as client, pytest.raises(varquin.BusError) as caught:
                client.call(NAME, PATH, NAME, "Exit")
            assert caught.value.message == "SystemExit: 3"
            assert proc.wait(30) == 3
        else:
            out, _ = proc.communicate(timeout=30)
            assert out.split() == ["interrupted", "served", "again"]
    finally:
        proc.kill()
        proc.wait()


class Named(varquin.Interface, name="org.varquin.Test.Named"):
    @varquin.method("", "s")
    def Who(self):
        return "base"


class Overridden(Named):
    def Who(self):
        return "derived"


def test_exporting_and_unexporting(system_bus):
    with varquin.Bus.system() as bus, varquin.Bus.system() as client:
        target = (bus.unique_name, "/a", "org.varquin.Test.Named", "Who")
        with pytest.raises(TypeError):
            bus.export("/a", object())
        handle = bus.export("/a", Overridden())
        with pytest.raises(ValueError):
            bus.export("/a", Named())  # the same interface at the same path
        loop = threading.Thread(target=bus.serve)
        loop.start()
        try:
            assert client.call(*target) == ("derived",)  # overrides are served
            handle.close()
            with pytest.raises(varquin.UnknownObject):
                client.call(*target)
            with bus.export("/a", Named()):
                assert client.call(*target) == ("base",)
                with pytest.raises(varquin.UnknownInterface):
                    client.get_all(bus.unique_name, "/a", "org.varquin.Test.Other")
        finally:
            bus.stop()
            loop.join(10)


def test_names_are_taken_and_released(system_bus):
    with varquin.Bus.system() as owner, varquin.Bus.system() as other:
        owner.request_name("org.varquin.Test.Owned")
        owner.request_name("org.varquin.Test.Owned")  # already ours: fine
        with pytest.raises(varquin.NameTaken):
            other.request_name("org.varquin.Test.Owned")
        owner.release_name("org.varquin.Test.Owned")
        other.request_name("org.varquin.Test.Owned")
        assert other.call(
            "org.freedesktop.DBus",
            "/org/freedesktop/DBus",
            "org.freedesktop.DBus",
            "GetNameOwner",
            "s",
            "org.varquin.Test.Owned",
        ) == (other.unique_name,)


def name_owned(conn, name):
    reply = conn.send_and_get_reply(message_bus.NameHasOwner(name), timeout=10)
    return reply.body[0]


def test_collected_buses_with_exported_objects_release_their_connections(system_bus):
    # bus -> object -> its Export handle -> bus: a cycle only the collector
    # frees.  When it goes, a call for the object waits unread on each
    # connection and output is still queued, so closing processes the call
    # (the sanitizer build sees any read of a freed export record).
    with open_dbus_connection(bus="SYSTEM") as peer:
        gc.collect()  # what earlier tests left
        fds = len(os.listdir("/proc/self/fd"))
        names, objs = [], []
        for _ in range(10):
            bus = varquin.Bus.system()
            obj = Counter()
            obj.bus = bus
            bus.export("/cycle", obj)
            names.append(bus.unique_name)
            objs.append(weakref.ref(obj))
            addr = DBusAddress("/cycle", bus_name=bus.unique_name, interface="org.varquin.Test.Counter")
            peer.send(new_method_call(addr, "Mismatch"))
            peer.send_and_get_reply(message_bus.GetNameOwner(bus.unique_name), timeout=10)  # delivered
            bus.emit("/cycle", "org.varquin.Test.Counter", "Big", "ay", bytes(4 << 20))
        del obj, bus
        gc.collect()
        assert [o() for o in objs] == [None] * 10
        assert len(os.listdir("/proc/self/fd")) == fds
        # The bus daemon drops the names as it sees each connection end.
        assert wait_for(lambda: not any(name_owned(peer, n) for n in names))


GATED = "org.varquin.Test.Gated"


class Gated(varquin.Interface, name=GATED):
    """Its First property's getter and setter wait for `go` once entered."""

    def __init__(self):
        self.entered, self.go, self.value = threading.Event(), threading.Event(), 1

    @varquin.property("u")
    def First(self):
        self.entered.set()
        self.go.wait(10)
        return self.value

    @First.setter
    def First(self, value):
        self.entered.set()
        self.go.wait(10)
        self.value = value

    @varquin.property("u")
    def Second(self):
        return 2


@pytest.mark.parametrize(
    "call,outcome,value",
    [
        # The other getter has still to run: the call answers UnknownObject.
        (lambda c, n: c.get_all(n, "/gated", GATED), varquin.UnknownObject, 1),
        # The setter that started finishes and its answer stands.
        (lambda c, n: c.set_property(n, "/gated", GATED, "First", "u", 7), None, 7),
    ],
    ids=["get_all", "set"],
)
def test_an_object_unexported_by_another_thread_while_its_call_runs(system_bus, call, outcome, value):
    with varquin.Bus.system() as bus, varquin.Bus.system() as client:
        obj = Gated()
        handle = bus.export("/gated", obj)
        loop = threading.Thread(target=bus.serve)
        loop.start()
        got = []

        def ask():
            try:
                got.append(call(client, bus.unique_name))
            except varquin.BusError as e:
                got.append(type(e))

        asker = threading.Thread(target=ask)
        asker.start()
        try:
            assert obj.entered.wait(10)
            handle.close()  # the serving thread is inside First's callable
            assert handle.closed
        finally:
            obj.go.set()
            asker.join(10)
            bus.stop()
            loop.join(10)
    assert got == [outcome] and obj.value == value


def test_closing_a_bus_unexports_its_objects(system_bus):
    async def on_loop():
        abus = await varquin.aio.Bus.system()
        obj = Counter()
        return abus, abus.export("/closing", obj), weakref.ref(obj)

    plain = varquin.Bus.system()
    obj = Counter()
    buses = [(plain, plain.export("/closing", obj), weakref.ref(obj)), asyncio.run(on_loop())]
    del obj
    for bus, handle, obj in buses:
        assert not handle.closed
        bus.close()
        assert handle.closed and obj() is None  # the bus no longer holds it


def test_closing_the_bus_ends_serve_and_a_closed_bus_refuses_serve_and_stop(system_bus):
    bus = varquin.Bus.system()
    bus.export("/closing", Counter())
    outcome = []
    loop = threading.Thread(target=lambda: outcome.append(bus.serve()))
    loop.start()
    with varquin.Bus.system() as client:
        # Answered only once serve() runs.
        assert client.get_property(bus.unique_name, "/closing", "org.varquin.Test.Counter", "Count") == 3
    bus.close()
    loop.join(10)
    assert not loop.is_alive() and outcome == [None]
    for call in (bus.serve, bus.stop):
        with pytest.raises(ValueError, match="closed bus"):
            call()


EMITTING = "org.varquin.Test.Emitting"


def _get(name):
    return lambda self: self.values.get(name, 0)


def _set(name):
    return lambda self, value: self.values.__setitem__(name, value)


class Emitting(varquin.Interface, name=EMITTING):
    """One writable property per way of announcing a change, and a const one."""

    def __init__(self):
        self.values = {}

    Plain = varquin.property("u")(_get("Plain")).setter(_set("Plain"))
    Inval = varquin.property("u", emits="invalidates")(_get("Inval")).setter(_set("Inval"))
    Quiet = varquin.property("u", emits="false")(_get("Quiet")).setter(_set("Quiet"))
    Fixed = varquin.property("u", emits="const")(_get("Fixed"))
    Done = varquin.signal()


def test_properties_announce_changes_as_their_emits_says(system_bus):
    with varquin.Bus.system() as bus, varquin.Bus.system() as client:
        obj = Emitting()
        bus.export("/emitting", obj)
        loop = threading.Thread(target=bus.serve)
        loop.start()
        try:
            intro = client.call(bus.unique_name, "/emitting", "org.freedesktop.DBus.Introspectable", "Introspect")[0]
            with client.subscribe(path="/emitting") as sub:
                for prop, value in [("Plain", 5), ("Inval", 6), ("Quiet", 7)]:
                    client.set_property(bus.unique_name, "/emitting", EMITTING, prop, "u", value)
                obj.properties_changed("Plain", "Inval", "Quiet", "Fixed")
                obj.Done()
                got = []
                while not got or got[-1][0] != "Done":
                    signal = sub.get(10)
                    got.append((signal.member, signal.args))
        finally:
            bus.stop()
            loop.join(10)
    iface = next(i for i in ElementTree.fromstring(intro) if i.get("name") == EMITTING)
    annotations = {
        p.get("name"): [
            a.get("value") for a in p if a.get("name") == "org.freedesktop.DBus.Property.EmitsChangedSignal"
        ]
        for p in iface.iter("property")
    }
    assert annotations == {"Plain": [], "Inval": ["invalidates"], "Quiet": ["false"], "Fixed": ["const"]}
    assert got == [
        ("PropertiesChanged", (EMITTING, {"Plain": 5}, [])),
        ("PropertiesChanged", (EMITTING, {}, ["Inval"])),
        ("PropertiesChanged", (EMITTING, {"Plain": 5}, ["Inval"])),
        ("Done", ()),
    ]
    with pytest.raises(ValueError, match="emits is one of"):
        varquin.property("u", emits="sometimes")
    with pytest.raises(ValueError, match="const property cannot have a setter"):
        varquin.property("u", emits="const")(_get("x")).setter(_set("x"))


# Signatures and their complete types, or why they are not valid.
SIGNATURES = [
    ("", ()),
    ("sa{sv}(ii)", ("s", "a{sv}", "(ii)")),
    ("aayva{oa(sb)}", ("aay", "v", "a{oa(sb)}")),
    ("a" * 32 + "s", ("a" * 32 + "s",)),
    ("(" * 32 + "s" + ")" * 32, ("(" * 32 + "s" + ")" * 32,)),
    ("sz", "'z' at 1 is not a type code"),
    ("s\x00", "'\\x00' at 1 is not a type code"),
    ("sé", "'é' at 1 is not a type code"),
    ("s)", "')' at 1 closes nothing"),
    ("{ss}", "a dict entry (at 0) is only the element of an array: 'a{..}'"),
    ("s()", "the struct at 1 is empty"),
    ("(s", "the struct opened at 0 is not closed"),
    ("sa", "it ends where a type is expected"),
    ("a{vs}", "the key of the dict entry at 1 must be a basic type, not 'v'"),
    ("a{", "the key of the dict entry at 1 must be a basic type, not ''"),
    ("a{sss}", "the dict entry at 1 holds one key and one value, then '}'"),
    ("a" * 33 + "s", "arrays nest deeper than 32"),
    ("(" * 33 + "s" + ")" * 33, "structs and dict entries nest deeper than 32"),
    ("(" * 31 + "a{sa{ss}}" + ")" * 31, "structs and dict entries nest deeper than 32"),
    ("s" * 256, "it is longer than 255 bytes"),
]


@pytest.mark.parametrize("signature,expected", SIGNATURES)
def test_signatures_split_into_complete_types_or_say_why_not(signature, expected):
    if isinstance(expected, tuple):
        assert _core.split_signature(signature) == expected
    else:
        with pytest.raises(ValueError) as caught:
            _core.split_signature(signature)
        assert str(caught.value) == expected


def _declare(name="org.varquin.Test.Declared", ins="s", member=None, params="self, a", kind="method"):
    """A new Interface class with one member, made as a user's class is."""
    space = {"varquin": varquin}
    decorator = {
        "method": f"@varquin.method({ins!r}, name={member!r})",
        "property": f"@varquin.property({ins!r}, name={member!r})",
    }[kind]
    body = f"    {decorator}\n    def M({params}):\n        pass\n"
    header = f"class C(varquin.Interface, name={name!r}):" if name else "class C(varquin.Interface):"
    exec(f"{header}\n{body}", space)
    return space["C"]


@pytest.mark.parametrize(
    "declare,error,text",
    [
        (dict(ins="sz"), ValueError, "C.M: input signature 'sz' is not valid: 'z' at 1 is not a type code"),
        (dict(ins="a{vs}"), ValueError, "the key of the dict entry at 1 must be a basic type, not 'v'"),
        (dict(ins="(s"), ValueError, "the struct opened at 0 is not closed"),
        (dict(ins="{ss}"), ValueError, "is only the element of an array"),
        (dict(ins="a" * 33 + "s"), ValueError, "arrays nest deeper than 32"),
        (dict(ins="su", kind="property", params="self"), ValueError, "one complete type, not 'su'"),
        (dict(member="Has-Dash"), ValueError, "'Has-Dash' is not a valid member name: a member name is ASCII letters"),
        (dict(name="Nodots"), ValueError, "'Nodots' is not a valid interface name"),
        (
            dict(name=None),
            TypeError,
            'declares D-Bus members but names no interface: class C(varquin.Interface, name="',
        ),
        (dict(ins="ss"), TypeError, "C.M: its function takes 1 argument(s) after self, but the input signature has 2"),
        (dict(ins="", params="self, a, b=1"), TypeError, "takes 1 to 2 argument(s) after self"),
        (dict(params="self, a, *, key"), TypeError, "requires keyword-only arguments (key)"),
    ],
)
def test_declarations_that_could_never_be_served_are_refused_with_the_reason(declare, error, text):
    with pytest.raises(error) as caught:
        _declare(**declare)
    assert text in str(caught.value)


def test_declarations_that_fit_are_accepted_and_an_unnamed_class_is_refused_by_export(system_bus):
    _declare(ins="s(ii)a{sv}", params="self, a, b, c=None")  # defaults may cover the rest
    _declare(ins="", params="self, *args")
    unnamed = type("Unnamed", (varquin.Interface,), {})
    with varquin.Bus.system() as bus, pytest.raises(TypeError) as caught:
        bus.export("/unnamed", unnamed())
    assert "Unnamed names no D-Bus interface: declare it as class Unnamed(varquin.Interface, name=" in str(caught.value)


STOCK_POLICY = (
    CONFIG_HEAD
    + """  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
  </policy>
  <include ignore_missing="yes">{extra}</include>
</busconfig>
"""
)


def test_the_readmes_policy_file_lets_the_greeter_serve_on_a_stock_system_bus():
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    policy = readme.split("org.example.Greeter.conf`", 1)[1].split("```xml\n", 1)[1].split("```", 1)[0]

    class Greeter(varquin.Interface, name="org.example.Greeter"):
        @varquin.method("s", "s")
        def Hello(self, name):
            return "hello " + name

    daemon = PrivateBus()
    try:
        extra = daemon.folder / "org.example.Greeter.conf"
        daemon.config.write_text(STOCK_POLICY.format(socket=daemon.socket, extra=extra))
        daemon.restart()
        with varquin.Bus(daemon.address) as bus, pytest.raises(varquin.AccessDenied):
            bus.request_name("org.example.Greeter")  # the stock policy alone
        extra.write_text(policy)
        daemon.restart()
        with varquin.Bus(daemon.address) as bus, varquin.Bus(daemon.address) as client:
            bus.export("/greeter", Greeter())
            bus.request_name("org.example.Greeter")
            loop = threading.Thread(target=bus.serve)
            loop.start()
            try:
                answer = client.call("org.example.Greeter", "/greeter", "org.example.Greeter", "Hello", "s", "x")
            finally:
                bus.stop()
                loop.join(10)
        assert answer == ("hello x",)
    finally:
        daemon.stop()

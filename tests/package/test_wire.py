"""Values on the wire against an independent peer (jeepney): messages in
big-endian byte order, values nested to the bus's limit and past it, Unicode
noncharacters both ways, and values whose conversion raises."""

import os
import threading

import pytest

import varquin
from testing.peers.wire_peer import IFACE, PATH, WirePeer

V = varquin.Variant
SERVED = "/org/varquin/test/wired"
SERVED_IFACE = "org.varquin.Test.Wired"

# Arrays of every fixed-size type, empty and not, at the top level and nested
# in a variant, a struct and a dict: (signature, value as sent, as read back).
FIXED = [
    ("ay", b"", None),
    ("ay", b"\x00\xff", None),
    ("ab", [], None),
    ("ab", [True, False], None),
    ("an", [-32768, 32767], None),
    ("aq", [65535, 1], None),
    ("ai", [-(2**31), 7], None),
    ("au", [2**32 - 1], None),
    ("ax", [-(2**63), 2**63 - 1], None),
    ("at", [], None),
    ("at", [2**64 - 1, 0], None),
    ("ad", [-0.0, 1.5, float("inf")], None),
    ("v", V("ai", [1, 2]), [1, 2]),
    ("v", V("ay", b""), b""),
    ("(yadan)", (1, [0.5], [-1]), None),
    ("a{sat}", {"k": [1, 2**64 - 1], "e": []}, None),
    ("aay", [b"a", b"", b"bc"], None),
    ("a(ub)", [(1, True)], None),
]
FIXED_IDS = [f"{sig}-{i}" for i, (sig, _, _) in enumerate(FIXED)]

# Nested 64 containers deep (the most the bus carries) and 65.
NESTED_64 = V("i", 1)
for _ in range(63):
    NESTED_64 = V("v", NESTED_64)
NESTED_65 = V("v", NESTED_64)

NONCHARACTERS = [0xFDD0, 0xFDEF, 0xFFFE, 0xFFFF, 0x1FFFE, 0x10FFFF]
NEIGHBOURS = "\ufdcf\ufdf0\ufffd\U0001fffd\U00010000"


@pytest.fixture(scope="module")
def peer(system_bus):
    p = WirePeer()
    yield p
    p.close()


@pytest.fixture
def bus(system_bus):
    with varquin.Bus.system() as b:
        yield b


def make_wired(sigs):
    """An Interface with Take<i>(sig) for each signature: it records what it
    received."""
    members = {}
    for i, sig in enumerate(sigs):

        def echo(self, *args):
            self.received.append(args)

        members[f"Take{i}"] = varquin.method(sig, "")(echo)
    members["received"] = None
    return type("Wired", (varquin.Interface,), members, name=SERVED_IFACE)


class Deep(varquin.Interface, name="org.varquin.Test.Deep"):
    @varquin.method("", "v")
    def TooDeep(self):
        return NESTED_65

    @varquin.property("v")
    def Nested(self):
        return NESTED_65

    @varquin.method("s", "")
    def Complain(self, how):
        if how == "named":
            raise varquin.BusError("org.varquin.Test.Odd", "odd \ufdd0 text")
        raise ValueError("odd \U0010fffe text")


@pytest.fixture
def served(system_bus):
    """A Bus serving Wired (one method per FIXED signature, then one taking a
    str) and Deep."""
    srv = varquin.Bus.system()
    obj = make_wired([sig for sig, _, _ in FIXED] + ["s"])()
    obj.received = []
    handles = [srv.export(SERVED, obj), srv.export(SERVED, Deep())]
    loop = threading.Thread(target=srv.serve)
    loop.start()
    try:
        yield srv, obj
    finally:
        srv.stop()
        loop.join(10)
        for h in handles:
            h.close()
        srv.close()


def read_back(sent, expected):
    return sent if expected is None else expected


@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("index", range(len(FIXED)), ids=FIXED_IDS)
def test_fixed_size_arrays_read_the_same_in_either_byte_order(peer, bus, served, order, index):
    sig, sent, expected = FIXED[index]
    want = read_back(sent, expected)
    member = "EchoBig" if order == "big" else "EchoLittle"
    assert bus.call(peer.name, PATH, IFACE, member, sig, sent) == (want,)

    sub = bus.subscribe(sender=peer.unique_name, member="Fixed")
    bus.call(peer.name, PATH, IFACE, "EchoLittle", "")  # the match is in place
    peer.emit("Fixed", sig, [sent], order)
    assert sub.get(timeout=10).args == (want,)

    srv, obj = served
    reply = peer.call(srv.unique_name, SERVED, SERVED_IFACE, f"Take{index}", sig, [sent], order)
    assert reply.header.message_type.name == "method_return", reply.body
    assert obj.received[-1] == (want,)


@pytest.mark.parametrize("order", ["little", "big"])
def test_descriptor_arrays_read_in_either_byte_order(peer, bus, tmp_path, order):
    with open(tmp_path / "f", "w") as f:
        member = "EchoBig" if order == "big" else "EchoLittle"
        ((fds, nested),) = bus.call(peer.name, PATH, IFACE, member, "(ahv)", ([f.fileno()], V("ah", [])))
        try:
            assert nested == [] and len(fds) == 1
            assert os.path.sameopenfile(fds[0], f.fileno())
        finally:
            for fd in fds:
                os.close(fd)


def test_values_nested_past_the_bus_limit_are_refused_before_sending(peer, bus, served):
    assert bus.call(peer.name, PATH, IFACE, "EchoLittle", "v", NESTED_64) == (1,)
    before = len(peer.calls)
    with pytest.raises(ValueError, match=r"argument 2: nested 65 containers deep"):
        bus.call(peer.name, PATH, IFACE, "EchoLittle", "sv", "x", NESTED_65)
    with pytest.raises(ValueError, match=r"argument 1\['k'\]: nested 65"):
        bus.call(peer.name, PATH, IFACE, "EchoLittle", "a{sv}", {"k": NESTED_64})
    with pytest.raises(ValueError, match="nested 65"):
        bus.emit(PATH, IFACE, "Deep", "v", NESTED_65)
    assert len(peer.calls) == before
    # The connection stays up, and served replies and properties are refused
    # the same way, as an error reply.
    srv, _ = served
    with pytest.raises(varquin.BusError, match="nested 65"):
        bus.call(srv.unique_name, SERVED, "org.varquin.Test.Deep", "TooDeep")
    with pytest.raises(varquin.BusError, match="nested 65"):
        bus.get_property(srv.unique_name, SERVED, "org.varquin.Test.Deep", "Nested")
    assert bus.call(peer.name, PATH, IFACE, "EchoLittle", "s", "up") == ("up",)


@pytest.mark.parametrize("code", NONCHARACTERS, ids=hex)
def test_noncharacters_are_refused_before_sending(peer, bus, code):
    before = len(peer.calls)
    text = "a" + chr(code)
    with pytest.raises(ValueError, match=rf"argument 1\[1\]\[1\]\[0\]: U\+{code:04X} is a Unicode noncharacter"):
        bus.call(peer.name, PATH, IFACE, "EchoLittle", "a(sas)", [("ok", []), ("x", [text])])
    with pytest.raises(ValueError, match=rf"U\+{code:04X}"):
        bus.emit(PATH, IFACE, "Text", "a{ss}", {"k": text})
    assert len(peer.calls) == before
    assert bus.call(peer.name, PATH, IFACE, "EchoBig", "s", NEIGHBOURS) == (NEIGHBOURS,)


@pytest.mark.parametrize("order", ["little", "big"])
def test_received_noncharacters_refuse_that_message_only(peer, bus, served, order):
    peer.canned = ("as", (["fine", "bad\U0001ffff"],))
    with pytest.raises(
        varquin.BadMessage, match=r"cannot read the reply from :.* \(signature 'as'\): .*noncharacter"
    ) as raised:
        bus.call(peer.name, PATH, IFACE, "Canned", "s", order)
    assert isinstance(raised.value, OSError)
    assert bus.call(peer.name, PATH, IFACE, "EchoBig", "s", "next") == ("next",)

    sub = bus.subscribe(sender=peer.unique_name, member="Text")
    bus.call(peer.name, PATH, IFACE, "EchoLittle", "")
    peer.emit("Text", "s", ["\ufdd0"], order)
    peer.emit("Text", "s", ["after"], order)
    with pytest.raises(varquin.BadMessage, match=r"the signal org\.varquin\.Test\.Wire\.Text"):
        sub.get(timeout=10)
    assert sub.get(timeout=10).args == ("after",)

    srv, obj = served
    text_method = f"Take{len(FIXED)}"
    reply = peer.call(srv.unique_name, SERVED, SERVED_IFACE, text_method, "s", ["\uffff"], order)
    assert reply.header.fields[4] == "org.varquin.Error.BadMessage"
    assert f"the call {SERVED_IFACE}.{text_method}" in reply.body[0]
    reply = peer.call(srv.unique_name, SERVED, SERVED_IFACE, text_method, "s", ["ok"], order)
    assert reply.header.message_type.name == "method_return"
    assert obj.received[-1] == ("ok",)


@pytest.mark.parametrize(
    "how,name,text",
    [
        ("named", "org.varquin.Test.Odd", "odd \ufffd text"),
        ("other", "org.freedesktop.DBus.Error.Failed", "ValueError: odd \ufffd text"),
    ],
)
def test_served_error_texts_with_noncharacters_still_reach_the_caller(bus, served, how, name, text):
    srv, _ = served
    with pytest.raises(varquin.BusError) as raised:
        bus.call(srv.unique_name, SERVED, "org.varquin.Test.Deep", "Complain", "s", how, timeout=10)
    assert (raised.value.name, raised.value.message) == (name, text)


class FalseHearted(int):
    def __bool__(self):
        raise RuntimeError("no truth value")


class Unlistable:
    def __iter__(self):
        raise KeyError("iteration failed")


class BrokenFile:
    @property
    def fileno(self):
        raise PermissionError("no descriptor for you")


class BrokenMapping:
    def __getattr__(self, name):
        raise LookupError(name)


@pytest.mark.parametrize(
    "sig,value,raised",
    [
        ("b", FalseHearted(1), RuntimeError),
        ("ai", Unlistable(), KeyError),
        ("h", BrokenFile(), PermissionError),
        ("a{ss}", BrokenMapping(), LookupError),
    ],
    ids=["bool", "iterable", "fileno", "items"],
)
def test_a_conversion_that_raises_propagates_before_sending(peer, bus, sig, value, raised):
    before = len(peer.calls)
    with pytest.raises(raised):
        bus.call(peer.name, PATH, IFACE, "EchoLittle", sig, value)
    assert len(peer.calls) == before
    assert bus.call(peer.name, PATH, IFACE, "EchoLittle", "b", True) == (True,)


# --- Odd but well-formed messages ------------------------------------------------------

CALL, RETURN, ERROR, SIGNAL = 1, 2, 3, 4
ODD_FIELDS = [(0x70, "s", "unknown"), (0xFE, "v", ("ai", [1, 2])), (0x42, "au", [7])]


def call_fields(srv, member, iface=SERVED_IFACE, path=SERVED):
    return [(1, "o", path), (2, "s", iface), (3, "s", member), (6, "s", srv.unique_name)]


def take(sig):
    """The Wired method taking `sig`."""
    return f"Take{[s for s, _, _ in FIXED].index(sig)}"


TEXT_TAKE = f"Take{len(FIXED)}"
HOSTILE_CALLS = [
    # (case, fields beyond the call's own, member, signature, body, reply expected)
    ("unknown header fields", ODD_FIELDS, TEXT_TAKE, "s", ["odd"], "method_return"),
    ("a signature the method does not take", [], TEXT_TAKE, "ia{sv}", [1, {}], "error"),
    ("no body for a method that takes one", [], TEXT_TAKE, "", [], "error"),
    ("an unknown member", [], "NoSuchMember", "s", ["x"], "error"),
    ("a huge array of int32", [], take("ai"), "ai", [list(range(1_000_000))], "method_return"),
    ("a huge array of bytes", [], take("ay"), "ay", [bytes(4_000_000)], "method_return"),
    ("an empty struct array", [], take("a(ub)"), "a(ub)", [[]], "method_return"),
]


@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("case", HOSTILE_CALLS, ids=[c[0] for c in HOSTILE_CALLS])
def test_a_served_object_answers_odd_calls_and_goes_on(peer, bus, served, order, case):
    srv, obj = served
    _, extra, member, sig, body, expected = case
    fields = call_fields(srv, member) + extra
    reply = peer.send_raw(CALL, fields, sig, body, order, wait=True)
    assert reply.header.message_type.name == expected, reply.body
    if expected == "method_return" and sig:
        assert len(obj.received[-1][0]) == len(body[0])
    # A call without a reply wanted is run and answered by nothing; the
    # peer's next call comes after it.
    peer.send_raw(CALL, fields, sig, body, order, flags=1)
    after = peer.call(srv.unique_name, SERVED, SERVED_IFACE, TEXT_TAKE, "s", ["alive"], order)
    assert after.header.message_type.name == "method_return"
    assert obj.received[-1] == ("alive",)
    if expected == "method_return" and sig:
        assert len(obj.received[-2][0]) == len(body[0])
    assert bus.call(srv.unique_name, SERVED, SERVED_IFACE, TEXT_TAKE, "s", "from varquin") == ()


HOSTILE_TO_CLIENT = [
    # (case, kind, fields beyond the destination, signature, body)
    ("a unicast signal", SIGNAL, [(1, "o", PATH), (2, "s", IFACE), (3, "s", "Odd")], "ai", [[1]]),
    ("a signal with unknown fields", SIGNAL, [(1, "o", PATH), (2, "s", IFACE), (3, "s", "Odd"), *ODD_FIELDS], "", []),
    ("an unsolicited reply", RETURN, [(5, "u", 999_999)], "s", ["nobody asked"]),
    ("an unsolicited error", ERROR, [(5, "u", 999_998), (4, "s", "org.example.Odd")], "s", ["no"]),
    ("a call to an object it does not serve", CALL, [(1, "o", "/nothing"), (3, "s", "Ping")], "", []),
]


@pytest.mark.parametrize("order", ["little", "big"])
@pytest.mark.parametrize("case", HOSTILE_TO_CLIENT, ids=[c[0] for c in HOSTILE_TO_CLIENT])
def test_a_client_is_unaffected_by_odd_messages(peer, bus, order, case):
    _, kind, fields, sig, body = case
    sub = bus.subscribe(sender=peer.unique_name, member="Odd")
    bus.call(peer.name, PATH, IFACE, "EchoLittle", "")
    peer.send_raw(kind, [*fields, (6, "s", bus.unique_name)], sig, body, order)
    peer.emit("Odd", "s", ["after"], order)
    got = sub.get(timeout=10)
    if kind == SIGNAL:  # the unicast signal matches the subscription too
        assert got.args == tuple(body)
        got = sub.get(timeout=10)
    assert got.args == ("after",)
    assert bus.call(peer.name, PATH, IFACE, "EchoBig", "as", ["still", "here"]) == (["still", "here"],)

"""Random complete signatures and values, both ways between varquin and an
independent implementation (jeepney) on the private bus: varquin calls the
jeepney echo in either byte order, jeepney calls a varquin-served method, and
jeepney emits signals a varquin subscription reads.  Values the bus cannot
carry (Unicode noncharacters, nesting past 64 containers) must be refused
before anything is sent: the echo logs no call.

Each property runs in rounds of generated cases until its share of the time
budget is spent.  VQ_FUZZ_SECONDS sets the budget of the whole module (60 by
default; tools/fuzz.sh gives it minutes).  Every round prints its seed
("wire fuzz: <property> seed <n>"); VQ_FUZZ_SEED=<n> replays that one round
of every property, and a failure also prints hypothesis's own reproduction
blob.
"""

import math
import os
import random
import struct
import tempfile
import threading
import time

import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import varquin
from testing.env import WIRE_PEER
from testing.peers.wire_peer import IFACE, PATH, WirePeer

V = varquin.Variant
BUDGET = float(os.environ.get("VQ_FUZZ_SECONDS", "60"))
REPLAY = os.environ.get("VQ_FUZZ_SEED")
PROPERTIES = 4
ROUND = 60  # cases per round
SERVED = "/org/varquin/test/fuzzed"
SERVED_IFACE = "org.varquin.Test.Fuzzed"

MAX_DEPTH = 64  # containers, variants included, that the bus carries
MAX_ARRAYS = 32  # array and struct nesting that a signature may hold
MAX_STRUCTS = 32

INTS = {
    "y": (0, 2**8 - 1),
    "n": (-(2**15), 2**15 - 1),
    "q": (0, 2**16 - 1),
    "i": (-(2**31), 2**31 - 1),
    "u": (0, 2**32 - 1),
    "x": (-(2**63), 2**63 - 1),
    "t": (0, 2**64 - 1),
}
BASIC = "ybnqiuxtdhsog"


def is_noncharacter(c):
    n = ord(c)
    return 0xFDD0 <= n <= 0xFDEF or (n & 0xFFFE) == 0xFFFE


def noncharacters():
    plane = st.integers(0, 16).flatmap(lambda p: st.sampled_from([p * 0x10000 + 0xFFFE, p * 0x10000 + 0xFFFF]))
    return st.one_of(st.integers(0xFDD0, 0xFDEF), plane).map(chr)


# --- Signatures ------------------------------------------------------------------


@st.composite
def complete_type(draw, depth=0, arrays=0, structs=0, deep=False):
    """One complete type; `depth` counts every enclosing container.  A deep
    draw nests a chain of containers, often as far as the limits allow."""
    levels = draw(st.integers(0, MAX_DEPTH + 8)) if deep else None
    return draw(nested_type(depth, arrays, structs, levels))


@st.composite
def nested_type(draw, depth, arrays, structs, levels):
    """A complete type nesting `levels` more containers (None: at random,
    rarely deep)."""
    room = depth < MAX_DEPTH - 1
    if levels is None:
        nest = room and draw(st.integers(0, 99)) < 45 // (1 + depth)
    else:
        nest = room and levels > 0
    if not nest:
        return draw(st.sampled_from(BASIC + "v" if room else BASIC))
    rest = None if levels is None else levels - 1
    kinds = []
    if arrays < MAX_ARRAYS:
        kinds += ["a", "ay"] if levels is None or levels == 1 else ["a"]
        if structs < MAX_STRUCTS and depth < MAX_DEPTH - 2:
            kinds.append("a{")
    if structs < MAX_STRUCTS:
        kinds.append("(")
    kind = draw(st.sampled_from(kinds * 6 + ["v"]))
    if kind == "v" or kind == "ay":
        return kind
    if kind == "a":
        return "a" + draw(nested_type(depth + 1, arrays + 1, structs, rest))
    if kind == "a{":
        key = draw(st.sampled_from(BASIC))
        rest = None if rest is None else max(rest - 1, 0)
        return "a{" + key + draw(nested_type(depth + 2, arrays + 1, structs + 1, rest)) + "}"
    fields = [draw(nested_type(depth + 1, arrays, structs + 1, rest))]
    fields += draw(st.lists(nested_type(depth + 1, arrays, structs + 1, None), max_size=2))
    order = draw(st.permutations(fields))
    return "(" + "".join(order) + ")"


@st.composite
def signatures(draw):
    """The complete types of a signature of at most 255 bytes: one to four,
    or a single deep one; and whether it is deep."""
    deep = draw(st.integers(0, 2)) == 0
    types = draw(st.lists(complete_type(deep=deep), min_size=1, max_size=1 if deep else 4))
    while len("".join(types)) > 255:
        types.pop()
    return types or ["s"], deep


def split(sig):
    """The complete types of a signature."""
    out, i = [], 0
    while i < len(sig):
        j = i
        while sig[j] == "a":
            j += 1
        if sig[j] in "({":
            level = 0
            while True:
                level += {"(": 1, "{": 1, ")": -1, "}": -1}.get(sig[j], 0)
                if level == 0:
                    break
                j += 1
        out.append(sig[i : j + 1])
        i = j + 1
    return out


# --- Values ----------------------------------------------------------------------

TEXT = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0"), max_size=40).map(
    lambda s: "".join("\ufffd" if is_noncharacter(c) else c for c in s)
)
LONG_TEXT = st.tuples(st.sampled_from(["a", "é", "語", "\U0001f600"]), st.integers(1000, 70000)).map(
    lambda p: p[0] * p[1]
)
LONG_BYTES = st.integers(1000, 100000).map(lambda n: (bytes(range(256)) * (n // 256 + 1))[:n])
PATHS = st.lists(st.from_regex(r"[A-Za-z0-9_]{1,8}", fullmatch=True), max_size=4).map(
    lambda parts: "/" + "/".join(parts)
)
FLOATS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.tuples(st.sampled_from([0x7FF0000000000000, 0xFFF0000000000000]), st.integers(1, 2**52 - 1)).map(
        lambda p: struct.unpack("<d", struct.pack("<Q", p[0] | p[1]))[0]
    ),
    st.sampled_from([-0.0, math.inf, -math.inf, 5e-324, 1.7976931348623157e308]),
    st.integers(0, 2**64 - 1).map(lambda bits: struct.unpack("<d", struct.pack("<Q", bits))[0]),
)


@st.composite
def values(draw, t, depth, fds, bad=False, full=False):
    """A value of type `t`, `depth` containers deep.  With `bad`, strings
    may hold noncharacters; with `full`, no container is empty, so that a
    deep type gives a value as deep."""
    c = t[0]
    if c in INTS:
        return draw(st.integers(*INTS[c]))
    if c == "b":
        return draw(st.booleans())
    if c == "d":
        return draw(FLOATS)
    if c == "h":
        return draw(st.sampled_from(fds))
    if c == "s":
        text = draw(st.one_of(TEXT, LONG_TEXT) if draw(st.integers(0, 20)) == 0 else TEXT)
        if bad and draw(st.booleans()):
            at = draw(st.integers(0, len(text)))
            text = text[:at] + draw(noncharacters()) + text[at:]
        return text
    if c == "o":
        return draw(PATHS)
    if c == "g":
        types = draw(st.lists(complete_type(depth=MAX_DEPTH - 4), max_size=3))
        return "".join(types)
    if c == "v":
        inner = draw(complete_type(depth + 1, 0, 0, deep=full or draw(st.integers(0, 4)) == 0))
        return V(inner, draw(values(inner, depth + 1, fds, bad, full)))
    least = 1 if full else 0
    most = 1 if full or depth >= 3 else 3
    if t == "ay":
        return draw(st.one_of(st.binary(min_size=least, max_size=64), LONG_BYTES))
    if t.startswith("a{"):
        key, value = t[2], t[3:-1]
        return draw(
            st.dictionaries(
                values(key, depth + 2, fds, bad, full),
                values(value, depth + 2, fds, bad, full),
                min_size=least,
                max_size=most,
            )
        )
    if c == "a":
        return draw(st.lists(values(t[1:], depth + 1, fds, bad, full), min_size=least, max_size=most))
    return tuple(draw(values(x, depth + 1, fds, bad, full)) for x in split(t[1:-1]))


@st.composite
def at_the_limit(draw, fds, least=MAX_DEPTH - 3, most=MAX_DEPTH):
    """(signature, values) of one value nested between `least` and `most`
    containers deep: a chain of arrays, structs, dict entries and variants
    wrapped around one basic value, each signature within its own limits."""
    target = draw(st.integers(least, most))
    leaf_type = draw(st.sampled_from(BASIC))
    t, v = leaf_type, draw(values(leaf_type, target, fds))
    kinds = draw(st.lists(st.sampled_from("aa(({v"), min_size=target, max_size=target))
    depth = arrays = structs = 0  # arrays and structs: in the current signature
    for kind in kinds:
        if depth >= target:
            break
        if kind == "{" and (depth + 2 > target or arrays >= MAX_ARRAYS or structs >= MAX_STRUCTS):
            kind = "a"
        if (kind == "a" and arrays >= MAX_ARRAYS) or (kind == "(" and structs >= MAX_STRUCTS):
            kind = "v"
        if kind == "a":
            t, v, arrays, depth = "a" + t, [v], arrays + 1, depth + 1
        elif kind == "(":
            t, v, structs, depth = f"({t}b)", (v, True), structs + 1, depth + 1
        elif kind == "{":
            t, v, arrays, structs, depth = f"a{{s{t}}}", {"k": v}, arrays + 1, structs + 1, depth + 2
        else:
            t, v, arrays, structs, depth = "v", V(t, v), 0, 0, depth + 1
    return t, (v,)


def sig_and_values(fds, bad=False):
    """(signature, values): one to four complete types, now and then one
    nested to the bus's limit."""
    common = signatures().flatmap(
        lambda drawn: st.tuples(
            st.just("".join(drawn[0])),
            st.tuples(*(values(t, 0, fds, bad, drawn[1]) for t in drawn[0])),
        )
    )
    return st.one_of(common, common, common, at_the_limit(fds))


# --- Comparing ---------------------------------------------------------------------


def same(t, sent, got, jeepney=False):
    """Whether `got` (as varquin reads it, or jeepney with `jeepney`) is the
    value `sent` for type `t`: floats bit for bit, descriptors by the file
    they open, variants by their type and value."""
    c = t[0]
    if c == "v":
        if jeepney:
            return got[0] == sent[0] and same(sent[0], sent[1], got[1], jeepney)
        return same(sent[0], sent[1], got, jeepney)
    if c == "d":
        return type(got) is float and struct.pack("<d", got) == struct.pack("<d", sent)
    if c == "h":
        fd = got.fileno() if jeepney else got
        return os.path.sameopenfile(fd, sent)
    if c == "b":
        return got is sent
    if c in INTS or c in "sog":
        return type(got) is type(sent) and got == sent
    if t == "ay":
        return type(got) is bytes and got == bytes(sent)
    if t.startswith("a{"):
        if not isinstance(got, dict) or len(got) != len(sent):
            return False
        key, value = t[2], t[3:-1]
        # Keys that compare equal but differ in bits (NaN, 0.0 and -0.0)
        # are matched in order: both sides keep the sent order.
        return all(
            same(key, ks, kg, jeepney) and same(value, vs, vg, jeepney)
            for (ks, vs), (kg, vg) in zip(sent.items(), got.items(), strict=False)
        )
    if c == "a":
        return (
            isinstance(got, list)
            and len(got) == len(sent)
            and all(same(t[1:], s, g, jeepney) for s, g in zip(sent, got, strict=False))
        )
    fields = split(t[1:-1])
    return (
        isinstance(got, tuple)
        and len(got) == len(fields)
        and all(same(x, s, g, jeepney) for x, s, g in zip(fields, sent, got, strict=False))
    )


def close_received(t, got, jeepney=False):
    """Closes the descriptors a received value holds."""
    c = t[0]
    if c == "h":
        got.close() if jeepney else os.close(got)
    elif c == "v":
        if jeepney:
            close_received(got[0], got[1], jeepney)
        # varquin's plain value carries no type: descriptors in variants are
        # found by walking the sent value alongside (see same()).
    elif t.startswith("a{"):
        for k, v in got.items():
            close_received(t[2], k, jeepney)
            close_received(t[3:-1], v, jeepney)
    elif c == "a" and t != "ay":
        for g in got:
            close_received(t[1:], g, jeepney)
    elif c == "(":
        for x, g in zip(split(t[1:-1]), got, strict=False):
            close_received(x, g, jeepney)


def close_along(t, sent, got, jeepney=False):
    """Closes received descriptors, variants included (their type is taken
    from the value sent)."""
    c = t[0]
    if c == "v":
        if jeepney:
            close_received(t, got, True)
        else:
            close_along(sent[0], sent[1], got)
    elif c == "h":
        close_received(t, got, jeepney)
    elif t.startswith("a{") and isinstance(got, dict):
        for (ks, vs), (kg, vg) in zip(sent.items(), got.items(), strict=False):
            close_along(t[2], ks, kg, jeepney)
            close_along(t[3:-1], vs, vg, jeepney)
    elif c == "a" and t != "ay" and isinstance(got, list):
        for s, g in zip(sent, got, strict=False):
            close_along(t[1:], s, g, jeepney)
    elif c == "(" and isinstance(got, tuple):
        for x, s, g in zip(split(t[1:-1]), sent, got, strict=False):
            close_along(x, s, g, jeepney)


def check_all(sig, sent, got, jeepney=False):
    types = split(sig)
    try:
        assert len(got) == len(types), (sig, got)
        for t, s, g in zip(types, sent, got, strict=False):
            assert same(t, s, g, jeepney), (t, s, g)
    finally:
        for t, s, g in zip(types, sent, got, strict=False):
            close_along(t, s, g, jeepney)


def nested_too_deep(t, value):
    """Whether a value of type `t` nests past what the bus carries."""

    def walk(t, v, depth):
        c = t[0]
        if c == "v":
            return walk(v[0], v[1], depth + 1)
        if t == "ay" or c != "a" and c != "(":
            return depth + (1 if t == "ay" else 0)
        if t.startswith("a{"):
            deepest = depth + 2 if v else depth + 1
            for x in v.values():
                deepest = max(deepest, walk(t[3:-1], x, depth + 2))
            return deepest
        if c == "a":
            return max([depth + 1] + [walk(t[1:], x, depth + 1) for x in v])
        return max(walk(x, y, depth + 1) for x, y in zip(split(t[1:-1]), v, strict=False))

    return walk(t, value, 0) > MAX_DEPTH


# --- The properties ------------------------------------------------------------------


@pytest.fixture(scope="module")
def peer(system_bus):
    # A name of its own: another module's peer may still be leaving the bus.
    p = WirePeer(WIRE_PEER + ".Fuzz")
    yield p
    p.close()


@pytest.fixture(scope="module")
def fds():
    """Descriptors of a few files, sent as 'h' values."""
    with tempfile.TemporaryDirectory() as folder:
        opened = [os.open(os.path.join(folder, str(i)), os.O_CREAT | os.O_RDWR) for i in range(3)]
        try:
            yield opened
        finally:
            for fd in opened:
                os.close(fd)


def run_rounds(name, prop, strategy):
    """Runs `prop` over `strategy` in rounds of ROUND cases, each from its
    own printed seed, until this property's share of the budget is spent
    (one round only when VQ_FUZZ_SEED replays one).  The number of cases."""
    cases = [0]

    def counted(case):
        cases[0] += 1
        prop(case)

    first = int(REPLAY) if REPLAY else random.randrange(2**32)
    deadline = time.monotonic() + BUDGET / PROPERTIES
    n = first
    while True:
        print(f"wire fuzz: {name} seed {n}", flush=True)
        run = settings(
            max_examples=ROUND,
            deadline=None,
            database=None,
            print_blob=True,
            suppress_health_check=[
                HealthCheck.too_slow,
                HealthCheck.data_too_large,
                HealthCheck.filter_too_much,
                HealthCheck.large_base_example,
            ],
        )(seed(n)(given(strategy)(counted)))
        run()
        if REPLAY or time.monotonic() >= deadline:
            break
        n = (n + 1) % 2**32
    print(f"wire fuzz: {name}: {cases[0]} cases", flush=True)
    return cases[0]


def test_varquin_calls_the_jeepney_echo_in_both_byte_orders(peer, fds, system_bus):
    with varquin.Bus.system() as bus:

        def prop(case):
            (sig, sent), order = case
            member = "EchoBig" if order == "big" else "EchoLittle"
            got = bus.call(peer.name, PATH, IFACE, member, sig, *sent, timeout=30)
            check_all(sig, sent, got)

        strategy = st.tuples(sig_and_values(fds), st.sampled_from(["little", "big"]))
        assert run_rounds("echo", prop, strategy) > 0


def test_jeepney_calls_a_varquin_served_method(peer, fds, system_bus):
    srv = varquin.Bus.system()
    loop = threading.Thread(target=srv.serve)
    loop.start()
    try:

        def prop(case):
            (sig, sent), order = case

            def take(self, *args):
                self.received = args
                return sent[0] if len(sent) == 1 else sent

            cls = type("Fuzzed", (varquin.Interface,), {"Take": varquin.method(sig, sig)(take)}, name=SERVED_IFACE)
            obj = cls()
            with srv.export(SERVED, obj):
                reply = peer.call(srv.unique_name, SERVED, SERVED_IFACE, "Take", sig, list(sent), order, timeout=30)
            assert reply.header.message_type.name == "method_return", reply.body
            check_all(sig, sent, obj.received)
            check_all(sig, sent, reply.body, jeepney=True)

        strategy = st.tuples(sig_and_values(fds), st.sampled_from(["little", "big"]))
        assert run_rounds("served", prop, strategy) > 0
    finally:
        srv.stop()
        loop.join(10)
        srv.close()


def test_jeepney_signals_reach_a_varquin_subscription(peer, fds, system_bus):
    with varquin.Bus.system() as bus:
        sub = bus.subscribe(sender=peer.unique_name, member="Fuzz")
        bus.call(peer.name, PATH, IFACE, "EchoLittle", "")  # the match is in place

        def prop(case):
            (sig, sent), order = case
            peer.emit("Fuzz", sig, sent, order)
            check_all(sig, sent, sub.get(timeout=30).args)

        strategy = st.tuples(sig_and_values(fds), st.sampled_from(["little", "big"]))
        assert run_rounds("signal", prop, strategy) > 0


def test_values_the_bus_cannot_carry_are_refused_before_sending(peer, fds, system_bus):

    with varquin.Bus.system() as bus:

        def prop(case):
            sig, sent = case
            before = len(peer.calls)
            bad = any(nested_too_deep(t, v) or has_noncharacter(t, v) for t, v in zip(split(sig), sent, strict=False))
            if bad:
                with pytest.raises(ValueError, match=r"argument \d+.*: (nested \d+ containers|U\+[0-9A-F]+ is)"):
                    bus.call(peer.name, PATH, IFACE, "EchoLittle", sig, *sent, timeout=30)
            else:
                check_all(sig, sent, bus.call(peer.name, PATH, IFACE, "EchoLittle", sig, *sent, timeout=30))
            bus.call(peer.name, PATH, IFACE, "EchoLittle", "", timeout=30)
            # The peer receives in order: the refused call never came.
            assert len(peer.calls) == before + (1 if bad else 2)

        strategy = st.one_of(sig_and_values(fds, bad=True), at_the_limit(fds, MAX_DEPTH - 1, MAX_DEPTH + 3))
        assert run_rounds("refused", prop, strategy) > 0


def has_noncharacter(t, v):
    c = t[0]
    if c == "s":
        return any(is_noncharacter(ch) for ch in v)
    if c == "v":
        return has_noncharacter(v[0], v[1])
    if t == "ay" or c not in "a(":
        return False
    if t.startswith("a{"):
        return any(has_noncharacter(t[2], k) or has_noncharacter(t[3:-1], x) for k, x in v.items())
    if c == "a":
        return any(has_noncharacter(t[1:], x) for x in v)
    return any(has_noncharacter(x, y) for x, y in zip(split(t[1:-1]), v, strict=False))

"""The generic method call: what is sent, how replies are decoded into the
result tuple, what is refused, and what failures leave recorded."""

import ctypes
import errno
import os
import subprocess
import sys
import threading

import pytest

import _varquin
from testing.env import SEND_PATH, SEND_PEER, child_env
from testing.servicelib import Method, Service

MISSING = "send() is called without required arguments"
NOT_INT = "First return argument must be int return code."
REFUSED_SIG = 'send accepts only the input signatures "s" and "ss"'


def send(member, output_sig="i", input_sig="s", *values):
    return _varquin.send(SEND_PEER, SEND_PATH, SEND_PEER, member, input_sig, output_sig, *values)


def members(peer):
    return [c["member"] for c in peer.calls()]


# ---------------------------------------------------------------------------
# Decoding the reply


@pytest.mark.parametrize(
    "member,output_sig,expected",
    [
        ("Int", "i", (1, 7)),
        ("IntStr", "is", (1, 0, "zero")),
        ("Many", "i", (1, 3)),  # values beyond the output signature are ignored
        ("Many", "iis", (1, 3, 4, "extra")),
        ("Int", "ii", (0, 7, None)),  # the reply ran out: status 0, no value
        ("IntStr", "iss", (0, 0, "zero", None)),
        ("Int", "isi", (0, 7, None, None)),
        ("IntStr", "ixs", (1, 0, None, "zero")),  # other characters read nothing
        ("Many", "ibi?s", (1, 3, None, 4, None, "extra")),
    ],
)
def test_replies_decode_by_the_output_signature(send_peer, native, member, output_sig, expected):
    assert send(member, output_sig) == expected
    assert native.error_code == 0
    assert [(c["path"], c["interface"], c["member"]) for c in send_peer.calls()] == [(SEND_PATH, SEND_PEER, member)]


def test_integers_keep_sign_and_range_and_strings_decode_from_utf8(send_peer):
    text = "Grüße, ☃ and 𝄞"
    for value in (-1, -(2**31), 2**31 - 1):
        send_peer.behave("IntStr", reply=["is", [value, text]])
        assert send("IntStr", "is") == (1, value, text)


def test_a_value_of_another_type_fails_the_read(send_peer, native):
    native.set_vq_error_msg(12, b"older detail")
    (status,) = send("IntStr", "ii")  # the second value is a string
    assert status < 0
    # Code only: the older detail text stays, as for every code-only failure.
    assert native.error_code == 3 and native.detail == "older detail"
    assert _varquin.get_last_error(status) == f"Failed to parse response message, older detail, {os.strerror(-status)}"
    # A failed read comes before the check of the first value.
    for member, output_sig in (("Str", "i"), ("Int", "s")):
        (status,) = send(member, output_sig)
        assert status < 0
        assert _varquin.get_last_error(status) == f"Failed to parse response message, {os.strerror(-status)}"


@pytest.mark.parametrize(
    "member,output_sig",
    [("Str", "s"), ("Str", "sx"), ("Empty", "i"), ("Empty", "s"), ("Int", "xi"), ("Str", "xs")],
)
def test_a_first_value_that_is_no_integer_raises(send_peer, native, member, output_sig):
    native.set_vq_error(5)
    with pytest.raises(AttributeError) as raised:
        send(member, output_sig)
    assert str(raised.value) == NOT_INT
    # The call itself was made and succeeded; the error state is untouched.
    assert members(send_peer) == [member]
    assert native.error_code == 5


# ---------------------------------------------------------------------------
# What is sent


def test_values_go_out_exactly_and_omitted_ones_as_empty_strings(send_peer):
    assert send("EchoOne", "is", "s", "unit name.service") == (1, 0, "unit name.service")
    assert send("EchoTwo", "iss", "ss", "first ☃", "") == (1, 0, "first ☃", "")
    assert send("EchoOne", "is", "s") == (1, 0, "")
    assert send("EchoTwo", "iss", "ss", "only") == (1, 0, "only", "")
    assert send("EchoTwo", "iss", "ss") == (1, 0, "", "")
    assert send("EchoOne", "is", "s", "one", "two") == (1, 0, "one")  # beyond the signature: not sent
    assert [(c["signature"], c["body"]) for c in send_peer.calls()] == [
        ("s", ["unit name.service"]),
        ("ss", ["first ☃", ""]),
        ("s", [""]),
        ("ss", ["only", ""]),
        ("ss", ["", ""]),
        ("s", ["one"]),
    ]


@pytest.mark.parametrize("input_sig", ["i", "o", "v", "as", "a{ss}", "(ss)", "si", "is", "sss", "s ", "ss\t"])
def test_other_input_signatures_are_refused_without_a_call(send_peer, native, input_sig):
    # No connection is opened for a refused call, and an open one is not used.
    assert send("EchoTwo", "i", input_sig, "a", "b") == (-errno.EINVAL,)
    assert native.is_client_bus_open() == 0
    assert native.error_code == 10 and native.detail == REFUSED_SIG
    assert (
        _varquin.get_last_error(-errno.EINVAL)
        == f"Failed to issue method call, {REFUSED_SIG}, {os.strerror(errno.EINVAL)}"
    )
    assert send("Int", "i", "s", "open") == (1, 7)
    assert send("EchoTwo", "i", input_sig, "a", "b") == (-errno.EINVAL,)
    assert members(send_peer) == ["Int"]


@pytest.mark.parametrize("position", range(6))
def test_a_missing_or_empty_required_argument_raises_before_anything(send_peer, native, position):
    args = [SEND_PEER, SEND_PATH, SEND_PEER, "Int", "s", "i", "x"]
    native.set_vq_error(5)
    empty = args[:position] + [""] + args[position + 1 :]
    for bad in (empty, args[:position]) if position else (empty,):
        with pytest.raises(AttributeError) as raised:
            _varquin.send(*bad)
        assert str(raised.value) == MISSING
    with pytest.raises(TypeError):  # and the parser's own refusals
        _varquin.send(*args[:position], 5)
    assert native.error_code == 5 and native.is_client_bus_open() == 0
    assert send_peer.calls() == []


# ---------------------------------------------------------------------------
# Failed calls


@pytest.mark.parametrize(
    "svc,path,member,detail,reached",
    [
        (SEND_PEER, SEND_PATH, "Int", "the peer says no", ["Int"]),  # scripted error reply
        (SEND_PEER, SEND_PATH, "NoSuchMember", None, ["NoSuchMember"]),
        ("org.varquin.Test.Nobody", SEND_PATH, "Int", None, []),  # no peer owns the name
        (SEND_PEER, "not/a/path", "Int", None, []),  # refused by the library
    ],
)
def test_failed_calls_return_their_status_and_record_why(send_peer, native, svc, path, member, detail, reached):
    send_peer.behave("Int", error=["org.varquin.Test.Error.Refused", "the peer says no"])
    (status,) = _varquin.send(svc, path, SEND_PEER, member, "s", "i", "x")
    assert status < 0 and native.error_code == 10
    detail = detail or native.detail
    assert detail and native.detail == detail
    assert _varquin.get_last_error(status) == f"Failed to issue method call, {detail}, {os.strerror(-status)}"
    assert members(send_peer) == reached


def test_without_a_connection_nothing_is_called_and_code_4_stays(unreachable_bus, native):
    for _ in range(2):  # each call tries to connect again
        assert send("Int") == (-errno.ENOTCONN,)
        assert native.error_code == 4 and native.detail is None and native.is_client_bus_open() == 0
    assert _varquin.get_last_error(-errno.ENOTCONN) == f"Failed to connect to system bus, {os.strerror(errno.ENOTCONN)}"


def test_a_result_that_cannot_be_allocated_is_a_failure(send_peer):
    # A child process whose allocator cannot give the 320 MB that the result
    # array of a 20-million-character output signature needs.
    probe = f"""
import ctypes, os, resource
import _varquin
output_sig = "i" + "x" * 19_999_999
if not os.environ.get("VQ_SANITIZED"):
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (used + (128 << 20), resource.RLIM_INFINITY))
result = _varquin.send({SEND_PEER!r}, {SEND_PATH!r}, {SEND_PEER!r}, "Int", "s", output_sig, "x")
print(result, ctypes.c_int.in_dll(ctypes.CDLL(_varquin.__file__), "vq_error_code").value)
"""
    env = child_env(imports_module=True)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=128"
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[0] == f"({-errno.ENOMEM},) 3"
    assert members(send_peer) == ["Int"]


# ---------------------------------------------------------------------------
# Threads


@pytest.fixture
def held():
    """A method served by this process whose callable, once called, waits
    until the test lets it answer: (the method, the event set when it is
    called, the event that lets it answer (7,))."""
    called, answer = threading.Event(), threading.Event()

    def hold(s):
        called.set()
        answer.wait(10)
        return (7,)

    m = Method("Hold", "i", "s", hold)
    svc = Service(m)
    yield m, called, answer
    answer.set()
    svc.stop()


def send_held(m, results):
    results.append(_varquin.send(m.interface, m.path, m.interface, m.member, "s", "i", "x"))


def test_other_threads_run_while_a_call_waits(held):
    m, called, answer = held
    results = []
    caller = threading.Thread(target=send_held, args=(m, results))
    caller.start()
    # The callable runs on the loop's thread, and this thread goes on, only
    # while the caller waits without the interpreter lock.
    assert called.wait(10)
    answer.set()
    caller.join(30)
    assert results == [(1, 7)]


def test_a_call_in_flight_finishes_before_its_connection_closes(held, native):
    m, called, answer = held
    results = []
    caller = threading.Thread(target=send_held, args=(m, results))
    caller.start()
    assert called.wait(10)  # the call is in flight
    answer.set()  # the answer goes out while deinit_client waits for the call
    assert _varquin.deinit_client() is True
    caller.join(30)
    assert results == [(1, 7)]
    assert native.is_client_bus_open() == 0  # closed after the call, not reopened by it


# ---------------------------------------------------------------------------
# The native entries


class VariantArray(ctypes.Structure):
    _fields_ = [("variants", ctypes.c_void_p), ("size", ctypes.c_size_t)]


class Variant(ctypes.Structure):
    _fields_ = [("value", ctypes.c_int64), ("state", ctypes.c_int)]


def test_native_calls_without_i_or_s_without_a_connection_or_a_result_array(send_peer, native):
    lib = ctypes.CDLL(_varquin.__file__)
    text = [ctypes.c_char_p] * 8
    lib.client.argtypes = text + [ctypes.POINTER(VariantArray)]
    lib.b_client.argtypes = [ctypes.c_void_p] + text + [ctypes.POINTER(VariantArray)]
    lib.variant_array_free.argtypes = [VariantArray]
    names = [SEND_PEER.encode(), SEND_PATH.encode(), SEND_PEER.encode(), b"Int", b"s"]

    # No 'i' or 's' in the output signature: the call's status, elements empty.
    record = VariantArray()
    assert lib.client(*names, b"xb", b"x", None, ctypes.byref(record)) >= 0
    try:
        states = [(e.state, e.value) for e in (Variant * record.size).from_address(record.variants)]
        assert states == [(4, 0), (4, 0)] and native.error_code == 0
    finally:
        lib.variant_array_free(record)

    empty = VariantArray()
    assert lib.b_client(None, *names, b"i", b"x", None, ctypes.byref(empty)) == -errno.ENOTCONN
    assert native.error_code == 4
    assert lib.b_client(None, *names, None, b"x", None, ctypes.byref(empty)) == -errno.EINVAL
    assert native.error_code == 10
    assert lib.b_client(None, *names, b"i", b"x", None, None) == -errno.EINVAL
    assert not empty.variants and members(send_peer) == ["Int"]

"""The generic method call: what is sent, how replies are decoded into the
result tuple, what is refused, and what failures leave recorded."""

import ctypes
import errno
import os
import subprocess
import sys
import threading
import time

import pytest

import _varquin
from conftest import SEND_PATH, SEND_PEER, child_env

MISSING = "send() is called without required arguments"
NOT_INT = "First return argument must be int return code."
REFUSED_SIG = 'send accepts only the input signatures "s" and "ss"'


def send(member, output_sig="i", input_sig="s", *values):
    return _varquin.send(SEND_PEER, SEND_PATH, SEND_PEER, member, input_sig, output_sig, *values)


# ---------------------------------------------------------------------------
# Decoding the reply


def test_integer_and_string_replies_decode_behind_the_read_status(send_peer, native):
    assert send("Int", "i", "s", "x") == (1, 7)
    assert send("IntStr", "is", "s", "x") == (1, 0, "zero")
    call = send_peer.calls()
    assert [(c["path"], c["interface"], c["member"]) for c in call] == [
        (SEND_PATH, SEND_PEER, "Int"),
        (SEND_PATH, SEND_PEER, "IntStr"),
    ]
    assert native.error_code == 0


@pytest.mark.parametrize("value", [-1, -(2**31), 2**31 - 1])
def test_integers_keep_their_sign_and_range(send_peer, value):
    send_peer.behave("Int", reply=["i", [value]])
    assert send("Int") == (1, value)


def test_strings_decode_from_utf8(send_peer):
    text = "Grüße, ☃ and 𝄞"
    send_peer.behave("IntStr", reply=["is", [0, text]])
    assert send("IntStr", "is") == (1, 0, text)


def test_values_beyond_the_output_signature_are_ignored(send_peer):
    assert send("Many", "i") == (1, 3)
    assert send("Many", "ii") == (1, 3, 4)
    assert send("Many", "iis") == (1, 3, 4, "extra")


def test_a_reply_that_runs_out_leaves_none_and_status_0(send_peer, native):
    assert send("Int", "ii") == (0, 7, None)
    assert send("Int", "isi") == (0, 7, None, None)
    assert send("IntStr", "iss") == (0, 0, "zero", None)
    assert native.error_code == 0


def test_other_output_characters_stay_none_and_read_nothing(send_peer):
    # 'x', 'b' and '?' read nothing, so the next 'i' or 's' reads the value
    # they stood for.
    assert send("IntStr", "ixs") == (1, 0, None, "zero")
    assert send("Many", "ibi?s") == (1, 3, None, 4, None, "extra")
    assert send("Int", "ix") == (1, 7, None)


def test_a_value_of_another_type_fails_the_read(send_peer, native):
    native.set_vq_error_msg(12, b"older detail")
    result = send("IntStr", "ii")  # the second value is a string
    assert len(result) == 1 and result[0] < 0
    # Code only: the older detail text stays, as for every code-only failure.
    assert native.error_code == 3 and native.detail == "older detail"
    assert _varquin.get_last_error(result[0]) == (
        f"Failed to parse response message, older detail, {os.strerror(-result[0])}"
    )

    # A failed read comes before the check of the first value.
    for member, output_sig in (("Str", "i"), ("Int", "s")):
        result = send(member, output_sig)
        assert len(result) == 1 and result[0] < 0
        assert _varquin.get_last_error(result[0]) == f"Failed to parse response message, {os.strerror(-result[0])}"


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
    assert [c["member"] for c in send_peer.calls()] == [member]
    assert native.error_code == 5


# ---------------------------------------------------------------------------
# What is sent


def test_the_values_go_out_exactly_as_given(send_peer):
    assert send("EchoOne", "is", "s", "unit name.service") == (1, 0, "unit name.service")
    assert send("EchoTwo", "iss", "ss", "first ☃", "") == (1, 0, "first ☃", "")
    assert [(c["signature"], c["body"]) for c in send_peer.calls()] == [
        ("s", ["unit name.service"]),
        ("ss", ["first ☃", ""]),
    ]


def test_omitted_values_go_as_empty_strings(send_peer):
    assert send("EchoOne", "is", "s") == (1, 0, "")
    assert send("EchoTwo", "iss", "ss", "only") == (1, 0, "only", "")
    assert send("EchoTwo", "iss", "ss") == (1, 0, "", "")
    # A value beyond the input signature is not sent.
    assert send("EchoOne", "is", "s", "one", "two") == (1, 0, "one")
    assert [c["body"] for c in send_peer.calls()] == [[""], ["only", ""], ["", ""], ["one"]]


@pytest.mark.parametrize("input_sig", ["i", "o", "v", "as", "a{ss}", "(ss)", "si", "is", "sss", "s ", "ss\t"])
def test_other_input_signatures_are_refused_without_a_call(send_peer, native, input_sig):
    # No connection is opened for a refused call, and none is used.
    assert send("EchoTwo", "i", input_sig, "a", "b") == (-errno.EINVAL,)
    assert native.is_client_bus_open() == 0
    assert native.error_code == 10 and native.detail == REFUSED_SIG
    assert _varquin.get_last_error(-errno.EINVAL) == (
        f"Failed to issue method call, {REFUSED_SIG}, {os.strerror(errno.EINVAL)}"
    )
    assert send("Int", "i", "s", "open") == (1, 7)
    assert send("EchoTwo", "i", input_sig, "a", "b") == (-errno.EINVAL,)
    assert [c["member"] for c in send_peer.calls()] == ["Int"]


# ---------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("position", range(6))
def test_a_missing_or_empty_required_argument_raises_before_anything(send_peer, native, position):
    args = [SEND_PEER, SEND_PATH, SEND_PEER, "Int", "s", "i", "x"]
    native.set_vq_error(5)
    empty = list(args)
    empty[position] = ""
    for bad in (empty, args[:position]):
        if not bad:
            continue  # no argument at all is the parser's case
        with pytest.raises(AttributeError) as raised:
            _varquin.send(*bad)
        assert str(raised.value) == MISSING
    assert native.error_code == 5
    assert native.is_client_bus_open() == 0
    assert send_peer.calls() == []


@pytest.mark.parametrize(
    "args",
    [(), (SEND_PEER, SEND_PATH, SEND_PEER, "Int", "s", "i", "x", "y", "z"), (SEND_PEER, None), (SEND_PEER, 5), (b"bytes",)],
)
def test_arguments_that_do_not_parse_raise_the_parsers_error(send_peer, native, args):
    with pytest.raises(TypeError):
        _varquin.send(*args)
    assert native.error_code == 0 and native.is_client_bus_open() == 0


# ---------------------------------------------------------------------------
# Failed calls


def test_an_error_reply_is_recorded_with_its_message(send_peer, native):
    send_peer.behave("Int", error=["org.varquin.Test.Error.Refused", "the peer says no"])
    result = send("Int")
    assert len(result) == 1 and result[0] < 0
    assert native.error_code == 10 and native.detail == "the peer says no"
    assert _varquin.get_last_error(result[0]) == (
        f"Failed to issue method call, the peer says no, {os.strerror(-result[0])}"
    )


@pytest.mark.parametrize(
    "where,reached",
    [
        ({"svc": "org.varquin.Test.Nobody"}, []),  # no peer owns the name
        ({"member": "NoSuchMember"}, ["NoSuchMember"]),  # the peer answers UnknownMethod
        ({"path": "not/a/path"}, []),  # refused by the library
    ],
)
def test_calls_that_fail_return_their_status_and_record_why(send_peer, native, where, reached):
    result = _varquin.send(
        where.get("svc", SEND_PEER), where.get("path", SEND_PATH), SEND_PEER, where.get("member", "Int"), "s", "i", "x"
    )
    assert len(result) == 1 and result[0] < 0
    detail = native.detail
    assert native.error_code == 10 and detail
    assert _varquin.get_last_error(result[0]) == (
        f"Failed to issue method call, {detail}, {os.strerror(-result[0])}"
    )
    assert [c["member"] for c in send_peer.calls()] == reached


def test_without_a_connection_nothing_is_called_and_code_4_stays(unreachable_bus, native):
    for _ in range(2):  # each call tries to connect again
        assert send("Int") == (-errno.ENOTCONN,)
        assert native.error_code == 4 and native.detail is None
        assert native.is_client_bus_open() == 0
    assert _varquin.get_last_error(-errno.ENOTCONN) == (
        f"Failed to connect to system bus, {os.strerror(errno.ENOTCONN)}"
    )


# ---------------------------------------------------------------------------
# Threads


def test_other_threads_run_while_a_call_waits(send_peer):
    send_peer.behave("Int", delay=1.0)
    results, ticks = [], 0
    caller = threading.Thread(target=lambda: results.append(send("Int")))
    started = time.monotonic()
    caller.start()
    while caller.is_alive():
        ticks += 1
        time.sleep(0.01)
    assert results == [(1, 7)]
    assert time.monotonic() - started >= 1.0
    assert ticks >= 50  # this thread kept running throughout


def test_a_call_in_flight_finishes_before_its_connection_closes(send_peer, native):
    send_peer.behave("Int", delay=0.5)
    results = []
    caller = threading.Thread(target=lambda: results.append(send("Int")))
    caller.start()
    time.sleep(0.2)
    assert _varquin.deinit_client() is True  # waits for the call
    assert results == [(1, 7)]
    caller.join()
    assert native.is_client_bus_open() == 0


# ---------------------------------------------------------------------------
# The native entries


class VariantArray(ctypes.Structure):
    _fields_ = [("variants", ctypes.c_void_p), ("size", ctypes.c_size_t)]


class Variant(ctypes.Structure):
    _fields_ = [("value", ctypes.c_int64), ("state", ctypes.c_int)]


@pytest.fixture(scope="module")
def calls():
    lib = ctypes.CDLL(_varquin.__file__)
    text = [ctypes.c_char_p] * 8
    lib.client.argtypes = text + [ctypes.POINTER(VariantArray)]
    lib.b_client.argtypes = [ctypes.c_void_p] + text + [ctypes.POINTER(VariantArray)]
    lib.variant_array_free.argtypes = [VariantArray]
    return lib


def native_args(member, output_sig, input_sig=b"s"):
    return [SEND_PEER.encode(), SEND_PATH.encode(), SEND_PEER.encode(), member, input_sig, output_sig, b"x", None]


def elements(record):
    return [(e.state, e.value) for e in (Variant * record.size).from_address(record.variants)]


def test_an_output_signature_without_i_or_s_returns_the_calls_status(send_peer, calls, native):
    record = VariantArray()
    status = calls.client(*native_args(b"Int", b"xb"), ctypes.byref(record))
    try:
        assert status >= 0 and native.error_code == 0
        assert elements(record) == [(4, 0), (4, 0)]
    finally:
        calls.variant_array_free(record)
    assert [c["member"] for c in send_peer.calls()] == ["Int"]


def test_b_client_makes_no_call_without_a_connection(send_peer, calls, native):
    record = VariantArray()
    assert calls.b_client(None, *native_args(b"Int", b"i"), ctypes.byref(record)) == -errno.ENOTCONN
    assert native.error_code == 4 and not record.variants
    assert calls.b_client(None, *native_args(b"Int", b"i"), None) == -errno.EINVAL
    assert calls.b_client(None, *native_args(b"Int", b"i", None), ctypes.byref(record)) == -errno.EINVAL
    assert native.error_code == 10 and not record.variants
    assert send_peer.calls() == []


def test_a_result_that_cannot_be_allocated_is_a_failure(send_peer):
    # A child process whose allocator cannot give the 320 MB the result
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
code = ctypes.c_int.in_dll(ctypes.CDLL(_varquin.__file__), "vq_error_code").value
print(result, code)
"""
    env = child_env(imports_module=True)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":allocator_may_return_null=1:max_allocation_size_mb=128"
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[0] == f"({-errno.ENOMEM},) 3"
    assert [c["member"] for c in send_peer.calls()] == ["Int"]

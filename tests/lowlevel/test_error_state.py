"""The error state and the text that get_last_error composes from it."""

import os
import subprocess
import sys
import threading

import pytest

import _varquin
from testing.env import child_env

# Codes at spread places with their messages: a table shifted by one row, or a
# message on the wrong code, shows.
SPOT_MESSAGES = {
    1: "bus value is NULL",
    3: "Failed to parse response message",
    10: "Failed to issue method call",
    12: "Failed to call method",
    18: "Failed to call epoll_ctl()",
}


def test_nothing_recorded_gives_separator_and_system_text():
    assert _varquin.get_last_error(0) == ", " + os.strerror(0)
    assert _varquin.get_last_error(-2) == ", " + os.strerror(2)


def test_each_code_reads_as_its_own_message(native):
    texts = {}
    for code in range(1, 19):
        native.set_vq_error(code)
        texts[code] = _varquin.get_last_error(-13)
    assert all(text.endswith(f", {os.strerror(13)}") for text in texts.values())
    messages = {code: text.removesuffix(f", {os.strerror(13)}") for code, text in texts.items()}
    assert len(set(messages.values())) == 18 and all(messages.values())
    assert {code: messages[code] for code in SPOT_MESSAGES} == SPOT_MESSAGES


def test_codes_outside_the_table_read_as_the_empty_message():
    # Only native callers can record them.  In a child process, so that the
    # sanitizer build reports undefined behaviour there.
    probe = """
import ctypes, _varquin
lib = ctypes.CDLL(_varquin.__file__)
for code in (19, 40, -1):
    lib.set_vq_error(code)
    print(lib.vq_has_error(), _varquin.get_last_error(0))
"""
    done = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, timeout=60, env=child_env(imports_module=True)
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["1 , Success"] * 3


def test_detail_text_sits_between_message_and_system_text(native):
    native.set_vq_error_msg(10, b"Unit x.service not found.")
    assert native.detail == "Unit x.service not found."
    assert _varquin.get_last_error(-2) == "Failed to issue method call, Unit x.service not found., " + os.strerror(2)


def test_reading_clears_the_state(native):
    native.set_vq_error_msg(12, b"refused")
    _varquin.get_last_error(0)
    assert native.error_code == 0 and native.detail is None
    assert _varquin.get_last_error(0) == ", " + os.strerror(0)


def test_unknown_error_numbers_read_as_libc_says():
    # 5 asks for error number -5: an unknown number in libc's words.
    assert _varquin.get_last_error(5) == ", " + os.strerror(-5)
    assert _varquin.get_last_error(-100000) == ", " + os.strerror(100000)
    # The most negative status has no positive counterpart; it stays defined.
    assert _varquin.get_last_error(-(2**31)).startswith(", Unknown error")


def test_later_failures_replace_the_code_and_keep_or_replace_the_detail(native):
    native.set_vq_error_msg(10, b"first")
    native.set_vq_error_msg(12, b"second")
    assert _varquin.get_last_error(0) == "Failed to call method, second, Success"
    # A code-only failure pairs its message with the older detail text.
    native.set_vq_error_msg(10, b"older detail")
    native.set_vq_error(3)
    assert _varquin.get_last_error(0) == "Failed to parse response message, older detail, Success"


def test_a_null_detail_records_the_code_alone(native):
    native.set_vq_error_msg(10, b"something")
    native.set_vq_error_msg(12, None)
    assert native.detail is None
    assert _varquin.get_last_error(0) == "Failed to call method, Success"


def test_native_text_matches_and_clears_too(native):
    native.set_vq_error_msg(11, b"name taken")
    assert native.vq_has_error() == 1
    assert native.last_error_text(-1) == "Failed to acquire service name, name taken, " + os.strerror(1)
    assert native.vq_has_error() == 0


def test_arguments_that_do_not_parse_leave_the_state_recorded(native):
    native.set_vq_error(4)
    with pytest.raises(TypeError):
        _varquin.get_last_error("0")
    with pytest.raises(TypeError):
        _varquin.get_last_error()
    with pytest.raises(OverflowError):
        _varquin.get_last_error(2**31)
    assert native.error_code == 4
    assert _varquin.get_last_error(0) == "Failed to connect to system bus, Success"


def test_deinit_client_clears_without_reading(native):
    native.set_vq_error_msg(10, b"detail")
    assert _varquin.deinit_client() is True
    assert native.error_code == 0 and native.detail is None


def test_concurrent_recorders_and_readers_keep_code_and_detail_together(native):
    # ctypes releases the interpreter lock around each native call, so these
    # threads record and read truly at the same time.  Each writer pairs its
    # code with a detail naming that code; a text mixing two writers, a
    # crash or a double free shows a state that is not guarded.
    pairs = {10: "ten", 12: "twelve", 3: "three"}
    stop = threading.Event()
    bad = []

    def writer(code):
        detail = pairs[code].encode()
        while not stop.is_set():
            native.set_vq_error_msg(code, detail)

    def reader():
        for _ in range(20000):
            text = native.last_error_text(0)
            for code, detail in pairs.items():
                if text.startswith(SPOT_MESSAGES[code] + ", "):
                    if text != f"{SPOT_MESSAGES[code]}, {detail}, Success":
                        bad.append(text)

    writers = [threading.Thread(target=writer, args=(c,)) for c in pairs]
    readers = [threading.Thread(target=reader) for _ in range(2)]
    for t in writers + readers:
        t.start()
    for t in readers:
        t.join()
    stop.set()
    for t in writers:
        t.join()
    assert bad == []

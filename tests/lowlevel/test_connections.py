"""The client and server connections: opened on first use, kept, closed on
request, opened anew afterwards; failures to open are recorded each time."""

import ctypes
import os
import subprocess
import threading

import pytest

import _varquin
from testing.privatebus import PrivateBus
from testing.processes import stop_process

SD = ctypes.CDLL("libsystemd.so.0")
SD.sd_bus_get_unique_name.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p)]
SD.sd_bus_get_unique_name.restype = ctypes.c_int


def unique_name(bus):
    """The name the bus daemon gave this connection: proof it is live."""
    name = ctypes.c_char_p()
    assert SD.sd_bus_get_unique_name(bus, ctypes.byref(name)) >= 0
    return name.value.decode()


def test_first_acquire_opens_and_later_ones_reuse(native):
    assert native.is_client_bus_open() == 0
    bus = native.acquire_client_bus()
    assert bus and native.is_client_bus_open() == 1
    assert native.acquire_client_bus() == bus == native.get_client_bus()
    assert unique_name(bus).startswith(":")
    assert native.error_code == 0


def test_client_and_server_are_distinct_connections(native):
    client = native.acquire_client_bus()
    server = native.acquire_server_bus()
    try:
        assert client and server and client != server
        assert unique_name(client) != unique_name(server)
        native.server_bus_deinit()
        assert native.is_server_bus_open() == 0 and native.get_server_bus() is None
        assert native.get_client_bus() == client
    finally:
        native.server_bus_deinit()


def test_deinit_client_closes_and_the_next_use_reconnects(native):
    first = unique_name(native.acquire_client_bus())
    assert _varquin.deinit_client() is True
    assert native.is_client_bus_open() == 0 and native.get_client_bus() is None
    assert _varquin.deinit_client() is True  # nothing left to close
    second = native.acquire_client_bus()
    assert second and unique_name(second) != first


def test_unreachable_bus_records_code_4_on_every_attempt(native, unreachable_bus):
    for _ in range(3):
        assert native.acquire_client_bus() is None
        assert native.is_client_bus_open() == 0
        assert native.error_code == 4 and native.detail is None
        assert _varquin.get_last_error(0) == "Failed to connect to system bus, Success"
    assert native.acquire_server_bus() is None
    assert native.error_code == 4
    assert native.bus_open() is None


def test_open_with_an_older_failure_keeps_the_connection_but_returns_null(native):
    native.set_vq_error(5)
    assert native.client_bus_open() is None
    bus = native.get_client_bus()
    assert bus and native.is_client_bus_open() == 1
    assert native.acquire_client_bus() == bus
    assert unique_name(bus).startswith(":")
    assert native.error_code == 5  # the older failure is still there


def test_closing_nothing_does_nothing(native):
    native.client_bus_close()
    native.bus_close(None)
    empty = ctypes.c_void_p()
    native.bus_close(ctypes.byref(empty))
    assert native.error_code == 0 and native.is_client_bus_open() == 0


def test_bus_open_and_bus_close_handle_their_own_connection(native):
    own = ctypes.c_void_p(native.bus_open())
    assert own.value and unique_name(own.value)
    native.bus_close(ctypes.byref(own))
    assert own.value is None
    assert native.is_client_bus_open() == 0


def test_threads_opening_at_once_share_one_connection(native):
    # ctypes runs each native call without the interpreter lock, so these
    # acquires race for real; an unguarded global opens (and leaks) several.
    seen = set()
    lock = threading.Lock()
    barrier = threading.Barrier(8)

    def worker():
        barrier.wait()
        for _ in range(50):
            bus = native.acquire_client_bus()
            with lock:
                seen.add(bus)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(seen) == 1 and None not in seen


def restart(bus):
    """Stops the bus daemon and starts a new one on the same socket."""
    stop_process(bus.proc)
    bus.proc = subprocess.Popen(
        ["dbus-daemon", f"--config-file={bus.folder / 'system.conf'}", "--nofork", "--print-address"],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
    )
    assert bus.proc.stdout.readline()


DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


@pytest.mark.parametrize(
    "call,code",
    [
        (lambda: _varquin.send(*DBUS, "NoSuchMethod", "s", "i", "x"), 10),  # the generic call
        (lambda: _varquin.set_timezone("Europe/Berlin"), 12),  # systemd control (no timedated here)
    ],
)
def test_a_call_that_finds_the_connection_closed_drops_it_and_the_next_opens_anew(native, system_bus, call, code):
    bus = PrivateBus()
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address
    try:
        call()
        reached = native.detail  # the bus daemon's own answer
        assert native.error_code == code and reached
        restart(bus)
        call()  # fails, and is not sent again on a new connection
        assert native.error_code == code and native.detail != reached
        assert native.is_client_bus_open() == 0
        call()
        assert native.error_code == code and native.detail == reached
    finally:
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address
        _varquin.deinit_client()
        bus.stop()

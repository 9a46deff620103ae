"""Shared fixtures: a private system bus, native access to the module, and a
way to make the system bus unreachable.

No test may reach the host's real system bus.  Before anything else runs the
bus address points nowhere; the session's private dbus-daemon then replaces
it for the whole run.
"""

import ctypes
import os
import time

import pytest

NOWHERE = "unix:path=/nonexistent/varquin-test/system_bus_socket"
os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = NOWHERE

import _varquin  # noqa: E402  (imported after the address is made safe)
from testing.privatebus import PrivateBus  # noqa: E402

# The real systemd tier's fixtures and its line at the end of the run.
pytest_plugins = ("real_systemd_tier", "remote_tier")

# Variables that must not reach processes the tests start: a sanitizer
# runtime preloaded into the test interpreter is meant for it alone.
_CHILD_DROP = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def child_env(imports_module=False, **extra):
    """The environment for a process a test starts.  A child that imports
    the module keeps the sanitizer settings the module was built for."""
    env = {k: v for k, v in os.environ.items() if imports_module or k not in _CHILD_DROP}
    if imports_module and "ASAN_OPTIONS" in env:
        # The interpreter's own leaks at exit must not turn the child's
        # status into a failure; the sanitizer logs are judged after the run.
        env["ASAN_OPTIONS"] += ":exitcode=0"
    env.update(extra)
    return env


@pytest.fixture(scope="session")
def system_bus():
    """The private system bus for the whole run; DBUS_SYSTEM_BUS_ADDRESS
    points at it while the session lasts."""
    bus = PrivateBus(env=child_env())
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = bus.address
    try:
        yield bus
    finally:
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = NOWHERE
        _varquin.deinit_client()
        bus.stop()


@pytest.fixture(autouse=True)
def clean_module(system_bus):
    """Every test starts with the private bus selected, no client connection
    and a clear error state, and leaves the same behind."""
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address
    _varquin.deinit_client()
    yield
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address
    _varquin.deinit_client()


@pytest.fixture
def unreachable_bus(system_bus):
    """The system bus address points at a socket that does not exist."""
    _varquin.deinit_client()
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = NOWHERE
    yield NOWHERE
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = system_bus.address
    _varquin.deinit_client()


class Native:
    """The module's exported native functions and globals, through ctypes."""

    def __init__(self):
        lib = ctypes.CDLL(_varquin.__file__)
        self.lib = lib
        vp, cp, i = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
        self._sig("set_vq_error", None, [i])
        self._sig("set_vq_error_msg", None, [i, cp])
        self._sig("vq_has_error", i, [])
        self._sig("vq_clean_error", None, [])
        self._sig("get_last_error", vp, [i])
        for side in ("client", "server"):
            for name in (f"{side}_bus_open", f"acquire_{side}_bus", f"get_{side}_bus"):
                self._sig(name, vp, [])
            self._sig(f"is_{side}_bus_open", i, [])
            self._sig(f"{side}_bus_close", None, [])
            self._sig(f"{side}_bus_deinit", None, [])
        self._sig("bus_open", vp, [])
        self._sig("bus_close", None, [ctypes.POINTER(vp)])
        self._sig("deinit_client", None, [])
        self.libc = ctypes.CDLL(None)
        self.libc.free.argtypes = [vp]

    def _sig(self, name, restype, argtypes):
        fn = getattr(self.lib, name)
        fn.restype = restype
        fn.argtypes = argtypes

    def __getattr__(self, name):
        return getattr(self.lib, name)

    @property
    def error_code(self):
        return ctypes.c_int.in_dll(self.lib, "vq_error_code").value

    @property
    def detail(self):
        ptr = ctypes.c_char_p.in_dll(self.lib, "sd_error").value
        return None if ptr is None else ptr.decode()

    def last_error_text(self, code=0):
        """get_last_error through the native entry, freeing the text."""
        ptr = self.lib.get_last_error(code)
        try:
            return ctypes.string_at(ptr).decode() if ptr else None
        finally:
            self.libc.free(ptr)


@pytest.fixture(scope="session")
def native():
    return Native()


def wait_for(predicate, timeout=10.0, interval=0.02):
    """Poll `predicate` until it is true or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


# The generic-call peer (tests/peers/send_peer.py): its name, which is also
# its interface, and its object path.
SEND_PEER = "org.varquin.Test.Send"
SEND_PATH = "/org/varquin/test/send"


@pytest.fixture(scope="module")
def send_peer_process(system_bus):
    """The generic-call peer, started once per test module."""
    from peers.peerlib import PeerProcess

    peer = PeerProcess("send_peer.py", SEND_PEER, env=child_env())
    try:
        yield peer
    finally:
        peer.stop()


@pytest.fixture
def send_peer(send_peer_process):
    """The generic-call peer with no recorded calls and no scripted behaviour."""
    send_peer_process.reset()
    return send_peer_process


# The echo peer (tests/peers/echo_peer.py), for the Bus tests: its name, which
# is also its interface.
ECHO = "org.varquin.Test.Echo"


@pytest.fixture(scope="module")
def echo_peer(system_bus):
    """The echo peer, started once per test module."""
    from peers.peerlib import PeerProcess

    peer = PeerProcess("echo_peer.py", ECHO, ECHO, env=child_env())
    try:
        yield peer
    finally:
        peer.stop()

"""Shared fixtures: a private system bus, native access to the module, and a
way to make the system bus unreachable.

No test may reach the host's real system bus.  Before anything else runs the
bus address points nowhere; the session's private dbus-daemon then replaces
it for the whole run.
"""

import ctypes
import os

import pytest

from testing.env import ECHO, NOWHERE, SEND_PEER, child_env

os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = NOWHERE

import _varquin  # noqa: E402  (imported after the address is made safe)
from testing.privatebus import PrivateBus  # noqa: E402

# The real systemd tier's fixtures and its line at the end of the run.
pytest_plugins = ("testing.real_tier", "testing.remote_tier")


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


@pytest.fixture(scope="module")
def send_peer_process(system_bus):
    """The generic-call peer, started once per test module."""
    from testing.peers.peerlib import PeerProcess

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


@pytest.fixture(scope="module")
def echo_peer(system_bus):
    """The echo peer, started once per test module."""
    from testing.peers.peerlib import PeerProcess

    peer = PeerProcess("echo_peer.py", ECHO, ECHO, env=child_env())
    try:
        yield peer
    finally:
        peer.stop()


@pytest.fixture(scope="module")
def services(system_bus):
    """The substitutes for systemd's services (testing/peers/systemd_services.py),
    started once per test module."""
    from testing.peers.peerlib import PeerProcess

    peer = PeerProcess("systemd_services.py", "org.freedesktop.systemd1", env=child_env())
    try:
        yield peer
    finally:
        peer.stop()


@pytest.fixture
def svc(services):
    """The substitutes with their state, calls and scripts forgotten."""
    services.reset()
    return services

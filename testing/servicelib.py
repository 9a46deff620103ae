"""Helpers for tests of the module's service host: a service running its
listen loop in a thread of the test process, and independent callers on the
private bus."""

import ctypes
import itertools
import threading

from jeepney import DBusAddress, MessageType, new_method_call
from jeepney.io.blocking import open_dbus_connection

import _varquin

PATH = "/org/varquin/service"
_names = itertools.count()


def fresh_interface(tag="Svc"):
    """An interface (and bus name) used by no earlier test: a name released
    by a closed connection may still be owned until the daemon has noticed."""
    return f"org.varquin.{tag}{next(_names)}"


class Method:
    """One method of a service: member, output and input signatures, the
    callable, and the interface it is published under."""

    def __init__(self, member, output_sig, input_sig, fn, interface=None, path=PATH):
        self.member = member
        self.output_sig = output_sig
        self.input_sig = input_sig
        self.fn = fn
        self.interface = interface or fresh_interface()
        self.path = path


def register(methods):
    """init and one service_register per method, each at its own index.
    Returns the registration results."""
    _varquin.init(len(methods))
    return [
        _varquin.service_register(m.path, m.interface, m.member, m.output_sig, m.input_sig, m.fn, i)
        for i, m in enumerate(methods)
    ]


class ListenThread:
    """listen() on a thread of its own, its result or exception kept."""

    def __init__(self):
        self.result = None
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            self.result = _varquin.listen()
        except BaseException as e:  # a result with an exception set lands here
            self.error = e

    def join(self, timeout):
        self.thread.join(timeout)
        return not self.thread.is_alive()


class Service:
    """Registered methods served by a listen loop in a thread."""

    def __init__(self, *methods):
        self.methods = {m.member: m for m in methods}
        results = register(methods)
        assert results == [1] * len(methods), (results, _varquin.get_last_error(0))
        self.loop = ListenThread()

    def stop(self, timeout=15):
        """deinit_server, then the loop's result.  Fails (never hangs) when
        the loop does not return."""
        assert _varquin.deinit_server() is True
        assert self.loop.join(timeout), "listen did not return after deinit_server"
        assert self.loop.error is None, repr(self.loop.error)
        return self.loop.result


class Caller:
    """An independent peer on the private bus, calling the service's methods."""

    def __init__(self):
        self.conn = open_dbus_connection(bus="SYSTEM")

    def call(self, method, signature="", *args, timeout=10, destination=None):
        addr = DBusAddress(method.path, bus_name=destination or method.interface, interface=method.interface)
        msg = new_method_call(addr, method.member, signature, args)
        return self.conn.send_and_get_reply(msg, timeout=timeout)

    def body(self, method, signature="", *args, timeout=10):
        """The reply's signature and values; fails on an error reply."""
        reply = self.call(method, signature, *args, timeout=timeout)
        assert reply.header.message_type == MessageType.method_return, reply.body
        return reply.header.fields.get(8, ""), reply.body  # 8: the signature field

    def error(self, method, signature="", *args, timeout=10):
        """The error reply's name and message; fails on a method return."""
        reply = self.call(method, signature, *args, timeout=timeout)
        assert reply.header.message_type == MessageType.error, reply.body
        return reply.header.fields.get(4), reply.body[0]  # 4: the error name field

    def close(self):
        self.conn.close()


class Registry(ctypes.Structure):
    """vq_method, as the shared object lays it out."""

    _fields_ = [
        ("output_sig", ctypes.c_char_p),
        ("input_sig", ctypes.c_char_p),
        ("method_name", ctypes.c_char_p),
        ("method_cfunc", ctypes.c_void_p),
        ("method_vtable", ctypes.c_void_p),
        ("slot", ctypes.c_void_p),
    ]


def registry(native):
    """(g_methods_amount, the slots as Registry records or None)."""
    amount = ctypes.c_int.in_dll(native.lib, "g_methods_amount").value
    base = ctypes.c_void_p.in_dll(native.lib, "g_methods").value
    if not base:
        return amount, None
    return amount, [Registry.from_address(base + i * ctypes.sizeof(Registry)) for i in range(max(amount, 0))]


def event_fd(native):
    return ctypes.c_int.in_dll(native.lib, "g_event_fd").value

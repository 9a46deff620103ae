"""An independent peer for the wire tests, written with jeepney: it writes
messages in either byte order and sends values that sd-bus never writes.

    WIRE_PEER at /org/varquin/test/wire, interface org.varquin.Test.Wire:
        EchoLittle(...) -> ...   the arguments back with their own signature,
        EchoBig(...)    -> ...   in little- or big-endian byte order
        Canned(s order) -> ...   the peer's `canned` (signature, body), in that
                                 byte order: values sd-bus would not write

Every method call it receives is recorded (`calls`), so a test can tell that
a refused value never left.  It runs on a thread of the test's own process:
`emit`, `call` and `send_raw` send from the caller's thread, and replies to
its own calls are handed over by serial.  `close()` shuts the socket down
and joins the thread.
"""

import socket
import threading
from queue import Queue

from jeepney import HeaderFields, MessageType, message_bus, new_method_call, new_method_return, new_signal
from jeepney.io.blocking import open_dbus_connection
from jeepney.low_level import Endianness, Header, padding, parse_signature
from jeepney.wrappers import DBusAddress

from testing.env import WIRE_PEER

PATH = "/org/varquin/test/wire"
IFACE = "org.varquin.Test.Wire"
ORDERS = {"little": Endianness.little, "big": Endianness.big}


class WirePeer:
    """A jeepney connection owning `name`, answering on its own thread."""

    def __init__(self, name=WIRE_PEER):
        self.conn = open_dbus_connection(bus="SYSTEM", enable_fds=True)
        self.unique_name = self.conn.unique_name
        reply = self.conn.send_and_get_reply(message_bus.RequestName(name, 4), timeout=10)
        if reply.body[0] != 1:
            self.conn.close()
            raise RuntimeError(f"could not own {name}")
        self.name = name
        self.calls = []  # (member, signature, body) of each call received
        self.canned = ("", ())  # what Canned answers
        self._send_lock = threading.Lock()
        self._replies = {}  # serial -> Queue of its reply
        self._replies_lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    # --- Sending ---------------------------------------------------------------

    def send(self, msg, order="little"):
        """Sends a jeepney Message in the byte order given; its serial."""
        msg.header.endianness = ORDERS[order]
        with self._send_lock:
            serial = next(self.conn.outgoing_serial)
            self.conn.send(msg, serial=serial)
        return serial

    def emit(self, member, signature, body, order="little", path=PATH, iface=IFACE, destination=None):
        """Sends the signal member(body) in the byte order given."""
        msg = new_signal(DBusAddress(path, interface=iface), member, signature, tuple(body))
        if destination:
            msg.header.fields[HeaderFields.destination] = destination
        self.send(msg, order)

    def call(self, destination, path, iface, member, signature, body, order="little", timeout=10):
        """Calls a method, waits for its reply: the jeepney Message."""
        msg = new_method_call(DBusAddress(path, bus_name=destination, interface=iface), member, signature, tuple(body))
        waiting = Queue()
        msg.header.endianness = ORDERS[order]
        with self._send_lock:
            serial = next(self.conn.outgoing_serial)
            with self._replies_lock:
                self._replies[serial] = waiting
            self.conn.send(msg, serial=serial)
        try:
            return waiting.get(timeout=timeout)
        finally:
            with self._replies_lock:
                self._replies.pop(serial, None)

    def send_raw(self, kind, fields, signature="", body=(), order="little", flags=0, wait=False):
        """Sends a message built field by field: `fields` is a list of
        (code, type code, value) header fields, unknown codes included.
        Returns the reply with `wait`, else the serial."""
        endian = ORDERS[order]
        if signature:
            fields = [*fields, (HeaderFields.signature.value, "g", signature)]
            body_buf = parse_signature(list(f"({signature})")).serialise(tuple(body), 0, endian)
        else:
            body_buf = b""
        entries = [(code, (t, v)) for code, t, v in fields]
        waiting = Queue()
        with self._send_lock:
            serial = next(self.conn.outgoing_serial)
            head = Header(endian, kind, flags, 1, len(body_buf), serial, {}).serialise()[:12]
            head += parse_signature(list("a(yv)")).serialise(entries, 12, endian)
            if wait:
                with self._replies_lock:
                    self._replies[serial] = waiting
            self.conn.sock.sendall(head + b"\0" * padding(len(head), 8) + body_buf)
        if not wait:
            return serial
        try:
            return waiting.get(timeout=10)
        finally:
            with self._replies_lock:
                self._replies.pop(serial, None)

    # --- Receiving -------------------------------------------------------------

    def _run(self):
        try:
            while True:
                msg = self.conn.receive()
                self._handle(msg)
        except (OSError, EOFError, ValueError):
            return  # the socket was shut down by close()

    def _handle(self, msg):
        fields = msg.header.fields
        kind = msg.header.message_type
        if kind in (MessageType.method_return, MessageType.error):
            with self._replies_lock:
                waiting = self._replies.get(fields.get(HeaderFields.reply_serial))
            if waiting:
                waiting.put(msg)
            return
        if kind != MessageType.method_call or fields.get(HeaderFields.path) != PATH:
            return
        member = fields.get(HeaderFields.member)
        signature = fields.get(HeaderFields.signature, "")
        self.calls.append((member, signature, msg.body))
        if member in ("EchoLittle", "EchoBig"):
            reply = new_method_return(msg, signature, msg.body)
            self.send(reply, "big" if member == "EchoBig" else "little")
        elif member == "Canned":
            self.send(new_method_return(msg, *self.canned), msg.body[0])
        for value in _descriptors(msg.body):
            value.close()

    def close(self):
        """Ends the connection and joins the thread."""
        try:
            self.conn.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._thread.join(10)
        self.conn.close()


def _descriptors(value):
    """The received file descriptors in a jeepney body."""
    if hasattr(value, "to_raw_fd") and hasattr(value, "close"):
        yield value
    elif isinstance(value, (list, tuple)):
        for item in value:
            yield from _descriptors(item)
    elif isinstance(value, dict):
        for k, v in value.items():
            yield from _descriptors(k)
            yield from _descriptors(v)

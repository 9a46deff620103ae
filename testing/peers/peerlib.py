"""A small framework for substitute services and test peers on the private
system bus, built on jeepney.

A peer is a separate process.  It owns one or more well-known names, answers
method calls from handlers, records every call it receives, and can be told
by the tests, over its control interface, to answer a member differently:

    org.varquin.Test.Control at /org/varquin/test on each of the peer's names
        Calls() -> s         the recorded calls as JSON, oldest first
        Reset()              forget the calls and every scripted behaviour,
                             and run the peer's own reset hooks
        Behave(s key, s how) script the member `key` ("Member" or
                             "interface.Member"); `how` is JSON:
                               {"error": [name, message]}  an error reply
                               {"reply": [signature, body]} this reply instead
                               {"delay": seconds}           wait, then answer
                             "" clears the script for `key`.

A recorded call is {"destination", "path", "interface", "member",
"signature", "body"}, with the body as JSON (structs and arrays as lists).

A handler registered with a signature answers calls of any other signature
with InvalidArgs, as an sd-bus service does.

The tests side is PeerProcess: it starts a peer script, waits until the
script prints "ready" (its names are owned by then), talks to its control
interface, and stops it by its PID.

A peer started with ``--direct PATH`` serves no bus: it listens on the unix
socket PATH and answers its clients directly, one connection after another,
as a service's own socket does (no Hello, no names, no senders; the control
interface is not served).  DirectPeer starts one.
"""

import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

from jeepney import (
    DBusAddress,
    HeaderFields,
    MessageType,
    message_bus,
    new_error,
    new_method_call,
    new_method_return,
)
from jeepney.io.blocking import DBusConnectionBase, open_dbus_connection, timeout_to_deadline
from jeepney.low_level import Array, DictEntry, Struct, Variant, parse_signature

CONTROL_PATH = "/org/varquin/test"
CONTROL_IFACE = "org.varquin.Test.Control"
UNKNOWN_METHOD = "org.freedesktop.DBus.Error.UnknownMethod"
INVALID_ARGS = "org.freedesktop.DBus.Error.InvalidArgs"
PEER_FAULT = "org.varquin.Test.Error.PeerFault"


def shape(signature, body):
    """Turn a JSON-shaped body (lists everywhere) into jeepney's shapes
    (tuples for structs and variants) for `signature`."""
    types = []
    chars = list(signature)
    while chars:
        types.append(parse_signature(chars))
    return tuple(_shape(t, v) for t, v in zip(types, body, strict=True))


def _shape(t, v):
    if isinstance(t, Struct):  # DictEntry is a Struct too
        return tuple(_shape(f, x) for f, x in zip(t.fields, v, strict=True))
    if isinstance(t, Array):
        if isinstance(t.elt_type, DictEntry) and isinstance(v, dict):
            return {k: _shape(t.elt_type.fields[1], x) for k, x in v.items()}
        if isinstance(v, (bytes, str)):
            return v
        return [_shape(t.elt_type, x) for x in v]
    if isinstance(t, Variant):
        sig, x = v
        return (sig, _shape(parse_signature(list(sig)), x))
    return v


def _jsonable(v):
    if isinstance(v, (tuple, list)):
        return [_jsonable(x) for x in v]
    if isinstance(v, dict):
        return {str(k): _jsonable(x) for k, x in v.items()}
    if isinstance(v, bytes):
        return list(v)
    return v


class Reply(Exception):
    """Raised by a handler to answer with a D-Bus error."""

    def __init__(self, name, message):
        super().__init__(message)
        self.name = name
        self.message = message


class Peer:
    """The service side: register handlers with `method`, then `run`."""

    def __init__(self, *names):
        self.names = names
        self.conn = None  # the bus, or the client of a direct peer
        self.handlers = {}
        self.calls = []
        self.scripts = {}
        self.reset_hooks = []

    def method(self, interface, member, path=None, signature=None):
        """Decorator: `fn(msg) -> (signature, body)` answers `member` of
        `interface` (at `path`, or at any path when None); with `signature`,
        only calls of that argument signature reach `fn`."""

        def register(fn):
            if signature is not None:
                self.handlers[(interface, member, path)] = _checked(interface, member, signature, fn)
            else:
                self.handlers[(interface, member, path)] = fn
            return fn

        return register

    def on_reset(self, fn):
        """Decorator: `fn()` runs on every Reset, to restore the peer's state."""
        self.reset_hooks.append(fn)
        return fn

    def _find(self, path, interface, member):
        for key in ((interface, member, path), (interface, member, None)):
            if key in self.handlers:
                return self.handlers[key]
        if interface is None:  # a call without an interface: match the member
            for (_i, m, p), fn in self.handlers.items():
                if m == member and p in (None, path):
                    return fn
        return None

    def _control(self, msg, member):
        if member == "Calls":
            return "s", (json.dumps(self.calls),)
        if member == "Reset":
            self.calls.clear()
            self.scripts.clear()
            for hook in self.reset_hooks:
                hook()
            return "", ()
        if member == "Behave":
            key, how = msg.body
            if how:
                self.scripts[key] = json.loads(how)
            else:
                self.scripts.pop(key, None)
            return "", ()
        raise Reply(UNKNOWN_METHOD, f"Unknown control method {member}")

    def _answer(self, msg):
        h = msg.header.fields
        path = h.get(HeaderFields.path)
        interface = h.get(HeaderFields.interface)
        member = h.get(HeaderFields.member)
        signature = h.get(HeaderFields.signature, "")
        if interface == CONTROL_IFACE and path == CONTROL_PATH:
            return self._control(msg, member)
        if interface == "org.freedesktop.DBus.Peer" and member == "Ping":
            return "", ()  # answered on every path, as sd-bus answers it itself
        self.calls.append(
            {
                "destination": h.get(HeaderFields.destination),
                "path": path,
                "interface": interface,
                "member": member,
                "signature": signature,
                "body": _jsonable(msg.body),
            }
        )
        how = self.scripts.get(f"{interface}.{member}") or self.scripts.get(member)
        if how:
            if "delay" in how:
                time.sleep(how["delay"])
            if "error" in how:
                raise Reply(*how["error"])
            if "reply" in how:
                sig, body = how["reply"]
                return sig, shape(sig, body)
        fn = self._find(path, interface, member)
        if fn is None:
            raise Reply(
                UNKNOWN_METHOD,
                f"Unknown method {member} or interface {interface}.",
            )
        return fn(msg)

    def run(self):
        self.conn = open_dbus_connection(bus="SYSTEM")
        for name in self.names:
            reply = self.conn.send_and_get_reply(message_bus.RequestName(name, 4))
            if reply.body[0] != 1:
                raise SystemExit(f"could not own {name}: {reply.body}")
        print("ready", flush=True)
        self._serve()

    def run_direct(self, path):
        """Serves the clients of the unix socket `path`, one after another."""
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        listener.listen(4)
        print("ready", flush=True)
        while True:
            client, _ = listener.accept()
            try:
                _accept_auth(client)
                self.conn = DirectConnection(client)
                self._serve()
            except (ConnectionError, OSError, EOFError):
                pass
            finally:
                self.conn = None
                client.close()

    def _serve(self):
        while True:
            msg = self.conn.receive()
            if msg.header.message_type != MessageType.method_call:
                continue
            try:
                sig, body = self._answer(msg)
                out = new_method_return(msg, sig, body)
                out.serialise(serial=1)  # a body that does not fit fails here, not in send
            except Reply as e:
                out = new_error(msg, e.name, "s", (e.message,))
            except Exception as e:  # a mistake in a test's script or a handler
                out = new_error(msg, PEER_FAULT, "s", (f"{type(e).__name__}: {e}",))
            self.conn.send(out)


def _checked(interface, member, signature, fn):
    def handler(msg):
        got = msg.header.fields.get(HeaderFields.signature, "")
        if got != signature:
            raise Reply(
                INVALID_ARGS,
                f"Invalid arguments '{got}' to call {interface}.{member}(), expecting '{signature}'.",
            )
        return fn(msg)

    return handler


class DirectConnection(DBusConnectionBase):
    """A connection to one client, without a bus: messages as they come."""

    def send(self, message, serial=None):
        data, _fds = self._serialise(message, serial)
        self.sock.sendall(data)

    def receive(self, *, timeout=None):
        return self._receive(timeout_to_deadline(timeout))


def _accept_auth(client):
    """The server's side of the EXTERNAL authentication: the client sends
    its lines at once (AUTH, DATA, NEGOTIATE_UNIX_FD, BEGIN) and reads the
    answers."""
    data = b""
    while b"BEGIN\r\n" not in data:
        chunk = client.recv(4096)
        if not chunk:
            raise EOFError("the client left during authentication")
        data += chunk
    # AUTH EXTERNAL without the identity asks for it: the DATA that follows
    # (sent at once, empty) gives none, and the socket's own credentials count.
    answers = [b"DATA\r\n"] if b"AUTH EXTERNAL\r\n" in data else []
    answers.append(b"OK " + os.urandom(16).hex().encode() + b"\r\n")
    if b"NEGOTIATE_UNIX_FD" in data:
        answers.append(b"AGREE_UNIX_FD\r\n")
    client.sendall(b"".join(answers))


def peer_main(peer):
    """Run `peer` until the tests stop it with SIGTERM: on the bus, or with
    ``--direct PATH`` on the unix socket PATH."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    args = sys.argv[1:]
    if args[:1] == ["--direct"]:
        peer.run_direct(args[1])
    else:
        peer.run()


# ---------------------------------------------------------------------------
# The tests side.

PEERS = Path(__file__).resolve().parent


class DirectPeer:
    """A peer script serving the unix socket `path` directly (see --direct)."""

    def __init__(self, script, path, env=None):
        self.path = path
        self.proc = subprocess.Popen(
            [sys.executable, str(PEERS / script), "--direct", str(path)], stdout=subprocess.PIPE, env=env
        )
        line = self.proc.stdout.readline().decode().strip()
        if line != "ready":
            self.stop()
            raise RuntimeError(f"peer {script} did not start: {line!r}")

    def stop(self):
        from testing.processes import stop_process  # the tests' side only

        stop_process(self.proc)


class PeerProcess:
    """A peer script started for a test, controlled over the bus."""

    def __init__(self, script, name, *args, env=None):
        self.name = name
        self.proc = subprocess.Popen(
            [sys.executable, str(PEERS / script), *args],
            stdout=subprocess.PIPE,
            env=env,
        )
        line = self.proc.stdout.readline().decode().strip()
        if line != "ready":
            self.stop()
            raise RuntimeError(f"peer {script} did not start: {line!r}")
        self.conn = open_dbus_connection(bus="SYSTEM")
        self.control = DBusAddress(CONTROL_PATH, bus_name=name, interface=CONTROL_IFACE)

    def _call(self, member, signature="", body=()):
        msg = new_method_call(self.control, member, signature, body)
        reply = self.conn.send_and_get_reply(msg, timeout=10)
        if reply.header.message_type == MessageType.error:
            raise RuntimeError(f"control call {member} failed: {reply.body}")
        return reply.body

    def calls(self, member=None):
        """The recorded calls (of `member` only, when given)."""
        calls = json.loads(self._call("Calls")[0])
        return [c for c in calls if member is None or c["member"] == member]

    def reset(self):
        self._call("Reset")

    def behave(self, key, **how):
        """Script `key`: error=(name, message), reply=(signature, body),
        delay=seconds; with no keyword the script for `key` is cleared."""
        self._call("Behave", "ss", (key, json.dumps(how) if how else ""))

    def stop(self):
        from testing.processes import stop_process  # the tests' side only

        if getattr(self, "conn", None) is not None:
            self.conn.close()
            self.conn = None
        stop_process(self.proc)

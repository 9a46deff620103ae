"""A peer for the Bus tests, answering from threads so that many calls are
in flight at once.

    org.varquin.Test.Echo at /org/varquin/test/echo (names given on the command line)
        Echo(...)        -> ...   the arguments back, with their own signature
        Sleep(d)         -> s     after d seconds (others are answered meanwhile):
                                  the caller's unique name and the serial of the call
        Fail(ss)         -> error with that name and message
        Emit(s member, s text) -> emits member(s text) from the object, then
                                  answers; the signal leaves before the reply
        Silent()         -> never answers; emits Silenced(s caller) when the call came

Every call is answered on its own thread: a Sleep holds back nothing else.
"""

import signal
import sys
import threading

from jeepney import HeaderFields, MessageType, message_bus, new_error, new_method_return, new_signal
from jeepney.io.blocking import open_dbus_connection
from jeepney.wrappers import DBusAddress

PATH = "/org/varquin/test/echo"
IFACE = "org.varquin.Test.Echo"


def main(names):
    conn = open_dbus_connection(bus="SYSTEM", enable_fds=True)
    for name in names:
        reply = conn.send_and_get_reply(message_bus.RequestName(name, 4))
        if reply.body[0] != 1:
            raise SystemExit(f"could not own {name}")
    send_lock = threading.Lock()

    def send(msg):
        with send_lock:
            conn.send(msg)

    def answer(msg):
        member = msg.header.fields.get(HeaderFields.member)
        sig = msg.header.fields.get(HeaderFields.signature, "")
        if member == "Echo":
            send(new_method_return(msg, sig, msg.body))
        elif member == "Sleep":
            caller = msg.header.fields.get(HeaderFields.sender)
            reply = new_method_return(msg, "su", (caller, msg.header.serial))
            threading.Timer(msg.body[0], send, (reply,)).start()
        elif member == "Fail":
            send(new_error(msg, msg.body[0], "s", (msg.body[1],)))
        elif member == "Emit":
            emitter = DBusAddress(PATH, interface=IFACE)
            send(new_signal(emitter, msg.body[0], "s", (msg.body[1],)))
            send(new_method_return(msg))
        elif member == "Silent":
            caller = msg.header.fields.get(HeaderFields.sender)
            send(new_signal(DBusAddress(PATH, interface=IFACE), "Silenced", "s", (caller,)))
        else:
            send(new_error(msg, "org.freedesktop.DBus.Error.UnknownMethod", "s", (f"no {member}",)))

    print("ready", flush=True)
    while True:
        msg = conn.receive()
        if msg.header.message_type == MessageType.method_call:
            answer(msg)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    main(sys.argv[1:] or [IFACE])

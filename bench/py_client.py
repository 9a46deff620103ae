"""N sequential Echo calls through one Python bus library.
Usage: py_client.py IMPL BUS_NAME N [--rss]
Prints one JSON line: calls, seconds (wall), cpu (user + system) and, with
--rss, the resident memory in kB before and after the calls."""

import asyncio
import json
import sys
import time

PATH = "/org/varquin/bench"


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def varquin_client(name):
    import _varquin

    send = _varquin.send
    args = (name, PATH, name, "Echo", "ss", "is", "hello", "world")

    def call():
        result = send(*args)
        if result != (1, 0, "hello"):
            raise RuntimeError(f"unexpected reply {result!r}: {_varquin.get_last_error(result[0])}")

    return call


def dbus_python_client(name):
    import dbus

    bus = dbus.SystemBus()

    def call():
        code, echoed = bus.call_blocking(name, PATH, name, "Echo", "ss", ("hello", "world"))
        if code != 0 or echoed != "hello":
            raise RuntimeError("unexpected reply")

    return call


def jeepney_client(name):
    from jeepney import DBusAddress, new_method_call
    from jeepney.io.blocking import open_dbus_connection

    conn = open_dbus_connection(bus="SYSTEM")
    addr = DBusAddress(PATH, bus_name=name, interface=name)

    def call():
        reply = conn.send_and_get_reply(new_method_call(addr, "Echo", "ss", ("hello", "world")))
        if reply.body != (0, "hello"):
            raise RuntimeError(f"unexpected reply {reply.body!r}")

    return call


def pystemd_client(name):
    from pystemd.dbuslib import DBus

    bus = DBus()
    bus.open()
    dest, path, member = name.encode(), PATH.encode(), b"Echo"
    args = [(ord("s"), b"hello"), (ord("s"), b"world")]

    def call():
        reply = bus.call_method(dest, path, dest, member, args)  # decodes the body
        if list(reply.body) != [0, b"hello"]:
            raise RuntimeError(f"unexpected reply {reply.body!r}")

    return call


def run_sync(make, name, n, rss):
    call = make(name)
    call()  # connecting and first-call setup are not measured
    before = rss_kb()
    t0, c0 = time.perf_counter(), time.process_time()
    for _ in range(n):
        call()
    return time.perf_counter() - t0, time.process_time() - c0, before, rss_kb()


def run_dbus_fast(name, n, rss):
    from dbus_fast import BusType, Message, MessageType
    from dbus_fast.aio import MessageBus

    async def main():
        bus = await MessageBus(bus_type=BusType.SYSTEM).connect()

        async def call():
            reply = await bus.call(
                Message(
                    destination=name, path=PATH, interface=name, member="Echo", signature="ss", body=["hello", "world"]
                )
            )
            if reply.message_type != MessageType.METHOD_RETURN or reply.body != [0, "hello"]:
                raise RuntimeError(f"unexpected reply {reply.body!r}")

        await call()
        before = rss_kb()
        t0, c0 = time.perf_counter(), time.process_time()
        for _ in range(n):
            await call()
        result = time.perf_counter() - t0, time.process_time() - c0, before, rss_kb()
        bus.disconnect()
        return result

    return asyncio.run(main())


SYNC = {
    "varquin": varquin_client,
    "dbus-python": dbus_python_client,
    "jeepney": jeepney_client,
    "pystemd": pystemd_client,
}


def main():
    impl, name, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rss = "--rss" in sys.argv
    if impl == "dbus-fast":
        secs, cpu, before, after = run_dbus_fast(name, n, rss)
    else:
        secs, cpu, before, after = run_sync(SYNC[impl], name, n, rss)
    out = {"calls": n, "seconds": secs, "cpu": cpu}
    if rss:
        out.update(rss_before_kb=before, rss_after_kb=after)
    print(json.dumps(out))


if __name__ == "__main__":
    main()

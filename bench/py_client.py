"""The Python clients of the benchmarks: one bus library per process.

    py_client.py echo IMPL BUS_NAME N [--rss]
        N sequential Echo(ss) -> (is) calls to the C server owning BUS_NAME
        on the system bus (DBUS_SYSTEM_BUS_ADDRESS)
    py_client.py get-all IMPL ADDRESS DEST PATH INTERFACE N
        N sequential Properties.GetAll(INTERFACE) calls to DEST on the bus
        at ADDRESS, each reply turned into a dict of plain Python values
    py_client.py concurrent IMPL BUS_NAME WORKERS N
        WORKERS threads sharing one connection (Bus.call), or WORKERS asyncio
        tasks on one connection (varquin.aio, sdbus async, sdbus async proxy,
        dbus-fast), each making N Echo calls

Prints one JSON line: calls, seconds (wall), cpu (user + system) and, with
--rss, the resident memory in kB before and after the calls.  Connecting and
a first call are not measured.  Every reply is checked.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import threading
import time
from collections.abc import Awaitable, Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

from procfs import rss_kb  # this script's folder is on sys.path

PATH = "/org/varquin/bench"
PROPERTIES = "org.freedesktop.DBus.Properties"
ECHO_ARGS = ("hello", "world")

Call = Callable[[], None]
AsyncCall = Callable[[], Awaitable[None]]
# Connects inside the running event loop and gives the call to make.
Connect = Callable[[], Awaitable[AsyncCall]]
Result = dict[str, float]


def expect(ok: bool, reply: object) -> None:
    if not ok:
        raise RuntimeError(f"unexpected reply {reply!r}")


def expect_properties(props: dict[Any, Any]) -> None:
    """A GetAll reply of a unit decoded into a dict: it has a hundred."""
    expect(isinstance(props, dict) and len(props) > 10, props)


# --- Echo(ss) -> (is) -------------------------------------------------------------------


def echo_send(name: str) -> Call:
    import _varquin

    send = _varquin.send
    args = (name, PATH, name, "Echo", "ss", "is", *ECHO_ARGS)

    def call() -> None:
        result = send(*args)
        if result != (1, 0, "hello"):
            status = result[0] if isinstance(result[0], int) else 0
            raise RuntimeError(f"unexpected reply {result!r}: {_varquin.get_last_error(status)}")

    return call


def echo_bus(name: str) -> Call:
    import varquin

    bus_call = varquin.Bus.system().call

    def call() -> None:
        reply = bus_call(name, PATH, name, "Echo", "ss", *ECHO_ARGS)
        expect(reply == (0, "hello"), reply)

    return call


def echo_proxy(name: str) -> Call:
    """Bus.proxy: the interface proxy from the object's introspection."""
    import varquin

    echo = varquin.Bus.system().proxy(name, PATH, name).Echo

    def call() -> None:
        reply = echo(*ECHO_ARGS)
        expect(reply == (0, "hello"), reply)

    return call


def echo_sdbus(name: str) -> Call:
    """sdbus's blocking calls made of messages: its shortest way."""
    from sdbus import sd_bus_open_system

    bus = sd_bus_open_system()

    def call() -> None:
        message = bus.new_method_call_message(name, PATH, name, "Echo")
        message.append_data("ss", *ECHO_ARGS)
        reply = bus.call(message).get_contents()
        expect(reply == (0, "hello"), reply)

    return call


def echo_sdbus_proxy(name: str) -> Call:
    """sdbus's blocking proxy: a class that declares the method."""
    from sdbus import DbusInterfaceCommon, dbus_method, sd_bus_open_system

    class Echo(DbusInterfaceCommon, interface_name=name):
        @dbus_method("ss", "is", method_name="Echo")
        def echo(self, a: str, b: str) -> tuple[int, str]:
            raise NotImplementedError

    proxy = Echo(name, PATH, sd_bus_open_system())

    def call() -> None:
        reply = proxy.echo(*ECHO_ARGS)
        expect(reply == (0, "hello"), reply)

    return call


def echo_dbus_python(name: str) -> Call:
    import dbus  # type: ignore[import-untyped]

    bus = dbus.SystemBus()

    def call() -> None:
        reply = bus.call_blocking(name, PATH, name, "Echo", "ss", ECHO_ARGS)
        expect(tuple(reply) == (0, "hello"), reply)

    return call


def echo_dbus_python_proxy(name: str) -> Call:
    """dbus-python's proxy object (it introspects the object first)."""
    import dbus

    echo = dbus.Interface(dbus.SystemBus().get_object(name, PATH), name).Echo

    def call() -> None:
        reply = echo(*ECHO_ARGS)
        expect(tuple(reply) == (0, "hello"), reply)

    return call


def echo_jeepney(name: str) -> Call:
    from jeepney import DBusAddress, new_method_call  # type: ignore[import-untyped]
    from jeepney.io.blocking import open_dbus_connection  # type: ignore[import-untyped]

    conn = open_dbus_connection(bus="SYSTEM")
    addr = DBusAddress(PATH, bus_name=name, interface=name)

    def call() -> None:
        reply = conn.send_and_get_reply(new_method_call(addr, "Echo", "ss", ECHO_ARGS))
        expect(reply.body == (0, "hello"), reply.body)

    return call


def echo_pystemd(name: str) -> Call:
    from pystemd.dbuslib import DBus  # type: ignore[import-untyped]

    bus = DBus()
    bus.open()
    dest, path, member = name.encode(), PATH.encode(), b"Echo"
    args = [(ord("s"), a.encode()) for a in ECHO_ARGS]

    def call() -> None:
        reply = bus.call_method(dest, path, dest, member, args)  # decodes the body
        expect(list(reply.body) == [0, b"hello"], reply.body)

    return call


def echo_dbus_fast(name: str) -> Connect:
    from dbus_fast import BusType, Message, MessageType
    from dbus_fast.aio import MessageBus

    async def connect() -> AsyncCall:
        bus = await MessageBus(bus_type=BusType.SYSTEM).connect()

        async def call() -> None:
            reply = await bus.call(
                Message(
                    destination=name, path=PATH, interface=name, member="Echo", signature="ss", body=list(ECHO_ARGS)
                )
            )
            if reply is None or reply.message_type != MessageType.METHOD_RETURN:
                raise RuntimeError(f"unexpected reply {reply!r}")
            expect(reply.body == [0, "hello"], reply.body)

        return call

    return connect


def echo_dbus_fast_proxy(name: str) -> Connect:
    """dbus-fast's proxy object, from the object's introspection."""
    from dbus_fast import BusType
    from dbus_fast.aio import MessageBus

    async def connect() -> AsyncCall:
        bus = await MessageBus(bus_type=BusType.SYSTEM).connect()
        introspection = await bus.introspect(name, PATH)
        iface = bus.get_proxy_object(name, PATH, introspection).get_interface(name)

        async def call() -> None:
            reply = await iface.call_echo(*ECHO_ARGS)  # type: ignore[attr-defined]
            expect(reply == [0, "hello"], reply)

        return call

    return connect


def echo_aio_proxy(name: str) -> Connect:
    """varquin.aio's interface proxy from the object's introspection."""
    import varquin.aio

    async def connect() -> AsyncCall:
        bus = await varquin.aio.Bus.system()
        echo = (await bus.proxy(name, PATH, name)).Echo

        async def call() -> None:
            reply = await echo(*ECHO_ARGS)
            expect(reply == (0, "hello"), reply)

        return call

    return connect


def echo_aio(name: str) -> Connect:
    import varquin.aio

    async def connect() -> AsyncCall:
        bus = await varquin.aio.Bus.system()

        async def call() -> None:
            reply = await bus.call(name, PATH, name, "Echo", "ss", *ECHO_ARGS)
            expect(reply == (0, "hello"), reply)

        return call

    return connect


def echo_sdbus_async(name: str) -> Connect:
    """sdbus's asyncio calls made of messages: its shortest way."""
    from sdbus import sd_bus_open_system

    async def connect() -> AsyncCall:
        bus = sd_bus_open_system()

        async def call() -> None:
            message = bus.new_method_call_message(name, PATH, name, "Echo")
            message.append_data("ss", *ECHO_ARGS)
            reply = (await bus.call_async(message)).get_contents()
            expect(reply == (0, "hello"), reply)

        return call

    return connect


def echo_sdbus_async_proxy(name: str) -> Connect:
    """sdbus's asyncio proxy: a class that declares the method."""
    from sdbus import DbusInterfaceCommonAsync, dbus_method_async, sd_bus_open_system

    class Echo(DbusInterfaceCommonAsync, interface_name=name):
        @dbus_method_async("ss", "is", method_name="Echo")
        async def Echo(self, a: str, b: str) -> tuple[int, str]:
            raise NotImplementedError

    async def connect() -> AsyncCall:
        proxy = Echo.new_proxy(name, PATH, sd_bus_open_system())

        async def call() -> None:
            reply = await proxy.Echo(*ECHO_ARGS)
            expect(reply == (0, "hello"), reply)

        return call

    return connect


ASYNC_ECHO: dict[str, Callable[[str], Connect]] = {
    "varquin.aio": echo_aio,
    "aio Bus.proxy": echo_aio_proxy,
    "sdbus async": echo_sdbus_async,
    "sdbus async proxy": echo_sdbus_async_proxy,
    "dbus-fast": echo_dbus_fast,
    "dbus-fast proxy": echo_dbus_fast_proxy,
}

ECHO: dict[str, Callable[[str], Call]] = {
    "send": echo_send,
    "Bus.call": echo_bus,
    "Bus.proxy": echo_proxy,
    "sdbus": echo_sdbus,
    "sdbus proxy": echo_sdbus_proxy,
    "dbus-python": echo_dbus_python,
    "dbus-python proxy": echo_dbus_python_proxy,
    "jeepney": echo_jeepney,
    "pystemd": echo_pystemd,
}


# --- Properties.GetAll --------------------------------------------------------------------


def get_all_bus(address: str, dest: str, path: str, iface: str) -> Call:
    import varquin

    bus = varquin.Bus(address)

    def call() -> None:
        expect_properties(bus.get_all(dest, path, iface))

    return call


def get_all_sdbus(address: str, dest: str, path: str, iface: str) -> Call:
    # sdbus cannot connect to an address of the caller's choice: its system
    # bus follows DBUS_SYSTEM_BUS_ADDRESS, which the benchmark sets for it.
    from sdbus import sd_bus_open_system

    if os.environ.get("DBUS_SYSTEM_BUS_ADDRESS") != address:
        raise SystemExit("sdbus: DBUS_SYSTEM_BUS_ADDRESS must be the address")
    bus = sd_bus_open_system()

    def call() -> None:
        message = bus.new_method_call_message(dest, path, PROPERTIES, "GetAll")
        message.append_data("s", iface)
        reply = bus.call(message).get_contents()  # a single value comes alone
        assert isinstance(reply, dict)
        # Variants come as (signature, value): the value is what is wanted.
        expect_properties({k: v[1] for k, v in reply.items()})

    return call


def get_all_pystemd(address: str, dest: str, path: str, iface: str) -> Call:
    from pystemd.dbuslib import DBusAddress

    bus = DBusAddress(address.encode())
    bus.open()
    d, p, i = dest.encode(), path.encode(), PROPERTIES.encode()
    args = [(ord("s"), iface.encode())]

    def call() -> None:
        # A dict of plain values (strings stay bytes in pystemd).
        expect_properties(bus.call_method(d, p, i, b"GetAll", args).body)

    return call


def get_all_dbus_python(address: str, dest: str, path: str, iface: str) -> Call:
    import dbus

    bus = dbus.bus.BusConnection(address)

    def call() -> None:
        expect_properties(bus.call_blocking(dest, path, PROPERTIES, "GetAll", "s", (iface,)))

    return call


def get_all_jeepney(address: str, dest: str, path: str, iface: str) -> Call:
    from jeepney import DBusAddress, new_method_call
    from jeepney.io.blocking import open_dbus_connection

    conn = open_dbus_connection(bus=address)
    addr = DBusAddress(path, bus_name=dest, interface=PROPERTIES)

    def call() -> None:
        (reply,) = conn.send_and_get_reply(new_method_call(addr, "GetAll", "s", (iface,))).body
        expect_properties({k: v[1] for k, v in reply.items()})

    return call


def get_all_dbus_fast(address: str, dest: str, path: str, iface: str) -> Connect:
    from dbus_fast import Message, MessageType
    from dbus_fast.aio import MessageBus

    async def connect() -> AsyncCall:
        bus = await MessageBus(bus_address=address).connect()

        async def call() -> None:
            reply = await bus.call(
                Message(destination=dest, path=path, interface=PROPERTIES, member="GetAll", signature="s", body=[iface])
            )
            if reply is None or reply.message_type != MessageType.METHOD_RETURN:
                raise RuntimeError(f"unexpected reply {reply!r}")
            # Variants come as Variant objects: the value is what is wanted.
            expect_properties({k: v.value for k, v in reply.body[0].items()})

        return call

    return connect


GET_ALL: dict[str, Callable[[str, str, str, str], Call]] = {
    "Bus.get_all": get_all_bus,
    "sdbus": get_all_sdbus,
    "pystemd": get_all_pystemd,
    "dbus-python": get_all_dbus_python,
    "jeepney": get_all_jeepney,
}


# --- Measuring ------------------------------------------------------------------------------


def measure(call: Call, n: int) -> Result:
    call()
    before = rss_kb()
    t0, c0 = time.perf_counter(), time.process_time()
    for _ in range(n):
        call()
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    return {"calls": n, "seconds": seconds, "cpu": cpu, "rss_before_kb": before, "rss_after_kb": rss_kb()}


def measure_async(connect: Connect, n: int, workers: int = 1) -> Result:
    """`workers` tasks on one connection, each making `n` calls."""

    async def run() -> Result:
        call = await connect()
        await call()

        async def worker() -> None:
            for _ in range(n):
                await call()

        before = rss_kb()
        t0, c0 = time.perf_counter(), time.process_time()
        await asyncio.gather(*(worker() for _ in range(workers)))
        seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
        return {"calls": n * workers, "seconds": seconds, "cpu": cpu, "rss_before_kb": before, "rss_after_kb": rss_kb()}

    return asyncio.run(run())


def measure_threads(call: Call, n: int, workers: int) -> Result:
    """`workers` threads sharing one connection, each making `n` calls."""
    call()
    start = threading.Barrier(workers + 1, timeout=60)

    def worker() -> None:
        start.wait()
        for _ in range(n):
            call()

    with ThreadPoolExecutor(workers) as pool:
        futures = [pool.submit(worker) for _ in range(workers)]
        start.wait()
        t0, c0 = time.perf_counter(), time.process_time()
        for f in futures:
            f.result()  # raises what the thread raised
        seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    return {"calls": n * workers, "seconds": seconds, "cpu": cpu}


def run(argv: list[str]) -> Result:
    mode, impl = argv[0], argv[1]
    if mode == "echo":
        name, n = argv[2], int(argv[3])
        if impl in ASYNC_ECHO:
            return measure_async(ASYNC_ECHO[impl](name), n)
        return measure(ECHO[impl](name), n)
    if mode == "get-all":
        address, dest, path, iface, n = argv[2], argv[3], argv[4], argv[5], int(argv[6])
        if impl == "dbus-fast":
            return measure_async(get_all_dbus_fast(address, dest, path, iface), n)
        return measure(GET_ALL[impl](address, dest, path, iface), n)
    if mode == "concurrent":
        name, workers, n = argv[2], int(argv[3]), int(argv[4])
        if impl in ASYNC_ECHO:
            return measure_async(ASYNC_ECHO[impl](name), n, workers)
        return measure_threads(ECHO[impl](name), n, workers)
    raise SystemExit(__doc__)


def main() -> None:
    result = run([a for a in sys.argv[1:] if a != "--rss"])
    if "--rss" not in sys.argv:
        result.pop("rss_before_kb", None)
        result.pop("rss_after_kb", None)
    print(json.dumps(result))


if __name__ == "__main__":
    main()

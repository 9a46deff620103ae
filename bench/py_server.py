"""Echo(ss) -> (is), answering 0 and the first argument, served by one
Python bus library.  Usage: py_server.py IMPL BUS_NAME
Prints "ready" once the name is owned, then serves until killed."""

import asyncio
import sys

PATH = "/org/varquin/bench"


def echo(a: str, b: str) -> tuple[int, str]:
    return 0, a


def serve_listen(name: str) -> None:
    import _varquin

    _varquin.init(1)
    if _varquin.service_register(PATH, name, "Echo", "is", "ss", echo, 0) != 1:
        raise SystemExit(f"registration failed: {_varquin.get_last_error(0)}")
    print("ready", flush=True)
    status = _varquin.listen()
    raise SystemExit(f"listen returned {status}: {_varquin.get_last_error(status)}")


def serve_bus_export(name: str) -> None:
    import varquin

    class Echo(varquin.Interface, name=name):
        @varquin.method("ss", "is")
        def Echo(self, a: str, b: str) -> tuple[int, str]:
            return echo(a, b)

    bus = varquin.Bus.system()
    bus.export(PATH, Echo())
    bus.request_name(name)
    print("ready", flush=True)
    bus.serve()


def serve_dbus_python(name: str) -> None:
    import dbus  # type: ignore[import-untyped]
    import dbus.mainloop.glib  # type: ignore[import-untyped]
    import dbus.service  # type: ignore[import-untyped]
    from gi.repository import GLib  # type: ignore[import-untyped]

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    class Echo(dbus.service.Object):  # type: ignore[misc]
        @dbus.service.method(name, in_signature="ss", out_signature="is")  # type: ignore[untyped-decorator]
        def Echo(self, a: str, b: str) -> tuple[int, str]:
            return echo(a, b)

    owner = dbus.service.BusName(name, bus, do_not_queue=True)
    Echo(bus, PATH)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del owner


def serve_dbus_fast(name: str) -> None:
    from dbus_fast import BusType
    from dbus_fast.aio import MessageBus
    from dbus_fast.service import ServiceInterface, method

    class Echo(ServiceInterface):
        def __init__(self) -> None:
            super().__init__(name)

        @method()
        def Echo(self, a: "s", b: "s") -> "is":  # type: ignore[name-defined,valid-type]  # noqa: F821, F722 (D-Bus signatures)
            return list(echo(a, b))

    async def main() -> None:
        bus = await MessageBus(bus_type=BusType.SYSTEM).connect()
        bus.export(PATH, Echo())
        await bus.request_name(name)
        print("ready", flush=True)
        await asyncio.Event().wait()

    asyncio.run(main())


def serve_sdbus(name: str) -> None:
    """python-sdbus's asyncio server: its way of serving a class."""
    from sdbus import DbusInterfaceCommonAsync, dbus_method_async, sd_bus_open_system

    class Echo(DbusInterfaceCommonAsync, interface_name=name):
        @dbus_method_async("ss", "is", method_name="Echo")
        async def Echo(self, a: str, b: str) -> tuple[int, str]:
            return echo(a, b)

    async def main() -> None:
        bus = sd_bus_open_system()
        obj = Echo()  # served only while it lives
        handle = obj.export_to_dbus(PATH, bus)
        await bus.request_name_async(name, 0)
        print("ready", flush=True)
        await asyncio.Event().wait()
        del obj, handle

    asyncio.run(main())


SERVERS = {
    "Bus.export": serve_bus_export,
    "listen": serve_listen,
    "sdbus": serve_sdbus,
    "dbus-python": serve_dbus_python,
    "dbus-fast": serve_dbus_fast,
}

if __name__ == "__main__":
    SERVERS[sys.argv[1]](sys.argv[2])

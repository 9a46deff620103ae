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


SERVERS = {"listen": serve_listen, "dbus-python": serve_dbus_python, "dbus-fast": serve_dbus_fast}

if __name__ == "__main__":
    SERVERS[sys.argv[1]](sys.argv[2])

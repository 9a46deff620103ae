"""Typed code using the varquin package as a user writes it, checked with
`mypy --strict` against the installed package; never run (it would reach a
system bus).  The lines marked `type: ignore[...]` are misuses the types must
reject (an ignore that suppresses nothing fails --strict)."""

import asyncio

import varquin
import varquin.aio


class Greeter(varquin.Interface, name="org.example.Greeter"):
    @varquin.method("s", "s")
    def Hello(self, name: str) -> str:
        return "hello " + name

    @varquin.property("u")
    def Count(self) -> int:
        return 1

    Changed = varquin.signal("su")


def client() -> str:
    with varquin.Bus.system(timeout=5) as bus:
        (owner,) = bus.call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", "s", "x"
        )
        props = bus.get_all("org.freedesktop.systemd1", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager")
        bus.set_property("a.b", "/", "a.b", "P", "a{sv}", {"k": varquin.Variant("s", "v")})
        with bus.subscribe(member="JobRemoved") as sub:
            sig: varquin.Signal = sub.get(timeout=1.0)
            print(sig.args, props)
        try:
            bus.call("a.b", "/", None, "M", timeout="soon")  # type: ignore[arg-type]
        except varquin.NoSuchUnit as e:
            print(e.name, e.message)
        handle: varquin.Export = bus.export("/greeter", Greeter())
        bus.request_name("org.example.Greeter")
        handle.close()
        return str(owner) + bus.unique_name


async def aio_client() -> None:
    async with await varquin.aio.Bus.system() as bus:
        values: tuple[object, ...] = await bus.call("a.b", "/", "a.b", "M", "s", "x")
        async for sig in bus.subscribe(member="X"):
            print(sig.member, values)
        bus.export(1, Greeter())  # type: ignore[arg-type]


asyncio.run(aio_client())

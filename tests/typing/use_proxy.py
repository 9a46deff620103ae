"""Typed code using proxies as a user writes it, checked with `mypy --strict`;
never run.  The lines marked `type: ignore[...]` are misuses the types must
reject (an ignore that suppresses nothing fails --strict)."""

import varquin
import varquin.aio
from varquin.aio.proxy import InterfaceProxy as AsyncInterfaceProxy
from varquin.proxy import InterfaceProxy, ObjectProxy


class Greeter(varquin.Interface, name="org.example.Greeter"):
    @varquin.method("su", "s")
    def Hello(self, name: str, times: int) -> str:
        return name * times

    @varquin.method("", "")
    def Reset(self) -> None:
        pass


class AsyncGreeter(varquin.Interface, name="org.example.Greeter"):
    @varquin.method("su", "s")
    async def Hello(self, name: str, times: int) -> str:
        return name * times


def typed(bus: varquin.Bus) -> str:
    g = bus.proxy("org.example.Greeter", "/greeter", Greeter)
    text: str = g.Hello("you", 2)
    g.Reset()
    g.Hello("you", "twice")  # type: ignore[arg-type]
    g.Hello("you")  # type: ignore[call-arg]
    g.Goodbye()  # type: ignore[attr-defined]
    wrong: int = g.Hello("you", 1)  # type: ignore[assignment]
    return text + str(wrong)


def introspected(bus: varquin.Bus) -> tuple[str, ...]:
    p: ObjectProxy[InterfaceProxy] = bus.proxy("org.freedesktop.hostname1", "/org/freedesktop/hostname1")
    h: InterfaceProxy = p["org.freedesktop.hostname1"]
    h.SetStaticHostname("web1", False, timeout=5)
    h.set_property("PrettyHostname", "Web")
    changes: varquin.Subscription = h.subscribe("PropertiesChanged")
    changes.close()
    return p.interfaces + p.children + tuple(h.get_all())


async def asynchronous(bus: varquin.aio.Bus) -> str:
    g = await bus.proxy("org.example.Greeter", "/greeter", AsyncGreeter)
    text: str = await g.Hello("you", 2)
    await g.Hello(1, 2)  # type: ignore[arg-type]
    h: AsyncInterfaceProxy = await bus.proxy("org.example.Greeter", "/greeter", "org.example.Greeter")
    await h.set_property("Count", 2)
    value = await h.get_property("Count")
    return text + str(value)

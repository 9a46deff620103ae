"""Proxies: a served object called through its introspection and through its
Interface class; their errors before anything is sent, the introspection
cache and its owner tracking, signals, and the native ProxyMethod's life."""

import asyncio
import gc
import itertools
import select
import threading
import weakref

import pytest

import varquin
import varquin.aio

PATH = "/org/varquin/test/thing"
IFACE = "org.varquin.Test.Thing"
_names = itertools.count()


class Thing(varquin.Interface, name=IFACE):
    def __init__(self):
        self._level = 1
        self.sets = 0

    @varquin.method("sb", "s")
    def Rename(self, name, static):
        return f"{name}:{static}"

    @varquin.method("", "")
    def Nothing(self):
        return None

    @varquin.method("u", "is")
    def Pair(self, n):
        return (n, str(n))

    @varquin.method("s", "s", name="class")
    def class_(self, text):
        return "class " + text

    @varquin.method("", "s", name="subscribe")
    def subscribe_(self):
        return "remote subscribe"

    @varquin.method("", "i")
    def Wrong(self):
        return 0

    @varquin.property("u")
    def Level(self):
        return self._level

    @Level.setter
    def Level(self, value):
        self.sets += 1
        self._level = value

    @varquin.property("s")
    def Label(self):
        return "fixed"

    Changed = varquin.signal("su")


class Other(varquin.Interface, name="org.varquin.Test.Other"):
    @varquin.method("", "s")
    def Who(self):
        return "other"


class Server:
    """A Bus serving `obj` at PATH (and a child) under a fresh name, from a thread."""

    def __init__(self, obj, name=None):
        self.name = name or f"org.varquin.Test.Proxy{next(_names)}"
        self.bus = varquin.Bus.system()
        self.obj = obj
        self.handles = [self.bus.export(PATH, obj), self.bus.export(PATH + "/child", Other())]
        self.bus.request_name(self.name)
        self.loop = threading.Thread(target=self.bus.serve)
        self.loop.start()

    def stop(self):
        self.bus.stop()
        self.loop.join(10)
        assert not self.loop.is_alive()
        self.bus.close()


@pytest.fixture
def server(system_bus):
    s = Server(Thing())
    yield s
    s.stop()


@pytest.fixture
def client(system_bus):
    with varquin.Bus.system() as bus:
        yield bus


def test_an_introspected_object_and_its_interface(server, client):
    p = client.proxy(server.name, PATH)
    assert IFACE in p.interfaces and "org.freedesktop.DBus.Properties" in p.interfaces
    assert p.children == ("child",)
    h = p[IFACE]
    assert h is p[IFACE]
    assert h.Rename("web1", False) == "web1:False"
    assert h.Nothing() is None
    assert h.Pair(7, timeout=5) == (7, "7")
    assert (h.Level, h.Label) == (1, "fixed")
    h.Level = 3
    assert server.obj._level == 3 and h.get_property("Level") == 3
    h.set_property("Level", 4)
    assert h.get_all() == {"Level": 4, "Label": "fixed"}
    other = client.proxy(server.name, PATH + "/child", "org.varquin.Test.Other")
    assert other.Who() == "other"


def test_members_that_clash_or_are_keywords(server, client):
    h = client.proxy(server.name, PATH, IFACE)
    assert h["class"]("x") == "class x"
    assert h["subscribe"]() == "remote subscribe"
    assert callable(h.subscribe) and h.subscribe.__self__ is h  # the helper, not the method
    typed = client.proxy(server.name, PATH, Thing)
    assert typed.class_("y") == "class y" and typed.subscribe_() == "remote subscribe"


def test_errors_before_anything_is_sent(server, client):
    h = client.proxy(server.name, PATH, IFACE)
    sets = server.obj.sets
    with pytest.raises(AttributeError, match=r"has no member 'Nope' \(methods: .*Rename.*properties: Label, Level"):
        h.Nope  # noqa: B018
    with pytest.raises(TypeError, match=r"^Rename\(sb\) takes 2 arguments, 1 given$"):
        h.Rename("web1")
    with pytest.raises(TypeError) as by_call:
        client.call(server.name, PATH, IFACE, "Rename", "sb", 5, False)
    with pytest.raises(TypeError) as by_proxy:
        h.Rename(5, False)
    assert str(by_proxy.value) == str(by_call.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        h.Rename("a", True, bogus=1)
    with pytest.raises(AttributeError, match="Label of org.varquin.Test.Thing is read-only"):
        h.Label = "x"
    with pytest.raises(AttributeError, match="read-only"):
        h.set_property("Label", "x")
    with pytest.raises(AttributeError, match="not a property"):
        h.Rename = 1
    with pytest.raises(KeyError, match="has no member 'Nope'"):
        h["Nope"]
    assert server.obj.sets == 0 == sets


def test_a_reply_that_does_not_match_the_declared_outputs(server, client):
    # The method is declared with two outputs; the object answers one.
    method = varquin._core.ProxyMethod(client, server.name, PATH, IFACE, "Wrong", "", "is")
    with pytest.raises(ValueError, match="the reply to Wrong has 1 values, not 2"):
        method()


@pytest.mark.parametrize(
    "args,error",
    [
        (("org.varquin.Test.Nobody", PATH), varquin.ServiceUnknown),
        ((None, "/no/such"), varquin.UnknownObject),
        ((None, PATH, "org.varquin.Test.Missing"), KeyError),
        ((None, PATH, Other, True), KeyError),
    ],
)
def test_objects_and_interfaces_that_do_not_exist(server, client, args, error):
    destination, *rest = args
    if len(rest) == 3:
        path, cls, introspect = rest
        with pytest.raises(error, match="has no interface org.varquin.Test.Other \\(it has: "):
            client.proxy(server.name, path, cls, introspect=introspect)
        return
    with pytest.raises(error) as caught:
        client.proxy(destination or server.name, *rest)
    if error is KeyError:
        assert IFACE in str(caught.value)


def test_a_typed_proxy_makes_no_call(server, client):
    absent = client.proxy("org.varquin.Test.Nobody", PATH, Thing)
    with pytest.raises(varquin.ServiceUnknown):
        absent.Nothing()
    with pytest.raises(ValueError, match="needs the introspection"):
        client.proxy(server.name, PATH, introspect=False)
    with pytest.raises(TypeError, match="names no D-Bus interface"):
        client.proxy(server.name, PATH, varquin.Interface)


@pytest.mark.parametrize("same_bus", [False, True])
def test_a_typed_proxy_of_the_served_class(server, client, same_bus):
    bus = server.bus if same_bus else client
    t = bus.proxy(server.name, PATH, Thing, introspect=True)
    assert t.Rename("a", True) == "a:True"
    assert t.Pair(2) == (2, "2")
    t.Level = 9
    assert (t.Level, server.obj._level) == (9, 9)
    with t.subscribe("Changed") as sub:
        server.obj.Changed("x", 5)
        assert sub.get(timeout=10).args == ("x", 5)


def test_signals_of_an_interface(server, client):
    h = client.proxy(server.name, PATH, IFACE)
    with h.subscribe("PropertiesChanged") as changes, h.subscribe("Changed") as changed:
        client.proxy(server.name, PATH + "/child", "org.varquin.Test.Other")  # another object, no signal
        h.Level = 5
        server.obj.Changed("y", 1)
        got = changes.get(timeout=10)
        assert (got.path, got.args) == (PATH, (IFACE, {"Level": 5}, []))
        assert changed.get(timeout=10).args == ("y", 1)
    with pytest.raises(AttributeError, match="has no member 'Nope'"):
        h.subscribe("Nope")
    for member, kind in (("Rename", "a method"), ("Level", "a property")):
        with pytest.raises(AttributeError, match=f"{member} is {kind}, not a signal"):
            h.subscribe(member)


def arrived(bus):
    """Whether input waits unread on the bus's socket, within a bound."""
    return bool(select.select([bus._loop_fd()], [], [], 10)[0])


@pytest.mark.parametrize("flavour", ["threads", "asyncio"])
def test_introspection_is_cached_until_the_owner_changes(server, flavour):
    # Nothing reads the client between the owner change and the next
    # proxy(): the NameOwnerChanged waits unread on its socket, and proxy()
    # must take it in before it trusts the cache.
    async def proxies(bus, make):
        first = await make(bus, server.name, PATH)
        server.handles[0].close()  # gone from the bus, still in the cache
        assert (await make(bus, server.name, PATH)).interfaces == first.interfaces
        server.bus.release_name(server.name)
        successor = Server(Other(), server.name)
        try:
            assert arrived(bus._core if flavour == "asyncio" else bus)
            again = await make(bus, server.name, PATH)
            assert "org.varquin.Test.Other" in again.interfaces and IFACE not in again.interfaces
            if flavour == "threads":  # proxies made before keep calling the name they were made for
                with pytest.raises(varquin.UnknownMethod):
                    first[IFACE].Nothing()
        finally:
            successor.stop()

    async def sync_proxy(bus, *args):
        return bus.proxy(*args)

    async def aio_proxy(bus, *args):
        return await bus.proxy(*args)

    if flavour == "threads":
        with varquin.Bus.system() as bus:
            asyncio.run(proxies(bus, sync_proxy))
    else:

        async def main():
            async with await varquin.aio.Bus.system() as bus:
                await proxies(bus, aio_proxy)

        asyncio.run(main())


def test_a_proxy_method_in_a_cycle_is_collected(system_bus):
    bus = varquin.Bus.system()
    bus.keep = varquin._core.ProxyMethod(bus, None, "/", IFACE, "M", "", "")
    gone = weakref.ref(bus)
    bus.close()
    del bus
    gc.collect()
    assert gone() is None


def test_closing_the_bus_from_another_thread_ends_a_waiting_call(client):
    entered, hold = threading.Event(), threading.Event()

    class Slow(varquin.Interface, name="org.varquin.Test.Slow"):
        @varquin.method("", "")
        def Wait(self):
            entered.set()
            hold.wait(10)

    slow = Server(Slow())
    try:
        method = client.proxy(slow.name, PATH, Slow).Wait
        outcome = []
        caller = threading.Thread(target=lambda: outcome.append(_raised(method)))
        caller.start()
        assert entered.wait(10)
        closer = threading.Thread(target=client.close)
        closer.start()
        closer.join(10)
        caller.join(10)
        assert not caller.is_alive()
        assert isinstance(outcome[0], ConnectionAbortedError)
        with pytest.raises(ValueError, match="closed"):
            method()
    finally:
        hold.set()
        slow.stop()


def _raised(fn):
    try:
        fn()
    except BaseException as e:
        return e
    return None


def test_asyncio_proxies(server):
    async def main():
        async with await varquin.aio.Bus.system() as bus:
            h = await bus.proxy(server.name, PATH, IFACE)
            assert await h.Rename("a", False) == "a:False"
            assert (await h.Pair(3, timeout=5), await h.Nothing()) == ((3, "3"), None)
            with pytest.raises(TypeError, match=r"^Rename\(sb\) takes 2 arguments, 1 given$"):
                h.Rename("a")  # at the call, nothing awaited
            for attempt in (lambda: h.Level, lambda: setattr(h, "Level", 1)):
                with pytest.raises(AttributeError, match=r"await proxy.get_property\('Level'\)"):
                    attempt()
            with pytest.raises(AttributeError, match="read-only"):
                h.set_property("Label", "x")
            await h.set_property("Level", 6)
            assert await h.get_property("Level") == 6
            assert await h.get_all() == {"Level": 6, "Label": "fixed"}
            async with h.subscribe("Changed") as sub:
                server.obj.Changed("z", 2)
                assert (await sub.get(10)).args == ("z", 2)
            typed = await bus.proxy("org.varquin.Test.Nobody", PATH, Thing)  # no call
            with pytest.raises(varquin.ServiceUnknown):
                await typed.Nothing()
            typed = await bus.proxy(server.name, PATH, Thing, introspect=True)
            assert await typed.class_("b") == "class b"
            assert (await bus.proxy(server.name, PATH)).children == ("child",)
            with pytest.raises(varquin.UnknownObject):
                await bus.proxy(server.name, "/no/such")

    asyncio.run(asyncio.wait_for(main(), 60))

"""Proxies on the asyncio API: the interface proxies of varquin.proxy whose
methods, properties and signals are awaited.

    h = await bus.proxy("org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                        "org.freedesktop.hostname1")
    await h.SetStaticHostname("web1", False)
    name = await h.get_property("Hostname")

Argument errors raise at the call, before anything is awaited.  A typed
proxy's class declares its methods ``async def`` for the type checker; the
proxy's methods return awaitables whatever the class says.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable
from typing import TYPE_CHECKING, Any

from varquin import _core
from varquin.proxy import (
    INTROSPECTABLE,
    MethodInfo,
    Node,
    ObjectProxy,
    ProxyBase,
    check_interface,
    introspections_of,
    members_of_class,
    needs_introspection,
    owner_rule,
    pick,
)

if TYPE_CHECKING:
    from varquin.aio import Bus, Subscription

__all__ = ["InterfaceProxy"]


class AsyncMethod:
    """A method of an asyncio proxy: calling it sends the call (argument
    errors raise here) and returns an awaitable of its shaped result."""

    __slots__ = ("_native", "_bus")

    def __init__(self, native: _core.ProxyMethod, bus: Bus) -> None:
        self._native = native
        self._bus = bus

    def __call__(self, *args: Any, timeout: float | None = None) -> Awaitable[Any]:
        pending = self._native._start(*args, timeout=timeout)
        return self._finish(pending)

    async def _finish(self, pending: _core.PendingCall) -> Any:
        # Driver.wait() written out: one coroutine less per call.
        future = self._bus._driver.watch(pending)
        try:
            values = await future
        except asyncio.CancelledError:
            pending.cancel()
            raise
        return self._native._shape(values)

    def __repr__(self) -> str:
        return f"<AsyncMethod {self._native!r}>"


class InterfaceProxy(ProxyBase):
    """An interface of a remote object on a varquin.aio.Bus: ``await
    h.Member(args..., timeout=None)``; properties through ``await
    h.get_property(name)``, ``await h.set_property(name, value)`` and
    ``await h.get_all()`` (reading one as an attribute raises AttributeError
    saying so); ``h.subscribe(member)`` as Bus.subscribe.  Unknown members
    and argument errors as varquin.proxy.InterfaceProxy."""

    __slots__ = ()
    _bus: Bus

    @staticmethod
    def _property_descriptor(info: Any) -> Any:
        return None  # properties are awaited, never attributes

    def _method(self, info: MethodInfo) -> AsyncMethod:
        native = _core.ProxyMethod(
            self._bus._core,
            self._destination,
            self._path,
            info.interface,
            info.name,
            info.in_signature,
            info.out_signature,
        )
        return AsyncMethod(native, self._bus)

    def _no_attribute(self, attr: str) -> str:
        if attr in self._members.properties:
            name = self._members.properties[attr].name
            return (
                f"{name} is a property on an asyncio proxy: await proxy.get_property({name!r}) "
                f"or proxy.set_property({name!r}, value)"
            )
        return super()._no_attribute(attr)

    async def get_property(self, name: str, *, timeout: float | None = None) -> Any:
        """Returns the value of the property `name` (its D-Bus name), read with
        Properties.Get.  Raises AttributeError when the interface has no such
        property, and otherwise what varquin.aio.Bus.get_property raises.

            hostname = await h.get_property("Hostname")
        """
        info = self._members.property(name)
        return await self._bus.get_property(self._destination, self._path, info.interface, name, timeout=timeout)

    def set_property(self, name: str, value: Any, *, timeout: float | None = None) -> Awaitable[None]:
        """Sets the property `name`: AttributeError at the call (nothing sent)
        when it is unknown or read-only; the awaitable raises as
        Bus.set_property."""
        info = self._writable(name)
        return self._bus.set_property(
            self._destination, self._path, info.interface, name, info.signature, value, timeout=timeout
        )

    async def get_all(self, *, timeout: float | None = None) -> dict[str, Any]:
        """Returns every property of the interface by name
        (Properties.GetAll).  Raises what varquin.aio.Bus.get_all raises."""
        return await self._bus.get_all(self._destination, self._path, self._members.interface, timeout=timeout)

    def subscribe(self, member: str, *, max_queued: int | None = None) -> Subscription:
        """The signal `member` of this object, as varquin.aio.Bus.subscribe;
        "PropertiesChanged" for this interface's changes.  AttributeError for
        a signal the interface lacks."""
        return self._bus.subscribe(**self._signal_rule(member), max_queued=max_queued)


async def introspect(bus: Bus, destination: str | None, path: str, timeout: float | None) -> Node:
    """As varquin.proxy.introspect_sync, on the event loop; the cache is the
    underlying connection's."""
    cache = introspections_of(bus._core)
    node = cache.lookup(bus._core, destination, path)
    if node is not None:
        return node
    if cache.needs_watch(destination):
        assert destination is not None
        sub = await bus.subscribe(**owner_rule(destination))
        assert sub._core is not None
        with cache.lock:
            if destination in cache.watches:
                sub.close()
            else:
                cache.watches[destination] = sub._core
                cache.keep.append(sub)
    (xml,) = await bus.call(destination, path, INTROSPECTABLE, "Introspect", timeout=timeout)
    return cache.store(destination, path, xml)


async def make_proxy(
    bus: Bus,
    destination: str | None,
    path: str,
    interface: str | type | None,
    introspect_: bool | None,
    timeout: float | None,
) -> Any:
    """What varquin.aio.Bus.proxy returns (see there)."""
    if isinstance(interface, type):
        members = members_of_class(interface)
        if introspect_:
            check_interface(destination, path, await introspect(bus, destination, path, timeout), members)
        return members.proxy_class(InterfaceProxy)(bus, destination, path, members)
    needs_introspection(introspect_)
    node = await introspect(bus, destination, path, timeout)
    return pick(ObjectProxy(bus, destination, path, node, InterfaceProxy), interface)

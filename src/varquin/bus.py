"""The Bus type of the package: the native connection, plus what is
Python-shaped (export bookkeeping for signals)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, TypeVar, overload

from varquin import _core
from varquin.service import Interface, register_export

if TYPE_CHECKING:
    from varquin.proxy import InterfaceProxy, ObjectProxy

I = TypeVar("I", bound=Interface)  # noqa: E741

__all__ = ["Bus"]


class Bus(_core.Bus):
    __doc__ = _core.Bus.__doc__

    def export(self, path: str, obj: object) -> _core.Export:
        """Serves `obj`, an instance of varquin.Interface subclasses, at object
        path `path` and returns its varquin.Export: one vtable per interface,
        answering its methods, Introspect and org.freedesktop.DBus.Properties
        (Get, GetAll, and Set followed by PropertiesChanged).  Calls are run by
        serve() (or by the event loop of varquin.aio).  The object stays
        exported until Export.close() or the end of the bus; dropping the
        Export does not unexport it.

        Raises ValueError for an invalid path or when one of its interfaces is
        already exported at `path`; TypeError when `obj` is not an instance of
        an Interface subclass that names an interface; ValueError when the bus
        is closed.

            handle = bus.export("/org/example/Greeter", Greeter())
            bus.request_name("org.example.Greeter")
            bus.serve()
        """
        handle = self._export(path, obj)
        register_export(obj, handle)
        return handle

    @overload
    def proxy(
        self,
        destination: str | None,
        path: str,
        interface: None = None,
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> ObjectProxy[InterfaceProxy]: ...
    @overload
    def proxy(
        self,
        destination: str | None,
        path: str,
        interface: str,
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> InterfaceProxy: ...
    @overload
    def proxy(
        self,
        destination: str | None,
        path: str,
        interface: type[I],
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> I: ...
    def proxy(
        self,
        destination: str | None,
        path: str,
        interface: str | type[Interface] | None = None,
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> Any:
        """Returns a proxy of the object `path` of `destination` (None on a
        peer-to-peer connection):

        - no interface: an ObjectProxy, from one Introspect call (p.interfaces,
          p.children, p["org.example.Thing"] for an interface);
        - an interface name: that interface's InterfaceProxy at once;
        - a varquin.Interface class: an object typed as that class whose
          methods, properties and signals are the remote object's; no call is
          made unless introspect=True, which checks that the object has the
          class's interfaces.

        Introspections are cached per Bus by (destination, path) and dropped
        when the destination's owner changes (what has arrived on the bus is
        taken in first, so a change already received is never missed).  Raises the BusError of a failed
        Introspect (ServiceUnknown, UnknownObject); KeyError naming the
        object's interfaces when it lacks `interface`; ValueError for
        introspect=False without a class.

            h = bus.proxy("org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                          "org.freedesktop.hostname1")
            h.Hostname
        """
        from varquin.proxy import make_proxy

        return make_proxy(self, destination, path, interface, introspect, timeout)

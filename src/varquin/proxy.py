"""Proxies: a remote object called through its introspection, or through the
Interface class that serves it.

    p = bus.proxy("org.freedesktop.hostname1", "/org/freedesktop/hostname1")
    h = p["org.freedesktop.hostname1"]
    h.Hostname                              # Properties.Get
    h.SetStaticHostname("web1", False)      # a method, its signature from the introspection

    g = bus.proxy("org.example.Greeter", "/greeter", Greeter)   # typed as Greeter, no call made
    g.Hello("you")

A method of a proxy is a native ``varquin._core.ProxyMethod``: its target and
signature are prepared once, so a call costs what ``Bus.call`` costs.  The
introspection of an object is made once per Bus and (destination, path), and
forgotten when the destination's owner changes.
"""

from __future__ import annotations

import keyword
import threading
import weakref
import xml.etree.ElementTree as ElementTree
from collections import OrderedDict
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from varquin import _core
from varquin.service import DBusProperty, _own_members

if TYPE_CHECKING:
    from varquin._core import Subscription

__all__ = [
    "Arg",
    "InterfaceInfo",
    "InterfaceProxy",
    "MethodInfo",
    "Node",
    "ObjectProxy",
    "PropertyInfo",
    "SignalInfo",
    "parse_introspection",
]

DBUS = "org.freedesktop.DBus"
DBUS_PATH = "/org/freedesktop/DBus"
INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"
PROPERTIES = "org.freedesktop.DBus.Properties"
# Names of an interface proxy's own helpers: members so named are reached
# with h["Name"] (methods) and get_property/set_property (properties).
HELPERS = frozenset({"subscribe", "get_all", "get_property", "set_property"})
# Introspections kept per Bus, and parsed texts shared by all buses.
MAX_OBJECTS = 1024
MAX_TEXTS = 64


# --- What an introspection says ---------------------------------------------------


@dataclass(frozen=True)
class Arg:
    """An argument of a method or signal: its name (None when the XML gives
    none) and its one complete type."""

    name: str | None
    signature: str


@dataclass(frozen=True)
class MethodInfo:
    """A method of `interface`: its D-Bus name and arguments."""

    interface: str
    name: str
    inputs: tuple[Arg, ...]
    outputs: tuple[Arg, ...]

    @property
    def in_signature(self) -> str:
        """The signature of the method's inputs: its input arguments' types
        joined ("" for none)."""
        return "".join(a.signature for a in self.inputs)

    @property
    def out_signature(self) -> str:
        """The signature of the method's reply: its output arguments' types
        joined ("" for none)."""
        return "".join(a.signature for a in self.outputs)


@dataclass(frozen=True)
class PropertyInfo:
    """A property of `interface`: name, type and whether it may be read and written."""

    interface: str
    name: str
    signature: str
    readable: bool = True
    writable: bool = False


@dataclass(frozen=True)
class SignalInfo:
    """A signal of `interface`: name and arguments."""

    interface: str
    name: str
    args: tuple[Arg, ...]

    @property
    def signature(self) -> str:
        """The signature of the signal's arguments: their types joined ("" for
        none)."""
        return "".join(a.signature for a in self.args)


@dataclass(frozen=True)
class InterfaceInfo:
    """One interface of an introspected object."""

    name: str
    methods: tuple[MethodInfo, ...] = ()
    properties: tuple[PropertyInfo, ...] = ()
    signals: tuple[SignalInfo, ...] = ()


@dataclass(frozen=True)
class Node:
    """An introspected object: its interfaces, in the order given, and the
    names of its children."""

    interfaces: tuple[InterfaceInfo, ...]
    children: tuple[str, ...]
    by_name: dict[str, InterfaceInfo] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "by_name", {i.name: i for i in self.interfaces})


def _args(element: ElementTree.Element, direction: str | None) -> tuple[Arg, ...]:
    found = []
    for arg in element.findall("arg"):
        if direction is None or arg.get("direction", "in") == direction:
            found.append(Arg(arg.get("name"), arg.get("type", "")))
    return tuple(found)


def parse_introspection(xml: str) -> Node:
    """The Node that introspection XML (what org.freedesktop.DBus.Introspectable
    .Introspect answers) describes.  ValueError when it is not such XML.

    >>> parse_introspection('<node><node name="a"/></node>').children
    ('a',)
    """
    try:
        root = ElementTree.fromstring(xml)
    except ElementTree.ParseError as e:
        raise ValueError(f"the introspection is not valid XML: {e}") from None
    if root.tag != "node":
        raise ValueError(f"the introspection's root element is <{root.tag}>, not <node>")
    interfaces = []
    for element in root.findall("interface"):
        name = element.get("name", "")
        methods = tuple(
            MethodInfo(name, m.get("name", ""), _args(m, "in"), _args(m, "out")) for m in element.findall("method")
        )
        props = tuple(
            PropertyInfo(
                name,
                p.get("name", ""),
                p.get("type", ""),
                p.get("access", "read") in ("read", "readwrite"),
                p.get("access", "read") in ("write", "readwrite"),
            )
            for p in element.findall("property")
        )
        signals = tuple(SignalInfo(name, s.get("name", ""), _args(s, None)) for s in element.findall("signal"))
        interfaces.append(InterfaceInfo(name, methods, props, signals))
    children = tuple(n.get("name", "") for n in root.findall("node") if n.get("name"))
    return Node(tuple(interfaces), children)


_texts: OrderedDict[str, Node] = OrderedDict()
_texts_lock = threading.Lock()


def _parse_shared(xml: str) -> Node:
    """parse_introspection(), shared by every object whose XML is the same
    text (all units of a kind answer alike)."""
    with _texts_lock:
        node = _texts.get(xml)
        if node is not None:
            _texts.move_to_end(xml)
            return node
    node = parse_introspection(xml)
    with _texts_lock:
        _texts[xml] = node
        while len(_texts) > MAX_TEXTS:
            _texts.popitem(last=False)
    return node


# --- Members, by Python attribute and by D-Bus name --------------------------------


class Members:
    """The members an interface proxy reaches: methods and properties by the
    attribute that names them, and everything by D-Bus name.  `interface` is
    the one get_all() and PropertiesChanged concern."""

    def __init__(
        self,
        interface: str,
        methods: dict[str, MethodInfo],
        properties: dict[str, PropertyInfo],
        signals: tuple[SignalInfo, ...],
    ) -> None:
        self.interface = interface
        self.methods = methods
        self.properties = properties
        self.methods_by_name = {m.name: m for m in methods.values()}
        self.properties_by_name = {p.name: p for p in properties.values()}
        self.signals_by_name = {s.name: s for s in signals}
        self.classes: dict[type, type] = {}

    @classmethod
    def of_interface(cls, info: InterfaceInfo) -> Members:
        """The members of an introspected interface, each reached by its D-Bus
        name."""
        return cls(
            info.name,
            {m.name: m for m in info.methods},
            {p.name: p for p in info.properties},
            info.signals,
        )

    def unknown(self, name: str) -> str:
        """The text for a member that the interface lacks."""

        def listed(names: Iterator[str]) -> str:
            return ", ".join(sorted(names)) or "none"

        return (
            f"{self.interface} has no member {name!r} (methods: {listed(iter(self.methods_by_name))}; "
            f"properties: {listed(iter(self.properties_by_name))}; signals: {listed(iter(self.signals_by_name))})"
        )

    def not_a_signal(self, name: str) -> str:
        """The text for a subscription to `name`, which is no signal of the interface."""
        signals = ", ".join(sorted(self.signals_by_name)) or "none"
        if name in self.methods_by_name:
            return f"{self.interface}.{name} is a method, not a signal: call it (signals: {signals})"
        if name in self.properties_by_name:
            return (
                f"{self.interface}.{name} is a property, not a signal: its changes come in "
                f'subscribe("PropertiesChanged") (signals: {signals})'
            )
        return self.unknown(name)

    def property(self, name: str) -> PropertyInfo:
        """The property whose D-Bus name is `name`; AttributeError listing the
        interface's members when it has none of that name."""
        found = self.properties_by_name.get(name)
        if found is None:
            raise AttributeError(self.unknown(name))
        return found

    def proxy_class(self, base: type) -> type:
        """A subclass of `base` with one descriptor per property attribute,
        made once per interface and base."""
        made = self.classes.get(base)
        if made is None:
            attrs: dict[str, Any] = {"__slots__": ()}
            for attr, prop in self.properties.items():
                descriptor = base._property_descriptor(prop)  # type: ignore[attr-defined]
                if descriptor is not None and attr not in HELPERS and not attr.startswith("_"):
                    attrs[attr] = descriptor
            made = type(base.__name__, (base,), attrs)
            made.__qualname__ = f"{base.__name__}[{self.interface}]"
            self.classes[base] = made
        return made


_typed: weakref.WeakKeyDictionary[type, Members] = weakref.WeakKeyDictionary()


def members_of_class(cls: type) -> Members:
    """The members an Interface class declares, over its named interfaces (a
    class may inherit several), each reached by its attribute name."""
    found = _typed.get(cls)
    if found is not None:
        return found
    methods: dict[str, MethodInfo] = {}
    properties: dict[str, PropertyInfo] = {}
    signals: list[SignalInfo] = []
    names: list[str] = []
    for base in cls.__mro__:
        name = vars(base).get("__dbus_interface_name__")
        if not name or name in names:
            continue
        names.append(name)
        own_methods, own_props, own_signals = _own_members(base)
        for attr, dbus, ins, outs in own_methods:
            methods.setdefault(attr, MethodInfo(name, dbus, _split(ins), _split(outs)))
        for attr, prop in own_props:
            properties.setdefault(attr, _property_of(name, prop, getattr(cls, attr)))
        signals.extend(SignalInfo(name, s.name, _split(s.signature)) for s in own_signals)
    if not names:
        raise TypeError(f"{cls.__name__} names no D-Bus interface (class X(varquin.Interface, name=...))")
    found = Members(names[0], methods, properties, tuple(signals))
    _typed[cls] = found
    return found


def _property_of(interface: str, prop: DBusProperty, resolved: Any) -> PropertyInfo:
    writable = (resolved.fset if isinstance(resolved, DBusProperty) else prop.fset) is not None
    return PropertyInfo(interface, prop.name, prop.signature, True, writable)


def _split(signature: str) -> tuple[Arg, ...]:
    """The complete types of a signature (checked when its class was made),
    as unnamed arguments."""
    return tuple(Arg(None, t) for t in _core.split_signature(signature))


# --- Proxies -----------------------------------------------------------------------


class _Property:
    """A property of an interface proxy as an attribute: reading it calls
    Properties.Get, assigning it Properties.Set."""

    __slots__ = ("info",)

    def __init__(self, info: PropertyInfo) -> None:
        self.info = info

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        if obj is None:
            return self
        return obj.get_property(self.info.name)

    def __set__(self, obj: Any, value: Any) -> None:
        obj.set_property(self.info.name, value)


class ProxyBase:
    """What the interface proxies of both APIs share: methods made on first
    use, members by D-Bus name, and assignment only to properties."""

    __slots__ = ("_bus", "_destination", "_path", "_members", "__dict__")
    _bus: Any
    _destination: str | None
    _path: str
    _members: Members

    def __init__(self, bus: Any, destination: str | None, path: str, members: Members) -> None:
        object.__setattr__(self, "_bus", bus)
        object.__setattr__(self, "_destination", destination)
        object.__setattr__(self, "_path", path)
        object.__setattr__(self, "_members", members)

    @staticmethod
    def _property_descriptor(info: PropertyInfo) -> Any:
        return _Property(info)

    def _method(self, info: MethodInfo) -> Any:
        raise NotImplementedError

    def _no_attribute(self, attr: str) -> str:
        return self._members.unknown(attr)

    def __getattr__(self, attr: str) -> Any:
        # Only reached when nothing else answers: makes the method once and
        # keeps it in the instance, where the next lookup finds it.
        info = self._members.methods.get(attr)
        if info is None or attr in HELPERS:
            raise AttributeError(self._no_attribute(attr))
        made = self._method(info)
        self.__dict__[attr] = made
        return made

    def __getitem__(self, name: str) -> Any:
        """The method `name` (its D-Bus name), whatever its Python spelling.
        KeyError listing the members when there is none."""
        key = "\0" + name  # kept apart from the attributes in the same dict
        made = self.__dict__.get(key)
        if made is None:
            info = self._members.methods_by_name.get(name)
            if info is None:
                raise KeyError(self._members.unknown(name))
            made = self.__dict__[key] = self._method(info)
        return made

    def __setattr__(self, attr: str, value: Any) -> None:
        if isinstance(getattr(type(self), attr, None), _Property):
            object.__setattr__(self, attr, value)
            return
        if attr in self._members.properties:
            raise AttributeError(self._no_attribute(attr))
        raise AttributeError(f"{attr!r} is not a property of {self._members.interface}: {self._members.unknown(attr)}")

    def __dir__(self) -> list[str]:
        return sorted({*object.__dir__(self), *self._members.methods, *self._members.properties})

    def __repr__(self) -> str:
        return f"<{type(self).__qualname__} of {self._destination} at {self._path}>"

    def _writable(self, name: str) -> PropertyInfo:
        info = self._members.property(name)
        if not info.writable:
            raise AttributeError(f"property {name} of {info.interface} is read-only")
        return info

    def _signal_rule(self, member: str) -> dict[str, Any]:
        if member == "PropertiesChanged":
            return {
                "sender": self._destination,
                "path": self._path,
                "interface": PROPERTIES,
                "member": member,
                "args": {0: self._members.interface},
            }
        info = self._members.signals_by_name.get(member)
        if info is None:
            raise AttributeError(self._members.not_a_signal(member))
        return {"sender": self._destination, "path": self._path, "interface": info.interface, "member": member}


class InterfaceProxy(ProxyBase):
    """One interface of a remote object (or the interfaces of an Interface
    class, for a typed proxy).  Methods are attributes (``h.Member(args...,
    timeout=None)``), properties are attributes that read and write the
    remote object; members whose names clash with the helpers below or with
    Python keywords are reached as ``h["Member"]`` and with
    get_property/set_property.  An unknown member raises AttributeError
    listing the interface's members."""

    __slots__ = ()

    def _method(self, info: MethodInfo) -> Any:
        return _core.ProxyMethod(
            self._bus, self._destination, self._path, info.interface, info.name, info.in_signature, info.out_signature
        )

    def get_property(self, name: str, *, timeout: float | None = None) -> Any:
        """The value of the property `name` (its D-Bus name), read with
        Properties.Get.  AttributeError when the interface has no such
        property; otherwise errors as Bus.get_property."""
        info = self._members.property(name)
        return self._bus.get_property(self._destination, self._path, info.interface, name, timeout=timeout)

    def set_property(self, name: str, value: Any, *, timeout: float | None = None) -> None:
        """Sets the property `name` with Properties.Set, sent as its declared
        type.  AttributeError, nothing sent, when the property is unknown or
        read-only; otherwise errors as Bus.set_property."""
        info = self._writable(name)
        self._bus.set_property(
            self._destination, self._path, info.interface, name, info.signature, value, timeout=timeout
        )

    def get_all(self, *, timeout: float | None = None) -> dict[str, Any]:
        """Every property of the interface by name (Properties.GetAll).
        Errors as Bus.get_all."""
        return self._bus.get_all(self._destination, self._path, self._members.interface, timeout=timeout)  # type: ignore[no-any-return]

    def subscribe(self, member: str, *, max_queued: int | None = None) -> Subscription:
        """A subscription to the signal `member` of this object (as
        Bus.subscribe with sender, path, interface and member filled in).
        "PropertiesChanged" works on every interface: its changes of this
        interface.  AttributeError for a signal the interface lacks.

            with h.subscribe("PropertiesChanged") as sub:
                sig = sub.get(timeout=10)
        """
        return self._bus.subscribe(**self._signal_rule(member), max_queued=max_queued)  # type: ignore[no-any-return]


P = TypeVar("P", bound=ProxyBase)


class ObjectProxy(Generic[P]):
    """An introspected remote object: its interfaces by name
    (``p["org.example.Thing"]``, an InterfaceProxy), and the names of its
    interfaces and children."""

    def __init__(self, bus: Any, destination: str | None, path: str, node: Node, base: type[P]) -> None:
        self._bus = bus
        self._destination = destination
        self._path = path
        self._node = node
        self._base = base
        self._made: dict[str, P] = {}

    @property
    def destination(self) -> str | None:
        """The bus name the object's calls go to (None on a peer-to-peer
        connection)."""
        return self._destination

    @property
    def path(self) -> str:
        """The object's path."""
        return self._path

    @property
    def interfaces(self) -> tuple[str, ...]:
        """The names of the object's interfaces."""
        return tuple(self._node.by_name)

    @property
    def children(self) -> tuple[str, ...]:
        """The names of the object's child nodes (relative to its path)."""
        return self._node.children

    def __contains__(self, interface: object) -> bool:
        return interface in self._node.by_name

    def __getitem__(self, interface: str) -> P:
        """The proxy of `interface`; KeyError naming the interfaces the object has."""
        made = self._made.get(interface)
        if made is None:
            info = self._node.by_name.get(interface)
            if info is None:
                raise KeyError(_lacks(self._destination, self._path, interface, self._node))
            members = _interface_members(info)
            made = members.proxy_class(self._base)(self._bus, self._destination, self._path, members)
            self._made[interface] = made
        return made

    def __repr__(self) -> str:
        return f"<ObjectProxy of {self._destination} at {self._path}: {', '.join(self.interfaces)}>"


def _lacks(destination: str | None, path: str, interface: str, node: Node) -> str:
    return f"{path} of {destination} has no interface {interface} (it has: {', '.join(node.by_name) or 'none'})"


# The Members of introspected interfaces, kept with the parsed Node (shared
# by text) for as long as it is alive.
_interface_tables: weakref.WeakKeyDictionary[InterfaceInfo, Members] = weakref.WeakKeyDictionary()


def _interface_members(info: InterfaceInfo) -> Members:
    found = _interface_tables.get(info)
    if found is None:
        found = _interface_tables[info] = Members.of_interface(info)
    return found


# --- Introspections cached per Bus ---------------------------------------------------


class Introspections:
    """The introspections one Bus has made, by (destination, path), at most
    MAX_OBJECTS of them, least recently used dropped first.  The first
    introspection of a well-known name adds a NameOwnerChanged match for it;
    once its owner changes, that name's entries are dropped (checked at each
    lookup)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.nodes: OrderedDict[tuple[str | None, str], Node] = OrderedDict()
        self.watches: dict[str, Any] = {}  # name -> native Subscription (only _pop is used)
        self.keep: list[Any] = []  # what else keeps a watch alive (asyncio's subscriptions)

    def lookup(self, bus: Any, destination: str | None, path: str) -> Node | None:
        """The cached introspection of `path` at `destination`, or None; first
        takes in what has arrived on `bus` (an owner change may sit unread
        when nothing has read the bus since it came), then drops the entries
        of names whose owner changed."""
        if self.watches:
            take_in(bus)
        self._drop_changed()
        with self.lock:
            node = self.nodes.get((destination, path))
            if node is not None:
                self.nodes.move_to_end((destination, path))
            return node

    def needs_watch(self, destination: str | None) -> bool:
        """Whether `destination` is a well-known name whose owner is not yet
        followed (a unique name never changes owner)."""
        return destination is not None and not destination.startswith(":") and destination not in self.watches

    def store(self, destination: str | None, path: str, xml: str) -> Node:
        """Parses `xml`, an Introspect reply, caches it for (destination, path)
        and returns it; the least recently used entries beyond MAX_OBJECTS are
        dropped.  ValueError for text that is not introspection XML."""
        node = _parse_shared(xml)
        with self.lock:
            self.nodes[(destination, path)] = node
            while len(self.nodes) > MAX_OBJECTS:
                self.nodes.popitem(last=False)
        return node

    def _drop_changed(self) -> None:
        changed = []
        for name, sub in list(self.watches.items()):
            try:
                moved = sub._pop() is not None
            except ValueError:  # the subscription (or its bus) is closed
                moved = True
            except Exception:  # SignalsLost: its queue overflowed, so it moved
                moved = True
            if moved:
                changed.append(name)
                while _safe_pop(sub):
                    pass
        if changed:
            with self.lock:
                for key in [k for k in self.nodes if k[0] in changed]:
                    del self.nodes[key]


def take_in(bus: Any) -> None:
    """Processes what has arrived on the native `bus` without waiting, so
    that its subscriptions hold every signal received so far.  An event
    loop's connection is stepped by its driver (which also hands replies to
    their futures and runs incoming calls); a failed or closed connection is
    left to the call that follows, which reports it."""
    driver = getattr(bus, "_aio_driver", None)
    try:
        if driver is not None:
            driver.step()
        else:
            bus._loop_process()
    except (OSError, ValueError):
        pass


def _safe_pop(sub: Any) -> bool:
    try:
        return sub._pop() is not None
    except Exception:
        return False


def owner_rule(name: str) -> dict[str, Any]:
    """The subscription that follows the owner of `name`."""
    return {
        "sender": DBUS,
        "path": DBUS_PATH,
        "interface": DBUS,
        "member": "NameOwnerChanged",
        "args": {0: name},
        "max_queued": 4,
    }


_cache_lock = threading.Lock()


def introspections_of(bus: Any) -> Introspections:
    """The Introspections of a bus, made on first use."""
    found: Introspections | None = getattr(bus, "_introspections", None)
    if found is None:
        with _cache_lock:
            found = getattr(bus, "_introspections", None)
            if found is None:
                found = Introspections()
                bus._introspections = found
    return found


def check_interface(destination: str | None, path: str, node: Node, members: Members) -> None:
    """KeyError when the object lacks an interface of a typed proxy's class."""
    for info in members.methods.values():
        if info.interface not in node.by_name:
            raise KeyError(_lacks(destination, path, info.interface, node))
    if members.interface not in node.by_name:
        raise KeyError(_lacks(destination, path, members.interface, node))


def introspect_sync(bus: Any, destination: str | None, path: str, timeout: float | None) -> Node:
    """The object's Node: from the bus's cache, else by one Introspect call.
    The BusError of a failed Introspect (ServiceUnknown, UnknownObject)."""
    cache = introspections_of(bus)
    node = cache.lookup(bus, destination, path)
    if node is not None:
        return node
    if cache.needs_watch(destination):
        assert destination is not None
        sub = bus.subscribe(**owner_rule(destination))
        with cache.lock:
            if destination in cache.watches:
                sub.close()
            else:
                cache.watches[destination] = sub
    (xml,) = bus.call(destination, path, INTROSPECTABLE, "Introspect", timeout=timeout)
    return cache.store(destination, path, xml)


def make_proxy(
    bus: Any,
    destination: str | None,
    path: str,
    interface: str | type | None,
    introspect: bool | None,
    timeout: float | None,
) -> Any:
    """What Bus.proxy returns (see there)."""
    if isinstance(interface, type):
        members = members_of_class(interface)
        if introspect:
            check_interface(destination, path, introspect_sync(bus, destination, path, timeout), members)
        return members.proxy_class(InterfaceProxy)(bus, destination, path, members)
    needs_introspection(introspect)
    node = introspect_sync(bus, destination, path, timeout)
    return pick(ObjectProxy(bus, destination, path, node, InterfaceProxy), interface)


def needs_introspection(introspect: bool | None) -> None:
    """Refuses introspect=False for a proxy made without an Interface class:
    ValueError, as such a proxy knows its members only from the
    introspection."""
    if introspect is False:
        raise ValueError("a proxy without an Interface class needs the introspection (introspect=False)")


def pick(obj: ObjectProxy[P], interface: str | None) -> ObjectProxy[P] | P:
    """The object proxy itself when no interface is asked for, else that
    interface's proxy (KeyError naming the interfaces the object has)."""
    return obj if interface is None else obj[interface]


def is_python_name(name: str) -> bool:
    """Whether `name` can be written as an attribute (not a keyword)."""
    return name.isidentifier() and not keyword.iskeyword(name)

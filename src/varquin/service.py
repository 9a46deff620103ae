"""Serving Python objects on a bus: an interface is a class.

    class Greeter(varquin.Interface, name="org.example.Greeter"):
        @varquin.method("s", "s")
        def Hello(self, name):
            return "hello " + name

        @varquin.property("u")
        def Count(self):
            return self._count

        Changed = varquin.signal("su")

    handle = bus.export("/greeter", Greeter())
    bus.request_name("org.example.Greeter")
    bus.serve()

The decorators only record names and signatures; the bus's native core
builds one vtable per interface and dispatches each call.  A method receives
one argument per complete type of its input signature and returns None for
an empty output signature, the value itself for one complete type, a tuple
for several.  Raising BusError(name, message) answers with that error; any
other exception answers org.freedesktop.DBus.Error.Failed and is logged
through the logger "varquin".
"""

from __future__ import annotations

import builtins
import inspect
import logging
import re
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, ClassVar, TypeVar

from varquin import _core
from varquin.types import Variant

if TYPE_CHECKING:
    from varquin._core import Bus, Export

__all__ = ["Interface", "method", "property", "signal"]

logger = logging.getLogger("varquin")
F = TypeVar("F", bound=Callable[..., Any])

_EXPORTS = "_varquin_exports"
_PROPERTIES = "org.freedesktop.DBus.Properties"


def method(input_signature: str = "", output_signature: str = "", *, name: str | None = None) -> Callable[[F], F]:
    """Marks a function of an Interface class as a D-Bus method with the given
    input and output signatures, named after the function or `name`, and
    returns the function unchanged.  The function receives one argument per
    complete type of `input_signature` and returns None for an empty
    `output_signature`, the value for one complete type, a tuple for several.
    It may be ``async def`` when the bus is served by varquin.aio.

    Nothing is checked here; making the class raises ValueError for an
    invalid member name or signature, and TypeError when the function's
    parameters cannot take one argument per complete type of the input
    signature (or it requires keyword-only arguments).

        class Greeter(varquin.Interface, name="org.example.Greeter"):
            @varquin.method("s", "s")
            def Hello(self, name):
                return "hello " + name
    """

    def mark(func: F) -> F:
        # The member is named after the attribute the function is bound to
        # (known when the class is made), unless `name` says otherwise.
        func.__dbus_method__ = (name, input_signature, output_signature)  # type: ignore[attr-defined]
        return func

    return mark


EMITS = ("true", "invalidates", "const", "false")


class DBusProperty(builtins.property):
    """A D-Bus property: read-only unless a setter is added with
    ``@Prop.setter``.  Reads and writes from Python work as for any property.
    `emits` is what PropertiesChanged says of it (see :func:`property`)."""

    def __init__(
        self,
        signature: str,
        fget: Callable[[Any], Any],
        fset: Callable[[Any, Any], None] | None = None,
        name: str | None = None,
        emits: str = "true",
    ) -> None:
        super().__init__(fget, fset, None, fget.__doc__)
        self.signature = signature
        self.name = name or ""
        self.explicit_name = name is not None
        self.emits = emits

    def __set_name__(self, owner: type, attr: str) -> None:
        if not self.explicit_name:
            self.name = attr

    def setter(self, fset: Callable[[Any, Any], None]) -> DBusProperty:
        """Returns a copy of the property that the bus may also set, through
        `fset(self, value)` (org.freedesktop.DBus.Properties.Set).  Raises
        ValueError for a property declared with emits="const".

            @Level.setter
            def Level(self, value):
                self._level = value
        """
        assert self.fget is not None  # a DBusProperty is always made with its getter
        if self.emits == "const":
            raise ValueError(f"property {self.name or fset.__name__}: a const property cannot have a setter")
        return DBusProperty(self.signature, self.fget, fset, self.name if self.explicit_name else None, self.emits)


def property(  # noqa: A001
    signature: str, *, name: str | None = None, emits: str = "true"
) -> Callable[[Callable[[Any], Any]], DBusProperty]:
    """Marks a getter of an Interface class as a D-Bus property of type
    `signature` (one complete type); add a setter with ``@Prop.setter``.

    Making the class raises ValueError for an invalid member name or a
    signature that is not one complete type.

    `emits` is the property's org.freedesktop.DBus.Property.EmitsChangedSignal
    annotation, shown by introspection and followed by the PropertiesChanged
    sent after a Set and by :meth:`Interface.properties_changed`: ``"true"``
    sends the new value, ``"invalidates"`` only the name (in the invalidated
    list), ``"const"`` (the value never changes; read-only) and ``"false"``
    send nothing.  ValueError for any other value, or for a setter on a const
    property.

        @varquin.property("s", emits="invalidates")
        def Log(self):
            return self._log
    """
    if emits not in EMITS:
        raise ValueError(f'emits is one of "true", "invalidates", "const", "false", not {emits!r}')

    def mark(fget: Callable[[Any], Any]) -> DBusProperty:
        return DBusProperty(signature, fget, name=name, emits=emits)

    return mark


class signal:  # noqa: N801 (reads as a decorator-like declaration)
    """A D-Bus signal of an Interface class, of type `signature` and named
    after the attribute it is bound to, or `name`.  ``obj.Changed("x", 1)``
    emits it from every bus and path where `obj` is exported (nothing when it
    is exported nowhere), raising what Bus.emit raises for values that do not
    fit the signature.  Making the class raises ValueError for an invalid
    member name or signature.

        class Thing(varquin.Interface, name="org.example.Thing"):
            Changed = varquin.signal("su")

        thing.Changed("level", 3)
    """

    def __init__(self, signature: str = "", *, name: str | None = None) -> None:
        self.signature = signature
        self.name = name or ""
        self.interface = ""

    def __set_name__(self, owner: type, attr: str) -> None:
        self.name = self.name or attr

    def __get__(self, obj: Any, owner: type | None = None) -> Any:
        if obj is None:
            return self
        sig = self

        def emit(*args: Any) -> None:
            for handle in exports_of(obj):
                handle.bus.emit(handle.path, sig.interface, sig.name, sig.signature, *args)

        return emit


def exports_of(obj: object) -> list[Export]:
    """The open exports of `obj` (closed ones are forgotten here)."""
    handles: list[Export] = vars(obj).get(_EXPORTS, [])
    handles[:] = [h for h in handles if not h.closed]
    return list(handles)


class Interface:
    """Base of classes served on a bus.  A subclass names the interface it
    defines, ``class Greeter(varquin.Interface, name="org.example.Greeter")``,
    and declares its members with :func:`method`, :func:`property` and
    :class:`signal`; Bus.export serves an instance.  A class may inherit
    several named interfaces; a subclass may override their methods.

    Making the class checks what could never be served: ValueError for an
    invalid interface name, member name or signature (saying which and why)
    and for a property whose signature is not one complete type; TypeError
    for a method whose parameters do not fit its input signature and for
    members declared in a class that names no interface.

        class Greeter(varquin.Interface, name="org.example.Greeter"):
            @varquin.method("s", "s")
            def Hello(self, name):
                return "hello " + name

            @varquin.property("u")
            def Count(self):
                return 1

            Greeted = varquin.signal("s")

        bus.export("/org/example/Greeter", Greeter())
    """

    __dbus_interfaces__: ClassVar[tuple[Any, ...]] = ()
    __dbus_interface_name__: ClassVar[str | None] = None

    def __init_subclass__(cls, name: str | None = None, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls.__dbus_interface_name__ = name
        _check_members(cls, name)
        if name is not None:
            vars(cls)  # the class's own members define the interface
            for value in vars(cls).values():
                if isinstance(value, signal):
                    value.interface = name
        cls.__dbus_interfaces__ = _describe(cls)

    def properties_changed(self, *names: str) -> None:
        """Emits PropertiesChanged for the properties `names`, wherever this
        object is exported, as each one's `emits` says: its current value, or
        its name in the invalidated list; a "const" or "false" property is
        left out.  ValueError for a name that is not a D-Bus property of the
        object."""
        by_interface: dict[str, tuple[dict[str, Variant], list[str]]] = {}
        for name in names:
            found = _find_property(type(self), name)
            if found is None:
                raise ValueError(f"{type(self).__name__} has no D-Bus property {name}")
            interface, prop = found
            if prop.emits in ("const", "false"):
                continue
            values, invalidated = by_interface.setdefault(interface, ({}, []))
            if prop.emits == "invalidates":
                invalidated.append(prop.name)
            else:
                values[prop.name] = Variant(prop.signature, prop.fget(self))  # type: ignore[misc]
        for handle in exports_of(self):
            for interface, (values, invalidated) in by_interface.items():
                handle.bus.emit(
                    handle.path, _PROPERTIES, "PropertiesChanged", "sa{sv}as", interface, values, invalidated
                )


def _own_members(cls: type) -> tuple[list[tuple[str, str, str, str]], list[tuple[str, DBusProperty]], list[signal]]:
    methods, props, signals = [], [], []
    for attr, value in vars(cls).items():
        marked = getattr(value, "__dbus_method__", None)
        if marked is not None:
            name, ins, outs = marked
            methods.append((attr, name or attr, ins, outs))
        elif isinstance(value, DBusProperty):
            props.append((attr, value))
        elif isinstance(value, signal):
            signals.append(value)
    return methods, props, signals


_MEMBER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_MEMBER_RULE = "a member name is ASCII letters, digits and '_', not starting with a digit, at most 255 bytes"
_INTERFACE_RULE = (
    "an interface name is two or more elements joined by '.', each of ASCII letters, digits and '_',"
    " not starting with a digit, at most 255 bytes"
)


def _signature_types(sig: str) -> tuple[tuple[str, ...], str | None]:
    """The complete types of `sig`, or why it is not a valid signature."""
    try:
        return _core.split_signature(sig), None
    except ValueError as e:
        return (), str(e)


def _valid_member(name: str) -> bool:
    return len(name.encode()) <= 255 and _MEMBER.fullmatch(name) is not None


def _positional_problem(func: Any, count: int) -> str | None:
    """Why `func` cannot take `count` arguments after the object, or None."""
    try:
        params = list(inspect.signature(func).parameters.values())[1:]  # the object first
    except (TypeError, ValueError):
        return None  # a callable without a readable signature is taken as it is
    kinds = inspect.Parameter
    positional = [p for p in params if p.kind in (kinds.POSITIONAL_ONLY, kinds.POSITIONAL_OR_KEYWORD)]
    required = sum(1 for p in positional if p.default is p.empty)
    many = any(p.kind == kinds.VAR_POSITIONAL for p in params)
    keyword = [p.name for p in params if p.kind == kinds.KEYWORD_ONLY and p.default is p.empty]
    if keyword:
        return f"it requires keyword-only arguments ({', '.join(keyword)}), which a call never passes"
    if required <= count and (many or count <= len(positional)):
        return None
    takes = f"{required} to {len(positional)}" if required != len(positional) else str(required)
    return f"its function takes {takes} argument(s) after self, but the input signature has {count} complete type(s)"


def _check_members(cls: type, name: str | None) -> None:
    """Refuses, when the class is made, what could never be served: an
    invalid interface name, member name or signature (saying which, and
    why), a method whose parameters do not fit its input signature, and
    members in a class that names no interface at all."""
    where = cls.__qualname__
    if name is not None and (
        len(name.encode()) > 255 or len(name.split(".")) < 2 or not all(map(_valid_member, name.split(".")))
    ):
        raise ValueError(f"{where}: {name!r} is not a valid interface name: {_INTERFACE_RULE}")
    methods, props, signals = _own_members(cls)
    if (methods or props or signals) and not any(vars(b).get("__dbus_interface_name__") for b in cls.__mro__):
        raise TypeError(
            f"{where} declares D-Bus members but names no interface: "
            f'class {cls.__name__}(varquin.Interface, name="org.example.Name")'
        )
    members: list[tuple[str, list[tuple[str, str]]]] = []
    for _, dbus, ins, outs in methods:
        members.append((dbus, [("input signature", ins), ("output signature", outs)]))
    members += [(p.name, [("signature", p.signature)]) for _, p in props]
    members += [(s.name, [("signature", s.signature)]) for s in signals]
    for member, sigs in members:
        if not _valid_member(member):
            raise ValueError(f"{where}: {member!r} is not a valid member name: {_MEMBER_RULE}")
        for what, sig in sigs:
            problem = _signature_types(sig)[1]
            if problem is not None:
                raise ValueError(f"{where}.{member}: {what} {sig!r} is not valid: {problem}")
    for _, p in props:
        if len(_signature_types(p.signature)[0]) != 1:
            raise ValueError(f"{where}.{p.name}: a property's signature is one complete type, not {p.signature!r}")
    for attr, dbus, ins, _ in methods:
        problem = _positional_problem(vars(cls)[attr], len(_signature_types(ins)[0]))
        if problem is not None:
            raise TypeError(f"{where}.{dbus}: {problem} ({ins!r})")


def _describe(cls: type) -> tuple[Any, ...]:
    """The interfaces of `cls` for the native core: (name, methods, properties,
    signals), each member resolved on `cls` so that overrides are served."""
    described = []
    seen: set[str] = set()
    for base in cls.__mro__:
        name = vars(base).get("__dbus_interface_name__")
        if not name or name in seen:
            continue
        seen.add(name)
        methods, props, signals = _own_members(base)
        described.append(
            (
                name,
                tuple((dbus, ins, outs, getattr(cls, attr)) for attr, dbus, ins, outs in methods),
                tuple(
                    (p.name, p.signature, getattr(cls, attr).fget, getattr(cls, attr).fset, p.emits)
                    for attr, p in props
                ),
                tuple((s.name, s.signature) for s in signals),
            )
        )
    return tuple(described)


def _find_property(cls: type, name: str) -> tuple[str, DBusProperty] | None:
    for base in cls.__mro__:
        interface = vars(base).get("__dbus_interface_name__")
        if not interface:
            continue
        for attr, prop in _own_members(base)[1]:
            if prop.name == name:
                resolved = getattr(cls, attr)
                return interface, resolved if isinstance(resolved, DBusProperty) else prop
    return None


def register_export(obj: object, handle: Export) -> None:
    """Remembers where `obj` is exported, for its signals."""
    vars(obj).setdefault(_EXPORTS, []).append(handle)


def log_failure(text: str, exc: BaseException | None) -> None:
    """How the native core reports a failing callable."""
    logger.error("%s", text, exc_info=exc if exc is not None else False)


def run_awaitable(bus: Bus, awaitable: Any, reply: Any) -> None:
    """How the native core hands a coroutine returned by a method to the
    event loop that drives `bus` (set up by varquin.aio)."""
    driver = getattr(bus, "_aio_driver", None)
    if driver is None:
        raise RuntimeError("an async method needs a bus driven by varquin.aio")
    driver.spawn(awaitable, reply)

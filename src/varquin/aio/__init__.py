"""asyncio for varquin: calls, signals and serving on the running event loop.

    bus = await varquin.aio.Bus.system()
    (names,) = await bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "ListNames")
    async for sig in bus.subscribe(member="NameOwnerChanged"):
        ...

The connection's descriptor is watched by the loop (``add_reader``, and
``add_writer`` while output waits), and the calls' deadlines wake it through
a timer descriptor it also watches: no thread per call.  Exported objects
are served for as long as the loop runs; their methods may be plain
functions or ``async def``.
Cancelling a task awaiting a call cancels the call: its reply is dropped.
"""

from __future__ import annotations

import asyncio
import functools
import logging
import os
import weakref
from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self, TypeVar, overload

from varquin import _core
from varquin._closing import AsyncClosing
from varquin.bus import Bus as _SyncBus
from varquin.errors import BusError, NameTaken
from varquin.service import Interface, register_export
from varquin.types import Signal, Variant

if TYPE_CHECKING:
    from varquin.aio.proxy import InterfaceProxy
    from varquin.proxy import ObjectProxy

__all__ = ["Bus", "Subscription"]

I = TypeVar("I", bound=Interface)  # noqa: E741

_log = logging.getLogger("varquin")

_DBUS = "org.freedesktop.DBus"
_DBUS_PATH = "/org/freedesktop/DBus"
_PROPERTIES = "org.freedesktop.DBus.Properties"


class _Driver:
    """Drives one connection from one event loop."""

    def __init__(self, core: _SyncBus, loop: asyncio.AbstractEventLoop) -> None:
        self.core = core
        self.loop = loop
        self.pid = os.getpid()
        # Held weakly: a subscription nobody refers to any more (an `async
        # for` left with break, a cancelled await) goes, and its native
        # subscription closes as it goes.
        self.subscriptions: weakref.WeakSet[Subscription] = weakref.WeakSet()
        self.tasks: set[asyncio.Task[Any]] = set()
        self.writing = False
        self.error: BaseException | None = None
        core._set_loop_driven(True)
        core._aio_driver = self  # type: ignore[attr-defined]
        self.fd = core._loop_fd()
        loop.add_reader(self.fd, self.step)
        # Readable when output waits that a send could not write at once,
        # whatever path sent it (a served signal, another thread): the
        # step then arms the writer.
        self.wake_fd = core._loop_wake_fd()
        loop.add_reader(self.wake_fd, self.on_wake)
        # The calls' deadlines (and sd-bus's own) are kept natively on a
        # timerfd rather than as a timer of the loop: a loop with a
        # scheduled callback does more work on every turn.
        self.timer_fd = core._loop_timer_fd()
        loop.add_reader(self.timer_fd, self.on_timer)
        self.step()

    def step(self) -> None:
        """Processes what arrived (the native step gives each reply to the
        future awaiting it), runs queued incoming calls, wakes the
        subscriptions, and waits again."""
        if self.error is not None:
            return
        try:
            wants_output, _, error, incoming = self.core._loop_process()
        except OSError as e:
            self.fail(e)
            return
        if incoming:
            try:
                self.core._loop_run_incoming()
            finally:
                self.feed()
                self.rearm()
            return
        if self.subscriptions:
            self.feed()
        # wait_for() written out: this runs once per wake-up of the loop.
        if error:
            self.fail(ConnectionError(-error, "the connection was lost"))
        elif wants_output != self.writing:
            self.want_output(wants_output)

    def feed(self) -> None:
        """Wakes the subscriptions that have something to give.  One that
        fails is logged; the others are fed all the same."""
        for sub in list(self.subscriptions):
            try:
                sub._feed()
            except Exception:
                _log.exception("varquin.aio: feeding a subscription failed")

    def rearm(self) -> None:
        if self.error is not None or self.core.closed:
            return
        wants_output, _, error = self.core._loop_wants()
        self.wait_for(wants_output, error)

    def wait_for(self, wants_output: bool, error: int) -> None:
        """Arms the writer when output waits (the native side sets the
        timer); a lost connection fails the driver."""
        if error:
            self.fail(ConnectionError(-error, "the connection was lost"))
            return
        if wants_output != self.writing:
            self.want_output(wants_output)

    def want_output(self, wanted: bool) -> None:
        if wanted != self.writing:
            if wanted:
                self.loop.add_writer(self.fd, self.step)
            else:
                self.loop.remove_writer(self.fd)
            self.writing = wanted

    def on_wake(self) -> None:
        try:
            os.read(self.wake_fd, 8)
        except BlockingIOError:
            pass
        self.step()

    def on_timer(self) -> None:
        try:
            os.read(self.timer_fd, 8)
        except BlockingIOError:
            pass
        self.step()

    def fail(self, error: BaseException) -> None:
        """The connection is lost or closed: every waiter gets `error`.  The
        futures of a loop that is closed already are dropped: nothing can
        await them any more, and resolving them would raise."""
        if self.error is not None:
            return
        self.error = error
        alive = not self.loop.is_closed()
        if alive:
            self.loop.remove_reader(self.fd)
            self.loop.remove_reader(self.wake_fd)
            self.loop.remove_reader(self.timer_fd)
            if self.writing:
                self.loop.remove_writer(self.fd)
        for future in self.core._loop_abandon():
            if alive and not future.done():
                future.set_exception(self.failure())
        if alive:
            self.feed()

    def failure(self) -> BaseException:
        """A new exception like the one the connection failed with (each
        raise gets its own: one shared instance would gather every raiser's
        traceback)."""
        assert self.error is not None
        try:
            return type(self.error)(*self.error.args)
        except Exception:
            return ConnectionError(str(self.error))

    def watch(self, pending: _core.PendingCall) -> asyncio.Future[tuple[Any, ...]]:
        """The future that the call's outcome goes to."""
        if self.error is not None:
            pending.cancel()
            raise self.failure()
        future: asyncio.Future[tuple[Any, ...]] = self.loop.create_future()
        pending.settle(future)
        if pending.wants_output and not self.writing:
            self.want_output(True)
        return future

    async def wait(self, pending: _core.PendingCall) -> tuple[Any, ...]:
        """The call's values, awaited; cancelling the await cancels the call."""
        future = self.watch(pending)
        try:
            return await future
        except asyncio.CancelledError:
            pending.cancel()
            raise

    def spawn(self, awaitable: Any, reply: Any) -> None:
        """Runs an async method's coroutine; its result or exception is the
        reply to its caller."""
        task = self.loop.create_task(awaitable)
        self.tasks.add(task)

        def answer(task: asyncio.Task[Any]) -> None:
            self.tasks.discard(task)
            try:
                if task.cancelled():
                    # Not a failure of the method: its caller is told, nothing is logged.
                    reply.fail(BusError("org.freedesktop.DBus.Error.Failed", "The method was cancelled."))
                elif task.exception() is not None:
                    reply.fail(task.exception())
                else:
                    reply.send(task.result())
            finally:
                self.rearm()

        task.add_done_callback(answer)


class Bus(AsyncClosing):
    """A bus connection driven by the running asyncio event loop.  Open it with
    ``await Bus.system()``, ``await Bus.session()``, ``await
    Bus.remote(host)`` or ``await Bus.connect(address)``; the calls have the
    arguments and errors of varquin.Bus and are awaited.  Use it as an async
    context manager."""

    def __init__(self, core: _SyncBus) -> None:
        self._core = core
        self._driver = _Driver(core, asyncio.get_running_loop())

    @classmethod
    async def _open(cls, opener: Callable[[], _SyncBus]) -> Self:
        # Opening waits for the bus's first answer (over SSH: for ssh too);
        # that one wait runs on the loop's executor.
        core = await asyncio.get_running_loop().run_in_executor(None, opener)
        return cls(core)

    @classmethod
    async def system(cls, *, timeout: float | None = None) -> Self:
        """Returns a new connection to the system bus, opened as
        varquin.Bus.system opens it (the wait runs on the loop's executor).
        Raises ConnectionError (or a subclass) when the bus cannot be reached,
        TimeoutError when it does not answer within `timeout` seconds.

            async with await varquin.aio.Bus.system() as bus:
                ...
        """
        return await cls._open(functools.partial(_SyncBus.system, timeout=timeout))

    @classmethod
    async def session(cls, *, timeout: float | None = None) -> Self:
        """Returns a new connection to the session bus, found as
        varquin.Bus.session finds it.  Raises as system() does, and
        ConnectionError when no session bus address is known."""
        return await cls._open(functools.partial(_SyncBus.session, timeout=timeout))

    @classmethod
    async def user(cls, *, timeout: float | None = None, manager: bool = False) -> Self:
        """Returns a new connection to the calling user's bus, where the
        user's own systemd manager is, found as varquin.Bus.user finds it
        (the session bus, else the manager's own socket; with manager=True
        the manager's socket first).  Raises as varquin.Bus.user does."""
        return await cls._open(functools.partial(_SyncBus.user, timeout=timeout, manager=manager))

    @classmethod
    async def remote(cls, host: str, *, user: bool = False, timeout: float | None = None) -> Self:
        """Returns a connection to another host's system bus over SSH
        ('[user@]host[:port]'), as varquin.Bus.remote makes it; with
        user=True, the bus of the user ssh logs in as, where that user's own
        manager is.  Raises ValueError for a host not of that form,
        ConnectionError carrying ssh's last message when the connection fails,
        TimeoutError when the bus does not answer in time."""
        return await cls._open(functools.partial(_SyncBus.remote, host, user=user, timeout=timeout))

    @classmethod
    async def connect(cls, address: str, *, timeout: float | None = None) -> Self:
        """Returns a connection to the bus at the D-Bus address `address`
        (``unix:path=...``, ``unixexec:...``).  Raises ValueError for text that
        is not a D-Bus address, and otherwise as system() does.

            bus = await varquin.aio.Bus.connect("unix:path=/run/dbus/system_bus_socket")
        """
        return await cls._open(functools.partial(_SyncBus, address, timeout=timeout))

    @property
    def unique_name(self) -> str:
        """The connection's unique name on the bus (':1.42')."""
        return self._core.unique_name

    @property
    def address(self) -> str:
        """What the bus was opened with: the address, or the host of a remote
        bus."""
        return self._core.address

    @property
    def closed(self) -> bool:
        """Whether the bus was closed (by close() or the end of its
        ``async with`` block)."""
        return self._core.closed

    @property
    def max_in_flight(self) -> int:
        """How many calls wait for their replies at most (120 unless set).
        Later calls (``asyncio.gather`` of hundreds) are queued in order and
        sent as replies come, each call's timeout counting from when it was
        made: the bus daemon would refuse calls beyond its own limit (128 per
        connection on a stock system bus) with LimitsExceeded.  Setting it
        raises ValueError below 1, and ValueError once the bus is closed."""
        return self._core.max_in_flight

    @max_in_flight.setter
    def max_in_flight(self, value: int) -> None:
        self._core.max_in_flight = value

    async def call(
        self,
        destination: str | None,
        path: str,
        interface: str | None,
        member: str,
        signature: str = "",
        *args: Any,
        timeout: float | None = None,
    ) -> tuple[Any, ...]:
        """Calls `member` of `interface` on the object `path` of
        `destination`, with `args` sent as the complete types of `signature`,
        and returns the reply's values as a tuple.  `destination` may be None
        on a peer-to-peer connection, `interface` None to name no interface;
        `timeout` is in seconds (None: 25 s, math.inf: for ever).  Cancelling
        the awaiting task cancels the call: its reply is dropped.

        Raises, before anything is sent, TypeError, ValueError or
        OverflowError naming an argument that does not fit `signature` (or an
        invalid name or signature); the BusError subclass of an error reply;
        TimeoutError when no reply came in time; ConnectionError when the
        connection is lost; ConnectionAbortedError when the bus is closed while
        the call waits.

            (names,) = await bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "ListNames")
        """
        pending = self._core._start_call(destination, path, interface, member, signature, *args, timeout=timeout)
        # Driver.wait() written out: one coroutine and one call less per call.
        driver = self._driver
        if driver.error is not None:
            pending.cancel()
            raise driver.failure()
        future: asyncio.Future[tuple[Any, ...]] = driver.loop.create_future()
        pending.settle(future)
        if pending.wants_output and not driver.writing:
            driver.want_output(True)
        try:
            return await future
        except asyncio.CancelledError:
            pending.cancel()
            raise

    async def get_property(
        self, destination: str | None, path: str, interface: str, name: str, *, timeout: float | None = None
    ) -> Any:
        """Returns the value of the property `name` of `interface` on the
        object `path` of `destination` (org.freedesktop.DBus.Properties.Get).
        Raises UnknownProperty or UnknownInterface when the object has no such
        property, and otherwise what call() raises.

            version = await bus.get_property("org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                             "org.freedesktop.systemd1.Manager", "Version")
        """
        (value,) = await self.call(destination, path, _PROPERTIES, "Get", "ss", interface, name, timeout=timeout)
        return value

    async def get_all(
        self, destination: str | None, path: str, interface: str, *, timeout: float | None = None
    ) -> dict[str, Any]:
        """Returns every property of `interface` on the object `path` of
        `destination` as a dict from name to value
        (org.freedesktop.DBus.Properties.GetAll).  Raises what call() raises
        (UnknownInterface, UnknownObject, ...).

            props = await bus.get_all("org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                                      "org.freedesktop.hostname1")
        """
        (values,) = await self.call(destination, path, _PROPERTIES, "GetAll", "s", interface, timeout=timeout)
        return values  # type: ignore[no-any-return]

    async def set_property(
        self,
        destination: str | None,
        path: str,
        interface: str,
        name: str,
        signature: str,
        value: Any,
        *,
        timeout: float | None = None,
    ) -> None:
        """Sets the property `name` of `interface` on the object `path` of
        `destination` to `value`, sent as `signature` (one complete type) in a
        variant (org.freedesktop.DBus.Properties.Set).  Raises TypeError,
        ValueError or OverflowError when `value` does not fit `signature`, and
        the error reply's BusError (PropertyReadOnly, AccessDenied, ...) or
        what else call() raises.

            await bus.set_property("org.example.Thing", "/org/example/Thing",
                                   "org.example.Thing", "Level", "u", 3)
        """
        await self.call(
            destination, path, _PROPERTIES, "Set", "ssv", interface, name, Variant(signature, value), timeout=timeout
        )

    def subscribe(
        self,
        sender: str | None = None,
        path: str | None = None,
        interface: str | None = None,
        member: str | None = None,
        *,
        args: dict[int, str] | None = None,
        arg0namespace: str | None = None,
        path_namespace: str | None = None,
        max_queued: int | None = None,
    ) -> Subscription:
        """A subscription to the matching signals, with the rule and the
        queue's bound of varquin.Bus.subscribe: ``async for sig in
        bus.subscribe(...)``, or ``sub = await bus.subscribe(...)`` to have
        the match in place before going on.  The rule's errors (ValueError,
        TypeError, a refused AddMatch's BusError) are raised when the
        subscription starts: by that ``await``, the first ``get()`` or the
        first step of ``async for``.

            async with bus.subscribe(member="NameOwnerChanged") as sub:
                async for signal in sub:
                    print(signal.args)
        """
        rule = {
            "sender": sender,
            "path": path,
            "interface": interface,
            "member": member,
            "args": args,
            "arg0namespace": arg0namespace,
            "path_namespace": path_namespace,
            "max_queued": max_queued,
        }
        return Subscription(self, rule)

    def export(self, path: str, obj: object) -> _core.Export:
        """Serves `obj`, an instance of varquin.Interface subclasses, at object
        path `path` and returns its varquin.Export; the loop answers its calls
        for as long as it runs, and its methods may be ``async def``.  Raises
        as varquin.Bus.export does: ValueError for an invalid path or an
        interface already exported there, TypeError for an object that is not
        an Interface.

            bus.export("/org/example/Greeter", Greeter())
            await bus.request_name("org.example.Greeter")
        """
        handle = self._core._export(path, obj)
        register_export(obj, handle)
        return handle

    @overload
    async def proxy(
        self,
        destination: str | None,
        path: str,
        interface: None = None,
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> ObjectProxy[InterfaceProxy]: ...
    @overload
    async def proxy(
        self,
        destination: str | None,
        path: str,
        interface: str,
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> InterfaceProxy: ...
    @overload
    async def proxy(
        self,
        destination: str | None,
        path: str,
        interface: type[I],
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> I: ...
    async def proxy(
        self,
        destination: str | None,
        path: str,
        interface: str | type[Interface] | None = None,
        *,
        introspect: bool | None = None,
        timeout: float | None = None,
    ) -> Any:
        """As varquin.Bus.proxy, awaited (also with a class, which makes no
        call): methods are awaited, properties are read and written with
        ``await h.get_property(name)``, ``await h.set_property(name, value)``
        and ``await h.get_all()``; see varquin.aio.proxy.InterfaceProxy.
        A typed proxy's class declares its methods ``async def``."""
        from varquin.aio.proxy import make_proxy

        return await make_proxy(self, destination, path, interface, introspect, timeout)

    async def request_name(self, name: str, *, timeout: float | None = None) -> None:
        """Makes this connection the owner of the well-known bus name `name`;
        owning it already is fine.  Raises varquin.NameTaken when another
        connection owns it, AccessDenied when the bus's policy forbids it, and
        otherwise what call() raises (the bus's InvalidArgs for an invalid
        name).

            bus.export("/org/example/Greeter", Greeter())
            await bus.request_name("org.example.Greeter")
        """
        (answer,) = await self.call(_DBUS, _DBUS_PATH, _DBUS, "RequestName", "su", name, 4, timeout=timeout)
        if answer not in (1, 4):
            raise NameTaken(f"The name {name} is owned by another connection.")

    async def release_name(self, name: str, *, timeout: float | None = None) -> None:
        """Gives up the well-known bus name `name`; a name this connection does
        not own is left as it is.  Raises what call() raises (the bus's
        InvalidArgs for an invalid name).

            await bus.release_name("org.example.Greeter")
        """
        await self.call(_DBUS, _DBUS_PATH, _DBUS, "ReleaseName", "s", name, timeout=timeout)

    def emit(self, path: str, interface: str, member: str, signature: str = "", *args: Any) -> None:
        """Emits the signal `member` of `interface` from the object `path`,
        with `args` sent as the complete types of `signature`; not awaited:
        the loop writes it out.  Raises ValueError for an invalid path, name or
        signature, TypeError, ValueError or OverflowError for values that do
        not fit it, ValueError when the bus is closed.

            bus.emit("/org/example/Thing", "org.example.Thing", "Changed", "u", 3)
        """
        self._core.emit(path, interface, member, signature, *args)
        self._driver.rearm()

    def close(self) -> None:
        """Closes the connection; calls still awaited raise
        ConnectionAbortedError.  Closing twice is fine.  In a child forked
        after the bus was opened it only forgets the connection: the loop's
        descriptors are shared with the parent."""
        if os.getpid() != self._driver.pid:
            self._core.close()
            return
        try:
            self._driver.fail(ConnectionAbortedError("the bus was closed"))
            for sub in list(self._driver.subscriptions):
                sub.close()
        finally:
            self._core.close()


class Subscription:
    """Signals matching a rule, on the event loop: ``async for sig in sub``,
    ``await sub.get(timeout)``; ``await`` it to have the match in place.
    The signals wait in the native subscription's bounded queue.  Dropping
    the last reference closes it (``async for sig in bus.subscribe(...)``
    left with break closes the subscription it made)."""

    def __init__(self, bus: Bus, rule: dict[str, Any]) -> None:
        self._bus = bus
        self._rule = rule
        self._core: _core.Subscription | None = None
        self._waiter: asyncio.Future[None] | None = None
        self._closed = False

    async def _start(self) -> Self:
        if self._core is None and not self._closed:
            driver = self._bus._driver
            if driver.error is not None:
                raise driver.failure()
            self._core, pending = self._bus._core._subscribe_start(**self._rule)
            driver.subscriptions.add(self)
            await driver.wait(pending)
        return self

    def __await__(self) -> Any:
        return self._start().__await__()

    def _feed(self) -> None:
        waiter = self._waiter
        if waiter is None or waiter.done():
            return
        if self._closed or self._bus._driver.error is not None or (self._core is not None and self._core._ready):
            waiter.set_result(None)

    async def get(self, timeout: float | None = None) -> Signal:
        """Returns the next signal, waiting up to `timeout` seconds (None: for
        ever).  Raises TimeoutError when none came in time; ValueError once
        closed; varquin.SignalsLost once when the queue was full and its
        oldest signals were dropped; ConnectionError when the connection is
        lost.

            signal = await sub.get(timeout=5)
        """
        await self._start()
        driver = self._bus._driver
        async with asyncio.timeout(timeout):
            while True:
                if self._closed or self._core is None:
                    raise ValueError("the subscription is closed")
                sig = self._core._pop()
                if sig is not None:
                    return sig
                if driver.error is not None:
                    raise driver.failure()
                self._waiter = driver.loop.create_future()
                try:
                    await self._waiter
                finally:
                    self._waiter = None

    @property
    def closed(self) -> bool:
        """Whether close() was called (by the caller, or by the bus's close())."""
        return self._closed

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> Signal:
        try:
            return await self.get()
        except ValueError:
            raise StopAsyncIteration from None

    def close(self) -> None:
        """Removes the match and drops what is queued; iteration ends."""
        self._closed = True
        if self._core is not None:
            self._core.close()
        self._bus._driver.subscriptions.discard(self)
        waiter = self._waiter
        if waiter is not None and not waiter.done() and not waiter.get_loop().is_closed():
            waiter.set_result(None)

    async def __aenter__(self) -> Self:
        return await self._start()

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

import asyncio
from collections.abc import Iterable, Iterator, Sequence
from types import TracebackType
from typing import Any, Self, final

from typing_extensions import disjoint_base

from varquin.types import Signal

@disjoint_base
class Bus:
    """A connection to a D-Bus bus, shared by any number of threads."""

    def __new__(cls, address: str, *, timeout: float | None = None) -> Self: ...
    @classmethod
    def system(cls, *, timeout: float | None = None) -> Self: ...
    @classmethod
    def session(cls, *, timeout: float | None = None) -> Self: ...
    @classmethod
    def user(cls, *, timeout: float | None = None, manager: bool = False) -> Self: ...
    @classmethod
    def remote(cls, host: str, *, user: bool = False, timeout: float | None = None) -> Self: ...
    @property
    def unique_name(self) -> str: ...
    @property
    def address(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    @property
    def max_in_flight(self) -> int: ...
    @max_in_flight.setter
    def max_in_flight(self, value: int) -> None: ...
    def call(
        self,
        destination: str | None,
        path: str,
        interface: str | None,
        member: str,
        signature: str = "",
        *args: Any,
        timeout: float | None = None,
    ) -> tuple[Any, ...]: ...
    def get_property(
        self, destination: str | None, path: str, interface: str, name: str, *, timeout: float | None = None
    ) -> Any: ...
    def get_all(
        self, destination: str | None, path: str, interface: str, *, timeout: float | None = None
    ) -> dict[str, Any]: ...
    def set_property(
        self,
        destination: str | None,
        path: str,
        interface: str,
        name: str,
        signature: str,
        value: Any,
        *,
        timeout: float | None = None,
    ) -> None: ...
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
    ) -> Subscription: ...
    def serve(self) -> None: ...
    def stop(self) -> None: ...
    def request_name(self, name: str, *, timeout: float | None = None) -> None: ...
    def release_name(self, name: str, *, timeout: float | None = None) -> None: ...
    def emit(self, path: str, interface: str, member: str, signature: str = "", *args: Any) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...
    # The package's own use: exporting, and an event loop driving the bus.
    def _export(self, path: str, obj: object) -> Export: ...
    def _loop_fd(self) -> int: ...
    def _loop_wake_fd(self) -> int: ...
    def _set_loop_driven(self, on: bool, /) -> None: ...
    def _loop_timer_fd(self) -> int: ...
    def _loop_wants(self) -> tuple[bool, float | None, int]: ...
    def _loop_process(self) -> tuple[bool, float | None, int, bool]: ...
    def _loop_abandon(self) -> list[asyncio.Future[tuple[Any, ...]]]: ...
    def _loop_run_incoming(self) -> None: ...
    def _start_call(
        self,
        destination: str | None,
        path: str,
        interface: str | None,
        member: str,
        signature: str = "",
        *args: Any,
        timeout: float | None = None,
    ) -> PendingCall: ...
    def _subscribe_start(
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
    ) -> tuple[Subscription, PendingCall]: ...

@final
class Subscription:
    """A signal subscription made by Bus.subscribe()."""

    @property
    def rule(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def get(self, timeout: float | None = None) -> Signal: ...
    def close(self) -> None: ...
    def __iter__(self) -> Iterator[Signal]: ...
    def __next__(self) -> Signal: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...
    def _pop(self) -> Signal | None: ...
    def _keep(self, index: int, values: Iterable[str] | None, /) -> None: ...
    @property
    def _ready(self) -> bool: ...

@final
class Export:
    """An object exported by Bus.export(): close() unexports it."""

    @property
    def path(self) -> str: ...
    @property
    def bus(self) -> Bus: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

@final
class PendingCall:
    """A call started for an event loop."""

    @property
    def done(self) -> bool: ...
    @property
    def deadline(self) -> float | None: ...
    @property
    def wants_output(self) -> bool: ...
    def result(self) -> tuple[Any, ...]: ...
    def cancel(self) -> None: ...
    def settle(self, future: asyncio.Future[tuple[Any, ...]], /) -> None: ...

@final
class Journal:
    """The local journal (or that of the system installed at `root`)."""

    def __new__(
        cls,
        root: str | None = None,
        *,
        terms: Sequence[Sequence[str | bytes]] | None = None,
        conditions: Sequence[Sequence[Sequence[str | bytes]]] | None = None,
    ) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def read(
        self, lines: int = -1, since: int = 0, *, until: int = 0, after: str | None = None
    ) -> list[tuple[int, dict[str, str], str, dict[str, bytes] | None]]: ...
    def seek_tail(self, back: int = 0) -> None: ...
    def seek_cursor(self, cursor: str, /) -> None: ...
    def follow(
        self, timeout: float | None = None, max: int = 64
    ) -> list[tuple[int, dict[str, str], str, dict[str, bytes] | None]] | None: ...
    def unique(self, field: str, /) -> list[str]: ...
    def boots(self) -> list[tuple[str, int, int]]: ...
    def fileno(self) -> int: ...
    def process(self) -> bool: ...
    def close(self) -> None: ...
    @staticmethod
    def send(items: Sequence[str | bytes], /) -> None: ...

def notify(state: str, fds: Sequence[int] = ()) -> bool: ...
def listen_fds(lookup: bool = True) -> list[tuple[int, str]]: ...
def watchdog_usec() -> int: ...
def _setup(
    *,
    variant: type,
    signal: type,
    bus_error: type,
    errors: dict[str, type],
    log: Any,
    awaitable: Any,
) -> None: ...

@final
class ProxyMethod:
    """One method of a remote object, prepared once."""

    def __new__(
        cls,
        bus: Bus,
        destination: str | None,
        path: str,
        interface: str,
        member: str,
        in_signature: str,
        out_signature: str,
    ) -> Self: ...
    @property
    def destination(self) -> str | None: ...
    @property
    def path(self) -> str: ...
    @property
    def interface(self) -> str: ...
    @property
    def member(self) -> str: ...
    @property
    def in_signature(self) -> str: ...
    @property
    def out_signature(self) -> str: ...
    def __call__(self, *args: Any, timeout: float | None = None) -> Any: ...
    def _start(self, *args: Any, timeout: float | None = None) -> PendingCall: ...
    def _shape(self, values: tuple[Any, ...], /) -> Any: ...

# --- Signatures and the names of types ---

def split_signature(signature: str, /) -> tuple[str, ...]:
    """The complete types of a D-Bus signature in order:
    ``split_signature("sa{sv}(ii)") == ("s", "a{sv}", "(ii)")``.  ValueError
    whose text is the reason when it is not a valid signature ("'z' at 1 is
    not a type code", "the struct opened at 0 is not closed", "it is longer
    than 255 bytes"); TypeError for anything but a str."""

def type_names() -> tuple[tuple[str, str, str], ...]:
    """The table of D-Bus types as Python sees them: (code, annotation of the
    value it arrives as, what a value sent as it must be), such as
    ``("i", "int", "a signed 32-bit integer")``; containers by the prefix of
    their code: ``"ay"`` (bytes), ``"a{"`` (dict), ``"a"`` (list), ``"("``
    (tuple)."""

# --- Hosts ---

def is_address(text: str, /) -> bool:
    """Whether ``text`` has the form of a D-Bus address (``unix:path=...``,
    ``tcp:host=...,port=...``; entries separated by ``;``), which ``Bus()``
    opens, rather than a host that ``Bus.remote()`` reaches over SSH."""

def parse_host(host: str, /) -> tuple[str | None, str, int | None]:
    """A host as ``Bus.remote()`` reads it: (user, host name or IPv6 address,
    port), user and port None when not given.  ``user@host:port``,
    ``[v6-address]:port`` and a bare IPv6 address (``::1``: all of it the
    host, no port) are read as ssh reads them.  ValueError for a host not of
    the form ``[user@]host[:port]``."""

def ssh_argv(host: str, /) -> list[str]:
    """The ssh command line that reaches ``host`` as ``Bus.remote()`` does, up
    to the remote command: ``ssh_argv("root@[::1]:2222") == ["ssh", "-xT",
    "-p", "2222", "--", "root@::1"]``.  ValueError as :func:`parse_host`."""

from collections.abc import Iterator
from types import TracebackType
from typing import Any, Self

from varquin.types import Signal

class Bus:
    """A connection to a D-Bus bus, shared by any number of threads."""

    def __init__(self, address: str, *, timeout: float | None = None) -> None: ...
    @classmethod
    def system(cls, *, timeout: float | None = None) -> Self: ...
    @classmethod
    def remote(cls, host: str, *, timeout: float | None = None) -> Self: ...
    @property
    def unique_name(self) -> str: ...
    @property
    def address(self) -> str: ...
    @property
    def closed(self) -> bool: ...
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
    ) -> Subscription: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> bool: ...

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
    def __enter__(self) -> Subscription: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> bool: ...

def _setup(*, variant: type, signal: type, bus_error: type, errors: dict[str, type]) -> None: ...

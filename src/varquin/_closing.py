"""The context-manager ends of the package's closable objects: leaving the
``with`` (or ``async with``) block calls the object's close()."""

from __future__ import annotations

from types import TracebackType
from typing import Self


class Closing:
    """``with obj:`` returns ``obj`` and calls ``obj.close()`` on the way out."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


class AsyncClosing:
    """``async with obj:`` returns ``obj`` and calls ``obj.close()`` on the way out."""

    def close(self) -> None:
        raise NotImplementedError

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

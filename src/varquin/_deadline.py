"""By when a wait of several steps must end: one deadline, taken once, whose
time left each step is given.  Blocking code passes ``left()`` as the
timeout of each bus call or signal read (the native call timer then bounds
it); asyncio code does the same with each awaited step."""

from __future__ import annotations

import time


def seconds(timeout: float) -> str:
    """``timeout`` as a person writes it: ``1``, ``0.5``, ``30``."""
    return f"{timeout:g}"


class Deadline:
    """The end of a wait that starts now and lasts ``timeout`` seconds (None: no end)."""

    __slots__ = ("_at", "timeout")

    def __init__(self, timeout: float | None) -> None:
        self.timeout = timeout
        self._at = None if timeout is None else time.monotonic() + timeout

    def left(self) -> float | None:
        """Seconds left, never below 0; None without an end."""
        return None if self._at is None else max(0.0, self._at - time.monotonic())

    @property
    def passed(self) -> bool:
        """Whether the end has come."""
        return self._at is not None and time.monotonic() >= self._at

    def within(self) -> str:
        """``within N s``, N as it was given, for a timeout's message."""
        return "without a time limit" if self.timeout is None else f"within {seconds(self.timeout)} s"

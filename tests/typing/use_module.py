"""Typed code using the module as a user writes it, checked with `mypy --strict`
against the installed stub package (tools/typecheck.sh).  It is only type
checked, never run: it would reach a system bus.

The lines marked `type: ignore[...]` are misuses the stub must reject: under
--strict an ignore that suppresses nothing is an error itself, so each of
them fails the check if the stub stops flagging that misuse.
"""

from collections.abc import Callable

import _varquin


def enable_and_start(unit: str) -> str | None:
    """Enables `unit`, starts it, and gives the queued job's path."""
    ok, (kind, link, target) = _varquin.unit_enable(unit)
    if not ok:
        raise RuntimeError(_varquin.get_last_error(0) or "")
    if kind is not None:
        print(f"{kind} {link} -> {target}")
    started, job = _varquin.unit_control(unit, "StartUnit")
    return job if started else None


def states(unit: str) -> tuple[str | None, str | None, str | None]:
    ok, found = _varquin.unit_status(unit)
    return found["LoadState"], found["ActiveState"], found["SubState"]


def serve_echo() -> int:
    def echo(a: str, b: str) -> tuple[int, str]:
        return len(a + b), a + b

    handler: Callable[..., object] = echo
    assert _varquin.init(1)
    if _varquin.service_register("/org/example/Echo", "org.example.Echo", "Echo", "is", "ss", handler, 0) != 1:
        return -1
    return _varquin.listen()


def call_echo() -> int | str | None:
    status, *values = _varquin.send(
        "org.example.Echo", "/org/example/Echo", "org.example.Echo", "Echo", "ss", "is", "a"
    )
    return values[0] if status == 1 and values else None


def host_settings() -> bool:
    name_ok, name = _varquin.get_hostname("StaticHostname")
    done: bool = _varquin.set_timezone("Europe/Berlin") and _varquin.set_wall_message("hello")
    return name_ok and name is not None and done and _varquin.daemon_reload()


def misuses() -> None:
    _varquin.init("ten")  # type: ignore[arg-type]
    _varquin.unit_enable("a.service", "extra")  # type: ignore[call-arg]
    _varquin.get_last_error(code=0)  # type: ignore[call-arg]
    count: str = _varquin.listen()  # type: ignore[assignment]
    flag: int = _varquin.unit_status("a.service")[1]  # type: ignore[assignment]
    _varquin.no_such_function()  # type: ignore[attr-defined]
    print(count, flag)

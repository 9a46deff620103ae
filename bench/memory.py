"""Resident memory and open descriptors over many calls, on either side.

    memory.py BUS_NAME mixed|failing|served N WARMUP
        a client: Bus.call calls to the mirror object at BUS_NAME, the C
        server's (mixed, failing) or the one --serve serves (served)
    memory.py --serve BUS_NAME
        a server: the mirror object served by Bus.export and serve(); prints
        "ready" once BUS_NAME is owned, then serves until killed

mixed:   the cases below in turn: every type, integers at their limits,
         nested containers, variants, empty containers, and `h` with a real
         descriptor (the one received back is closed by this client)
failing: Fail(ss) replying with each error name below in turn, and a member
         the server does not have; each raises its exception
served:  the cases of mixed, each a method of its own signature, and the
         served object's failures: a method raising BusError, one raising
         another exception and one returning a result that does not fit

Every reply is checked.  After WARMUP calls the client's memory is read,
then after N more.  Prints one JSON line: calls, seconds, rss_before_kb,
rss_after_kb, fds_before, fds_after.
"""

from __future__ import annotations

import gc
import json
import logging
import os
import sys
import time
import types
from collections.abc import Callable
from typing import Any

from procfs import fd_count, rss_kb  # this script's folder is on sys.path

import varquin
from varquin import Variant

MIRROR = "/org/varquin/bench/mirror"
IFACE = "org.varquin.Bench.Mirror"

# (signature, arguments, the reply expected: the arguments unless given)
CASES: list[tuple[str, tuple[Any, ...], tuple[Any, ...] | None]] = [
    ("", (), None),
    ("ybnqiuxt", (0, False, -(2**15), 0, -(2**31), 0, -(2**63), 0), None),
    ("ybnqiuxt", (255, True, 2**15 - 1, 2**16 - 1, 2**31 - 1, 2**32 - 1, 2**63 - 1, 2**64 - 1), None),
    ("dd", (-1.7976931348623157e308, 5e-324), None),
    ("sog", ("héllo, wörld ✓" * 20, "/org/varquin/bench/a_b/c", "a{sv}(yv)ah"), None),
    ("ay", (bytes(range(256)) * 16,), None),
    ("asaiaay", (["a", "bb", ""], [1, -2, 2**31 - 1], [b"x", b""]), None),
    (
        "a{sv}",
        ({"i": Variant("i", 1), "as": Variant("as", ["y", "z"]), "t": Variant("(bd)", (True, 0.5))},),
        ({"i": 1, "as": ["y", "z"], "t": (True, 0.5)},),
    ),
    ("a{ua(sb)}", ({1: [("a", True), ("b", False)], 2: []},), None),
    ("(ynqiuxtdsogay)", ((7, -7, 7, -7, 7, -7, 7, 0.25, "s", "/o", "i", b"\0"),), None),
    ("v", (Variant("(ia{ss}av)", (1, {"k": "v"}, [Variant("s", "x")])),), ((1, {"k": "v"}, ["x"]),)),
    ("vv", (Variant("v", Variant("i", 3)), Variant("ay", b"")), (3, b"")),
    ("asa{sv}aya(ii)sa{ss}", ([], {}, b"", [], "", {}), None),
    ("aa{sas}", ([{"k": ["v"] * 10}] * 10,), None),
]


def mixed(bus: varquin.Bus, name: str, served: bool = False) -> Callable[[int], None]:
    """The cases in turn: to the C mirror's Mirror, which takes any signature,
    or to the served mirror's Mirror<k> and Descriptor, one method each."""
    fd = os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC)
    inode = os.fstat(fd).st_ino

    def send_fd() -> None:
        (received,) = bus.call(name, MIRROR, IFACE, "Descriptor" if served else "Mirror", "h", fd)
        try:
            if received == fd or os.fstat(received).st_ino != inode:
                raise RuntimeError(f"descriptor {received} is not a new one of /dev/null")
        finally:
            os.close(received)

    def one(i: int) -> None:
        k = i % (len(CASES) + 1)
        if k == len(CASES):
            send_fd()
            return
        signature, args, expected = CASES[k]
        reply = bus.call(name, MIRROR, IFACE, f"Mirror{k}" if served else "Mirror", signature, *args)
        if reply != (args if expected is None else expected):
            raise RuntimeError(f"{signature}: unexpected reply {reply!r}")

    return one


# (member, the error name its reply carries, the exception class raised)
FAILURES: list[tuple[str, str, type[varquin.BusError]]] = [
    ("Fail", "org.freedesktop.DBus.Error.InvalidArgs", varquin.InvalidArgs),
    ("Fail", "org.freedesktop.DBus.Error.AccessDenied", varquin.AccessDenied),
    ("Fail", "org.freedesktop.systemd1.NoSuchUnit", varquin.NoSuchUnit),
    ("Fail", "org.varquin.Bench.Error.Custom", varquin.BusError),
    ("NoSuchMember", "org.freedesktop.DBus.Error.UnknownMethod", varquin.UnknownMethod),
]


def failing(bus: varquin.Bus, name: str) -> Callable[[int], None]:
    def one(i: int) -> None:
        member, error, cls = FAILURES[i % len(FAILURES)]
        args = (error, f"failure number {i}") if member == "Fail" else ()
        try:
            bus.call(name, MIRROR, IFACE, member, "ss" if args else "", *args)
        except varquin.BusError as e:
            if type(e) is not cls or e.name != error:
                raise RuntimeError(f"{error} raised {e!r}") from e
        else:
            raise RuntimeError(f"{member} did not fail")

    return one


FAILED = "org.freedesktop.DBus.Error.Failed"
INVALID_ARGS = "org.freedesktop.DBus.Error.InvalidArgs"
CUSTOM = "org.varquin.Bench.Error.Custom"


def served(bus: varquin.Bus, name: str) -> Callable[[int], None]:
    """The served mirror: the cases of mixed, then its ways of failing."""
    cases = mixed(bus, name, served=True)
    succeeding = len(CASES) + 1

    def one(i: int) -> None:
        k = i % (succeeding + 4)
        if k < succeeding:
            cases(k)
            return
        text = f"failure number {i}"
        # (member, signature, arguments, the error name and the start of its message)
        member, signature, args, error, message = [
            ("Fail", "ss", (INVALID_ARGS, text), INVALID_ARGS, text),
            ("Fail", "ss", (CUSTOM, text), CUSTOM, text),
            ("Crash", "s", (text,), FAILED, f"ValueError: {text}"),
            ("Mismatch", "", (), FAILED, "result ('a',) does not match output signature"),
        ][k - succeeding]
        try:
            bus.call(name, MIRROR, IFACE, member, signature, *args)
        except varquin.BusError as e:
            cls = varquin.InvalidArgs if error == INVALID_ARGS else varquin.BusError
            if type(e) is not cls or e.name != error or not e.message.startswith(message):
                raise RuntimeError(f"{member}: {error} {message!r} expected, {e!r} raised") from e
        else:
            raise RuntimeError(f"{member} did not fail")

    return one


# --- The served mirror ----------------------------------------------------------------------


def complete_types(signature: str) -> list[str]:
    """The complete types of `signature`, in order."""
    found, i = [], 0
    while i < len(signature):
        j = i
        while signature[j] == "a":
            j += 1
        depth = 0
        while True:
            depth += signature[j] in "({"
            depth -= signature[j] in ")}"
            j += 1
            if depth == 0:
                break
        found.append(signature[i:j])
        i = j
    return found


def as_variant(value: Any) -> Variant:
    """A variant's value as a method receives it (plain), wrapped again with
    a signature of its Python type."""
    if isinstance(value, bool):
        return Variant("b", value)
    if isinstance(value, int):
        return Variant("x", value)
    if isinstance(value, float):
        return Variant("d", value)
    if isinstance(value, str):
        return Variant("s", value)
    if isinstance(value, bytes):
        return Variant("ay", value)
    if isinstance(value, list):
        return Variant("av", [as_variant(v) for v in value])
    if isinstance(value, dict):
        return Variant("a{sv}", {k: as_variant(v) for k, v in value.items()})
    if isinstance(value, tuple):
        return Variant(f"({'v' * len(value)})", tuple(as_variant(v) for v in value))
    raise TypeError(f"no variant for {value!r}")


def mirrored(complete: str, value: Any) -> Any:
    """`value`, received as the complete type `complete`, made ready to be
    returned as the same type: what came in a variant is wrapped again."""
    if "v" not in complete:
        return value
    if complete == "v":
        return as_variant(value)
    if complete.startswith("a{"):
        _, inner = complete_types(complete[2:-1])
        return {k: mirrored(inner, v) for k, v in value.items()}
    if complete.startswith("a"):
        return [mirrored(complete[1:], v) for v in value]
    return tuple(mirrored(t, v) for t, v in zip(complete_types(complete[1:-1]), value, strict=True))


def mirror_method(signature: str) -> Callable[..., Any]:
    """A method taking `signature` and returning its arguments as the same."""
    complete = complete_types(signature)

    def mirror(self: varquin.Interface, *args: Any) -> Any:
        back = tuple(mirrored(t, v) for t, v in zip(complete, args, strict=True))
        return back[0] if len(back) == 1 else back or None

    return varquin.method(signature, signature)(mirror)


@varquin.method("h", "h")
def descriptor(self: varquin.Interface, fd: int) -> int:
    """Returns the descriptor received (a new one, the method's own).  The
    reply holds its own copy, so this one is closed at the next call."""
    last: int | None = vars(self).get("last_fd")
    if last is not None:
        os.close(last)
    vars(self)["last_fd"] = fd
    return fd


@varquin.method("ss")
def fail(self: varquin.Interface, name: str, text: str) -> None:
    raise varquin.BusError(name, text)


@varquin.method("s")
def crash(self: varquin.Interface, text: str) -> None:
    raise ValueError(text)


@varquin.method("", "is")
def mismatch(self: varquin.Interface) -> Any:
    return ("a",)


def serve(name: str) -> None:
    # The failures of Crash and Mismatch are logged: expected here, so not shown.
    logging.getLogger("varquin").addHandler(logging.NullHandler())
    members: dict[str, Any] = {f"Mirror{k}": mirror_method(sig) for k, (sig, _, _) in enumerate(CASES)}
    members.update(Descriptor=descriptor, Fail=fail, Crash=crash, Mismatch=mismatch)
    mirror = types.new_class("Mirror", (varquin.Interface,), {"name": IFACE}, lambda ns: ns.update(members))
    with varquin.Bus.system() as bus:
        bus.export(MIRROR, mirror())
        bus.request_name(name)
        print("ready", flush=True)
        bus.serve()


# --- Measuring ------------------------------------------------------------------------------


def main() -> None:
    if sys.argv[1] == "--serve":
        serve(sys.argv[2])
        return
    name, mode, n, warmup = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    with varquin.Bus.system() as bus:
        one = {"mixed": mixed, "failing": failing, "served": served}[mode](bus, name)
        for i in range(warmup):
            one(i)
        gc.collect()
        before, fds_before = rss_kb(), fd_count()
        t0 = time.perf_counter()
        for i in range(n):
            one(i)
        seconds = time.perf_counter() - t0
        gc.collect()
        after, fds_after = rss_kb(), fd_count()
    print(
        json.dumps(
            {
                "calls": n,
                "seconds": seconds,
                "rss_before_kb": before,
                "rss_after_kb": after,
                "fds_before": fds_before,
                "fds_after": fds_after,
            }
        )
    )


if __name__ == "__main__":
    main()

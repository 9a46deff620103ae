"""Resident memory and open descriptors of a process making many Bus.call
calls to the C server's mirror object.

    memory.py BUS_NAME mixed|failing N WARMUP

mixed:   the cases below in turn: every type, integers at their limits,
         nested containers, variants, empty containers, and `h` with a real
         descriptor (the one received back is closed by this client)
failing: Fail(ss) replying with each error name below in turn, and a member
         the server does not have; each raises its exception

Every reply is checked.  After WARMUP calls the memory is read, then after
N more.  Prints one JSON line: calls, seconds, rss_before_kb, rss_after_kb,
fds_before, fds_after.
"""

from __future__ import annotations

import gc
import json
import os
import sys
import time
from collections.abc import Callable
from typing import Any

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


def mixed(bus: varquin.Bus, name: str) -> Callable[[int], None]:
    fd = os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC)
    inode = os.fstat(fd).st_ino

    def send_fd() -> None:
        (received,) = bus.call(name, MIRROR, IFACE, "Mirror", "h", fd)
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
        reply = bus.call(name, MIRROR, IFACE, "Mirror", signature, *args)
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


def rss_kb() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def main() -> None:
    name, mode, n, warmup = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    with varquin.Bus.system() as bus:
        one = {"mixed": mixed, "failing": failing}[mode](bus, name)
        for i in range(warmup):
            one(i)
        gc.collect()
        before, fds_before = rss_kb(), open_fds()
        t0 = time.perf_counter()
        for i in range(n):
            one(i)
        seconds = time.perf_counter() - t0
        gc.collect()
        after, fds_after = rss_kb(), open_fds()
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

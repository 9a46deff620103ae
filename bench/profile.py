"""The CPU that one call costs each implementation, as instructions in user
space per call under callgrind (valgrind) and system calls per call under
strace, on a private bus: every path, the C baselines and the Python peers
in one table, with the goals each varquin row is held to.

    python -m bench.profile [--paths P ...] [--impls I ...] [--functions]

Paths (rows):
    call     sequential Echo(ss) -> (is) calls to the C server (c: the C
             client; send, Bus.call, Bus.proxy's method, and the peers)
    served   Echo served by each implementation, one call at a time from
             the C client (c: the C server)
    aio      64 Echo calls in flight on one connection to the C server (c:
             the C load generator at K=1 W=64; varquin.aio, its proxy's
             method, the peers)
    get_all  Properties.GetAll of a unit's properties from the real systemd
             of a throwaway container, every value decoded (c: the C client
             reading every value); needs root and systemd-nspawn

Every figure is the difference of two runs of different lengths divided by
the difference of their calls, so that starting up, connecting and
importing cancel out.  The counts repeat run after run because:
  - a profiled client waits for every reply as it does at full speed: the C
    server answers each call PACE ms after it came and after its previous
    reply, so replies arrive one at a time while the client waits, however
    much valgrind slows it;
  - a profiled server waits for every call: the C client pauses after each
    reply;
  - sd-bus's hash keys and Python's hash seed are fixed (a preloaded
    getrandom that gives the same bytes every run, PYTHONHASHSEED=0);
  - every Python row runs on this interpreter, with its byte code compiled
    by a run before the measured ones.
With --functions, each row also lists where its instructions go: inclusive
counts per function (with their callees), per call.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from bench.bench import (
    BUILD,
    HERE,
    IN_FLIGHT,
    UNIT,
    UNIT_INTERFACE,
    Env,
    Server,
    build_c,
    echo_cmd,
    importable,
    py_client,
    run_json,
)
from testing.container import Container, Unavailable, why_not
from testing.privatebus import PrivateBus

SHIM = BUILD / "fixed_random.so"
PATHS = ("call", "served", "aio", "get_all")
ROWS = {
    "call": (
        "c",
        "Bus.call",
        "Bus.proxy",
        "send",
        "sdbus",
        "sdbus proxy",
        "pystemd",
        "dbus-python",
        "dbus-fast",
        "jeepney",
    ),
    "served": ("c", "Bus.export", "listen", "sdbus", "dbus-python", "dbus-fast"),
    "aio": ("c", "varquin.aio", "aio Bus.proxy", "sdbus async", "sdbus async proxy", "dbus-fast"),
    "get_all": ("c", "Bus.get_all", "sdbus", "pystemd", "dbus-python", "dbus-fast", "jeepney"),
}
# The run lengths (calls) of each path: long enough that the calls outweigh
# what little varies in starting up, short enough for valgrind.
LENGTHS = {"call": (100, 500), "served": (100, 400), "aio": (4 * IN_FLIGHT, 16 * IN_FLIGHT), "get_all": (20, 80)}
# The goal of each path: varquin's row, its largest ratio to the C row, and
# the peers whose counts it must stay below.
GOALS: dict[str, tuple[str, float, tuple[str, ...]]] = {
    "call": ("Bus.call", 1.20, ("sdbus", "sdbus proxy", "pystemd", "dbus-python", "dbus-fast", "jeepney")),
    "served": ("Bus.export", 1.25, ()),
    "aio": ("varquin.aio", 2.00, ("sdbus async", "sdbus async proxy", "dbus-fast")),
    "get_all": ("Bus.get_all", 1.10, ()),
}
# A proxy's method call against the same call made with Bus.call.
PROXY_GOAL = ("Bus.proxy", "Bus.call", 1.05)

ANNOTATED = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$")
RECURSION = re.compile(r"'\d+$")
OBJECT = re.compile(r"^(.*) \[(/[^\]]*|\?\?\?)\]$")


def total(out: Path) -> int:
    """The instructions of a callgrind dump, all threads together."""
    with out.open() as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"{out} holds no totals")


def counts(out: Path) -> tuple[int, dict[str, int]]:
    """The total and the inclusive count of each function of a callgrind dump.
    Code inlined from headers is listed again under the header's file, with
    part of the function's count: the largest entry is the function's."""
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--auto=no", str(out)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    total = 0
    functions: dict[str, int] = {}
    objects: dict[str, str] = {}
    for line in text.splitlines():
        m = ANNOTATED.match(line)
        if not m:
            continue
        ir, where = int(m[1].replace(",", "")), m[2]
        if where == "PROGRAM TOTALS":
            total = ir
            continue
        # "file:function [object]", the object only where the file is its own
        function = where.partition(":")[2]
        if o := OBJECT.match(function):
            function, objects[o[1]] = o[1], Path(o[2]).name
        if function.startswith("0x") or RECURSION.search(function):
            # A function without a symbol (its callers count it), or a level
            # of recursion (the outermost level counts it).
            continue
        functions[function] = max(functions.get(function, 0), ir)
    named: dict[str, int] = {}
    for function, ir in functions.items():
        name = f"{short(function)} ({objects.get(function, '?')})"
        named[name] = max(named.get(name, 0), ir)  # overloads: the largest
    return total, named


def short(function: str) -> str:
    """A C++ function's name without its parameter list and clone suffix."""
    name = re.sub(r" \[clone [^\]]*\]$", "", function)
    tail = " const" if name.endswith(") const") else ""
    name = name.removesuffix(tail)
    if not name.endswith(")"):
        return function
    depth = 0
    for i in range(len(name) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(name[i], 0)
        if depth == 0:
            return name[:i] + "()" + tail if i else function
    return function


def report(title: str, total: float, per_call: dict[str, float], share: float) -> None:
    print(f"\n{title}\n{total:,.0f} instructions per call in user space; the functions with {share:.0%} or more:")
    for name, ir in sorted(per_call.items(), key=lambda kv: -kv[1]):
        if ir >= share * total:
            print(f"{ir:12,.0f}  {ir / total:6.1%}  {name}")


def report_syscalls(calls: float, per_call: dict[str, float]) -> None:
    listed = ", ".join(f"{name} {n:.2f}" for name, n in sorted(per_call.items(), key=lambda kv: -kv[1]) if n >= 0.01)
    print(f"{sum(per_call.values()):.2f} system calls per call ({calls:,.0f} calls): {listed}")


def syscalls(summary: Path) -> dict[str, int]:
    """The calls of each system call in a summary of strace -c."""
    found = {}
    for line in summary.read_text().splitlines():
        fields = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if len(fields) >= 5 and fields[0][0].isdigit() and fields[3].isdigit() and fields[-1] != "total":
            found[fields[-1]] = int(fields[3])
    return found


def strace(out: Path) -> list[str]:
    return ["strace", "-f", "-c", "-o", str(out)]


def callgrind(out: Path) -> list[str]:
    return ["valgrind", "-q", "--tool=callgrind", f"--callgrind-out-file={out}"]


@dataclass
class Figures:
    """What one call of one row costs: the differences of two runs, per call."""

    calls: int  # the difference of the runs' calls
    instructions: float
    syscalls: dict[str, float]
    functions: dict[str, float] = field(default_factory=dict)

    @property
    def syscalls_total(self) -> float:
        return sum(self.syscalls.values())


def difference(calls: Sequence[int], a: dict[str, int], b: dict[str, int]) -> dict[str, float]:
    made = calls[1] - calls[0]
    return {name: (n - a.get(name, 0)) / made for name, n in b.items()}


def deterministic(env: Env) -> Env:
    """The environment of a profiled process: fixed random bytes and hashes."""
    return dict(env, PYTHONHASHSEED="0", LD_PRELOAD=str(SHIM))


def build_shim() -> None:
    src = HERE / "fixed_random.c"
    if not SHIM.exists() or SHIM.stat().st_mtime < src.stat().st_mtime:
        subprocess.run(["cc", "-O2", "-Wall", "-shared", "-fPIC", "-o", str(SHIM), str(src)], check=True)


def two_lengths(
    cmd: Callable[[int], list[str]], lengths: Sequence[int], env: Env, key: str, folder: Path, functions: bool
) -> Figures:
    """A client command run for each of two lengths under callgrind and under
    strace, after a run that compiles its byte code and warms the server."""
    env = deterministic(env)
    run_json(cmd(lengths[0]), env)
    calls, totals, named, traced = [], [], [], []
    for i, n in enumerate(lengths):
        out, summary = folder / f"run.{i}.out", folder / f"run.{i}.strace"
        calls.append(int(run_json([*callgrind(out), *cmd(n)], env)[key]))
        totals.append(total(out))
        named.append(counts(out)[1] if functions else {})
        made = int(run_json([*strace(summary), *cmd(n)], env)[key])
        if made != calls[-1]:
            raise RuntimeError(f"{cmd(n)} made {made} calls under strace, {calls[-1]} under callgrind")
        traced.append(syscalls(summary))
    return Figures(
        calls[1] - calls[0],
        (totals[1] - totals[0]) / (calls[1] - calls[0]),
        difference(calls, *traced),
        difference(calls, *named),
    )


def dump(pid: int) -> None:
    subprocess.run(["callgrind_control", "--dump", str(pid)], check=True, capture_output=True)


def profile_served(impl: str, env: Env, folder: Path, lengths: Sequence[int], pace_ms: int, functions: bool) -> Figures:
    """A server answering the C client's calls, paced so that each call finds
    it waiting: its counters are dumped after a warm-up and after each of two
    runs of the client, and then its system calls are counted by strace
    attached for each run."""

    def drive(name: str, n: int) -> int:
        return int(run_json([str(BUILD / "client"), name, str(n), str(pace_ms)], env)["calls"])

    out = folder / "server.out"
    server = Server(impl, deterministic(env), wrapper=callgrind(out))
    try:
        drive(server.name, 20)
        dump(server.proc.pid)
        calls = []
        for n in lengths:
            calls.append(drive(server.name, n))
            dump(server.proc.pid)
    finally:
        server.stop()
    dumps = [Path(f"{out}.2"), Path(f"{out}.3")]
    totals = [total(d) for d in dumps]
    named = [counts(d)[1] if functions else {} for d in dumps]
    traced = []
    server = Server(impl, deterministic(env))
    try:
        drive(server.name, 20)
        for i, n in enumerate(lengths):
            summary = folder / f"server.{i}.strace"
            tasks = [f"-p{tid}" for tid in os.listdir(f"/proc/{server.proc.pid}/task")]
            tracer = subprocess.Popen([*strace(summary), *tasks], stderr=subprocess.PIPE, text=True)
            try:
                assert tracer.stderr is not None
                for _ in tasks:  # "Process N attached", once for each
                    tracer.stderr.readline()
                drive(server.name, n)
            finally:
                tracer.send_signal(signal.SIGINT)  # detaches and writes the summary
                tracer.wait(timeout=60)
            traced.append(syscalls(summary))
    finally:
        server.stop()
    return Figures(
        calls[1] - calls[0],
        (totals[1] - totals[0]) / (calls[1] - calls[0]),
        difference(calls, *traced),
        difference(calls, *named),
    )


def client_command(path: str, impl: str, name: str) -> tuple[Callable[[int], list[str]], str]:
    """The command of `impl` making n calls on `path` to the C server `name`,
    and the key of its JSON line that gives the calls answered."""
    if path == "call":
        return (lambda n: echo_cmd(impl, name, n)), "calls"
    if impl == "c":
        # One connection, 64 in flight, ending once n calls are answered.
        return (lambda n: [str(BUILD / "loadgen"), name, "1", str(IN_FLIGHT), "600", str(n)]), "total_calls"
    return (lambda n: py_client("concurrent", impl, name, str(IN_FLIGHT), str(n // IN_FLIGHT))), "calls"


def get_all_command(impl: str, address: str, dest: str, unit: str) -> Callable[[int], list[str]]:
    if impl == "c":
        return lambda n: [str(BUILD / "client"), "--get-all", dest, unit, UNIT_INTERFACE, str(n)]
    return lambda n: py_client("get-all", impl, address, dest, unit, UNIT_INTERFACE, str(n))


def profile_path(path: str, impls: Sequence[str], env: Env, pace_ms: int, functions: bool) -> dict[str, Figures]:
    lengths = LENGTHS[path]
    found: dict[str, Figures] = {}
    if path == "served":
        for impl in impls:
            with tempfile.TemporaryDirectory(prefix="vq-profile-") as folder:
                found[impl] = profile_served(impl, env, Path(folder), lengths, pace_ms, functions)
        return found
    if path == "get_all":
        return profile_get_all(impls, lengths, functions)
    server = Server("c", env, delay_ms=pace_ms, paced=True)
    try:
        for impl in impls:
            cmd, key = client_command(path, impl, server.name)
            with tempfile.TemporaryDirectory(prefix="vq-profile-") as folder:
                found[impl] = two_lengths(cmd, lengths, env, key, Path(folder), functions)
    finally:
        server.stop()
    return found


def profile_get_all(impls: Sequence[str], lengths: Sequence[int], functions: bool) -> dict[str, Figures]:
    reason = why_not()  # type: ignore[no-untyped-call]
    if reason:
        print(f"\nget_all: not measured: {reason}")
        return {}
    import varquin

    container = Container()  # type: ignore[no-untyped-call]
    try:
        container.start()  # type: ignore[no-untyped-call]
    except Unavailable as e:
        print(f"\nget_all: not measured: the container did not boot: {e}")
        return {}
    found: dict[str, Figures] = {}
    try:
        address: str = container.bus_address
        dest = "org.freedesktop.systemd1"
        with varquin.Bus(address) as bus:
            (unit,) = bus.call(
                dest, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "GetUnit", "s", UNIT
            )
        # sdbus and the C client connect to the system bus only: the variable
        # points theirs at the container.
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        for impl in impls:
            cmd = get_all_command(impl, address, dest, unit)
            with tempfile.TemporaryDirectory(prefix="vq-profile-") as folder:
                found[impl] = two_lengths(cmd, lengths, env, "calls", Path(folder), functions)
    finally:
        container.stop()  # type: ignore[no-untyped-call]
    return found


TITLES = {
    "call": "call: sequential Echo(ss) -> (is) calls to the C server",
    "served": "served: Echo served, one call at a time from the C client",
    "aio": f"aio: {IN_FLIGHT} Echo calls in flight on one connection (c: the load generator at K=1 W={IN_FLIGHT})",
    "get_all": f"get_all: GetAll of {UNIT}'s {UNIT_INTERFACE} properties, every value decoded",
}


def print_path(path: str, found: dict[str, Figures], share: float) -> None:
    if not found:
        return
    c = found.get("c")
    lengths = " and ".join(f"{n:,}" for n in LENGTHS[path])
    rows = []
    for impl, f in found.items():
        ratio = f"{f.instructions / c.instructions:.2f}" if c else "-"
        sys_ratio = f"{f.syscalls_total / c.syscalls_total:.2f}" if c and c.syscalls_total else "-"
        rows.append((impl, f"{f.instructions:,.0f}", ratio, f"{f.syscalls_total:.2f}", sys_ratio))
    from bench.bench import table

    table(
        f"{TITLES[path]}; runs of {lengths} calls",
        ("implementation", "instructions/call", "x C", "syscalls/call", "x C"),
        rows,
    )
    goal = GOALS[path]
    ours = found.get(goal[0])
    if ours and c:
        ratio = ours.instructions / c.instructions
        verdict = [f"goal: {goal[0]} <= {goal[1]:.2f}x C: {ratio:.2f}x, {'met' if ratio <= goal[1] else 'missed'}"]
        peers = [p for p in goal[2] if p in found]
        if peers:
            ahead = [p for p in peers if found[p].instructions <= ours.instructions]
            verdict.append(
                f"fewer than {', '.join(peers)}: " + ("met" if not ahead else f"missed ({', '.join(ahead)} fewer)")
            )
        verdict.append(
            f"system calls <= C's: {ours.syscalls_total:.2f} vs {c.syscalls_total:.2f}, "
            + ("met" if ours.syscalls_total <= c.syscalls_total + 0.005 else "missed")
        )
        print("; ".join(verdict))
    proxy, plain = found.get(PROXY_GOAL[0]), found.get(PROXY_GOAL[1])
    if proxy and plain:
        ratio = proxy.instructions / plain.instructions
        print(
            f"goal: {PROXY_GOAL[0]} <= {PROXY_GOAL[2]:.2f}x {PROXY_GOAL[1]}: {ratio:.2f}x, "
            + ("met" if ratio <= PROXY_GOAL[2] else "missed")
        )
    if share:
        for impl, f in found.items():
            report(f"{path} {impl}: {f.calls:,} calls", f.instructions, f.functions, share)
            report_syscalls(f.calls, f.syscalls)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--paths", nargs="+", choices=PATHS, default=list(PATHS), help="the paths to profile")
    ap.add_argument("--impls", nargs="+", help="only these implementations (c is always measured)")
    ap.add_argument("--pace", type=int, default=10, help="ms between the C server's replies, and the C client's pause")
    ap.add_argument("--functions", action="store_true", help="where each row's instructions go, by function")
    ap.add_argument(
        "--share", type=float, default=3.0, help="with --functions: list those with this percentage or more"
    )
    args = ap.parse_args()
    for tool in ("valgrind", "callgrind_control", "callgrind_annotate", "strace", "dbus-daemon"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is needed (tools/bench.sh installs it)")
    build_c()
    build_shim()
    usable = {impl: importable(impl) for path in args.paths for impl in ROWS[path]}
    missing = sorted(impl for impl, ok in usable.items() if not ok)
    if missing:
        print(f"not measured (not importable): {', '.join(missing)}")
    bus = PrivateBus()  # type: ignore[no-untyped-call]
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
    try:
        for path in args.paths:
            impls = [i for i in ROWS[path] if usable[i] and (i == "c" or not args.impls or i in args.impls)]
            found = profile_path(path, impls, env, args.pace, args.functions)
            print_path(path, found, args.share / 100 if args.functions else 0)
    finally:
        bus.stop()  # type: ignore[no-untyped-call]


if __name__ == "__main__":
    main()

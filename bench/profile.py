"""Where the instructions of a call go: one Echo server or asyncio client
under callgrind (valgrind), on a private bus, with the instructions per call
in user space in all and in each function (inclusive: with its callees).

    python -m bench.profile server IMPL [--k K] [--w W] [--seconds S]
        IMPL (c, Bus.export, listen, sdbus, dbus-python, dbus-fast) serving
        Echo, driven by the C load generator at K connections with W calls
        in flight each; the counters are dumped after a warm-up and after
        the load, and the second dump is divided by the calls answered
    python -m bench.profile client IMPL [--calls N]
        IMPL (c: the load generator; varquin.aio, sdbus async, sdbus async
        proxy, dbus-fast) keeping 64 Echo calls in flight on one connection
        to the C server; two runs of different lengths, and their difference
        divided by the difference of their calls, so that starting up and
        connecting cancel out
    python -m bench.profile client IMPL --sequential [--calls N]
        the same for one of the sequential clients of the client table (c,
        send, Bus.call, sdbus, sdbus proxy, pystemd, dbus-python, dbus-fast,
        jeepney), N calls in the longer run

Then the system calls per call, counted by strace in another run of the
same kind (the kernel's work is not among the instructions).  Valgrind slows
a process some fifty times and strace several times, so the rates say
nothing here, and a slowed process gathers more calls per read and per
batch than at full speed: the counts are a floor of the work at full speed.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from bench.bench import BUILD, IN_FLIGHT, Env, Server, build_c, cpu_s, echo_cmd, py_client, run_json
from testing.privatebus import PrivateBus

ANNOTATED = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$")
RECURSION = re.compile(r"'\d+$")
OBJECT = re.compile(r"^(.*) \[(/[^\]]*|\?\?\?)\]$")


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


def wait_idle(pid: int, limit: float = 60) -> None:
    """Until process `pid` stops using CPU (calls still queued when the load
    ended are answered first), for at most `limit` seconds."""
    deadline = time.monotonic() + limit
    last = cpu_s(pid)
    while time.monotonic() < deadline:
        time.sleep(0.5)
        now = cpu_s(pid)
        if now == last:
            return
        last = now


def profile_server(env: Env, folder: Path, impl: str, k: int, w: int, seconds: float, share: float) -> None:
    out = folder / "server.out"
    server = Server(impl, env, wrapper=callgrind(out))
    try:
        run_json([str(BUILD / "client"), server.name, "200"], env)
        subprocess.run(["callgrind_control", "--dump=warm-up", str(server.proc.pid)], check=True, capture_output=True)
        r = run_json([str(BUILD / "loadgen"), server.name, str(k), str(w), str(seconds)], env)
        wait_idle(server.proc.pid)
        subprocess.run(["callgrind_control", "--dump=load", str(server.proc.pid)], check=True, capture_output=True)
    finally:
        server.stop()
    calls = r["total_calls"]
    total, functions = counts(Path(f"{out}.2"))
    report(
        f"server {impl}: Echo under the C load generator at K={k} W={w}, {calls:,} calls",
        total / calls,
        {name: ir / calls for name, ir in functions.items()},
        share,
    )
    # The system calls of the load, by strace attached to every thread of the server.
    summary = folder / "server.strace"
    server = Server(impl, env)
    try:
        run_json([str(BUILD / "client"), server.name, "200"], env)
        tasks = [f"-p{tid}" for tid in os.listdir(f"/proc/{server.proc.pid}/task")]
        tracer = subprocess.Popen([*strace(summary), *tasks], stderr=subprocess.PIPE, text=True)
        try:
            assert tracer.stderr is not None
            for _ in tasks:  # "Process N attached", once for each
                tracer.stderr.readline()
            r = run_json([str(BUILD / "loadgen"), server.name, str(k), str(w), str(seconds)], env)
            wait_idle(server.proc.pid)
        finally:
            tracer.send_signal(signal.SIGINT)  # detaches and writes the summary
            tracer.wait(timeout=60)
    finally:
        server.stop()
    report_syscalls(r["total_calls"], {name: n / r["total_calls"] for name, n in syscalls(summary).items()})


def profile_client(env: Env, folder: Path, impl: str, calls: int, share: float, sequential: bool) -> None:
    server = Server("c", env)
    try:
        runs, traced = [], []
        for n in (calls // 4, calls):
            out, summary = folder / f"client.{n}.out", folder / f"client.{n}.strace"
            if sequential:
                cmd = echo_cmd(impl, server.name, n)
            elif impl == "c":
                # The load generator runs for a time, longer for more calls.
                cmd = [str(BUILD / "loadgen"), server.name, "1", str(IN_FLIGHT), str(n / 100)]
            else:
                cmd = py_client("concurrent", impl, server.name, str(IN_FLIGHT), str(n))
            key = "total_calls" if impl == "c" and not sequential else "calls"
            runs.append((int(run_json([*callgrind(out), *cmd], env)[key]), *counts(out)))
            traced.append((int(run_json([*strace(summary), *cmd], env)[key]), syscalls(summary)))
    finally:
        server.stop()
    (calls_a, total_a, functions_a), (calls_b, total_b, functions_b) = runs
    made = calls_b - calls_a
    kind = "sequential Echo calls" if sequential else f"{IN_FLIGHT} Echo calls in flight on one connection"
    report(
        f"client {impl}: {kind}, {calls_a:,} and {calls_b:,} calls",
        (total_b - total_a) / made,
        {name: (ir - functions_a.get(name, 0)) / made for name, ir in functions_b.items()},
        share,
    )
    (calls_a, syscalls_a), (calls_b, syscalls_b) = traced
    made = calls_b - calls_a
    report_syscalls(made, {name: (n - syscalls_a.get(name, 0)) / made for name, n in syscalls_b.items()})


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("side", choices=("server", "client"))
    ap.add_argument("impl")
    ap.add_argument("--k", type=int, default=4, help="connections of the load generator (server)")
    ap.add_argument("--w", type=int, default=16, help="calls in flight on each (server)")
    ap.add_argument("--seconds", type=float, default=5.0, help="length of the load (server)")
    ap.add_argument("--calls", type=int, default=200, help="calls per task of the longer run (client)")
    ap.add_argument("--sequential", action="store_true", help="one of the sequential clients (client)")
    ap.add_argument("--share", type=float, default=3.0, help="list the functions with this percentage or more")
    args = ap.parse_args()
    for tool in ("valgrind", "callgrind_control", "callgrind_annotate", "strace", "dbus-daemon"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is needed (tools/bench.sh installs it)")
    build_c()
    bus = PrivateBus()  # type: ignore[no-untyped-call]
    folder = Path(tempfile.mkdtemp(prefix="vq-profile-"))
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
    try:
        if args.side == "server":
            profile_server(env, folder, args.impl, args.k, args.w, args.seconds, args.share / 100)
        else:
            profile_client(env, folder, args.impl, args.calls, args.share / 100, args.sequential)
    finally:
        bus.stop()  # type: ignore[no-untyped-call]
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

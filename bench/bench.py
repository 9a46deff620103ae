"""Benchmarks of the module's bus calls and served methods against a raw
sd-bus baseline in C and the Python bus libraries, all measured in one run
on one private bus.

    client:  N sequential Echo calls against the C server
    service: Echo served by each implementation, driven by the C load
             generator at K connections with W calls in flight each
    memory:  resident memory before and after 50,000 calls each way

Rounds are interleaved (A B C A B C ...) and the median of the rounds is
reported, so that drift of a shared machine cancels out.  Every loop is
bounded in count and in time.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from testing.privatebus import PrivateBus
from testing.processes import stop_process

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

BUILD = ROOT / "build" / "bench"
C_PROGRAMS = ("echo_server", "client", "loadgen")
CLIENTS = ("c", "varquin", "dbus-python", "jeepney", "dbus-fast", "pystemd")
SERVERS = ("c", "varquin", "dbus-python", "dbus-fast")
BUS_NAME = "org.varquin.Bench"
TIMEOUT = 300  # no single measurement may take longer than this


def build_c():
    BUILD.mkdir(parents=True, exist_ok=True)
    flags = subprocess.run(
        ["pkg-config", "--cflags", "--libs", "libsystemd"], capture_output=True, text=True, check=True
    ).stdout.split()
    for prog in C_PROGRAMS:
        src, out = HERE / f"{prog}.c", BUILD / prog
        deps = [src, HERE / "common.h"]
        if out.exists() and all(out.stat().st_mtime >= d.stat().st_mtime for d in deps):
            continue
        subprocess.run(["cc", "-O2", "-Wall", "-o", str(out), str(src), *flags], check=True)


def on_cpus(cpus):
    """A preexec function that confines the child to `cpus` (None: all)."""
    return None if cpus is None else (lambda: os.sched_setaffinity(0, cpus))


def run_json(cmd, env, cpus=None):
    out = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=TIMEOUT, preexec_fn=on_cpus(cpus))
    if out.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, cmd))} failed:\n{out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def cpu_s(pid):
    """User plus system CPU time that process `pid` has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


class Server:
    """One Echo server process owning its own bus name."""

    def __init__(self, impl, env, cpus=None):
        self.impl = impl
        self.name = f"{BUS_NAME}.{impl.replace('-', '_')}"
        if impl == "c":
            cmd = [str(BUILD / "echo_server"), self.name]
        else:
            cmd = [sys.executable, str(HERE / "py_server.py"), impl, self.name]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, env=env, preexec_fn=on_cpus(cpus))
        line = self.proc.stdout.readline().decode().strip()
        if line != "ready":
            self.stop()
            raise RuntimeError(f"the {impl} server did not start")

    def stop(self):
        stop_process(self.proc)


def client_cmd(impl, name, n, rss=False):
    if impl == "c":
        return [str(BUILD / "client"), name, str(n)]
    cmd = [sys.executable, str(HERE / "py_client.py"), impl, name, str(n)]
    return cmd + (["--rss"] if rss else [])


def median_of(rounds, key):
    return statistics.median(r[key] for r in rounds)


def table(title, header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows, strict=True)]
    print(f"\n{title}")
    line = "  ".join(h.ljust(w) for h, w in zip(header, widths, strict=True))
    print(line)
    print("-" * len(line))
    for row in rows:
        print(
            "  ".join(
                str(x).rjust(w) if i else str(x).ljust(w) for i, (x, w) in enumerate(zip(row, widths, strict=True))
            )
        )


def bench_client(env, rounds, n, available, bus, cpus=None):
    """Sequential calls.  With `cpus` ({0}), the bus daemon, the server and
    the client share one CPU: a round trip then costs the sum of the three
    processes' work, without the wake-up latency between the cores of a
    virtual machine, which otherwise varies more than the clients differ."""
    all_cpus = os.sched_getaffinity(bus.proc.pid)
    if cpus is not None:
        os.sched_setaffinity(bus.proc.pid, cpus)
    server = Server("c", env, cpus)
    try:
        results = {impl: [] for impl in available}
        for _ in range(rounds):
            for impl in available:
                r = run_json(client_cmd(impl, server.name, n), env, cpus)
                r["per_s"] = r["calls"] / r["seconds"]
                r["cpu_us"] = r["cpu"] / r["calls"] * 1e6
                results[impl].append(r)
    finally:
        server.stop()
        os.sched_setaffinity(bus.proc.pid, all_cpus)
    c_rate, c_cpu = median_of(results["c"], "per_s"), median_of(results["c"], "cpu_us")
    rows = []
    for impl in available:
        rate, cpu = median_of(results[impl], "per_s"), median_of(results[impl], "cpu_us")
        rows.append((impl, f"{rate:,.0f}", f"{rate / c_rate:.2f}", f"{cpu:.1f}", f"{cpu / c_cpu:.2f}"))
    where = "all processes on one CPU" if cpus is not None else "processes on any CPU"
    table(
        f"Client: {n} sequential Echo calls to the C server, {where}, median of {rounds} rounds",
        ("client", "calls/s", "x C", "CPU us/call", "x C"),
        rows,
    )
    return results


def bench_service(env, rounds, seconds, available, loads):
    servers = {impl: Server(impl, env) for impl in available}
    try:
        out = {}
        for k, w in loads:
            results = {impl: [] for impl in available}
            for _ in range(rounds):
                for impl in available:
                    cmd = [str(BUILD / "loadgen"), servers[impl].name, str(k), str(w), str(seconds)]
                    before = cpu_s(servers[impl].proc.pid)
                    r = run_json(cmd, env)
                    r["server_cpu_us"] = (cpu_s(servers[impl].proc.pid) - before) / max(r["total_calls"], 1) * 1e6
                    results[impl].append(r)
            c = {key: median_of(results["c"], key) for key in ("calls_per_s", "p50_us", "p99_us")}
            rows = []
            for impl in available:
                keys = ("calls_per_s", "p50_us", "p99_us", "max_us", "server_cpu_us")
                m = {key: median_of(results[impl], key) for key in keys}
                errors = sum(r["errors"] for r in results[impl])
                rows.append(
                    (
                        impl,
                        f"{m['calls_per_s']:,.0f}",
                        f"{m['calls_per_s'] / c['calls_per_s']:.2f}",
                        f"{m['p50_us']:.0f}",
                        f"{m['p99_us']:.0f}",
                        f"{m['p99_us'] / c['p99_us']:.2f}",
                        f"{m['max_us'] / 1000:.1f}",
                        f"{m['server_cpu_us']:.1f}",
                        errors,
                    )
                )
            table(
                f"Service: Echo served, C load generator K={k} W={w}, {seconds:g} s, median of {rounds} rounds",
                ("server", "calls/s", "x C", "p50 us", "p99 us", "p99 x C", "max ms", "server CPU us/call", "errors"),
                rows,
            )
            out[(k, w)] = results
        return out
    finally:
        for s in servers.values():
            s.stop()


def bench_memory(env, calls):
    rows = []
    server = Server("c", env)
    try:
        r = run_json(client_cmd("varquin", server.name, calls, rss=True), env)
        rows.append(("send (client process)", calls, r["rss_before_kb"], r["rss_after_kb"]))
    finally:
        server.stop()
    server = Server("varquin", env)
    try:
        run_json([str(BUILD / "client"), server.name, "1000"], env)  # warm up
        before = rss_kb(server.proc.pid)
        run_json([str(BUILD / "client"), server.name, str(calls)], env)
        rows.append(("served (listen process)", calls, before, rss_kb(server.proc.pid)))
    finally:
        server.stop()
    table(
        "Memory: resident set of the module's process",
        ("calls", "count", "before kB", "after kB", "growth kB"),
        [(name, f"{n:,}", b, a, a - b) for name, n, b, a in rows],
    )


def machine():
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    systemd = subprocess.run(["pkg-config", "--modversion", "libsystemd"], capture_output=True, text=True)
    return (
        f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, "
        f"Python {platform.python_version()}, libsystemd {systemd.stdout.strip()}"
    )


def importable(impl, role):
    """Whether `impl` can play `role` ("client" or "server") here."""
    module = {
        "varquin": "_varquin",
        "dbus-python": "dbus",
        "jeepney": "jeepney",
        "dbus-fast": "dbus_fast",
        "pystemd": "pystemd",
    }[impl]
    probe = f"import {module}"
    if impl == "varquin":
        probe += f"; assert hasattr(_varquin, {'send' if role == 'client' else 'listen'!r})"
    if impl == "dbus-python" and role == "server":
        probe += "; import gi"
    return subprocess.run([sys.executable, "-c", probe], capture_output=True).returncode == 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=5, help="rounds of each load")
    ap.add_argument("--client-rounds", type=int, default=9, help="rounds of sequential calls")
    ap.add_argument("--calls", type=int, default=5000, help="sequential calls per client round")
    ap.add_argument("--seconds", type=float, default=3.0, help="length of each load round")
    ap.add_argument("--memory-calls", type=int, default=50000)
    ap.add_argument("--quick", action="store_true", help="one short round of everything")
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.client_rounds, args.calls, args.seconds, args.memory_calls = 1, 1, 1000, 1.0, 5000
    if shutil.which("dbus-daemon") is None:
        raise SystemExit("dbus-daemon is needed")

    build_c()
    clients = [c for c in CLIENTS if c == "c" or importable(c, "client")]
    servers = [s for s in SERVERS if s == "c" or importable(s, "server")]
    missing = sorted(set(CLIENTS[1:]) - set(clients)) + sorted(f"{s} (server)" for s in set(SERVERS[1:]) - set(servers))
    if missing:
        print(f"not measured (not importable): {', '.join(missing)}")
    print(f"Machine: {machine()}")
    started = time.monotonic()
    bus = PrivateBus()
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
    try:
        bench_client(env, args.client_rounds, args.calls, clients, bus, cpus={0})
        bench_client(env, args.client_rounds, args.calls, clients, bus)
        bench_service(env, args.rounds, args.seconds, servers, [(1, 1), (4, 16)])
        if "varquin" in clients and "varquin" in servers:
            bench_memory(env, args.memory_calls)
    finally:
        bus.stop()
    print(f"\n({time.monotonic() - started:.0f} s in all)")


if __name__ == "__main__":
    main()

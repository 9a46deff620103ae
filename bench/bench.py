"""Benchmarks of the module's bus calls and served methods against a raw
sd-bus baseline in C and the Python bus libraries, all measured in one run.

    client:      sequential Echo calls against the C server (private bus)
    service:     Echo served by each implementation, driven by the C load
                 generator at K connections with W calls in flight each
    asyncio:     64 Echo calls in flight on one connection from each asyncio
                 client to the C server, against the C load generator
    concurrency: Echo answered after 20 ms by the C server, one worker
                 against eight on one connection
    get_all:     Properties.GetAll of a unit's org.freedesktop.systemd1.Unit
                 properties from the real systemd of a throwaway container
    memory:      resident memory and descriptors before and after many calls,
                 of clients and of servers
    journal:     reading a container's journal of 100,000 entries (all, and
                 one unit's) and sending entries, beside python-systemd and
                 journalctl -o json (bench/journal.py)

Rounds are interleaved (A B C A B C ...) and the median of the rounds is
reported, so that drift of a shared machine cancels out.  Every loop is
bounded in count and in time.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from bench.journal import bench_journal
from bench.procfs import fd_count, rss_kb
from testing.container import Container, Unavailable, why_not
from testing.privatebus import PrivateBus
from testing.processes import stop_process

HERE = Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench"
C_PROGRAMS = ("echo_server", "client", "loadgen")
ASYNC_CLIENTS = ("varquin.aio", "aio Bus.proxy", "sdbus async", "sdbus async proxy", "dbus-fast", "dbus-fast proxy")
CLIENTS = (
    "c",
    "send",
    "Bus.call",
    "Bus.proxy",
    "sdbus",
    "sdbus proxy",
    "pystemd",
    "dbus-python",
    "dbus-python proxy",
    "dbus-fast",
    "dbus-fast proxy",
    "jeepney",
)
GET_ALL_CLIENTS = ("c", "Bus.get_all", "sdbus", "pystemd", "dbus-fast", "dbus-python", "jeepney")
SERVERS = ("c", "Bus.export", "listen", "sdbus", "dbus-python", "dbus-fast")
# What each row needs to import (the C rows need nothing).
MODULES = {
    "send": "_varquin",
    "listen": "_varquin",
    "Bus.call": "varquin",
    "Bus.proxy": "varquin",
    "aio Bus.proxy": "varquin.aio",
    "dbus-python proxy": "dbus",
    "dbus-fast proxy": "dbus_fast",
    "Bus.get_all": "varquin",
    "Bus.export": "varquin",
    "varquin.aio": "varquin.aio",
    "sdbus": "sdbus",
    "sdbus proxy": "sdbus",
    "sdbus async": "sdbus",
    "sdbus async proxy": "sdbus",
    "pystemd": "pystemd",
    "dbus-python": "dbus",
    "dbus-fast": "dbus_fast",
    "jeepney": "jeepney",
}
BUS_NAME = "org.varquin.Bench"
SLOW_DELAY_MS = 20
IN_FLIGHT = 64
UNIT = "systemd-journald.service"
UNIT_INTERFACE = "org.freedesktop.systemd1.Unit"
TIMEOUT = 300  # no single measurement may take longer than this
TABLES = ("client", "service", "asyncio", "concurrency", "memory", "get_all", "fleet", "fleet_local", "journal")

Env = dict[str, str]
Result = dict[str, Any]


def build_c() -> None:
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


def on_cpus(cpus: set[int] | None) -> Callable[[], None] | None:
    """A preexec function that confines the child to `cpus` (None: all)."""
    return None if cpus is None else (lambda: os.sched_setaffinity(0, cpus))


def run_json(cmd: Sequence[str], env: Env, cpus: set[int] | None = None) -> Result:
    out = subprocess.run(
        cmd,
        check=False,
        capture_output=True,
        text=True,
        env=env,
        timeout=TIMEOUT,
        preexec_fn=on_cpus(cpus),
    )
    if out.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed:\n{out.stderr[-2000:]}")
    result: Result = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def cpu_s(pid: int) -> float:
    """User plus system CPU time that process `pid` has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Server:
    """One Echo server process owning its own bus name (run by the command
    `wrapper` when given, as valgrind runs what it profiles)."""

    def __init__(
        self,
        impl: str,
        env: Env,
        cpus: set[int] | None = None,
        delay_ms: int = 0,
        wrapper: Sequence[str] = (),
        paced: bool = False,
    ) -> None:
        self.impl = impl
        self.name = f"{BUS_NAME}.{impl.replace('-', '_')}" + (f".slow{delay_ms}" if delay_ms else "")
        if impl == "c":
            cmd = [str(BUILD / "echo_server"), self.name] + ([str(delay_ms)] if delay_ms else [])
            cmd += ["paced"] if delay_ms and paced else []
        elif impl == "mirror":  # the mirror object served by Bus.export
            cmd = [sys.executable, str(HERE / "memory.py"), "--serve", self.name]
        else:
            cmd = [sys.executable, str(HERE / "py_server.py"), impl, self.name]
        self.proc = subprocess.Popen(
            [*wrapper, *cmd],
            stdout=subprocess.PIPE,
            env=env,
            preexec_fn=on_cpus(cpus),  # noqa: PLW1509 (no threads here)
        )
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline().decode().strip()
        if line != "ready":
            self.stop()
            raise RuntimeError(f"the {impl} server did not start")

    def stop(self) -> None:
        stop_process(self.proc)  # type: ignore[no-untyped-call]


def py_client(*args: str) -> list[str]:
    return [sys.executable, str(HERE / "py_client.py"), *args]


def echo_cmd(impl: str, name: str, n: int, rss: bool = False) -> list[str]:
    if impl == "c":
        return [str(BUILD / "client"), name, str(n)]
    return py_client("echo", impl, name, str(n), *(["--rss"] if rss else []))


def median_of(rounds: list[Result], key: str) -> float:
    return float(statistics.median(r[key] for r in rounds))


def table(title: str, header: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows, strict=False)]
    print(f"\n{title}")
    line = "  ".join(h.ljust(w) for h, w in zip(header, widths, strict=True)).rstrip()
    print(line)
    print("-" * len(line))
    for row in rows:
        cells = zip(row, widths, strict=True)
        print("  ".join(str(x).rjust(w) if i else str(x).ljust(w) for i, (x, w) in enumerate(cells)).rstrip())


def sequential_rows(results: dict[str, list[Result]], rows: Sequence[str]) -> list[tuple[str, str, str, str, str]]:
    """calls/s and CPU per call of each row, and both as a ratio to row "c"."""
    for rounds in results.values():
        for r in rounds:
            r["per_s"] = r["calls"] / r["seconds"]
            r["cpu_us"] = r["cpu"] / r["calls"] * 1e6
    c_rate, c_cpu = median_of(results["c"], "per_s"), median_of(results["c"], "cpu_us")
    out = []
    for impl in rows:
        rate, cpu = median_of(results[impl], "per_s"), median_of(results[impl], "cpu_us")
        out.append((impl, f"{rate:,.0f}", f"{rate / c_rate:.2f}", f"{cpu:.1f}", f"{cpu / c_cpu:.2f}"))
    return out


def bench_client(
    env: Env, rounds: int, n: int, available: list[str], bus_pid: int, cpus: set[int] | None = None
) -> None:
    """Sequential calls.  With `cpus` ({0}), the bus daemon, the server and
    the client share one CPU: a round trip then costs the sum of the three
    processes' work, without the wake-up latency between the cores of a
    virtual machine, which otherwise varies more than the clients differ."""
    all_cpus = os.sched_getaffinity(bus_pid)
    if cpus is not None:
        os.sched_setaffinity(bus_pid, cpus)
    server = Server("c", env, cpus)
    try:
        results: dict[str, list[Result]] = {impl: [] for impl in available}
        for _ in range(rounds):
            for impl in available:
                results[impl].append(run_json(echo_cmd(impl, server.name, n), env, cpus))
    finally:
        server.stop()
        os.sched_setaffinity(bus_pid, all_cpus)
    where = "all processes on one CPU" if cpus is not None else "processes on any CPU"
    table(
        f"Client: {n} sequential Echo calls to the C server, {where}, median of {rounds} rounds",
        ("client", "calls/s", "x C", "CPU us/call", "x C"),
        sequential_rows(results, available),
    )


def bench_service(env: Env, rounds: int, seconds: float, available: list[str], loads: list[tuple[int, int]]) -> None:
    servers: dict[str, Server] = {}
    try:
        for impl in available:
            servers[impl] = Server(impl, env)
            # A server that answers with errors would only show as a row of them.
            run_json([str(BUILD / "client"), servers[impl].name, "1"], env)
        for k, w in loads:
            results: dict[str, list[Result]] = {impl: [] for impl in available}
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
    finally:
        for s in servers.values():
            s.stop()


def bench_asyncio(env: Env, rounds: int, n: int, seconds: float, available: list[str]) -> None:
    """IN_FLIGHT Echo calls in flight on one connection to the C server:
    IN_FLIGHT tasks of one asyncio client, each making `n` calls, against
    the C load generator keeping as many in flight for `seconds`."""
    server = Server("c", env)
    try:
        results: dict[str, list[Result]] = {impl: [] for impl in ["c", *available]}
        for _ in range(rounds):
            for impl in results:
                if impl == "c":
                    r = run_json([str(BUILD / "loadgen"), server.name, "1", str(IN_FLIGHT), str(seconds)], env)
                    if r["errors"]:
                        raise RuntimeError(f"the load generator saw {r['errors']} errors")
                    # Its CPU time covers the warm-up too: per call, of all it made.
                    r["cpu"] *= r["calls"] / r["total_calls"]
                else:
                    r = run_json(py_client("concurrent", impl, server.name, str(IN_FLIGHT), str(n)), env)
                results[impl].append(r)
    finally:
        server.stop()
    table(
        f"asyncio: {IN_FLIGHT} Echo calls in flight on one connection to the C server, "
        f"{n} calls per task (C: the load generator, K=1 W={IN_FLIGHT}, {seconds:g} s), median of {rounds} rounds",
        ("client", "calls/s", "x C", "CPU us/call", "x C"),
        sequential_rows(results, list(results)),
    )


def bench_concurrency(env: Env, rounds: int, n: int, seconds: float, available: list[str]) -> None:
    """Calls in flight together on one connection, against a server that
    answers each Echo after SLOW_DELAY_MS without holding back the others:
    one worker against eight.  The C row is the load generator keeping W
    calls in flight on one connection for `seconds`."""
    workers = (1, 8)
    rows_of = [
        ("c", "c (calls in flight)"),
        ("Bus.call", "Bus.call (threads)"),
        ("dbus-fast", "dbus-fast (asyncio tasks)"),
    ]
    rows_of = [(impl, label) for impl, label in rows_of if impl in available]
    server = Server("c", env, delay_ms=SLOW_DELAY_MS)
    try:
        results: dict[tuple[str, int], list[float]] = {(impl, w): [] for impl, _ in rows_of for w in workers}
        for _ in range(rounds):
            for impl, _label in rows_of:
                for w in workers:
                    if impl == "c":
                        r = run_json([str(BUILD / "loadgen"), server.name, "1", str(w), str(seconds)], env)
                        if r["errors"]:
                            raise RuntimeError(f"the load generator saw {r['errors']} errors")
                        results[impl, w].append(r["calls_per_s"])
                    else:
                        r = run_json(py_client("concurrent", impl, server.name, str(w), str(n)), env)
                        results[impl, w].append(r["calls"] / r["seconds"])
    finally:
        server.stop()
    rate = {key: statistics.median(v) for key, v in results.items()}
    rows = []
    for impl, label in rows_of:
        for w in workers:
            rows.append(
                (
                    label,
                    w,
                    f"{rate[impl, w]:,.1f}",
                    f"{rate[impl, w] / rate[impl, 1]:.2f}",
                    f"{rate[impl, w] / rate['c', w]:.2f}",
                )
            )
    table(
        f"Concurrency: Echo answered after {SLOW_DELAY_MS} ms by the C server, one connection, "
        f"{n} calls per worker (C: {seconds:g} s), median of {rounds} rounds",
        ("client", "workers", "calls/s", "x 1 worker", "x C"),
        rows,
    )


def bench_get_all(rounds: int, n: int, available: list[str]) -> None:
    """GetAll of a unit's properties from the container's systemd, each
    reply decoded into Python values (the C client reads every value)."""
    reason = why_not()  # type: ignore[no-untyped-call]
    if reason:
        print(f"\nget_all: not measured: {reason}")
        return
    import varquin

    container = Container()  # type: ignore[no-untyped-call]
    try:
        container.start()  # type: ignore[no-untyped-call]
    except Unavailable as e:
        print(f"\nget_all: not measured: the container did not boot: {e}")
        return
    try:
        address: str = container.bus_address
        dest = "org.freedesktop.systemd1"
        with varquin.Bus(address) as bus:
            (path,) = bus.call(
                dest, "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager", "GetUnit", "s", UNIT
            )
            count = len(bus.get_all(dest, path, UNIT_INTERFACE))
            introspections = [
                (what, bus.call(dest, at, "org.freedesktop.DBus.Introspectable", "Introspect")[0])
                for what, at in (("the manager", "/org/freedesktop/systemd1"), (UNIT, path))
            ]
        parse_introspections(introspections, rounds)
        # sdbus and the C client connect to the system bus only: the variable
        # points theirs at the container.
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        results: dict[str, list[Result]] = {impl: [] for impl in available}
        for _ in range(rounds):
            for impl in available:
                if impl == "c":
                    cmd = [str(BUILD / "client"), "--get-all", dest, path, UNIT_INTERFACE, str(n)]
                else:
                    cmd = py_client("get-all", impl, address, dest, path, UNIT_INTERFACE, str(n))
                results[impl].append(run_json(cmd, env))
    finally:
        container.stop()  # type: ignore[no-untyped-call]
    table(
        f"get_all: {n} sequential GetAll of {UNIT}'s {UNIT_INTERFACE} ({count} properties) "
        f"from the container's systemd, median of {rounds} rounds",
        ("client", "calls/s", "x C", "CPU us/call", "x C"),
        sequential_rows(results, available),
    )


def parse_introspections(introspections: list[tuple[str, str]], rounds: int) -> None:
    """What a proxy's introspection costs once per object: parsing the XML
    (the cache of parsed texts is bypassed), median of `rounds` x 20 parses."""
    from varquin.proxy import parse_introspection

    rows = []
    for what, xml in introspections:
        times = []
        for _ in range(max(rounds, 1) * 20):
            t0 = time.perf_counter()
            node = parse_introspection(xml)
            times.append(time.perf_counter() - t0)
        members = sum(len(i.methods) + len(i.properties) + len(i.signals) for i in node.interfaces)
        rows.append((what, f"{len(xml):,}", len(node.interfaces), members, f"{statistics.median(times) * 1e6:,.0f}"))
    table(
        "introspection: parsing the XML a proxy is made from, once per object (median)",
        ("object", "bytes", "interfaces", "members", "us"),
        rows,
    )


def local_cpu_s() -> float:
    """User plus system CPU time of this process and its reaped children."""
    import resource

    own, kids = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + kids.ru_utime + kids.ru_stime


def bench_fleet(rounds: int, hosts_count: int = 8) -> None:
    """varquin.fleet.run of the same status over 1 host and over 8, each host
    a throwaway container reached over SSH (testing/remote.py), each run
    opening its connections anew: once with a connection of ssh's own per
    session, once with ssh sharing one connection per host (ControlMaster)."""
    from testing.remote import RemoteHosts
    from testing.remote import why_not as remote_why_not

    reason = remote_why_not()
    if reason:
        print(f"\nfleet: not measured: {reason}")
        return
    from varquin import fleet

    def status(m: Any) -> Any:
        return m.unit("basic.target").status

    hosts = RemoteHosts(hosts_count)
    try:
        hosts.start()
    except Unavailable as e:
        print(f"\nfleet: not measured: the hosts did not boot: {e}")
        hosts.stop()
        return
    rows = []
    try:
        with hosts.use():
            for shared in (False, True):
                hosts.share_connections(shared)
                fleet.run(hosts.remotes, status, timeout=60)  # warm-up (and, shared, the connections)
                times: dict[int, list[float]] = {1: [], hosts_count: []}
                local: dict[int, list[float]] = {1: [], hosts_count: []}
                for _ in range(rounds):
                    for n in times:
                        began, cpu = time.monotonic(), local_cpu_s()
                        results = fleet.run(hosts.remotes[:n], status, timeout=60)
                        times[n].append(time.monotonic() - began)
                        local[n].append(local_cpu_s() - cpu)
                        failed = [f"{h}: {r.error}" for h, r in results.items() if not r.ok]
                        if failed:
                            raise RuntimeError(f"fleet: hosts failed: {failed}")
                one, many = statistics.median(times[1]), statistics.median(times[hosts_count])
                cpu_one, cpu_many = statistics.median(local[1]), statistics.median(local[hosts_count])
                label = "one per host, shared (ControlMaster)" if shared else "one per session"
                rows.append(
                    (label, f"{one:.3f}", f"{many:.3f}", f"{many / one:.2f}", f"{cpu_one:.3f}", f"{cpu_many:.3f}")
                )
    finally:
        hosts.stop()
    table(
        f"fleet: status of basic.target through fleet.run over SSH, 1 and {hosts_count} hosts, "
        f"new buses each run, median of {rounds} rounds",
        ("ssh connections", "1 host s", f"{hosts_count} hosts s", f"{hosts_count} / 1", "local CPU s", "local CPU s"),
        rows,
    )
    print(
        "(local CPU: this process and its ssh clients, for 1 and for "
        f"{hosts_count} hosts; the hosts' sshd, bridges and buses run on the same CPUs here)"
    )


def bench_fleet_local(rounds: int, counts: Sequence[int] = (1, 64, 256), buses: int = 4) -> None:
    """varquin.fleet.run over 1, 64 and 256 hosts given as D-Bus addresses
    of private buses (no SSH: the library's own cost per host): each host a
    link of its own to one of `buses` private buses, each run opening its
    connections anew and making one call per host.  The client's CPU is this
    process's (all its threads), not the buses'."""
    import tempfile

    from varquin import fleet

    def get_id(m: Any) -> Any:
        return m.bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId")

    started = [PrivateBus() for _ in range(buses)]  # type: ignore[no-untyped-call]
    rows = []
    try:
        with tempfile.TemporaryDirectory(prefix="vq-fleet-") as folder:
            hosts = []
            for i in range(max(counts)):
                link = Path(folder) / f"h{i}"
                link.symlink_to(started[i % buses].socket)
                hosts.append(f"unix:path={link}")
            fleet.run(hosts, get_id, timeout=60)  # warm-up
            for n in counts:
                walls, cpus = [], []
                for _ in range(rounds):
                    began, cpu = time.monotonic(), local_cpu_s()
                    results = fleet.run(hosts[:n], get_id, timeout=60)
                    walls.append(time.monotonic() - began)
                    cpus.append(local_cpu_s() - cpu)
                    failed = [f"{h}: {r.error}" for h, r in results.items() if not r.ok]
                    if failed:
                        raise RuntimeError(f"fleet_local: hosts failed: {failed[:3]}")
                wall, cpu = statistics.median(walls), statistics.median(cpus)
                rows.append(
                    (n, min(n, fleet.MAX_WORKERS), f"{wall * 1000:.1f}", f"{cpu * 1000:.1f}", f"{cpu / n * 1000:.2f}")
                )
    finally:
        for bus in started:
            bus.stop()  # type: ignore[no-untyped-call]
    table(
        f"fleet_local: fleet.run of one GetId per host, hosts as D-Bus addresses of {buses} private buses, "
        f"new connections each run, median of {rounds} rounds",
        ("hosts", "threads", "wall ms", "client CPU ms", "client CPU ms/host"),
        rows,
    )


def bench_memory(env: Env, calls: int, warmup: int, clients: list[str], servers: list[str]) -> None:
    rows: list[tuple[str, int, int, int, object, object]] = []
    server = Server("c", env)
    try:
        if "send" in clients:
            r = run_json(echo_cmd("send", server.name, calls, rss=True), env)
            rows.append(("send, Echo (client)", calls, r["rss_before_kb"], r["rss_after_kb"], "", ""))
        if "Bus.call" in clients:
            for mode, label in (
                ("mixed", "Bus.call, every type (client)"),
                ("failing", "Bus.call, error replies (client)"),
            ):
                cmd = [sys.executable, str(HERE / "memory.py"), server.name, mode, str(calls), str(warmup)]
                r = run_json(cmd, env)
                rows.append((label, calls, r["rss_before_kb"], r["rss_after_kb"], r["fds_before"], r["fds_after"]))
    finally:
        server.stop()
    if "listen" in servers:
        server = Server("listen", env)
        try:
            run_json([str(BUILD / "client"), server.name, str(warmup)], env)
            before = rss_kb(server.proc.pid)
            run_json([str(BUILD / "client"), server.name, str(calls)], env)
            rows.append(("listen, Echo (server)", calls, before, rss_kb(server.proc.pid), "", ""))
        finally:
            server.stop()
    if "Bus.export" in servers:
        # Bus.call drives the served mirror with every type and its failures.
        server = Server("mirror", env)
        try:
            pid = server.proc.pid
            run_json([sys.executable, str(HERE / "memory.py"), server.name, "served", str(warmup), "0"], env)
            before, fds_before = rss_kb(pid), fd_count(pid)
            run_json([sys.executable, str(HERE / "memory.py"), server.name, "served", str(calls), "0"], env)
            label = "Bus.export, every type and errors (server)"
            rows.append((label, calls, before, rss_kb(pid), fds_before, fd_count(pid)))
        finally:
            server.stop()
    table(
        "Memory: resident set of the module's process before and after the calls",
        ("calls", "count", "before kB", "after kB", "growth kB", "fds before", "fds after"),
        [(name, f"{n:,}", b, a, a - b, fb, fa) for name, n, b, a, fb, fa in rows],
    )


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    systemd = subprocess.run(["pkg-config", "--modversion", "libsystemd"], check=False, capture_output=True, text=True)
    return (
        f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}, "
        f"Python {platform.python_version()}, libsystemd {systemd.stdout.strip()}"
    )


def importable(impl: str) -> bool:
    """Whether the row `impl` can be measured here."""
    if impl == "c":
        return True
    probe = f"import {MODULES[impl]}"
    if impl == "dbus-python":
        probe += "; import gi"  # its server runs the GLib loop
    return subprocess.run([sys.executable, "-c", probe], check=False, capture_output=True).returncode == 0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=5, help="rounds of each load, concurrency and get_all")
    ap.add_argument("--client-rounds", type=int, default=9, help="rounds of sequential calls")
    ap.add_argument("--calls", type=int, default=5000, help="sequential calls per client round")
    ap.add_argument("--seconds", type=float, default=3.0, help="length of each load round")
    ap.add_argument("--slow-calls", type=int, default=50, help="calls per worker in each concurrency round")
    ap.add_argument(
        "--task-calls", type=int, default=500, help=f"calls per task in each asyncio round ({IN_FLIGHT} tasks)"
    )
    ap.add_argument("--get-all-calls", type=int, default=1000, help="GetAll calls per get_all round")
    ap.add_argument("--memory-calls", type=int, default=100_000)
    ap.add_argument("--quick", action="store_true", help="one short round of everything")
    ap.add_argument("--only", default=",".join(TABLES), help=f"the tables to measure, of {','.join(TABLES)}")
    args = ap.parse_args()
    only = set(args.only.split(","))
    if not only <= set(TABLES):
        ap.error(f"--only takes some of {','.join(TABLES)}")
    if args.quick:
        args.rounds, args.client_rounds, args.calls, args.seconds = 1, 1, 1000, 1.0
        args.slow_calls, args.get_all_calls, args.memory_calls, args.task_calls = 10, 200, 5000, 50
    if shutil.which("dbus-daemon") is None:
        raise SystemExit("dbus-daemon is needed")

    build_c()
    usable = {impl: importable(impl) for impl in MODULES}
    usable["c"] = True
    missing = sorted(impl for impl, ok in usable.items() if not ok)
    if missing:
        print(f"not measured (not importable): {', '.join(missing)}")
    clients = [c for c in CLIENTS if usable[c]]
    servers = [s for s in SERVERS if usable[s]]
    print(f"Machine: {machine()}")
    # Other work on the machine shows in the rates (less in CPU per call).
    print("Load average (1, 5, 15 min) at the start: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    started = time.monotonic()
    bus = PrivateBus()  # type: ignore[no-untyped-call]
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
    try:
        daemon = bus.proc
        assert daemon is not None
        if "client" in only:
            bench_client(env, args.client_rounds, args.calls, clients, daemon.pid, cpus={0})
            bench_client(env, args.client_rounds, args.calls, clients, daemon.pid)
        if "service" in only:
            bench_service(env, args.rounds, args.seconds, servers, [(1, 1), (4, 16)])
        if "asyncio" in only:
            bench_asyncio(env, args.rounds, args.task_calls, args.seconds, [c for c in ASYNC_CLIENTS if usable[c]])
        if "concurrency" in only:
            bench_concurrency(env, args.rounds, args.slow_calls, args.seconds / 3, clients)
        if "memory" in only:
            bench_memory(env, args.memory_calls, max(args.memory_calls // 10, 1000), clients, servers)
    finally:
        bus.stop()  # type: ignore[no-untyped-call]
    if "get_all" in only:
        bench_get_all(args.rounds, args.get_all_calls, [c for c in GET_ALL_CLIENTS if usable[c]])
    if "fleet_local" in only:
        bench_fleet_local(args.rounds)
    if "fleet" in only:
        bench_fleet(args.rounds)
    if "journal" in only:
        # Reading 100,000 entries, and sending, beside python-systemd (run by
        # the system python, with Debian's python3-systemd).
        bench_journal(args.rounds, 20_000 if args.quick else 100_000, 2_000 if args.quick else 20_000)
    print("\nLoad average (1, 5, 15 min) at the end: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    print(f"({time.monotonic() - started:.0f} s in all)")


if __name__ == "__main__":
    main()

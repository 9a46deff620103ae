"""Typed code using the varquin package as a user writes it, checked with
`mypy --strict` against the installed package; never run (it would reach a
system bus).  The lines marked `type: ignore[...]` are misuses the types must
reject (an ignore that suppresses nothing fails --strict)."""

import asyncio
import socket
from datetime import timedelta

import varquin
import varquin.aio
import varquin.aio.daemon
from varquin import daemon, fleet, host, systemd


class Greeter(varquin.Interface, name="org.example.Greeter"):
    @varquin.method("s", "s")
    def Hello(self, name: str) -> str:
        return "hello " + name

    @varquin.property("u")
    def Count(self) -> int:
        return 1

    Changed = varquin.signal("su")


def client() -> str:
    with varquin.Bus.system(timeout=5) as bus:
        (owner,) = bus.call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner", "s", "x"
        )
        props = bus.get_all("org.freedesktop.systemd1", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager")
        bus.set_property("a.b", "/", "a.b", "P", "a{sv}", {"k": varquin.Variant("s", "v")})
        with bus.subscribe(member="JobRemoved") as sub:
            sig: varquin.Signal = sub.get(timeout=1.0)
            print(sig.args, props)
        try:
            bus.call("a.b", "/", None, "M", timeout="soon")  # type: ignore[arg-type]
        except varquin.NoSuchUnit as e:
            print(e.name, e.message)
        handle: varquin.Export = bus.export("/greeter", Greeter())
        bus.request_name("org.example.Greeter")
        handle.close()
        return str(owner) + bus.unique_name


async def aio_client() -> None:
    async with await varquin.aio.Bus.system() as bus:
        values: tuple[object, ...] = await bus.call("a.b", "/", "a.b", "M", "s", "x")
        async for sig in bus.subscribe(member="X"):
            print(sig.member, values)
        bus.export(1, Greeter())  # type: ignore[arg-type]


def operate() -> None:
    with systemd.Manager() as m:
        changes: list[systemd.Change] = m.enable("nginx.service", runtime=True)
        print([c.type for c in changes])
        try:
            job = m.start("nginx.service", wait=True, timeout=30)
            print(job.path, job.wait(timeout=1.0))
        except systemd.JobFailed as e:
            print(e.result, e.unit)
        status: systemd.UnitStatus = m.unit("nginx.service").status
        units: list[systemd.UnitInfo] = m.list_units(patterns=("*.service",))
        print(status.active, [u.name for u in units])
        m.start(3)  # type: ignore[arg-type]
        ran: systemd.RunResult = m.run(["/bin/true"], wait=True, timeout=10, properties={"User": "nobody"})
        later: systemd.Run = m.run(["/bin/true"], collect=True)
        reached: systemd.UnitStatus = m.unit("x.service").wait_for(active="active", timeout=5)
        details: systemd.UnitDetails = m.unit("x.service").details()
        print(ran.exit_status, later.wait(5).memory_peak, reached.sub, details.main_pid)
        m.kill("x.service", whom=3)  # type: ignore[arg-type]
    host.set_hostname(static="web1", pretty=None)
    print(host.hostname())
    results: dict[str, fleet.Result[str]] = fleet.run(["root@web1"], lambda m: m.unit("x.service").status.active)
    for name, r in results.items():
        print(name, r.value, r.error)


def service() -> None:
    web: list[socket.socket] = daemon.listen_fds().get("web", [])
    kept: dict[str, list[socket.socket | int]] = daemon.stored_fds()
    sent: bool = daemon.notify(ready=True, status="serving", fdstore={"conn": [web[0], 5]})
    daemon.notify(extend_timeout=timedelta(seconds=30), fdstore_remove="conn")
    daemon.notify(status=3)  # type: ignore[arg-type]
    daemon.notify(fdstore={"conn": ["x"]})  # type: ignore[list-item]
    with daemon.watchdog() as period:
        timeout: timedelta | None = period
        print(sent, kept, timeout)


async def aio_service() -> None:
    async with varquin.aio.daemon.watchdog() as period:
        print(period)


asyncio.run(aio_client())

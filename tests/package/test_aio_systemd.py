"""varquin.aio.systemd against the substitute manager on the private bus:
the blocking Manager's results, awaited on one event loop with no thread
of its own."""

import asyncio
import threading

import pytest

import varquin
from testing.env import child_env
from testing.peers.peerlib import PeerProcess
from varquin import aio, systemd
from varquin.aio import systemd as asystemd

PLAIN = "vq-plain.service"


@pytest.fixture(scope="module")
def services(system_bus):
    peer = PeerProcess("systemd_services.py", "org.freedesktop.systemd1", env=child_env())
    yield peer
    peer.stop()


@pytest.fixture
def svc(services):
    services.reset()
    return services


def run(body):
    async def main():
        async with await aio.Bus.system() as abus:
            async with asystemd.Manager(abus) as m:
                threads = threading.active_count()
                result = await body(m)
                assert threading.active_count() == threads  # no thread per call or wait
                return result

    return asyncio.run(main())


def test_jobs_runs_and_unit_files_awaited(svc):
    async def body(m):
        job = await m.start(PLAIN, wait=True, timeout=10)
        assert (job.result, job.unit) == ("done", PLAIN)
        # Several jobs waited for at once on one subscription.
        jobs = [await m.restart(PLAIN), await m.stop(PLAIN), await m.reload_or_restart(PLAIN)]
        assert await asyncio.gather(*(j.wait(10) for j in jobs)) == ["done"] * 3
        r = await m.run(["/bin/sh", "-c", "exit 0"], wait=True, timeout=10)
        assert (r.result, r.exit_code, r.exit_status, r.journal) == ("success", "exited", 0, [])
        assert (await m.run(["/bin/true"])).unit.startswith("run-u")
        assert await m.enable(PLAIN) == [
            systemd.Change(
                "symlink", f"/etc/systemd/system/multi-user.target.wants/{PLAIN}", f"/lib/systemd/system/{PLAIN}"
            )
        ]
        assert await m.is_enabled(PLAIN) == "enabled"
        with pytest.raises(varquin.NoSuchUnit):
            await m.start("vq-nosuch.service")
        with pytest.raises(ValueError, match="root="):
            await m.unit(PLAIN).journal()

    run(body)
    assert [c["member"] for c in svc.calls() if c["member"] in ("Subscribe", "EnableUnitFiles", "Reload")] == [
        "Subscribe",
        "EnableUnitFiles",
        "Reload",
    ]


def test_states_watched_and_waited_for(svc):
    async def body(m):
        unit = m.unit(PLAIN)
        assert await unit.status() == ("loaded", "inactive", "dead")
        seen = []

        async def watch():
            async with unit.watch(timeout=30) as w:
                async for st in w:
                    seen.append(st)
                    if len(seen) == 3:
                        w.close()

        watcher = asyncio.create_task(watch())
        waiter = asyncio.create_task(unit.wait_for(active="active", timeout=30))
        async with asyncio.timeout(10):  # both watches past their first state: their matches are in place
            while len(m._watches) < 2 or any(w.last is None for w in m._watches):
                await asyncio.sleep(0)
        await m.start(PLAIN)
        await m.stop(PLAIN)
        await asyncio.wait_for(watcher, 30)
        assert await waiter == ("loaded", "active", "running")
        assert seen == [("loaded", "inactive", "dead"), ("loaded", "active", "running"), ("loaded", "inactive", "dead")]
        with pytest.raises(TimeoutError, match="last seen"):
            await unit.wait_for(active="active", timeout=0.2)
        assert (await unit.details()).id == PLAIN

        svc.behave("vq.hold_jobs", hold=True)
        held = await m.start(PLAIN)
        pending = asyncio.create_task(held.wait())
        async with asyncio.timeout(10):
            while not m._watch._reading:
                await asyncio.sleep(0)
        m.close()  # ends its waiters
        with pytest.raises(ValueError, match="the manager is closed"):
            await pending

    run(body)

"""varquin.aio.systemd, awaited on one event loop with no thread of its
own: against the substitute manager on the private bus (the calls sent and
the blocking Manager's results), and against the real manager in the
throwaway container (exit statuses, a failed job's journal, states waited
for and watched through a restart)."""

import asyncio
import inspect
import threading
from datetime import UTC

import pytest

import varquin
from varquin import aio, systemd
from varquin.aio import systemd as asystemd

PLAIN = "vq-plain.service"


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
        assert (r.result, r.exit_code, r.exit_status, r.journal) == ("success", "exited", 0, None)
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
            while not m.jobs.reading:
                await asyncio.sleep(0)
        m.close()  # ends its waiters
        with pytest.raises(ValueError, match="the manager is closed"):
            await pending

    run(body)


def test_a_change_queued_beside_a_snapshot_is_not_lost(svc):
    """The event loop's driver reads on past a snapshot's reply: a change
    made just after the snapshot is queued with the older ones before the
    snapshot's reader resumes, and must not be dropped with them."""

    async def body(m):
        real_get_all = m.bus.get_all
        started = []

        async def get_all_then_start(*args, **kwargs):
            props = await real_get_all(*args, **kwargs)
            if not started:  # the unit starts once its first snapshot has been read
                started.append(
                    await m.bus.call(
                        systemd.SERVICE,
                        "/org/freedesktop/systemd1",
                        systemd.MANAGER_INTERFACE,
                        "StartUnit",
                        "ss",
                        PLAIN,
                        "replace",
                    )
                )
            return props

        m.bus.get_all = get_all_then_start
        assert await m.unit(PLAIN).wait_for(active="active", timeout=5) == ("loaded", "active", "running")
        assert started

    run(body)


# -- the real manager, in the throwaway container of each systemd root ----------------

API = "vq-api.service"


def on_container(container, body):
    """Runs ``body(manager)`` on an asyncio Manager of the container's
    manager, whose journal is read through the container's root."""

    async def main():
        async with await aio.Bus.connect(container.bus_address, timeout=30) as abus:
            async with asystemd.Manager(abus, root=f"/proc/{container.init[0]}/root") as m:
                threads = threading.active_count()
                result = await body(m)
                assert threading.active_count() == threads
                return result

    return asyncio.run(main())


@pytest.mark.parametrize(
    "script,ended",
    [
        ("echo ran", ("success", "exited", 0)),
        ("echo ran; exit 7", ("exit-code", "exited", 7)),
        ("echo ran; kill -9 $$", ("signal", "killed", 9)),
    ],
    ids=["0", "7", "SIGKILL"],
)
def test_a_run_awaited_reports_its_exit_and_its_lines(real_systemd, script, ended):
    async def body(m):
        r = await m.run(["/bin/sh", "-c", script], wait=True, timeout=30, collect=True)
        assert (r.result, r.exit_code, r.exit_status) == ended
        assert r.started.tzinfo is UTC and r.started <= r.finished and len(r.invocation_id) == 32
        assert "ran" in [e.message for e in r.journal if e.pid != 1]
        # Read once the manager's line on how it ended is in.
        last_word = [
            e
            for e in r.journal
            if e.pid == 1 and ("UNIT_RESULT" in e.fields or "Deactivated successfully" in e.message)
        ]
        assert last_word and last_word[-1].fields.get("UNIT_RESULT", "success") == r.result
        assert (await m.unit(r.unit).status()).load == "not-found"  # collected once read

    on_container(real_systemd, body)


def test_a_failed_job_awaited_carries_the_units_last_lines(real_systemd):
    # A unit that never logged before: when its job ends, journald may not
    # have written any of its lines yet.
    unit = "vq-api-fail-first.service"

    async def body(m):
        with pytest.raises(systemd.JobFailed) as caught:
            await m.start(unit, wait=True, timeout=30)
        assert (caught.value.result, caught.value.unit) == ("failed", unit)
        lines = caught.value.journal
        assert 0 < len(lines) <= 10
        # The manager's line on this very job's end is among them: read once settled.
        job = caught.value.job.rpartition("/")[2]
        assert any(
            e.pid == 1 and e.fields.get("JOB_ID") == job and e.fields.get("JOB_RESULT") == "failed" for e in lines
        )
        await m.reset_failed(unit)

    on_container(real_systemd, body)


def test_watch_awaited_follows_a_restart_and_wait_for_reaches_a_state(real_systemd):
    running = ("loaded", "active", "running")

    async def body(m):
        unit = m.unit(API)
        await m.stop(API, wait=True, timeout=30)
        async with unit.watch(timeout=120) as watch:
            seen = [await anext(watch)]  # the current state, read after the match was made
            await m.start(API, wait=True, timeout=30)
            await m.restart(API, wait=True, timeout=30)
            async for status in watch:  # the changes queued meanwhile, in order
                seen.append(status)
                if seen.count(running) == 2:
                    break
        assert seen[0] == ("loaded", "inactive", "dead") and seen[1] == running
        assert "deactivating" in [s.active for s in seen[1 : seen.index(running, 2)]]
        assert all(a != b for a, b in zip(seen, seen[1:], strict=False))  # one item per change

        await m.stop(API)
        assert await unit.wait_for(active="inactive", sub="dead", timeout=30) == ("loaded", "inactive", "dead")
        with pytest.raises(TimeoutError, match=r"last seen UnitStatus\(load='loaded', active='inactive', sub='dead'\)"):
            await unit.wait_for(active="active", timeout=0.2)

    on_container(real_systemd, body)


def test_watch_awaited_goes_on_across_the_unloading_of_its_unit(real_systemd):
    brief, starting, dead = "vq-api-brief.service", ("loaded", "activating", "start"), ("loaded", "inactive", "dead")

    async def body(m):
        async with m.bus.subscribe(sender=systemd.SERVICE, member="UnitRemoved") as removed:
            async with m.unit(brief).watch(timeout=60) as watch:
                seen = [await anext(watch)]
                await m.start(brief, wait=True, timeout=30)
                # Ended and referenced by nothing: the manager unloads it, and
                # loads it again for the next start.
                while (await removed.get(30)).args[0] != brief:
                    pass
                await m.start(brief, wait=True, timeout=30)
                async for status in watch:
                    seen.append(status)
                    if seen.count(starting) == 2 and status == dead:
                        break
        assert seen.count(starting) == 2 and seen[-1] == dead

    on_container(real_systemd, body)


@pytest.mark.parametrize(
    ("blocking", "awaited"),
    [
        (systemd.Manager, asystemd.Manager),
        (systemd.Unit, asystemd.Unit),
        (systemd.Job, asystemd.Job),
        (systemd.Run, asystemd.Run),
    ],
    ids=["Manager", "Unit", "Job", "Run"],
)
def test_both_worlds_expose_the_same_methods_signatures_and_docstrings(blocking, awaited):
    def public(cls):
        return {name for name in dir(cls) if not name.startswith("_")}

    assert public(blocking) == public(awaited)
    for name in sorted(public(blocking)):
        mine, theirs = inspect.getattr_static(blocking, name), inspect.getattr_static(awaited, name)
        assert inspect.getdoc(mine) == inspect.getdoc(theirs), name
        if isinstance(mine, property) and not isinstance(theirs, property):
            # Unit.status: a property here, a coroutine there (an await cannot be an attribute).
            assert inspect.iscoroutinefunction(theirs) and not set(inspect.signature(theirs).parameters) - {"self"}
            mine = mine.fget
        if callable(mine) and name not in ("bus", "root"):
            assert inspect.signature(mine) == inspect.signature(theirs), name

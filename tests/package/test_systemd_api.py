"""varquin.systemd against the real manager in the throwaway container:
unit files, jobs waited for, status and properties, errors.  The tests use
units of their own (vq-api*.service) so that other tests' units keep their
state."""

import asyncio
import os
import signal
import threading
from datetime import UTC, timedelta

import pytest

import varquin
import varquin.aio
from testing.container import inside
from testing.env import child_env, wait_for
from varquin import systemd
from varquin.aio import systemd as asystemd
from varquin.systemd._state import STATES

API, ALIAS = "vq-api.service", "vq-api-alias.service"
WANTS = "/etc/systemd/system/multi-user.target.wants"


@pytest.fixture
def manager(real_systemd):
    with varquin.Bus(real_systemd.bus_address) as bus:
        m = systemd.Manager(bus)
        yield m
        m.close()


def link(container, path):
    return os.readlink(container.path(path)) if container.path(path).is_symlink() else None


def test_unit_file_calls_return_every_change(manager, real_systemd):
    made = manager.enable(API)
    assert {c.path for c in made} == {f"/etc/systemd/system/{ALIAS}", f"{WANTS}/{API}"}
    for c in made:  # each change is what the container now holds
        assert c.type == "symlink" and c.source.endswith(f"/systemd/system/{API}")
        assert link(real_systemd, c.path) == c.source
    assert manager.enable(API) == []
    removed = manager.disable(API)
    assert sorted(removed) == sorted(systemd.Change("unlink", c.path, "") for c in made)
    assert all(link(real_systemd, c.path) is None for c in removed)

    # A change reloads the manager, as systemctl does: the mask holds at once.
    masked = f"/etc/systemd/system/{API}"
    assert manager.mask(API) == [systemd.Change("symlink", masked, "/dev/null")]
    try:
        assert manager.unit(API).status.load == "masked"
        for refused in (manager.enable, manager.restart):
            with pytest.raises(varquin.BusError) as caught:
                refused(API)
            assert caught.value.name == "org.freedesktop.systemd1.UnitMasked" and API in caught.value.message
    finally:
        assert manager.unmask(API) == [systemd.Change("unlink", masked, "")]
    assert manager.unit(API).status.load == "loaded"


@pytest.mark.parametrize("call", ["enable", "disable", "start"])
def test_a_unit_that_does_not_exist_raises_no_such_unit(manager, call):
    with pytest.raises(varquin.NoSuchUnit) as caught:
        getattr(manager, call)("vq-nosuch.service")
    assert "vq-nosuch.service" in caught.value.message  # the manager's own text


def test_start_and_wait_returns_the_job_or_raises_job_failed(manager):
    job = manager.start(API, wait=True, timeout=30)
    assert job.result == "done" and job.unit == API and job.path.startswith("/org/freedesktop/systemd1/job/")
    assert manager.unit(API).status == ("loaded", "active", "running")
    assert manager.stop(API, wait=True, timeout=30).result == "done"

    with pytest.raises(systemd.JobFailed) as caught:
        manager.start("vq-api-fail.service", wait=True, timeout=30)
    assert (caught.value.result, caught.value.unit) == ("failed", "vq-api-fail.service")
    assert manager.unit("vq-api-fail.service").status.active == "failed"


def test_a_job_that_ended_before_anyone_waited_is_still_seen(manager):
    job = manager.start("vq-api-quick.service")
    job_id = int(job.path.rsplit("/", 1)[1])

    def gone():
        try:
            manager.bus.call(
                systemd.SERVICE, "/org/freedesktop/systemd1", systemd.MANAGER_INTERFACE, "GetJob", "u", job_id
            )
            return False
        except varquin.BusError as e:
            return e.name == "org.freedesktop.systemd1.NoSuchJob"

    assert wait_for(gone)
    assert job.wait(timeout=10) == "done"


def test_a_job_stays_waitable_after_a_timeout_and_resolves_for_every_thread(manager):
    job = manager.start("vq-api-hang.service")  # a start that never finishes by itself
    with pytest.raises(TimeoutError):
        job.wait(timeout=0.2)
    results = []
    threads = [threading.Thread(target=lambda: results.append(job.wait(timeout=30))) for _ in range(4)]
    for t in threads:
        t.start()
    assert wait_for(lambda: manager.unit("vq-api-hang.service").status.active == "activating")
    manager.stop("vq-api-hang.service", wait=True, timeout=30)  # cancels the start job
    for t in threads:
        t.join()
    assert results == ["canceled"] * 4


def test_status_properties_and_listing(manager):
    assert manager.unit("vq-nosuch.service").status == ("not-found", "inactive", "dead")
    manager.start(API, wait=True, timeout=30)
    try:
        unit = manager.unit(API)
        props = unit.properties()
        assert (props["Id"], props["Names"], props["CanStart"]) == (API, [API], True)
        assert isinstance(props["ActiveEnterTimestamp"], int) and props["ActiveEnterTimestamp"] > 0
        service = unit.properties(interface="org.freedesktop.systemd1.Service")
        assert isinstance(service["MainPID"], int) and service["MainPID"] > 0
        listed = manager.list_units(patterns=("vq-api*",))
        assert systemd.UnitInfo(API, "varquin API test unit", "loaded", "active", "running", unit.path) in listed
        assert all(u.name.startswith("vq-api") for u in listed)
        assert manager.list_units(patterns=("vq-api*",), states=("running",)) == [
            listed[[u.name for u in listed].index(API)]
        ]
    finally:
        manager.stop(API, wait=True, timeout=30)


def test_a_manager_of_its_own_uses_the_system_bus_and_closes_it(real_systemd):
    with systemd.Manager() as m:  # DBUS_SYSTEM_BUS_ADDRESS points at the container
        assert m.unit("basic.target").status.active == "active"
    assert m.bus.closed
    with pytest.raises(ValueError):
        m.unit("basic.target").properties()


@pytest.mark.parametrize(
    "name,label",
    [
        ("", "_"),
        ("1x.service", "_31x_2eservice"),
        ("getty@tty1.service", "getty_40tty1_2eservice"),
        ("\u00c4_-.service", "_c3_84_5f_2d_2eservice"),
    ],
)
def test_unit_object_paths_escape_every_byte_but_letters_and_inner_digits(name, label):
    assert systemd.unit_path(name) == "/org/freedesktop/systemd1/unit/" + label


def test_list_units_filters_itself_on_a_manager_without_list_units_by_patterns(system_bus):
    from testing.peers.peerlib import PeerProcess

    peer = PeerProcess("systemd_services.py", "org.freedesktop.systemd1", env=child_env())
    try:
        unit = ["Description", "loaded", "active", "running", "", "/o", 0, "", "/"]
        listed = [["a.service", *unit], ["b.socket", *unit], ["c.service", *unit[:2], "inactive", "dead", *unit[4:]]]
        peer.behave("ListUnits", reply=["a(ssssssouso)", [listed]])
        with systemd.Manager() as m:
            found = m.list_units(patterns=("*.service",), states=("running",))
        assert found == [systemd.UnitInfo("a.service", "Description", "loaded", "active", "running", "/o")]
        assert [c["member"] for c in peer.calls()] == ["ListUnitsByPatterns", "ListUnits"]

        async def awaited():
            async with await varquin.aio.Bus.system() as abus:
                return await asystemd.Manager(abus).list_units(patterns=("*.service",), states=("running",))

        assert asyncio.run(awaited()) == found
    finally:
        peer.stop()


def cgroup_controllers(container):
    """The controllers of the container's own cgroup2 hierarchy (empty on a
    legacy layout, where the file does not exist)."""
    path = f"/proc/{container.init[0]}/root/sys/fs/cgroup/cgroup.controllers"
    return open(path).read().split() if os.path.exists(path) else []


@pytest.mark.parametrize(
    "argv,ended",
    [
        (["/bin/true"], ("success", "exited", 0)),
        (["/bin/sh", "-c", "echo ran; exit 7"], ("exit-code", "exited", 7)),
        (["/bin/sh", "-c", "kill -9 $$"], ("signal", "killed", 9)),  # $$ reaches the shell as written
        (["/bin/sh", "-c", "kill -TERM $$"], ("success", "killed", 15)),  # systemd's clean signals
    ],
    ids=["0", "7", "SIGKILL", "SIGTERM"],
)
def test_run_waits_for_the_exit_and_reports_it(manager, real_systemd, systemd_root, argv, ended):
    r = manager.run(argv, wait=True, timeout=30, collect=True, properties={"User": "nobody"})
    assert (r.result, r.exit_code, r.exit_status) == ended
    assert r.started.tzinfo is UTC and r.started <= r.finished and len(r.invocation_id) == 32
    # A peak only where the manager has one: from systemd 256 on, with a memory controller.
    has_peak = (systemd_root.version or 0) >= 256 and "memory" in cgroup_controllers(real_systemd)
    assert (r.memory_peak is not None) == has_peak
    assert manager.unit(r.unit).status.load == "not-found"  # collected once read


def test_every_property_of_the_table_reaches_the_manager_as_given(manager, real_systemd, systemd_root):
    """A wrong D-Bus type in PROPERTY_TYPES is refused by the manager (or
    read back otherwise): each name is sent, and read back from the unit."""
    out = "/run/vq-run-table.out"
    given = {
        "Description": "varquin run table",
        "Environment": ["A=1", "B=two words"],
        "WorkingDirectory": "/tmp",
        "User": "nobody",
        "Group": "nogroup",
        "SupplementaryGroups": ["nogroup"],
        "Nice": 5,
        "UMask": 0o027,
        "Type": "oneshot",
        "RemainAfterExit": True,
        "Restart": "no",
        "RestartUSec": timedelta(seconds=2),
        "TimeoutStartUSec": timedelta(seconds=50),
        "TimeoutStopUSec": 7_000_000,
        "RuntimeMaxUSec": timedelta(minutes=5),
        "KillMode": "mixed",
        "KillSignal": signal.SIGINT,
        "Slice": "system.slice",
        "CPUAccounting": True,
        "CPUQuotaPerSecUSec": timedelta(milliseconds=500),
        "CPUWeight": 50,
        "IOWeight": 60,
        "MemoryAccounting": True,
        "MemoryHigh": 1 << 30,
        "MemoryMax": 2 << 30,
        "TasksAccounting": True,
        "TasksMax": 100,
        "LimitNOFILE": 1024,
        "StandardInput": "null",
        "StandardOutput": f"truncate:{out}",
        "StandardError": "journal",
        "SyslogIdentifier": "vq-run-table",
        "PrivateTmp": True,
        "NoNewPrivileges": True,
        "DynamicUser": False,
    }
    assert set(given) == set(systemd.PROPERTY_TYPES)
    r = manager.run(["/bin/sh", "-c", 'echo "$A|$B|$(pwd)|$(umask)|$(nice)"'], wait=True, timeout=30, properties=given)
    try:
        assert (r.result, r.exit_status) == ("success", 0)
        with open(f"/proc/{real_systemd.init[0]}/root{out}") as f:
            assert f.read() == "1|two words|/tmp|0027|5\n"
        unit = manager.unit(r.unit)
        service = unit.properties(systemd.SERVICE_INTERFACE)
        read = {name: service.get(name) for name in given}
        read["Description"] = unit.properties()["Description"]
        expected = {name: systemd.property_value(name, value).value for name, value in given.items()}
        expected["StandardOutput"] = "truncate"  # its file is StandardOutputFileToTruncate
        expected.update(dict.fromkeys(systemd_root.ignored_properties))  # accepted, not shown
        assert read == expected
    finally:
        manager.stop(r.unit, wait=True, timeout=30)


def test_a_run_holds_its_unit_until_its_results_are_read(manager):
    name = "vq-run-held.service"
    run = manager.run(["/bin/sh", "-c", "exit 3"], name="vq-run-held", collect=True)
    assert run.unit == name
    assert wait_for(lambda: manager.unit(name).status.active == "failed")  # ended, and kept
    with pytest.raises(varquin.BusError) as caught:
        manager.run(["/bin/true"], name=name)
    assert caught.value.name == "org.freedesktop.systemd1.UnitExists"
    assert run.wait(timeout=30).exit_status == 3
    assert manager.unit(name).status.load == "not-found"

    # A wait that times out hands back the run, which goes on and is waited for again.
    with pytest.raises(systemd.RunTimeout) as caught:
        manager.run(["/bin/sh", "-c", "sleep 4; exit 4"], wait=True, timeout=1.5)
    assert caught.value.run.wait(timeout=30).exit_status == 4


def test_watch_follows_a_unit_through_a_restart_and_wait_for_reaches_a_state(manager):
    unit, running = manager.unit(API), ("loaded", "active", "running")
    seen = []
    with unit.watch(timeout=120) as watch:
        t = threading.Thread(target=lambda: seen.extend(watch))
        t.start()
        try:
            manager.start(API, wait=True, timeout=30)
            manager.restart(API, wait=True, timeout=30)
            assert wait_for(lambda: seen.count(running) == 2, timeout=30)
        finally:
            watch.close()
            t.join()
    assert seen[0] == ("loaded", "inactive", "dead") and seen[1] == running
    assert "deactivating" in [s.active for s in seen[1 : seen.index(running, 2)]]
    assert all(a != b for a, b in zip(seen, seen[1:], strict=False))  # one item per change

    manager.stop(API)
    assert unit.wait_for(active="inactive", timeout=30) == ("loaded", "inactive", "dead")
    with pytest.raises(TimeoutError, match=r"last seen UnitStatus\(load='loaded', active='inactive', sub='dead'\)"):
        unit.wait_for(active="active", timeout=0.2)


def test_watch_goes_on_across_the_unloading_of_its_unit(manager):
    brief, starting = "vq-api-brief.service", ("loaded", "activating", "start")
    seen = []
    with (
        manager.unit(brief).watch(timeout=120) as watch,
        manager.bus.subscribe(sender=systemd.SERVICE, member="UnitRemoved") as removed,
    ):
        t = threading.Thread(target=lambda: seen.extend(watch))
        t.start()
        try:
            manager.start(brief, wait=True, timeout=30)
            # Ended and referenced by nothing: the manager unloads it, and
            # loads it again for the next start.
            while removed.get(timeout=30).args[0] != brief:
                pass
            manager.start(brief, wait=True, timeout=30)
            assert wait_for(lambda: seen.count(starting) == 2 and seen[-1] == ("loaded", "inactive", "dead"), 30)
        finally:
            watch.close()
            t.join()


def test_kill_and_reset_failed(manager):
    manager.start(API, wait=True, timeout=30)
    manager.kill(API, signal=signal.SIGKILL, whom="main")
    assert manager.unit(API).wait_for(active="failed", timeout=30).sub == "failed"
    assert manager.unit(API).details().result == "signal"
    manager.reset_failed(API)
    assert manager.unit(API).status == ("loaded", "inactive", "dead")


def test_details_properties_set_and_unit_file_states(manager, systemd_root):
    manager.start(API, wait=True, timeout=30)
    try:
        manager.set_properties(
            API, {"MemoryMax": 1 << 30, "CPUQuotaPerSecUSec": timedelta(milliseconds=500)}, runtime=True
        )
        service = manager.unit(API).properties(systemd.SERVICE_INTERFACE)
        assert (service["MemoryMax"], service["CPUQuotaPerSecUSec"]) == (1 << 30, 500_000)
        d = manager.unit(API).details()
        assert (d.id, d.active, d.result, d.n_restarts, d.exec_main_code) == (API, "active", "success", 0, None)
        assert d.main_pid == service["MainPID"] > 0 and d.active_enter.tzinfo is UTC and d.active_exit is None
        assert d.fragment_path == f"{systemd_root.unit_dir}/{API}"
    finally:
        manager.stop(API, wait=True, timeout=30)
    target = manager.unit("basic.target").details()
    assert (target.main_pid, target.result, target.n_restarts, target.sub) == (None, None, None, "active")

    assert (manager.is_enabled(API), manager.is_enabled("vq-static.service")) == ("disabled", "static")
    assert manager.list_unit_files(patterns=("vq-api*.service",), states=("disabled",)) == [
        systemd.UnitFile(API, f"{systemd_root.unit_dir}/{API}", "disabled")
    ]


def test_cancel_ends_a_job_but_not_what_it_started(manager):
    hang = "vq-api-hang.service"
    job = manager.start(hang)
    manager.unit(hang).wait_for(active="activating", timeout=30)
    try:
        assert job.cancel() is True and job.wait(timeout=30) == "canceled"
        assert manager.unit(hang).status.active == "activating"  # its process goes on
        assert job.cancel() is False
    finally:
        manager.stop(hang, wait=True, timeout=30)


def systemctl_states(container):
    """The states ``systemctl --state=help`` lists in the container, by the
    UnitStatus field they belong to."""
    status, out = inside(container, "systemctl --state=help --no-pager")
    assert status == 0
    found: dict[str, set[str]] = {"load": set(), "active": set(), "sub": set()}
    section = None
    for line in (line.strip() for line in out.splitlines()):
        if line.endswith(":"):
            section = next((k for k, word in SECTIONS.items() if word in line), None)
        elif line and section:
            found[section].add(line)
    return found


SECTIONS = {"load": "load states", "active": "active states", "sub": "substates"}


def test_wait_for_takes_every_state_systemctl_lists_and_stops_at_a_failure(real_systemd):
    listed = systemctl_states(real_systemd)
    assert all(listed.values())
    for field, states in listed.items():
        assert states - set(STATES[field]) == set(), field  # each one systemd has, wait_for takes

    with varquin.Bus(real_systemd.bus_address) as bus, systemd.Manager(bus, root=real_systemd.root) as m:
        unit = m.unit("vq-api-fail")  # a service that ran /bin/false
        with pytest.raises(systemd.JobFailed):
            m.start(unit.name, wait=True, timeout=30)
        # Failed with nothing queued: no wait can end well, so none is waited out.
        with pytest.raises(systemd.UnitFailed) as caught:
            unit.wait_for(active="active", timeout=120)
        assert caught.value.status == ("loaded", "failed", "failed")
        assert any(e.pid == 1 and e.fields.get("UNIT_RESULT") == "exit-code" for e in caught.value.journal)
        # The main process that ran, as systemctl status shows it.
        status, out = inside(real_systemd, f"systemctl status --no-pager {unit.name}")
        shown = next(line for line in out.splitlines() if "Main PID:" in line)
        assert unit.details().main_pid == int(shown.split("Main PID:")[1].split()[0])
        assert unit.wait_for(active="failed", timeout=30).active == "failed"
        m.reset_failed(unit.name)


def test_a_run_that_reuses_a_name_carries_only_its_own_journal(real_systemd):
    with varquin.Bus(real_systemd.bus_address) as bus, systemd.Manager(bus, root=real_systemd.root) as m:
        argv = ["/bin/sh", "-c", "echo first; exit 3"]
        first = m.run(argv, name="vq-api-again", wait=True, timeout=30, collect=True)
        second = m.run(["/bin/sh", "-c", "echo second"], name="vq-api-again", wait=True, timeout=30, collect=True)
    assert (first.result, second.result) == ("exit-code", "success") and first.invocation_id != second.invocation_id
    assert "first" in [e.message for e in first.journal]
    assert "second" in [e.message for e in second.journal]
    # None of the earlier run's lines, its failure among them.
    assert "first" not in [e.message for e in second.journal]
    assert not any(e.fields.get("UNIT_RESULT") == "exit-code" for e in second.journal)
    for e in second.journal:  # a line journald could not tie to the unit carries no id at all
        assert {e.fields.get("_SYSTEMD_INVOCATION_ID"), e.fields.get("INVOCATION_ID")} - {None} <= {
            second.invocation_id
        }

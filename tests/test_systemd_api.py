"""varquin.systemd against the real manager in the throwaway container:
unit files, jobs waited for, status and properties, errors.  The tests use
units of their own (vq-api*.service) so that other tests' units keep their
state."""

import os
import threading

import pytest

import varquin
from conftest import child_env, wait_for
from varquin import systemd

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

    masked = f"/etc/systemd/system/{API}"
    assert manager.mask(API) == [systemd.Change("symlink", masked, "/dev/null")]
    try:
        manager.daemon_reload()
        assert manager.unit(API).status.load == "masked"
        for refused in (manager.enable, manager.start):
            with pytest.raises(varquin.BusError) as caught:
                refused(API)
            assert caught.value.name == "org.freedesktop.systemd1.UnitMasked" and API in caught.value.message
    finally:
        assert manager.unmask(API) == [systemd.Change("unlink", masked, "")]
        manager.daemon_reload()


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
    from peers.peerlib import PeerProcess

    peer = PeerProcess("systemd_services.py", "org.freedesktop.systemd1", env=child_env())
    try:
        unit = ["Description", "loaded", "active", "running", "", "/o", 0, "", "/"]
        listed = [["a.service", *unit], ["b.socket", *unit], ["c.service", *unit[:2], "inactive", "dead", *unit[4:]]]
        peer.behave("ListUnits", reply=["a(ssssssouso)", [listed]])
        with systemd.Manager() as m:
            found = m.list_units(patterns=("*.service",), states=("running",))
        assert found == [systemd.UnitInfo("a.service", "Description", "loaded", "active", "running", "/o")]
        assert [c["member"] for c in peer.calls()] == ["ListUnitsByPatterns", "ListUnits"]
    finally:
        peer.stop()

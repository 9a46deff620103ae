"""varquin.Bus against the real systemd in the throwaway container (on each
systemd of the real tier) and against a throwaway host reached over SSH."""

import varquin

MANAGER = ("org.freedesktop.systemd1", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager")


def test_real_manager_units_and_errors(real_systemd_container):
    with varquin.Bus(real_systemd_container.bus_address) as bus:
        assert bus.address == real_systemd_container.bus_address
        (units,) = bus.call(*MANAGER, "ListUnits")
        by_name = {u[0]: u for u in units}
        assert by_name["dbus.service"][3:5] == ("active", "running")
        assert all(len(u) == 10 and u[6].startswith("/org/freedesktop/systemd1/unit/") for u in units)
        (path,) = bus.call(*MANAGER, "GetUnit", "s", "dbus.service")
        props = bus.get_all("org.freedesktop.systemd1", path, "org.freedesktop.systemd1.Unit")
        assert (props["Id"], props["ActiveState"], props["LoadState"]) == ("dbus.service", "active", "loaded")
        assert isinstance(props["ActiveEnterTimestamp"], int) and isinstance(props["CanStart"], bool)
        assert isinstance(props["Conditions"], list) and "dbus.socket" in props["Requires"]
        try:
            bus.call(*MANAGER, "GetUnit", "s", "nosuch.service")
        except varquin.NoSuchUnit as e:
            assert "nosuch.service" in e.message
        else:
            raise AssertionError("GetUnit of a missing unit did not raise NoSuchUnit")


def test_a_remote_host_over_ssh(remote_hosts):
    with remote_hosts.use(), varquin.Bus.remote(remote_hosts.remotes[0], timeout=30) as bus:
        assert bus.address == remote_hosts.remotes[0] and bus.unique_name.startswith(":")
        state = bus.get_property(*MANAGER[:2], MANAGER[2], "SystemState")
        assert state in ("running", "degraded")
        assert bus.call(*MANAGER, "GetUnit", "s", "dbus.service")[0].startswith("/org/freedesktop/systemd1/unit/")

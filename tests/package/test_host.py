"""varquin.host: settings made through the real hostnamed, timedated and
logind in the container and read back from its files; reboot and power-off
through the substitutes on the private bus, where nothing really reboots."""

import os

import pytest

import varquin
from varquin import host

LOGIN = ("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager")


@pytest.fixture
def container_bus(real_systemd):
    with varquin.Bus(real_systemd.bus_address) as bus:
        yield bus


def test_settings_land_in_the_containers_files(real_systemd, container_bus):
    c = real_systemd
    host.set_hostname(static="vq-api-static", pretty="VQ API host", bus=container_bus)
    assert c.path("/etc/hostname").read_text().strip() == "vq-api-static"
    assert 'PRETTY_HOSTNAME="VQ API host"' in c.path("/etc/machine-info").read_text()
    assert host.hostname(bus=container_bus) == "vq-api-static"
    # A transient name counts only without a static one; on a bus of its own
    # (the system bus, which points at the container's).
    host.set_hostname(static="", transient="vq-api-transient")
    assert host.hostname() == "vq-api-transient"

    # The container's zone is put back: the command line's tests compare
    # times systemctl prints in it with times printed here.
    zone = os.readlink(c.path("/etc/localtime")).split("zoneinfo/", 1)[1]
    host.set_timezone("America/La_Paz", bus=container_bus)
    try:
        assert os.readlink(c.path("/etc/localtime")).endswith("zoneinfo/America/La_Paz")
    finally:
        host.set_timezone(zone, bus=container_bus)
    host.set_wall_message("vq api: going down", bus=container_bus)
    assert container_bus.get_property(*LOGIN, "WallMessage") == "vq api: going down"


@pytest.mark.parametrize(
    "call,value",
    [
        (lambda v, bus: host.set_hostname(static=v, bus=bus), "bad name!"),
        (lambda v, bus: host.set_hostname(transient=v, bus=bus), "-bad-"),
        (lambda v, bus: host.set_timezone(v, bus=bus), "Nowhere/Atlantis"),
    ],
    ids=["static", "transient", "timezone"],
)
def test_refused_settings_raise_with_the_services_text(container_bus, call, value):
    with pytest.raises(varquin.InvalidArgs) as caught:
        call(value, container_bus)
    assert value in caught.value.message


def sent(svc):
    return [(c["member"], c["body"]) for c in svc.calls() if c["interface"] == LOGIN[2]]


@pytest.mark.parametrize("fn,member", [(host.reboot, "Reboot"), (host.poweroff, "PowerOff")])
def test_power_requests_send_the_wall_message_first(svc, fn, member):
    fn("vq api: bye")
    fn()
    assert sent(svc) == [("SetWallMessage", ["vq api: bye", True]), (member, [False]), (member, [False])]


def test_a_refused_request_raises_and_a_refused_message_stops_it(svc):
    svc.behave("Reboot", error=["org.freedesktop.DBus.Error.AccessDenied", "Access denied"])
    with pytest.raises(varquin.AccessDenied, match="Access denied"):
        host.reboot()
    svc.behave("SetWallMessage", error=["org.freedesktop.DBus.Error.InvalidArgs", "too long"])
    with pytest.raises(varquin.InvalidArgs, match="too long"):
        host.poweroff("x" * 300)
    assert [m for m, _ in sent(svc)] == ["Reboot", "SetWallMessage"]

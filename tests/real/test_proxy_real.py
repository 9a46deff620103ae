"""Proxies of the real services in the throwaway container (on each systemd of
the real tier): hostnamed, the manager and a unit by introspection, and a
module generated from the live manager, used as a typed proxy of the real
one and served as a stand-in."""

import importlib.util
import subprocess
import sys
import threading

import pytest

import varquin
from testing.env import child_env, load_module

SYSTEMD = ("org.freedesktop.systemd1", "/org/freedesktop/systemd1")
HOSTNAME = ("org.freedesktop.hostname1", "/org/freedesktop/hostname1", "org.freedesktop.hostname1")


def test_hostnamed_the_manager_and_a_unit(real_systemd_container, systemd_root):
    with varquin.Bus(real_systemd_container.bus_address) as bus:
        h = bus.proxy(*HOSTNAME)
        h.SetStaticHostname("web1", False)
        assert h.StaticHostname == "web1" and h.get_all()["StaticHostname"] == "web1"
        with pytest.raises(varquin.BusError, match=systemd_root.invalid_static_hostname("bad name!")):
            h.SetStaticHostname("bad name!", False)
        with pytest.raises(TypeError, match=r"^SetStaticHostname\(sb\) takes 2 arguments, 1 given$"):
            h.SetStaticHostname("web2")
        with pytest.raises(AttributeError, match="read-only"):
            h.Hostname = "web2"
        with h.subscribe("PropertiesChanged") as changes:
            h.SetPrettyHostname("Web One", False)
            sig = changes.get(timeout=30)
        assert sig.args[0] == "org.freedesktop.hostname1" and sig.path == HOSTNAME[1]

        systemd = bus.proxy(*SYSTEMD)
        assert "org.freedesktop.systemd1.Manager" in systemd.interfaces and "unit" in systemd.children
        manager = systemd["org.freedesktop.systemd1.Manager"]
        path = manager.GetUnit("dbus.service")
        unit = bus.proxy(SYSTEMD[0], path)
        assert {"org.freedesktop.systemd1.Unit", "org.freedesktop.systemd1.Service"} <= set(unit.interfaces)
        assert unit["org.freedesktop.systemd1.Unit"].ActiveState == "active"
        assert unit["org.freedesktop.systemd1.Service"].MainPID > 1
        with pytest.raises(varquin.NoSuchUnit):
            manager.GetUnit("nosuch.service")
        with pytest.raises(KeyError, match=r"it has: .*org.freedesktop.systemd1.Manager"):
            systemd["org.freedesktop.systemd1.Timer"]


def test_a_module_generated_from_the_live_manager(real_systemd_container, tmp_path):
    run = subprocess.run(
        [sys.executable, "-m", "varquin", "codegen", "--address", real_systemd_container.bus_address, *SYSTEMD],
        capture_output=True,
        text=True,
        env=child_env(imports_module=True),
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    source = tmp_path / "manager.py"
    source.write_text(run.stdout)
    if importlib.util.find_spec("mypy") is not None:
        check = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(source)], capture_output=True, text=True)
        assert check.returncode == 0, check.stdout
    module = load_module("manager", source)

    with varquin.Bus(real_systemd_container.bus_address) as bus:
        real = bus.proxy(*SYSTEMD, module.Manager, introspect=True)
        assert real.GetUnit("dbus.service").startswith("/org/freedesktop/systemd1/unit/")
        assert real.Version == bus.get_property(*SYSTEMD, "org.freedesktop.systemd1.Manager", "Version")

    class StandIn(module.Manager):
        def GetUnit(self, name):
            return "/stand/in/" + name.replace(".", "_")

    server = varquin.Bus.system()
    server.export(SYSTEMD[1], StandIn())
    server.request_name("org.varquin.Test.StandIn")
    loop = threading.Thread(target=server.serve)
    loop.start()
    try:
        with varquin.Bus.system() as client:
            typed = client.proxy("org.varquin.Test.StandIn", SYSTEMD[1], module.Manager)
            assert typed.GetUnit("a.service") == "/stand/in/a_service"
            with pytest.raises(varquin.BusError, match="NotImplementedError"):
                typed.StartUnit("a.service", "replace")
    finally:
        server.stop()
        loop.join(10)
        server.close()

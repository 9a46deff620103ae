"""systemd control against the real systemd services, booted in a throwaway
container on each systemd root of the tier (testing/real_tier.py): the
host's and Debian 13's.  Results are checked in the container's files and
through the manager itself; where the versions legitimately differ (the
folder of the manager's own units, one error text) the root says what to
expect."""

import os
import re
import subprocess

import pytest

import _varquin
import varquin
from testing.env import child_env, wait_for
from testing.real_tier import boot, use_container_bus

pytestmark = pytest.mark.real_systemd

NO_CHANGE = (None, None, None)
WANTS = "/etc/systemd/system/multi-user.target.wants"


def failure(message, detail):
    return f"{message}, {detail}, Success"


def states(unit):
    ok, found = _varquin.unit_status(unit)
    assert ok, _varquin.get_last_error(0)
    return found["LoadState"], found["ActiveState"], found["SubState"]


def link(container, path):
    """Where the container's symlink `path` points, or None when it does not exist."""
    try:
        return os.readlink(container.path(path))
    except FileNotFoundError:
        return None


def test_reload_and_unit_jobs(real_systemd):
    assert _varquin.daemon_reload() is True
    assert states("vq-plain.service") == ("loaded", "inactive", "dead")
    ok, job = _varquin.unit_control("vq-plain.service", "StartUnit")
    assert ok and re.fullmatch(r"/org/freedesktop/systemd1/job/\d+", job), job
    assert wait_for(lambda: states("vq-plain.service") == ("loaded", "active", "running"))
    ok, job = _varquin.unit_control("vq-plain.service", "StopUnit")
    assert ok and job.startswith("/org/freedesktop/systemd1/job/")
    assert wait_for(lambda: states("vq-plain.service") == ("loaded", "inactive", "dead"))
    assert _varquin.get_last_error(0) == ", Success"


@pytest.mark.parametrize(
    "args,detail",
    [
        (("nosuch.service", "StartUnit"), "Unit nosuch.service not found."),
        (
            ("vq-plain.service", "NoSuchMethod"),
            "Unknown method NoSuchMethod or interface org.freedesktop.systemd1.Manager.",
        ),
    ],
    ids=["missing-unit", "unknown-member"],
)
def test_refused_unit_jobs(real_systemd, args, detail):
    assert _varquin.unit_control(*args) == (False, None)
    assert _varquin.get_last_error(0) == failure("Failed to issue method call", detail)


def test_enable_and_disable_change_the_containers_links(real_systemd, systemd_root):
    c = real_systemd
    target = f"{systemd_root.unit_dir}/vq-plain.service"
    wants = f"{WANTS}/vq-plain.service"
    assert _varquin.unit_enable("vq-plain.service") == (True, ("symlink", wants, target))
    assert link(c, wants) == target
    assert _varquin.unit_enable("vq-plain.service") == (True, NO_CHANGE)
    assert _varquin.unit_disable("vq-plain.service") == (True, ("unlink", wants, ""))
    assert link(c, wants) is None
    assert _varquin.get_last_error(0) == ", Success"


def test_a_unit_with_an_alias_reports_the_first_of_two_changes(real_systemd, systemd_root):
    c = real_systemd
    alias, wants = "/etc/systemd/system/vq-other.service", f"{WANTS}/vq-alias.service"
    target = f"{systemd_root.unit_dir}/vq-alias.service"
    assert _varquin.unit_enable("vq-alias.service") == (True, ("symlink", alias, target))
    assert link(c, alias) == target and link(c, wants) == target
    assert _varquin.unit_disable("vq-alias.service") == (True, ("unlink", wants, ""))
    assert link(c, alias) is None and link(c, wants) is None
    assert _varquin.get_last_error(0) == ", Success"


def test_a_unit_without_install_section_enables_nothing(real_systemd):
    assert _varquin.unit_enable("vq-static.service") == (True, NO_CHANGE)
    assert link(real_systemd, f"{WANTS}/vq-static.service") is None


def test_mask_and_unmask(real_systemd):
    c = real_systemd
    path = "/etc/systemd/system/vq-static.service"
    assert _varquin.unit_mask("vq-static.service") == (True, ("symlink", path, "/dev/null"))
    assert link(c, path) == "/dev/null"
    assert states("vq-static.service")[0] == "masked"
    assert _varquin.unit_unmask("vq-static.service") == (True, ("unlink", path, ""))
    assert link(c, path) is None
    # The manager reads unit files again on a reload.
    assert _varquin.daemon_reload() is True
    assert states("vq-static.service")[0] == "loaded"


def test_refused_unit_file_calls_and_status(real_systemd, systemd_root):
    assert _varquin.unit_enable("nosuch.service") == (False, NO_CHANGE)
    detail = systemd_root.missing_unit_file("nosuch.service")
    assert _varquin.get_last_error(0) == failure("Failed to issue method call", detail)
    assert states("nosuch.service") == ("not-found", "inactive", "dead")
    assert _varquin.unit_status("") == (False, {"LoadState": None, "ActiveState": None, "SubState": None})
    detail = "Unit name  is neither a valid invocation ID nor unit name."
    assert _varquin.get_last_error(0) == failure("Failed to issue method call", detail)


def test_host_names(real_systemd, systemd_root):
    ok, name = _varquin.get_hostname("Hostname")
    assert ok and name
    assert _varquin.set_hostname("SetStaticHostname", "vq-real") is True
    assert _varquin.get_hostname("StaticHostname") == (True, "vq-real")
    assert real_systemd.path("/etc/hostname").read_text().strip() == "vq-real"
    assert _varquin.get_hostname("NoSuchProperty") == (False, None)
    assert _varquin.get_last_error(0) == "Failed to get property, Success"
    assert _varquin.set_hostname("SetStaticHostname", "bad name!") is False
    detail = systemd_root.invalid_static_hostname("bad name!")
    assert _varquin.get_last_error(0) == failure("Failed to call method", detail)


def test_time_zone(real_systemd):
    assert _varquin.set_timezone("Europe/Berlin") is True
    assert link(real_systemd, "/etc/localtime").endswith("zoneinfo/Europe/Berlin")
    assert _varquin.set_timezone("Nowhere/Atlantis") is False
    detail = "Invalid or not installed time zone 'Nowhere/Atlantis'"
    assert _varquin.get_last_error(0) == failure("Failed to call method", detail)
    assert link(real_systemd, "/etc/localtime").endswith("zoneinfo/Europe/Berlin")


def test_wall_message(real_systemd):
    assert _varquin.set_wall_message("varquin says hello") is True
    shown = subprocess.run(
        [
            "busctl",
            f"--address={real_systemd.bus_address}",
            "get-property",
            "org.freedesktop.login1",
            "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager",
            "WallMessage",
        ],
        capture_output=True,
        text=True,
        check=True,
        env=child_env(),
    ).stdout.strip()
    assert shown == 's "varquin says hello"'


@pytest.mark.parametrize("fn,exit_status", [("machine_reboot", 133), ("machine_poweroff", 0)])
def test_reboot_and_poweroff_end_the_container(clean_module, systemd_root, fn, exit_status):
    # A container of its own: the request ends it.  nspawn exits with 133
    # when its container reboots.
    container = boot(systemd_root)
    try:
        use_container_bus(container)
        ok = getattr(_varquin, fn)("varquin test: going down")
        # logind answers once the shutdown is queued; now and then the
        # container's bus (or logind itself) goes down before that answer is
        # delivered.
        lost = (
            "Failed to call method, Connection reset by peer, Success",
            "Failed to call method, Message recipient disconnected from message bus without replying, Success",
        )
        assert ok or _varquin.get_last_error(0) in lost
        try:
            status = container.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            pytest.fail(f"the container is still up; its console: {container.log_tail(30)}")
        assert status == exit_status, container.log_tail(30)
    finally:
        container.stop()


def test_a_kill_in_one_container_spares_the_others(real_systemd_container, systemd_root):
    # Containers started side by side each have cgroups of their own: the
    # manager of one killing a unit's cgroup ends that unit there only.
    def logind_pid(container):
        with varquin.Bus(container.bus_address) as bus:
            return bus.get_property(
                "org.freedesktop.systemd1",
                "/org/freedesktop/systemd1/unit/systemd_2dlogind_2eservice",
                "org.freedesktop.systemd1.Service",
                "MainPID",
            )

    before = logind_pid(real_systemd_container)
    other = boot(systemd_root)
    try:
        first = logind_pid(other)
        with varquin.Bus(other.bus_address) as bus:
            bus.call(
                "org.freedesktop.systemd1",
                "/org/freedesktop/systemd1",
                "org.freedesktop.systemd1.Manager",
                "KillUnit",
                "ssi",
                "systemd-logind.service",
                "all",
                9,
            )
        assert wait_for(lambda: logind_pid(other) not in (0, first))
        assert logind_pid(real_systemd_container) == before
    finally:
        other.stop()

"""python -m varquin against the real manager in the container: one row per
host and unit, systemctl's exit statuses, failures named on stderr, JSON
alone on stdout.  Several hosts are the container's bus under addresses of
their own, and one address where nothing listens."""

import io
import json
import subprocess
import sys

import pytest

from conftest import child_env
from test_systemd_api import usable_bus_address
from varquin.__main__ import main

pytestmark = pytest.mark.real_systemd

MISSING = "unix:path=/nonexistent/vq-cli/socket"


@pytest.fixture
def address(real_systemd):
    return usable_bus_address(real_systemd)


def other_spelling(address):
    folder, name = address.rsplit("/", 1)
    return f"{folder}/./{name}"


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    status = main(list(argv), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize(
    "units,status",
    [
        (["basic.target"], 0),
        (["vq-api-quick.service"], 3),  # a oneshot unit that is not running
        (["vq-nosuch.service"], 4),
        (["basic.target", "vq-nosuch.service", "vq-api-quick.service"], 4),  # the first that is not 0
    ],
)
def test_status_shows_a_row_per_unit_and_exits_as_systemctl(address, units, status):
    code, out, err = run("status", *units)  # no -H: the system bus, which is the container's
    lines = out.splitlines()
    assert lines[0].split()[:5] == ["HOST", "UNIT", "LOAD", "ACTIVE", "SUB"]
    assert [line.split()[:2] for line in lines[1:]] == [["local", u] for u in units]
    assert code == status
    assert ("vq-nosuch.service could not be found" in err) == ("vq-nosuch.service" in units)


def test_start_with_wait_across_hosts_names_each_failure(address):
    hosts = [address, other_spelling(address), MISSING]
    units = ["vq-api-quick.service", "vq-api-fail.service"]
    code, out, err = run("-H", ",".join(hosts), "start", *units, "--wait", "--json", "--timeout", "60")
    rows = json.loads(out)  # stdout holds the JSON alone
    assert code == 1
    assert [(r["host"], r["unit"]) for r in rows] == [(h, u) for h in hosts for u in units]
    by = {(r["host"], r["unit"]): r for r in rows}
    for host in hosts[:2]:
        assert (by[host, units[0]]["ok"], by[host, units[0]]["result"]) == (True, "done")
        assert (by[host, units[1]]["ok"], by[host, units[1]]["result"]) == (False, "failed")
        assert f"{host}: job for vq-api-fail.service finished with result 'failed'" in err
    for unit in units:
        assert by[MISSING, unit]["error"]["type"] == "ConnectionError"
        assert f"{MISSING}: start {unit}: ConnectionError: cannot connect" in err
    assert "answered (3/3)" in err  # the progress line


def test_python_m_varquin_enables_and_disables_with_every_change(address):
    def cli(*argv):
        return subprocess.run(
            [sys.executable, "-m", "varquin", "-H", address, *argv],
            capture_output=True,
            text=True,
            env=child_env(imports_module=True),
            timeout=60,
        )

    enabled = cli("enable", "vq-api.service")
    assert enabled.returncode == 0, enabled.stderr
    header, row = enabled.stdout.splitlines()
    assert header.split() == ["HOST", "UNIT", "CHANGES"]
    assert row.split()[:3] == [address, "vq-api.service", "symlink"]
    assert "/etc/systemd/system/vq-api-alias.service" in row and "multi-user.target.wants/vq-api.service" in row
    disabled = cli("disable", "vq-api.service", "vq-nosuch.service")
    assert disabled.returncode == 1
    assert "unlink /etc/systemd/system/vq-api-alias.service" in disabled.stdout
    assert "disable vq-nosuch.service: org.freedesktop.systemd1.NoSuchUnit" in disabled.stderr

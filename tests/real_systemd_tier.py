"""The real systemd tier: fixtures that run tests against the real systemd
services, booted in a throwaway container (testing/container.py),
and the one line at the end of the run that says whether the tier ran.

The tier runs whenever the machine allows it: as root, with systemd-nspawn
installed, and when the container boots within a bounded time.  Otherwise
its tests are skipped and the line says why.  The container is stopped and
both mounts are undone at the end of the session, after a failure, and on
Ctrl-C or SIGTERM.
"""

import os

import pytest

import _varquin
from testing.container import Container, Unavailable

MARK = "real_systemd"

# The test units, installed before boot where the manager's own units live
# (a unit whose file is in /etc/systemd/system cannot be masked).
UNITS = {
    "vq-plain.service": "[Unit]\nDescription=varquin plain test unit\n"
    "[Service]\nExecStart=/bin/sleep infinity\n"
    "[Install]\nWantedBy=multi-user.target\n",
    "vq-alias.service": "[Unit]\nDescription=varquin test unit with an alias\n"
    "[Service]\nExecStart=/bin/sleep infinity\n"
    "[Install]\nWantedBy=multi-user.target\nAlias=vq-other.service\n",
    "vq-static.service": "[Unit]\nDescription=varquin test unit without [Install]\n"
    "[Service]\nExecStart=/bin/sleep infinity\n",
    # The varquin.systemd tests' own units, so that other tests' units keep their state.
    "vq-api.service": "[Unit]\nDescription=varquin API test unit\n"
    "[Service]\nExecStart=/bin/sleep infinity\n"
    "[Install]\nWantedBy=multi-user.target\nAlias=vq-api-alias.service\n",
    "vq-api-fail.service": "[Service]\nType=oneshot\nExecStart=/bin/false\n",
    "vq-api-quick.service": "[Service]\nType=oneshot\nExecStart=/bin/true\n",
    "vq-api-hang.service": "[Service]\nType=oneshot\nExecStart=/bin/sleep infinity\n",
}
FILES = {f"/lib/systemd/system/{name}": text for name, text in UNITS.items()}

_status = {"reason": None, "outcomes": {}}


def pytest_configure(config):
    config.addinivalue_line("markers", f"{MARK}: runs against systemd booted in a throwaway container")


def boot():
    """A new container with the test units, booted; skips the test when the
    machine cannot boot one (and every later test of the tier at once)."""
    if not _status["reason"]:
        try:
            return Container(files=FILES).start()
        except Unavailable as e:
            _status["reason"] = str(e)
    pytest.skip(f"the real systemd tier cannot run: {_status['reason']}")


@pytest.fixture(scope="session")
def real_systemd_container():
    container = boot()
    try:
        yield container
    finally:
        container.stop()


def use_container_bus(container):
    """Points the module at the container's system bus."""
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = container.bus_address
    _varquin.deinit_client()


@pytest.fixture
def real_systemd(clean_module, real_systemd_container):
    """The session's container, with the module switched to its bus.
    clean_module switches back to the private bus afterwards."""
    use_container_bus(real_systemd_container)
    return real_systemd_container


def pytest_runtest_logreport(report):
    if MARK not in report.keywords:
        return
    if report.when == "call" or (report.when == "setup" and report.outcome != "passed"):
        outcomes = _status["outcomes"]
        outcomes[report.outcome] = outcomes.get(report.outcome, 0) + 1


def pytest_terminal_summary(terminalreporter):
    outcomes = _status["outcomes"]
    if not outcomes:
        line = "not selected"
    elif outcomes.get("passed", 0) or outcomes.get("failed", 0):
        line = "ran: " + ", ".join(f"{n} {k}" for k, n in sorted(outcomes.items()))
    else:
        line = f"did not run: {_status['reason'] or 'its tests were skipped'}"
    terminalreporter.write_line(f"real systemd tier: {line}")

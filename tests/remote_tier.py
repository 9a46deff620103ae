"""The remote tier: fixtures that run tests against throwaway hosts reached
over SSH (testing/remote.py), and the one line at the end of the run that
says whether the tier ran.

Three hosts are booted the first time a test asks for them and shared by
every test of the run; a test that takes a host down asks for
`remote_hosts_restored`, which boots anew, after the test, any host it
stopped.  The tier runs whenever the machine allows it (root, nspawn, sshd,
ssh, socat); otherwise its tests are skipped and the line says why.  Every
test that uses the fixtures belongs to the tier without further marking.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from testing.container import Unavailable
from testing.remote import RemoteHosts, why_not

MARK = "remote"
FIXTURES = ("remote_hosts", "remote_hosts_restored")
HOSTS = 3

_reason: list[str] = []
_outcomes: dict[str, int] = {}


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", f"{MARK}: runs against throwaway hosts reached over SSH")


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if any(name in getattr(item, "fixturenames", ()) for name in FIXTURES):
            item.add_marker(MARK)


@pytest.fixture(scope="session")
def remote_hosts() -> Iterator[RemoteHosts]:
    """Three running hosts, shared by the whole run; skips the test (and
    every later test of the tier) when they cannot run here."""
    reason = why_not()
    hosts = None
    if not reason:
        try:
            hosts = RemoteHosts(HOSTS).start()
        except Unavailable as e:
            reason = str(e)
    if hosts is None:
        _reason.append(reason or "the hosts did not start")
        pytest.skip(f"the remote tier cannot run: {_reason[0]}")
    try:
        yield hosts
    finally:
        hosts.stop()


@pytest.fixture
def remote_hosts_restored(remote_hosts: RemoteHosts) -> Iterator[RemoteHosts]:
    """The shared hosts, for a test that stops some of them: each host it
    stopped is booted anew afterwards."""
    try:
        yield remote_hosts
    finally:
        remote_hosts.restore()


def pytest_runtest_logreport(report: pytest.TestReport) -> None:
    if MARK not in report.keywords:
        return
    if report.when == "call" or (report.when == "setup" and report.outcome != "passed"):
        _outcomes[report.outcome] = _outcomes.get(report.outcome, 0) + 1


def pytest_terminal_summary(terminalreporter: pytest.TerminalReporter) -> None:
    if not _outcomes:
        line = "not selected"
    elif _outcomes.get("passed", 0) or _outcomes.get("failed", 0):
        line = "ran: " + ", ".join(f"{n} {k}" for k, n in sorted(_outcomes.items()))
    else:
        line = f"did not run: {_reason[0] if _reason else 'its tests were skipped'}"
    terminalreporter.write_line(f"remote tier: {line}")

"""The remote tier: fixtures that run tests against throwaway hosts reached
over SSH (testing/remote.py), and the one line at the end of the run that
says whether the tier ran.

Three hosts are booted the first time a test asks for `remote_hosts` and
shared by every test of the run.  A test may take a host down (stop its
container): the next test that asks for the hosts gets it booted anew.  The
tier runs whenever the machine allows it (root, nspawn, sshd, ssh, socat);
otherwise its tests are skipped and the line says why.  Every test that uses
the fixture belongs to the tier without further marking.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from testing.container import Unavailable
from testing.remote import RemoteHosts, why_not

MARK = "remote"
HOSTS = 3

_reason: list[str] = []
_outcomes: dict[str, int] = {}


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", f"{MARK}: runs against throwaway hosts reached over SSH")


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if "remote_hosts" in getattr(item, "fixturenames", ()):
            item.add_marker(MARK)


@pytest.fixture(scope="session")
def remote_hosts_session() -> Iterator[RemoteHosts]:
    """The run's hosts, booted once; skips the test (and every later test of
    the tier) when they cannot run here."""
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
def remote_hosts(remote_hosts_session: RemoteHosts) -> RemoteHosts:
    """Three running hosts, shared by the whole run: any host an earlier
    test stopped is booted anew first."""
    remote_hosts_session.restore()
    return remote_hosts_session


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

"""The real systemd tier: fixtures that run tests against the real systemd
services, booted in a throwaway container (testing/container.py), and the
one line at the end of the run that says whether the tier ran, per systemd.

The tier runs on three systemds: the host's own (the overlay's lower layer
is /), Debian 13's systemd 257 and Debian testing's systemd 262 (the lower
layer is a root that tools/debian_root.sh makes once and caches).  Every
test that uses the `systemd_root` fixture, directly or through
`real_systemd`, runs once on each; tests of other files get the same by
using those fixtures, and are counted in the tier's line without marking
them.

A systemd runs whenever the machine allows it: as root, with systemd-nspawn
installed, with its root present, and when the container boots within a
bounded time.  Otherwise its tests are skipped and the line says why.  The
container is stopped and both mounts are undone at the end, after a failure,
and on Ctrl-C or SIGTERM.
"""

import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

import _varquin
from testing.container import Container, Unavailable

MARK = "real_systemd"

# Where tools/debian_root.sh leaves its roots.
ROOTS_FOLDER = Path(os.environ.get("VQ_ROOTS", "/var/cache/varquin/roots"))

# The first versions seen with the newer texts, paths and properties below;
# the tier has seen 252 (Debian 12), 257 (Debian 13) and 262 (Debian
# testing), none in between.
NEWER = 257
NEWEST = 262


def _installed_systemd(root: Path) -> int | None:
    """The major version of the systemd package installed in `root`, from
    its package database, or None when it cannot be read."""
    try:
        status = (root / "var/lib/dpkg/status").read_text(errors="replace")
    except OSError:
        return None
    for entry in status.split("\n\n"):
        if re.search(r"^Package: systemd$", entry, re.M):
            found = re.search(r"^Version: (\d+)", entry, re.M)
            return int(found.group(1)) if found else None
    return None


@dataclass(frozen=True)
class SystemdRoot:
    """One systemd the tier runs against, and what legitimately differs
    between versions in what the tests see."""

    name: str
    lower: Path  # the overlay's lower layer
    unified_cgroup: bool  # systemd 256 and newer need a cgroup2 hierarchy
    version: int | None

    @property
    def label(self) -> str:
        return str(self.version) if self.version else self.name

    def why_not(self) -> str | None:
        if self.lower != Path("/") and not self.lower.is_dir():
            return f"its root {self.lower} is missing (tools/debian_root.sh {self.name} makes it)"
        return None

    @property
    def unit_dir(self) -> str:
        """Where the manager's own units live, as it names them in its
        replies: /lib/systemd/system on 252, /usr/lib/systemd/system on 257
        (the same folder on both, as /lib is a link to /usr/lib)."""
        return "/usr/lib/systemd/system" if (self.version or 0) >= NEWER else "/lib/systemd/system"

    def missing_unit_file(self, unit: str) -> str:
        """The manager's text for a unit file call on a unit that does not exist."""
        if (self.version or 0) >= NEWER:
            return f"Unit {unit} does not exist"
        return f"Unit file {unit} does not exist."

    def invalid_static_hostname(self, name: str) -> str:
        """hostnamed's text refusing ``name`` as the static host name."""
        if (self.version or 0) >= NEWEST:
            return f"Invalid hostname '{name}'"
        return f"Invalid static hostname '{name}'"

    @property
    def ignored_properties(self) -> frozenset[str]:
        """Unit properties the manager accepts in a transient unit but
        ignores, and no longer shows: CPUAccounting on 262 (CPU accounting
        is always on there)."""
        return frozenset({"CPUAccounting"}) if (self.version or 0) >= NEWEST else frozenset()


ROOTS = [
    SystemdRoot("host", Path("/"), False, _installed_systemd(Path("/"))),
    SystemdRoot("debian13", ROOTS_FOLDER / "debian13", True, _installed_systemd(ROOTS_FOLDER / "debian13") or 257),
    SystemdRoot("testing", ROOTS_FOLDER / "testing", True, _installed_systemd(ROOTS_FOLDER / "testing") or 262),
]

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
    # A stop right after a start can meet the child still being set up, where
    # its SIGTERM may be lost: it is then killed after 5 s, not the default 90.
    "vq-api.service": "[Unit]\nDescription=varquin API test unit\n"
    "[Service]\nExecStart=/bin/sleep infinity\nTimeoutStopSec=5\n"
    "[Install]\nWantedBy=multi-user.target\nAlias=vq-api-alias.service\n",
    "vq-api-fail.service": "[Service]\nType=oneshot\nExecStart=/bin/false\n",
    "vq-api-quick.service": "[Service]\nType=oneshot\nExecStart=/bin/true\n",
    "vq-api-hang.service": "[Service]\nType=oneshot\nExecStart=/bin/sleep infinity\n",
    "vq-api-brief.service": "[Service]\nType=oneshot\nExecStart=/bin/sleep 0.3\n",
    # Failed once by a single test: its lines are the unit's first.
    "vq-api-fail-first.service": "[Service]\nType=oneshot\nExecStart=/bin/false\n",
    # The command line's units, beside the same verbs of the container's systemctl.
    # Restarted over and over by the command line's cases: no start limit.
    "vq-cli-long.service": "[Unit]\nStartLimitIntervalSec=0\n[Service]\nExecStart=/bin/sleep infinity\n",
    "vq-cli-fail.service": "[Service]\nType=oneshot\nExecStart=/bin/false\n",
    "vq-cli-reload.service": "[Service]\nExecStart=/bin/sleep infinity\nExecReload=/bin/true\n",
    "vq-cli-file.service": "[Service]\nExecStart=/bin/sleep infinity\n[Install]\nWantedBy=multi-user.target\n",
    # Never started: its properties hold no run's traces.
    "vq-cli-show.service": "[Unit]\nDescription=varquin show test unit\n"
    "[Service]\nExecStart=/bin/sleep infinity\nRuntimeMaxSec=1h 30s\n",
}

# Per root label: why it cannot run (once known), and the outcomes counted.
_reasons: dict[str, str] = {}
_outcomes: dict[str, dict[str, int]] = {}


def pytest_configure(config: Any) -> None:
    config.addinivalue_line("markers", f"{MARK}: runs against systemd booted in a throwaway container")


def pytest_collection_modifyitems(items: list[Any]) -> None:
    # Every test on a systemd root belongs to the tier and is counted under
    # that root's label.
    for item in items:
        callspec = getattr(item, "callspec", None)
        root = callspec.params.get("systemd_root") if callspec else None
        if isinstance(root, SystemdRoot):
            item.add_marker(MARK)
            item.user_properties.append(("systemd_root", root.label))


@pytest.fixture(scope="session", params=ROOTS, ids=lambda root: root.label)
def systemd_root(request: Any) -> SystemdRoot:
    """The systemd a test runs against: each test using it runs on every root."""
    root: SystemdRoot = request.param
    return root


def boot(root: SystemdRoot) -> Container:
    """A new container on `root` with the test units, booted; skips the test
    when the machine cannot boot one (and every later test on that root at
    once)."""
    if root.label not in _reasons:
        reason = root.why_not()
        if reason is None:
            files = {f"{root.unit_dir}/{name}": text for name, text in UNITS.items()}
            try:
                return Container(files=files, lower=root.lower, unified_cgroup=root.unified_cgroup).start()
            except Unavailable as e:
                reason = str(e)
        _reasons[root.label] = reason
    pytest.skip(f"the real systemd tier cannot run on {root.label}: {_reasons[root.label]}")


@pytest.fixture(scope="session")
def real_systemd_container(systemd_root: SystemdRoot) -> Any:
    container = boot(systemd_root)
    try:
        yield container
    finally:
        container.stop()


def use_container_bus(container: Container) -> None:
    """Points the module at the container's system bus."""
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = container.bus_address
    _varquin.deinit_client()


@pytest.fixture
def real_systemd(clean_module: None, real_systemd_container: Container) -> Container:
    """The session's container on the current root, with the module switched
    to its bus.  clean_module switches back to the private bus afterwards."""
    use_container_bus(real_systemd_container)
    return real_systemd_container


def pytest_runtest_logreport(report: Any) -> None:
    label = dict(report.user_properties).get("systemd_root")
    if label is None:
        return
    if report.when == "call" or (report.when == "setup" and report.outcome != "passed"):
        counts = _outcomes.setdefault(label, {})
        counts[report.outcome] = counts.get(report.outcome, 0) + 1


def _line(label: str) -> str:
    counts = _outcomes.get(label)
    if not counts:
        return "not selected"
    if counts.get("passed", 0) or counts.get("failed", 0):
        return "ran: " + ", ".join(f"{n} {k}" for k, n in sorted(counts.items()))
    return f"did not run: {_reasons.get(label) or 'its tests were skipped'}"


def pytest_terminal_summary(terminalreporter: Any) -> None:
    if not _outcomes:
        line = "not selected"
    else:
        line = "; ".join(f"{root.label}: {_line(root.label)}" for root in ROOTS)
    terminalreporter.write_line(f"real systemd tier: {line}")

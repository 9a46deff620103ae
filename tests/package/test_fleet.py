"""varquin.fleet on the private bus: hosts in parallel threads, each host's
failure or hang its own, and the connections run opened closed by it.  Each
host is the private bus reached under an address of its own."""

import threading
import time

import pytest

import varquin
from testing.env import ECHO, wait_for
from varquin import fleet

ECHO_AT = (ECHO, "/org/varquin/test/echo", ECHO)
DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


def addresses(system_bus, n):
    """`n` distinct spellings of the private bus's address."""
    folder, name = str(system_bus.socket.parent), system_bus.socket.name
    return [f"unix:path={folder}{'/.' * i}/{name}" for i in range(n)]


def gone(name):
    with varquin.Bus.system() as bus:
        return wait_for(lambda: not bus.call(*DBUS, "NameHasOwner", "s", name)[0])


@pytest.mark.parametrize("max_workers,together", [(None, 4), (2, 2)])
def test_hosts_run_in_parallel_threads_each_on_a_connection_of_its_own(system_bus, max_workers, together):
    hosts = addresses(system_bus, 4)
    barrier = threading.Barrier(together, timeout=10)  # passes only with `together` hosts at once
    lock, running, most = threading.Lock(), [0], [0]

    def fn(m):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        barrier.wait()
        with lock:
            running[0] -= 1
        return m.bus.unique_name

    results = fleet.run(hosts, fn, max_workers=max_workers)
    assert list(results) == hosts and all(r.ok for r in results.values())
    assert most[0] == together
    names = {r.value for r in results.values()}
    assert len(names) == 4 and all(gone(n) for n in names)
    with pytest.raises(ValueError, match="given twice"):
        fleet.run([hosts[0], hosts[0]], fn)
    # A bare str is one host's name, never a list of one-letter hosts.
    for bare in ("host.example", hosts[0]):
        with pytest.raises(TypeError, match="not a bare str"):
            fleet.run(bare, fn)  # type: ignore[arg-type]


def test_a_failing_or_hanging_host_never_stops_the_others(system_bus, echo_peer):
    good, hanging = addresses(system_bus, 2)
    missing = "unix:path=/nonexistent/vq-fleet/socket"
    with varquin.Bus(good) as given, varquin.Bus.system() as watcher, watcher.subscribe(member="Silenced") as silenced:

        def fn(m):
            if m.bus.address == hanging:
                m.bus.call(*ECHO_AT, "Silent", timeout=120)  # never answered
            return m.bus.unique_name

        began = time.monotonic()
        results = fleet.run([given, hanging, missing], fn, timeout=2)
        assert time.monotonic() - began < 2 + 8  # not the 120 s the hanging call would take

        assert results[good] == fleet.Result(given.unique_name, None)
        assert isinstance(results[missing].error, ConnectionError)
        assert isinstance(results[hanging].error, TimeoutError) and results[hanging].value is None
        # The hanging host's connection, opened by run, is closed; the Bus given stays open.
        assert gone(silenced.get(timeout=10).args[0])
        assert not given.closed and given.call(*DBUS, "GetId")


def test_at_most_64_hosts_run_at_once_by_default(system_bus, tmp_path):
    # Each host is a link to the private bus's socket, under a short path.
    links = [tmp_path / f"s{i}" for i in range(fleet.MAX_WORKERS + 6)]
    for link in links:
        link.symlink_to(system_bus.socket)
    hosts = [f"unix:path={link}" for link in links]
    lock, running, most, release = threading.Lock(), [0], [0], threading.Event()

    def fn(m):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        release.wait(30)
        with lock:
            running[0] -= 1

    answered = []
    runner = threading.Thread(target=lambda: answered.append(fleet.run(hosts, fn, progress=lambda h, r: None)))
    runner.start()
    try:
        assert wait_for(lambda: running[0] == fleet.MAX_WORKERS)
        workers = [t for t in threading.enumerate() if t.name.startswith("varquin-fleet-")]
        assert len(workers) == fleet.MAX_WORKERS  # not a thread per host
    finally:
        release.set()
        runner.join(60)
    assert most[0] == fleet.MAX_WORKERS and all(r.ok for r in answered[0].values())
    with pytest.raises(ValueError, match="max_workers"):
        fleet.run(hosts[:1], fn, max_workers=0)

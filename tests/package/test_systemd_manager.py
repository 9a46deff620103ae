"""varquin.systemd against the substitute manager on the private bus
(testing/peers/systemd_services.py): the exact calls each method sends, how
replies and signals become results, and what is refused before anything is
sent.  The substitute sends a call's signals before its reply, so a result
that arrives at all was matched before the call."""

import asyncio
import gc
import random
import signal
import threading
import weakref
from datetime import UTC, datetime, timedelta

import pytest

import varquin
import varquin.aio
from testing.env import wait_for
from varquin import host, systemd
from varquin.systemd import MANAGER_INTERFACE as MANAGER
from varquin.systemd import MANAGER_PATH, SERVICE, properties
from varquin.systemd import _state as systemd_state
from varquin.systemd import _unit_journal as unit_journal

PLAIN = "vq-plain.service"
T_MAX = 2**64 - 1


@pytest.fixture
def manager(svc):
    with systemd.Manager() as m:
        yield m


def bodies(svc, member):
    return [c["body"] for c in svc.calls(member)]


def test_run_sends_the_command_verbatim_with_the_tables_properties(manager, svc):
    argv = ["/bin/sh", "-c", "kill -9 $$; echo $HOME"]
    properties = {
        "Environment": ["A=1"],
        "User": "nobody",
        "MemoryMax": 256 << 20,
        "TimeoutStopUSec": timedelta(seconds=5),
        "TasksMax": "infinity",
        "IOSchedulingClass": varquin.Variant("i", 2),  # not in the table: given as a Variant
        "StandardOutput": "append:/var/log/vq.log",  # a file, as systemd-run takes it
        "StandardError": "journal",
    }
    manager.run(argv, name="vq-run", wait=True, timeout=10, collect=True, properties=properties)
    assert bodies(svc, "StartTransientUnit") == [
        [
            "vq-run.service",
            "fail",
            [
                ["Environment", ["as", ["A=1"]]],
                ["User", ["s", "nobody"]],
                ["MemoryMax", ["t", 256 << 20]],
                ["TimeoutStopUSec", ["t", 5_000_000]],
                ["TasksMax", ["t", T_MAX]],
                ["IOSchedulingClass", ["i", 2]],
                ["StandardOutputFileToAppend", ["s", "/var/log/vq.log"]],
                ["StandardError", ["s", "journal"]],
                ["Description", ["s", "/bin/sh -c 'kill -9 $$; echo $HOME'"]],
                ["ExecStart", ["a(sasb)", [["/bin/sh", ["/bin/sh", "-c", "kill -9 $$$$; echo $$HOME"], False]]]],
                ["AddRef", ["b", True]],
                ["CollectMode", ["s", "inactive-or-failed"]],
            ],
            [],
        ]
    ]
    # The reference is dropped once the results are read, and the unit collected.
    assert bodies(svc, "UnrefUnit") == [["vq-run.service"]]
    assert manager.unit("vq-run.service").status.load == "not-found"


@pytest.mark.parametrize(
    "service,expected",
    [
        ({}, ("success", "exited", 0, None, None)),
        (
            {"Result": ["s", "exit-code"], "ExecMainStatus": ["i", 7], "CPUUsageNSec": ["t", 1_500_000]},
            ("exit-code", "exited", 7, timedelta(microseconds=1500), None),
        ),
        (
            {
                "Result": ["s", "signal"],
                "ExecMainCode": ["i", 2],
                "ExecMainStatus": ["i", 9],
                "MemoryPeak": ["t", 4096],
            },
            ("signal", "killed", 9, None, 4096),
        ),
        (
            {"Result": ["s", "exit-code"], "ExecMainCode": ["i", 0], "MemoryPeak": ["t", T_MAX]},
            ("exit-code",) + (None,) * 4,
        ),
    ],
    ids=["success", "exit-7", "killed", "never-ran"],
)
def test_run_results_come_from_the_units_properties_even_when_signalled_before_the_reply(
    manager, svc, service, expected
):
    svc.behave("vq.run", service=service)
    for wait in (True, False):
        started = manager.run(["/bin/true"], wait=wait, timeout=10)
        r = started if wait else started.wait(10)
        assert (r.result, r.exit_code, r.exit_status, r.cpu_usage, r.memory_peak) == expected
        assert (r.started, r.finished, r.invocation_id) == (
            datetime(2023, 11, 14, 22, 13, 20, tzinfo=UTC),
            datetime(2023, 11, 14, 22, 13, 21, 500000, tzinfo=UTC),
            bytes(range(16)).hex(),
        )
        assert r.unit.startswith("run-u") and r.unit.endswith(".service")


def test_a_generated_name_in_use_is_drawn_again_a_given_one_raises(manager, svc, monkeypatch):
    drawn = iter([5, 5, 6])
    monkeypatch.setattr(random, "getrandbits", lambda bits: next(drawn))
    assert manager.run(["/bin/true"], wait=True).unit == "run-u5.service"
    assert manager.run(["/bin/true"], wait=True).unit == "run-u6.service"
    with pytest.raises(varquin.BusError) as caught:
        manager.run(["/bin/true"], name="run-u5.service")
    assert caught.value.name == "org.freedesktop.systemd1.UnitExists" and "run-u5.service" in caught.value.message
    assert [b[0] for b in bodies(svc, "StartTransientUnit")] == ["run-u5.service"] * 2 + ["run-u6.service"] + [
        "run-u5.service"
    ]


@pytest.mark.parametrize(
    "call,error,text",
    [
        # The private bus is not this machine's manager: its PATH is not looked up here.
        (lambda m: m.run(["sh", "-c", "true"]), ValueError, "absolute path, not 'sh': the manager at unix:"),
        (lambda m: m.run([]), ValueError, "argv is empty"),
        (lambda m: m.run(["/bin/true"], properties={"MemoryMax": [1]}), TypeError, r"MemoryMax: expected .* not list"),
        (lambda m: m.run(["/bin/true"], properties={"MemoryMax": "lots"}), ValueError, "MemoryMax: not a size"),
        (lambda m: m.run(["/bin/true"], properties={"User": 0}), TypeError, "User: expected a str, not int"),
        (lambda m: m.run(["/bin/true"], properties={"TasksMax": True}), TypeError, "TasksMax: expected"),
        (lambda m: m.unit(PLAIN).wait_for(active="bogus"), ValueError, "active='bogus' is not .* one of active"),
        (lambda m: m.unit(PLAIN).wait_for(sub="runing"), ValueError, "sub='runing' is not a sub state"),
        (lambda m: m.run("/bin/true"), TypeError, "not a bare str"),
        (lambda m: m.run(["/bin/true"], properties={"NoSuch": 1}), ValueError, "'NoSuch'"),
        (lambda m: m.run(["/bin/true"], properties={"Environment": "A=1"}), TypeError, "property Environment"),
        (
            lambda m: m.run(["/bin/true"], properties={"MemoryMax": timedelta(1)}),
            TypeError,
            "MemoryMax: expected an unsigned 64-bit integer or a size",
        ),
        (lambda m: m.set_properties(PLAIN, {"NoSuch": 1}), ValueError, "'NoSuch'"),
        (lambda m: m.list_units(states="failed"), TypeError, "states takes an iterable of str"),
        (lambda m: m.list_unit_files(patterns="*.timer"), TypeError, "patterns takes an iterable of str"),
    ],
)
def test_arguments_are_refused_before_anything_is_sent(manager, svc, call, error, text):
    with pytest.raises(error, match=text):
        call(manager)
    assert svc.calls() == []


@pytest.mark.parametrize(
    "call,member,body",
    [
        (lambda m: m.reset_failed(), "ResetFailed", []),
        (lambda m: m.reset_failed(PLAIN), "ResetFailedUnit", [PLAIN]),
        (lambda m: m.kill(PLAIN), "KillUnit", [PLAIN, "all", 15]),
        (lambda m: m.kill(PLAIN, signal=signal.SIGHUP, whom="main"), "KillUnit", [PLAIN, "main", 1]),
        (lambda m: m.reload_or_restart(PLAIN, wait=True), "ReloadOrRestartUnit", [PLAIN, "replace"]),
        (
            lambda m: m.set_properties(
                PLAIN, {"MemoryMax": 1 << 30, "CPUQuotaPerSecUSec": timedelta(milliseconds=500)}, runtime=True
            ),
            "SetUnitProperties",
            [PLAIN, True, [["MemoryMax", ["t", 1 << 30]], ["CPUQuotaPerSecUSec", ["t", 500_000]]]],
        ),
        # systemctl's names: a unit without a type's suffix is a service.
        (lambda m: m.reset_failed("vq-plain"), "ResetFailedUnit", [PLAIN]),
        (lambda m: m.kill("vq-plain.service"), "KillUnit", [PLAIN, "all", 15]),
        (lambda m: (m.start("vq-plain", wait=True).unit == PLAIN) and None, "StartUnit", [PLAIN, "replace"]),
        (lambda m: (m.enable("vq-plain", reload=False), None)[1], "EnableUnitFiles", [[PLAIN], False, False]),
        (lambda m: (m.is_enabled("vq-plain"), None)[1], "GetUnitFileState", [PLAIN]),
        (
            lambda m: m.set_properties(
                PLAIN, {"MemoryMax": "1G", "RuntimeMaxUSec": "1min 30s", "TasksMax": "infinity"}
            ),
            "SetUnitProperties",
            [
                PLAIN,
                False,
                [["MemoryMax", ["t", 1 << 30]], ["RuntimeMaxUSec", ["t", 90_000_000]], ["TasksMax", ["t", 2**64 - 1]]],
            ],
        ),
        (
            lambda m: m.set_properties(PLAIN, {"Environment": {"A": "1", "B": "x y"}}),
            "SetUnitProperties",
            [PLAIN, False, [["Environment", ["as", ["A=1", "B=x y"]]]]],
        ),
    ],
)
def test_verbs_send_the_managers_members(manager, svc, call, member, body):
    assert call(manager) is None or member == "ReloadOrRestartUnit"
    assert manager.unit("vq-plain").name == PLAIN
    assert bodies(svc, member) == [body]


def test_unit_file_states_and_listing(manager, svc):
    assert manager.is_enabled(PLAIN) == "disabled"
    manager.enable(PLAIN)
    assert (manager.is_enabled(PLAIN), manager.is_enabled("vq-static.service")) == ("enabled", "static")
    assert manager.list_unit_files(patterns=("vq-*",), states=("enabled",)) == [
        systemd.UnitFile(PLAIN, f"/lib/systemd/system/{PLAIN}", "enabled")
    ]
    with pytest.raises(varquin.NoSuchUnit):
        manager.is_enabled("vq-nosuch.service")


def test_unit_file_changes_reload_the_manager_unless_told_not_to(manager, svc):
    manager.enable(PLAIN)
    manager.enable(PLAIN)  # nothing to change: no reload
    manager.disable(PLAIN, reload=False)
    manager.mask(PLAIN)
    assert [c["member"] for c in svc.calls()] == [
        "EnableUnitFiles",
        "Reload",
        "EnableUnitFiles",
        "DisableUnitFiles",
        "MaskUnitFiles",
        "Reload",
    ]


def test_cancel_ends_a_job_once_and_a_closed_manager_ends_its_waiters(svc):
    svc.behave("vq.hold_jobs", hold=True)
    m = systemd.Manager()
    job = m.start(PLAIN)
    assert job.cancel() is True and job.wait(10) == "canceled"
    assert job.cancel() is False  # gone: the manager answers NoSuchJob

    held = m.start(PLAIN)
    errors = []

    def waiter():
        try:
            held.wait(30)
        except ValueError as e:
            errors.append(str(e))

    t = threading.Thread(target=waiter)
    t.start()
    m.close()
    t.join()
    with pytest.raises(ValueError, match="the manager is closed"):
        held.wait(1)
    assert errors == ["the manager is closed"]


def test_details_convert_the_managers_values(manager, svc):
    props = {
        "Id": ["s", PLAIN],
        "Description": ["s", "plain"],
        "LoadState": ["s", "loaded"],
        "ActiveState": ["s", "active"],
        "SubState": ["s", "running"],
        "ActiveEnterTimestamp": ["t", 1_700_000_000_000_000],
        "ActiveExitTimestamp": ["t", 0],
        "FragmentPath": ["s", ""],
        "UnitFileState": ["s", "enabled"],
        "Result": ["s", "success"],
        "MainPID": ["u", 0],
        "MemoryCurrent": ["t", T_MAX],
        "TasksCurrent": ["t", 3],
        "CPUUsageNSec": ["t", 2_000_000_000],
        "ExecMainCode": ["i", 0],
        "ExecMainStatus": ["i", 0],
        "NRestarts": ["u", 2],
    }
    svc.behave("GetAll", reply=["a{sv}", [props]])  # the unit's and the Service interface's
    assert manager.unit(PLAIN).details() == systemd.UnitDetails(
        id=PLAIN,
        description="plain",
        load="loaded",
        active="active",
        sub="running",
        result="success",
        main_pid=None,
        active_enter=datetime(2023, 11, 14, 22, 13, 20, tzinfo=UTC),
        active_exit=None,
        inactive_enter=None,
        memory_current=None,
        tasks_current=3,
        cpu_usage=timedelta(seconds=2),
        exec_main_status=None,
        exec_main_code=None,
        n_restarts=2,
        fragment_path=None,
        unit_file_state="enabled",
    )
    assert [b[0] for b in bodies(svc, "GetAll")] == ["org.freedesktop.systemd1.Unit", systemd.SERVICE_INTERFACE]


def test_an_asyncio_bus_where_a_blocking_one_is_needed_is_a_type_error(svc):
    async def entries():
        async with await varquin.aio.Bus.system() as abus:
            for call in (
                lambda: systemd.Manager(abus),
                lambda: host.hostname(bus=abus),
                lambda: host.set_timezone("Etc/UTC", bus=abus),
            ):
                with pytest.raises(TypeError, match=r"^a varquin\.Bus is needed, not varquin\.aio\.Bus$"):
                    call()

    asyncio.run(entries())
    assert svc.calls() == []


def test_watch_and_wait_for_see_each_change_after_the_current_state(manager, svc):
    unit = manager.unit(PLAIN)
    seen = []
    with unit.watch(timeout=30) as watch:
        t = threading.Thread(target=lambda: seen.extend(watch))
        t.start()
        assert wait_for(lambda: seen == [("loaded", "inactive", "dead")])
        manager.start(PLAIN)
        manager.stop(PLAIN)
        assert wait_for(lambda: len(seen) == 3)
        watch.close()  # from this thread: the iterating one returns
        t.join()
    assert seen[1:] == [("loaded", "active", "running"), ("loaded", "inactive", "dead")]
    assert not watch.timed_out and list(watch) == []

    manager.start(PLAIN)
    assert unit.wait_for(active="active", sub="running", timeout=10) == ("loaded", "active", "running")
    with pytest.raises(TimeoutError, match=r"last seen UnitStatus\(load='loaded', active='active', sub='running'\)"):
        unit.wait_for(active="inactive", timeout=0.2)
    with unit.watch(timeout=0.2) as watch:  # the total time ends the iteration, without an exception
        assert list(watch) == [("loaded", "active", "running")] and watch.timed_out
    with pytest.raises(TypeError, match="at least one of"):
        unit.wait_for(timeout=1)


def test_closing_the_manager_ends_its_watches_and_runs(svc):
    m = systemd.Manager()
    unit = m.unit(PLAIN)
    watch = unit.watch()
    assert next(watch) == ("loaded", "inactive", "dead")
    results = []

    def waiter():
        try:
            unit.wait_for(active="active")
        except ValueError as e:
            results.append(str(e))

    t = threading.Thread(target=waiter)
    t.start()
    assert wait_for(lambda: len(m._watches) == 2)  # the waiter's watch is in place
    m.close()
    t.join()
    assert results == ["the manager is closed"] and list(watch) == []
    with pytest.raises(ValueError, match="the manager is closed"):
        m.run(["/bin/true"], wait=True)
    for call in (lambda: m.start(PLAIN), lambda: unit.status, lambda: unit.watch()):
        with pytest.raises(ValueError, match="the manager is closed"):
            call()


def test_watches_and_runs_in_reference_cycles_are_collected(manager, svc):
    watch = manager.unit(PLAIN).watch()
    run = manager.run(["/bin/true"])
    refs = [weakref.ref(watch), weakref.ref(run)]
    watch.cycle, run.cycle = watch, run
    del watch, run
    gc.collect()
    assert [r() for r in refs] == [None, None]
    manager.start(PLAIN, wait=True, timeout=10)  # the bus is unharmed


def test_queued_jobs_keep_only_what_held_jobs_need(svc, monkeypatch):
    with systemd.Manager() as m:
        for _ in range(300):  # never waited for, never held
            m.start(PLAIN)
        assert m.jobs.sub._pop() is None and len(m.jobs._jobs) == 0

    # A full queue drops its oldest signals: a held job whose end was among
    # them raises SignalsLost; one still running is waited for as before.
    monkeypatch.setattr(systemd_state, "JOB_SIGNALS_QUEUED", 4)
    svc.behave("vq.hold_jobs", hold=True)
    with systemd.Manager() as m, systemd.Manager(varquin.Bus.system()) as other:
        alive, lost = m.start(PLAIN), m.start(PLAIN)
        flood = [m.start(PLAIN) for _ in range(8)]  # held too: other jobs' ends are not queued at all
        for job in [lost, *flood]:  # their ends reach m's queue only once m reads
            other.bus.call(SERVICE, MANAGER_PATH, MANAGER, "CancelJob", "u", systemd.job_id(job.path))
        assert m.unit(PLAIN).status.load == "loaded"  # its reply comes after them: they are queued meanwhile
        with pytest.raises(varquin.SignalsLost, match="result is unknown"):
            lost.wait(10)
        with pytest.raises(TimeoutError):
            alive.wait(0.2)
        assert alive.cancel() and alive.wait(10) == "canceled"
        other.bus.close()


def test_a_command_is_found_as_systemd_run_finds_it_where_the_manager_is_this_machines(
    manager, svc, tmp_path, monkeypatch
):
    tool = tmp_path / "bin" / "vq-tool"
    tool.parent.mkdir()
    tool.write_text("#!/bin/sh\n")
    tool.chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path / 'nothing'}:{tool.parent}")
    monkeypatch.chdir(tmp_path)
    assert properties.find_executable("vq-tool") == str(tool)
    assert properties.find_executable("./bin/vq-tool") == str(tool)  # a path from the current folder
    for missing in ("vq-none", "./vq-tool"):
        with pytest.raises(FileNotFoundError, match="Failed to find executable"):
            properties.find_executable(missing)
    # The private bus taken for this machine's own: the command is sent found.
    monkeypatch.setattr(unit_journal, "_LOCAL_SYSTEM_BUS", frozenset({manager.bus.address}))
    manager.run(["vq-tool", "x"], wait=True)
    (exec_start,) = [v for n, (_s, v) in bodies(svc, "StartTransientUnit")[0][2] if n == "ExecStart"]
    assert exec_start == [[str(tool), [str(tool), "x"], False]]  # argv[0] replaced, as systemd-run does


def test_other_jobs_ends_never_take_the_place_of_a_held_jobs_end(svc, monkeypatch):
    monkeypatch.setattr(systemd_state, "JOB_SIGNALS_QUEUED", 4)
    svc.behave("vq.hold_jobs", hold=True)
    with systemd.Manager() as m, systemd.Manager(varquin.Bus.system()) as other:
        held = m.start(PLAIN)
        cancel = [held, *(other.start("vq-static.service") for _ in range(20))]
        for job in cancel:  # the held job's end first, then far more than the queue holds
            other.bus.call(SERVICE, MANAGER_PATH, MANAGER, "CancelJob", "u", systemd.job_id(job.path))
        assert m.unit(PLAIN).status.load == "loaded"  # its reply comes after them: they arrived meanwhile
        assert held.wait(10) == "canceled"
        assert m.jobs.sub._pop() is None  # the others were dropped as they came

"""systemd control against substitute services on the private bus: what is
sent, what comes back, how failures are recorded, and the object path escape.

The substitutes (testing/peers/systemd_services.py) record every call, so the
tests assert the exact member, path, signature and arguments that went out.
"""

import ctypes
import os
import subprocess
import sys
import threading
import time

import pytest

import _varquin
from testing.env import child_env

MANAGER = ("org.freedesktop.systemd1", "/org/freedesktop/systemd1", "org.freedesktop.systemd1.Manager")
HOSTNAME = ("org.freedesktop.hostname1", "/org/freedesktop/hostname1", "org.freedesktop.hostname1")
TIMEDATE = ("org.freedesktop.timedate1", "/org/freedesktop/timedate1", "org.freedesktop.timedate1")
LOGIN = ("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager")
PROPERTIES = "org.freedesktop.DBus.Properties"
UNIT_PATH = "/org/freedesktop/systemd1/unit/"

NO_CHANGE = (None, None, None)
NO_STATES = {"LoadState": None, "ActiveState": None, "SubState": None}
PLAIN_WANTS = "/etc/systemd/system/multi-user.target.wants/vq-plain.service"
PLAIN_FILE = "/lib/systemd/system/vq-plain.service"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"


def call(service, member, signature, body, path=None):
    """A recorded call as the substitutes record it."""
    destination, service_path, interface = service
    return {
        "destination": destination,
        "path": path or service_path,
        "interface": interface,
        "member": member,
        "signature": signature,
        "body": body,
    }


def failure(message, detail=None):
    """The text get_last_error(0) gives for a recorded failure."""
    return f"{message}, {detail}, Success" if detail is not None else f"{message}, Success"


# -- the manager: reload and unit jobs ------------------------------------------


def test_daemon_reload_calls_reload_and_ignores_extra_arguments(svc, native):
    assert _varquin.daemon_reload() is True
    assert _varquin.daemon_reload(1, "two", None) is True
    assert svc.calls() == [call(MANAGER, "Reload", "", [])] * 2
    assert native.error_code == 0


def test_unit_control_queues_a_job_with_mode_replace_and_returns_its_path(svc, native):
    assert _varquin.unit_control("vq-plain.service", "StartUnit") == (True, "/org/freedesktop/systemd1/job/1")
    assert _varquin.unit_status("vq-plain.service")[1]["ActiveState"] == "active"
    assert _varquin.unit_control("vq-plain.service", "StopUnit") == (True, "/org/freedesktop/systemd1/job/2")
    assert svc.calls("StartUnit") == [call(MANAGER, "StartUnit", "ss", ["vq-plain.service", "replace"])]
    assert svc.calls("StopUnit") == [call(MANAGER, "StopUnit", "ss", ["vq-plain.service", "replace"])]
    assert native.error_code == 0


def test_unit_control_reply_without_a_job_path_is_code_3(svc, native):
    native.set_vq_error_msg(12, b"older")
    svc.behave("StartUnit", reply=["s", ["not a path"]])
    assert _varquin.unit_control("vq-plain.service", "StartUnit") == (False, None)
    # The code alone is recorded: an older detail stays.
    assert native.error_code == 3
    assert _varquin.get_last_error(0) == failure("Failed to parse response message", "older")


# -- host settings and power -----------------------------------------------------------


@pytest.mark.parametrize(
    "fn,args,expected",
    [
        ("set_hostname", ("SetStaticHostname", "box"), call(HOSTNAME, "SetStaticHostname", "sb", ["box", False])),
        # An omitted value goes out as the empty string.
        ("set_hostname", ("SetPrettyHostname",), call(HOSTNAME, "SetPrettyHostname", "sb", ["", False])),
        ("set_timezone", ("Europe/Berlin",), call(TIMEDATE, "SetTimezone", "sb", ["Europe/Berlin", False])),
        ("set_wall_message", ("hello",), call(LOGIN, "SetWallMessage", "sb", ["hello", True])),
    ],
    ids=["static-hostname", "value-omitted", "timezone", "wall-message"],
)
def test_setters_send_the_value_and_their_flag(svc, native, fn, args, expected):
    assert getattr(_varquin, fn)(*args) is True
    assert svc.calls() == [expected]
    assert native.error_code == 0


def test_get_hostname_reads_string_properties(svc, native):
    assert _varquin.get_hostname("Hostname") == (True, "vq-host")
    assert _varquin.set_hostname("SetStaticHostname", "box") is True
    assert _varquin.get_hostname("StaticHostname") == (True, "box")
    # An empty value is an empty str, not None.
    assert _varquin.get_hostname("PrettyHostname") == (True, "")
    get = [PROPERTIES if i == 2 else v for i, v in enumerate(HOSTNAME)]
    assert svc.calls("Get")[0] == call(get, "Get", "ss", [HOSTNAME[2], "Hostname"])
    assert native.error_code == 0


@pytest.mark.parametrize(
    "script",
    [None, {"reply": ["v", [["u", 5]]]}, {"reply": ["s", ["no variant"]]}],
    ids=["unknown-property", "not-a-string", "not-a-variant"],
)
def test_get_hostname_failures_record_code_5_alone(svc, native, script):
    if script:
        svc.behave("Get", **script)
    native.set_vq_error_msg(12, b"older")
    assert _varquin.get_hostname("Nope" if script is None else "Hostname") == (False, None)
    assert _varquin.get_last_error(0) == failure("Failed to get property", "older")


@pytest.mark.parametrize("fn,member", [("machine_reboot", "Reboot"), ("machine_poweroff", "PowerOff")])
def test_reboot_and_poweroff_send_the_wall_message_then_the_request(svc, native, fn, member):
    assert getattr(_varquin, fn)("") is True
    assert svc.calls() == [
        call(LOGIN, "SetWallMessage", "sb", ["", True]),
        call(LOGIN, member, "b", [False]),
    ]
    assert native.error_code == 0


def test_a_refused_wall_message_does_not_stop_the_request(svc, native):
    svc.behave("SetWallMessage", error=[ACCESS_DENIED, "no wall for you"])
    assert _varquin.machine_poweroff("bye") is True
    assert [c["member"] for c in svc.calls()] == ["SetWallMessage", "PowerOff"]
    assert _varquin.get_last_error(0) == failure("Failed to call method", "no wall for you")


@pytest.mark.parametrize(
    "fn,args,error",
    [
        ("machine_reboot", (), TypeError),
        ("machine_reboot", (None,), TypeError),
        ("machine_poweroff", (1,), TypeError),
        ("machine_poweroff", ("a", "b"), TypeError),
        ("set_wall_message", (b"bytes",), TypeError),
        ("set_timezone", (), TypeError),
        ("set_hostname", (), TypeError),
        ("set_hostname", ("SetStaticHostname", None), TypeError),
        ("get_hostname", (3,), TypeError),
        ("set_timezone", ("\udc80",), UnicodeEncodeError),
        ("unit_control", ("vq-plain.service", None), TypeError),
        ("unit_status", (), TypeError),
        ("unit_enable", ("a", "b"), TypeError),
        ("unit_mask", (7,), TypeError),
    ],
)
def test_arguments_that_do_not_parse_raise_and_call_nothing(svc, native, fn, args, error):
    native.set_vq_error(5)
    with pytest.raises(error):
        getattr(_varquin, fn)(*args)
    assert svc.calls() == []
    assert native.error_code == 5


# -- unit files --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn,member,signature,flags",
    [
        ("unit_enable", "EnableUnitFiles", "asbb", [False, False]),
        ("unit_disable", "DisableUnitFiles", "asb", [False]),
        ("unit_mask", "MaskUnitFiles", "asbb", [False, False]),
        ("unit_unmask", "UnmaskUnitFiles", "asb", [False]),
    ],
)
def test_unit_file_calls_send_one_name_and_false_flags(svc, fn, member, signature, flags):
    getattr(_varquin, fn)("vq-plain.service")
    assert svc.calls() == [call(MANAGER, member, signature, [["vq-plain.service"], *flags])]


def test_each_unit_file_call_reports_its_change(svc, native):
    enable = ("symlink", PLAIN_WANTS, PLAIN_FILE)
    assert _varquin.unit_enable("vq-plain.service") == (True, enable)
    assert _varquin.unit_enable("vq-plain.service") == (True, NO_CHANGE)  # already enabled
    assert _varquin.unit_disable("vq-plain.service") == (True, ("unlink", PLAIN_WANTS, ""))
    assert _varquin.unit_disable("vq-plain.service") == (True, NO_CHANGE)
    mask_link = "/etc/systemd/system/vq-plain.service"
    assert _varquin.unit_mask("vq-plain.service") == (True, ("symlink", mask_link, "/dev/null"))
    assert _varquin.unit_unmask("vq-plain.service") == (True, ("unlink", mask_link, ""))
    assert _varquin.unit_unmask("vq-plain.service") == (True, NO_CHANGE)
    assert native.error_code == 0


def test_several_changes_report_the_first_and_succeed(svc, native):
    # WantedBy= and Alias= give two links; the alias link comes first.
    assert _varquin.unit_enable("vq-alias.service") == (
        True,
        ("symlink", "/etc/systemd/system/vq-other.service", "/lib/systemd/system/vq-alias.service"),
    )
    assert _varquin.unit_disable("vq-alias.service") == (
        True,
        ("unlink", "/etc/systemd/system/multi-user.target.wants/vq-alias.service", ""),
    )
    entries = [["unlink", f"/etc/x{i}", ""] for i in range(3)]
    svc.behave("UnmaskUnitFiles", reply=["a(sss)", [entries]])
    assert _varquin.unit_unmask("vq-plain.service") == (True, ("unlink", "/etc/x0", ""))
    assert native.error_code == 0


def test_enable_reads_past_the_install_info_flag(svc, native):
    # A unit without [Install] gives (false, []): nothing changed, no failure.
    assert _varquin.unit_enable("vq-static.service") == (True, NO_CHANGE)
    svc.behave("EnableUnitFiles", reply=["ba(sss)", [False, [["symlink", "/a", "/b"]]]])
    assert _varquin.unit_enable("vq-plain.service") == (True, ("symlink", "/a", "/b"))
    assert native.error_code == 0


@pytest.mark.parametrize(
    "fn,member,reply",
    [
        ("unit_disable", "DisableUnitFiles", ["s", ["x"]]),
        ("unit_mask", "MaskUnitFiles", ["a(ss)", [[["a", "b"]]]]),
        ("unit_enable", "EnableUnitFiles", ["b", [True]]),
    ],
    ids=["string", "pairs", "flag-only"],
)
def test_unit_file_reply_of_the_wrong_type_is_code_3(svc, native, fn, member, reply):
    svc.behave(member, reply=reply)
    assert getattr(_varquin, fn)("vq-plain.service") == (False, NO_CHANGE)
    assert native.error_code == 3 and native.detail is None


# -- unit status --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name,label",
    [
        ("vq-plain.service", "vq_2dplain_2eservice"),
        ("9getty@tty1.service", "_39getty_40tty1_2eservice"),
        ("", "_"),
    ],
)
def test_unit_status_asks_the_units_escaped_object_path(svc, name, label):
    _varquin.unit_status(name)
    get_all = ("org.freedesktop.systemd1", None, PROPERTIES)
    assert svc.calls() == [call(get_all, "GetAll", "s", [""], path=UNIT_PATH + label)]


def test_unit_status_reads_the_three_states(svc, native):
    assert _varquin.unit_status("vq-plain.service") == (
        True,
        {"LoadState": "loaded", "ActiveState": "inactive", "SubState": "dead"},
    )
    _varquin.unit_control("vq-plain.service", "StartUnit")
    assert _varquin.unit_status("vq-plain.service") == (
        True,
        {"LoadState": "loaded", "ActiveState": "active", "SubState": "running"},
    )
    assert _varquin.unit_status("nosuch.service") == (
        True,
        {"LoadState": "not-found", "ActiveState": "inactive", "SubState": "dead"},
    )
    assert native.error_code == 0


@pytest.mark.parametrize(
    "properties,expected",
    [
        ([["Id", ["s", "x"]], ["Names", ["as", ["x"]]]], NO_STATES),
        (
            [
                ["LoadState", ["u", 3]],
                ["Conditions", ["a(sbbsi)", [["a", True, False, "b", 1]]]],
                ["ActiveState", ["s", "active"]],
                ["SubState", ["as", ["running"]]],
                ["Sub", ["s", "x"]],
            ],
            {"LoadState": None, "ActiveState": "active", "SubState": None},
        ),
        # Named twice: the later value, and the earlier copy is not leaked.
        (
            [["LoadState", ["s", "first"]], ["SubState", ["s", "dead"]], ["LoadState", ["s", "second"]]],
            {"LoadState": "second", "ActiveState": None, "SubState": "dead"},
        ),
        ([], NO_STATES),
    ],
    ids=["none-of-the-names", "values-not-strings", "named-twice", "empty"],
)
def test_unit_status_takes_only_string_values_of_the_three_names(svc, native, properties, expected):
    svc.behave("GetAll", reply=["a{sv}", [properties]])
    assert _varquin.unit_status("x.service") == (True, expected)
    assert native.error_code == 0


@pytest.mark.parametrize("reply", [["s", ["x"]], ["a{ss}", [{"LoadState": "loaded"}]]], ids=["string", "a{ss}"])
def test_unit_status_reply_of_the_wrong_type_is_code_3(svc, native, reply):
    svc.behave("GetAll", reply=reply)
    assert _varquin.unit_status("x.service") == (False, NO_STATES)
    assert native.error_code == 3 and native.detail is None


# -- the object path escape, through its native entries ------------------------------------


# -- refusals: every call records its code with the service's own message -----

DENIED = [ACCESS_DENIED, "Access denied"]

REFUSALS = [
    # (function, arguments, scripted errors {member: error}, result, message, detail)
    ("daemon_reload", (), {"Reload": DENIED}, False, "Failed to call method", "Access denied"),
    (
        "unit_control",
        ("nosuch.service", "StartUnit"),
        {},
        (False, None),
        "Failed to issue method call",
        "Unit nosuch.service not found.",
    ),
    (
        "unit_control",
        ("vq-plain.service", "NoSuchMethod"),
        {},
        (False, None),
        "Failed to issue method call",
        f"Unknown method NoSuchMethod or interface {MANAGER[2]}.",
    ),
    # No member at all: sd-bus refuses to build the call and says why.
    ("unit_control", ("vq-plain.service",), {}, (False, None), "Failed to issue method call", "Invalid argument"),
    (
        "set_hostname",
        ("SetStaticHostname", "bad name!"),
        {},
        False,
        "Failed to call method",
        "Invalid static hostname 'bad name!'",
    ),
    (
        "set_timezone",
        ("Nowhere/Atlantis",),
        {},
        False,
        "Failed to call method",
        "Invalid or not installed time zone 'Nowhere/Atlantis'",
    ),
    (
        "set_hostname",
        ("SetNoSuchThing", "x"),
        {},
        False,
        "Failed to call method",
        f"Unknown method SetNoSuchThing or interface {HOSTNAME[2]}.",
    ),
    # A refused request reports its own message, not the wall message's.
    (
        "machine_reboot",
        ("bye",),
        {
            "SetWallMessage": [ACCESS_DENIED, "no wall for you"],
            "Reboot": [ACCESS_DENIED, "Interactive authentication required."],
        },
        False,
        "Failed to call method",
        "Interactive authentication required.",
    ),
    (
        "unit_enable",
        ("nosuch.service",),
        {},
        (False, NO_CHANGE),
        "Failed to issue method call",
        "Unit file nosuch.service does not exist.",
    ),
    (
        "unit_mask",
        ("vq-plain.service",),
        {"MaskUnitFiles": DENIED},
        (False, NO_CHANGE),
        "Failed to issue method call",
        "Access denied",
    ),
    (
        "unit_status",
        ("",),
        {},
        (False, NO_STATES),
        "Failed to issue method call",
        "Unit name  is neither a valid invocation ID nor unit name.",
    ),
]


@pytest.mark.parametrize("fn,args,errors,result,message,detail", REFUSALS)
def test_refused_calls_record_their_code_with_the_services_message(svc, fn, args, errors, result, message, detail):
    for member, error in errors.items():
        svc.behave(member, error=error)
    assert getattr(_varquin, fn)(*args) == result
    assert _varquin.get_last_error(0) == failure(message, detail)
    assert _varquin.get_last_error(0) == ", Success"  # reading cleared it
    if fn == "unit_control" and len(args) == 1:
        assert svc.calls() == []  # nothing was sent


@pytest.fixture(scope="module")
def escape(native):
    fn = native.lib.bus_label_escape
    fn.restype, fn.argtypes = ctypes.c_void_p, [ctypes.c_char_p]

    def run(raw):
        ptr = fn(raw)
        assert ptr
        try:
            return ctypes.string_at(ptr).decode("ascii")
        finally:
            native.libc.free(ptr)

    return run


@pytest.mark.parametrize(
    "raw,label",
    [
        (b"", "_"),
        (b"x1", "x1"),
        (b"1x", "_31x"),
        (b"11", "_311"),
        (b"a.b", "a_2eb"),
        (b"foo-bar.service", "foo_2dbar_2eservice"),
        (b"_", "_5f"),
        (b"\xc3\x84", "_c3_84"),
        (b"AZaz09", "AZaz09"),
        (b"_.-@", "_5f_2e_2d_40"),
        (b"\x01 /\x7f\x80\xff", "_01_20_2f_7f_80_ff"),
        (b"getty@tty1.service", "getty_40tty1_2eservice"),
    ],
)
def test_bus_label_escape(escape, raw, label):
    assert escape(raw) == label


def test_bus_label_escape_of_a_long_name_fills_its_whole_allocation(escape):
    # Every byte escaped: exactly three characters per byte.
    assert escape(b"." * 4096) == "_2e" * 4096


def test_hexchar_gives_the_digit_of_the_low_four_bits(native):
    fn = native.lib.hexchar
    fn.restype, fn.argtypes = ctypes.c_char, [ctypes.c_int]
    for x in [*range(40), 255, 256, -1, -16, 2**31 - 1, -(2**31)]:
        assert fn(x).decode() == "0123456789abcdef"[x & 15], x


# -- no bus ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "fn,args,result",
    [
        ("daemon_reload", (), False),
        ("unit_control", ("x.service", "StartUnit"), (False, None)),
        ("set_hostname", ("SetStaticHostname", "x"), False),
        ("get_hostname", ("Hostname",), (False, None)),
        ("set_wall_message", ("x",), False),
        ("machine_reboot", ("x",), False),
        ("machine_poweroff", ("x",), False),
        ("set_timezone", ("Etc/UTC",), False),
        ("unit_enable", ("x.service",), (False, NO_CHANGE)),
        ("unit_disable", ("x.service",), (False, NO_CHANGE)),
        ("unit_mask", ("x.service",), (False, NO_CHANGE)),
        ("unit_unmask", ("x.service",), (False, NO_CHANGE)),
        ("unit_status", ("x.service",), (False, NO_STATES)),
    ],
)
def test_unreachable_bus_fails_with_code_4_on_every_call(unreachable_bus, native, fn, args, result):
    for _ in range(2):  # each call tries to connect again
        assert getattr(_varquin, fn)(*args) == result
        assert native.error_code == 4 and native.detail is None
        assert native.is_client_bus_open() == 0
        assert _varquin.get_last_error(0) == failure("Failed to connect to system bus")


# -- memory exhausted while building the unit's object path -------------------------------

EXHAUSTED = r"""
import ctypes, resource, _varquin
N = 64 << 20
name = "a" * N

def address_space():
    with open("/proc/self/status") as f:
        kib = next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
    return kib * 1024

lib = ctypes.CDLL(_varquin.__file__)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# First no room for the label (3N bytes), then room for the label but not
# for the path (N more).
for room in (2 * N, 3 * N + N // 2):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + room, hard))
    try:
        result = _varquin.unit_status(name)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(result, lib.is_client_bus_open(), ctypes.c_int.in_dll(lib, "vq_error_code").value)
print(_varquin.unit_status("x.service")[0], ctypes.c_int.in_dll(lib, "vq_error_code").value)
"""


@pytest.mark.skipif(os.environ.get("VQ_SANITIZED") == "1", reason="the sanitizer runtime reserves the address space")
def test_no_memory_for_the_object_path_fails_without_touching_the_bus(unreachable_bus):
    # The bus address points nowhere: any attempt to use the bus would
    # record code 4.
    out = subprocess.run(
        [sys.executable, "-c", EXHAUSTED],
        capture_output=True,
        text=True,
        env=child_env(imports_module=True),
        check=True,
    ).stdout.splitlines()
    failed = f"(False, {NO_STATES!r}) 0 0"
    assert out == [failed, failed, "False 4"]


# -- threads --------------------------------------------------------------------------------


def test_the_interpreter_lock_is_released_while_a_call_waits(svc):
    svc.behave("Reload", delay=1.0)
    results = []
    worker = threading.Thread(target=lambda: results.append(_varquin.daemon_reload()))
    began = time.monotonic()
    worker.start()
    time.sleep(0.3)
    # Only reachable while the worker waits on the bus if it let go of the
    # interpreter lock.
    assert worker.is_alive()
    worker.join()
    assert results == [True] and time.monotonic() - began >= 1.0


def test_calls_from_many_threads_share_the_connection_safely(svc):
    errors = []
    barrier = threading.Barrier(6)

    def worker(i):
        try:
            barrier.wait()
            for _ in range(25):
                assert _varquin.unit_status("vq-plain.service")[1]["LoadState"] == "loaded"
                assert _varquin.get_hostname("Hostname") == (True, "vq-host")
                assert _varquin.unit_control("vq-plain.service", "StartUnit")[0] is True
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(svc.calls("StartUnit")) == 150

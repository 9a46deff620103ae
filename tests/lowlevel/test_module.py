"""The module's surface: its table, doc strings, argument conventions,
reference counting, what importing does, and the shared object's imports."""

import importlib
import importlib.metadata
import re
import shutil
import subprocess
import sys

import pytest

import _varquin
from testing.env import SEND_PATH, SEND_PEER, child_env


def module_functions():
    return [n for n, v in vars(_varquin).items() if callable(v) and not n.startswith("__")]


# Rows of the module's table at their places, with their doc strings: enough
# spread over the table that a row missing, added or moved, or a doc string
# copied onto the wrong row, shows.
TABLE_SIZE = 21
SPOT_ROWS = {
    0: ("get_sd_bus_fd", "get sd-bus descriptor"),
    3: ("listen", "Listen the bus"),
    7: ("send", "send message to bus"),
    12: ("unit_status", "returns unit status"),
    13: ("unit_control", "common unit control method"),
    16: ("machine_reboot", "reboot the machine via systemd (logind)"),
    20: ("daemon_reload", "reload systemd daemon"),
}

# Arguments that parse, for the functions taking strings: (name, args).
STRING_CALLS = [
    ("send", (SEND_PEER, SEND_PATH, SEND_PEER, "EchoTwo", "ss", "iss", "first", "second")),
]
STRING_CALLS += [
    ("unit_enable", ("x.service",)),
    ("unit_disable", ("x.service",)),
    ("unit_mask", ("x.service",)),
    ("unit_unmask", ("x.service",)),
    ("unit_status", ("x.service",)),
    ("unit_control", ("x.service", "StartUnit")),
    ("set_hostname", ("SetStaticHostname", "box")),
    ("get_hostname", ("Hostname",)),
    ("machine_reboot", ("going down",)),
    ("machine_poweroff", ("going down",)),
    ("set_wall_message", ("hello",)),
    ("set_timezone", ("Europe/Berlin",)),
    ("service_register", ("/org/varquin/nul", "org.varquin.Nul", "M", "s", "s", print, 0)),
]


def test_table_holds_its_rows_in_order_with_their_doc_strings():
    names = module_functions()
    assert len(names) == len(set(names)) == TABLE_SIZE
    assert {i: (names[i], getattr(_varquin, names[i]).__doc__) for i in SPOT_ROWS} == SPOT_ROWS
    assert all(getattr(_varquin, name).__doc__ for name in names)
    assert _varquin.__name__ == "_varquin"
    assert _varquin.__doc__


@pytest.mark.parametrize("name", sorted(module_functions()))
def test_keyword_arguments_are_refused(name, native):
    native.set_vq_error(5)
    with pytest.raises(TypeError, match="keyword"):
        getattr(_varquin, name)(code=0)
    # Refused before the wrapper ran: the recorded failure is still there.
    assert native.error_code == 5


@pytest.mark.parametrize("name,args", STRING_CALLS)
def test_embedded_nul_is_refused_by_the_parser(name, args, native):
    for pos, arg in enumerate(args):
        if isinstance(arg, str):
            bad = list(args)
            bad[pos] = arg + "\0tail"
            with pytest.raises(ValueError, match="null"):
                getattr(_varquin, name)(*bad)
    assert native.error_code == 0


def test_functions_without_arguments_ignore_extra_positionals():
    assert _varquin.deinit_client(1, "two", None) is True


def counted(obj):
    """Whether the interpreter counts references to `obj`: from 3.12 on
    None, True, False and small ints are immortal and their count never
    moves, so a lost or extra reference to them cannot be seen."""
    before = sys.getrefcount(obj)
    held = [obj] * 100
    return sys.getrefcount(obj) != before and len(held) == 100


def test_reference_counts_of_true_false_and_none_stay_balanced(unreachable_bus):
    # A wrapper that forgets the new reference it returns drains True, False
    # or None.  With the bus unreachable the client calls return False and
    # None.
    if not any(map(counted, (True, False, None))):
        pytest.skip("True, False and None are immortal in this interpreter: their counts do not move")

    def counts():
        return sys.getrefcount(True), sys.getrefcount(False), sys.getrefcount(None)

    def calls():
        _varquin.deinit_client()
        _varquin.get_last_error(0)
        assert _varquin.daemon_reload() is False
        assert _varquin.unit_control("x.service", "StartUnit") == (False, None)
        assert _varquin.unit_enable("x.service") == (False, (None, None, None))
        assert _varquin.unit_status("x.service")[0] is False

    for _ in range(100):  # settle caches first
        calls()
    before = counts()
    for _ in range(5000):
        calls()
    after = counts()
    assert after == before


def test_send_results_hold_exactly_their_references(send_peer):
    # A result of send is a new tuple of new ints and strs and of None for
    # positions without a value; each is referenced once, by the tuple.
    # What a count reads for "referenced once" depends on the interpreter
    # (from 3.14 a local passed to getrefcount is lent, not referenced
    # again), so the counts are compared with those of objects made here and
    # held the same ways: one by a local only, one by a tuple only.
    big = 2**31 - 1  # not a cached small int
    send_peer.behave("IntStr", reply=["is", [big, "fresh text"]])
    args = (SEND_PEER, SEND_PATH, SEND_PEER, "IntStr", "s")
    for _ in range(50):  # settle caches first
        _varquin.send(*args, "isx", "x")
    # Counted with no assert statement in between: their rewriting keeps
    # references of its own.
    # (None's count moves only where None is counted, before 3.12.)
    before = sys.getrefcount(None)
    for _ in range(1000):
        _varquin.send(*args, "isx", "x")
    after = sys.getrefcount(None)
    local = tuple([object()])
    in_tuple = sys.getrefcount(local[0])
    by_local = sys.getrefcount(local)
    result = _varquin.send(*args, "isx", "x")
    counts = [sys.getrefcount(result), sys.getrefcount(result[1]), sys.getrefcount(result[2])]
    assert after == before
    assert result == (1, big, "fresh text", None) and counts == [by_local, in_tuple, in_tuple]
    failed = _varquin.send(*args, "ii", "x")  # (status,) of a failed read
    counts = [sys.getrefcount(failed), sys.getrefcount(failed[0])]
    assert failed[0] < 0 and counted(failed[0]) and counts == [by_local, in_tuple]


def test_importing_opens_nothing_and_records_nothing():
    probe = r"""
import ctypes, signal
before = [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT)]
import _varquin
lib = ctypes.CDLL(_varquin.__file__)
after = [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT)]
print(lib.is_client_bus_open(), lib.is_server_bus_open(),
      ctypes.c_int.in_dll(lib, "vq_error_code").value,
      ctypes.c_void_p.in_dll(lib, "sd_error").value,
      before == after)
"""
    out = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, env=child_env(imports_module=True), check=True
    ).stdout
    assert out.split() == ["0", "0", "0", "None", "True"]


def test_the_package_version_is_the_installed_distributions():
    # Written by the build from pyproject.toml's version (through CMake).
    import varquin

    assert varquin.__version__ == importlib.metadata.version("varquin")


@pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump is not installed")
@pytest.mark.parametrize("module", ["_varquin", "varquin._core"])
def test_shared_objects_import_nothing_newer_than_libsystemd_222(module):
    path = importlib.import_module(module).__file__
    dump = subprocess.run(["objdump", "-T", path], capture_output=True, text=True, check=True).stdout
    versions = {int(v) for v in re.findall(r"\bLIBSYSTEMD_(\d+)\b", dump)}
    if module == "_varquin":
        assert versions, "no libsystemd symbol imported at all"
    assert max(versions, default=0) <= 222, sorted(versions)
    assert re.search(rf"\bPyInit_{module.rpartition('.')[2]}\b", dump)


# What each shared object exports: its init entry and, for the low-level
# module, the C names its headers declare; none of their C++ internals.
EXPORTS = {
    "_varquin": {
        "PyInit__varquin",
        "acquire_client_bus",
        "acquire_server_bus",
        "allocate_variant_array",
        "b_client",
        "bus_close",
        "bus_label_escape",
        "bus_open",
        "client",
        "client_bus_close",
        "client_bus_deinit",
        "client_bus_open",
        "daemon_reload",
        "deinit_client",
        "deinit_server",
        "g_event_fd",
        "g_methods",
        "g_methods_amount",
        "get_client_bus",
        "get_hostname",
        "get_last_error",
        "get_sd_bus_fd",
        "get_server_bus",
        "hexchar",
        "init",
        "init_method_data",
        "init_variant_array",
        "init_vtable",
        "is_client_bus_open",
        "is_server_bus_open",
        "listen",
        "logind_method",
        "machine_poweroff",
        "machine_reboot",
        "parse_args",
        "py_signals_need_iterrupt",
        "run_epoll_wait_threads",
        "run_python_func",
        "run_sd_bus_process_threads",
        "sd_error",
        "server_bus_close",
        "server_bus_deinit",
        "server_bus_open",
        "service_register",
        "set_hostname",
        "set_py_interrupt",
        "set_signal_actions",
        "set_terminate_func",
        "set_timezone",
        "set_vq_error",
        "set_vq_error_msg",
        "set_wall_message",
        "setrlimit_closest",
        "unit_control",
        "unit_disable",
        "unit_enable",
        "unit_mask",
        "unit_status",
        "unit_unmask",
        "variant_array_free",
        "variant_array_get_size",
        "variant_array_is_allocated",
        "variant_get_int",
        "variant_get_state",
        "variant_get_str",
        "variant_is_int",
        "variant_is_str",
        "variant_set_int",
        "variant_set_str",
        "vq_clean_error",
        "vq_error_code",
        "vq_error_init",
        "vq_has_error",
    },
    "varquin._core": {"PyInit__core"},
}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("module", sorted(EXPORTS))
def test_shared_objects_export_only_their_interface(module):
    path = importlib.import_module(module).__file__
    dump = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in dump.splitlines() if line.strip()}
    # The sanitizer build adds a marker of its own beside each exported global.
    assert {n for n in names if not n.startswith("__odr_asan.")} == EXPORTS[module]

"""Forwarding of SIGINT, SIGTERM and SIGQUIT into the interpreter's
interrupt, installed by native code through the shared object's symbols.
Each test runs in a child interpreter: the dispositions it changes stay
changed for the life of the process."""

import json
import subprocess
import sys

import pytest

from testing.env import child_env
from testing.servicelib import fresh_interface

CALLBACK = r"""
#include <signal.h>
static volatile sig_atomic_t calls = 0;
extern "C" void on_term(void) { calls = calls + 1; }
extern "C" int term_calls(void) { return calls; }
"""

PRELUDE = r"""
import ctypes, json, os, signal, sys, threading, time
import _varquin
lib = ctypes.CDLL(_varquin.__file__)
lib.set_terminate_func.argtypes = [ctypes.c_void_p]
lib.set_terminate_func.restype = None
lib.set_signal_actions.restype = None
"""


@pytest.fixture(scope="module")
def callback_lib(tmp_path_factory):
    """A native termination callback that counts its calls."""
    folder = tmp_path_factory.mktemp("callback")
    src = folder / "callback.cpp"
    src.write_text(CALLBACK)
    so = folder / "libcallback.so"
    subprocess.run(
        ["g++", "-shared", "-fPIC", "-O1", "-o", str(so), str(src)], check=True, timeout=120, env=child_env()
    )
    return so


def run_child(script, *args):
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + script, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=60,
        env=child_env(imports_module=True),
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1]), done.stderr


def test_signals_run_the_callback_then_interrupt_the_interpreter(callback_lib):
    out, _ = run_child(
        r"""
cb = ctypes.CDLL(sys.argv[1])
on_term = ctypes.cast(cb.on_term, ctypes.c_void_p)

def caught():
    # The signals this process has a handler for, as the kernel sees it.
    for line in open("/proc/self/status"):
        if line.startswith("SigCgt:"):
            mask = int(line.split()[1], 16)
    return [s for s in (1, 2, 3, 15) if mask >> (s - 1) & 1]

def deliver(sig):
    try:
        os.kill(os.getpid(), sig)
        for _ in range(200):
            time.sleep(0.005)
        return "nothing"
    except KeyboardInterrupt:
        return "interrupt"

out = {"before": caught()}
lib.set_signal_actions()
out["after"] = caught()
out["no_callback"] = [deliver(signal.SIGTERM), cb.term_calls()]
lib.set_terminate_func(on_term)
out["callback"] = [[deliver(s), cb.term_calls()] for s in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT)]
lib.set_terminate_func(None)
out["removed"] = [deliver(signal.SIGQUIT), cb.term_calls()]
lib.set_signal_actions()  # installing again changes nothing
out["again"] = [caught(), deliver(signal.SIGINT), cb.term_calls()]
print(json.dumps(out))
""",
        callback_lib,
    )
    assert out == {
        "before": [2],  # only the interpreter's own SIGINT handler; SIGHUP never
        "after": [2, 3, 15],
        "no_callback": ["interrupt", 0],  # SIGTERM acts as SIGINT instead of ending the process
        "callback": [["interrupt", 1], ["interrupt", 2], ["interrupt", 3]],
        "removed": ["interrupt", 3],
        "again": [[2, 3, 15], "interrupt", 3],
    }


LISTEN_ON_MAIN = r"""
from jeepney import DBusAddress, new_method_call
from jeepney.io.blocking import open_dbus_connection

iface, mode = sys.argv[1:]
called, handled, replies = [], [], []
_varquin.init(2)
assert _varquin.service_register("/p", iface, "Work", "s", "s", lambda s: (called.append(s) or "done",), 0) == 1
# libc's raise through ctypes sends SIGINT with no Python code of its own to
# notice it (signal.raise_signal and os.kill check at once).
kill = ctypes.CDLL(None)["raise"]
kill.restype = None
assert _varquin.service_register("/p", iface, "Kill", "s", "i", kill, 1) == 1
sig = signal.SIGINT
if mode == "forwarded":
    lib.set_signal_actions()
    sig = signal.SIGTERM
elif mode == "quiet":
    signal.signal(sig, lambda n, frame: handled.append(n))
conn = open_dbus_connection(bus="SYSTEM")
address = DBusAddress("/p", iface, iface)

def waiting():
    deadline = time.monotonic() + 10
    while ctypes.c_int.in_dll(lib, "g_event_fd").value == 0 and time.monotonic() < deadline:
        time.sleep(0.01)

def interrupt():
    waiting()
    if mode == "during call":
        replies.append(list(conn.send_and_get_reply(new_method_call(address, "Kill", "i", (sig,))).body))
    else:
        os.kill(os.getpid(), sig)

def call_then_stop():
    waiting()
    replies.append(list(conn.send_and_get_reply(new_method_call(address, "Work", "s", ("after",))).body))
    _varquin.deinit_server()

def listen_while(*steps):
    peer = threading.Thread(target=lambda: [step() for step in steps])
    peer.start()
    try:
        result = _varquin.listen()  # on the main thread: where the interpreter handles signals
    except KeyboardInterrupt:
        result = "KeyboardInterrupt"
    peer.join()
    return result

if mode == "quiet":
    results = [listen_while(interrupt, call_then_stop)]
else:
    results = [listen_while(interrupt), listen_while(call_then_stop)]
print(json.dumps({"listen": results, "replies": replies, "called": called, "handled": handled}))
"""

STOPPED = ["KeyboardInterrupt", 1]  # listen raised; the method stayed published, and a later listen served it


@pytest.mark.parametrize(
    "mode,listen,replies,handled",
    [
        ("default", STOPPED, [["done"]], []),  # SIGINT's own handler raises
        ("forwarded", STOPPED, [["done"]], []),  # SIGTERM through set_signal_actions
        # A signal during a call: the call is answered with the exception.
        ("during call", STOPPED, [["KeyboardInterrupt"], ["done"]], []),
        ("quiet", [1], [["done"]], [2]),  # a handler that does not raise changes nothing
    ],
)
def test_a_signal_whose_handler_raises_stops_listen_on_the_main_thread(mode, listen, replies, handled):
    out, _ = run_child(LISTEN_ON_MAIN, fresh_interface("Sig"), mode)
    assert out == {"listen": listen, "replies": replies, "called": ["after"], "handled": handled}

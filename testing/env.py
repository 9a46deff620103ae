"""What tests share besides fixtures: the environment for the processes they
start, polling with a bound, and the names of the test bus's peers."""

import os
import time
import types
from pathlib import Path

# Where the system bus address points while no private bus is selected: a
# socket that does not exist, so nothing can reach the host's real bus.
NOWHERE = "unix:path=/nonexistent/varquin-test/system_bus_socket"

# Variables that must not reach processes the tests start: a sanitizer
# runtime preloaded into the test interpreter is meant for it alone.
_CHILD_DROP = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def child_env(imports_module=False, **extra):
    """The environment for a process a test starts.  A child that imports
    the module keeps the sanitizer settings the module was built for."""
    env = {k: v for k, v in os.environ.items() if imports_module or k not in _CHILD_DROP}
    if imports_module and "ASAN_OPTIONS" in env:
        # The interpreter's own leaks at exit must not turn the child's
        # status into a failure; the sanitizer logs are judged after the run.
        env["ASAN_OPTIONS"] += ":exitcode=0"
    env.update(extra)
    return env


def wait_for(predicate, timeout=10.0, interval=0.02):
    """Poll `predicate` until it is true or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


# The generic-call peer (testing/peers/send_peer.py): its name, which is also
# its interface, and its object path.
SEND_PEER = "org.varquin.Test.Send"
SEND_PATH = "/org/varquin/test/send"

# The echo peer (testing/peers/echo_peer.py), for the Bus tests: its name,
# which is also its interface.
ECHO = "org.varquin.Test.Echo"

# The jeepney peer of the wire tests (testing/peers/wire_peer.py).
WIRE_PEER = "org.varquin.Test.Wire"


def load_module(name, path):
    """The Python module in the file `path`, run as a module named `name`
    (not entered in sys.modules)."""
    module = types.ModuleType(name)
    module.__file__ = str(path)
    exec(compile(Path(path).read_text(), str(path), "exec"), module.__dict__)
    return module

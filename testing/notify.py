"""A stand-in for the service manager's side of a service's life, for the
tests of varquin.daemon: a notification socket the test listens on, which
records each datagram's fields, the descriptors sent with it and the
sender's PID, and the start of a process with descriptors passed the way the
manager passes them (from 3 on, announced by LISTEN_PID, LISTEN_FDS and
LISTEN_FDNAMES)."""

import array
import fcntl
import json
import os
import socket
import subprocess
import sys
import uuid
from dataclasses import dataclass, field

from testing.env import child_env

# SCM_CREDENTIALS carries a struct ucred: pid, uid, gid.
_UCRED = array.array("i", [0, 0, 0]).itemsize * 3
_MAX_FDS = 253


@dataclass
class Message:
    """One notification: its text, its VARIABLE=value fields (the last one
    wins, as in the manager), the descriptors that came with it (owned by
    the message: close() closes them) and the sender's PID."""

    text: str
    fds: list[int] = field(default_factory=list)
    pid: int = 0

    @property
    def fields(self):
        return dict(line.split("=", 1) for line in self.text.split("\n") if "=" in line)

    def close(self):
        for fd in self.fds:
            os.close(fd)
        self.fds = []


class NotifySocket:
    """A datagram socket in `folder` (or in the abstract namespace) standing
    in for the manager's notification socket; env() is what a service needs
    to reach it."""

    def __init__(self, folder=None, abstract=False):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        if abstract:
            name = f"vq-notify-{uuid.uuid4().hex}"
            self.sock.bind("\0" + name)
            self.address = "@" + name
        else:
            self.address = os.path.join(folder, "notify")
            self.sock.bind(self.address)
        self.received = []

    def env(self):
        return {"NOTIFY_SOCKET": self.address}

    def receive(self, timeout=10.0):
        """The next message, waiting up to `timeout` seconds (0: only one
        already there); None when none came."""
        self.sock.settimeout(timeout if timeout > 0 else None)
        if timeout <= 0:
            self.sock.setblocking(False)
        try:
            data, ancillary, _, _ = self.sock.recvmsg(
                65536, socket.CMSG_SPACE(_MAX_FDS * 4) + socket.CMSG_SPACE(_UCRED)
            )
        except (TimeoutError, BlockingIOError):
            return None
        message = Message(data.decode())
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                fds = array.array("i")
                fds.frombytes(payload[: len(payload) - len(payload) % fds.itemsize])
                message.fds += list(fds)
            elif level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                message.pid = array.array("i", payload[:_UCRED])[0]
        self.received.append(message)
        return message

    def close(self):
        for message in self.received:
            message.close()
        self.sock.close()


# Run first in the started process: moves the passed descriptors to 3, 4, ...
# and announces them as the manager does (its PID in LISTEN_PID), then runs
# the test's code with `report(value)` printing one JSON line.
_TRAMPOLINE = """
import json, os, sys
spec = json.loads(sys.argv[1])
for i, fd in enumerate(spec["fds"]):
    os.dup2(fd, 3 + i)
    os.close(fd)
env = spec["env"]
if "LISTEN_PID" not in env:
    env["LISTEN_PID"] = str(os.getpid())
env.setdefault("LISTEN_FDS", str(len(spec["fds"])))
for k, v in env.items():
    if v is None:
        os.environ.pop(k, None)
    else:
        os.environ[k] = v
def report(value):
    print(json.dumps(value), flush=True)
exec(spec["code"])
"""


def run_with_fds(code, descriptors, env=None, timeout=60):
    """Runs `code` in a new interpreter that finds `descriptors` (objects
    with fileno() or numbers) at 3, 4, ... as passed by the manager, with
    the variables `env` (a value of None removes one); returns the values
    it reported, in order.  Fails the test when the process fails."""
    high = [fcntl.fcntl(d if isinstance(d, int) else d.fileno(), fcntl.F_DUPFD_CLOEXEC, 100) for d in descriptors]
    try:
        spec = {"fds": high, "env": dict(env or {}), "code": code}
        done = subprocess.run(
            [sys.executable, "-c", _TRAMPOLINE, json.dumps(spec)],
            pass_fds=high,
            capture_output=True,
            text=True,
            timeout=timeout,
            env=child_env(imports_module=True),
        )
    finally:
        for fd in high:
            os.close(fd)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]

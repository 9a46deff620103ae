"""Throwaway hosts reached over SSH: several systemd containers
(testing/container.py), booted in parallel, each running sshd, for proving
what opens another host's system bus the way `systemctl -H` does (sd-bus
runs `ssh -xT [-p PORT] -- [USER@]HOST systemd-stdio-bridge`, finding `ssh`
through PATH).

    with RemoteHosts(3, progress=print) as hosts:
        with hosts.use():                  # this run's ssh first on PATH
            ...Bus.remote(hosts.remotes[0])...
        subprocess.run(["busctl", "-H", hosts.remotes[1], ...], env=hosts.env())

Each container keeps its own network namespace (`--private-network`), so
nothing it starts can reconfigure the host's network, and its sshd listens
on 127.0.0.1:22 of that namespace only: no port of the host is opened.  The
host reaches it through a ProxyCommand that enters the namespace of the
container's init (nsenter) and relays the connection to that address
(socat).  Only root can do that, and a stopped container fails at once.

Everything the run needs lives in one temporary folder: the client key, a
host key per container, the known-hosts file, the ssh configuration and a
folder holding an `ssh` wrapper that runs the real ssh with that
configuration only (`-F`), so the invoking user's ~/.ssh is neither read nor
changed.  Root may log in by the run's key only.  Teardown stops every
container by its PID, unmounts and removes the folder on every way out, as
testing/container.py does.
"""

from __future__ import annotations

import atexit
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from types import FrameType
from typing import Self

from testing import container
from testing.container import Container, Unavailable

SSHD = Path("/usr/sbin/sshd")
# What the host needs besides nspawn: the client side and the relay.
TOOLS = ("ssh", "ssh-keygen", "nsenter", "socat")
# How long one ssh connection may take to be set up, and how long the first
# login to a freshly booted host is retried.
CONNECT_TIMEOUT = 5
LOGIN_TIMEOUT = 15.0

# Variables that must not reach ssh and its relay: a sanitizer runtime
# preloaded into the calling interpreter is meant for that interpreter alone.
_DROP_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")

# The container's sshd: its own configuration, host key and authorized keys
# under /etc/vq-sshd, its own unit.  The package's ssh.service (enabled on
# the host, so also in the overlay) is held back by the file its condition
# names, so that it neither takes port 22 nor runs with the host's keys.
_SSHD_DIR = "/etc/vq-sshd"
_SSHD_UNIT = "vq-sshd.service"
_SSHD_CONFIG = f"""\
ListenAddress 127.0.0.1:22
HostKey {_SSHD_DIR}/ssh_host_ed25519_key
AuthorizedKeysFile {_SSHD_DIR}/authorized_keys
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
# No PAM: a login opens no logind session and starts no user manager, which
# keeps a bus round trip (one login each) short.  The runtime folder a PAM
# login would set is set here, for root's own manager (kept running by
# lingering where a test wants it).
UsePAM no
SetEnv XDG_RUNTIME_DIR=/run/user/0
UseDNS no
PrintMotd no
X11Forwarding no
AllowTcpForwarding no
MaxStartups 64:30:128
"""
_UNIT_TEXT = f"""\
[Unit]
Description=sshd of a throwaway test host

[Service]
Type=notify
ExecStart={SSHD} -D -e -f {_SSHD_DIR}/sshd_config
RuntimeDirectory=sshd
RuntimeDirectoryMode=0755
"""

# The ProxyCommand: $1 is the PID of the container's init and $2 its start
# time (field 22 of its stat), so that a stopped container fails at once,
# also when its PID has been given to another process since.
_RELAY = """\
#!/bin/sh
now=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f20)
if [ "$now" != "$2" ]; then
    echo "$3: the container is not running" >&2
    exit 1
fi
exec nsenter --target "$1" --net socat STDIO TCP:127.0.0.1:22
"""


def why_not() -> str | None:
    """Why throwaway hosts reached over SSH cannot run here, or None when
    they can be tried."""
    reason: str | None = container.why_not()
    if reason:
        return reason
    if not SSHD.exists():
        return f"sshd cannot be started: {SSHD} is not installed"
    for tool in TOOLS:
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    return None


def _run(*argv: str, timeout: float | None = None) -> tuple[int, str]:
    """Runs a short command; returns (status, combined output)."""
    env = {k: v for k, v in os.environ.items() if k not in _DROP_ENV}
    p = subprocess.run(
        argv,
        check=False,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env=env,
        timeout=timeout,
    )
    return p.returncode, p.stdout.strip()


def _keygen(path: Path, comment: str) -> str:
    """Makes an ed25519 key pair at `path` (and `path`.pub); returns the
    public key's line."""
    status, out = _run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", str(path))
    if status != 0:
        raise Unavailable(f"ssh-keygen failed: {out}")
    return path.with_name(path.name + ".pub").read_text().strip()


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds Ctrl-C and SIGTERM back on the main thread until the block
    ends.  Threads started inside inherit the mask, so the signals cannot
    reach the interpreter through them either."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def _in_parallel(jobs: list[Callable[[], None]]) -> list[BaseException | None]:
    """Runs each job in a thread of its own and waits for all of them;
    returns what each raised (None for success)."""
    errors: list[BaseException | None] = [None] * len(jobs)

    def run(i: int) -> None:
        try:
            jobs[i]()
        except BaseException as e:  # noqa: BLE001  (handed to the caller, which decides)
            errors[i] = e

    started = []
    for i in range(len(jobs)):
        t = threading.Thread(target=run, args=(i,), daemon=True)
        try:
            t.start()
        except RuntimeError:  # no new threads at interpreter exit
            run(i)
            continue
        started.append(t)
    for t in started:
        t.join()
    return errors


class RemoteHosts:
    """`count` throwaway hosts, each a systemd container running sshd and
    reached over SSH as root.  `files` maps paths inside each container to
    the text written there before boot (test units, for example);
    `progress`, when given, receives one line of text per step.

    Host i is named `vq-host-<i>`; what sd-bus's remote transport takes to
    reach it (Bus.remote, `busctl -H`) is `root@vq-host-<i>` (`remotes[i]`),
    which resolves only through this run's ssh (put first on PATH by `use()`
    or `env()`).
    """

    def __init__(
        self,
        count: int,
        progress: Callable[[str], None] | None = None,
        files: Mapping[str, str] | None = None,
        boot_timeout: float = container.BOOT_TIMEOUT,
    ) -> None:
        self.names = [f"vq-host-{i}" for i in range(count)]
        self.files = dict(files or {})
        self.progress = progress or (lambda line: None)
        self.boot_timeout = boot_timeout
        self.folder: Path | None = None
        self._containers: list[Container | None] = [None] * count
        self._client_key = ""
        self._share = False
        self._old_sigterm: signal.Handlers | Callable[[int, FrameType | None], object] | int | None = None
        self._sigterm_caught = False

    # -- where things are ----------------------------------------------------

    @property
    def remotes(self) -> list[str]:
        """What reaches each host over SSH (`root@NAME`), in host order:
        the argument of Bus.remote and of `busctl -H`."""
        return [f"root@{name}" for name in self.names]

    @property
    def bin(self) -> Path:
        """The folder holding the run's `ssh` wrapper."""
        if self.folder is None:
            raise RuntimeError("the hosts are not running")
        return self.folder / "bin"

    def env(self, base: Mapping[str, str] | None = None) -> dict[str, str]:
        """A copy of `base` (default: os.environ) with the run's ssh wrapper
        first on PATH, for a process that opens remote buses."""
        env = dict(os.environ if base is None else base)
        env["PATH"] = os.pathsep.join([str(self.bin), env.get("PATH", os.defpath)])
        return env

    @contextlib.contextmanager
    def use(self) -> Iterator[Self]:
        """Puts the run's ssh wrapper first on this process's PATH (which
        sd-bus searches when it starts ssh) for the block, then restores
        PATH as it was."""
        old = os.environ.get("PATH")
        os.environ["PATH"] = self.env()["PATH"]
        try:
            yield self
        finally:
            if old is None:
                os.environ.pop("PATH", None)
            else:
                os.environ["PATH"] = old

    def share_connections(self, on: bool) -> None:
        """Whether the run's ssh shares one connection per host among its
        sessions (ControlMaster, kept 30 s after its last session), as a
        fleet operator's configuration often does; off by default, so that
        every session makes a connection of its own."""
        self._share = on
        if self.folder is not None:
            self._write_config()

    def container(self, i: int) -> Container:
        """Host i's container (testing.container.Container): stop it to take
        the host down."""
        c = self._containers[i]
        if c is None:
            raise RuntimeError(f"{self.names[i]} is not running")
        return c

    def ssh(self, i: int, *command: str, timeout: float = 30.0) -> tuple[int, str]:
        """Runs `command` on host i over SSH; returns (status, output)."""
        return _run(str(self.bin / "ssh"), self.names[i], *command, timeout=timeout)

    # -- start ---------------------------------------------------------------

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def start(self) -> Self:
        """Makes the keys, boots every host in parallel and checks that each
        takes an SSH login; raises Unavailable (saying why) when the hosts
        cannot run here, having removed every trace."""
        reason = why_not()
        if reason:
            raise Unavailable(reason)
        atexit.register(self.stop)
        self._catch_sigterm()
        try:
            self._make_keys()
            self._boot(range(len(self.names)))
        except BaseException:
            self.stop()
            raise
        return self

    def restore(self) -> None:
        """Boots anew every host whose container is no longer running (a
        test stopped it), under the same name and host key."""
        down = [i for i, c in enumerate(self._containers) if c is None or not c.running()]
        if not down:
            return
        with _signals_held():
            _in_parallel([self.container(i).stop for i in down if self._containers[i] is not None])
        for i in down:
            self._containers[i] = None
        self._boot(down)

    def _catch_sigterm(self) -> None:
        # SIGTERM takes the same way out as Ctrl-C, so that the caller's
        # cleanup tears the hosts down.  Only the main thread can set it.
        if threading.current_thread() is not threading.main_thread():
            return

        def on_sigterm(signum: int, frame: FrameType | None) -> None:
            raise KeyboardInterrupt("SIGTERM")

        self._old_sigterm = signal.signal(signal.SIGTERM, on_sigterm)
        self._sigterm_caught = True

    def _make_keys(self) -> None:
        self.folder = Path(tempfile.mkdtemp(prefix="vq-remote-"))
        self.progress(f"making the run's keys in {self.folder}")
        self._client_key = _keygen(self.folder / "id_ed25519", "varquin test client")
        known = []
        for name in self.names:
            (self.folder / name).mkdir()
            key = _keygen(self.folder / name / "ssh_host_ed25519_key", name)
            known.append(f"{name} {key}\n")
        (self.folder / "known_hosts").write_text("".join(known))
        (self.folder / "relay").write_text(_RELAY)
        (self.folder / "relay").chmod(0o755)
        self.bin.mkdir()
        # The real ssh, not the wrapper of another run put on PATH before.
        path = os.environ.get("PATH", os.defpath).split(os.pathsep)
        real_ssh = shutil.which("ssh", path=os.pathsep.join(d for d in path if "/vq-remote-" not in d))
        wrapper = self.bin / "ssh"
        wrapper.write_text(
            "#!/bin/sh\n"
            "# ssh for the throwaway hosts of one run: its configuration only.\n"
            f'exec env {" ".join("-u " + v for v in _DROP_ENV)} {real_ssh} -F {self.folder}/ssh_config "$@"\n'
        )
        wrapper.chmod(0o755)
        self._write_config()

    def _write_config(self) -> None:
        """Writes the run's ssh configuration: per host, the relay into its
        container (or a refusal while it is down); for every other name a
        refusal, so that the run's ssh never reaches a real host."""
        assert self.folder is not None
        lines = []
        for name, c in zip(self.names, self._containers, strict=True):
            if c is not None and c.init is not None:
                pid, start_time = c.init
                relay = f"{self.folder}/relay {pid} {start_time} {name}"
            else:
                relay = f"{self.folder}/relay 0 none {name}"
            lines += [f"Host {name}", f"    ProxyCommand {relay}"]
        lines += [
            "Host *",
            "    ProxyCommand sh -c 'echo \"%h: not a host of this run\" >&2; exit 1'",
            "    User root",
            f"    IdentityFile {self.folder}/id_ed25519",
            "    IdentitiesOnly yes",
            "    IdentityAgent none",
            f"    UserKnownHostsFile {self.folder}/known_hosts",
            "    GlobalKnownHostsFile /dev/null",
            "    StrictHostKeyChecking yes",
            "    CheckHostIP no",
            "    UpdateHostKeys no",
            "    BatchMode yes",
            f"    ConnectTimeout {CONNECT_TIMEOUT}",
            "    ServerAliveInterval 5",
            "    ServerAliveCountMax 2",
            *(
                ["    ControlMaster auto", f"    ControlPath {self.folder}/cm-%C", "    ControlPersist 30"]
                if self._share
                else ["    ControlMaster no", "    ControlPath none"]
            ),
            "    LogLevel ERROR",
        ]
        # A new file in place of the old one: an ssh starting meanwhile
        # reads either, never half of one.
        temp = self.folder / "ssh_config.new"
        temp.write_text("\n".join(lines) + "\n")
        temp.replace(self.folder / "ssh_config")

    def _container_files(self) -> dict[str, str]:
        files = dict(self.files)
        files[f"{_SSHD_DIR}/sshd_config"] = _SSHD_CONFIG
        files[f"{_SSHD_DIR}/authorized_keys"] = self._client_key + "\n"
        files[f"/lib/systemd/system/{_SSHD_UNIT}"] = _UNIT_TEXT
        files["/etc/ssh/sshd_not_to_be_run"] = "held back in this throwaway container\n"
        return files

    def _prepare(self, name: str) -> Callable[[Path], None]:
        """What host `name` needs besides text files: its host key, readable
        by root only (sshd refuses it otherwise), and its sshd enabled."""
        assert self.folder is not None
        key = self.folder / name / "ssh_host_ed25519_key"

        def prepare(root: Path) -> None:
            target = root / _SSHD_DIR.lstrip("/") / key.name
            shutil.copyfile(key, target)
            target.chmod(0o600)
            wants = root / "etc/systemd/system/multi-user.target.wants"
            wants.mkdir(parents=True, exist_ok=True)
            (wants / _SSHD_UNIT).symlink_to(f"/lib/systemd/system/{_SSHD_UNIT}")

        return prepare

    def _boot(self, which: range | list[int]) -> None:
        """Boots the containers of hosts `which` in parallel, then checks a
        login on each."""
        began = time.monotonic()
        files = self._container_files()
        booted: dict[int, Container] = {}

        def boot(i: int) -> Callable[[], None]:
            name = self.names[i]
            c = Container(
                files=files,
                prepare=self._prepare(name),
                progress=lambda line: self.progress(f"{name}: {line}"),
                boot_timeout=self.boot_timeout,
            )

            def run() -> None:
                booted[i] = c
                c.start()

            return run

        # The boot threads start with Ctrl-C and SIGTERM blocked (they
        # inherit the mask), so only this thread sees them.  A boot cannot
        # be cut short half-way (a mount in progress would escape the
        # teardown): on Ctrl-C the boots under way are waited for, and what
        # they booted belongs to the run, for stop() to tear down.
        jobs = [boot(i) for i in which]
        errors: list[BaseException | None] = []
        waiter = threading.Thread(target=lambda: errors.extend(_in_parallel(jobs)), daemon=True)
        try:
            with _signals_held():
                waiter.start()
            waiter.join()
        finally:
            with _signals_held():
                if waiter.ident is not None:
                    waiter.join()
                for i, c in booted.items():
                    self._containers[i] = c
        for e in errors:
            if e is not None:
                raise e
        self._write_config()
        self.progress(f"booted {len(jobs)} host(s) in {time.monotonic() - began:.1f} s; checking SSH logins")
        self._check_logins(list(which))

    def _check_logins(self, which: list[int]) -> None:
        """Logs into each of hosts `which` (in parallel), retrying for a
        bounded time while its sshd is not listening yet."""

        def check(i: int) -> Callable[[], None]:
            def run() -> None:
                deadline = time.monotonic() + LOGIN_TIMEOUT
                while True:
                    try:
                        status, out = self.ssh(i, "true", timeout=LOGIN_TIMEOUT)
                    except subprocess.TimeoutExpired:
                        status, out = -1, f"no answer within {LOGIN_TIMEOUT:.0f} s"
                    if status == 0:
                        return
                    if time.monotonic() > deadline:
                        raise Unavailable(f"sshd cannot be started: {self.names[i]} refuses the login: {out}")
                    time.sleep(0.2)

            return run

        for e in _in_parallel([check(i) for i in which]):
            if e is not None:
                raise e

    # -- teardown ------------------------------------------------------------

    def stop(self) -> None:
        """Stops every host (in parallel, each by its PID), unmounts and
        removes the run's folder; safe to call twice."""
        with _signals_held():
            running = [c for c in self._containers if c is not None]
            _in_parallel([c.stop for c in running])
            self._containers = [None] * len(self.names)
            if self.folder is not None:
                shutil.rmtree(self.folder, ignore_errors=True)
                self.folder = None
            atexit.unregister(self.stop)
            if self._sigterm_caught and threading.current_thread() is threading.main_thread():
                # A handler set outside Python reads back as None.
                signal.signal(signal.SIGTERM, self._old_sigterm or signal.SIG_DFL)
                self._sigterm_caught = False


# -- measuring by hand ---------------------------------------------------------


def _memory_kib(c: Container) -> tuple[int, int]:
    """(the summed PSS of the container's processes, the size of its
    overlay's upper layer), in KiB."""
    assert c.init is not None and c.folder is not None
    ns = os.readlink(f"/proc/{c.init[0]}/ns/pid")
    pss = 0
    for entry in Path("/proc").iterdir():
        try:
            if not entry.name.isdigit() or os.readlink(entry / "ns/pid") != ns:
                continue
            for line in (entry / "smaps_rollup").read_text().splitlines():
                if line.startswith("Pss:"):
                    pss += int(line.split()[1])
        except OSError:
            continue
    fs = os.statvfs(c.folder / "fs")
    return pss, (fs.f_blocks - fs.f_bfree) * fs.f_frsize // 1024


def main(argv: list[str]) -> int:
    """`python -m testing.remote [N...]`: for each N, boots N hosts in
    parallel and prints the boot time, one `busctl -H` round trip per host
    and the memory of each container."""
    reason = why_not()
    if reason:
        print(f"remote hosts cannot run here: {reason}")
        return 1
    for count in [int(a) for a in argv] or [3]:
        began = time.monotonic()
        with RemoteHosts(count) as hosts:
            boot = time.monotonic() - began
            print(f"{count} host(s): booted and logged into in {boot:.1f} s")
            for i, remote in enumerate(hosts.remotes):
                t = time.monotonic()
                p = subprocess.run(
                    [
                        "busctl",
                        "-H",
                        remote,
                        "get-property",
                        "org.freedesktop.systemd1",
                        "/org/freedesktop/systemd1",
                        "org.freedesktop.systemd1.Manager",
                        "SystemState",
                    ],
                    check=False,
                    env=hosts.env(),
                    stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT,
                    text=True,
                    timeout=60,
                )
                pss, upper = _memory_kib(hosts.container(i))
                print(
                    f"  {remote}: busctl -H {1000 * (time.monotonic() - t):.0f} ms ({p.stdout.strip()}), "
                    f"processes {pss / 1024:.0f} MiB PSS, overlay upper layer {upper / 1024:.1f} MiB"
                )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

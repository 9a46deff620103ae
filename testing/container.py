"""Boots this machine's own systemd in a throwaway container, for the tour
and for the tests that need the real systemd services.

The container runs on an overlay of the host's root: a tmpfs at A holds the
overlay's upper and work folders, the overlay is mounted at B, files the
caller asks for are written under B before boot, and `systemd-nspawn -b`
boots B.  Everything the container changes lands in the tmpfs, so the host's
own files are never touched.  (Booting systemd on the host's real root would
clean /tmp and more: never do that.)

The overlay's lower layer is the host's root unless `lower` names another
root folder (for example a Debian 13 root made with debootstrap, to boot its
newer systemd); that folder is never written either.  systemd 256 and newer
refuse the legacy cgroup layout, so such a root is booted with
`unified_cgroup=True` (nspawn then gives the container a cgroup2 hierarchy).

The container's systemd is the child of the nspawn process, and its system
bus is reachable from the host at /proc/<its pid>/root/run/dbus/system_bus_socket.

With --keep-unit nspawn puts the container under the cgroup it is started
in, so two containers started from one process would share every service's
cgroup (payload/system.slice/dbus.service holding both dbus-daemons): the
manager of one waits on, and may kill, what runs in the other.  Each
container is therefore started in a cgroup of its own, made below the
caller's in each hierarchy nspawn places it in, and removed at teardown.

    with Container(files={"/lib/systemd/system/x.service": "..."}) as c:
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = c.bus_address
        ...

Teardown (stop nspawn by its PID, unmount B then A, remove the folders) runs
on every way out: the end of the `with` block, an exception, Ctrl-C, SIGTERM
(turned into KeyboardInterrupt while the container is up) and interpreter
exit.
"""

import atexit
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

from testing.env import child_env

NSPAWN = "systemd-nspawn"
# The manager's binary, relative to a root folder.
SYSTEMD = Path("lib/systemd/systemd")

# Variables that must not reach nspawn: a sanitizer runtime preloaded into
# the calling interpreter is meant for that interpreter alone.
_DROP_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")

BOOT_TIMEOUT = 60.0
STOP_TIMEOUT = 30.0


class Unavailable(Exception):
    """The container cannot be booted here; the message says why."""


def why_not(lower="/"):
    """Why this machine cannot boot the container on the lower layer `lower`,
    or None when it can try."""
    if os.geteuid() != 0:
        return "not running as root"
    if shutil.which(NSPAWN) is None:
        return "systemd-nspawn is not installed"
    if not (Path(lower) / SYSTEMD).exists():
        return f"{Path(lower) / SYSTEMD} is not installed"
    if shutil.which("mount") is None or shutil.which("umount") is None:
        return "mount and umount are not installed"
    return None


def _env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in _DROP_ENV}
    env.update(extra)
    return env


def _run(*argv):
    """Runs a short command; returns (status, combined output)."""
    p = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=_env())
    return p.returncode, p.stdout.strip()


def _start_time(pid):
    """The start time of process `pid` (field 22 of its stat), or None when it
    is gone; it tells a live process from a later one with the same PID."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return stat.rsplit(")", 1)[1].split()[19]


def _comm(pid):
    """The command name of process `pid`, or None when it is gone."""
    try:
        return Path(f"/proc/{pid}/comm").read_text().strip()
    except OSError:
        return None


def _cgroup_roots():
    """The cgroup folders this process is in, one per hierarchy nspawn uses:
    the cgroup2 hierarchy and the named "systemd" one (where the host mounts
    them)."""
    mine = {}
    for line in Path("/proc/self/cgroup").read_text().splitlines():
        number, controllers, path = line.split(":", 2)
        if number == "0":
            mine["cgroup2"] = path
        elif controllers == "name=systemd":
            mine["systemd"] = path
    found = []
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        fields, _, tail = line.partition(" - ")
        mount_point = fields.split()[4]
        fstype, _, options = tail.split()[:3]
        kind = "cgroup2" if fstype == "cgroup2" else "systemd" if "name=systemd" in options.split(",") else None
        if kind in mine:
            found.append(Path(mount_point) / mine.pop(kind).lstrip("/"))
    return found


def _remove_cgroup(folder):
    """Removes a cgroup folder and every cgroup below it, deepest first; True
    when it is gone.  A cgroup holding processes cannot be removed."""
    for parent, subfolders, _ in os.walk(folder, topdown=False):
        for name in subfolders:
            try:
                os.rmdir(Path(parent) / name)
            except OSError:
                pass
    try:
        os.rmdir(folder)
    except FileNotFoundError:
        return True
    except OSError:
        return False
    return True


def _children(pid):
    """The PIDs whose parent is `pid`."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
            found.append(int(entry.name))
    return found


class Container:
    """One throwaway systemd container.  `files` maps absolute paths inside
    the container to the text written there before boot; `prepare`, when
    given, is called with the container's root (as the host sees it) after
    those files are written, before boot, for what text alone cannot say
    (file modes, links); `progress`, when given, receives one line of text
    per step.  `lower` is the root folder the overlay lies on;
    `unified_cgroup` boots it with a cgroup2 hierarchy.  `binds` maps
    folders inside the container to host folders bound there read-only
    before boot (not recursively), unmounted before the overlay."""

    def __init__(
        self,
        files=None,
        progress=None,
        boot_timeout=BOOT_TIMEOUT,
        prepare=None,
        lower="/",
        unified_cgroup=False,
        binds=None,
    ):
        self.files = dict(files or {})
        self.binds = dict(binds or {})
        self.prepare = prepare
        self.lower = Path(lower)
        self.unified_cgroup = unified_cgroup
        self.progress = progress or (lambda line: None)
        self.boot_timeout = boot_timeout
        self.folder = None  # holds A (the tmpfs), B (the overlay) and nspawn's log
        self.mounted = []  # mount points, in mounting order
        self.proc = None  # the nspawn process
        self.init = None  # (pid, start time) of the container's systemd
        self.cgroups = []  # the cgroup folders made for the container
        self._sigterm_caught = False
        self._old_sigterm = None
        self._stopping = threading.Lock()

    # -- where things are ------------------------------------------------------

    @property
    def root(self):
        """The container's root as the host sees it (the overlay, B)."""
        return self.folder / "root"

    def path(self, inside):
        """The host's path of the container's file `inside`."""
        return self.root / inside.lstrip("/")

    @property
    def bus_address(self):
        return f"unix:path=/proc/{self.init[0]}/root/run/dbus/system_bus_socket"

    # -- boot --------------------------------------------------------------------

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        reason = why_not(self.lower)
        if reason:
            raise Unavailable(reason)
        atexit.register(self.stop)
        self._catch_sigterm()
        try:
            self._mount()
            self._write_files()
            if self.prepare is not None:
                self.prepare(self.root)
            self._boot()
        except BaseException:
            self.stop()
            raise
        return self

    def _catch_sigterm(self):
        # SIGTERM takes the same way out as Ctrl-C, so that the `with` block
        # or the caller's cleanup tears the container down.  Signal handlers
        # can only be set from the main thread.
        if threading.current_thread() is not threading.main_thread():
            return

        def on_sigterm(signum, frame):
            raise KeyboardInterrupt("SIGTERM")

        self._old_sigterm = signal.signal(signal.SIGTERM, on_sigterm)
        self._sigterm_caught = True

    def _mount(self):
        self.folder = Path(tempfile.mkdtemp(prefix="vq-systemd-"))
        upper_fs = self.folder / "fs"
        upper_fs.mkdir()
        self.root.mkdir()
        self.progress(f"mounting a tmpfs at {upper_fs} and an overlay of {self.lower} at {self.root}")
        self._mount_one(upper_fs, "-t", "tmpfs", "-o", "mode=0755", "tmpfs")
        (upper_fs / "up").mkdir()
        (upper_fs / "work").mkdir()
        options = f"lowerdir={self.lower},upperdir={upper_fs}/up,workdir={upper_fs}/work"
        self._mount_one(self.root, "-t", "overlay", "-o", options, "overlay")
        for inside, source in self.binds.items():
            target = self.path(inside)
            target.mkdir(parents=True, exist_ok=True)
            self.progress(f"binding {source} read-only at {inside}")
            self._mount_one(target, "--bind", "-o", "ro", str(source))

    def _mount_one(self, target, *args):
        status, out = _run("mount", *args, str(target))
        if status != 0:
            raise Unavailable(f"mount of {target} failed: {out}")
        self.mounted.append(target)

    def _write_files(self):
        for inside, text in self.files.items():
            target = self.path(inside)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(text)

    def _make_cgroups(self):
        """Makes the container's own cgroups; nspawn is started in them."""
        for root in _cgroup_roots():
            folder = root / self.folder.name
            try:
                folder.mkdir()
            except OSError as e:
                self.progress(f"no cgroup of its own at {folder} ({e}): the container shares its caller's")
                continue
            self.cgroups.append(folder)

    def _boot(self):
        self._make_cgroups()
        # The shell enters each cgroup, then becomes nspawn (keeping its PID).
        enter = 'while [ "$1" != -- ]; do echo $$ > "$1" || exit 125; shift; done; shift; exec "$@"'
        log = open(self.folder / "nspawn.log", "wb")
        try:
            # A session of its own: a Ctrl-C at the terminal reaches this
            # process only, which then stops the container in order.
            self.proc = subprocess.Popen(
                [
                    "sh",
                    "-c",
                    enter,
                    "sh",
                    *(str(folder / "cgroup.procs") for folder in self.cgroups),
                    "--",
                    NSPAWN,
                    f"--directory={self.root}",
                    "--register=no",
                    "--keep-unit",
                    "--console=passive",
                    "--private-network",
                    "-b",
                ],
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                env=_env(SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1") if self.unified_cgroup else _env(),
                start_new_session=True,
            )
        finally:
            log.close()
        self.progress(f"booting systemd with systemd-nspawn (pid {self.proc.pid})")
        began = time.monotonic()
        deadline = began + self.boot_timeout
        last_state = None
        while True:
            if self.proc.poll() is not None:
                raise Unavailable(f"systemd-nspawn exited with status {self.proc.returncode}: {self.log_tail()}")
            if time.monotonic() > deadline:
                raise Unavailable(f"the container did not boot within {self.boot_timeout:.0f} s: {self.log_tail()}")
            if self.init is None:
                kids = [k for k in _children(self.proc.pid) if _comm(k) == "systemd"]
                if len(kids) == 1 and _start_time(kids[0]) is not None:
                    self.init = (kids[0], _start_time(kids[0]))
                    self.progress(f"the container's systemd is pid {kids[0]}")
            else:
                state = self._system_state()
                if state != last_state:
                    self.progress(f"  {time.monotonic() - began:4.1f} s: system state {state or '(bus not up yet)'}")
                    last_state = state
                if state in ("running", "degraded"):
                    return
            time.sleep(0.2)

    def _system_state(self):
        """The manager's SystemState over the container's bus, or None while
        the bus does not answer yet."""
        status, out = _run(
            "busctl",
            f"--address={self.bus_address}",
            "get-property",
            "org.freedesktop.systemd1",
            "/org/freedesktop/systemd1",
            "org.freedesktop.systemd1.Manager",
            "SystemState",
        )
        if status != 0 or not out.startswith("s "):
            return None
        return out[2:].strip('"')

    def log_tail(self, lines=15):
        """The last `lines` lines of nspawn's output (the container's console), on one line."""
        try:
            text = (self.folder / "nspawn.log").read_text(errors="replace")
        except OSError:
            return "(no log)"
        return " | ".join(text.strip().splitlines()[-lines:])

    # -- teardown ----------------------------------------------------------------

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        """Stops the container and removes every trace; safe to call twice."""
        # Neither Ctrl-C nor SIGTERM may cut the teardown short: both are held
        # back until it is done, then delivered.
        on_main = threading.current_thread() is threading.main_thread()
        if on_main:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        try:
            with self._stopping:
                self._stop_container()
                self._remove_cgroups()
                self._unmount()
                if self.folder is not None:
                    shutil.rmtree(self.folder, ignore_errors=True)
                    self.folder = None
                atexit.unregister(self.stop)
        finally:
            if on_main:
                if self._sigterm_caught:
                    # A handler set outside Python reads back as None.
                    signal.signal(signal.SIGTERM, self._old_sigterm or signal.SIG_DFL)
                    self._sigterm_caught = False
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM})

    def _stop_container(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.progress(f"stopping the container (SIGTERM to systemd-nspawn, pid {self.proc.pid})")
            # nspawn passes SIGTERM on as a power-off request to the
            # container's systemd, which loses it while it is still setting
            # up its handlers early in boot: ask again every second.
            deadline = time.monotonic() + STOP_TIMEOUT
            while self.proc.poll() is None and time.monotonic() < deadline:
                os.kill(self.proc.pid, signal.SIGTERM)
                try:
                    self.proc.wait(timeout=1.0)
                except subprocess.TimeoutExpired:
                    pass
            if self.proc.poll() is None:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        # Without nspawn the container's systemd may still live (nspawn was
        # killed, or died): killing the PID namespace's first process ends
        # every process in it.  Only the very process recorded at boot.
        if self.init is not None and _start_time(self.init[0]) == self.init[1]:
            os.kill(self.init[0], signal.SIGKILL)
            deadline = time.monotonic() + STOP_TIMEOUT
            while _start_time(self.init[0]) == self.init[1] and time.monotonic() < deadline:
                time.sleep(0.05)
        self.proc = None

    def _remove_cgroups(self):
        # The container's last processes leave its cgroups a moment after
        # they are reaped.
        deadline = time.monotonic() + 5.0
        while self.cgroups:
            if _remove_cgroup(self.cgroups[-1]):
                self.cgroups.pop()
            elif time.monotonic() > deadline:
                self.progress(f"the cgroup {self.cgroups[-1]} still holds processes: left in place")
                self.cgroups.pop()
            else:
                time.sleep(0.05)

    def _unmount(self):
        while self.mounted:
            target = self.mounted[-1]
            for _ in range(50):
                status, out = _run("umount", str(target))
                if status == 0 or not os.path.ismount(target):
                    break
                time.sleep(0.1)
            else:
                # Still busy after 5 s: detach it, so that it goes away as
                # soon as its last user does.
                _run("umount", "--lazy", str(target))
            self.mounted.pop()


def inside(container, command):
    """Runs a shell command in the container's namespaces, with its own
    binaries: (exit status, stdout)."""
    argv = ["nsenter", "-t", str(container.init[0]), "-m", "-p", "-u", "-i", "-n", "--", "sh", "-c", command]
    # The bus address the tests set is the host's path of the container's
    # bus: inside, the tools find their own.
    env = {k: v for k, v in child_env().items() if k != "DBUS_SYSTEM_BUS_ADDRESS"}
    done = subprocess.run(argv, capture_output=True, text=True, timeout=120, env=env)
    return done.returncode, done.stdout

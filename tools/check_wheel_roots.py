"""The user's wheels on systems without a compiler, for tools/wheel.sh.

    PYTHONPATH=. python tools/check_wheel_roots.py DIST ROOTS_FOLDER

For each root of tools/debian_root.sh that has no compiler and no -dev
package (Debian 12, Debian 13, Debian testing), and each CPython that root
ships: boots the root in a throwaway container (testing/container.py),
installs the wheel for that CPython from DIST into a fresh venv there with
no index and binaries only, and in that venv imports both modules, makes a
call on a private bus, and reads back an entry it wrote to the journal of
the root's own journald, through the root's own libsystemd.
"""

import importlib
import json
import shlex
import subprocess
import sys
from pathlib import Path
from typing import Any

# The container machinery of the tests (untyped: looked up, not imported).
Container: Any = importlib.import_module("testing.container").Container

# The roots and the CPythons each ships.
ROOTS = {"debian12": ["3.11"], "debian13": ["3.13"], "testing-run": ["3.14", "3.15"]}

# What a root without a compiler must not have.
BUILD_TOOLS = ["usr/bin/gcc", "usr/bin/g++", "usr/bin/cc", "usr/bin/c++", "usr/include/systemd"]

# Runs in the fresh venv inside the container; prints one JSON line.
PROBE = r"""
import json, os, subprocess, sys, tempfile, time, uuid
import _varquin, varquin
from varquin import journal

out = {"python": sys.version.split()[0]}
for key, path in (("module", _varquin.__file__), ("core", varquin._core.__file__)):
    ldd = subprocess.run(["ldd", path], capture_output=True, text=True).stdout
    out[key] = path
    out[key + "_libsystemd"] = next((x.split()[2] for x in ldd.splitlines() if "libsystemd.so.0" in x), None)

# A private bus of this probe's own.
folder = tempfile.mkdtemp()
with open(f"{folder}/bus.conf", "w") as f:
    f.write(
        '<busconfig><type>session</type><listen>unix:path=' + folder + '/bus</listen><auth>EXTERNAL</auth>'
        '<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>'
        '<allow receive_sender="*"/></policy></busconfig>'
    )
daemon = subprocess.Popen(["dbus-daemon", f"--config-file={folder}/bus.conf", "--nofork", "--print-address"],
                          stdout=subprocess.PIPE, text=True)
try:
    address = daemon.stdout.readline().strip()
    with varquin.Bus(address) as bus:
        out["bus_id"] = bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId")[0]
finally:
    daemon.terminate()
    daemon.wait()

# The journal of this system, written by its own journald.
mark = "vq-wheel-" + uuid.uuid4().hex
subprocess.run(["systemd-cat", "-t", "vq-wheel", "echo", mark], check=True)
deadline = time.monotonic() + 20
found = []
while not found and time.monotonic() < deadline:
    found = [e for e in journal.entries(lines=500) if e.message == mark]
    if not found:
        time.sleep(0.2)
out["journal"] = [e.fields.get("SYSLOG_IDENTIFIER") for e in found]
print(json.dumps(out))
"""


def systemd_version(root: Path) -> int:
    """The major version of the systemd package installed in `root`."""
    for entry in (root / "var/lib/dpkg/status").read_text(errors="replace").split("\n\n"):
        lines = entry.splitlines()
        if "Package: systemd" in lines:
            version = next(x for x in lines if x.startswith("Version: "))
            return int(version.split()[1].split(".")[0].split("-")[0])
    raise LookupError(f"no systemd in {root}")


def inside(container: Any, command: str) -> subprocess.CompletedProcess[str]:
    """Runs a shell command in the container's namespaces, with its own binaries."""
    argv = ["nsenter", "-t", str(container.init[0]), "-m", "-p", "-u", "-i", "-n", "--", "sh", "-c", command]
    return subprocess.run(argv, capture_output=True, text=True, timeout=300, cwd="/")


def check_root(name: str, root: Path, dist: Path) -> list[str]:
    problems = [f"{name}: has {tool}" for tool in BUILD_TOOLS if (root / tool).exists()]
    problems += [f"{name}: has {h}" for h in root.glob("usr/include/python3*/Python.h")]
    wheels = {}
    for python in ROOTS[name]:
        tag = "cp" + python.replace(".", "")
        found = sorted(dist.glob(f"varquin-*-{tag}-{tag}-*.whl"))
        if len(found) != 1:
            problems.append(f"{name}: {len(found)} wheels for {tag} in {dist}")
        elif not (root / f"usr/bin/python{python}").exists():
            problems.append(f"{name}: no python{python}")
        else:
            wheels[python] = found[0]
    if problems:
        return problems

    def prepare(top: Path) -> None:
        (top / "wheels").mkdir()
        (top / "wheels/probe.py").write_text(PROBE)
        for wheel in wheels.values():
            (top / "wheels" / wheel.name).write_bytes(wheel.read_bytes())

    version = systemd_version(root)
    with Container(lower=root, unified_cgroup=version >= 256, prepare=prepare) as container:
        for python, wheel in wheels.items():
            venv = f"/tmp/venv-{python}"
            done = inside(
                container,
                f"python{python} -m venv {venv} && {venv}/bin/python -m pip --disable-pip-version-check -q "
                f"install --no-index --no-deps --only-binary :all: {shlex.quote('/wheels/' + wheel.name)} && "
                f"cd / && {venv}/bin/python /wheels/probe.py",
            )
            what = f"{name} (systemd {version}), CPython {python}, {wheel.name}"
            if done.returncode != 0 or not done.stdout.strip():
                problems.append(f"{what}: status {done.returncode}: {done.stderr.strip()[-2000:]}")
                continue
            got = json.loads(done.stdout.strip().splitlines()[-1])
            for key in ("module", "core"):
                if not got[key].startswith(venv):
                    problems.append(f"{what}: {key} imported from {got[key]}")
                if not (got[key + "_libsystemd"] or "").startswith(("/lib/", "/usr/lib/")):
                    problems.append(f"{what}: {key} finds libsystemd.so.0 at {got[key + '_libsystemd']}")
            if len(got.get("bus_id", "")) != 32:
                problems.append(f"{what}: no id from the private bus: {got}")
            if got["journal"] != ["vq-wheel"]:
                problems.append(f"{what}: the entry it wrote was not read back from the journal: {got}")
            if not problems:
                print(
                    f"wheel: {what}: installed without a compiler, imports, calls a private bus, "
                    f"reads the journal (libsystemd {got['module_libsystemd']})"
                )
    return problems


def main() -> None:
    dist, folder = Path(sys.argv[1]), Path(sys.argv[2])
    problems = []
    for name in ROOTS:
        problems += check_root(name, folder / name, dist)
    for p in problems:
        print("FAIL:", p, file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()

"""One journal reader or sender of the journal benchmark, run in a process
of its own; prints {"n", "wall", "cpu"} as JSON.

    python -m bench.journal_client read IMPL ROOT [UNIT]
    python -m bench.journal_client send IMPL COUNT

IMPL: varquin, python-systemd (Debian's python3-systemd, run by the system
python), journalctl-json (journalctl -o json, each line through json.loads).
"""

import json
import os
import resource
import subprocess
import sys
import time

OS_ROOT = 1 << 4  # SD_JOURNAL_OS_ROOT: the folder is a system's root

# journalctl -u's matches of a unit, as python-systemd is given them.
COREDUMP = "fc2e22bc6ee647b6b90729ab34a250b1"


def read_python_systemd(root, unit):
    from systemd import journal

    r = journal.Reader(flags=OS_ROOT, path=root)
    if unit:
        r.add_match(_SYSTEMD_UNIT=unit)
        r.add_disjunction()
        r.add_match(MESSAGE_ID=COREDUMP, _UID="0", COREDUMP_UNIT=unit)
        r.add_disjunction()
        r.add_match(_PID="1", UNIT=unit)
        r.add_disjunction()
        r.add_match(_UID="0", OBJECT_SYSTEMD_UNIT=unit)
    return len(list(r))


def read_varquin(root, unit):
    from varquin import journal

    return len(journal.entries(unit=unit, root=root))


def read_journalctl(root, unit):
    argv = ["journalctl", f"--root={root}", "-o", "json", "--all", "--no-pager", *(["-u", unit] if unit else [])]
    out = subprocess.run(argv, capture_output=True, check=True).stdout
    return len([json.loads(line) for line in out.splitlines()])


def send_varquin(count):
    from varquin import journal

    for i in range(count):
        journal.send("bench line", priority=6, BENCH_SEQ=i, BENCH="send")


def send_python_systemd(count):
    from systemd import journal

    for i in range(count):
        journal.send("bench line", PRIORITY=6, BENCH_SEQ=i, BENCH="send")


def main():
    mode, impl = sys.argv[1], sys.argv[2]
    start_cpu = time.process_time()
    start = time.perf_counter()
    if mode == "read":
        root, unit = sys.argv[3], (sys.argv[4] if len(sys.argv) > 4 else None)
        reader = {"varquin": read_varquin, "python-systemd": read_python_systemd, "journalctl-json": read_journalctl}
        n = reader[impl](root, unit)
    else:
        n = int(sys.argv[3])
        {"varquin": send_varquin, "python-systemd": send_python_systemd}[impl](n)
    wall = time.perf_counter() - start
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = time.process_time() - start_cpu + children.ru_utime + children.ru_stime
    print(json.dumps({"n": n, "wall": wall, "cpu": cpu, "pid": os.getpid()}))


if __name__ == "__main__":
    main()

"""The journal benchmark: entries per second and CPU per entry reading a
container's journal of about 100,000 entries (all of them, and one unit's),
varquin beside python-systemd's Reader and journalctl -o json through
json.loads; and entries sent per second, varquin's send beside
python-systemd's.  Boots a throwaway systemd container (root, nspawn).

    python -m bench.journal [--rounds N] [--lines N] [--sends N]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

from testing.container import Container, Unavailable, why_not
from testing.env import wait_for

REPO = Path(__file__).resolve().parent.parent
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with python3-systemd
UNIT = "vq-bench-lines.service"


def python_of(impl):
    return SYSTEM_PYTHON if impl == "python-systemd" else sys.executable


def run(argv, env=None):
    out = subprocess.run(argv, capture_output=True, check=True, cwd=REPO, env=env, timeout=600).stdout
    return json.loads(out.splitlines()[-1])


def in_container_socket(root, argv):
    """`argv` run in a mount namespace of its own where journald's socket is
    the container's (sd_journal_sendv writes to a fixed path)."""
    link = (
        "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/journal && "
        f'ln -s {root}/run/systemd/journal/socket /run/systemd/journal/socket && exec "$@"'
    )
    return ["unshare", "-m", "sh", "-c", link, "sh", *argv]


def count(root, *args):
    out = subprocess.run(["journalctl", f"--root={root}", "-q", "-o", "cat", *args], capture_output=True).stdout
    return out.count(b"\n")


def table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        print("  ".join(str(c).rjust(w) for c, w in zip(r, widths, strict=True)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--lines", type=int, default=100_000, help="lines the unit writes")
    ap.add_argument("--sends", type=int, default=20_000, help="entries each sender sends per round")
    args = ap.parse_args()
    print("Load average (1, 5, 15 min) at the start: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    bench_journal(args.rounds, args.lines, args.sends)
    print("\nLoad average (1, 5, 15 min) at the end: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))


def bench_journal(rounds, lines, sends):
    """Prints the reading and sending tables (see the module's text)."""
    args = argparse.Namespace(rounds=rounds, lines=lines, sends=sends)
    reason = why_not()
    if reason:
        print(f"\njournal: not measured: {reason}")
        return
    # Without journald's rate limit, which drops a unit's lines past its
    # burst (some ten thousand) per interval.
    container = Container(files={"/etc/systemd/journald.conf.d/vq-bench.conf": "[Journal]\nRateLimitIntervalSec=0\n"})
    try:
        container.start()
    except Unavailable as e:
        print(f"\njournal: not measured: the container did not boot: {e}")
        return
    try:
        root = f"/proc/{container.init[0]}/root"
        # One unit writes the lines, without the journal's rate limit.
        subprocess.run(
            [
                "nsenter",
                "-t",
                str(container.init[0]),
                "-a",
                "systemd-run",
                "--wait",
                "-q",
                f"--unit={UNIT}",
                "-p",
                "LogRateLimitIntervalSec=0",
                "seq",
                str(args.lines),
            ],
            check=True,
            timeout=600,
        )
        assert wait_for(lambda: count(root, "-u", UNIT) >= args.lines, timeout=120)
        total = count(root)
        reads = {}
        for _ in range(args.rounds):
            for what, unit in (("all", []), ("unit", [UNIT])):
                for impl in ("varquin", "python-systemd", "journalctl-json"):
                    r = run([python_of(impl), "-m", "bench.journal_client", "read", impl, root, *unit])
                    reads.setdefault((what, impl), []).append(r)
        rows = []
        for (what, impl), rs in reads.items():
            n = rs[0]["n"]
            rate = statistics.median(r["n"] / r["wall"] for r in rs)
            cpu = statistics.median(r["cpu"] / r["n"] * 1e6 for r in rs)
            base = statistics.median(r["n"] / r["wall"] for r in reads[(what, "python-systemd")])
            rows.append((what, impl, n, f"{rate:,.0f}", f"{rate / base:.2f}", f"{cpu:.2f}"))
        table(
            f"journal reading: a container's journal of {total} entries (all) and one unit's {args.lines} lines, "
            f"median of {args.rounds} rounds",
            ("entries", "reader", "n", "entries/s", "x python-systemd", "CPU us/entry"),
            rows,
        )
        sends = {}
        for _ in range(args.rounds):
            for impl in ("varquin", "python-systemd"):
                argv = [python_of(impl), "-m", "bench.journal_client", "send", impl, str(args.sends)]
                sends.setdefault(impl, []).append(run(in_container_socket(root, argv)))
        rows = []
        base = statistics.median(r["n"] / r["wall"] for r in sends["python-systemd"])
        for impl, rs in sends.items():
            rate = statistics.median(r["n"] / r["wall"] for r in rs)
            cpu = statistics.median(r["cpu"] / r["n"] * 1e6 for r in rs)
            rows.append((impl, f"{rate:,.0f}", f"{rate / base:.2f}", f"{cpu:.2f}"))
        table(
            f"journal sending: {args.sends} entries per round to the container's journald, "
            f"median of {args.rounds} rounds",
            ("sender", "entries/s", "x python-systemd", "CPU us/entry"),
            rows,
        )
    finally:
        container.stop()


if __name__ == "__main__":
    started = time.monotonic()
    main()
    print(f"({time.monotonic() - started:.0f} s in all)")

"""The command line: systemctl's everyday verbs on one host or many.

    python -m varquin [-H HOST[,HOST...]] [--user] [--timeout S] [--json] VERB [ARGS...]

``python -m varquin VERB --help`` describes each verb.  Unit names without a
suffix get ``.service``; patterns (``'web*'``) expand to the loaded units
they match.  Jobs are waited for unless ``--no-block``.  One table row per
host and unit on stdout (``show``: systemctl's ``NAME=VALUE`` lines; with
``--json``, only the rows as JSON); failures and, for several hosts, their
progress on stderr.  A command line a verb cannot take exits with 1.  The exit status is that
of systemctl of the driven manager's version (``run --wait``: systemd-run's);
over several hosts, the first host's that is not 0, and 1 for a host that
could not be reached.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import NoReturn, TextIO

from varquin import fleet
from varquin.bus import Bus
from varquin.cli import exits
from varquin.cli.report import Outcome, Progress, Row, as_json, as_table, describe
from varquin.cli.values import unit_name
from varquin.cli.verbs import VERBS, Context, manager_version
from varquin.systemd import Manager
from varquin.systemd._unit_journal import is_local

__all__ = ["main", "parser"]

LOCAL = "local"


def split_hosts(value: str) -> list[str]:
    """The hosts of one -H value.  Commas separate hosts, and also the keys
    of a D-Bus address (``unix:path=/x,guid=...``): a piece that does not
    start an address but continues the one before it (its next key=value)
    is part of it."""
    hosts: list[str] = []
    for piece in value.split(","):
        if (
            hosts
            and piece
            and not fleet.is_address(piece)
            and fleet.is_address(hosts[-1])
            and fleet.is_address(f"{hosts[-1]},{piece}")
        ):
            hosts[-1] += "," + piece
        elif piece:
            hosts.append(piece)
    return hosts


def host_openers(values: Sequence[str], user: bool = False) -> dict[str, fleet.Opener]:
    """The openers of the hosts of the -H values, by the name printed for
    each (a host given twice once); when there are none, the system bus, as
    "local" when it is this machine's (DBUS_SYSTEM_BUS_ADDRESS may point
    elsewhere: then it is named by that address).  ``user``: the user's own
    bus instead, here (the manager's own socket first, as systemctl --user
    reaches it: Bus.user(manager=True)) and on each host over SSH
    (``Bus.remote(host, user=True)``); a D-Bus address is opened as it is."""
    if not values:
        if user:
            return {LOCAL: lambda timeout: (Bus.user(timeout=timeout, manager=True), True)}
        address = os.environ.get("DBUS_SYSTEM_BUS_ADDRESS")
        key = address if address and not is_local(address) else LOCAL
        return {key: lambda timeout: (Bus.system(timeout=timeout), True)}
    openers: dict[str, fleet.Opener] = {}
    for value in values:
        for host in split_hosts(value):
            key, o = fleet.opener(host)
            if user and not fleet.is_address(host):
                o = _remote_user(host)
            openers.setdefault(key, o)
    return openers


def _remote_user(host: str) -> fleet.Opener:
    """The opener of the bus of the user ssh logs in as on ``host``."""
    return lambda timeout: (Bus.remote(host, user=True, timeout=timeout), True)


class Parser(argparse.ArgumentParser):
    """argparse's parser, but a command line it refuses exits with 1, as
    systemctl and systemd-run exit for an option they do not know or a value
    they cannot read."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(exits.FAILURE, f"{self.prog}: error: {message}\n")


def parser() -> argparse.ArgumentParser:
    """The argument parser: the options common to every verb, then one sub-parser per verb."""
    p = Parser(
        prog="python -m varquin",
        description="systemctl's everyday verbs on one host or many, over D-Bus.",
        epilog="Exit status: systemctl's for the driven manager's version (run --wait: systemd-run's); "
        "over several hosts the first that is not 0, and 1 for a host that could not be reached.",
    )
    add_common(p, None)
    sub = p.add_subparsers(dest="verb", metavar="VERB", required=True)
    for verb in VERBS.values():
        vp = sub.add_parser(verb.name, help=verb.help, description=verb.help)
        # The options common to every verb may come after it too; there they
        # have no defaults, which would undo those given before the verb.
        add_common(vp, argparse.SUPPRESS)
        verb.arguments(vp)
    return p


def add_common(p: argparse.ArgumentParser, default: object) -> None:
    """The options of every verb; ``default`` replaces their defaults unless None."""
    group = p.add_argument_group("options of every verb")

    def given(value: object) -> object:
        return value if default is None else default

    group.add_argument(
        "-H",
        "--host",
        action="append",
        default=given([]),
        metavar="HOST[,HOST...]",
        help="operate on these hosts over SSH ([user@]host[:port]; a D-Bus address such as "
        "unix:path=... also works); may be given more than once; default: this host",
    )
    group.add_argument(
        "--user",
        action="store_true",
        default=given(False),
        help="operate on the user's own manager (here, or of the user ssh logs in as on each host) "
        "instead of the system's",
    )
    group.add_argument(
        "--timeout",
        type=float,
        default=given(None),
        metavar="S",
        help="give up on hosts that have not answered within S seconds",
    )
    group.add_argument(
        "--json", action="store_true", default=given(False), help="print the rows as JSON on stdout, nothing else"
    )
    group.add_argument(
        "--root",
        default=given(None),
        metavar="DIR",
        help="the folder where the managed machine is installed, as seen from here (a container's "
        "/proc/PID/root): its journal, and the commands run looks for, are found there",
    )
    group.add_argument(
        "--max-workers",
        type=int,
        default=given(fleet.MAX_WORKERS),
        metavar="N",
        help="hosts served at once (default 64)",
    )


def per_host(args: argparse.Namespace, deadline: float | None) -> Callable[[Manager], Outcome]:
    """What fleet.run calls with each host's manager: the verb's action,
    after reading the manager's version (which picks systemctl's statuses)."""
    verb = VERBS[args.verb]

    def act(m: Manager) -> Outcome:
        ctx = Context(deadline, manager_version(m))
        out = verb.action(m, args, ctx)
        out.version = ctx.version
        return out

    def run(m: Manager) -> Outcome:
        if args.root is None and not args.user:
            return act(m)
        with Manager(m.bus, user=args.user, root=args.root) as chosen:
            return act(chosen)

    return run


def main(argv: Sequence[str] | None = None, stdout: TextIO = sys.stdout, stderr: TextIO = sys.stderr) -> int:
    """Runs the command line ``argv`` (sys.argv[1:] when None), writing its
    rows to `stdout` and failures and progress to `stderr`, and returns its
    exit status.  A command line argparse rejects raises SystemExit(1)
    after argparse's own message (systemctl's status for a bad option).

        status = main(["-H", "root@web1", "is-active", "nginx"])
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["codegen"]:  # python -m varquin codegen ...: see varquin.codegen
        from varquin import codegen

        return codegen.main(argv[1:], stdout, stderr)
    p = parser()
    # Options common to every verb may come before or after it: the verb's
    # sub-parser takes them too, without overriding those given before.
    args = p.parse_args(argv)
    if args.timeout is not None and args.timeout <= 0:
        p.error("--timeout must be positive")
    if args.max_workers < 1:
        p.error("--max-workers must be at least 1")
    verb = VERBS[args.verb]
    openers = host_openers(args.host, args.user)
    deadline = None if args.timeout is None else time.monotonic() + args.timeout
    progress = Progress(list(openers), stderr)
    try:
        results = fleet.run_openers(
            openers, per_host(args, deadline), args.max_workers, args.timeout, progress=progress.answered
        )
    except KeyboardInterrupt:
        progress.end()
        stderr.write("varquin: interrupted\n")
        return 130
    progress.end()
    rows: list[Row] = []
    status = 0
    for host, r in results.items():
        if r.value is None:
            e = r.error or RuntimeError("no answer")
            stderr.write(f"varquin: {host}: {args.verb}: {describe(e)}\n")
            units = [unit_name(u) for u in getattr(args, "units", None) or ["-"]]
            rows.extend(Row(host, u, error=e, ok=False) for u in units)
            status = status or exits.FAILURE
            continue
        outcome: Outcome = r.value
        for row in outcome.rows:
            row.host = host
        rows.extend(outcome.rows)
        stderr.writelines(f"varquin: {host}: {line}\n" for line in outcome.messages)
        status = status or outcome.status
    columns = (*verb.columns, "journal") if getattr(args, "lines", 0) > 0 else verb.columns
    if args.json:
        stdout.write(as_json(rows, columns) + "\n")
    elif verb.render is not None:
        text = verb.render(rows, args, len(openers) > 1)
        stdout.write(text + "\n" if text else "")
    else:
        stdout.write(as_table(rows, verb.columns) + "\n")
        for row in rows:
            if row.fields.get("journal"):
                stdout.write(f"\n-- {row.host} {row.unit}: its last journal lines\n")
                stdout.writelines(line + "\n" for line in row.fields["journal"])
    stdout.flush()
    return status

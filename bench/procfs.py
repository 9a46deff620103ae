"""What /proc says of a process: its resident set and its open descriptors.
Imported by the benchmark and by its client scripts (standard library only,
so that it adds nothing to a measured process's resident set)."""

from __future__ import annotations

import os


def rss_kb(pid: int | str = "self") -> int:
    """The resident set of process `pid` (this one by default), in kB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def fd_count(pid: int | str = "self") -> int:
    """The open file descriptors of process `pid` (this one by default)."""
    return len(os.listdir(f"/proc/{pid}/fd"))

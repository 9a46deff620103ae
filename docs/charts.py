"""Charts of the benchmark's latest output (bench/results/latest.txt), drawn
for the documentation: for each table of calls per second and CPU per call,
every implementation's rate and CPU as multiples of the C baseline's."""

from __future__ import annotations

import re
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# Chart file names by the start of the table's title line.
CHARTS = {
    "Client: 5000 sequential Echo calls to the C server, all processes on one CPU": "client-one-cpu",
    "Service: Echo served, C load generator K=4 W=16": "service-k4-w16",
    "asyncio:": "asyncio",
    "get_all:": "get-all",
}


# This project's own rows, drawn apart from the C baseline and the peers.
OURS = {"send", "Bus.call", "Bus.export", "listen", "varquin.aio", "Bus.get_all", "Bus.proxy", "aio proxy"}
COLOURS = {"c": "#555555", "ours": "#c05020", "peer": "#3070b0"}


def tables(text: str) -> dict[str, list[tuple[str, float, float]]]:
    """Each table of the output with a `calls/s` and a `CPU us/call` column:
    its title line and rows of (implementation, rate, CPU per call), both as
    multiples of the C row's."""
    found: dict[str, list[tuple[str, float, float]]] = {}
    for block in re.split(r"\n\s*\n", text):
        lines = block.strip("\n").splitlines()
        if len(lines) < 4 or not lines[2].startswith("---"):
            continue
        columns = re.split(r"\s{2,}", lines[1].strip())
        rate = next((k for k, c in enumerate(columns) if c == "calls/s"), None)
        cpu = next((k for k, c in enumerate(columns) if c.endswith("CPU us/call")), None)
        if rate is None or cpu is None:
            continue
        rows = []
        for line in lines[3:]:
            cells = re.split(r"\s{2,}", line.strip())
            if len(cells) == len(columns):
                rows.append((cells[0], float(cells[rate].replace(",", "")), float(cells[cpu])))
        base = next((r for r in rows if r[0] == "c"), None)
        if base:
            found[lines[0].strip()] = [(n, r / base[1], c / base[2]) for n, r, c in rows]
    return found


def draw(rows: list[tuple[str, float, float]], title: str, path: Path) -> None:
    names = [r[0] for r in rows]
    fig, axes = plt.subplots(1, 2, figsize=(10, 0.45 * len(rows) + 1.4), sharey=True)
    for ax, values, label in (
        (axes[0], [r[1] for r in rows], "calls/s as a multiple of C's (more is better)"),
        (axes[1], [r[2] for r in rows], "CPU per call as a multiple of C's (less is better)"),
    ):
        colours = [COLOURS["c" if n == "c" else "ours" if n in OURS else "peer"] for n in names]
        ax.barh(names, values, color=colours)
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xlabel(label, fontsize=9)
    axes[0].invert_yaxis()  # the table's order, top down (the axes share it)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def draw_all(results: Path, out: Path) -> list[Path]:
    """Draws every chart of CHARTS whose table the output has; returns the
    files written."""
    out.mkdir(parents=True, exist_ok=True)
    written = []
    for title, rows in tables(results.read_text()).items():
        for start, name in CHARTS.items():
            if title.startswith(start):
                path = out / f"{name}.png"
                draw(rows, title, path)
                written.append(path)
    return written

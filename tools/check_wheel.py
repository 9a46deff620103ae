"""Checks of the user's wheel, for tools/wheel.sh.

--wheel W --python P
    W carries a manylinux tag, grafted no library (libsystemd.so.0 stays the
    host's), ships the stub as the _varquin-stubs package and nothing loose
    at the top level; in the venv of P both modules import from the venv,
    _varquin finds libsystemd.so.0 on the host, and varquin.__version__ is
    the installed distribution's version.
--missing-headers-log L --status S
    The build without libsystemd's headers failed (S) with one line of
    output that names the Debian package and the pkg-config name (L).
"""

import argparse
import json
import re
import subprocess
import sys
import zipfile
from pathlib import Path

PROBE = """
import importlib.metadata, json, _varquin, varquin
print(json.dumps({
    "module": _varquin.__file__,
    "package": varquin.__file__,
    "version": varquin.__version__,
    "distribution": importlib.metadata.version("varquin"),
}))
"""


def check_wheel(wheel: Path, python: Path) -> list[str]:
    problems = []
    if not re.search(r"[-.]manylinux_\d+_\d+_x86_64\b", wheel.name):
        problems.append(f"{wheel.name}: no manylinux tag")
    names = zipfile.ZipFile(wheel).namelist()
    grafted = [n for n in names if ".libs/" in n]
    if grafted:
        problems.append(f"libraries grafted into the wheel: {grafted}")
    if "_varquin-stubs/__init__.pyi" not in names:
        problems.append("no _varquin-stubs/__init__.pyi in the wheel")
    loose = [n for n in names if n in ("_varquin.pyi", "py.typed")]
    if loose:
        problems.append(f"loose files at the top level: {loose}")

    # From / so that nothing of the repository is importable.
    python = python.absolute()
    out = subprocess.run([python, "-c", PROBE], cwd="/", capture_output=True, text=True)
    if out.returncode != 0:
        return [*problems, f"import from the fresh venv failed: {out.stderr.strip()}"]
    found = json.loads(out.stdout)
    venv = str(python.parent.parent.resolve())
    for key in ("module", "package"):
        if not str(Path(found[key]).resolve()).startswith(venv):
            problems.append(f"{key} imported from {found[key]}, not from the venv {venv}")
    if found["version"] != found["distribution"]:
        problems.append(f"varquin.__version__ {found['version']} != distribution {found['distribution']}")
    ldd = subprocess.run(["ldd", found["module"]], capture_output=True, text=True).stdout
    line = next((x for x in ldd.splitlines() if "libsystemd.so.0" in x), "")
    if "=> /" not in line or venv in line:
        problems.append(f"libsystemd.so.0 does not resolve to the host's: {line.strip() or 'not linked'}")
    if not problems:
        print(f"wheel: imports from the fresh venv, version {found['version']}, libsystemd from the host")
    return problems


def check_missing_headers(log: Path, status: int) -> list[str]:
    text = log.read_text(errors="replace")
    if status == 0:
        return ["the build without libsystemd's headers succeeded"]
    wanted = ("[1 lines of output]", "libsystemd-dev", "pkg-config name libsystemd")
    missing = [w for w in wanted if w not in text]
    if missing:
        return [f"the failed build's output lacks {missing}:\n{text}"]
    print("wheel: without libsystemd's headers the build fails with one line naming libsystemd-dev")
    return []


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--wheel", type=Path)
    ap.add_argument("--python", type=Path)
    ap.add_argument("--missing-headers-log", type=Path)
    ap.add_argument("--status", type=int)
    args = ap.parse_args()
    if args.wheel is not None and args.python is not None:
        problems = check_wheel(args.wheel, args.python)
    elif args.missing_headers_log is not None and args.status is not None:
        problems = check_missing_headers(args.missing_headers_log, args.status)
    else:
        ap.error("give --wheel and --python, or --missing-headers-log and --status")
    for p in problems:
        print("FAIL:", p, file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()

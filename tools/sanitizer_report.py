"""Judges the sanitizer run of the test suite.

The interpreter itself leaks at exit, and LeakSanitizer reports that and
then exits with the status the run sets for sanitizer reports (23).  So the run passes when the suite passed
(its JUnit report has tests and no failures), the interpreter ended with 0
or LeakSanitizer's status, and no sanitizer report concerns the module: no
memory error or undefined behaviour anywhere, and no leak with a frame of
the module in its allocation stack.
"""

import argparse
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

LEAK_EXIT = 23


def leak_blocks(text):
    """Each leak report block: its header line and its stack frames."""
    return re.findall(r"^((?:Direct|Indirect) leak of .*?)(?:\n\n|\Z)", text, re.S | re.M)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exit-code", type=int, required=True)
    ap.add_argument("--logs", type=Path, required=True)
    ap.add_argument("--source", required=True)
    args = ap.parse_args()
    problems = []

    junit = args.logs / "junit.xml"
    if not junit.exists():
        problems.append("the suite wrote no JUnit report: it did not finish")
    else:
        root = ET.parse(junit).getroot()
        suites = [root] if root.tag == "testsuite" else list(root)
        tests = sum(int(s.get("tests", 0)) for s in suites)
        failed = sum(int(s.get("failures", 0)) + int(s.get("errors", 0)) for s in suites)
        skipped = sum(int(s.get("skipped", 0)) for s in suites)
        print(f"sanitizer run: {tests} tests, {failed} failed, {skipped} skipped")
        if tests - skipped <= 0:
            problems.append("no test ran")
        if failed:
            problems.append(f"{failed} tests failed")
    if args.exit_code not in (0, LEAK_EXIT):
        problems.append(f"the interpreter exited with status {args.exit_code}")

    # A leaked sd_bus (sd_bus_new in its stack) is the modules' too: nothing
    # else in the test process opens one, and its stack often ends inside
    # libsystemd, before any frame of the module.
    module_markers = ("_varquin", args.source, "sd_bus_new")
    leaks = 0
    for log in sorted(args.logs.glob("*san.*")):
        text = log.read_text(errors="replace")
        for kind in ("ERROR: AddressSanitizer", "runtime error:", "SUMMARY: UndefinedBehaviorSanitizer"):
            if kind in text:
                problems.append(f"{log.name}: {kind}\n{text[:4000]}")
        for block in leak_blocks(text):
            if any(m in block for m in module_markers):
                leaks += 1
                problems.append(f"{log.name}: leak from the module\n{block}")
    print(f"sanitizer run: {leaks} leaks from the module")

    if problems:
        for p in problems:
            print("FAIL:", p, file=sys.stderr)
        sys.exit(1)
    print("sanitizer run: clean")


if __name__ == "__main__":
    main()

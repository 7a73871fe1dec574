#!/usr/bin/env python3
"""Prints each test CTest skipped, with the reason the test gave: CTest's
own summary names skipped tests but not why. Reads the JUnit file of one
CTest run (ctest --output-junit FILE). Where a test runs a whole
GoogleTest program, the cases it skipped inside are named too.

Usage: print_skips.py JUNIT_FILE
"""
import sys
import xml.etree.ElementTree as ElementTree


def skipped_inside(output):
    """(case, reason) for each case GoogleTest skipped in this output: the
    text between "FILE:LINE: Skipped" and the case's "[  SKIPPED ] NAME (N ms)"."""
    found, said = [], None
    for line in (s.strip() for s in output.splitlines()):
        if line.endswith(": Skipped"):
            said = []
        elif said is not None and line.startswith("[  SKIPPED ]"):
            found.append((line[len("[  SKIPPED ]"):].split(" (")[0].strip(), " ".join(s for s in said if s)))
            said = None
        elif said is not None:
            said.append(line)
    return found


def reason(output):
    """GoogleTest's text after "FILE:LINE: Skipped", else the whole output."""
    found = skipped_inside(output)
    return found[0][1] if found else " ".join(s.strip() for s in output.splitlines() if s.strip())


def main(path):
    try:
        cases = ElementTree.parse(path).getroot().iter("testcase")
    except (OSError, ElementTree.ParseError) as error:
        print(f"skipped tests: cannot read {path}: {error}")
        return 1
    for case in cases:
        out = case.find("system-out")
        text = out.text if out is not None and out.text else ""
        if case.find("skipped") is not None:
            print(f"skipped: {case.get('name')}: {reason(text)}")
            continue
        for name, why in skipped_inside(text):
            print(f"skipped: {case.get('name')}: {name}: {why}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

#!/usr/bin/env python3
"""Adds up the GoogleTest XML results of every lane into one summary line."""
import glob
import os
import sys
import xml.etree.ElementTree as ET


def main():
    build = sys.argv[1]
    total_pass = total_fail = total_skip = 0
    failures = []
    for lane in ("host", "win64", "win32"):
        p = f = s = 0
        for path in sorted(glob.glob(os.path.join(build, lane, "test-results", "*.xml"))):
            try:
                suites = ET.parse(path).getroot()
            except ET.ParseError:
                failures.append("%s: unreadable result file %s" % (lane, path))
                f += 1
                continue
            for case in suites.iter("testcase"):
                if case.find("failure") is not None:
                    f += 1
                    failures.append("%s: %s.%s" % (lane, case.get("classname"), case.get("name")))
                elif case.find("skipped") is not None or case.get("result") == "skipped":
                    s += 1
                else:
                    p += 1
        # A test program that crashed or never ran leaves no XML: count it from CTest's list.
        failed_log = os.path.join(build, lane, "Testing", "Temporary", "LastTestsFailed.log")
        if os.path.exists(failed_log):
            for line in open(failed_log):
                name = line.strip().split(":", 1)[-1]
                if not name:
                    continue
                # A program whose cases all passed can still fail as a whole: it crashed on
                # exit, hung past its time-out, or never ran.
                f += 1
                failures.append("%s: %s (the test program failed: crash, time-out or no start)"
                                % (lane, name))
        if p or f or s:
            print("%-6s %d passed, %d failed, %d skipped" % (lane, p, f, s))
        total_pass, total_fail, total_skip = total_pass + p, total_fail + f, total_skip + s
    for line in failures:
        print("FAILED " + line)
    print("summary: %d passed, %d failed, %d skipped" % (total_pass, total_fail, total_skip))
    if total_skip:
        # Every peer a test needs is running here: a skipped test is one that did not test.
        print("skipped tests count as failures in this run")
    return 1 if total_fail or total_skip or not total_pass else 0


if __name__ == "__main__":
    sys.exit(main())

"""Summaries of pytest JUnit XML reports, for the CI job scripts (lib.sh).

    junit.py counts FILE...   "passed failed skipped" summed over the reports
                              (errors count as failed; a missing or unreadable
                              report counts as one failure)
    junit.py skips FILE       "count reason" for each distinct skip reason
    junit.py failures FILE    the test ids that failed or errored, with the
                              first line of their message
    junit.py extras FILE...   the tests skipped for a missing optional
                              package (tests/support/runtime.py NEEDS_EXTRA)
                              in every report that has them; exits 1 if any

Standard library only: it runs with whichever python3 the job has.
"""

import collections
import sys
import xml.etree.ElementTree as ET


def _root(path):
    try:
        return ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None


def counts(paths):
    passed = failed = skipped = 0
    for path in paths:
        root = _root(path)
        if root is None:
            failed += 1
            continue
        suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
        for s in suites:
            total = int(s.get("tests", 0))
            f = int(s.get("failures", 0)) + int(s.get("errors", 0))
            k = int(s.get("skipped", 0))
            passed += total - f - k
            failed += f
            skipped += k
    print(passed, failed, skipped)


def skips(path):
    root = _root(path)
    if root is None:
        return
    reasons = collections.Counter(
        (s.get("message") or "").replace("\n", " ")[:150] for s in root.iter("skipped")
    )
    for reason, n in sorted(reasons.items(), key=lambda r: -r[1]):
        print("%5d  %s" % (n, reason))


def failures(path):
    root = _root(path)
    if root is None:
        return
    for case in root.iter("testcase"):
        for bad in list(case.findall("failure")) + list(case.findall("error")):
            message = (bad.get("message") or "").splitlines()
            name = case.get("classname", "") + "::" + case.get("name", "")
            print("  %s: %s" % (name, message[0][:200] if message else ""))


# The start of the skip reason of a test whose optional package is missing
# (tests/support/runtime.py NEEDS_EXTRA).
NEEDS_EXTRA = "needs the optional package "


def extras(paths):
    ran, skipped = set(), {}
    for path in paths:
        root = _root(path)
        if root is None:
            continue
        for case in root.iter("testcase"):
            test = case.get("classname", "") + "::" + case.get("name", "")
            skip = case.find("skipped")
            if skip is None:
                ran.add(test)
            elif NEEDS_EXTRA in (skip.get("message") or ""):
                skipped[test] = skip.get("message")
    never = sorted(set(skipped) - ran)
    for test in never:
        print("  %s: %s" % (test, skipped[test]))
    if never:
        raise SystemExit(1)


def main(argv):
    commands = {
        "counts": counts,
        "skips": lambda p: skips(p[0]),
        "failures": lambda p: failures(p[0]),
        "extras": extras,
    }
    if len(argv) < 2 or argv[0] not in commands:
        raise SystemExit("usage: junit.py counts|skips|failures|extras FILE...")
    commands[argv[0]](argv[1:])


if __name__ == "__main__":
    main(sys.argv[1:])

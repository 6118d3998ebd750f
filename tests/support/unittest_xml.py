"""Runs Python unittest cases for the test run and writes their outcomes as GoogleTest XML,
the form tests/support/summarize.py counts in every lane. A failed subtest fails the case
that holds it; a failed class set-up fails every case of its class; a skip stays a skip (the
summary counts it against the run)."""
import os
import sys
import unittest
import xml.etree.ElementTree as ET


def cases(suite):
    """The test cases of a (nested) suite, in order."""
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            yield from cases(test)
        else:
            yield test


def run(suite, xml_path, suite_name):
    """Runs `suite` with verbose output on standard output, writes `xml_path` (none: no file)
    and answers the exit status for the test program (0 when everything passed)."""
    tests = list(cases(suite))  # running a suite empties it
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    if xml_path:
        write(xml_path, suite_name, tests, result)
    return 0 if result.wasSuccessful() else 1


def write(path, suite_name, tests, result):
    failed = {}
    set_up = []  # (description, text) of errors outside any one case
    for test, text in result.failures + result.errors:
        if isinstance(test, unittest.TestCase):
            failed.setdefault(getattr(test, "test_case", test).id(), text)
        else:
            set_up.append((test.id(), text))
    skipped = {test.id() for test, _ in result.skipped}
    root = ET.Element("testsuites")
    suite = ET.SubElement(root, "testsuite", name=suite_name)
    for test in tests:
        owner = "%s.%s" % (type(test).__module__, type(test).__qualname__)
        text = failed.get(test.id()) or next(
            (text for where, text in set_up if owner in where), None)
        case = ET.SubElement(suite, "testcase", classname=type(test).__name__,
                             name=test._testMethodName.removeprefix("test_"))
        if text:
            ET.SubElement(case, "failure", message=text.splitlines()[-1]).text = text
        elif test.id() in skipped:
            ET.SubElement(case, "skipped")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)

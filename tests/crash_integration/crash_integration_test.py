#!/usr/bin/env python3
"""Crashes end to end: the real Galvorand.exe under Wine loads a fixture application DLL that
crashes inside SL_Launch2; the crash reporter sends report and minidump to our collection
service on 127.0.0.1 and ends the process with the exception code, or keeps the files in the
per-user crash folder when the upload fails. Needs the test run's DISPLAY and Wine prefix
(GV_WINEPREFIX_WIN64 / GV_WINEPREFIX_WIN32); results are written as GoogleTest XML.
"""
import argparse
import os
import pwd
import re
import shutil
import socket
import sqlite3
import struct
import subprocess
import sys
import time
import unittest
import xml.etree.ElementTree as ET

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import unittest_xml  # noqa: E402
COLLECTOR = os.path.join(ROOT, "tools", "collector", "collector.py")
OPTIONS = None  # the command line, set in main()

# Fault modes of the fixture DLL and the exception each must end the process with.
CRASHES = {
    "read": (0xC0000005, "EXCEPTION_ACCESS_VIOLATION"),
    "write": (0xC0000005, "EXCEPTION_ACCESS_VIOLATION"),
    "divide": (0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"),
    "raise": (0xE0C0FFEE, "0xe0c0ffee"),
    "thread": (0xC0000005, "EXCEPTION_ACCESS_VIOLATION"),
    "two_threads": (0xC0000005, "EXCEPTION_ACCESS_VIOLATION"),
    "stack": (0xC00000FD, "EXCEPTION_STACK_OVERFLOW"),
}
# From the fault to the end of the process, whatever the service does.
CRASH_BOUND_S = 10
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


def wine_path(path):
    """The Windows name of a Linux path under Wine (the Z: drive is the root)."""
    return "Z:" + path.replace("/", "\\")


class Collector:
    """Our collection service on free ports of 127.0.0.1, with its own database."""

    def __init__(self, work):
        self.db = os.path.join(work, "telemetry.db")
        self.port = self.control_port = 0
        self.start(["--fresh"])

    def start(self, extra):
        self.process = subprocess.Popen(
            [sys.executable, COLLECTOR, "--port", str(self.port), "--control-port",
             str(self.control_port), "--db", self.db, "--quiet"] + extra,
            stdout=subprocess.PIPE, text=True)
        ready = self.process.stdout.readline()
        match = re.search(r"port=(\d+) control=(\d+)", ready)
        if not match:
            self.stop()
            raise RuntimeError("collector did not start: %r" % ready)
        self.port, self.control_port = int(match.group(1)), int(match.group(2))

    def restart(self):
        """Stops the service and starts it again on the same ports and database."""
        self.stop()
        self.start([])

    def control(self, command):
        with socket.create_connection(("127.0.0.1", self.control_port), timeout=10) as s:
            s.sendall((command + "\n").encode())
            return s.makefile().readline()

    def query(self, sql, *args):
        with sqlite3.connect(self.db) as db:
            return db.execute(sql, args).fetchall()

    def crashes(self):
        return self.query("SELECT id, session_id, kind, report FROM crashes ORDER BY id")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def check_minidump(test, data, thread, code):
    """A minidump: the "MDMP" header, a stream directory inside the file, and the streams of a
    crash: threads, modules, and the exception of `code` on `thread`."""
    test.assertGreater(len(data), 32)
    signature, version, count, directory = struct.unpack_from("<4sIII", data, 0)
    test.assertEqual(signature, b"MDMP")
    test.assertEqual(version & 0xFFFF, 0xA793)
    test.assertLessEqual(directory + 12 * count, len(data))
    types = set()
    for i in range(count):
        kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
        if kind:
            test.assertLessEqual(rva + size, len(data), "stream %d lies past the end" % kind)
        if kind == 6:  # thread id, alignment, then the exception record
            crashed, _, recorded = struct.unpack_from("<III", data, rva)
            test.assertEqual(crashed, thread)
            # The dump library reads the exception record as memory of the dumped process;
            # the emulated 32-bit Wine refuses that read of the launcher's own memory (as it
            # refuses a module snapshot), so there the record's code stays 0.
            if OPTIONS.arch == "win64":
                test.assertEqual(recorded, code)
        types.add(kind)
    test.assertTrue({3, 4, 6} <= types, "no thread list, module list or exception: %s" % types)


class CrashRoad(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = OPTIONS.work
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        cls.collector = Collector(cls.work)
        prefix = os.environ.get("GV_WINEPREFIX_%s" % OPTIONS.arch.upper(), "")
        user = pwd.getpwuid(os.getuid()).pw_name
        cls.crash_folder = os.path.join(prefix, "drive_c", "users", user, "AppData", "Local",
                                        "Zum", "CrashReport")
        cls.registers = ("EAX", "EIP", "ESP") if OPTIONS.arch == "win32" else ("RAX", "RIP", "RSP")
        # Reports other tests kept would go out at the next start that does not crash.
        shutil.rmtree(cls.crash_folder, ignore_errors=True)

    @classmethod
    def tearDownClass(cls):
        cls.collector.stop()

    def tearDown(self):
        self.collector.control("mode normal")

    def launch(self, mode, tovik=None, during=None, exit_code=None):
        """Runs Galvorand.exe once in a fresh folder with the fixture crashing as `mode` (None:
        no crash; else returning `exit_code`). With `during`, the fixture waits in SL_Launch2
        until `during` (called with the folder) has run. Returns the exit status's low byte
        (all Wine passes on) and the standard output; self.fault_to_end is the time from the
        entry to SL_Launch2 (where it crashes) to the end of the process."""
        folder = os.path.join(self.work, "cases", "%s-%s" % (self.id().split(".")[-1], mode))
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        shutil.copy(OPTIONS.launcher, os.path.join(folder, "Galvorand.exe"))
        shutil.copy(OPTIONS.app_dll, os.path.join(folder, "Galvorand.dll"))
        with open(os.path.join(folder, "Galvorand-user.ini"), "w") as f:
            f.write("[Settings]\nselfPatch=false\ntovik=%s\n"
                    % (tovik or "127.0.0.1:%d" % self.collector.port))
        environment = dict(os.environ)
        environment.pop("GV_FIXTURE_CRASH", None)
        if mode:
            environment["GV_FIXTURE_CRASH"] = mode
        if exit_code is not None:
            environment["GV_FIXTURE_EXIT"] = str(exit_code)
        entered = os.path.join(folder, "entered.txt")
        release = os.path.join(folder, "release.txt")
        environment["GV_FIXTURE_TIMESTAMP"] = wine_path(entered)
        if during:
            environment["GV_FIXTURE_SESSION_UNTIL"] = wine_path(release)
        self.started = time.time() - 2  # file times have a coarse grain
        command = [os.path.join(ROOT, "tests", "support", "wine-run"), OPTIONS.arch,
                   os.path.join(folder, "Galvorand.exe")]
        run = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        try:
            if during:
                for _ in range(6000):
                    if os.path.exists(entered) or run.poll() is not None:
                        break
                    time.sleep(0.01)
                during(folder)
                open(release, "w").close()
            out, _ = run.communicate(timeout=240)
            self.fault_to_end = time.time() - os.path.getmtime(entered)
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
        # Standard output is a text stream on Windows: line ends come as CR LF.
        return run.returncode & 0xFF, out.decode("latin-1").replace("\r\n", "\n")

    @staticmethod
    def printed_report(output):
        """The report the launcher copied to its standard output (log lines follow it)."""
        start, end = output.find("<?xml"), output.find("</crash_report>\n")
        if start < 0 or end < start:
            raise AssertionError("no whole report on the standard output:\n" + output[-2000:])
        return output[start:end + len("</crash_report>\n")]

    def crash_files(self, pid, folder=None):
        """The crash folder's files of the last run: their names end in its process number,
        and Wine gives numbers out again, so only files written since its start count."""
        suffix = re.compile(r"^Galvorand_\d{8}_\d{6}_%x\.(dmp|xml|gid)(\.tmp)?$" % pid)
        folder = folder or self.crash_folder
        try:
            names = os.listdir(folder)
        except FileNotFoundError:
            return []
        return sorted(n for n in names if suffix.match(n) and os.path.getmtime(
            os.path.join(folder, n)) >= self.started)

    def check_report(self, report, mode):
        code, type_name = CRASHES[mode]
        root = ET.fromstring(report.encode("latin-1"))
        self.assertEqual(root.tag, "crash_report")
        self.assertEqual(root.findtext("platform"), "win32")
        self.assertEqual(root.findtext("type"), type_name)
        bad = root.find("bad_address")
        if code == 0xC0000005:
            self.assertIsNotNone(bad)
            self.assertEqual(bad.get("access"), "read" if mode == "read" else "write")
        else:
            self.assertIsNone(bad)
        # The launcher's settings: nothing about the user or the machine's network.
        for absent in ("computer", "host_ip", "environment"):
            self.assertIsNone(root.find(absent), absent)
        own = root.find("processes/process[@self='yes']")
        self.assertIsNotNone(own)
        self.assertIsNone(own.find("user"))
        crashed = own.findall("threads/thread[@crash='yes']")
        self.assertEqual(len(crashed), 1)
        for register in self.registers:
            self.assertRegex(crashed[0].get(register, ""), r"^0x[0-9a-f]+$", register)
        frames = crashed[0].findall("callstack/frame")
        self.assertTrue(frames, "no call stack")
        for frame in frames:
            self.assertRegex(frame.text.strip(), r"^0x[0-9a-f]+$")  # no symbols
        if mode in ("thread", "two_threads"):
            self.assertGreater(len(own.findall("threads/thread")), 1)
        modules = [m.text.lower() for m in own.findall("modules/module")]
        for name in ("galvorand.exe", "galvorand.dll"):
            self.assertTrue(any(m.endswith("\\" + name) for m in modules), name)
        return int(own.get("id"), 16), int(crashed[0].get("id"), 16)

    def test_CrashesReachTheServiceAsReportAndMinidump(self):
        # A stack overflow and two threads faulting together included: one report each.
        modes = list(CRASHES) if OPTIONS.arch == "win64" else ["write", "stack"]
        for mode in modes:
            with self.subTest(mode=mode):
                before = len(self.collector.crashes())
                status, output = self.launch(mode)
                self.assertEqual(status, CRASHES[mode][0] & 0xFF)
                crashes = self.collector.crashes()[before:]
                self.assertEqual(len(crashes), 1, "one crash message per crash")
                crash_id, session, kind, report = crashes[0]
                self.assertEqual(kind, 8)
                self.assertIsNotNone(session)
                pid, thread = self.check_report(report, mode)
                # The same report went to the standard output.
                self.assertEqual(self.check_report(self.printed_report(output), mode),
                                 (pid, thread))
                attachments = self.collector.query(
                    "SELECT name, path FROM attachments WHERE crash_id=?", crash_id)
                self.assertEqual(len(attachments), 1)
                self.assertRegex(attachments[0][0], r"^Galvorand_\d{8}_\d{6}_%x\.dmp$" % pid)
                with open(os.path.join(self.collector.db + ".files", attachments[0][1]), "rb") as f:
                    check_minidump(self, f.read(), thread, CRASHES[mode][0])
                # Delivered: nothing is kept, the dump is gone.
                self.assertEqual(self.crash_files(pid), [])

    def test_FailedUploadKeepsReportAndDump(self):
        # Cut off halfway, the crash's session is kept beside them; unreachable or silent,
        # there is none, and a silent service holds the process up no longer than the bound.
        cases = [("write", "mode cut-request kinds=8", ["dmp", "gid", "xml"]),
                 ("divide", None, ["dmp", "xml"])]
        if OPTIONS.arch == "win64":
            cases.append(("read", "mode silent", ["dmp", "xml"]))
        for mode, service, kept in cases:
            with self.subTest(mode=mode):
                if service:
                    self.assertTrue(self.collector.control(service).startswith("ok"))
                status, output = self.launch(mode, tovik=None if service else "127.0.0.1:1")
                self.assertEqual(status, CRASHES[mode][0] & 0xFF)
                self.assertLess(self.fault_to_end, CRASH_BOUND_S)
                pid, thread = self.check_report(self.printed_report(output), mode)
                files = self.crash_files(pid)
                self.assertEqual([f.rsplit(".", 1)[1] for f in files], kept, files)
                base = os.path.join(self.crash_folder, files[0].rsplit(".", 1)[0])
                if "gid" in kept:
                    with open(base + ".gid") as f:
                        self.assertRegex(f.read(), r"^[1-9]\d*$")
                with open(base + ".xml", "rb") as f:
                    self.check_report(f.read().rstrip(b"\0").decode("latin-1"), mode)
                with open(base + ".dmp", "rb") as f:
                    check_minidump(self, f.read(), thread, CRASHES[mode][0])
                for name in files:
                    os.remove(os.path.join(self.crash_folder, name))

    def test_CrashWhileAFrozenThreadHoldsTheHeapEndsWithinTheBound(self):
        status, _ = self.launch("heap_lock")
        self.assertEqual(status, 0xC0000005 & 0xFF)
        self.assertLess(self.fault_to_end, CRASH_BOUND_S)
        # Whatever it left (the dump it was writing) must not reach the next cases' service. A
        # crash this early may come before the crash folder was ever looked for.
        names = os.listdir(self.crash_folder) if os.path.isdir(self.crash_folder) else []
        for name in names:
            path = os.path.join(self.crash_folder, name)
            if name.startswith("Galvorand_") and os.path.getmtime(path) >= self.started:
                os.remove(path)

    def registry(self, *args):
        command = [os.path.join(ROOT, "tests", "support", "wine-run"), OPTIONS.arch, "reg"]
        return subprocess.run(command + list(args), stdout=subprocess.PIPE, timeout=120,
                              stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")

    def test_ProfileOutsideTheCodePageKeepsReportsAndTheNextStartSendsThem(self):
        # A per-user folder named in Cyrillic and Chinese: outside the ANSI code page.
        user = pwd.getpwuid(os.getuid()).pw_name
        name = "\u041f\u0440\u043e\u0444\u0438\u043b\u044c \u73a9\u5bb6"
        before = re.search(r"Local AppData\s+REG_EXPAND_SZ\s+(.*)",
                           self.registry("query", SHELL_FOLDERS, "/v", "Local AppData"))
        self.registry("add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_EXPAND_SZ",
                      "/d", "C:\\users\\%s\\%s" % (user, name), "/f")
        folder = os.path.join(self.crash_folder.rsplit(os.sep + "AppData" + os.sep, 1)[0], name,
                              "Zum", "CrashReport")
        shutil.rmtree(folder, ignore_errors=True)
        try:
            # Delivered: the dump arrives whole.
            count = len(self.collector.crashes())
            status, output = self.launch("write")
            self.assertEqual(status, 0x05)
            crashes = self.collector.crashes()[count:]
            self.assertEqual(len(crashes), 1)
            pid, thread = self.check_report(crashes[0][3], "write")
            path = self.collector.query("SELECT path FROM attachments WHERE crash_id=?",
                                        crashes[0][0])[0][0]
            with open(os.path.join(self.collector.db + ".files", path), "rb") as f:
                check_minidump(self, f.read(), thread, 0xC0000005)
            # Not delivered: kept there, with a half-written file of an earlier crash.
            status, output = self.launch("write", tovik="127.0.0.1:1")
            pid, thread = self.check_report(self.printed_report(output), "write")
            self.assertEqual([f.rsplit(".", 1)[1] for f in self.crash_files(pid, folder)],
                             ["dmp", "xml"])
            open(os.path.join(folder, "Galvorand_20000101_000000_1.dmp.tmp"), "w").close()
            # The next start sends them on the side and empties the folder; the launch goes
            # on to the DLL's exit code.
            count = len(self.collector.crashes())
            status, _ = self.launch(None, exit_code=7)
            self.assertEqual(status, 7)
            crashes = self.collector.crashes()[count:]
            self.assertEqual(len(crashes), 1)
            # Sent from the file, as a text value: a zero byte ends it.
            self.assertEqual(self.check_report(crashes[0][3].rstrip("\0"), "write"), (pid, thread))
            self.assertEqual(len(self.collector.query(
                "SELECT name FROM attachments WHERE crash_id=?", crashes[0][0])), 1)
            self.assertEqual([n for n in os.listdir(folder) if n.startswith("Galvorand_")], [])
        finally:
            if before:
                self.registry("add", SHELL_FOLDERS, "/v", "Local AppData", "/t",
                              "REG_EXPAND_SZ", "/d", before.group(1).strip(), "/f")
            else:
                self.registry("delete", SHELL_FOLDERS, "/v", "Local AppData", "/f")

    # The run's telemetry session against a service that answers late, a run that ends at
    # once, and a service that restarts while the application DLL runs.
    def new_sessions(self, before):
        return self.collector.query(
            "SELECT id, version FROM sessions WHERE id > ? ORDER BY id", before)

    def last_session(self):
        return self.collector.query("SELECT COALESCE(MAX(id), 0) FROM sessions")[0][0]

    def test_LateAnswersStillGiveOneSessionCarriedOver(self):
        runs = (("delay 300", 1), ("normal", 20 if OPTIONS.arch == "win64" else 2))
        for service, count in runs:
            self.assertTrue(self.collector.control("mode " + service).startswith("ok"))
            for run in range(count):
                with self.subTest(service=service, run=run):
                    before = self.last_session()
                    status, _ = self.launch(None)
                    self.assertEqual(status, 0)
                    # The DLL's sink continued the launcher's session: one row, the DLL's
                    # version in it.
                    self.assertEqual([v for _, v in self.new_sessions(before)], ["1.0.0.200"])

    def test_ReportReachesAServiceRestartedWhileTheDllRuns(self):
        before = len(self.collector.crashes())
        first = self.last_session()

        def restart(folder):
            # Once the DLL's sink has continued the run's session.
            for _ in range(500):
                if [v for _, v in self.new_sessions(first)] == ["1.0.0.200"]:
                    break
                time.sleep(0.01)
            self.collector.restart()

        status, output = self.launch("write", during=restart)
        self.assertEqual(status, CRASHES["write"][0] & 0xFF)
        crashes = self.collector.crashes()[before:]
        self.assertEqual(len(crashes), 1)
        session = self.new_sessions(first)[0][0]
        self.assertEqual(crashes[0][1], session)  # in the run's session, continued
        self.check_report(crashes[0][3], "write")


def main():
    global OPTIONS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", choices=("win64", "win32"), required=True)
    for name in ("launcher", "app-dll", "work", "xml"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--only", help="run only the cases whose names contain this text")
    OPTIONS = parser.parse_args()
    if OPTIONS.arch == "win32":
        # The emulated lane carries the stack overflow and the kept reports; the held heap
        # is a 64-bit case only.
        del CrashRoad.test_CrashWhileAFrozenThreadHoldsTheHeapEndsWithinTheBound
    loader = unittest.TestLoader()
    if OPTIONS.only:
        loader.testNamePatterns = ["*%s*" % OPTIONS.only]
    return unittest_xml.run(loader.loadTestsFromTestCase(CrashRoad), OPTIONS.xml, "CrashRoad")


if __name__ == "__main__":
    sys.exit(main())

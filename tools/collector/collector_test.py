#!/usr/bin/env python3
"""Tests of the collection service: the BinXML codec against hand-written bytes, hostile
input, and the running service over a real TCP connection on 127.0.0.1.

    collector_test.py [--xml RESULTS.xml] [unittest arguments]
"""

import fcntl
import json
import os
import re
import resource
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support"))

import binxml  # noqa: E402
import crash_signature  # noqa: E402
import protocol as P  # noqa: E402
import store as storage  # noqa: E402
from binxml import BadStream  # noqa: E402
import unittest_xml  # noqa: E402

RESULTS = None  # where screenshots go: beside the results file, or a temporary folder
PG_URL = os.environ.get("GV_PG_URL")  # a PostgreSQL cluster; one is started when missing

REPORT = """<?xml version="1.0" encoding="ISO-8859-1"?>
<crash_report>
  <type>%s</type>
  <processes><process id="0x10" self="yes"><threads>
    <thread id="0x11" priority="8">
      <callstack><frame>0x00999999</frame></callstack></thread>
    <thread id="0x12" crash="yes"
          EIP="0x10001234">
      <callstack>%s</callstack></thread>
  </threads><modules>
    <module base="0x00400000-0x0040ffff">C:\\Games\\Galvorand.exe</module>
    <module base="0x10000000-0x1000ffff">C:\\Games\\Galvorand.dll</module>
  </modules></process></processes>
  <app_xml><unclosed></app_xml>
</crash_report>
"""


class Codec(unittest.TestCase):
    def test_round_trip(self):
        for n, header in ((0, "00"), (127, "7f"), (128, "8080"), (0x7EFF, "feff"),
                          (0x7F00, "ff00007f00"), (0x10000, "ff00010000")):
            with self.subTest(n=n):
                item = binxml.encode_item(3, b"v" * n)
                self.assertEqual(item[:1 + len(header) // 2].hex(), "03" + header)
                [(token, value)] = binxml.items(item)
                self.assertEqual((token, len(value)), (3, n))
        header = bytes.fromhex(
            "0101 07"  # sequence 7
            "0201 08"  # kind 8
            "0307 6d61696e2e6300"  # source "main.c"
            "0402 01f4"  # line 500
            "c803 aabbcc"  # unknown token: skipped
            "0b05 0165f0a3c0"  # time, 5 bytes of a 64-bit value
            "0c01 2a"  # previous session 42
            "1106 642e646d7000".replace(" ", ""))  # attachment name "d.dmp"
        body = bytes.fromhex("0603 3c2f3e" "0602 4d44".replace(" ", ""))
        payload = binxml.encode_item(1, header) + binxml.encode_item(2, body)
        m = P.parse_message(payload)
        self.assertEqual((m.sequence, m.kind, m.source, m.line, m.time, m.previous_session,
                          m.attachment_name, m.data),
                         (7, 8, "main.c", 500, 0x0165F0A3C0, 42, "d.dmp", [b"</>", b"MD"]))
        self.assertEqual(P.parse_message(P.encode_message(m)), m)
        # Absent records read as defaults: an empty message is an end of session.
        self.assertTrue(P.parse_message(b"").is_session_end)

    def test_hostile_input_is_a_bad_stream(self):
        cases = {
            "5-byte length cut short": "0105 ff000000",
            "2-byte length cut short": "0105 81",
            "lone token byte": "01",
            "value past the end": "0105 0203aabb",
            "item past its record": "0104 020501020304",
            "32-bit sequence of 5 bytes": "0107 01050000000001",
            "8-bit kind of 2 bytes": "0104 02020001",
            "numbered flag of 2 bytes": "0104 0f020101",
            "huge 5-byte length": "01ff ffffffff 00",
        }
        for name, hexed in cases.items():
            with self.subTest(name), self.assertRaises(BadStream):
                P.parse_message(bytes.fromhex(hexed.replace(" ", "")))


class Signature(unittest.TestCase):
    def test_groups_by_exception_module_and_offset(self):
        cases = (
            ("frame in a module", "EXCEPTION_ACCESS_VIOLATION", "<frame>0x00401010</frame>",
             "0xc0000005 galvorand.exe+0x1010"),
            ("symbol frame", "EXCEPTION_INT_DIVIDE_BY_ZERO",
             "<frame>[0x10000020]  a.cpp(3): f+0x00000004</frame>",
             "0xc0000094 galvorand.dll+0x20"),
            ("no frame: the instruction pointer", "0xe0c0ffee", "",
             "0xe0c0ffee galvorand.dll+0x1234"),
            ("outside every module", "EXCEPTION_BREAKPOINT", "<frame>0x7ff00000</frame>",
             "0x80000003 ?+0x7ff00000"),
        )
        for name, exception, frames, expected in cases:
            with self.subTest(name):
                self.assertEqual(crash_signature.of_report(REPORT % (exception, frames)).text,
                                 expected)
        # Cut short, hostile or empty: a group all the same, never an error.
        for report in ("", "<type>EXCEPTION_ACCESS_VIOLATION</type><thread crash=\"yes\"",
                       "<thread " * 50000, (REPORT % ("x" * 500, ""))[:300]):
            self.assertIsInstance(crash_signature.of_report(report).text, str)


class StorageCases:
    """The store's rules, run against each back-end."""

    def session(self, store, host="pc", peer="10.0.0.7:5000", previous=0, version="4.0"):
        with store.item():
            return store.start_session(P.Message(application="Galvorand", version=version,
                                                 host_name=host, previous_session=previous),
                                       peer)

    def test_sessions_come_from_the_database_and_continue_only_ones_own(self):
        s = self.store
        first, _ = self.session(s)
        # Named by a previous session that does not exist: a new one from the sequence.
        hostile, continued = self.session(s, previous=0xFFFFFFFF)
        self.assertEqual((hostile, continued), (first + 1, False))
        self.assertEqual(self.session(s)[0], first + 2)
        # Another machine naming it cannot take it over or change it.
        self.assertEqual(self.session(s, host="evil", previous=first, version="x")[1], False)
        self.assertEqual(self.session(s, peer="10.9.9.9:1", previous=first)[1], False)
        # The same machine continues it, from another port, with the DLL's version.
        self.assertEqual(self.session(s, peer="10.0.0.7:6000", previous=first, version="1.2"),
                         (first, True))
        s.commit()
        self.assertEqual(s.one("SELECT host_name, first_version, version, starts FROM sessions "
                               "WHERE id=?", (first,)), ("pc", "4.0", "1.2", 2))

    def test_crashes_keep_their_dump_once_and_roll_back_whole(self):
        s = self.store
        sid, _ = self.session(s)
        dump = os.urandom(70000)
        report = (REPORT % ("EXCEPTION_ACCESS_VIOLATION", "<frame>0x00401010</frame>")).encode()
        m = P.Message(kind=8, sequence=2, attachment_name="C:\\x\\a.dmp", data=[report, dump])
        with s.item():
            first = s.add_crash(sid, m)
            second = s.add_crash(sid, m)
        self.assertEqual(first[2][0][2], second[2][0][2])  # one file for both
        with open(s.file_path(first[2][0][2]), "rb") as f:
            self.assertEqual(f.read(), dump)
        with self.assertRaises(ZeroDivisionError), s.item():
            s.add_crash(sid, m)
            1 / 0
        s.commit()
        self.assertEqual(s.one("SELECT COUNT(*), MIN(signature), MIN(launcher_version) "
                               "FROM crashes"), (2, "0xc0000005 galvorand.exe+0x1010", "4.0"))
        self.assertEqual(len(storage.query(s, "attachments")), 2)


class SQLiteStorage(StorageCases, unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.store = storage.open_store(os.path.join(tmp.name, "t.db"))
        self.addCleanup(self.store.close)


class PostgresStorage(StorageCases, unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        storage.remove(PG_URL)
        self.store = storage.open_store(PG_URL, os.path.join(tmp.name, "files"))
        self.addCleanup(self.store.close)


class Service(unittest.TestCase):
    """One service per test, on a free port, with its database in a temporary folder."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.db = os.path.join(self.tmp.name, "t.db")
        self.start()

    def start(self, *options):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "collector.py"), "--port", "0",
             "--control-port", "0", "--db", self.db, "--max-message", "100000", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline()
        self.assertIn("collector ready", ready, self.proc.stderr.read() if not ready else "")
        fields = dict(w.split("=", 1) for w in ready.split() if "=" in w)
        self.port = int(fields["port"])

    def tearDown(self):
        self.stop(kill=True)
        self.tmp.cleanup()

    def stop(self, kill=False):
        """The exit status and the standard output of the service."""
        if self.proc.returncode is None:
            (self.proc.kill if kill else self.proc.terminate)()
            out = self.proc.communicate(timeout=10)[0]
            return self.proc.returncode, out

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.addCleanup(s.close)
        return s

    def send(self, s, **fields):
        s.sendall(P.frame(P.encode_message(P.Message(**fields))))

    def answer(self, s):
        n = struct.unpack(">I", recv_exactly(s, 4))[0]
        return P.parse_answer(recv_exactly(s, n))

    def rows(self, sql):
        with sqlite3.connect(self.db) as db:
            return db.execute(sql).fetchall()

    def test_session_and_crash_round_trip(self):
        s = self.connect()
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The session message arrives a byte at a time.
        for byte in P.frame(P.encode_message(P.Message(kind=0, application="Galvorand",
                                                       version="1.2", host_name="pc"))):
            s.sendall(bytes([byte]))
        kind, session, *_ = self.answer(s)
        self.assertEqual(kind, P.ANSWER_SESSION)
        self.assertGreater(session, 0)
        dump = bytes(range(256)) * 40
        self.send(s, kind=8, sequence=2, source="crash.cpp", line=7,
                  attachment_name="C:\\dumps\\..\\a.dmp", data=[b"<crash/>\0", dump])
        self.assertEqual(self.answer(s)[:3], (P.ANSWER_RECEIPT, session, 2))
        # The sender's name is kept as given, never used as a path.
        [(name, size, path)] = self.rows("SELECT name, size, path FROM attachments")
        self.assertEqual((name, size), ("C:\\dumps\\..\\a.dmp", len(dump)))
        with open(os.path.join(self.db + ".files", path), "rb") as f:
            self.assertEqual(f.read(), dump)
        # SIGTERM ends the service cleanly; after a restart the session numbers go on.
        status, out = self.stop()
        self.assertEqual((status, "collector stopped" in out), (0, True))
        self.start()
        s = self.connect()
        self.send(s, kind=0, application="Galvorand")
        self.assertEqual(self.answer(s)[1], session + 1)

    def test_hostile_input_closes_only_that_connection(self):
        good = self.connect()
        self.send(good, kind=0, application="Galvorand")
        session = self.answer(good)[1]
        for name, data in (("over the size limit", struct.pack(">I", 100001)),
                           ("bad stream", P.frame(bytes.fromhex("0107 01050000000001"
                                                                .replace(" ", ""))))):
            with self.subTest(name):
                bad = self.connect()
                bad.sendall(data)
                self.assertEqual(recv_or_reset(bad), b"")
        # The good connection is untouched; a time beyond SQLite's integers is kept aside.
        self.send(good, kind=1, sequence=3, time=(1 << 64) - 1, data=[b"still here\0"])
        self.assertEqual(self.answer(good)[:3], (P.ANSWER_RECEIPT, session, 3))
        self.assertEqual(self.rows("SELECT text, client_time, extra FROM logs"),
                         [("still here", None, '{"time": %d}' % ((1 << 64) - 1))])

    def test_discovery_answers_only_its_question(self):
        answers = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(answers.close)
        answers.bind(("127.0.0.1", 0))
        answers.settimeout(5)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            ask = probe.getsockname()  # a free port; questions go straight to it
        self.stop()
        self.start("--discovery", "--discovery-bind", "127.0.0.1", "--discovery-port",
                   str(ask[1]), "--discovery-reply-port", str(answers.getsockname()[1]))
        answers.sendto(b"somethingElse\0", ask)  # not a question: no answer
        answers.sendto(b"tovikClient\0", ask)
        self.assertEqual(answers.recvfrom(32)[0], b"tovikServer\0")
        answers.settimeout(0.3)
        self.assertRaises(socket.timeout, answers.recvfrom, 32)


    def test_hostile_clients_leave_others_served(self):
        self.stop()
        self.start("--idle-timeout", "3", "--message-timeout", "2")
        good = self.connect()
        self.send(good, kind=0, application="Galvorand", host_name="pc")
        session = self.answer(good)[1]
        confirmed = 0

        def confirm():
            nonlocal confirmed
            confirmed += 1
            self.send(good, kind=1, sequence=confirmed + 1, data=[b"line\0"])
            self.assertEqual(self.answer(good)[:3], (P.ANSWER_RECEIPT, session, confirmed + 1))

        # A previous session that never was, and another machine naming ours: new sessions.
        for host, previous in (("pc", 0xFFFFFFFF), ("evil", session)):
            s = self.connect()
            self.send(s, kind=0, application="Galvorand", version="x", host_name=host,
                      previous_session=previous)
            self.assertNotIn(self.answer(s)[1], (0, previous, session))
        confirm()
        # A thousand idle connections; a gigabyte announced; messages cut or left half-way.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        idle = [self.connect() for _ in range(1000)]
        confirm()
        half = P.frame(P.encode_message(P.Message(kind=1, sequence=9, data=[b"x" * 500])))
        stalled = self.connect()
        stalled.sendall(half[:len(half) // 2])
        cut = self.connect()
        cut.sendall(half[:len(half) // 2])
        cut.close()
        big = self.connect()
        big.sendall(struct.pack(">I", 1 << 30))
        self.assertEqual(recv_or_reset(big), b"")
        confirm()
        # The silent ones are let go within their bounds; the good one, kept busy, stays.
        watched, deadline = [stalled] + idle, time.monotonic() + 6
        for s in watched:
            s.setblocking(False)
        while watched and time.monotonic() < deadline:
            time.sleep(0.5)
            confirm()
            watched = [s for s in watched if not closed_by_peer(s)]
        self.assertEqual(len(watched), 0)
        # A full disk for the dumps, identifiers used up: only those connections go.
        open(self.db + ".files", "w").close()
        with sqlite3.connect(self.db) as db:
            db.execute("UPDATE sqlite_sequence SET seq=4294967295 WHERE name='sessions'")
        for message in (dict(kind=8, sequence=3, data=[b"<r/>\0", b"dump"]),
                        dict(kind=0, application="Galvorand")):
            s = self.connect()
            self.send(s, kind=1, sequence=2, data=[b"before\0"])
            self.assertEqual(self.answer(s)[2], 2)
            self.send(s, **message)
            self.assertEqual(recv_or_reset(s), b"")
            confirm()
        self.assertEqual(self.rows("SELECT COUNT(*) FROM logs WHERE session_id=%d" % session),
                         [(confirmed,)])
        self.assertEqual(self.rows("SELECT COUNT(*) FROM logs WHERE text='before'"), [(2,)])
        self.assertEqual(self.rows("SELECT application, version, host_name FROM sessions "
                                   "WHERE id=%d" % session), [("Galvorand", "", "pc")])


class TwoCollectors(unittest.TestCase):
    """Two collectors on one PostgreSQL database and one attachment folder, as a publisher
    runs them behind one address; a launcher's run moves from one to the other."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.files = os.path.join(tmp.name, "files")
        storage.remove(PG_URL)
        self.collectors = [Collector(["--db", PG_URL, "--files", self.files, "--page-port", "0"])
                           for _ in range(2)]
        for c in self.collectors:
            self.addCleanup(c.stop)

    def test_sessions_carry_over_and_crashes_show_on_every_page(self):
        a, b = self.collectors
        # The launcher's sink on one, the DLL's sink continuing the session on the other.
        s = a.connect()
        a.send(s, kind=0, application="Galvorand", version="4.0.0.320", host_name="pc")
        run = a.answer(s)[1]
        a.send(s, kind=3, source="main.cpp", line=12, data=[b"loading Galvorand.dll\0"])
        a.send(s, kind=0)
        s2 = b.connect()
        b.send(s2, kind=0, application="Galvorand", version="1.2.3.200", host_name="pc",
               previous_session=run)
        self.assertEqual(b.answer(s2)[:2], (P.ANSWER_SESSION, run))
        dump = os.urandom(300000)
        report = REPORT % ("EXCEPTION_ACCESS_VIOLATION", "<frame>0x10000040</frame>")
        b.send(s2, kind=8, sequence=2, attachment_name="crash.dmp",
               data=[report.encode() + b"\0", dump])
        self.assertEqual(b.answer(s2)[:3], (P.ANSWER_RECEIPT, run, 2))
        # Sessions started on both at once: every identifier once.
        ids = []
        for c in (a, b) * 10:
            conn = c.connect()
            c.send(conn, kind=0, application="Galvorand", host_name="other")
            ids.append(c.answer(conn)[1])
        self.assertEqual(len(set(ids + [run])), 21)
        # The crash that came through one is on the other's page, its dump the same bytes.
        groups = a.page("/")
        self.assertIn("galvorand.dll+0x40", groups)
        self.assertIn("launcher 4.0.0.320 / application 1.2.3.200: 1", groups)
        group = a.page("/group?signature=" + urllib.request.quote("0xc0000005 galvorand.dll+0x40"))
        crash = re.search(r'href="/crash\?id=(\d+)"', group).group(1)
        link = re.search(r'href="(/attachment\?id=\d+)"', a.page("/crash?id=" + crash)).group(1)
        self.assertEqual(a.page(link, text=False), dump)
        shot = os.path.join(RESULTS, "collector-page")
        os.makedirs(shot, exist_ok=True)
        # And in a browser: the groups, the report, the dump downloaded byte for byte.
        for name, path, shown in (("groups", "/", "launcher 4.0.0.320"),
                                  ("report", "/crash?id=" + crash, "galvorand.dll+0x40"),
                                  ("logs", "/logs?session=%d" % run, "loading Galvorand.dll")):
            png = os.path.join(shot, name + ".png")
            dom = chromium(a.page_url(path), "--screenshot=" + png, "--window-size=1280,900",
                           "--dump-dom")
            self.assertIn(shown, dom)
            self.assertGreater(os.path.getsize(png), 10000)
        with open(chromium_download(a.page_url(link), os.path.join(shot, "download")),
                  "rb") as f:
            self.assertEqual(f.read(), dump)


class Collector:
    """A collector process on free ports; its page too when asked."""

    def __init__(self, options):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "collector.py"), "--port", "0", "--quiet"]
            + options, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline()
        if "collector ready" not in ready:
            raise RuntimeError("collector did not start: " + self.proc.stderr.read())
        fields = dict(w.split("=", 1) for w in ready.split() if "=" in w)
        self.port, self.page_port = int(fields["port"]), int(fields["page"])
        self.sockets = []

    def stop(self):
        for s in self.sockets:
            s.close()
        self.proc.terminate()
        self.proc.communicate(timeout=10)

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.sockets.append(s)
        return s

    send = Service.send
    answer = Service.answer

    def page_url(self, path):
        return "http://127.0.0.1:%d%s" % (self.page_port, path)

    def page(self, path, text=True):
        with urllib.request.urlopen(self.page_url(path), timeout=10) as r:
            data = r.read()
        return data.decode() if text else data


def browser_env():
    """Headless needs no display; one left from the Windows lanes' session is not used."""
    return {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "XAUTHORITY")}


def chromium(url, *options):
    """Headless Chromium on one address: the standard output (the page with --dump-dom)."""
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        return subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir="
             + profile, *options, url], capture_output=True, text=True, timeout=60,
            check=True, env=browser_env()).stdout


def chromium_download(url, folder, timeout=30):
    """Lets headless Chromium download what an address serves, through its debugging pipe;
    returns the path of the downloaded file."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    to_browser, from_browser = os.pipe(), os.pipe()
    high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser[0], from_browser[1])]

    def pipes():  # the browser reads commands on 3 and answers on 4
        os.dup2(high[0], 3)
        os.dup2(high[1], 4)

    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        proc = subprocess.Popen(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--user-data-dir=" + profile, "about:blank"], pass_fds=(3, 4), preexec_fn=pipes,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=browser_env(),
            start_new_session=True)
        for fd in high + [to_browser[0], from_browser[1]]:
            os.close(fd)
        out, answers = os.fdopen(to_browser[1], "wb"), os.fdopen(from_browser[0], "rb")
        try:
            for n, (method, params) in enumerate((
                    ("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": folder,
                                                     "eventsEnabled": True}),
                    ("Target.createTarget", {"url": url}))):
                out.write(json.dumps({"id": n, "method": method, "params": params}).encode()
                          + b"\0")
            out.flush()
            deadline = time.monotonic() + timeout
            buffered = b""
            while time.monotonic() < deadline:
                chunk = answers.read1(65536)
                if not chunk:
                    break
                buffered += chunk
                *messages, buffered = buffered.split(b"\0")
                for raw in messages:
                    event = json.loads(raw)
                    if (event.get("method") == "Browser.downloadProgress"
                            and event["params"]["state"] == "completed"):
                        return os.path.join(folder, os.listdir(folder)[0])
            raise AssertionError("no download within %d s" % timeout)
        finally:
            os.killpg(proc.pid, signal.SIGKILL)  # the browser and its helper processes
            proc.wait()
            out.close()
            answers.close()


def setUpModule():
    global PG_URL
    if not PG_URL:
        state = os.path.join(tempfile.mkdtemp(), "postgres")
        script = os.path.join(HERE, "..", "..", "tests", "support", "postgres")
        line = subprocess.run(["bash", script, "start", state], capture_output=True, text=True,
                              check=True).stdout
        PG_URL = line.strip().split("=", 1)[1].strip("'")
        unittest.addModuleCleanup(subprocess.run, ["bash", script, "stop", state])


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def closed_by_peer(s):
    try:
        return s.recv(1) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


def recv_or_reset(s):
    try:
        return s.recv(1)
    except ConnectionResetError:
        return b""


if __name__ == "__main__":
    # collector_test.py [--xml FILE] [TestClass[.test_name] ...]
    argv = sys.argv[1:]
    xml_path = None
    if "--xml" in argv:
        i = argv.index("--xml")
        xml_path = argv[i + 1]
        del argv[i:i + 2]
    RESULTS = os.path.dirname(os.path.abspath(xml_path)) if xml_path else tempfile.mkdtemp()
    module = sys.modules[__name__]
    loader = unittest.TestLoader()
    suite = loader.loadTestsFromNames(argv, module) if argv else loader.loadTestsFromModule(module)
    sys.exit(unittest_xml.run(suite, xml_path, "collector_test"))

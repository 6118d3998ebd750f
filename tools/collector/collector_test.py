#!/usr/bin/env python3
"""Tests of the collection service: the BinXML codec against hand-written bytes, hostile
input, and the running service over a real TCP connection on 127.0.0.1.

    collector_test.py [--xml RESULTS.xml] [unittest arguments]
"""

import os
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "support"))

import binxml  # noqa: E402
import protocol as P  # noqa: E402
from binxml import BadStream  # noqa: E402
import unittest_xml  # noqa: E402


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


def recv_exactly(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


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
    module = sys.modules[__name__]
    loader = unittest.TestLoader()
    suite = loader.loadTestsFromNames(argv, module) if argv else loader.loadTestsFromModule(module)
    sys.exit(unittest_xml.run(suite, xml_path, "collector_test"))

#!/usr/bin/env python3
"""Tests of tools/publish: its parsers against malformed input, the digest format, and the
command line's exit statuses. (Its signatures are checked against the launcher's own code
by the launcher's tests.)"""
import importlib.machinery
import importlib.util
import io
import os
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "publish")
KEYS = os.path.join(HERE, "..", "tests", "keys")
loader = importlib.machinery.SourceFileLoader("publish", TOOL)
spec = importlib.util.spec_from_loader("publish", loader)
publish = importlib.util.module_from_spec(spec)
loader.exec_module(publish)

PLUGIN_KEY = publish.private_key(os.path.join(KEYS, "plugin.key"))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


class KeyFiles(unittest.TestCase):
    def test_public_key_digits_in_either_case_with_blanks(self):
        n = PLUGIN_KEY[0]
        with tempfile.TemporaryDirectory() as d:
            text = "%0256X" % n
            write(os.path.join(d, "k.pub"), (" " + text[:100] + "\r\n\t" + text[100:] + "\n").encode())
            self.assertEqual(publish.read_key(os.path.join(d, "k.pub")), (n, None))

    def test_malformed_key_files_are_refused(self):
        cases = {
            "short": "ab" * 127,
            "long": "ab" * 129,
            "not hex": "g" + "0" * 255,
            "empty": "",
            "private without d": "galvorand private key 1\nn " + "0" * 256 + "\n",
        }
        with tempfile.TemporaryDirectory() as d:
            for name, text in cases.items():
                with self.subTest(name):
                    path = os.path.join(d, "k")
                    write(path, text.encode())
                    with self.assertRaises(publish.PublishError):
                        publish.private_key(path) if "private" in name else publish.read_key(path)
        with self.assertRaises(publish.PublishError):  # a public key cannot sign
            publish.private_key(os.path.join(HERE, "..", "plugin", "keys", "plugin.pub"))


class Containers(unittest.TestCase):
    def test_pack_and_unpack(self):
        data = b"plug-in " * 1000
        packed = publish.pack_zs(data)
        self.assertEqual(packed[5:13], b"\xff" * 8)  # size unknown, end marker
        self.assertEqual(publish.unpack_zs(packed), data)
        for name, bad in {"header only": packed[:13], "short header": packed[:7],
                          "cut stream": packed[:-3], "properties 225": b"\xe1" + packed[1:]}.items():
            with self.subTest(name):
                with self.assertRaises(publish.PublishError):
                    publish.unpack_zs(bad)


class Digests(unittest.TestCase):
    def test_lists_every_file_with_forward_slashes_and_skips_itself(self):
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "b", "with space.txt"), b"x")
            write(os.path.join(d, "a.exe"), b"")
            write(os.path.join(d, "DIGEST"), b"old")
            text = publish.digest_lines(d, skip=("DIGEST",))
        self.assertEqual(text.decode(), "galvorand-digest 1\n"
                         "da39a3ee5e6b4b0d3255bfef95601890afd80709 0 a.exe\n"
                         "11f6ad8ec52a2984abaafd7c3b516503785c2072 1 b/with space.txt\n")
        self.assertEqual(publish.parse_digest(text)[1], ("11f6ad8ec52a2984abaafd7c3b516503785c2072",
                                                        1, "b/with space.txt"))

    def test_malformed_digest_files_are_refused(self):
        good = "da39a3ee5e6b4b0d3255bfef95601890afd80709 0 a.exe\n"
        cases = {
            "header": "galvorand-digest 2\n" + good,
            "no final line feed": "galvorand-digest 1\n" + good[:-1],
            "upper-case hex": "galvorand-digest 1\n" + good.upper(),
            "short hash": "galvorand-digest 1\n" + good[1:],
            "no size": "galvorand-digest 1\nda39a3ee5e6b4b0d3255bfef95601890afd80709 a.exe\n",
            "negative size": "galvorand-digest 1\n" + good.replace(" 0 ", " -1 "),
            "parent segment": "galvorand-digest 1\n" + good.replace("a.exe", "x/../a.exe"),
            "absolute": "galvorand-digest 1\n" + good.replace("a.exe", "/a.exe"),
            "carriage return": "galvorand-digest 1\n" + good.replace("\n", "\r\n"),
            "empty path": "galvorand-digest 1\n" + good.replace(" a.exe", " "),
        }
        for name, text in cases.items():
            with self.subTest(name):
                with self.assertRaises(publish.PublishError):
                    publish.parse_digest(text.encode())

    def test_file_addresses_escape_each_segment(self):
        self.assertEqual(publish.file_url("http://h.example/app/DIGEST", "data/with space.txt"),
                         "http://h.example/app/data/with%20space.txt")
        self.assertEqual(publish.file_url("http://h.example/DIGEST", "a#b/c?d"),
                         "http://h.example/a%23b/c%3Fd")


class CommandLine(unittest.TestCase):
    def run_tool(self, *args):
        out, err = io.StringIO(), io.StringIO()
        with redirect_stdout(out), redirect_stderr(err):
            status = publish.main([str(a) for a in args])
        return status, out.getvalue() + err.getvalue()

    def test_verify_exit_statuses(self):
        key = os.path.join(KEYS, "plugin.key")
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "in"), b"payload")
            self.assertEqual(self.run_tool("sign", "--key", key, os.path.join(d, "in"),
                                           os.path.join(d, "out"))[0], 0)
            self.assertEqual(self.run_tool("verify", "--key", key, os.path.join(d, "out"))[0], 0)
            self.assertEqual(self.run_tool("verify", "--key", os.path.join(KEYS, "other.pub"),
                                           os.path.join(d, "out"))[0], 1)
            status, text = self.run_tool("sign", "--key", os.path.join(d, "missing"),
                                         os.path.join(d, "in"), os.path.join(d, "x"))
            self.assertEqual(status, 1)
            self.assertIn("publish: ", text)
            self.assertFalse(os.path.exists(os.path.join(d, "x")))

    def test_version_files_hold_no_line_end(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "v")
            self.assertEqual(self.run_tool("version", "37", out, "--url", "http://h.example/p")[0], 0)
            self.assertEqual(open(out, "rb").read(), b"37:http://h.example/p")
            self.assertEqual(self.run_tool("version", "37", out, "--url", "ftp://h.example/p")[0], 1)

    def test_the_digest_file_is_signed_with_the_plugin_key(self):
        key = os.path.join(KEYS, "plugin.key")
        with tempfile.TemporaryDirectory() as d:
            write(os.path.join(d, "app", "a.exe"), b"")
            self.assertEqual(self.run_tool("digest", "--key", key, os.path.join(d, "app"))[0], 0)
            with open(os.path.join(d, "app", "DIGEST"), "rb") as f:
                content = publish.verify(f.read(), PLUGIN_KEY[0], strict=True)
            self.assertEqual(publish.parse_digest(content)[0][2], "a.exe")


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Writes the files nginx serves to the tests: text files, binary files of known content and
sizes, with fixed modification times so Last-Modified is predictable."""
import hashlib
import os
import random
import shutil
import subprocess
import sys

# Fixed Last-Modified of every served file: Sun, 06 Nov 1994 08:49:37 GMT.
MTIME = 784111777


def pattern(size):
    """Deterministic bytes: byte i is (i * 31 + i // 251) mod 256, so any shift shows."""
    block = bytes(((i * 31) + (i // 251)) & 0xFF for i in range(251 * 256))
    out = bytearray()
    while len(out) < size:
        out += block
    return bytes(out[:size])


def write(root, name, data, mtime=MTIME):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if not (os.path.exists(path) and os.path.getsize(path) == len(data)):
        with open(path, "wb") as f:
            f.write(data)
    os.utime(path, (mtime, mtime))


ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PUBLISH = os.path.join(ROOT, "tools", "publish")
KEYS = os.path.join(ROOT, "tests", "keys")


def dll_like(size, seed):
    """Deterministic bytes that compress like a Windows DLL (about 2-3x with LZMA): machine
    code drawn from a skewed vocabulary of instructions, with string tables, import names
    and zero padding between sections."""
    rng = random.Random(seed)
    vocabulary = [bytes(rng.randrange(256) for _ in range(rng.choice((1, 2, 2, 3, 3, 4, 5, 6, 7))))
                  for _ in range(3000)]
    weights = [1.0 / (i + 1) ** 0.8 for i in range(len(vocabulary))]
    names = [b"PLG_%s%d\0" % (rng.choice((b"Get", b"Set", b"Load", b"Free", b"Query")), i)
             for i in range(400)]
    out = bytearray()
    while len(out) < size:
        out += b"".join(rng.choices(vocabulary, weights, k=40000))
        out += b"".join(rng.sample(names, 60))
        out += b"\0" * rng.randrange(512, 4096)
        out += bytes(rng.randrange(256) for _ in range(rng.randrange(256, 2048)))
    return bytes(out[:size])


def publish(*args):
    subprocess.run([sys.executable, PUBLISH] + [str(a) for a in args], check=True)


def plugin_files(root):
    """The plug-in update files of the tests: a release tree, url.cert variants and the
    signed files the launcher's check and tools/publish's check must judge alike."""
    base = os.path.join(root, "plugin-test")
    port = os.environ.get("GV_HTTP_PORT", "18080")
    plugin_key = os.path.join(KEYS, "plugin.key")
    cert_key = os.path.join(KEYS, "cert.key")
    other_key = os.path.join(KEYS, "other.key")
    # Made again when the port, the tool or a key changes.
    inputs = hashlib.sha1(port.encode())
    for path in (PUBLISH, plugin_key, cert_key, other_key, __file__):
        with open(path, "rb") as f:
            inputs.update(f.read())
    stamp = os.path.join(base, "made-" + inputs.hexdigest())
    if os.path.exists(stamp):
        return
    if os.path.isdir(base):
        shutil.rmtree(base)
    os.makedirs(base, exist_ok=True)
    dll = os.path.join(base, "npwoxact.dll")
    with open(dll, "wb") as f:
        f.write(dll_like(300 * 1024, 1))
    app = os.path.join(base, "app-files")
    write(app, "Galvorand.exe", pattern(5000))
    write(app, "data/with space.txt", b"a name with a space\n")
    publish("release", "--plugin-key", plugin_key, "--cert-key", cert_key, "--dll", dll,
            "--version", 37, "--suffix", ".0.0.1:" + port, "--app-dir", app,
            os.path.join(base, "release"))
    publish("corpus", "--key", plugin_key, "--other-key", other_key, os.path.join(base, "corpus"))
    # A signed file that is fine but for a flipped byte: every attempt fails its check.
    with open(os.path.join(base, "release", "plugin", "npwoxact.dll.sig"), "rb") as f:
        signed = bytearray(f.read())
    signed[100] ^= 1
    write(base, "corrupt.sig", bytes(signed))
    # url.cert variants: listed with CR LF, blank lines and blanks around the names; listing
    # another host only; signed with a key that is not the certificate key; and none.
    lists = {
        "listed": b"  .0.0.1:" + port.encode() + b"  \r\n\r\n\t.extra.example\r\n   \r\n",
        "unlisted": b".elsewhere.example\n",
    }
    for name, text in lists.items():
        source = os.path.join(base, "trust", name + ".txt")
        write(os.path.join(base, "trust"), name + ".txt", text)
        publish("sign", "--key", cert_key, source, os.path.join(base, "trust", name, "url.cert"))
    publish("sign", "--key", other_key, os.path.join(base, "trust", "listed.txt"),
            os.path.join(base, "trust", "wrong-key", "url.cert"))
    os.makedirs(os.path.join(base, "trust", "missing"), exist_ok=True)
    write(base, os.path.basename(stamp), b"")


def bench_plugin_files(root):
    """DLL-like payloads of 20 MB and 100 MB for bench/plugin: the signed ".zs" the launcher
    fetches and, for xz, the same container unsigned; a signed 1 KB file."""
    base = os.path.join(root, "plugin-bench")
    os.makedirs(base, exist_ok=True)
    blob = os.path.join(base, "1k.sig")
    if not os.path.exists(blob):
        write(base, "1k.bin", pattern(1024 - 128))
        publish("sign", "--key", os.path.join(KEYS, "plugin.key"), os.path.join(base, "1k.bin"), blob)
    for mb in (20, 100):
        zs = os.path.join(base, "%dm.zs" % mb)
        if os.path.exists(zs):
            continue
        dll = os.path.join(base, "%dm.dll" % mb)
        with open(dll, "wb") as f:
            f.write(dll_like(mb << 20, mb))
        subprocess.run(["xz", "--format=lzma", "-6", "-k", "-f", "-T1", dll], check=True)
        os.replace(dll + ".lzma", os.path.join(base, "%dm.lzma" % mb))
        publish("sign", "--key", os.path.join(KEYS, "plugin.key"),
                os.path.join(base, "%dm.lzma" % mb), zs + ".tmp")
        os.replace(zs + ".tmp", zs)


# A second, later time whose day of the month has two digits: Tue, 14 Nov 2023 22:13:20 GMT.
MTIME_TWO_DIGIT_DAY = 1700000000


def main():
    root = sys.argv[1]
    write(root, "small.txt", b"hello from the publisher\n")
    write(root, "dated.txt", b"a file last changed on the 14th\n", MTIME_TWO_DIGIT_DAY)
    write(root, "1k.bin", pattern(1024))
    write(root, "100k.bin", pattern(100 * 1024))
    write(root, "1m.bin", pattern(1 << 20))
    write(root, "empty.txt", b"")
    for i in range(200):
        write(root, "many/%03d.bin" % i, pattern(1024))
    plugin_files(root)
    if "--large" in sys.argv:
        bench_plugin_files(root)
        write(root, "20m.bin", pattern(20 << 20))
        write(root, "200m.bin", pattern(200 << 20))


if __name__ == "__main__":
    main()

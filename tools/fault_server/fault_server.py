#!/usr/bin/env python3
"""Fault-injecting HTTP/1.1 server for the socket and HTTP client tests.

Listens on 127.0.0.1 only. Reads each request head, then picks a scenario by the request
path (the table SCENARIOS below; fault_server.md describes each one). Connections stay open
for further requests unless the scenario closes them, so pipelined requests work too.
Standard library only.
"""

import argparse
import asyncio
import os
import re
import sys
from urllib.parse import parse_qs, urlsplit

MAX_HEAD = 64 * 1024
# Last-Modified of every generated resource: Sun, 06 Nov 1994 08:49:37 GMT.
LAST_MODIFIED = "Sun, 06 Nov 1994 08:49:37 GMT"

# Byte i of every generated body is (i * 31 + i // 251) mod 256, as in the files the test
# web server serves, so a shifted or spliced body shows. The sequence repeats every 64256.
_PERIOD = 251 * 256
_BLOCK = bytes(((i * 31) + (i // 251)) & 0xFF for i in range(_PERIOD)) * 2


def pattern(start, size):
    out = bytearray()
    pos = start
    while len(out) < size:
        offset = pos % _PERIOD
        take = min(size - len(out), _PERIOD)
        out += _BLOCK[offset:offset + take]
        pos += take
    return bytes(out)


class Request:
    def __init__(self, head):
        self.head = head
        lines = head.decode("latin-1").split("\r\n")
        parts = lines[0].split(" ")
        if len(parts) != 3:
            raise ValueError("bad request line")
        self.method, self.target, self.version = parts
        split = urlsplit(self.target)  # an absolute target (through a proxy) works too
        self.path = split.path
        self.query = {k: v[0] for k, v in parse_qs(split.query).items()}
        self.headers = []
        for line in lines[1:]:
            if not line:
                continue
            name, _, value = line.partition(":")
            self.headers.append((name.strip(), value.strip()))
        self.body = b""

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def byte_range(self, size):
        """(first, last) asked for by a "Range: bytes=" header, None without one."""
        text = self.header("Range")
        if not text:
            return None
        m = re.fullmatch(r"bytes=(\d*)-(\d*)", text.strip())
        if not m or (not m.group(1) and not m.group(2)):
            return None
        if not m.group(1):  # the last n bytes
            n = int(m.group(2))
            return (max(size - n, 0), size - 1)
        first = int(m.group(1))
        last = int(m.group(2)) if m.group(2) else size - 1
        return (first, min(last, size - 1))


class Reply:
    """What a scenario answers: raw bytes to write, and whether to close afterwards."""

    def __init__(self, data=b"", close=False, hold=False, delay=0.0, trickle_from=None,
                 trickle=0.0, stall_at=None):
        self.data = data
        self.close = close
        self.hold = hold  # keep the connection open without ever answering
        self.delay = delay  # seconds to wait before answering
        # From byte `trickle_from` on, one byte every `trickle` seconds.
        self.trickle_from, self.trickle = trickle_from, trickle
        # Only the first `stall_at` bytes, then nothing more while the connection lasts.
        self.stall_at = stall_at


def head_bytes(status, reason, headers=(), content_length=None):
    head = "HTTP/1.1 %d %s\r\n" % (status, reason)
    if content_length is not None:
        head += "Content-Length: %d\r\n" % content_length
    for name, value in headers:
        head += "%s: %s\r\n" % (name, value)
    return (head + "\r\n").encode("latin-1")


def response(status, reason, headers=(), body=b"", request=None, length=True):
    """A whole response; the body is left out for HEAD requests (its length stays)."""
    head = head_bytes(status, reason, headers, len(body) if length else None)
    if request is not None and request.method == "HEAD":
        body = b""
    return head + body


# Counters of requests per key, for scenarios that change their answer over time.
COUNTS = {}


def count(kind, request):
    key = (kind, request.query.get("key", ""))
    COUNTS[key] = COUNTS.get(key, 0) + 1
    return COUNTS[key]


# ---- scenarios ---------------------------------------------------------------------------

def folded(request, m):
    head = ("HTTP/1.1 200 OK\r\n"
            "X-Folded: first\r\n  second\r\n\tthird\r\n"
            "Content-Length: 7\r\n\r\n")
    return Reply(head.encode() + b"folded\n")


def chunk_extensions(request, m):
    return Reply(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 b"5;name=value\r\nhello\r\n6;x\r\n world\r\n0;last=1\r\n\r\n")


def trailers(request, m):
    return Reply(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                 b"Trailer: X-Trailer, X-Checksum\r\n\r\n"
                 b"5\r\nhello\r\n0\r\nX-Trailer: yes\r\nX-Checksum: 42\r\n\r\n")


def chunk_overrun(request, m):
    # The chunk carries more bytes than its size line declares.
    return Reply(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 b"5\r\nhello, world\r\n0\r\n\r\n", close=True)


def negative_length(request, m):
    return Reply(b"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", close=True)


def reversed_range(request, m):
    return Reply(b"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-5/100\r\n"
                 b"Content-Length: 0\r\n\r\n", close=True)


def one_byte_range(request, m):
    return Reply(response(206, "Partial Content", [("Content-Range", "bytes 7-7/100")],
                          pattern(7, 1), request))


def long_header(request, m):
    value = b"a" * (2 * 1024 * 1024)
    return Reply(b"HTTP/1.1 200 OK\r\nX-Long: " + value + b"\r\nContent-Length: 0\r\n\r\n",
                 close=True)


def cut_body(request, m):
    head = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"
    return Reply(head + pattern(0, 500), close=True)


def silent(request, m):
    return Reply(hold=True)


def close_at_once(request, m):
    return Reply(close=True)


def continue_first(request, m):
    return Reply(b"HTTP/1.1 100 Continue\r\n\r\n" +
                 response(200, "OK", [], b"continued\n", request))


def bad_protocol(request, m):
    return Reply(b"FOO/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", close=True)


def bad_code(request, m):
    return Reply(b"HTTP/1.1 700 Weird\r\nContent-Length: 0\r\n\r\n", close=True)


def ranged(request, size, total, cut_after):
    """A resource of `size` bytes: a ranged request gets 206 with the range (out of a
    resource of `total` bytes, to lie about it); a plain one 200, cut after `cut_after`
    bytes when that is not None."""
    headers = [("Last-Modified", LAST_MODIFIED), ("Accept-Ranges", "bytes")]
    span = request.byte_range(total)
    if span is None:
        body = pattern(0, size)
        if cut_after is not None and request.method != "HEAD":
            return Reply(head_bytes(200, "OK", headers, size) + body[:cut_after], close=True)
        return Reply(response(200, "OK", headers, body, request))
    first, last = span
    if first >= total or first > last:
        return Reply(response(416, "Range Not Satisfiable",
                              [("Content-Range", "bytes */%d" % total)], b"", request))
    headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, total)))
    return Reply(response(206, "Partial Content", headers,
                          pattern(first, last - first + 1), request))


def cut(request, m):
    # Plain requests are cut after n bytes (with ?key=, only the key's first one); requests
    # with a Range get that range in full.
    size, n = int(m.group(1)), int(m.group(2))
    first = count("cut", request) == 1
    cut_now = "key" not in request.query or first
    return ranged(request, size, size, n if cut_now else None)


def resize(request, m):
    # Like /cut, but a ranged request is answered as if the resource had grown by 10 bytes.
    size, n = int(m.group(1)), int(m.group(2))
    if request.byte_range(size) is None:
        return ranged(request, size, size, n)
    return ranged(request, size + 10, size + 10, None)


def flaky(request, m):
    fail = int(m.group(1) or request.query.get("fail", "1"))
    if count("flaky", request) <= fail:
        return Reply(response(503, "Service Unavailable", [], b"busy\n", request))
    return Reply(response(200, "OK", [("Last-Modified", LAST_MODIFIED)], b"ok\n", request))


REASONS = {200: "OK", 204: "No Content", 304: "Not Modified", 400: "Bad Request",
           403: "Forbidden", 404: "Not Found", 412: "Precondition Failed",
           500: "Internal Server Error", 503: "Service Unavailable"}


def closing(request, m):
    # Closes without answering for the first N requests of key K (default 1), then 200.
    fail = int(m.group(1) or request.query.get("fail", "1"))
    if count("closing", request) <= fail:
        return Reply(close=True)
    return Reply(response(200, "OK", [], b"ok\n", request))


def slow(request, m):
    # Answers 200 "slow\n" after <ms> milliseconds.
    return Reply(response(200, "OK", [], b"slow\n", request), delay=int(m.group(1)) / 1000.0)


def bust(request, m):
    # An informational status that no client can use, until the query carries "cb=": then
    # 200 with the request target as the body.
    if "cb" not in request.query:
        return Reply(b"HTTP/1.1 150 Odd\r\nContent-Length: 0\r\n\r\n")
    return Reply(response(200, "OK", [], request.target.encode("latin-1"), request))


def status(request, m):
    code = int(m.group(1))
    body = b"" if code in (204, 304) else ("status %d\n" % code).encode()
    return Reply(response(code, REASONS.get(code, "Status"), [], body, request,
                          length=code not in (204, 304)))


def redirect(request, m):
    to = request.query.get("to", "/status/200")
    if to.startswith("/"):
        to = "http://%s%s" % (request.header("Host") or "127.0.0.1", to)
    return Reply(response(302, "Found", [("Location", to)], b"moved\n", request))


def echo_head(request, m):
    return Reply(response(200, "OK", [("Content-Type", "text/plain")], request.head, request))


def echo_body(request, m):
    return Reply(response(200, "OK", [("Content-Type", "application/octet-stream")],
                          request.body, request))


# The folder --root names: files served as they are, or slowly (below).
ROOT = None


def files(request, m):
    """A file under --root; when its name ends with `which`, its body trickles (one byte
    every `number` ms) or stalls (after `number` bytes of body, nothing more)."""
    mode, number, which, rel = m.group(1), int(m.group(2)), m.group(3), m.group(4)
    path = os.path.realpath(os.path.join(ROOT or "/nonexistent", rel))
    if ROOT is None or not path.startswith(os.path.realpath(ROOT) + os.sep) or not os.path.isfile(path):
        return not_found(request, m)
    with open(path, "rb") as f:
        body = f.read()
    data = response(200, "OK", [], body, request)
    head = len(data) - (len(body) if request.method != "HEAD" else 0)
    if not rel.endswith(which):
        return Reply(data)
    if mode == "trickle":
        return Reply(data, trickle_from=head, trickle=number / 1000.0)
    return Reply(data, stall_at=head + number)


def not_found(request, m):
    return Reply(response(404, "Not Found", [], b"no such scenario\n", request))


SCENARIOS = [
    (r"/folded", folded),
    (r"/chunk-ext", chunk_extensions),
    (r"/trailers", trailers),
    (r"/chunk-overrun", chunk_overrun),
    (r"/negative-length", negative_length),
    (r"/reversed-range", reversed_range),
    (r"/one-byte-range", one_byte_range),
    (r"/long-header", long_header),
    (r"/cut-body", cut_body),
    (r"/silent", silent),
    (r"/close", close_at_once),
    (r"/continue", continue_first),
    (r"/bad-protocol", bad_protocol),
    (r"/bad-code", bad_code),
    (r"/cut/(\d+)/(\d+)", cut),
    (r"/resize/(\d+)/(\d+)", resize),
    (r"/flaky(?:/(\d+))?", flaky),
    (r"/closing(?:/(\d+))?", closing),
    (r"/slow/(\d+)", slow),
    (r"/bust", bust),
    (r"/status/(\d{3})", status),
    (r"/redirect", redirect),
    (r"/echo-head", echo_head),
    (r"/echo-body", echo_body),
    (r"/files/(trickle|stall)/(\d+)/([^/]+)/(.+)", files),
]


def choose(request):
    for regex, handler in SCENARIOS:
        m = re.fullmatch(regex, request.path)
        if m:
            return handler, m
    return not_found, None


# ---- connection handling -----------------------------------------------------------------

async def read_body(reader, request):
    length = request.header("Content-Length")
    if length is not None:
        request.body = await reader.readexactly(int(length))
    elif (request.header("Transfer-Encoding") or "").lower() == "chunked":
        body = bytearray()
        while True:
            size = int((await reader.readuntil(b"\r\n")).split(b";")[0], 16)
            if size == 0:
                while (await reader.readuntil(b"\r\n")) != b"\r\n":
                    pass  # trailers
                break
            body += await reader.readexactly(size)
            await reader.readexactly(2)
        request.body = bytes(body)


async def serve(reader, writer):
    try:
        while True:
            try:
                head = await reader.readuntil(b"\r\n\r\n")
            except (asyncio.IncompleteReadError, ConnectionError):
                return
            except asyncio.LimitOverrunError:
                writer.write(response(431, "Request Header Fields Too Large"))
                return
            try:
                request = Request(head)
                await read_body(reader, request)
            except (ValueError, asyncio.IncompleteReadError):
                writer.write(response(400, "Bad Request"))
                return
            handler, m = choose(request)
            print("%s %s -> %s" % (request.method, request.target, handler.__name__),
                  flush=True)
            reply = handler(request, m)
            if reply.hold:
                # Never answer; wait for the client to give up.
                while await reader.read(65536):
                    pass
                return
            if reply.delay:
                await asyncio.sleep(reply.delay)
            if reply.stall_at is not None:
                writer.write(reply.data[:reply.stall_at])
                await writer.drain()
                while await reader.read(65536):
                    pass
                return
            if reply.trickle_from is not None:
                writer.write(reply.data[:reply.trickle_from])
                await writer.drain()
                for i in range(reply.trickle_from, len(reply.data)):
                    await asyncio.sleep(reply.trickle)
                    writer.write(reply.data[i:i + 1])
                    await writer.drain()
            else:
                writer.write(reply.data)
                await writer.drain()
            closing = (request.header("Connection") or "").lower() == "close"
            if reply.close or closing or request.version == "HTTP/1.0":
                return
    except ConnectionError:
        pass
    finally:
        try:
            writer.close()
            await writer.wait_closed()
        except ConnectionError:
            pass


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=18082)
    parser.add_argument("--root", help="folder of the files that /files/... serves")
    args = parser.parse_args()
    global ROOT
    ROOT = args.root
    server = await asyncio.start_server(serve, "127.0.0.1", args.port, limit=MAX_HEAD)
    print("fault server on 127.0.0.1:%d" % args.port, flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)

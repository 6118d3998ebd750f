#!/usr/bin/env python3
"""The telemetry collection service: receives the launcher's sessions, log lines and crash
reports over TCP, stores them in SQLite and answers with session identifiers and receipts.

    collector.py [serve] --port 443 --db telemetry.db [--discovery] ...
    collector.py query --db telemetry.db sessions|logs|crashes|attachments|report ID
    collector.py control --port CONTROL_PORT mode silent

For tests it can be told to misbehave (never answer, answer late, cut the connection, send
oversized or corrupt answers, give a wrong discovery answer), from the command line or, while
it runs, through a line-based control port. See tools/collector.md.
Standard library only.
"""

import argparse
import asyncio
import collections
import json
import os
import signal
import socket
import sqlite3
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import protocol  # noqa: E402
import store as storage  # noqa: E402
from binxml import BadStream  # noqa: E402

DEFAULT_MAX_MESSAGE = 64 * 1024 * 1024
DISCOVERY_PORT = 443  # the launcher broadcasts to and listens for answers on this port
DISCOVERY_QUESTION = b"tovikClient"
DISCOVERY_ANSWER = "tovikServer"

MODES = ("normal", "silent", "delay", "cut-request", "cut-answer", "oversized", "corrupt",
         "detailed")


class Behaviour:
    """How the service answers: normally, or one of the test misbehaviours, for every
    message or only for some kinds and only for the next few messages it applies to."""

    def __init__(self, spec="normal"):
        self.set(spec)

    def set(self, spec):
        words = spec.split()
        if not words or words[0] not in MODES:
            raise ValueError("unknown mode %r (one of: %s)" % (spec, ", ".join(MODES)))
        mode, value, times, kinds = words[0], None, None, None
        for word in words[1:]:
            key, eq, arg = word.partition("=")
            try:
                if eq and key == "times":
                    times = int(arg)
                elif eq and key == "kinds":
                    kinds = {int(k) for k in arg.split(",") if k}
                elif not eq and value is None and word.isdigit():
                    value = int(word)
                else:
                    raise ValueError
            except ValueError:
                raise ValueError("bad mode argument %r in %r" % (word, spec)) from None
        if mode == "delay" and value is None:
            raise ValueError("delay needs milliseconds: delay 3000")
        if times is not None and times < 1:
            raise ValueError("times must be at least 1")
        self.mode, self.value, self.times, self.kinds = mode, value, times, kinds

    def take(self, kind):
        """(mode, value) for a message of this kind; a counted misbehaviour is used up."""
        if self.mode == "normal" or (self.kinds is not None and kind not in self.kinds):
            return "normal", None
        taken = (self.mode, self.value)
        if self.times is not None:
            self.times -= 1
            if self.times == 0:
                self.set("normal")
        return taken

    def describe(self):
        text = self.mode + ("" if self.value is None else " %d" % self.value)
        if self.times is not None:
            text += " times=%d" % self.times
        if self.kinds is not None:
            text += " kinds=" + ",".join(str(k) for k in sorted(self.kinds))
        return text


class Service:
    """The running service: its database, the behaviour in force and the open launcher
    connections. Everything runs on the one event-loop thread."""

    def __init__(self, args):
        self.args = args
        self.store = storage.Store(args.db)
        self.behaviour = Behaviour(args.mode)
        self.connections = set()
        self.discovery_answer = args.discovery_answer
        self.discovery_delay = args.discovery_delay / 1000.0
        self.discovery_on = args.discovery

    def say(self, text):
        if self.args.quiet:
            return
        try:
            print(text, flush=True)
        except OSError:
            # Whoever started us stopped reading: keep serving, without the lines.
            self.args.quiet = True

    def warn(self, text):
        print("error " + text, file=sys.stderr, flush=True)

    def handle(self, conn, m):
        """Stores one message; returns (answers, the stored row id or 0)."""
        answers = []
        row = 0
        if m.is_session_start:
            continued = m.previous_session
            conn.session = self.store.start_session(m, conn.peer)
            self.say("session %d %s: %s %s (kind %d) on %s from %s" % (
                conn.session, "continued" if continued else "started", m.application,
                m.version, m.value, m.host_name or "-", conn.peer))
            answers.append(("session", conn.session))
        elif m.is_session_end:
            if conn.session:
                self.store.end_session(conn.session)
                self.say("session %d ended" % conn.session)
        elif m.kind in protocol.CRASH_KINDS:
            row, report, saved = self.store.add_crash(conn.session, m)
            files = ", ".join("%s (%d bytes)" % (name, size) for name, size, _ in saved)
            self.say("crash %d session=%s seq=%s kind=%d report=%d bytes attachments: %s" % (
                row, conn.session or "-", m.sequence or "-", m.kind, len(report or ""),
                files or "none"))
        else:
            row = self.store.add_log(conn.session, m)
            text = storage._text(m.data[0]) if m.data else ""
            self.say("log session=%s seq=%s level=%d %s:%d %s" % (
                conn.session or "-", m.sequence or "-", m.kind, m.source or "-", m.line,
                storage.escape_field(text[:200])))
        if m.sequence:
            answers.append(("receipt", m.sequence))
        return answers, row

    def answer_bytes(self, conn, answers, kind, row, mode, value):
        """The framed answers to one message, shaped by the misbehaviour in force."""
        padding = (value or 2048) if mode == "oversized" else 0
        out = []
        for what, number in answers:
            if mode == "corrupt":
                out.append(protocol.corrupt_answer(number))
            elif what == "session":
                out.append(protocol.encode_answer(protocol.ANSWER_SESSION, session_id=number,
                                                  kind=kind, padding=padding))
            elif mode == "detailed":
                what_row = "crash" if kind in protocol.CRASH_KINDS else "item"
                out.append(protocol.encode_answer(
                    protocol.ANSWER_DETAILED, session_id=conn.session or 0, receipt=number,
                    second=row, further=row, kind=kind, text="stored %s %d" % (what_row, row)))
            else:
                out.append(protocol.encode_answer(
                    protocol.ANSWER_RECEIPT, session_id=conn.session or 0, receipt=number,
                    second=row, kind=kind, padding=padding))
        return out


class Connection(asyncio.Protocol):
    """One launcher's connection: splits the byte stream into messages, stores them and
    answers them in order; delayed answers hold back the ones after them."""

    def __init__(self, service):
        self.service = service
        self.buffer = bytearray()
        self.session = None
        self.transport = None
        self.peer = "?"
        self.waiting = collections.deque()  # (mode, answers) behind a delayed answer
        self.not_before = 0.0  # loop time before which no answer may leave
        self.pump = None  # the task sending waiting answers, while there are some

    def connection_made(self, transport):
        self.transport = transport
        host, port = transport.get_extra_info("peername")[:2]
        self.peer = "%s:%d" % (host, port)
        self.service.connections.add(self)

    def connection_lost(self, exc):
        self.service.connections.discard(self)
        self.service.store.commit()
        if self.pump:
            self.pump.cancel()

    def fail(self, reason):
        self.service.warn("%s: %s; closing the connection" % (self.peer, reason))
        self.transport.abort()

    def data_received(self, data):
        self.buffer += data
        queued = []
        try:
            while not self.transport.is_closing():
                if len(self.buffer) < protocol.PREFIX:
                    break
                n = struct.unpack_from(">I", self.buffer)[0]
                if n > self.service.args.max_message:
                    self.fail("message of %d bytes is over the %d-byte limit"
                              % (n, self.service.args.max_message))
                    return
                have = len(self.buffer) - protocol.PREFIX
                if self.cut_request_due(n, have):
                    self.service.say("cut %s after %d of %d message bytes"
                                     % (self.peer, have, n))
                    self.transport.abort()
                    return
                if have < n:
                    break
                payload = bytes(self.buffer[protocol.PREFIX:protocol.PREFIX + n])
                del self.buffer[:protocol.PREFIX + n]
                try:
                    m = protocol.parse_message(payload)
                except BadStream as e:
                    self.fail("bad message: %s" % e)
                    return
                try:
                    with self.service.store.item():
                        answers, row = self.service.handle(self, m)
                except Exception as e:  # a full disk, say: this message only, not the service
                    self.fail("cannot store a message of kind %d: %s" % (m.kind, e))
                    return
                # Only answered messages use up a counted misbehaviour.
                mode, value = (self.service.behaviour.take(m.kind) if answers
                               else ("normal", None))
                queued.append((mode, value, self.service.answer_bytes(
                    self, answers, m.kind, row, mode, value)))
        finally:
            # Receipts promise the item is kept: commit before any answer leaves.
            self.service.store.commit()
            for entry in queued:
                self.dispatch(*entry)

    def cut_request_due(self, n, have):
        """Whether to drop the connection now, half-way through a message."""
        b = self.service.behaviour
        if b.mode != "cut-request" or have < min(n, max(1, n // 2)):
            return False
        if b.kinds is not None:
            kind = peek_kind(self.buffer[protocol.PREFIX:])
            if kind is None and have < n:
                return False  # the header has not arrived yet: decide later
            if kind is None or kind not in b.kinds:
                return False
            return b.take(kind)[0] == "cut-request"
        return b.take(-1)[0] == "cut-request"

    def dispatch(self, mode, value, answers):
        """Sends one message's answers now, or queues them behind earlier delayed ones."""
        if mode == "silent" or not answers or self.transport.is_closing():
            return
        loop = asyncio.get_running_loop()
        if mode == "delay":
            # Later answers on this connection wait too, so the order stays.
            self.not_before = max(self.not_before, loop.time() + value / 1000.0)
        if not self.waiting and mode != "cut-answer" and loop.time() >= self.not_before:
            self.transport.write(b"".join(answers))
            return
        self.waiting.append((mode, answers))
        if self.pump is None:
            self.pump = loop.create_task(self.send_waiting())

    async def send_waiting(self):
        loop = asyncio.get_running_loop()
        try:
            while self.waiting:
                mode, answers = self.waiting[0]
                wait = self.not_before - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                self.waiting.popleft()
                if self.transport.is_closing():
                    return
                data = b"".join(answers)
                if mode == "cut-answer":
                    half = max(1, len(data) // 2)
                    self.transport.write(data[:half])
                    self.service.say("cut %s after %d of %d answer bytes"
                                     % (self.peer, half, len(data)))
                    # Let the half answer leave before the connection goes.
                    await asyncio.sleep(0.05)
                    self.transport.abort()
                    return
                self.transport.write(data)
        finally:
            self.pump = None


def peek_kind(data):
    """The message kind from the start of a partly received message, once its header
    record is complete; None before that or if it does not decode."""
    try:
        token, start, n = protocol.binxml.read_header(memoryview(data), 0, len(data))
        if token != 1:
            return None
        return protocol.binxml.Record(bytes(data[start:start + n])).uint8(protocol.H_KIND)
    except (BadStream, IndexError):
        return None


class Discovery(asyncio.DatagramProtocol):
    """Answers the launchers' "tovikClient" broadcasts with our own name."""

    def __init__(self, service, reply_socket):
        self.service = service
        self.transport = None
        self.reply_socket = reply_socket

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        if data.split(b"\0", 1)[0] != DISCOVERY_QUESTION or not self.service.discovery_on:
            return
        host = addr[0]
        if host == "0.0.0.0":
            # A broadcast sent from this machine before any address was chosen.
            host = "127.0.0.1"
        target = ("255.255.255.255" if self.service.args.discovery_reply == "broadcast"
                  else host, self.service.args.discovery_reply_port)
        answer = self.service.discovery_answer.encode("utf-8") + b"\0"
        delay = self.service.discovery_delay
        self.service.say("discovery question from %s:%d, answering %r to %s:%d%s" % (
            addr[0], addr[1], self.service.discovery_answer, target[0], target[1],
            " after %d ms" % (delay * 1000) if delay else ""))
        loop = asyncio.get_running_loop()
        loop.call_later(delay, self.send, answer, target)

    def send(self, answer, target):
        if self.reply_socket is not None:
            try:
                self.reply_socket.sendto(answer, target)
            except OSError as e:
                self.service.warn("discovery answer to %s:%d: %s" % (target + (e,)))
        elif self.transport and not self.transport.is_closing():
            self.transport.sendto(answer, target)


class Control:
    """The line-based control port: one command per line, one answer per command."""

    def __init__(self, service):
        self.service = service

    async def serve(self, reader, writer):
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                try:
                    lines = self.run(line.decode("utf-8", "replace").strip())
                except (ValueError, sqlite3.Error) as e:
                    lines = ["error " + str(e)]
                writer.write(("\n".join(lines) + "\n").encode("utf-8"))
                await writer.drain()
        except (ConnectionError, ValueError):  # a line over the reader's limit included
            pass
        finally:
            writer.close()

    def run(self, command):
        s = self.service
        verb, _, rest = command.partition(" ")
        if verb == "mode":
            s.behaviour.set(rest)
            return ["ok mode " + s.behaviour.describe()]
        if verb == "discovery":
            what, _, arg = rest.partition(" ")
            if what == "on" or what == "off":
                s.discovery_on = what == "on"
            elif what == "answer" and arg:
                s.discovery_answer = arg
            elif what == "delay" and arg.isdigit():
                s.discovery_delay = int(arg) / 1000.0
            else:
                raise ValueError("discovery on|off|answer TEXT|delay MS")
            return ["ok discovery %s answer %s delay %d" % (
                "on" if s.discovery_on else "off", s.discovery_answer,
                s.discovery_delay * 1000)]
        if verb == "status":
            counts = " ".join("%s=%d" % kv for kv in s.store.counts().items())
            return ["ok mode %s; connections=%d %s" % (s.behaviour.describe(),
                                                      len(s.connections), counts)]
        if verb == "close-all":
            n = len(s.connections)
            for conn in list(s.connections):
                conn.transport.abort()
            return ["ok closed %d" % n]
        if verb == "query":
            table, session, last = parse_query_words(rest.split())
            rows = storage.query(s.store.db, table, session, last)
            return ["\t".join(storage.escape_field(v) for v in r) for r in rows] + \
                ["end %d" % len(rows)]
        raise ValueError("unknown command %r (mode, discovery, status, close-all, query)"
                         % verb)


def parse_query_words(words):
    if not words:
        raise ValueError("query TABLE [session=N] [last=N]")
    session = last = None
    for word in words[1:]:
        key, _, value = word.partition("=")
        if key not in ("session", "last") or not value.isdigit():
            raise ValueError("bad query argument %r" % word)
        if key == "session":
            session = int(value)
        else:
            last = int(value)
    return words[0], session, last


async def serve(args):
    service = Service(args)
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    server = await loop.create_server(lambda: Connection(service), args.host, args.port)
    port = server.sockets[0].getsockname()[1]
    control_port = "-"
    control = None
    if args.control_port is not None:
        control = await asyncio.start_server(Control(service).serve, "127.0.0.1",
                                             args.control_port)
        control_port = control.sockets[0].getsockname()[1]
    udp = None
    if args.discovery or args.discovery_listen:
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # The launcher binds its answer socket to the same port on the same machine in
        # tests; both sides must allow the shared address.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.bind((args.discovery_bind, args.discovery_port))
        # The launcher connects to the address the answer comes from: send it from the
        # address the TCP service listens on, unless that is every address.
        reply = None
        if args.host not in ("", "0.0.0.0"):
            reply = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            reply.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            reply.bind((args.host, 0))
            reply.setblocking(False)
        udp, _ = await loop.create_datagram_endpoint(lambda: Discovery(service, reply),
                                                     sock=sock)
    # Harnesses wait for this line; always printed, even with --quiet.
    print("collector ready port=%d control=%s discovery=%s db=%s" % (
        port, control_port, args.discovery_port if udp else "-", args.db), flush=True)

    await stop.wait()
    server.close()
    if control:
        control.close()
    if udp:
        if udp.get_protocol().reply_socket is not None:
            udp.get_protocol().reply_socket.close()
        udp.close()
    for conn in list(service.connections):
        conn.transport.abort()
    await asyncio.sleep(0)
    service.store.close()
    print("collector stopped", flush=True)


def query_main(argv):
    p = argparse.ArgumentParser(prog="collector.py query",
                                description="Print what the collection service stored.")
    p.add_argument("--db", required=True, help="the service's database file")
    p.add_argument("--session", type=int, help="only this session's items")
    p.add_argument("--last", type=int, help="only the last N rows")
    p.add_argument("--json", action="store_true", help="one JSON object per row")
    p.add_argument("table", help="sessions, logs, crashes, attachments, or report ID")
    p.add_argument("id", nargs="?", type=int, help="the crash whose report to print")
    a = p.parse_args(argv)
    if not os.path.exists(a.db):
        p.error("no database at %s" % a.db)
    db = sqlite3.connect("file:%s?mode=ro" % a.db, uri=True)
    try:
        if a.table == "report":
            if a.id is None:
                p.error("report needs the crash id")
            sys.stdout.write(storage.report_text(db, a.id))
            return 0
        rows = storage.query(db, a.table, a.session, a.last)
    except ValueError as e:
        p.error(str(e))
    columns = storage.QUERY_COLUMNS[a.table]
    if a.json:
        for r in rows:
            print(json.dumps(dict(zip(columns, r)), ensure_ascii=False))
    else:
        print("\t".join(columns))
        for r in rows:
            print("\t".join(storage.escape_field(v) for v in r))
    return 0


def control_main(argv):
    p = argparse.ArgumentParser(prog="collector.py control",
                                description="Send one command to a running service.")
    p.add_argument("--port", type=int, required=True, help="the service's control port")
    p.add_argument("command", nargs=argparse.REMAINDER)
    a = p.parse_args(argv)
    with socket.create_connection(("127.0.0.1", a.port), timeout=10) as s:
        s.sendall((" ".join(a.command) + "\n").encode("utf-8"))
        f = s.makefile("r", encoding="utf-8")
        while True:
            line = f.readline()
            if not line:
                return 1
            sys.stdout.write(line)
            if not line.startswith("\t") and line.split(" ", 1)[0] in ("ok", "error", "end"):
                return 0 if not line.startswith("error") else 1


def serve_main(argv):
    p = argparse.ArgumentParser(prog="collector.py",
                                description="Telemetry collection service.")
    p.add_argument("--host", default="127.0.0.1", help="TCP address to listen on")
    p.add_argument("--port", type=int, default=443, help="TCP port (0: any free port)")
    p.add_argument("--db", default="telemetry.db", help="SQLite database (created if missing)")
    p.add_argument("--fresh", action="store_true",
                   help="start from an empty database: remove the old one and its files")
    p.add_argument("--quiet", action="store_true", help="print only the ready line and errors")
    p.add_argument("--max-message", type=int, default=DEFAULT_MAX_MESSAGE,
                   help="largest message accepted, in bytes")
    p.add_argument("--mode", default="normal",
                   help="answer behaviour: normal, silent, 'delay MS', cut-request, "
                        "cut-answer, 'oversized [BYTES]', corrupt, detailed; each may add "
                        "times=N and kinds=K,K")
    p.add_argument("--control-port", type=int,
                   help="line-based control port on 127.0.0.1 (0: any free port)")
    p.add_argument("--discovery", action="store_true",
                   help="answer \"tovikClient\" broadcasts")
    p.add_argument("--discovery-listen", action="store_true",
                   help="listen for discovery questions but stay silent until told "
                        "'discovery on'")
    p.add_argument("--discovery-port", type=int, default=DISCOVERY_PORT)
    p.add_argument("--discovery-bind", default="0.0.0.0",
                   help="UDP address to listen on (broadcasts need the any-address)")
    p.add_argument("--discovery-reply", choices=("unicast", "broadcast"), default="unicast",
                   help="answer the asking machine, or broadcast the answer")
    p.add_argument("--discovery-reply-port", type=int, default=DISCOVERY_PORT)
    p.add_argument("--discovery-answer", default=DISCOVERY_ANSWER,
                   help="the answer text (a wrong one, for tests)")
    p.add_argument("--discovery-delay", type=int, default=0, help="answer after MS")
    args = p.parse_args(argv)
    try:
        Behaviour(args.mode)
    except ValueError as e:
        p.error(str(e))
    if args.fresh:
        storage.remove(args.db)
    try:
        asyncio.run(serve(args))
    except OSError as e:
        print("error cannot listen: %s" % e, file=sys.stderr, flush=True)
        return 1
    return 0


def main(argv):
    if argv and argv[0] == "query":
        return query_main(argv[1:])
    if argv and argv[0] == "control":
        return control_main(argv[1:])
    if argv and argv[0] == "serve":
        argv = argv[1:]
    return serve_main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

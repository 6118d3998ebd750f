#!/usr/bin/env python3
"""The telemetry collection service: receives the launcher's sessions, log lines and crash
reports over TCP, stores them in SQLite or PostgreSQL and answers with session identifiers
and receipts; serves the crash triage page.

    collector.py [serve] --port 443 --db telemetry.db|postgresql://... [--page-port N] ...
    collector.py query --db telemetry.db sessions|logs|crashes|attachments|report ID
    collector.py control --port CONTROL_PORT mode silent
    collector.py page --db telemetry.db --port 8080

For tests it can be told to misbehave (never answer, answer late, cut the connection, send
oversized or corrupt answers, give a wrong discovery answer), from the command line or, while
it runs, through a line-based control port. See tools/collector.md.
Standard library, and Debian's psycopg for PostgreSQL.
"""

import argparse
import asyncio
import collections
import concurrent.futures
import json
import os
import queue
import resource
import signal
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import page  # noqa: E402
import protocol  # noqa: E402
import store as storage  # noqa: E402
from binxml import BadStream  # noqa: E402

DEFAULT_MAX_MESSAGE = 64 * 1024 * 1024
DEFAULT_BUFFER_MEMORY = 256 * 1024 * 1024
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
    """The running service: the behaviour in force, the open launcher connections and the
    writer thread that owns the database. Everything else runs on the one event-loop
    thread; `handle` runs on the writer thread."""

    def __init__(self, args, store):
        self.args = args
        self.store = store
        self.behaviour = Behaviour(args.mode)
        self.connections = set()
        self.discovery_answer = args.discovery_answer
        self.discovery_delay = args.discovery_delay / 1000.0
        self.discovery_on = args.discovery
        self.writer = None
        self.file_writers = concurrent.futures.ThreadPoolExecutor(2, "files")
        # Bytes of messages received or being received and not yet stored, over every
        # connection; a connection whose next message does not fit waits for room.
        self.buffered = 0
        self.buffer_limit = max(args.buffer_memory, args.max_message)
        self.waiting_for_room = collections.deque()

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

    def reserve(self, n):
        if self.buffered and self.buffered + n > self.buffer_limit:
            return False
        self.buffered += n
        return True

    def release(self, n):
        self.buffered -= n
        while self.waiting_for_room and self.buffered < self.buffer_limit:
            conn = self.waiting_for_room.popleft()
            conn.room_freed()

    def handle_all(self, conn, messages):
        """Stores a connection's messages in order (on the writer thread), runs of log lines
        with one statement; returns [(message, answers, stored row id or 0)]."""
        out, lines = [], []

        def store_lines():
            for m, row in zip(lines, self.writer.store.add_logs(conn.session, lines)):
                if not self.args.quiet:
                    text = storage._text(m.data[0]) if m.data else ""
                    self.say("log session=%s seq=%s level=%d %s:%d %s" % (
                        conn.session or "-", m.sequence or "-", m.kind, m.source or "-",
                        m.line, storage.escape_field(text[:200])))
                out.append((m, [("receipt", m.sequence)] if m.sequence else [], row))
            lines.clear()

        for m in messages:
            if m.kind != protocol.KIND_SESSION and m.kind not in protocol.CRASH_KINDS:
                lines.append(m)
                continue
            store_lines()
            out.append((m,) + self.handle(conn, m))
        store_lines()
        return out

    def handle(self, conn, m):
        """Stores a session message or a crash (on the writer thread); returns (answers,
        stored row id or 0)."""
        answers = []
        row = 0
        store = self.writer.store
        if m.is_session_start:
            asked = m.previous_session
            conn.session, continued = store.start_session(m, conn.peer)
            how = "continued" if continued else "started"
            if asked and not continued:
                how += " (not continuing %d: another machine's or unknown)" % asked
            self.say("session %d %s: %s %s (kind %d) on %s from %s" % (
                conn.session, how, m.application, m.version, m.value, m.host_name or "-",
                conn.peer))
            answers.append(("session", conn.session))
        elif m.is_session_end:
            if conn.session:
                store.end_session(conn.session)
                self.say("session %d ended" % conn.session)
        elif m.kind in protocol.CRASH_KINDS:
            row, report, saved = store.add_crash(conn.session, m)
            files = ", ".join("%s (%d bytes)" % (name, size) for name, size, _ in saved)
            self.say("crash %d session=%s seq=%s kind=%d report=%d bytes attachments: %s" % (
                row, conn.session or "-", m.sequence or "-", m.kind, len(report or ""),
                files or "none"))
        if m.sequence:
            answers.append(("receipt", m.sequence))
        return answers, row

    def answer_bytes(self, conn, answers, kind, row, mode, value):
        """The framed answers to one message, shaped by the misbehaviour in force."""
        padding = (value or 2048) if mode == "oversized" else 0
        row &= 0xFFFFFFFF  # a 32-bit value on the wire
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

    def sweep(self):
        """Closes connections idle too long, and those whose message takes too long."""
        now = asyncio.get_running_loop().time()
        for conn in list(self.connections):
            if conn.busy:
                continue  # the wait is ours, not the sender's
            if conn.message_started is not None:
                if now - conn.message_started > self.args.message_timeout:
                    conn.fail("message not complete after %d s" % self.args.message_timeout)
            elif now - conn.last_active > self.args.idle_timeout:
                conn.close_quietly("idle for %d s" % self.args.idle_timeout)


class Writer:
    """The thread that owns the store: runs the connections' jobs in batches, each batch one
    transaction, and settles their futures on the event loop only after the commit, so a
    receipt never leaves before what it confirms is kept. Database and file writes never
    hold up the event loop."""

    def __init__(self, service, store, loop):
        self.service = service
        self.store = store
        self.loop = loop
        self.jobs = queue.Queue()
        self.thread = threading.Thread(target=self.run, name="writer", daemon=True)
        self.thread.start()

    def submit(self, job):
        """Runs job(store, careful) on the writer thread; the future has its result or
        exception. A job may run twice: first with others in one go, then, when one of
        them failed, `careful`ly on its own."""
        future = self.loop.create_future()
        self.jobs.put((job, future))
        return future

    def stop(self, timeout):
        self.jobs.put(None)
        self.thread.join(timeout)

    def run(self):
        stopping = False
        while not stopping:
            batch = [self.jobs.get()]
            while batch[-1] is not None and len(batch) < 512:
                try:
                    batch.append(self.jobs.get_nowait())
                except queue.Empty:
                    break
            if batch[-1] is None:
                stopping = True
                batch.pop()
            results = self.run_jobs(batch, careful=False)
            if results is None:
                # One of them failed: again, each job apart, so only its own work is lost.
                self.recover()
                results = self.run_jobs(batch, careful=True)
            try:
                self.store.commit()
            except Exception as e:
                # Nothing of this batch is kept: none of it may be confirmed.
                self.service.warn("commit failed: %s" % e)
                results = [(f, None, e) for f, _, _ in results]
                self.recover()
            for future, value, error in results:
                self.loop.call_soon_threadsafe(_settle, future, value, error)
        try:
            self.store.close()
        except Exception as e:
            self.service.warn("closing the database: %s" % e)

    def run_jobs(self, batch, careful):
        """[(future, result, error)]; without care, None at the first job that fails
        (the transaction is then spoilt for the rest)."""
        results = []
        if not careful:
            self.store.begin()
        for job, future in batch:
            try:
                results.append((future, job(self.store, careful), None))
            except Exception as e:
                if not careful:
                    return None
                results.append((future, None, e))
        return results

    def recover(self):
        try:
            self.store.rollback()
        except Exception:
            try:
                self.store = storage.open_store(self.service.args.db, self.service.args.files)
            except Exception as e:
                self.service.warn("reopening the database: %s" % e)


def _settle(future, value, error):
    if future.cancelled():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(value)


class Connection(asyncio.Protocol):
    """One launcher's connection: splits the byte stream into messages, hands them to the
    writer thread in order and answers them in order once stored; delayed answers hold
    back the ones after them. At most one job of a connection is in the writer at a time;
    complete messages wait behind it, within the service's buffer room."""

    PENDING_LIMIT = 4 * 1024 * 1024  # bytes waiting behind a job before reading pauses

    def __init__(self, service):
        self.service = service
        self.loop = asyncio.get_running_loop()
        self.head = bytearray()  # the next message's length, as it arrives
        self.body = None  # the message being received, allocated once at its full size
        self.filled = 0
        self.backlog = None  # received bytes waiting for room in the service's buffers
        self.pending = []  # complete messages, not yet handed to the writer
        self.pending_bytes = 0
        self.busy = False  # a job of this connection is in the writer
        self.paused = False
        self.closed = False
        self.session = None
        self.transport = None
        self.peer = "?"
        self.last_active = self.loop.time()
        self.message_started = None
        self.waiting = collections.deque()  # (mode, answers) behind a delayed answer
        self.not_before = 0.0  # loop time before which no answer may leave
        self.pump = None  # the task sending waiting answers, while there are some

    def connection_made(self, transport):
        self.transport = transport
        peer = transport.get_extra_info("peername")
        self.peer = "%s:%d" % (peer[0], peer[1]) if peer else "?"
        if len(self.service.connections) >= self.service.args.max_connections:
            self.service.warn("%s: over %d connections; refused"
                              % (self.peer, self.service.args.max_connections))
            self.closed = True
            transport.abort()
            return
        self.service.connections.add(self)

    def connection_lost(self, exc):
        self.closed = True
        self.service.connections.discard(self)
        if self.body is not None:
            self.service.release(len(self.body))
            self.body = None
        self.backlog = None
        if self.pump:
            self.pump.cancel()
        self.submit()  # what arrived complete is kept, though no answer can leave now

    def fail(self, reason):
        self.service.warn("%s: %s; closing the connection" % (self.peer, reason))
        self.close_quietly()

    def close_quietly(self, reason=None):
        if reason:
            self.service.say("closing %s: %s" % (self.peer, reason))
        self.closed = True
        self.transport.abort()

    def data_received(self, data):
        if self.closed:
            return
        self.last_active = self.loop.time()
        if self.backlog is not None:
            self.backlog += data  # reading is paused; at most one read's worth comes
            return
        self.consume(memoryview(data))

    def consume(self, view):
        pos = 0
        while pos < len(view) and not self.closed:
            if self.body is None:
                take = min(protocol.PREFIX - len(self.head), len(view) - pos)
                self.head += view[pos:pos + take]
                pos += take
                if len(self.head) < protocol.PREFIX:
                    break
                n = struct.unpack(">I", self.head)[0]
                if n > self.service.args.max_message:
                    self.fail("message of %d bytes is over the %d-byte limit"
                              % (n, self.service.args.max_message))
                    return
                if self.message_started is None:
                    self.message_started = self.loop.time()
                if not self.service.reserve(n):
                    # No room now: keep the rest and wait until stored messages free some.
                    self.backlog = bytearray(view[pos:])
                    self.pause()
                    self.service.waiting_for_room.append(self)
                    return
                self.head.clear()
                self.body = bytearray(n)
                self.filled = 0
            n = len(self.body)
            take = min(n - self.filled, len(view) - pos)
            self.body[self.filled:self.filled + take] = view[pos:pos + take]
            self.filled += take
            pos += take
            if self.cut_request_due(n, self.filled):
                self.service.say("cut %s after %d of %d message bytes"
                                 % (self.peer, self.filled, n))
                self.close_quietly()
                return
            if self.filled < n:
                break
            body, self.body = self.body, None
            self.message_started = None
            try:
                m = protocol.parse_message(memoryview(body))
            except BadStream as e:
                self.service.release(n)
                self.fail("bad message: %s" % e)
                return
            self.pending.append((m, n))
            self.pending_bytes += n
        self.submit()
        if self.busy and self.pending_bytes > self.PENDING_LIMIT:
            self.pause()

    def room_freed(self):
        if self.closed or self.backlog is None:
            return
        backlog, self.backlog = self.backlog, None
        self.resume()
        self.consume(memoryview(backlog))

    def pause(self):
        if not self.paused and not self.closed:
            self.paused = True
            self.transport.pause_reading()

    def resume(self):
        if self.paused and not self.closed and self.backlog is None:
            self.paused = False
            self.transport.resume_reading()

    def submit(self):
        """Hands the waiting messages to the writer unless a job of ours is there.
        Attachments are written to their files first, on a thread of their own, so a large
        one never holds up the writer and everyone else's receipts."""
        if self.busy or not self.pending:
            return
        batch, self.pending = self.pending, []
        self.pending_bytes = 0
        self.busy = True
        if any(storage.attachment_parts(m) for m, _ in batch):
            files = self.loop.run_in_executor(self.service.file_writers, self.keep_files, batch)
            files.add_done_callback(lambda f: self.to_writer(batch, f.exception()))
        else:
            self.to_writer(batch, None)

    def keep_files(self, batch):
        for m, _ in batch:
            try:
                m.kept = [storage.keep_file(self.service.args.files, part)
                          for part in storage.attachment_parts(m)]
            except OSError as e:  # a full disk, say: this message and those after it fail
                m.kept = e
                return

    def to_writer(self, batch, files_error):
        if files_error is not None:
            future = self.loop.create_future()
            future.set_result(([], "cannot keep an attachment: %s" % files_error))
        else:
            session = self.session
            future = self.service.writer.submit(
                lambda store, careful: self.store_batch(batch, careful, session))
        future.add_done_callback(lambda f: self.stored(batch, f))

    def store_batch(self, batch, careful, session):
        """On the writer thread: all of them at once; with care, each message on its own
        up to the first that cannot be stored. Returns ([(message, answers, row)], error or
        None)."""
        self.session = session  # as it was when the job began, should it run again
        if not careful:
            return self.service.handle_all(self, [m for m, _ in batch]), None
        done = []
        for m, _ in batch:
            try:
                with self.service.writer.store.item():
                    done += self.service.handle_all(self, [m])
            except Exception as e:  # a full disk, say: this connection only
                return done, "cannot store a message of kind %d: %s" % (m.kind, e)
        return done, None

    def stored(self, batch, future):
        self.busy = False
        self.service.release(sum(n for _, n in batch))
        try:
            done, error = future.result()
        except Exception as e:
            done, error = [], "cannot store: %s" % e
        ready = []  # answers that may leave at once, sent with one write
        for m, answers, row in done:
            if not answers:
                continue
            # Only answered messages use up a counted misbehaviour.
            mode, value = self.service.behaviour.take(m.kind)
            framed = self.service.answer_bytes(self, answers, m.kind, row, mode, value)
            if mode == "normal" and not self.waiting and self.loop.time() >= self.not_before:
                ready += framed
                continue
            self.send_now(ready)
            self.dispatch(mode, value, framed)
        self.send_now(ready)
        if error:
            self.service.release(self.pending_bytes)
            self.pending, self.pending_bytes = [], 0
            if not self.closed:
                self.fail(error)
            return
        self.submit()
        if not self.busy or self.pending_bytes <= self.PENDING_LIMIT:
            self.resume()

    def send_now(self, answers):
        if answers and not self.closed and not self.transport.is_closing():
            self.transport.write(b"".join(answers))
        answers.clear()

    def cut_request_due(self, n, have):
        """Whether to drop the connection now, half-way through a message."""
        b = self.service.behaviour
        if b.mode != "cut-request" or have < min(n, max(1, n // 2)):
            return False
        if b.kinds is not None:
            kind = peek_kind(memoryview(self.body)[:have])
            if kind is None and have < n:
                return False  # the header has not arrived yet: decide later
            if kind is None or kind not in b.kinds:
                return False
            return b.take(kind)[0] == "cut-request"
        return b.take(-1)[0] == "cut-request"

    def dispatch(self, mode, value, answers):
        """Sends one message's answers now, or queues them behind earlier delayed ones."""
        if mode == "silent" or not answers or self.closed or self.transport.is_closing():
            return
        loop = self.loop
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
        token, start, n = protocol.binxml.read_header(data, 0, len(data))
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
                    lines = await self.run(line.decode("utf-8", "replace").strip())
                except Exception as e:  # a bad command, or the database's answer
                    lines = ["error " + str(e).replace("\n", " ")]
                writer.write(("\n".join(lines) + "\n").encode("utf-8"))
                await writer.drain()
        except (ConnectionError, ValueError):  # a line over the reader's limit included
            pass
        finally:
            writer.close()

    async def run(self, command):
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
            counts = await s.writer.submit(lambda store, _: store.counts())
            counts = " ".join("%s=%d" % kv for kv in counts.items())
            return ["ok mode %s; connections=%d %s" % (s.behaviour.describe(),
                                                      len(s.connections), counts)]
        if verb == "close-all":
            n = len(s.connections)
            for conn in list(s.connections):
                conn.transport.abort()
            return ["ok closed %d" % n]
        if verb == "query":
            table, session, last = parse_query_words(rest.split())
            rows = await s.writer.submit(
                lambda store, _: storage.query(store, table, session, last))
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


async def serve(args, store):
    loop = asyncio.get_running_loop()
    service = Service(args, store)
    service.writer = Writer(service, store, loop)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)

    # With --reuse-port several collectors listen on one port and the system shares the
    # connections out among them.
    server = await loop.create_server(lambda: Connection(service), args.host, args.port,
                                      reuse_port=args.reuse_port or None, backlog=1024)
    port = server.sockets[0].getsockname()[1]
    pages = None
    if args.page_port is not None:
        pages = page.serve_in_thread(args.db, args.files, args.page_host, args.page_port)
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
    print("collector ready port=%d control=%s discovery=%s db=%s page=%s" % (
        port, control_port, args.discovery_port if udp else "-", storage.display(args.db),
        pages.server_address[1] if pages else "-"), flush=True)

    sweeping = loop.create_task(sweep(service))
    await stop.wait()
    sweeping.cancel()
    server.close()
    if pages:
        pages.shutdown()
    if control:
        control.close()
    if udp:
        if udp.get_protocol().reply_socket is not None:
            udp.get_protocol().reply_socket.close()
        udp.close()
    for conn in list(service.connections):
        conn.transport.abort()
    await asyncio.sleep(0)
    # What arrived complete is stored before the end; the writer closes the store.
    await loop.run_in_executor(None, service.file_writers.shutdown, True)
    await asyncio.sleep(0.01)  # the written files' messages go on to the writer
    await loop.run_in_executor(None, service.writer.stop, 10)
    print("collector stopped", flush=True)


async def sweep(service):
    interval = max(0.05, min(1.0, service.args.idle_timeout / 4, service.args.message_timeout / 4))
    while True:
        await asyncio.sleep(interval)
        service.sweep()


def query_main(argv):
    p = argparse.ArgumentParser(prog="collector.py query",
                                description="Print what the collection service stored.")
    p.add_argument("--db", required=True,
                   help="the service's database: a file, or postgresql://...")
    p.add_argument("--session", type=int, help="only this session's items")
    p.add_argument("--last", type=int, help="only the last N rows")
    p.add_argument("--json", action="store_true", help="one JSON object per row")
    p.add_argument("table", help="sessions, logs, crashes, attachments, or report ID")
    p.add_argument("id", nargs="?", type=int, help="the crash whose report to print")
    a = p.parse_args(argv)
    try:
        db = storage.open_store(a.db, files="-", readonly=True)
        if a.table == "report":
            if a.id is None:
                p.error("report needs the crash id")
            sys.stdout.write(storage.report_text(db, a.id))
            return 0
        rows = storage.query(db, a.table, a.session, a.last)
    except (ValueError, OSError) as e:
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
    p.add_argument("--db", default="telemetry.db",
                   help="SQLite file (created if missing) or postgresql://... address")
    p.add_argument("--files", help="attachment folder (default: beside an SQLite file; "
                                   "needed with PostgreSQL)")
    p.add_argument("--fresh", action="store_true",
                   help="start from an empty database: remove the old one and its files")
    p.add_argument("--reuse-port", action="store_true",
                   help="share the port with other collectors on this machine")
    p.add_argument("--max-connections", type=int, default=4096,
                   help="launcher connections open at once; more are refused")
    p.add_argument("--idle-timeout", type=float, default=600,
                   help="seconds a connection may stay silent before it is closed")
    p.add_argument("--message-timeout", type=float, default=120,
                   help="seconds a message may take from its first byte to its last")
    p.add_argument("--buffer-memory", type=int, default=DEFAULT_BUFFER_MEMORY,
                   help="bytes of messages held at once over every connection")
    p.add_argument("--page-port", type=int,
                   help="serve the crash triage page on this port (0: any free port)")
    p.add_argument("--page-host", default="127.0.0.1", help="address of the page")
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
    args.files = args.files or storage.default_files(args.db)
    raise_file_limit(args.max_connections + 64)
    try:
        if args.fresh:
            storage.remove(args.db, args.files)
        store = storage.open_store(args.db, args.files)
    except Exception as e:  # no server, a bad address, a file we may not write
        print("error cannot open the database: %s" % e, file=sys.stderr, flush=True)
        return 1
    try:
        asyncio.run(serve(args, store))
    except OSError as e:
        print("error cannot listen: %s" % e, file=sys.stderr, flush=True)
        return 1
    return 0


def raise_file_limit(wanted):
    """Lets the process hold as many sockets as it accepts connections (up to the hard
    limit)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        new = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (new, hard))


def page_main(argv):
    p = argparse.ArgumentParser(prog="collector.py page",
                                description="Serve the crash triage page, read-only.")
    p.add_argument("--db", required=True, help="SQLite file or postgresql://... address")
    p.add_argument("--files", help="attachment folder (default: beside an SQLite file)")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=8080)
    a = p.parse_args(argv)
    server = page.make_server(a.db, a.files or storage.default_files(a.db), a.host, a.port)
    print("page ready port=%d" % server.server_address[1], flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


def main(argv):
    if argv and argv[0] == "query":
        return query_main(argv[1:])
    if argv and argv[0] == "control":
        return control_main(argv[1:])
    if argv and argv[0] == "page":
        return page_main(argv[1:])
    if argv and argv[0] == "serve":
        argv = argv[1:]
    return serve_main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

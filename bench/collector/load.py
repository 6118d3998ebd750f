#!/usr/bin/env python3
"""Load for the collector benchmark, speaking the real wire protocol (tools/collector's
protocol.py). Each command prints one line of "key=value" figures.

    load.py throughput --port P --clients 50 --messages 400 [--window 20] [--processes 2]
        every client starts a session, then sends numbered log lines, keeping at most
        `window` unanswered, until all are confirmed: confirmed messages per second
    load.py idle --port P --pid PID --count 1000
        opens idle connections and reads the collector's resident memory before and after
    load.py upload --port P --size 10485760
        small numbered messages one at a time, with and without a concurrent crash upload
        of that size: the slowest receipt of each
Every wait is bounded (--limit seconds in all).
"""

import argparse
import asyncio
import multiprocessing
import os
import socket
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "collector"))

import protocol as P  # noqa: E402


def framed(**fields):
    return P.frame(P.encode_message(P.Message(**fields)))


async def read_answer(reader):
    n = struct.unpack(">I", await reader.readexactly(4))[0]
    return P.parse_answer(await reader.readexactly(n))


def line_template():
    """A numbered log line with a 4-byte sequence field at a known place, so the load costs
    a pack and a join per message rather than an encoding."""
    text = b"bench line: a log line of a typical length, about eighty bytes of text\0"
    m = P.Message(kind=2, sequence=0x7F7F7F7F, source="bench.cpp", line=7,
                  time=int(time.time()), data=[text])
    payload = P.encode_message(m)
    at = payload.index(b"\x7f\x7f\x7f\x7f")
    return struct.pack(">I", len(payload)) + payload[:at], payload[at + 4:]


async def client(port, index, messages, window):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(framed(kind=0, application="Galvorand", version="bench",
                        host_name="bench-%d" % index))
    await read_answer(reader)
    front, back = line_template()
    sent = confirmed = 0
    pending = b""
    while confirmed < messages:
        if sent < messages and sent - confirmed < window:
            n = min(messages, confirmed + window) - sent
            writer.write(b"".join(front + struct.pack(">I", sent + 2 + i) + back
                                  for i in range(n)))
            sent += n
        # Every numbered line gets one receipt, in order: count the answers.
        data = await reader.read(65536)
        if not data:
            raise ConnectionError("closed after %d receipts" % confirmed)
        pending += data
        pos = 0
        while len(pending) - pos >= 4:
            n = struct.unpack_from(">I", pending, pos)[0]
            if len(pending) - pos - 4 < n:
                break
            pos += 4 + n
            confirmed += 1
        pending = pending[pos:]
    writer.close()
    return confirmed


def throughput_part(port, first, clients, messages, window, limit):
    async def run():
        tasks = [client(port, first + i, messages, window) for i in range(clients)]
        return sum(await asyncio.wait_for(asyncio.gather(*tasks), limit))
    return asyncio.run(run())


def machine_times():
    """(busy, all) jiffies of every core together, from /proc/stat."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + values[4]  # idle and waiting for I/O
    return sum(values) - idle, sum(values)


def throughput(a):
    per = [a.clients // a.processes + (1 if i < a.clients % a.processes else 0)
           for i in range(a.processes)]
    busy_before, all_before = machine_times()
    start = time.monotonic()
    with multiprocessing.Pool(a.processes) as pool:
        args = [(a.port, sum(per[:i]), n, a.messages, a.window, a.limit)
                for i, n in enumerate(per)]
        total = sum(pool.starmap(throughput_part, args))
    seconds = time.monotonic() - start
    busy_after, all_after = machine_times()
    # How much of the machine was in use (by everything on it): scaling cannot show when
    # this is already all of it.
    busy = (busy_after - busy_before) / max(1, all_after - all_before) * os.cpu_count()
    print("messages=%d seconds=%.2f rate=%.0f cores_busy=%.1f/%d"
          % (total, seconds, total / seconds, busy, os.cpu_count()))


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for %d" % pid)


def idle(a):
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, a.count + 256), hard))
    # One connection first, so the figure counts connections, not first-use allocations.
    warm = socket.create_connection(("127.0.0.1", a.port), timeout=10)
    time.sleep(0.5)
    before = rss_kb(a.pid)
    conns = [socket.create_connection(("127.0.0.1", a.port), timeout=10)
             for _ in range(a.count)]
    time.sleep(1.0)  # let the service accept them all
    after = rss_kb(a.pid)
    for s in conns + [warm]:
        s.close()
    print("connections=%d before_kb=%d after_kb=%d per_connection_kb=%.1f"
          % (a.count, before, after, (after - before) / a.count))


async def upload(a):
    reader, writer = await asyncio.open_connection("127.0.0.1", a.port)
    writer.write(framed(kind=0, application="Galvorand", version="bench", host_name="small"))
    await read_answer(reader)
    sequence = 1

    async def small_round_trips(seconds):
        nonlocal sequence
        worst, times = 0.0, []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            sequence += 1
            start = time.monotonic()
            writer.write(framed(kind=2, sequence=sequence, data=[b"small\0"]))
            await read_answer(reader)
            times.append(time.monotonic() - start)
            worst = max(worst, times[-1])
            await asyncio.sleep(0.005)
        return worst, sorted(times)[len(times) // 2]

    async def big_upload():
        r, w = await asyncio.open_connection("127.0.0.1", a.port)
        w.write(framed(kind=0, application="Galvorand", version="bench", host_name="crash"))
        await read_answer(r)
        dump = os.urandom(a.size)
        start = time.monotonic()
        w.write(framed(kind=8, sequence=2, attachment_name="big.dmp",
                       data=[b"<crash_report/>\0", dump]))
        await read_answer(r)
        w.close()
        return time.monotonic() - start

    alone_worst, alone_median = await small_round_trips(1.0)
    upload_task = asyncio.ensure_future(big_upload())
    await asyncio.sleep(0.01)
    during_worst, during_median = await small_round_trips(1.5)
    upload_seconds = await asyncio.wait_for(upload_task, a.limit)
    writer.close()
    print("alone_median_ms=%.1f alone_worst_ms=%.1f during_median_ms=%.1f during_worst_ms=%.1f "
          "upload_ms=%.0f" % (alone_median * 1000, alone_worst * 1000, during_median * 1000,
                              during_worst * 1000, upload_seconds * 1000))


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=("throughput", "idle", "upload"))
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--clients", type=int, default=50)
    p.add_argument("--messages", type=int, default=400)
    p.add_argument("--window", type=int, default=20)
    p.add_argument("--processes", type=int, default=2)
    p.add_argument("--pid", type=int)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--size", type=int, default=10 * 1024 * 1024)
    p.add_argument("--limit", type=float, default=120)
    a = p.parse_args()
    if a.what == "throughput":
        throughput(a)
    elif a.what == "idle":
        idle(a)
    else:
        asyncio.run(asyncio.wait_for(upload(a), a.limit))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The peer of the telemetry benchmark: a plain TCP echo on 127.0.0.1 that sends every byte
back as it arrives. Prints "echo ready port=N" once it listens; ends on SIGTERM."""

import asyncio
import signal


async def echo(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def main():
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    print("echo ready port=%d" % server.sockets[0].getsockname()[1], flush=True)
    await stop.wait()
    server.close()


asyncio.run(main())

#!/usr/bin/python3
"""A TCP proxy that holds every new connection for a while before it joins
it to the upstream port, so that a client's TLS handshake completes late.

usage: delay_proxy.py LISTEN_PORT UPSTREAM_PORT DELAY_SECONDS
Prints "ready" on standard output once it listens.
"""
import asyncio
import sys


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


async def main():
    listen_port, upstream_port, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])

    async def handle(client_reader, client_writer):
        await asyncio.sleep(delay)
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
        await asyncio.gather(pipe(client_reader, up_writer), pipe(up_reader, client_writer))

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


asyncio.run(main())

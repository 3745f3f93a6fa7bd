#!/usr/bin/python3
"""A deliberately slow TLS WebSocket receiver for the benchmark.

Reads 1 000 messages a second for --slow-seconds, then as fast as it can,
until --expect messages arrived; then prints "received N duplicates D order O"
and exits. Says "listening on port N" on standard error once it listens.
Pings are answered by the library as frames are read, so the sender's
acknowledged byte count follows what this reader has really taken.
"""
import argparse
import asyncio
import re
import ssl
import sys
import time

import websockets

SEQ = re.compile(r'"seq":(\d+)')


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--expect", type=int, required=True)
    parser.add_argument("--slow-seconds", type=float, default=10.0)
    parser.add_argument("--limit-seconds", type=float, default=120.0)
    args = parser.parse_args()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    done = asyncio.Event()
    state = {"count": 0, "dup": 0, "order": 0}
    seen = set()

    async def handler(ws, path=None):
        start = None
        last = -1
        async for message in ws:
            now = time.monotonic()
            if start is None:
                start = now
            match = SEQ.search(message)
            seq = int(match.group(1)) if match else -1
            if seq in seen:
                state["dup"] += 1
            seen.add(seq)
            if seq < last:
                state["order"] += 1
            last = seq
            state["count"] += 1
            if now - start < args.slow_seconds:
                delay = start + state["count"] / 1000.0 - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
            if state["count"] >= args.expect:
                done.set()

    async with websockets.serve(handler, "127.0.0.1", 0, ssl=context, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"listening on port {port}", file=sys.stderr, flush=True)
        try:
            await asyncio.wait_for(done.wait(), args.limit_seconds)
        except asyncio.TimeoutError:
            pass
    print(f"received {state['count']} duplicates {state['dup']} order {state['order']}", flush=True)


asyncio.run(main())

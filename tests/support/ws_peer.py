"""WebSocket peer of the tests (python3-websockets), independent of the code under test.

  send URI MSG...          sends each MSG on one connection; prints "sent"
  hold URI N               N connections: "open N", then "closed CODE 'REASON'" per close
  storm URI KEEP DROP N    KEEP connections send N {"fromhost":"c<k>","seq":<i>} (a ping every
                           10) and close cleanly while DROP more are cut (no close) after TCP
                           connect, after TLS or amid their
                           {"fromhost":"d<k>","seq":<i>,"pad":"x" * ((37k+101i) % 20000)}
  serve PORT CERT KEY      TLS server: "ready <port>" (PORT 0: any free port); "hello" to the
                           first client, then prints
                           "close CODE REASON" when it closes
  limits URI               three connections, "open" or "refused" each; 2000 bytes on the
                           first ("closed CODE"), {"fromhost":"l<k>"} on the others
  idle HOST PORT N SECS    N bare TCP connections held SECS, then "closed"
  squat HOST PORT N SECS   N bare TCP connections, each opened again as soon as it is dropped,
                           for SECS: "squatting" once all N are open, then "squatted K" (K:
                           connections made in all)
  pingflood URI SECS       "flooding" once connected, then pings without end for SECS, reading
                           nothing; then "closed" if the server has cut it off, else "flooded"
  delay PORT UPSTREAM SECS a TCP proxy holding each connection SECS (so, for a long time, a peer
                           that accepts and never answers); prints "ready <port>" (PORT 0:
                           any free port)
Sending modes end as send does. Client peers verify no certificate and, but for the storm's
keepers, never close: a killed peer is gone at once, a clean close waits for the server's 5 s
TLS shutdown timer. NORV_PEER_CERT and NORV_PEER_KEY name a client certificate to present.
"""
import asyncio
import logging
import os
import random
import socket
import ssl
import sys

import websockets

ERRORS = (OSError, websockets.WebSocketException)


def client_ssl():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    if os.environ.get("NORV_PEER_CERT"):  # a client certificate, for --client-ca receivers
        ctx.load_cert_chain(os.environ["NORV_PEER_CERT"], os.environ["NORV_PEER_KEY"])
    return ctx


def connect(uri):
    # A short close timeout: the server never sends the TLS close_notify awaited.
    return websockets.connect(uri, ssl=client_ssl(), ping_interval=None, max_size=None,
                              close_timeout=0.2)


async def stay(*_):
    print("sent", flush=True)
    await asyncio.sleep(60)


async def send(uri, *messages):
    ws = await connect(uri)
    for m in messages:
        await ws.send(m)
    await stay()


async def hold(uri, n):
    conns = [await connect(uri) for _ in range(int(n))]
    print("open", n, flush=True)
    for ws in conns:
        while ws.close_rcvd is None:
            await asyncio.sleep(0.01)
        print("closed", ws.close_rcvd.code, repr(ws.close_rcvd.reason), flush=True)
    os._exit(0)  # without waiting for the TLS shutdown


async def keep_one(uri, k, count):
    ws = await connect(uri)
    for i in range(count):
        await ws.send('{"fromhost":"c%d","seq":%d}' % (k, i))
        if i % 10 == 9:
            await ws.ping()
    await ws.close()


async def drop_one(uri, k, count):
    await asyncio.sleep(random.uniform(0, 0.5))
    host, port = uri.split("://")[1].rsplit(":", 1)
    how = random.choice(["tcp", "tls", "ws"])
    try:
        if how == "ws":
            ws = await connect(uri)
            for i in range(random.randint(0, count)):
                pad = "x" * ((37 * k + 101 * i) % 20000)
                await ws.send('{"fromhost":"d%d","seq":%d,"pad":"%s"}' % (k, i, pad))
            ws.transport.abort()
        else:
            tls = client_ssl() if how == "tls" else None
            (await asyncio.open_connection(host, int(port), ssl=tls))[1].transport.abort()
    except ERRORS:
        pass  # a connection being cut may fail first


async def storm(uri, keep, drop, count):
    keep, drop, count = int(keep), int(drop), int(count)
    await stay(await asyncio.gather(*[keep_one(uri, k, count) for k in range(keep)],
                                    *[drop_one(uri, k, count) for k in range(drop)]))


async def serve(port, cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    done = asyncio.get_running_loop().create_future()

    async def handler(ws, _path=None):
        await ws.send("hello")
        await ws.wait_closed()
        if not done.done():
            done.set_result((ws.close_code, ws.close_reason))

    async with websockets.serve(handler, "127.0.0.1", int(port), ssl=ctx,
                                ping_interval=None) as server:
        print("ready", server.sockets[0].getsockname()[1], flush=True)
        print("close", *(await done), flush=True)


async def limits(uri):
    conns = []
    for _ in range(3):
        try:
            conns.append(await connect(uri))
            print("open", flush=True)
        except ERRORS:
            print("refused", flush=True)
    await conns[0].send("x" * 2000)
    try:
        await conns[0].recv()
    except websockets.ConnectionClosed as e:
        print("closed", e.code, flush=True)
    for k, ws in enumerate(conns[1:], 1):
        await ws.send('{"fromhost":"l%d"}' % k)
    await stay()


async def idle(host, port, n, seconds):
    conns = [await asyncio.open_connection(host, int(port)) for _ in range(int(n))]
    await asyncio.sleep(float(seconds))
    for _, writer in conns:
        writer.transport.abort()
    print("closed", flush=True)


async def squat(host, port, n, seconds):
    made = 0

    async def one():
        nonlocal made
        while True:
            try:
                reader, writer = await asyncio.open_connection(host, int(port))
                made += 1
                if made == int(n):
                    print("squatting", flush=True)
                await reader.read()  # returns once the server drops it
                writer.transport.abort()
            except OSError:
                await asyncio.sleep(0.01)

    tasks = [asyncio.create_task(one()) for _ in range(int(n))]
    await asyncio.sleep(float(seconds))
    print("squatted", made, flush=True)
    os._exit(0)


async def pingflood(uri, seconds):
    ws = await connect(uri)
    ws.transport.pause_reading()
    print("flooding", flush=True)
    end = asyncio.get_running_loop().time() + float(seconds)
    pings = b"\x89\x80\0\0\0\0" * 10000  # empty masked pings, written in bulk
    try:
        while asyncio.get_running_loop().time() < end:
            ws.transport.write(pings)
            await ws.drain()
    except ERRORS:
        pass
    # Writes to a connection the server has cut are dropped by asyncio; once
    # reading again, such a connection ends at once.
    ws.transport.resume_reading()
    try:
        await asyncio.wait_for(ws.wait_closed(), 3)
        print("closed", flush=True)
    except asyncio.TimeoutError:
        print("flooded", flush=True)
    os._exit(0)


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


async def delay(port, upstream, seconds):
    async def handle(reader, writer):
        await asyncio.sleep(float(seconds))
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", int(upstream))
        await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer))

    listener = socket.socket(socket.AF_INET6)  # both ::1 and 127.0.0.1, as "localhost" may be
    listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    listener.bind(("::", int(port)))
    async with await asyncio.start_server(handle, sock=listener) as server:
        print("ready", listener.getsockname()[1], flush=True)
        await server.serve_forever()


if __name__ == "__main__":
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)  # writes to a cut connection
    MODES = {f.__name__: f for f in (send, hold, storm, serve, limits, idle, squat, pingflood,
                                     delay)}
    asyncio.run(MODES[sys.argv[1]](*sys.argv[2:]))

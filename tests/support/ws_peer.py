"""WebSocket peer for the tests, independent of the code under test.

Runs with Debian's python3-websockets. Modes:
  send URI MSG...           one connection, each MSG as a text message; prints "sent"
                            and stays connected until killed
  hold URI N                N connections; prints "open N" once all are open,
                            then "closed CODE REASON" for each as its close frame
                            arrives, and exits at once
  storm URI KEEP DROP COUNT KEEP connections at once, each sending COUNT messages
                            {"fromhost":"c<k>","seq":<i>} in order, while DROP more connect
                            at random moments and are cut off (no close) at a random
                            point: some right after TCP connect, some after the TLS
                            handshake, the rest after sending part of their COUNT
                            messages {"fromhost":"d<k>","seq":<i>,"pad":"x..."}
                            (pad of (37*k + 101*i) % 20000 x's, so cuts may fall
                            inside a frame); then as send
  serve PORT CERT KEY       TLS server on 127.0.0.1:PORT; prints "ready"; sends "hello"
                            to the first client, prints "close CODE REASON" when the
                            client closes, and exits
  limits URI                three connections, each printing "open" or "refused"; then
                            a 2000-byte message on the first (printing "closed CODE")
                            and {"fromhost":"l<k>"} on the others; then as send
  idle HOST PORT N SECONDS  N bare TCP connections held SECONDS; prints "closed" after
  delay PORT UPSTREAM SECS  TCP proxy on 127.0.0.1:PORT holding each connection SECS
                            before joining it to 127.0.0.1:UPSTREAM; prints "ready"
Certificates are not verified on the client side (self-signed test pairs).
The sending modes do not close: a websocketpp TLS server whose peer closes
cleanly keeps the connection until its 5 s socket-shutdown timer, while a peer
that is killed is gone at once; tests kill the sender once its messages are in.
"""
import asyncio
import os
import random
import ssl
import sys

import websockets


# The server side waits for a TLS close_notify that this peer never sends; a
# short close timeout lets the peer drop the TCP connection instead of waiting.
CLOSE_TIMEOUT = 0.2


def client_ssl():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def connect(uri):
    return websockets.connect(uri, ssl=client_ssl(), ping_interval=None, max_size=None,
                              close_timeout=CLOSE_TIMEOUT)


async def stay():
    print("sent", flush=True)
    await asyncio.sleep(60)


async def send(uri, messages):
    ws = await connect(uri)
    for m in messages:
        await ws.send(m)
    await stay()


async def hold(uri, n):
    conns = [await connect(uri) for _ in range(n)]
    print("open", n, flush=True)
    for ws in conns:
        while ws.close_rcvd is None:
            await asyncio.sleep(0.01)
        print("closed", ws.close_rcvd.code, repr(ws.close_rcvd.reason), flush=True)
    # Gone without waiting for the TLS shutdown (see the note above).
    os._exit(0)


async def flood_one(uri, k, count):
    ws = await connect(uri)
    for i in range(count):
        await ws.send('{"fromhost":"c%d","seq":%d}' % (k, i))
    return ws


def drop_payload(k, i):
    return '{"fromhost":"d%d","seq":%d,"pad":"%s"}' % (k, i, "x" * ((37 * k + 101 * i) % 20000))


async def drop_one(uri, k, count):
    await asyncio.sleep(random.uniform(0, 0.5))
    host, port = uri.split("://")[1].rsplit(":", 1)
    how = random.choice(["tcp", "tls", "ws"])
    try:
        if how == "ws":
            ws = await connect(uri)
            for i in range(random.randint(0, count)):
                await ws.send(drop_payload(k, i))
            transport = ws.transport
        else:
            _, writer = await asyncio.open_connection(host, int(port),
                                                      ssl=client_ssl() if how == "tls" else None)
            transport = writer.transport
        transport.abort()
    except (OSError, websockets.WebSocketException):
        pass  # a connection that is being cut may fail first: it is not one that stays


async def flood(uri, conns, count, drops=0):
    keep = [flood_one(uri, k, count) for k in range(conns)]
    cut = [drop_one(uri, k, count) for k in range(drops)]
    _ = await asyncio.gather(*keep, *cut)
    await stay()


async def serve(port, cert, key):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    done = asyncio.get_running_loop().create_future()

    async def handler(ws, _path=None):
        await ws.send("hello")
        await ws.wait_closed()
        if not done.done():
            done.set_result((ws.close_code, ws.close_reason))

    async with websockets.serve(handler, "127.0.0.1", port, ssl=ctx, ping_interval=None):
        print("ready", flush=True)
        code, reason = await done
        print("close", code, reason, flush=True)


async def limits(uri):
    conns = []
    for _ in range(3):
        try:
            conns.append(await connect(uri))
            print("open", flush=True)
        except (OSError, websockets.WebSocketException):
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
    conns = [await asyncio.open_connection(host, port) for _ in range(n)]
    await asyncio.sleep(seconds)
    for _, writer in conns:
        writer.transport.abort()
    print("closed", flush=True)
    await asyncio.sleep(60)


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
    async def handle(client_reader, client_writer):
        await asyncio.sleep(seconds)
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream)
        await asyncio.gather(pipe(client_reader, up_writer), pipe(up_reader, client_writer))

    server = await asyncio.start_server(handle, "127.0.0.1", port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "send":
        asyncio.run(send(args[0], args[1:]))
    elif mode == "hold":
        asyncio.run(hold(args[0], int(args[1])))
    elif mode == "storm":
        asyncio.run(flood(args[0], int(args[1]), int(args[3]), int(args[2])))
    elif mode == "serve":
        asyncio.run(serve(int(args[0]), args[1], args[2]))
    elif mode == "limits":
        asyncio.run(limits(args[0]))
    elif mode == "idle":
        asyncio.run(idle(args[0], int(args[1]), int(args[2]), float(args[3])))
    elif mode == "delay":
        asyncio.run(delay(int(args[0]), int(args[1]), float(args[2])))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()

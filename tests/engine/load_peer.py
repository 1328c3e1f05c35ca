#!/usr/bin/python3
"""Both ends of the relay load tests, on 127.0.0.1.

  load_peer.py echo
      An echo server with the system's largest backlog; prints its port on
      the first line, then runs until stdin closes.
  load_peer.py clients PORT N BYTES
      N clients connect at once, each sends BYTES random bytes in random
      chunk sizes while reading the echo; prints "ok N" or what failed.
  load_peer.py churn PORT ROUNDS
      Opens a long-lived connection per round while a short one is being
      closed, then checks that every long-lived one still echoes both ways;
      prints "ok" or what failed.
  load_peer.py limit PORT N BYTES WANT
      N clients connect at once and each sends BYTES; the echoed ones stay
      open until WANT have been echoed (or every client is echoed or ended),
      then all close, and each client served later closes at once. A client
      ended without data counts as refused. Then one more client must be
      echoed. Prints "ok served=S concurrent=C refused=R" or what failed.
  load_peer.py sink
      A server that accepts every connection and reads nothing, with a small
      receive buffer, so that what is sent to it stays unacknowledged; prints
      its port, then for each line on stdin how many connections it has
      accepted (after closing all it holds when the line is "close"), and
      runs until stdin closes.
  load_peer.py stalled PORT N BYTES ECHO_PORT
      N clients one after another each send BYTES to PORT and close in order;
      after each, a new client to ECHO_PORT must have a few bytes echoed
      within 30 s: room for it may have to wait until a stalled delivery has
      been idle for the program's minimum of 10 s. Prints "ok slowest=S" or
      what failed.
"""
import asyncio
import os
import random
import resource
import selectors
import socket
import sys
import threading
import time


async def echo_server():
    async def handle(reader, writer):
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=socket.SOMAXCONN)
    print(server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


async def one_client(port, size, seed):
    rng = random.Random(seed)
    data = rng.randbytes(size)
    reader, writer = await asyncio.open_connection("127.0.0.1", port)

    async def send():
        pos = 0
        while pos < size:
            n = min(size - pos, rng.randint(1, 65536))
            writer.write(data[pos:pos + n])
            await writer.drain()
            pos += n

    async def receive():
        got = bytearray()
        while len(got) < size:
            chunk = await reader.read(1 << 20)
            if not chunk:
                break
            got += chunk
        return bytes(got)

    _, back = await asyncio.gather(send(), receive())
    writer.close()
    if back != data:
        return "client %d: %d of %d bytes back%s" % (seed, len(back), size, "" if len(back) != size else ", differing")
    return None


async def clients(port, count, size):
    results = await asyncio.gather(*(one_client(port, size, i) for i in range(count)), return_exceptions=True)
    failures = [str(r) for r in results if r is not None]
    print("ok %d" % count if not failures else "%d failed: %s" % (len(failures), failures[0]), flush=True)


async def exchange(reader, writer, payload):
    writer.write(payload)
    await writer.drain()
    return await asyncio.wait_for(reader.readexactly(len(payload)), 10)


async def churn(port, rounds):
    keep = []
    for i in range(rounds):
        short_r, short_w = await asyncio.open_connection("127.0.0.1", port)
        await exchange(short_r, short_w, b"short %d" % i)
        short_w.close()
        # The proxy closes both sides of the short one while this one opens.
        keep.append(await asyncio.open_connection("127.0.0.1", port))
    await asyncio.sleep(0)
    for i, (r, w) in enumerate(keep):
        payload = os.urandom(1000) + b"long %d" % i
        try:
            if await exchange(r, w, payload) != payload:
                print("connection %d echoed wrong bytes" % i, flush=True)
                return
        except (asyncio.IncompleteReadError, asyncio.TimeoutError, ConnectionError) as e:
            print("connection %d lost a direction: %r" % (i, e), flush=True)
            return
    for _, w in keep:
        w.close()
    print("ok", flush=True)


class LimitClient:
    def __init__(self, index, port, size):
        self.index = index
        self.payload = os.urandom(size)
        self.sent = 0
        self.got = bytearray()
        self.state = "open"   # open, served, refused, failed, closed
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setblocking(False)
        self.sock.connect_ex(("127.0.0.1", port))


def limit(port, count, size, want):
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    sel = selectors.DefaultSelector()
    clients = [LimitClient(i, port, size) for i in range(count)]
    for c in clients:
        sel.register(c.sock, selectors.EVENT_READ | selectors.EVENT_WRITE, c)
    failures = []
    keep_open = True
    concurrent = 0

    def finish(c, state):
        c.state = state
        sel.unregister(c.sock)
        if state != "served" or not keep_open:
            c.sock.close()

    def step(timeout):
        for key, events in sel.select(timeout):
            c = key.data
            if events & selectors.EVENT_WRITE and c.sent < size:
                try:
                    c.sent += c.sock.send(c.payload[c.sent:])
                except BlockingIOError:
                    pass
                except OSError:
                    finish(c, "refused" if not c.got else "failed")
                    continue
                if c.sent == size:
                    sel.modify(c.sock, selectors.EVENT_READ, c)
            if events & selectors.EVENT_READ:
                try:
                    data = c.sock.recv(65536)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if not data:
                    finish(c, "refused" if not c.got else "failed")
                    if c.state == "failed":
                        failures.append("client %d ended after %d of %d bytes" % (c.index, len(c.got), size))
                    continue
                c.got += data
                if len(c.got) >= size:
                    if bytes(c.got) != c.payload:
                        failures.append("client %d echoed wrong bytes" % c.index)
                        finish(c, "failed")
                    else:
                        finish(c, "served")

    def count(state):
        return sum(1 for c in clients if c.state == state)

    # Only a failure waits out these bounds.
    deadline = time.monotonic() + 60
    while count("served") < want and count("open") and time.monotonic() < deadline and not failures:
        step(0.5)
    concurrent = count("served")
    keep_open = False
    for c in clients:
        if c.state == "served":
            c.sock.close()
    deadline = time.monotonic() + 120
    while count("open") and time.monotonic() < deadline and not failures:
        step(0.5)
    if failures:
        print("failed: %s" % failures[0], flush=True)
        return
    if count("open"):
        print("%d clients never served" % count("open"), flush=True)
        return
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            payload = os.urandom(size)
            s.sendall(payload)
            back = bytearray()
            while len(back) < size:
                chunk = s.recv(65536)
                if not chunk:
                    break
                back += chunk
            if bytes(back) != payload:
                print("a client after the others left got %d of %d bytes" % (len(back), size), flush=True)
                return
    except OSError as e:
        print("a client after the others left failed: %r" % e, flush=True)
        return
    print("ok served=%d concurrent=%d refused=%d" % (count("served") + count("closed"), concurrent, count("refused")),
          flush=True)


def sink():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    listener.bind(("127.0.0.1", 0))
    listener.listen(socket.SOMAXCONN)
    held = []

    def accept():
        while True:
            held.append(listener.accept()[0])

    threading.Thread(target=accept, daemon=True).start()
    print(listener.getsockname()[1], flush=True)
    for line in sys.stdin:
        if line.strip() == "close":
            # Unread data makes each close a reset.
            for c in list(held):
                c.close()
        print(len(held), flush=True)


def stalled(port, count, size, echo_port):
    payload = os.urandom(size)
    slowest = 0.0
    for i in range(count):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
                s.sendall(payload)
        except OSError as e:
            print("client %d could not send: %r" % (i, e), flush=True)
            return
        start = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", echo_port), timeout=30) as s:
                s.sendall(b"probe %d" % i)
                back = b""
                while len(back) < len(b"probe %d" % i):
                    chunk = s.recv(64)
                    if not chunk:
                        break
                    back += chunk
        except OSError as e:
            print("the echo port did not answer within 30 s after client %d: %r" % (i, e), flush=True)
            return
        if back != b"probe %d" % i:
            print("the echo port answered %r after client %d" % (back, i), flush=True)
            return
        slowest = max(slowest, time.monotonic() - start)
    print("ok slowest=%.3f" % slowest, flush=True)


def main():
    mode = sys.argv[1]
    if mode == "echo":
        asyncio.run(echo_server())
    elif mode == "clients":
        asyncio.run(clients(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])))
    elif mode == "churn":
        asyncio.run(churn(int(sys.argv[2]), int(sys.argv[3])))
    elif mode == "limit":
        limit(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    elif mode == "sink":
        sink()
    elif mode == "stalled":
        stalled(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))


if __name__ == "__main__":
    main()

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
"""
import asyncio
import os
import random
import socket
import sys


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


def main():
    mode = sys.argv[1]
    if mode == "echo":
        asyncio.run(echo_server())
    elif mode == "clients":
        asyncio.run(clients(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])))
    elif mode == "churn":
        asyncio.run(churn(int(sys.argv[2]), int(sys.argv[3])))


if __name__ == "__main__":
    main()

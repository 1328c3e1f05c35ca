#!/usr/bin/python3
"""Servers that reset, and clients that reach them through the relay.

  reset_peer.py banner SERVER_PORT PROXY_PORT TRIALS
      Each trial: a client connects through the relay; the server writes a
      block and resets the connection at once.
  reset_peer.py upload SERVER_PORT PROXY_PORT TRIALS
      Each trial: a client connects through the relay and uploads without
      end, and reads nothing yet; the server reads a little of the upload,
      writes a large block for as long as the relay takes it, and resets
      while the upload goes on. Only then does the client read, so that the
      relay holds much of the block, unread or unsent, when the reset comes.
  The client must receive every byte of the block that the relay's end
  acknowledged before the reset, and nothing else. Prints "ok" or what the
  first failing trial received.
"""
import fcntl
import os
import queue
import select
import socket
import struct
import sys
import termios
import threading
import time

LIMIT = 30  # seconds; only a failure waits this long


def unsent(sock):
    return struct.unpack("i", fcntl.ioctl(sock, termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def settle(conn):
    """Waits until the relay has taken what it will take; returns how much
    of the written data is still ours (unsent or unacknowledged)."""
    last, still = unsent(conn), 0
    deadline = time.monotonic() + LIMIT
    while last and still < 30 and time.monotonic() < deadline:
        time.sleep(0.01)
        now = unsent(conn)
        still = still + 1 if now == last else 0
        last = now
    return last


def serve(listener, mode, blocks, results):
    for block in blocks:
        conn, _ = listener.accept()
        conn.settimeout(LIMIT)
        if mode == "upload":
            seen = 0
            while seen < 64 * 1024:
                data = conn.recv(65536)
                if not data:
                    break
                seen += len(data)
            # Write while the relay takes it; stop once it stalls.
            conn.setblocking(False)
            written = 0
            while written < len(block):
                try:
                    written += conn.send(block[written:written + 65536])
                except BlockingIOError:
                    if not select.select([], [conn], [], 0.3)[1]:
                        break
        else:
            conn.sendall(block)
            written = len(block)
        delivered = written - settle(conn)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        results.put(block[:delivered])


def upload(sock, stop):
    chunk = b"u" * 65536
    sent = 0
    try:
        while not stop.is_set() and sent < 256 * 1024 * 1024:
            sent += sock.send(chunk)
    except OSError:
        pass


def main():
    mode, server_port, proxy_port, trials = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    size = 1000 if mode == "banner" else 16 * 1024 * 1024
    blocks = [os.urandom(size) for _ in range(trials)]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", server_port))
    listener.listen(16)
    listener.settimeout(LIMIT)
    results = queue.Queue()
    threading.Thread(target=serve, args=(listener, mode, blocks, results), daemon=True).start()
    for i in range(trials):
        client = socket.create_connection(("127.0.0.1", proxy_port), timeout=LIMIT)
        stop = threading.Event()
        uploader = None
        if mode == "upload":
            uploader = threading.Thread(target=upload, args=(client, stop), daemon=True)
            uploader.start()
            expected = results.get(timeout=LIMIT)
        got = bytearray()
        try:
            while True:
                data = client.recv(1 << 20)
                if not data:
                    break
                got += data
        except OSError:
            pass
        stop.set()
        if uploader:
            uploader.join(LIMIT)
        client.close()
        if mode != "upload":
            expected = results.get(timeout=LIMIT)
        if bytes(got) != expected or len(expected) < min(size, 64 * 1024):
            print("trial %d: %d of %d bytes%s" % (i, len(got), len(expected),
                                                   ", differing" if len(got) == len(expected) else ""), flush=True)
            return
    print("ok", flush=True)


if __name__ == "__main__":
    main()

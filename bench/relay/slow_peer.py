#!/usr/bin/env python3
"""A peer that reads slowly, or not at all, after the other has left, through
a real TessalyApp (offscreen, a settings store of its own). Not a test: the
cases take minutes, as the program's 30 s bound is not shortened.

  slow_peer.py APP s2c pass|http STEP PERIOD SECONDS
      a server sends 14 MB and closes; its client reads 6 MB at full speed,
      then STEP bytes every PERIOD s for SECONDS s, then to the end
  slow_peer.py APP c2s pass STEP PERIOD SECONDS
      a client sends 3 MB and half-closes; the server reads STEP bytes every
      PERIOD s for SECONDS s, then to the end
  slow_peer.py APP gone
      a client sends for 3 s to a server that never reads, then resets: how
      long the program's socket to that server lives on
  slow_peer.py APP reset server|client [direct]
      a server (32 KiB receive buffer) sends 3 MB, half-closes and never
      reads; its client sends 2 MB (what goes), reads 1 MB, then nothing.
      3 s after the half-close the server (or the client) resets: how long
      until the other peer's socket is closed (watched for 360 s). With
      direct, the same peers with no program between them.

Prints what arrived (and whether byte-exact), or how long the socket lived.
"""
import errno
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from paused_readers import start, stop  # noqa: E402  (a program with one port of its own)

SMALL_RCVBUF = 32 * 1024   # set on the listener, so the kernel cannot take what the server never reads
RESET_CAP = 360
TCP_CLOSE = 7


def read_slowly(sock, fast_first, step, period, seconds):
    got = bytearray()
    while len(got) < fast_first:
        b = sock.recv(65536)
        if not b:
            return got, "end"
        got += b
    t0 = time.time()
    while time.time() - t0 < seconds:
        time.sleep(period)
        b = sock.recv(step)
        if not b:
            return got, "end"
        got += b
    while True:
        try:
            b = sock.recv(1 << 20)
        except ConnectionResetError:
            return got, "reset"
        if not b:
            return got, "end"
        got += b


def send_what_goes(sock, size, stall):
    """Sends up to size bytes without blocking, until the socket takes nothing for
    `stall` seconds; returns how many it took."""
    sock.setblocking(False)
    sent, chunk = 0, b"x" * 65536
    while sent < size:
        try:
            sent += sock.send(chunk[:size - sent])
        except BlockingIOError:
            if not select.select([], [sock], [], stall)[1]:
                break
    sock.setblocking(True)
    return sent


def tcp_state(sock):
    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0]


def reset_case(app, who, direct):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SMALL_RCVBUF)
    listener.bind(("127.0.0.1", 0))
    listener.listen(5)
    listener.settimeout(10)
    proc, port = (None, listener.getsockname()[1]) if direct else start(app, "pass", listener.getsockname()[1])
    try:
        if proc:
            listener.accept()[0].close()   # the start-up probe went through to us
        client = socket.create_connection(("127.0.0.1", port), 10)
        server = listener.accept()[0]
        half_closed = {}

        def serve():
            half_closed["sent"] = send_what_goes(server, 3_000_000, 5)
            server.shutdown(socket.SHUT_WR)
            half_closed["at"] = time.time()
        client_sent = send_what_goes(client, 2_000_000, 1)
        sender = threading.Thread(target=serve, daemon=True)
        sender.start()
        client.settimeout(60)
        got = 0
        while got < 1_000_000:
            b = client.recv(1_000_000 - got)
            if not b:
                break
            got += len(b)
        sender.join(90)
        if "at" not in half_closed:
            return "the server never half-closed"
        time.sleep(max(0.0, half_closed["at"] + 3 - time.time()))
        gone, other = (server, client) if who == "server" else (client, server)
        before = tcp_state(other)
        gone.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        gone.close()
        t0 = time.time()
        name = "client" if who == "server" else "server"
        amounts = (f"(the server sent {half_closed['sent']} B; the client sent {client_sent} B, "
                   f"read {got} B)")
        while time.time() - t0 < RESET_CAP:
            state = tcp_state(other)
            if state == TCP_CLOSE:
                # A reset leaves ECONNRESET, or EPIPE once the peer's FIN had come in.
                err = other.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                how = ("reset" if err in (errno.ECONNRESET, errno.EPIPE) else "closed in order" if err == 0
                       else f"closed ({errno.errorcode.get(err, err)})")
                return (f"{name} {how} (from TCP state {before}) {time.time() - t0:.1f} s after the "
                        f"{who}'s reset {amounts}")
            before = state
            time.sleep(0.1)
        return (f"{name} still connected (TCP state {tcp_state(other)}) after {RESET_CAP} s "
                f"{amounts}")
    finally:
        stop(proc)


def main():
    app, mode = sys.argv[1], sys.argv[2]
    if mode == "reset":
        who, direct = sys.argv[3], sys.argv[4:] == ["direct"]
        if who not in ("server", "client") or sys.argv[4:] not in ([], ["direct"]):
            sys.exit(__doc__)
        line = reset_case(app, who, direct)
        print(f"reset {who} via={'direct' if direct else 'program'}: {line}", flush=True)
        return
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(5)
    listener.settimeout(10)
    server_port = listener.getsockname()[1]
    proto = sys.argv[3] if mode != "gone" else "pass"
    proc, port = start(app, proto, server_port)
    if proto == "pass":
        listener.accept()[0].close()   # the start-up probe went through to us
    client = socket.create_connection(("127.0.0.1", port))
    if proto == "http":
        client.sendall(f"GET http://127.0.0.1:{server_port}/ HTTP/1.0\r\n\r\n".encode())
    server, _ = listener.accept()
    if proto == "http":
        head = b""
        while b"\r\n\r\n" not in head:
            head += server.recv(4096)

    if mode == "gone":
        client.setblocking(False)
        sent, t = 0, time.time()
        while time.time() - t < 3:
            try:
                sent += client.send(b"x" * 65536)
            except BlockingIOError:
                time.sleep(0.01)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
        t0 = time.time()
        while time.time() - t0 < 120:
            rows = subprocess.run(["ss", "-tn", "state", "all", f"dport = :{server_port}"],
                                  capture_output=True, text=True).stdout.strip().splitlines()[1:]
            if not [r for r in rows if "TIME-WAIT" not in r]:
                print(f"gone: {sent} bytes sent, then a reset; the program's socket to the server "
                      f"lived {time.time() - t0:.1f} s more")
                break
            time.sleep(0.5)
        else:
            print("gone: the program's socket to the server still lives after 120 s")
    else:
        step, period, seconds = int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
        size = 14_000_000 if mode == "s2c" else 3_000_000
        data = os.urandom(size)
        t0 = time.time()
        if mode == "s2c":
            def send():
                try:
                    server.sendall(data)
                except OSError:
                    pass
                server.close()
            threading.Thread(target=send, daemon=True).start()
            got, how = read_slowly(client, 6_000_000, step, period, seconds)
        else:
            def send():
                client.sendall(data)
                client.shutdown(socket.SHUT_WR)
            threading.Thread(target=send, daemon=True).start()
            got, how = read_slowly(server, 0, step, period, seconds)
        exact = "byte-exact" if bytes(got) == data else "SHORT"
        print(f"{mode} {proto} {step} B every {period} s for {seconds} s: {len(got)} of {size} bytes, "
              f"{exact}, then {how}, {time.time() - t0:.0f} s")
    proc.stdin.close()
    proc.wait(30)


main()

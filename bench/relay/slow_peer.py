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

Prints what arrived (and whether byte-exact), or how long the socket lived.
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time


def start(app, proto, server_port):
    home = tempfile.mkdtemp()
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    os.makedirs(home + "/config/Tessaly")
    with open(home + "/config/Tessaly/Tessaly.ini", "w") as f:
        f.write("[FirstRun]\nFirstRun=False\n[Options]\nShowConfigAtStartUp=0\n")
        if proto == "http":
            f.write(f"[Protocols]\n{port}=HTTP\n[PortsInUse]\n{port}=Slow\n")
        else:
            f.write(f"[Protocols]\n{port}=Pass Through\n"
                    f"Pass%20Through\\Port%20{port}\\Server=127.0.0.1\n"
                    f"Pass%20Through\\Port%20{port}\\Port={server_port}\n[PortsInUse]\n{port}=Slow\n")
    env = dict(os.environ, XDG_CONFIG_HOME=home + "/config", XDG_DATA_HOME=home + "/data",
               QT_QPA_PLATFORM="offscreen", TSY_AUTO_ANSWER="1", TSY_QUIT_ON_EOF="1")
    proc = subprocess.Popen([app], env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return proc, port
        except OSError:
            time.sleep(0.1)
    sys.exit("the program never listened")


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


def main():
    app, mode = sys.argv[1], sys.argv[2]
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

#!/usr/bin/env python3
"""Clients that leave data behind at a server that never reads, through a real
TessalyApp (offscreen, a settings store of its own) held to a low limit of
open descriptors. Not a test: a run takes up to some 7 minutes.

  descriptor_room.py APP [direct] [--clients 220] [--limit 256]

The program has two Pass Through ports: one to a sink that accepts every
connection and never reads (8 KiB receive buffer), one to an echo server.
The clients, one started every 0.1 s, each connect to the sink's port, send
100 KB and close in order; meanwhile every 0.5 s a probe sends a few bytes
to the echo port and waits for them (up to 400 s). With direct, the same
clients and probes go straight to the servers.

Prints how many clients the sink has accepted 5, 30, 60 s ... after the last
client closed (until all are, or 360 s), the probes' slowest answer and how
many took over 5 s, and the program's error log at its end.
"""
import argparse
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from paused_readers import start, stop  # noqa: E402

SINK_RCVBUF = 8 * 1024   # set on the listener: what a client sends stays unacknowledged at the program
CLIENT_GAP, PROBE_GAP, PROBE_CAP, WATCH = 0.1, 0.5, 400, 360
CHECKS = (5, 30, 60, 120, 180, 240, 300, 360)


def serve(handler, rcvbuf=0):
    """A listener on an OS-picked port; each connection goes to handler in a thread."""
    lst = socket.socket()
    if rcvbuf:
        lst.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    lst.bind(("127.0.0.1", 0))
    lst.listen(4096)

    def run():
        while True:
            conn = lst.accept()[0]
            threading.Thread(target=handler, args=(conn,), daemon=True).start()
    threading.Thread(target=run, daemon=True).start()
    return lst.getsockname()[1]


def echo(conn):
    try:
        while b := conn.recv(65536):
            conn.sendall(b)
    except OSError:
        pass
    conn.close()


def client(port, data, failures):
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=120)
        s.sendall(data)
        s.close()
    except OSError as e:
        failures.append(repr(e))


def probe(port, answers):
    """Appends how long a few bytes took to come back, or None for no answer within the cap."""
    t0, answer = time.time(), None
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=PROBE_CAP) as s:
            s.settimeout(max(1.0, PROBE_CAP - (time.time() - t0)))
            s.sendall(b"probe")
            got = b""
            while len(got) < 5 and (b := s.recv(5 - len(got))):
                got += b
            if got == b"probe":
                answer = time.time() - t0
    except OSError:
        pass
    answers.append(answer)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("app")
    ap.add_argument("direct", nargs="?", choices=["direct"])
    ap.add_argument("--clients", type=int, default=220)
    ap.add_argument("--limit", type=int, default=256)
    a = ap.parse_args()

    sink = []   # accepted connections, held open and never read

    sink_port, echo_port = serve(sink.append, SINK_RCVBUF), serve(echo)
    proc = None
    if not a.direct:
        proc, sink_port = start(os.path.abspath(a.app), "pass", sink_port, [echo_port], a.limit)
        echo_port = proc.ports[1]
        t = time.time()
        while not sink and time.time() - t < 10:   # the start-up probe going through
            time.sleep(0.1)
        time.sleep(0.5)
    base = len(sink)

    data = os.urandom(100_000)
    failures, answers, clients, probes = [], [], [], []
    t0 = next_probe = time.time()
    for i in range(a.clients):
        clients.append(threading.Thread(target=client, args=(sink_port, data, failures), daemon=True))
        clients[-1].start()
        while time.time() < t0 + (i + 1) * CLIENT_GAP:
            if time.time() >= next_probe:
                probes.append(threading.Thread(target=probe, args=(echo_port, answers), daemon=True))
                probes[-1].start()
                next_probe += PROBE_GAP
            time.sleep(0.01)
    for c in clients:
        c.join(max(0.0, t0 + 300 - time.time()))
    last = time.time()

    counts, all_at = [], None
    while True:
        since, accepted = time.time() - last, len(sink) - base
        while len(counts) < len(CHECKS) and since >= CHECKS[len(counts)]:
            counts.append(f"{accepted} at +{CHECKS[len(counts)]} s")
        if accepted >= a.clients and all_at is None:
            all_at = since
        if (all_at is not None and len(answers) == len(probes)) or since >= WATCH:
            break
        time.sleep(0.1)
    err = stop(proc)

    via = "direct" if a.direct else f"program limit={a.limit}"
    end = (f"all {a.clients} at +{all_at:.1f} s" if all_at is not None
           else f"{len(sink) - base} at the end, +{time.time() - last:.0f} s")
    print(f"descriptor_room via={via}: {a.clients} clients of 100 KB sent in {last - t0:.1f} s "
          f"({len(failures)} failed{': ' + failures[0] if failures else ''}); "
          f"the sink accepted {', '.join(counts + [end])}")
    took = [t for t in answers if t is not None]
    print(f"  probes: {len(probes)}, slowest {max(took, default=0):.1f} s, "
          f"{sum(t > 5 for t in took)} over 5 s, {len(probes) - len(took)} unanswered")
    if proc:
        log = err[err.find("TSY_ERRORLOG"):] if "TSY_ERRORLOG" in err else "(no error log printed)"
        for line in log.strip().splitlines():
            print(f"  error log: {line}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()

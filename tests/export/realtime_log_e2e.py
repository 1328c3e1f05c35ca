#!/usr/bin/python3
"""Traffic for the real-time log's end-to-end test, and the check of the log.

  realtime_log_e2e.py traffic PASS_PORT ECHO_PORT HTTP_PORT POP3_PORT COUNT EXPECTED
      Serves an echo server on ECHO_PORT, sends COUNT payloads of random bytes
      through the Pass Through port, each on its own connection, and reads
      each echo back whole before closing; then one HTTP request and one POP3
      USER line whose server names hold a quote, a comma and a line break.
      Writes the payloads, one hex line each, to EXPECTED.
  realtime_log_e2e.py check LOG EXPECTED PASS_PORT
      Reads LOG with the csv module and checks it against EXPECTED.
Exit status 0 when everything held; the reasons otherwise on stderr.
"""
import csv
import random
import socket
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HEADER = ["Start Time", "Connection Id", "Protocol", "Listening Port", "Remote Client IP",
          "Remote Client Name", "Remote Client Port", "Remote Server IP", "Remote Server Name",
          "Remote Server Port", "Event Type", "Description", "Err No.", "Error String", "Data"]
TIMEOUT = 60.0
HTTP_HOST = b'a"b,c'
POP3_SERVER = b'x",y\nz'


def echo_server(port):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(256)

    def serve(c):
        with c:
            while True:
                d = c.recv(65536)
                if not d:
                    return
                c.sendall(d)

    def accept():
        while True:
            c, _ = srv.accept()
            threading.Thread(target=serve, args=(c,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()


def payload(rng, i):
    """Every byte value, CR, LF, quotes and commas; never a literal escape."""
    size = 100 * 1024 if i % 200 == 0 else rng.randint(1, 3000)
    body = rng.randbytes(size).replace(b"<", b"(")
    extra = bytes(range(256)) + b'\r\n\r"",,\n\r' if i % 10 == 0 else b'"\r\n,'
    return b"#%06d#" % i + extra + body


def connect(port, deadline):
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        except ConnectionRefusedError:
            # The program may not be listening yet.
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def read_to_end(s):
    got = b""
    while True:
        d = s.recv(65536)
        if not d:
            return got
        got += d


def one_connection(port, data):
    with connect(port, time.monotonic() + TIMEOUT) as s:
        s.sendall(data)
        got = b""
        while len(got) < len(data):
            d = s.recv(65536)
            if not d:
                break
            got += d
        if got != data:
            raise RuntimeError("echo differs: %d of %d bytes" % (len(got), len(data)))
        # Our side closes; the proxy's close answers it once it has logged it.
        s.shutdown(socket.SHUT_WR)
        read_to_end(s)


def traffic(pass_port, echo_port, http_port, pop3_port, count, expected):
    echo_server(echo_port)
    rng = random.Random(20)
    payloads = [payload(rng, i) for i in range(count)]
    one_connection(pass_port, payloads[0])   # waits until the program listens
    with ThreadPoolExecutor(max_workers=16) as pool:
        for f in [pool.submit(one_connection, pass_port, p) for p in payloads[1:]]:
            f.result()

    with connect(http_port, time.monotonic() + TIMEOUT) as s:
        s.sendall(b"GET http://" + HTTP_HOST + b"/ HTTP/1.0\r\n\r\n")
        read_to_end(s)
    with connect(pop3_port, time.monotonic() + TIMEOUT) as s:
        greeting = b""
        while not greeting.endswith(b"\r\n"):
            d = s.recv(1024)
            if not d:
                break
            greeting += d
        s.sendall(b"USER a#" + POP3_SERVER + b"\r\n")
        read_to_end(s)

    with open(expected, "w") as f:
        for p in payloads:
            f.write(p.hex() + "\n")
    return 0


def unescape(field):
    return field.replace("<13>", "\r").replace("<10>", "\n").replace("<34>", '"').encode("latin-1")


def check(log, expected, pass_port):
    problems = []
    with open(expected) as f:
        wanted = {bytes.fromhex(line.strip()) for line in f if line.strip()}
    with open(log, encoding="latin-1", newline="") as f:
        rows = list(csv.reader(f))
    if not rows or rows[0] != HEADER:
        problems.append("the first row is not the header: %r" % (rows[:1],))
    if sum(1 for r in rows if r == HEADER) != 1:
        problems.append("the header appears %d times" % sum(1 for r in rows if r == HEADER))
    bad = [r for r in rows if len(r) != 15]
    if bad:
        problems.append("%d rows without 15 fields, first %r" % (len(bad), bad[0]))

    by_id = {}
    for r in rows[1:]:
        if len(r) == 15:
            by_id.setdefault(r[1], []).append(r)
    found = {}
    for cid, rs in by_id.items():
        if rs[0][2] != "Pass Through" or rs[0][3] != str(pass_port):
            continue
        sent = b"".join(unescape(r[14]) for r in rs if r[10] == "16")
        echoed = b"".join(unescape(r[14]) for r in rs if r[10] == "9")
        types = [int(r[10]) for r in rs]
        if sent not in wanted:
            problems.append("%s: its client data matches no payload (%d bytes)" % (cid, len(sent)))
            continue
        if echoed != sent:
            problems.append("%s: echoed %d bytes, sent %d" % (cid, len(echoed), len(sent)))
        if types[0] != 0:
            problems.append("%s: starts with type %d" % (cid, types[0]))
        if 7 not in types or not ({6, 8} & set(types)):
            problems.append("%s: disconnection rows missing, types %r" % (cid, types))
        if sent in found:
            problems.append("%s and %s carry the same payload" % (found[sent], cid))
        found[sent] = cid
    if len(found) != len(wanted):
        problems.append("%d of %d connections found" % (len(found), len(wanted)))

    texts = [",".join(r) for r in rows[1:]]
    if not any(r[2] == "HTTP" and "a<34>b,c" in ",".join(r) for r in rows[1:]):
        problems.append("no HTTP row names the host a<34>b,c")
    if not any(r[2] == "POP3" and "x<34>,y<10>z" in ",".join(r) for r in rows[1:]):
        problems.append("no POP3 row names the server x<34>,y<10>z")
    if any("\r" in t or "\n" in t or '"' in t for t in texts):
        problems.append("a field holds a raw CR, LF or quote")
    for p in problems[:20]:
        print(p, file=sys.stderr)
    print("%d rows, %d connections checked" % (len(rows), len(found)))
    return 1 if problems else 0


if __name__ == "__main__":
    a = sys.argv
    if a[1] == "traffic":
        sys.exit(traffic(int(a[2]), int(a[3]), int(a[4]), int(a[5]), int(a[6]), a[7]))
    sys.exit(check(a[2], a[3], int(a[4])))

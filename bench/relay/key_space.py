#!/usr/bin/env python3
"""Every pair key in use, through a real TessalyApp (offscreen, a settings
store of its own, nothing purged). Not a test: it makes some 65,600
connections, a few minutes.

  key_space.py APP [--conns 300000] [--seconds 900] [--lines 4] [--timeout 3] [--flood 30]

Clients connect one after another (in --lines lines at a time) through a Pass Through port to a server
that closes at once. A second Pass Through port leads to an echo server.
Prints, as it goes, the rate and the program's CPU. Once requests stop being
served, the clients go on for --flood seconds while the other port is probed
every 2 s, by a new connection and by an echo over a connection made at the
start: how those requests and probes end and how long they take, and the
program's CPU meanwhile; then its CPU with nobody asking, and at the end the
number of entries in its error log.
"""
import argparse
import errno
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def server(handler, inline=False):
    lst = socket.socket()
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind(("127.0.0.1", 0))
    lst.listen(4096)

    def run():
        while True:
            c, _ = lst.accept()
            if inline:
                handler(c)
                continue
            threading.Thread(target=handler, args=(c,), daemon=True).start()
    threading.Thread(target=run, daemon=True).start()
    return lst.getsockname()[1]


def closer(c):
    c.close()


def echo(c):
    try:
        while True:
            b = c.recv(65536)
            if not b:
                break
            c.sendall(b)
    except OSError:
        pass
    c.close()


def pass_through(f, port, target, name):
    f.write(f"{port}=Pass Through\n")
    return (f"Pass%20Through\\Port%20{port}\\Server=127.0.0.1\n"
            f"Pass%20Through\\Port%20{port}\\Port={target}\n"), f"{port}={name}\n"


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def attempt(port, timeout, data=b""):
    """How one connection ends: served (the relay's orderly end, or the echo),
    reset, refused (no handshake), timeout; and how long it took."""
    t0 = time.monotonic()
    s = socket.socket()
    s.settimeout(timeout)
    try:
        s.connect(("127.0.0.1", port))
        if data:
            s.sendall(data)
        got = b""
        while True:
            b = s.recv(65536)
            if not b:
                break
            got += b
            if data and len(got) >= len(data):
                break
        outcome = "served"
    except socket.timeout:
        outcome = "timeout"
    except ConnectionResetError:
        outcome = "reset"
    except ConnectionRefusedError:
        outcome = "refused"
    except OSError as e:
        outcome = errno.errorcode.get(e.errno, str(e))
    finally:
        s.close()
    return outcome, time.monotonic() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("app")
    ap.add_argument("--conns", type=int, default=300000)
    ap.add_argument("--seconds", type=float, default=900)
    ap.add_argument("--timeout", type=float, default=3.0, help="bound of one connection")
    ap.add_argument("--flood", type=float, default=30, help="seconds of requests once none is served")
    ap.add_argument("--lines", type=int, default=4, help="clients at a time, each after the one before")
    a = ap.parse_args()

    closing_port, echo_port = server(closer, inline=True), server(echo)
    port, probe_port = free_port(), free_port()
    home = tempfile.mkdtemp()
    os.makedirs(home + "/config/Tessaly")
    with open(home + "/config/Tessaly/Tessaly.ini", "w") as f:
        # Nothing purged: the README's way.
        f.write("[FirstRun]\nFirstRun=False\n[Options]\nShowConfigAtStartUp=0\n"
                "NumberToKeep=99999999999\nMaxMemorySize=none\n[Protocols]\n")
        s1, p1 = pass_through(f, port, closing_port, "Closing")
        s2, p2 = pass_through(f, probe_port, echo_port, "Probe")
        f.write(s1 + s2 + "[PortsInUse]\n" + p1 + p2)
    env = dict(os.environ, XDG_CONFIG_HOME=home + "/config", XDG_DATA_HOME=home + "/data",
               QT_QPA_PLATFORM="offscreen", TSY_AUTO_ANSWER="1", TSY_QUIT_ON_EOF="1", TSY_PRINT_ERROR_LOG="1")
    err = open(home + "/stderr.txt", "w+")
    proc = subprocess.Popen([a.app], env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=err)
    made = 0
    for _ in range(300):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            made = 1
            break
        except OSError:
            time.sleep(0.1)
    if not made:
        sys.exit("the program never listened")

    # Each client connects after the previous one of its line has ended.
    t0 = time.monotonic()
    lock = threading.Lock()
    counts = {}
    state = {"made": made, "first": None, "stop": False, "timeouts": 0, "flood_from": None}
    after = []   # (outcome, seconds) of the requests after the first not served

    def client_line():
        while True:
            with lock:
                if state["stop"] or state["made"] >= a.conns or time.monotonic() - t0 >= a.seconds:
                    return
                state["made"] += 1
            outcome, took = attempt(port, a.timeout)
            with lock:
                counts[outcome] = counts.get(outcome, 0) + 1
                if outcome != "served" and state["first"] is None:
                    state["first"] = state["made"]
                    print(f"about request {state['made']}: the first not served, {outcome} after "
                          f"{took * 1000:.1f} ms", flush=True)
                if state["first"] is not None:
                    after.append((outcome, took))
                    if state["flood_from"] is None:
                        state["flood_from"] = (time.monotonic(), cpu_seconds(proc.pid))
                    elif time.monotonic() - state["flood_from"][0] >= a.flood:
                        state["stop"] = True
                state["timeouts"] = state["timeouts"] + 1 if outcome == "timeout" else 0
                if state["timeouts"] >= 10:
                    state["stop"] = True

    # Once requests stop being served, the other port every 2 s: a new
    # connection, and an echo over one made at the start, which holds its key.
    probes, echoes = [], []
    held = socket.create_connection(("127.0.0.1", probe_port), 10)
    held.settimeout(10)

    def echo_once():
        t = time.monotonic()
        try:
            held.sendall(b"ping")
            got = b""
            while len(got) < 4:
                b = held.recv(4 - len(got))
                if not b:
                    return "closed", time.monotonic() - t
                got += b
            return "echoed", time.monotonic() - t
        except socket.timeout:
            return "timeout", time.monotonic() - t
        except OSError as e:
            return errno.errorcode.get(e.errno, str(e)), time.monotonic() - t

    echo_once()   # the first waits for the program to finish starting
    o, took = echo_once()
    print(f"echo over the held connection before the flood: {o} after {took * 1000:.1f} ms", flush=True)

    def prober():
        while not state["stop"]:
            if state["flood_from"] is not None:
                probes.append(attempt(probe_port, 10, b"ping"))
                echoes.append(echo_once())
            time.sleep(2 if state["flood_from"] is not None else 0.2)

    lines = [threading.Thread(target=client_line, daemon=True) for _ in range(a.lines)]
    probing = threading.Thread(target=prober, daemon=True)
    for t in lines + [probing]:
        t.start()
    mark_t, mark_cpu, mark_n = t0, cpu_seconds(proc.pid), made
    while any(t.is_alive() for t in lines):
        next(t for t in lines if t.is_alive()).join(10)
        now = time.monotonic()
        cpu = cpu_seconds(proc.pid)
        with lock:
            n, c = state["made"], dict(counts)
        print(f"{n:6d} requests, {now - t0:6.1f} s: {(n - mark_n) / (now - mark_t):7.1f} per s, "
              f"program CPU {100 * (cpu - mark_cpu) / (now - mark_t):5.1f}%, {c}", flush=True)
        mark_t, mark_cpu, mark_n = now, cpu, n
    state["stop"] = True
    probing.join(15)
    if state["timeouts"] >= 10:
        print("10 requests in a row got no answer: stopped", flush=True)

    def summary(what, results):
        ms = sorted(t * 1000 for _, t in results)
        kinds = {}
        for o, _ in results:
            kinds[o] = kinds.get(o, 0) + 1
        print(f"{what}: {len(results)}, {kinds}, median {ms[len(ms) // 2]:.1f} ms, longest {ms[-1]:.1f} ms",
              flush=True)

    if after:
        t1, c1 = state["flood_from"]
        wall = time.monotonic() - t1
        print(f"flood from the first not served on: {wall:.1f} s, {len(after) / wall:.1f} requests per s, "
              f"program CPU {100 * (cpu_seconds(proc.pid) - c1) / wall:.1f}%")
        summary("requests in the flood", after)
    if probes:
        summary("new connections to the other port during the flood", probes)
    if echoes:
        summary("echoes over the connection held through the other port during the flood", echoes)
    # The program's CPU while nobody asks anything, then the other port.
    c0, w0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(5)
    print(f"program CPU over 5 s with no requests: {100 * (cpu_seconds(proc.pid) - c0) / (time.monotonic() - w0):.1f}%")
    outcome, took = attempt(probe_port, 10, b"ping")
    print(f"probe of the other port: {outcome} after {took * 1000:.1f} ms", flush=True)
    outcome, took = attempt(port, 10)
    print(f"one more request on the first port: {outcome} after {took * 1000:.1f} ms", flush=True)

    proc.stdin.close()
    try:
        proc.wait(60)
    except subprocess.TimeoutExpired:
        print("the program did not end within 60 s of its standard input closing: killed")
        proc.kill()
        proc.wait(10)
    err.seek(0)
    for line in err:
        if line.startswith("TSY_ERRORLOG"):
            print(f"error log entries at the end: {line.split()[1]}")
            break
    else:
        print("no error log printed (the program did not shut down by itself)")


if __name__ == "__main__":
    main()

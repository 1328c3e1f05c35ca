#!/usr/bin/python3
"""ftplib through the proxy: log in as alice@127.0.0.1:<server port>,
download <remote> into <local-down> and upload <local-up> as <remote-up>,
in passive (PASV) or active (PORT) mode. Prints each reply it relies on.

  ftp_client.py sessions PROXY SERVER ECHO_PORT ROOT N FILE...
      N passive sessions at once, each downloading every FILE of the server's
      folder ROOT, while a client of the Pass Through port ECHO_PORT (to an
      echo server) exchanges bytes again and again. A session must end with
      every file byte-exact or with a 4xx reply; none may time out. Then one
      more session must get every file. Prints "ok exact=E answered=A
      probes=P" or what failed.
"""
import ftplib
import io
import os
import resource
import socket
import sys
import threading

TIMEOUT = 20


def one_session(proxy_port, server_port, files):
    ftp = ftplib.FTP()
    try:
        ftp.connect("127.0.0.1", proxy_port, timeout=TIMEOUT)
        ftp.login("alice@127.0.0.1:%d" % server_port, "secret")
        ftp.set_pasv(True)
        for name, data in files.items():
            got = io.BytesIO()
            ftp.retrbinary("RETR " + name, got.write)
            if got.getvalue() != data:
                return "%s: %d of %d bytes, or differing" % (name, len(got.getvalue()), len(data))
        ftp.quit()
        return "exact"
    except ftplib.error_temp:
        return "answered"
    except (socket.timeout, TimeoutError) as e:
        return "timed out: %r" % e
    except (OSError, EOFError, ftplib.Error) as e:
        return "failed: %r" % e
    finally:
        ftp.close()


def sessions(proxy_port, server_port, echo_port, root, count, names):
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    files = {n: open(os.path.join(root, n), "rb").read() for n in names}
    results = [None] * count
    done = threading.Event()
    probes = []

    def run(i):
        results[i] = one_session(proxy_port, server_port, files)

    def probe():
        # At least one exchange, then more while the sessions run.
        while True:
            payload = os.urandom(1000)
            try:
                with socket.create_connection(("127.0.0.1", echo_port), timeout=TIMEOUT) as s:
                    s.sendall(payload)
                    back = b""
                    while len(back) < len(payload):
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        back += chunk
                probes.append(None if back == payload else "echoed %d of %d bytes" % (len(back), len(payload)))
            except OSError as e:
                probes.append("pass-through client: %r" % e)
            if done.is_set() or probes[-1]:
                return

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    prober = threading.Thread(target=probe)
    for t in threads + [prober]:
        t.start()
    for t in threads:
        t.join()
    done.set()
    prober.join()
    bad = [(i, r) for i, r in enumerate(results) if r not in ("exact", "answered")]
    if bad:
        print("%d sessions went wrong, session %d: %s" % (len(bad), bad[0][0], bad[0][1]), flush=True)
        return
    failed_probes = [p for p in probes if p]
    if failed_probes:
        print(failed_probes[0], flush=True)
        return
    last = one_session(proxy_port, server_port, files)
    if last != "exact":
        print("a session after the others: %s" % last, flush=True)
        return
    print("ok exact=%d answered=%d probes=%d" % (results.count("exact"), results.count("answered"), len(probes)),
          flush=True)


def main():
    if sys.argv[1] == "sessions":
        p, srv, echo, root, n = sys.argv[2:7]
        sessions(int(p), int(srv), int(echo), root, int(n), sys.argv[7:])
        return
    proxy_port, server_port, mode, remote, local_down, local_up, remote_up = sys.argv[1:8]
    ftp = ftplib.FTP()
    print(ftp.connect("127.0.0.1", int(proxy_port), timeout=20).splitlines()[0], flush=True)
    print(ftp.login("alice@127.0.0.1:%s" % server_port, "secret"), flush=True)
    ftp.set_pasv(mode == "passive")
    with open(local_down, "wb") as f:
        print(ftp.retrbinary("RETR " + remote, f.write), flush=True)
    with open(local_up, "rb") as f:
        print(ftp.storbinary("STOR " + remote_up, f), flush=True)
    print(ftp.quit(), flush=True)


if __name__ == "__main__":
    main()

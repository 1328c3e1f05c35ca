#!/usr/bin/python3
"""A raw web server for the proxy tests that records each request exactly as
it arrives. Listens on 127.0.0.1 on an OS-chosen port, printed on the first
line of stdout; then prints one line per request: the connection's number,
a blank, and the request's header block (through its blank line) in
hexadecimal. Answers each request with "conn N request M" and keeps the
connection open unless a Connection header line asks for close. Ends after
two minutes at the latest."""
import socket
import socketserver
import sys
import threading
import time

lock = threading.Lock()
counter = [0]


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        with lock:
            counter[0] += 1
            conn = counter[0]
        sock = self.request
        sock.settimeout(60)
        data = b""
        requests = 0
        while True:
            end = data.find(b"\r\n\r\n")
            if end < 0:
                try:
                    chunk = sock.recv(65536)
                except OSError:
                    return
                if not chunk:
                    return
                data += chunk
                continue
            head, data = data[:end + 4], data[end + 4:]
            requests += 1
            with lock:
                print(conn, head.hex(), flush=True)
            close = any(line.lower().startswith(b"connection:") and b"close" in line.lower()
                        for line in head.split(b"\r\n"))
            body = b"conn %d request %d\n" % (conn, requests)
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
                         % (len(body), body))
            if close:
                sock.shutdown(socket.SHUT_WR)
                return


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    time.sleep(120)
    server.shutdown()
    sys.exit(0)


if __name__ == "__main__":
    main()

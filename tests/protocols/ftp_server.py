#!/usr/bin/python3
"""A real FTP server for the proxy tests: pyftpdlib on 127.0.0.1, an
OS-chosen port printed on the first line of stdout, one user alice/secret
whose home is the given folder. Ends after two minutes at the latest."""
import logging
import sys
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root = sys.argv[1]
    logging.basicConfig(level=logging.ERROR)
    auth = DummyAuthorizer()
    auth.add_user("alice", "secret", root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = auth
    handler.banner = "pyftpdlib test server ready."
    server = FTPServer(("127.0.0.1", 0), handler)
    print(server.address[1], flush=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        server.serve_forever(timeout=0.2, blocking=False)
    server.close_all()


if __name__ == "__main__":
    main()

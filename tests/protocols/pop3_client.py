#!/usr/bin/python3
"""poplib through the proxy: USER <user>#<server>, PASS, STAT, RETR 1 (its
lines written, CR LF joined, to <out>), QUIT."""
import poplib
import sys


def main():
    proxy_port, user, out = sys.argv[1:4]
    pop = poplib.POP3("127.0.0.1", int(proxy_port), timeout=20)
    print(pop.getwelcome().decode("latin-1"), flush=True)
    print(pop.user(user).decode("latin-1"), flush=True)
    print(pop.pass_("secret").decode("latin-1"), flush=True)
    print(pop.stat(), flush=True)
    resp, lines, _ = pop.retr(1)
    with open(out, "wb") as f:
        f.write(b"\r\n".join(lines))
    print(pop.quit().decode("latin-1"), flush=True)


if __name__ == "__main__":
    main()

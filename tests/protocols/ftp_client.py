#!/usr/bin/python3
"""ftplib through the proxy: log in as alice@127.0.0.1:<server port>,
download <remote> into <local-down> and upload <local-up> as <remote-up>,
in passive (PASV) or active (PORT) mode. Prints each reply it relies on."""
import ftplib
import sys


def main():
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

#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets (cases from the unit tests) into
corpus/<target>/seed-NN, laid out the way each target reads its input."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def i64(v):
    # FuzzedDataProvider reads integers from the end of the input.
    return struct.pack('<Q', (v + 2**63) % 2**64)


def write(target, seeds):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    for n, s in enumerate(seeds):
        with open(os.path.join(d, 'seed-%02d' % n), 'wb') as f:
            f.write(s)


http = [b'GET http://server1:8080/docs/a.html HTTP/1.0\r\n\r\n', b'GET http://server1 HTTP/1.0\r\n\r\n',
        b'GET /docs/a.html HTTP/1.0\r\n\r\n', b'GET http://server1/', b'GETnoblank', b'',
        b'GET HTTP://MixedCase.Example:81/P HttP/1.1\r\nHost: x\r\n\r\n', b'GET    http://h/p    HTTP/1.1\r\n\r\n',
        b'GET http://h/a/http/b HTTP/1.1\r\n\r\n', b'GET http://h/x?v=HTTP/1 HTTP/1.1\r\n',
        b'POST http://h:9/u HTTP/1.1\r\nX: \x01\xff\r\n\r\nbody', b'GET http://h:443.0/ HTTP/1.0\r\n',
        b'GET http://h:65536/ HTTP/1.0\r\n', b'GET http://h:-80/ HTTP/1.0\r\n',
        b'GET http://h:81/a HTTP/1.1\r\nHost: h:81\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\n'
        b'Proxy-Connection: Keep-Alive\r\n\r\n',
        b'GET http://h/ HTTP/1.1\r\nCONNECTION :keep-alive\r\nKeep-Alive: 5\r\n  folded\r\nX: a\r\n\tb\r\n\r\nConnection: x',
        b'GET http://h/ HTTP/1.0\nConnection: keep-alive\nProxy-Auth', b'GET http://h/ HTTP/1.1\rConnection: x\r\n']
https = [b'CONNECT www.example.com:443 HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n', b'CONNECT host:70000 HTTP/1.0\r\n\r\n',
         b'CONNECT HTTPS://h:8443/p HTTP/1.0\r\n\r\n', b'CONNECT host:443']
write('fuzz_http_routing',
      [s + b'\x00' for s in http] + [s + b'\x01' for s in https] + [http[0] + b'\x02'] +
      [b'1\\x3128\\x80\\x' + http[0] + b'\x04', b'False\\x\\x1e30\\x' + http[0] + b'\x04',
       b'example.com\\xdocs/http/x?v=HTTP/1\\x\x1f\x90\x08', b'h\\x\x00\x50\x09'])

write('fuzz_pop3_routing', [b'110\\xUSER bob#mail.example\r\n', b'110\\xUSER bob\r\n', b'110\\xUSER a#b#c\r\n',
                            b'abc\\xUSER bob#mail\r\n', b'1e30\\xUSER bob#m\r\n', b'-1e-1836\\xUSER x#y\r\n',
                            b'0\n\\xUSER x#y\r\n', b'\\x#', b'110\\xCAPA\r\nUSER bob#m\r\n',
                            b'110\\xquit\r\nUSER x#y\r\n', b'110\\xuSeR\tb#c', b'110\\xAUTH TLS\r'])

ftp_user = [b'USER anonymous@ftp.example\r\n', b'USER a@b:2121\r\n', b'USER a@b:x\r\n', b'USER nobody\r\n',
            b'USER a@b@c:70000\r\n', b'USER a@b:1e-1836\r\n']
ftp_port = [b'PORT 127,0,0,1,4,1\r\n', b'port 10,0,0,1,255,255\r\nLIST\r\n', b'PORT 1,2,3\r\n', b'PORT 1,2,3,4,5,256\r\n',
            b'PORT  1 , 2 ,3,4,5,6 ,7\r\n']
ftp_pasv = [b'227 Entering Passive Mode (127,0,0,1,19,137)\r\n', b'227 entering passive mode (1,2,3,4,5,6).\r\n150 x\r\n',
            b'227 Entering Passive Mode 1,2,3,4,5,6)\r\n', b'227 Entering Passive Mode (1,2,3,4,5\r\n']
tail = lambda ip, ok, mode: b'\x00\x10' + bytes([ok, ip, mode])
write('fuzz_ftp_routing', [s + b'\x00' for s in ftp_user] +
      [s + tail(i % 7, i % 2, 1) for i, s in enumerate(ftp_port)] +
      [s + tail(i % 7, (i + 1) % 2, 2) for i, s in enumerate(ftp_pasv)])

numbers = [b'0', b' 12 ', b'\t-3.5e2\t', b'0\n', b'-1e-1836', b'1e30', b'-1e30', b'1e19', b'nan', b'1e308', b'1e309',
           b'1.5', b'2.5', b'-0.5', b'.5', b'5.', b'e5', b'+', b'', b'65535', b'65536', b'0x10', b'1,5',
           '\uff11\uff12'.encode(), b'4.9e-324', b'9223372036854775807', b'9223372036854775808', b'\r\n80\r\n']
write('fuzz_numbers', [s + i64(65535) + i64(1) for s in numbers] +
      [s + i64(2**63 - 1) + i64(-2**63) for s in numbers[:12]])

write('fuzz_formatlib', [bytes(range(256)) + struct.pack('<i', 1000) + bytes([18, 1, c, 1]) for c in range(4)] +
      [b'hello world\x00\xff' + struct.pack('<i', 2**31 - 1) + bytes([6, 1, 0, 1]),
       b'x' * 40 + struct.pack('<i', -1) + struct.pack('<i', 0) + bytes([0, 0x68, 0])])

write('fuzz_relay_buffer', [b'\x00abc\\x\x00defg\\x\x02\x10\x05\x03', b'\x01zz\\x\x00yy\\x\x02\x01\x02\x04\x05',
                            bytes(range(64)) * 4])

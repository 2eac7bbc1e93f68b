#!/usr/bin/python3
"""Loopback peers for the network library's tests.

netpeer.py http ROOT   an HTTP server with scripted and hostile replies;
                       files under ROOT are served at /files/NAME
netpeer.py ftp SCRIPT  a fake FTP server playing one scripted dialogue
                       (see FTP_SCRIPTS), with a passive data port
netpeer.py pyftpd ROOT pyftpdlib serving ROOT to anonymous and to "user"
                       with the password "secret", both allowed to write

Both listen on 127.0.0.1 only, print the port on the first line of
standard output and serve until they are killed.
"""
import os
import socket
import sys
import threading
import time
import urllib.parse


def listener():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    return s


def read_request(c):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = c.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = c.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head + b"\r\n\r\n" + rest


def reply(c, status, body=b"", headers=b""):
    c.sendall(b"HTTP/1.1 %d X\r\nContent-Length: %d\r\n%s\r\n" % (status, len(body), headers) + body)


def forever(c, piece):
    try:
        while True:
            c.sendall(piece)
    except OSError:
        pass


def serve_http(c, root):
    request = read_request(c)
    if request is None:
        return
    target = request.split(b" ")[1].decode()
    path = urllib.parse.urlsplit(target).path
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
    if target.startswith("http://") or path.startswith("/echo"):
        reply(c, 200, request)
    elif path.startswith("/files/"):
        with open(os.path.join(root, os.path.basename(path)), "rb") as f:
            reply(c, 200, f.read())
    elif path.startswith("/chunked/"):
        with open(os.path.join(root, os.path.basename(path)), "rb") as f:
            data = f.read()
        c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        step = 65536
        for i in range(0, len(data), step):
            piece = data[i:i + step]
            c.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
        c.sendall(b"0\r\n\r\n")
    elif path.startswith("/open/"):
        with open(os.path.join(root, os.path.basename(path)), "rb") as f:
            c.sendall(b"HTTP/1.1 200 OK\r\n\r\n" + f.read())
    elif path == "/chunk5":
        c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
    elif path == "/longer":
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello, and bytes beyond the length")
    elif path == "/nolen":
        c.sendall(b"HTTP/1.1 200 OK\r\n\r\nuntil close")
    elif path == "/continue":
        c.sendall(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
    elif path.startswith("/chain/"):
        n = int(path[7:])
        reply(c, 302, b"body%d" % n, b"Location: /chain/%d\r\n" % (n - 1))
    elif path == "/a/b":
        reply(c, 302, b"moved", b"Location: " + query["to"][0].encode() + b"\r\n")
    elif path.startswith("/status/"):
        reply(c, int(path[8:]), b"oops")
    elif path == "/gzip":
        c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n")
    elif path == "/endless-headers":
        c.sendall(b"HTTP/1.1 200 OK\r\n")
        forever(c, b"X-Filler: " + b"a" * 1000 + b"\r\n")
    elif path == "/endless-100":
        forever(c, b"HTTP/1.1 100 Continue\r\n\r\n")
    elif path == "/drip":
        try:
            for b in b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok":
                c.sendall(bytes([b]))
                time.sleep(0.2)
        except OSError:
            pass
    elif path == "/chunk-huge":
        c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\n0123456789")
    elif path == "/chunk-zz":
        c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc")
    elif path == "/biglen":
        c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000000000000\r\n\r\n0123456789")
    else:
        reply(c, 200, path.encode())


# FTP dialogues: the replies to send, in order, keyed by the command that
# triggers each ("" for the greeting). "PASV" replies get the data port
# filled in as "{p1},{p2}". Commands are logged to standard output.
FTP_SCRIPTS = {
    "greeting120": [("", "120 wait\r\n220 ready\r\n"), ("user", "230 in\r\n"),
                    ("pasv", "227 Entering (127,0,0,1,{p1},{p2})\r\n"), ("type", "200 ok\r\n"),
                    ("size", "550 no\r\n"), ("retr", "150 Opening (1234 bytes).\r\n"),
                    ("data", "hello"), ("", "226 done\r\n")],
    # The sizes overflow any 64-bit integer: both are left unknown.
    "hugesize": [("", "220 ready\r\n"), ("user", "230 in\r\n"),
                 ("pasv", "227 Entering (127,0,0,1,{p1},{p2})\r\n"), ("type", "200 ok\r\n"),
                 ("size", "213 99999999999999999999999\r\n"),
                 ("retr", "150 Opening (99999999999999999999999 bytes).\r\n"),
                 ("data", "hello"), ("", "226 done\r\n")],
    "fivenumbers": [("", "220 ready\r\n"), ("user", "230 in\r\n"),
                    ("pasv", "227 Entering (127,0,0,{p1},{p2})\r\n")],
    "brokenmulti": [("", "220-hello\r\n230 other\r\n")],
    "endlessmulti": [("", "220-hello\r\n" + "220-more\r\n" * 200000)],
    "missing": [("", "220 ready\r\n"), ("user", "331 pass\r\n"), ("pass", "230 in\r\n"),
                ("pasv", "227 Entering (127,0,0,2,{p1},{p2})\r\n"), ("type", "200 ok\r\n"),
                ("size", "213 5\r\n"), ("retr", "550 not here\r\n")],
    "forbidden": [("", "220 ready\r\n"), ("user", "230 in\r\n"),
                  ("pasv", "227 Entering (127,0,0,1,{p1},{p2})\r\n"), ("type", "200 ok\r\n"),
                  ("stor", "550 no\r\n")],
    "denied": [("", "220 ready\r\n"), ("user", "331 pass\r\n"), ("pass", "530 no\r\n")],
}


def serve_ftp(c, script, data_listener):
    log = []
    steps = list(FTP_SCRIPTS[script])
    data_conn = None
    port = data_listener.getsockname()[1]
    f = c.makefile("rb")
    try:
        while steps:
            trigger, text = steps.pop(0)
            if trigger == "data":
                if data_conn is None:
                    data_conn, _ = data_listener.accept()
                data_conn.sendall(text.encode())
                data_conn.close()
                data_conn = None
                continue
            if trigger:
                line = f.readline().decode().rstrip("\r\n")
                log.append(line)
                sys.stdout.write(line + "\n")
                sys.stdout.flush()
                if not line.lower().startswith(trigger):
                    break
            c.sendall(text.format(p1=port // 256, p2=port % 256).encode())
        while True:
            line = f.readline()
            if not line:
                break
            sys.stdout.write(line.decode().rstrip("\r\n") + "\n")
            sys.stdout.flush()
    except OSError:
        pass


def serve_pyftpd(root):
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    logging.basicConfig(level=logging.ERROR)
    authorizer = DummyAuthorizer()
    authorizer.add_user("user", "secret", root, perm="elradfmw")
    authorizer.add_anonymous(root, perm="elradfmw")
    FTPHandler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", 0), FTPHandler)
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever()


def main():
    mode, arg = sys.argv[1], sys.argv[2]
    if mode == "pyftpd":
        serve_pyftpd(arg)
        return
    s = listener()
    data_listener = listener() if mode == "ftp" else None
    print(s.getsockname()[1], flush=True)
    while True:
        c, _ = s.accept()
        if mode == "http":
            t = threading.Thread(target=lambda c=c: (serve_http(c, arg), c.close()), daemon=True)
        else:
            t = threading.Thread(target=lambda c=c: (serve_ftp(c, arg, data_listener), c.close()),
                                 daemon=True)
        t.start()


if __name__ == "__main__":
    main()

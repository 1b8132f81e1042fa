"""A minimal SOCKS5 proxy on 127.0.0.1 for the relay tests: user/password authentication,
CONNECT by host name, every connection sent to 127.0.0.1:TARGET_PORT whatever name it asks for.

usage: socks5_proxy.py TARGET_PORT PORTFILE LOGFILE

Logs "auth <user> <password>" and "connect <host> <port>" lines.
"""

import os
import socket
import struct
import sys
import threading

TARGET, PORTFILE, LOGFILE = int(sys.argv[1]), sys.argv[2], sys.argv[3]


def log(text):
    with open(LOGFILE, "a") as f:
        f.write(text + "\n")


def exactly(sock, n):
    data = b""
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            raise ConnectionError("closed")
        data += part
    return data


def pump(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def serve(client):
    try:
        _, count = exactly(client, 2)
        methods = exactly(client, count)
        if 2 in methods:
            client.sendall(b"\x05\x02")
            exactly(client, 1)
            user = exactly(client, exactly(client, 1)[0]).decode()
            password = exactly(client, exactly(client, 1)[0]).decode()
            log("auth %s %s" % (user, password))
            client.sendall(b"\x01\x00")
        else:
            client.sendall(b"\x05\x00")
        _, command, _, kind = exactly(client, 4)
        if kind == 3:
            host = exactly(client, exactly(client, 1)[0]).decode()
        elif kind == 1:
            host = socket.inet_ntoa(exactly(client, 4))
        else:
            return
        port = struct.unpack(">H", exactly(client, 2))[0]
        log("connect %s %d" % (host, port))
        upstream = socket.create_connection(("127.0.0.1", TARGET))
        client.sendall(b"\x05\x00\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", TARGET))
        threading.Thread(target=pump, args=(upstream, client), daemon=True).start()
        pump(client, upstream)
    except (OSError, ConnectionError):
        pass


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(8)
with open(PORTFILE + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(PORTFILE + ".tmp", PORTFILE)
while True:
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()

"""Serves a folder over HTTP/1.1 on 127.0.0.1 for the relay tests.

usage: serve_source.py FOLDER PORTFILE LOGFILE [cut]

Writes the chosen port to PORTFILE once listening. Each request line is logged with the
client's port, so a test can tell how many connections were used. Requests in proxy form
("GET http://host/path") are served like direct ones. With "cut", a .zip file is sent with
its full Content-Length but the connection is closed after half of its bytes.
"""

import http.server
import os
import sys
import urllib.parse

FOLDER, PORTFILE, LOGFILE = sys.argv[1:4]
CUT = len(sys.argv) > 4 and sys.argv[4] == "cut"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(LOGFILE, "a") as log:
            log.write("%d %s\n" % (self.client_address[1], self.requestline))
        path = urllib.parse.urlsplit(self.path).path
        full = os.path.join(FOLDER, path.lstrip("/"))
        if ".." in path.split("/") or not os.path.isfile(full):
            self.send_error(404)
            return
        with open(full, "rb") as f:
            data = f.read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if CUT and full.endswith(".zip"):
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(data)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(PORTFILE + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(PORTFILE + ".tmp", PORTFILE)
server.serve_forever()

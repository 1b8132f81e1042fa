"""Serves a folder over HTTP/1.1 on 127.0.0.1 for the relay tests.

usage: serve_source.py FOLDER PORTFILE LOGFILE [cut|norange|trickle|chunked|close|redirect|
                                                 endless|badchunk|hugehead]

Writes the chosen port to PORTFILE once listening. Each request line is logged with the
client's port and Range header, so a test can tell how many connections were used. Requests in
proxy form ("GET http://host/path") are served like direct ones. "Range: bytes=N-" gets a 206
but with "norange". With "cut", a .zip file is sent with its full Content-Length but the
connection is closed after half of its bytes; with "trickle", 50 bytes every 0.2 s. With
"chunked" a body comes in chunks of uneven sizes, with "close" without a length and ended by
closing the connection, and with "redirect" a path under /moved/ is sent on to the same path
without it: by "../name" for a file right under /moved/, else by an absolute path. Hostile
answers: "endless" redirects every request to itself, "badchunk" sends a chunk size that is
not a number, and "hugehead" a header of 70 KB. Every file
carries an ETag and a Last-Modified from its size and modification time; a matching
If-None-Match gets 304, and the log line ends in "304".
"""

import email.utils
import http.server
import os
import re
import sys
import time
import urllib.parse

FOLDER, PORTFILE, LOGFILE = sys.argv[1:4]
MODE = sys.argv[4] if len(sys.argv) > 4 else "whole"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def hostile(self, path):
        """Answers as the hostile modes do; False in the other modes."""
        if MODE not in ("endless", "badchunk", "hugehead"):
            return False
        with open(LOGFILE, "a") as log:
            log.write("%d %s\n" % (self.client_address[1], self.requestline))
        self.send_response(302 if MODE == "endless" else 200)
        if MODE == "endless":
            self.send_header("Location", path)
        if MODE == "hugehead":
            self.send_header("X-Filler", "x" * 70000)
        if MODE == "badchunk":
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", "0")
        self.end_headers()
        if MODE == "badchunk":
            self.wfile.write(b"zz\r\n")
        return True

    def do_GET(self):
        ranged = self.headers.get("Range")
        path = urllib.parse.urlsplit(self.path).path
        if self.hostile(path):
            return
        if MODE == "redirect" and path.startswith("/moved/"):
            with open(LOGFILE, "a") as log:
                log.write("%d %s 301\n" % (self.client_address[1], self.requestline))
            self.send_response(301)
            rest = path[len("/moved/"):]
            self.send_header("Location", "/" + rest if "/" in rest else "../" + rest)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        full = os.path.join(FOLDER, path.lstrip("/"))
        found = ".." not in path.split("/") and os.path.isfile(full)
        st = os.stat(full) if found else None
        etag = '"%x-%x"' % (st.st_size, st.st_mtime_ns) if found else None
        unchanged = found and self.headers.get("If-None-Match") == etag
        with open(LOGFILE, "a") as log:
            log.write("%d %s%s%s\n" % (self.client_address[1], self.requestline, " " + ranged if ranged else "",
                                       " 304" if unchanged else ""))
        if not found:
            self.send_error(404)
            return
        if unchanged:
            self.send_response(304)
            self.send_header("ETag", etag)
            self.end_headers()
            return
        with open(full, "rb") as f:
            data = f.read()
        start = re.fullmatch(r"bytes=(\d+)-", ranged or "")
        if start and MODE != "norange":
            offset = int(start.group(1))
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (offset, len(data) - 1, len(data)))
            data = data[offset:]
        else:
            self.send_response(200)
        self.send_header("ETag", etag)
        self.send_header("Last-Modified", email.utils.formatdate(st.st_mtime, usegmt=True))
        if MODE == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            at, size = 0, 1
            while at < len(data):
                piece = data[at:at + size]
                self.wfile.write(b"%x;ext=1\r\n%s\r\n" % (len(piece), piece))
                at, size = at + len(piece), size * 3 + 7
            self.wfile.write(b"0\r\nX-Trailer: 1\r\n\r\n")
            return
        if MODE == "close":
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True
            return
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if MODE == "cut" and full.endswith(".zip"):
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            return
        if MODE == "trickle" and full.endswith(".zip"):
            try:
                for i in range(0, len(data), 50):
                    self.wfile.write(data[i:i + 50])
                    self.wfile.flush()
                    time.sleep(0.2)
            except OSError:
                pass  # the client gave up
            return
        self.wfile.write(data)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(PORTFILE + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(PORTFILE + ".tmp", PORTFILE)
server.serve_forever()

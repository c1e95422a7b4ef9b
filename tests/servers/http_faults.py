#!/usr/bin/env python3
"""An HTTP server whose replies go wrong on purpose, for the transfer tests.

GET /<fault>/<name> answers with the file <name> of --root, spoilt as <fault> says:

  error         404 with an error page as its body
  cut           states the whole length, sends half, closes
  chunked-cut   chunked, sends half, closes without the closing chunk
  reset         states the whole length, sends half, resets the connection
  ignore-range  200 and the whole file, whatever Range asks
  wrong-range   206 from byte 0 to a request for any range
  unsatisfiable 416 to a request with a range
  loop          redirects to itself
  to-file       redirects to a file:// address
  stall         states the whole length, sends half, then nothing for a long while

HEAD answers 200 with the file's length (404 for "error"). Listens on 127.0.0.1 only.
"""

import argparse
import http.server
import os
import socket
import struct
import sys
import time


# Connections to close with a reset (SO_LINGER 0) rather than a FIN.
RESET = set()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def shutdown_request(self, request):
        if request in RESET:
            RESET.discard(request)
            self.close_request(request)  # no shutdown(SHUT_WR) first: that would send a FIN
        else:
            super().shutdown_request(request)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    root = "."

    def log_message(self, format, *args):
        sys.stderr.write("%s\n" % (format % args))

    def split(self):
        fault, _, name = self.path.lstrip("/").partition("/")
        try:
            with open(os.path.join(self.root, os.path.basename(name)), "rb") as f:
                return fault, f.read()
        except OSError:
            return fault, None

    def head(self, status, length, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def do_HEAD(self):
        fault, data = self.split()
        if data is None or fault == "error":
            self.head(404, 0)
        else:
            self.head(200, len(data))

    def do_GET(self):
        fault, data = self.split()
        if data is None:
            self.head(404, 0)
            return
        half = data[: len(data) // 2]
        asked = self.headers.get("Range")
        if fault == "error":
            page = b"<html><body><h1>404 Not Found</h1>nothing here</body></html>\n"
            self.head(404, len(page), [("Content-Type", "text/html")])
            self.wfile.write(page)
        elif fault == "cut":
            self.head(200, len(data))
            self.wfile.write(half)
        elif fault == "chunked-cut":
            self.head(200, None, [("Transfer-Encoding", "chunked")])
            for i in range(0, len(half), 4096):
                chunk = half[i : i + 4096]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        elif fault == "reset":
            self.head(200, len(data))
            self.wfile.write(half)
            self.wfile.flush()
            time.sleep(0.2)  # let the half reach the client before the reset
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            RESET.add(self.connection)
        elif fault == "ignore-range":
            self.head(200, len(data))
            self.wfile.write(data)
        elif fault == "wrong-range" and asked:
            self.head(206, len(data), [("Content-Range", "bytes 0-%d/%d" % (len(data) - 1, len(data)))])
            self.wfile.write(data)
        elif fault == "unsatisfiable" and asked:
            page = b"range not satisfiable\n"
            self.head(416, len(page), [("Content-Range", "bytes */%d" % len(data))])
            self.wfile.write(page)
        elif fault == "loop":
            self.head(302, 0, [("Location", self.path)])
        elif fault == "to-file":
            self.head(302, 0, [("Location", "file:///etc/hostname")])
        elif fault == "stall":
            self.head(200, len(data))
            self.wfile.write(half)
            self.wfile.flush()
            time.sleep(30)
        else:
            self.head(200, len(data))
            self.wfile.write(data)
        self.wfile.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    Handler.root = args.root
    server = Server(("127.0.0.1", args.port), Handler)
    print("listening on 127.0.0.1:%d" % args.port, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()

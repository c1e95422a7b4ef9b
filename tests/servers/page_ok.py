#!/usr/bin/python3
"""A page server on 127.0.0.1 that answers every GET with "ok" and logs nothing.

Prints the port it listens on, then serves until killed."""
import http.server
import socketserver


class Quiet(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


server = socketserver.TCPServer(("127.0.0.1", 0), Quiet)
print(server.server_address[1], flush=True)
server.serve_forever()

#!/usr/bin/env python3
"""Runs a command in a network of its own where every name resolves slowly.

Meant to run as root under `unshare --net --mount`: the loopback of the new network
namespace is brought up, /etc/resolv.conf is replaced (in the new mount namespace only)
by one naming 127.0.0.1, and a DNS server there answers every A question with 127.0.0.1
after --delay seconds (AAAA questions get no address). A web server serves --root on
127.0.0.1:--port. Then the command runs; its exit status is this program's, or 77 when
the network could not be set up.
"""

import argparse
import functools
import http.server
import socket
import struct
import subprocess
import sys
import threading


SETUP_FAILED = 77  # the caller skips rather than fails


def answer(query):
    """The reply to a DNS query (RFC 1035, 4.1): A 127.0.0.1, or no address."""
    if len(query) < 12:
        return None
    ident, _flags, qdcount = struct.unpack("!HHH", query[:6])
    if qdcount != 1:
        return None
    end = 12
    while end < len(query) and query[end] != 0:
        end += 1 + query[end]
    if end + 5 > len(query):
        return None
    question = query[12:end + 5]
    qtype = struct.unpack("!H", query[end + 1:end + 3])[0]
    records = b""
    if qtype == 1:
        records = struct.pack("!HHHIH", 0xC00C, 1, 1, 60, 4) + socket.inet_aton("127.0.0.1")
    header = struct.pack("!HHHHHH", ident, 0x8180, 1, 1 if records else 0, 0, 0)
    return header + question + records


def serve_names(delay):
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 53))

    def loop():
        while True:
            query, peer = udp.recvfrom(512)
            reply = answer(query)
            if reply:
                threading.Timer(delay, udp.sendto, (reply, peer)).start()

    threading.Thread(target=loop, daemon=True).start()


def serve_files(root, port):
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=root)
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--resolv", required=True, help="a file to write the replacement resolv.conf to")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command

    try:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        with open(args.resolv, "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:10 attempts:1\n")
        subprocess.run(["mount", "--bind", args.resolv, "/etc/resolv.conf"], check=True)
        serve_names(args.delay)
        serve_files(args.root, args.port)
    except (OSError, subprocess.CalledProcessError) as error:
        print("slow_names: cannot set up the network: %s" % error, file=sys.stderr)
        return SETUP_FAILED
    sys.stdout.flush()
    return subprocess.run(command).returncode


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Sends N HTTP GET requests for distinct addresses to a server at a steady rate, over a
pool of keep-alive connections. A connection carries one request at a time (the next only
after the reply), so every request travels in a segment of its own: one send() each, with
TCP_NODELAY.

    send_requests.py PORT [--host H] [--count N] [--rate R] [--prefix P] [--connections C]

Prints the number of requests sent and the seconds it took. Only the host given is
contacted: 127.0.0.1 unless told otherwise (the benchmark's own network namespace).
"""
import argparse
import select
import socket
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--rate", type=float, default=5000.0)
    parser.add_argument("--prefix", default="/bench")
    parser.add_argument("--connections", type=int, default=64)
    args = parser.parse_args()

    idle = []
    busy = {}
    for _ in range(args.connections):
        s = socket.create_connection((args.host, args.port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        idle.append(s)

    def drain(timeout):
        if not busy:
            time.sleep(max(timeout, 0))
            return
        readable, _, _ = select.select(list(busy), [], [], max(timeout, 0))
        for s in readable:
            reply = s.recv(1 << 16)
            if not reply:
                raise SystemExit("the server closed a connection")
            busy[s] += reply
            if b"\r\n\r\n" in busy[s]:  # replies carry no body worth waiting for (404)
                head, _, rest = busy[s].partition(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"content-length:"):
                        length = int(line.split(b":")[1])
                if len(rest) >= length:
                    del busy[s]
                    idle.append(s)

    start = time.monotonic()
    for i in range(args.count):
        due = start + i / args.rate
        while time.monotonic() < due or not idle:
            drain(due - time.monotonic() if idle else 0.05)
        s = idle.pop()
        s.sendall(("GET %s/%06d.mp3 HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (args.prefix, i, args.host, args.port)).encode())
        busy[s] = b""
    elapsed = time.monotonic() - start
    while busy:
        drain(1.0)
    print("%d %.3f" % (args.count, elapsed))


if __name__ == "__main__":
    main()

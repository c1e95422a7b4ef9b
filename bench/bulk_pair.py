#!/usr/bin/env python3
"""Bulk TCP at full speed, for the capture benchmark.

    bulk_pair.py serve ADDR PORT             send random bytes to each connection until it closes
    bulk_pair.py fetch ADDR PORT SECONDS     read from one connection for SECONDS; print bytes and seconds

The bytes are random (4 MiB made once, sent over and over): nothing a reader could make
sense of, as a download's body. Only the address given is contacted.
"""
import os
import socket
import sys
import threading
import time

CHUNK = 4 << 20


def serve(addr, port):
    family = socket.AF_INET6 if ":" in addr else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((addr, port))
    listener.listen(8)
    data = os.urandom(CHUNK)

    def pour(conn):
        try:
            while True:
                conn.sendall(data)
        except OSError:
            pass
        finally:
            conn.close()

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=pour, args=(conn,), daemon=True).start()


def fetch(addr, port, seconds):
    conn = socket.create_connection((addr, port))
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    total = 0
    start = time.monotonic()
    end = start + seconds
    while time.monotonic() < end:
        n = conn.recv_into(view)
        if not n:
            break
        total += n
    elapsed = time.monotonic() - start
    conn.close()
    print("%d %.3f" % (total, elapsed))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "serve":
        serve(sys.argv[2], int(sys.argv[3]))
    elif len(sys.argv) == 5 and sys.argv[1] == "fetch":
        fetch(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()

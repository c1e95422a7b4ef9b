#!/usr/bin/env python3
"""Writes a deterministic capture file (Ethernet) of web traffic for the scan benchmark and tests.

    make_capture.py OUT [--datagrams N] [--distinct M]

Of every ten datagrams one is an HTTP GET sent by the local address 198.51.100.7 (Linux
style: a 12-byte timestamp option on the TCP header), four are incoming data segments,
three are empty acknowledgements and two are UDP (DNS-sized). The GET requests cycle
through M distinct addresses on 40 hosts, so each address is requested N / 10 / M times.
The remote side uses 192.0.2.0/24. Nothing is random: the same arguments give the same
bytes.
"""
import argparse
import struct

LOCAL = bytes([198, 51, 100, 7])
EXTENSIONS = [".mp3", ".jpg", ".flv", ".htm", ".zip", ".png", ".js", ".css", ".gif", ".wma"]
ETHERNET = bytes.fromhex("020000000002" "020000000001" "0800")
TS_OPTION = b"\x01\x01\x08\x0a" + struct.pack(">II", 123456, 654321)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ipv4(src, dst, proto, payload, ident):
    header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident & 0xFFFF, 0x4000, 64, proto, 0, src, dst)
    header = header[:10] + struct.pack(">H", checksum(header)) + header[12:]
    return header + payload


def tcp(sport, dport, seq, ack, flags, payload):
    offset = (20 + len(TS_OPTION)) // 4
    return struct.pack(">HHIIBBHHH", sport, dport, seq, ack, offset << 4, flags, 502, 0, 0) + TS_OPTION + payload


def udp(sport, dport, payload):
    return struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload


def remote(n):
    return bytes([192, 0, 2, 1 + n % 40])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--datagrams", type=int, default=1_000_000)
    parser.add_argument("--distinct", type=int, default=50_000)
    args = parser.parse_args()

    body = (b"<html><head><title>page</title></head><body>" + b"<p>lorem ipsum dolor sit amet</p>\r\n" * 13)[:512]
    requests = 0
    with open(args.out, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))  # Ethernet
        for i in range(args.datagrams):
            kind = i % 10
            port = 40000 + i % 20000
            if kind == 0:
                n = requests % args.distinct
                requests += 1
                host = remote(n)
                path = "/media/%d/item%d%s" % (n % 97, n, EXTENSIONS[n % len(EXTENSIONS)])
                request = ("GET %s HTTP/1.1\r\nHost: cdn%d.example.test\r\nUser-Agent: bench/1.0\r\n"
                           "Accept: */*\r\nConnection: keep-alive\r\n\r\n" % (path, host[3])).encode()
                datagram = ipv4(LOCAL, host, 6, tcp(port, 80, i, i, 0x18, request), i)
            elif kind <= 4:
                datagram = ipv4(remote(i), LOCAL, 6, tcp(80, port, i, i, 0x10, body), i)
            elif kind <= 7:
                datagram = ipv4(LOCAL, remote(i), 6, tcp(port, 80, i, i, 0x10, b""), i)
            else:
                datagram = ipv4(LOCAL, remote(i), 17, udp(port, 53, b"\x12\x34\x01\x00\x00\x01" + b"\0" * 34), i)
            frame = ETHERNET + datagram
            out.write(struct.pack("<IIII", 1700000000 + i // 100000, i % 1000000, len(frame), len(frame)))
            out.write(frame)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Rewrites a pcap capture of Ethernet frames with another link-layer framing.

The test fixtures for the link types quorrel-scan reads are made from one real capture
of loopback traffic:

    pcap_relink.py IN OUT LINKTYPE [--truncate-last N]

LINKTYPE is one of: raw (101), ipv4 (228), null (0), loop (108), sll (113), sll2 (276),
or a number, in which case the frames are copied unchanged under that link type (for a
file of a type the program refuses). --truncate-last N cuts N bytes off the end of the
file, so the last record breaks off.
"""
import struct
import sys

FRAMINGS = {"raw": 101, "ipv4": 228, "null": 0, "loop": 108, "sll": 113, "sll2": 276}


def frames(path):
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    order = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    linktype = struct.unpack(order + "I", data[20:24])[0]
    if linktype != 1:
        sys.exit("input must be an Ethernet capture")
    at = 24
    while at + 16 <= len(data):
        sec, usec, caplen, length = struct.unpack(order + "IIII", data[at:at + 16])
        yield sec, usec, data[at + 16:at + 16 + caplen]
        at += 16 + caplen


def reframe(kind, frame):
    ethertype = frame[12:14]
    payload = frame[14:]
    if kind in ("raw", "ipv4"):
        return payload if ethertype == b"\x08\x00" else None
    if kind == "null":
        return struct.pack("<I", 2) + payload if ethertype == b"\x08\x00" else None
    if kind == "loop":
        return struct.pack(">I", 2) + payload if ethertype == b"\x08\x00" else None
    if kind == "sll":
        # packet type 0 (to us), ARPHRD_LOOPBACK 772, address length 6, the address.
        return struct.pack(">HHH", 0, 772, 6) + frame[6:12] + b"\0\0" + ethertype + payload
    if kind == "sll2":
        return ethertype + b"\0\0" + struct.pack(">IHBB", 1, 772, 0, 6) + frame[6:12] + b"\0\0" + payload
    return frame


def main():
    args = sys.argv[1:]
    cut = 0
    if "--truncate-last" in args:
        i = args.index("--truncate-last")
        cut = int(args[i + 1])
        del args[i:i + 2]
    src, dst, kind = args
    linktype = FRAMINGS.get(kind)
    if linktype is None:
        linktype = int(kind)
    out = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, linktype))
    for sec, usec, frame in frames(src):
        body = reframe(kind, frame)
        if body is None:
            continue
        out += struct.pack("<IIII", sec, usec, len(body), len(body)) + body
    with open(dst, "wb") as f:
        f.write(out[:len(out) - cut] if cut else out)


if __name__ == "__main__":
    main()

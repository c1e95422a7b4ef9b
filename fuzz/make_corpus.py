#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/TARGET/) again.

    python3 fuzz/make_corpus.py [--out FOLDER]

The seeds come from the captures the tests keep in tests/fixtures (a curl GET over
loopback in every link type the program reads, an 802.11 capture it refuses), the RFC 8448
handshake there, and TLS connections made here in memory by Python's ssl module (OpenSSL)
with their key logs: TLS 1.2 and 1.3, HTTP/1.1 and HTTP/2 inside, whose header blocks come
from libnghttp2's own encoder. Each seed is a few bytes to a few KB, in the input format
its target's comment describes. TLS seeds differ at each run (new randoms and keys); the
rest come out the same. Files that hold a finding (named finding-*) are never touched.
"""

import argparse
import ctypes
import json
import os
import pathlib
import ssl
import struct
import subprocess
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIXTURES = ROOT / "tests" / "fixtures"

# The link types the datagram and flow table targets choose by their first byte's index.
LINK_TYPES = [0, 1, 12, 14, 108, 113, 228, 229, 276, 105]

CLIENT4, SERVER4 = bytes([10, 0, 0, 1]), bytes([10, 0, 0, 2])
CLIENT6 = bytes([0xFD] + [0] * 14 + [1])
SERVER6 = bytes([0xFD] + [0] * 14 + [2])

FIN, SYN, RST, PSH, ACK = 0x01, 0x02, 0x04, 0x08, 0x10


# --- capture files ---------------------------------------------------------------------

def read_pcap(path):
    """The link type and the frames of a classic pcap file."""
    data = path.read_bytes()
    magic = struct.unpack("<I", data[:4])[0]
    endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    linktype = struct.unpack(endian + "I", data[20:24])[0] & 0x0FFFFFFF
    linktype = {101: 12}.get(linktype, linktype)  # LINKTYPE_RAW is libpcap's DLT_RAW
    frames, at = [], 24
    while at + 16 <= len(data):
        _, _, caplen, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        frames.append(data[at + 16:at + 16 + caplen])
        at += 16 + caplen
    return linktype, frames


def ip_of_ethernet(frame):
    return frame[14:]


def tcp_of_ipv4(datagram):
    """Ports, seq, flags and payload of an IPv4 TCP datagram."""
    ihl = (datagram[0] & 15) * 4
    total = struct.unpack(">H", datagram[2:4])[0]
    tcp = datagram[ihl:total]
    sport, dport, seq = struct.unpack(">HHI", tcp[:8])
    offset = (tcp[12] >> 4) * 4
    return sport, dport, seq, tcp[13], tcp[offset:]


def checksum_free_ipv4(src, dst, protocol, body, ident=1, fragment=0):
    header = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(body), ident, fragment, 64, protocol, 0, src, dst)
    return header + body


def tcp_header(sport, dport, seq, flags, payload, options=b""):
    offset = (20 + len(options)) // 4
    return struct.pack(">HHIIBBHHH", sport, dport, seq, 0, offset << 4, flags, 65535, 0, 0) + options + payload


def ipv4_tcp(src, dst, sport, dport, seq, flags, payload):
    return checksum_free_ipv4(src, dst, 6, tcp_header(sport, dport, seq, flags, payload))


def ipv6(src, dst, next_header, body, hop_limit=64):
    return struct.pack(">IHBB16s16s", 0x60000000, len(body), next_header, hop_limit, src, dst) + body


def ipv6_tcp(src, dst, sport, dport, seq, flags, payload, extensions=True):
    """IPv6 TCP; with extensions, behind a hop-by-hop and a destination options header."""
    body = tcp_header(sport, dport, seq, flags, payload)
    if not extensions:
        return ipv6(src, dst, 6, body)
    destination = bytes([6, 0, 1, 4, 0, 0, 0, 0])
    hop_by_hop = bytes([60, 0, 1, 4, 0, 0, 0, 0])
    return ipv6(src, dst, 0, hop_by_hop + destination + body)


def ethernet(payload, ethertype=0x0800, vlan=None):
    header = bytes(6) + bytes([2, 0, 0, 0, 0, 1])
    if vlan is not None:
        header += struct.pack(">HH", 0x8100, vlan)
    return header + struct.pack(">H", ethertype) + payload


class Pcapng:
    """A pcapng file, block by block, in either byte order."""

    def __init__(self, big=False):
        self.e = ">" if big else "<"
        self.out = b""

    def block(self, kind, body):
        body += bytes(-len(body) % 4)
        length = 12 + len(body)
        self.out += struct.pack(self.e + "II", kind, length) + body + struct.pack(self.e + "I", length)
        return self

    def section(self):
        return self.block(0x0A0D0D0A, struct.pack(self.e + "IHHq", 0x1A2B3C4D, 1, 0, -1))

    def interface(self, linktype=101, options=b""):
        return self.block(1, struct.pack(self.e + "HHI", linktype, 0, 262144) + options)

    def option(self, code, value):
        return struct.pack(self.e + "HH", code, len(value)) + value + bytes(-len(value) % 4)

    def packet(self, data, timestamp=1_700_000_000_000_000):
        high, low = timestamp >> 32 & 0xFFFFFFFF, timestamp & 0xFFFFFFFF
        return self.block(6, struct.pack(self.e + "IIIII", 0, high, low, len(data), len(data)) + data)

    def secrets(self, text):
        return self.block(0x0000000A, struct.pack(self.e + "II", 0x544C534B, len(text)) + text)


# --- HTTP/2 through libnghttp2's encoder ----------------------------------------------

class _Nv(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("value", ctypes.c_char_p), ("namelen", ctypes.c_size_t),
                ("valuelen", ctypes.c_size_t), ("flags", ctypes.c_uint8)]


class Deflater:
    lib = None

    def __init__(self, table=4096):
        if Deflater.lib is None:
            Deflater.lib = ctypes.CDLL("libnghttp2.so.14")
            Deflater.lib.nghttp2_hd_deflate_bound.restype = ctypes.c_size_t
            Deflater.lib.nghttp2_hd_deflate_hd.restype = ctypes.c_ssize_t
        self.d = ctypes.c_void_p()
        Deflater.lib.nghttp2_hd_deflate_new(ctypes.byref(self.d), ctypes.c_size_t(table))

    def block(self, fields):
        nvs = (_Nv * len(fields))(*[_Nv(n, v, len(n), len(v), 0) for n, v in fields])
        bound = Deflater.lib.nghttp2_hd_deflate_bound(self.d, nvs, ctypes.c_size_t(len(fields)))
        out = ctypes.create_string_buffer(bound)
        n = Deflater.lib.nghttp2_hd_deflate_hd(self.d, out, ctypes.c_size_t(bound), nvs, ctypes.c_size_t(len(fields)))
        return out.raw[:n]


def h2_frame(kind, flags, stream, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def h2_request(deflater, stream, path, authority=b"www.example.test", scheme=b"https", extra=()):
    return deflater.block([(b":method", b"GET"), (b":scheme", scheme), (b":authority", authority),
                           (b":path", path), (b"user-agent", b"Mozilla/5.0 fuzz"),
                           (b"referer", b"https://www.example.test/"), (b"cookie", b"a=1")] + list(extra))


def h2_client(paths, scheme=b"https", continuation=False):
    """A client's HTTP/2 stream: preface, SETTINGS, one HEADERS per path."""
    d = Deflater()
    out = PREFACE + h2_frame(4, 0, 0, struct.pack(">HI", 1, 65536))
    for i, path in enumerate(paths):
        block = h2_request(d, 1 + 2 * i, path, scheme=scheme)
        if continuation and i == 0:
            half = len(block) // 2
            # HEADERS with padding and priority, then CONTINUATION with END_HEADERS.
            padded = bytes([3]) + bytes(4) + bytes([15]) + block[:half] + bytes(3)
            out += h2_frame(1, 0x01 | 0x08 | 0x20, 1, padded) + h2_frame(9, 0x04, 1, block[half:])
        else:
            out += h2_frame(1, 0x05, 1 + 2 * i, block)
    return out + h2_frame(7, 0, 0, bytes(8))


# --- TLS in memory --------------------------------------------------------------------

class Tls:
    """An OpenSSL client and server joined in memory: each flight as sent, and the key log."""

    def __init__(self, workdir, version, ciphers=None, alpn=None):
        self.flights = []
        keylog = workdir / f"keys-{len(list(workdir.glob('keys-*')))}.log"
        client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        client.check_hostname = False
        client.verify_mode = ssl.CERT_NONE
        server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.load_cert_chain(workdir / "cert.pem", workdir / "key.pem")
        for ctx in (client, server):
            ctx.minimum_version = ctx.maximum_version = version
            if ciphers and version != ssl.TLSVersion.TLSv1_3:
                ctx.set_ciphers(ciphers)
            if alpn:
                ctx.set_alpn_protocols([alpn])
        client.keylog_filename = str(keylog)
        self.cin, self.cout, self.sin, self.sout = (ssl.MemoryBIO() for _ in range(4))
        self.client = client.wrap_bio(self.cin, self.cout, server_hostname="www.example.test")
        self.server = server.wrap_bio(self.sin, self.sout, server_side=True)
        for _ in range(10):
            done = self._step(self.client.do_handshake) & self._step(self.server.do_handshake)
            self._move()
            if done:
                break
        self.keylog = keylog.read_bytes()

    @staticmethod
    def _step(call):
        try:
            call()
            return True
        except ssl.SSLWantReadError:
            return False

    def _move(self):
        for side, out, into in ((0, self.cout, self.sin), (1, self.sout, self.cin)):
            data = out.read()
            if data:
                self.flights.append((side, data))
                into.write(data)

    def send(self, data):
        self.client.write(data)
        self._move()
        self._step(lambda: self.server.read(65536))
        self._move()


def tls_conversations(workdir):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-subj", "/CN=www.example.test", "-days", "3650", "-keyout", str(workdir / "key.pem"),
                    "-out", str(workdir / "cert.pem")], check=True, capture_output=True)
    get = b"GET /media/clip.mp4?x=1 HTTP/1.1\r\nHost: www.example.test\r\nUser-Agent: fuzz\r\n\r\n"
    made = {}
    t = Tls(workdir, ssl.TLSVersion.TLSv1_3, alpn="http/1.1")
    t.send(get)
    made["tls13-http1"] = t
    t = Tls(workdir, ssl.TLSVersion.TLSv1_2, ciphers="ECDHE-ECDSA-AES128-GCM-SHA256", alpn="h2")
    t.send(h2_client([b"/a/song.mp3", b"/b/clip.webm"]))
    made["tls12-h2"] = t
    t = Tls(workdir, ssl.TLSVersion.TLSv1_2, ciphers="ECDHE-ECDSA-CHACHA20-POLY1305", alpn="http/1.1")
    t.send(get)
    made["tls12-chacha-http1"] = t
    t = Tls(workdir, ssl.TLSVersion.TLSv1_3, alpn="h2")
    t.send(h2_client([b"/pics/a.png"], continuation=True))
    made["tls13-h2"] = t
    t = Tls(workdir, ssl.TLSVersion.TLSv1_2, ciphers="ECDHE-ECDSA-AES256-GCM-SHA384", alpn="http/1.1")
    t.send(get + b"\x01\x02 not a request\r\n\r\n")
    made["tls12-then-not-http"] = t
    return made


def records(stream):
    """The TLS records of one direction's bytes."""
    out, at = [], 0
    while at + 5 <= len(stream):
        length = struct.unpack(">H", stream[at + 3:at + 5])[0]
        out.append(stream[at:at + 5 + length])
        at += 5 + length
    return out


def first_handshake_body(stream):
    record = records(stream)[0]
    return record[5 + 4:5 + 4 + int.from_bytes(record[6:9], "big")]


# --- the stream reader's input --------------------------------------------------------

def piece(kind, connection=0, v6=False, ahead=False, again=False, flags=0, payload=b""):
    what = kind | connection << 2 | (0x10 if v6 else 0) | (0x20 if ahead else 0) | (0x40 if again else 0)
    return bytes([what, flags]) + struct.pack(">H", len(payload)) + payload


def opening(connection=0, v6=False):
    return (piece(0, connection, v6, flags=SYN) + piece(1, connection, v6, flags=SYN | ACK)
            + piece(0, connection, v6, flags=ACK))


def segments(side, data, connection=0, v6=False, size=1400):
    return b"".join(piece(side, connection, v6, flags=PSH | ACK, payload=data[i:i + size])
                    for i in range(0, len(data), size))


def time_passes(tenths):
    return bytes([3, 0]) + struct.pack(">H", tenths)


def closing(connection=0, v6=False):
    return piece(0, connection, v6, flags=FIN | ACK) + piece(1, connection, v6, flags=FIN | ACK)


def conversation(tls, connection=0, v6=False, keys="first"):
    """A TLS connection; its key log first, after its records (late), or never (none)."""
    out = piece(2, payload=tls.keylog) if keys == "first" else b""
    out += opening(connection, v6)
    for side, data in tls.flights:
        out += segments(side, data, connection, v6)
    if keys == "late":
        out += time_passes(20) + piece(2, payload=tls.keylog) + time_passes(10)
    return out + closing(connection, v6)


# --- the QUIC reader's input -----------------------------------------------------------

def quic_datagrams(path, server_port=8443):
    """(from the server?, UDP payload) of each IPv4 UDP datagram of an Ethernet capture."""
    _, frames = read_pcap(path)
    out = []
    for frame in frames:
        datagram = ip_of_ethernet(frame)
        if datagram[0] >> 4 != 4 or datagram[9] != 17:
            continue
        ihl = (datagram[0] & 15) * 4
        sport = struct.unpack(">H", datagram[ihl:ihl + 2])[0]
        out.append((sport == server_port, datagram[ihl + 8:]))
    return out


def quic_piece(kind, payload=b"", client=0, v6=False):
    return bytes([kind | client << 2 | (0x10 if v6 else 0)]) + struct.pack(">H", len(payload)) + payload


def quic_conversation(datagrams, keylog, keys="first", client=0, v6=False):
    """A QUIC connection's datagrams; its key log first, after them (late), or never (none)."""
    out = quic_piece(2, keylog) if keys == "first" else b""
    out += b"".join(quic_piece(1 if server else 0, d, client, v6) for server, d in datagrams)
    if keys == "late":
        out += bytes([3]) + struct.pack(">H", 20) + quic_piece(2, keylog)
    return out + bytes([3]) + struct.pack(">H", 20)


# --- the corpora ----------------------------------------------------------------------

def write(out, target, name, data):
    folder = out / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "fuzz" / "corpus")
    out = parser.parse_args().out
    for folder in out.glob("*"):
        for f in folder.glob("*"):
            if not f.name.startswith("finding-"):
                f.unlink()

    # The fixture conversation: curl's GET over loopback, as each link type frames it.
    fixtures = {name: read_pcap(FIXTURES / name) for name in
                ["lo-curl.pcap", "lo-curl-null.pcap", "lo-curl-raw.pcap", "lo-curl-sll.pcap", "lo-curl-sll2.pcap"]}
    linktype, frames = fixtures["lo-curl.pcap"]
    datagrams = [ip_of_ethernet(f) for f in frames]
    tcp = [tcp_of_ipv4(d) for d in datagrams]
    get_payload = next(p for (_, _, _, _, p) in tcp if p.startswith(b"GET "))
    get_index = next(i for i, (_, _, _, _, p) in enumerate(tcp) if p.startswith(b"GET "))

    with tempfile.TemporaryDirectory() as tmp:
        tls = tls_conversations(pathlib.Path(tmp))

    # stream_reader
    # Its three connections, from three client ports: connections 0, 1, 2 from the first.
    ports = list(dict.fromkeys(sport for sport, dport, _, flags, _ in tcp if flags == SYN))

    def fixture_stream(first=0):
        return b"".join(piece(0 if sport in ports else 1, (first + ports.index(sport if sport in ports else dport)) % 4,
                              flags=flags, payload=payload)
                        for sport, dport, _, flags, payload in tcp)

    write(out, "stream_reader", "http1-fixture", fixture_stream())
    two = get_payload + get_payload.replace(b"GET /", b"GET /second/", 1)
    write(out, "stream_reader", "http1-pipelined-v6-split",
          opening(1, True) + segments(0, two, 1, True, size=37) + closing(1, True))
    half = len(get_payload) // 2
    write(out, "stream_reader", "http1-out-of-order-wrap",
          opening(3) + piece(0, 3, ahead=True, flags=PSH | ACK, payload=get_payload[half:half * 2])
          + piece(0, 3, flags=PSH | ACK, payload=get_payload[:half])
          + piece(0, 3, again=True, flags=PSH | ACK, payload=get_payload[:half])
          + piece(0, 3, flags=PSH | ACK, payload=get_payload[half:]) + closing(3))
    write(out, "stream_reader", "h2c-prior-knowledge",
          opening(2) + segments(0, h2_client([b"/v/a.mp4", b"/v/b.m3u8"], scheme=b"http"), 2) + closing(2))
    upgrade = (b"GET /up HTTP/1.1\r\nHost: www.example.test\r\nConnection: Upgrade, HTTP2-Settings\r\n"
               b"Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQCAAAAAAIAAAAA\r\n\r\n")
    write(out, "stream_reader", "h2c-upgrade",
          opening(1) + segments(0, upgrade, 1) + segments(1, b"HTTP/1.1 101 Switching Protocols\r\n\r\n", 1)
          + segments(0, h2_client([b"/x.flac"], scheme=b"http"), 1) + closing(1))
    write(out, "stream_reader", "tls13-http1", conversation(tls["tls13-http1"]))
    write(out, "stream_reader", "tls12-h2-late-secret", conversation(tls["tls12-h2"], 1, keys="late"))
    write(out, "stream_reader", "tls12-chacha-http1-v6", conversation(tls["tls12-chacha-http1"], 2, True))
    write(out, "stream_reader", "tls13-h2-no-secret", conversation(tls["tls13-h2"], 0, keys="none"))
    write(out, "stream_reader", "tls12-late-secret-then-not-http", conversation(tls["tls12-then-not-http"], 3, keys="late"))
    write(out, "stream_reader", "two-connections",
          conversation(tls["tls13-h2"], 0, keys="late") + fixture_stream(1) + time_passes(3000))

    # datagram: the GET and the SYN in every link type of the fixtures; IPv6 and more by hand.
    for name, (dlt, fs) in fixtures.items():
        stem = name.removesuffix(".pcap")
        write(out, "datagram", stem + "-get", bytes([LINK_TYPES.index(dlt)]) + fs[get_index])
        write(out, "datagram", stem + "-syn", bytes([LINK_TYPES.index(dlt)]) + fs[0])
    v6 = ipv6_tcp(CLIENT6, SERVER6, 40000, 80, 1, PSH | ACK, get_payload)
    write(out, "datagram", "ipv6-extensions-raw", bytes([LINK_TYPES.index(229)]) + v6)
    write(out, "datagram", "ipv6-ethernet-vlan",
          bytes([LINK_TYPES.index(1)]) + ethernet(ipv6_tcp(CLIENT6, SERVER6, 40000, 443, 7, SYN, b"", False),
                                                   0x86DD, vlan=5))
    fragment = bytes([6, 0, 0, 0, 0, 0, 0, 1])
    write(out, "datagram", "ipv6-fragment", bytes([LINK_TYPES.index(12)])
          + ipv6(CLIENT6, SERVER6, 44, fragment + tcp_header(40000, 80, 9, ACK, b"GET / HTTP/1.1\r\n")))
    udp = struct.pack(">HHHH", 40000, 443, 8 + 4, 0) + b"quic"
    write(out, "datagram", "udp-443", bytes([LINK_TYPES.index(228)]) + checksum_free_ipv4(CLIENT4, SERVER4, 17, udp))
    write(out, "datagram", "icmp-fragment", bytes([LINK_TYPES.index(1)])
          + ethernet(checksum_free_ipv4(CLIENT4, SERVER4, 1, bytes([8, 0, 0, 0, 0, 1, 0, 1]), fragment=0x2000)))
    write(out, "datagram", "ipv4-options-padding", bytes([LINK_TYPES.index(113)]) + bytes(14) + b"\x08\x00"
          + struct.pack(">BBHHHBBH4s4s", 0x46, 0, 24 + 20, 1, 0, 64, 6, 0, CLIENT4, SERVER4) + bytes(4)
          + tcp_header(40000, 80, 1, SYN, b"", options=bytes([2, 4, 5, 0xB4])) + bytes(6))

    # request_extraction: payloads of GET requests.
    write(out, "request_extraction", "fixture-get", get_payload)
    write(out, "request_extraction", "proxy-form",
          b"GET http://media.example.test/a.mp3 HTTP/1.1\r\nHost: media.example.test\r\nCookie: a=1\r\n"
          b"Cookie: b=2\r\nReferer: http://www.example.test/\r\n\r\n")
    write(out, "request_extraction", "gbk-path-ipv6-host",
          "GET /音乐/歌.mp3 HTTP/1.1\r\nHost: [fd00::2]:8080\r\nUser-Agent: x\r\n\r\n".encode("gbk"))
    write(out, "request_extraction", "two-requests-options-bytes",
          b"\x02\x04\x05\x01\xb4GET /one.jpg HTTP/1.0\r\nhost: a.test\r\n\r\nget /two.png http/1.1\r\nHOST: b.test\r\n"
          b"\r\n\x00after the zero")

    # key_log: the key logs of the TLS connections, whole and with damage; byte 0 is where
    # the text is cut in two.
    for name, t in tls.items():
        write(out, "key_log", name, bytes([len(t.keylog) // 2 % 256]) + t.keylog)
    damaged = (b"# a comment\r\nCLIENT_RANDOM zz 00\n\nSERVER_HANDSHAKE_TRAFFIC_SECRET " + b"ab" * 32 + b" " + b"cd" * 32
               + b"\r\nCLIENT_RANDOM " + b"01" * 32 + b" " + b"02" * 47 + b"\n" + b"CLIENT_RANDOM " + b"0" * 5000
               + b"\nCLIENT_TRAFFIC_SECRET_0 " + b"EF" * 32 + b" " + b"12" * 48)
    write(out, "key_log", "damaged-no-last-line-end", bytes([100]) + damaged)

    # capture_file: the fixtures, and pcapng files with secrets made here.
    for name in ["lo-curl.pcap", "lo-curl.pcapng", "lo-curl-sll2.pcap", "lo-curl-null.pcap", "lo-curl-truncated.pcap",
                 "wifi.pcap"]:
        write(out, "capture_file", name, (FIXTURES / name).read_bytes())
    for big in (False, True):
        t = tls["tls13-http1"] if not big else tls["tls12-h2"]
        f = Pcapng(big).section().interface().secrets(t.keylog)
        seqs = [1000, 5000]
        f.packet(ipv4_tcp(CLIENT4, SERVER4, 40000, 443, seqs[0] - 1, SYN, b""))
        f.packet(ipv4_tcp(SERVER4, CLIENT4, 443, 40000, seqs[1] - 1, SYN | ACK, b""))
        for side, data in t.flights:
            src, dst = (CLIENT4, SERVER4) if side == 0 else (SERVER4, CLIENT4)
            ports = (40000, 443) if side == 0 else (443, 40000)
            f.packet(ipv4_tcp(src, dst, *ports, seqs[side], PSH | ACK, data))
            seqs[side] += len(data)
        write(out, "capture_file", "tls-with-secrets" + ("-big-endian" if big else "") + ".pcapng", f.out)
    # Nanosecond time stamps and an offset (pcapng if_tsresol 9, if_tsoffset 14).
    options = Pcapng().option(9, bytes([9])) + Pcapng().option(14, struct.pack("<q", 1000)) + Pcapng().option(0, b"")
    f = Pcapng().section().interface(1, options).packet(ethernet(datagrams[get_index]), 1_700_000_000_123_456_789)
    write(out, "capture_file", "nanoseconds-offset.pcapng", f.out)

    # har_file
    def har_entry(url, headers, method="GET", cookies=()):
        return {"startedDateTime": "2024-05-01T10:00:00.000Z", "time": 0,
                "request": {"method": method, "url": url, "httpVersion": "HTTP/2",
                            "headers": [{"name": n, "value": v} for n, v in headers],
                            "cookies": [{"name": n, "value": v} for n, v in cookies], "queryString": [],
                            "headersSize": -1, "bodySize": 0},
                "response": {"status": 200, "statusText": "", "httpVersion": "", "headers": [], "cookies": [],
                             "content": {"size": 0, "mimeType": "x-unknown"}, "redirectURL": "",
                             "headersSize": -1, "bodySize": -1},
                "cache": {}, "timings": {"send": 0, "wait": 0, "receive": 0}}

    def har(entries):
        return json.dumps({"log": {"version": "1.2", "creator": {"name": "fuzz", "version": "1"},
                                   "entries": entries}}, ensure_ascii=False, indent=1).encode()

    write(out, "har_file", "browser-export", har([
        har_entry("https://www.example.test/a/song.mp3",
                  [(":authority", "www.example.test"), ("Referer", "https://www.example.test/"),
                   ("cookie", "a=1"), ("Cookie", "b=2"), ("User-Agent", "Mozilla/5.0")]),
        har_entry("https://www.example.test/form", [], method="POST"),
        har_entry("data:image/png;base64,AAAA", []),
        har_entry("ftp://user@ftp.example.test/pub/a.iso", [], cookies=[("s", "1"), ("", "x")]),
        har_entry("https://www.example.test/a/song.mp3", [("Cookie", "newest=1")]),
    ]))
    write(out, "har_file", "unicode-and-controls", har([
        har_entry(" http://例子.test/音乐/歌.mp3 ", [("Referer", "http://例子.test/\r\nX: y"), ("User-Agent", "é" * 40)]),
    ]))
    write(out, "har_file", "not-har", b'{"log": {"entries": [{"request": {"method": "GET"}}]}}')

    # frame_reader: byte 0 is the size of the pieces.
    def pipe_frame(kind, index, body):
        return bytes([ord(kind), index, 0, 0]) + struct.pack("<I", len(body)) + body

    ethernet_get = frames[get_index]
    pipe = (pipe_frame("O", 0, struct.pack("<I", 1)) + pipe_frame("O", 1, struct.pack("<I", 113))
            + pipe_frame("F", 0, ethernet_get + b"\0")
            + pipe_frame("C", 0, struct.pack("<I", len(ethernet_get)) + ethernet_get[:14 + 20 + 32] + b"\0")
            + pipe_frame("F", 1, fixtures["lo-curl-sll.pcap"][1][get_index] + b"\0")
            + pipe_frame("S", 0, struct.pack("<QQ", 3, 1)) + pipe_frame("E", 1, "无法打开".encode()))
    for size in (0, 1, 7):
        write(out, "frame_reader", f"pieces-of-{size}", bytes([size]) + pipe)
    write(out, "frame_reader", "broken-inside-frame", bytes([3]) + pipe + pipe_frame("F", 0, ethernet_get)[:30])

    # flow_table: the fixture's frames, then a TLS connection's.
    table = b"".join(bytes([LINK_TYPES.index(linktype), 1]) + struct.pack(">H", len(f)) + f for f in frames)
    write(out, "flow_table", "fixture", table)
    seqs, tls_frames = [1000, 5000], b""
    for side, data in tls["tls12-h2"].flights:
        src, dst = (CLIENT4, SERVER4) if side == 0 else (SERVER4, CLIENT4)
        ports = (40000, 443) if side == 0 else (443, 40000)
        d = ipv4_tcp(src, dst, *ports, seqs[side], PSH | ACK, data)
        tls_frames += bytes([LINK_TYPES.index(12), 120]) + struct.pack(">H", len(d)) + d
        seqs[side] += len(data)
    write(out, "flow_table", "tls-and-sweep", tls_frames + table)

    # hpack_inflater: byte 0 the size of the pieces; blocks of one connection.
    d = Deflater()
    blocks = [h2_request(d, 1, b"/a.mp4"), h2_request(d, 3, b"/b.mp4", extra=[(b"x-custom", b"v" * 300)]),
              h2_request(d, 5, b"/a.mp4")]
    nghttp2_story = [bytes.fromhex("8741882f91d35d055c87a784827a879eb193aac92a136087f3e7cf9f3e7c874086f2b4e5a283ff84f07b2893"),
                     bytes.fromhex("87c18482c06087f3e7cf9f3e7c8b")]
    for name, bs, size in (("three-requests", blocks, 0), ("three-requests-pieces", blocks, 5),
                           ("nghttp2-story", nghttp2_story, 3)):
        write(out, "hpack_inflater", name, bytes([size]) + b"".join(struct.pack(">H", len(b)) + b for b in bs))
    update = bytes([0x3F, 0xE1, 0x1F]) + blocks[0]  # a dynamic table size update to 4096, then fields
    write(out, "hpack_inflater", "table-size-update", bytes([0]) + struct.pack(">H", len(update)) + update)

    # tls_records and tls_hello
    for name, t in tls.items():
        client = b"".join(data for side, data in t.flights if side == 0)
        server = b"".join(data for side, data in t.flights if side == 1)
        write(out, "tls_records", name + "-client", bytes([0 if "13" in name else 17]) + client[:4000])
        write(out, "tls_records", name + "-server", bytes([1]) + server[:3000])
        write(out, "tls_hello", name + "-client-hello", bytes([0]) + first_handshake_body(client))
        write(out, "tls_hello", name + "-server-hello", bytes([1]) + first_handshake_body(server))
    rfc = (FIXTURES / "tls" / "rfc8448-1rtt.txt").read_text()
    hexes, name = {}, None
    for line in rfc.splitlines():
        if line.startswith("["):
            name = line.strip("[]")
            hexes[name] = ""
        elif name and line and not line.startswith("#"):
            hexes[name] += line.replace(" ", "")
    hello = bytes.fromhex(hexes["client_hello_record"])
    write(out, "tls_records", "rfc8448-client-hello", bytes([2]) + hello)
    write(out, "tls_hello", "rfc8448-client-hello", bytes([0]) + hello[9:])

    # http_stream: byte 0 the size of the pieces.
    write(out, "http_stream", "fixture-get", bytes([0]) + get_payload)
    write(out, "http_stream", "keep-alive-bodies", bytes([11])
          + b"POST /up HTTP/1.1\r\nHost: a.test\r\nContent-Length: 5\r\n\r\nhello"
          + b"PUT /c HTTP/1.1\r\nHost: a.test\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n"
          + b"GET /after.mp3 HTTP/1.1\r\nHost: a.test\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n")
    write(out, "http_stream", "h2c-upgrade", bytes([0]) + upgrade + h2_client([b"/x.flac"], scheme=b"http"))
    write(out, "http_stream", "h2-prior-knowledge-continuation", bytes([9])
          + h2_client([b"/a.png", b"/b.png"], continuation=True))

    # Chromium's HTTP/3 to caddy (tests/fixtures/quic), with its key log.
    quic = quic_datagrams(FIXTURES / "quic" / "chromium-caddy.pcap")
    quic_keys = (FIXTURES / "quic" / "chromium-caddy.keys").read_bytes()
    write(out, "quic_reader", "chromium-caddy", quic_conversation(quic, quic_keys))
    write(out, "quic_reader", "chromium-caddy-late-keys", quic_conversation(quic, quic_keys, keys="late"))
    write(out, "quic_reader", "chromium-caddy-no-keys-v6", quic_conversation(quic[:12], quic_keys, keys="none", v6=True))
    write(out, "quic_reader", "two-clients-interleaved", quic_piece(2, quic_keys) + b"".join(
        quic_piece(1 if server else 0, d, client) for (server, d) in quic[:20] for client in (0, 1)))
    # aria2_answer: what aria2 answers to aria2.addUri, and what it does not.
    write(out, "aria2_answer", "gid", b'{"id":"1","jsonrpc":"2.0","result":"2089b05ecca3d829"}')
    write(out, "aria2_answer", "unauthorized", b'{"id":"1","jsonrpc":"2.0","error":{"code":1,"message":"Unauthorized"}}')
    write(out, "aria2_answer", "long-message", b'{"error":{"code":1e300,"message":"' + b"x" * 2000 + b'"}}')
    write(out, "aria2_answer", "not-json", b"<html><body>502 Bad Gateway</body></html>")


if __name__ == "__main__":
    main()

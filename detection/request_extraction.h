#pragma once
// HTTP request extraction: the absolute address of an HTTP GET request that this machine
// sent, taken from one captured datagram's payload (the request line and the Host header,
// RFC 9112 section 3). Each datagram is examined by itself. The Host header is taken as it
// is, so an IPv6 literal keeps its brackets (RFC 3986, 3.2.2): "http://[::1]:8080/a.mp3".

#include "base/fetch_hints.h"
#include "base/request_headers.h"
#include "capture/datagram.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace quorrel {

struct Extraction {
    std::optional<QString> address; // the request's absolute address, when one was found
};

// The extraction rules for one datagram read by the capture of local address ip (host
// order). Only a datagram sent from ip is examined (the check comes first, and costs
// nothing for the incoming traffic that makes up most of what is read). The address is
// decoded from GBK.
Extraction ExtractRequest(std::uint32_t ip, std::uint32_t sourceIP, Bytes payload);
// The same for a capture of an IPv4 or IPv6 address: a datagram counts as sent from ip when
// its source is the very same address, of the same family.
Extraction ExtractRequest(const IpAddress &ip, const IpAddress &sourceIP, Bytes payload);

// The address of the GET request in one payload, in its raw (GBK) bytes. The payload is
// read as text up to its first zero byte, trimmed, cleared of the bytes 02 04 05 01 B4 and
// its CR LF pairs replaced by "|" (character by character in code page 936), then split
// into lines at "|"; the last "get" line gives the path (between the method and
// "http/") and the last "host:" line the host. The address is "http://" + host + path,
// or the path itself when the request line already names an absolute http, https or ftp
// address (proxy form, RFC 9112 section 3.2.2).
std::optional<QByteArray> ExtractRequestBytes(Bytes payload);

// The same rules over the head "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n":
// how a request read from a stream is cut to the address a single datagram would give.
// Paths and hosts of printable ASCII are cut at once, without building the head.
std::optional<QByteArray> ExtractRequestBytes(QByteArrayView path, QByteArrayView host);

// The requests the rules above found but dropped, their authority and path together
// being longer than kMaxAddressBytes (base/text_rules.h); counted on this thread since it
// started.
std::uint64_t LongAddressesDropped();

// The head of the GET request that the rules above take the address from (the last request
// line beginning with "get" in the payload), read by RFC 9112's own lines: its version and
// the Referer, Cookie and User-Agent fields up to the blank line that ends the head. Several
// Cookie lines are joined with "; " (RFC 6265, 5.4); of the others the last counts. Read from
// the payload as it came (up to its first zero byte), so a value keeps every byte it had;
// a value that could break a request is dropped (RequestHeaders::captured). Its
// Sec-Fetch-Dest, Range and Accept, the last of each, say what it fetches (FetchHints).
struct CapturedHead {
    QByteArray httpVersion; // "HTTP/1.1", or empty when the request line names none
    RequestHeaders headers;
    FetchHints hints;
};
CapturedHead ExtractRequestHead(Bytes payload);

} // namespace quorrel

#pragma once
// HTTP request extraction: the absolute address of an HTTP GET request that this machine
// sent, taken from one captured datagram's payload (the request line and the Host header,
// RFC 9112 section 3). Each datagram is examined by itself.

#include "capture/datagram.h"

#include <QString>
#include <optional>

namespace quorrel {

inline const QString kMonitoringStartedLine = QStringLiteral("开始监测上网数据......");

struct Extraction {
    bool logStartLine = false;      // the log was empty: add kMonitoringStartedLine first
    std::optional<QString> address; // "http://" + host + path, when both were found
};

// The extraction rules for one datagram read by the capture of local address ip:
// the payload is read as text up to its first zero byte, trimmed, cleared of the bytes
// 02 04 05 01 B4 (character by character in code page 936), split into lines at CR LF,
// and the last "get" line and the last "host:" line decide. Only a datagram sent from ip
// is examined. A request line whose target is already absolute (proxy form) gives that
// target as the address.
Extraction ExtractRequest(bool logIsEmpty, std::uint32_t ip, std::uint32_t sourceIP, Bytes payload);

// The same on the raw bytes, for callers that have no Datagram.
std::optional<QByteArray> ExtractRequestBytes(Bytes payload);

} // namespace quorrel

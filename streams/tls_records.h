#pragma once
// TLS records cut from one direction of a TCP stream (RFC 8446 5.1, RFC 5246 6.2): a 5-byte
// header (content type, legacy version, length) and a body. The stream may stop anywhere,
// so a record that has not all arrived is kept until it has; its length is checked before
// a byte of it is kept.

#include "streams/stream_types.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorrel::streams::tls {

enum ContentType : std::uint8_t {
    kChangeCipherSpec = 20,
    kAlert = 21,
    kHandshake = 22,
    kApplicationData = 23,
    kHeartbeat = 24,
};

constexpr std::size_t kRecordHeaderSize = 5;
constexpr std::size_t kMaxPlaintext = 1u << 14;               // RFC 8446 5.1, RFC 5246 6.2.1
constexpr std::size_t kMaxCiphertextTls12 = kMaxPlaintext + 2048; // RFC 5246 6.2.3
constexpr std::size_t kMaxCiphertextTls13 = kMaxPlaintext + 256;  // RFC 8446 5.2

struct Record {
    std::uint8_t type = 0;
    std::uint16_t version = 0;
    Bytes header; // the 5 bytes as sent: TLS 1.3 authenticates them
    Bytes body;
};

// Reads the header at the start of bytes (at least 5 of them).
Record recordAt(Bytes bytes);

class RecordFramer {
public:
    enum class Result {
        Ok,       // every whole record was taken; a partial one waits for more bytes
        Stopped,  // the taker said stop; the rest of the bytes were not looked at
        NotTls,   // a header that no TLS peer sends
        Oversize, // a length over the limit
    };

    // Records longer than this end the stream (TLS 1.2's limit until the version is known).
    void setMaxLength(std::size_t length) { m_maxLength = length; }

    // Hands each whole record to take(const Record &) -> bool, in order; the record's
    // views are valid for that call only. Returns at the first false.
    template <typename Take>
    Result feed(Bytes bytes, Take &&take);

    // The room held for a record that has not all arrived yet.
    std::size_t buffered() const { return m_partial.capacity(); }

private:
    // The body length the header at bytes announces, or a failure.
    Result check(Bytes header, std::size_t *length) const;

    std::vector<std::byte> m_partial; // a record's first bytes, its header among them
    std::size_t m_need = 0;           // the partial record's whole size, once its header is in
    std::size_t m_maxLength = kMaxCiphertextTls12;
};

template <typename Take>
RecordFramer::Result RecordFramer::feed(Bytes bytes, Take &&take)
{
    while (!bytes.empty()) {
        if (!m_partial.empty()) {
            if (m_partial.size() < kRecordHeaderSize) {
                const std::size_t n = std::min(kRecordHeaderSize - m_partial.size(), bytes.size());
                m_partial.insert(m_partial.end(), bytes.begin(), bytes.begin() + n);
                bytes = bytes.subspan(n);
                if (m_partial.size() < kRecordHeaderSize)
                    return Result::Ok;
                std::size_t length = 0;
                if (const Result r = check(Bytes(m_partial), &length); r != Result::Ok)
                    return r;
                m_need = kRecordHeaderSize + length;
                m_partial.reserve(m_need);
            }
            const std::size_t n = std::min(m_need - m_partial.size(), bytes.size());
            m_partial.insert(m_partial.end(), bytes.begin(), bytes.begin() + n);
            bytes = bytes.subspan(n);
            if (m_partial.size() < m_need)
                return Result::Ok;
            const bool more = take(recordAt(Bytes(m_partial)));
            m_partial.clear();
            m_need = 0;
            if (!more)
                return Result::Stopped;
            continue;
        }
        if (bytes.size() < kRecordHeaderSize) {
            m_partial.assign(bytes.begin(), bytes.end());
            return Result::Ok;
        }
        std::size_t length = 0;
        if (const Result r = check(bytes, &length); r != Result::Ok)
            return r;
        if (bytes.size() - kRecordHeaderSize < length) {
            // The rest comes in a later call: keep what is here.
            m_need = kRecordHeaderSize + length;
            m_partial.reserve(m_need);
            m_partial.assign(bytes.begin(), bytes.end());
            return Result::Ok;
        }
        const bool more = take(recordAt(bytes.first(kRecordHeaderSize + length)));
        bytes = bytes.subspan(kRecordHeaderSize + length);
        if (!more)
            return Result::Stopped;
    }
    return Result::Ok;
}

} // namespace quorrel::streams::tls

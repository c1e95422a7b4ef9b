#pragma once
// What a captured request says about the resource it fetches, beside its address: a
// browser names the destination of every fetch (Sec-Fetch-Dest, Fetch Metadata Request
// Headers), a media element asks for byte ranges (Range: bytes=, RFC 9110 14.2), and an
// image element accepts pictures first (Accept: image/...). Much of today's media comes
// from addresses without an extension; these say what it is. Kept in memory for the one
// filing of the request only.

#include <QByteArray>
#include <QByteArrayView>

namespace quorrel {

struct FetchHints {
    QByteArray dest;   // Sec-Fetch-Dest as sent; empty when the request had none
    QByteArray range;  // Range
    QByteArray accept; // Accept

    bool isEmpty() const { return dest.isEmpty() && range.isEmpty() && accept.isEmpty(); }
    friend bool operator==(const FetchHints &, const FetchHints &) = default;

    // A value longer than this is dropped: a destination is one short token, a media
    // element's range one or two numbers, and a browser's Accept well under it. Nothing
    // longer can say more, and none of it is kept beyond the filing.
    static constexpr qsizetype kMaxValue = 256;

    // The values as they came, each checked as RequestHeaders::checkedValue checks one
    // (trimmed, dropped when it holds a control character) and dropped when longer than
    // kMaxValue.
    static FetchHints captured(QByteArrayView dest, QByteArrayView range, QByteArrayView accept);
};

} // namespace quorrel

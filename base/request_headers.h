#pragma once
// The headers of a captured request that a download of the same address needs: many
// servers refuse a request without the page's Referer, the session's Cookie or a browser's
// User-Agent. Kept in memory only, with the resource and then with its task: they are
// never written to a file of the program, to the log or to the clipboard.

#include <QByteArray>
#include <QByteArrayView>

namespace quorrel {

struct RequestHeaders {
    QByteArray referer;   // empty when the request had none
    QByteArray cookie;
    QByteArray userAgent;

    bool isEmpty() const { return referer.isEmpty() && cookie.isEmpty() && userAgent.isEmpty(); }
    friend bool operator==(const RequestHeaders &, const RequestHeaders &) = default;

    // A value longer than this is dropped: browsers send far less, and a value that long
    // would be refused by most servers (and by ffmpeg's header buffer) anyway.
    static constexpr qsizetype kMaxValue = 8192;

    // The headers as they came from the wire or a file, each value checked: trimmed of
    // blanks, and dropped when it is too long or holds a control character (CR, LF and NUL
    // among them: a value must never split the request it is sent in).
    static RequestHeaders captured(QByteArrayView referer, QByteArrayView cookie, QByteArrayView userAgent);
    // One value by the same rule: empty when dropped.
    static QByteArray checkedValue(QByteArrayView value);
    // Whether captured(referer, cookie, userAgent) would give these very headers; it
    // copies nothing, for a check made on every captured request.
    bool sameAsCaptured(QByteArrayView referer, QByteArrayView cookie, QByteArrayView userAgent) const;
};

} // namespace quorrel

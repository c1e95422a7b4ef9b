#pragma once
// HAR files (HTTP Archive 1.2, the format browsers' developer tools export requests in):
// quorrel-scan writes the requests it filed as one, quorrel-fetch reads the requests of one
// with their Referer, Cookie and User-Agent. Written with Qt's JSON classes; read in place
// with a JsonScanner, which keeps of each entry only what its request needs.
//
// What is written: one entry per request, with every field HAR 1.2 requires. A capture
// sees requests, not answers, so each response is the empty one browsers write for a
// request that got none (status 0, as Chrome and Firefox do for a blocked request), "time"
// and every timing are 0 and "cache" is empty; Chrome's and Firefox's importers and the HAR
// viewers take such entries. The file holds the captured cookies: it is made readable by
// its owner alone.

#include "base/request_headers.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

namespace quorrel {

struct HarRequest {
    QString method = QStringLiteral("GET");
    QString url;                                  // as filed; GBK bytes as fromGbk gives them
    QString httpVersion = QStringLiteral("HTTP/1.1");
    RequestHeaders headers;                       // values are GBK bytes
    QDateTime started;                            // when it was captured
};

// The whole file: log.version "1.2", log.creator the program, log.entries the requests.
QByteArray HarDocument(const QList<HarRequest> &requests, const QString &creator, const QString &version);

// Writes the document to path in one piece (a new file renamed over the old), mode 0600.
// The reason on failure.
std::optional<QString> WriteHarFile(const QString &path, const QList<HarRequest> &requests, const QString &creator,
                                    const QString &version);

struct HarReading {
    QList<HarRequest> requests;   // the GET requests of http, https and ftp addresses, each address once
    int skipped = 0;              // other methods and schemes (POST, data:, ws:...), and
                                  // addresses longer than 64 KiB
    std::optional<QString> error; // the file is not a HAR file, and why; nothing is taken
};

// Reads the requests of a HAR file: request.method, request.url, and of request.headers the
// Referer, Cookie and User-Agent (names in any case; an HTTP/2 export's pseudo-headers such
// as ":authority" are passed over; several Cookie headers are joined with "; ", and without
// any the request.cookies list gives it). An address listed more than once is taken once,
// in its first place, with the headers of its last entry (the newest cookie).
// A text over kMaxHarBytes is refused, with its size.
HarReading ReadHar(const QByteArray &bytes);

// The largest HAR file read: a browser's export of a long session with every body in it
// may be larger, but its requests alone are a few megabytes at most.
inline constexpr qint64 kMaxHarBytes = qint64(256) << 20;

// ReadHar of the file at path; a file over kMaxHarBytes is refused by its size before it is
// read. A file that cannot be read gives the system's reason.
HarReading ReadHarFile(const QString &path);

} // namespace quorrel

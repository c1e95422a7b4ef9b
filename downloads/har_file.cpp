#include "downloads/har_file.h"

#include "base/gbk_text.h"
#include "downloads/ftp_address.h"
#include "downloads/json_scanner.h"

#include <QFile>
#include <QFileDevice>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace quorrel {
namespace {

QJsonObject pair(const QString &name, const QString &value)
{
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("value"), value}};
}

// The authority of an absolute address: between "://" and the path.
QString authorityOf(const QString &url)
{
    const qsizetype start = url.indexOf(QLatin1String("://"));
    if (start < 0)
        return {};
    const qsizetype from = start + 3;
    qsizetype end = from;
    while (end < url.size() && url[end] != u'/' && url[end] != u'?' && url[end] != u'#')
        ++end;
    return url.mid(from, end - from);
}

// The name=value pairs of a Cookie header, or of a query string.
QJsonArray pairs(const QString &text, QChar separator)
{
    QJsonArray list;
    for (const QString &p : text.split(separator, Qt::SkipEmptyParts)) {
        const QString item = p.trimmed();
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        list.append(equals < 0 ? pair(item, QString()) : pair(item.left(equals), item.mid(equals + 1)));
    }
    return list;
}

QJsonObject entry(const HarRequest &r)
{
    QJsonArray headers;
    const QString host = authorityOf(r.url);
    if (!host.isEmpty())
        headers.append(pair(QStringLiteral("Host"), host));
    if (!r.headers.userAgent.isEmpty())
        headers.append(pair(QStringLiteral("User-Agent"), fromGbk(r.headers.userAgent)));
    if (!r.headers.referer.isEmpty())
        headers.append(pair(QStringLiteral("Referer"), fromGbk(r.headers.referer)));
    if (!r.headers.cookie.isEmpty())
        headers.append(pair(QStringLiteral("Cookie"), fromGbk(r.headers.cookie)));

    const qsizetype question = r.url.indexOf(QLatin1Char('?'));
    QString query = question < 0 ? QString() : r.url.mid(question + 1);
    query.truncate(query.indexOf(QLatin1Char('#')) < 0 ? query.size() : query.indexOf(QLatin1Char('#')));

    const QJsonObject request{
        {QStringLiteral("method"), r.method},
        {QStringLiteral("url"), r.url},
        {QStringLiteral("httpVersion"), r.httpVersion},
        {QStringLiteral("cookies"), pairs(fromGbk(r.headers.cookie), QLatin1Char(';'))},
        {QStringLiteral("headers"), headers},
        {QStringLiteral("queryString"), pairs(query, QLatin1Char('&'))},
        {QStringLiteral("headersSize"), -1},
        {QStringLiteral("bodySize"), 0},
    };
    const QJsonObject response{
        {QStringLiteral("status"), 0},
        {QStringLiteral("statusText"), QString()},
        {QStringLiteral("httpVersion"), QString()},
        {QStringLiteral("cookies"), QJsonArray()},
        {QStringLiteral("headers"), QJsonArray()},
        {QStringLiteral("content"), QJsonObject{{QStringLiteral("size"), 0}, {QStringLiteral("mimeType"), QStringLiteral("x-unknown")}}},
        {QStringLiteral("redirectURL"), QString()},
        {QStringLiteral("headersSize"), -1},
        {QStringLiteral("bodySize"), -1},
    };
    const QDateTime started = (r.started.isValid() ? r.started : QDateTime::currentDateTimeUtc()).toUTC();
    return QJsonObject{
        {QStringLiteral("startedDateTime"), started.toString(Qt::ISODateWithMs)},
        {QStringLiteral("time"), 0},
        {QStringLiteral("request"), request},
        {QStringLiteral("response"), response},
        {QStringLiteral("cache"), QJsonObject()},
        {QStringLiteral("timings"), QJsonObject{{QStringLiteral("send"), 0}, {QStringLiteral("wait"), 0}, {QStringLiteral("receive"), 0}}},
    };
}

QString harTooLarge(qint64 size)
{
    return QStringLiteral("the file is larger than 256 MiB (") + QString::number(size) +
           QStringLiteral(" bytes); a HAR file saved with the contents of every answer can be, but the requests alone never are");
}

} // namespace

QByteArray HarDocument(const QList<HarRequest> &requests, const QString &creator, const QString &version)
{
    QJsonArray entries;
    for (const HarRequest &r : requests)
        entries.append(entry(r));
    const QJsonObject log{
        {QStringLiteral("version"), QStringLiteral("1.2")},
        {QStringLiteral("creator"), QJsonObject{{QStringLiteral("name"), creator}, {QStringLiteral("version"), version}}},
        {QStringLiteral("entries"), entries},
    };
    return QJsonDocument(QJsonObject{{QStringLiteral("log"), log}}).toJson(QJsonDocument::Indented);
}

std::optional<QString> WriteHarFile(const QString &path, const QList<HarRequest> &requests, const QString &creator,
                                    const QString &version)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    // The captured cookies are in it: its owner's alone, from the first byte on.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray document = HarDocument(requests, creator, version);
    if (file.write(document) != document.size() || !file.commit())
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    return std::nullopt;
}

namespace {

// Longer texts are passed over: an address that long is none a download takes (a data:
// address with a picture in it, say), and a header value that long is dropped anyway
// (RequestHeaders::kMaxValue).
constexpr qsizetype kMaxUrlText = 64 * 1024;
constexpr qsizetype kMaxHeaderText = 4 * RequestHeaders::kMaxValue;
constexpr qsizetype kMaxShortText = 256;

struct NameValue {
    QString name;
    QString value;
    bool valueTooLong = false;
};

// A list of {"name": ..., "value": ...} objects (request.headers, request.cookies); other
// elements and members are passed over.
bool readPairs(JsonScanner &json, QList<NameValue> &pairs)
{
    return json.readArray([&](qsizetype) {
        if (json.peek() != '{')
            return json.skip();
        NameValue pair;
        const bool ok = json.readObject([&](const QString &member) {
            if (json.peek() != '"')
                return json.skip();
            if (member == QLatin1String("name"))
                return json.readString(pair.name, kMaxShortText * 4);
            if (member == QLatin1String("value"))
                return json.readString(pair.value, kMaxHeaderText, &pair.valueTooLong);
            return json.skip();
        });
        pairs.append(pair);
        return ok;
    });
}

struct EntryRequest {
    std::optional<QString> method, url, httpVersion;
    bool urlTooLong = false;
    bool headersNotAList = false;
    QList<NameValue> headers, cookies;
};

bool readRequest(JsonScanner &json, EntryRequest &r)
{
    return json.readObject([&](const QString &member) {
        const auto text = [&](std::optional<QString> &into, qsizetype max, bool *tooLong) {
            if (json.peek() != '"')
                return json.skip();
            QString value;
            if (!json.readString(value, max, tooLong))
                return false;
            into = value;
            return true;
        };
        if (member == QLatin1String("method"))
            return text(r.method, kMaxShortText, nullptr);
        if (member == QLatin1String("url"))
            return text(r.url, kMaxUrlText, &r.urlTooLong);
        if (member == QLatin1String("httpVersion"))
            return text(r.httpVersion, kMaxShortText, nullptr);
        if (member == QLatin1String("headers")) {
            if (json.peek() != '[') {
                r.headersNotAList = true;
                return json.skip();
            }
            return readPairs(json, r.headers);
        }
        if (member == QLatin1String("cookies") && json.peek() == '[')
            return readPairs(json, r.cookies);
        return json.skip(); // postData, queryString, sizes: not needed
    });
}

// One entry of log.entries into reading; false ends the reading (json says why).
bool readEntry(JsonScanner &json, qsizetype index, HarReading &reading, QHash<QString, qsizetype> &seen)
{
    const QString where = QStringLiteral("entry ") + QString::number(index + 1) + QStringLiteral(": ");
    if (json.peek() != '{')
        return json.skip() && json.fail(where + QStringLiteral("no \"request\" object"));
    bool haveRequest = false;
    EntryRequest r;
    std::optional<QString> started;
    if (!json.readObject([&](const QString &member) {
            if (member == QLatin1String("request") && json.peek() == '{') {
                haveRequest = true;
                r = EntryRequest();
                return readRequest(json, r);
            }
            if (member == QLatin1String("startedDateTime") && json.peek() == '"') {
                QString text;
                if (!json.readString(text, kMaxShortText))
                    return false;
                started = text;
                return true;
            }
            return json.skip(); // response (the bodies), cache, timings...
        }))
        return false;
    if (!haveRequest)
        return json.fail(where + QStringLiteral("no \"request\" object"));
    if (!r.method || !r.url)
        return json.fail(where + QStringLiteral("the request has no \"method\" or \"url\" text"));
    if (r.headersNotAList)
        return json.fail(where + QStringLiteral("\"headers\" is not a list"));

    HarRequest h;
    h.method = *r.method;
    h.url = r.url->trimmed();
    h.httpVersion = r.httpVersion.value_or(QString());
    if (started)
        h.started = QDateTime::fromString(*started, Qt::ISODateWithMs);
    if (r.urlTooLong || h.method.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0 || AddressScheme(h.url) == 0 ||
        !h.url.contains(QLatin1String("://"))) {
        ++reading.skipped;
        return true;
    }
    QByteArray referer, cookie, userAgent;
    for (const NameValue &header : r.headers) {
        if (header.valueTooLong)
            continue;
        const QString name = header.name.toLower();
        const QByteArray value = toGbk(header.value);
        if (name == QLatin1String("referer"))
            referer = value;
        else if (name == QLatin1String("user-agent"))
            userAgent = value;
        else if (name == QLatin1String("cookie"))
            cookie += (cookie.isEmpty() ? QByteArray() : QByteArray("; ")) + value.trimmed();
    }
    if (cookie.isEmpty()) {
        for (const NameValue &c : r.cookies) {
            if (c.name.isEmpty() || c.valueTooLong)
                continue;
            cookie += (cookie.isEmpty() ? QByteArray() : QByteArray("; ")) + toGbk(c.name) + '=' + toGbk(c.value);
        }
    }
    h.headers = RequestHeaders::captured(referer, cookie, userAgent);
    if (const auto at = seen.constFind(h.url); at != seen.constEnd()) {
        reading.requests[*at].headers = h.headers;
        return true;
    }
    seen.insert(h.url, reading.requests.size());
    reading.requests.append(h);
    return true;
}

} // namespace

HarReading ReadHar(const QByteArray &bytes)
{
    HarReading reading;
    const auto refuse = [&reading](const QString &why) {
        reading.requests.clear();
        reading.skipped = 0;
        reading.error = QStringLiteral("not a HAR file: ") + why;
        return reading;
    };
    if (bytes.size() > kMaxHarBytes)
        return refuse(harTooLarge(bytes.size()));
    // Read in place: only what each entry's request needs is kept.
    JsonScanner json(bytes);
    if (json.peek() != '{') {
        if (json.skip() && json.atEnd())
            return refuse(QStringLiteral("the document is not an object"));
        return refuse(json.error());
    }
    bool sawLog = false, sawEntries = false;
    QHash<QString, qsizetype> seen; // address -> its place in requests
    const bool read = json.readObject([&](const QString &name) {
        if (name != QLatin1String("log") || json.peek() != '{')
            return json.skip();
        sawLog = true;
        return json.readObject([&](const QString &member) {
            if (member != QLatin1String("entries") || json.peek() != '[')
                return json.skip();
            sawEntries = true;
            return json.readArray([&](qsizetype index) { return readEntry(json, index, reading, seen); });
        });
    });
    if (!read || !json.atEnd())
        return refuse(json.error());
    if (!sawLog)
        return refuse(QStringLiteral("no \"log\" object"));
    if (!sawEntries)
        return refuse(QStringLiteral("no \"log.entries\" list"));
    return reading;
}

HarReading ReadHarFile(const QString &path)
{
    HarReading reading;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reading.error = file.errorString();
        return reading;
    }
    // Refused before it is read, by its size; a file that grows meanwhile is read no further
    // than one byte past the bound, which refuses it as well.
    if (file.size() > kMaxHarBytes) {
        reading.error = QStringLiteral("not a HAR file: ") + harTooLarge(file.size());
        return reading;
    }
    const QByteArray bytes = file.read(kMaxHarBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        reading.error = file.errorString();
        return reading;
    }
    return ReadHar(bytes);
}

} // namespace quorrel

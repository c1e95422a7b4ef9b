#include "downloads/har_file.h"

#include "base/gbk_text.h"
#include "downloads/ftp_address.h"

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

// A member of a JSON object that must be there with the given type.
template <typename Check>
bool member(const QJsonObject &object, const char *name, Check isType, QJsonValue &value)
{
    value = object.value(QLatin1String(name));
    return (value.*isType)();
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

HarReading ReadHar(const QByteArray &bytes)
{
    HarReading reading;
    const auto refuse = [&reading](const QString &why) {
        reading.requests.clear();
        reading.error = QStringLiteral("not a HAR file: ") + why;
        return reading;
    };
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("%1 at byte %2").arg(parse.errorString()).arg(parse.offset));
    if (!document.isObject())
        return refuse(QStringLiteral("the document is not an object"));
    QJsonValue log, entries;
    if (!member(document.object(), "log", &QJsonValue::isObject, log))
        return refuse(QStringLiteral("no \"log\" object"));
    if (!member(log.toObject(), "entries", &QJsonValue::isArray, entries))
        return refuse(QStringLiteral("no \"log.entries\" list"));

    QHash<QString, qsizetype> seen; // address -> its place in requests
    const QJsonArray list = entries.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QString where = QStringLiteral("entry %1: ").arg(i + 1);
        QJsonValue request, method, url;
        if (!list[i].isObject() || !member(list[i].toObject(), "request", &QJsonValue::isObject, request))
            return refuse(where + QStringLiteral("no \"request\" object"));
        const QJsonObject r = request.toObject();
        if (!member(r, "method", &QJsonValue::isString, method) || !member(r, "url", &QJsonValue::isString, url))
            return refuse(where + QStringLiteral("the request has no \"method\" or \"url\" text"));
        const QJsonValue headerList = r.value(QLatin1String("headers"));
        if (!headerList.isUndefined() && !headerList.isArray())
            return refuse(where + QStringLiteral("\"headers\" is not a list"));

        HarRequest h;
        h.method = method.toString();
        h.url = url.toString().trimmed();
        h.httpVersion = r.value(QLatin1String("httpVersion")).toString();
        h.started = QDateTime::fromString(list[i].toObject().value(QLatin1String("startedDateTime")).toString(), Qt::ISODateWithMs);
        if (h.method.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0 || AddressScheme(h.url) == 0 ||
            !h.url.contains(QLatin1String("://"))) {
            ++reading.skipped;
            continue;
        }
        QByteArray referer, cookie, userAgent;
        for (const QJsonValue &header : headerList.toArray()) {
            const QString name = header.toObject().value(QLatin1String("name")).toString().toLower();
            const QByteArray value = toGbk(header.toObject().value(QLatin1String("value")).toString());
            if (name == QLatin1String("referer"))
                referer = value;
            else if (name == QLatin1String("user-agent"))
                userAgent = value;
            else if (name == QLatin1String("cookie"))
                cookie += (cookie.isEmpty() ? QByteArray() : QByteArray("; ")) + value.trimmed();
        }
        if (cookie.isEmpty()) {
            for (const QJsonValue &c : r.value(QLatin1String("cookies")).toArray()) {
                const QString name = c.toObject().value(QLatin1String("name")).toString();
                if (name.isEmpty())
                    continue;
                cookie += (cookie.isEmpty() ? QByteArray() : QByteArray("; ")) + toGbk(name) + '=' +
                          toGbk(c.toObject().value(QLatin1String("value")).toString());
            }
        }
        h.headers = RequestHeaders::captured(referer, cookie, userAgent);
        if (const auto at = seen.constFind(h.url); at != seen.constEnd()) {
            reading.requests[*at].headers = h.headers;
            continue;
        }
        seen.insert(h.url, reading.requests.size());
        reading.requests.append(h);
    }
    return reading;
}

} // namespace quorrel

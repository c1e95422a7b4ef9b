#include "downloads/aria2_rpc.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QUrl>

namespace quorrel {

std::optional<Aria2Failure> CheckAria2Endpoint(const Aria2Endpoint &endpoint)
{
    const QUrl url(endpoint.address.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty())
        return Aria2Failure{Aria2Failure::BadEndpoint, endpoint.address};
    return std::nullopt;
}

// In the window's language; the window lists these texts for its translation.
QString Aria2FailureText(const Aria2Failure &failure)
{
    switch (failure.kind) {
    case Aria2Failure::BadEndpoint:
        return QCoreApplication::translate("quorrel", "aria2 的地址无效（config.ini 的 aria2dz）：") + failure.detail;
    case Aria2Failure::Unreachable:
        return QCoreApplication::translate("quorrel", "无法连接 aria2：") + failure.detail;
    case Aria2Failure::Refused:
        return QCoreApplication::translate("quorrel", "aria2 拒绝了下载：") + failure.detail;
    case Aria2Failure::NoAnswer:
        break;
    }
    return QCoreApplication::translate("quorrel", "aria2 的回答无法读取：") + failure.detail;
}

namespace {

// A header value as JSON text: JSON strings are Unicode (RFC 8259, 8.1), so bytes that
// are not UTF-8 have no faithful form, and the header is better left out than altered.
std::optional<QString> utf8Text(const QByteArray &value)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(value);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

QByteArray Aria2AddUriBody(const Aria2Endpoint &endpoint, const Aria2Item &item, const QString &dir, const QString &id,
                           QStringList *skipped)
{
    QJsonArray headers;
    const auto add = [&](const char *name, const QByteArray &value) {
        if (value.isEmpty())
            return;
        if (const std::optional<QString> text = utf8Text(value))
            headers.append(QLatin1String(name) + QStringLiteral(": ") + *text);
        else if (skipped)
            skipped->append(QLatin1String(name));
    };
    add("Referer", item.headers.referer);
    add("Cookie", item.headers.cookie);
    add("User-Agent", item.headers.userAgent);

    QJsonObject options;
    if (!headers.isEmpty())
        options.insert(QStringLiteral("header"), headers);
    if (!dir.isEmpty())
        options.insert(QStringLiteral("dir"), dir);
    if (!item.fileName.isEmpty())
        options.insert(QStringLiteral("out"), item.fileName);

    QJsonArray params;
    if (!endpoint.secret.isEmpty())
        params.append(QStringLiteral("token:") + endpoint.secret);
    params.append(QJsonArray{item.address});
    params.append(options);
    const QJsonObject call{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                           {QStringLiteral("id"), id},
                           {QStringLiteral("method"), QStringLiteral("aria2.addUri")},
                           {QStringLiteral("params"), params}};
    return QJsonDocument(call).toJson(QJsonDocument::Compact);
}

Aria2Answer ReadAria2Answer(const QByteArray &body)
{
    Aria2Answer answer;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (!doc.isObject()) {
        answer.failure = {Aria2Failure::NoAnswer, parseError.error != QJsonParseError::NoError
                                                      ? parseError.errorString()
                                                      : QStringLiteral("not a JSON object")};
        return answer;
    }
    const QJsonObject reply = doc.object();
    const QJsonValue result = reply.value(QStringLiteral("result"));
    if (result.isString() && !result.toString().isEmpty()) {
        answer.gid = result.toString();
        return answer;
    }
    const QJsonValue error = reply.value(QStringLiteral("error"));
    if (error.isObject()) {
        const QJsonObject e = error.toObject();
        const QString message = e.value(QStringLiteral("message")).toString();
        const QJsonValue code = e.value(QStringLiteral("code"));
        answer.failure = {Aria2Failure::Refused,
                          (message.isEmpty() ? QStringLiteral("?") : message.left(512))
                              + (code.isDouble() ? QStringLiteral(" (%1)").arg(code.toInteger()) : QString())};
        return answer;
    }
    answer.failure = {Aria2Failure::NoAnswer, QStringLiteral("neither a result nor an error")};
    return answer;
}

Aria2Client::Aria2Client(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{
    // aria2 listens on this machine as a rule; a proxy of the session's must not stand
    // between the two.
    m_network->setProxy(QNetworkProxy::NoProxy);
}

Aria2Client::~Aria2Client() = default;

void Aria2Client::addUris(const Aria2Endpoint &endpoint, const QList<Aria2Item> &items, const QString &dir)
{
    if (items.isEmpty())
        return;
    if (const std::optional<Aria2Failure> bad = CheckAria2Endpoint(endpoint)) {
        for (const Aria2Item &item : items)
            emit refused(item, *bad);
        if (m_pending == 0)
            emit finished();
        return;
    }
    const QUrl url(endpoint.address.trimmed());
    for (const Aria2Item &item : items) {
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        request.setTransferTimeout(kTimeoutMs);
        // aria2's answer is all the program reads: no redirect leads the call elsewhere.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QStringList skipped;
        const QByteArray body = Aria2AddUriBody(endpoint, item, dir, QString::number(m_nextId++), &skipped);
        if (!skipped.isEmpty())
            emit headersLeftOut(item, skipped);
        QNetworkReply *reply = m_network->post(request, body);
        ++m_pending;
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
            if (received > kMaxAnswer)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply, item] { answered(reply, item); });
    }
}

void Aria2Client::answered(QNetworkReply *reply, const Aria2Item &item)
{
    reply->deleteLater();
    --m_pending;
    const QByteArray body = reply->read(kMaxAnswer + 1);
    // aria2 answers an error with an HTTP error status and a JSON-RPC error object: the
    // object says more than the status.
    Aria2Answer answer = body.size() <= kMaxAnswer ? ReadAria2Answer(body) : Aria2Answer{};
    if (answer.gid) {
        emit handed(item, *answer.gid);
    } else {
        if (reply->error() == QNetworkReply::OperationCanceledError)
            answer.failure = {Aria2Failure::NoAnswer, QStringLiteral("an answer larger than %1 bytes").arg(kMaxAnswer)};
        else if (answer.failure.kind != Aria2Failure::Refused && reply->error() != QNetworkReply::NoError)
            answer.failure = {Aria2Failure::Unreachable, reply->errorString()};
        else if (body.size() > kMaxAnswer)
            answer.failure = {Aria2Failure::NoAnswer, QStringLiteral("an answer larger than %1 bytes").arg(kMaxAnswer)};
        emit refused(item, answer.failure);
    }
    if (m_pending == 0)
        emit finished();
}

} // namespace quorrel

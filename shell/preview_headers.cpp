#include "shell/preview_headers.h"

#include <QWebEngineUrlRequestInfo>

namespace quorrel {

namespace {

int portOf(const QUrl &url)
{
    return url.port(url.scheme() == QLatin1String("https") ? 443 : url.scheme() == QLatin1String("ftp") ? 21 : 80);
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && portOf(a) == portOf(b);
}

} // namespace

void PreviewHeaders::setFor(const QUrl &address, const RequestHeaders &headers)
{
    m_address = address;
    m_headers = headers;
}

bool PreviewHeaders::SameResource(const QUrl &request, const QUrl &address)
{
    return sameOrigin(request, address) && request.path(QUrl::FullyEncoded) == address.path(QUrl::FullyEncoded)
        && request.query(QUrl::FullyEncoded) == address.query(QUrl::FullyEncoded);
}

QByteArray PreviewHeaders::RefererFor(const QByteArray &captured, const QUrl &target)
{
    QUrl referer(QString::fromLatin1(captured), QUrl::StrictMode);
    const QString scheme = referer.scheme();
    if (!referer.isValid() || referer.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    referer = referer.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
    if (sameOrigin(referer, target))
        return referer.toEncoded();
    if (scheme == QLatin1String("https") && target.scheme() != QLatin1String("https"))
        return {};
    return referer.adjusted(QUrl::RemovePath | QUrl::RemoveQuery).toEncoded() + '/';
}

void PreviewHeaders::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    const QUrl request = info.requestUrl();
    if ((m_headers.referer.isEmpty() && m_headers.userAgent.isEmpty()) || !SameResource(request, m_address))
        return;
    if (!m_headers.userAgent.isEmpty())
        info.setHttpHeader("User-Agent", m_headers.userAgent);
    if (const QByteArray referer = RefererFor(m_headers.referer, request); !referer.isEmpty())
        info.setHttpHeader("Referer", referer);
}

} // namespace quorrel

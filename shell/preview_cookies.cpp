#include "shell/preview_cookies.h"

#include <QWebEngineCookieStore>

namespace quorrel {

namespace {

QByteArray keyOf(const QNetworkCookie &cookie)
{
    return cookie.name() + '=' + cookie.value();
}

} // namespace

PreviewCookies::PreviewCookies(QWebEngineCookieStore *store, QObject *parent) : QObject(parent), m_store(store)
{
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(1000);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        m_pending.clear();
        emit ready();
    });
    connect(m_store, &QWebEngineCookieStore::cookieAdded, this, &PreviewCookies::settled);
    connect(m_store, &QWebEngineCookieStore::cookieRemoved, this, &PreviewCookies::settled);
}

QList<QNetworkCookie> PreviewCookies::Parse(QByteArrayView header)
{
    QList<QNetworkCookie> cookies;
    for (const QByteArray &pair : header.toByteArray().split(';')) {
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = (equals < 0 ? pair : pair.left(equals)).trimmed();
        if (name.isEmpty())
            continue;
        QNetworkCookie cookie(name, equals < 0 ? QByteArray() : pair.mid(equals + 1).trimmed());
        cookie.setPath(QStringLiteral("/"));
        cookie.setHttpOnly(true);
        cookies << cookie;
    }
    return cookies;
}

void PreviewCookies::setFor(const QUrl &address, const QByteArray &cookie)
{
    const QUrl origin = address.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
    const QList<QNetworkCookie> wanted = Parse(cookie);
    if (origin == m_origin && wanted == m_set) {
        if (m_pending.isEmpty())
            emit ready(); // the store holds them already
        return;
    }
    m_pending.clear();
    for (const QNetworkCookie &old : std::as_const(m_set)) {
        m_pending.insert(keyOf(old));
        m_store->deleteCookie(old, m_origin);
    }
    m_set.clear();
    m_origin = origin;
    if (!origin.host().isEmpty()) {
        for (const QNetworkCookie &c : wanted) {
            m_pending.insert(keyOf(c));
            m_store->setCookie(c, origin); // no domain: the host's alone
        }
        m_set = wanted;
    }
    if (m_pending.isEmpty())
        emit ready();
    else
        m_timeout.start();
}

void PreviewCookies::settled(const QNetworkCookie &cookie)
{
    if (m_pending.isEmpty() || !m_pending.remove(keyOf(cookie)) || !m_pending.isEmpty())
        return;
    m_timeout.stop();
    emit ready();
}

} // namespace quorrel

#pragma once
// The captured Cookie of the resource the preview shows, as cookies of its host alone in the
// preview's cookie store (off the record: in memory only). The browser engine then sends
// them to that host and to no other: a header set on the request would go along a redirect
// to another host. The store takes a cookie a moment after it is given one, so the preview
// waits for it (ready) before it asks for the address.

#include <QNetworkCookie>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>

class QWebEngineCookieStore;

namespace quorrel {

class PreviewCookies : public QObject {
    Q_OBJECT
public:
    PreviewCookies(QWebEngineCookieStore *store, QObject *parent);

    // The cookies of a Cookie header ("a=1; b=2"): each with its name, for the whole host
    // (path "/"), kept from the page's scripts; what has no name is left out.
    static QList<QNetworkCookie> Parse(QByteArrayView header);

    // The cookies set for the last address go, those of cookie (empty: none) come for
    // address's host; ready follows once the store has taken the change (at once when there
    // is none, and after a second at most).
    void setFor(const QUrl &address, const QByteArray &cookie);
    bool waiting() const { return !m_pending.isEmpty(); }

signals:
    void ready();

private:
    void settled(const QNetworkCookie &cookie);

    QWebEngineCookieStore *m_store;
    QList<QNetworkCookie> m_set; // what this preview put in the store, for m_origin
    QUrl m_origin;
    QSet<QByteArray> m_pending;  // name=value of the changes the store has not yet reported
    QTimer m_timeout;
};

} // namespace quorrel

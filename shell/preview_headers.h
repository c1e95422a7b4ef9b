#pragma once
// The captured Referer and User-Agent of the resource the preview shows, sent with the
// requests for its address, as its download sends them: many media servers refuse a
// request without the page's Referer or a browser's User-Agent. A request interceptor of
// the preview's own profile, which keeps them in memory only; a request for any other
// address (the page's pictures) goes as the browser makes it. The Cookie goes through the
// profile's cookie store instead (PreviewCookies), which keeps it to its host.

#include "base/request_headers.h"

#include <QUrl>
#include <QWebEngineUrlRequestInterceptor>

namespace quorrel {

class PreviewHeaders : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    // The address previewed now and its headers (none: the browser's own alone).
    void setFor(const QUrl &address, const RequestHeaders &headers);
    void interceptRequest(QWebEngineUrlRequestInfo &info) override;

    // Whether a request is for the address previewed: the same scheme, host, port, path and
    // query (the fragment is never sent).
    static bool SameResource(const QUrl &request, const QUrl &address);
    // The Referer the browser engine lets a request to target carry, of the one captured: a
    // request whose Referer its policy would cut is cancelled, not sent. Its default policy
    // is strict-origin-when-cross-origin (W3C Referrer Policy): the whole address to the
    // same origin, the origin alone ("http://page.test/") to another, nothing from https
    // to http; never the fragment, a user name or a password.
    static QByteArray RefererFor(const QByteArray &captured, const QUrl &target);

private:
    QUrl m_address;
    RequestHeaders m_headers;
};

} // namespace quorrel

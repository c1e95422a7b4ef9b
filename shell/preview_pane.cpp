#include "shell/preview_pane.h"

#include "shell/preview_layout.h"
#include "downloads/stream_transfer.h"
#include "downloads/transfer_reasons.h"
#include "shell/preview_cookies.h"
#include "shell/preview_headers.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineCertificateError>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace quorrel {

namespace {

bool isWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp");
}

// Why a load failed, in the words of the download's reasons, then the engine's own.
QString failureReason(const QWebEngineLoadingInfo &info, const QString &certificate)
{
    switch (info.errorDomain()) {
    case QWebEngineLoadingInfo::HttpStatusCodeDomain:
        return kServerError.arg(QStringLiteral("HTTP %1").arg(info.errorCode()));
    case QWebEngineLoadingInfo::CertificateErrorDomain:
        return QCoreApplication::translate("quorrel::PreviewPane", "服务器的证书未通过验证：") + (certificate.isEmpty() ? info.errorString() : certificate);
    case QWebEngineLoadingInfo::DnsErrorDomain:
        return QCoreApplication::translate("quorrel::PreviewPane", "找不到服务器：") + info.errorString();
    case QWebEngineLoadingInfo::ConnectionErrorDomain:
        return QCoreApplication::translate("quorrel::PreviewPane", "无法连接到服务器：") + info.errorString();
    default:
        return info.errorString();
    }
}

} // namespace

PreviewPane::PreviewPane(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("Panbrow"));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setGeometry(2, 21, 398, 245);

    RzPan1 = new QFrame(this);
    RzPan1->setObjectName(QStringLiteral("RzPan1"));
    RzPan1->setFixedHeight(20);
    RzPan1->setAutoFillBackground(true);
    RzURLLabel1 = new QLabel(RzPan1);
    RzURLLabel1->setObjectName(QStringLiteral("RzURLLabel1"));
    RzURLLabel1->setGeometry(0, 0, 3, 16);
    Laburl = new QLabel(RzPan1);
    Laburl->setObjectName(QStringLiteral("Laburl"));
    Laburl->setGeometry(3, 2, 318, 16);
    Laburl->setToolTip(tr("双击关闭预览"));
    Laburl->setAttribute(Qt::WA_TranslucentBackground);
    Laburl->installEventFilter(this);
    rbtnfd = new QPushButton(tr("放大"), RzPan1);
    rbtnfd->setObjectName(QStringLiteral("rbtnfd"));
    rbtnfd->setFixedSize(40, 22);

    ScrollBox1 = new QFrame(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    auto *browserLayout = new QVBoxLayout(ScrollBox1);
    browserLayout->setContentsMargins(0, 0, 0, 0);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(0);
    layout->addWidget(RzPan1);
    layout->addWidget(ScrollBox1, 1);
    hide();
}

PreviewPane::~PreviewPane()
{
    // The page goes before the profile it was made on.
    delete m_browser;
    m_browser = nullptr;
}

QWebEngineView *PreviewPane::WebBrow1()
{
    if (!m_browser) {
        // A profile without a storage name is off the record: cookies, cache and history
        // stay in memory and end with the program.
        m_profile = new QWebEngineProfile(this);
        m_headers = new PreviewHeaders(m_profile);
        m_profile->setUrlRequestInterceptor(m_headers);
        m_cookies = new PreviewCookies(m_profile->cookieStore(), this);
        connect(m_cookies, &PreviewCookies::ready, this, &PreviewPane::load);
        // What the browser would save is a file to download, which the pane says instead.
        connect(m_profile, &QWebEngineProfile::downloadRequested, this, [this](QWebEngineDownloadRequest *download) {
            const QString type = download->mimeType();
            const QUrl url = download->url();
            download->cancel();
            if (!PreviewHeaders::SameResource(url, m_url))
                Laburl->setText(url.toString()); // a link followed in the page
            showCannotPreview(kCannotPreviewType.arg(type.isEmpty() ? QStringLiteral("?") : type), url.toString());
        });
        m_browser = new QWebEngineView(ScrollBox1);
        m_browser->setObjectName(QStringLiteral("WebBrow1"));
        auto *page = new QWebEnginePage(m_profile, m_browser);
        m_browser->setPage(page);
        connect(page, &QWebEnginePage::loadingChanged, this, &PreviewPane::loadingChanged);
        connect(page, &QWebEnginePage::certificateError, this,
                [this](const QWebEngineCertificateError &error) { m_certificateReason = error.description(); });
        ScrollBox1->layout()->addWidget(m_browser);
    }
    return m_browser;
}

void PreviewPane::navigate(const QString &address, const RequestHeaders *headers)
{
    m_address = address;
    Laburl->setText(address);
    WebBrow1();
    const QString text = address.trimmed();
    if (IsStreamAddress(text)) {
        // The engine plays no HLS or DASH; asked to, it would keep the page it showed.
        m_loadPending = false;
        showCannotPreview(kCannotPreviewStream, text);
        return;
    }
    m_url = text.isEmpty() ? QUrl(QStringLiteral("about:blank")) : QUrl::fromUserInput(text);
    m_headers->setFor(m_url, headers ? *headers : RequestHeaders{});
    m_certificateReason.clear();
    m_loadPending = true;
    m_cookies->setFor(m_url, headers ? headers->cookie : QByteArray()); // ready: load
}

void PreviewPane::load()
{
    if (m_loadPending && m_browser) {
        m_loadPending = false;
        m_browser->setUrl(m_url);
    }
}

void PreviewPane::showCannotPreview(const QString &text, const QString &address)
{
    m_browser->setHtml(QStringLiteral("<html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                                      "<body><h3>%1</h3><p>%2</p><p>%3</p></body></html>")
                           .arg(kCannotPreviewTitle, text.toHtmlEscaped(), address.toHtmlEscaped()));
}

void PreviewPane::loadingChanged(const QWebEngineLoadingInfo &info)
{
    if (!isWebAddress(info.url()))
        return; // a blank page, the pane's own
    // Where the page went on its own (a redirect, a link followed), the field follows; a
    // file the browser would download leaves the page as it was, and the field as chosen.
    const QUrl shown = m_browser->url();
    if (info.status() != QWebEngineLoadingInfo::LoadStartedStatus && info.status() != QWebEngineLoadingInfo::LoadStoppedStatus
        && isWebAddress(shown) && !PreviewHeaders::SameResource(shown, m_url))
        Laburl->setText(shown.toString());
    const bool failed = info.status() == QWebEngineLoadingInfo::LoadFailedStatus
        || (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus
            && info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain && info.errorCode() >= 400);
    // A category's type number, which the tree shows as an address too, is no resource: the
    // browser's failure to find it is not worth a line.
    if (failed && m_address.contains(QLatin1String("://")))
        emit this->failed(kPreviewFailed.arg(info.url().toString(), failureReason(info, m_certificateReason)));
}

void PreviewPane::stopAndClear()
{
    if (!m_browser)
        return;
    m_browser->stop();
    m_address.clear();
    m_url = QUrl(QStringLiteral("about:blank"));
    m_loadPending = false;
    m_headers->setFor(QUrl(), {});
    m_cookies->setFor(QUrl(), QByteArray());
    m_browser->setUrl(m_url);
}

void PreviewPane::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    PanbrowResize();
}

void PreviewPane::PanbrowResize()
{
    const PreviewTitleLayout title = LayOutPreviewTitle(width(), rbtnfd->width());
    Laburl->resize(title.labelWidth, Laburl->height());
    rbtnfd->move(title.buttonLeft, rbtnfd->y());
}

bool PreviewPane::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Laburl && event->type() == QEvent::MouseButtonDblClick) {
        emit closeRequested();
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace quorrel

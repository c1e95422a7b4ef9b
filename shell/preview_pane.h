#pragma once
// Panbrow: the preview pane, an embedded web browser over the task list with a title bar
// whose address field names the page shown. The browser has a profile of its own, off the
// record (nothing of it is written to disk), which sends a resource's captured headers
// with the requests for its address; a preview that fails says why, and a resource the
// browser cannot show (a playlist, a file it would download) is said to be so in the pane.

#include "base/request_headers.h"

#include <QFrame>
#include <QUrl>

class QLabel;
class QPushButton;
class QWebEngineLoadingInfo;
class QWebEngineProfile;
class QWebEngineView;

namespace quorrel {

class PreviewCookies;
class PreviewHeaders;

// A line of the log: the address, then why ("无法连接到服务器：net::ERR_CONNECTION_REFUSED").
inline const QString kPreviewFailed = QStringLiteral("预览失败：%1：%2");
// The pane's own page, in place of what it cannot show; its title, then its text.
inline const QString kCannotPreviewTitle = QStringLiteral("无法预览");
inline const QString kCannotPreviewStream = QStringLiteral(
    "这是视频流的播放列表（HLS .m3u8 或 DASH .mpd），预览窗口无法播放。请下载它：ffmpeg 会把视频流保存为一个视频文件。");
inline const QString kCannotPreviewType = QStringLiteral("预览窗口无法显示这种文件（%1），只能下载。"); // its MIME type

class PreviewPane : public QFrame {
    Q_OBJECT
public:
    explicit PreviewPane(QWidget *parent = nullptr);
    ~PreviewPane() override;

    QFrame *RzPan1;
    QLabel *RzURLLabel1;
    QLabel *Laburl;
    QPushButton *rbtnfd;
    QFrame *ScrollBox1;

    // WebBrow1, made the first time a page is shown: the browser engine starts only when
    // the user first previews something.
    QWebEngineView *WebBrow1();
    bool hasBrowser() const { return m_browser != nullptr; }
    // The browser's profile, made with it.
    QWebEngineProfile *profile() const { return m_profile; }

    // Shows an address given as text, and names it in the address field; an empty one
    // shows a blank page. The headers it was captured with, when it has them, go with the
    // requests for it.
    void navigate(const QString &address, const RequestHeaders *headers = nullptr);
    // Stop loading and show nothing.
    void stopAndClear();

signals:
    // A double-click on the address label, whose hint promises that it closes the preview.
    void closeRequested();
    // A preview failed: the line for the log says why.
    void failed(const QString &line);

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void PanbrowResize();
    void showCannotPreview(const QString &text, const QString &address);
    void loadingChanged(const QWebEngineLoadingInfo &info);
    void load();

    QWebEngineProfile *m_profile = nullptr;
    PreviewHeaders *m_headers = nullptr;
    PreviewCookies *m_cookies = nullptr;
    QWebEngineView *m_browser = nullptr;
    QString m_address;            // as the user chose it
    QUrl m_url;                   // what the browser was asked for
    bool m_loadPending = false;   // m_url waits for its cookies to be in the store
    QString m_certificateReason;  // the engine's words for the last certificate it refused
};

} // namespace quorrel

#pragma once
// Panbrow: the preview pane, an embedded web browser over the task list with a title bar
// that shows the address chosen with "预览brow".

#include <QFrame>

class QLabel;
class QPushButton;
class QWebEngineView;

namespace quorrel {

class PreviewPane : public QFrame {
    Q_OBJECT
public:
    explicit PreviewPane(QWidget *parent = nullptr);

    QFrame *RzPan1;
    QLabel *RzURLLabel1;
    QLabel *Laburl;
    QPushButton *rbtnfd;
    QFrame *ScrollBox1;

    // WebBrow1, made the first time a page is shown: the browser engine starts only when
    // the user first previews something.
    QWebEngineView *WebBrow1();
    bool hasBrowser() const { return m_browser != nullptr; }

    // Navigate to an address given as text; an empty one shows a blank page.
    void navigate(const QString &address);
    // Stop loading and show nothing.
    void stopAndClear();

signals:
    // A double-click on the address label, whose hint promises that it closes the preview.
    void closeRequested();

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void PanbrowResize();
    QWebEngineView *m_browser = nullptr;
};

} // namespace quorrel

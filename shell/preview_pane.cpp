#include "shell/preview_pane.h"

#include "shell/preview_layout.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineView>

namespace quorrel {

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
    Laburl->setToolTip(QStringLiteral("双击关闭预览"));
    Laburl->setAttribute(Qt::WA_TranslucentBackground);
    Laburl->installEventFilter(this);
    rbtnfd = new QPushButton(QStringLiteral("放大"), RzPan1);
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

QWebEngineView *PreviewPane::WebBrow1()
{
    if (!m_browser) {
        m_browser = new QWebEngineView(ScrollBox1);
        m_browser->setObjectName(QStringLiteral("WebBrow1"));
        ScrollBox1->layout()->addWidget(m_browser);
    }
    return m_browser;
}

void PreviewPane::navigate(const QString &address)
{
    const QString text = address.trimmed();
    WebBrow1()->setUrl(text.isEmpty() ? QUrl(QStringLiteral("about:blank")) : QUrl::fromUserInput(text));
}

void PreviewPane::stopAndClear()
{
    if (!m_browser)
        return;
    m_browser->stop();
    m_browser->setUrl(QUrl(QStringLiteral("about:blank")));
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

#include "shell/promo_strip.h"

#include <QDesktopServices>
#include <QLabel>
#include <QUrl>

namespace quorrel {
namespace {

struct Link {
    int left, width;
    Qt::Alignment alignment;
    const char16_t *caption;
    const char *url;
};

// Harmless pages: free software projects' own sites.
const Link kLinks[3] = {
    {8, 177, Qt::AlignHCenter, u"免费建站，拥有自己的网页", "https://www.debian.org/"},
    {260, 176, Qt::AlignHCenter, u"点击广告赚现金——开源广告联盟", "https://www.qt.io/"},
    {495, 176, Qt::AlignLeft, u"0投入,高回报！能上网就能赚钱！", "https://curl.se/"},
};

bool openWithShell(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace

PromoStrip::PromoStrip(QWidget *parent) : QFrame(parent), m_opener(&openWithShell)
{
    setObjectName(QStringLiteral("RzSizePanel6"));
    setFixedHeight(119);
    for (int i = 0; i < 3; ++i) {
        auto *label = new QLabel(this);
        label->setGeometry(kLinks[i].left, 15, kLinks[i].width, 16);
        label->setAlignment(kLinks[i].alignment | Qt::AlignVCenter);
        label->setCursor(Qt::PointingHandCursor);
        label->setToolTip(QString::fromLatin1(kLinks[i].url));
        QFont f = label->font();
        f.setPointSizeF(f.pointSizeF() * 0.9);
        f.setUnderline(true);
        label->setFont(f);
        label->setTextFormat(Qt::RichText);
        m_labels[i] = label;
        connect(label, &QLabel::linkActivated, this, [this, i] { open(i); });
        paint(i);
    }
}

void PromoStrip::paint(int i)
{
    const QString colour = m_visited[i] ? QStringLiteral("purple") : palette().color(QPalette::Highlight).name();
    m_labels[i]->setText(QStringLiteral("<a href=\"%1\" style=\"color:%2;\">%3</a>")
                             .arg(QString::fromLatin1(kLinks[i].url), colour,
                                  QString::fromUtf16(kLinks[i].caption).toHtmlEscaped()));
}

void PromoStrip::open(int i)
{
    // Nothing is reported when the shell refuses; the label keeps its colour.
    if (m_opener(QUrl(QString::fromLatin1(kLinks[i].url)))) {
        m_visited[i] = true;
        paint(i);
    }
}

} // namespace quorrel

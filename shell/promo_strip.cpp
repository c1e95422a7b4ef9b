#include "shell/promo_strip.h"

#include <QDesktopServices>
#include <QLabel>
#include <QResizeEvent>
#include <QUrl>

#include <algorithm>

namespace quorrel {
namespace {

struct Link {
    int left, width;
    Qt::Alignment alignment;
    const char *caption; // UTF-8, translated when shown
    const char *url;
};

// Harmless pages: free software projects' own sites.
// Left of the first link and right of the last, in a strip too narrow for the designed places.
constexpr int kMargin = 8;

const Link kLinks[3] = {
    {8, 177, Qt::AlignHCenter, QT_TRANSLATE_NOOP("quorrel::PromoStrip", "免费建站，拥有自己的网页"), "https://www.debian.org/"},
    {260, 176, Qt::AlignHCenter, QT_TRANSLATE_NOOP("quorrel::PromoStrip", "点击广告赚现金——开源广告联盟"), "https://www.qt.io/"},
    {495, 176, Qt::AlignLeft, QT_TRANSLATE_NOOP("quorrel::PromoStrip", "0投入,高回报！能上网就能赚钱！"), "https://curl.se/"},
};

bool openWithShell(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace

PromoStrip::PromoStrip(QWidget *parent) : QFrame(parent), m_opener(&openWithShell)
{
    setObjectName(QStringLiteral("RzSizePanel6"));
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
    // Narrower than its links with a margin at each end and between them, they would be
    // drawn over one another.
    int needed = 4 * kMargin;
    for (QLabel *label : m_labels)
        needed += label->sizeHint().width();
    setMinimumWidth(needed);
}

void PromoStrip::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    // Where the designed places fit, the links keep them; in a narrower strip each takes the
    // width of its text, and the room left is shared between them.
    if (width() >= kLinks[2].left + kLinks[2].width) {
        for (int i = 0; i < 3; ++i)
            m_labels[i]->setGeometry(kLinks[i].left, 15, kLinks[i].width, 16);
        return;
    }
    int widths[3], used = 0;
    for (int i = 0; i < 3; ++i)
        used += widths[i] = std::min(kLinks[i].width, m_labels[i]->sizeHint().width());
    const int gap = std::max(kMargin, (width() - 2 * kMargin - used) / 2);
    int left = kMargin;
    for (int i = 0; i < 3; ++i) {
        m_labels[i]->setGeometry(left, 15, widths[i], 16);
        left += widths[i] + gap;
    }
}

void PromoStrip::paint(int i)
{
    const QString colour = m_visited[i] ? QStringLiteral("purple") : palette().color(QPalette::Highlight).name();
    m_labels[i]->setText(QStringLiteral("<a href=\"%1\" style=\"color:%2;\">%3</a>")
                             .arg(QString::fromLatin1(kLinks[i].url), colour,
                                  tr(kLinks[i].caption).toHtmlEscaped()));
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

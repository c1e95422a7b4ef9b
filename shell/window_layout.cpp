#include "shell/window_layout.h"

#include <QDataStream>
#include <QEvent>
#include <QLabel>
#include <QScrollArea>
#include <QStatusBar>

#include <algorithm>
#include <cstdlib>

namespace quorrel {

namespace {

// The bands' height at the designed size: the window less its toolbar (51) and status bar (19).
constexpr int kDesignedBandsHeight = WindowLayout::kDesignedSize.height() - 51 - 19;
// Room a status bar keeps for itself: its margins and the gaps between the panels.
constexpr int kStatusBarOwnRoom = 16;

} // namespace

int WindowLayout::EmptyBandWidth(int windowWidth)
{
    return std::max(0, kEmptyBandWidth - std::abs(windowWidth - kDesignedSize.width()));
}

int WindowLayout::StripHeight(int bandsHeight)
{
    const int lost = std::max(0, kDesignedBandsHeight - bandsHeight);
    return std::clamp(kStripHeight - lost, kStripLinksHeight, kStripHeight);
}

WindowLayout::StatusWidths WindowLayout::StatusPanelWidths(int barWidth)
{
    int room = std::max(0, barWidth - kStatusBarOwnRoom);
    StatusWidths result{};
    // The monitoring state first, then the progress, then the guidance text.
    for (int i : {2, 1, 0}) {
        result.widths[i] = std::min(kStatusWidths[i], room);
        room -= result.widths[i];
    }
    return result;
}

std::optional<QList<int>> WindowLayout::RememberedSplit(const QByteArray &state)
{
    // QSplitter::saveState begins with a marker (0xff), a version and the panes' sizes.
    QDataStream stream(state);
    qint32 marker = 0, version = 0;
    QList<int> sizes;
    stream >> marker >> version >> sizes;
    if (stream.status() != QDataStream::Ok || marker != 0xff)
        return std::nullopt;
    return sizes;
}

bool WindowLayout::SplitFits(const QList<int> &sizes, int treeMinimum, int centreMinimum)
{
    return sizes.size() == 2 && sizes[0] >= treeMinimum && sizes[1] >= centreMinimum;
}

QPoint WindowLayout::PlaceInside(QPoint designed, QSize panel, QSize window)
{
    return {std::max(0, std::min(designed.x(), window.width() - panel.width())),
            std::max(0, std::min(designed.y(), window.height() - panel.height()))};
}

WindowLayout::WindowLayout(QScrollArea *scroll, QWidget *centre, QWidget *emptyBand, QWidget *strip, QStatusBar *bar,
                           QLabel *const (&panels)[3], QObject *parent)
    : QObject(parent), m_scroll(scroll), m_emptyBand(emptyBand), m_strip(strip), m_bar(bar),
      m_panels{panels[0], panels[1], panels[2]}
{
    // The scroll area shows nothing of its own: no frame, and scroll bars only when the
    // window is smaller than the bands' minimum.
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setWidget(centre);
    m_scroll->installEventFilter(this);
    m_bar->installEventFilter(this);
    fitBands();
    fitStatusBar();
}

bool WindowLayout::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Resize) {
        if (watched == m_scroll)
            fitBands();
        else if (watched == m_bar)
            fitStatusBar();
    }
    return QObject::eventFilter(watched, event);
}

void WindowLayout::fitBands()
{
    // The scroll area's own size, not its viewport's: a scroll bar must not change the room
    // the rule gives.
    const QSize room = m_scroll->size();
    const int band = EmptyBandWidth(room.width());
    m_emptyBand->setFixedWidth(band);
    m_emptyBand->setVisible(band > 0);
    m_strip->setFixedHeight(StripHeight(room.height()));
}

void WindowLayout::fitStatusBar()
{
    const StatusWidths fit = StatusPanelWidths(m_bar->width());
    for (int i = 0; i < 3; ++i)
        m_panels[i]->setFixedWidth(fit.widths[i]);
}

} // namespace quorrel

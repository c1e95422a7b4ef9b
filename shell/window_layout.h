#pragma once
// How the main window's bands share its room at any size. At the designed 768 x 594 every
// control sits where it was designed; grown, the tree and the task list share the room;
// made smaller, the parts that hold nothing give way first: the empty band right of the
// task list, then the empty lower part of the link strip, then the tree and the task list
// down to their minimum, and the status panels from the left. Below the window's minimum
// (a window manager may ignore it, or there is none) the bands keep their minimum inside a
// scroll area, so that nothing is ever drawn over anything.

#include <QList>
#include <QObject>
#include <QPoint>
#include <QSize>

#include <optional>

class QLabel;
class QScrollArea;
class QSplitter;
class QStatusBar;
class QWidget;

namespace quorrel {

class WindowLayout : public QObject {
    Q_OBJECT
public:
    static constexpr QSize kDesignedSize{768, 594};
    // The settings panel (469 x 349) and the rename table (480 x 260) fit whole, the three
    // links on one row, and the tree shows seven rows and the task list three.
    static constexpr QSize kMinimumSize{520, 400};
    static constexpr QSize kTreeMinimum{150, 140};
    static constexpr QSize kTaskListMinimum{240, 84}; // its header and three rows
    static constexpr int kEmptyBandWidth = 143;
    static constexpr int kStripHeight = 119;
    static constexpr int kStripLinksHeight = 34; // the row of links, without the empty part below
    static constexpr int kStatusWidths[3] = {400, 200, 50};

    // The empty band's width in a window this wide: its designed 143 at the designed width,
    // less every pixel the window is narrower or wider (grown, the task list takes it).
    static int EmptyBandWidth(int windowWidth);
    // The link strip's height when the bands have this height (the window less its toolbar
    // and status bar): its designed 119, less what the window lost below its designed
    // height, down to the row of links.
    static int StripHeight(int bandsHeight);
    // The status panels' widths in a bar this wide: the designed widths while they fit, the
    // guidance panel giving way first, then the progress panel.
    struct StatusWidths {
        int widths[3];
    };
    static StatusWidths StatusPanelWidths(int barWidth);
    // The panes' widths in a split remembered by QSplitter::saveState, as they were saved
    // (restoreState would raise them to the panes' minimum); none when it is not one.
    static std::optional<QList<int>> RememberedSplit(const QByteArray &state);
    // Whether a split leaves the tree and the centre (the task list) their minimum widths.
    static bool SplitFits(const QList<int> &sizes, int treeMinimum, int centreMinimum);
    // Where a panel shown over the window goes: its designed place, moved in so that it lies
    // whole inside a window of that size when it can.
    static QPoint PlaceInside(QPoint designed, QSize panel, QSize window);

    // Lays out centre (the bands below the toolbar) in scroll, and follows the sizes of the
    // scroll area and of the status bar from now on.
    WindowLayout(QScrollArea *scroll, QWidget *centre, QWidget *emptyBand, QWidget *strip, QStatusBar *bar,
                 QLabel *const (&panels)[3], QObject *parent);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fitBands();
    void fitStatusBar();

    QScrollArea *m_scroll;
    QWidget *m_emptyBand;
    QWidget *m_strip;
    QStatusBar *m_bar;
    QLabel *m_panels[3];
};

} // namespace quorrel

#pragma once
// Mainform: the program's one window. It lays out the controls, owns the capture
// component, the timers and the catalogue, and wires each control's event to its
// handler; every rule the handlers follow lives in quorrel_core.

#include "capture/cap_ip.h"
#include "intake/capture_road.h"
#include "intake/live_intake.h"
#include "catalogue/catalogue.h"
#include "catalogue/resource_list_autosave.h"
#include "downloads/aria2_rpc.h"
#include "downloads/scheduler.h"
#include "downloads/task_list.h"

#include <QLabel>
#include <QMainWindow>
#include <functional>
#include <memory>

class QMenu;
class QPlainTextEdit;
class QScrollArea;
class QSplitter;
class QProgressBar;
class QTimer;
class QToolBar;
class QTreeView;

namespace quorrel {

class PreviewPane;
class PromoStrip;
class RenamePanel;
class ResourceTreeView;
class SettingsPanel;
class TreeNode;
class WindowLayout;

// RzLabel1: the caption bar over the task list; a click closes the preview.
class CaptionBar : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

class TMainform : public QMainWindow, private SchedulerHost {
    Q_OBJECT
public:
    // places names config.ini and zywj.txt (ProgramFilePlaces for the program); they are
    // prepared (folders made, the starter config.ini copied) before the settings are read.
    explicit TMainform(const FilePlaces &places, QWidget *parent = nullptr);
    // Both files in dir: a test's folder.
    explicit TMainform(const QString &dir, QWidget *parent = nullptr);
    ~TMainform() override; // FormDestroy

    Catalogue &catalogue() { return m_catalogue; }
    ResourceTree &tree() { return m_catalogue.tree(); }

    // Messages for the user; tests read them instead of clicking message boxes away.
    using Inform = std::function<void(const QString &)>;
    void setInform(Inform inform) { m_inform = std::move(inform); }
    // The clipboard's text, as another download tool reads it.
    void setClipboardText(const QString &text);
    // The resume question (Yes, No, Cancel) and the FTP password question, replaceable
    // the same way.
    void setResumeAnswer(std::function<SchedulerHost::Resume(const QString &)> answer) { m_askResume = std::move(answer); }
    void setPasswordAnswer(std::function<QString()> answer) { m_askPassword = std::move(answer); }
    DownloadScheduler &scheduler() { return *m_scheduler; }
    // The folder picker, replaceable the same way.
    void setFolderPicker(std::function<QString()> picker) { m_pickFolder = std::move(picker); }
    // The program runs as root: say in the log that the preview has no sandbox.
    void noteUnsandboxedPreview();
    // A line of the program's own in the log.
    void note(const QString &line) { log(line); }
    // Another start on the same folder asked for this window: shown, raised, said why.
    void bringToFront();
    // The tree pane and the centre, with the handle between them.
    QSplitter *middleSplitter() const { return m_middle; }

    QToolBar *RzToolbar1;
    QAction *btnks, *btnzt, *btntz, *btnqc, *RzToolButton8, *RzToolButton2, *btntc;
    ResourceTreeView *fclstxzzy;
    QMenu *PopupMenu1;
    QAction *N1, *N3, *N20, *N5, *N19;
    QWidget *RzSizePanel2, *RzSizePanel4, *RzSizePanel3;
    CaptionBar *RzLabel1;
    QTreeView *lstxzrw;
    TaskList tasks; // lstxzrw's rows
    QProgressBar *Gag1;
    PreviewPane *Panbrow;
    QPlainTextEdit *redit1;
    PromoStrip *RzSizePanel6;
    QLabel *stat1[3];
    SettingsPanel *panxtsz;
    RenamePanel *panxgwjm;
    QTimer *Timesys, *Timexzwj;
    Tcap_ip *cap_ip1;
    bool PreviewOpen = false;

    // Monitoring control.
    void btnksClick();
    void btnztClick();
    void btntzClick();
    void TimesysTimer();
    // Capture events.
    void cap_ip1Cap(const quorrel::Datagram &datagram);
    void cap_ip1Error(const QString &error);
    // The tree and its commands.
    void fclstxzzyMouseDown(quorrel::TreeNode *node);
    void fclstxzzyDblClick();
    void btnqcClick();
    void N1Click();
    void N3Click() {}
    void N5Click();
    void N19Click();
    void RzLabel1Click();
    // Settings.
    void RzToolButton2Click(); // OpenSettingsPanel
    void RzToolButton3Click();
    void RzToolButton4Click();
    void btnbcszClick();
    // Downloads.
    void N20Click();
    void RzToolButton6Click(); // the rename table's "确定"
    void RzToolButton7Click(); // its "取消"
    void TimexzwjTimer();
    // Leaving.
    void btntcClick();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // What the scheduler asks of the window.
    Resume askResume(const QString &question) override;
    QString askFtpPassword(const QString &user) override;
    void inform(const QString &text) override;
    void log(const QString &line) override;
    void showGauge(bool shown) override;
    void setGaugeMaximum(qint64 maximum) override;
    void setGaugeValue(qint64 value) override;
    void showProgress(const TransferProgress &progress) override;
    void taskDone(int row) override;
    void taskFailed(int row) override;

    QString savePathHint() const;
    void FormCreate();
    void buildToolbar();
    void buildCentre();
    void buildStatusBar();
    void buildMenu();
    void LoadSettings();
    // The window's size, place and split, remembered in the user's folder (not in
    // config.ini: they are this desktop's, not the program's settings).
    void restoreWindowState();
    void saveWindowState() const;

    std::optional<QString> m_placesError; // why the files' folders could not be prepared
    Catalogue m_catalogue;
    QSplitter *m_middle = nullptr;
    QWidget *m_bands = nullptr;            // everything between the toolbar and the status bar,
    QScrollArea *m_bandsArea = nullptr;    // in a scroll area for a window below its minimum
    WindowLayout *m_layout = nullptr;
    std::unique_ptr<ResourceListAutosave> m_autosave; // ends before the catalogue it saves
    // Captured datagrams and the streams they carry, into the catalogue; with the key log of
    // the watched browser, followed as it grows.
    std::unique_ptr<CaptureRoad> m_road;
    LiveIntake *m_intake = nullptr; // the capture, its clock and ticks, on m_road
    Inform m_inform;
    std::function<QString()> m_pickFolder;
    std::function<SchedulerHost::Resume(const QString &)> m_askResume;
    std::function<QString()> m_askPassword;
    DownloadScheduler *m_scheduler = nullptr;
    qint64 m_gaugeScale = 1; // a gauge counts in int; a large file in steps of this many bytes
    bool m_destroying = false;
    void roadResult(const CaptureRoad::Result &result);
    // The third download mode: the ticked resources handed to aria2's JSON-RPC. One that
    // aria2 does not take goes back to the tree, and the log says why.
    Aria2Client *m_aria2 = nullptr;
    void handToAria2(const QList<Aria2Item> &items);
};

} // namespace quorrel

#pragma once
// Timexzwj's work: the download tasks of the task list, started one at a time in list
// order, each a tick after the previous one ended. A transfer runs on the event loop
// (the window keeps answering); the scheduler only decides and reports.
//
// A tick's work is the transfer and every question and message about it. Questions and
// messages are modal boxes, which turn the event loop while they are open, so the timer
// fires under them: the scheduler stays busy from the moment a tick takes a row until
// the last box about it is closed, and no tick does anything meanwhile. The rows are
// therefore never cleared under a transfer or a box.

#include "base/request_headers.h"
#include "downloads/progress_meter.h"
#include "downloads/task_list.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <memory>

namespace quorrel {

class CurlMulti;
class Transfer;
struct TransferResult;

inline const QString kResumeQuestion = QStringLiteral("文件已经存在，是否续传？ ");
// The third answer to it, beside Yes and No: the task is cancelled and the file left alone.
inline QString kKeepFileAnswer() { return QCoreApplication::translate("DownloadScheduler", "取消任务，保留文件"); }
inline QString kResumeCancelled() { return QCoreApplication::translate("DownloadScheduler", "已取消任务，文件保持原样："); }
inline const QString kUnrecognisedAddress = QStringLiteral("不可识别的地址！");
inline const QString kDownloadFinished = QStringLiteral("任务下载完毕：");
inline const QString kDownloadFailed = QStringLiteral("下载任务失败!");
// Logged when the user stopped the running task, before its save path.
inline QString kTaskStopped() { return QCoreApplication::translate("DownloadScheduler", "已停止下载任务，已下载的部分保留，可以以后续传："); }
inline const QString kPasswordCaption = QStringLiteral("输入框");
inline const QString kPasswordPrompt = QStringLiteral("请输入登陆ftp密码");

// What the scheduler needs from whoever shows it: the window, or a command-line tool.
class SchedulerHost {
public:
    // Yes: continue the task's partial file (or, for a file under the final name, see
    // whether it is already complete); No: download it again, replacing the file once the
    // new one is whole; Cancel (kKeepFileAnswer(), or the box closed): the task goes back to
    // the tree and the file stays as it is.
    enum class Resume { Yes, No, Cancel };
    virtual ~SchedulerHost() = default;
    virtual Resume askResume(const QString &question) = 0;
    // Asked once the save file is open. A cancelled question: empty.
    virtual QString askFtpPassword(const QString &user) = 0;
    virtual void inform(const QString &text) = 0;
    virtual void log(const QString &line) = 0;
    virtual void showGauge(bool shown) = 0;
    virtual void setGaugeMaximum(qint64 maximum) = 0;
    virtual void setGaugeValue(qint64 value) = 0;
    // The running transfer's size, speed and time left, with each move of the gauge.
    virtual void showProgress(const TransferProgress &) {}
    // A task ended Done: the window files its address under the downloaded side.
    virtual void taskDone(int row) = 0;
    // A task ended Failed: the window files its address back under the found side, so
    // that it can be tried again.
    virtual void taskFailed(int row) = 0;
};

class DownloadScheduler : public QObject {
    Q_OBJECT
public:
    DownloadScheduler(TaskList &tasks, SchedulerHost &host, QObject *parent = nullptr);
    ~DownloadScheduler() override;

    // One tick: nothing while busy; otherwise the next Waiting row is started, or, with
    // none left, the list is emptied.
    void TimexzwjTimer();

    // A tick's work is in progress: its transfer, or a question or message about it.
    bool busy() const { return m_busy; }
    int CurrentTask() const { return m_current; }
    bool TransferBusy() const { return m_transfer != nullptr; }
    qint64 LastFtpSize() const { return m_lastFtpSize; }
    CurlMulti &multi() { return *m_multi; }
    // Ends the running transfer as a failure, keeping the bytes received.
    void cancel();
    // The user's "stop" on a row: the running task's transfer ends, its bytes kept for a
    // later resume (a stream stops cleanly, nothing under the final name), the task goes
    // back to the tree as a failed one does, and the next waiting row starts at the next
    // tick. False for a row that is not running.
    bool stopTask(int row);
    // The user's "remove" on a row that is not running: out of the list; a waiting task's
    // resource goes back to the tree first (a failed or stopped one is there already).
    bool removeTask(int row);
    // Leaving: the running transfer stopped as stopTask does, and waited for (at most
    // waitMs; a stream's ffmpeg gets the time to close its file), then every waiting task
    // back in the tree, as a failed one is, so the list on disk holds every unfinished task.
    void stopForExit(int waitMs);

signals:
    void taskEnded(int row, bool done);

private:
    void StartTransfer(const QString &address, const QString &savePath, bool resume);
    void finished(const TransferResult &result, bool ftp);
    // The row's state, the tree, the gauge, then the message (a modal box) if any; the
    // scheduler is idle again only after it.
    void end(TaskState state, const QString &message = QString());

    TaskList &m_tasks;
    SchedulerHost &m_host;
    std::unique_ptr<CurlMulti> m_multi;
    Transfer *m_transfer = nullptr;
    RequestHeaders m_headers; // the task's, from the tick to its transfer
    ProgressMeter m_meter;
    QElapsedTimer m_clock;
    int m_current = -1;
    bool m_busy = false;
    bool m_stopping = false; // the user stopped the running task
    qint64 m_lastFtpSize = 0;
};

} // namespace quorrel

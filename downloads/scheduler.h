#pragma once
// Timexzwj's work: the download tasks of the task list, started one at a time in list
// order, each a tick after the previous one ended. A transfer runs on the event loop
// (the window keeps answering); the scheduler only decides and reports.

#include "downloads/task_list.h"

#include <QObject>
#include <memory>

namespace quorrel {

class CurlMulti;
class Transfer;
struct TransferResult;

inline const QString kResumeQuestion = QStringLiteral("文件已经存在，是否续传？ ");
inline const QString kUnrecognisedAddress = QStringLiteral("不可识别的地址！");
inline const QString kDownloadFinished = QStringLiteral("任务下载完毕：");
inline const QString kDownloadFailed = QStringLiteral("下载任务失败!");
inline const QString kPasswordCaption = QStringLiteral("输入框");
inline const QString kPasswordPrompt = QStringLiteral("请输入登陆ftp密码");

// What the scheduler needs from whoever shows it: the window, or a command-line tool.
class SchedulerHost {
public:
    enum class Resume { Yes, No, Cancel };
    virtual ~SchedulerHost() = default;
    virtual Resume askResume(const QString &question) = 0;
    virtual QString askFtpPassword(const QString &user) = 0; // a cancelled question: empty
    virtual void inform(const QString &text) = 0;
    virtual void log(const QString &line) = 0;
    virtual void showGauge(bool shown) = 0;
    virtual void setGaugeMaximum(qint64 maximum) = 0;
    virtual void setGaugeValue(qint64 value) = 0;
    // A task ended Done: the window files its address under the downloaded side.
    virtual void taskDone(int row) = 0;
};

class DownloadScheduler : public QObject {
    Q_OBJECT
public:
    DownloadScheduler(TaskList &tasks, SchedulerHost &host, QObject *parent = nullptr);
    ~DownloadScheduler() override;

    // One tick: nothing while a transfer runs; otherwise the next Waiting row is
    // started, or, with none left, the list is emptied.
    void TimexzwjTimer();

    int CurrentTask() const { return m_current; }
    bool TransferBusy() const { return m_transfer != nullptr; }
    qint64 LastFtpSize() const { return m_lastFtpSize; }
    CurlMulti &multi() { return *m_multi; }
    // Ends the running transfer as a failure, keeping the bytes received.
    void cancel();

signals:
    void taskEnded(int row, bool done);

private:
    void StartTransfer(const QString &address, const QString &savePath, bool resume);
    void finished(const TransferResult &result, bool ftp);
    void end(TaskState state);

    TaskList &m_tasks;
    SchedulerHost &m_host;
    std::unique_ptr<CurlMulti> m_multi;
    Transfer *m_transfer = nullptr;
    int m_current = -1;
    qint64 m_lastFtpSize = 0;
};

} // namespace quorrel

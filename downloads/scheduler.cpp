#include "downloads/scheduler.h"

#include "base/gydy.h"
#include "downloads/curl_multi.h"
#include "downloads/ftp_address.h"
#include "downloads/save_name.h"
#include "downloads/shown_address.h"
#include "downloads/transfer.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <utility>

namespace quorrel {

DownloadScheduler::DownloadScheduler(TaskList &tasks, SchedulerHost &host, QObject *parent)
    : QObject(parent), m_tasks(tasks), m_host(host), m_multi(std::make_unique<CurlMulti>())
{
    m_clock.start();
}

DownloadScheduler::~DownloadScheduler()
{
    delete m_transfer; // before the multi handle it runs on
    m_transfer = nullptr;
}

void DownloadScheduler::TimexzwjTimer()
{
    if (m_busy || m_tasks.count() == 0)
        return;
    const int row = m_tasks.firstWaiting();
    if (row < 0) {
        m_tasks.clear(); // everything has been dealt with
        return;
    }
    m_busy = true;
    m_current = row;
    m_tasks.setState(row, TaskState::Running);
    const QString address = TrimBlanks(m_tasks.task(row).address);
    const QString savePath = TrimBlanks(m_tasks.task(row).savePath);
    m_headers = m_tasks.task(row).headers;
    m_host.showGauge(true);

    bool resume = false;
    // The question is about a file of the task's: the download left unfinished (its
    // partial file), or one under the final name. A folder at the save path is no file to
    // resume: nothing is asked, and the transfer fails saying so.
    const QFileInfo file(savePath);
    if (!savePath.isEmpty() && !file.isDir() && (file.exists() || QFileInfo::exists(PartialPath(savePath)))) {
        switch (m_host.askResume(kResumeQuestion + QLatin1Char('\r') + savePath)) {
        case SchedulerHost::Resume::Yes:
            resume = true;
            break;
        case SchedulerHost::Resume::No:
            break;
        case SchedulerHost::Resume::Cancel:
            // Nothing is transferred and the file stays as it is; the task goes back to the
            // tree, and the queue goes on with the next waiting row at the next tick.
            m_host.log(kResumeCancelled() + savePath);
            end(TaskState::Failed);
            return;
        }
    }
    StartTransfer(address, savePath, resume);
}

void DownloadScheduler::StartTransfer(const QString &address, const QString &savePath, bool resume)
{
    const int scheme = AddressScheme(address);
    if (scheme == 0) {
        end(TaskState::Failed, kUnrecognisedAddress);
        return;
    }
    const bool ftp = scheme == 2;
    m_transfer = MakeTransfer(*m_multi, {address, savePath, resume, std::nullopt, std::exchange(m_headers, {})}, this);
    const bool byTime = m_transfer->unit() == Transfer::Unit::Microseconds;
    m_transfer->setPasswordQuestion(
        [this](const FtpAddress &parts) -> std::optional<QString> { return m_host.askFtpPassword(parts.user); });
    Transfer *transfer = m_transfer;
    connect(m_transfer, &Transfer::begun, this, [this, transfer, byTime](qint64 expected) {
        // A reply that states no length is scaled by the last FTP size, or not at all; a
        // stream by its running time, and a live one not at all. The gauge measures the
        // whole file: a resumed one starts where its bytes end.
        const qint64 from = transfer->bodyStart();
        const qint64 total = expected > 0 ? from + expected : byTime ? 0 : (m_lastFtpSize > 0 ? m_lastFtpSize : 0);
        m_host.setGaugeMaximum(total);
        m_host.setGaugeValue(from);
        m_meter.start(from, total > 0 ? total : -1, byTime, m_clock.elapsed());
        m_host.showProgress(m_meter.update(from, m_clock.elapsed()));
    });
    connect(m_transfer, &Transfer::progress, this, [this, transfer](qint64 bytes) {
        const qint64 done = transfer->bodyStart() + bytes;
        m_host.setGaugeValue(done);
        m_host.showProgress(m_meter.update(done, m_clock.elapsed()));
    });
    connect(m_transfer, &Transfer::finished, this,
            [this, ftp](const TransferResult &result) { finished(result, ftp); });
    m_transfer->start();
}

void DownloadScheduler::finished(const TransferResult &result, bool ftp)
{
    std::exchange(m_transfer, nullptr)->deleteLater();
    // The size the server gave, or -1 for none; a task that failed before SIZE leaves
    // the last one.
    if (ftp && result.ftpSizeAsked)
        m_lastFtpSize = result.ftpSize;
    const int row = m_current;
    const bool known = row >= 0 && row < m_tasks.count();
    if (result.done) {
        if (result.alreadyComplete && known) {
            m_host.log(kAlreadyComplete() + TrimBlanks(m_tasks.task(row).savePath));
        } else if (!ftp && known) {
            // The save-path column as stored ends the line; an empty line follows. A stream
            // names the file it was saved in.
            m_host.log(kDownloadFinished +
                       (result.savedAs.isEmpty() ? m_tasks.task(row).savePath : QLatin1Char(' ') + result.savedAs));
            m_host.log(QString());
        }
        end(TaskState::Done);
        return;
    }
    if (std::exchange(m_stopping, false) && known) {
        m_host.log(kTaskStopped() + TrimBlanks(m_tasks.task(row).savePath));
        end(TaskState::Failed);
        return;
    }
    // Every failure is logged with its reason. A save file that cannot be opened, or an
    // FTP command refused after the login, is also told in a box.
    m_host.log(kDownloadFailed);
    if (known)
        m_host.log(ShownAddress(TrimBlanks(m_tasks.task(row).address)) + QStringLiteral(": ") + result.reason);
    end(TaskState::Failed, result.fileSize < 0 || result.refused ? result.reason : QString());
}

void DownloadScheduler::end(TaskState state, const QString &message)
{
    const int row = m_current;
    if (row >= 0 && row < m_tasks.count()) {
        m_tasks.setState(row, state);
        if (state == TaskState::Done)
            m_host.taskDone(row);
        else
            m_host.taskFailed(row);
    }
    m_current = -1;
    m_host.showGauge(false);
    if (!message.isEmpty())
        m_host.inform(message);
    m_busy = false;
    emit taskEnded(row, state == TaskState::Done);
}

void DownloadScheduler::cancel()
{
    if (m_transfer)
        m_transfer->cancel();
}

bool DownloadScheduler::stopTask(int row)
{
    if (row < 0 || row != m_current || !m_transfer || m_stopping)
        return false;
    m_stopping = true;
    m_transfer->cancel();
    return true;
}

bool DownloadScheduler::removeTask(int row)
{
    if (row < 0 || row >= m_tasks.count() || (m_busy && row == m_current) || m_tasks.task(row).state == TaskState::Running)
        return false;
    if (m_tasks.task(row).state == TaskState::Waiting)
        m_host.taskFailed(row);
    m_tasks.removeTask(row);
    if (m_current > row)
        --m_current;
    return true;
}

void DownloadScheduler::stopForExit(int waitMs)
{
    if (m_transfer) {
        QEventLoop loop;
        connect(this, &DownloadScheduler::taskEnded, &loop, &QEventLoop::quit);
        QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
        if (stopTask(m_current))
            loop.exec();
    }
    for (int row = 0; row < m_tasks.count(); ++row)
        if (m_tasks.task(row).state == TaskState::Waiting) {
            m_tasks.setState(row, TaskState::Failed);
            m_host.taskFailed(row);
        }
}

} // namespace quorrel

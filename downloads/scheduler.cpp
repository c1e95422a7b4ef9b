#include "downloads/scheduler.h"

#include "downloads/curl_multi.h"
#include "downloads/ftp_address.h"
#include "downloads/transfer.h"

#include <QFileInfo>

namespace quorrel {

DownloadScheduler::DownloadScheduler(TaskList &tasks, SchedulerHost &host, QObject *parent)
    : QObject(parent), m_tasks(tasks), m_host(host), m_multi(std::make_unique<CurlMulti>())
{
}

DownloadScheduler::~DownloadScheduler()
{
    delete m_transfer; // before the multi handle it runs on
    m_transfer = nullptr;
}

void DownloadScheduler::TimexzwjTimer()
{
    if (m_tasks.count() == 0 || TransferBusy())
        return;
    const int row = m_tasks.firstWaiting();
    if (row < 0) {
        m_tasks.clear(); // everything has been dealt with
        return;
    }
    m_current = row;
    m_tasks.setState(row, TaskState::Running);
    const QString address = m_tasks.task(row).address.trimmed();
    const QString savePath = m_tasks.task(row).savePath.trimmed();
    m_host.showGauge(true);

    bool resume = false;
    // A folder at the save path is no file to resume: nothing is asked, and the transfer
    // fails saying so.
    const QFileInfo file(savePath);
    if (file.exists() && !file.isDir()) {
        switch (m_host.askResume(kResumeQuestion + QLatin1Char('\r') + savePath)) {
        case SchedulerHost::Resume::Yes:
            resume = true;
            break;
        case SchedulerHost::Resume::No:
            break;
        case SchedulerHost::Resume::Cancel:
            // Nothing is transferred and the file stays as it is; the queue goes on with
            // the next waiting row at the next tick.
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
        m_host.inform(kUnrecognisedAddress);
        end(TaskState::Failed);
        return;
    }
    TransferRequest request{address, savePath, resume, std::nullopt};
    if (scheme == 2) {
        FtpAddress ftp = ParseFtpAddress(address);
        if (ftp.passwordMissing)
            ftp.password = m_host.askFtpPassword(ftp.user);
        request.ftp = ftp;
    }
    const bool ftp = scheme == 2;
    m_transfer = new Transfer(*m_multi, request, this);
    connect(m_transfer, &Transfer::begun, this, [this](qint64 expected) {
        // A reply that states no length is scaled by the last FTP size, or not at all.
        m_host.setGaugeMaximum(expected > 0 ? expected : (m_lastFtpSize > 0 ? m_lastFtpSize : 0));
    });
    connect(m_transfer, &Transfer::progress, this, [this](qint64 bytes) { m_host.setGaugeValue(bytes); });
    connect(m_transfer, &Transfer::finished, this,
            [this, ftp](const TransferResult &result) { finished(result, ftp); });
    m_transfer->start();
}

void DownloadScheduler::finished(const TransferResult &result, bool ftp)
{
    Transfer *transfer = m_transfer;
    m_transfer = nullptr;
    transfer->deleteLater();
    if (ftp)
        m_lastFtpSize = result.ftpSize;
    const int row = m_current;
    if (result.done) {
        if (!ftp) {
            // The save-path column as stored ends the line; an empty line follows.
            m_host.log(kDownloadFinished + m_tasks.task(row).savePath);
            m_host.log(QString());
        }
        m_tasks.setState(row, TaskState::Done);
        m_host.taskDone(row);
        end(TaskState::Done);
        return;
    }
    // A save file that cannot be opened, or an FTP command refused after the login, is
    // an error the user is told about at once; every failure is logged with its reason.
    if (result.fileSize < 0 || result.refused)
        m_host.inform(result.reason);
    m_host.log(kDownloadFailed);
    m_host.log(m_tasks.task(row).address.trimmed() + QStringLiteral(": ") + result.reason);
    end(TaskState::Failed);
}

void DownloadScheduler::end(TaskState state)
{
    const int row = m_current;
    if (row >= 0 && row < m_tasks.count())
        m_tasks.setState(row, state);
    m_current = -1;
    m_host.showGauge(false);
    emit taskEnded(row, state == TaskState::Done);
}

void DownloadScheduler::cancel()
{
    if (m_transfer)
        m_transfer->cancel();
}

} // namespace quorrel

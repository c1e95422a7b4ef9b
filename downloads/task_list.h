#pragma once
// lstxzrw's model: the download tasks, one row each, in the order they were queued. A
// task is its two columns and its state, nothing more; the list lives for the run only.

#include "base/request_headers.h"

#include <QAbstractTableModel>
#include <QStringList>

namespace quorrel {

enum class TaskState : int {
    Waiting = 0,
    Running = 1,
    Failed = 3,
    Done = 4,
};

struct DownloadTask {
    QString address;  // the address column as stored: a blank, then the address
    QString savePath; // the save-path column: a blank, SavePath, "/", the file name
    TaskState state = TaskState::Waiting;
    // The headers the resource was captured with, for its transfer; in memory only, and
    // dropped when the user edits the address (they belong to the address captured).
    RequestHeaders headers = {};
};

class TaskList : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role { StateRole = Qt::UserRole + 1 };

    explicit TaskList(QObject *parent = nullptr);

    // The recipe every command follows: address column " " + address, save-path column
    // " " + savePath + "/" + the file name, state Waiting. The file name is fileName, or,
    // when another row of the list saves into that very file, the first of "name (2).ext",
    // "name (3).ext"... that none does (DistinctFileName): two tasks never write one file.
    int AddTask(const QString &address, const QString &fileName, const QString &savePath,
                const RequestHeaders &headers = {});
    // fileName, numbered as AddTask numbers it, for a task saving into folder.
    QString DistinctFileName(const QString &folder, const QString &fileName) const;
    // A row whose columns are given as they are to be stored.
    int addRow(const QString &addressColumn, const QString &savePathColumn, const RequestHeaders &headers = {});

    int count() const { return static_cast<int>(m_tasks.size()); }
    const DownloadTask &task(int row) const { return m_tasks[row]; }
    void setState(int row, TaskState state);
    // The first row, from the top, still waiting; -1 when none is.
    int firstWaiting() const;
    void clear();
    // Takes one row out of the list.
    void removeTask(int row);

    // The addresses queued by the selection command and the rename table: nothing ever
    // takes one out, not even clearing the list.
    QStringList QueuedAddresses;
    bool isQueued(const QString &caption) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    QList<DownloadTask> m_tasks;
};

} // namespace quorrel

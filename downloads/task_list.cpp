#include "downloads/task_list.h"

#include "base/gydy.h"
#include "base/text_rules.h"

#include <QCoreApplication>

namespace quorrel {

QString FileNameOf(const QString &address)
{
    if (!address.contains(QLatin1Char('/')))
        return address;
    return address.mid(LastPos(u"/", address));
}

TaskList::TaskList(QObject *parent) : QAbstractTableModel(parent) {}

int TaskList::AddTask(const QString &address, const QString &fileName, const QString &savePath,
                      const RequestHeaders &headers)
{
    return addRow(QLatin1Char(' ') + address, QLatin1Char(' ') + savePath + QLatin1Char('/') + fileName, headers);
}

int TaskList::addRow(const QString &addressColumn, const QString &savePathColumn, const RequestHeaders &headers)
{
    const int row = count();
    beginInsertRows({}, row, row);
    m_tasks.append({addressColumn, savePathColumn, TaskState::Waiting, headers});
    endInsertRows();
    return row;
}

void TaskList::setState(int row, TaskState state)
{
    if (row < 0 || row >= count())
        return;
    m_tasks[row].state = state;
    emit dataChanged(index(row, 0), index(row, 0), {StateRole, Qt::DecorationRole});
}

int TaskList::firstWaiting() const
{
    for (int r = 0; r < count(); ++r)
        if (m_tasks[r].state == TaskState::Waiting)
            return r;
    return -1;
}

void TaskList::clear()
{
    if (m_tasks.isEmpty())
        return;
    beginResetModel();
    m_tasks.clear();
    endResetModel();
}

bool TaskList::isQueued(const QString &caption) const
{
    return QueuedAddresses.contains(caption, Qt::CaseInsensitive);
}

int TaskList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

int TaskList::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant TaskList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    const DownloadTask &t = m_tasks[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return index.column() == 0 ? t.address : t.savePath;
    case StateRole:
        return static_cast<int>(t.state);
    default:
        return {};
    }
}

bool TaskList::setData(const QModelIndex &index, const QVariant &value, int role)
{
    // The address column can be edited in place; the scheduler reads it when it starts
    // the task, so an address edited while waiting is the one fetched.
    if (!index.isValid() || index.column() != 0 || role != Qt::EditRole)
        return false;
    DownloadTask &task = m_tasks[index.row()];
    const QString address = value.toString();
    // Headers captured for one address are not sent to another.
    if (TrimBlanks(address) != TrimBlanks(task.address))
        task.headers = {};
    task.address = address;
    emit dataChanged(index, index, {Qt::DisplayRole, Qt::EditRole});
    return true;
}

QVariant TaskList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    // In the window's language (the window lists these texts for its translation).
    return section == 0 ? QCoreApplication::translate("quorrel", "状态     文件地址/文件名")
                        : QCoreApplication::translate("quorrel", "保存文件名");
}

Qt::ItemFlags TaskList::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0)
        f |= Qt::ItemIsEditable;
    return f;
}

} // namespace quorrel

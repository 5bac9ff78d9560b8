#include "ZEKJobsTableModel.h"

#include <QLocale>

using namespace Qt::StringLiterals;

ZEKJobsTableModel::ZEKJobsTableModel(const ZEKJobList &jobs, QObject *parent)
    : QAbstractTableModel(parent), rows_(jobs.jobs())
{
    connect(&jobs, &ZEKJobList::jobInserted, this, [this, &jobs](int row) {
        beginInsertRows(QModelIndex(), row, row);
        rows_.insert(row, jobs.jobs().at(row));
        endInsertRows();
    });
    connect(&jobs, &ZEKJobList::jobRemoved, this, [this](int row) {
        beginRemoveRows(QModelIndex(), row, row);
        rows_.removeAt(row);
        endRemoveRows();
    });
    connect(&jobs, &ZEKJobList::jobChanged, this, [this, &jobs](int row) {
        rows_[row] = jobs.jobs().at(row);
        emit dataChanged(index(row, Title), index(row, State));
    });
}

int ZEKJobsTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int ZEKJobsTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString ZEKJobsTableModel::stateText(const ZEKJobList::Job &job)
{
    switch (job.state) {
    case ZEKJobList::State::Waiting:
        return tr("Waiting");
    case ZEKJobList::State::Sending:
        return tr("Sending");
    case ZEKJobList::State::Failed:
        return tr("Failed: %1 (%2)")
            .arg(job.error, QLocale().toString(job.attempted, QLocale::ShortFormat));
    case ZEKJobList::State::Delivered:
        return tr("Delivered, not deletable");
    }
    return QString();
}

QVariant ZEKJobsTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows_.size()) {
        return QVariant();
    }
    const ZEKJobList::Job &job = rows_.at(index.row());
    if (role == ProgressRole && index.column() == State &&
        job.state == ZEKJobList::State::Sending) {
        return job.bytesTotal > 0 ? double(job.bytesSent) / double(job.bytesTotal) : 0.0;
    }
    if (role == Qt::ToolTipRole && index.column() == State) {
        return stateText(job);
    }
    if (role != Qt::DisplayRole) {
        return QVariant();
    }
    switch (index.column()) {
    case Title:
        return job.title;
    case Directory:
        return job.directory;
    case Size:
        return QLocale().formattedDataSize(job.size);
    case Printed:
        return QLocale().toString(job.printed, QLocale::ShortFormat);
    case State:
        return stateText(job);
    default:
        return QVariant();
    }
}

QVariant ZEKJobsTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QVariant();
    }
    const QStringList titles = {tr("Title"), tr("Spool directory"), tr("Size"), tr("Printed"),
                                tr("State")};
    return titles.value(section);
}

QUrl ZEKJobsTableModel::fileAt(int row) const
{
    return row >= 0 && row < rows_.size() ? rows_.at(row).file : QUrl();
}

#pragma once

#include "ZEKJobList.h"

#include <QAbstractTableModel>
#include <QList>
#include <QUrl>

// The jobs table's rows: the application's job list, oldest first, kept in step with it by
// its signals. The State column reads "Waiting", "Sending", "Failed: <reason> (<time>)" or
// "Delivered, not deletable"; while a job is sent, ProgressRole of that cell is the share of
// it gone, from 0 to 1.
class ZEKJobsTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Title, Directory, Size, Printed, State, ColumnCount };
    static constexpr int ProgressRole = Qt::UserRole + 1;

    explicit ZEKJobsTableModel(const ZEKJobList &jobs, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The job shown in `row`; invalid for no row.
    QUrl fileAt(int row) const;

    static QString stateText(const ZEKJobList::Job &job);

private:
    // The list tells of a change once it is made: rows keeps the jobs as shown, so that a view
    // told a row is about to go still finds it.
    QList<ZEKJobList::Job> rows_;
};

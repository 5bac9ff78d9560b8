#pragma once

#include "NetService.h"

#include <QAbstractTableModel>
#include <QList>
#include <memory>

// The services table's rows: the discovered devices in their displayed
// (sorted) order, each cell made by the display transformers.
class ZEKServicesTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { Name, Ip, HostName, Port, TXTRecord, ColumnCount };
    using Services = QList<std::shared_ptr<zek::NetService>>;

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Stable: rows that compare equal keep their order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // The displayed order.
    Services arrangedObjects() const { return services_; }
    void removeAllServices();
    // Appends, then sorts again by the last sort asked for.
    void addServices(const Services &services);
    // The row of a service after it resolved; nothing when it is not shown.
    void serviceDidResolve(const zek::NetService *service);

    // The "ip" order: no addresses first (two such are equal), then the text
    // of the first address, compared as plain text.
    static bool addressesLess(const QList<QByteArray> &left, const QList<QByteArray> &right);

private:
    Services services_;
    int sortColumn_ = Name;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

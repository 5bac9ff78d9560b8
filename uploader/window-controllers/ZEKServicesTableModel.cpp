#include "ZEKServicesTableModel.h"

#include "ZEKNetworkController.h"
#include "ZEKServiceTransformers.h"

#include <algorithm>

using namespace Qt::StringLiterals;

int ZEKServicesTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(services_.size());
}

int ZEKServicesTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ZEKServicesTableModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= services_.size()) {
        return QVariant();
    }
    const auto &service = services_.at(index.row());
    switch (index.column()) {
    case Name:
        return ZEKNameTransformer().transformedValue(service->name());
    case Ip:
        return ZEKAddressesTransformer().transformedValue(
            QVariant::fromValue(service->addresses()));
    case HostName:
        return service->hostName();
    case Port:
        return ZEKPortTransformer().transformedValue(QVariant::fromValue(service));
    case TXTRecord: {
        const QVariant value =
            ZEKTXTRecordDataTransformer().transformedValue(service->TXTRecordData());
        return value.isValid() ? QVariant(QString::fromUtf8(value.toByteArray())) : QVariant();
    }
    default:
        return QVariant();
    }
}

QVariant ZEKServicesTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QVariant();
    }
    static const QStringList titles = {u"Name"_s, u"IP address"_s, u"Host name"_s, u"Port"_s,
                                       u"Info"_s};
    return titles.value(section);
}

bool ZEKServicesTableModel::addressesLess(const QList<QByteArray> &left,
                                          const QList<QByteArray> &right)
{
    if (left.isEmpty() || right.isEmpty()) {
        return left.isEmpty() && !right.isEmpty();
    }
    const QString leftText = ZEKNetworkController::extractIPaddressFromData(left.first());
    const QString rightText = ZEKNetworkController::extractIPaddressFromData(right.first());
    return QString::compare(leftText, rightText, Qt::CaseSensitive) < 0;
}

void ZEKServicesTableModel::sort(int column, Qt::SortOrder order)
{
    using Service = std::shared_ptr<zek::NetService>;
    std::function<bool(const Service &, const Service &)> less;
    switch (column) {
    case Name:
        less = [](const Service &a, const Service &b) { return a->name() < b->name(); };
        break;
    case Ip:
        less = [](const Service &a, const Service &b) {
            return addressesLess(a->addresses(), b->addresses());
        };
        break;
    case HostName:
        less = [](const Service &a, const Service &b) { return a->hostName() < b->hostName(); };
        break;
    case Port:
        less = [](const Service &a, const Service &b) { return a->port() < b->port(); };
        break;
    case TXTRecord:
        less = [](const Service &a, const Service &b) {
            return a->TXTRecordData() < b->TXTRecordData();
        };
        break;
    default:
        return;
    }
    sortColumn_ = column;
    sortOrder_ = order;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::stable_sort(services_.begin(), services_.end(), [&](const Service &a, const Service &b) {
        return order == Qt::AscendingOrder ? less(a, b) : less(b, a);
    });
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ZEKServicesTableModel::removeAllServices()
{
    beginResetModel();
    services_.clear();
    endResetModel();
}

void ZEKServicesTableModel::addServices(const Services &services)
{
    if (services.isEmpty()) {
        return;
    }
    const auto first = static_cast<int>(services_.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(services.size()) - 1);
    services_.append(services);
    endInsertRows();
    sort(sortColumn_, sortOrder_);
}

void ZEKServicesTableModel::serviceDidResolve(const zek::NetService *service)
{
    const auto row = std::find_if(services_.cbegin(), services_.cend(),
                                  [service](const auto &shown) { return shown.get() == service; });
    if (row == services_.cend()) {
        return;
    }
    // Everything but the name comes with the resolution.
    const int at = static_cast<int>(row - services_.cbegin());
    emit dataChanged(index(at, Ip), index(at, TXTRecord));
}

#include "ZEKServiceTransformers.h"

#include "NetService.h"
#include "ZEKDeviceSelection.h"
#include "ZEKNetworkController.h"

using namespace Qt::StringLiterals;

namespace {

const QVariant kEmpty = QVariant(QString(u""_s));

} // namespace

QVariant ZEKNameTransformer::transformedValue(const QVariant &value) const
{
    if (value.metaType() != QMetaType::fromType<QString>()) {
        return kEmpty;
    }
    return ZEKDeviceName::parse(value.toString()).key;
}

QVariant ZEKAddressesTransformer::transformedValue(const QVariant &value) const
{
    QByteArray first;
    if (value.metaType() == QMetaType::fromType<QList<QByteArray>>()) {
        const auto addresses = value.value<QList<QByteArray>>();
        first = addresses.value(0);
    } else if (value.metaType() == QMetaType::fromType<QVariantList>()) {
        const QVariantList addresses = value.toList();
        if (!addresses.isEmpty() &&
            addresses.first().metaType() != QMetaType::fromType<QByteArray>()) {
            return kEmpty;
        }
        first = addresses.value(0).toByteArray();
    } else {
        return kEmpty;
    }
    const QString text = ZEKNetworkController::extractIPaddressFromData(first);
    return text.isNull() ? kEmpty : QVariant(text);
}

QVariant ZEKPortTransformer::transformedValue(const QVariant &value) const
{
    const auto service = value.value<std::shared_ptr<zek::NetService>>();
    if (value.metaType() != QMetaType::fromType<std::shared_ptr<zek::NetService>>() || !service) {
        return kEmpty;
    }
    return QString::number(service->port());
}

QVariant ZEKTXTRecordDataTransformer::transformedValue(const QVariant &value) const
{
    if (value.metaType() != QMetaType::fromType<QByteArray>()) {
        return kEmpty;
    }
    const auto record = zek::NetService::dictionaryFromTXTRecordData(value.toByteArray());
    const auto found = record.constFind(u"qwe"_s);
    return found == record.cend() ? QVariant() : QVariant(found.value());
}

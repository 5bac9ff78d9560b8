#include "ValueDescription.h"

#include "OrderedSet.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace zek {

namespace {

QString compactJson(const QJsonDocument &document)
{
    return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
}

} // namespace

QString description(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
        return {};
    case QMetaType::Nullptr:
        return QStringLiteral("<null>");
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::QByteArray:
        return u'<' + QString::fromLatin1(value.toByteArray().toHex()) + u'>';
    case QMetaType::QVariantMap:
        return compactJson(QJsonDocument(QJsonObject::fromVariantMap(value.toMap())));
    case QMetaType::QVariantList:
    case QMetaType::QStringList:
        return compactJson(QJsonDocument(QJsonArray::fromVariantList(value.toList())));
    default:
        break;
    }
    if (value.metaType() == QMetaType::fromType<OrderedSet>()) {
        return compactJson(
            QJsonDocument(QJsonArray::fromVariantList(value.value<OrderedSet>().values())));
    }
    return value.toString();
}

} // namespace zek

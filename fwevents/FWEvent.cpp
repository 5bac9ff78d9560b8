#include "FWEvent.h"

#include <QCborValue>
#include <utility>

namespace {
const QString kIdentifierKey = QStringLiteral("identifier");
const QString kFlagsKey = QStringLiteral("flags");
const QString kDateKey = QStringLiteral("date");
const QString kURLKey = QStringLiteral("URL");
} // namespace

FWEvent::FWEvent(quint64 identifier, QDateTime date, QUrl URL, quint32 flags)
    : identifier_(identifier), date_(std::move(date)), URL_(std::move(URL)), flags_(flags)
{}

FWEvent FWEvent::eventWithIdentifier(quint64 identifier, const QDateTime &date, const QUrl &URL,
                                     quint32 flags)
{
    return FWEvent(identifier, date, URL, flags);
}

// CBOR integers here are signed 64-bit; the identifier travels as its bit pattern.
FWEvent::FWEvent(const QCborMap &coder)
    : FWEvent(static_cast<quint64>(coder.value(kIdentifierKey).toInteger()),
              coder.value(kDateKey).toDateTime(), coder.value(kURLKey).toUrl(),
              static_cast<quint32>(coder.value(kFlagsKey).toInteger()))
{}

void FWEvent::encodeWithCoder(QCborMap &coder) const
{
    coder.insert(kIdentifierKey, static_cast<qint64>(identifier_));
    coder.insert(kFlagsKey, static_cast<qint64>(flags_));
    coder.insert(kDateKey, QCborValue(date_));
    coder.insert(kURLKey, QCborValue(URL_));
}

QString FWEvent::description() const
{
    return QStringLiteral("<FWEvent: %1 { identifier = %2, URL = %3, flags = %4, date = %5 }>")
        .arg(QString::asprintf("%p", static_cast<const void *>(this)))
        .arg(identifier_)
        .arg(URL_.toString(QUrl::FullyEncoded))
        .arg(flags_)
        .arg(date_.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss '+0000'")));
}

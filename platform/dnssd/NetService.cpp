#include "NetService.h"

namespace zek {

NetService::NetService(QString domain, QString type, QString name, int port)
    : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port)
{}

NetService::~NetService() = default;

QMap<QString, QByteArray> NetService::dictionaryFromTXTRecordData(const QByteArray &txtData)
{
    QMap<QString, QByteArray> dictionary;
    qsizetype at = 0;
    while (at < txtData.size()) {
        const auto length = static_cast<unsigned char>(txtData.at(at));
        if (at + 1 + length > txtData.size()) {
            break;
        }
        const QByteArray entry = txtData.mid(at + 1, length);
        at += 1 + length;
        const qsizetype equals = entry.indexOf('=');
        const QString key = QString::fromUtf8(equals < 0 ? entry : entry.left(equals));
        if (key.isEmpty() || dictionary.contains(key)) {
            continue;
        }
        dictionary.insert(key, equals < 0 ? QByteArray() : entry.mid(equals + 1));
    }
    return dictionary;
}

void NetService::didResolve(const QString &hostName, int port, const QList<QByteArray> &addresses,
                            const QByteArray &txtRecordData)
{
    hostName_ = hostName;
    port_ = port;
    addresses_ = addresses;
    TXTRecordData_ = txtRecordData;
    if (delegate_ != nullptr) {
        delegate_->netServiceDidResolveAddress(this);
    }
}

} // namespace zek

// What DNS-SD brings from the network: TXT records of any bytes, and service
// names of any text. The TXT parser must give exactly the entries that a
// reader written here from the record format finds, and device selection
// must choose exactly the services its rules name, in their order.

#include "FuzzCheck.h"
#include "ZEKDeviceSelection.h"

#include <QMap>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>

using namespace Qt::StringLiterals;

namespace {

class NamedService : public zek::NetService {
public:
    explicit NamedService(QString name) : NetService(u"local."_s, u"_http._tcp."_s, std::move(name))
    {}
    void resolveWithTimeout(double) override {}
    void publish() override {}
    void stop() override {}
};

// Length-prefixed strings; a length past the end ends the record.
QMap<QString, QByteArray> readTXT(const QByteArray &record)
{
    QMap<QString, QByteArray> entries;
    for (qsizetype at = 0; at < record.size();) {
        const qsizetype length = static_cast<unsigned char>(record[at]);
        if (record.size() - at - 1 < length) {
            break;
        }
        const QByteArray entry = record.sliced(at + 1, length);
        at += 1 + length;
        const qsizetype equals = entry.indexOf('=');
        const QString key = QString::fromUtf8(entry.left(equals < 0 ? entry.size() : equals));
        if (!key.isEmpty() && !entries.contains(key)) {
            entries.insert(key, equals < 0 ? QByteArray() : entry.sliced(equals + 1));
        }
    }
    return entries;
}

// "name (12)": the number's digits without leading zeros and the name before
// it without surrounding spaces; a name without such an ending is its own key.
std::pair<QString, QString> splitDeviceName(const QString &name)
{
    if (!name.endsWith(u')')) {
        return {name, QString()};
    }
    qsizetype open = name.size() - 2;
    while (open >= 0 && name[open] >= u'0' && name[open] <= u'9') {
        --open;
    }
    if (open < 0 || name[open] != u'(' || open == name.size() - 2) {
        return {name, QString()};
    }
    QString digits = name.sliced(open + 1, name.size() - open - 2);
    while (digits.size() > 1 && digits.front() == u'0') {
        digits.remove(0, 1);
    }
    QString key = name.left(open);
    while (key.startsWith(u' ')) {
        key.remove(0, 1);
    }
    while (key.endsWith(u' ')) {
        key.chop(1);
    }
    return {key, digits};
}

bool numberAtMost(const QString &a, const QString &b)
{
    return a.size() != b.size() ? a.size() < b.size() : a <= b;
}

ZEKDeviceSelection::Services expectedDevices(const ZEKDeviceSelection::Services &found)
{
    QList<QString> keys; // in order of first appearance
    std::map<QString, std::pair<QString, std::shared_ptr<zek::NetService>>> chosen;
    for (const auto &service : found) {
        if (!service->name().contains(u"quil"_s, Qt::CaseInsensitive)) {
            continue;
        }
        const auto [key, number] = splitDeviceName(service->name());
        const auto known = chosen.find(key);
        if (known == chosen.end()) {
            keys.append(key);
            chosen[key] = {number, service};
        } else if (number.isNull() || known->second.first.isNull() ||
                   numberAtMost(known->second.first, number)) {
            known->second = {number, service};
        }
    }
    ZEKDeviceSelection::Services devices;
    for (const QString &key : keys) {
        devices.append(chosen[key].second);
    }
    return devices;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    const std::string record = data.ConsumeRandomLengthString(1024);
    const QByteArray TXT(record.data(), static_cast<qsizetype>(record.size()));
    ZEK_FUZZ_CHECK(zek::NetService::dictionaryFromTXTRecordData(TXT) == readTXT(TXT),
                   "the TXT record gives the entries of its format");

    ZEKDeviceSelection::Services found;
    while (data.remaining_bytes() > 0 && found.size() < 32) {
        const std::string name = data.ConsumeRandomLengthString(64);
        found.append(std::make_shared<NamedService>(
            QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()))));
    }
    ZEK_FUZZ_CHECK(ZEKDeviceSelection::chooseDevices(found) == expectedDevices(found),
                   "the devices chosen are those the rules name, in their order");
    return 0;
}

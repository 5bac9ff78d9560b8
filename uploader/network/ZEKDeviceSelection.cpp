#include "ZEKDeviceSelection.h"

#include <QRegularExpression>
#include <map>

using namespace Qt::StringLiterals;

namespace {

QString trimmed(QString text, QStringView characters)
{
    while (!text.isEmpty() && characters.contains(text.front())) {
        text.remove(0, 1);
    }
    while (!text.isEmpty() && characters.contains(text.back())) {
        text.chop(1);
    }
    return text;
}

// Whether the rank of a number (no number ranks lowest) is at most another's.
bool rankAtMost(const QString &number, const QString &other)
{
    if (number.isNull() || other.isNull()) {
        return number.isNull();
    }
    if (number.size() != other.size()) {
        return number.size() < other.size();
    }
    return number <= other;
}

} // namespace

ZEKDeviceName ZEKDeviceName::parse(const QString &serviceName)
{
    static const QRegularExpression suffix(u"\\([0-9]+\\)\\z"_s);
    const QRegularExpressionMatch match = suffix.match(serviceName);
    if (!match.hasMatch()) {
        return {serviceName, QString()};
    }
    QString digits = trimmed(match.captured(), u"()");
    while (digits.size() > 1 && digits.front() == u'0') {
        digits.remove(0, 1);
    }
    return {trimmed(serviceName.left(match.capturedStart()), u" "), digits};
}

ZEKDeviceSelection::Services ZEKDeviceSelection::chooseDevices(const Services &found)
{
    struct Choice {
        std::size_t order;
        QString number;
        std::shared_ptr<zek::NetService> service;
    };
    std::map<QString, Choice> byKey;
    for (const auto &service : found) {
        if (!service->name().contains(u"quil"_s, Qt::CaseInsensitive)) {
            continue;
        }
        const ZEKDeviceName device = ZEKDeviceName::parse(service->name());
        const auto known = byKey.find(device.key);
        if (known == byKey.end()) {
            byKey.emplace(device.key, Choice{byKey.size(), device.number, service});
        } else if (device.number.isNull() || rankAtMost(known->second.number, device.number)) {
            known->second.number = device.number;
            known->second.service = service;
        }
    }
    Services chosen(static_cast<qsizetype>(byKey.size()));
    for (const auto &[key, choice] : byKey) {
        chosen[static_cast<qsizetype>(choice.order)] = choice.service;
    }
    return chosen;
}

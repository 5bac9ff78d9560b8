#include "HCURLRequest.h"

#include <algorithm>

namespace {

auto sameField(QStringView field)
{
    return [field](const std::pair<QString, QString> &entry) {
        return entry.first.compare(field, Qt::CaseInsensitive) == 0;
    };
}

} // namespace

QString HCURLRequest::valueForHTTPHeaderField(QStringView field) const
{
    const auto entry = std::find_if(headerFields_.cbegin(), headerFields_.cend(), sameField(field));
    return entry == headerFields_.cend() ? QString() : entry->second;
}

void HCURLRequest::setValue(const QString &value, const QString &forHTTPHeaderField)
{
    const auto entry =
        std::find_if(headerFields_.begin(), headerFields_.end(), sameField(forHTTPHeaderField));
    if (value.isNull()) {
        if (entry != headerFields_.end()) {
            headerFields_.erase(entry);
        }
    } else if (entry != headerFields_.end()) {
        entry->second = value;
    } else {
        headerFields_.append({forHTTPHeaderField, value});
    }
}

void HCURLRequest::setHTTPBody(QByteArray body)
{
    HTTPBody_ = std::move(body);
    HTTPBodyStream_.reset();
}

void HCURLRequest::setHTTPBodyStream(std::shared_ptr<zek::InputStream> stream)
{
    HTTPBodyStream_ = std::move(stream);
    HTTPBody_.clear();
}

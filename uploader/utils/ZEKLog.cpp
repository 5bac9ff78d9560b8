#include "ZEKLog.h"

#include "ValueDescription.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QString textOf(const QVariant &value)
{
    const QString text = zek::description(value);
    return text.isNull() ? u"(null)"_s : text;
}

QString localizedDescription(const zek::Error &error)
{
    const QVariant described = error.userInfo().value(zek::NSLocalizedDescriptionKey);
    if (described.isValid()) {
        return described.toString();
    }
    return u"The operation couldn't be completed. (%1 error %2.)"_s.arg(
        error.domain(), QString::number(error.code()));
}

} // namespace

ZEKLog &ZEKLog::sharedLog()
{
    static ZEKLog *const shared = new ZEKLog;
    return *shared;
}

void ZEKLog::log(const QString &text)
{
    // A copy, so that a subscriber may subscribe or unsubscribe while called.
    const auto subscribers = subscribers_;
    for (const auto &entry : subscribers) {
        entry.second(text);
    }
}

ZEKLog::SubscriberToken ZEKLog::subscribe(Subscriber subscriber)
{
    const SubscriberToken token = nextToken_++;
    subscribers_.emplace_back(token, std::move(subscriber));
    return token;
}

void ZEKLog::unsubscribe(SubscriberToken token)
{
    std::erase_if(subscribers_, [token](const auto &entry) { return entry.first == token; });
}

QString ZEKLog::uploadingToResourceLine(const QUrl &resource)
{
    return u"Uploading to resource: "_s +
           (resource.isEmpty() ? u"(null)"_s : resource.toString(QUrl::FullyEncoded));
}

QString ZEKLog::uploadOutcomeLine(const QVariant &result, const std::optional<zek::Error> &error)
{
    if (!error) {
        return u"JSON: "_s + textOf(result);
    }
    return u"ERROR(%1): %2\nRESULT: %3"_s.arg(QString::number(error->code()),
                                              localizedDescription(*error), textOf(result));
}

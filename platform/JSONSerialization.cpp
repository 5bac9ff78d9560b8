#include "JSONSerialization.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <nlohmann/json.hpp>

namespace zek {

QVariant JSONObjectWithData(const QByteArray &data, NSJSONReadingOptions options,
                            std::optional<Error> *error)
{
    // QJsonDocument only takes an object or array at the top, so a fragment is
    // read as the one element of an array around it.
    const bool fragments = (options & NSJSONReadingFragmentsAllowed) != 0;
    QJsonParseError parseError{};
    const QJsonDocument document =
        QJsonDocument::fromJson(fragments ? '[' + data + ']' : data, &parseError);
    QString reason;
    qint64 offset = parseError.offset;
    if (parseError.error != QJsonParseError::NoError) {
        reason = parseError.errorString();
        offset -= fragments ? 1 : 0;
    } else if (!nlohmann::json::accept(data.cbegin(), data.cend())) {
        // QJsonDocument also takes what JSON forbids: raw control characters
        // and unknown escapes in strings, numbers such as "-0.". A strict
        // reading decides what is JSON; QJsonDocument builds the value.
        reason = QStringLiteral("not strictly JSON");
        offset = 0;
    } else if (!fragments) {
        return document.toVariant();
    } else if (document.array().size() == 1) {
        return document.array().first().toVariant();
    } else {
        // Nothing, or several values side by side.
        reason = QStringLiteral("not exactly one value");
        offset = 0;
    }
    if (error != nullptr) {
        *error = Error(NSCocoaErrorDomain, NSPropertyListReadCorruptError,
                       {{NSLocalizedDescriptionKey,
                         QCoreApplication::translate("JSONSerialization",
                                                     "The data is not valid JSON: %1 at offset %2.")
                             .arg(reason)
                             .arg(std::max<qint64>(offset, 0))}});
    }
    return {};
}

} // namespace zek

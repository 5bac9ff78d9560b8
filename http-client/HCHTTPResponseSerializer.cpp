#include "HCHTTPResponseSerializer.h"

#include <QCborArray>
#include <QCoreApplication>

namespace {

const QString kStatusCodesKey = QStringLiteral("acceptableStatusCodes");
const QString kContentTypesKey = QStringLiteral("acceptableContentTypes");

zek::Error failure(qint64 code, const QString &description, const HCHTTPURLResponse &response,
                   const std::optional<QByteArray> &data)
{
    QVariantMap userInfo{
        {zek::NSLocalizedDescriptionKey, description},
        {zek::NSURLErrorFailingURLErrorKey, response.URL()},
        {HCOperationFailingURLResponseErrorKey, QVariant::fromValue(response)},
    };
    if (data) {
        userInfo.insert(HCOperationFailingURLResponseDataErrorKey, *data);
    }
    return zek::Error(HCURLResponseSerializationErrorDomain, code, userInfo);
}

QCborArray encodeIndexSet(const zek::IndexSet &set)
{
    QCborArray ranges;
    for (const zek::IndexSet::Range &range : set.ranges()) {
        ranges.append(
            QCborArray{static_cast<qint64>(range.location), static_cast<qint64>(range.length)});
    }
    return ranges;
}

// None unless every entry is a [location, length] pair of non-negative integers.
std::optional<zek::IndexSet> decodeIndexSet(const QCborValue &value)
{
    if (!value.isArray()) {
        return std::nullopt;
    }
    zek::IndexSet set;
    for (const QCborValue &entry : value.toArray()) {
        const QCborArray pair = entry.toArray();
        if (!entry.isArray() || pair.size() != 2 || !pair[0].isInteger() || !pair[1].isInteger() ||
            pair[0].toInteger() < 0 || pair[1].toInteger() < 0) {
            return std::nullopt;
        }
        set.addIndexesInRange(
            {static_cast<quint64>(pair[0].toInteger()), static_cast<quint64>(pair[1].toInteger())});
    }
    return set;
}

// Sorted, so that equal sets give equal archives.
QCborArray encodeStringSet(const QSet<QString> &set)
{
    QStringList strings(set.cbegin(), set.cend());
    strings.sort();
    return QCborArray::fromStringList(strings);
}

std::optional<QSet<QString>> decodeStringSet(const QCborValue &value)
{
    if (!value.isArray()) {
        return std::nullopt;
    }
    QSet<QString> set;
    for (const QCborValue &entry : value.toArray()) {
        if (!entry.isString()) {
            return std::nullopt;
        }
        set.insert(entry.toString());
    }
    return set;
}

} // namespace

std::shared_ptr<HCHTTPResponseSerializer> HCHTTPResponseSerializer::serializer()
{
    return std::make_shared<HCHTTPResponseSerializer>();
}

HCHTTPResponseSerializer::HCHTTPResponseSerializer()
    : acceptableStatusCodes_(zek::IndexSet::indexSetWithIndexesInRange({200, 100}))
{}

HCHTTPResponseSerializer::HCHTTPResponseSerializer(const QCborMap &coder)
    : HCHTTPResponseSerializer()
{
    decodeFromCoder(coder);
}

bool HCHTTPResponseSerializer::validateResponse(const std::optional<HCHTTPURLResponse> &response,
                                                const std::optional<QByteArray> &data,
                                                std::optional<zek::Error> *error) const
{
    bool valid = true;
    std::optional<zek::Error> validationError;
    if (response && response->isHTTP()) {
        const bool hasURL = !response->URL().isEmpty();
        const QString &MIMEType = response->MIMEType();
        if (acceptableContentTypes_ &&
            (MIMEType.isNull() || !acceptableContentTypes_->contains(MIMEType))) {
            if (data && !data->isEmpty() && hasURL) {
                validationError = failure(
                    zek::NSURLErrorCannotDecodeContentData,
                    QCoreApplication::translate("HCURLResponseSerialization",
                                                "Request failed: unacceptable content-type: %1")
                        .arg(MIMEType.isNull() ? QStringLiteral("(null)") : MIMEType),
                    *response, data);
            }
            valid = false;
        }
        // Negative codes are in no index set.
        const qint64 statusCode = response->statusCode();
        if (acceptableStatusCodes_ &&
            (statusCode < 0 || !acceptableStatusCodes_->containsIndex(quint64(statusCode))) &&
            hasURL) {
            const zek::Error statusError = failure(
                zek::NSURLErrorBadServerResponse,
                QCoreApplication::translate("HCURLResponseSerialization", "Request failed: %1 (%2)")
                    .arg(HCHTTPURLResponse::localizedStringForStatusCode(statusCode))
                    .arg(statusCode),
                *response, data);
            validationError = HCErrorWithUnderlyingError(statusError, validationError);
            valid = false;
        }
    }
    if (error != nullptr && !valid) {
        *error = validationError;
    }
    return valid;
}

QVariant HCHTTPResponseSerializer::responseObjectForResponse(
    const std::optional<HCHTTPURLResponse> &response, const std::optional<QByteArray> &data,
    std::optional<zek::Error> *error) const
{
    validateResponse(response, data, error);
    return data ? QVariant(*data) : QVariant();
}

void HCHTTPResponseSerializer::encodeWithCoder(QCborMap &coder) const
{
    if (acceptableStatusCodes_) {
        coder.insert(kStatusCodesKey, encodeIndexSet(*acceptableStatusCodes_));
    }
    if (acceptableContentTypes_) {
        coder.insert(kContentTypesKey, encodeStringSet(*acceptableContentTypes_));
    }
}

void HCHTTPResponseSerializer::decodeFromCoder(const QCborMap &coder)
{
    setAcceptableStatusCodes(decodeIndexSet(coder.value(kStatusCodesKey)));
    setAcceptableContentTypes(decodeStringSet(coder.value(kContentTypesKey)));
}

std::shared_ptr<HCHTTPResponseSerializer> HCHTTPResponseSerializer::copy() const
{
    auto copy = std::make_shared<HCHTTPResponseSerializer>();
    copy->setAcceptableStatusCodes(acceptableStatusCodes_);
    copy->setAcceptableContentTypes(acceptableContentTypes_);
    return copy;
}

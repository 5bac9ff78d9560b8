#include "HCJSONResponseSerializer.h"

#include <QCoreApplication>

namespace {

const QString kReadingOptionsKey = QStringLiteral("readingOptions");
const QString kRemovesKeysKey = QStringLiteral("removesKeysWithNullValues");

bool isNullOrMissing(const QVariant &value)
{
    return !value.isValid() || value.metaType().id() == QMetaType::Nullptr;
}

bool isContainer(const QVariant &value)
{
    const int type = value.metaType().id();
    return type == QMetaType::QVariantMap || type == QMetaType::QVariantList;
}

// Decodes the body in the reply's charset, or in encoding when the reply
// names none that ICU knows.
std::optional<QString> decodeBody(const std::optional<HCHTTPURLResponse> &response,
                                  const QByteArray &data, zek::NSStringEncoding encoding)
{
    const QString charset = response ? response->textEncodingName() : QString();
    if (!charset.isNull() && zek::isIANACharSetNameKnown(charset)) {
        return zek::decodeStringInCharSet(data, charset);
    }
    return zek::decodeString(data, encoding);
}

} // namespace

std::shared_ptr<HCJSONResponseSerializer> HCJSONResponseSerializer::serializer()
{
    return serializerWithReadingOptions(0);
}

std::shared_ptr<HCJSONResponseSerializer>
HCJSONResponseSerializer::serializerWithReadingOptions(zek::NSJSONReadingOptions readingOptions)
{
    auto serializer = std::make_shared<HCJSONResponseSerializer>();
    serializer->setReadingOptions(readingOptions);
    return serializer;
}

HCJSONResponseSerializer::HCJSONResponseSerializer()
{
    setAcceptableContentTypes(QSet<QString>{QStringLiteral("application/json"),
                                            QStringLiteral("text/json"),
                                            QStringLiteral("text/javascript")});
}

HCJSONResponseSerializer::HCJSONResponseSerializer(const QCborMap &coder)
    : HCJSONResponseSerializer()
{
    decodeFromCoder(coder);
    const QCborValue options = coder.value(kReadingOptionsKey);
    // Written as the 64 bits of the unsigned value, which CBOR holds as a signed integer.
    readingOptions_ =
        options.isInteger()
            ? static_cast<zek::NSJSONReadingOptions>(static_cast<quint64>(options.toInteger()))
            : 0;
    removesKeysWithNullValues_ = coder.value(kRemovesKeysKey).toBool(false);
}

QVariant HCJSONResponseSerializer::responseObjectForResponse(
    const std::optional<HCHTTPURLResponse> &response, const std::optional<QByteArray> &data,
    std::optional<zek::Error> *error) const
{
    if (!validateResponse(response, data, error) &&
        (error == nullptr ||
         HCErrorOrUnderlyingErrorHasCodeInDomain(*error, zek::NSURLErrorCannotDecodeContentData,
                                                 HCURLResponseSerializationErrorDomain))) {
        return {};
    }

    QVariant responseObject;
    std::optional<zek::Error> serializationError;
    const std::optional<QString> text =
        data ? decodeBody(response, *data, stringEncoding()) : std::nullopt;
    if (text && *text != u" ") {
        // The parser reads UTF-8 only, whatever the reply's charset was.
        const std::optional<QByteArray> utf8 = zek::encodeString(*text, zek::NSUTF8StringEncoding);
        if (!utf8) {
            serializationError = zek::Error(
                HCURLResponseSerializationErrorDomain, zek::NSURLErrorCannotDecodeContentData,
                {{zek::NSLocalizedDescriptionKey,
                  QCoreApplication::translate("HCURLResponseSerialization",
                                              "Data failed decoding as a UTF-8 string")},
                 {zek::NSLocalizedFailureReasonErrorKey,
                  QCoreApplication::translate("HCURLResponseSerialization",
                                              "Could not decode string: %1")
                      .arg(*text)}});
        } else if (utf8->isEmpty()) {
            return {};
        } else {
            responseObject = zek::JSONObjectWithData(*utf8, readingOptions_, &serializationError);
        }
    }

    if (removesKeysWithNullValues_ && responseObject.isValid()) {
        responseObject = HCJSONObjectByRemovingKeysWithNullValues(responseObject, readingOptions_);
    }
    if (error != nullptr) {
        *error = HCErrorWithUnderlyingError(serializationError, *error);
    }
    return responseObject;
}

void HCJSONResponseSerializer::encodeWithCoder(QCborMap &coder) const
{
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.insert(kReadingOptionsKey, static_cast<qint64>(readingOptions_));
    coder.insert(kRemovesKeysKey, removesKeysWithNullValues_);
}

std::shared_ptr<HCHTTPResponseSerializer> HCJSONResponseSerializer::copy() const
{
    auto copy = std::make_shared<HCJSONResponseSerializer>();
    copy->setReadingOptions(readingOptions_);
    copy->setRemovesKeysWithNullValues(removesKeysWithNullValues_);
    return copy;
}

QVariant HCJSONObjectByRemovingKeysWithNullValues(const QVariant &JSONObject,
                                                  zek::NSJSONReadingOptions readingOptions)
{
    switch (JSONObject.metaType().id()) {
    case QMetaType::QVariantList: {
        const QVariantList array = JSONObject.toList();
        QVariantList result;
        result.reserve(array.size());
        for (const QVariant &element : array) {
            result.append(HCJSONObjectByRemovingKeysWithNullValues(element, readingOptions));
        }
        return result;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap dictionary = JSONObject.toMap();
        QVariantMap result = dictionary;
        for (auto entry = dictionary.cbegin(); entry != dictionary.cend(); ++entry) {
            if (isNullOrMissing(entry.value())) {
                result.remove(entry.key());
            } else if (isContainer(entry.value())) {
                result.insert(entry.key(), HCJSONObjectByRemovingKeysWithNullValues(
                                               entry.value(), readingOptions));
            }
        }
        return result;
    }
    default:
        return JSONObject;
    }
}

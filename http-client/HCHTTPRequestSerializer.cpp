#include "HCHTTPRequestSerializer.h"

#include "HCDefaultHeaderFields.h"
#include "HCQueryStringPair.h"
#include "HCStreamingMultipartFormData.h"
#include "ValueDescription.h"

#include <QCoreApplication>

namespace {

const QString kAuthorization = QStringLiteral("Authorization");
const QString kContentType = QStringLiteral("Content-Type");

// The form value of one flattened parameter on the multipart path; none
// when its text has no form in the encoding.
std::optional<QByteArray> formValue(const QVariant &value, zek::NSStringEncoding encoding)
{
    if (value.metaType() == QMetaType::fromType<QByteArray>()) {
        return value.toByteArray();
    }
    if (value.metaType().id() == QMetaType::Nullptr) {
        return QByteArray();
    }
    return zek::encodeString(zek::description(value), encoding);
}

// Refuses parameters that would have to be encoded in an encoding the
// serializer cannot produce, which would drop them or their text silently.
bool canEncodeParametersIn(zek::NSStringEncoding encoding, std::optional<zek::Error> *error)
{
    if (zek::isEncodingAvailable(encoding)) {
        return true;
    }
    if (error != nullptr) {
        *error = zek::Error(
            HCURLRequestSerializationErrorDomain,
            HCURLRequestSerializationErrorUnavailableStringEncoding,
            {{zek::NSLocalizedDescriptionKey,
              QCoreApplication::translate("HCURLRequestSerialization",
                                          "The parameters cannot be encoded in string encoding %1.")
                  .arg(encoding)}});
    }
    return false;
}

} // namespace

std::shared_ptr<HCHTTPRequestSerializer> HCHTTPRequestSerializer::serializer()
{
    return std::make_shared<HCHTTPRequestSerializer>();
}

HCHTTPRequestSerializer::HCHTTPRequestSerializer()
    : HTTPMethodsEncodingParametersInURI_{QStringLiteral("GET"), QStringLiteral("HEAD"),
                                          QStringLiteral("DELETE")}
{
    setValue(HCAcceptLanguageFromPreferredLanguages(HCPreferredLanguages()),
             QStringLiteral("Accept-Language"));
    setValue(HCDefaultUserAgent(), QStringLiteral("User-Agent"));
}

void HCHTTPRequestSerializer::setQueryStringSerializationWithStyle(
    HCHTTPRequestQueryStringSerializationStyle style)
{
    queryStringSerializationStyle_ = style;
    queryStringSerialization_ = nullptr;
}

void HCHTTPRequestSerializer::setQueryStringSerializationWithBlock(
    HCQueryStringSerializationBlock block)
{
    queryStringSerialization_ = std::move(block);
}

QString HCHTTPRequestSerializer::valueForHTTPHeaderField(const QString &field) const
{
    return HTTPRequestHeaders_.value(field);
}

void HCHTTPRequestSerializer::setValue(const QString &value, const QString &forHTTPHeaderField)
{
    if (value.isNull()) {
        HTTPRequestHeaders_.remove(forHTTPHeaderField);
    } else {
        HTTPRequestHeaders_.insert(forHTTPHeaderField, value);
    }
}

void HCHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const QString &username,
                                                                      const QString &password)
{
    const QByteArray credentials = (username + u':' + password).toUtf8().toBase64();
    setValue(QStringLiteral("Basic ") + QString::fromLatin1(credentials), kAuthorization);
}

void HCHTTPRequestSerializer::setAuthorizationHeaderFieldWithToken(const QString &token)
{
    setValue(QStringLiteral("Token token=\"%1\"").arg(token), kAuthorization);
}

void HCHTTPRequestSerializer::clearAuthorizationHeader()
{
    HTTPRequestHeaders_.remove(kAuthorization);
}

HCURLRequest HCHTTPRequestSerializer::baseRequest(const QString &method,
                                                  const QString &URLString) const
{
    // Relative references are resolved against a base by the caller, not here.
    const QUrl URL(URLString, QUrl::StrictMode);
    HCURLRequest request(URL.isValid() ? URL : QUrl());
    request.setHTTPMethod(method);
    if (allowsCellularAccess_) {
        request.setAllowsCellularAccess(*allowsCellularAccess_);
    }
    if (cachePolicy_) {
        request.setCachePolicy(*cachePolicy_);
    }
    if (HTTPShouldHandleCookies_) {
        request.setHTTPShouldHandleCookies(*HTTPShouldHandleCookies_);
    }
    if (HTTPShouldUsePipelining_) {
        request.setHTTPShouldUsePipelining(*HTTPShouldUsePipelining_);
    }
    if (networkServiceType_) {
        request.setNetworkServiceType(*networkServiceType_);
    }
    if (timeoutInterval_) {
        request.setTimeoutInterval(*timeoutInterval_);
    }
    request.setHostAddress(hostAddress_);
    return request;
}

std::optional<HCURLRequest>
HCHTTPRequestSerializer::requestWithMethod(const QString &method, const QString &URLString,
                                           const std::optional<QVariantMap> &parameters,
                                           std::optional<zek::Error> *error) const
{
    return requestBySerializingRequest(baseRequest(method, URLString), parameters, error);
}

QString HCHTTPRequestSerializer::queryString(const QVariantMap &parameters) const
{
    QStringList pairs;
    for (const HCQueryStringPair &pair : HCQueryStringPairsFromDictionary(parameters)) {
        pairs.append(pair.URLEncodedStringValueWithEncoding(stringEncoding_));
    }
    return pairs.join(u'&');
}

std::optional<HCURLRequest> HCHTTPRequestSerializer::requestBySerializingRequest(
    const HCURLRequest &request, const std::optional<QVariantMap> &withParameters,
    std::optional<zek::Error> *error) const
{
    HCURLRequest serialized = request;
    for (auto field = HTTPRequestHeaders_.cbegin(); field != HTTPRequestHeaders_.cend(); ++field) {
        if (request.valueForHTTPHeaderField(field.key()).isNull()) {
            serialized.setValue(field.value(), field.key());
        }
    }
    if (!withParameters) {
        return serialized;
    }

    const bool inURI = HTTPMethodsEncodingParametersInURI_.contains(request.HTTPMethod().toUpper());
    // Only a custom encoder's query for the URL is not written in stringEncoding_.
    if ((!queryStringSerialization_ || !inURI) && !canEncodeParametersIn(stringEncoding_, error)) {
        return std::nullopt;
    }
    QString query;
    if (queryStringSerialization_) {
        std::optional<zek::Error> encoderError;
        query = queryStringSerialization_(request, *withParameters, &encoderError);
        if (encoderError) {
            if (error != nullptr) {
                *error = std::move(encoderError);
            }
            return std::nullopt;
        }
    } else {
        query = queryString(*withParameters);
    }

    if (inURI) {
        // The query goes before any fragment, where a server sees it.
        QUrl URL = serialized.URL();
        if (!URL.isEmpty()) {
            QString extended =
                URL.hasQuery() ? URL.query(QUrl::FullyEncoded) + u'&' + query : query;
            if (extended.isNull()) {
                // Even an empty query is added, as a bare "?"; QUrl takes null for none.
                extended = QStringLiteral("");
            }
            URL.setQuery(extended, QUrl::StrictMode);
            serialized.setURL(URL.isValid() ? URL : QUrl());
        }
    } else {
        if (serialized.valueForHTTPHeaderField(kContentType).isNull()) {
            serialized.setValue(QStringLiteral("application/x-www-form-urlencoded"), kContentType);
        }
        serialized.setHTTPBody(
            zek::encodeString(query, stringEncoding_, true).value_or(QByteArray()));
    }
    return serialized;
}

std::optional<HCURLRequest> HCHTTPRequestSerializer::multipartFormRequestWithMethod(
    const QString &method, const QString &URLString, const std::optional<QVariantMap> &parameters,
    const HCConstructingBodyBlock &constructingBodyWithBlock,
    std::optional<zek::Error> *error) const
{
    if (parameters && !canEncodeParametersIn(stringEncoding_, error)) {
        return std::nullopt;
    }
    // Without parameters the base request cannot fail.
    HCStreamingMultipartFormData formData(
        *requestWithMethod(method, URLString, std::nullopt, error), zek::NSUTF8StringEncoding);
    if (parameters) {
        for (const HCQueryStringPair &pair : HCQueryStringPairsFromDictionary(*parameters)) {
            if (const auto data = formValue(pair.value(), stringEncoding_)) {
                formData.appendPartWithFormData(*data, pair.field());
            }
        }
    }
    if (constructingBodyWithBlock) {
        constructingBodyWithBlock(formData);
    }
    return formData.requestByFinalizingMultipartFormData();
}

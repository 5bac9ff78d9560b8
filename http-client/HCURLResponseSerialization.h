#pragma once

#include "Error.h"
#include "HCHTTPURLResponse.h"

#include <QByteArray>
#include <QVariant>
#include <optional>

// Domain of the errors made while reading replies.
inline constexpr QLatin1StringView HCURLResponseSerializationErrorDomain{
    "com.zek.HTTPClient.error.serialization.response"};
// User-information keys of those errors: the reply's head (an
// HCHTTPURLResponse) and its body bytes (a QByteArray, only when there was a
// body, even an empty one).
inline constexpr QLatin1StringView HCOperationFailingURLResponseErrorKey{
    "com.zek.HTTPClient.serialization.response.error.response"};
inline constexpr QLatin1StringView HCOperationFailingURLResponseDataErrorKey{
    "com.zek.HTTPClient.serialization.response.error.data"};

// Something that turns a reply into the result of a request.
class HCURLResponseSerialization {
public:
    virtual ~HCURLResponseSerialization() = default;

    // The result object for a reply (an invalid QVariant for none). Whether
    // the reply failed is told by *error, when error is given: a result and
    // an error may come together. An absent response or data means the
    // transport has none; absent data differs from empty data.
    virtual QVariant responseObjectForResponse(const std::optional<HCHTTPURLResponse> &response,
                                               const std::optional<QByteArray> &data,
                                               std::optional<zek::Error> *error) const = 0;
};

// error with underlyingError added under zek::NSUnderlyingErrorKey. Without
// error, underlyingError; error unchanged when there is no underlying error
// or error already names one.
std::optional<zek::Error>
HCErrorWithUnderlyingError(const std::optional<zek::Error> &error,
                           const std::optional<zek::Error> &underlyingError);

// Whether error, or any error under it by zek::NSUnderlyingErrorKey, has code
// in domain.
bool HCErrorOrUnderlyingErrorHasCodeInDomain(const std::optional<zek::Error> &error, qint64 code,
                                             const QString &domain);

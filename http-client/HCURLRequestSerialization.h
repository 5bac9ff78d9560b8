#pragma once

#include "Error.h"
#include "HCURLRequest.h"

#include <QVariantMap>
#include <optional>

// Domain of the errors made while building requests.
inline constexpr QLatin1StringView HCURLRequestSerializationErrorDomain{
    "com.zek.HTTPClient.error.serialization.request"};

// Text had to be written in a string encoding the client cannot produce.
inline constexpr qint64 HCURLRequestSerializationErrorUnavailableStringEncoding = 1;

// Something that turns a request and its parameters into the request to send.
class HCURLRequestSerialization {
public:
    virtual ~HCURLRequestSerialization() = default;

    // A new request made from request (which is left as it is) with the
    // parameters encoded into it; none when that fails, with the reason in
    // *error when error is given. Absent parameters encode nothing.
    virtual std::optional<HCURLRequest>
    requestBySerializingRequest(const HCURLRequest &request,
                                const std::optional<QVariantMap> &withParameters,
                                std::optional<zek::Error> *error) const = 0;
};

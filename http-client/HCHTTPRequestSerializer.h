#pragma once

#include "HCMultipartFormData.h"
#include "HCURLRequestSerialization.h"
#include "StringEncoding.h"

#include <QMap>
#include <QSet>
#include <functional>
#include <memory>

enum HCHTTPRequestQueryStringSerializationStyle : unsigned long {
    HCHTTPRequestQueryStringDefaultStyle = 0,
};

// A custom query encoder: gets the request (without the default header
// fields) and the parameters, returns the query string or puts an error in
// its slot.
using HCQueryStringSerializationBlock = std::function<QString(
    const HCURLRequest &request, const QVariantMap &parameters, std::optional<zek::Error> *error)>;

// Called once with the builder, to append the parts of a multipart body.
using HCConstructingBodyBlock = std::function<void(HCMultipartFormData &formData)>;

// Builds requests: stamps the default header fields ("Accept-Language" and
// "User-Agent" from the start) and the request settings that have been
// assigned, and encodes parameters into the URL's query (GET, HEAD, DELETE)
// or into a form-urlencoded body (any other method).
class HCHTTPRequestSerializer : public HCURLRequestSerialization {
public:
    static std::shared_ptr<HCHTTPRequestSerializer> serializer();
    HCHTTPRequestSerializer();

    // Encoding of escaped and encoded parameters; UTF-8 by default. Requests
    // with parameters to encode are refused while it is not available (see
    // zek::isEncodingAvailable).
    zek::NSStringEncoding stringEncoding() const { return stringEncoding_; }
    void setStringEncoding(zek::NSStringEncoding encoding) { stringEncoding_ = encoding; }

    // The six request settings. Until one is assigned it reads false or 0 and
    // requests keep their own default; once assigned, even to the value it
    // reads, every request built from then on gets it.
    bool allowsCellularAccess() const { return allowsCellularAccess_.value_or(false); }
    void setAllowsCellularAccess(bool allows) { allowsCellularAccess_ = allows; }
    HCURLRequestCachePolicy cachePolicy() const { return cachePolicy_.value_or(0); }
    void setCachePolicy(HCURLRequestCachePolicy policy) { cachePolicy_ = policy; }
    bool HTTPShouldHandleCookies() const { return HTTPShouldHandleCookies_.value_or(false); }
    void setHTTPShouldHandleCookies(bool handle) { HTTPShouldHandleCookies_ = handle; }
    bool HTTPShouldUsePipelining() const { return HTTPShouldUsePipelining_.value_or(false); }
    void setHTTPShouldUsePipelining(bool use) { HTTPShouldUsePipelining_ = use; }
    HCURLRequestNetworkServiceType networkServiceType() const
    {
        return networkServiceType_.value_or(0);
    }
    void setNetworkServiceType(HCURLRequestNetworkServiceType type) { networkServiceType_ = type; }
    double timeoutInterval() const { return timeoutInterval_.value_or(0.0); }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    // Given to every request made (HCURLRequest::hostAddress); empty at first.
    const QString &hostAddress() const { return hostAddress_; }
    void setHostAddress(QString address) { hostAddress_ = std::move(address); }

    // Methods whose parameters go into the URL's query (compared upper-case).
    const QSet<QString> &HTTPMethodsEncodingParametersInURI() const
    {
        return HTTPMethodsEncodingParametersInURI_;
    }
    void setHTTPMethodsEncodingParametersInURI(QSet<QString> methods)
    {
        HTTPMethodsEncodingParametersInURI_ = std::move(methods);
    }

    HCHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle() const
    {
        return queryStringSerializationStyle_;
    }
    // Selects a built-in query encoding and drops any custom encoder.
    void setQueryStringSerializationWithStyle(HCHTTPRequestQueryStringSerializationStyle style);
    // Replaces the built-in query encoding.
    void setQueryStringSerializationWithBlock(HCQueryStringSerializationBlock block);

    // The default header fields; names are compared with their letter case here.
    QMap<QString, QString> HTTPRequestHeaders() const { return HTTPRequestHeaders_; }
    QString valueForHTTPHeaderField(const QString &field) const;
    // A null value removes the field.
    void setValue(const QString &value, const QString &forHTTPHeaderField);

    // "Authorization: Basic base64(username:password)".
    void setAuthorizationHeaderFieldWithUsername(const QString &username, const QString &password);
    // "Authorization: Token token="<token>"".
    void setAuthorizationHeaderFieldWithToken(const QString &token);
    void clearAuthorizationHeader();

    // A request for method and URLString (a string that is no valid URL gives
    // a request without URL) with the parameters encoded. None when a custom
    // query encoder reports an error, or when the parameters would have to be
    // written in a stringEncoding that is not available (an error in
    // HCURLRequestSerializationErrorDomain with code
    // HCURLRequestSerializationErrorUnavailableStringEncoding). Only a custom
    // encoder's query for the URL does not use stringEncoding.
    std::optional<HCURLRequest> requestWithMethod(const QString &method, const QString &URLString,
                                                  const std::optional<QVariantMap> &parameters,
                                                  std::optional<zek::Error> *error) const;

    // A request whose body is multipart/form-data, streamed from its
    // HTTPBodyStream: one part per flattened parameter (before the block's
    // parts), then what constructingBodyWithBlock appends. It carries
    // "Content-Type" with the boundary and "Content-Length". Without parts
    // it has no body. The body's boundaries and headers are always UTF-8;
    // text parameters are written in stringEncoding, so with parameters the
    // request is refused like requestWithMethod's while it is not available.
    std::optional<HCURLRequest>
    multipartFormRequestWithMethod(const QString &method, const QString &URLString,
                                   const std::optional<QVariantMap> &parameters,
                                   const HCConstructingBodyBlock &constructingBodyWithBlock,
                                   std::optional<zek::Error> *error) const;

    std::optional<HCURLRequest>
    requestBySerializingRequest(const HCURLRequest &request,
                                const std::optional<QVariantMap> &withParameters,
                                std::optional<zek::Error> *error) const override;

private:
    HCURLRequest baseRequest(const QString &method, const QString &URLString) const;
    QString queryString(const QVariantMap &parameters) const;

    zek::NSStringEncoding stringEncoding_ = zek::NSUTF8StringEncoding;
    std::optional<bool> allowsCellularAccess_;
    std::optional<HCURLRequestCachePolicy> cachePolicy_;
    std::optional<bool> HTTPShouldHandleCookies_;
    std::optional<bool> HTTPShouldUsePipelining_;
    std::optional<HCURLRequestNetworkServiceType> networkServiceType_;
    std::optional<double> timeoutInterval_;
    QString hostAddress_;
    QSet<QString> HTTPMethodsEncodingParametersInURI_;
    HCHTTPRequestQueryStringSerializationStyle queryStringSerializationStyle_ =
        HCHTTPRequestQueryStringDefaultStyle;
    HCQueryStringSerializationBlock queryStringSerialization_;
    QMap<QString, QString> HTTPRequestHeaders_;
};

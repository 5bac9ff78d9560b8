#pragma once

#include "InputStream.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <memory>
#include <utility>

// Request cache policies and network service types, by the platform's numbers.
using HCURLRequestCachePolicy = unsigned long;
inline constexpr HCURLRequestCachePolicy kHCURLRequestUseProtocolCachePolicy = 0;
using HCURLRequestNetworkServiceType = unsigned long;
inline constexpr HCURLRequestNetworkServiceType kHCURLNetworkServiceTypeDefault = 0;

// An HTTP request as a value: URL, method, header fields, a body held in
// memory or a body stream, and six settings for the transport. A copy
// shares the body stream.
class HCURLRequest {
public:
    HCURLRequest() = default;
    explicit HCURLRequest(QUrl URL) : URL_(std::move(URL)) {}

    // An empty QUrl stands for no URL.
    const QUrl &URL() const { return URL_; }
    void setURL(QUrl URL) { URL_ = std::move(URL); }

    const QString &HTTPMethod() const { return HTTPMethod_; }
    void setHTTPMethod(QString method) { HTTPMethod_ = std::move(method); }

    // Header field names compare without regard to letter case; a field keeps
    // the spelling it was first set with. Setting a null value removes it.
    QString valueForHTTPHeaderField(QStringView field) const;
    void setValue(const QString &value, const QString &forHTTPHeaderField);
    // Every field in the order it was first set.
    const QList<std::pair<QString, QString>> &allHTTPHeaderFields() const { return headerFields_; }

    // A request has a body in memory or a body stream, not both: setting one
    // drops the other.
    const QByteArray &HTTPBody() const { return HTTPBody_; }
    void setHTTPBody(QByteArray body);
    const std::shared_ptr<zek::InputStream> &HTTPBodyStream() const { return HTTPBodyStream_; }
    void setHTTPBodyStream(std::shared_ptr<zek::InputStream> stream);

    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool allows) { allowsCellularAccess_ = allows; }
    HCURLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(HCURLRequestCachePolicy policy) { cachePolicy_ = policy; }
    bool HTTPShouldHandleCookies() const { return HTTPShouldHandleCookies_; }
    void setHTTPShouldHandleCookies(bool handle) { HTTPShouldHandleCookies_ = handle; }
    bool HTTPShouldUsePipelining() const { return HTTPShouldUsePipelining_; }
    void setHTTPShouldUsePipelining(bool use) { HTTPShouldUsePipelining_ = use; }
    HCURLRequestNetworkServiceType networkServiceType() const { return networkServiceType_; }
    void setNetworkServiceType(HCURLRequestNetworkServiceType type) { networkServiceType_ = type; }
    // Seconds.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    // Where the URL's host is to be reached when the system cannot look its name up (a ".local"
    // name found through DNS-SD): an IP address, or empty to look the name up. The host name
    // stays the request's own (its Host field, the name TLS checks).
    const QString &hostAddress() const { return hostAddress_; }
    void setHostAddress(QString address) { hostAddress_ = std::move(address); }

private:
    QUrl URL_;
    QString HTTPMethod_ = QStringLiteral("GET");
    QList<std::pair<QString, QString>> headerFields_;
    QByteArray HTTPBody_;
    std::shared_ptr<zek::InputStream> HTTPBodyStream_;
    bool allowsCellularAccess_ = true;
    HCURLRequestCachePolicy cachePolicy_ = kHCURLRequestUseProtocolCachePolicy;
    bool HTTPShouldHandleCookies_ = true;
    bool HTTPShouldUsePipelining_ = false;
    HCURLRequestNetworkServiceType networkServiceType_ = kHCURLNetworkServiceTypeDefault;
    double timeoutInterval_ = 60.0;
    QString hostAddress_;
};

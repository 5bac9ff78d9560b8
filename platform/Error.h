#pragma once

#include <QMetaType>
#include <QString>
#include <QVariantMap>

namespace zek {

// Keys of an error's user information.
inline constexpr QLatin1StringView NSLocalizedDescriptionKey{"NSLocalizedDescription"};
inline constexpr QLatin1StringView NSLocalizedFailureReasonErrorKey{"NSLocalizedFailureReason"};
inline constexpr QLatin1StringView NSURLErrorFailingURLErrorKey{"NSErrorFailingURLKey"};
// The error that caused this one, stored as a QVariant holding an Error.
inline constexpr QLatin1StringView NSUnderlyingErrorKey{"NSUnderlyingError"};

// Domain of errors whose code is an errno value.
inline constexpr QLatin1StringView NSPOSIXErrorDomain{"NSPOSIXErrorDomain"};

// Domain of the transport's errors (the connection's failures), whose codes
// follow.
inline constexpr QLatin1StringView NSURLErrorDomain{"NSURLErrorDomain"};

// URL loading error codes.
inline constexpr qint64 NSURLErrorUnknown = -1;
inline constexpr qint64 NSURLErrorCancelled = -999;
inline constexpr qint64 NSURLErrorBadURL = -1000;
inline constexpr qint64 NSURLErrorTimedOut = -1001;
inline constexpr qint64 NSURLErrorUnsupportedURL = -1002;
inline constexpr qint64 NSURLErrorCannotFindHost = -1003;
inline constexpr qint64 NSURLErrorCannotConnectToHost = -1004;
inline constexpr qint64 NSURLErrorNetworkConnectionLost = -1005;
inline constexpr qint64 NSURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr qint64 NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr qint64 NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr qint64 NSURLErrorSecureConnectionFailed = -1200;
inline constexpr qint64 NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr qint64 NSURLErrorBadServerResponse = -1011;
inline constexpr qint64 NSURLErrorCannotDecodeContentData = -1016;

// Domain of the JSON parser's errors, and its code for text that is not
// valid JSON.
inline constexpr QLatin1StringView NSCocoaErrorDomain{"NSCocoaErrorDomain"};
inline constexpr qint64 NSPropertyListReadCorruptError = 3840;

// A failure, reported as a value: where it comes from (domain), which one it
// is (code) and what is known about it (user information).
class Error {
public:
    Error() = default;
    Error(QString domain, qint64 code, QVariantMap userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo))
    {}

    const QString &domain() const { return domain_; }
    qint64 code() const { return code_; }
    const QVariantMap &userInfo() const { return userInfo_; }

    bool operator==(const Error &other) const = default;

private:
    QString domain_;
    qint64 code_ = 0;
    QVariantMap userInfo_;
};

// An error in NSPOSIXErrorDomain for an errno value, described by strerror.
Error posixError(int errnum);

} // namespace zek

Q_DECLARE_METATYPE(zek::Error)

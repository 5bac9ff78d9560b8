#include "HCURLError.h"

#include <curl/curl.h>

using namespace Qt::StringLiterals;

zek::Error HCErrorWithDescription(const QString &domain, qint64 code, const QString &description,
                                  const QUrl &failingURL)
{
    QVariantMap userInfo{{zek::NSLocalizedDescriptionKey, description}};
    if (!failingURL.isEmpty()) {
        userInfo.insert(zek::NSURLErrorFailingURLErrorKey, failingURL);
    }
    return zek::Error(domain, code, userInfo);
}

zek::Error HCURLErrorWithCode(qint64 code, const QUrl &failingURL, const QString &description)
{
    return HCErrorWithDescription(zek::NSURLErrorDomain, code,
                                  description.isNull() ? HCURLErrorDescription(code) : description,
                                  failingURL);
}

QString HCURLErrorDescription(qint64 code)
{
    switch (code) {
    case zek::NSURLErrorCancelled:
        return u"The request was cancelled."_s;
    case zek::NSURLErrorBadURL:
        return u"The URL is not valid."_s;
    case zek::NSURLErrorTimedOut:
        return u"The request timed out."_s;
    case zek::NSURLErrorUnsupportedURL:
        return u"The URL's scheme is not supported."_s;
    case zek::NSURLErrorCannotFindHost:
        return u"The server's host name could not be found."_s;
    case zek::NSURLErrorCannotConnectToHost:
        return u"Could not connect to the server."_s;
    case zek::NSURLErrorNetworkConnectionLost:
        return u"The network connection was lost."_s;
    case zek::NSURLErrorHTTPTooManyRedirects:
        return u"The server redirected the request too many times."_s;
    case zek::NSURLErrorBadServerResponse:
        return u"The server's reply could not be understood."_s;
    case zek::NSURLErrorDataLengthExceedsMaximum:
        return u"The server's reply is larger than allowed."_s;
    case zek::NSURLErrorSecureConnectionFailed:
        return u"A secure connection to the server could not be made."_s;
    case zek::NSURLErrorServerCertificateUntrusted:
        return u"The server's certificate is not trusted."_s;
    default:
        return u"The request failed."_s;
    }
}

qint64 HCURLErrorCodeForTransferResult(int transferResult, bool connected)
{
    switch (CURLcode(transferResult)) {
    case CURLE_URL_MALFORMAT:
        return zek::NSURLErrorBadURL;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return connected ? zek::NSURLErrorBadServerResponse : zek::NSURLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return zek::NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return zek::NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
        return zek::NSURLErrorTimedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return zek::NSURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
        return zek::NSURLErrorBadServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
        return zek::NSURLErrorHTTPTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
        return zek::NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
        return zek::NSURLErrorSecureConnectionFailed;
    default:
        return zek::NSURLErrorUnknown;
    }
}

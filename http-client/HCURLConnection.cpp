#include "HCURLConnection.h"

#include "HCHTTPRules.h"
#include "HCMultipartBodyStream.h"
#include "HCNetworkThread.h"
#include "HCURLConnectionDriver.h"
#include "HCURLConnectionExchange.h"
#include "HCURLError.h"

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaximumRedirects = 5;

} // namespace

std::shared_ptr<HCURLConnection>
HCURLConnection::connectionWithRequest(HCURLRequest request,
                                       std::shared_ptr<HCURLConnectionDelegate> delegate)
{
    return std::shared_ptr<HCURLConnection>(
        new HCURLConnection(std::move(request), std::move(delegate)));
}

HCURLConnection::HCURLConnection(HCURLRequest request,
                                 std::shared_ptr<HCURLConnectionDelegate> delegate)
    : request_(std::move(request)), delegate_(std::move(delegate))
{}

// The network thread holds a running connection, so only a finished one (or
// one never started) gets here, with no exchange left.
HCURLConnection::~HCURLConnection() = default;

QThread *HCURLConnection::networkRequestThread()
{
    return HCNetworkThread::thread();
}

void HCURLConnection::start()
{
    // Always queued: starting adds to curl, which a delegate callback (inside
    // curl) must not do.
    HCNetworkThread::post([self = shared_from_this()] { self->startNow(); });
}

void HCURLConnection::cancel()
{
    if (HCNetworkThread::isCurrent()) {
        cancelNow();
    } else {
        HCNetworkThread::post([self = shared_from_this()] { self->cancelNow(); });
    }
}

void HCURLConnection::startNow()
{
    if (started_ || ended_) {
        return;
    }
    started_ = true;
    method_ = request_.HTTPMethod().toUtf8();
    beginExchange(request_.URL(), request_.HTTPBodyStream());
}

void HCURLConnection::cancelNow()
{
    if (ended_) {
        return;
    }
    const auto self = shared_from_this();
    // Inside curl's callbacks the handle is left to curl, whose transfer the
    // callback then stops; its end is ignored.
    if (inCallback_ == 0) {
        endExchange();
    }
    fail(URLError(zek::NSURLErrorCancelled));
}

void HCURLConnection::beginExchange(const QUrl &URL, std::shared_ptr<zek::InputStream> bodyStream)
{
    // First, as it sets curl up before the exchange makes its handle.
    HCURLConnectionDriver &driver = HCURLConnectionDriver::shared();
    exchange_ = std::make_unique<Exchange>(*this, URL, method_);
    Exchange &exchange = *exchange_;
    exchange.aim(request_);
    exchange.reportToConnection();
    exchange.isolate();
    exchange.addHeaderFields(request_, bodyDropped_, credentialsDropped_);
    exchange.attachBody(request_, std::move(bodyStream), bodyDropped_);
    exchange.watchIdle(request_.timeoutInterval(), [this] { checkIdle(); });
    driver.add(exchange.easy, shared_from_this());
}

void HCURLConnection::endExchange()
{
    if (!exchange_) {
        return;
    }
    const std::unique_ptr<Exchange> exchange = std::move(exchange_);
    HCURLConnectionDriver::shared().remove(exchange->easy);
}

void HCURLConnection::transferDone(int curlResult)
{
    const auto self = shared_from_this();
    if (ended_) {
        // Cancelled from inside a callback: only the handle is left.
        endExchange();
        return;
    }
    const Exchange &exchange = *exchange_;
    const std::optional<QUrl> redirectTo = exchange.redirectTo;
    const std::optional<HCHTTPURLResponse> redirectResponse = exchange.redirectResponse;
    const std::optional<zek::Error> error = exchange.error;
    const bool trustRefused = exchange.serverCheck && exchange.serverCheck->refused();
    const bool headDelivered = exchange.headDelivered;
    // A server was reached once curl knows its address.
    char *address = nullptr;
    curl_easy_getinfo(exchange.easy, CURLINFO_PRIMARY_IP, &address);
    const bool connected = address && *address;
    std::shared_ptr<zek::InputStream> nextBody;
    if (redirectTo && exchange.seeOther) {
        // The server has acted on the request and points at the result:
        // fetched without the body, which must not reach it twice.
        bodyDropped_ = true;
        if (method_ != "HEAD") {
            method_ = "GET";
        }
    } else if (redirectTo && exchange.bodyStream) {
        nextBody = std::static_pointer_cast<HCMultipartBodyStream>(exchange.bodyStream)->copy();
    }
    endExchange();

    if (redirectTo) {
        ++redirects_;
        credentialsDropped_ = credentialsDropped_ || !HCIsSameOrigin(request_.URL(), *redirectTo);
        if (delegate_) {
            delegate_->connectionWillFollowRedirect(*this, *redirectTo, *redirectResponse);
        }
        // The delegate may have cancelled.
        if (!ended_) {
            beginExchange(*redirectTo, std::move(nextBody));
        }
    } else if (error) {
        fail(*error);
    } else if (trustRefused) {
        fail(URLError(zek::NSURLErrorServerCertificateUntrusted));
    } else if (curlResult != CURLE_OK) {
        fail(URLError(HCURLErrorCodeForTransferResult(curlResult, connected)));
    } else if (!headDelivered) {
        fail(URLError(zek::NSURLErrorBadServerResponse));
    } else {
        finish();
    }
}

void HCURLConnection::checkIdle()
{
    if (!exchange_ || ended_) {
        return;
    }
    if (exchange_->idleTooLong()) {
        const auto self = shared_from_this();
        const zek::Error error = URLError(zek::NSURLErrorTimedOut);
        endExchange();
        fail(error);
    }
}

void HCURLConnection::fail(const zek::Error &error)
{
    ended_ = true;
    if (const std::shared_ptr<HCURLConnectionDelegate> delegate = std::move(delegate_)) {
        delegate->connectionDidFail(*this, error);
    }
}

void HCURLConnection::finish()
{
    ended_ = true;
    if (const std::shared_ptr<HCURLConnectionDelegate> delegate = std::move(delegate_)) {
        delegate->connectionDidFinishLoading(*this);
    }
}

zek::Error HCURLConnection::URLError(qint64 code, const QString &description) const
{
    return HCURLErrorWithCode(code, exchange_ ? exchange_->URL : request_.URL(), description);
}

size_t HCURLConnection::receiveHeader(const char *data, size_t length)
{
    if (ended_ || !exchange_) {
        return 0;
    }
    Exchange &exchange = *exchange_;
    exchange.moved();
    const QByteArrayView line = QByteArrayView(data, qsizetype(length)).trimmed();
    if (line.isEmpty()) {
        headEnded();
    } else if (line.startsWith("HTTP/")) {
        // A new head (after an interim reply) starts over.
        exchange.headerFields.clear();
    } else if (data[0] == ' ' || data[0] == '\t') {
        // A folded line continues the field before it.
        if (!exchange.headerFields.isEmpty()) {
            exchange.headerFields.last().second += u' ' + QString::fromLatin1(line);
        }
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        exchange.headerFields.append({QString::fromLatin1(line.first(colon).trimmed()),
                                      QString::fromLatin1(line.sliced(colon + 1).trimmed())});
    }
    return ended_ || exchange.error ? 0 : length;
}

void HCURLConnection::headEnded()
{
    Exchange &exchange = *exchange_;
    long status = 0;
    curl_easy_getinfo(exchange.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200) {
        return;
    }
    const HCHTTPURLResponse response(exchange.URL, status, exchange.headerFields);
    if (const std::optional<QUrl> target = redirectTarget(response)) {
        takeRedirect(response, *target);
        return;
    }
    exchange.headDelivered = true;
    if (delegate_) {
        delegate_->connectionDidReceiveResponse(*this, response);
    }
}

std::optional<QUrl> HCURLConnection::redirectTarget(const HCHTTPURLResponse &response) const
{
    const long status = response.statusCode();
    const QString location = response.valueForHTTPHeaderField(u"Location");
    if (!HCIsRedirectStatus(status) || location.isNull()) {
        return std::nullopt;
    }
    const QUrl target = exchange_->URL.resolved(QUrl(location));
    const QString scheme = target.scheme().toLower();
    // Only a multipart stream can give its body a second time; after a 303 the
    // body is not sent again.
    const std::shared_ptr<zek::InputStream> &bodyStream = exchange_->bodyStream;
    const bool canResend = status == 303 || !bodyStream ||
                           std::dynamic_pointer_cast<HCMultipartBodyStream>(bodyStream);
    if ((scheme == u"http"_s || scheme == u"https"_s) && target.isValid() && canResend) {
        return target;
    }
    return std::nullopt;
}

void HCURLConnection::takeRedirect(const HCHTTPURLResponse &response, const QUrl &target)
{
    Exchange &exchange = *exchange_;
    const bool seeOther = response.statusCode() == 303;
    // In clear only what carries nothing of the request: after a 303 the body is
    // dropped, and refusing would have a job that was taken sent again.
    const bool bodyFollows = !seeOther && !bodyDropped_;
    if (HCIsHTTPS(exchange.URL) && !HCIsHTTPS(target) && bodyFollows) {
        exchange.error =
            URLError(zek::NSURLErrorSecureConnectionFailed,
                     u"Refused to follow a redirect from %1 to %2: the request would travel "
                     u"unencrypted."_s.arg(exchange.URL.toString(QUrl::FullyEncoded),
                                           target.toString(QUrl::FullyEncoded)));
    } else if (redirects_ >= kMaximumRedirects) {
        exchange.error = URLError(zek::NSURLErrorHTTPTooManyRedirects);
    } else {
        exchange.redirectTo = target;
        exchange.redirectResponse = response;
        exchange.seeOther = seeOther;
    }
}

size_t HCURLConnection::receiveData(const char *data, size_t length)
{
    if (ended_ || !exchange_) {
        return 0;
    }
    Exchange &exchange = *exchange_;
    // A redirect's body is not wanted: stopping here ends the transfer, and
    // the redirect is followed.
    if (exchange.redirectTo || exchange.error) {
        return 0;
    }
    exchange.moved();
    exchange.received += qint64(length);
    if (exchange.received > maximumReplyLength) {
        exchange.error = URLError(zek::NSURLErrorDataLengthExceedsMaximum);
        return 0;
    }
    if (delegate_) {
        delegate_->connectionDidReceiveData(*this, QByteArray(data, qsizetype(length)));
    }
    return ended_ ? 0 : length;
}

size_t HCURLConnection::readBody(char *buffer, size_t length)
{
    if (ended_ || !exchange_) {
        return CURL_READFUNC_ABORT;
    }
    Exchange &exchange = *exchange_;
    exchange.moved();
    exchange.bodyRead = true;
    const qint64 read = exchange.bodyStream->read(buffer, length);
    if (read < 0) {
        exchange.error = exchange.bodyStream->streamError().value_or(
            URLError(zek::NSURLErrorNetworkConnectionLost));
        return CURL_READFUNC_ABORT;
    }
    return ended_ ? CURL_READFUNC_ABORT : size_t(read);
}

bool HCURLConnection::rewindBody()
{
    Exchange &exchange = *exchange_;
    if (!exchange.bodyRead) {
        return true;
    }
    const auto multipart = std::dynamic_pointer_cast<HCMultipartBodyStream>(exchange.bodyStream);
    if (!multipart) {
        return false;
    }
    multipart->close();
    exchange.bodyStream = multipart->copy();
    exchange.bodyStream->open();
    exchange.bodyRead = false;
    return true;
}

bool HCURLConnection::progress(qint64 downloaded, qint64 uploaded)
{
    if (ended_ || !exchange_) {
        return false;
    }
    Exchange &exchange = *exchange_;
    if (downloaded != exchange.downloaded) {
        exchange.downloaded = downloaded;
        exchange.moved();
    }
    if (uploaded > exchange.uploaded) {
        const qint64 written = uploaded - exchange.uploaded;
        exchange.uploaded = uploaded;
        exchange.moved();
        if (delegate_) {
            delegate_->connectionDidSendBodyData(*this, written, uploaded, exchange.bodyLength);
        }
    }
    return !ended_;
}

bool HCURLConnection::trustServer(zek::ServerTrust &trust)
{
    if (ended_ || !exchange_) {
        return false;
    }
    exchange_->moved();
    const bool trusted =
        !trust.certificates().empty() && delegate_ &&
        delegate_->connectionShouldTrustServer(*this, trust, exchange_->URL.host());
    return trusted && !ended_;
}

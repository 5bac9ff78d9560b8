#include "HCURLConnection.h"

#include "HCMultipartBodyStream.h"

#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <curl/curl.h>
#include <map>
#include <openssl/ssl.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaximumRedirects = 5;

// Methods whose request has the same effect sent once or twice.
bool isIdempotent(const QByteArray &method)
{
    for (const char *idempotent : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"}) {
        if (method == idempotent) {
            return true;
        }
    }
    return false;
}

QString descriptionForCode(qint64 code)
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

// connected: whether a server was reached, after which curl's "unsupported
// protocol" means a reply that is not HTTP (an HTTP/0.9-looking one), not
// the URL's scheme.
qint64 codeForResult(CURLcode result, bool connected)
{
    switch (result) {
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

bool isRedirect(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isHTTPS(const QUrl &URL)
{
    return URL.scheme().compare(u"https"_s, Qt::CaseInsensitive) == 0;
}

// Scheme, host and port, with the scheme's own port for none.
bool sameOrigin(const QUrl &one, const QUrl &other)
{
    const auto port = [](const QUrl &URL) { return URL.port(isHTTPS(URL) ? 443 : 80); };
    return one.scheme().compare(other.scheme(), Qt::CaseInsensitive) == 0 &&
           one.host().compare(other.host(), Qt::CaseInsensitive) == 0 && port(one) == port(other);
}

// Header fields that prove who the client is: only the origin they were
// meant for may see them.
bool isCredential(const QString &name)
{
    return name.compare(u"Authorization"_s, Qt::CaseInsensitive) == 0 ||
           name.compare(u"Cookie"_s, Qt::CaseInsensitive) == 0;
}

// Where OpenSSL keeps the connection that a TLS context belongs to.
int connectionIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

} // namespace

// The curl multi handle and everything that drives it, on the network thread:
// a socket notifier per socket direction curl waits on and one timer for curl's
// own timeouts.
class HCURLConnectionDriver : public QObject {
public:
    static HCURLConnectionDriver &shared()
    {
        // Never freed: a running upload must not be torn down at exit.
        static HCURLConnectionDriver *const driver = [] {
            curl_global_init(CURL_GLOBAL_DEFAULT);
            auto *thread = new QThread;
            thread->setObjectName(u"com.zek.ZEKUploader.network-request"_s);
            auto *made = new HCURLConnectionDriver(thread);
            made->moveToThread(thread);
            thread->start();
            return made;
        }();
        return *driver;
    }

    QThread *networkThread() const { return thread_; }
    bool onNetworkThread() const { return QThread::currentThread() == thread_; }

    void post(std::function<void()> work)
    {
        QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
    }

    void add(CURL *easy, std::shared_ptr<HCURLConnection> connection)
    {
        running_[easy] = std::move(connection);
        curl_multi_add_handle(multi_, easy);
    }

    void remove(CURL *easy)
    {
        curl_multi_remove_handle(multi_, easy);
        running_.erase(easy);
    }

private:
    // The notifiers of one socket; curl keeps a pointer to it for us.
    struct SocketWatch {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    explicit HCURLConnectionDriver(QThread *thread) : thread_(thread), timer_(new QTimer(this))
    {
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &HCURLConnectionDriver::socketCallback);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &HCURLConnectionDriver::timerCallback);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
        timer_->setSingleShot(true);
        connect(timer_, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    }

    static int socketCallback(CURL *, curl_socket_t socket, int what, void *driverPointer,
                              void *watchPointer)
    {
        auto *driver = static_cast<HCURLConnectionDriver *>(driverPointer);
        auto *watch = static_cast<SocketWatch *>(watchPointer);
        if (what == CURL_POLL_REMOVE) {
            if (watch) {
                watchFor(driver, watch->read, socket, QSocketNotifier::Read, false);
                watchFor(driver, watch->write, socket, QSocketNotifier::Write, false);
                delete watch;
                curl_multi_assign(driver->multi_, socket, nullptr);
            }
            return 0;
        }
        if (!watch) {
            watch = new SocketWatch;
            curl_multi_assign(driver->multi_, socket, watch);
        }
        watchFor(driver, watch->read, socket, QSocketNotifier::Read, what & CURL_POLL_IN);
        watchFor(driver, watch->write, socket, QSocketNotifier::Write, what & CURL_POLL_OUT);
        return 0;
    }

    // Notifiers are let go of later: this may run inside one of their signals.
    static void watchFor(HCURLConnectionDriver *driver, QSocketNotifier *&notifier,
                         curl_socket_t socket, QSocketNotifier::Type type, bool wanted)
    {
        if (!wanted) {
            if (notifier) {
                notifier->setEnabled(false);
                notifier->deleteLater();
                notifier = nullptr;
            }
            return;
        }
        if (notifier) {
            return;
        }
        notifier = new QSocketNotifier(socket, type, driver);
        const int flag = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
        connect(notifier, &QSocketNotifier::activated, driver,
                [driver, socket, flag] { driver->act(socket, flag); });
    }

    static int timerCallback(CURLM *, long timeoutMs, void *driverPointer)
    {
        auto *driver = static_cast<HCURLConnectionDriver *>(driverPointer);
        if (timeoutMs < 0) {
            driver->timer_->stop();
        } else {
            driver->timer_->start(int(std::min<long>(timeoutMs, INT_MAX)));
        }
        return 0;
    }

    void act(curl_socket_t socket, int flags)
    {
        int running = 0;
        curl_multi_socket_action(multi_, socket, flags, &running);
        while (true) {
            int queued = 0;
            CURLMsg *message = curl_multi_info_read(multi_, &queued);
            if (!message) {
                break;
            }
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            // The message is gone once the handle is removed.
            CURL *easy = message->easy_handle;
            const CURLcode result = message->data.result;
            const auto found = running_.find(easy);
            if (found != running_.end()) {
                const std::shared_ptr<HCURLConnection> connection = found->second;
                connection->transferDone(result);
            }
        }
    }

    QThread *thread_;
    QTimer *timer_;
    CURLM *multi_ = nullptr;
    // The connections curl is working for, kept alive while it does.
    std::map<CURL *, std::shared_ptr<HCURLConnection>> running_;
};

// One attempt: the easy handle and what it has seen so far.
struct HCURLConnection::Exchange {
    CURL *easy = nullptr;
    curl_slist *headerList = nullptr;
    QUrl URL;
    QByteArray URLText;
    QByteArray method;
    std::shared_ptr<zek::InputStream> bodyStream;
    bool bodyRead = false;
    qint64 bodyLength = -1;

    curl_slist *resolveList = nullptr;
    // The reply head as it comes in.
    QList<std::pair<QString, QString>> headerFields;
    bool headDelivered = false;
    // A redirect to follow once this transfer has ended, and its head.
    std::optional<QUrl> redirectTo;
    std::optional<HCHTTPURLResponse> redirectResponse;
    bool seeOther = false;
    qint64 received = 0;
    qint64 uploaded = 0;
    qint64 downloaded = 0;
    // A failure decided in a callback, which then makes curl stop.
    std::optional<zek::Error> error;

    // The idle timeout.
    QTimer *idleTimer = nullptr;
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    std::chrono::milliseconds idleLimit{0};

    // The handshake already judged, and the verdict.
    const void *judgedSSL = nullptr;
    bool trusted = false;
    bool trustRefused = false;

    void moved() { lastActivity = std::chrono::steady_clock::now(); }
};

// curl's C callbacks, which hand over to the connection in their user data.
struct HCURLConnectionCallbacks {
    // Marks the connection as being inside curl while a callback runs.
    struct Inside {
        explicit Inside(HCURLConnection *connection) : connection_(connection)
        {
            ++connection_->inCallback_;
        }
        ~Inside() { --connection_->inCallback_; }
        HCURLConnection *connection_;
    };

    static size_t header(char *data, size_t size, size_t count, void *pointer)
    {
        auto *connection = static_cast<HCURLConnection *>(pointer);
        const Inside inside(connection);
        return connection->receiveHeader(data, size * count);
    }
    static size_t write(char *data, size_t size, size_t count, void *pointer)
    {
        auto *connection = static_cast<HCURLConnection *>(pointer);
        const Inside inside(connection);
        return connection->receiveData(data, size * count);
    }
    static size_t read(char *buffer, size_t size, size_t count, void *pointer)
    {
        auto *connection = static_cast<HCURLConnection *>(pointer);
        const Inside inside(connection);
        return connection->readBody(buffer, size * count);
    }
    static int seek(void *pointer, curl_off_t offset, int origin)
    {
        auto *connection = static_cast<HCURLConnection *>(pointer);
        const Inside inside(connection);
        if (origin != SEEK_SET || offset != 0) {
            return CURL_SEEKFUNC_CANTSEEK;
        }
        return connection->rewindBody() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
    }
    static int progress(void *pointer, curl_off_t, curl_off_t downloaded, curl_off_t,
                        curl_off_t uploaded)
    {
        auto *connection = static_cast<HCURLConnection *>(pointer);
        const Inside inside(connection);
        return connection->progress(downloaded, uploaded) ? 0 : 1;
    }
    static CURLcode sslContext(CURL *, void *sslContext, void *pointer)
    {
        auto *context = static_cast<SSL_CTX *>(sslContext);
        SSL_CTX_set_ex_data(context, connectionIndex(), pointer);
        // curl's own verification is off; this callback alone decides.
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &HCURLConnectionCallbacks::verify);
        return CURLE_OK;
    }
    static int verify(int, X509_STORE_CTX *store)
    {
        // Every certificate above the leaf passes here: the chain is judged
        // as a whole, once, at the leaf.
        if (X509_STORE_CTX_get_error_depth(store) != 0) {
            return 1;
        }
        auto *ssl = static_cast<SSL *>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto *connection = ssl ? static_cast<HCURLConnection *>(
                                     SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), connectionIndex()))
                               : nullptr;
        if (!connection) {
            return 0;
        }
        const Inside inside(connection);
        return connection->trustServer(ssl, store) ? 1 : 0;
    }
};

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
    return HCURLConnectionDriver::shared().networkThread();
}

void HCURLConnection::start()
{
    // Always queued: starting adds to curl, which a delegate callback (inside
    // curl) must not do.
    HCURLConnectionDriver::shared().post([self = shared_from_this()] { self->startNow(); });
}

void HCURLConnection::cancel()
{
    HCURLConnectionDriver &driver = HCURLConnectionDriver::shared();
    if (driver.onNetworkThread()) {
        cancelNow();
    } else {
        driver.post([self = shared_from_this()] { self->cancelNow(); });
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
    exchange_ = std::make_unique<Exchange>();
    Exchange &exchange = *exchange_;
    exchange.URL = URL;
    exchange.URLText = URL.toString(QUrl::FullyEncoded).toUtf8();
    exchange.method = method_;
    CURL *easy = exchange.easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, exchange.URLText.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // Redirects are followed here, with the body sent again.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    // The address found for the request's own host, where its name does not resolve; a
    // redirect elsewhere is looked up as usual.
    if (!request_.hostAddress().isEmpty() &&
        URL.host().compare(request_.URL().host(), Qt::CaseInsensitive) == 0) {
        const QByteArray entry = URL.host().toUtf8() + ':' +
                                 QByteArray::number(URL.port(isHTTPS(URL) ? 443 : 80)) + ':' +
                                 request_.hostAddress().toUtf8();
        exchange.resolveList = curl_slist_append(nullptr, entry.constData());
        curl_easy_setopt(easy, CURLOPT_RESOLVE, exchange.resolveList);
    }

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HCURLConnectionCallbacks::header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HCURLConnectionCallbacks::write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &HCURLConnectionCallbacks::progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

    const bool overTLS = isHTTPS(URL);
    if (overTLS) {
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &HCURLConnectionCallbacks::sslContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
        // A resumed session skips the verify callback.
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    }
    // A connection of its own, never kept: over HTTPS, because a reused one
    // skips the verify callback too; for a request that must not be repeated,
    // because curl sends a request again by itself when a reused connection
    // dies before the reply begins, even after the whole body went out, and a
    // device that had acted on it would print the job twice.
    if (overTLS || !isIdempotent(exchange.method)) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }

    // The header fields, without the ones curl must write itself; curl's own
    // Expect and form Content-Type are suppressed. Once the body is dropped
    // its Content- fields go with it, and credentials never leave the origin.
    bool hasContentType = false;
    for (const auto &[name, value] : request_.allHTTPHeaderFields()) {
        if ((bodyDropped_ && name.startsWith(u"Content-"_s, Qt::CaseInsensitive)) ||
            (credentialsDropped_ && isCredential(name))) {
            continue;
        }
        if (name.compare(u"Content-Length"_s, Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qint64 length = value.trimmed().toLongLong(&ok);
            exchange.bodyLength = ok && length >= 0 ? length : -1;
            continue;
        }
        if (name.compare(u"Expect"_s, Qt::CaseInsensitive) == 0 ||
            name.compare(u"Transfer-Encoding"_s, Qt::CaseInsensitive) == 0 ||
            name.contains(u'\r') || name.contains(u'\n') || value.contains(u'\r') ||
            value.contains(u'\n')) {
            continue;
        }
        hasContentType |= name.compare(u"Content-Type"_s, Qt::CaseInsensitive) == 0;
        // "Name;" is curl's way of sending a field with an empty value.
        const QByteArray line =
            value.isEmpty() ? name.toUtf8() + ';' : name.toUtf8() + ": " + value.toUtf8();
        exchange.headerList = curl_slist_append(exchange.headerList, line.constData());
    }
    exchange.headerList = curl_slist_append(exchange.headerList, "Expect:");
    if (!hasContentType) {
        exchange.headerList = curl_slist_append(exchange.headerList, "Content-Type:");
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, exchange.headerList);

    const QByteArray &body = request_.HTTPBody();
    if (bodyStream) {
        exchange.bodyStream = std::move(bodyStream);
        exchange.bodyStream->open();
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &HCURLConnectionCallbacks::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &HCURLConnectionCallbacks::seek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(exchange.bodyLength));
    } else if (!bodyDropped_ && (!body.isEmpty() || exchange.method == "POST")) {
        // The request keeps the bytes alive for as long as curl reads them.
        exchange.bodyLength = body.size();
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    } else if (exchange.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    if (exchange.method != "POST" && exchange.method != "GET" && exchange.method != "HEAD") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, exchange.method.constData());
    }

    const double timeout = request_.timeoutInterval();
    if (timeout > 0) {
        exchange.idleLimit = std::chrono::milliseconds(qint64(timeout * 1000));
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(exchange.idleLimit.count()));
        // Checked a few times per interval, so a time-out comes at most a
        // quarter late.
        exchange.idleTimer = new QTimer;
        exchange.idleTimer->setInterval(
            std::clamp<qint64>(exchange.idleLimit.count() / 4, 10, 1000));
        QObject::connect(exchange.idleTimer, &QTimer::timeout, [this] { checkIdle(); });
        exchange.idleTimer->start();
    }

    HCURLConnectionDriver::shared().add(easy, shared_from_this());
}

void HCURLConnection::endExchange()
{
    if (!exchange_) {
        return;
    }
    const std::unique_ptr<Exchange> exchange = std::move(exchange_);
    if (exchange->idleTimer) {
        exchange->idleTimer->stop();
        exchange->idleTimer->deleteLater();
    }
    HCURLConnectionDriver::shared().remove(exchange->easy);
    curl_easy_cleanup(exchange->easy);
    curl_slist_free_all(exchange->headerList);
    curl_slist_free_all(exchange->resolveList);
    if (exchange->bodyStream) {
        exchange->bodyStream->close();
    }
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
    const bool trustRefused = exchange.trustRefused;
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
        credentialsDropped_ = credentialsDropped_ || !sameOrigin(request_.URL(), *redirectTo);
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
        fail(URLError(codeForResult(CURLcode(curlResult), connected)));
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
    if (std::chrono::steady_clock::now() - exchange_->lastActivity >= exchange_->idleLimit) {
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
    const QUrl &URL = exchange_ ? exchange_->URL : request_.URL();
    QVariantMap userInfo{{zek::NSLocalizedDescriptionKey,
                          description.isNull() ? descriptionForCode(code) : description}};
    if (!URL.isEmpty()) {
        userInfo.insert(zek::NSURLErrorFailingURLErrorKey, URL);
    }
    return zek::Error(zek::NSURLErrorDomain, code, userInfo);
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
    const QString location = response.valueForHTTPHeaderField(u"Location");
    if (isRedirect(status) && !location.isNull()) {
        const QUrl target = exchange.URL.resolved(QUrl(location));
        const QString scheme = target.scheme().toLower();
        // Only a multipart stream can give its body a second time; after a
        // 303 the body is not sent again.
        const bool canResend =
            status == 303 || !exchange.bodyStream ||
            std::dynamic_pointer_cast<HCMultipartBodyStream>(exchange.bodyStream);
        if ((scheme == u"http"_s || scheme == u"https"_s) && target.isValid() && canResend) {
            // In clear only what carries nothing of the request: after a 303 the body is
            // dropped, and refusing would have a job that was taken sent again.
            const bool bodyFollows = status != 303 && !bodyDropped_;
            if (isHTTPS(exchange.URL) && !isHTTPS(target) && bodyFollows) {
                exchange.error = URLError(
                    zek::NSURLErrorSecureConnectionFailed,
                    u"Refused to follow a redirect from %1 to %2: the request would travel "
                    u"unencrypted."_s.arg(exchange.URL.toString(QUrl::FullyEncoded),
                                          target.toString(QUrl::FullyEncoded)));
            } else if (redirects_ >= kMaximumRedirects) {
                exchange.error = URLError(zek::NSURLErrorHTTPTooManyRedirects);
            } else {
                exchange.redirectTo = target;
                exchange.redirectResponse = response;
                exchange.seeOther = status == 303;
            }
            return;
        }
    }
    exchange.headDelivered = true;
    if (delegate_) {
        delegate_->connectionDidReceiveResponse(*this, response);
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

bool HCURLConnection::trustServer(const void *ssl, X509_STORE_CTX *store)
{
    if (ended_ || !exchange_) {
        return false;
    }
    Exchange &exchange = *exchange_;
    exchange.moved();
    // OpenSSL may come back to the leaf with further findings; the verdict
    // stands.
    if (exchange.judgedSSL == ssl) {
        return exchange.trusted;
    }
    std::vector<zek::Certificate> chain;
    X509 *leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf) {
        chain.push_back(zek::retainCertificate(leaf));
    }
    if (STACK_OF(X509) *sent = X509_STORE_CTX_get0_untrusted(store)) {
        for (int i = 0; i < sk_X509_num(sent); ++i) {
            X509 *certificate = sk_X509_value(sent, i);
            if (!leaf || X509_cmp(certificate, leaf) != 0) {
                chain.push_back(zek::retainCertificate(certificate));
            }
        }
    }
    zek::ServerTrust trust(std::move(chain));
    const bool trusted = !trust.certificates().empty() && delegate_ &&
                         delegate_->connectionShouldTrustServer(*this, trust, exchange.URL.host());
    exchange.judgedSSL = ssl;
    exchange.trusted = trusted && !ended_;
    exchange.trustRefused = !exchange.trusted;
    return exchange.trusted;
}

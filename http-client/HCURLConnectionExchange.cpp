#include "HCURLConnectionExchange.h"

#include "HCHTTPRules.h"
#include "HCURLConnectionCallbacks.h"

#include <QTimer>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Header fields curl must write itself, and ones that would break the head.
bool isLeftToCurl(const QString &name, const QString &value)
{
    return name.compare(u"Expect"_s, Qt::CaseInsensitive) == 0 ||
           name.compare(u"Transfer-Encoding"_s, Qt::CaseInsensitive) == 0 || name.contains(u'\r') ||
           name.contains(u'\n') || value.contains(u'\r') || value.contains(u'\n');
}

} // namespace

HCURLConnection::Exchange::Exchange(HCURLConnection &connection, const QUrl &URL,
                                    const QByteArray &method)
    : connection(connection), easy(curl_easy_init()), URL(URL),
      URLText(URL.toString(QUrl::FullyEncoded).toUtf8()), method(method)
{}

HCURLConnection::Exchange::~Exchange()
{
    if (idleTimer) {
        idleTimer->stop();
        idleTimer->deleteLater();
    }
    curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
    curl_slist_free_all(resolveList);
    if (bodyStream) {
        bodyStream->close();
    }
}

void HCURLConnection::Exchange::aim(const HCURLRequest &request)
{
    curl_easy_setopt(easy, CURLOPT_URL, URLText.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // Redirects are followed by the connection, with the body sent again.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
    // The address found for the request's own host, where its name does not resolve; a
    // redirect elsewhere is looked up as usual.
    if (!request.hostAddress().isEmpty() &&
        URL.host().compare(request.URL().host(), Qt::CaseInsensitive) == 0) {
        const QByteArray entry = URL.host().toUtf8() + ':' + QByteArray::number(HCPortOf(URL)) +
                                 ':' + request.hostAddress().toUtf8();
        resolveList = curl_slist_append(nullptr, entry.constData());
        curl_easy_setopt(easy, CURLOPT_RESOLVE, resolveList);
    }
}

void HCURLConnection::Exchange::reportToConnection()
{
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HCURLConnectionCallbacks::header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &connection);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HCURLConnectionCallbacks::write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &connection);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &HCURLConnectionCallbacks::progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &connection);
}

void HCURLConnection::Exchange::isolate()
{
    const bool overTLS = HCIsHTTPS(URL);
    if (overTLS) {
        serverCheck =
            std::make_unique<HCTLSServerCheck>([connection = &connection](zek::ServerTrust &trust) {
                return HCURLConnectionCallbacks::trustServer(connection, trust);
            });
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &HCTLSServerCheck::installOnContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, serverCheck.get());
        // A resumed session skips the verify callback.
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    }
    // A connection of its own, never kept: over HTTPS, because a reused one
    // skips the verify callback too; for a request that must not be repeated,
    // because curl sends a request again by itself when a reused connection
    // dies before the reply begins, even after the whole body went out, and a
    // device that had acted on it would print the job twice.
    if (overTLS || !HCIsIdempotentMethod(method)) {
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }
}

void HCURLConnection::Exchange::addHeaderFields(const HCURLRequest &request, bool bodyDropped,
                                                bool credentialsDropped)
{
    // curl's own Expect and form Content-Type are suppressed.
    bool hasContentType = false;
    for (const auto &[name, value] : request.allHTTPHeaderFields()) {
        if ((bodyDropped && name.startsWith(u"Content-"_s, Qt::CaseInsensitive)) ||
            (credentialsDropped && HCIsCredentialHeaderField(name))) {
            continue;
        }
        if (name.compare(u"Content-Length"_s, Qt::CaseInsensitive) == 0) {
            bool ok = false;
            const qint64 length = value.trimmed().toLongLong(&ok);
            bodyLength = ok && length >= 0 ? length : -1;
            continue;
        }
        if (isLeftToCurl(name, value)) {
            continue;
        }
        hasContentType |= name.compare(u"Content-Type"_s, Qt::CaseInsensitive) == 0;
        // "Name;" is curl's way of sending a field with an empty value.
        const QByteArray line =
            value.isEmpty() ? name.toUtf8() + ';' : name.toUtf8() + ": " + value.toUtf8();
        headerList = curl_slist_append(headerList, line.constData());
    }
    headerList = curl_slist_append(headerList, "Expect:");
    if (!hasContentType) {
        headerList = curl_slist_append(headerList, "Content-Type:");
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
}

void HCURLConnection::Exchange::attachBody(const HCURLRequest &request,
                                           std::shared_ptr<zek::InputStream> stream,
                                           bool bodyDropped)
{
    const QByteArray &body = request.HTTPBody();
    if (stream) {
        // Its length is the request's Content-Length, if any.
        bodyStream = std::move(stream);
        bodyStream->open();
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &HCURLConnectionCallbacks::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, &connection);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &HCURLConnectionCallbacks::seek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, &connection);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bodyLength));
    } else if (!bodyDropped && (!body.isEmpty() || method == "POST")) {
        // The request keeps the bytes alive for as long as curl reads them.
        bodyLength = body.size();
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    } else if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    if (method != "POST" && method != "GET" && method != "HEAD") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.constData());
    }
}

void HCURLConnection::Exchange::watchIdle(double timeoutInterval, std::function<void()> check)
{
    if (timeoutInterval <= 0) {
        return;
    }
    idleLimit = std::chrono::milliseconds(qint64(timeoutInterval * 1000));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(idleLimit.count()));
    // Checked a few times per interval, so a time-out comes at most a quarter
    // late.
    idleTimer = new QTimer;
    idleTimer->setInterval(std::clamp<qint64>(idleLimit.count() / 4, 10, 1000));
    QObject::connect(idleTimer, &QTimer::timeout, std::move(check));
    idleTimer->start();
}

bool HCURLConnection::Exchange::idleTooLong() const
{
    return std::chrono::steady_clock::now() - lastActivity >= idleLimit;
}

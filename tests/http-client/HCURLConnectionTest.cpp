// The transport against the local test server: real exchanges over HTTP and
// HTTPS, with the main thread's event loop running, as the multipart body
// needs it to be read.

#include "HCURLConnection.h"

#include "EventLoop.h"
#include "HCHTTPRequestSerializer.h"
#include "HCMultipartBodyStream.h"
#include "HCSecurityPolicy.h"
#include "MultipartSupport.h"
#include "SpoolFiles.h"
#include "StreamReading.h"
#include "TestHTTPServer.h"
#include "TestPKI.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// What a connection reported, and whether it kept to the rules: every call
// on the network thread, the head before the body, nothing after the end.
class Recorder : public HCURLConnectionDelegate {
public:
    explicit Recorder(std::shared_ptr<HCSecurityPolicy> policy = HCSecurityPolicy::defaultPolicy())
        : policy_(std::move(policy))
    {}

    bool connectionShouldTrustServer(HCURLConnection &, zek::ServerTrust &trust,
                                     const QString &host) override
    {
        const std::lock_guard lock(mutex_);
        check(!response_);
        trustedHosts_.append(host);
        return policy_->evaluateServerTrust(trust, host);
    }
    void connectionDidReceiveResponse(HCURLConnection &, const HCHTTPURLResponse &response) override
    {
        const std::lock_guard lock(mutex_);
        check(!response_);
        response_ = response;
    }
    void connectionDidReceiveData(HCURLConnection &, const QByteArray &data) override
    {
        const std::lock_guard lock(mutex_);
        check(response_.has_value());
        data_ += data;
    }
    void connectionDidFinishLoading(HCURLConnection &) override
    {
        const std::lock_guard lock(mutex_);
        end();
    }
    void connectionDidFail(HCURLConnection &, const zek::Error &error) override
    {
        const std::lock_guard lock(mutex_);
        end();
        error_ = error;
    }

    bool done() const { return ends_ > 0; }
    bool keptRules() const { return rulesKept_ && ends_ == 1; }
    std::optional<HCHTTPURLResponse> response() const { return locked(response_); }
    QByteArray data() const { return locked(data_); }
    std::optional<zek::Error> error() const { return locked(error_); }
    QStringList trustedHosts() const { return locked(trustedHosts_); }
    QJsonObject echo() const { return QJsonDocument::fromJson(data()).object(); }

private:
    void check(bool holds)
    {
        rulesKept_ = rulesKept_ && holds && ends_ == 0 &&
                     QThread::currentThread() == HCURLConnection::networkRequestThread();
    }
    void end()
    {
        check(true);
        ++ends_;
    }
    template <typename T> T locked(const T &value) const
    {
        const std::lock_guard lock(mutex_);
        return value;
    }

    std::shared_ptr<HCSecurityPolicy> policy_;
    mutable std::mutex mutex_;
    std::optional<HCHTTPURLResponse> response_;
    QByteArray data_;
    std::optional<zek::Error> error_;
    QStringList trustedHosts_;
    std::atomic<int> ends_ = 0;
    bool rulesKept_ = true;
};

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The body the request's stream will send, from a copy of it.
QByteArray bodyOf(const HCURLRequest &request)
{
    if (!request.HTTPBodyStream()) {
        return request.HTTPBody();
    }
    return readWholeStream(*bodyStreamOf(request).copy()).value_or("unreadable");
}

// A POST to URL whose multipart body holds a file of the given bytes.
HCURLRequest uploadTo(const QString &URL, const QString &filePath, const QByteArray &contents)
{
    writeFile(filePath, contents);
    return HCHTTPRequestSerializer()
        .multipartFormRequestWithMethod(
            u"POST"_s, URL, QVariantMap{{u"job"_s, u"1"_s}},
            [&](HCMultipartFormData &formData) {
                formData.appendPartWithFileURL(QUrl::fromLocalFile(filePath), u"file"_s,
                                               u"job name.pdf"_s, u"application/pdf"_s, nullptr);
            },
            nullptr)
        .value();
}

// Runs the exchange with the main thread's event loop turning; cancels it
// after cancelAfterMs when that is not negative.
std::shared_ptr<Recorder>
runExchange(const HCURLRequest &request,
            std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>(),
            int cancelAfterMs = -1)
{
    const auto connection = HCURLConnection::connectionWithRequest(request, recorder);
    connection->start();
    if (cancelAfterMs >= 0) {
        QTimer::singleShot(cancelAfterMs, [connection] { connection->cancel(); });
    }
    EXPECT_TRUE(waitUntil([&] { return recorder->done(); }));
    return recorder;
}

void expectURLError(const Recorder &recorder, qint64 code, const QString &failingURL)
{
    const std::optional<zek::Error> error = recorder.error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), zek::NSURLErrorDomain);
    EXPECT_EQ(error->code(), code);
    EXPECT_FALSE(error->userInfo().value(zek::NSLocalizedDescriptionKey).toString().isEmpty());
    EXPECT_EQ(error->userInfo().value(zek::NSURLErrorFailingURLErrorKey).toUrl(), QUrl(failingURL));
}

TEST(HCURLConnectionTest, ExchangesOverHTTP)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const ClosedPort closedPort;
    QTemporaryDir directory;
    // Larger than curl's buffer, so the body goes out in several reads.
    const QByteArray file = sampleBytes(700 * 1024);

    // error 0 is success; an upload must reach the server as sent, on every
    // hop of a redirect, except after a 303, which is followed by GETs
    // without the body.
    struct Row {
        const char *what;
        QString path;
        bool upload = false;
        qint64 error = 0;
        qint64 status = 200;
        QString MIMEType = u"application/json"_s;
        int hops = 1;
        double timeout = 30;
        int cancelAfterMs = -1;
        qsizetype uploadBytes = 700 * 1024;
    };
    const Row rows[] = {
        {.what = "upload", .path = u"/echo"_s, .upload = true},
        // On the connection the upload left open, a body small enough to be
        // out before the reset: lost, and not sent again.
        {.what = "dropped mid-body",
         .path = u"/drop"_s,
         .upload = true,
         .error = zek::NSURLErrorNetworkConnectionLost,
         .uploadBytes = 20000},
        {.what = "status and type",
         .path = u"/status/418?type=Application/Problem%2BJSON;%20charset=UTF-8"_s,
         .status = 418,
         .MIMEType = u"application/problem+json"_s},
        {.what = "307 keeps the POST", .path = u"/redirect/5/307"_s, .upload = true, .hops = 6},
        {.what = "303 is fetched", .path = u"/redirect/2/303"_s, .upload = true, .hops = 3},
        {.what = "sixth redirect",
         .path = u"/redirect/6/302"_s,
         .upload = true,
         .error = zek::NSURLErrorHTTPTooManyRedirects},
        {.what = "refused", .path = u"refused"_s, .error = zek::NSURLErrorCannotConnectToHost},
        {.what = "never answers",
         .path = u"/silent"_s,
         .upload = true,
         .error = zek::NSURLErrorTimedOut,
         .timeout = 0.5},
        {.what = "cancelled",
         .path = u"/silent"_s,
         .upload = true,
         .error = zek::NSURLErrorCancelled,
         .cancelAfterMs = 300},
        {.what = "reply too large",
         .path = u"/bytes/%1"_s.arg(HCURLConnection::maximumReplyLength + 1),
         .error = zek::NSURLErrorDataLengthExceedsMaximum},
        {.what = "connection lost",
         .path = u"/truncate"_s,
         .error = zek::NSURLErrorNetworkConnectionLost},
        {.what = "not HTTP",
         .path = u"/raw?text=SSH-2.0-OpenSSH_9.2%0D%0A"_s,
         .error = zek::NSURLErrorBadServerResponse},
    };
    const auto check = [&](const Row &row) {
        const QString URL = row.path == u"refused"_s
                                ? u"http://127.0.0.1:%1/echo"_s.arg(closedPort.port())
                                : server.URL(row.path);
        HCURLRequest request =
            row.upload ? uploadTo(URL, directory.filePath(u"job"_s), file.left(row.uploadBytes))
                       : HCURLRequest(QUrl(URL));
        request.setTimeoutInterval(row.timeout);
        const QByteArray sent = bodyOf(request);
        const qsizetype requestsBefore = server.requests().size();
        QElapsedTimer elapsed;
        elapsed.start();

        const auto recorder = runExchange(request, std::make_shared<Recorder>(), row.cancelAfterMs);

        EXPECT_TRUE(recorder->keptRules());
        if (row.error != 0) {
            expectURLError(*recorder, row.error,
                           row.error == zek::NSURLErrorHTTPTooManyRedirects
                               ? server.URL(u"/redirect/1/302"_s)
                               : URL);
            EXPECT_LT(elapsed.elapsed(), 10000);
            if (row.upload && row.error == zek::NSURLErrorNetworkConnectionLost) {
                server.requests(requestsBefore + 1);
                QThread::msleep(300); // time for a second request to show
                EXPECT_EQ(server.requests().size(), requestsBefore + 1);
            }
            return;
        }
        ASSERT_FALSE(recorder->error()) << recorder->error()->code();
        const std::optional<HCHTTPURLResponse> response = recorder->response();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->statusCode(), row.status);
        EXPECT_EQ(response->MIMEType(), row.MIMEType);
        if (!row.upload) {
            EXPECT_EQ(response->textEncodingName(), u"UTF-8"_s);
            EXPECT_EQ(recorder->data(), "status body");
            return;
        }
        const bool seeOther = row.path.endsWith(u"/303"_s);
        const QJsonObject echo = recorder->echo();
        const QJsonObject headers = echo[u"headers"_s].toObject();
        EXPECT_EQ(response->URL().path(), QUrl(URL).path().startsWith(u"/redirect"_s)
                                              ? u"/redirect/0/%1"_s.arg(row.path.right(3))
                                              : u"/echo"_s);
        EXPECT_EQ(echo[u"method"_s].toString(), seeOther ? u"GET"_s : u"POST"_s);
        EXPECT_EQ(echo[u"sha256"_s].toString(), sha256(seeOther ? QByteArray() : sent));
        EXPECT_EQ(headers[u"Content-Length"_s].toString(),
                  seeOther ? QString() : QString::number(sent.size()));
        EXPECT_EQ(headers[u"Content-Type"_s].toString(),
                  seeOther ? QString() : request.valueForHTTPHeaderField(u"Content-Type"));
        EXPECT_FALSE(headers.contains(u"Expect"_s));
        EXPECT_TRUE(sent.contains(file.left(row.uploadBytes)));
        const QByteArrayList requests =
            server.requests(requestsBefore + row.hops).mid(requestsBefore);
        EXPECT_EQ(requests.size(), row.hops);
        // The job reaches the server once, first; after a 303 only GETs follow.
        for (qsizetype i = 0; i < requests.size(); ++i) {
            const bool withBody = i == 0 || !seeOther;
            const QByteArray body = withBody ? sent : QByteArray();
            EXPECT_TRUE(requests[i].startsWith(withBody ? "REQUEST POST " : "REQUEST GET ") &&
                        requests[i].endsWith(" " + QByteArray::number(body.size()) + " " +
                                             sha256(body).toLatin1()))
                << requests[i].toStdString();
        }
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        check(row);
    }
}

// Made once: the trust store it sets is read once per process.
const TestPKI &testPKI()
{
    static const TestPKI pki = [] {
        TestPKI made;
        made.make(u"root"_s, u"root"_s, u"ca"_s);
        made.make(u"intermediate"_s, u"intermediate"_s, u"ca"_s, u"root"_s);
        made.make(u"address"_s, u"address"_s, u"address"_s, u"intermediate"_s);
        made.make(u"host"_s, u"device.test"_s, u"host"_s, u"intermediate"_s);
        made.make(u"self-signed"_s, u"address"_s, u"address"_s);
        made.make(u"other root"_s, u"other root"_s, u"ca"_s);
        made.trustOnly(u"root"_s);
        return made;
    }();
    return pki;
}

TEST(HCURLConnectionTest, HTTPSAsksThePolicyBeforeSendingAnything)
{
    const TestPKI &pki = testPKI();
    // Pinned to a root that did not sign the server's chain.
    const auto pinned = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningModeCertificate);
    const QByteArrayList pem =
        readFile(pki.certificatePath(u"other root"_s).toStdString()).trimmed().split('\n');
    pinned->setPinnedCertificates(
        QList<QByteArray>{QByteArray::fromBase64(pem.mid(1, pem.size() - 2).join())});

    struct Row {
        const char *what;
        QStringList chain;
        std::shared_ptr<HCSecurityPolicy> policy = HCSecurityPolicy::defaultPolicy();
        bool trusted = false;
    };
    const Row rows[] = {
        {.what = "trusted chain", .chain = {u"address"_s, u"intermediate"_s}, .trusted = true},
        {.what = "self-signed", .chain = {u"self-signed"_s}},
        {.what = "wrong host", .chain = {u"host"_s, u"intermediate"_s}},
        {.what = "pin mismatch", .chain = {u"address"_s, u"intermediate"_s}, .policy = pinned},
    };
    const auto check = [&](const Row &row) {
        TestHTTPServer server(pki.chainPath(row.chain), pki.keyPath(row.chain.first()));
        ASSERT_NE(server.port(), 0);
        HCURLRequest request(QUrl(server.URL(u"/echo"_s)));
        request.setHTTPMethod(u"POST"_s);
        request.setHTTPBody("in memory");

        const auto recorder = runExchange(request, std::make_shared<Recorder>(row.policy));

        EXPECT_TRUE(recorder->keptRules());
        EXPECT_EQ(recorder->trustedHosts(), QStringList{u"127.0.0.1"_s});
        if (row.trusted) {
            ASSERT_FALSE(recorder->error()) << recorder->error()->code();
            EXPECT_EQ(recorder->echo()[u"sha256"_s].toString(), sha256("in memory"));
            EXPECT_EQ(server.requests(1).size(), 1);
        } else {
            expectURLError(*recorder, zek::NSURLErrorServerCertificateUntrusted,
                           server.URL(u"/echo"_s));
            EXPECT_TRUE(server.waitForOutput("HANDSHAKE-FAILED"));
            EXPECT_TRUE(server.requests().isEmpty());
        }
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        check(row);
    }
}

TEST(HCURLConnectionTest, RedirectsNeitherLeakCredentialsNorDropEncryption)
{
    const TestPKI &pki = testPKI();
    const QStringList chain{u"address"_s, u"intermediate"_s};
    TestHTTPServer secure(pki.chainPath(chain), pki.keyPath(chain.first()));
    TestHTTPServer plain;
    TestHTTPServer other;
    ASSERT_TRUE(secure.port() != 0 && plain.port() != 0 && other.port() != 0);
    const auto redirect = [](const TestHTTPServer &from, const QString &to, int code = 307) {
        return from.URL(u"/to/%1?url="_s.arg(code) +
                        QString::fromLatin1(QUrl::toPercentEncoding(to)));
    };

    // Where the request starts and the server it is sent on to; error 0 is
    // success.
    struct Row {
        const char *what;
        QString URL;
        TestHTTPServer *target;
        bool keepsCredentials = false;
        qint64 error = 0;
        QByteArray bodyThere = "job";
    };
    const Row rows[] = {
        {.what = "same origin",
         .URL = redirect(plain, plain.URL(u"/echo"_s)),
         .target = &plain,
         .keepsCredentials = true},
        {.what = "other port", .URL = redirect(plain, other.URL(u"/echo"_s)), .target = &other},
        {.what = "https to http",
         .URL = redirect(secure, other.URL(u"/echo"_s)),
         .target = &other,
         .error = zek::NSURLErrorSecureConnectionFailed},
        // The job was taken: what follows carries none of it, and refusing would have it sent
        // again.
        {.what = "https 303 to http",
         .URL = redirect(secure, other.URL(u"/echo"_s), 303),
         .target = &other,
         .bodyThere = ""},
    };
    const auto check = [&](const Row &row) {
        HCURLRequest request{QUrl(row.URL)};
        request.setHTTPMethod(u"POST"_s);
        request.setHTTPBody("job");
        request.setValue(u"Basic am9iOnNlY3JldA=="_s, u"Authorization"_s);
        request.setValue(u"session=1"_s, u"Cookie"_s);
        const qsizetype targetRequestsBefore = row.target->requests().size();

        const auto recorder = runExchange(request);

        EXPECT_TRUE(recorder->keptRules());
        if (row.error != 0) {
            expectURLError(*recorder, row.error, row.URL);
            const QString description =
                recorder->error()->userInfo().value(zek::NSLocalizedDescriptionKey).toString();
            EXPECT_TRUE(description.contains(QUrl(row.URL).toString(QUrl::FullyEncoded)) &&
                        description.contains(other.URL(u"/echo"_s)))
                << description.toStdString();
            EXPECT_EQ(row.target->requests().size(), targetRequestsBefore);
            return;
        }
        ASSERT_FALSE(recorder->error()) << recorder->error()->code();
        const QJsonObject headers = recorder->echo()[u"headers"_s].toObject();
        EXPECT_EQ(recorder->echo()[u"sha256"_s].toString(), sha256(row.bodyThere));
        EXPECT_EQ(headers.contains(u"Authorization"_s), row.keepsCredentials);
        EXPECT_EQ(headers.contains(u"Cookie"_s), row.keepsCredentials);
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        check(row);
    }
}

TEST(HCURLConnectionTest, ManyExchangesRunAtOnceOnTheNetworkThread)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    constexpr int kCount = 24;
    std::vector<std::shared_ptr<Recorder>> recorders;
    std::vector<QByteArray> sent;
    for (int i = 0; i < kCount; ++i) {
        // Half of them are redirected once, so exchanges start while others end.
        const HCURLRequest request =
            uploadRequest(u"job %1.pdf"_s.arg(i), sampleBytes(100 * 1024 + i, quint32(i)));
        HCURLRequest sentTo = request;
        sentTo.setURL(QUrl(server.URL(i % 2 ? u"/redirect/1/307"_s : u"/echo"_s)));
        sent.push_back(bodyOf(sentTo));
        recorders.push_back(std::make_shared<Recorder>());
        HCURLConnection::connectionWithRequest(sentTo, recorders.back())->start();
    }
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(),
                           [](const auto &recorder) { return recorder->done(); });
    }));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_TRUE(recorders[i]->keptRules()) << i;
        EXPECT_EQ(recorders[i]->error().value_or(zek::Error()).code(), 0) << i;
        EXPECT_EQ(recorders[i]->echo()[u"sha256"_s].toString(), sha256(sent[i])) << i;
    }
}

} // namespace

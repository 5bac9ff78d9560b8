// Request operations and their manager against the local test server, with
// the main thread's event loop running: outcomes, cancellation, the state
// machine, and many uploads at once.

#include "EventLoop.h"
#include "HCHTTPRequestOperationManager.h"
#include "HCJSONResponseSerializer.h"
#include "MultipartSupport.h"
#include "NotificationCenter.h"
#include "TestHTTPServer.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool onMainThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// What the callbacks of one operation reported.
struct Outcome {
    int successes = 0;
    int failures = 0;
    bool allOnMainThread = true;
    QVariant object;
    std::optional<zek::Error> error;
    std::shared_ptr<HCHTTPRequestOperation> operation;
    // "<status> <URL>" of each redirect reported, and whether all came before the end.
    QStringList redirects;
    bool redirectsFirst = true;
    bool done() const { return successes + failures > 0; }
};

std::pair<HCRequestOperationSuccess, HCRequestOperationFailure>
recordInto(const std::shared_ptr<Outcome> &outcome)
{
    return {[outcome](const std::shared_ptr<HCHTTPRequestOperation> &operation,
                      const QVariant &object) {
                ++outcome->successes;
                outcome->allOnMainThread = outcome->allOnMainThread && onMainThread();
                outcome->object = object;
                outcome->operation = operation;
            },
            [outcome](const std::shared_ptr<HCHTTPRequestOperation> &operation,
                      const zek::Error &error) {
                ++outcome->failures;
                outcome->allOnMainThread = outcome->allOnMainThread && onMainThread();
                outcome->error = error;
                outcome->operation = operation;
            }};
}

std::shared_ptr<HCHTTPRequestOperation> makeGET(HCHTTPRequestOperationManager &manager,
                                                const QString &URL,
                                                const std::shared_ptr<Outcome> &outcome)
{
    const auto request = manager.requestSerializer()->requestWithMethod(u"GET"_s, URL, {}, nullptr);
    manager.setRedirectCallback([outcome](const std::shared_ptr<HCHTTPRequestOperation> &operation,
                                          const QUrl &to, const HCHTTPURLResponse &response) {
        outcome->redirects.append(u"%1 %2"_s.arg(response.statusCode()).arg(to.toString()));
        outcome->allOnMainThread = outcome->allOnMainThread && onMainThread();
        outcome->redirectsFirst = outcome->redirectsFirst && operation && !outcome->done();
    });
    auto [success, failure] = recordInto(outcome);
    return manager.HTTPRequestOperationWithRequest(*request, success, failure);
}

std::optional<zek::Error> underlying(const std::optional<zek::Error> &error)
{
    if (!error || !error->userInfo().contains(zek::NSUnderlyingErrorKey)) {
        return std::nullopt;
    }
    return error->userInfo().value(zek::NSUnderlyingErrorKey).value<zek::Error>();
}

} // namespace

TEST(HCHTTPRequestOperationTest, ReportsEachOutcomeOfAReply)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const ClosedPort closedPort;
    const QString domain = HCURLResponseSerializationErrorDomain;
    const QString json = u"application/json"_s;

    // code 0: success. Codes as (domain, code) of the error and of the one under it.
    struct Row {
        const char *what;
        QString URL;
        QString errorDomain = {};
        qint64 code = 0;
        qint64 underlyingCode = 0;
        bool hasObject = false;
        QStringList redirects = {};
    };
    const Row rows[] = {
        {.what = "2xx, JSON", .URL = server.URL(u"/echo"_s), .hasObject = true},
        {.what = "redirected once",
         .URL = server.URL(u"/redirect/1/302"_s),
         .hasObject = true,
         .redirects = {u"302 "_s + server.URL(u"/redirect/0/302"_s)}},
        {.what = "2xx, JSON type, not JSON",
         .URL = server.URL(u"/status/200?type=%1"_s.arg(json)),
         .errorDomain = zek::NSCocoaErrorDomain,
         .code = zek::NSPropertyListReadCorruptError},
        {.what = "refused status, JSON",
         .URL = server.URL(u"/json/500"_s),
         .errorDomain = domain,
         .code = zek::NSURLErrorBadServerResponse,
         .hasObject = true},
        {.what = "refused status, not JSON",
         .URL = server.URL(u"/status/500?type=%1"_s.arg(json)),
         .errorDomain = zek::NSCocoaErrorDomain,
         .code = zek::NSPropertyListReadCorruptError,
         .underlyingCode = zek::NSURLErrorBadServerResponse},
        {.what = "2xx, other type",
         .URL = server.URL(u"/status/200?type=text/plain"_s),
         .errorDomain = domain,
         .code = zek::NSURLErrorCannotDecodeContentData},
        {.what = "refused status, other type",
         .URL = server.URL(u"/status/500?type=text/plain"_s),
         .errorDomain = domain,
         .code = zek::NSURLErrorBadServerResponse,
         .underlyingCode = zek::NSURLErrorCannotDecodeContentData},
        {.what = "2xx, empty body", .URL = server.URL(u"/bytes/0"_s)},
        {.what = "transport error wins",
         .URL = u"http://127.0.0.1:%1/echo"_s.arg(closedPort.port()),
         .errorDomain = zek::NSURLErrorDomain,
         .code = zek::NSURLErrorCannotConnectToHost},
    };
    const auto check = [&](const Row &row) {
        const auto manager = HCHTTPRequestOperationManager::manager();
        const auto outcome = std::make_shared<Outcome>();
        std::weak_ptr<HCHTTPRequestOperation> weakOperation;
        {
            const auto operation = makeGET(*manager, row.URL, outcome);
            weakOperation = operation;
            manager->operationQueue()->addOperation(operation);
        }
        ASSERT_TRUE(waitUntil([&] { return outcome->done(); }));
        const auto &operation = outcome->operation;
        ASSERT_TRUE(operation);
        EXPECT_EQ(outcome->successes + outcome->failures, 1);
        EXPECT_TRUE(outcome->allOnMainThread);
        EXPECT_EQ(outcome->redirects, row.redirects);
        EXPECT_TRUE(outcome->redirectsFirst);
        EXPECT_TRUE(operation->isFinished());
        const bool transport = row.errorDomain == zek::NSURLErrorDomain;
        if (row.code == 0) {
            EXPECT_EQ(outcome->successes, 1);
            EXPECT_EQ(outcome->object.isValid(), row.hasObject);
            EXPECT_FALSE(operation->error());
        } else {
            ASSERT_EQ(outcome->failures, 1);
            EXPECT_EQ(outcome->error->domain(), row.errorDomain);
            EXPECT_EQ(outcome->error->code(), row.code);
            EXPECT_EQ(underlying(outcome->error).value_or(zek::Error()).code(), row.underlyingCode);
            // The serializer's result stays, even beside its error; a transport
            // error leaves no reply to serialize.
            EXPECT_EQ(operation->responseObject().isValid(), row.hasObject);
            EXPECT_EQ(operation->responseData().has_value(), !transport);
        }
        // Cancelling a finished operation changes nothing.
        operation->cancel();
        EXPECT_FALSE(operation->isCancelled());
        EXPECT_EQ(operation->error(), outcome->error);
        // Once the callbacks have run, only the outcome holds the operation.
        outcome->operation.reset();
        EXPECT_TRUE(waitUntil([&] { return weakOperation.expired(); }));
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        check(row);
    }
}

TEST(HCHTTPRequestOperationTest, CancelEndsItBeforeOrWhileRunning)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const QString URL = server.URL(u"/silent"_s);
    const auto notices = std::make_shared<QStringList>();
    auto &center = zek::NotificationCenter::defaultCenter();
    const auto noticed = [notices](const QString &name, const std::shared_ptr<void> &) {
        notices->append(name.section(u'.', -1) + (onMainThread() ? u""_s : u" elsewhere"_s));
    };
    const auto started = center.addObserver(HCOperationDidStartNotification, noticed);
    const auto finished = center.addObserver(HCOperationDidFinishNotification, noticed);
    const std::shared_ptr<void> removeObservers(nullptr, [&](void *) {
        center.removeObserver(started);
        center.removeObserver(finished);
    });

    for (const bool running : {false, true}) {
        SCOPED_TRACE(running ? "while running" : "before start");
        notices->clear();
        const auto manager = HCHTTPRequestOperationManager::manager();
        const auto outcome = std::make_shared<Outcome>();
        const auto operation = makeGET(*manager, URL, outcome);
        if (!running) {
            operation->cancel();
        }
        manager->operationQueue()->addOperation(operation);
        if (running) {
            ASSERT_EQ(server.requests(1).size(), 1);
            EXPECT_TRUE(operation->isExecuting());
            operation->cancel();
        }
        // The start is announced once the exchange was handed over, which
        // never happens to an operation cancelled before it started.
        const QStringList expected =
            running ? QStringList{u"start"_s, u"finish"_s} : QStringList{u"finish"_s};
        ASSERT_TRUE(
            waitUntil([&] { return outcome->done() && notices->size() == expected.size(); }));
        EXPECT_EQ(outcome->successes, 0);
        EXPECT_TRUE(outcome->allOnMainThread);
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->domain(), zek::NSURLErrorDomain);
        EXPECT_EQ(outcome->error->code(), zek::NSURLErrorCancelled);
        EXPECT_EQ(outcome->error->userInfo().value(zek::NSURLErrorFailingURLErrorKey).toUrl(),
                  QUrl(URL));
        EXPECT_EQ(*notices, expected);
        EXPECT_FALSE(operation->responseObject().isValid());
    }
    // The cancelled-before-start operation never reached the server.
    EXPECT_EQ(server.requests().size(), 1);
}

TEST(HCHTTPRequestOperationTest, StateMachineIgnoresForbiddenChanges)
{
    constexpr qint64 paused = HCOperationPausedState, ready = HCOperationReadyState,
                     executing = HCOperationExecutingState, finished = HCOperationFinishedState;
    struct Row {
        const char *what;
        bool cancelled = false;
        std::vector<qint64> requested;
        qint64 state;
        QStringList notices = {}; // "+key" for will change, "-key" for did change
    };
    const Row rows[] = {
        {.what = "ready cannot finish", .requested = {finished}, .state = ready},
        {.what = "executing cannot go back or to an unknown state",
         .requested = {executing, ready, 7},
         .state = executing,
         .notices = {u"+isExecuting"_s, u"+isReady"_s, u"-isReady"_s, u"-isExecuting"_s}},
        {.what = "finished stays finished",
         .requested = {executing, finished, executing, ready},
         .state = finished,
         .notices = {u"+isExecuting"_s, u"+isReady"_s, u"-isReady"_s, u"-isExecuting"_s,
                     u"+isFinished"_s, u"+isExecuting"_s, u"-isExecuting"_s, u"-isFinished"_s}},
        {.what = "cancelled may finish before it ran",
         .cancelled = true,
         .requested = {finished},
         .state = finished,
         .notices = {u"+isFinished"_s, u"+isReady"_s, u"-isReady"_s, u"-isFinished"_s}},
        {.what = "paused goes back to ready, not on to executing",
         .requested = {paused, executing, ready},
         .state = ready,
         .notices = {u"+isPaused"_s, u"+isReady"_s, u"-isReady"_s, u"-isPaused"_s, u"+isReady"_s,
                     u"+isPaused"_s, u"-isPaused"_s, u"-isReady"_s}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const auto operation = std::make_shared<HCHTTPRequestOperation>(
            HCURLRequest(QUrl(u"http://127.0.0.1:9/print"_s)));
        if (row.cancelled) {
            operation->cancel();
        }
        QStringList notices;
        operation->addChangeObserver(
            [&](const QString &key, bool did) { notices.append((did ? u"-"_s : u"+"_s) + key); });
        for (const qint64 state : row.requested) {
            operation->setState(state);
        }
        EXPECT_EQ(operation->state(), row.state);
        EXPECT_EQ(notices, row.notices);
    }

    const auto fresh =
        std::make_shared<HCHTTPRequestOperation>(HCURLRequest(QUrl(u"http://127.0.0.1:9/print"_s)));
    EXPECT_TRUE(
        QRegularExpression(
            uR"(^<HCHTTPRequestOperation: 0x[0-9a-f]+, state: isReady, cancelled: NO )"
            uR"(request: <HCURLRequest: GET http://127.0.0.1:9/print>, response: \(null\)>$)"_s)
            .match(fresh->description())
            .hasMatch())
        << fresh->description().toStdString();
}

TEST(HCHTTPRequestOperationManagerTest, HundredUploadsAtOnceEachGetTheirOwnReply)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    constexpr int count = 100;
    std::vector<std::shared_ptr<Outcome>> outcomes;
    for (int i = 0; i < count; ++i) {
        const auto outcome = outcomes.emplace_back(std::make_shared<Outcome>());
        auto [success, failure] = recordInto(outcome);
        // As the upload does it: neither manager nor operation is kept.
        const auto manager = HCHTTPRequestOperationManager::manager();
        const auto operation = manager->POST(
            server.URL(u"/echo?n=%1"_s.arg(i)), QVariantMap(),
            [i](HCMultipartFormData &formData) {
                formData.appendPartWithFileData(sampleBytes(1000 + i, i), u"file"_s, u"job.pdf"_s,
                                                u"application/pdf"_s);
            },
            success, failure);
        ASSERT_TRUE(operation);
        EXPECT_EQ(manager->operationQueue()->operations().size(), 1u);
    }
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(outcomes.begin(), outcomes.end(),
                           [](const auto &o) { return o->done(); });
    }));
    for (int i = 0; i < count; ++i) {
        const Outcome &outcome = *outcomes[i];
        EXPECT_EQ(outcome.successes, 1) << i;
        EXPECT_EQ(outcome.failures, 0) << i;
        EXPECT_TRUE(outcome.allOnMainThread) << i;
        EXPECT_EQ(outcome.object.toMap().value(u"path"_s).toString(), u"/echo?n=%1"_s.arg(i));
    }
}

TEST(HCHTTPRequestOperationManagerTest, RequestThatCannotBeBuiltFailsLaterWithoutOperation)
{
    const auto manager = HCHTTPRequestOperationManager::manager();
    manager->requestSerializer()->setStringEncoding(0x7fff0000); // no such encoding
    const auto outcome = std::make_shared<Outcome>();
    auto [success, failure] = recordInto(outcome);
    const auto operation = manager->POST(u"http://127.0.0.1:9/print"_s,
                                         QVariantMap{{u"job"_s, u"1"_s}}, {}, success, failure);
    EXPECT_FALSE(operation);
    EXPECT_FALSE(outcome->done());
    ASSERT_TRUE(waitUntil([&] { return outcome->done(); }));
    EXPECT_EQ(outcome->failures, 1);
    EXPECT_TRUE(outcome->allOnMainThread);
    EXPECT_FALSE(outcome->operation);
    EXPECT_EQ(manager->operationQueue()->operationCount(), 0u);

    // Base URLs keep their last segment, so relative strings resolve below it.
    const std::pair<const char *, const char *> bases[] = {
        {"http://device:5004/api", "http://device:5004/api/"},
        {"http://device:5004/api/", "http://device:5004/api/"},
        {"http://device:5004", "http://device:5004"},
    };
    for (const auto &[given, stored] : bases) {
        SCOPED_TRACE(given);
        HCHTTPRequestOperationManager based{QUrl(QString::fromLatin1(given))};
        EXPECT_EQ(based.baseURL().toString(), QString::fromLatin1(stored));
    }
}

// The upload call and zek-upload against the local test server.

#include "ZEKNetworkController.h"

#include "EventLoop.h"
#include "ProcessRunner.h"
#include "SpoolFiles.h"
#include "TestHTTPServer.h"
#include "ZEKLog.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Completion {
    int calls = 0;
    bool onMainThread = true;
    QVariant result;
    std::optional<zek::Error> error;
};

ZEKNetworkController::UploadCompletion recordInto(const std::shared_ptr<Completion> &completion)
{
    return [completion](const QVariant &result, const std::optional<zek::Error> &error) {
        ++completion->calls;
        completion->onMainThread =
            completion->onMainThread &&
            QThread::currentThread() == QCoreApplication::instance()->thread();
        completion->result = result;
        completion->error = error;
    };
}

QByteArray fileBytes(qsizetype n)
{
    QByteArray bytes(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i) {
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    }
    return bytes;
}

// The local test server, and a directory of the test's own that holds a job.
class ZEKNetworkControllerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(server.port(), 0);
        writeFile(job, "%PDF-1.4\n");
    }

    // Starts the upload; the completion records what it is called with.
    static std::shared_ptr<Completion> upload(const QUrl &file, const QUrl &resource)
    {
        const auto completion = std::make_shared<Completion>();
        ZEKNetworkController::uploadFile(file, resource, recordInto(completion));
        return completion;
    }

    TestHTTPServer server;
    const QTemporaryDir directory;
    const QString job = directory.filePath(u"job.pdf"_s);
};

TEST_F(ZEKNetworkControllerTest, RefusesArgumentsAtOnceWithoutTraffic)
{
    const QString link = directory.filePath(u"link.pdf"_s);
    ASSERT_EQ(::symlink(QFile::encodeName(job).constData(), QFile::encodeName(link).constData()),
              0);
    // Opening a FIFO that nobody writes to would wait for ever.
    const QString fifo = directory.filePath(u"fifo.pdf"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QUrl resource(server.URL(u"/echo"_s));

    const struct {
        QUrl file;
        QUrl resource = {};
        const char *description = "Missing file data";
    } rows[] = {
        {.file = QUrl::fromLocalFile(job), .description = "Missing resource url"},
        {.file = QUrl::fromLocalFile(directory.filePath(u"none.pdf"_s)), .resource = resource},
        {.file = QUrl(), .resource = resource},
        {.file = QUrl::fromLocalFile(link), .resource = resource},
        {.file = QUrl::fromLocalFile(fifo), .resource = resource},
        {.file = QUrl::fromLocalFile(directory.path()), .resource = resource},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file.toString().toStdString());
        const auto completion = upload(row.file, row.resource);
        EXPECT_EQ(completion->calls, 1);
        EXPECT_FALSE(completion->result.isValid());
        EXPECT_EQ(completion->error, zek::Error(u"com.zek.ZEKUploader"_s, 0,
                                                {{zek::NSLocalizedDescriptionKey,
                                                  QString::fromLatin1(row.description)}}));
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(ZEKNetworkControllerTest, ServerReceivesTheFileAsOnePart)
{
    // Redirected, the file is read again from its start for the second request.
    const struct {
        qsizetype size;
        QString resource;
    } rows[] = {
        {.size = 300 * 1024, .resource = u"/echo"_s},
        {.size = 0, .resource = u"/echo"_s},
        {.size = 300 * 1024, .resource = u"/redirect/2/307"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.resource.toStdString() + " " + std::to_string(row.size));
        const QByteArray contents = fileBytes(row.size);
        const QString path = directory.filePath(u"job_7 Report.pdf"_s);
        writeFile(path, contents);
        const QString saved = directory.filePath(u"received"_s);
        const auto completion =
            upload(QUrl::fromLocalFile(path), QUrl(server.URL(row.resource + u"?save="_s + saved)));
        EXPECT_EQ(completion->calls, 0);
        ASSERT_TRUE(waitUntil([&] { return completion->calls > 0; }));
        EXPECT_EQ(completion->calls, 1);
        EXPECT_TRUE(completion->onMainThread);
        ASSERT_FALSE(completion->error) << completion->error->code();
        const QVariantMap echo = completion->result.toMap();
        EXPECT_EQ(echo.value(u"method"_s).toString(), u"POST"_s);

        const ProcessResult parsed =
            runProcess(QStringLiteral(ZEK_PYTHON3),
                       {QStringLiteral(ZEK_PARSE_MULTIPART),
                        echo.value(u"headers"_s).toMap().value(u"Content-Type"_s).toString()},
                       readFile(saved.toStdString()));
        ASSERT_EQ(parsed.exitCode, 0) << parsed.standardError.toStdString();
        const QJsonArray parts = QJsonDocument::fromJson(parsed.standardOutput).array();
        ASSERT_EQ(parts.size(), 1);
        const QJsonObject part = parts.at(0).toObject();
        EXPECT_EQ(part.value(u"name"_s).toString(), u"file"_s);
        EXPECT_EQ(part.value(u"filename"_s).toString(), u"job_7%20Report.pdf"_s);
        EXPECT_EQ(part.value(u"type"_s).toString(), u"application/pdf"_s);
        EXPECT_EQ(QByteArray::fromHex(part.value(u"data"_s).toString().toLatin1()), contents);
    }
}

TEST_F(ZEKNetworkControllerTest, FailureCarriesTheReplyText)
{
    const ClosedPort closedPort;
    const struct {
        QString resource;
        qint64 code;
        QString resultLine = u"RESULT: status body"_s;
    } rows[] = {
        {.resource = server.URL(u"/status/500?type=text/plain"_s),
         .code = zek::NSURLErrorBadServerResponse},
        {.resource = server.URL(u"/status/200?type=application/json"_s),
         .code = zek::NSPropertyListReadCorruptError},
        {.resource = u"http://127.0.0.1:%1/print"_s.arg(closedPort.port()),
         .code = zek::NSURLErrorCannotConnectToHost,
         .resultLine = u"RESULT: (null)"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.resource.toStdString());
        const auto completion = upload(QUrl::fromLocalFile(job), QUrl(row.resource));
        ASSERT_TRUE(waitUntil([&] { return completion->calls > 0; }));
        EXPECT_EQ(completion->calls, 1);
        EXPECT_TRUE(completion->onMainThread);
        ASSERT_TRUE(completion->error);
        EXPECT_EQ(completion->error->code(), row.code);
        const QStringList lines =
            ZEKLog::uploadOutcomeLine(completion->result, completion->error).split(u'\n');
        ASSERT_EQ(lines.size(), 2);
        EXPECT_TRUE(lines[0].startsWith(u"ERROR(%1): "_s.arg(row.code))) << lines[0].toStdString();
        EXPECT_EQ(lines[1], row.resultLine);
    }
}

// zek-upload is this call on the command line.
TEST_F(ZEKNetworkControllerTest, ZekUploadPrintsTheLogLinesAndExitsWithTheOutcome)
{
    const QString echo = server.URL(u"/echo"_s);
    const QString refused = server.URL(u"/status/503"_s);

    // No first line: nothing printed.
    const struct {
        QStringList arguments;
        int exitCode = 1;
        QString firstLine = {};
        QString secondLinePrefix = {};
    } rows[] = {
        {.arguments = {job, echo},
         .exitCode = 0,
         .firstLine = u"Uploading to resource: "_s + echo,
         .secondLinePrefix = u"JSON: {\"headers\":"_s},
        {.arguments = {job, refused},
         .firstLine = u"Uploading to resource: "_s + refused,
         .secondLinePrefix = u"ERROR(-1011): "_s},
        {.arguments = {directory.filePath(u"none.pdf"_s), echo},
         .firstLine = u"Uploading to resource: "_s + echo,
         .secondLinePrefix = u"ERROR(0): Missing file data"_s},
        {.arguments = {job, u"not a URL"_s},
         .firstLine = u"Uploading to resource: (null)"_s,
         .secondLinePrefix = u"ERROR(0): Missing resource url"_s},
        {.arguments = {job}, .exitCode = 2},
    };
    const auto check = [&](const auto &row) {
        const ProcessResult result = runProcess(QStringLiteral(ZEK_UPLOAD_PATH), row.arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.standardError.toStdString();
        const QStringList lines = QString::fromUtf8(result.standardOutput).split(u'\n');
        if (row.firstLine.isEmpty()) {
            EXPECT_TRUE(result.standardOutput.isEmpty());
            return;
        }
        ASSERT_GE(lines.size(), 3) << result.standardOutput.toStdString();
        EXPECT_EQ(lines[0], row.firstLine);
        EXPECT_TRUE(lines[1].startsWith(row.secondLinePrefix)) << lines[1].toStdString();
        if (row.exitCode == 1) {
            EXPECT_TRUE(lines[2].startsWith(u"RESULT: "_s));
        }
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        check(row);
    }
}

} // namespace

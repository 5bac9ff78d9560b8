// The upload call and zek-upload against the local test server.

#include "ZEKNetworkController.h"

#include "EventLoop.h"
#include "ProcessRunner.h"
#include "SpoolFiles.h"
#include "TestHTTPServer.h"
#include "ZEKLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

} // namespace

TEST(ZEKNetworkController, RefusesArgumentsAtOnceWithoutTraffic)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const QTemporaryDir directory;
    const QString real = directory.filePath(u"real.pdf"_s);
    writeFile(real, "%PDF-1.4\n");
    const QString link = directory.filePath(u"link.pdf"_s);
    ASSERT_EQ(::symlink(QFile::encodeName(real).constData(), QFile::encodeName(link).constData()),
              0);
    // Opening a FIFO that nobody writes to would wait for ever.
    const QString fifo = directory.filePath(u"fifo.pdf"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QUrl resource(server.URL(u"/echo"_s));

    const struct {
        QUrl file;
        QUrl resource;
        const char *description;
    } rows[] = {
        {QUrl::fromLocalFile(real), QUrl(), "Missing resource url"},
        {QUrl::fromLocalFile(directory.filePath(u"none.pdf"_s)), resource, "Missing file data"},
        {QUrl(), resource, "Missing file data"},
        {QUrl::fromLocalFile(link), resource, "Missing file data"},
        {QUrl::fromLocalFile(fifo), resource, "Missing file data"},
        {QUrl::fromLocalFile(directory.path()), resource, "Missing file data"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file.toString().toStdString());
        const auto completion = std::make_shared<Completion>();
        ZEKNetworkController::uploadFile(row.file, row.resource, recordInto(completion));
        ASSERT_EQ(completion->calls, 1);
        EXPECT_FALSE(completion->result.isValid());
        ASSERT_TRUE(completion->error);
        EXPECT_EQ(completion->error->domain(), u"com.zek.ZEKUploader"_s);
        EXPECT_EQ(completion->error->code(), 0);
        EXPECT_EQ(
            completion->error->userInfo(),
            QVariantMap({{zek::NSLocalizedDescriptionKey, QString::fromLatin1(row.description)}}));
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST(ZEKNetworkController, ServerReceivesTheFileAsOnePart)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const QTemporaryDir directory;
    // Redirected, the file is read again from its start for the second request.
    const std::pair<qsizetype, QString> cases[] = {
        {300 * 1024, u"/echo"_s}, {0, u"/echo"_s}, {300 * 1024, u"/redirect/2/307"_s}};
    for (const auto &[size, resource] : cases) {
        SCOPED_TRACE(resource.toStdString() + " " + std::to_string(size));
        const QByteArray contents = fileBytes(size);
        const QString path = directory.filePath(u"job_7 Report.pdf"_s);
        writeFile(path, contents);
        const QString saved = directory.filePath(u"received"_s);
        const auto completion = std::make_shared<Completion>();
        ZEKNetworkController::uploadFile(QUrl::fromLocalFile(path),
                                         QUrl(server.URL(resource + u"?save="_s + saved)),
                                         recordInto(completion));
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

TEST(ZEKNetworkController, FailureCarriesTheReplyText)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const QTemporaryDir directory;
    const QString path = directory.filePath(u"job.pdf"_s);
    writeFile(path, "%PDF-1.4\n");
    const ClosedPort closedPort;
    const struct {
        QString resource;
        qint64 code;
        QString resultLine;
    } rows[] = {
        {server.URL(u"/status/500?type=text/plain"_s), zek::NSURLErrorBadServerResponse,
         u"RESULT: status body"_s},
        {server.URL(u"/status/200?type=application/json"_s), zek::NSPropertyListReadCorruptError,
         u"RESULT: status body"_s},
        {u"http://127.0.0.1:%1/print"_s.arg(closedPort.port()), zek::NSURLErrorCannotConnectToHost,
         u"RESULT: (null)"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.resource.toStdString());
        const auto completion = std::make_shared<Completion>();
        ZEKNetworkController::uploadFile(QUrl::fromLocalFile(path), QUrl(row.resource),
                                         recordInto(completion));
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

TEST(ZekUpload, PrintsTheLogLinesAndExitsWithTheOutcome)
{
    TestHTTPServer server;
    ASSERT_NE(server.port(), 0);
    const QTemporaryDir directory;
    const QString path = directory.filePath(u"job.pdf"_s);
    writeFile(path, "%PDF-1.4\n");
    const QString echo = server.URL(u"/echo"_s);
    const QString refused = server.URL(u"/status/503"_s);

    const struct {
        QStringList arguments;
        int exitCode;
        QString firstLine;
        QString secondLinePrefix;
    } rows[] = {
        {{path, echo}, 0, u"Uploading to resource: "_s + echo, u"JSON: {\"headers\":"_s},
        {{path, refused}, 1, u"Uploading to resource: "_s + refused, u"ERROR(-1011): "_s},
        {{directory.filePath(u"none.pdf"_s), echo},
         1,
         u"Uploading to resource: "_s + echo,
         u"ERROR(0): Missing file data"_s},
        {{path, u"not a URL"_s},
         1,
         u"Uploading to resource: (null)"_s,
         u"ERROR(0): Missing resource url"_s},
        {{path}, 2, {}, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        const ProcessResult result = runProcess(QStringLiteral(ZEK_UPLOAD_PATH), row.arguments);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.standardError.toStdString();
        const QStringList lines = QString::fromUtf8(result.standardOutput).split(u'\n');
        if (row.firstLine.isEmpty()) {
            EXPECT_TRUE(result.standardOutput.isEmpty());
            continue;
        }
        ASSERT_GE(lines.size(), 3) << result.standardOutput.toStdString();
        EXPECT_EQ(lines[0], row.firstLine);
        EXPECT_TRUE(lines[1].startsWith(row.secondLinePrefix)) << lines[1].toStdString();
        if (row.exitCode == 1) {
            EXPECT_TRUE(lines[2].startsWith(u"RESULT: "_s));
        }
    }
}

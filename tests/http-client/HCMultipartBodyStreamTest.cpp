// The multipart body: its exact bytes, its length, reading it in pieces,
// copies, throttling, parameters, file parts and their failures.

#include "HCStreamingMultipartFormData.h"
#include "MultipartSupport.h"
#include "SpoolFiles.h"
#include "StreamReading.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <functional>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray bodyOf(const HCURLRequest &request, quint64 capacity = 65536)
{
    return readWholeStream(bodyStreamOf(request), capacity).value_or("<read failed>");
}

// The opening of a form-data part, as every part but the first has it.
QByteArray partStart(const QByteArray &boundary, const QByteArray &disposition)
{
    return "\r\n--" + boundary + "\r\nContent-Disposition: form-data; " + disposition + "\r\n";
}

// A directory of the test's own for the files of file parts.
class HCMultipartBodyStreamTest : public testing::Test {
protected:
    QUrl fileWith(const QString &name, const QByteArray &bytes)
    {
        writeFile(directory.filePath(name), bytes);
        return QUrl::fromLocalFile(directory.filePath(name));
    }

    QTemporaryDir directory;
};

TEST_F(HCMultipartBodyStreamTest, TheUploadsOnePartByteForByte)
{
    for (const QString &fileName :
         {u"job_7 Report.pdf"_s, u"job_2%20Bericht%20%C3%A9.pdf"_s, u"Überweisung 日本.pdf"_s}) {
        for (const qsizetype size : {0, 1, 70000}) {
            SCOPED_TRACE(fileName.toStdString() + " " + std::to_string(size));
            const QByteArray data = sampleBytes(size);
            const HCURLRequest request = uploadRequest(fileName, data);
            const QByteArray boundary = boundaryOf(request).toUtf8();
            EXPECT_TRUE(QRegularExpression(u"^Boundary\\+[0-9A-F]{16}$"_s)
                            .match(boundaryOf(request))
                            .hasMatch());
            const QByteArray expected =
                "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                fileName.toUtf8() + "\"\r\nContent-Type: application/pdf\r\n\r\n" + data +
                "\r\n--" + boundary + "--\r\n";
            EXPECT_EQ(bodyOf(request), expected);
            EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Type"_s),
                      u"multipart/form-data; boundary="_s + boundaryOf(request));
            EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s),
                      QString::number(expected.size()));
        }
    }
    EXPECT_NE(boundaryOf(uploadRequest(u"a"_s, "x")), boundaryOf(uploadRequest(u"a"_s, "x")))
        << "one per builder";
}

TEST_F(HCMultipartBodyStreamTest, NoPartsNoBody)
{
    HCHTTPRequestSerializer serializer;
    serializer.setTimeoutInterval(15.0);
    const HCURLRequest request =
        multipartRequest([](HCMultipartFormData &) {}, QVariantMap{}, serializer);
    EXPECT_FALSE(request.HTTPBodyStream());
    EXPECT_TRUE(request.valueForHTTPHeaderField(u"Content-Type"_s).isNull());
    EXPECT_TRUE(request.valueForHTTPHeaderField(u"Content-Length"_s).isNull());
    EXPECT_EQ(request.timeoutInterval(), 15.0);
    EXPECT_FALSE(request.valueForHTTPHeaderField(u"User-Agent"_s).isNull());
}

TEST_F(HCMultipartBodyStreamTest, AnyReadCapacityAndAnyCopyGiveTheSameBytes)
{
    const QByteArray data = sampleBytes(3 * 1024 * 1024 + 17);
    const HCURLRequest request = multipartRequest(
        [&](HCMultipartFormData &formData) {
            formData.appendPartWithFileData(data, u"file"_s, u"big.pdf"_s, u"application/pdf"_s);
            formData.appendPartWithFormData(QByteArray(), u"empty"_s);
        },
        QVariantMap{{u"p"_s, 1}});
    const QByteArray boundary = boundaryOf(request).toUtf8();
    const QByteArray expected =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"p\"\r\n\r\n1" +
        partStart(boundary, "name=\"file\"; filename=\"big.pdf\"") +
        "Content-Type: application/pdf\r\n\r\n" + data + partStart(boundary, "name=\"empty\"") +
        "\r\n\r\n--" + boundary + "--\r\n";
    auto &stream = bodyStreamOf(request);
    EXPECT_EQ(static_cast<quint64>(expected.size()), stream.contentLength());
    for (const quint64 capacity : {1ULL, 7ULL, 4096ULL, 1ULL << 20}) {
        EXPECT_EQ(*readWholeStream(*stream.copy(), capacity), expected) << capacity;
    }
    EXPECT_EQ(*readWholeStream(stream, 4096), expected);
    EXPECT_EQ(*readWholeStream(*stream.copy(), 4096), expected) << "a copy of a spent stream";
    EXPECT_EQ(*readWholeStream(stream, 4096), QByteArray()) << "reopened, its parts are spent";
}

TEST_F(HCMultipartBodyStreamTest, StreamStatusAndAvailability)
{
    const HCURLRequest request = uploadRequest(u"a.pdf"_s, "data");
    auto &stream = bodyStreamOf(request);
    char buffer[512];
    EXPECT_EQ(stream.streamStatus(), zek::StreamStatus::NotOpen);
    EXPECT_FALSE(stream.hasBytesAvailable());
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0) << "no reading before open";
    stream.open();
    EXPECT_TRUE(stream.hasBytesAvailable());
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 153 + 5 + 4);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);
    EXPECT_EQ(stream.streamStatus(), zek::StreamStatus::Open) << "the end does not change it";
    stream.close();
    EXPECT_FALSE(stream.hasBytesAvailable());
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);
}

TEST_F(HCMultipartBodyStreamTest, APacketSizeLimitsReadsToWholeParts)
{
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithFormData("1", u"a"_s);
        formData.appendPartWithFormData("22", u"b"_s);
        formData.throttleBandwidthWithPacketSize(1, 0.0);
    });
    auto &stream = bodyStreamOf(request);
    const auto unthrottled = stream.copy();
    char buffer[4096];
    stream.open();
    const qint64 first = stream.read(buffer, sizeof buffer);
    EXPECT_GT(first, 1) << "a part read once begun is not cut";
    EXPECT_EQ(static_cast<quint64>(first + stream.read(buffer, sizeof buffer)),
              stream.contentLength());
    unthrottled->open();
    EXPECT_EQ(static_cast<quint64>(unthrottled->read(buffer, sizeof buffer)),
              stream.contentLength())
        << "throttling is not copied";
}

// Every part but the first opens with the encapsulation boundary; a part per parameter comes
// before the block's parts.
TEST_F(HCMultipartBodyStreamTest, ParametersAndTheBlocksParts)
{
    HCHTTPRequestSerializer ascii;
    ascii.setStringEncoding(zek::NSASCIIStringEncoding);
    const HCURLRequest request = multipartRequest(
        [](HCMultipartFormData &formData) {
            formData.appendPartWithFormData("one", u"f"_s);
            formData.appendPartWithFileData("two", u"g"_s, u"g.txt"_s, QString()); // no type
            formData.appendPartWithHeaders({{u"X-Note"_s, u"1"_s}, {u"Content-Type"_s, u"t/x"_s}},
                                           "3");
        },
        QVariantMap{{u"b"_s, QVariantList{u"x"_s, u"y"_s}},
                    {u"a"_s, 1},
                    {u"n"_s, QVariant::fromValue(nullptr)},
                    {u"raw"_s, QByteArray("\x00\xFF", 2)},
                    {u"u"_s, u"ö"_s}}, // no form in ASCII: left out
        ascii);
    const QByteArray boundary = boundaryOf(request).toUtf8();
    const auto part = [&](const QByteArray &name, const QByteArray &value) {
        return partStart(boundary, "name=\"" + name + "\"") + "\r\n" + value;
    };
    EXPECT_EQ(bodyOf(request),
              "--" + boundary + "\r\nContent-Disposition: form-data; name=\"a\"" + "\r\n\r\n1" +
                  part("b[]", "x") + part("b[]", "y") + part("n", "") +
                  part("raw", QByteArray("\x00\xFF", 2)) + part("f", "one") +
                  part("g\"; filename=\"g.txt", "two") + "\r\n--" + boundary +
                  "\r\nContent-Type: t/x\r\nX-Note: 1\r\n\r\n3" + "\r\n--" + boundary + "--\r\n");
}

TEST_F(HCMultipartBodyStreamTest, AFilePartsNameAndTypeComeFromTheFile)
{
    const QByteArray pdf = "%PDF-1.4\n" + sampleBytes(2000);
    const QUrl pdfURL = fileWith(u"scan 1.pdf"_s, pdf);
    const QUrl otherURL = fileWith(u"notes.zzqq"_s, "abc");
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        EXPECT_TRUE(formData.appendPartWithFileURL(pdfURL, u"file"_s, nullptr));
        EXPECT_TRUE(formData.appendPartWithFileURL(otherURL, u"other"_s, nullptr));
    });
    const QByteArray body = bodyOf(request);
    EXPECT_TRUE(body.contains("name=\"file\"; filename=\"scan 1.pdf\"\r\n"
                              "Content-Type: application/pdf\r\n\r\n" +
                              pdf + "\r\n--"));
    EXPECT_TRUE(body.contains("name=\"other\"; filename=\"notes.zzqq\"\r\n"
                              "Content-Type: application/octet-stream\r\n\r\nabc\r\n--"));
    EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s), QString::number(body.size()));
}

TEST_F(HCMultipartBodyStreamTest, NonFileURLsAndMissingFilesAreRefused)
{
    const std::pair<QUrl, QString> cases[] = {
        {QUrl(u"http://127.0.0.1/a.pdf"_s), u"Expected URL to be a file URL"_s},
        {QUrl::fromLocalFile(directory.filePath(u"gone.pdf"_s)), u"File URL not reachable."_s},
    };
    for (const auto &[URL, reason] : cases) {
        std::optional<zek::Error> error;
        HCStreamingMultipartFormData formData(HCURLRequest(), zek::NSUTF8StringEncoding);
        EXPECT_FALSE(formData.appendPartWithFileURL(URL, u"f"_s, u"a.pdf"_s, u"a/b"_s, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), HCURLRequestSerializationErrorDomain);
        EXPECT_EQ(error->code(), -1000);
        EXPECT_EQ(error->userInfo().value(zek::NSLocalizedFailureReasonErrorKey).toString(),
                  reason);
        EXPECT_FALSE(formData.requestByFinalizingMultipartFormData().HTTPBodyStream())
            << "no part was added";
    }
}

TEST_F(HCMultipartBodyStreamTest, AFileThatCannotBeReadEndsTheReadWithItsError)
{
    // A directory exists and opens, but reading it fails.
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        formData.appendPartWithFormData("before", u"a"_s);
        formData.appendPartWithFileURL(QUrl::fromLocalFile(directory.path()), u"d"_s, nullptr);
    });
    auto &stream = bodyStreamOf(request);
    stream.open();
    char buffer[4096];
    const qint64 count = stream.read(buffer, sizeof buffer);
    EXPECT_TRUE(QByteArray(buffer, count).endsWith("before")) << "what came before is delivered";
    ASSERT_TRUE(stream.streamError());
    EXPECT_EQ(stream.streamError()->domain(), zek::NSPOSIXErrorDomain);
    EXPECT_EQ(stream.streamError()->code(), EISDIR);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), -1) << "the body does not end as if complete";
}

// A job file that another process shortens or lengthens after it was measured
// would go out as a body other than the one announced: the read fails instead.
TEST_F(HCMultipartBodyStreamTest, AFileThatChangedLengthFailsTheBody)
{
    const QByteArray pdf = "%PDF-1.4\n" + sampleBytes(100000);
    for (const QByteArray &now : {pdf.left(5000), pdf + "more"}) {
        const QUrl URL = fileWith(u"job.pdf"_s, pdf);
        const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
            formData.appendPartWithFileURL(URL, u"file"_s, nullptr);
        });
        writeFile(URL.toLocalFile(), now);
        auto &stream = bodyStreamOf(request);
        stream.open();
        QByteArray delivered;
        char buffer[4096];
        for (qint64 count; (count = stream.read(buffer, sizeof buffer)) > 0;) {
            delivered.append(buffer, count);
        }
        EXPECT_LT(delivered.size(),
                  request.valueForHTTPHeaderField(u"Content-Length"_s).toLongLong());
        ASSERT_TRUE(stream.streamError());
        EXPECT_EQ(stream.streamError()->code(), zek::NSURLErrorRequestBodyStreamExhausted);
        EXPECT_EQ(stream.read(buffer, sizeof buffer), -1);
    }
}

// Boundaries, part headers and parameters are text in the string encoding;
// in one the client cannot produce (10, UTF-16) they would come out empty.
// Nothing is built or sent then, and the error says why.
TEST_F(HCMultipartBodyStreamTest, AnUnavailableEncodingRefusesRequestsAndBodiesWithTheReason)
{
    constexpr zek::NSStringEncoding kUTF16 = 10;
    const QString URL = u"http://127.0.0.1/up"_s;
    const QVariantMap parameters{{u"a"_s, u"x y"_s}};
    HCHTTPRequestSerializer serializer;
    serializer.setStringEncoding(kUTF16);
    // Each attempt answers whether it was refused.
    using Attempt = std::function<bool(std::optional<zek::Error> *)>;
    const auto request = [&](const QString &method) -> Attempt {
        return [&, method](std::optional<zek::Error> *error) {
            return !serializer.requestWithMethod(method, URL, parameters, error);
        };
    };
    const QString forParameters = u"The parameters cannot be encoded in string encoding 10."_s;
    const std::pair<Attempt, QString> cases[] = {
        {request(u"GET"_s), forParameters},
        {request(u"POST"_s), forParameters},
        {[&](std::optional<zek::Error> *error) {
             return !serializer.multipartFormRequestWithMethod(u"POST"_s, URL, parameters, nullptr,
                                                               error);
         },
         forParameters},
        {[](std::optional<zek::Error> *error) {
             HCStreamingMultipartFormData formData(HCURLRequest(), kUTF16);
             formData.appendPartWithFormData("x", u"a"_s);
             const HCURLRequest request = formData.requestByFinalizingMultipartFormData();
             auto &stream = bodyStreamOf(request);
             stream.open();
             char buffer[4096];
             // Not one byte of a body without its framing, and no end either.
             const bool refused = stream.read(buffer, sizeof buffer) == -1 &&
                                  stream.read(buffer, sizeof buffer) == -1;
             *error = stream.streamError();
             return refused;
         },
         u"The multipart body cannot be written in string encoding 10."_s},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::optional<zek::Error> error;
        EXPECT_TRUE(cases[i].first(&error)) << "case " << i;
        EXPECT_EQ(error, zek::Error(HCURLRequestSerializationErrorDomain,
                                    HCURLRequestSerializationErrorUnavailableStringEncoding,
                                    {{zek::NSLocalizedDescriptionKey, cases[i].second}}))
            << "case " << i;
    }
}

} // namespace

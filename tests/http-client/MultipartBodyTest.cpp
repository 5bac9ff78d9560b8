// The multipart body: its exact bytes, its length, reading it in pieces,
// copies, throttling, file parts and their failures.

#include "DataInputStream.h"
#include "HCStreamingMultipartFormData.h"
#include "MultipartSupport.h"
#include "StreamReading.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const QString kURL = u"http://127.0.0.1:5004/upload"_s;

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

HCURLRequest multipartRequest(const HCConstructingBodyBlock &block,
                              const std::optional<QVariantMap> &parameters = std::nullopt)
{
    return HCHTTPRequestSerializer().multipartFormRequestWithMethod(u"POST"_s, kURL, parameters,
                                                                    block, nullptr);
}

QByteArray bodyOf(const HCURLRequest &request, quint64 capacity = 65536)
{
    return readWholeStream(bodyStreamOf(request), capacity).value_or("<read failed>");
}

// --- The exact bytes -----------------------------------------------------------

TEST(ByteFormat, TheUploadsOnePart)
{
    const QByteArray data = sampleBytes(1000);
    const HCURLRequest request = uploadRequest(u"job_7 Report.pdf"_s, data);
    const QByteArray boundary = utf8(boundaryOf(request));
    EXPECT_TRUE(
        QRegularExpression(u"^Boundary\\+[0-9A-F]{16}$"_s).match(boundaryOf(request)).hasMatch())
        << boundary.constData();

    const QByteArray expected = "--" + boundary + "\r\n" +
                                "Content-Disposition: form-data; name=\"file\"; "
                                "filename=\"job_7 Report.pdf\"\r\n"
                                "Content-Type: application/pdf\r\n"
                                "\r\n" +
                                data + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(bodyOf(request), expected);
    EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Type"_s),
              u"multipart/form-data; boundary="_s + boundaryOf(request));
    EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s),
              QString::number(expected.size()));
    EXPECT_EQ(request.HTTPMethod(), u"POST"_s);
    EXPECT_EQ(request.URL().toString(), u"http://127.0.0.1:5004/api/laser/json/print/pdf"_s);
}

TEST(ByteFormat, LaterPartsOpenWithTheEncapsulationBoundary)
{
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithFormData("one", u"a"_s);
        formData.appendPartWithFileData("two", u"b"_s, u"b.txt"_s, QString());
    });
    const QByteArray boundary = utf8(boundaryOf(request));
    EXPECT_EQ(bodyOf(request), "--" + boundary + "\r\n" +
                                   "Content-Disposition: form-data; name=\"a\"\r\n\r\none"
                                   "\r\n--" +
                                   boundary + "\r\n" +
                                   "Content-Disposition: form-data; name=\"b\"; "
                                   "filename=\"b.txt\"\r\n\r\ntwo"
                                   "\r\n--" +
                                   boundary + "--\r\n");
}

TEST(ByteFormat, PartsWithTheirOwnHeaders)
{
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithHeaders({{u"X-Note"_s, u"1"_s}, {u"Content-Type"_s, u"text/x"_s}},
                                       "body");
    });
    const QByteArray boundary = utf8(boundaryOf(request));
    EXPECT_EQ(bodyOf(request), "--" + boundary + "\r\nContent-Type: text/x\r\nX-Note: 1\r\n\r\n" +
                                   "body\r\n--" + boundary + "--\r\n");
}

TEST(ByteFormat, EveryBuilderHasItsOwnBoundary)
{
    EXPECT_NE(boundaryOf(uploadRequest(u"a.pdf"_s, "x")),
              boundaryOf(uploadRequest(u"a.pdf"_s, "x")));
}

TEST(ByteFormat, NoPartsNoBody)
{
    HCHTTPRequestSerializer serializer;
    serializer.setTimeoutInterval(15.0);
    const HCURLRequest request = serializer.multipartFormRequestWithMethod(
        u"POST"_s, kURL, QVariantMap{}, [](HCMultipartFormData &) {}, nullptr);
    EXPECT_FALSE(request.HTTPBodyStream());
    EXPECT_TRUE(request.valueForHTTPHeaderField(u"Content-Type"_s).isNull());
    EXPECT_TRUE(request.valueForHTTPHeaderField(u"Content-Length"_s).isNull());
    EXPECT_EQ(request.timeoutInterval(), 15.0);
    EXPECT_FALSE(request.valueForHTTPHeaderField(u"User-Agent"_s).isNull());
}

// Names and file names cannot end their quoted value or their header line.
TEST(ByteFormat, LineBreaksAndQuotesInNamesAreEscaped)
{
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithFileData("x", u"n\"\r\nX-Injected: 1"_s, u"f.pdf\"\r\n\r\n--fake"_s,
                                        u"application/pdf"_s);
    });
    const QByteArray body = bodyOf(request);
    EXPECT_TRUE(body.contains("Content-Disposition: form-data; name=\"n%22%0D%0AX-Injected: 1\"; "
                              "filename=\"f.pdf%22%0D%0A%0D%0A--fake\"\r\n"))
        << body.constData();
    EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s), QString::number(body.size()));
}

// --- Length --------------------------------------------------------------------

TEST(ContentLength, TheUploadIs153BytesPlusNameAndFile)
{
    for (const QString &fileName :
         {u"job_1 Report.pdf"_s, u"job_2%20Bericht%20%C3%A9.pdf"_s, u"Überweisung 日本.pdf"_s}) {
        for (const qsizetype size : {0, 1, 70000}) {
            const HCURLRequest request = uploadRequest(fileName, sampleBytes(size));
            const qsizetype expected = 153 + fileName.toUtf8().size() + size;
            EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s),
                      QString::number(expected))
                << fileName.toStdString() << " " << size;
            EXPECT_EQ(bodyOf(request).size(), expected);
        }
    }
}

TEST(ContentLength, AStreamPartCountsItsDeclaredLength)
{
    const QByteArray data = sampleBytes(300);
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        formData.appendPartWithInputStream(std::make_shared<zek::DataInputStream>(data), u"s"_s,
                                           u"s.bin"_s, 300, u"application/octet-stream"_s);
    });
    const QByteArray body = bodyOf(request);
    EXPECT_TRUE(body.contains(data));
    EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s), QString::number(body.size()));
}

// --- Reading ---------------------------------------------------------------------

TEST(Reading, AnyCapacityGivesTheSameBytes)
{
    const QByteArray data = sampleBytes(3 * 1024 * 1024 + 17);
    const HCURLRequest request = multipartRequest(
        [&](HCMultipartFormData &formData) {
            formData.appendPartWithFormData("v", u"first"_s);
            formData.appendPartWithFileData(data, u"file"_s, u"big.pdf"_s, u"application/pdf"_s);
            formData.appendPartWithFormData(QByteArray(), u"empty"_s);
        },
        QVariantMap{{u"p"_s, 1}});
    const QByteArray boundary = utf8(boundaryOf(request));
    const QByteArray disposition =
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=";
    const QByteArray expected =
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"p\"\r\n\r\n1" + disposition +
        "\"first\"\r\n\r\nv" + disposition +
        "\"file\"; filename=\"big.pdf\"\r\nContent-Type: application/pdf\r\n\r\n" + data +
        disposition + "\"empty\"\r\n\r\n" + "\r\n--" + boundary + "--\r\n";
    auto &stream = bodyStreamOf(request);
    EXPECT_EQ(static_cast<quint64>(expected.size()), stream.contentLength());

    for (const quint64 capacity : {1ULL, 7ULL, 4096ULL, 1ULL << 20}) {
        EXPECT_EQ(*readWholeStream(*stream.copy(), capacity), expected) << capacity;
    }
    EXPECT_EQ(*readWholeStream(stream, 4096), expected) << "the original itself";
}

TEST(Reading, EveryByteSplitResumesInPlace)
{
    // Reads of every size from 1 to 40 over a small body cross each boundary
    // and header block at every offset.
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithFormData("ab", u"x"_s);
        formData.appendPartWithFileData("cde", u"y"_s, u"y.pdf"_s, u"application/pdf"_s);
    });
    const QByteArray expected = *readWholeStream(*bodyStreamOf(request).copy(), 1 << 16);
    for (quint64 capacity = 1; capacity <= 40; ++capacity) {
        EXPECT_EQ(*readWholeStream(*bodyStreamOf(request).copy(), capacity), expected) << capacity;
    }
}

TEST(Reading, StatusAndAvailability)
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
    EXPECT_EQ(stream.streamStatus(), zek::StreamStatus::Closed);
    EXPECT_FALSE(stream.hasBytesAvailable());
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);
}

TEST(Reading, ACopyDeliversTheBodyAgainAndTheOriginalIsSpent)
{
    const HCURLRequest request = uploadRequest(u"a.pdf"_s, sampleBytes(5000));
    auto &stream = bodyStreamOf(request);
    const QByteArray first = *readWholeStream(stream);
    ASSERT_EQ(first.size(), 153 + 5 + 5000);

    const auto copy = stream.copy();
    EXPECT_EQ(copy->streamStatus(), zek::StreamStatus::NotOpen);
    EXPECT_EQ(*readWholeStream(*copy), first);
    EXPECT_EQ(*readWholeStream(stream), QByteArray()) << "reopened, its parts are spent";
}

TEST(Reading, APacketSizeLimitsReadsToWholeParts)
{
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithFormData("1", u"a"_s);
        formData.appendPartWithFormData("22", u"b"_s);
        formData.throttleBandwidthWithPacketSize(1, 0.0);
    });
    auto &stream = bodyStreamOf(request);
    EXPECT_EQ(stream.numberOfBytesInPacket(), 1u);
    const quint64 total = stream.contentLength();
    const auto unthrottled = stream.copy();

    stream.open();
    char buffer[4096];
    const qint64 first = stream.read(buffer, sizeof buffer);
    const qint64 second = stream.read(buffer, sizeof buffer);
    EXPECT_GT(first, 1) << "a part read once begun is not cut";
    EXPECT_EQ(static_cast<quint64>(first + second), total);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), 0);

    unthrottled->open();
    EXPECT_EQ(static_cast<quint64>(unthrottled->read(buffer, sizeof buffer)), total)
        << "throttling is not copied";
}

// --- Parameters on the multipart path -----------------------------------------------

TEST(Parameters, EachPairBecomesAPartBeforeTheBlocksParts)
{
    const HCURLRequest request = multipartRequest(
        [](HCMultipartFormData &formData) { formData.appendPartWithFormData("last", u"z"_s); },
        QVariantMap{{u"b"_s, QVariantList{u"x"_s, u"y"_s}},
                    {u"a"_s, 1},
                    {u"n"_s, QVariant::fromValue(nullptr)},
                    {u"raw"_s, QByteArray("\x00\xFF", 2)}});
    const QByteArray boundary = utf8(boundaryOf(request));
    const auto part = [&](const char *name, const QByteArray &value, bool first = false) {
        return (first ? "--" : "\r\n--") + boundary +
               "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
    };
    EXPECT_EQ(bodyOf(request), part("a", "1", true) + part("b[]", "x") + part("b[]", "y") +
                                   part("n", "") + part("raw", QByteArray("\x00\xFF", 2)) +
                                   part("z", "last") + "\r\n--" + boundary + "--\r\n");
}

TEST(Parameters, ValuesWithoutAFormInTheEncodingAreLeftOut)
{
    HCHTTPRequestSerializer serializer;
    serializer.setStringEncoding(zek::NSASCIIStringEncoding);
    const HCURLRequest request = serializer.multipartFormRequestWithMethod(
        u"POST"_s, kURL, QVariantMap{{u"a"_s, u"ok"_s}, {u"b"_s, u"ö"_s}}, {}, nullptr);
    const QByteArray body = bodyOf(request);
    EXPECT_TRUE(body.contains("name=\"a\""));
    EXPECT_FALSE(body.contains("name=\"b\""));
}

// --- File parts ---------------------------------------------------------------------

class FileParts : public testing::Test {
protected:
    QUrl writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = directory.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return QUrl::fromLocalFile(path);
    }

    QTemporaryDir directory;
};

TEST_F(FileParts, NameAndTypeComeFromTheFile)
{
    const QByteArray pdf = "%PDF-1.4\n" + sampleBytes(2000);
    const QUrl pdfURL = writeFile(u"scan 1.pdf"_s, pdf);
    const QUrl otherURL = writeFile(u"notes.zzqq"_s, "abc");
    std::optional<zek::Error> error;
    bool appended = false;
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        appended = formData.appendPartWithFileURL(pdfURL, u"file"_s, &error) &&
                   formData.appendPartWithFileURL(otherURL, u"other"_s, &error);
    });
    ASSERT_TRUE(appended);
    EXPECT_FALSE(error);
    const QByteArray body = bodyOf(request);
    EXPECT_TRUE(body.contains("name=\"file\"; filename=\"scan 1.pdf\"\r\n"
                              "Content-Type: application/pdf\r\n\r\n" +
                              pdf + "\r\n--"));
    EXPECT_TRUE(body.contains("name=\"other\"; filename=\"notes.zzqq\"\r\n"
                              "Content-Type: application/octet-stream\r\n\r\nabc\r\n--"));
    EXPECT_EQ(request.valueForHTTPHeaderField(u"Content-Length"_s), QString::number(body.size()));
}

TEST_F(FileParts, ANonFileURLIsRefused)
{
    std::optional<zek::Error> error;
    bool appended = true;
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        appended = formData.appendPartWithFileURL(QUrl(u"http://127.0.0.1/a.pdf"_s), u"f"_s,
                                                  u"a.pdf"_s, u"application/pdf"_s, &error);
    });
    EXPECT_FALSE(appended);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), HCURLRequestSerializationErrorDomain);
    EXPECT_EQ(error->code(), -1000);
    EXPECT_EQ(error->userInfo().value(zek::NSLocalizedFailureReasonErrorKey).toString(),
              u"Expected URL to be a file URL"_s);
    EXPECT_FALSE(request.HTTPBodyStream()) << "no part was added";
}

TEST_F(FileParts, AMissingFileIsRefused)
{
    std::optional<zek::Error> error;
    HCStreamingMultipartFormData formData(HCURLRequest(QUrl(kURL)), zek::NSUTF8StringEncoding);
    EXPECT_FALSE(formData.appendPartWithFileURL(
        QUrl::fromLocalFile(directory.filePath(u"gone.pdf"_s)), u"f"_s, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), zek::NSURLErrorBadURL);
    EXPECT_EQ(error->userInfo().value(zek::NSLocalizedFailureReasonErrorKey).toString(),
              u"File URL not reachable."_s);
    EXPECT_FALSE(formData.requestByFinalizingMultipartFormData().HTTPBodyStream());
    EXPECT_FALSE(formData.appendPartWithFileURL(QUrl(u"ftp://h/x"_s), u"f"_s, nullptr))
        << "no error slot is fine";
}

TEST_F(FileParts, AFileThatCannotBeReadEndsTheReadWithItsError)
{
    // A directory exists and opens, but reading it fails.
    const HCURLRequest request = multipartRequest([&](HCMultipartFormData &formData) {
        formData.appendPartWithFormData("before", u"a"_s);
        ASSERT_TRUE(formData.appendPartWithFileURL(QUrl::fromLocalFile(directory.path()), u"d"_s,
                                                   u"d"_s, u"application/pdf"_s, nullptr));
    });
    auto &stream = bodyStreamOf(request);
    stream.open();
    char buffer[4096];
    const qint64 count = stream.read(buffer, sizeof buffer);
    EXPECT_TRUE(QByteArray(buffer, count).endsWith("before"))
        << "the bytes before the failing part are delivered";
    ASSERT_TRUE(stream.streamError());
    EXPECT_EQ(stream.streamError()->domain(), zek::NSPOSIXErrorDomain);
    EXPECT_EQ(stream.streamError()->code(), EISDIR);
    EXPECT_EQ(stream.streamStatus(), zek::StreamStatus::Open);
}

} // namespace

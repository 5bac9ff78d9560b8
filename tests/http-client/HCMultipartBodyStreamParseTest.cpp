// Bodies built here, parsed by a multipart parser we did not write (Python's
// standard email package): every part's name, file name, type and bytes
// must come back.

#include "MultipartSupport.h"
#include "ProcessRunner.h"
#include "StreamReading.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

struct ParsedPart {
    QString name;
    QString fileName; // null when the part has none
    QString type;     // null when the part has none
    QByteArray data;

    bool operator==(const ParsedPart &) const = default;
};

void PrintTo(const ParsedPart &part, std::ostream *out)
{
    *out << "{" << part.name.toStdString() << ", " << part.fileName.toStdString() << ", "
         << part.type.toStdString() << ", " << part.data.size() << " bytes}";
}

QString nullableString(const QJsonValue &value)
{
    return value.isNull() ? QString() : value.toString();
}

// The parts as the independent parser sees them; empty when it refuses the body.
std::vector<ParsedPart> parsedParts(const HCURLRequest &request)
{
    const auto body = readWholeStream(bodyStreamOf(request));
    EXPECT_TRUE(body);
    const ProcessResult result = runProcess(
        QStringLiteral(ZEK_PYTHON3),
        {QStringLiteral(ZEK_PARSE_MULTIPART), request.valueForHTTPHeaderField(u"Content-Type"_s)},
        body.value_or(QByteArray()));
    EXPECT_EQ(result.exitCode, 0) << result.standardError.constData();
    std::vector<ParsedPart> parts;
    for (const QJsonValue &value : QJsonDocument::fromJson(result.standardOutput).array()) {
        const QJsonObject part = value.toObject();
        parts.push_back({part[u"name"_s].toString(), nullableString(part[u"filename"_s]),
                         nullableString(part[u"type"_s]),
                         QByteArray::fromHex(part[u"data"_s].toString().toLatin1())});
    }
    return parts;
}

// File names with spaces, UTF-8, escapes and quotes; data that holds something like a boundary.
TEST(HCMultipartBodyStreamParseTest, AnIndependentParserReadsSeveralPartsAndParameters)
{
    const QByteArray first = "%PDF-1.7\r\n" + sampleBytes(200000, 3) + "\r\n--Boundary+\r\n%%EOF";
    const QByteArray second = sampleBytes(17, 4);
    const HCURLRequest request = multipartRequest(
        [&](HCMultipartFormData &formData) {
            formData.appendPartWithFileData(first, u"file"_s, u"my scan  2.pdf"_s,
                                            u"application/pdf"_s);
            formData.appendPartWithFileData(second, u"extra"_s, u"Überweisung – 日本.bin"_s,
                                            QString());
            formData.appendPartWithFileData(second, u"third"_s, u"job_3%20Plan%22final%22.pdf"_s,
                                            u"application/pdf"_s);
            formData.appendPartWithFormData(QByteArray(), u"empty"_s);
        },
        QVariantMap{{u"copies"_s, 2}, {u"tags"_s, QVariantList{u"a"_s, u"b c"_s}}});
    EXPECT_EQ(parsedParts(request),
              (std::vector<ParsedPart>{
                  {u"copies"_s, {}, {}, "2"},
                  {u"tags[]"_s, {}, {}, "a"},
                  {u"tags[]"_s, {}, {}, "b c"},
                  {u"file"_s, u"my scan  2.pdf"_s, u"application/pdf"_s, first},
                  {u"extra"_s, u"Überweisung – 日本.bin"_s, {}, second},
                  {u"third"_s, u"job_3%20Plan%22final%22.pdf"_s, u"application/pdf"_s, second},
                  {u"empty"_s, {}, {}, {}},
              }));
}

// Quotes and line breaks cannot break out of the header: the parser still
// finds exactly one part, with the escaped names.
TEST(HCMultipartBodyStreamParseTest, NamesCannotForgeHeadersOrParts)
{
    const HCURLRequest request = multipartRequest([](HCMultipartFormData &formData) {
        formData.appendPartWithFileData(
            "x", u"a\"\r\nX-Injected: 1"_s,
            u"say \"hi\"\r\n\r\n--fake\r\nContent-Type: text/html.pdf"_s, u"application/pdf"_s);
    });
    EXPECT_EQ(parsedParts(request),
              (std::vector<ParsedPart>{
                  {u"a%22%0D%0AX-Injected: 1"_s,
                   u"say %22hi%22%0D%0A%0D%0A--fake%0D%0AContent-Type: text/html.pdf"_s,
                   u"application/pdf"_s, "x"}}));
}

} // namespace

// A multipart body built from arbitrary part names, file names and contents,
// read with arbitrary read sizes, is exactly the body that a separate writer
// here makes from the same parts: as many bytes as "Content-Length" says, the
// same bytes whatever the read sizes. A body whose source changed length
// after it was measured never goes out whole.

#include "DataInputStream.h"
#include "FuzzCheck.h"
#include "HCStreamingMultipartFormData.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

enum class Kind { FormData, FileData, Stream, File };

struct Part {
    Kind kind;
    QString name;
    QString fileName;
    QByteArray body;
    // For Stream and File parts: bytes the source really has, which may
    // differ from body.size() (the announced length).
    QByteArray source;
};

QString textFrom(FuzzedDataProvider &data)
{
    const std::string bytes = data.ConsumeRandomLengthString(48);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QByteArray bytesFrom(FuzzedDataProvider &data)
{
    const std::string bytes = data.ConsumeRandomLengthString(4096);
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The source of a Stream or File part: usually its announced bytes, now and
// then a shorter or longer version of them.
QByteArray sourceFrom(FuzzedDataProvider &data, const QByteArray &body)
{
    switch (data.ConsumeIntegralInRange(0, 7)) {
    case 0:
        return body.left(data.ConsumeIntegralInRange<qsizetype>(0, body.size()));
    case 1:
        return body + bytesFrom(data) + 'x';
    default:
        return body;
    }
}

QString quoted(QString text)
{
    text.replace(u'\r', u"%0D"_s).replace(u'\n', u"%0A"_s).replace(u'"', u"%22"_s);
    return u'"' + text + u'"';
}

// The body as it must be, written from the parts by the rules of the format.
QByteArray expectedBody(const QList<Part> &parts, const QString &boundary)
{
    QByteArray body;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const Part &part = parts[i];
        body += (i == 0 ? u"--"_s : u"\r\n--"_s).toUtf8() + boundary.toUtf8() + "\r\n";
        QString disposition = u"form-data; name="_s + quoted(part.name);
        if (part.kind != Kind::FormData) {
            disposition += u"; filename="_s + quoted(part.fileName);
        }
        body += (u"Content-Disposition: "_s + disposition + u"\r\n"_s).toUtf8();
        if (part.kind != Kind::FormData) {
            body += "Content-Type: application/pdf\r\n";
        }
        body += "\r\n" + part.body;
    }
    return body + "\r\n--" + boundary.toUtf8() + "--\r\n";
}

QTemporaryDir &scratch()
{
    static QTemporaryDir directory;
    return directory;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzedDataProvider data(bytes, size);
    QList<Part> parts;
    for (int n = data.ConsumeIntegralInRange(1, 5); n > 0; --n) {
        Part part{static_cast<Kind>(data.ConsumeIntegralInRange(0, 3)),
                  textFrom(data),
                  textFrom(data),
                  bytesFrom(data),
                  {}};
        if (part.kind == Kind::Stream || part.kind == Kind::File) {
            part.source = sourceFrom(data, part.body);
        }
        parts.append(part);
    }
    std::vector<quint64> readSizes;
    for (int n = data.ConsumeIntegralInRange(1, 8); n > 0; --n) {
        readSizes.push_back(data.ConsumeIntegralInRange<quint64>(1, 9000));
    }

    HCStreamingMultipartFormData formData(HCURLRequest(QUrl(u"http://device.invalid/print"_s)),
                                          zek::NSUTF8StringEncoding);
    bool sourcesTrue = true;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const Part &part = parts[i];
        switch (part.kind) {
        case Kind::FormData:
            formData.appendPartWithFormData(part.body, part.name);
            break;
        case Kind::FileData:
            formData.appendPartWithFileData(part.body, part.name, part.fileName,
                                            u"application/pdf"_s);
            break;
        case Kind::Stream:
            formData.appendPartWithInputStream(
                std::make_shared<zek::DataInputStream>(part.source), part.name, part.fileName,
                static_cast<quint64>(part.body.size()), u"application/pdf"_s);
            break;
        case Kind::File: {
            // Measured as it is at first, then changed before it is read.
            const QString path = scratch().filePath(QString::number(i));
            QFile file(path);
            ZEK_FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                               file.write(part.body) == part.body.size(),
                           "the scratch file is written");
            file.close();
            std::optional<zek::Error> error;
            ZEK_FUZZ_CHECK(formData.appendPartWithFileURL(QUrl::fromLocalFile(path), part.name,
                                                          part.fileName, u"application/pdf"_s,
                                                          &error),
                           "a file part is taken");
            ZEK_FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                               file.write(part.source) == part.source.size(),
                           "the scratch file is rewritten");
            break;
        }
        }
        sourcesTrue = sourcesTrue && (part.kind == Kind::FormData || part.kind == Kind::FileData ||
                                      part.source == part.body);
    }

    const HCURLRequest request = formData.requestByFinalizingMultipartFormData();
    const QString contentType = request.valueForHTTPHeaderField(u"Content-Type");
    const QString prefix = u"multipart/form-data; boundary="_s;
    ZEK_FUZZ_CHECK(contentType.startsWith(prefix), "the request is multipart/form-data");
    const QByteArray expected = expectedBody(parts, contentType.mid(prefix.size()));
    bool lengthRead = false;
    const quint64 contentLength =
        request.valueForHTTPHeaderField(u"Content-Length").toULongLong(&lengthRead);
    ZEK_FUZZ_CHECK(lengthRead && contentLength == static_cast<quint64>(expected.size()),
                   "Content-Length counts the body");

    const std::shared_ptr<zek::InputStream> stream = request.HTTPBodyStream();
    stream->open();
    QByteArray body;
    QByteArray buffer;
    bool failed = false;
    for (std::size_t i = 0;; ++i) {
        buffer.resize(static_cast<qsizetype>(readSizes[i % readSizes.size()]));
        const qint64 count = stream->read(buffer.data(), static_cast<quint64>(buffer.size()));
        if (count <= 0) {
            failed = count < 0;
            break;
        }
        ZEK_FUZZ_CHECK(count <= buffer.size(), "a read stays within its buffer");
        body += buffer.left(count);
    }
    stream->close();

    if (sourcesTrue) {
        ZEK_FUZZ_CHECK(!failed, "a body whose sources hold still is read to its end");
        ZEK_FUZZ_CHECK(body == expected, "the body is the expected one, whatever the read sizes");
    } else {
        ZEK_FUZZ_CHECK(failed, "a source of the wrong length fails the body");
        ZEK_FUZZ_CHECK(static_cast<quint64>(body.size()) < contentLength,
                       "the body is never delivered whole");
        const std::optional<zek::Error> error = stream->streamError();
        ZEK_FUZZ_CHECK(error && error->code() == zek::NSURLErrorRequestBodyStreamExhausted,
                       "the error says the body changed");
    }
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QFile::remove(scratch().filePath(QString::number(i)));
    }
    return 0;
}

#include "HCStreamingMultipartFormData.h"

#include "HCURLRequestSerialization.h"

#include <QCoreApplication>
#include <QFile>
#include <QMimeDatabase>
#include <QRandomGenerator>
#include <sys/stat.h>

namespace {

const QString kContentDisposition = QStringLiteral("Content-Disposition");
const QString kContentType = QStringLiteral("Content-Type");

QString makeBoundary()
{
    QRandomGenerator *random = QRandomGenerator::system();
    const quint32 high = random->generate();
    const quint32 low = random->generate();
    return QString::asprintf("Boundary+%08X%08X", high, low);
}

// A name or file name goes between double quotes in a header line. CR, LF
// and '"' would end the value or the line, and let a name forge headers or
// whole parts; they are written %0D, %0A and %22, as browsers do.
QString quotedValue(QString text)
{
    text.replace(u'\r', QStringLiteral("%0D"));
    text.replace(u'\n', QStringLiteral("%0A"));
    text.replace(u'"', QStringLiteral("%22"));
    return u'"' + text + u'"';
}

QMap<QString, QString> fileHeaders(const QString &name, const QString &fileName,
                                   const QString &mimeType)
{
    QMap<QString, QString> headers{
        {kContentDisposition, QStringLiteral("form-data; name=%1; filename=%2")
                                  .arg(quotedValue(name), quotedValue(fileName))}};
    if (!mimeType.isNull()) {
        headers.insert(kContentType, mimeType);
    }
    return headers;
}

zek::Error fileURLError(const char *reason)
{
    return zek::Error(HCURLRequestSerializationErrorDomain, zek::NSURLErrorBadURL,
                      {{zek::NSLocalizedFailureReasonErrorKey,
                        QCoreApplication::translate("HCURLRequestSerialization", reason)}});
}

} // namespace

HCStreamingMultipartFormData::HCStreamingMultipartFormData(const HCURLRequest &URLRequest,
                                                           zek::NSStringEncoding stringEncoding)
    : request_(URLRequest), stringEncoding_(stringEncoding), boundary_(makeBoundary()),
      bodyStream_(std::make_shared<HCMultipartBodyStream>(stringEncoding))
{}

bool HCStreamingMultipartFormData::appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                                                         std::optional<zek::Error> *error)
{
    const QString fileName = fileURL.fileName();
    const QString mimeType =
        QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension).name();
    return appendPartWithFileURL(fileURL, name, fileName, mimeType, error);
}

bool HCStreamingMultipartFormData::appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                                                         const QString &fileName,
                                                         const QString &mimeType,
                                                         std::optional<zek::Error> *error)
{
    const auto fail = [error](const char *reason) {
        if (error != nullptr) {
            *error = fileURLError(reason);
        }
        return false;
    };
    if (!fileURL.isLocalFile()) {
        return fail(
            QT_TRANSLATE_NOOP("HCURLRequestSerialization", "Expected URL to be a file URL"));
    }
    // The size of what the file stream will read, so through symbolic links.
    struct stat attributes {};
    if (::stat(QFile::encodeName(fileURL.toLocalFile()).constData(), &attributes) != 0) {
        return fail(QT_TRANSLATE_NOOP("HCURLRequestSerialization", "File URL not reachable."));
    }
    appendPart(fileHeaders(name, fileName, mimeType), fileURL,
               static_cast<quint64>(attributes.st_size));
    return true;
}

void HCStreamingMultipartFormData::appendPartWithInputStream(
    std::shared_ptr<zek::InputStream> inputStream, const QString &name, const QString &fileName,
    quint64 length, const QString &mimeType)
{
    appendPart(fileHeaders(name, fileName, mimeType), std::move(inputStream), length);
}

void HCStreamingMultipartFormData::appendPartWithFileData(const QByteArray &data,
                                                          const QString &name,
                                                          const QString &fileName,
                                                          const QString &mimeType)
{
    appendPart(fileHeaders(name, fileName, mimeType), data, static_cast<quint64>(data.size()));
}

void HCStreamingMultipartFormData::appendPartWithFormData(const QByteArray &data,
                                                          const QString &name)
{
    appendPart({{kContentDisposition, QStringLiteral("form-data; name=") + quotedValue(name)}},
               data, static_cast<quint64>(data.size()));
}

void HCStreamingMultipartFormData::appendPartWithHeaders(const QMap<QString, QString> &headers,
                                                         const QByteArray &body)
{
    appendPart(headers, body, static_cast<quint64>(body.size()));
}

void HCStreamingMultipartFormData::throttleBandwidthWithPacketSize(quint64 numberOfBytes,
                                                                   double delay)
{
    bodyStream_->setNumberOfBytesInPacket(numberOfBytes);
    bodyStream_->setDelay(delay);
}

void HCStreamingMultipartFormData::appendPart(QMap<QString, QString> headers,
                                              HCHTTPBodyPart::Body body, quint64 bodyContentLength)
{
    bodyStream_->appendHTTPBodyPart(std::make_unique<HCHTTPBodyPart>(
        stringEncoding_, std::move(headers), boundary_, std::move(body), bodyContentLength));
}

HCURLRequest HCStreamingMultipartFormData::requestByFinalizingMultipartFormData()
{
    if (bodyStream_->isEmpty()) {
        return request_;
    }
    bodyStream_->setInitialAndFinalBoundaries();
    request_.setHTTPBodyStream(bodyStream_);
    request_.setValue(QStringLiteral("multipart/form-data; boundary=") + boundary_, kContentType);
    request_.setValue(QString::number(bodyStream_->contentLength()),
                      QStringLiteral("Content-Length"));
    return request_;
}

#pragma once

#include "Error.h"
#include "InputStream.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>

// Suggested throttling for slow links.
inline constexpr quint64 kHCUploadStream3GSuggestedPacketSize = 16384;
inline constexpr double kHCUploadStream3GSuggestedDelay = 0.2;

// Builds a multipart/form-data body part by part. Parts are sent in the
// order they are appended. A part's "Content-Disposition" is
// form-data; name="<name>"[; filename="<fileName>"], where CR, LF and '"' in
// the name and file name are written %0D, %0A and %22. A null MIME type
// leaves the part without "Content-Type".
class HCMultipartFormData {
public:
    virtual ~HCMultipartFormData() = default;

    // A part with the file's contents, read when the body is sent, named after
    // the file's last path component and typed by its extension
    // ("application/octet-stream" when the extension is unknown).
    virtual bool appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                                       std::optional<zek::Error> *error) = 0;
    // The same with the given file name and MIME type. Refuses (false, and an
    // error in HCURLRequestSerializationErrorDomain with code NSURLErrorBadURL)
    // a URL that is not a file URL or whose file does not exist; the length
    // sent is the file's size now.
    virtual bool appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                                       const QString &fileName, const QString &mimeType,
                                       std::optional<zek::Error> *error) = 0;

    // A part whose body is read from inputStream when the body is sent; length
    // is trusted as the number of bytes it delivers.
    virtual void appendPartWithInputStream(std::shared_ptr<zek::InputStream> inputStream,
                                           const QString &name, const QString &fileName,
                                           quint64 length, const QString &mimeType) = 0;

    virtual void appendPartWithFileData(const QByteArray &data, const QString &name,
                                        const QString &fileName, const QString &mimeType) = 0;

    // A plain form field: no file name, no type.
    virtual void appendPartWithFormData(const QByteArray &data, const QString &name) = 0;

    // A part with exactly these header fields, written as given.
    virtual void appendPartWithHeaders(const QMap<QString, QString> &headers,
                                       const QByteArray &body) = 0;

    // Limits each read of the body to about numberOfBytes (whole part reads
    // are not cut) and pauses delay seconds after each part read.
    virtual void throttleBandwidthWithPacketSize(quint64 numberOfBytes, double delay) = 0;
};

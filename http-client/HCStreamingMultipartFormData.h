#pragma once

#include "HCMultipartBodyStream.h"
#include "HCMultipartFormData.h"
#include "HCURLRequest.h"

#include <memory>

// The multipart builder: collects parts into a body stream and finally puts
// that stream on its own copy of the request. The boundary,
// "Boundary+XXXXXXXXXXXXXXXX" from the system's cryptographic random source,
// is made once per builder. Boundaries and part headers are written in
// stringEncoding; when it is not available (zek::isEncodingAvailable) the
// body's reads fail instead (see HCMultipartBodyStream).
class HCStreamingMultipartFormData final : public HCMultipartFormData {
public:
    HCStreamingMultipartFormData(const HCURLRequest &URLRequest,
                                 zek::NSStringEncoding stringEncoding);

    bool appendPartWithFileURL(const QUrl &fileURL, const QString &name,
                               std::optional<zek::Error> *error) override;
    bool appendPartWithFileURL(const QUrl &fileURL, const QString &name, const QString &fileName,
                               const QString &mimeType, std::optional<zek::Error> *error) override;
    void appendPartWithInputStream(std::shared_ptr<zek::InputStream> inputStream,
                                   const QString &name, const QString &fileName, quint64 length,
                                   const QString &mimeType) override;
    void appendPartWithFileData(const QByteArray &data, const QString &name,
                                const QString &fileName, const QString &mimeType) override;
    void appendPartWithFormData(const QByteArray &data, const QString &name) override;
    void appendPartWithHeaders(const QMap<QString, QString> &headers,
                               const QByteArray &body) override;
    void throttleBandwidthWithPacketSize(quint64 numberOfBytes, double delay) override;

    // The request with the body stream, "Content-Type: multipart/form-data;
    // boundary=..." and "Content-Length" (replacing any values it had); the
    // request unchanged when no part was appended.
    HCURLRequest requestByFinalizingMultipartFormData();

private:
    void appendPart(QMap<QString, QString> headers, HCHTTPBodyPart::Body body,
                    quint64 bodyContentLength);

    HCURLRequest request_;
    zek::NSStringEncoding stringEncoding_;
    QString boundary_;
    std::shared_ptr<HCMultipartBodyStream> bodyStream_;
};

#pragma once

#include "HCHTTPRequestSerializer.h"
#include "HCMultipartBodyStream.h"

#include <QByteArray>
#include <QString>

// What the multipart tests share: the upload's request and a look at its body.

// n bytes that cover every byte value, CR and LF included.
QByteArray sampleBytes(qsizetype n, quint32 seed = 1);

// A POST whose multipart body has a part per parameter, then the block's parts.
HCURLRequest
multipartRequest(const HCConstructingBodyBlock &block,
                 const std::optional<QVariantMap> &parameters = std::nullopt,
                 const HCHTTPRequestSerializer &serializer = HCHTTPRequestSerializer());

// The request the upload makes: a POST with one part named "file" of type
// "application/pdf" holding data under fileName.
HCURLRequest uploadRequest(const QString &fileName, const QByteArray &data);

// The boundary named in the request's Content-Type.
QString boundaryOf(const HCURLRequest &request);

// The request's body stream as the multipart stream it is.
HCMultipartBodyStream &bodyStreamOf(const HCURLRequest &request);

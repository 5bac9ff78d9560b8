#include "MultipartSupport.h"

#include <QRandomGenerator>

using namespace Qt::StringLiterals;

QByteArray sampleBytes(qsizetype n, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(i < 256 ? i : random.bounded(256));
    }
    return bytes;
}

HCURLRequest multipartRequest(const HCConstructingBodyBlock &block,
                              const std::optional<QVariantMap> &parameters,
                              const HCHTTPRequestSerializer &serializer)
{
    return serializer
        .multipartFormRequestWithMethod(u"POST"_s,
                                        u"http://127.0.0.1:5004/api/laser/json/print/pdf"_s,
                                        parameters, block, nullptr)
        .value();
}

HCURLRequest uploadRequest(const QString &fileName, const QByteArray &data)
{
    return multipartRequest(
        [&](HCMultipartFormData &formData) {
            formData.appendPartWithFileData(data, u"file"_s, fileName, u"application/pdf"_s);
        },
        QVariantMap{});
}

QString boundaryOf(const HCURLRequest &request)
{
    const QString contentType = request.valueForHTTPHeaderField(u"Content-Type"_s);
    return contentType.section(u"boundary="_s, 1);
}

HCMultipartBodyStream &bodyStreamOf(const HCURLRequest &request)
{
    return dynamic_cast<HCMultipartBodyStream &>(*request.HTTPBodyStream());
}

#include "HCHTTPURLResponse.h"

#include <QCoreApplication>
#include <algorithm>

namespace {

QString lowerCaseOrNull(const QString &text)
{
    const QString trimmed = text.trimmed();
    return trimmed.isEmpty() ? QString() : trimmed.toLower();
}

struct Phrase {
    qint64 code;
    const char *text;
};

// The reason phrases of the HTTP status code registry.
constexpr Phrase kPhrases[] = {
    {100, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "continue")},
    {101, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "switching protocols")},
    {102, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "processing")},
    {103, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "early hints")},
    {200, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "ok")},
    {201, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "created")},
    {202, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "accepted")},
    {203, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "non-authoritative information")},
    {204, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "no content")},
    {205, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "reset content")},
    {206, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "partial content")},
    {207, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "multi-status")},
    {208, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "already reported")},
    {226, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "im used")},
    {300, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "multiple choices")},
    {301, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "moved permanently")},
    {302, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "found")},
    {303, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "see other")},
    {304, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "not modified")},
    {305, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "use proxy")},
    {307, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "temporary redirect")},
    {308, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "permanent redirect")},
    {400, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "bad request")},
    {401, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "unauthorized")},
    {402, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "payment required")},
    {403, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "forbidden")},
    {404, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "not found")},
    {405, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "method not allowed")},
    {406, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "not acceptable")},
    {407, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "proxy authentication required")},
    {408, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "request timeout")},
    {409, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "conflict")},
    {410, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "gone")},
    {411, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "length required")},
    {412, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "precondition failed")},
    {413, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "content too large")},
    {414, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "uri too long")},
    {415, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "unsupported media type")},
    {416, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "range not satisfiable")},
    {417, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "expectation failed")},
    {421, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "misdirected request")},
    {422, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "unprocessable content")},
    {423, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "locked")},
    {424, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "failed dependency")},
    {425, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "too early")},
    {426, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "upgrade required")},
    {428, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "precondition required")},
    {429, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "too many requests")},
    {431, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "request header fields too large")},
    {451, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "unavailable for legal reasons")},
    {500, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "internal server error")},
    {501, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "not implemented")},
    {502, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "bad gateway")},
    {503, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "service unavailable")},
    {504, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "gateway timeout")},
    {505, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "http version not supported")},
    {506, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "variant also negotiates")},
    {507, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "insufficient storage")},
    {508, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "loop detected")},
    {510, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "not extended")},
    {511, QT_TRANSLATE_NOOP("HCHTTPURLResponse", "network authentication required")},
};

// Indexed by the code's first digit, 1 to 5.
constexpr const char *kClasses[] = {
    QT_TRANSLATE_NOOP("HCHTTPURLResponse", "informational"),
    QT_TRANSLATE_NOOP("HCHTTPURLResponse", "successful"),
    QT_TRANSLATE_NOOP("HCHTTPURLResponse", "redirection"),
    QT_TRANSLATE_NOOP("HCHTTPURLResponse", "client error"),
    QT_TRANSLATE_NOOP("HCHTTPURLResponse", "server error"),
};

} // namespace

HCHTTPURLResponse::HCHTTPURLResponse(QUrl URL, qint64 statusCode,
                                     QList<std::pair<QString, QString>> headerFields)
    : URL_(std::move(URL)), statusCode_(statusCode), headerFields_(std::move(headerFields))
{
    const QString contentType = valueForHTTPHeaderField(u"Content-Type");
    if (contentType.isNull()) {
        return;
    }
    const QStringList pieces = contentType.split(u';');
    MIMEType_ = lowerCaseOrNull(pieces.first());
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const qsizetype equals = pieces[i].indexOf(u'=');
        if (equals < 0 ||
            pieces[i].first(equals).trimmed().compare(u"charset", Qt::CaseInsensitive) != 0) {
            continue;
        }
        QString value = pieces[i].sliced(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"')) {
            value = value.sliced(1, value.size() - 2);
        }
        if (!value.isEmpty()) {
            textEncodingName_ = value;
        }
        break;
    }
}

HCHTTPURLResponse HCHTTPURLResponse::nonHTTPResponse(QUrl URL, const QString &MIMEType,
                                                     QString textEncodingName)
{
    HCHTTPURLResponse response;
    response.isHTTP_ = false;
    response.URL_ = std::move(URL);
    response.MIMEType_ = lowerCaseOrNull(MIMEType);
    response.textEncodingName_ = std::move(textEncodingName);
    return response;
}

QString HCHTTPURLResponse::valueForHTTPHeaderField(QStringView field) const
{
    const auto entry =
        std::find_if(headerFields_.cbegin(), headerFields_.cend(),
                     [field](const std::pair<QString, QString> &candidate) {
                         return candidate.first.compare(field, Qt::CaseInsensitive) == 0;
                     });
    return entry == headerFields_.cend() ? QString() : entry->second;
}

QString HCHTTPURLResponse::localizedStringForStatusCode(qint64 statusCode)
{
    const auto phrase =
        std::find_if(std::cbegin(kPhrases), std::cend(kPhrases),
                     [statusCode](const Phrase &p) { return p.code == statusCode; });
    if (phrase != std::cend(kPhrases)) {
        return QCoreApplication::translate("HCHTTPURLResponse", phrase->text);
    }
    if (statusCode >= 100 && statusCode < 600) {
        return QCoreApplication::translate("HCHTTPURLResponse", kClasses[statusCode / 100 - 1]);
    }
    return QCoreApplication::translate("HCHTTPURLResponse", "unknown");
}

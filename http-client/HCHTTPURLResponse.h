#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <utility>

// The head of a reply as the transport hands it over: URL, status code,
// header fields, and the MIME type and charset that its Content-Type names.
// A reply of another protocol (a file: URL, say) is a response too, with no
// status code and no header fields; validation accepts it as it is.
class HCHTTPURLResponse {
public:
    // An HTTP reply without URL, status code 0 and no header fields.
    HCHTTPURLResponse() = default;

    // An HTTP reply. The MIME type is Content-Type without its parameters,
    // in lower case ("application/JSON; charset=UTF-8" gives
    // "application/json"); the charset name is its charset parameter as
    // written, without quotes. Either is null when the field does not give it.
    HCHTTPURLResponse(QUrl URL, qint64 statusCode, QList<std::pair<QString, QString>> headerFields);

    // A reply of another protocol, with the MIME type (lower-cased) and
    // charset name that it came with.
    static HCHTTPURLResponse nonHTTPResponse(QUrl URL, const QString &MIMEType,
                                             QString textEncodingName);

    bool isHTTP() const { return isHTTP_; }
    // An empty QUrl stands for no URL.
    const QUrl &URL() const { return URL_; }
    qint64 statusCode() const { return statusCode_; }
    // Field names compare without regard to letter case; null when absent.
    QString valueForHTTPHeaderField(QStringView field) const;
    const QList<std::pair<QString, QString>> &allHeaderFields() const { return headerFields_; }
    const QString &MIMEType() const { return MIMEType_; }
    const QString &textEncodingName() const { return textEncodingName_; }

    // The standard reason phrase of a status code in lower case ("not
    // found"), translated; for codes without one, the name of the code's
    // class ("server error"), or "unknown" outside 100 to 599.
    static QString localizedStringForStatusCode(qint64 statusCode);

    bool operator==(const HCHTTPURLResponse &other) const = default;

private:
    bool isHTTP_ = true;
    QUrl URL_;
    qint64 statusCode_ = 0;
    QList<std::pair<QString, QString>> headerFields_;
    QString MIMEType_;
    QString textEncodingName_;
};

Q_DECLARE_METATYPE(HCHTTPURLResponse)

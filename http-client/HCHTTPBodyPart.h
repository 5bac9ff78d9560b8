#pragma once

#include "InputStream.h"
#include "StringEncoding.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>
#include <memory>
#include <optional>
#include <variant>

// One part of a multipart body. It reads itself out in four phases: its
// opening boundary, its header block, its body, and (for the last part) the
// final boundary. A read may stop anywhere and the next one resumes there.
//
// Every phase change runs on the main thread, whichever thread reads, so a
// reader on another thread needs the main thread's event loop to be running.
class HCHTTPBodyPart {
public:
    // Where the body comes from: bytes, a file (read when the body phase
    // begins) or a stream.
    using Body = std::variant<QByteArray, QUrl, std::shared_ptr<zek::InputStream>>;

    HCHTTPBodyPart(zek::NSStringEncoding stringEncoding, QMap<QString, QString> headers,
                   QString boundary, Body body, quint64 bodyContentLength);
    HCHTTPBodyPart(const HCHTTPBodyPart &) = delete;
    HCHTTPBodyPart &operator=(const HCHTTPBodyPart &) = delete;

    // A new part, unread, with the same encoding, headers, boundary, body
    // source and length. Over bytes or a file it delivers the body again from
    // its start; over a stream it shares that stream.
    std::unique_ptr<HCHTTPBodyPart> copy() const;

    // The first part opens with "--boundary\r\n", every other one with
    // "\r\n--boundary\r\n"; the last one ends with "\r\n--boundary--\r\n".
    void setHasInitialBoundary(bool has) { hasInitialBoundary_ = has; }
    void setHasFinalBoundary(bool has) { hasFinalBoundary_ = has; }

    // Bytes the part delivers in all, counting the body by its declared length.
    quint64 contentLength() const;

    // Whether reading can deliver more: false once the body stream has ended
    // and the final boundary phase is over.
    bool hasBytesAvailable();

    // Copies up to maxLength bytes into buffer, through as many phases as fit.
    // -1 when the body stream fails, and before the first byte when the
    // string encoding is not available (zek::isEncodingAvailable): the
    // boundaries and headers would be missing. -1 too when the body stream
    // delivers fewer or more bytes than the declared length (a file that
    // shrank or grew since it was measured): the part must never go out
    // with a body other than the one announced.
    qint64 read(char *buffer, quint64 maxLength);

    // Why read() returned -1: the unavailable encoding (in
    // HCURLRequestSerializationErrorDomain), a body of the wrong length
    // (zek::NSURLErrorRequestBodyStreamExhausted in zek::NSURLErrorDomain),
    // else the body stream's error.
    std::optional<zek::Error> streamError();

    // The stream that delivers the body, made on first use.
    const std::shared_ptr<zek::InputStream> &inputStream();

private:
    enum class Phase { EncapsulationBoundary = 1, Header = 2, Body = 3, FinalBoundary = 4 };

    QByteArray openingBoundary() const;
    QByteArray stringForHeaders() const;
    QByteArray finalBoundary() const;
    QByteArray encoded(const QString &text) const;

    // Delivers text from the phase read offset on; moves to the next phase
    // once all of it has been delivered.
    quint64 readData(const QByteArray &text, char *buffer, quint64 maxLength);
    // The body phase: at most the declared bytes, then a check that the
    // stream ends there. -1 on failure.
    qint64 readBody(char *buffer, quint64 maxLength);
    qint64 failLength(quint64 delivered);
    void transitionToNextPhase();

    zek::NSStringEncoding stringEncoding_;
    QMap<QString, QString> headers_;
    QString boundary_;
    Body body_;
    quint64 bodyContentLength_;
    std::shared_ptr<zek::InputStream> inputStream_;
    bool hasInitialBoundary_ = false;
    bool hasFinalBoundary_ = false;
    Phase phase_ = Phase::EncapsulationBoundary;
    quint64 phaseReadOffset_ = 0;
    std::optional<zek::Error> lengthError_;
};

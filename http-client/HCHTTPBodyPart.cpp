#include "HCHTTPBodyPart.h"

#include "DataInputStream.h"
#include "FileInputStream.h"
#include "HCURLRequestSerialization.h"
#include "MainQueue.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

const QString kCRLF = QStringLiteral("\r\n");

} // namespace

HCHTTPBodyPart::HCHTTPBodyPart(zek::NSStringEncoding stringEncoding, QMap<QString, QString> headers,
                               QString boundary, Body body, quint64 bodyContentLength)
    : stringEncoding_(stringEncoding), headers_(std::move(headers)), boundary_(std::move(boundary)),
      body_(std::move(body)), bodyContentLength_(bodyContentLength)
{}

std::unique_ptr<HCHTTPBodyPart> HCHTTPBodyPart::copy() const
{
    return std::make_unique<HCHTTPBodyPart>(stringEncoding_, headers_, boundary_, body_,
                                            bodyContentLength_);
}

QByteArray HCHTTPBodyPart::encoded(const QString &text) const
{
    // Lossy, so that what is counted is always what is sent.
    return zek::encodeString(text, stringEncoding_, true).value_or(QByteArray());
}

QByteArray HCHTTPBodyPart::openingBoundary() const
{
    return encoded(hasInitialBoundary_ ? u"--"_s + boundary_ + kCRLF
                                       : kCRLF + u"--"_s + boundary_ + kCRLF);
}

QByteArray HCHTTPBodyPart::stringForHeaders() const
{
    QString block;
    for (auto field = headers_.cbegin(); field != headers_.cend(); ++field) {
        block += field.key() + u": "_s + field.value() + kCRLF;
    }
    return encoded(block + kCRLF);
}

QByteArray HCHTTPBodyPart::finalBoundary() const
{
    return hasFinalBoundary_ ? encoded(kCRLF + u"--"_s + boundary_ + u"--"_s + kCRLF)
                             : QByteArray();
}

quint64 HCHTTPBodyPart::contentLength() const
{
    return static_cast<quint64>(openingBoundary().size() + stringForHeaders().size()) +
           bodyContentLength_ + static_cast<quint64>(finalBoundary().size());
}

const std::shared_ptr<zek::InputStream> &HCHTTPBodyPart::inputStream()
{
    if (!inputStream_) {
        if (const auto *data = std::get_if<QByteArray>(&body_)) {
            inputStream_ = std::make_shared<zek::DataInputStream>(*data);
        } else if (const auto *file = std::get_if<QUrl>(&body_)) {
            inputStream_ = std::make_shared<zek::FileInputStream>(file->toLocalFile());
        } else {
            inputStream_ = std::get<std::shared_ptr<zek::InputStream>>(body_);
        }
    }
    return inputStream_;
}

bool HCHTTPBodyPart::hasBytesAvailable()
{
    return phase_ == Phase::FinalBoundary ||
           inputStream()->streamStatus() < zek::StreamStatus::AtEnd;
}

std::optional<zek::Error> HCHTTPBodyPart::streamError()
{
    if (!zek::isEncodingAvailable(stringEncoding_)) {
        return zek::Error(HCURLRequestSerializationErrorDomain,
                          HCURLRequestSerializationErrorUnavailableStringEncoding,
                          {{zek::NSLocalizedDescriptionKey,
                            QCoreApplication::translate(
                                "HCURLRequestSerialization",
                                "The multipart body cannot be written in string encoding %1.")
                                .arg(stringEncoding_)}});
    }
    if (lengthError_) {
        return lengthError_;
    }
    return inputStream()->streamError();
}

qint64 HCHTTPBodyPart::read(char *buffer, quint64 maxLength)
{
    // Checked as the part begins rather than on every read: the encoding
    // never changes.
    if (phase_ == Phase::EncapsulationBoundary && phaseReadOffset_ == 0 &&
        !zek::isEncodingAvailable(stringEncoding_)) {
        return -1;
    }
    quint64 total = 0;
    if (phase_ == Phase::EncapsulationBoundary) {
        total += readData(openingBoundary(), buffer, maxLength);
    }
    if (phase_ == Phase::Header) {
        total += readData(stringForHeaders(), buffer + total, maxLength - total);
    }
    if (phase_ == Phase::Body) {
        const qint64 count = readBody(buffer + total, maxLength - total);
        if (count == -1) {
            return -1;
        }
        total += static_cast<quint64>(count);
    }
    if (phase_ == Phase::FinalBoundary) {
        total += readData(finalBoundary(), buffer + total, maxLength - total);
    }
    return static_cast<qint64>(total);
}

qint64 HCHTTPBodyPart::readBody(char *buffer, quint64 maxLength)
{
    if (lengthError_) {
        return -1;
    }
    const quint64 remaining = bodyContentLength_ - phaseReadOffset_;
    qint64 count = 0;
    if (remaining > 0 && maxLength > 0) {
        count = inputStream()->read(buffer, std::min(maxLength, remaining));
        if (count == -1) {
            return -1;
        }
        phaseReadOffset_ += static_cast<quint64>(count);
    } else if (remaining == 0) {
        // All that was announced is out: the stream must end here. A byte
        // more means the body grew, and the announced one is no more.
        char extra;
        if (inputStream()->read(&extra, 1) != 0) {
            return failLength(phaseReadOffset_ + 1);
        }
    }
    if (inputStream()->streamStatus() >= zek::StreamStatus::AtEnd) {
        if (phaseReadOffset_ != bodyContentLength_) {
            return failLength(phaseReadOffset_);
        }
        transitionToNextPhase();
    }
    return count;
}

qint64 HCHTTPBodyPart::failLength(quint64 delivered)
{
    const QString reason =
        delivered < bodyContentLength_
            ? QCoreApplication::translate("HCHTTPBodyPart",
                                          "The body ended after %1 of its %2 bytes.")
                  .arg(delivered)
                  .arg(bodyContentLength_)
            : QCoreApplication::translate("HCHTTPBodyPart", "The body has more than its %1 bytes.")
                  .arg(bodyContentLength_);
    lengthError_ =
        zek::Error(zek::NSURLErrorDomain, zek::NSURLErrorRequestBodyStreamExhausted,
                   {{zek::NSLocalizedDescriptionKey,
                     QCoreApplication::translate(
                         "HCHTTPBodyPart", "The data to send changed while it was being sent.")},
                    {zek::NSLocalizedFailureReasonErrorKey, reason}});
    return -1;
}

quint64 HCHTTPBodyPart::readData(const QByteArray &text, char *buffer, quint64 maxLength)
{
    const quint64 count = std::min(static_cast<quint64>(text.size()) - phaseReadOffset_, maxLength);
    if (count > 0) {
        std::memcpy(buffer, text.constData() + phaseReadOffset_, count);
    }
    phaseReadOffset_ += count;
    if (phaseReadOffset_ >= static_cast<quint64>(text.size())) {
        transitionToNextPhase();
    }
    return count;
}

void HCHTTPBodyPart::transitionToNextPhase()
{
    zek::runOnMainThread([this] {
        switch (phase_) {
        case Phase::EncapsulationBoundary:
            phase_ = Phase::Header;
            break;
        case Phase::Header:
            inputStream()->open();
            phase_ = Phase::Body;
            break;
        case Phase::Body:
            inputStream()->close();
            phase_ = Phase::FinalBoundary;
            break;
        case Phase::FinalBoundary:
            phase_ = Phase::EncapsulationBoundary;
            break;
        }
        phaseReadOffset_ = 0;
    });
}

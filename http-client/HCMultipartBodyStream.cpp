#include "HCMultipartBodyStream.h"

#include <chrono>
#include <thread>

HCMultipartBodyStream::HCMultipartBodyStream(zek::NSStringEncoding stringEncoding)
    : stringEncoding_(stringEncoding)
{}

void HCMultipartBodyStream::appendHTTPBodyPart(std::unique_ptr<HCHTTPBodyPart> part)
{
    HTTPBodyParts_.push_back(std::move(part));
}

void HCMultipartBodyStream::setInitialAndFinalBoundaries()
{
    if (HTTPBodyParts_.empty()) {
        return;
    }
    for (const auto &part : HTTPBodyParts_) {
        part->setHasInitialBoundary(false);
        part->setHasFinalBoundary(false);
    }
    HTTPBodyParts_.front()->setHasInitialBoundary(true);
    HTTPBodyParts_.back()->setHasFinalBoundary(true);
}

quint64 HCMultipartBodyStream::contentLength() const
{
    quint64 length = 0;
    for (const auto &part : HTTPBodyParts_) {
        length += part->contentLength();
    }
    return length;
}

std::shared_ptr<HCMultipartBodyStream> HCMultipartBodyStream::copy() const
{
    auto stream = std::make_shared<HCMultipartBodyStream>(stringEncoding_);
    for (const auto &part : HTTPBodyParts_) {
        stream->appendHTTPBodyPart(part->copy());
    }
    stream->setInitialAndFinalBoundaries();
    return stream;
}

void HCMultipartBodyStream::open()
{
    if (streamStatus_ == zek::StreamStatus::Open) {
        return;
    }
    streamStatus_ = zek::StreamStatus::Open;
    setInitialAndFinalBoundaries();
    nextPartIndex_ = 0;
}

void HCMultipartBodyStream::close()
{
    streamStatus_ = zek::StreamStatus::Closed;
}

bool HCMultipartBodyStream::hasBytesAvailable() const
{
    return streamStatus_ == zek::StreamStatus::Open;
}

std::optional<zek::Error> HCMultipartBodyStream::streamError() const
{
    const std::lock_guard lock(streamErrorMutex_);
    return streamError_;
}

HCHTTPBodyPart *HCMultipartBodyStream::nextHTTPBodyPart()
{
    if (!nextPartIndex_ || *nextPartIndex_ >= HTTPBodyParts_.size()) {
        return nullptr;
    }
    return HTTPBodyParts_[(*nextPartIndex_)++].get();
}

qint64 HCMultipartBodyStream::read(char *buffer, quint64 maxLength)
{
    if (streamStatus_ == zek::StreamStatus::Closed) {
        return 0;
    }
    // A body that failed part-way never ends as if it were complete.
    if (streamError()) {
        return -1;
    }
    const quint64 limit = std::min(maxLength, numberOfBytesInPacket_);
    quint64 total = 0;
    while (total < limit) {
        if (currentHTTPBodyPart_ == nullptr || !currentHTTPBodyPart_->hasBytesAvailable()) {
            currentHTTPBodyPart_ = nextHTTPBodyPart();
            if (currentHTTPBodyPart_ == nullptr) {
                break;
            }
            continue;
        }
        // The packet size only decides whether another part read begins.
        const qint64 count = currentHTTPBodyPart_->read(buffer + total, maxLength - total);
        if (count == -1) {
            const std::lock_guard lock(streamErrorMutex_);
            streamError_ = currentHTTPBodyPart_->streamError();
            // With nothing to deliver, 0 would pass for the end of the body.
            if (total == 0) {
                return -1;
            }
            break;
        }
        total += static_cast<quint64>(count);
        if (delay_ > 0.0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(delay_));
        }
    }
    return static_cast<qint64>(total);
}

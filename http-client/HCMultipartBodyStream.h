#pragma once

#include "HCHTTPBodyPart.h"
#include "InputStream.h"
#include "StringEncoding.h"

#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

// The body of a multipart request as a stream: its parts, one after the
// other, produced as they are read and never assembled in memory. The
// consumer polls it from any thread; the end of the body is a read that
// returns 0. A part that fails ends the read early, with the bytes before it,
// and leaves its error in streamError(); a read that fails before its first
// byte, and every read after a failure, returns -1. A part whose string encoding is not available
// fails before its first byte, so no body is ever read out without its boundaries and headers. The
// stream itself stays open.
class HCMultipartBodyStream final : public zek::InputStream {
public:
    explicit HCMultipartBodyStream(zek::NSStringEncoding stringEncoding);

    void appendHTTPBodyPart(std::unique_ptr<HCHTTPBodyPart> part);
    bool isEmpty() const { return HTTPBodyParts_.empty(); }
    // Marks the first part as first and the last as last, and no others.
    void setInitialAndFinalBoundaries();
    // The bytes of the whole body, as "Content-Length" announces them.
    quint64 contentLength() const;

    // Throttling: a read gathers about numberOfBytesInPacket bytes at most
    // (a part read once begun is not cut short), and the reading thread
    // pauses delay seconds after each part read. Off by default.
    quint64 numberOfBytesInPacket() const { return numberOfBytesInPacket_; }
    void setNumberOfBytesInPacket(quint64 bytes) { numberOfBytesInPacket_ = bytes; }
    void setDelay(double seconds) { delay_ = seconds; }

    // A new, unopened stream over copies of the parts: it delivers the same
    // body, boundary included, from the start. Throttling is not copied.
    std::shared_ptr<HCMultipartBodyStream> copy() const;

    // Opening again after close() starts over the same parts, which are spent.
    void open() override;
    void close() override;
    qint64 read(char *buffer, quint64 maxLength) override;
    // True exactly while the stream is open.
    bool hasBytesAvailable() const override;
    // NotOpen, Open or Closed: the end of the body does not change it.
    zek::StreamStatus streamStatus() const override { return streamStatus_; }
    std::optional<zek::Error> streamError() const override;

private:
    HCHTTPBodyPart *nextHTTPBodyPart();

    zek::NSStringEncoding stringEncoding_;
    std::vector<std::unique_ptr<HCHTTPBodyPart>> HTTPBodyParts_;
    // Index of the next part to read; absent until the stream is opened.
    std::optional<size_t> nextPartIndex_;
    HCHTTPBodyPart *currentHTTPBodyPart_ = nullptr;
    quint64 numberOfBytesInPacket_ = std::numeric_limits<qint64>::max();
    double delay_ = 0.0;
    std::atomic<zek::StreamStatus> streamStatus_ = zek::StreamStatus::NotOpen;
    mutable std::mutex streamErrorMutex_;
    std::optional<zek::Error> streamError_;
};

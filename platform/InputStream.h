#pragma once

#include "Error.h"

#include <QtGlobal>
#include <optional>

namespace zek {

// Where a stream is in its life. The numbers are the platform's own.
enum class StreamStatus : unsigned {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

// A source of bytes that its consumer polls: open it, read until read()
// returns 0 (the end) or -1 (a failure, see streamError()), close it.
class InputStream {
public:
    virtual ~InputStream() = default;

    virtual void open() = 0;
    virtual void close() = 0;

    // Copies up to maxLength bytes into buffer; returns how many, 0 at the
    // end, or -1 on failure.
    virtual qint64 read(char *buffer, quint64 maxLength) = 0;
    virtual bool hasBytesAvailable() const = 0;

    virtual StreamStatus streamStatus() const = 0;
    virtual std::optional<Error> streamError() const = 0;
};

} // namespace zek

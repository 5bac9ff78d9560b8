#pragma once

#include "InputStream.h"

#include <QByteArray>

namespace zek {

// Reads bytes held in memory. It is at its end (AtEnd) as soon as the last
// byte has been read, so a consumer learns of the end without an extra read.
class DataInputStream final : public InputStream {
public:
    explicit DataInputStream(QByteArray data);

    void open() override;
    void close() override;
    qint64 read(char *buffer, quint64 maxLength) override;
    bool hasBytesAvailable() const override;
    StreamStatus streamStatus() const override { return status_; }
    std::optional<Error> streamError() const override { return std::nullopt; }

private:
    QByteArray data_;
    qsizetype position_ = 0;
    StreamStatus status_ = StreamStatus::NotOpen;
};

} // namespace zek

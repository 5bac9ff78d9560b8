#pragma once

#include "InputStream.h"

#include <QString>

namespace zek {

// Reads a file from its start. The file is opened by open(), not before, so
// a stream can be made for a file that is only read much later. Failures to
// open or read it put the stream in the Error status with an errno error.
class FileInputStream final : public InputStream {
public:
    explicit FileInputStream(QString path);
    ~FileInputStream() override;
    FileInputStream(const FileInputStream &) = delete;
    FileInputStream &operator=(const FileInputStream &) = delete;

    void open() override;
    void close() override;
    qint64 read(char *buffer, quint64 maxLength) override;
    bool hasBytesAvailable() const override;
    StreamStatus streamStatus() const override { return status_; }
    std::optional<Error> streamError() const override { return error_; }

private:
    void fail(int errnum);
    void closeDescriptor();

    QString path_;
    int fd_ = -1;
    StreamStatus status_ = StreamStatus::NotOpen;
    std::optional<Error> error_;
};

} // namespace zek

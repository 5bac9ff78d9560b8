#include "FileInputStream.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace zek {

FileInputStream::FileInputStream(QString path) : path_(std::move(path)) {}

FileInputStream::~FileInputStream()
{
    closeDescriptor();
}

void FileInputStream::open()
{
    if (status_ != StreamStatus::NotOpen) {
        return;
    }
    fd_ = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        fail(errno);
        return;
    }
    status_ = StreamStatus::Open;
}

void FileInputStream::close()
{
    closeDescriptor();
    status_ = StreamStatus::Closed;
}

qint64 FileInputStream::read(char *buffer, quint64 maxLength)
{
    if (status_ == StreamStatus::AtEnd) {
        return 0;
    }
    if (status_ != StreamStatus::Open) {
        return -1;
    }
    // read(2) takes at most SSIZE_MAX bytes at a time.
    const auto length = std::min<quint64>(maxLength, std::numeric_limits<ssize_t>::max());
    ssize_t count;
    do {
        count = ::read(fd_, buffer, static_cast<size_t>(length));
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        fail(errno);
        return -1;
    }
    if (count == 0 && length > 0) {
        status_ = StreamStatus::AtEnd;
    }
    return count;
}

bool FileInputStream::hasBytesAvailable() const
{
    return status_ == StreamStatus::Open;
}

void FileInputStream::fail(int errnum)
{
    closeDescriptor();
    error_ = posixError(errnum);
    status_ = StreamStatus::Error;
}

void FileInputStream::closeDescriptor()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace zek

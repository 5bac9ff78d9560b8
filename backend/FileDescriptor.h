#pragma once

#include <unistd.h>
#include <utility>

// Owns one POSIX file descriptor and closes it when it goes away.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }

    // Closes now and reports whether the close succeeded: for a written file
    // a failing close can be the first sign of lost data.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    void reset()
    {
        if (fd_ >= 0) {
            ::close(std::exchange(fd_, -1));
        }
    }

    int fd_ = -1;
};

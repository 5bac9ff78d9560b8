#include "StdinToPdf.h"

#include "FileDescriptor.h"
#include "SystemLog.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr std::array<char, 4> kPdfSignature{'%', 'P', 'D', 'F'};
constexpr size_t kChunkSize = 1 << 20;
constexpr mode_t kJobFileMode = 0644;

bool isPlainFile(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// Opens an existing temporary job file for reuse: only a regular file with a
// single link, checked through an O_PATH descriptor before anything is opened
// for writing (opening a planted device or FIFO could already have effects).
FileDescriptor reopenExisting(const std::string &path)
{
    const FileDescriptor handle(open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!handle.isValid() || !isPlainFile(handle.get())) {
        return {};
    }
    const std::string viaProc = "/proc/self/fd/" + std::to_string(handle.get());
    return FileDescriptor(open(viaProc.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
}

FileDescriptor openJobFile(const std::string &path, const ZEKAccount &account)
{
    FileDescriptor file(open(path.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                             kJobFileMode));
    if (!file.isValid() && errno == EEXIST) {
        file = reopenExisting(path);
    }
    if (!file.isValid() || !isPlainFile(file.get()) || ftruncate(file.get(), 0) != 0) {
        return {};
    }
    // Owner and mode go on the open descriptor, never through the path. A
    // failing change of owner (a backend run without root) leaves the file
    // readable all the same.
    (void)fchown(file.get(), account.uid, static_cast<gid_t>(-1));
    if (fchmod(file.get(), kJobFileMode) != 0) {
        return {};
    }
    return file;
}

// Reads until `size` bytes have arrived or the input ends; -1 on error.
ssize_t readFully(int input, char *buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(input, buffer + done, size - done);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Reads what the input has ready, at least one byte unless it has ended.
ssize_t readAvailable(int input, char *buffer, size_t size)
{
    for (;;) {
        const ssize_t n = read(input, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool writeAll(int output, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(output, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The rest of a PDF that has nowhere to go is still read, so that the filter
// feeding the backend does not fail on a broken pipe.
void discard(int input, std::vector<char> &buffer)
{
    while (readAvailable(input, buffer.data(), buffer.size()) > 0) {
    }
}

// Copies the rest of the input after the signature; false on any error.
bool copyRest(int input, int output, std::vector<char> &buffer)
{
    for (;;) {
        const ssize_t n = readAvailable(input, buffer.data(), buffer.size());
        if (n == 0) {
            return true;
        }
        if (n < 0 || !writeAll(output, buffer.data(), static_cast<size_t>(n))) {
            return false;
        }
    }
}

void logFailure(const char *what, const std::string &path, int error)
{
    zek::systemLog(std::string(what) + ": " + path + ": " + std::strerror(error));
}

} // namespace

ZEKCopyResult zek_stdin_to_pdf(const std::string &path, const ZEKAccount &account, int input)
{
    FileDescriptor file = openJobFile(path, account);
    const int openError = errno;

    std::array<char, kPdfSignature.size()> signature{};
    const ssize_t got = readFully(input, signature.data(), signature.size());
    if (got < 0) {
        logFailure("Error reading the document for", path, errno);
        if (file.isValid()) {
            unlink(path.c_str());
        }
        return ZEKCopyResult::CopyFailed;
    }
    if (got != static_cast<ssize_t>(signature.size()) || signature != kPdfSignature) {
        return ZEKCopyResult::NotPdf;
    }

    std::vector<char> buffer(kChunkSize);
    if (!file.isValid()) {
        logFailure("Error creating job file", path, openError);
        discard(input, buffer);
        return ZEKCopyResult::FileUnavailable;
    }
    const bool copied = writeAll(file.get(), signature.data(), signature.size()) &&
                        copyRest(input, file.get(), buffer) && fsync(file.get()) == 0 &&
                        file.close();
    if (!copied) {
        logFailure("Error writing job file", path, errno);
        unlink(path.c_str());
        return ZEKCopyResult::CopyFailed;
    }
    return ZEKCopyResult::Copied;
}

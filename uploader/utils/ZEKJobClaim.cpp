#include "ZEKJobClaim.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::pair<ZEKJobClaim::Outcome, std::shared_ptr<ZEKJobClaim>> ZEKJobClaim::claim(const QUrl &file)
{
    const QByteArray path = QFile::encodeName(file.toLocalFile());
    const int fd =
        file.isLocalFile()
            ? ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
            : -1;
    if (fd < 0) {
        return {Outcome::Gone, nullptr};
    }
    std::shared_ptr<ZEKJobClaim> claim(new ZEKJobClaim(fd));
    // Where locks cannot be had at all, delivering twice beats never delivering.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return {Outcome::HeldByAnother, nullptr};
    }
    struct stat locked {};
    struct stat named {};
    if (::fstat(fd, &locked) != 0 || locked.st_nlink == 0 ||
        ::lstat(path.constData(), &named) != 0 || named.st_dev != locked.st_dev ||
        named.st_ino != locked.st_ino) {
        return {Outcome::Gone, nullptr};
    }
    return {Outcome::Claimed, claim};
}

ZEKJobClaim::~ZEKJobClaim()
{
    ::close(fd_);
}

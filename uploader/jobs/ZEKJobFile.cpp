#include "ZEKJobFile.h"

#include "Beneath.h"
#include "FileNames.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

ZEKJobFile::Claim outcome(ZEKJobFile::Outcome outcome, const QString &reason = {})
{
    return {outcome, nullptr, reason};
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a failed open means for a job.
ZEKJobFile::Claim failedOpening(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return outcome(ZEKJobFile::Outcome::Gone);
    case ELOOP:
    case EXDEV:
        return outcome(ZEKJobFile::Outcome::Refused, u"a symbolic link is on its way"_s);
    default:
        return outcome(ZEKJobFile::Outcome::Unreadable, systemReason(error));
    }
}

bool sameFile(const struct stat &one, const struct stat &other)
{
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Whether root may take the file as a job of its directory's user.
QString whyNotTheUsersOwn(int spoolRoot, const QByteArray &relative, const struct stat &file)
{
    if (file.st_nlink > 1) {
        return u"it has %1 links"_s.arg(file.st_nlink);
    }
    // The user directory is the first step below the root; a file right in the root is root's.
    const qsizetype slash = relative.indexOf('/');
    struct stat userDirectory {};
    if (slash < 0) {
        if (fstat(spoolRoot, &userDirectory) != 0) {
            return systemReason(errno);
        }
    } else if (fstatat(spoolRoot, relative.left(slash).constData(), &userDirectory,
                       AT_SYMLINK_NOFOLLOW) != 0) {
        return systemReason(errno);
    }
    if (file.st_uid != 0 && file.st_uid != userDirectory.st_uid) {
        return u"its owner (%1) is not the owner of its directory (%2)"_s.arg(file.st_uid)
            .arg(userDirectory.st_uid);
    }
    return {};
}

} // namespace

ZEKJobFile::ZEKJobFile(QByteArray path, int directory, QByteArray name, int file, Identity identity)
    : path_(std::move(path)), directory_(directory), name_(std::move(name)), file_(file),
      identity_(identity)
{}

ZEKJobFile::~ZEKJobFile()
{
    ::close(file_);
    if (directory_ >= 0) {
        ::close(directory_);
    }
}

ZEKJobFile::Claim ZEKJobFile::claim(const QByteArray &spoolRoot, const QByteArray &path)
{
    const QByteArray relative = zek::relativeTo(spoolRoot, path);
    if (relative.isEmpty()) {
        return outcome(Outcome::Refused, u"it is not in the spool tree"_s);
    }
    // The root itself may be reached through links (a bigger disk, say); nothing below it is.
    const int root = ::open(spoolRoot.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        return failedOpening(errno);
    }
    const int directory =
        zek::openBeneath(root, zek::directoryPart(relative), O_PATH | O_DIRECTORY);
    if (directory < 0) {
        const int error = errno;
        ::close(root);
        return failedOpening(error);
    }
    const QByteArray name = zek::lastStep(relative);
    const int file = ::openat(directory, name.constData(), kOpenFlags);
    if (file < 0) {
        const int error = errno;
        ::close(root);
        ::close(directory);
        return failedOpening(error);
    }
    struct stat status {};
    if (::geteuid() == 0 && ::fstat(file, &status) == 0 && S_ISREG(status.st_mode)) {
        const QString reason = whyNotTheUsersOwn(root, relative, status);
        if (!reason.isEmpty()) {
            ::close(root);
            ::close(directory);
            ::close(file);
            return outcome(Outcome::Refused, reason);
        }
    }
    ::close(root);
    Claim claimed = finishOpening(path, directory, name, file);
    if (!claimed.job) {
        return claimed;
    }
    // Where locks cannot be had at all, delivering twice beats never delivering.
    if (::flock(file, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        return outcome(Outcome::HeldByAnother);
    }
    struct stat locked {};
    struct stat named {};
    if (::fstat(file, &locked) != 0 || locked.st_nlink == 0 ||
        ::fstatat(directory, name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(named, locked)) {
        return outcome(Outcome::Gone);
    }
    return claimed;
}

ZEKJobFile::Claim ZEKJobFile::open(const QByteArray &path)
{
    const int file = ::open(path.constData(), kOpenFlags);
    if (file < 0) {
        return failedOpening(errno);
    }
    return finishOpening(path, -1, QByteArray(), file);
}

ZEKJobFile::Claim ZEKJobFile::finishOpening(QByteArray path, int directory, QByteArray name,
                                            int file)
{
    struct stat status {};
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        if (directory >= 0) {
            ::close(directory);
        }
        return outcome(Outcome::Refused, u"it is not a regular file"_s);
    }
    const Identity identity{status.st_dev, status.st_ino, status.st_size,
                            qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
    std::shared_ptr<ZEKJobFile> job(
        new ZEKJobFile(std::move(path), directory, std::move(name), file, identity));
    // The body is read through the descriptor's link; where there is no /proc it leads nowhere,
    // and a part that cannot be read would be left out of the body: the device would count an
    // empty upload as a job done.
    struct stat linked {};
    if (::stat(QFile::encodeName(job->descriptorURL().toLocalFile()).constData(), &linked) != 0 ||
        !sameFile(linked, status)) {
        return outcome(Outcome::Unreadable, u"/proc is not mounted"_s);
    }
    return {Outcome::Claimed, job, {}};
}

QUrl ZEKJobFile::URL() const
{
    return zek::fileURL(path_);
}

QUrl ZEKJobFile::descriptorURL() const
{
    return QUrl::fromLocalFile(u"/proc/self/fd/%1"_s.arg(file_));
}

bool ZEKJobFile::isLinked() const
{
    struct stat status {};
    return ::fstat(file_, &status) == 0 && status.st_nlink > 0;
}

bool ZEKJobFile::remove(QString *reason) const
{
    if (directory_ < 0) {
        *reason = u"it is not a job of the spool tree"_s;
        return false;
    }
    struct stat named {};
    if (::fstatat(directory_, name_.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        *reason = errno == ENOENT ? u"it is gone"_s : systemReason(errno);
        return false;
    }
    if (named.st_dev != identity_.device || named.st_ino != identity_.inode) {
        *reason = u"its name was given to another file meanwhile"_s;
        return false;
    }
    if (::unlinkat(directory_, name_.constData(), 0) != 0) {
        *reason = systemReason(errno);
        return false;
    }
    return true;
}

#include "Beneath.h"

#include <QByteArrayList>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zek {

namespace {

// A step that is a link gives ENOTDIR (a directory asked for) or opens the link itself
// (O_PATH); either way it is a link in the path.
int refuseLink(int opened, int directory, const QByteArray &step)
{
    struct stat status {};
    if (opened >= 0) {
        if (fstat(opened, &status) == 0 && S_ISLNK(status.st_mode)) {
            close(opened);
            errno = ELOOP;
            return -1;
        }
        return opened;
    }
    const int error = errno;
    if ((error == ENOTDIR || error == ELOOP) &&
        fstatat(directory, step.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode)) {
        errno = ELOOP;
    } else {
        errno = error;
    }
    return -1;
}

} // namespace

int openBeneath(int directory, const QByteArray &relative, int flags)
{
    open_how how{};
    how.flags = quint64(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const QByteArray path = relative.isEmpty() ? QByteArray(".") : relative;
    const long opened = syscall(SYS_openat2, directory, path.constData(), &how, sizeof how);
    if (opened >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) {
        return int(opened);
    }
    // No openat2 here (an old kernel, or a sandbox that forbids it).
    return openBeneathStepByStep(directory, relative, flags);
}

int openBeneathStepByStep(int directory, const QByteArray &relative, int flags)
{
    if (relative.startsWith('/')) {
        errno = EXDEV;
        return -1;
    }
    QList<QByteArray> steps;
    for (const QByteArray &step : relative.split('/')) {
        if (step == "..") {
            errno = EXDEV;
            return -1;
        }
        if (!step.isEmpty() && step != ".") {
            steps.append(step);
        }
    }
    if (steps.isEmpty()) {
        return openat(directory, ".", flags | O_CLOEXEC);
    }
    int current = directory;
    for (qsizetype i = 0; i + 1 < steps.size(); ++i) {
        const int next = refuseLink(
            openat(current, steps[i].constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
            current, steps[i]);
        const int error = errno;
        if (current != directory) {
            close(current);
        }
        if (next < 0) {
            errno = error;
            return -1;
        }
        current = next;
    }
    const int opened =
        refuseLink(openat(current, steps.last().constData(), flags | O_NOFOLLOW | O_CLOEXEC),
                   current, steps.last());
    const int error = errno;
    if (current != directory) {
        close(current);
    }
    errno = error;
    return opened;
}

QByteArray relativeTo(const QByteArray &top, const QByteArray &path)
{
    if (path == top) {
        return QByteArray("");
    }
    const QByteArray prefix = top.endsWith('/') ? top : top + '/';
    return path.startsWith(prefix) ? path.mid(prefix.size()) : QByteArray();
}

bool isRegularFileBeneath(const QByteArray &top, const QByteArray &path, struct stat *status)
{
    const QByteArray relative = relativeTo(top, path);
    if (relative.isEmpty()) {
        return false;
    }
    const int topDirectory = open(top.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (topDirectory < 0) {
        return false;
    }
    const int directory = openBeneath(topDirectory, directoryPart(relative), O_PATH | O_DIRECTORY);
    close(topDirectory);
    if (directory < 0) {
        return false;
    }
    struct stat found {};
    const bool regular =
        fstatat(directory, lastStep(relative).constData(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(found.st_mode);
    close(directory);
    if (regular && status) {
        *status = found;
    }
    return regular;
}

QByteArray directoryPart(const QByteArray &relative)
{
    const qsizetype slash = relative.lastIndexOf('/');
    return slash < 0 ? QByteArray() : relative.left(slash);
}

QByteArray lastStep(const QByteArray &relative)
{
    return relative.mid(relative.lastIndexOf('/') + 1);
}

} // namespace zek

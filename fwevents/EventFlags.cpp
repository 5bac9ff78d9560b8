#include "EventFlags.h"

#include "FWEvent.h"

#include <sys/inotify.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

quint32 changeFlags(quint32 inotifyMask)
{
    quint32 flags = 0;
    if (inotifyMask & IN_CREATE) {
        flags |= kFWEventFlagItemCreated;
    }
    if (inotifyMask & IN_DELETE) {
        flags |= kFWEventFlagItemRemoved;
    }
    if (inotifyMask & IN_ATTRIB) {
        flags |= kFWEventFlagItemInodeMetaMod;
    }
    if (inotifyMask & (IN_MOVED_FROM | IN_MOVED_TO)) {
        flags |= kFWEventFlagItemRenamed;
    }
    if (inotifyMask & IN_MODIFY) {
        flags |= kFWEventFlagItemModified;
    }
    return flags;
}

quint32 typeFlag(fs::file_type type)
{
    switch (type) {
    case fs::file_type::regular:
        return kFWEventFlagItemIsFile;
    case fs::file_type::directory:
        return kFWEventFlagItemIsDir;
    case fs::file_type::symlink:
        return kFWEventFlagItemIsSymlink;
    default:
        return 0;
    }
}

quint32 typeFlagAt(const QByteArray &path)
{
    struct stat status {};
    if (lstat(path.constData(), &status) != 0) {
        return 0;
    }
    if (S_ISREG(status.st_mode)) {
        return kFWEventFlagItemIsFile;
    }
    if (S_ISDIR(status.st_mode)) {
        return kFWEventFlagItemIsDir;
    }
    if (S_ISLNK(status.st_mode)) {
        return kFWEventFlagItemIsSymlink;
    }
    return 0;
}

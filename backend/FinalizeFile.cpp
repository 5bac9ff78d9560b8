#include "FinalizeFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string zek_finished_path(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? path.substr(0, dot) : path) + ".pdf";
}

int zek_finalize_file(const std::string &path)
{
    const std::string destination = zek_finished_path(path);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return 1;
    }
    // A file system without no-replace renames (network ones). The finish must
    // still be a rename, since the uploader picks a job up only when it is
    // renamed into place: a link would show up as a new file, never uploaded.
    // So make sure the finished name is free, then rename.
    struct stat existing {};
    if (lstat(destination.c_str(), &existing) == 0 || errno != ENOENT) {
        return 1;
    }
    return std::rename(path.c_str(), destination.c_str()) == 0 ? 0 : 1;
}

#include "FinalizeFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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
    // A file system without no-replace renames: a hard link cannot replace
    // anything either, and the name appears complete at once.
    if (link(path.c_str(), destination.c_str()) != 0) {
        return 1;
    }
    unlink(path.c_str());
    return 0;
}

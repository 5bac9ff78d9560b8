#include "PrintDir.h"

#include "FileDescriptor.h"
#include "SystemLog.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr mode_t kParentMode = 0755;
constexpr mode_t kUserMode = 0700;
constexpr mode_t kAnonymousMode = 0777;

bool isDirectory(const std::string &path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates one directory with the given mode, whatever the umask. Reports
// whether the directory now exists; `created` tells whether this call made it.
bool makeDirectory(const std::string &path, mode_t mode, bool &created)
{
    created = false;
    if (mkdir(path.c_str(), mode) == 0) {
        created = true;
        return chmod(path.c_str(), mode) == 0;
    }
    // Another backend run may have made it a moment ago.
    return errno == EEXIST && isDirectory(path);
}

bool makeParents(const std::string &path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        bool created = false;
        if (!prefix.empty() && !isDirectory(prefix) &&
            !makeDirectory(prefix, kParentMode, created)) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

bool handOver(const std::string &path, const ZEKAccount &account, mode_t mode)
{
    // Never follow a link: the owner and mode go to this directory only.
    const FileDescriptor directory(
        open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return directory.isValid() &&
           fchown(directory.get(), account.uid, static_cast<gid_t>(-1)) == 0 &&
           fchmod(directory.get(), mode) == 0;
}

} // namespace

std::optional<std::string> zek_create_print_dir(const std::string &spoolRoot,
                                                const std::string &directoryName,
                                                const ZEKAccount &account)
{
    const std::string path = spoolRoot + "/" + directoryName;
    if (isDirectory(path)) {
        return path;
    }
    bool created = false;
    if (!makeParents(spoolRoot) || !makeDirectory(path, kParentMode, created)) {
        zek::systemLog("Error creating printUserDir: " + path);
        return std::nullopt;
    }
    const mode_t mode = directoryName == kZEKAnonymousDirectoryName ? kAnonymousMode : kUserMode;
    if (!handOver(path, account, mode)) {
        zek::systemLog("Error changing attributes for printUserDir: " + path);
        if (created) {
            // Left behind, a root-owned 0755 directory would collect every
            // later job of this user, readable by others and undeletable by
            // the user's uploader.
            rmdir(path.c_str());
        }
        return std::nullopt;
    }
    return path;
}

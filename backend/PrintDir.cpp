#include "PrintDir.h"

#include "FileDescriptor.h"
#include "SystemLog.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr mode_t kParentMode = 0755;
constexpr mode_t kUserMode = 0700;
constexpr mode_t kAnonymousMode = 0777;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Opens the spool root, making it and any missing parent (root's, 0755) on
// the way. The root and its parents are the administrator's, who may have
// moved the tree elsewhere by a symbolic link: links there are followed.
FileDescriptor openSpoolRoot(const std::string &spoolRoot)
{
    FileDescriptor directory(open(spoolRoot.c_str(), kDirectoryFlags));
    if (directory.isValid() || errno != ENOENT) {
        return directory;
    }
    directory = FileDescriptor(open(spoolRoot.starts_with('/') ? "/" : ".", kDirectoryFlags));
    for (size_t begin = 0; directory.isValid() && begin < spoolRoot.size();) {
        const size_t end = std::min(spoolRoot.find('/', begin), spoolRoot.size());
        const std::string component = spoolRoot.substr(begin, end - begin);
        begin = end + 1;
        if (component.empty()) {
            continue;
        }
        const bool created = mkdirat(directory.get(), component.c_str(), kParentMode) == 0;
        if (!created && errno != EEXIST) {
            return {};
        }
        directory = FileDescriptor(openat(directory.get(), component.c_str(), kDirectoryFlags));
        // The umask must not narrow a new parent: every user's uploader walks it.
        if (created && directory.isValid() && fchmod(directory.get(), kParentMode) != 0) {
            return {};
        }
    }
    return directory;
}

// Whether `name` in `root` is a directory; a link there is not one.
bool isDirectoryIn(int root, const std::string &name)
{
    struct stat info {};
    return fstatat(root, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

bool handOver(int root, const std::string &name, const ZEKAccount &account, mode_t mode)
{
    // Never follow a link: the owner and mode go to this directory only.
    const FileDescriptor directory(openat(root, name.c_str(), kDirectoryFlags | O_NOFOLLOW));
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
    const FileDescriptor root = openSpoolRoot(spoolRoot);
    if (!root.isValid()) {
        zek::systemLog("Error creating printUserDir: " + path);
        return std::nullopt;
    }
    if (isDirectoryIn(root.get(), directoryName)) {
        return path;
    }
    // Made closed from the start: while it is still root's, nobody else may
    // open it and keep the descriptor to read the user's job names later on.
    const bool created = mkdirat(root.get(), directoryName.c_str(), kUserMode) == 0;
    // Another backend run may have made it a moment ago.
    if (!created && (errno != EEXIST || !isDirectoryIn(root.get(), directoryName))) {
        zek::systemLog("Error creating printUserDir: " + path);
        return std::nullopt;
    }
    const mode_t mode = directoryName == kZEKAnonymousDirectoryName ? kAnonymousMode : kUserMode;
    if (!handOver(root.get(), directoryName, account, mode)) {
        zek::systemLog("Error changing attributes for printUserDir: " + path);
        if (created) {
            // Left behind, a directory not the user's would collect every
            // later job of this user, undeletable by the user's uploader.
            unlinkat(root.get(), directoryName.c_str(), AT_REMOVEDIR);
        }
        return std::nullopt;
    }
    return path;
}

#include "TreeWalk.h"

#include "Beneath.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::file_type typeOf(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return fs::file_type::regular;
    case S_IFDIR:
        return fs::file_type::directory;
    case S_IFLNK:
        return fs::file_type::symlink;
    case S_IFIFO:
        return fs::file_type::fifo;
    case S_IFSOCK:
        return fs::file_type::socket;
    case S_IFBLK:
        return fs::file_type::block;
    case S_IFCHR:
        return fs::file_type::character;
    default:
        return fs::file_type::unknown;
    }
}

fs::file_type typeOf(int directory, const dirent &entry)
{
    if (entry.d_type != DT_UNKNOWN) {
        return typeOf(DTTOIF(entry.d_type));
    }
    // Not every file system says; then it is asked, the link itself.
    struct stat status {};
    if (fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return fs::file_type::not_found;
    }
    return typeOf(status.st_mode);
}

bool isExpected(int error)
{
    return error == EACCES || error == ENOENT || error == ENOTDIR;
}

} // namespace

TreeWalk::TreeWalk(Enter enter, Visit visit, Skipped skipped)
    : enter_(std::move(enter)), visit_(std::move(visit)), skipped_(std::move(skipped))
{}

void TreeWalk::walk(const QByteArray &top, bool recursive) const
{
    if (!enter_(top)) {
        return;
    }
    const int topDirectory = open(top.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (topDirectory < 0) {
        if (!isExpected(errno)) {
            skipped_(top, std::error_code(errno, std::generic_category()));
        }
        return;
    }
    const QByteArray prefix = top.endsWith('/') ? top : top + '/';
    // Depth first, with a stack of our own: the depth of a tree is up to its users. Each entry
    // is the directory's path below the top.
    std::vector<QByteArray> stack{QByteArray()};
    while (!stack.empty()) {
        const QByteArray relative = std::move(stack.back());
        stack.pop_back();
        const QByteArray path = relative.isEmpty() ? top : prefix + relative;
        const int directory =
            zek::openBeneath(topDirectory, relative, O_RDONLY | O_DIRECTORY | O_NONBLOCK);
        DIR *listing = directory >= 0 ? fdopendir(directory) : nullptr;
        if (!listing) {
            if (!isExpected(errno) && errno != ELOOP && errno != EXDEV) {
                skipped_(path, std::error_code(errno, std::generic_category()));
            }
            if (directory >= 0) {
                close(directory);
            }
            continue;
        }
        std::vector<QByteArray> below;
        int error = 0;
        for (;;) {
            errno = 0;
            const dirent *entry = readdir(listing);
            if (!entry) {
                error = errno;
                break;
            }
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..") {
                continue;
            }
            const QByteArray entryPath =
                prefix + (relative.isEmpty() ? name : relative + '/' + name);
            const fs::file_type type = typeOf(directory, *entry);
            visit_({entryPath, type, directory, entry->d_name});
            if (recursive && type == fs::file_type::directory) {
                below.push_back(relative.isEmpty() ? name : relative + '/' + name);
            }
        }
        closedir(listing);
        if (error != 0 && !isExpected(error)) {
            skipped_(path, std::error_code(error, std::generic_category()));
        }
        // In their listed order, each right after the one before and its tree.
        for (auto next = below.rbegin(); next != below.rend(); ++next) {
            if (enter_(prefix + *next)) {
                stack.push_back(std::move(*next));
            }
        }
    }
    close(topDirectory);
}

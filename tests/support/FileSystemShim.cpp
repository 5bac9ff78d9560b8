// Preloaded (LD_PRELOAD) into a program under test to watch and steer some of
// its file system calls. Settings come from the environment:
//   ZEK_SHIM_NOREPLACE_EINVAL=1  renameat2 with RENAME_NOREPLACE fails with
//                                EINVAL, as on file systems that cannot do it.
//   ZEK_SHIM_LOG=<file>          after every successful call that makes a
//                                directory or changes its owner or mode, the
//                                shim appends "<call> <uid> <octal mode> <path>"
//                                as the directory now is; a refused rename
//                                appends "renameat2 refused <new path>".
//   ZEK_SHIM_PAUSE_BEFORE_CHOWN_MS=<n>  fchown waits n milliseconds first, so
//                                a watcher surely sees a directory before it
//                                changes hands.
// Everything else goes to the real functions.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void append(const char *log, const char *line)
{
    const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, line, std::strlen(line));
        close(fd);
    }
}

// The absolute path of `name` relative to the directory `at` (or of `at`
// itself when `name` is empty).
void pathOf(int at, const char *name, char *out, size_t size)
{
    if (name[0] == '/') {
        std::snprintf(out, size, "%s", name);
        return;
    }
    char directory[PATH_MAX] = "";
    if (at == AT_FDCWD) {
        if (getcwd(directory, sizeof directory) == nullptr) {
            directory[0] = '\0';
        }
    } else {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", at);
        const ssize_t n = readlink(link, directory, sizeof directory - 1);
        directory[n < 0 ? 0 : n] = '\0';
    }
    std::snprintf(out, size, name[0] == '\0' ? "%s" : "%s/%s", directory, name);
}

void logDirectory(const char *call, int at, const char *name, int statFlags)
{
    const char *log = std::getenv("ZEK_SHIM_LOG");
    if (log == nullptr) {
        return;
    }
    const int savedErrno = errno;
    struct stat info {};
    const int rc = name[0] == '\0' ? fstat(at, &info) : fstatat(at, name, &info, statFlags);
    if (rc == 0 && S_ISDIR(info.st_mode)) {
        char path[2 * PATH_MAX];
        pathOf(at, name, path, sizeof path);
        char line[sizeof path + 64];
        std::snprintf(line, sizeof line, "%s %u %o %s\n", call, static_cast<unsigned>(info.st_uid),
                      static_cast<unsigned>(info.st_mode & 07777), path);
        append(log, line);
    }
    errno = savedErrno;
}

int logged(int rc, const char *call, int at, const char *name, int statFlags)
{
    if (rc == 0) {
        logDirectory(call, at, name, statFlags);
    }
    return rc;
}

} // namespace

extern "C" {

int renameat2(int oldAt, const char *oldPath, int newAt, const char *newPath, unsigned int flags)
{
    const char *refuse = std::getenv("ZEK_SHIM_NOREPLACE_EINVAL");
    if ((flags & RENAME_NOREPLACE) != 0 && refuse != nullptr && std::strcmp(refuse, "1") == 0) {
        if (const char *log = std::getenv("ZEK_SHIM_LOG")) {
            char line[PATH_MAX + 64];
            std::snprintf(line, sizeof line, "renameat2 refused %s\n", newPath);
            append(log, line);
        }
        errno = EINVAL;
        return -1;
    }
    static const auto real =
        next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2");
    return real(oldAt, oldPath, newAt, newPath, flags);
}

int mkdir(const char *path, mode_t mode)
{
    static const auto real = next<int (*)(const char *, mode_t)>("mkdir");
    return logged(real(path, mode), "mkdir", AT_FDCWD, path, AT_SYMLINK_NOFOLLOW);
}

int mkdirat(int at, const char *path, mode_t mode)
{
    static const auto real = next<int (*)(int, const char *, mode_t)>("mkdirat");
    return logged(real(at, path, mode), "mkdirat", at, path, AT_SYMLINK_NOFOLLOW);
}

int chmod(const char *path, mode_t mode)
{
    static const auto real = next<int (*)(const char *, mode_t)>("chmod");
    return logged(real(path, mode), "chmod", AT_FDCWD, path, 0);
}

int fchmod(int fd, mode_t mode)
{
    static const auto real = next<int (*)(int, mode_t)>("fchmod");
    return logged(real(fd, mode), "fchmod", fd, "", 0);
}

int fchmodat(int at, const char *path, mode_t mode, int flags)
{
    static const auto real = next<int (*)(int, const char *, mode_t, int)>("fchmodat");
    return logged(real(at, path, mode, flags), "fchmodat", at, path, flags & AT_SYMLINK_NOFOLLOW);
}

int chown(const char *path, uid_t owner, gid_t group)
{
    static const auto real = next<int (*)(const char *, uid_t, gid_t)>("chown");
    return logged(real(path, owner, group), "chown", AT_FDCWD, path, 0);
}

int fchown(int fd, uid_t owner, gid_t group)
{
    static const auto real = next<int (*)(int, uid_t, gid_t)>("fchown");
    if (const char *pause = std::getenv("ZEK_SHIM_PAUSE_BEFORE_CHOWN_MS")) {
        usleep(static_cast<useconds_t>(std::atoi(pause)) * 1000);
    }
    return logged(real(fd, owner, group), "fchown", fd, "", 0);
}

int fchownat(int at, const char *path, uid_t owner, gid_t group, int flags)
{
    static const auto real = next<int (*)(int, const char *, uid_t, gid_t, int)>("fchownat");
    return logged(real(at, path, owner, group, flags), "fchownat", at, path,
                  flags & AT_SYMLINK_NOFOLLOW);
}

} // extern "C"

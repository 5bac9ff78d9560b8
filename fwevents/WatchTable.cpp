#include "WatchTable.h"

#include "BytePaths.h"
#include "FileNames.h"
#include "SystemLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

WatchTable::WatchTable() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

WatchTable::~WatchTable()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

int WatchTable::add(const QByteArray &path, quint32 mask)
{
    const int wd = inotify_add_watch(fd_, path.constData(), mask);
    if (wd < 0 && errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != ELOOP) {
        // Most likely the user's inotify watch limit, or a path longer than the system allows.
        zek::systemLog("FWEvents: cannot watch " + zek::displayPath(path).toStdString() + ": " +
                       std::strerror(errno));
    }
    return wd;
}

const WatchTable::Watch *WatchTable::find(int wd) const
{
    const auto found = watches_.constFind(wd);
    return found == watches_.constEnd() ? nullptr : &*found;
}

void WatchTable::placeInTree(int wd, const QByteArray &path, int root,
                             std::optional<FileIdentity> directory)
{
    Watch &watch = watches_[wd];
    watch.path = path;
    watchAt_.insert(path, wd);
    if (directory) {
        watch.directory = *directory;
    }
    watch.treeOf = root;
    watch.generation = ++generation_;
    watch.muted = false;
}

void WatchTable::mute(int wd)
{
    watches_[wd].muted = true;
}

void WatchTable::leaveTree(int wd)
{
    const auto found = watches_.find(wd);
    if (found != watches_.end()) {
        found->treeOf = -1;
        release(wd);
    }
}

void WatchTable::dropTree(int root)
{
    QList<int> dropped;
    for (auto watch = watches_.begin(); watch != watches_.end(); ++watch) {
        if (watch->treeOf == root) {
            watch->treeOf = -1;
            dropped.append(watch.key());
        }
    }
    for (const int wd : std::as_const(dropped)) {
        release(wd);
    }
}

void WatchTable::placeOnWay(int wd)
{
    watches_[wd].onTheWay = true;
}

void WatchTable::leaveWay(int wd)
{
    const auto found = watches_.find(wd);
    if (found != watches_.end()) {
        found->onTheWay = false;
        release(wd);
    }
}

void WatchTable::forgetDropped(int wd)
{
    const auto found = watches_.constFind(wd);
    if (found != watches_.constEnd()) {
        freed_ = true;
        const QByteArray path = found->path;
        watches_.erase(found);
        forgetPath(path, wd);
    }
}

void WatchTable::reset()
{
    // Removing the watches one by one would queue an event for each, enough to overflow the
    // queue again on a large tree.
    const int fresh = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fresh >= 0) {
        dup3(fresh, fd_, O_CLOEXEC);
        close(fresh);
    } else {
        for (auto watch = watches_.cbegin(); watch != watches_.cend(); ++watch) {
            inotify_rm_watch(fd_, watch.key());
        }
    }
    watches_.clear();
    watchAt_.clear();
}

bool WatchTable::isWatched(const QByteArray &path, int root) const
{
    // By the index, not a walk of every watch: a storm of changes of rights (chmod -R, a backup
    // tool) asks this for every directory of the tree.
    const auto watch = watches_.constFind(watchAt_.value(path, -1));
    return watch != watches_.constEnd() && watch->path == path && watch->treeOf == root;
}

QList<WatchTable::Reference> WatchTable::below(const QByteArray &directory, int root) const
{
    QList<Reference> found;
    for (auto watch = watches_.cbegin(); watch != watches_.cend(); ++watch) {
        if (watch->treeOf == root && bytepaths::isInside(watch->path, directory)) {
            found.append({watch.key(), watch->generation});
        }
    }
    return found;
}

bool WatchTable::isCurrent(const Reference &reference) const
{
    const auto watch = watches_.constFind(reference.watch);
    return watch != watches_.constEnd() && watch->generation == reference.generation &&
           watch->treeOf >= 0;
}

void WatchTable::release(int wd)
{
    const auto watch = watches_.constFind(wd);
    if (watch != watches_.constEnd() && watch->treeOf < 0 && !watch->onTheWay) {
        inotify_rm_watch(fd_, wd);
        freed_ = true;
        forgetPath(watch->path, wd);
        watches_.erase(watch);
    }
}

void WatchTable::forgetPath(const QByteArray &path, int wd)
{
    if (watchAt_.value(path, -1) == wd) {
        watchAt_.remove(path);
    }
}

#include "InotifyTree.h"

#include "FWEvent.h"
#include "FileNames.h"
#include "SystemLog.h"
#include "TreeWalk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Closing a file is not a change; a link is never followed, so a link cannot lead the watch
// out of the tree.
constexpr quint32 kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                               IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                               IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// A directory on the way to a root only tells when its entries come, go or change rights; added
// to what the watch already reports, should the directory also be part of a tree.
constexpr quint32 kStepWatchMask = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                   IN_MASK_ADD;

const QByteArray kSlash("/");

bool isInside(const QByteArray &path, const QByteArray &directory)
{
    return directory == kSlash || path == directory ||
           (path.startsWith(directory) && path.at(directory.size()) == '/');
}

QByteArray childPath(const QByteArray &directory, const QByteArray &name)
{
    return directory == kSlash ? kSlash + name : directory + '/' + name;
}

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? kSlash : path.left(slash);
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

// The item's own type, links not followed; nothing when it is already gone.
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
    return S_ISLNK(status.st_mode) ? kFWEventFlagItemIsSymlink : 0;
}

quint32 changeFlags(quint32 mask)
{
    quint32 flags = 0;
    if (mask & IN_CREATE) {
        flags |= kFWEventFlagItemCreated;
    }
    if (mask & IN_DELETE) {
        flags |= kFWEventFlagItemRemoved;
    }
    if (mask & IN_ATTRIB) {
        flags |= kFWEventFlagItemInodeMetaMod;
    }
    if (mask & (IN_MOVED_FROM | IN_MOVED_TO)) {
        flags |= kFWEventFlagItemRenamed;
    }
    if (mask & IN_MODIFY) {
        flags |= kFWEventFlagItemModified;
    }
    return flags;
}

QByteArrayList splitSteps(const QByteArray &path)
{
    QByteArrayList steps = path.split('/');
    steps.removeAll(QByteArray());
    return steps;
}

// A path can lead through this many symbolic links, as the kernel allows.
constexpr int kMaxLinks = 40;

// What changes the entry that a root's path goes on through.
constexpr quint32 kStepChange = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

} // namespace

InotifyTree::InotifyTree(QByteArrayList roots, bool reportRootChanges)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), reportRootChanges_(reportRootChanges)
{
    for (QByteArray &root : roots) {
        roots_.append({std::move(root)});
    }
}

InotifyTree::~InotifyTree()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void InotifyTree::watchRoots()
{
    for (int root = 0; root < roots_.size(); ++root) {
        checkRoot(root, nullptr);
    }
}

void InotifyTree::readEvents(EventBatch &batch)
{
    // Only what is queued now: a steady stream of events must not keep flushes and delivery
    // waiting.
    int queued = 0;
    ioctl(fd_, FIONREAD, &queued);
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t taken = 0; taken < queued || taken == 0;) {
        const ssize_t length = read(fd_, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break;
        }
        taken += length;
        for (const char *next = buffer; next < buffer + length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(next);
            handle(*event, batch);
            next += sizeof(inotify_event) + event->len;
        }
    }
    expirePendingMoves();
    watchStarved(batch);
}

void InotifyTree::watchStarved(EventBatch &batch)
{
    if (!watchesFreed_ || starved_.isEmpty()) {
        return;
    }
    watchesFreed_ = false;
    const QHash<QByteArray, int> starved = std::exchange(starved_, {});
    for (auto directory = starved.cbegin(); directory != starved.cend(); ++directory) {
        struct stat status {};
        if (lstat(directory.key().constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
            !isWatched(directory.key(), directory.value())) {
            // What came while it was not watched arrives now; short again, it waits again.
            watchTree(directory.key(), directory.value(), &batch);
        }
    }
}

void InotifyTree::mountsChanged(EventBatch &batch)
{
    // A root's own top is followed by its watch's unmount and removal events, as before.
    const auto isTop = [this](int wd) {
        return std::any_of(roots_.cbegin(), roots_.cend(),
                           [wd](const Root &root) { return root.topWatch == wd; });
    };
    QList<std::pair<QByteArray, int>> covered;
    for (auto node = nodes_.cbegin(); node != nodes_.cend(); ++node) {
        struct stat now {};
        if (node->treeOf >= 0 && !node->muted && !isTop(node.key()) &&
            lstat(node->path.constData(), &now) == 0 && S_ISDIR(now.st_mode) &&
            FileIdentity{now.st_dev, now.st_ino} != node->directory) {
            covered.append({node->path, node->treeOf});
        }
    }
    for (const auto &[path, root] : std::as_const(covered)) {
        if (!isWatched(path, root)) {
            continue; // below another one taken anew already
        }
        for (const WatchReference &reference : watchesBelow(path, root)) {
            nodes_[reference.watch].treeOf = -1;
            release(reference.watch);
        }
        watchTree(path, root, &batch);
    }
}

void InotifyTree::handle(const inotify_event &event, EventBatch &batch)
{
    if (event.mask & IN_Q_OVERFLOW) {
        handleOverflow(batch);
        return;
    }
    const auto found = nodes_.constFind(event.wd);
    if (found == nodes_.constEnd()) {
        return; // a watch given up earlier
    }
    const Node node = *found; // a copy: handling may add or drop watches
    if (event.mask & IN_IGNORED) {
        watchesFreed_ = true;
        nodes_.remove(event.wd);
        forgetPath(node.path, event.wd);
        handleSelf(event.wd, node, IN_DELETE_SELF, batch);
    } else if (event.len == 0) {
        handleSelf(event.wd, node, event.mask, batch);
    } else {
        handleEntry(node, event, batch);
    }
}

void InotifyTree::handleSelf(int wd, const Node &node, quint32 mask, EventBatch &batch)
{
    if (node.treeOf >= 0 && !node.muted && (mask & IN_ATTRIB)) {
        batch.add(node.path, kFWEventFlagItemInodeMetaMod | kFWEventFlagItemIsDir);
    }
    if (node.treeOf >= 0 && !node.muted && (mask & IN_UNMOUNT)) {
        batch.add(node.path, kFWEventFlagUnmount);
    }
    if (!(mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        return;
    }
    // The directory is no longer at its path: the roots it led to, or the root it was the top
    // of, may lead elsewhere now. Inside a tree its parent reports the change.
    QList<int> affected;
    for (const Step &step : node.steps) {
        affected.append(step.root);
    }
    for (int root = 0; root < roots_.size(); ++root) {
        if (roots_[root].topWatch == wd) {
            affected.append(root);
        }
    }
    for (const int root : std::as_const(affected)) {
        checkRoot(root, &batch);
    }
}

void InotifyTree::handleEntry(const Node &node, const inotify_event &event, EventBatch &batch)
{
    if (node.treeOf >= 0 && !node.muted) {
        handleTreeEntry(node, event, batch);
    }
    const QByteArray name(event.name);
    QList<int> affected;
    for (const Step &step : node.steps) {
        // A change of rights may make a path that could not be followed passable.
        const bool waiting = roots_[step.root].topWatch < 0;
        if (step.name == name &&
            ((event.mask & kStepChange) || (waiting && event.mask & IN_ATTRIB))) {
            affected.append(step.root);
        }
    }
    for (const int root : std::as_const(affected)) {
        checkRoot(root, &batch);
    }
}

void InotifyTree::handleTreeEntry(const Node &node, const inotify_event &event, EventBatch &batch)
{
    const QByteArray path = childPath(node.path, QByteArray(event.name));
    const bool isDir = event.mask & IN_ISDIR;
    const quint32 flags = changeFlags(event.mask);
    if (flags == 0) {
        return;
    }
    const quint32 type = isDir ? kFWEventFlagItemIsDir : typeFlagAt(path);
    batch.add(path, flags | type);

    if (event.mask & IN_MOVED_FROM) {
        const QList<WatchReference> watches =
            isDir ? watchesBelow(path, node.treeOf) : QList<WatchReference>();
        // Until the second half says where it went, nothing in it is reported: it may be
        // outside the tree already.
        for (const WatchReference &reference : watches) {
            nodes_[reference.watch].muted = true;
        }
        pendingMoves_.insert(event.cookie, {path, isDir, readGeneration_, watches});
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        const auto from = pendingMoves_.constFind(event.cookie);
        if (from != pendingMoves_.constEnd()) {
            const PendingMove move = *from;
            pendingMoves_.erase(from);
            if (!move.isDir) {
                batch.refine(move.path, type); // the old name is gone: it had the new one's type
                return;
            }
            // What is held of the directory's items is reported where they are now.
            batch.move(move.path, path);
            // The same watches, now under the new name; set up anew, so that an earlier move
            // that took them along cannot drop them.
            bool watched = false;
            for (const WatchReference &reference : move.watches) {
                if (isCurrent(reference)) {
                    Node &moved = nodes_[reference.watch];
                    moved.path = path + moved.path.mid(move.path.size());
                    watchAt_.insert(moved.path, reference.watch);
                    moved.treeOf = node.treeOf;
                    moved.generation = ++watchGeneration_;
                    moved.muted = false;
                    watched = watched || moved.path == path;
                }
            }
            if (!watched) {
                // Never watched (filled and moved before its creation was read), or its
                // watches went meanwhile: what is in it arrives now.
                watchTree(path, node.treeOf, &batch);
            }
            return;
        }
    }
    if (isDir && (event.mask & (IN_CREATE | IN_MOVED_TO))) {
        watchTree(path, node.treeOf, &batch);
    } else if (isDir && (event.mask & IN_ATTRIB)) {
        if (!isWatched(path, node.treeOf)) {
            // A directory that could not be read when it came may be readable now: the backend
            // makes a user's directory as root's, then hands it to the user, whose uploader is
            // told of the change of owner. What is already in it is reported as arrived.
            watchTree(path, node.treeOf, &batch);
        } else {
            // Its rights may have hidden what came meanwhile (0700 for a while, to this user):
            // its entries are reported as arrived; the receiver reports each job once.
            reportEntries(path, batch);
        }
    }
}

void InotifyTree::reportEntries(const QByteArray &directory, EventBatch &batch) const
{
    const TreeWalk walk([](const QByteArray &) { return true; },
                        [&](const TreeWalk::Entry &entry) {
                            batch.add(entry.path, kFWEventFlagItemRenamed | typeFlag(entry.type));
                        },
                        [](const QByteArray &, const std::error_code &) {});
    walk.walk(directory, false);
}

bool InotifyTree::isWatched(const QByteArray &path, int root) const
{
    // By the index, not a walk of every watch: a storm of changes of rights (chmod -R, a backup
    // tool) asks this for every directory of the tree.
    const auto node = nodes_.constFind(watchAt_.value(path, -1));
    return node != nodes_.constEnd() && node->path == path && node->treeOf == root;
}

void InotifyTree::handleOverflow(EventBatch &batch)
{
    for (const Root &root : std::as_const(roots_)) {
        batch.add(root.path, kFWEventFlagMustScanSubDirs | kFWEventFlagKernelDropped);
    }
    // Anything may have moved unseen, and the halves of renames are lost: set every watch up
    // anew, on a new instance in the same descriptor. Removing the watches one by one would queue
    // an event for each, enough to overflow the queue again on a large tree. Files are for the
    // receiver's scan, so they are not reported here.
    const int fresh = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fresh >= 0) {
        dup3(fresh, fd_, O_CLOEXEC);
        close(fresh);
    } else {
        for (auto node = nodes_.cbegin(); node != nodes_.cend(); ++node) {
            inotify_rm_watch(fd_, node.key());
        }
    }
    nodes_.clear();
    watchAt_.clear();
    starved_.clear(); // the walk below tries them all again
    pendingMoves_.clear();
    for (Root &root : roots_) {
        root.topWatch = -1;
    }
    watchRoots();
}

// The second half of a rename is queued right after the first, though a read may end between
// them; one that has not come by the end of the next read never will: the item left the tree. Its
// watches go, unless something set them up again meanwhile (a directory of that name made anew, or
// the same one moved back).
void InotifyTree::expirePendingMoves()
{
    for (auto move = pendingMoves_.begin(); move != pendingMoves_.end();) {
        if (move->readGeneration < readGeneration_) {
            for (const WatchReference &reference : std::as_const(move->watches)) {
                if (isCurrent(reference)) {
                    nodes_[reference.watch].treeOf = -1;
                    release(reference.watch);
                }
            }
            move = pendingMoves_.erase(move);
        } else {
            ++move;
        }
    }
    ++readGeneration_;
}

void InotifyTree::checkRoot(int root, EventBatch *batch)
{
    const std::optional<QByteArray> top = followPath(root);
    std::optional<FileIdentity> identity;
    struct stat info {};
    if (top && lstat(top->constData(), &info) == 0) {
        identity = FileIdentity{info.st_dev, info.st_ino};
    }
    Root &current = roots_[root];
    const bool watched = current.topWatch >= 0 && nodes_.contains(current.topWatch);
    if (watched && identity == current.top) {
        return; // the path still leads to the directory watched
    }
    if (current.topWatch >= 0) {
        unwatchTree(root);
        current.topWatch = -1;
        if (batch && reportRootChanges_) {
            batch->add(current.path, kFWEventFlagRootChanged);
        }
    }
    if (!identity) {
        return;
    }
    const int wd = watchTree(roots_[root].path, root, batch, *top);
    if (wd >= 0 && batch && reportRootChanges_) {
        batch->add(roots_[root].path, kFWEventFlagRootChanged);
    }
    roots_[root].topWatch = wd;
    roots_[root].top = *identity;
}

std::optional<QByteArray> InotifyTree::followPath(int root)
{
    QList<QPair<int, QByteArray>> steps;
    std::optional<QByteArray> top;
    QByteArray directory = kSlash;
    QByteArrayList rest = splitSteps(roots_[root].path);
    int links = 0;
    for (;;) {
        if (rest.isEmpty()) {
            top = directory;
            break;
        }
        const QByteArray name = rest.takeFirst();
        if (name == ".") {
            continue;
        }
        if (name == "..") {
            directory = parentOf(directory);
            continue;
        }
        // A directory that may be passed but not listed cannot be watched: the path still
        // leads through it, without notice of changes there.
        const int wd = addWatch(directory, kStepWatchMask);
        if (wd >= 0) {
            steps.append({wd, name});
        } else if (errno != EACCES) {
            break;
        }
        const QByteArray next = childPath(directory, name);
        struct stat info {};
        if (lstat(next.constData(), &info) != 0) {
            break; // not there (yet): the step's watch sees it come
        }
        if (S_ISDIR(info.st_mode)) {
            directory = next;
        } else if (S_ISLNK(info.st_mode) && ++links <= kMaxLinks) {
            std::error_code error;
            const fs::path target = fs::read_symlink(next.constData(), error);
            if (error) {
                break;
            }
            const QByteArray text(target.c_str());
            if (text.startsWith('/')) {
                directory = kSlash;
            }
            rest = splitSteps(text) + rest;
        } else {
            break; // something else in the way, until it is replaced
        }
    }
    setSteps(root, steps);
    return top;
}

void InotifyTree::setSteps(int root, const QList<QPair<int, QByteArray>> &steps)
{
    for (const auto &[wd, name] : steps) {
        Node &node = nodes_[wd];
        if (!node.steps.contains(Step{root, name})) {
            node.steps.append({root, name});
        }
    }
    QList<int> unused;
    for (auto node = nodes_.begin(); node != nodes_.end(); ++node) {
        node->steps.removeIf([&](const Step &step) {
            return step.root == root && !steps.contains(qMakePair(node.key(), step.name));
        });
        unused.append(node.key());
    }
    for (const int wd : std::as_const(unused)) {
        release(wd);
    }
}

int InotifyTree::addWatch(const QByteArray &path, quint32 mask)
{
    const int wd = inotify_add_watch(fd_, path.constData(), mask);
    if (wd < 0 && errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != ELOOP) {
        // Most likely the user's inotify watch limit, or a path longer than the system allows.
        zek::systemLog("FWEvents: cannot watch " + zek::displayPath(path).toStdString() + ": " +
                       std::strerror(errno));
    }
    return wd;
}

int InotifyTree::watchTree(const QByteArray &directory, int root, EventBatch *arrivals,
                           const QByteArray &watchAt)
{
    int topWatch = -1;
    const TreeWalk walk(
        [&](const QByteArray &path) {
            const bool isTop = path == directory;
            const int wd = addWatch(isTop && !watchAt.isNull() ? watchAt : path, kWatchMask);
            if (wd < 0) {
                if (errno == ENOSPC) {
                    starved_.insert(path, root); // tried again once watches are given up
                }
                return false; // gone again, or not ours to read
            }
            starved_.remove(path);
            Node &node = nodes_[wd];
            node.path = path;
            watchAt_.insert(path, wd);
            struct stat watched {};
            if (lstat((isTop && !watchAt.isNull() ? watchAt : path).constData(), &watched) == 0) {
                node.directory = {watched.st_dev, watched.st_ino};
            }
            node.treeOf = root;
            node.generation = ++watchGeneration_;
            node.muted = false;
            if (isTop) {
                topWatch = wd;
            }
            return true;
        },
        [&](const TreeWalk::Entry &entry) {
            if (arrivals) {
                arrivals->add(entry.path, kFWEventFlagItemRenamed | typeFlag(entry.type));
            }
        },
        [](const QByteArray &path, const std::error_code &error) {
            zek::systemLog("FWEvents: cannot read " + zek::displayPath(path).toStdString() + ": " +
                           error.message());
        });
    walk.walk(directory);
    return topWatch;
}

void InotifyTree::unwatchTree(int root)
{
    QList<int> dropped;
    for (auto node = nodes_.begin(); node != nodes_.end(); ++node) {
        if (node->treeOf == root) {
            node->treeOf = -1;
            dropped.append(node.key());
        }
    }
    for (const int wd : std::as_const(dropped)) {
        release(wd);
    }
}

QList<InotifyTree::WatchReference> InotifyTree::watchesBelow(const QByteArray &directory,
                                                             int root) const
{
    QList<WatchReference> watches;
    for (auto node = nodes_.cbegin(); node != nodes_.cend(); ++node) {
        if (node->treeOf == root && isInside(node->path, directory)) {
            watches.append({node.key(), node->generation});
        }
    }
    return watches;
}

bool InotifyTree::isCurrent(const WatchReference &reference) const
{
    const auto node = nodes_.constFind(reference.watch);
    return node != nodes_.constEnd() && node->generation == reference.generation &&
           node->treeOf >= 0;
}

void InotifyTree::forgetPath(const QByteArray &path, int wd)
{
    if (watchAt_.value(path, -1) == wd) {
        watchAt_.remove(path);
    }
}

void InotifyTree::release(int wd)
{
    const auto node = nodes_.constFind(wd);
    if (node != nodes_.constEnd() && node->treeOf < 0 && node->steps.isEmpty()) {
        inotify_rm_watch(fd_, wd);
        watchesFreed_ = true;
        forgetPath(node->path, wd);
        nodes_.erase(node);
    }
}

#include "InotifyTree.h"

#include "FWEvent.h"
#include "SystemLog.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Closing a file is not a change; a link is never followed, so a link cannot lead the watch
// out of the tree.
constexpr quint32 kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                               IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                               IN_DONT_FOLLOW | IN_EXCL_UNLINK;

const QString kSlash = QStringLiteral("/");

bool isInside(const QString &path, const QString &directory)
{
    return directory == kSlash || path == directory ||
           (path.startsWith(directory) && path.at(directory.size()) == u'/');
}

QString childPath(const QString &directory, const QString &name)
{
    return directory == kSlash ? kSlash + name : directory + u'/' + name;
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
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
quint32 typeFlagAt(const QString &path)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(QFile::encodeName(path).constData(), error);
    return error ? 0 : typeFlag(status.type());
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

} // namespace

InotifyTree::InotifyTree(QStringList roots, bool reportRootChanges)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), roots_(std::move(roots)),
      reportRootChanges_(reportRootChanges)
{}

InotifyTree::~InotifyTree()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void InotifyTree::watchRoots()
{
    for (const QString &root : std::as_const(roots_)) {
        attachRoot(root, nullptr);
    }
}

void InotifyTree::readEvents(EventBatch &batch)
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = read(fd_, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break;
        }
        for (const char *next = buffer; next < buffer + length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(next);
            handle(*event, batch);
            next += sizeof(inotify_event) + event->len;
        }
    }
    expirePendingMoves(batch);
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
        nodes_.remove(event.wd);
        for (const QString &root : node.waitingRoots) {
            attachRoot(root, &batch);
        }
    } else if (event.len == 0) {
        handleSelf(event.wd, node, event.mask, batch);
    } else {
        handleEntry(node, event, batch);
    }
}

void InotifyTree::handleSelf(int wd, const Node &node, quint32 mask, EventBatch &batch)
{
    if (node.inTree && (mask & IN_ATTRIB)) {
        batch.add(node.path, kFWEventFlagItemInodeMetaMod | kFWEventFlagItemIsDir);
    }
    if (node.inTree && (mask & IN_UNMOUNT)) {
        batch.add(node.path, kFWEventFlagUnmount);
    }
    if (!(mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        return;
    }
    // The directory is no longer at its path. Inside a tree its parent reports that.
    if (node.inTree && roots_.contains(node.path)) {
        rootChanged(node.path, batch);
    }
    if (!node.inTree && !node.waitingRoots.isEmpty()) {
        inotify_rm_watch(fd_, wd);
        nodes_.remove(wd);
        for (const QString &root : node.waitingRoots) {
            attachRoot(root, &batch);
        }
    }
}

void InotifyTree::handleEntry(const Node &node, const inotify_event &event, EventBatch &batch)
{
    const QString path = childPath(node.path, QFile::decodeName(event.name));
    const bool isDir = event.mask & IN_ISDIR;
    const bool arrived = event.mask & (IN_CREATE | IN_MOVED_TO);
    if (isDir && arrived) {
        for (const QString &root : node.waitingRoots) {
            if (isInside(root, path)) {
                attachRoot(root, &batch);
            }
        }
    }
    const quint32 flags = changeFlags(event.mask);
    if (!node.inTree || flags == 0) {
        return;
    }
    const quint32 type = isDir ? kFWEventFlagItemIsDir : typeFlagAt(path);
    batch.add(path, flags | type);

    if (event.mask & IN_MOVED_FROM) {
        pendingMoves_.insert(event.cookie, {path, isDir, generation_});
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        const auto from = pendingMoves_.constFind(event.cookie);
        if (from != pendingMoves_.constEnd()) {
            const PendingMove move = *from;
            pendingMoves_.erase(from);
            if (move.isDir) {
                relabel(move.path, path); // the same watches, now under the new name
            } else {
                batch.refine(move.path, type); // the old name is gone: it had the new one's type
            }
            return;
        }
    }
    if (isDir && arrived) {
        watchTree(path, &batch);
    }
}

void InotifyTree::handleOverflow(EventBatch &batch)
{
    for (const QString &root : std::as_const(roots_)) {
        batch.add(root, kFWEventFlagMustScanSubDirs | kFWEventFlagKernelDropped);
    }
    // Directories may have come unseen: walk the trees again. Their files are for the
    // receiver's rescan, so they are not reported here.
    pendingMoves_.clear();
    for (const QString &root : std::as_const(roots_)) {
        attachRoot(root, nullptr);
    }
}

// The second half of a rename is queued together with the first; one that has not come by the
// end of the next read never will: the item left the tree.
void InotifyTree::expirePendingMoves(EventBatch &batch)
{
    for (auto move = pendingMoves_.begin(); move != pendingMoves_.end();) {
        if (move->generation < generation_) {
            if (move->isDir) {
                unwatchTree(move->path, batch);
            }
            move = pendingMoves_.erase(move);
        } else {
            ++move;
        }
    }
    ++generation_;
}

int InotifyTree::addWatch(const QString &path)
{
    const int wd = inotify_add_watch(fd_, QFile::encodeName(path).constData(), kWatchMask);
    if (wd < 0 && errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != ELOOP) {
        // Most likely the user's inotify watch limit.
        zek::systemLog("FWEvents: cannot watch " + path.toStdString() + ": " +
                       std::strerror(errno));
    }
    return wd;
}

void InotifyTree::watchTree(const QString &directory, EventBatch *arrivals)
{
    const int wd = addWatch(directory);
    if (wd < 0) {
        return; // gone again, or not ours to read
    }
    Node &node = nodes_[wd];
    node.path = directory;
    node.inTree = true;

    std::error_code error;
    const fs::directory_iterator end;
    for (fs::directory_iterator entry(QFile::encodeName(directory).constData(),
                                      fs::directory_options::skip_permission_denied, error);
         !error && entry != end; entry.increment(error)) {
        const QString path =
            childPath(directory, QFile::decodeName(entry->path().filename().c_str()));
        std::error_code statusError;
        const fs::file_type type = entry->symlink_status(statusError).type();
        if (arrivals) {
            arrivals->add(path, kFWEventFlagItemRenamed | typeFlag(type));
        }
        if (type == fs::file_type::directory) {
            watchTree(path, arrivals);
        }
    }
}

// Watches the root's tree when it exists; otherwise waits at its nearest existing ancestor for
// the next step of its path to appear.
void InotifyTree::attachRoot(const QString &root, EventBatch *arrivals)
{
    forgetWaiting(root);
    for (QString directory = root;; directory = parentOf(directory)) {
        const int wd = addWatch(directory);
        if (wd >= 0 && directory == root) {
            if (arrivals && reportRootChanges_) {
                arrivals->add(root, kFWEventFlagRootChanged);
            }
            watchTree(root, arrivals);
            return;
        }
        if (wd >= 0) {
            Node &node = nodes_[wd];
            if (node.path.isEmpty()) {
                node.path = directory;
            }
            node.waitingRoots.append(root);
            return;
        }
        if (directory == kSlash) {
            return;
        }
    }
}

void InotifyTree::rootChanged(const QString &root, EventBatch &batch)
{
    if (reportRootChanges_) {
        batch.add(root, kFWEventFlagRootChanged);
    }
    unwatchTree(root, batch);
    attachRoot(root, &batch);
}

void InotifyTree::forgetWaiting(const QString &root)
{
    for (auto node = nodes_.begin(); node != nodes_.end();) {
        node->waitingRoots.removeAll(root);
        if (!node->inTree && node->waitingRoots.isEmpty()) {
            inotify_rm_watch(fd_, node.key());
            node = nodes_.erase(node);
        } else {
            ++node;
        }
    }
}

void InotifyTree::unwatchTree(const QString &directory, EventBatch &batch)
{
    QStringList orphans;
    for (auto node = nodes_.begin(); node != nodes_.end();) {
        if (node->inTree && isInside(node->path, directory)) {
            inotify_rm_watch(fd_, node.key());
            orphans += node->waitingRoots;
            node = nodes_.erase(node);
        } else {
            ++node;
        }
    }
    for (const QString &root : std::as_const(orphans)) {
        attachRoot(root, &batch);
    }
}

void InotifyTree::relabel(const QString &from, const QString &to)
{
    for (Node &node : nodes_) {
        if (node.inTree && isInside(node.path, from)) {
            node.path = to + node.path.mid(from.size());
        }
    }
}

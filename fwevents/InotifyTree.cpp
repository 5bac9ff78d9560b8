#include "InotifyTree.h"

#include "BytePaths.h"
#include "EventFlags.h"
#include "FWEvent.h"
#include "FileNames.h"
#include "SystemLog.h"
#include "TreeWalk.h"

#include <cerrno>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closing a file is not a change; a link is never followed, so a link cannot lead the watch
// out of the tree.
constexpr quint32 kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM |
                               IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                               IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// What changes the entry that a root's path goes on through.
constexpr quint32 kStepChange = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

} // namespace

InotifyTree::InotifyTree(QByteArrayList roots, bool reportRootChanges)
    : paths_(std::move(roots), watches_), roots_(paths_.paths().size()),
      reportRootChanges_(reportRootChanges)
{}

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
    ioctl(fd(), FIONREAD, &queued);
    alignas(inotify_event) char buffer[64 * 1024];
    for (ssize_t taken = 0; taken < queued || taken == 0;) {
        const ssize_t length = read(fd(), buffer, sizeof buffer);
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
    expireRenames();
    watchStarved(batch);
}

void InotifyTree::watchStarved(EventBatch &batch)
{
    if (starved_.isEmpty() || !watches_.takeFreed()) {
        return;
    }
    const QHash<QByteArray, int> starved = std::exchange(starved_, {});
    for (auto directory = starved.cbegin(); directory != starved.cend(); ++directory) {
        struct stat status {};
        if (lstat(directory.key().constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
            !watches_.isWatched(directory.key(), directory.value())) {
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
    const QHash<int, WatchTable::Watch> &all = watches_.watches();
    for (auto watch = all.cbegin(); watch != all.cend(); ++watch) {
        struct stat now {};
        if (watch->treeOf >= 0 && !watch->muted && !isTop(watch.key()) &&
            lstat(watch->path.constData(), &now) == 0 && S_ISDIR(now.st_mode) &&
            FileIdentity{now.st_dev, now.st_ino} != watch->directory) {
            covered.append({watch->path, watch->treeOf});
        }
    }
    for (const auto &[path, root] : std::as_const(covered)) {
        if (!watches_.isWatched(path, root)) {
            continue; // below another one taken anew already
        }
        for (const WatchTable::Reference &reference : watches_.below(path, root)) {
            watches_.leaveTree(reference.watch);
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
    const WatchTable::Watch *found = watches_.find(event.wd);
    if (!found) {
        return; // a watch given up earlier
    }
    const WatchTable::Watch watch = *found; // a copy: handling may add or drop watches
    if (event.mask & IN_IGNORED) {
        watches_.forgetDropped(event.wd);
        handleSelf(event.wd, watch, IN_DELETE_SELF, batch);
    } else if (event.len == 0) {
        handleSelf(event.wd, watch, event.mask, batch);
    } else {
        handleEntry(event.wd, watch, event, batch);
    }
}

void InotifyTree::handleSelf(int wd, const WatchTable::Watch &watch, quint32 mask,
                             EventBatch &batch)
{
    if (watch.treeOf >= 0 && !watch.muted && (mask & IN_ATTRIB)) {
        batch.add(watch.path, kFWEventFlagItemInodeMetaMod | kFWEventFlagItemIsDir);
    }
    if (watch.treeOf >= 0 && !watch.muted && (mask & IN_UNMOUNT)) {
        batch.add(watch.path, kFWEventFlagUnmount);
    }
    if (!(mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
        return;
    }
    // The directory is no longer at its path: the roots it led to, or the root it was the top
    // of, may lead elsewhere now. Inside a tree its parent reports the change.
    QList<int> affected = paths_.rootsThrough(wd);
    for (int root = 0; root < roots_.size(); ++root) {
        if (roots_[root].topWatch == wd) {
            affected.append(root);
        }
    }
    for (const int root : std::as_const(affected)) {
        checkRoot(root, &batch);
    }
}

void InotifyTree::handleEntry(int wd, const WatchTable::Watch &watch, const inotify_event &event,
                              EventBatch &batch)
{
    if (watch.treeOf >= 0 && !watch.muted) {
        handleTreeEntry(watch, event, batch);
    }
    QList<int> affected;
    for (const int root : paths_.rootsThrough(wd, QByteArray(event.name))) {
        // A change of rights may make a path that could not be followed passable.
        const bool waiting = roots_[root].topWatch < 0;
        if ((event.mask & kStepChange) || (waiting && event.mask & IN_ATTRIB)) {
            affected.append(root);
        }
    }
    for (const int root : std::as_const(affected)) {
        checkRoot(root, &batch);
    }
}

void InotifyTree::handleTreeEntry(const WatchTable::Watch &watch, const inotify_event &event,
                                  EventBatch &batch)
{
    const QByteArray path = bytepaths::child(watch.path, QByteArray(event.name));
    const bool isDir = event.mask & IN_ISDIR;
    const quint32 flags = changeFlags(event.mask);
    if (flags == 0) {
        return;
    }
    const quint32 type = isDir ? kFWEventFlagItemIsDir : typeFlagAt(path);
    batch.add(path, flags | type);

    if (event.mask & IN_MOVED_FROM) {
        const QList<WatchTable::Reference> watches =
            isDir ? watches_.below(path, watch.treeOf) : QList<WatchTable::Reference>();
        // Until the second half says where it went, nothing in it is reported: it may be
        // outside the tree already.
        for (const WatchTable::Reference &reference : watches) {
            watches_.mute(reference.watch);
        }
        renames_.departed(event.cookie, {path, isDir, watches});
        return;
    }
    if (event.mask & IN_MOVED_TO) {
        if (const std::optional<RenamePairing::Departure> move = renames_.arrived(event.cookie)) {
            if (!move->isDir) {
                batch.refine(move->path, type); // the old name is gone: it had the new one's type
                return;
            }
            // What is held of the directory's items is reported where they are now.
            batch.move(move->path, path);
            // The same watches, now under the new name; placed anew, so that an earlier move
            // that took them along cannot drop them.
            bool watched = false;
            for (const WatchTable::Reference &reference : move->watches) {
                if (watches_.isCurrent(reference)) {
                    const QByteArray moved =
                        path + watches_.find(reference.watch)->path.mid(move->path.size());
                    watches_.placeInTree(reference.watch, moved, watch.treeOf);
                    watched = watched || moved == path;
                }
            }
            if (!watched) {
                // Never watched (filled and moved before its creation was read), or its
                // watches went meanwhile: what is in it arrives now.
                watchTree(path, watch.treeOf, &batch);
            } else {
                // Watched, but perhaps never listed: made, filled and moved at once, it may have
                // moved between its watch and its listing. What it holds arrives again; the
                // receiver reports each job once.
                reportEntries(path, batch, true);
            }
            return;
        }
    }
    if (isDir && (event.mask & (IN_CREATE | IN_MOVED_TO))) {
        watchTree(path, watch.treeOf, &batch);
    } else if (isDir && (event.mask & IN_ATTRIB)) {
        if (!watches_.isWatched(path, watch.treeOf)) {
            // A directory that could not be read when it came may be readable now: the backend
            // makes a user's directory as root's, then hands it to the user, whose uploader is
            // told of the change of owner. What is already in it is reported as arrived.
            watchTree(path, watch.treeOf, &batch);
        } else {
            // Its rights may have hidden what came meanwhile (0700 for a while, to this user):
            // its entries are reported as arrived; the receiver reports each job once.
            reportEntries(path, batch, false);
        }
    }
}

void InotifyTree::reportEntries(const QByteArray &directory, EventBatch &batch,
                                bool withSubdirectories) const
{
    const TreeWalk walk([](const QByteArray &) { return true; },
                        [&](const TreeWalk::Entry &entry) {
                            batch.add(entry.path, kFWEventFlagItemRenamed | typeFlag(entry.type));
                        },
                        [](const QByteArray &, const std::error_code &) {});
    walk.walk(directory, withSubdirectories);
}

void InotifyTree::handleOverflow(EventBatch &batch)
{
    for (const QByteArray &root : paths_.paths()) {
        batch.add(root, kFWEventFlagMustScanSubDirs | kFWEventFlagKernelDropped);
    }
    // Anything may have moved unseen, and the halves of renames are lost: every watch is set up
    // anew. Files are for the receiver's scan, so they are not reported here.
    watches_.reset();
    paths_.forgetSteps();
    starved_.clear(); // the walk below tries them all again
    renames_.clear();
    for (Root &root : roots_) {
        root.topWatch = -1;
    }
    watchRoots();
}

// A rename whose second half never came took its item out of the tree: its watches go, unless
// something placed them again meanwhile (a directory of that name made anew, or the same one
// moved back).
void InotifyTree::expireRenames()
{
    for (const RenamePairing::Departure &move : renames_.endRead()) {
        for (const WatchTable::Reference &reference : move.watches) {
            if (watches_.isCurrent(reference)) {
                watches_.leaveTree(reference.watch);
            }
        }
    }
}

void InotifyTree::checkRoot(int root, EventBatch *batch)
{
    const std::optional<RootPathFollower::Destination> top = paths_.follow(root);
    Root &current = roots_[root];
    const bool watched = current.topWatch >= 0 && watches_.find(current.topWatch) != nullptr;
    if (watched && top && top->identity == current.top) {
        return; // the path still leads to the directory watched
    }
    if (current.topWatch >= 0) {
        watches_.dropTree(root);
        current.topWatch = -1;
        if (batch && reportRootChanges_) {
            batch->add(paths_.path(root), kFWEventFlagRootChanged);
        }
    }
    if (!top) {
        return;
    }
    const int wd = watchTree(paths_.path(root), root, batch, top->directory);
    if (wd >= 0 && batch && reportRootChanges_) {
        batch->add(paths_.path(root), kFWEventFlagRootChanged);
    }
    current.topWatch = wd;
    current.top = top->identity;
}

int InotifyTree::watchTree(const QByteArray &directory, int root, EventBatch *arrivals,
                           const QByteArray &watchAt)
{
    int topWatch = -1;
    const TreeWalk walk(
        [&](const QByteArray &path) {
            const bool isTop = path == directory;
            const QByteArray &at = isTop && !watchAt.isNull() ? watchAt : path;
            const int wd = watches_.add(at, kWatchMask);
            if (wd < 0) {
                if (errno == ENOSPC) {
                    starved_.insert(path, root); // tried again once watches are given up
                }
                return false; // gone again, or not ours to read
            }
            starved_.remove(path);
            struct stat watched {};
            watches_.placeInTree(wd, path, root,
                                 lstat(at.constData(), &watched) == 0
                                     ? std::optional(FileIdentity{watched.st_dev, watched.st_ino})
                                     : std::nullopt);
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

#pragma once

#include "EventBatch.h"
#include "RenamePairing.h"
#include "RootPathFollower.h"
#include "WatchTable.h"

#include <QByteArrayList>
#include <QHash>
#include <QList>

struct inotify_event;

// The kernel side of the event stream. inotify watches single directories, so this keeps one
// watch on every directory of the trees below the roots, follows the trees as directories come,
// go and move, and turns what the kernel reports into paths with FWEventFlag bits.
//
// A root's own path is followed through links and missing or replaced steps (RootPathFollower),
// and followed again when the entry that leads on from a directory on the way changes: the tree
// it names now is watched (what is in it reported as arriving by rename), and the tree it named
// before is dropped, so that no event of a tree that is elsewhere now is reported under the
// root's path.
//
// Below a root, symbolic links are never followed. A directory that appears is watched first
// and then scanned, and what the scan finds is reported as arriving by rename: entries may be in
// it before its watch exists. A directory that cannot be read (another user's) is skipped.
//
// Roots should not overlap: a directory reached from two roots is reported under one of them.
//
// Not thread-safe: one thread at a time (the stream's reader after start-up).
class InotifyTree {
public:
    // `roots` are absolute paths in standard form, as bytes (names need not be UTF-8).
    // `reportRootChanges`: report a root's appearing, vanishing or moving (RootChanged).
    InotifyTree(QByteArrayList roots, bool reportRootChanges);
    InotifyTree(const InotifyTree &) = delete;
    InotifyTree &operator=(const InotifyTree &) = delete;

    // False when the kernel gave no inotify instance.
    bool isValid() const { return watches_.isValid(); }
    // Readable when events are queued.
    int fd() const { return watches_.fd(); }

    // Watches the trees as they are now. What is already there is not reported.
    void watchRoots();
    // Reads every queued event without blocking and adds them to `batch`.
    void readEvents(EventBatch &batch);
    // Something was mounted or unmounted: a tree directory below a root whose path leads to
    // another directory now (a file system mounted over it) is watched anew, and what is in it
    // arrives.
    void mountsChanged(EventBatch &batch);

private:
    // A root's tree while it is watched: its top's watch, and what the path led to then.
    struct Root {
        int topWatch = -1;
        FileIdentity top{};
    };

    void handle(const inotify_event &event, EventBatch &batch);
    void handleSelf(int wd, const WatchTable::Watch &watch, quint32 mask, EventBatch &batch);
    void handleEntry(int wd, const WatchTable::Watch &watch, const inotify_event &event,
                     EventBatch &batch);
    void handleTreeEntry(const WatchTable::Watch &watch, const inotify_event &event,
                         EventBatch &batch);
    void handleOverflow(EventBatch &batch);
    // Forgets the renames whose second half never came: their items left the tree.
    void expireRenames();

    // Follows the root's path again and watches the tree it leads to, if that changed.
    void checkRoot(int root, EventBatch *batch);
    // Watches `directory` and everything below it as part of the root's tree; `watchAt` is
    // where the directory really is, when its path runs through links. The directory's watch.
    int watchTree(const QByteArray &directory, int root, EventBatch *arrivals,
                  const QByteArray &watchAt = QByteArray());
    // Watches the directories left unwatched for want of watches, once some were given up.
    void watchStarved(EventBatch &batch);
    // Adds a directory's entries to the batch as arrived: its own, or all below it.
    void reportEntries(const QByteArray &directory, EventBatch &batch,
                       bool withSubdirectories) const;

    WatchTable watches_;
    RootPathFollower paths_;
    QList<Root> roots_;
    bool reportRootChanges_;
    // Tree directories left unwatched for want of watches (the user's inotify limit), by path,
    // with their root; watched as soon as watches are given up.
    QHash<QByteArray, int> starved_;
    RenamePairing renames_;
};

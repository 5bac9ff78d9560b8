#pragma once

#include "EventBatch.h"

#include <QByteArrayList>
#include <QHash>
#include <QList>
#include <optional>
#include <sys/types.h>

struct inotify_event;

// The kernel side of the event stream. inotify watches single directories, so this keeps one
// watch on every directory of the trees below the roots, follows the trees as directories come,
// go and move, and turns what the kernel reports into paths with FWEventFlag bits.
//
// A root's own path belongs to whoever set it up: it may run through symbolic links, and any
// step of it may be missing, moved away or replaced. Every directory on the way to a root is
// watched too, and when the entry that leads on from one of them changes, the path is followed
// again: the tree it names now is watched (what is in it reported as arriving by rename), and
// the tree it named before is dropped, so that no event of a tree that is elsewhere now is
// reported under the root's path.
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
    ~InotifyTree();
    InotifyTree(const InotifyTree &) = delete;
    InotifyTree &operator=(const InotifyTree &) = delete;

    // False when the kernel gave no inotify instance.
    bool isValid() const { return fd_ >= 0; }
    // Readable when events are queued.
    int fd() const { return fd_; }

    // Watches the trees as they are now. What is already there is not reported.
    void watchRoots();
    // Reads every queued event without blocking and adds them to `batch`.
    void readEvents(EventBatch &batch);
    // Something was mounted or unmounted: a tree directory below a root whose path leads to
    // another directory now (a file system mounted over it) is watched anew, and what is in it
    // arrives.
    void mountsChanged(EventBatch &batch);

private:
    struct FileIdentity {
        dev_t device;
        ino_t inode;
        bool operator==(const FileIdentity &) const = default;
    };
    // Where a root's path leads now, while its tree is watched.
    struct Root {
        QByteArray path;
        int topWatch = -1;
        FileIdentity top{};
    };
    // On the way to root `root`, the path goes on through the entry `name` of a directory.
    struct Step {
        int root;
        QByteArray name;
        bool operator==(const Step &) const = default;
    };
    // A watched directory: part of a root's tree, a step on the way to roots, or both.
    struct Node {
        QByteArray path;      // in a tree: where its events are reported
        int treeOf = -1;      // the root whose tree holds it; -1 when none
        quint64 generation{}; // when the watch was set up: a later set-up replaces it
        bool muted = false;   // gone from its path, maybe out of the tree: reports nothing
        QList<Step> steps;
        FileIdentity directory{}; // what was at the path when it was watched
    };
    struct WatchReference {
        int watch;
        quint64 generation;
    };
    // The first half of a rename, kept until its second half names the new path. A directory
    // takes its subtree's watches along, as they were when it left.
    struct PendingMove {
        QByteArray path;
        bool isDir;
        int readGeneration;
        QList<WatchReference> watches;
    };

    void handle(const inotify_event &event, EventBatch &batch);
    void handleSelf(int wd, const Node &node, quint32 mask, EventBatch &batch);
    void handleEntry(const Node &node, const inotify_event &event, EventBatch &batch);
    void handleTreeEntry(const Node &node, const inotify_event &event, EventBatch &batch);
    void handleOverflow(EventBatch &batch);
    void expirePendingMoves();

    // Follows the root's path again and watches the tree it leads to, if that changed.
    void checkRoot(int root, EventBatch *batch);
    // Watches every directory on the way and returns the directory the path leads to now.
    std::optional<QByteArray> followPath(int root);
    void setSteps(int root, const QList<QPair<int, QByteArray>> &steps);

    int addWatch(const QByteArray &path, quint32 mask);
    // Watches `directory` and everything below it as part of the root's tree; `watchAt` is
    // where the directory really is, when its path runs through links. The directory's watch.
    int watchTree(const QByteArray &directory, int root, EventBatch *arrivals,
                  const QByteArray &watchAt = QByteArray());
    void unwatchTree(int root);
    QList<WatchReference> watchesBelow(const QByteArray &directory, int root) const;
    // Whether the directory at path has a watch of its own in that tree.
    bool isWatched(const QByteArray &path, int root) const;
    // Watches the directories left unwatched for want of watches, once some were given up.
    void watchStarved(EventBatch &batch);
    // Adds a directory's own entries to the batch as arrived.
    void reportEntries(const QByteArray &directory, EventBatch &batch) const;
    bool isCurrent(const WatchReference &reference) const;
    // Gives the watch up once it serves no purpose any more.
    void release(int wd);
    // Drops the index's entry for the path, while it names that watch.
    void forgetPath(const QByteArray &path, int wd);

    int fd_ = -1;
    QList<Root> roots_;
    bool reportRootChanges_;
    QHash<int, Node> nodes_;
    // Which watch a tree path had when last set up or moved; checked against nodes_ when read.
    QHash<QByteArray, int> watchAt_;
    // Tree directories left unwatched for want of watches (the user's inotify limit), by path,
    // with their root; watched as soon as watches are given up.
    QHash<QByteArray, int> starved_;
    bool watchesFreed_ = false;
    QHash<quint32, PendingMove> pendingMoves_;
    int readGeneration_ = 0;
    quint64 watchGeneration_ = 0;
};

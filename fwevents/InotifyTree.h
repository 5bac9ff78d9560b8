#pragma once

#include "EventBatch.h"

#include <QHash>
#include <QString>
#include <QStringList>

struct inotify_event;

// The kernel side of the event stream. inotify watches single directories, so this keeps one
// watch on every directory of the trees below the roots, follows the trees as directories come,
// go and move, waits for roots that do not exist yet, and turns what the kernel reports into
// paths with FWEventFlag bits.
//
// A directory that appears is watched first and then scanned, and what the scan finds is
// reported as arriving by rename: entries may be in it before its watch exists. A directory
// that cannot be read (another user's) is skipped. Symbolic links are never followed.
//
// Not thread-safe: one thread at a time (the stream's reader after start-up).
class InotifyTree {
public:
    // `reportRootChanges`: report a root's appearing, vanishing or moving (RootChanged).
    InotifyTree(QStringList roots, bool reportRootChanges);
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

    int watchCount() const { return static_cast<int>(nodes_.size()); }

private:
    // A watched directory: part of a tree, or an ancestor of roots that do not exist yet.
    struct Node {
        QString path;
        bool inTree = false;
        QStringList waitingRoots;
    };
    // The first half of a rename, kept until its second half names the new path.
    struct PendingMove {
        QString path;
        bool isDir;
        int generation;
    };

    void handle(const inotify_event &event, EventBatch &batch);
    void handleSelf(int wd, const Node &node, quint32 mask, EventBatch &batch);
    void handleEntry(const Node &node, const inotify_event &event, EventBatch &batch);
    void handleOverflow(EventBatch &batch);
    void expirePendingMoves(EventBatch &batch);

    int addWatch(const QString &path);
    void watchTree(const QString &directory, EventBatch *arrivals);
    void attachRoot(const QString &root, EventBatch *arrivals);
    void rootChanged(const QString &root, EventBatch &batch);
    void forgetWaiting(const QString &root);
    void unwatchTree(const QString &directory, EventBatch &batch);
    void relabel(const QString &from, const QString &to);

    int fd_ = -1;
    QStringList roots_;
    bool reportRootChanges_;
    QHash<int, Node> nodes_;
    QHash<quint32, PendingMove> pendingMoves_;
    int generation_ = 0;
};

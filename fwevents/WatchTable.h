#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <optional>
#include <sys/types.h>
#include <utility>

// Which file a path led to: a directory made anew, or one mounted over the old, is another.
struct FileIdentity {
    dev_t device;
    ino_t inode;
    bool operator==(const FileIdentity &) const = default;
};

// The inotify instance and its watches, with what each one serves. The kernel gives a directory
// one watch however often it is asked, so the same watch may hold a directory of a root's tree
// and lie on the way to roots at once; it is given up once it serves neither.
class WatchTable {
public:
    struct Watch {
        QByteArray path;          // in a tree: where its events are reported
        int treeOf = -1;          // the root whose tree holds it; -1 when none
        quint64 generation{};     // when it was placed in the tree: a later placing replaces it
        bool muted = false;       // gone from its path, maybe out of the tree: reports nothing
        bool onTheWay = false;    // a directory on the way to a root
        FileIdentity directory{}; // what was at the path when it was watched
    };
    // A tree watch as placed at one time: no longer current once placed anew or out of the tree.
    struct Reference {
        int watch;
        quint64 generation;
    };

    WatchTable();
    ~WatchTable();
    WatchTable(const WatchTable &) = delete;
    WatchTable &operator=(const WatchTable &) = delete;

    // False when the kernel gave no inotify instance.
    bool isValid() const { return fd_ >= 0; }
    // Readable when events are queued.
    int fd() const { return fd_; }

    // Asks the kernel to watch the directory at `path`: the watch, or -1 with errno set. Failures
    // other than a path that leads to no directory this user may read go to the system log.
    int add(const QByteArray &path, quint32 mask);
    // The watch's entry; null for one given up, or never placed.
    const Watch *find(int wd) const;
    const QHash<int, Watch> &watches() const { return watches_; }

    // Places the watch in the root's tree at `path`, as set up now; `directory` is what is at
    // the path, when known.
    void placeInTree(int wd, const QByteArray &path, int root,
                     std::optional<FileIdentity> directory = std::nullopt);
    // The directory left its path: its watch reports nothing until placed again.
    void mute(int wd);
    // Takes the watch out of its tree; gone unless it is on the way to a root.
    void leaveTree(int wd);
    // Takes every watch out of the root's tree.
    void dropTree(int root);
    // The watch's directory lies on the way to a root (RootPathFollower), or no longer does;
    // gone then unless a tree holds it.
    void placeOnWay(int wd);
    void leaveWay(int wd);
    // The kernel gave the watch up (its directory is gone): its entry goes too.
    void forgetDropped(int wd);
    // Gives every watch up at once and starts on a new instance in the same descriptor.
    void reset();

    // Whether the directory at `path` has a watch of its own in the root's tree.
    bool isWatched(const QByteArray &path, int root) const;
    // The watches of the root's tree at and below `directory`.
    QList<Reference> below(const QByteArray &directory, int root) const;
    bool isCurrent(const Reference &reference) const;
    // Whether a watch was given up since the last call: more may be had now.
    bool takeFreed() { return std::exchange(freed_, false); }

private:
    // Gives the watch up once it serves nothing.
    void release(int wd);
    // Drops the index's entry for the path, while it names that watch.
    void forgetPath(const QByteArray &path, int wd);

    int fd_ = -1;
    QHash<int, Watch> watches_;
    // Which watch a tree path had when last placed; checked against watches_ when read.
    QHash<QByteArray, int> watchAt_;
    quint64 generation_ = 0;
    bool freed_ = false;
};

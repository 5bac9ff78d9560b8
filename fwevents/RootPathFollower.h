#pragma once

#include "WatchTable.h"

#include <QByteArrayList>
#include <QHash>
#include <QList>
#include <optional>

// Follows the roots' own paths from "/", step by step, through symbolic links, "." and "..".
// A root's path belongs to whoever set it up: it may run through links, and any step of it may
// be missing, moved away or replaced. Every directory on the way is watched, and the entry the
// path goes on through is noted, so that a change of that entry is seen and the path followed
// again. A directory that may be passed but not listed is passed without a watch.
class RootPathFollower {
public:
    // Where a root's path leads.
    struct Destination {
        QByteArray directory; // the same directory, by a path with no link in it
        FileIdentity identity;
    };

    // `roots` are absolute paths in standard form, as bytes.
    RootPathFollower(QByteArrayList roots, WatchTable &watches);

    const QByteArrayList &paths() const { return paths_; }
    const QByteArray &path(int root) const { return paths_.at(root); }

    // Follows the root's path as it is now: watches every directory on the way, lets go of the
    // ones no longer on it, and tells the directory it leads to; none while a step is missing
    // or is neither a directory nor a link.
    std::optional<Destination> follow(int root);
    // The roots whose path leads through the watched directory (once for each entry it goes on
    // through).
    QList<int> rootsThrough(int wd) const;
    // The roots whose path goes on through the entry `name` of the watched directory.
    QList<int> rootsThrough(int wd, const QByteArray &name) const;
    // The watches went all at once: what was noted of them goes too. A single watch that went is
    // forgotten when the roots through it are followed again.
    void forgetSteps();

private:
    // On the way to root `root`, the path goes on through the entry `name` of a directory.
    struct Step {
        int root;
        QByteArray name;
        bool operator==(const Step &) const = default;
    };
    void setSteps(int root, const QList<QPair<int, QByteArray>> &steps);

    QByteArrayList paths_;
    WatchTable &watches_;
    QHash<int, QList<Step>> steps_; // by watch
};

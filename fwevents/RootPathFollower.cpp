#include "RootPathFollower.h"

#include "BytePaths.h"

#include <cerrno>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// A directory on the way to a root only tells when its entries come, go or change rights; added
// to what the watch already reports, should the directory also be part of a tree.
constexpr quint32 kStepWatchMask = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                   IN_MASK_ADD;

// A path can lead through this many symbolic links, as the kernel allows.
constexpr int kMaxLinks = 40;

QByteArrayList splitSteps(const QByteArray &path)
{
    QByteArrayList steps = path.split('/');
    steps.removeAll(QByteArray());
    return steps;
}

} // namespace

RootPathFollower::RootPathFollower(QByteArrayList roots, WatchTable &watches)
    : paths_(std::move(roots)), watches_(watches)
{}

std::optional<RootPathFollower::Destination> RootPathFollower::follow(int root)
{
    QList<QPair<int, QByteArray>> steps;
    std::optional<QByteArray> top;
    QByteArray directory("/");
    QByteArrayList rest = splitSteps(paths_.at(root));
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
            directory = bytepaths::parent(directory);
            continue;
        }
        // A directory that may be passed but not listed cannot be watched: the path still
        // leads through it, without notice of changes there.
        const int wd = watches_.add(directory, kStepWatchMask);
        if (wd >= 0) {
            steps.append({wd, name});
        } else if (errno != EACCES) {
            break;
        }
        const QByteArray next = bytepaths::child(directory, name);
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
                directory = "/";
            }
            rest = splitSteps(text) + rest;
        } else {
            break; // something else in the way, until it is replaced
        }
    }
    setSteps(root, steps);
    struct stat info {};
    if (!top || lstat(top->constData(), &info) != 0) {
        return std::nullopt;
    }
    return Destination{*top, {info.st_dev, info.st_ino}};
}

void RootPathFollower::setSteps(int root, const QList<QPair<int, QByteArray>> &steps)
{
    for (const auto &[wd, name] : steps) {
        QList<Step> &noted = steps_[wd];
        if (!noted.contains(Step{root, name})) {
            noted.append({root, name});
        }
        watches_.placeOnWay(wd);
    }
    QList<int> unused;
    for (auto noted = steps_.begin(); noted != steps_.end();) {
        noted->removeIf([&](const Step &step) {
            return step.root == root && !steps.contains(qMakePair(noted.key(), step.name));
        });
        if (noted->isEmpty()) {
            unused.append(noted.key());
            noted = steps_.erase(noted);
        } else {
            ++noted;
        }
    }
    for (const int wd : std::as_const(unused)) {
        watches_.leaveWay(wd);
    }
}

QList<int> RootPathFollower::rootsThrough(int wd) const
{
    QList<int> roots;
    for (const Step &step : steps_.value(wd)) {
        roots.append(step.root);
    }
    return roots;
}

QList<int> RootPathFollower::rootsThrough(int wd, const QByteArray &name) const
{
    QList<int> roots;
    for (const Step &step : steps_.value(wd)) {
        if (step.name == name) {
            roots.append(step.root);
        }
    }
    return roots;
}

void RootPathFollower::forgetSteps()
{
    steps_.clear();
}

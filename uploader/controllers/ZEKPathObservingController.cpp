#include "ZEKPathObservingController.h"

#include "Beneath.h"
#include "FileNames.h"
#include "SystemLog.h"
#include "TreeWalk.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

bool hasPdfExtension(const QByteArray &path)
{
    const qsizetype dot = path.lastIndexOf('.');
    return dot > path.lastIndexOf('/') && path.mid(dot + 1).toLower() == "pdf";
}

} // namespace

ZEKPathObservingController::ZEKPathObservingController(QString observingPath,
                                                       QString observingFileMask)
    : observingPath_(std::move(observingPath)), observingFileMask_(std::move(observingFileMask))
{}

ZEKPathObservingController::~ZEKPathObservingController()
{
    stopObserving();
}

void ZEKPathObservingController::startObserving()
{
    if (isObserving_) {
        return;
    }
    reported_.clear(); // a new watch reports afresh
    // Absolute now: a later change of directory must not move the tree watched or scanned.
    const QByteArray path = absoluteObservingPath();
    setEvents(std::make_shared<FWEvents>(QList<QUrl>{zek::fileURL(path)}, this,
                                         QThread::currentThread(), kFWEventsSinceEventNow, kLatency,
                                         !observeSubpaths_, QList<QUrl>(), kStreamCreationFlags));
    setIsObserving(true);
}

void ZEKPathObservingController::stopObserving()
{
    if (!isObserving_) {
        return;
    }
    setEvents(nullptr);
    setIsObserving(false);
}

void ZEKPathObservingController::URLWatcher(FWEvents &watcher, const FWEvent &eventOccurred)
{
    if (eventOccurred.mustRescanSubDirectories() || eventOccurred.isUserDropped() ||
        eventOccurred.isKernelDropped()) {
        reportFinishedPdfsIn(zek::localPath(watcher.watchedURLs().constFirst()),
                             !watcher.ignoreEventsFromSubDirectories());
        return;
    }
    struct stat status {};
    if (isFinishedPdf(eventOccurred, &status)) {
        report(eventOccurred.URL(), identityOf(status));
    } else if (isGonePdf(eventOccurred)) {
        reported_.remove(zek::localPath(eventOccurred.URL()));
        if (const auto delegate = delegate_.lock()) {
            delegate->fileDidRemoveAtURL(eventOccurred.URL());
        }
    }
}

// Renamed into place, not written there, under a ".pdf" name, and still there as a regular file,
// reached without a link: the source side of a rename carries the same flags but is gone, and a
// link planted in a world-writable directory is no job.
bool ZEKPathObservingController::isFinishedPdf(const FWEvent &event, struct stat *status) const
{
    const QByteArray path = zek::localPath(event.URL());
    return !path.isEmpty() && event.isFile() && event.isRenamed() && !event.isModified() &&
           hasPdfExtension(path) &&
           zek::isRegularFileBeneath(absoluteObservingPath(), path, status);
}

// Removed or renamed away under a ".pdf" name, and not there now.
bool ZEKPathObservingController::isGonePdf(const FWEvent &event) const
{
    const QByteArray path = zek::localPath(event.URL());
    return !path.isEmpty() && (event.isRemoved() || event.isRenamed()) && hasPdfExtension(path) &&
           !zek::isRegularFileBeneath(absoluteObservingPath(), path);
}

QList<QUrl> ZEKPathObservingController::finishedPdfsInTree() const
{
    QList<QUrl> files;
    for (const auto &[file, identity] : finishedPdfsIn(absoluteObservingPath(), observeSubpaths_)) {
        files.append(file);
    }
    return files;
}

void ZEKPathObservingController::reportFinishedPdfsInTree()
{
    reportFinishedPdfsIn(absoluteObservingPath(), observeSubpaths_);
}

QList<std::pair<QUrl, ZEKPathObservingController::Identity>>
ZEKPathObservingController::finishedPdfsIn(const QByteArray &root, bool withSubpaths) const
{
    std::vector<std::pair<Identity, QByteArray>> found;
    const TreeWalk walk(
        [](const QByteArray &) { return true; },
        [&](const TreeWalk::Entry &entry) {
            struct stat status {};
            if (entry.type == fs::file_type::regular && hasPdfExtension(entry.path) &&
                fstatat(entry.directory, entry.name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
                found.push_back({identityOf(status), entry.path});
            }
        },
        [](const QByteArray &directory, const std::error_code &error) {
            zek::systemLog("Skipped in the scan of the spool tree: " +
                           zek::displayPath(directory).toStdString() + ": " + error.message());
        });
    walk.walk(root, withSubpaths);
    // Oldest first.
    std::sort(found.begin(), found.end(), [](const auto &one, const auto &other) {
        return std::tie(one.first.modified, one.second) <
               std::tie(other.first.modified, other.second);
    });
    QList<std::pair<QUrl, Identity>> files;
    for (const auto &[identity, path] : found) {
        files.append({zek::fileURL(path), identity});
    }
    return files;
}

void ZEKPathObservingController::reportFinishedPdfsIn(const QByteArray &root, bool withSubpaths)
{
    const QList<std::pair<QUrl, Identity>> found = finishedPdfsIn(root, withSubpaths);
    // What is not in the tree any more need not be remembered; what is there and was reported
    // before is not reported again.
    QHash<QByteArray, Identity> present;
    for (const auto &[file, identity] : found) {
        present.insert(zek::localPath(file), identity);
    }
    for (auto known = reported_.begin(); known != reported_.end();) {
        known =
            present.value(known.key()) == known.value() ? std::next(known) : reported_.erase(known);
    }
    // The delegate may stop observing on a report; then the reports are over too.
    const std::shared_ptr<FWEvents> scanning = events_;
    for (const auto &[file, identity] : found) {
        if (events_ != scanning) {
            return;
        }
        report(file, identity);
    }
}

void ZEKPathObservingController::report(const QUrl &url, const Identity &identity)
{
    const QByteArray path = zek::localPath(url);
    if (reported_.value(path) == identity) {
        return; // once: a rescan after lost events, or a late event of a file it found
    }
    reported_.insert(path, identity);
    if (const auto delegate = delegate_.lock()) {
        delegate->fileDidCreatedAtURL(url);
    }
}

ZEKPathObservingController::Identity
ZEKPathObservingController::identityOf(const struct stat &status)
{
    return {status.st_ino, qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

QByteArray ZEKPathObservingController::absoluteObservingPath() const
{
    return zek::standardPath(QFile::encodeName(observingPath_),
                             QFile::encodeName(QDir::currentPath()));
}

void ZEKPathObservingController::printEventFlags(const FWEvent &event) const
{
    const std::pair<const char *, bool> flags[] = {
        {"mustRescanSubDirectories", event.mustRescanSubDirectories()},
        {"isUserDropped", event.isUserDropped()},
        {"isKernelDropped", event.isKernelDropped()},
        {"isEventIdentifiersWrapped", event.isEventIdentifiersWrapped()},
        {"isHistoryDone", event.isHistoryDone()},
        {"isRootChanged", event.isRootChanged()},
        {"didVolumeMount", event.didVolumeMount()},
        {"didVolumeUnmount", event.didVolumeUnmount()},
        {"isCreated", event.isCreated()},
        {"isRemoved", event.isRemoved()},
        {"isInodeMetadataModified", event.isInodeMetadataModified()},
        {"isRenamed", event.isRenamed()},
        {"isModified", event.isModified()},
        {"isFinderInfoModified", event.isFinderInfoModified()},
        {"didChangeOwner", event.didChangeOwner()},
        {"isXattrModified", event.isXattrModified()},
        {"isFile", event.isFile()},
        {"isDir", event.isDir()},
        {"isSymlink", event.isSymlink()},
    };
    for (const auto &[name, value] : flags) {
        zek::systemLog(std::string(name) + ": " + (value ? "YES" : "NO"));
    }
}

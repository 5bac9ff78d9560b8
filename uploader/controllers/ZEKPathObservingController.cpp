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
    } else if (isFinishedPdf(eventOccurred)) {
        report(eventOccurred.URL());
    } else if (isGonePdf(eventOccurred)) {
        if (const auto delegate = delegate_.lock()) {
            delegate->fileDidRemoveAtURL(eventOccurred.URL());
        }
    }
}

// Renamed into place, not written there, under a ".pdf" name, and still there as a regular file,
// reached without a link: the source side of a rename carries the same flags but is gone, and a
// link planted in a world-writable directory is no job.
bool ZEKPathObservingController::isFinishedPdf(const FWEvent &event) const
{
    const QByteArray path = zek::localPath(event.URL());
    return !path.isEmpty() && event.isFile() && event.isRenamed() && !event.isModified() &&
           hasPdfExtension(path) && zek::isRegularFileBeneath(absoluteObservingPath(), path);
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
    return finishedPdfsIn(absoluteObservingPath(), observeSubpaths_);
}

void ZEKPathObservingController::reportFinishedPdfsInTree()
{
    reportFinishedPdfsIn(absoluteObservingPath(), observeSubpaths_);
}

QList<QUrl> ZEKPathObservingController::finishedPdfsIn(const QByteArray &root,
                                                       bool withSubpaths) const
{
    std::vector<std::pair<std::pair<qint64, qint64>, QByteArray>> found;
    const TreeWalk walk(
        [](const QByteArray &) { return true; },
        [&](const TreeWalk::Entry &entry) {
            struct stat status {};
            if (entry.type == fs::file_type::regular && hasPdfExtension(entry.path) &&
                fstatat(entry.directory, entry.name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
                found.push_back({{status.st_mtim.tv_sec, status.st_mtim.tv_nsec}, entry.path});
            }
        },
        [](const QByteArray &directory, const std::error_code &error) {
            zek::systemLog("Skipped in the scan of the spool tree: " +
                           zek::displayPath(directory).toStdString() + ": " + error.message());
        });
    walk.walk(root, withSubpaths);
    std::sort(found.begin(), found.end());
    QList<QUrl> files;
    for (const auto &[modified, path] : found) {
        files.append(zek::fileURL(path));
    }
    return files;
}

void ZEKPathObservingController::reportFinishedPdfsIn(const QByteArray &root, bool withSubpaths)
{
    // The delegate may stop observing on a report; then the reports are over too.
    const std::shared_ptr<FWEvents> scanning = events_;
    for (const QUrl &file : finishedPdfsIn(root, withSubpaths)) {
        if (events_ != scanning) {
            return;
        }
        report(file);
    }
}

void ZEKPathObservingController::report(const QUrl &url)
{
    if (const auto delegate = delegate_.lock()) {
        delegate->fileDidCreatedAtURL(url);
    }
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

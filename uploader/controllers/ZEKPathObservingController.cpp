#include "ZEKPathObservingController.h"

#include "SystemLog.h"
#include "TreeWalk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <utility>

namespace fs = std::filesystem;

namespace {

const QString kPdfExtension = QStringLiteral("pdf");

bool hasPdfExtension(const QString &path)
{
    return QFileInfo(path).suffix().toLower() == kPdfExtension;
}

// A regular file, links not followed: a link planted in a world-writable directory is no job.
bool isRegularFile(const QString &path)
{
    std::error_code error;
    return fs::is_regular_file(fs::symlink_status(QFile::encodeName(path).constData(), error));
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
    const QString path = QDir::cleanPath(QDir::current().absoluteFilePath(observingPath_));
    setEvents(std::make_shared<FWEvents>(QList<QUrl>{QUrl::fromLocalFile(path)}, this,
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
        reportFinishedPdfsInTree(!watcher.ignoreEventsFromSubDirectories());
    } else if (isFinishedPdf(eventOccurred)) {
        report(eventOccurred.URL());
    }
}

// Renamed into place, not written there, under a ".pdf" name, and still there: the source side
// of a rename carries the same flags but is gone.
bool ZEKPathObservingController::isFinishedPdf(const FWEvent &event)
{
    return !event.URL().isEmpty() && event.isFile() && event.isRenamed() && !event.isModified() &&
           hasPdfExtension(event.URL().path()) && isRegularFile(event.URL().toLocalFile());
}

void ZEKPathObservingController::reportFinishedPdfsInTree(bool withSubpaths)
{
    // The delegate may stop observing on a report; then the scan is over too.
    const std::shared_ptr<FWEvents> scanning = events_;
    const TreeWalk walk(
        [&](const QString &) { return events_ == scanning; },
        [&](const QString &path, fs::file_type type) {
            if (type == fs::file_type::regular && hasPdfExtension(path) && events_ == scanning) {
                report(QUrl::fromLocalFile(path));
            }
        },
        [](const QString &directory, const std::error_code &error) {
            zek::systemLog("Skipped in the scan of the spool tree: " + directory.toStdString() +
                           ": " + error.message());
        });
    walk.walk(scanning->watchedURLs().constFirst().toLocalFile(), withSubpaths);
}

void ZEKPathObservingController::report(const QUrl &url)
{
    if (const auto delegate = delegate_.lock()) {
        delegate->fileDidCreatedAtURL(url);
    }
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

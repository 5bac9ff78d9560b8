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
    const QString path = absoluteObservingPath();
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
        reportFinishedPdfsIn(watcher.watchedURLs().constFirst().toLocalFile(),
                             !watcher.ignoreEventsFromSubDirectories());
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

QList<QUrl> ZEKPathObservingController::finishedPdfsInTree() const
{
    return finishedPdfsIn(absoluteObservingPath(), observeSubpaths_);
}

void ZEKPathObservingController::reportFinishedPdfsInTree()
{
    reportFinishedPdfsIn(absoluteObservingPath(), observeSubpaths_);
}

QList<QUrl> ZEKPathObservingController::finishedPdfsIn(const QString &root, bool withSubpaths) const
{
    std::vector<std::pair<fs::file_time_type, QString>> found;
    const TreeWalk walk([](const QString &) { return true; },
                        [&](const QString &path, fs::file_type type) {
                            std::error_code error;
                            const auto modified =
                                fs::last_write_time(QFile::encodeName(path).constData(), error);
                            if (type == fs::file_type::regular && hasPdfExtension(path) && !error) {
                                found.emplace_back(modified, path);
                            }
                        },
                        [](const QString &directory, const std::error_code &error) {
                            zek::systemLog("Skipped in the scan of the spool tree: " +
                                           directory.toStdString() + ": " + error.message());
                        });
    walk.walk(root, withSubpaths);
    std::sort(found.begin(), found.end());
    QList<QUrl> files;
    for (const auto &[modified, path] : found) {
        files.append(QUrl::fromLocalFile(path));
    }
    return files;
}

void ZEKPathObservingController::reportFinishedPdfsIn(const QString &root, bool withSubpaths)
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

QString ZEKPathObservingController::absoluteObservingPath() const
{
    return QDir::cleanPath(QDir::current().absoluteFilePath(observingPath_));
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

#include "FWEvents.h"

#include "FWEventStream.h"
#include "FileNames.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

namespace {

const QString kInvalidArguments =
    QStringLiteral("Invalid arguments passed to FWEvents init-method.");
const QString kCreationFailed = QStringLiteral("Failed to create event stream.");

// The standard form of a path: absolute, no "." or ".." steps, no doubled or trailing slash.
// A relative path is taken from `base`, the current directory when the watcher was made.
QByteArrayList standardPaths(const QList<QUrl> &urls, const QByteArray &base)
{
    QByteArrayList paths;
    for (const QUrl &url : urls) {
        const QByteArray path = zek::localPath(url);
        paths.append(path.isEmpty() ? path : zek::standardPath(path, base));
    }
    return paths;
}

FWEventsDelegate *requireDelegate(FWEventsDelegate *delegate)
{
    if (!delegate) {
        throw FWEventsInvalidArgumentException(kInvalidArguments);
    }
    return delegate;
}

// Asks the watcher for its delegate at every event: it may change or be cleared meanwhile.
void forwardToDelegate(FWEvents &watcher, const FWEvent &event)
{
    if (FWEventsDelegate *delegate = watcher.delegate()) {
        delegate->URLWatcher(watcher, event);
    }
}

} // namespace

FWEvents::FWEvents(const QList<QUrl> &URLs, FWEventsDelegate *delegate, QThread *onRunLoop,
                   quint64 sinceEventIdentifier, double notificationLantency,
                   bool ignoreEventsFromSubDirs, const std::optional<QList<QUrl>> &excludeURLs,
                   quint32 streamCreationFlags)
    : FWEvents(URLs, requireDelegate(delegate), forwardToDelegate, onRunLoop, sinceEventIdentifier,
               notificationLantency, ignoreEventsFromSubDirs, excludeURLs, streamCreationFlags)
{}

FWEvents::FWEvents(const QList<QUrl> &URLs, FWEventsBlock block, QThread *onRunLoop,
                   quint64 sinceEventIdentifier, double notificationLantency,
                   bool ignoreEventsFromSubDirs, const std::optional<QList<QUrl>> &excludeURLs,
                   quint32 streamCreationFlags)
    : FWEvents(URLs, nullptr, std::move(block), onRunLoop, sinceEventIdentifier,
               notificationLantency, ignoreEventsFromSubDirs, excludeURLs, streamCreationFlags)
{}

FWEvents::FWEvents(const QList<QUrl> &URLs, FWEventsDelegate *delegate, FWEventsBlock block,
                   QThread *onRunLoop, quint64 sinceEventIdentifier, double notificationLantency,
                   bool ignoreEventsFromSubDirs, const std::optional<QList<QUrl>> &excludeURLs,
                   quint32 streamCreationFlags)
    : eventBlock_(std::move(block)), notificationLatency_(notificationLantency),
      sinceEventIdentifier_(sinceEventIdentifier), streamCreationFlags_(streamCreationFlags),
      watchedURLs_(URLs), excludedURLs_(excludeURLs), delegate_(delegate),
      ignoreEventsFromSubDirectories_(ignoreEventsFromSubDirs)
{
    if (URLs.isEmpty() || !eventBlock_) {
        throw FWEventsInvalidArgumentException(kInvalidArguments);
    }
    const QByteArrayList paths = standardPaths(URLs, baseDirectory_);
    if (sinceEventIdentifier != kFWEventsSinceEventNow || paths.contains(QByteArray())) {
        throw FWEventsEventStreamCreationFailureException(kCreationFailed);
    }
    stream_ = std::make_unique<FWEventStream>(
        paths, notificationLantency, streamCreationFlags & kFWEventsCreateFlagFileEvents,
        streamCreationFlags & kFWEventsCreateFlagWatchRoot,
        onRunLoop ? onRunLoop : QThread::currentThread(),
        [this](const std::vector<FWStreamEvent> &batch) { deliver(batch); });
    if (!stream_->start()) {
        throw FWEventsEventStreamCreationFailureException(kCreationFailed);
    }
}

FWEvents::~FWEvents()
{
    alive_.reset(); // a delivery under way stops at once
    stream_.reset();
    setDelegate(nullptr);
}

std::unique_ptr<FWEvents> FWEvents::copy() const
{
    return std::make_unique<FWEvents>(watchedURLs(), eventBlock_, QThread::currentThread(),
                                      sinceEventIdentifier_, notificationLatency_,
                                      ignoreEventsFromSubDirectories(), excludedURLs(),
                                      streamCreationFlags_);
}

std::optional<FWEvent> FWEvents::lastEvent() const
{
    std::lock_guard lock(mutex_);
    return lastEvent_;
}

void FWEvents::setLastEvent(const std::optional<FWEvent> &lastEvent)
{
    std::lock_guard lock(mutex_);
    lastEvent_ = lastEvent;
}

QList<QUrl> FWEvents::watchedURLs() const
{
    std::lock_guard lock(mutex_);
    return watchedURLs_;
}

void FWEvents::setWatchedURLs(const QList<QUrl> &watchedURLs)
{
    std::lock_guard lock(mutex_);
    watchedURLs_ = watchedURLs;
}

FWEventsDelegate *FWEvents::delegate() const
{
    std::lock_guard lock(mutex_);
    return delegate_;
}

void FWEvents::setDelegate(FWEventsDelegate *delegate)
{
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::optional<QList<QUrl>> FWEvents::excludedURLs() const
{
    std::lock_guard lock(mutex_);
    return excludedURLs_;
}

void FWEvents::setExcludedURLs(const std::optional<QList<QUrl>> &excludedURLs)
{
    std::lock_guard lock(mutex_);
    excludedURLs_ = excludedURLs;
}

bool FWEvents::ignoreEventsFromSubDirectories() const
{
    std::lock_guard lock(mutex_);
    return ignoreEventsFromSubDirectories_;
}

void FWEvents::setIgnoreEventsFromSubDirectories(bool ignore)
{
    std::lock_guard lock(mutex_);
    ignoreEventsFromSubDirectories_ = ignore;
}

void FWEvents::flushSynchronously()
{
    stream_->flushSynchronously();
}

void FWEvents::flushAsynchronously()
{
    stream_->flushAsynchronously();
}

QString FWEvents::description() const
{
    QJsonArray urls;
    for (const QUrl &url : watchedURLs()) {
        urls.append(url.toString(QUrl::FullyEncoded));
    }
    return QStringLiteral("<FWEvents: %1 { watchedURLs = %2 }>")
        .arg(QString::asprintf("%p", static_cast<const void *>(this)),
             QString::fromUtf8(QJsonDocument(urls).toJson(QJsonDocument::Compact)));
}

QString FWEvents::streamDescription() const
{
    return stream_->description();
}

quint64 FWEvents::currentEventIdentifier()
{
    return FWEventStream::currentEventIdentifier();
}

void FWEvents::deliver(const std::vector<FWStreamEvent> &batch)
{
    const QByteArrayList watchedPaths = standardPaths(watchedURLs(), baseDirectory_);
    const std::optional<QList<QUrl>> excluded = excludedURLs();
    const QByteArrayList excludedPaths =
        excluded ? standardPaths(*excluded, baseDirectory_) : QByteArrayList();
    const bool onlyWatchedPaths = ignoreEventsFromSubDirectories();

    // The receiver may destroy the watcher from inside the block: keep what the loop needs.
    const FWEventsBlock block = eventBlock_;
    const std::weak_ptr<void> alive = alive_;
    std::optional<FWEvent> last;
    for (const FWStreamEvent &streamEvent : batch) {
        const QByteArray &path = streamEvent.path;
        if (onlyWatchedPaths) {
            if (!watchedPaths.contains(path)) {
                continue;
            }
        } else if (std::any_of(excludedPaths.cbegin(), excludedPaths.cend(),
                               [&](const QByteArray &prefix) { return path.startsWith(prefix); })) {
            continue;
        }
        const FWEvent event(streamEvent.identifier, QDateTime::currentDateTime(),
                            zek::fileURL(path), streamEvent.flags);
        block(*this, event);
        if (alive.expired()) {
            return;
        }
        last = event;
    }
    if (last) {
        setLastEvent(last);
    }
}

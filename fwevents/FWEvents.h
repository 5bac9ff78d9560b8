#pragma once

#include "FWEvent.h"
#include "FWEventsExceptions.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QThread>
#include <QUrl>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class FWEvents;
class FWEventStream;
struct FWStreamEvent;

// History starts when the stream starts. It is the only start there is: no history of past
// events is kept, so any other value makes creation fail.
inline constexpr quint64 kFWEventsSinceEventNow = ~quint64(0);

// Stream creation flags.
enum FWEventsCreateFlag : quint32 {
    kFWEventsCreateFlagUseCFTypes = 0x1,  // accepted and without effect: paths are always text
    kFWEventsCreateFlagWatchRoot = 0x4,   // report a watched directory appearing, vanishing, moving
    kFWEventsCreateFlagFileEvents = 0x10, // one event per item; otherwise per directory
};
inline constexpr quint32 kFWEventsDefaultEventStreamFlags =
    kFWEventsCreateFlagUseCFTypes | kFWEventsCreateFlagWatchRoot;

// Receives the events of a watcher made with a delegate.
class FWEventsDelegate {
public:
    virtual ~FWEventsDelegate() = default;
    // URLWatcher:eventOccurred:
    virtual void URLWatcher(FWEvents &watcher, const FWEvent &eventOccurred) = 0;
};

using FWEventsBlock = std::function<void(FWEvents &watcher, const FWEvent &event)>;

// Watches directory trees and hands each event it lets through to a delegate or a block, on a Qt
// event loop (the run loop), in batches: events are held for the latency from the first of a
// batch and merged per path. Two filters apply: only the watched directories themselves
// (ignoreEventsFromSubDirectories), or everything but paths that begin, as text, with an
// excluded URL's path. A watched directory that does not exist yet is picked up when it appears.
//
// The watcher runs from construction until it is destroyed. Destroy it on the run loop's thread
// (or once that loop has stopped); destroyed by its receiver during a delivery, it delivers no
// more events. Flushing synchronously from another thread waits for the run loop. The
// properties may be used from any thread. Relative paths are taken from the current directory.
class FWEvents {
public:
    // initWithURLs:delegate:[onRunLoop:[sinceEventIdentifier:notificationLantency:
    // ignoreEventsFromSubDirs:excludeURLs:streamCreationFlags:]]
    // Throws FWEventsInvalidArgumentException without URLs or delegate, and
    // FWEventsEventStreamCreationFailureException when no stream can run.
    FWEvents(const QList<QUrl> &URLs, FWEventsDelegate *delegate,
             QThread *onRunLoop = QThread::currentThread(),
             quint64 sinceEventIdentifier = kFWEventsSinceEventNow,
             double notificationLantency = 3.0, bool ignoreEventsFromSubDirs = false,
             const std::optional<QList<QUrl>> &excludeURLs = std::nullopt,
             quint32 streamCreationFlags = kFWEventsDefaultEventStreamFlags);

    // initWithURLs:block:[onRunLoop:[…]], with the same defaults.
    FWEvents(const QList<QUrl> &URLs, FWEventsBlock block,
             QThread *onRunLoop = QThread::currentThread(),
             quint64 sinceEventIdentifier = kFWEventsSinceEventNow,
             double notificationLantency = 3.0, bool ignoreEventsFromSubDirs = false,
             const std::optional<QList<QUrl>> &excludeURLs = std::nullopt,
             quint32 streamCreationFlags = kFWEventsDefaultEventStreamFlags);

    ~FWEvents();
    FWEvents(const FWEvents &) = delete;
    FWEvents &operator=(const FWEvents &) = delete;

    // A new running watcher with the same settings and block on the calling thread's run loop.
    // It has no delegate: the copy of a delegate's watcher delivers nothing.
    std::unique_ptr<FWEvents> copy() const;

    // The last event delivered in the most recent batch that delivered any.
    std::optional<FWEvent> lastEvent() const;
    void setLastEvent(const std::optional<FWEvent> &lastEvent);

    QList<QUrl> watchedURLs() const;
    void setWatchedURLs(const QList<QUrl> &watchedURLs);

    // Not owned; clear it before the delegate goes away.
    FWEventsDelegate *delegate() const;
    void setDelegate(FWEventsDelegate *delegate);

    // Events whose path begins with one of these paths are dropped; nullopt is nil.
    std::optional<QList<QUrl>> excludedURLs() const;
    void setExcludedURLs(const std::optional<QList<QUrl>> &excludedURLs);

    bool ignoreEventsFromSubDirectories() const;
    void setIgnoreEventsFromSubDirectories(bool ignore);

    const FWEventsBlock &eventBlock() const { return eventBlock_; }
    double notificationLatency() const { return notificationLatency_; }
    quint64 sinceEventIdentifier() const { return sinceEventIdentifier_; }
    quint32 streamCreationFlags() const { return streamCreationFlags_; }

    // Deliver the held events now: before returning, or soon on the run loop.
    void flushSynchronously();
    void flushAsynchronously();

    // "<FWEvents: 0x… { watchedURLs = ["file:///…"] }>"
    QString description() const;
    QString streamDescription() const;

    static quint64 currentEventIdentifier();

private:
    FWEvents(const QList<QUrl> &URLs, FWEventsDelegate *delegate, FWEventsBlock block,
             QThread *onRunLoop, quint64 sinceEventIdentifier, double notificationLantency,
             bool ignoreEventsFromSubDirs, const std::optional<QList<QUrl>> &excludeURLs,
             quint32 streamCreationFlags);

    void deliver(const std::vector<FWStreamEvent> &batch);

    const FWEventsBlock eventBlock_;
    const double notificationLatency_;
    const quint64 sinceEventIdentifier_;
    const quint32 streamCreationFlags_;
    const QByteArray baseDirectory_ =
        QFile::encodeName(QDir::currentPath()); // where relative paths start

    mutable std::mutex mutex_;
    QList<QUrl> watchedURLs_;
    std::optional<QList<QUrl>> excludedURLs_;
    FWEventsDelegate *delegate_;
    bool ignoreEventsFromSubDirectories_;
    std::optional<FWEvent> lastEvent_;

    std::unique_ptr<FWEventStream> stream_;
    // Expires when the watcher is destroyed; a delivery in progress checks it after each event.
    std::shared_ptr<void> alive_ = std::make_shared<char>();
};

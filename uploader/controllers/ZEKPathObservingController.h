#pragma once

#include "FWEvents.h"
#include "ZEKPathObservingDelegate.h"

#include <QHash>
#include <QString>
#include <memory>

struct stat;

// Watches one directory tree and tells its delegate about each file that has just been renamed
// into place under a ".pdf" name: how the print backend finishes a job. A ".pdf" file written
// or copied in place is not reported, as its writing may not be over. Below the tree's top no
// symbolic link is followed, and names are kept as the file system has them (bytes, in file
// URLs).
//
// When events were lost (the stream says so) the tree is scanned instead and every regular
// ".pdf" file in it is reported, so that no finished job is missed. Each file is reported once
// while it stays (the same inode with the same modification time), however many events or
// scans name it. What the scan cannot read is passed over, never the rest of the tree; it is logged
// unless it is just another user's directory.
//
// The delegate may stop observing from inside its notice; nothing more is reported then.
//
// Start, stop and destroy it on one thread; it is told of events on that thread's event loop.
class ZEKPathObservingController : public FWEventsDelegate {
public:
    static constexpr double kLatency = 1.0;
    static constexpr quint32 kStreamCreationFlags =
        kFWEventsDefaultEventStreamFlags | kFWEventsCreateFlagFileEvents;

    // initWithObservingPath:observingFileMask: — watches nothing yet.
    ZEKPathObservingController(QString observingPath, QString observingFileMask);
    ~ZEKPathObservingController() override;

    QString observingPath() const { return observingPath_; }
    // Kept for the caller; the filter checks the ".pdf" extension itself.
    QString observingFileMask() const { return observingFileMask_; }

    bool isObserving() const { return isObserving_; }
    void setIsObserving(bool isObserving) { isObserving_ = isObserving; }

    // The running watcher; none when not observing.
    std::shared_ptr<FWEvents> events() const { return events_; }
    void setEvents(std::shared_ptr<FWEvents> events) { events_ = std::move(events); }

    std::weak_ptr<ZEKPathObservingDelegate> delegate() const { return delegate_; }
    void setDelegate(std::weak_ptr<ZEKPathObservingDelegate> delegate)
    {
        delegate_ = std::move(delegate);
    }

    // Whether events below the top directory count; read by the next startObserving.
    bool observeSubpaths() const { return observeSubpaths_; }
    void setObserveSubpaths(bool observeSubpaths) { observeSubpaths_ = observeSubpaths; }

    // Both do nothing when already in the state asked for. startObserving throws what FWEvents
    // throws.
    void startObserving();
    void stopObserving();

    // Every regular ".pdf" file in the tree now (below its top only with
    // observeSubpaths), oldest first. What cannot be read is passed over.
    QList<QUrl> finishedPdfsInTree() const;
    // Reports each of them as if it had just been renamed into place: the jobs
    // that came while nobody watched.
    void reportFinishedPdfsInTree();

    // The filter, for each delivered event: a finished job is reported as created, a ".pdf" file
    // that went as removed.
    void URLWatcher(FWEvents &watcher, const FWEvent &eventOccurred) override;

    // Writes the event's nineteen flags to the system log, one line each.
    void printEventFlags(const FWEvent &event) const;

private:
    // A file as it was reported: the same inode with the same modification time is the same job.
    struct Identity {
        quint64 inode = 0;
        qint64 modified = 0;
        bool operator==(const Identity &) const = default;
    };
    static Identity identityOf(const struct stat &status);

    bool isFinishedPdf(const FWEvent &event, struct stat *status) const;
    bool isGonePdf(const FWEvent &event) const;
    QList<std::pair<QUrl, Identity>> finishedPdfsIn(const QByteArray &root,
                                                    bool withSubpaths) const;
    // Below the top only when the watcher reports from there.
    void reportFinishedPdfsIn(const QByteArray &root, bool withSubpaths);
    void report(const QUrl &url, const Identity &identity);
    QByteArray absoluteObservingPath() const;

    const QString observingPath_;
    const QString observingFileMask_;
    bool isObserving_ = false;
    std::shared_ptr<FWEvents> events_;
    std::weak_ptr<ZEKPathObservingDelegate> delegate_;
    bool observeSubpaths_ = false;
    // What was reported and is still there, by path: each file is reported once.
    QHash<QByteArray, Identity> reported_;
};

#pragma once

#include "EventBatch.h"
#include "InotifyTree.h"

#include <QByteArrayList>
#include <QString>
#include <QtGlobal>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

class QObject;
class QThread;

// One event as the stream hands it over.
struct FWStreamEvent {
    QByteArray path; // as the file system has it
    quint32 flags;
    quint64 identifier; // process-wide, growing with time
};

// The event stream under FWEvents. It watches the trees below its paths (InotifyTree) and reads
// the kernel's events on a thread of its own, so that a busy receiver cannot make the kernel's
// queue overflow. From the first event of a batch it holds events for the latency (a fixed
// window: later events do not extend it), merged per path, then hands the batch to `deliver` on
// the thread `runLoop`, whose Qt event loop must run. Batches arrive in order.
//
// Destroy it on the run loop's thread (or once that loop has stopped), even from inside a
// delivery; that drops batches not yet delivered.
class FWEventStream {
public:
    using Delivery = std::function<void(const std::vector<FWStreamEvent> &batch)>;

    FWEventStream(const QByteArrayList &paths, double latency, bool perFileEvents,
                  bool reportRootChanges, QThread *runLoop, Delivery deliver);
    ~FWEventStream();
    FWEventStream(const FWEventStream &) = delete;
    FWEventStream &operator=(const FWEventStream &) = delete;

    // Watches the paths and starts reading. False when the kernel gives no inotify instance.
    bool start();

    // Delivers the held events now and returns once they are delivered.
    void flushSynchronously();
    // Has the held events delivered as soon as the run loop gets to them.
    void flushAsynchronously();

    QString description() const;

    // The identifier of the most recent event handed over in this process.
    static quint64 currentEventIdentifier();

private:
    void readLoop();
    void handOver();
    void deliverHandedOver();
    void wake();

    const QByteArrayList paths_;
    const std::chrono::duration<double> latency_;
    const bool perFileEvents_;
    QThread *const runLoop_;
    const Delivery deliver_;

    // Reader thread only, once started.
    InotifyTree tree_;
    EventBatch held_;

    int wakeFd_ = -1;
    int mountsFd_ = -1;                 // /proc/self/mountinfo, which tells of mounts by POLLPRI
    std::unique_ptr<QObject> receiver_; // lives on the run loop; queued deliveries aim at it
    std::unique_ptr<QThread> reader_;

    mutable std::mutex mutex_;
    bool stopping_ = false;
    bool flushRequested_ = false;
    std::vector<std::promise<void>> flushWaiters_;
    std::deque<std::vector<FWStreamEvent>> handedOver_;
    // Expires when the stream is destroyed; a delivery in progress checks it after each batch.
    std::shared_ptr<void> alive_ = std::make_shared<char>();
};

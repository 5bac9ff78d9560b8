#include "FWEventStream.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

std::atomic<quint64> lastEventIdentifier{0};

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

} // namespace

FWEventStream::FWEventStream(const QByteArrayList &paths, double latency, bool perFileEvents,
                             bool reportRootChanges, QThread *runLoop, Delivery deliver)
    : paths_(paths), latency_(std::max(latency, 0.0)), perFileEvents_(perFileEvents),
      runLoop_(runLoop), deliver_(std::move(deliver)), tree_(paths, reportRootChanges),
      held_(perFileEvents), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      receiver_(std::make_unique<QObject>())
{
    receiver_->moveToThread(runLoop_);
}

FWEventStream::~FWEventStream()
{
    alive_.reset();
    if (reader_) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        reader_->wait();
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
    if (mountsFd_ >= 0) {
        close(mountsFd_);
    }
}

bool FWEventStream::start()
{
    if (!tree_.isValid() || wakeFd_ < 0) {
        return false;
    }
    // Polled for changes of the mount table; without it mounts go unnoticed, as before.
    mountsFd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    tree_.watchRoots();
    reader_.reset(QThread::create([this] { readLoop(); }));
    reader_->setObjectName(QStringLiteral("FWEventStream reader"));
    reader_->start();
    return true;
}

void FWEventStream::flushSynchronously()
{
    std::promise<void> done;
    std::future<void> handedOver = done.get_future();
    {
        std::lock_guard lock(mutex_);
        flushWaiters_.push_back(std::move(done));
    }
    wake();
    handedOver.wait();
    // Delivering here, not through the queue, keeps batches queued earlier in front.
    if (QThread::currentThread() == runLoop_) {
        deliverHandedOver();
    } else {
        QMetaObject::invokeMethod(
            receiver_.get(), [this] { deliverHandedOver(); }, Qt::BlockingQueuedConnection);
    }
}

void FWEventStream::flushAsynchronously()
{
    {
        std::lock_guard lock(mutex_);
        flushRequested_ = true;
    }
    wake();
}

QString FWEventStream::description() const
{
    std::lock_guard lock(mutex_);
    return QStringLiteral("FWEventStream { paths = [%1], latency = %2 s, since = now, "
                          "file events = %3, batches waiting = %4 }")
        .arg(QString::fromUtf8(paths_.join(", ")))
        .arg(latency_.count())
        .arg(perFileEvents_ ? QStringLiteral("YES") : QStringLiteral("NO"))
        .arg(handedOver_.size());
}

quint64 FWEventStream::currentEventIdentifier()
{
    return lastEventIdentifier.load();
}

void FWEventStream::wake()
{
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

void FWEventStream::readLoop()
{
    Clock::time_point deadline;
    for (;;) {
        pollfd fds[] = {{tree_.fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}, {mountsFd_, POLLPRI, 0}};
        const int timeout = held_.isEmpty() ? -1 : millisecondsUntil(deadline);
        poll(fds, mountsFd_ >= 0 ? 3 : 2, timeout);

        quint64 wakeCount;
        [[maybe_unused]] const ssize_t drained = read(wakeFd_, &wakeCount, sizeof wakeCount);
        std::vector<std::promise<void>> waiters;
        bool flush;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            waiters.swap(flushWaiters_);
            flush = std::exchange(flushRequested_, false) || !waiters.empty();
        }
        // Read after taking the flush requests, and even when only woken: whatever happened
        // before a flush was asked for is in the kernel's queue by now, and goes with it.
        const bool wasEmpty = held_.isEmpty();
        tree_.readEvents(held_);
        // inotify says nothing of a file system mounted over a watched directory.
        if (mountsFd_ >= 0 && (fds[2].revents & (POLLPRI | POLLERR))) {
            tree_.mountsChanged(held_);
        }
        if (wasEmpty && !held_.isEmpty()) {
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(latency_);
        }
        if (!held_.isEmpty() && (flush || Clock::now() >= deadline)) {
            handOver();
        }
        for (std::promise<void> &waiter : waiters) {
            waiter.set_value();
        }
    }
}

void FWEventStream::handOver()
{
    std::vector<FWStreamEvent> batch;
    for (EventBatch::Entry &entry : held_.take()) {
        batch.push_back({std::move(entry.path), entry.flags, ++lastEventIdentifier});
    }
    {
        std::lock_guard lock(mutex_);
        handedOver_.push_back(std::move(batch));
    }
    QMetaObject::invokeMethod(
        receiver_.get(), [this] { deliverHandedOver(); }, Qt::QueuedConnection);
}

void FWEventStream::deliverHandedOver()
{
    // The receiver may destroy the stream from inside a delivery: keep what the loop needs.
    const Delivery deliver = deliver_;
    const std::weak_ptr<void> alive = alive_;
    while (!alive.expired()) {
        std::vector<FWStreamEvent> batch;
        {
            std::lock_guard lock(mutex_);
            if (handedOver_.empty()) {
                return;
            }
            batch = std::move(handedOver_.front());
            handedOver_.pop_front();
        }
        deliver(batch);
    }
}

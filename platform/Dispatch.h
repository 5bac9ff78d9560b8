#pragma once

#include <QString>
#include <functional>
#include <memory>

class QThreadPool;

namespace zek {

// A unit of work handed to a queue. It owns what it needs (capture shared
// pointers, not raw ones): the caller may be gone by the time it runs.
using DispatchWork = std::function<void()>;

// A place to run work without waiting for it.
//
// The main queue runs work on the main thread's Qt event loop, one item after
// the other in the order posted from any one thread, and always later: never
// inside the async() call, even on the main thread. It needs a
// QCoreApplication; work posted without one, or left when it is destroyed, is
// discarded without running.
//
// A concurrent queue runs work on a thread pool of its own, several items at
// once, in no promised order. Destroying one never waits: the work already
// posted still runs, and its threads go away afterwards. A queue shared by the
// whole process is best created once and never destroyed, so that nothing is
// left running while the process exits.
class DispatchQueue {
public:
    static const std::shared_ptr<DispatchQueue> &mainQueue();
    // label names the queue and its threads, in reverse-DNS style. width is
    // the most items that run at once; 0 for the number of cores, at least 2.
    static std::shared_ptr<DispatchQueue> concurrent(const QString &label, int width = 0);

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue &) = delete;
    DispatchQueue &operator=(const DispatchQueue &) = delete;

    const QString &label() const { return label_; }
    bool isMainQueue() const { return pool_ == nullptr; }

    void async(DispatchWork work) const;

private:
    DispatchQueue(QString label, QThreadPool *pool);

    QString label_;
    QThreadPool *pool_; // null for the main queue
};

// Counts outstanding work and runs other work once the count drops to zero.
// Every member may be called from any thread.
class DispatchGroup {
public:
    DispatchGroup();
    ~DispatchGroup();
    DispatchGroup(const DispatchGroup &) = delete;
    DispatchGroup &operator=(const DispatchGroup &) = delete;

    // One more piece of outstanding work; each enter() needs one leave().
    void enter();
    // Ends one piece of outstanding work. More leaves than enters is a
    // programming error and aborts.
    void leave();
    // Runs work on queue, counted in the group until it has returned.
    void async(const std::shared_ptr<DispatchQueue> &queue, DispatchWork work);
    // Posts work to queue once the group is empty: at once when it is empty
    // now, otherwise when the last outstanding piece leaves. Each notify runs
    // once. The group need not outlive its pending notifications.
    void notify(const std::shared_ptr<DispatchQueue> &queue, DispatchWork work);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace zek

#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zek {

// A unit of work that an OperationQueue runs: the base of concurrent
// operations, which do their work elsewhere and report their progress
// themselves.
//
// A subclass keeps its own state behind isReady(), isExecuting() and
// isFinished() and announces every change of one of them with
// willChangeValueForKey() before and didChangeValueForKey() after, under the
// key names "isReady", "isExecuting" and "isFinished". A queue that runs the
// operation counts it as running until a "did change isFinished" notice finds
// isFinished() true. Change observers are called on the thread that announces
// the change, in the order they were added; they must not call back into the
// operation, which may be holding a lock of its own.
//
// Operations live in shared pointers.
class Operation : public std::enable_shared_from_this<Operation> {
public:
    using CompletionBlock = std::function<void()>;
    // did is false for a "will change" notice, true for a "did change" one.
    using ChangeObserver = std::function<void(const QString &key, bool did)>;
    using ObserverToken = std::uint64_t;

    Operation() = default;
    virtual ~Operation();
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    // Ready unless a subclass says otherwise.
    virtual bool isReady() const;
    virtual bool isExecuting() const = 0;
    virtual bool isFinished() const = 0;
    // Concurrent operations return from start() before their work is done.
    virtual bool isConcurrent() const;
    bool isCancelled() const;

    // Called once by the queue, on one of the queue's threads, once isReady()
    // holds, cancelled or not: a cancelled operation finishes itself here.
    virtual void start() = 0;
    // Marks the operation cancelled; what that means for its work is the
    // subclass's affair.
    virtual void cancel();

    // Run once by the queue after the operation has finished, on a thread of
    // the queue's (not the main thread). An empty block clears it.
    virtual void setCompletionBlock(CompletionBlock block);
    CompletionBlock completionBlock() const;

    ObserverToken addChangeObserver(ChangeObserver observer);
    void removeChangeObserver(ObserverToken token);

protected:
    void willChangeValueForKey(const QString &key);
    void didChangeValueForKey(const QString &key);

private:
    void announce(const QString &key, bool did);

    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_; // guards the completion block and the observers
    CompletionBlock completionBlock_;
    std::vector<std::pair<ObserverToken, std::shared_ptr<ChangeObserver>>> observers_;
    ObserverToken nextToken_ = 1;
};

// Runs operations: calls start() once on each operation that is ready, on a
// thread that is not the main thread, keeps the operation alive until it has
// reported finished, then runs its completion block and lets it go.
//
// The queue's threads belong to a pool shared by all operation queues; start()
// and completion blocks are expected to return promptly. Destroying a queue
// neither waits for its operations nor stops them: they still run to their
// end and their completion blocks still run. Every member may be called from
// any thread and none of them waits for an operation.
class OperationQueue {
public:
    // maxConcurrentOperationCount() when no limit is set.
    static constexpr int defaultMaxConcurrentOperationCount = -1;

    OperationQueue();
    ~OperationQueue();
    OperationQueue(const OperationQueue &) = delete;
    OperationQueue &operator=(const OperationQueue &) = delete;

    // An operation may be added to one queue, once.
    void addOperation(std::shared_ptr<Operation> operation);

    // The operations added and not yet finished, in the order they were added.
    std::vector<std::shared_ptr<Operation>> operations() const;
    std::size_t operationCount() const;

    // How many operations may be executing at once; -1 for no limit.
    int maxConcurrentOperationCount() const;
    void setMaxConcurrentOperationCount(int count);

    // Calls cancel() on every operation in the queue.
    void cancelAllOperations();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace zek

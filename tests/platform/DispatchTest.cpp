#include "Dispatch.h"

#include "EventLoop.h"
#include "NotificationCenter.h"
#include "Operation.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;
using zek::DispatchGroup;
using zek::DispatchQueue;

namespace {

bool onMainThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Runs the main event loop for a while, for things that must not happen.
void runEventsFor(std::chrono::milliseconds duration)
{
    waitUntil([] { return false; }, duration);
}

// A door that work on other threads waits at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;

    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool pass()
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [this] { return open; });
    }
};

// What a test operation went through, readable after it has gone.
struct Probe {
    std::atomic<int> starts{0};
    std::atomic<int> completions{0};
    std::atomic<bool> startedOffMain{false};
    std::atomic<bool> completedOffMainWhenFinished{false};
    std::atomic<bool> destroyed{false};
};

// Operations that have been started and wait for the test to finish them.
struct Batch {
    std::mutex mutex;
    std::vector<std::shared_ptr<class TestOperation>> started;
    std::atomic<int> executing{0};
    std::atomic<int> peak{0};
};

// A concurrent operation that executes until finish() is called, or finishes
// at once from start() when it has been cancelled.
class TestOperation : public zek::Operation {
public:
    explicit TestOperation(std::shared_ptr<Probe> probe, std::shared_ptr<Batch> batch = nullptr)
        : probe_(std::move(probe)), batch_(std::move(batch))
    {
        setCompletionBlock([probe = probe_, this] {
            probe->completedOffMainWhenFinished = !onMainThread() && isFinished();
            ++probe->completions;
        });
    }
    ~TestOperation() override { probe_->destroyed = true; }

    bool isExecuting() const override { return state_ == State::Executing; }
    bool isFinished() const override { return state_ == State::Finished; }
    bool isConcurrent() const override { return true; }

    void start() override
    {
        ++probe_->starts;
        probe_->startedOffMain = !onMainThread();
        if (isCancelled()) {
            setState(State::Finished);
            return;
        }
        setState(State::Executing);
        if (batch_) {
            const int now = ++batch_->executing;
            for (int peak = batch_->peak;
                 now > peak && !batch_->peak.compare_exchange_weak(peak, now);) {
            }
            std::lock_guard lock(batch_->mutex);
            batch_->started.push_back(std::static_pointer_cast<TestOperation>(shared_from_this()));
        }
    }

    void finish()
    {
        if (batch_) {
            --batch_->executing;
        }
        setState(State::Finished);
    }

private:
    enum class State { Ready, Executing, Finished };

    static QString key(State state)
    {
        return state == State::Ready       ? u"isReady"_s
               : state == State::Executing ? u"isExecuting"_s
                                           : u"isFinished"_s;
    }

    void setState(State next)
    {
        std::lock_guard lock(mutex_);
        const State previous = state_;
        willChangeValueForKey(key(next));
        willChangeValueForKey(key(previous));
        state_ = next;
        didChangeValueForKey(key(previous));
        didChangeValueForKey(key(next));
    }

    std::shared_ptr<Probe> probe_;
    std::shared_ptr<Batch> batch_;
    std::recursive_mutex mutex_;
    std::atomic<State> state_{State::Ready};
};

TEST(DispatchQueueTest, MainQueueRunsLaterOnTheMainThreadInOrder)
{
    struct Runs {
        std::vector<int> fromMain, fromWorker;
        bool allOnMain = true;
    };
    const auto runs = std::make_shared<Runs>();
    // Posts 0 to 19, each to note itself in `into`.
    const auto post = [runs](std::vector<int> Runs::*into) {
        for (int i = 0; i < 20; ++i) {
            DispatchQueue::mainQueue()->async([runs, into, i] {
                ((*runs).*into).push_back(i);
                runs->allOnMain = runs->allOnMain && onMainThread();
            });
        }
    };
    post(&Runs::fromMain);
    EXPECT_TRUE(runs->fromMain.empty()) << "ran inside async()";
    std::thread(post, &Runs::fromWorker).join();

    ASSERT_TRUE(waitUntil([&] { return runs->fromMain.size() + runs->fromWorker.size() == 40; }));
    std::vector<int> expected(20);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(runs->fromMain, expected);
    EXPECT_EQ(runs->fromWorker, expected);
    EXPECT_TRUE(runs->allOnMain);
}

TEST(DispatchQueueTest, ConcurrentQueueRunsOffTheMainThreadAtOnceAndIsLetGoWithoutWaiting)
{
    auto queue = DispatchQueue::concurrent(u"com.zek.test.concurrent"_s, 3);
    EXPECT_EQ(queue->label(), u"com.zek.test.concurrent"_s);
    EXPECT_FALSE(queue->isMainQueue());

    // Three pieces of work can only meet if they run at the same time.
    struct Meeting {
        std::mutex mutex;
        std::condition_variable changed;
        int arrived = 0;
        std::atomic<int> met{0}, offMain{0}, done{0};
    };
    const auto meeting = std::make_shared<Meeting>();
    for (int i = 0; i < 3; ++i) {
        queue->async([meeting] {
            std::unique_lock lock(meeting->mutex);
            ++meeting->arrived;
            meeting->changed.notify_all();
            if (meeting->changed.wait_for(lock, 10s, [&] { return meeting->arrived == 3; })) {
                ++meeting->met;
            }
            meeting->offMain += onMainThread() ? 0 : 1;
            ++meeting->done;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return meeting->done == 3; }));
    EXPECT_EQ(meeting->met, 3);
    EXPECT_EQ(meeting->offMain, 3);

    const auto gate = std::make_shared<Gate>();
    const auto ran = std::make_shared<std::atomic<bool>>(false);
    queue->async([gate, ran] { *ran = gate->pass(); });
    const auto before = std::chrono::steady_clock::now();
    queue.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "the destructor waited";
    gate->release();
    EXPECT_TRUE(waitUntil([&] { return ran->load(); })) << "posted work was dropped";
}

TEST(DispatchGroupTest, NotifyWaitsForEveryAsyncAndEveryEnter)
{
    const auto worker = DispatchQueue::concurrent(u"com.zek.test.group"_s);
    const auto gate = std::make_shared<Gate>();
    const auto workDone = std::make_shared<std::atomic<bool>>(false);
    const auto notified = std::make_shared<std::atomic<int>>(0);
    auto group = std::make_unique<DispatchGroup>();

    group->enter();
    group->async(worker, [gate, workDone] { *workDone = gate->pass(); });
    group->notify(DispatchQueue::mainQueue(), [notified] { ++*notified; });
    runEventsFor(100ms);
    EXPECT_EQ(*notified, 0) << "ran while the async work was running";

    gate->release();
    ASSERT_TRUE(waitUntil([&] { return workDone->load(); }));
    runEventsFor(100ms);
    EXPECT_EQ(*notified, 0) << "ran while an enter was unmatched";

    group->leave();
    group.reset(); // pending notifications do not need the group object
    ASSERT_TRUE(waitUntil([&] { return *notified == 1; }));

    DispatchGroup empty;
    empty.notify(DispatchQueue::mainQueue(), [notified] { ++*notified; });
    EXPECT_EQ(*notified, 1) << "ran inside notify()";
    ASSERT_TRUE(waitUntil([&] { return *notified == 2; }));
    runEventsFor(50ms);
    EXPECT_EQ(*notified, 2);
}

TEST(DispatchGroupTest, ManyThreadsEnterAndLeaveAtOnce)
{
    const auto worker = DispatchQueue::concurrent(u"com.zek.test.group-threads"_s, 4);
    const auto group = std::make_shared<DispatchGroup>();
    const auto counted = std::make_shared<std::atomic<int>>(0);
    const auto countedWhenNotified = std::make_shared<std::vector<int>>();
    constexpr int threads = 8, rounds = 5000;

    group->enter(); // keeps the group busy until the threads are done
    group->notify(DispatchQueue::mainQueue(),
                  [counted, countedWhenNotified] { countedWhenNotified->push_back(*counted); });
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                group->enter();
                if (i % 10 == 0) {
                    group->async(worker, [counted] { ++*counted; });
                }
                group->leave();
            }
        });
    }
    for (auto &thread : running) {
        thread.join();
    }
    runEventsFor(50ms);
    EXPECT_TRUE(countedWhenNotified->empty());

    group->leave();
    ASSERT_TRUE(waitUntil([&] { return !countedWhenNotified->empty(); }));
    runEventsFor(50ms);
    EXPECT_EQ(*countedWhenNotified, std::vector<int>{threads * rounds / 10});
}

TEST(OperationQueueTest, StartsOnceKeepsAliveUntilFinishedThenCompletesAndLetsGo)
{
    enum class Cancel { No, BeforeAdding, InTheQueue };
    const struct {
        const char *name;
        Cancel cancel;
    } cases[] = {
        {"finished by its work", Cancel::No},
        {"cancelled before it was added", Cancel::BeforeAdding},
        {"cancelled in the queue before it started", Cancel::InTheQueue},
    };
    for (const auto &row : cases) {
        SCOPED_TRACE(row.name);
        const auto probe = std::make_shared<Probe>();
        zek::OperationQueue queue;
        EXPECT_EQ(queue.maxConcurrentOperationCount(),
                  zek::OperationQueue::defaultMaxConcurrentOperationCount);
        std::weak_ptr<TestOperation> weak;
        {
            const auto operation = std::make_shared<TestOperation>(probe);
            weak = operation;
            if (row.cancel == Cancel::BeforeAdding) {
                operation->cancel();
            }
            if (row.cancel == Cancel::InTheQueue) {
                queue.setMaxConcurrentOperationCount(0);
            }
            queue.addOperation(operation);
            // A cancelled operation may be gone already.
            if (row.cancel != Cancel::BeforeAdding) {
                EXPECT_EQ(queue.operations(),
                          std::vector<std::shared_ptr<zek::Operation>>{operation});
            }
        }
        if (row.cancel == Cancel::InTheQueue) {
            runEventsFor(50ms);
            EXPECT_EQ(probe->starts, 0);
            queue.cancelAllOperations();
            queue.setMaxConcurrentOperationCount(-1);
        }
        ASSERT_TRUE(waitUntil([&] { return probe->starts == 1; }));

        if (row.cancel == Cancel::No) {
            runEventsFor(100ms);
            auto operation = weak.lock();
            ASSERT_TRUE(operation) << "the queue let go of a running operation";
            EXPECT_TRUE(operation->isExecuting());
            EXPECT_EQ(queue.operationCount(), 1u);
            EXPECT_EQ(probe->completions, 0);
            std::thread([operation = std::move(operation)] { operation->finish(); }).join();
        }

        ASSERT_TRUE(waitUntil([&] { return probe->destroyed.load(); }));
        runEventsFor(50ms);
        EXPECT_EQ(probe->starts, 1);
        EXPECT_TRUE(probe->startedOffMain);
        EXPECT_EQ(probe->completions, 1);
        EXPECT_TRUE(probe->completedOffMainWhenFinished);
        EXPECT_EQ(queue.operationCount(), 0u);
    }
}

TEST(OperationQueueTest, HundredOperationsCompleteWithinTheLimitAfterTheQueueIsGone)
{
    constexpr int count = 100, limit = 4;
    const auto batch = std::make_shared<Batch>();
    std::vector<std::shared_ptr<Probe>> probes;
    auto queue = std::make_unique<zek::OperationQueue>();
    queue->setMaxConcurrentOperationCount(limit);
    for (int i = 0; i < count; ++i) {
        probes.push_back(std::make_shared<Probe>());
        queue->addOperation(std::make_shared<TestOperation>(probes.back(), batch));
    }
    ASSERT_TRUE(waitUntil([&] { return batch->executing == limit; }));

    const auto before = std::chrono::steady_clock::now();
    queue.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "the destructor waited";

    ASSERT_TRUE(waitUntil([&] {
        std::vector<std::shared_ptr<TestOperation>> started;
        {
            std::lock_guard lock(batch->mutex);
            started.swap(batch->started);
        }
        for (const auto &operation : started) {
            operation->finish();
        }
        return std::all_of(probes.begin(), probes.end(),
                           [](const auto &probe) { return probe->destroyed.load(); });
    }));
    EXPECT_EQ(batch->peak, limit);
    for (const auto &probe : probes) {
        EXPECT_EQ(probe->starts, 1);
        EXPECT_EQ(probe->completions, 1);
    }
}

TEST(NotificationCenterTest, ObserversGetTheirNameUntilRemoved)
{
    auto &center = zek::NotificationCenter::defaultCenter();
    const auto sender = std::make_shared<int>(7);
    std::vector<std::pair<QString, void *>> seen;
    const auto record = [&](const QString &name, const std::shared_ptr<void> &object) {
        seen.emplace_back(name, object.get());
    };
    const auto started = center.addObserver(u"com.zek.test.started"_s, record);
    const auto finished = center.addObserver(u"com.zek.test.finished"_s, record);

    center.post(u"com.zek.test.started"_s, sender);
    center.post(u"com.zek.test.other"_s, sender);
    center.removeObserver(started);
    center.post(u"com.zek.test.started"_s, sender);
    center.post(u"com.zek.test.finished"_s, nullptr);
    center.removeObserver(finished);

    const std::vector<std::pair<QString, void *>> expected = {
        {u"com.zek.test.started"_s, sender.get()},
        {u"com.zek.test.finished"_s, nullptr},
    };
    EXPECT_EQ(seen, expected);
}

} // namespace

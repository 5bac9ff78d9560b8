#include "Operation.h"

#include "Dispatch.h"

#include <QThread>
#include <algorithm>
#include <utility>

namespace zek {

Operation::~Operation() = default;

bool Operation::isReady() const
{
    return true;
}

bool Operation::isConcurrent() const
{
    return false;
}

bool Operation::isCancelled() const
{
    return cancelled_.load();
}

void Operation::cancel()
{
    cancelled_.store(true);
}

void Operation::setCompletionBlock(CompletionBlock block)
{
    CompletionBlock old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(completionBlock_, std::move(block));
    }
    // The old block may hold the last reference to something whose
    // destruction needs this operation: let it go outside the mutex.
}

Operation::CompletionBlock Operation::completionBlock() const
{
    std::lock_guard lock(mutex_);
    return completionBlock_;
}

Operation::ObserverToken Operation::addChangeObserver(ChangeObserver observer)
{
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    observers_.emplace_back(token, std::make_shared<ChangeObserver>(std::move(observer)));
    return token;
}

void Operation::removeChangeObserver(ObserverToken token)
{
    std::shared_ptr<ChangeObserver> removed;
    {
        std::lock_guard lock(mutex_);
        const auto found =
            std::find_if(observers_.begin(), observers_.end(),
                         [token](const auto &entry) { return entry.first == token; });
        if (found == observers_.end()) {
            return;
        }
        removed = std::move(found->second);
        observers_.erase(found);
    }
}

void Operation::willChangeValueForKey(const QString &key)
{
    announce(key, false);
}

void Operation::didChangeValueForKey(const QString &key)
{
    announce(key, true);
}

void Operation::announce(const QString &key, bool did)
{
    // Called without the mutex, so that an observer may remove itself.
    std::vector<std::shared_ptr<ChangeObserver>> observers;
    {
        std::lock_guard lock(mutex_);
        observers.reserve(observers_.size());
        for (const auto &entry : observers_) {
            observers.push_back(entry.second);
        }
    }
    for (const auto &observer : observers) {
        (*observer)(key, did);
    }
}

namespace {

// The threads of every operation queue. A queue of its own per operation queue
// would have to be torn down by its last operation, on one of its own threads.
const std::shared_ptr<DispatchQueue> &operationThreads()
{
    static const auto *queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::concurrent(
        QStringLiteral("com.zek.operation-queue"), std::max(8, 2 * QThread::idealThreadCount())));
    return *queue;
}

} // namespace

// Lives as long as the queue object or any operation in it: an operation in
// flight holds the state through its change observer until it has finished.
struct OperationQueue::State : std::enable_shared_from_this<State> {
    struct Entry {
        std::shared_ptr<Operation> operation;
        Operation::ObserverToken token = 0;
        bool started = false;
    };

    mutable std::mutex mutex;
    std::vector<Entry> entries;
    int executing = 0;
    int maxCount = defaultMaxConcurrentOperationCount;

    // Every look at the operations happens here, on a queue thread, and never
    // under the mutex: an operation announces its changes while holding its
    // own lock, so the queue must not call into it from inside a notice.
    void post(std::shared_ptr<Operation> changed)
    {
        operationThreads()->async([self = shared_from_this(), changed = std::move(changed)] {
            if (changed) {
                self->collectIfFinished(changed);
            }
            self->startReadyOperations();
        });
    }

    void collectIfFinished(const std::shared_ptr<Operation> &operation)
    {
        if (!operation->isFinished()) {
            return;
        }
        Entry entry;
        {
            std::lock_guard lock(mutex);
            const auto found = std::find_if(entries.begin(), entries.end(), [&](const Entry &each) {
                return each.operation == operation;
            });
            if (found == entries.end()) {
                return; // collected already
            }
            entry = std::move(*found);
            entries.erase(found);
            if (entry.started) {
                --executing;
            }
        }
        operation->removeChangeObserver(entry.token);
        if (const auto block = operation->completionBlock()) {
            block();
        }
    }

    bool atLimit() const { return maxCount >= 0 && executing >= maxCount; }

    void startReadyOperations()
    {
        std::vector<std::shared_ptr<Operation>> waiting;
        {
            std::lock_guard lock(mutex);
            if (atLimit()) {
                return;
            }
            for (const Entry &entry : entries) {
                if (!entry.started) {
                    waiting.push_back(entry.operation);
                }
            }
        }
        for (const auto &operation : waiting) {
            if (!operation->isReady()) {
                continue;
            }
            {
                std::lock_guard lock(mutex);
                if (atLimit()) {
                    return;
                }
                const auto found =
                    std::find_if(entries.begin(), entries.end(),
                                 [&](const Entry &each) { return each.operation == operation; });
                if (found == entries.end() || found->started) {
                    continue;
                }
                found->started = true;
                ++executing;
            }
            operationThreads()->async([operation] { operation->start(); });
        }
    }
};

OperationQueue::OperationQueue() : state_(std::make_shared<State>()) {}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(std::shared_ptr<Operation> operation)
{
    if (!operation) {
        return;
    }
    const std::weak_ptr<Operation> weakOperation = operation;
    const Operation::ObserverToken token =
        operation->addChangeObserver([state = state_, weakOperation](const QString &key, bool did) {
            if (did && (key == QLatin1String("isFinished") || key == QLatin1String("isReady"))) {
                if (auto changed = weakOperation.lock()) {
                    state->post(std::move(changed));
                }
            }
        });
    {
        std::lock_guard lock(state_->mutex);
        state_->entries.push_back({operation, token, false});
    }
    // A change announced before the entry existed found nothing to collect.
    state_->post(std::move(operation));
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::shared_ptr<Operation>> result;
    result.reserve(state_->entries.size());
    for (const State::Entry &entry : state_->entries) {
        result.push_back(entry.operation);
    }
    return result;
}

std::size_t OperationQueue::operationCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->entries.size();
}

int OperationQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->maxCount;
}

void OperationQueue::setMaxConcurrentOperationCount(int count)
{
    {
        std::lock_guard lock(state_->mutex);
        state_->maxCount = count < 0 ? defaultMaxConcurrentOperationCount : count;
    }
    state_->post(nullptr);
}

void OperationQueue::cancelAllOperations()
{
    for (const auto &operation : operations()) {
        operation->cancel();
    }
}

} // namespace zek

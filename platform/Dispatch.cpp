#include "Dispatch.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zek {

const std::shared_ptr<DispatchQueue> &DispatchQueue::mainQueue()
{
    // Never destroyed: work may be posted to it while the process exits.
    static const auto *queue = new std::shared_ptr<DispatchQueue>(
        new DispatchQueue(QStringLiteral("com.zek.main-queue"), nullptr));
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::concurrent(const QString &label, int width)
{
    auto *pool = new QThreadPool;
    pool->setObjectName(label);
    pool->setMaxThreadCount(width > 0 ? width : std::max(2, QThread::idealThreadCount()));
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(label, pool));
}

DispatchQueue::DispatchQueue(QString label, QThreadPool *pool)
    : label_(std::move(label)), pool_(pool)
{}

DispatchQueue::~DispatchQueue()
{
    if (pool_ == nullptr) {
        return;
    }
    // Deleting a pool waits for its work, and the last reference to a queue
    // may well be dropped by work running on it: the wait belongs to a thread
    // that is neither the caller nor one of the pool's.
    std::thread([pool = pool_] { delete pool; }).detach();
}

void DispatchQueue::async(DispatchWork work) const
{
    if (pool_ != nullptr) {
        pool_->start(std::move(work));
        return;
    }
    if (QCoreApplication *application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
    }
}

struct DispatchGroup::State {
    std::mutex mutex;
    long outstanding = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchWork>> notifications;

    void leave()
    {
        decltype(notifications) due;
        {
            std::lock_guard lock(mutex);
            if (outstanding == 0) {
                qFatal("zek::DispatchGroup: leave() without a matching enter()");
            }
            if (--outstanding == 0) {
                due.swap(notifications);
            }
        }
        for (auto &[queue, work] : due) {
            queue->async(std::move(work));
        }
    }
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

DispatchGroup::~DispatchGroup() = default;

void DispatchGroup::enter()
{
    std::lock_guard lock(state_->mutex);
    ++state_->outstanding;
}

void DispatchGroup::leave()
{
    state_->leave();
}

void DispatchGroup::async(const std::shared_ptr<DispatchQueue> &queue, DispatchWork work)
{
    enter();
    queue->async([state = state_, work = std::move(work)] {
        work();
        state->leave();
    });
}

void DispatchGroup::notify(const std::shared_ptr<DispatchQueue> &queue, DispatchWork work)
{
    {
        std::lock_guard lock(state_->mutex);
        if (state_->outstanding > 0) {
            state_->notifications.emplace_back(queue, std::move(work));
            return;
        }
    }
    queue->async(std::move(work));
}

} // namespace zek

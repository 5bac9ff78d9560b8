#include "NotificationCenter.h"

#include <algorithm>

namespace zek {

NotificationCenter &NotificationCenter::defaultCenter()
{
    // Never destroyed: notifications may still be posted while the process exits.
    static auto *center = new NotificationCenter;
    return *center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(const QString &name,
                                                                  Observer observer)
{
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    observers_.push_back({token, name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(ObserverToken token)
{
    std::shared_ptr<Observer> removed;
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(observers_.begin(), observers_.end(),
                                    [token](const Entry &entry) { return entry.token == token; });
    if (found != observers_.end()) {
        removed = std::move(found->observer);
        observers_.erase(found);
    }
}

void NotificationCenter::post(const QString &name, const std::shared_ptr<void> &object)
{
    // Called without the mutex, so that an observer may add or remove observers.
    std::vector<std::shared_ptr<Observer>> due;
    {
        std::lock_guard lock(mutex_);
        for (const Entry &entry : observers_) {
            if (entry.name == name) {
                due.push_back(entry.observer);
            }
        }
    }
    for (const auto &observer : due) {
        (*observer)(name, object);
    }
}

} // namespace zek

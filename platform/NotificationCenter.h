#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zek {

// Broadcasts named notifications to whoever asked for them, in process.
// Every member may be called from any thread.
class NotificationCenter {
public:
    // object: what the notification is about (the sender); may be null.
    using Observer = std::function<void(const QString &name, const std::shared_ptr<void> &object)>;
    using ObserverToken = std::uint64_t;

    static NotificationCenter &defaultCenter();

    // observer is called for every notification posted under name from now
    // until it is removed.
    ObserverToken addObserver(const QString &name, Observer observer);
    void removeObserver(ObserverToken token);

    // Calls the observers of name at once, on the calling thread, in the order
    // they were added. To deliver on the main thread, post from the main queue.
    void post(const QString &name, const std::shared_ptr<void> &object);

private:
    struct Entry {
        ObserverToken token;
        QString name;
        std::shared_ptr<Observer> observer;
    };

    std::mutex mutex_;
    std::vector<Entry> observers_;
    ObserverToken nextToken_ = 1;
};

} // namespace zek

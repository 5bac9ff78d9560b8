#include "AvahiQtPoll.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <sys/time.h>

// Avahi names these structures and leaves their contents to the main loop.
struct AvahiWatch {
    int fd;
    AvahiWatchEvent wanted;
    AvahiWatchEvent happened;
    AvahiWatchCallback callback;
    void *userdata;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
};

struct AvahiTimeout {
    AvahiTimeoutCallback callback;
    void *userdata;
    QTimer *timer = nullptr;
};

namespace zek {

namespace {

// A callback may free its own watch or timeout: nothing may touch the object
// after the callback returns, and Qt objects are deleted only once control is
// back in the event loop.
void retire(QObject *object)
{
    if (object != nullptr) {
        object->disconnect();
        object->deleteLater();
    }
}

void fire(AvahiWatch *watch, AvahiWatchEvent event)
{
    watch->happened = event;
    watch->callback(watch, watch->fd, event, watch->userdata);
}

void watchUpdate(AvahiWatch *watch, AvahiWatchEvent event)
{
    watch->wanted = event;
    watch->reader->setEnabled((event & (AVAHI_WATCH_IN | AVAHI_WATCH_HUP | AVAHI_WATCH_ERR)) != 0);
    watch->writer->setEnabled((event & AVAHI_WATCH_OUT) != 0);
}

AvahiWatch *watchNew(const AvahiPoll *, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                     void *userdata)
{
    auto *watch = new AvahiWatch{fd, event, AvahiWatchEvent(0), callback, userdata};
    // A read notifier also wakes for hang-up and error, which the reader then
    // sees as a short read.
    watch->reader = new QSocketNotifier(fd, QSocketNotifier::Read);
    watch->writer = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(watch->reader, &QSocketNotifier::activated,
                     [watch] { fire(watch, AVAHI_WATCH_IN); });
    QObject::connect(watch->writer, &QSocketNotifier::activated,
                     [watch] { fire(watch, AVAHI_WATCH_OUT); });
    watchUpdate(watch, event);
    return watch;
}

AvahiWatchEvent watchGetEvents(AvahiWatch *watch)
{
    return watch->happened;
}

void watchFree(AvahiWatch *watch)
{
    watch->reader->setEnabled(false);
    watch->writer->setEnabled(false);
    retire(watch->reader);
    retire(watch->writer);
    delete watch;
}

void timeoutUpdate(AvahiTimeout *timeout, const struct timeval *when)
{
    if (when == nullptr) {
        timeout->timer->stop();
        return;
    }
    // Avahi gives an absolute time on the wall clock.
    struct timeval now {};
    gettimeofday(&now, nullptr);
    const long long milliseconds =
        (when->tv_sec - now.tv_sec) * 1000LL + (when->tv_usec - now.tv_usec + 999) / 1000;
    timeout->timer->start(static_cast<int>(std::clamp(milliseconds, 0LL, 24LL * 3600 * 1000)));
}

AvahiTimeout *timeoutNew(const AvahiPoll *, const struct timeval *when,
                         AvahiTimeoutCallback callback, void *userdata)
{
    auto *timeout = new AvahiTimeout{callback, userdata};
    timeout->timer = new QTimer;
    timeout->timer->setSingleShot(true);
    QObject::connect(timeout->timer, &QTimer::timeout,
                     [timeout] { timeout->callback(timeout, timeout->userdata); });
    timeoutUpdate(timeout, when);
    return timeout;
}

void timeoutFree(AvahiTimeout *timeout)
{
    timeout->timer->stop();
    retire(timeout->timer);
    delete timeout;
}

} // namespace

const AvahiPoll *avahiQtPoll()
{
    static const AvahiPoll poll{nullptr,   watchNew,   watchUpdate,   watchGetEvents,
                                watchFree, timeoutNew, timeoutUpdate, timeoutFree};
    return &poll;
}

} // namespace zek

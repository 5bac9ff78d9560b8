#include "EventLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

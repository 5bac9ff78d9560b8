#include "MainQueue.h"

#include <QCoreApplication>
#include <QThread>

namespace zek {

void runOnMainThread(const std::function<void()> &work)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() == application->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(application, work, Qt::BlockingQueuedConnection);
}

} // namespace zek

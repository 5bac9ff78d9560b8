#include "HCNetworkThread.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

// Work is queued on this object, which lives on the thread.
QObject *context()
{
    static QObject *const made = [] {
        auto *thread = new QThread;
        thread->setObjectName(u"com.zek.ZEKUploader.network-request"_s);
        auto *object = new QObject;
        object->moveToThread(thread);
        thread->start();
        return object;
    }();
    return made;
}

} // namespace

QThread *HCNetworkThread::thread()
{
    return context()->thread();
}

bool HCNetworkThread::isCurrent()
{
    return QThread::currentThread() == thread();
}

void HCNetworkThread::post(std::function<void()> work)
{
    QMetaObject::invokeMethod(context(), std::move(work), Qt::QueuedConnection);
}

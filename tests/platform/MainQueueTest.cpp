// Work handed to the main thread, from the main thread and from another one.

#include "MainQueue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <gtest/gtest.h>

namespace {

TEST(RunOnMainThread, OnTheMainThreadRunsAtOnce)
{
    QThread *ranOn = nullptr;
    zek::runOnMainThread([&] { ranOn = QThread::currentThread(); });
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
}

TEST(RunOnMainThread, FromAWorkerRunsOnTheMainThreadAndWaits)
{
    QThread *ranOn = nullptr;
    bool doneWhenReturned = false;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        bool done = false;
        zek::runOnMainThread([&] {
            ranOn = QThread::currentThread();
            done = true;
        });
        doneWhenReturned = done;
    }));
    QEventLoop loop;
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();

    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
    EXPECT_TRUE(doneWhenReturned);
}

} // namespace

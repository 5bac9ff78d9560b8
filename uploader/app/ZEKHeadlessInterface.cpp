#include "ZEKHeadlessInterface.h"

#include "SystemLog.h"
#include "ZEKLog.h"

ZEKHeadlessInterface::ZEKHeadlessInterface(std::function<void()> retry,
                                           std::chrono::milliseconds firstRetryPause)
    : retrySchedule_(std::move(retry), firstRetryPause),
      logToken_(ZEKLog::sharedLog().subscribe(
          [](const QString &text) { zek::systemLog(text.toStdString()); }))
{}

ZEKHeadlessInterface::~ZEKHeadlessInterface()
{
    ZEKLog::sharedLog().unsubscribe(logToken_);
}

void ZEKHeadlessInterface::uploadDidFail(const QUrl &, const QString &)
{
    retrySchedule_.uploadFailed();
}

void ZEKHeadlessInterface::uploadDidSucceed(const QUrl &)
{
    retrySchedule_.uploadSucceeded();
}

#pragma once

#include "ZEKRetrySchedule.h"
#include "ZEKUserInterface.h"

#include <chrono>
#include <functional>

// The application with nobody at a desktop (a print server's system service):
// no tray, no window, no device search. Failed jobs are retried on their own
// (ZEKRetrySchedule); log lines go to the system log (and standard error).
class ZEKHeadlessInterface : public ZEKUserInterface {
public:
    // retry sends every job still waiting, oldest first.
    ZEKHeadlessInterface(std::function<void()> retry,
                         std::chrono::milliseconds firstRetryPause = ZEKRetrySchedule::kFirstPause);
    ~ZEKHeadlessInterface() override;

    void putUpStatusItem() override {}
    void loadLoggerWindow() override {}
    void showLoggerWindow() override {}
    void setShowAlertView(bool) override {}
    void uploadDidFail(const QUrl &file, const QString &reason) override;
    void uploadDidSucceed(const QUrl &file) override;

    const ZEKRetrySchedule &retrySchedule() const { return retrySchedule_; }

private:
    ZEKRetrySchedule retrySchedule_;
    quint64 logToken_;
};

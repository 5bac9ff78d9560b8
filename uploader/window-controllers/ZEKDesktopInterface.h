#pragma once

#include "ZEKJobList.h"
#include "ZEKUserInterface.h"

#include <QMenu>
#include <QUrl>
#include <functional>
#include <memory>

class ZEKDeliveryNotices;
class ZEKJobsController;
class ZEKLoggerWindowController;
class ZEKNetworkController;
class ZEKTrayStatus;

// The application on a desktop: the tray item with its menu (the log, sending
// the waiting jobs again, Quit) and its look (ZEKTrayStatus), the logger window
// with its jobs table and retry alert, a notice when an upload fails and one
// per batch of jobs delivered. Where the desktop has no tray, the logger window
// stays open after launch so that the log, the jobs and the devices stay
// within reach.
class ZEKDesktopInterface : public ZEKUserInterface {
public:
    struct Actions {
        std::function<void()> showLoggerWindow;
        std::function<void()> retry;
        std::function<void(const QUrl &file)> sendNow;
        // Shows a job's PDF (ZEKJobsController::openInDesktopViewer).
        std::function<void(const QString &path)> open;
        // Where jobs go now.
        std::function<QUrl()> target;
    };

    ZEKDesktopInterface(ZEKNetworkController &networkController, bool hasSystemTray);
    ~ZEKDesktopInterface() override;

    // What the menu's log item and the retry button ask for; set before launch.
    void setActions(Actions actions) { actions_ = std::move(actions); }
    // The jobs that the table and the tray show, in the tree at `spoolRoot`; set before launch.
    void setJobs(ZEKJobList &jobs, QByteArray spoolRoot);

    void putUpStatusItem() override;
    void loadLoggerWindow() override;
    void showLoggerWindow() override;
    void setShowAlertView(bool show) override;
    void uploadDidFail(const QUrl &file, const QString &reason) override;
    void uploadDidSucceed(const QUrl &file) override;

    ZEKLoggerWindowController *loggerWindowController() const { return loggerWindow_.get(); }
    ZEKJobsController *jobsController() const { return jobsController_; }

    // The job's title in its file name: "job_12 Quarterly report.pdf" is "Quarterly report".
    static QString jobTitle(const QUrl &file);

private:
    ZEKNetworkController &networkController_;
    const bool hasSystemTray_;
    Actions actions_;
    ZEKJobList *jobs_ = nullptr;
    QByteArray spoolRoot_;
    std::unique_ptr<ZEKLoggerWindowController> loggerWindow_;
    ZEKJobsController *jobsController_ = nullptr; // the logger window's
    std::unique_ptr<ZEKTrayStatus> trayStatus_;
    std::unique_ptr<ZEKDeliveryNotices> deliveryNotices_;
};

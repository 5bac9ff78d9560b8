#pragma once

#include "ZEKUserInterface.h"

#include <QMenu>
#include <functional>
#include <memory>

class ZEKLoggerWindowController;
class ZEKNetworkController;

// The application on a desktop: the tray item with its menu (the log, Quit),
// the logger window with its retry alert, and a notice when an upload fails.
// Where the desktop has no tray, the logger window stays open after launch so
// that the log and the devices stay within reach.
class ZEKDesktopInterface : public ZEKUserInterface {
public:
    struct Actions {
        std::function<void()> showLoggerWindow;
        std::function<void()> retry;
    };

    ZEKDesktopInterface(ZEKNetworkController &networkController, bool hasSystemTray);
    ~ZEKDesktopInterface() override;

    // What the menu's log item and the retry button ask for; set before launch.
    void setActions(Actions actions) { actions_ = std::move(actions); }

    void putUpStatusItem() override;
    void loadLoggerWindow() override;
    void showLoggerWindow() override;
    void setShowAlertView(bool show) override;
    void uploadDidFail(const QUrl &file, const QString &reason) override;
    void uploadDidSucceed(const QUrl &) override {}

    ZEKLoggerWindowController *loggerWindowController() const { return loggerWindow_.get(); }

    // The job's title in its file name: "job_12 Quarterly report.pdf" is "Quarterly report".
    static QString jobTitle(const QUrl &file);

private:
    ZEKNetworkController &networkController_;
    const bool hasSystemTray_;
    Actions actions_;
    std::unique_ptr<ZEKLoggerWindowController> loggerWindow_;
};

#pragma once

#include <QString>
#include <QUrl>

// What the application controller asks of whatever shows the application:
// the tray item and the logger window on a desktop. The controller's logic
// does not depend on how (or whether) it is shown.
class ZEKUserInterface {
public:
    virtual ~ZEKUserInterface() = default;

    // Launch step: the status item with its menu and icon.
    virtual void putUpStatusItem() = 0;
    // Launch step: the logger window is made and loaded, which starts a device
    // search; it is shown and closed at once, unless there is no other way to
    // reach it. Lines logged from then on appear in it.
    virtual void loadLoggerWindow() = 0;
    // Brings the logger window to the front (and starts a device search).
    virtual void showLoggerWindow() = 0;
    // Opens (and enables the retry button) or closes the retry alert.
    virtual void setShowAlertView(bool show) = 0;
    // An upload failed: tell the user even while the window is closed.
    virtual void uploadDidFail(const QUrl &file, const QString &reason) = 0;
    // The device took a job (and it is deleted).
    virtual void uploadDidSucceed(const QUrl &file) = 0;
};

#pragma once

#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

// The application's item in the desktop's system tray, with its icon and its
// menu (which a click of either button opens). One for the process, never
// removed; it shows once it has an icon.
class ZEKStatusItem {
public:
    static ZEKStatusItem &sharedStatusItem();
    ZEKStatusItem(const ZEKStatusItem &) = delete;
    ZEKStatusItem &operator=(const ZEKStatusItem &) = delete;

    QSystemTrayIcon *statusItem() const { return statusItem_; }
    QIcon statusItemIcon() const { return statusItemIcon_; }
    QMenu *statusItemMenu() const { return statusItemMenu_; }

    void setStatusItemIcon(const QIcon &icon);
    // The item keeps the menu.
    void setStatusItemMenu(QMenu *menu);

private:
    ZEKStatusItem();

    QSystemTrayIcon *statusItem_;
    QIcon statusItemIcon_;
    QPointer<QMenu> statusItemMenu_;
};

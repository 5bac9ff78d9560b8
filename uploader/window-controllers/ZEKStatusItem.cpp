#include "ZEKStatusItem.h"

#include <QCursor>

ZEKStatusItem &ZEKStatusItem::sharedStatusItem()
{
    static ZEKStatusItem *const shared = new ZEKStatusItem;
    return *shared;
}

ZEKStatusItem::ZEKStatusItem() : statusItem_(new QSystemTrayIcon)
{
    // Desktops open a tray item's context menu on the right button only; the
    // left one opens it too.
    QObject::connect(statusItem_, &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && statusItemMenu_) {
                             statusItemMenu_->popup(QCursor::pos());
                         }
                     });
}

void ZEKStatusItem::setStatusItemIcon(const QIcon &icon)
{
    statusItemIcon_ = icon;
    statusItem_->setIcon(icon);
    statusItem_->show();
}

void ZEKStatusItem::setStatusItemMenu(QMenu *menu)
{
    statusItemMenu_ = menu;
    menu->setParent(nullptr);
    statusItem_->setContextMenu(menu);
}

// ZEKUploader: the tray application that delivers printed jobs to the device.

#include "AppDelegate.h"
#include "ZEKDesktopInterface.h"
#include "ZEKIdentity.h"
#include "ZEKNetworkController.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QString::fromUtf8(zek::kOrganizationName));
    QApplication::setApplicationName(QString::fromUtf8(zek::kApplicationName));
    QApplication::setApplicationVersion(QString::fromUtf8(zek::kVersion));

    const bool hasSystemTray = QSystemTrayIcon::isSystemTrayAvailable();
    // With a tray the application lives on after its window closes; without
    // one the window is the only way to it, and closing it quits.
    QApplication::setQuitOnLastWindowClosed(!hasSystemTray);

    ZEKDesktopInterface desktop(ZEKNetworkController::sharedNetworkController(), hasSystemTray);
    const auto delegate = AppDelegate::create(desktop);
    desktop.setActions({[&delegate] { delegate->showLoggerWindow(); },
                        [&delegate] { delegate->retryLastFaultyFileURL(); }});
    QTimer::singleShot(0, &application, [&delegate] { delegate->applicationDidFinishLaunching(); });
    return QApplication::exec();
}

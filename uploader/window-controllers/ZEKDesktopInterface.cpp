#include "ZEKDesktopInterface.h"

#include "ZEKDeliveryNotices.h"
#include "ZEKJobsController.h"
#include "ZEKLoggerWindowController.h"
#include "ZEKStatusItem.h"
#include "ZEKTrayStatus.h"

#include <QApplication>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

ZEKDesktopInterface::ZEKDesktopInterface(ZEKNetworkController &networkController,
                                         bool hasSystemTray)
    : networkController_(networkController), hasSystemTray_(hasSystemTray)
{}

ZEKDesktopInterface::~ZEKDesktopInterface() = default;

void ZEKDesktopInterface::setJobs(ZEKJobList &jobs, QByteArray spoolRoot)
{
    jobs_ = &jobs;
    spoolRoot_ = std::move(spoolRoot);
}

void ZEKDesktopInterface::putUpStatusItem()
{
    if (!hasSystemTray_) {
        return;
    }
    auto *menu = new QMenu;
    menu->addAction(QApplication::translate("ZEKStatusItem", "Show Log and Devices…"),
                    [this] { actions_.showLoggerWindow(); });
    menu->addAction(QApplication::translate("ZEKStatusItem", "Send Waiting Jobs Again"),
                    [this] { actions_.retry(); });
    menu->addSeparator();
    menu->addAction(QApplication::translate("ZEKStatusItem", "Quit ZEK Uploader"),
                    [] { QApplication::quit(); });
    ZEKStatusItem &item = ZEKStatusItem::sharedStatusItem();
    item.setStatusItemMenu(menu);
    trayStatus_ = std::make_unique<ZEKTrayStatus>(*jobs_, actions_.target, item);
    deliveryNotices_ = std::make_unique<ZEKDeliveryNotices>([&item](const QString &text) {
        item.statusItem()->showMessage(text, QString(), QSystemTrayIcon::Information);
    });
    QObject::connect(item.statusItem(), &QSystemTrayIcon::messageClicked,
                     [this] { actions_.showLoggerWindow(); });
}

void ZEKDesktopInterface::loadLoggerWindow()
{
    loggerWindow_ = std::make_unique<ZEKLoggerWindowController>(networkController_,
                                                                [this] { actions_.retry(); });
    loggerWindow_->window()->setWindowIcon(QIcon(u":/StatusItemIcon.svg"_s));
    loggerWindow_->setTarget(actions_.target);
    jobsController_ = new ZEKJobsController(loggerWindow_->window(), *jobs_, spoolRoot_,
                                            {actions_.sendNow, actions_.retry, actions_.open},
                                            loggerWindow_.get());
    if (trayStatus_) {
        QObject::connect(loggerWindow_.get(), &ZEKLoggerWindowController::targetChanged,
                         trayStatus_.get(), &ZEKTrayStatus::update);
    }
    loggerWindow_->showWindow();
    if (hasSystemTray_) {
        loggerWindow_->close();
    }
}

void ZEKDesktopInterface::showLoggerWindow()
{
    loggerWindow_->showWindow();
}

void ZEKDesktopInterface::setShowAlertView(bool show)
{
    loggerWindow_->setShowAlertView(show);
}

void ZEKDesktopInterface::uploadDidFail(const QUrl &file, const QString &reason)
{
    if (!hasSystemTray_) {
        return; // the window is in front already
    }
    ZEKStatusItem::sharedStatusItem().statusItem()->showMessage(
        QApplication::translate("ZEKDesktopInterface", "Not printed: %1").arg(jobTitle(file)),
        reason, QSystemTrayIcon::Warning);
}

void ZEKDesktopInterface::uploadDidSucceed(const QUrl &file)
{
    if (deliveryNotices_) {
        deliveryNotices_->jobDelivered(jobTitle(file));
    }
}

QString ZEKDesktopInterface::jobTitle(const QUrl &file)
{
    static const QRegularExpression jobPrefix(u"^job_[^ ]* "_s);
    QString name = QFileInfo(file.toLocalFile()).fileName();
    if (name.endsWith(u".pdf"_s, Qt::CaseInsensitive)) {
        name.chop(4);
    }
    return name.remove(jobPrefix);
}

// ZEKUploader [--retry]: the tray application that delivers printed jobs to
// the device. Started while it already runs for this user, it brings the
// running one's window to the front (or, with --retry, has it send the
// waiting jobs again) and ends.

#include "AppDelegate.h"
#include "ZEKDesktopInterface.h"
#include "ZEKIdentity.h"
#include "ZEKInstanceChannel.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QString::fromUtf8(zek::kOrganizationName));
    QApplication::setApplicationName(QString::fromUtf8(zek::kApplicationName));
    QApplication::setApplicationVersion(QString::fromUtf8(zek::kVersion));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption retry(QStringLiteral("retry"),
                                   QStringLiteral("Send the jobs still waiting again."));
    parser.addOption(retry);
    parser.process(application);

    const QByteArray request = parser.isSet(retry) ? "retry" : "show";
    if (ZEKInstanceChannel::sendToRunningInstance(request)) {
        return 0;
    }

    const bool hasSystemTray = QSystemTrayIcon::isSystemTrayAvailable();
    // With a tray the application lives on after its window closes; without
    // one the window is the only way to it, and closing it quits.
    QApplication::setQuitOnLastWindowClosed(!hasSystemTray);

    // The log also goes to standard error, where the session keeps it.
    ZEKLog::sharedLog().subscribe([](const QString &text) {
        const QByteArray entry =
            QStringLiteral("[%1] %2\n")
                .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")), text)
                .toUtf8();
        std::fwrite(entry.constData(), 1, size_t(entry.size()), stderr);
    });

    ZEKDesktopInterface desktop(ZEKNetworkController::sharedNetworkController(), hasSystemTray);
    const auto delegate = AppDelegate::create(desktop);
    desktop.setActions({[&delegate] { delegate->showLoggerWindow(); },
                        [&delegate] { delegate->retryLastFaultyFileURL(); }});
    ZEKInstanceChannel channel;
    channel.listen([&delegate](const QByteArray &asked) {
        if (asked == "retry" && !delegate->lastFaultyFileURL().isEmpty()) {
            delegate->retryLastFaultyFileURL();
        } else if (asked == "retry") {
            delegate->retryWaitingJobs();
        } else {
            delegate->showLoggerWindow();
        }
    });
    QTimer::singleShot(0, &application, [&delegate] { delegate->applicationDidFinishLaunching(); });
    return QApplication::exec();
}

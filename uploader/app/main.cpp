// ZEKUploader [--retry]: the tray application that delivers printed jobs to
// the device. Started while it already runs for this user, it brings the
// running one's window to the front (or, with --retry, has it send the
// waiting jobs again) and ends.
//
// ZEKUploader --headless [--retry-pause SECONDS]: the same delivery with
// nobody at a desktop, for a print server's system service; see
// ZEKHeadlessInterface.

#include "AppDelegate.h"
#include "SystemLog.h"
#include "ZEKDesktopInterface.h"
#include "ZEKHeadlessInterface.h"
#include "ZEKIdentity.h"
#include "ZEKInstanceChannel.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void nameTheApplication()
{
    QCoreApplication::setOrganizationName(QString::fromUtf8(zek::kOrganizationName));
    QCoreApplication::setApplicationName(QString::fromUtf8(zek::kApplicationName));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(zek::kVersion));
}

bool isHeadless(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            return true;
        }
    }
    return false;
}

int terminationPipe[2] = {-1, -1};

// SIGTERM and SIGINT end the event loop: an upload under way is abandoned and
// its job stays for the next start, since a job is deleted only once the
// device has taken it.
void quitOnTermination()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, terminationPipe) != 0) {
        return;
    }
    auto *notifier = new QSocketNotifier(terminationPipe[1], QSocketNotifier::Read,
                                         QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = [](int) { (void)!::write(terminationPipe[0], "x", 1); };
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGTERM, SIGINT}) {
        sigaction(number, &action, nullptr);
    }
}

int runHeadless(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    nameTheApplication();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Delivers every job in the spool tree to the device, with nobody at a desktop."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("headless"), QStringLiteral("Run without a desktop.")});
    const QCommandLineOption pause(
        QStringLiteral("retry-pause"),
        QStringLiteral("Seconds before failed jobs are tried again (default 30; the pause "
                       "doubles with each failure that follows, up to 10 minutes)."),
        QStringLiteral("SECONDS"), QStringLiteral("30"));
    parser.addOption(pause);
    parser.process(application);
    bool valid = false;
    const double seconds = parser.value(pause).toDouble(&valid);
    if (!valid || seconds <= 0 || seconds > 600) {
        std::fputs("ZEKUploader: --retry-pause takes seconds from 0 to 600\n", stderr);
        return 2;
    }

    zek::openSystemLog(zek::kApplicationName);
    std::shared_ptr<AppDelegate> delegate;
    ZEKHeadlessInterface headless([&delegate] { delegate->retryWaitingJobs(); },
                                  std::chrono::milliseconds(qRound64(seconds * 1000)));
    delegate = AppDelegate::create(headless);
    quitOnTermination();
    QTimer::singleShot(0, &application, [&delegate] { delegate->applicationDidFinishLaunching(); });
    const int status = QCoreApplication::exec();
    zek::systemLog("Stopped; jobs not yet delivered stay in the spool tree");
    return status;
}

int runDesktop(int argc, char **argv)
{
    QApplication application(argc, argv);
    nameTheApplication();
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption retry(QStringLiteral("retry"),
                                   QStringLiteral("Send the jobs still waiting again."));
    parser.addOption(retry);
    parser.addOption({QStringLiteral("headless"),
                      QStringLiteral("Run without a desktop, as a print server's service.")});
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

} // namespace

int main(int argc, char *argv[])
{
    return isHeadless(argc, argv) ? runHeadless(argc, argv) : runDesktop(argc, argv);
}

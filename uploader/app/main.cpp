// ZEKUploader [--retry]: the tray application that delivers printed jobs to the device. Started
// while it already runs for this user, it brings the running one's window to the front (or, with
// --retry, has it send the waiting jobs again) and ends.
//
// ZEKUploader --headless [--retry-pause SECONDS]: the same delivery with nobody at a desktop,
// for a print server's system service; see ZEKHeadlessInterface.

#include "AppDelegate.h"
#include "SystemLog.h"
#include "ZEKDesktopInterface.h"
#include "ZEKHeadlessInterface.h"
#include "ZEKIdentity.h"
#include "ZEKInstanceChannel.h"
#include "ZEKJobsController.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTimer>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// What the command line asks for.
struct Request {
    bool headless = false;
    bool retry = false;
    double retryPause = 30;
};

void nameTheApplication()
{
    QCoreApplication::setOrganizationName(QString::fromUtf8(zek::kOrganizationName));
    QCoreApplication::setApplicationName(QString::fromUtf8(zek::kApplicationName));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(zek::kVersion));
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

// Reads the command line, and answers what needs no uploader (--help, --version, a wrong
// usage) before any application object of the desktop is made: they work without a display.
// Nothing when the process should end with `status`.
std::optional<Request> readCommandLine(int argc, char **argv, int *status)
{
    const QCoreApplication application(argc, argv);
    nameTheApplication();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Delivers what is printed to the ZEK queue to the laser device on the network.\n"
        "Settings: ~/.config/ZEK/ZEKUploader.conf, or /etc/xdg/ZEK/ZEKUploader.conf for all\n"
        "users (keys scheme, ip, port, path)."_s);
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help and end."_s);
    const QCommandLineOption version({u"v"_s, u"version"_s}, u"Show the version and end."_s);
    const QCommandLineOption retry(u"retry"_s,
                                   u"Have the running uploader send the waiting jobs again."_s);
    const QCommandLineOption headless(
        u"headless"_s, u"Run without a desktop, as a print server's system service."_s);
    const QCommandLineOption pause(
        u"retry-pause"_s,
        u"With --headless: seconds, from 1 to 600, before failed jobs are tried again (default "
        "30; the pause doubles with each failure that follows, up to 10 minutes)."_s,
        u"SECONDS"_s, u"30"_s);
    parser.addOptions({help, version, retry, headless, pause});

    *status = 2;
    if (!parser.parse(QCoreApplication::arguments())) {
        print(stderr, u"ZEKUploader: %1\n"_s.arg(parser.errorText()));
        return std::nullopt;
    }
    if (parser.isSet(help)) {
        *status = 0;
        print(stdout, parser.helpText());
        return std::nullopt;
    }
    if (parser.isSet(version)) {
        *status = 0;
        print(stdout, u"ZEKUploader %1\n"_s.arg(QCoreApplication::applicationVersion()));
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        print(stderr, u"ZEKUploader: unexpected argument: %1\n"_s.arg(
                          parser.positionalArguments().constFirst()));
        return std::nullopt;
    }
    Request request{parser.isSet(headless), parser.isSet(retry), 30};
    if (parser.isSet(pause) && !request.headless) {
        print(stderr, u"ZEKUploader: --retry-pause goes with --headless\n"_s);
        return std::nullopt;
    }
    bool valid = false;
    request.retryPause = parser.value(pause).toDouble(&valid);
    if (!valid || !std::isfinite(request.retryPause) || request.retryPause < 1 ||
        request.retryPause > 600) {
        print(stderr, u"ZEKUploader: --retry-pause takes a number of seconds from 1 to 600\n"_s);
        return std::nullopt;
    }
    *status = 0;
    return request;
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

int runHeadless(int argc, char **argv, const Request &request)
{
    QCoreApplication application(argc, argv);
    nameTheApplication();
    zek::openSystemLog(zek::kApplicationName);
    std::shared_ptr<AppDelegate> delegate;
    ZEKHeadlessInterface headless([&delegate] { delegate->retryLastFaultyFileURL(); },
                                  std::chrono::milliseconds(qRound64(request.retryPause * 1000)));
    delegate = AppDelegate::create(headless);
    quitOnTermination();
    // Root's `zek-jobs retry` reaches the service here.
    ZEKInstanceChannel control;
    QString problem;
    if (!control.listen(
            [&delegate](const QByteArray &asked) {
                if (asked == "retry") {
                    delegate->retryLastFaultyFileURL();
                }
            },
            &problem, ZEKInstanceChannel::serviceSocketPath())) {
        zek::systemLog("Cannot be asked for a retry: " + problem.toStdString());
    }
    QTimer::singleShot(0, &application, [&delegate] { delegate->applicationDidFinishLaunching(); });
    const int status = QCoreApplication::exec();
    zek::systemLog("Stopped; jobs not yet delivered stay in the spool tree");
    return status;
}

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
           qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
}

int runDesktop(int argc, char **argv, const Request &request)
{
    ZEKInstanceChannel channel;
    QString problem;
    if (!channel.becomeTheUploader(&problem)) {
        if (!problem.isEmpty()) {
            print(stderr, u"ZEKUploader: %1\n"_s.arg(problem));
            return 1;
        }
        if (ZEKInstanceChannel::sendToRunningInstance(request.retry ? "retry" : "show")) {
            if (request.retry) {
                print(stdout, u"Asked the running uploader to send the waiting jobs again.\n"_s);
            }
            return 0;
        }
        print(stderr, u"ZEKUploader: the uploader that runs for this user does not answer; "
                      "try again later\n"_s);
        return 1;
    }
    if (!hasDisplay()) {
        print(stderr, request.retry
                          ? u"ZEKUploader: no uploader runs for this user; the waiting jobs are "
                            "sent when it starts\n"_s
                          : u"ZEKUploader: no display to put the tray icon on; run it in a "
                            "desktop session, or run ZEKUploader --headless\n"_s);
        return 1;
    }

    QApplication application(argc, argv);
    nameTheApplication();
    const bool hasSystemTray = QSystemTrayIcon::isSystemTrayAvailable();
    // With a tray the application lives on after its window closes; without
    // one the window is the only way to it, and closing it quits.
    QApplication::setQuitOnLastWindowClosed(!hasSystemTray);

    // The log also goes to standard error, where the session keeps it.
    ZEKLog::sharedLog().subscribe([](const QString &text) {
        print(stderr, u"[%1] %2\n"_s.arg(QTime::currentTime().toString(u"HH:mm:ss "_s), text));
    });

    ZEKDesktopInterface desktop(ZEKNetworkController::sharedNetworkController(), hasSystemTray);
    const auto delegate = AppDelegate::create(desktop);
    desktop.setActions({[&delegate] { delegate->showLoggerWindow(); },
                        [&delegate] { delegate->retryLastFaultyFileURL(); },
                        [&delegate](const QUrl &file) { delegate->uploadFile(file); },
                        ZEKJobsController::openInDesktopViewer,
                        [&delegate] { return delegate->uploadingResourceURL(); }});
    desktop.setJobs(delegate->jobList(), delegate->spoolRoot());
    const bool listening = channel.listen(
        [&delegate](const QByteArray &asked) {
            if (asked == "retry") {
                delegate->retryLastFaultyFileURL();
            } else if (asked == "show") {
                delegate->showLoggerWindow();
            }
        },
        &problem);
    if (!listening) {
        print(stderr, u"ZEKUploader: %1; later starts cannot reach this uploader\n"_s.arg(problem));
    }
    // Started for a retry: the launch sends whatever waits.
    QTimer::singleShot(0, &application, [&delegate] { delegate->applicationDidFinishLaunching(); });
    return QApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    int status = 0;
    const std::optional<Request> request = readCommandLine(argc, argv, &status);
    if (!request) {
        return status;
    }
    return request->headless ? runHeadless(argc, argv, *request) : runDesktop(argc, argv, *request);
}

// Measures the spool watching: the delay from a job's rename to the controller's notice, and the
// CPU time the watching process spends on a burst of jobs written by another process.
//
// Then a storm of changes of rights or times (chmod -R, touch, a backup tool) over N directories
// against the same over N files, alternating which goes first.
//
//   bench_spool_watch [--jobs N] [--burst N] [--storm N]      (defaults 200, 10000 and 10000)

#include "ZEKPathObservingController.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class TimingDelegate : public ZEKPathObservingDelegate {
public:
    void fileDidCreatedAtURL(const QUrl &) override { notices.push_back(Clock::now()); }
    std::vector<Clock::time_point> notices;
};

// The backend's sequence: write the temporary name, then rename into place.
void writeJob(const QString &directory, int number)
{
    const QString stem = directory + QStringLiteral("/job_%1 Bench").arg(number);
    QFile file(stem + QStringLiteral(".~pdf"));
    if (!file.open(QIODevice::WriteOnly) || file.write("%PDF-1.4\n%%EOF\n") < 0) {
        std::cerr << "cannot write " << stem.toStdString() << '\n';
        std::exit(1);
    }
    file.close();
    std::rename(QFile::encodeName(stem + QStringLiteral(".~pdf")).constData(),
                QFile::encodeName(stem + QStringLiteral(".pdf")).constData());
}

void waitForNotices(const TimingDelegate &delegate, size_t count)
{
    while (delegate.notices.size() < count) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return time.tv_sec + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Watch {
    explicit Watch(const QString &spool) : controller(spool, QStringLiteral("*.pdf"))
    {
        controller.setDelegate(delegate);
        controller.setObserveSubpaths(true);
        controller.startObserving();
    }
    std::shared_ptr<TimingDelegate> delegate = std::make_shared<TimingDelegate>();
    ZEKPathObservingController controller;
};

void measureDelay(const QString &user, int jobs)
{
    Watch watch(QFileInfo(user).path());
    std::vector<double> delays;
    for (int job = 0; job < jobs; ++job) {
        writeJob(user, job);
        const Clock::time_point renamed = Clock::now();
        waitForNotices(*watch.delegate, job + 1);
        delays.push_back(
            std::chrono::duration<double, std::milli>(watch.delegate->notices.back() - renamed)
                .count());
    }
    std::sort(delays.begin(), delays.end());
    std::printf("rename to notice over %d jobs (latency %.1f s): median %.1f ms, worst %.1f ms, "
                "best %.1f ms\n",
                jobs, ZEKPathObservingController::kLatency, delays[delays.size() / 2],
                delays.back(), delays.front());
    std::fflush(stdout);
}

void measureBurst(const QString &user, int jobs)
{
    Watch watch(QFileInfo(user).path());
    const double cpuBefore = cpuSeconds();
    const Clock::time_point start = Clock::now();
    QProcess writer;
    writer.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--write-jobs"), user, QString::number(jobs)});
    waitForNotices(*watch.delegate, jobs);
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    writer.waitForFinished();
    std::printf("burst of %d jobs written by another process: watcher CPU %.3f s (%.1f us per "
                "job), all %d noticed after %.2f s\n",
                jobs, cpu, cpu * 1e6 / jobs, jobs, wall);
    std::fflush(stdout);
}

// The watcher's CPU for one touch of every entry of `directory`, made by another process, and
// the time its events take to be delivered.
double stormCpu(const QString &directory)
{
    const double cpuBefore = cpuSeconds();
    QProcess toucher;
    toucher.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--touch"), directory});
    toucher.waitForFinished(-1);
    // Idle meanwhile: the latency window and the delivery.
    QEventLoop settling;
    QTimer::singleShot(2500, &settling, &QEventLoop::quit);
    settling.exec();
    return cpuSeconds() - cpuBefore;
}

void measureStorm(const QString &tree, int count)
{
    for (const QString &kind : {QStringLiteral("directories"), QStringLiteral("files")}) {
        QDir().mkpath(tree + u'/' + kind);
        for (int entry = 0; entry < count; ++entry) {
            const QString path = tree + u'/' + kind + u'/' + QString::number(entry);
            if (kind == QStringLiteral("directories")) {
                QDir().mkdir(path);
            } else {
                QFile(path).open(QIODevice::WriteOnly);
            }
        }
    }
    Watch watch(tree);
    double directories = 0;
    double files = 0;
    for (int round = 0; round < 2; ++round) {
        if (round == 0) {
            directories += stormCpu(tree + QStringLiteral("/directories"));
            files += stormCpu(tree + QStringLiteral("/files"));
        } else {
            files += stormCpu(tree + QStringLiteral("/files"));
            directories += stormCpu(tree + QStringLiteral("/directories"));
        }
    }
    std::printf("storm of changed times over %d directories: watcher CPU %.3f s; over %d files: "
                "%.3f s (means of two rounds, alternating)\n",
                count, directories / 2, count, files / 2);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() == 4 && arguments[1] == QStringLiteral("--write-jobs")) {
        for (int job = 0, jobs = arguments[3].toInt(); job < jobs; ++job) {
            writeJob(arguments[2], job);
        }
        return 0;
    }
    if (arguments.size() == 3 && arguments[1] == QStringLiteral("--touch")) {
        const QByteArray directory = QFile::encodeName(arguments[2]);
        for (const QString &name :
             QDir(arguments[2]).entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            utimensat(AT_FDCWD, (directory + '/' + QFile::encodeName(name)).constData(), nullptr,
                      0);
        }
        return 0;
    }
    const auto option = [&](const QString &name, int fallback) {
        const qsizetype at = arguments.indexOf(name);
        return at > 0 && at + 1 < arguments.size() ? arguments[at + 1].toInt() : fallback;
    };

    QTemporaryDir temporary;
    const QString first = temporary.path() + QStringLiteral("/delay/alice");
    const QString second = temporary.path() + QStringLiteral("/burst/alice");
    QDir().mkpath(first);
    QDir().mkpath(second);
    measureDelay(first, option(QStringLiteral("--jobs"), 200));
    measureBurst(second, option(QStringLiteral("--burst"), 10000));
    measureStorm(temporary.path() + QStringLiteral("/storm"),
                 option(QStringLiteral("--storm"), 10000));
    return 0;
}

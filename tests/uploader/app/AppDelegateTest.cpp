// The application controller without a desktop: the settings, the launch
// sequence, and the upload road against the device simulator.

#include "AppDelegate.h"

#include "DeviceSimulator.h"
#include "EventLoop.h"
#include "SpoolFiles.h"
#include "ZEKDefaults.h"
#include "ZEKJobFile.h"
#include "ZEKLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Records what the controller asks of the user interface, and the log.
class RecordingInterface : public ZEKUserInterface {
public:
    RecordingInterface()
        : token_(ZEKLog::sharedLog().subscribe(
              [this](const QString &line) { events.append(u"log "_s + line); }))
    {}
    ~RecordingInterface() override { ZEKLog::sharedLog().unsubscribe(token_); }

    void putUpStatusItem() override
    {
        // The settings are complete before anything else happens.
        events.append(u"status item, port "_s + ZEKDefaults::standardUserDefaults().port());
    }
    void loadLoggerWindow() override { events.append(u"load window"_s); }
    void showLoggerWindow() override { events.append(u"show window"_s); }
    void setShowAlertView(bool show) override
    {
        events.append(show ? u"alert open"_s : u"alert closed"_s);
    }
    void uploadDidFail(const QUrl &file, const QString &reason) override
    {
        events.append(u"failed "_s + file.fileName() + u": "_s + reason);
    }
    void uploadDidSucceed(const QUrl &) override {}

    QStringList events;

private:
    ZEKLog::SubscriberToken token_;
};

class AppDelegateTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZEKDefaults::standardUserDefaults().resetZEKDefaults();
        ASSERT_NE(device.port(), 0);
    }

    void pointAt(const DeviceSimulator &simulator)
    {
        ZEKDefaults &defaults = ZEKDefaults::standardUserDefaults();
        defaults.setIp(u"127.0.0.1"_s);
        defaults.setPort(QString::number(simulator.port()));
    }

    // Launches with the simulator as the device and one user's directory.
    void launch()
    {
        pointAt(device);
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(QDir(spool.path()).mkdir(u"alice"_s));
    }

    QStringList linesStartingWith(const QString &start) const
    {
        QStringList lines;
        for (const QString &event : interface.events) {
            if (event.startsWith(start)) {
                lines.append(event.mid(start.size()));
            }
        }
        return lines;
    }

    bool waitForLog(const QString &start)
    {
        return waitUntil([&] {
            return std::any_of(interface.events.cbegin(), interface.events.cend(),
                               [&](const QString &event) { return event.startsWith(start); });
        });
    }

    QTemporaryDir spool;
    QTemporaryDir state;
    DeviceSimulator device;
    RecordingInterface interface;
    std::shared_ptr<AppDelegate> delegate =
        AppDelegate::create(interface, spool.path(), ZEKJobLedger(state.path()));
};

} // namespace

TEST(ZEKDefaultsTest, FillsInOnlyWhatIsMissingUnlessForced)
{
    ZEKDefaults &defaults = ZEKDefaults::standardUserDefaults();
    EXPECT_EQ(&defaults, &ZEKDefaults::standardUserDefaults());
    defaults.resetZEKDefaults();
    EXPECT_TRUE(defaults.scheme().isNull() && defaults.ip().isNull() && defaults.port().isNull() &&
                defaults.path().isNull());

    defaults.setIp(u"10.0.0.7"_s);
    defaults.defineZEKDefaultsForce(false);
    const QStringList filled{defaults.scheme(), defaults.ip(), defaults.port(), defaults.path()};
    EXPECT_EQ(filled,
              (QStringList{u"http"_s, u"10.0.0.7"_s, u"5004"_s, u"/api/laser/json/print/pdf"_s}));

    defaults.setPort(u"8080"_s);
    defaults.setPort(u""_s);
    defaults.setPort(QString());
    EXPECT_EQ(defaults.port(), u"8080"_s);
    defaults.defineZEKDefaultsForce(false);
    EXPECT_EQ(defaults.port(), u"8080"_s);
    defaults.defineZEKDefaultsForce(true);
    EXPECT_EQ(defaults.ip(), u"zek-laser.local"_s);
    EXPECT_EQ(defaults.port(), u"5004"_s);
}

TEST_F(AppDelegateTest, LaunchCompletesSettingsThenShowsThenLogsTheVersionThenWatches)
{
    delegate->applicationDidFinishLaunching();
    ASSERT_GE(interface.events.size(), 3);
    EXPECT_EQ(interface.events.mid(0, 2),
              (QStringList{u"status item, port 5004"_s, u"load window"_s}));
    EXPECT_TRUE(QRegularExpression(u"^log Version: 1\\.0\\.0\\([0-9]+\\)\\. Build date: "
                                   u"[0-3][0-9]/[01][0-9]/20[0-9][0-9]$"_s)
                    .match(interface.events.at(2))
                    .hasMatch())
        << interface.events.at(2).toStdString();
    ASSERT_TRUE(delegate->pathObservingController());
    EXPECT_TRUE(delegate->pathObservingController()->isObserving());
    EXPECT_EQ(delegate->pathObservingController()->observingPath(), spool.path());
}

TEST_F(AppDelegateTest, DeliversAJobAndDeletesIt)
{
    launch();
    const QByteArray pdf = "%PDF-1.4\n" + QByteArray(100000, 'x') + "\n%%EOF\n";
    const QString job = finishJob(spool.filePath(u"alice"_s), u"job_1 Quarterly report"_s, pdf);
    ASSERT_TRUE(waitForLog(u"log File deleted"_s));
    EXPECT_EQ(device.jobs(), QByteArrayList{pdf});
    EXPECT_FALSE(QFile::exists(job));
    const QStringList road = interface.events.mid(3);
    ASSERT_EQ(road.size(), 5) << road.join(u"\n"_s).toStdString();
    EXPECT_EQ(road.at(0), u"log Printed PDF appeared: "_s + job);
    EXPECT_EQ(road.at(1),
              u"log Uploading to resource: http://127.0.0.1:%1/api/laser/json/print/pdf"_s.arg(
                  device.port()));
    EXPECT_EQ(road.at(2), u"log JSON: {\"job\":1,\"status\":\"queued\"}"_s);
    EXPECT_EQ(road.at(3), u"log File deleted: "_s + job);
    EXPECT_EQ(road.at(4), u"alert closed"_s);
}

TEST_F(AppDelegateTest, KeepsAFailedJobAndDeliversItOnRetry)
{
    launch();
    ASSERT_TRUE(device.setMode("500"));
    const QString job = finishJob(spool.filePath(u"alice"_s), u"job_2 Plan"_s);
    ASSERT_TRUE(waitForLog(u"alert open"_s));
    EXPECT_TRUE(QFile::exists(job));
    EXPECT_EQ(delegate->lastFaultyFileURL(), QUrl::fromLocalFile(job));
    const QStringList failure = interface.events.mid(interface.events.indexOf(u"show window"_s));
    ASSERT_EQ(failure.size(), 4) << interface.events.join(u"\n"_s).toStdString();
    EXPECT_TRUE(failure.at(1).startsWith(
        u"log ERROR(-1011): Request failed: internal server error (500)\nRESULT: "_s))
        << failure.at(1).toStdString();
    EXPECT_EQ(
        failure.at(3),
        u"failed job_2 Plan.pdf: {\"status\": \"error\", \"reason\": \"simulated failure\"}"_s);
    EXPECT_TRUE(device.jobs().isEmpty());

    ASSERT_TRUE(device.setMode("ok"));
    interface.events.clear();
    delegate->retryLastFaultyFileURL();
    ASSERT_TRUE(waitForLog(u"alert closed"_s));
    EXPECT_EQ(interface.events.first(), u"log Retrying printing PDF: "_s + job);
    EXPECT_TRUE(interface.events.contains(u"log File deleted: "_s + job));
    EXPECT_FALSE(QFile::exists(job));
    EXPECT_EQ(device.jobs().size(), 1);
    // Delivered, so no longer remembered: a second retry finds nothing to send, and says so.
    EXPECT_TRUE(delegate->lastFaultyFileURL().isEmpty());
    interface.events.clear();
    delegate->retryLastFaultyFileURL();
    EXPECT_EQ(interface.events, QStringList{u"log Nothing waiting to be sent"_s});
}

TEST_F(AppDelegateTest, EachUploadGoesWhereTheSettingsSayNow)
{
    launch();
    DeviceSimulator other;
    ASSERT_NE(other.port(), 0);
    finishJob(spool.filePath(u"alice"_s), u"job_3 First"_s);
    ASSERT_TRUE(waitForLog(u"log File deleted"_s));
    pointAt(other);
    interface.events.clear();
    finishJob(spool.filePath(u"alice"_s), u"job_4 Second"_s);
    ASSERT_TRUE(waitForLog(u"log File deleted"_s));
    EXPECT_EQ(device.jobs().size(), 1);
    EXPECT_EQ(other.jobs().size(), 1);

    // Settings that make no URL: nothing is sent, and the job is neither deleted nor remembered.
    for (const QString &port : {u"http"_s, u"70000"_s}) {
        ZEKDefaults::standardUserDefaults().setPort(port);
        interface.events.clear();
        const QString job = finishJob(spool.filePath(u"alice"_s), u"job_5 Third "_s + port);
        ASSERT_TRUE(waitForLog(u"log Invalid uploading resource"_s)) << port.toStdString();
        EXPECT_TRUE(QFile::exists(job));
        EXPECT_TRUE(delegate->lastFaultyFileURL().isEmpty());
    }
}

TEST_F(AppDelegateTest, DeliversWaitingJobsAtLaunchAndEachJobOnceWhateverWatches)
{
    // Printed while nobody watched; the highest job number is the oldest.
    ASSERT_TRUE(QDir(spool.path()).mkpath(u"anonymous users"_s));
    const QString anonymous = spool.filePath(u"anonymous users"_s);
    QStringList oldestFirst;
    for (int n = 1; n <= 3; ++n) {
        oldestFirst.prepend(finishJob(anonymous, u"job_%1 Early"_s.arg(n)));
        QFile job(oldestFirst.first());
        ASSERT_TRUE(job.open(QIODevice::ReadOnly));
        ASSERT_TRUE(job.setFileTime(QDateTime::currentDateTime().addSecs(-60 * n),
                                    QFileDevice::FileModificationTime));
    }
    // A second uploader on the same tree, as for a second user logged in.
    RecordingInterface otherInterface;
    const auto other =
        AppDelegate::create(otherInterface, spool.path(), ZEKJobLedger(state.path()));
    launch();
    other->applicationDidFinishLaunching();
    for (int n = 4; n <= 13; ++n) {
        finishJob(anonymous, u"job_%1 Late"_s.arg(n), "%PDF-1.4\n%" + QByteArray::number(n) + "\n");
    }
    ASSERT_TRUE(waitUntil([&] { return QDir(anonymous).isEmpty() && device.jobs().size() >= 13; }));
    // Both saw every job; time for a second delivery, were there to be one.
    waitUntil([] { return false; }, std::chrono::milliseconds(1500));
    const QByteArrayList received = device.jobs();
    EXPECT_EQ(received.size(), 13);
    EXPECT_EQ(QSet<QByteArray>(received.cbegin(), received.cend()).size(), 11); // "Early" alike
    EXPECT_EQ(linesStartingWith(u"log Printed PDF appeared: "_s).mid(0, 3), oldestFirst)
        << linesStartingWith(u"log Printed PDF appeared: "_s).join(u"\n"_s).toStdString();
    EXPECT_TRUE(linesStartingWith(u"log ERROR"_s).isEmpty());
    EXPECT_TRUE(otherInterface.events.filter(u"ERROR"_s).isEmpty());
}

TEST_F(AppDelegateTest, RetryResendsTheLastFailureThenEveryOtherWaitingJob)
{
    launch();
    ASSERT_TRUE(device.setMode("500"));
    QStringList jobs;
    for (const QString &name : {u"job_6 First"_s, u"job_5 Busy"_s, u"job_7 Second"_s}) {
        interface.events.clear();
        jobs.append(finishJob(spool.filePath(u"alice"_s), name));
        ASSERT_TRUE(waitForLog(u"alert open"_s));
    }
    const QString &first = jobs[0], &busy = jobs[1], &second = jobs[2];
    EXPECT_EQ(delegate->lastFaultyFileURL(), QUrl::fromLocalFile(second));
    // A waiting job whose upload is under way elsewhere is neither retried nor said to be.
    const auto held = ZEKJobFile::claim(QFile::encodeName(spool.path()), QFile::encodeName(busy));
    ASSERT_EQ(held.outcome, ZEKJobFile::Outcome::Claimed);

    ASSERT_TRUE(device.setMode("ok"));
    interface.events.clear();
    delegate->retryLastFaultyFileURL();
    ASSERT_TRUE(waitUntil([&] { return device.jobs().size() == 2; }));
    ASSERT_TRUE(waitUntil([&] { return linesStartingWith(u"log File deleted: "_s).size() == 2; }));
    EXPECT_EQ(linesStartingWith(u"log Retrying printing PDF: "_s), (QStringList{second, first}));
    EXPECT_FALSE(QFile::exists(first) || QFile::exists(second));
    EXPECT_TRUE(QFile::exists(busy));
}

TEST_F(AppDelegateTest, DeliversJobsWhoseNamesAreNotUTF8)
{
    launch();
    const QByteArray user = QFile::encodeName(spool.path()) + "/b\xFFob"; // a legacy user name
    ASSERT_EQ(::mkdir(user.constData(), 0700), 0);
    const QByteArray job = finishJob(user, "job_8 caf\xE9");
    ASSERT_TRUE(waitForLog(u"log File deleted"_s));
    EXPECT_EQ(device.jobs().size(), 1);
    EXPECT_NE(::access(job.constData(), F_OK), 0);
    const QString shown = spool.path() + u"/b\uFFFDob/job_8 caf\uFFFD.pdf"_s;
    EXPECT_EQ(linesStartingWith(u"log Printed PDF appeared: "_s), QStringList{shown});
    EXPECT_EQ(linesStartingWith(u"log File deleted: "_s), QStringList{shown});
    ::rmdir(user.constData()); // a name QTemporaryDir cannot remove
}

// Nothing below the spool root is followed, and root takes no file that is not its user's own:
// such a job is logged once and left where it is. Each case is a job that another user's (or
// root's) uploader must never send or delete.
TEST_F(AppDelegateTest, LeavesAloneWhatIsNoJobOfTheTree)
{
    launch();
    QTemporaryDir victim;
    const QString secret = victim.filePath(u"x.pdf"_s);
    writeFile(secret, "%PDF-1.4\n% the victim's own\n");
    const QString anonymous = spool.filePath(u"anonymous users"_s);
    ASSERT_TRUE(QDir().mkpath(anonymous + u"/d"_s));
    waitUntil([] { return false; }, std::chrono::milliseconds(300)); // d is watched

    // Within the watcher's one-second window: a job finished in d, then d swapped for a link.
    finishJob(anonymous + u"/d"_s, u"x"_s);
    ASSERT_TRUE(QDir().rename(anonymous + u"/d"_s, anonymous + u"/d.old"_s));
    ASSERT_TRUE(QFile::link(victim.path(), anonymous + u"/d"_s));
    const QUrl throughTheLink = QUrl::fromLocalFile(anonymous + u"/d/x.pdf"_s);
    delegate->uploadFile(throughTheLink);
    delegate->uploadFile(throughTheLink); // logged once

    struct Case {
        const char *what;
        bool asRoot;
        std::function<void(const QString &job)> make;
    };
    const QString alice = spool.filePath(u"alice"_s);
    const Case cases[] = {
        {.what = "a hard link to another's file",
         .asRoot = true,
         .make =
             [&](const QString &job) {
                 ASSERT_EQ(::link(QFile::encodeName(secret).constData(),
                                  QFile::encodeName(job).constData()),
                           0);
             }},
        {.what = "a file of someone else's in a directory of root's",
         .asRoot = true,
         .make =
             [&](const QString &job) {
                 writeFile(job, "%PDF-1.4\n% not root's\n");
                 ASSERT_EQ(::chown(QFile::encodeName(job).constData(), 4242, 4242), 0);
             }},
    };
    QStringList refused{anonymous + u"/d/x.pdf"_s};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        if (test.asRoot && ::geteuid() != 0) {
            continue;
        }
        const QString job = alice + u"/job_9 %1.pdf"_s.arg(QString::fromUtf8(test.what));
        test.make(job);
        delegate->uploadFile(QUrl::fromLocalFile(job));
        EXPECT_TRUE(QFile::exists(job));
        refused.append(job);
    }
    waitUntil([] { return false; }, std::chrono::milliseconds(1500));
    QStringList logged;
    for (const QString &line :
         linesStartingWith(u"log Not a job of the spool tree, left alone: "_s)) {
        logged.append(line.section(u" ("_s, 0, 0));
    }
    EXPECT_EQ(logged, refused);
    EXPECT_EQ(readFile(secret.toStdString()), "%PDF-1.4\n% the victim's own\n");
    for (const QByteArray &received : device.jobs()) {
        EXPECT_FALSE(received.contains("the victim's own") || received.contains("not root's"));
    }
}

// A job that cannot be opened for want of descriptors is a failure, kept for the retry, not a
// job that is gone.
TEST_F(AppDelegateTest, AJobThatCannotBeOpenedNowFailsAndWaits)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' checks need descriptors of their own";
#endif
    launch();
    const QString job = spool.filePath(u"alice"_s) + u"/job_10 Busy machine.pdf"_s;
    writeFile(job, "%PDF-1.4\n");
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    std::vector<int> taken;
    rlimit low = original;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        taken.push_back(fd);
    }
    // The spool root and the job's directory open; the job itself does not.
    for (int i = 0; i < 2 && !taken.empty(); ++i) {
        ::close(taken.back());
        taken.pop_back();
    }
    delegate->uploadFile(QUrl::fromLocalFile(job));
    for (const int fd : taken) {
        ::close(fd);
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);

    EXPECT_EQ(linesStartingWith(u"log ERROR(0): "_s),
              QStringList{u"Can't read the job file: Too many open files\nRESULT: (null)"_s});
    EXPECT_EQ(delegate->lastFaultyFileURL(), QUrl::fromLocalFile(job));
    EXPECT_TRUE(QFile::exists(job));
}

// The job list follows every job without a look at the tree: it appears, is sent (with its
// progress), fails with its reason, waits, and goes, whoever takes it away; what zek-jobs needs
// of it is in the ledger.
TEST_F(AppDelegateTest, TheJobListFollowsEachJob)
{
    launch();
    ZEKJobList &list = delegate->jobList();
    QList<ZEKJobList::State> states;
    qint64 mostSent = 0;
    QObject::connect(&list, &ZEKJobList::jobChanged, [&](int row) {
        const ZEKJobList::Job &job = list.jobs().at(row);
        if (states.isEmpty() || states.last() != job.state) {
            states.append(job.state);
        }
        mostSent = std::max(mostSent, job.bytesSent);
    });
    ASSERT_TRUE(device.setMode("500"));
    const QByteArray pdf = "%PDF-1.4\n" + QByteArray(300000, 'x') + "\n%%EOF\n";
    const QString job = finishJob(spool.filePath(u"alice"_s), u"job_11 Floor plan"_s, pdf);
    ASSERT_TRUE(waitForLog(u"alert open"_s));
    ASSERT_EQ(list.jobs().size(), 1);
    const ZEKJobList::Job failed = list.jobs().first();
    EXPECT_EQ(failed.title, u"Floor plan"_s);
    EXPECT_EQ(failed.directory, u"alice"_s);
    EXPECT_EQ(failed.size, pdf.size());
    EXPECT_EQ(failed.state, ZEKJobList::State::Failed);
    EXPECT_TRUE(failed.error.contains(u"simulated failure"_s)) << failed.error.toStdString();
    EXPECT_TRUE(failed.attempted.isValid());
    EXPECT_EQ(ZEKJobLedger(state.path()).statusOf(QFile::encodeName(job)).state, u"failed"_s);

    ASSERT_TRUE(device.setMode("ok"));
    delegate->retryLastFaultyFileURL();
    ASSERT_TRUE(waitUntil([&] { return list.jobs().isEmpty(); }));
    EXPECT_EQ(states, (QList{ZEKJobList::State::Sending, ZEKJobList::State::Failed,
                             ZEKJobList::State::Sending}));
    EXPECT_GE(mostSent, pdf.size());
    EXPECT_TRUE(ZEKJobLedger(state.path()).statuses().isEmpty());

    // Taken away by hand while it waits.
    ASSERT_TRUE(device.setMode("500"));
    const QString other = finishJob(spool.filePath(u"alice"_s), u"job_12 Gone"_s);
    ASSERT_TRUE(waitUntil([&] {
        return !list.jobs().isEmpty() && list.jobs().first().state == ZEKJobList::State::Failed;
    }));
    ASSERT_TRUE(QFile::remove(other));
    EXPECT_TRUE(waitUntil([&] { return list.jobs().isEmpty(); }));
}

// The path observing controller on the real file system, with the backend's way of finishing a
// job: write "<name>.~pdf", then rename it to "<name>.pdf".

#include "ZEKPathObservingController.h"

#include "EventLoop.h"
#include "QtPrinting.h"
#include "SpoolFiles.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class RecordingDelegate : public ZEKPathObservingDelegate {
public:
    void fileDidCreatedAtURL(const QUrl &url) override { reported.append(url.toLocalFile()); }
    QStringList reported;
};

class ZEKPathObservingControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        controller.setDelegate(delegate);
        controller.setObserveSubpaths(true);
    }

    // Finishes one more job last of all: once it is reported, everything done before it has
    // been through the filter, so the reports must be exactly `expected` and that job.
    void expectReportedExactly(QStringList expected)
    {
        QDir().mkpath(spool);
        const QString last = finishJob(spool, u"job_999 last"_s);
        ASSERT_TRUE(waitUntil([&] { return delegate->reported.contains(last); }));
        expected.append(last);
        EXPECT_EQ(delegate->reported, expected);
    }

    QString user(const QString &name = u"alice"_s)
    {
        QDir().mkpath(spool + u'/' + name);
        return spool + u'/' + name;
    }

    QTemporaryDir temporary;
    const QString spool = temporary.path() + u"/ZEKPrinter"_s;
    const std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    ZEKPathObservingController controller{spool, u"*.pdf"_s};
};

// Only a finished job, or a PDF moved in from elsewhere, counts.
TEST_F(ZEKPathObservingControllerTest, ReportsFinishedJobsAndPdfsMovedInOnly)
{
    const QString alice = user();
    const QString outside = temporary.path() + u"/outside"_s;
    QDir().mkpath(outside + u"/folder"_s);
    writeFile(outside + u"/moved.pdf"_s, "%PDF");
    writeFile(outside + u"/folder/inside.PDF"_s, "%PDF");
    writeFile(outside + u"/copied.pdf"_s, "%PDF");
    controller.startObserving();

    writeFile(alice + u"/written in place.pdf"_s, "%PDF");
    QFile::copy(outside + u"/copied.pdf"_s, alice + u"/copied in.pdf"_s);
    writeFile(alice + u"/job_4 unfinished.~pdf"_s, "%PDF");
    QDir(alice).mkdir(u"empty"_s);
    QDir(alice).rename(u"empty"_s, u"empty.pdf"_s);
    QFile::remove(finishJob(alice, u"job_5 deleted"_s));
    QFile::link(outside + u"/copied.pdf"_s, alice + u"/job_6 link.~pdf"_s);
    QDir(alice).rename(u"job_6 link.~pdf"_s, u"job_6 link.pdf"_s);
    QDir().rename(outside + u"/moved.pdf"_s, alice + u"/moved.pdf"_s);
    QDir().rename(outside + u"/folder"_s, alice + u"/folder"_s);
    expectReportedExactly({alice + u"/moved.pdf"_s, alice + u"/folder/inside.PDF"_s});
}

TEST_F(ZEKPathObservingControllerTest, WithoutSubpathsNothingBelowTheTopCounts)
{
    const QString alice = user();
    controller.setObserveSubpaths(false);
    controller.startObserving();
    finishJob(alice, u"job_7 below"_s);
    finishJob(spool, u"job_8 top"_s);
    QFile::setPermissions(spool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    controller.events()->flushSynchronously();

    ASSERT_TRUE(controller.events()->lastEvent().has_value()); // the top's own change came
    EXPECT_TRUE(delegate->reported.isEmpty());
}

TEST_F(ZEKPathObservingControllerTest, StartsAndStopsOnlyOnce)
{
    controller.startObserving();
    const std::shared_ptr<FWEvents> events = controller.events();
    controller.startObserving();
    EXPECT_EQ(controller.events(), events);
    EXPECT_TRUE(controller.isObserving());

    controller.stopObserving();
    controller.stopObserving();
    EXPECT_EQ(controller.events(), nullptr);
    EXPECT_FALSE(controller.isObserving());
}

TEST_F(ZEKPathObservingControllerTest, ReportsEachOfABurstOfTenThousandJobsOnce)
{
    const QString alice = user();
    controller.startObserving();
    constexpr int kJobs = 10000;
    for (int job = 0; job < kJobs; ++job) {
        finishJob(alice, u"job_%1 burst"_s.arg(job), "%PDF");
    }
    EXPECT_TRUE(
        waitUntil([&] { return delegate->reported.size() >= kJobs; }, std::chrono::minutes(3)));
    controller.events()->flushSynchronously();
    EXPECT_EQ(delegate->reported.size(), kJobs);
    EXPECT_EQ(QSet<QString>(delegate->reported.cbegin(), delegate->reported.cend()).size(), kJobs);
}

TEST_F(ZEKPathObservingControllerTest, WhenEventsWereLostReportsEveryFinishedPdfInTheTree)
{
    const QString alice = user();
    writeFile(spool + u"/top.pdf"_s, "%PDF");
    writeFile(alice + u"/job_1 a.pdf"_s, "%PDF");
    writeFile(user(u"bob"_s) + u"/job_2 b.PDF"_s, "%PDF");
    writeFile(alice + u"/job_3 c.~pdf"_s, "%PDF");
    QFile::link(alice + u"/job_1 a.pdf"_s, alice + u"/link.pdf"_s);
    QDir(alice).mkdir(u"folder.pdf"_s);
    controller.startObserving();

    const FWEvent lost(1, QDateTime::currentDateTime(), QUrl::fromLocalFile(spool),
                       kFWEventFlagMustScanSubDirs | kFWEventFlagKernelDropped);
    controller.URLWatcher(*controller.events(), lost);
    delegate->reported.sort();
    EXPECT_EQ(delegate->reported,
              QStringList({alice + u"/job_1 a.pdf"_s, spool + u"/bob/job_2 b.PDF"_s,
                           spool + u"/top.pdf"_s}));
    // Once: another loss finds the same files, and only a new one is news.
    delegate->reported.clear();
    writeFile(alice + u"/job_4 d.pdf"_s, "%PDF");
    controller.URLWatcher(*controller.events(), lost);
    EXPECT_EQ(delegate->reported, QStringList({alice + u"/job_4 d.pdf"_s}));

    delegate->reported.clear();
    controller.stopObserving();
    controller.setObserveSubpaths(false);
    controller.startObserving();
    controller.URLWatcher(*controller.events(), lost);
    EXPECT_EQ(delegate->reported, QStringList({spool + u"/top.pdf"_s}));
}

// A delegate may stop observing as soon as it hears of a job: the rest of the delivery must
// neither touch the watcher it destroyed nor report anything more.
TEST_F(ZEKPathObservingControllerTest, StopsCleanlyWhenTheDelegateStopsInsideItsNotice)
{
    class StoppingDelegate : public ZEKPathObservingDelegate {
    public:
        explicit StoppingDelegate(ZEKPathObservingController &controller) : controller(controller)
        {}
        void fileDidCreatedAtURL(const QUrl &) override
        {
            ++reports;
            controller.stopObserving();
        }
        ZEKPathObservingController &controller;
        int reports = 0;
    };
    const auto stopping = std::make_shared<StoppingDelegate>(controller);
    controller.setDelegate(stopping);
    const QString alice = user();
    controller.startObserving();
    for (int job = 0; job < 3; ++job) {
        finishJob(alice, u"job_%1 one batch"_s.arg(job));
    }
    ASSERT_TRUE(waitUntil([&] { return stopping->reports > 0; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(stopping->reports, 1);
    EXPECT_FALSE(controller.isObserving());
}

} // namespace

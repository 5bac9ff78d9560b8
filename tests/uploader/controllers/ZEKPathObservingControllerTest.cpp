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
        const QString last = finishJob(spool, QStringLiteral("job_999 last"));
        ASSERT_TRUE(waitUntil([&] { return delegate->reported.contains(last); }));
        expected.append(last);
        EXPECT_EQ(delegate->reported, expected);
    }

    QString user(const QString &name = QStringLiteral("alice"))
    {
        QDir().mkpath(spool + u'/' + name);
        return spool + u'/' + name;
    }

    QTemporaryDir temporary;
    const QString spool = temporary.path() + QStringLiteral("/ZEKPrinter");
    const std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    ZEKPathObservingController controller{spool, QStringLiteral("*.pdf")};
};

// Only a finished job, or a PDF moved in from elsewhere, counts.
TEST_F(ZEKPathObservingControllerTest, ReportsFinishedJobsAndPdfsMovedInOnly)
{
    const QString alice = user();
    const QString outside = temporary.path() + QStringLiteral("/outside");
    QDir().mkpath(outside + QStringLiteral("/folder"));
    writeFile(outside + QStringLiteral("/moved.pdf"), "%PDF");
    writeFile(outside + QStringLiteral("/folder/inside.PDF"), "%PDF");
    writeFile(outside + QStringLiteral("/copied.pdf"), "%PDF");
    controller.startObserving();

    writeFile(alice + QStringLiteral("/written in place.pdf"), "%PDF");
    QFile::copy(outside + QStringLiteral("/copied.pdf"), alice + QStringLiteral("/copied in.pdf"));
    writeFile(alice + QStringLiteral("/job_4 unfinished.~pdf"), "%PDF");
    QDir(alice).mkdir(QStringLiteral("empty"));
    QDir(alice).rename(QStringLiteral("empty"), QStringLiteral("empty.pdf"));
    QFile::remove(finishJob(alice, QStringLiteral("job_5 deleted")));
    QFile::link(outside + QStringLiteral("/copied.pdf"),
                alice + QStringLiteral("/job_6 link.~pdf"));
    QDir(alice).rename(QStringLiteral("job_6 link.~pdf"), QStringLiteral("job_6 link.pdf"));
    QDir().rename(outside + QStringLiteral("/moved.pdf"), alice + QStringLiteral("/moved.pdf"));
    QDir().rename(outside + QStringLiteral("/folder"), alice + QStringLiteral("/folder"));
    expectReportedExactly(
        {alice + QStringLiteral("/moved.pdf"), alice + QStringLiteral("/folder/inside.PDF")});
}

TEST_F(ZEKPathObservingControllerTest, WithoutSubpathsNothingBelowTheTopCounts)
{
    const QString alice = user();
    controller.setObserveSubpaths(false);
    controller.startObserving();
    finishJob(alice, QStringLiteral("job_7 below"));
    finishJob(spool, QStringLiteral("job_8 top"));
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
        finishJob(alice, QStringLiteral("job_%1 burst").arg(job), "%PDF");
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
    writeFile(spool + QStringLiteral("/top.pdf"), "%PDF");
    writeFile(alice + QStringLiteral("/job_1 a.pdf"), "%PDF");
    writeFile(user(QStringLiteral("bob")) + QStringLiteral("/job_2 b.PDF"), "%PDF");
    writeFile(alice + QStringLiteral("/job_3 c.~pdf"), "%PDF");
    QFile::link(alice + QStringLiteral("/job_1 a.pdf"), alice + QStringLiteral("/link.pdf"));
    QDir(alice).mkdir(QStringLiteral("folder.pdf"));
    controller.startObserving();

    const FWEvent lost(1, QDateTime::currentDateTime(), QUrl::fromLocalFile(spool),
                       kFWEventFlagMustScanSubDirs | kFWEventFlagKernelDropped);
    controller.URLWatcher(*controller.events(), lost);
    delegate->reported.sort();
    EXPECT_EQ(delegate->reported, QStringList({alice + QStringLiteral("/job_1 a.pdf"),
                                               spool + QStringLiteral("/bob/job_2 b.PDF"),
                                               spool + QStringLiteral("/top.pdf")}));
    // Once: another loss finds the same files, and only a new one is news.
    delegate->reported.clear();
    writeFile(alice + QStringLiteral("/job_4 d.pdf"), "%PDF");
    controller.URLWatcher(*controller.events(), lost);
    EXPECT_EQ(delegate->reported, QStringList({alice + QStringLiteral("/job_4 d.pdf")}));

    delegate->reported.clear();
    controller.stopObserving();
    controller.setObserveSubpaths(false);
    controller.startObserving();
    controller.URLWatcher(*controller.events(), lost);
    EXPECT_EQ(delegate->reported, QStringList({spool + QStringLiteral("/top.pdf")}));
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
        finishJob(alice, QStringLiteral("job_%1 one batch").arg(job));
    }
    ASSERT_TRUE(waitUntil([&] { return stopping->reports > 0; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(stopping->reports, 1);
    EXPECT_FALSE(controller.isObserving());
}

} // namespace

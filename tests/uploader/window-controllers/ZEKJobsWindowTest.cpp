// The jobs table of the logger window, its buttons, and the tray's look and notices, on the
// offscreen platform with the device simulator as the laser.

#include "AppDelegate.h"
#include "DeviceSimulator.h"
#include "EventLoop.h"
#include "FakeDNSServiceDiscovery.h"
#include "SpoolFiles.h"
#include "ZEKDefaults.h"
#include "ZEKDeliveryNotices.h"
#include "ZEKDesktopInterface.h"
#include "ZEKJobsController.h"
#include "ZEKNetworkController.h"
#include "ZEKStatusItem.h"
#include "ZEKTrayStatus.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

// Answers the question box that is about to open with `button`.
void answerNextQuestion(QMessageBox::StandardButton button)
{
    QTimer::singleShot(10, [button] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            box->button(button)->click();
        } else {
            answerNextQuestion(button);
        }
    });
}

class ZEKJobsWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(device.port(), 0);
        ASSERT_TRUE(device.setMode("500"));
        ZEKDefaults &defaults = ZEKDefaults::standardUserDefaults();
        defaults.resetZEKDefaults();
        defaults.setIp(u"127.0.0.1"_s);
        defaults.setPort(QString::number(device.port()));
        desktop.setActions({[] {}, [this] { delegate->retryLastFaultyFileURL(); },
                            [this](const QUrl &file) { delegate->uploadFile(file); },
                            [this](const QString &path) { opened.append(path); },
                            [this] { return delegate->uploadingResourceURL(); }});
        desktop.setJobs(delegate->jobList(), delegate->spoolRoot());
        delegate->applicationDidFinishLaunching();
        jobs = desktop.jobsController();
        ASSERT_TRUE(QDir(spool.path()).mkdir(u"alice"_s));
    }

    QString stateOf(int row) const
    {
        return jobs->jobsModel()->index(row, ZEKJobsTableModel::State).data().toString();
    }

    // A job printed now, once its first upload has failed.
    QString failedJob(const QString &stem)
    {
        const QString path = finishJob(spool.filePath(u"alice"_s), stem);
        const int row = jobs->jobsModel()->rowCount();
        EXPECT_TRUE(waitUntil([&] {
            return jobs->jobsModel()->rowCount() > row && stateOf(row).startsWith(u"Failed: "_s);
        }));
        return path;
    }

    void selectAndClick(int row, QPushButton *button)
    {
        jobs->jobsTableView()->selectRow(row);
        button->click();
    }

    QTemporaryDir spool;
    QTemporaryDir state;
    DeviceSimulator device;
    FakeDNSServiceDiscovery discovery;
    ZEKNetworkController networkController{discovery};
    ZEKDesktopInterface desktop{networkController, false};
    std::shared_ptr<AppDelegate> delegate =
        AppDelegate::create(desktop, spool.path(), ZEKJobLedger(state.path()));
    ZEKJobsController *jobs = nullptr;
    QStringList opened;
};

} // namespace

TEST_F(ZEKJobsWindowTest, AJobShowsWaitingThenSendingThenFailedAndGoesOnceSentNow)
{
    const ZEKJobsTableModel *model = jobs->jobsModel();
    QStringList states;
    double progress = 0;
    const auto record = [&] {
        const QString state = stateOf(0).section(u':', 0, 0);
        if (model->rowCount() > 0 && (states.isEmpty() || states.last() != state)) {
            states.append(state);
        }
        progress = std::max(progress, model->index(0, ZEKJobsTableModel::State)
                                          .data(ZEKJobsTableModel::ProgressRole)
                                          .toDouble());
    };
    QObject::connect(model, &QAbstractItemModel::rowsInserted, record);
    QObject::connect(model, &QAbstractItemModel::dataChanged, record);

    const QString path = failedJob(u"job_2 Plan"_s);
    EXPECT_EQ(states, (QStringList{u"Waiting"_s, u"Sending"_s, u"Failed"_s}));
    EXPECT_EQ(progress, 1.0);
    EXPECT_EQ(model->index(0, ZEKJobsTableModel::Title).data().toString(), u"Plan"_s);
    EXPECT_EQ(model->index(0, ZEKJobsTableModel::Directory).data().toString(), u"alice"_s);
    EXPECT_TRUE(stateOf(0).startsWith(
        u"Failed: {\"status\": \"error\", \"reason\": \"simulated failure\"} ("_s))
        << stateOf(0).toStdString();

    ASSERT_TRUE(device.setMode("ok"));
    selectAndClick(0, jobs->sendNowButton());
    EXPECT_TRUE(waitUntil([&] { return model->rowCount() == 0; }));
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(ZEKJobsWindowTest, SendAllSendsEveryWaitingJob)
{
    const QString first = failedJob(u"job_3 First"_s);
    const QString second = failedJob(u"job_4 Second"_s);
    ASSERT_TRUE(device.setMode("ok"));
    jobs->sendAllButton()->click();
    EXPECT_TRUE(waitUntil([&] { return jobs->jobsModel()->rowCount() == 0; }));
    EXPECT_FALSE(QFileInfo::exists(first) || QFileInfo::exists(second));
}

TEST_F(ZEKJobsWindowTest, RemoveAsksFirstAndRefusesAJobBehindALink)
{
    const QString path = failedJob(u"job_5 Draft"_s);
    answerNextQuestion(QMessageBox::No);
    selectAndClick(0, jobs->removeButton());
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_EQ(jobs->jobsModel()->rowCount(), 1);

    answerNextQuestion(QMessageBox::Yes);
    selectAndClick(0, jobs->removeButton());
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(jobs->jobsModel()->rowCount(), 0);

    // A user directory swapped for a link to somebody else's files.
    const QTemporaryDir elsewhere;
    const QString secret = finishJob(elsewhere.path(), u"job_6 Secret"_s);
    ASSERT_TRUE(QFile::link(elsewhere.path(), spool.filePath(u"bob"_s)));
    delegate->jobList().jobAppeared(QUrl::fromLocalFile(spool.filePath(u"bob/job_6 Secret.pdf"_s)));
    ASSERT_EQ(jobs->jobsModel()->rowCount(), 1);
    answerNextQuestion(QMessageBox::Yes);
    selectAndClick(0, jobs->removeButton());
    EXPECT_TRUE(QFileInfo::exists(secret));
    EXPECT_TRUE(jobs->messageLabel()->text().startsWith(u"Not removed: "_s))
        << jobs->messageLabel()->text().toStdString();
}

TEST_F(ZEKJobsWindowTest, OpenHandsTheJobsPathToTheViewer)
{
    const QString path = failedJob(u"job_7 Poster"_s);
    selectAndClick(0, jobs->openButton());
    EXPECT_EQ(opened, QStringList{path});
}

TEST(ZEKTrayStatusTest, TooltipNamesTargetAndWaitingJobsAndTheIconShowsAFailure)
{
    const QTemporaryDir spool;
    ZEKJobList list(QFile::encodeName(spool.path()));
    ZEKStatusItem &item = ZEKStatusItem::sharedStatusItem();
    const ZEKTrayStatus status(
        list, [] { return QUrl(u"http://laser.local:5004/api/laser/json/print/pdf"_s); }, item);
    const qint64 plainIcon = item.statusItemIcon().cacheKey();
    const QUrl first = QUrl::fromLocalFile(finishJob(spool.path(), u"job_1 A"_s));
    const QUrl second = QUrl::fromLocalFile(finishJob(spool.path(), u"job_2 B"_s));
    list.jobAppeared(first);
    list.jobAppeared(second);
    EXPECT_EQ(item.statusItem()->toolTip(), u"ZEK Uploader — jobs go to laser.local — 2 waiting"_s);

    list.jobFailed(first, u"refused"_s);
    EXPECT_NE(item.statusItemIcon().cacheKey(), plainIcon);
    const QColor badge = item.statusItemIcon().pixmap(32).toImage().pixelColor(28, 28);
    EXPECT_TRUE(badge.red() > 150 && badge.green() < 80) << badge.name().toStdString();
    list.jobGone(first);
    EXPECT_EQ(item.statusItemIcon().cacheKey(), plainIcon);
    EXPECT_EQ(item.statusItem()->toolTip(), u"ZEK Uploader — jobs go to laser.local — 1 waiting"_s);
}

TEST(ZEKDeliveryNoticesTest, DeliveriesCloseTogetherMakeOneNotice)
{
    const struct {
        QStringList titles;
        QString notice;
    } cases[] = {
        {{u"Plan"_s}, u"Sent to the laser: Plan"_s},
        {{u"Plan"_s, u"Poster"_s, u"Draft"_s}, u"Sent to the laser: 3 jobs"_s},
    };
    for (const auto &each : cases) {
        QStringList shown;
        ZEKDeliveryNotices notices([&](const QString &text) { shown.append(text); });
        for (const QString &title : each.titles) {
            notices.jobDelivered(title);
        }
        EXPECT_TRUE(shown.isEmpty());
        EXPECT_TRUE(waitUntil([&] { return !shown.isEmpty(); }));
        EXPECT_EQ(shown, QStringList{each.notice});
    }
}

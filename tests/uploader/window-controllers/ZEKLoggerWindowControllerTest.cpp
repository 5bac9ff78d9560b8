// The logger window and the desktop side on the offscreen platform, with a
// scripted DNS-SD layer behind the device search.

#include "ZEKLoggerWindowController.h"

#include "AppDelegate.h"
#include "EventLoop.h"
#include "FakeDNSServiceDiscovery.h"
#include "ZEKDefaults.h"
#include "ZEKDesktopInterface.h"
#include "ZEKNetworkController.h"

#include <QHeaderView>
#include <QRegularExpression>
#include <QSaveFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

class ZEKLoggerWindowControllerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ZEKDefaults::standardUserDefaults().resetZEKDefaults();
        discovery.browser->domainAnswer = {{u"local."_s, false}};
        discovery.browser->serviceAnswers[u"local."_s] = {
            {u"quil B"_s, true}, {u"quil A"_s, true}, {u"quil D"_s, true}, {u"quil C"_s, false}};
    }

    // Shows the window and waits for the search to fill the table.
    void showAndSearch()
    {
        window.showWindow();
        ASSERT_TRUE(waitUntil([&] { return window.servicesModel()->rowCount() == 4; }));
    }

    std::shared_ptr<FakeNetService> reported(const QString &name)
    {
        for (const auto &service : discovery.browser->reported) {
            if (service->name() == name) {
                return service;
            }
        }
        return nullptr;
    }

    QStringList column(int column) const
    {
        QStringList cells;
        const auto *model = window.servicesModel();
        for (int row = 0; row < model->rowCount(); ++row) {
            cells.append(model->index(row, column).data().toString());
        }
        return cells;
    }

    void doubleClick(int row)
    {
        QTableView *table = window.bonjourServicesTableView();
        const QPoint at = table->visualRect(table->model()->index(row, 0)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
    }

    FakeDNSServiceDiscovery discovery;
    ZEKNetworkController networkController{discovery};
    int retries = 0;
    ZEKLoggerWindowController window{networkController, [this] { ++retries; }};
};

} // namespace

TEST_F(ZEKLoggerWindowControllerTest, LogEntriesAreStampedWholeAndLeaveTheViewWhereItWas)
{
    window.log(u"first line\nsecond line"_s);
    ZEKLog::sharedLog().log(u"third"_s);
    const QString stamp = u"\\[[0-2][0-9]:[0-5][0-9]:[0-5][0-9] \\] "_s;
    EXPECT_TRUE(
        QRegularExpression(u"^"_s + stamp + u"first line\nsecond line\n"_s + stamp + u"third\n$"_s)
            .match(window.logView()->toPlainText())
            .hasMatch())
        << window.logView()->toPlainText().toStdString();

    window.logView()->setMinimumSize(300, 100);
    window.showWindow();
    for (int n = 0; n < 200; ++n) {
        window.log(u"filler"_s);
    }
    QScrollBar *scrollBar = window.logView()->verticalScrollBar();
    ASSERT_GT(scrollBar->maximum(), 20);
    scrollBar->setValue(10);
    window.log(u"one more"_s);
    EXPECT_EQ(scrollBar->value(), 10);
}

TEST_F(ZEKLoggerWindowControllerTest, SortsByEveryColumnAndByAddressWithEmptyOnesFirst)
{
    showAndSearch();
    EXPECT_EQ(column(ZEKServicesTableModel::Name),
              (QStringList{u"quil A"_s, u"quil B"_s, u"quil C"_s, u"quil D"_s}));
    reported(u"quil A"_s)
        ->resolveAs(u"a.local."_s, 9, {ipv4SocketAddress("192.168.1.9")},
                    QByteArray("\x05qwe=a", 6));
    reported(u"quil C"_s)->resolveAs(u"c.local."_s, 10, {ipv4SocketAddress("192.168.1.10")});
    EXPECT_EQ(column(ZEKServicesTableModel::TXTRecord), (QStringList{u"a"_s, u""_s, u""_s, u""_s}));
    EXPECT_EQ(window.servicesModel()->headerData(ZEKServicesTableModel::TXTRecord, Qt::Horizontal),
              u"Info"_s);

    window.bonjourServicesTableView()->sortByColumn(ZEKServicesTableModel::Ip, Qt::AscendingOrder);
    // Text order, not numeric; services without addresses keep their order.
    EXPECT_EQ(column(ZEKServicesTableModel::Name),
              (QStringList{u"quil B"_s, u"quil D"_s, u"quil C"_s, u"quil A"_s}));
    EXPECT_EQ(column(ZEKServicesTableModel::Ip),
              (QStringList{u""_s, u""_s, u"192.168.1.10"_s, u"192.168.1.9"_s}));
    window.bonjourServicesTableView()->sortByColumn(ZEKServicesTableModel::Ip, Qt::DescendingOrder);
    EXPECT_EQ(column(ZEKServicesTableModel::Ip),
              (QStringList{u"192.168.1.9"_s, u"192.168.1.10"_s, u""_s, u""_s}));
    window.bonjourServicesTableView()->sortByColumn(ZEKServicesTableModel::Port,
                                                    Qt::DescendingOrder);
    EXPECT_EQ(column(ZEKServicesTableModel::Port),
              (QStringList{u"10"_s, u"9"_s, u"-1"_s, u"-1"_s}));

    // Showing the window again empties the table and searches again.
    window.showWindow();
    EXPECT_EQ(window.servicesModel()->rowCount(), 0);
    ASSERT_TRUE(waitUntil([&] { return window.servicesModel()->rowCount() == 4; }));
}

TEST_F(ZEKLoggerWindowControllerTest, DoubleClickMakesAResolvedDeviceTheTarget)
{
    ZEKDefaults &defaults = ZEKDefaults::standardUserDefaults();
    defaults.defineZEKDefaultsForce(true);
    window.setTarget(
        [&defaults] { return QUrl(u"http://%1:%2/print"_s.arg(defaults.ip(), defaults.port())); });
    showAndSearch();
    EXPECT_EQ(window.targetLabel()->text(), u"Jobs go to: http://zek-laser.local:5004/print"_s);

    // Not resolved yet: nothing to store, and its port would be -1.
    doubleClick(0);
    EXPECT_EQ(defaults.ip(), u"zek-laser.local"_s);
    EXPECT_EQ(defaults.port(), u"5004"_s);

    reported(u"quil A"_s)->resolveAs(u"printer.local."_s, 5004, {ipv4SocketAddress("10.0.0.7")});
    reported(u"quil B"_s)->resolveAs(QString(), 8010, {ipv4SocketAddress("10.0.0.8")});
    doubleClick(0);
    EXPECT_EQ(defaults.ip(), u"printer.local"_s);
    EXPECT_EQ(defaults.port(), u"5004"_s);
    doubleClick(1);
    EXPECT_EQ(defaults.ip(), u"10.0.0.8"_s);
    EXPECT_EQ(defaults.port(), u"8010"_s);
    EXPECT_EQ(window.targetLabel()->text(), u"Jobs go to: http://10.0.0.8:8010/print"_s);

    // The settings file edited by hand, as an editor does: written anew beside, then renamed.
    QSaveFile file(defaults.fileName());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[General]\nip=laser.local\nport=5004\n");
    ASSERT_TRUE(file.commit());
    EXPECT_TRUE(waitUntil([&] {
        return window.targetLabel()->text() == u"Jobs go to: http://laser.local:5004/print"_s;
    })) << window.targetLabel()->text().toStdString();
}

TEST_F(ZEKLoggerWindowControllerTest, SearchAgainSaysSearchingThenWhetherItFoundNone)
{
    showAndSearch();
    QLabel *status = window.searchStatusLabel();
    EXPECT_TRUE(status->isHidden());

    discovery.browser->serviceAnswers[u"local."_s] = {{u"office copier"_s, false}};
    window.searchAgainButton()->click();
    EXPECT_EQ(window.servicesModel()->rowCount(), 0);
    EXPECT_FALSE(status->isHidden());
    EXPECT_EQ(status->text(), u"Searching…"_s);
    EXPECT_FALSE(window.searchAgainButton()->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return window.searchAgainButton()->isEnabled(); }));
    EXPECT_EQ(status->text(), u"No devices found"_s);
    EXPECT_FALSE(status->isHidden());

    discovery.browser->serviceAnswers[u"local."_s] = {{u"quil A"_s, false}};
    window.searchAgainButton()->click();
    ASSERT_TRUE(waitUntil([&] { return window.servicesModel()->rowCount() == 1; }));
    EXPECT_TRUE(status->isHidden());
}

TEST_F(ZEKLoggerWindowControllerTest, LogAreaTogglesAndTheAlertOpensAndCloses)
{
    window.showWindow();
    QPushButton *toggle = window.logsViewTogglingHeightButton();
    EXPECT_EQ(window.logView()->maximumHeight(), 0);
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return window.logView()->height() == 200; }));
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_TRUE(waitUntil([&] { return window.logView()->maximumHeight() == 0; }));

    EXPECT_EQ(window.alertView()->maximumHeight(), 0);
    window.setShowAlertView(true);
    EXPECT_EQ(window.alertView()->maximumHeight(), 50);
    EXPECT_TRUE(window.retryButton()->isEnabled());
    EXPECT_FALSE(window.showAlertView());

    QTest::mouseClick(window.retryButton(), Qt::LeftButton);
    EXPECT_EQ(retries, 1);
    EXPECT_FALSE(window.retryButton()->isEnabled());
    QTest::mouseClick(window.retryButton(), Qt::LeftButton);
    EXPECT_EQ(retries, 1);

    window.setShowAlertView(false);
    EXPECT_EQ(window.alertView()->maximumHeight(), 0);
    EXPECT_FALSE(window.retryButton()->isEnabled());
}

TEST(ZEKDesktopInterfaceTest, LaunchLeavesTheWindowOpenOnlyWithoutATray)
{
    const QTemporaryDir spool;
    for (const bool hasSystemTray : {false, true}) {
        FakeDNSServiceDiscovery discovery;
        ZEKNetworkController networkController(discovery);
        ZEKDesktopInterface desktop(networkController, hasSystemTray);
        const auto delegate = AppDelegate::create(desktop, spool.path());
        desktop.setActions(
            {{}, {}, {}, {}, [&delegate] { return delegate->uploadingResourceURL(); }});
        desktop.setJobs(delegate->jobList(), delegate->spoolRoot());
        delegate->applicationDidFinishLaunching();
        ZEKLoggerWindowController *window = desktop.loggerWindowController();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->window()->isVisible(), !hasSystemTray);
        EXPECT_TRUE(QRegularExpression(u"^\\[[0-9:]{8} \\] Version: "_s)
                        .match(window->logView()->toPlainText())
                        .hasMatch())
            << window->logView()->toPlainText().toStdString();
        EXPECT_EQ(ZEKDesktopInterface::jobTitle(QUrl::fromLocalFile(u"/s/u/job_12 Q3 plan.pdf"_s)),
                  u"Q3 plan"_s);
    }
    // The tray icon is built in, and drawn (Qt's SVG support is there at run time).
    EXPECT_FALSE(QIcon(u":/StatusItemIcon.svg"_s).pixmap(32).isNull());
}

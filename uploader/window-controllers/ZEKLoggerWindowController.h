#pragma once

#include "ZEKLog.h"
#include "ZEKServicesTableModel.h"
#include "ZEKWindowController.h"

#include <QFileSystemWatcher>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QVariantAnimation>
#include <functional>

class ZEKNetworkController;

// The logger window: the application log, the table of laser devices on the
// network, the line that says where jobs go, and the retry alert. Every
// showing empties the table and searches again half a second later, as does
// the "Search Again" button at once; the table says "Searching…" meanwhile and
// "No devices found" after a search that found none. A double-click on a
// device that has resolved makes it the upload target (its host name, or else
// its address, and its port go into the settings). The jobs table is the
// window's too, run by a ZEKJobsController.
class ZEKLoggerWindowController : public ZEKWindowController {
    Q_OBJECT

public:
    static constexpr int kSearchDelayMilliseconds = 500;
    static constexpr int kLogsViewHeight = 200;
    static constexpr int kAlertViewHeight = 50;
    static constexpr int kAnimationMilliseconds = 200;

    // networkController searches for devices; retry is what the retry button
    // asks for. Lines of the application log appear from now on.
    ZEKLoggerWindowController(ZEKNetworkController &networkController, std::function<void()> retry,
                              QObject *parent = nullptr);
    ~ZEKLoggerWindowController() override;

    void showWindow() override;
    // What the settings make the upload target, read again at every showing,
    // after every change of target made here and whenever the settings file
    // changes.
    void setTarget(std::function<QUrl()> target);
    // Appends "[HH:mm:ss ] text\n" without moving the view.
    void log(const QString &text);

    // Opens the alert area (50) and enables the retry button, or closes it (0)
    // and disables the button. Reads false again right after.
    void setShowAlertView(bool showAlertView);
    bool showAlertView() const { return showAlertView_; }

    QPlainTextEdit *logView() const { return logView_; }
    QTableView *bonjourServicesTableView() const { return bonjourServicesTableView_; }
    ZEKServicesTableModel *servicesModel() const { return servicesModel_; }
    QPushButton *logsViewTogglingHeightButton() const { return logsViewTogglingHeightButton_; }
    QWidget *alertView() const { return alertView_; }
    QPushButton *retryButton() const { return retryButton_; }
    QPushButton *searchAgainButton() const { return searchAgainButton_; }
    // Over the services table: what the search is at, hidden while devices are shown.
    QLabel *searchStatusLabel() const { return searchStatusLabel_; }
    // "Jobs go to: <URL>".
    QLabel *targetLabel() const { return targetLabel_; }

    void doubleClickOnRow(int row);
    void toggleLogsViewHeightButtonDidClick();
    void retryDidClick();
    void searchAgainDidClick();

signals:
    // A device was made the target.
    void targetChanged();

private:
    void updateAlertView();
    void updateTargetLine();
    // Empties the table and searches after `delay` milliseconds.
    void searchAgainAfter(int delay);
    void searchForDevices();
    void searchDidFinish(const ZEKServicesTableModel::Services &services);

    ZEKNetworkController &networkController_;
    std::function<void()> retry_;
    ZEKLog::SubscriberToken logToken_;
    bool showAlertView_ = false;
    QPlainTextEdit *logView_ = nullptr;
    QTableView *bonjourServicesTableView_ = nullptr;
    ZEKServicesTableModel *servicesModel_ = nullptr;
    QPushButton *logsViewTogglingHeightButton_ = nullptr;
    QWidget *alertView_ = nullptr;
    QPushButton *retryButton_ = nullptr;
    QPushButton *searchAgainButton_ = nullptr;
    QLabel *searchStatusLabel_ = nullptr;
    QLabel *targetLabel_ = nullptr;
    std::function<QUrl()> target_;
    QFileSystemWatcher settingsWatcher_;
    QVariantAnimation logsViewHeight_;
};

#include "ZEKLoggerWindowController.h"

#include "ZEKDefaults.h"
#include "ZEKNetworkController.h"
#include "ui_ZEKLoggerWindow.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QScrollBar>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace {

void setAreaHeight(QWidget *area, int height)
{
    area->setMinimumHeight(height);
    area->setMaximumHeight(height);
}

QWidget *loadWindow()
{
    auto *window = new QWidget;
    Ui::ZEKLoggerWindow().setupUi(window);
    return window;
}

} // namespace

ZEKLoggerWindowController::ZEKLoggerWindowController(ZEKNetworkController &networkController,
                                                     std::function<void()> retry, QObject *parent)
    : ZEKWindowController(loadWindow(), parent), networkController_(networkController),
      retry_(std::move(retry)),
      logToken_(ZEKLog::sharedLog().subscribe([this](const QString &text) { log(text); }))
{
    logView_ = window()->findChild<QPlainTextEdit *>(u"logView"_s);
    bonjourServicesTableView_ = window()->findChild<QTableView *>(u"bonjourServicesTableView"_s);
    logsViewTogglingHeightButton_ =
        window()->findChild<QPushButton *>(u"logsViewTogglingHeightButton"_s);
    alertView_ = window()->findChild<QWidget *>(u"alertView"_s);
    retryButton_ = window()->findChild<QPushButton *>(u"retryButton"_s);
    searchAgainButton_ = window()->findChild<QPushButton *>(u"searchAgainButton"_s);
    targetLabel_ = window()->findChild<QLabel *>(u"targetLabel"_s);

    // In the middle of the table, where the devices will be.
    searchStatusLabel_ = new QLabel(bonjourServicesTableView_->viewport());
    searchStatusLabel_->setAlignment(Qt::AlignCenter);
    searchStatusLabel_->setEnabled(false);
    (new QVBoxLayout(bonjourServicesTableView_->viewport()))->addWidget(searchStatusLabel_);
    searchStatusLabel_->hide();

    servicesModel_ = new ZEKServicesTableModel(this);
    bonjourServicesTableView_->setModel(servicesModel_);
    bonjourServicesTableView_->horizontalHeader()->setSortIndicator(ZEKServicesTableModel::Name,
                                                                    Qt::AscendingOrder);
    connect(bonjourServicesTableView_, &QTableView::doubleClicked, this,
            [this](const QModelIndex &index) { doubleClickOnRow(index.row()); });
    connect(logsViewTogglingHeightButton_, &QPushButton::clicked, this,
            &ZEKLoggerWindowController::toggleLogsViewHeightButtonDidClick);
    connect(retryButton_, &QPushButton::clicked, this, &ZEKLoggerWindowController::retryDidClick);
    connect(searchAgainButton_, &QPushButton::clicked, this,
            &ZEKLoggerWindowController::searchAgainDidClick);

    logsViewHeight_.setDuration(kAnimationMilliseconds);
    connect(&logsViewHeight_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant &height) { setAreaHeight(logView_, height.toInt()); });

    // Both areas start closed.
    setAreaHeight(logView_, 0);
    updateAlertView();
}

ZEKLoggerWindowController::~ZEKLoggerWindowController()
{
    ZEKLog::sharedLog().unsubscribe(logToken_);
}

void ZEKLoggerWindowController::showWindow()
{
    ZEKWindowController::showWindow();
    updateTargetLine();
    searchAgainAfter(kSearchDelayMilliseconds);
}

void ZEKLoggerWindowController::setTarget(std::function<QUrl()> target)
{
    target_ = std::move(target);
    updateTargetLine();
    // The settings file may be edited by hand (or replaced whole, as editors do): the line
    // follows. Its folder is watched too, for a file that is made or replaced.
    const QString file = ZEKDefaults::standardUserDefaults().fileName();
    settingsWatcher_.addPaths({file, QFileInfo(file).absolutePath()});
    const auto changed = [this, file] {
        if (!settingsWatcher_.files().contains(file) && QFileInfo::exists(file)) {
            settingsWatcher_.addPath(file);
        }
        updateTargetLine();
    };
    connect(&settingsWatcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&settingsWatcher_, &QFileSystemWatcher::directoryChanged, this, changed);
}

void ZEKLoggerWindowController::updateTargetLine()
{
    if (target_) {
        const QUrl target = target_();
        targetLabel_->setText(
            target.isValid()
                ? tr("Jobs go to: %1").arg(QString::fromUtf8(target.toEncoded(QUrl::FullyEncoded)))
                : tr("Jobs go nowhere: the settings make no address of a device"));
    }
}

void ZEKLoggerWindowController::searchAgainDidClick()
{
    searchAgainAfter(0);
}

void ZEKLoggerWindowController::searchAgainAfter(int delay)
{
    servicesModel_->removeAllServices();
    searchAgainButton_->setEnabled(false);
    searchStatusLabel_->setText(tr("Searching…"));
    searchStatusLabel_->show();
    QTimer::singleShot(delay, this, &ZEKLoggerWindowController::searchForDevices);
}

void ZEKLoggerWindowController::searchForDevices()
{
    const QPointer<ZEKLoggerWindowController> self(this);
    // A search asked for while another runs is dropped: the one running fills the table.
    networkController_.bonjourSearchAvailableServicesWithCompletion(
        [self](const ZEKServicesTableModel::Services &services) {
            if (self) {
                self->searchDidFinish(services);
            }
        },
        [self](const std::shared_ptr<zek::NetService> &service) {
            if (self) {
                self->servicesModel_->serviceDidResolve(service.get());
            }
        });
}

void ZEKLoggerWindowController::searchDidFinish(const ZEKServicesTableModel::Services &services)
{
    servicesModel_->addServices(services);
    searchAgainButton_->setEnabled(true);
    searchStatusLabel_->setText(tr("No devices found"));
    searchStatusLabel_->setVisible(services.isEmpty());
}

void ZEKLoggerWindowController::log(const QString &text)
{
    const QString entry = u"[%1] %2\n"_s.arg(QTime::currentTime().toString(u"HH:mm:ss "_s), text);
    // The reader stays where they are.
    QScrollBar *scrollBar = logView_->verticalScrollBar();
    const int position = scrollBar->value();
    QTextCursor end(logView_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(entry);
    scrollBar->setValue(position);
}

void ZEKLoggerWindowController::setShowAlertView(bool showAlertView)
{
    showAlertView_ = showAlertView;
    retryButton_->setEnabled(showAlertView);
    updateAlertView();
    showAlertView_ = false;
}

void ZEKLoggerWindowController::updateAlertView()
{
    setAreaHeight(alertView_, showAlertView_ ? kAlertViewHeight : 0);
}

void ZEKLoggerWindowController::doubleClickOnRow(int row)
{
    const auto services = servicesModel_->arrangedObjects();
    if (row < 0 || row >= services.size()) {
        return;
    }
    const auto &service = services.at(row);
    // Before it resolves a service has no address to store, and its port
    // would replace the stored one with -1.
    if (service->hostName().isNull() && service->addresses().isEmpty()) {
        return;
    }
    ZEKDefaults &defaults = ZEKDefaults::standardUserDefaults();
    QString hostName = service->hostName();
    if (!hostName.isNull()) {
        while (hostName.startsWith(u'.')) {
            hostName.remove(0, 1);
        }
        while (hostName.endsWith(u'.')) {
            hostName.chop(1);
        }
        defaults.setIp(hostName);
    } else {
        defaults.setIp(
            ZEKNetworkController::extractIPaddressFromData(service->addresses().first()));
    }
    defaults.setPort(QString::number(service->port()));
    updateTargetLine();
    emit targetChanged();
}

void ZEKLoggerWindowController::toggleLogsViewHeightButtonDidClick()
{
    logsViewHeight_.stop();
    logsViewHeight_.setStartValue(logView_->maximumHeight());
    logsViewHeight_.setEndValue(logsViewTogglingHeightButton_->isChecked() ? kLogsViewHeight : 0);
    logsViewHeight_.start();
    logsViewTogglingHeightButton_->update();
}

void ZEKLoggerWindowController::retryDidClick()
{
    retryButton_->setEnabled(false);
    if (retry_) {
        retry_();
    }
}

#include "ZEKJobsController.h"

#include "FileNames.h"
#include "ZEKJobFile.h"
#include "ZEKJobProgressDelegate.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QProcess>

using namespace Qt::StringLiterals;

ZEKJobsController::ZEKJobsController(QWidget *window, ZEKJobList &jobs, QByteArray spoolRoot,
                                     Actions actions, QObject *parent)
    : QObject(parent), jobs_(jobs), spoolRoot_(std::move(spoolRoot)), actions_(std::move(actions)),
      jobsTableView_(window->findChild<QTableView *>(u"jobsTableView"_s)),
      jobsModel_(new ZEKJobsTableModel(jobs, this)),
      sendNowButton_(window->findChild<QPushButton *>(u"sendNowButton"_s)),
      removeButton_(window->findChild<QPushButton *>(u"removeButton"_s)),
      openButton_(window->findChild<QPushButton *>(u"openButton"_s)),
      sendAllButton_(window->findChild<QPushButton *>(u"sendAllButton"_s)),
      messageLabel_(window->findChild<QLabel *>(u"jobsMessageLabel"_s))
{
    jobsTableView_->setModel(jobsModel_);
    jobsTableView_->setItemDelegateForColumn(ZEKJobsTableModel::State,
                                             new ZEKJobProgressDelegate(jobsTableView_));
    // One line a job; the state, last, takes what room is left and tells the rest in its tooltip.
    jobsTableView_->setWordWrap(false);
    for (const int column : {ZEKJobsTableModel::Title, ZEKJobsTableModel::Directory,
                             ZEKJobsTableModel::Size, ZEKJobsTableModel::Printed}) {
        jobsTableView_->horizontalHeader()->setSectionResizeMode(column,
                                                                 QHeaderView::ResizeToContents);
    }
    connect(jobsTableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ZEKJobsController::updateButtons);
    // A selected row that goes leaves no selection change behind.
    connect(jobsModel_, &QAbstractItemModel::rowsRemoved, this, &ZEKJobsController::updateButtons);
    connect(sendNowButton_, &QPushButton::clicked, this, &ZEKJobsController::sendNowDidClick);
    connect(removeButton_, &QPushButton::clicked, this, &ZEKJobsController::removeDidClick);
    connect(openButton_, &QPushButton::clicked, this, &ZEKJobsController::openDidClick);
    connect(sendAllButton_, &QPushButton::clicked, this, [this] { actions_.sendAll(); });
    updateButtons();
}

void ZEKJobsController::openInDesktopViewer(const QString &path)
{
    QProcess::startDetached(u"xdg-open"_s, {path});
}

QUrl ZEKJobsController::selectedFile() const
{
    const QModelIndexList rows = jobsTableView_->selectionModel()->selectedRows();
    return rows.isEmpty() ? QUrl() : jobsModel_->fileAt(rows.first().row());
}

void ZEKJobsController::updateButtons()
{
    const bool selected = selectedFile().isValid();
    for (QPushButton *button : {sendNowButton_, removeButton_, openButton_}) {
        button->setEnabled(selected);
    }
}

void ZEKJobsController::sendNowDidClick()
{
    messageLabel_->clear();
    actions_.sendNow(selectedFile());
}

void ZEKJobsController::openDidClick()
{
    actions_.open(selectedFile().toLocalFile());
}

void ZEKJobsController::removeDidClick()
{
    const QUrl file = selectedFile();
    const auto answer = QMessageBox::question(
        jobsTableView_->window(), tr("Remove Job"),
        tr("Remove “%1” without sending it to the laser?").arg(ZEKJobList::titleOf(file)));
    if (answer != QMessageBox::Yes) {
        return;
    }
    QString problem;
    if (remove(file, &problem)) {
        messageLabel_->clear();
        jobs_.jobGone(file);
    } else {
        messageLabel_->setText(tr("Not removed: %1").arg(problem));
    }
}

bool ZEKJobsController::remove(const QUrl &file, QString *problem) const
{
    const ZEKJobFile::Claim claim = ZEKJobFile::claim(spoolRoot_, zek::localPath(file));
    switch (claim.outcome) {
    case ZEKJobFile::Outcome::Claimed:
        return claim.job->remove(problem);
    case ZEKJobFile::Outcome::HeldByAnother:
        *problem = tr("it is being sent now; try again once that is over");
        return false;
    case ZEKJobFile::Outcome::Gone:
        return true;
    case ZEKJobFile::Outcome::Refused:
    case ZEKJobFile::Outcome::Unreadable:
        *problem = claim.reason;
        return false;
    }
    return false;
}

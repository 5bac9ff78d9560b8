#pragma once

#include "ZEKJobList.h"
#include "ZEKJobsTableModel.h"

#include <QByteArray>
#include <QLabel>
#include <QObject>
#include <QPushButton>
#include <QTableView>
#include <functional>

// The jobs part of the logger window: the table of the waiting jobs, and what can be done with
// the one selected (send it now, remove it, open it) or with all of them (send them again).
// Removing asks first, and goes through a claim of the job as an upload does: no link is
// followed, and a job being sent is not removed under it. Why a job was not removed shows
// beside the buttons.
class ZEKJobsController : public QObject {
    Q_OBJECT

public:
    struct Actions {
        std::function<void(const QUrl &file)> sendNow;
        std::function<void()> sendAll;
        // Shows the PDF at the path in a viewer.
        std::function<void(const QString &path)> open;
    };

    // `window` holds the widgets of ZEKLoggerWindow.ui; `spoolRoot` is the tree of the jobs.
    ZEKJobsController(QWidget *window, ZEKJobList &jobs, QByteArray spoolRoot, Actions actions,
                      QObject *parent = nullptr);

    QTableView *jobsTableView() const { return jobsTableView_; }
    ZEKJobsTableModel *jobsModel() const { return jobsModel_; }
    QPushButton *sendNowButton() const { return sendNowButton_; }
    QPushButton *removeButton() const { return removeButton_; }
    QPushButton *openButton() const { return openButton_; }
    QPushButton *sendAllButton() const { return sendAllButton_; }
    QLabel *messageLabel() const { return messageLabel_; }

    // The desktop's viewer: xdg-open, detached.
    static void openInDesktopViewer(const QString &path);

private:
    void sendNowDidClick();
    void removeDidClick();
    void openDidClick();
    void updateButtons();
    // The selected job's file; invalid when none is.
    QUrl selectedFile() const;
    // Deletes the job, or says why not.
    bool remove(const QUrl &file, QString *problem) const;

    ZEKJobList &jobs_;
    const QByteArray spoolRoot_;
    Actions actions_;
    QTableView *jobsTableView_ = nullptr;
    ZEKJobsTableModel *jobsModel_ = nullptr;
    QPushButton *sendNowButton_ = nullptr;
    QPushButton *removeButton_ = nullptr;
    QPushButton *openButton_ = nullptr;
    QPushButton *sendAllButton_ = nullptr;
    QLabel *messageLabel_ = nullptr;
};

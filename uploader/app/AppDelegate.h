#pragma once

#include "Error.h"
#include "ZEKJobLedger.h"
#include "ZEKJobList.h"
#include "ZEKPathObservingController.h"
#include "ZEKPathObservingDelegate.h"
#include "ZEKUploadQueue.h"
#include "ZEKUserInterface.h"

#include <QSet>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <memory>
#include <optional>

class ZEKJobFile;

// The application's spine: at launch it completes the settings, puts up the user interface,
// logs the version line, watches the spool tree and handles the jobs that came while nobody
// watched; then it uploads every finished job that appears, deletes it once the device has
// accepted it, and remembers the last one that failed for a retry.
//
// A job is delivered once, and it is the job that was printed: it is claimed (ZEKJobFile) for
// the length of its upload, beneath the spool root and without following any link; one that
// another uploader holds, or that is gone, is left alone; one that is no job of the tree (a
// link, or to root a file that is not its user's) is logged once and left where it is. A job
// the device took but that could not be deleted is remembered (ZEKJobLedger) and never sent
// again. Uploads run a few at a time, the rest waiting oldest first (ZEKUploadQueue). Every line
// for the user goes through log(). Main thread only.
class AppDelegate : public ZEKPathObservingDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
public:
    static constexpr const char *kSpoolRoot = "/var/spool/ZEKPrinter";

    // userInterface must outlive the controller. spoolRoot is the tree to watch and ledger what
    // the uploader remembers of jobs; only tests give others.
    static std::shared_ptr<AppDelegate>
    create(ZEKUserInterface &userInterface,
           const QString &spoolRoot = QString::fromUtf8(kSpoolRoot),
           ZEKJobLedger ledger = ZEKJobLedger());

    // The launch sequence: settings, status item, logger window, version
    // line, watching, then the jobs already waiting, oldest first.
    void applicationDidFinishLaunching();
    // The status menu's item for the log.
    void showLoggerWindow();

    // A finished job appeared: "Printed PDF appeared: <path>", then its
    // upload, unless another uploader has it or it is gone.
    void fileDidCreatedAtURL(const QUrl &url) override;
    // Uploads one file to the resource the settings name now, once its turn comes. Success
    // deletes it and closes the retry alert; failure keeps it, remembers it, brings the window
    // to the front, logs the error and opens the retry alert. A file held by another uploader is
    // left alone; one that is gone fails as missing.
    void uploadFile(const QUrl &file);
    // "Retrying printing PDF: <path>" and the upload of the remembered file; then the same for
    // every other job still waiting in the tree, oldest first, each left alone when another
    // uploader has it or it is gone. "Nothing waiting to be sent" when no job waits.
    void retryLastFaultyFileURL();
    // "File deleted: <path>", or "Delivered but can't delete file: <path> (<reason>)", after
    // which the job is remembered as delivered. Whether it was deleted.
    bool removeFileAtURL(const ZEKJobFile &job);
    // The application log: one entry per call.
    void log(const QString &text);

    // scheme://ip:port/path from the settings, or an invalid URL when they do
    // not make one (a scheme or host that cannot be, a port that is not a
    // number from 0 to 65535, a path that does not start with "/").
    QUrl uploadingResourceURL() const;
    // "<version>(<build number>)".
    static QString getBuildVersion();
    // The day this was compiled, "dd/MM/yyyy".
    static QString getBuildDate();

    // The file of the most recent failed upload; empty until one fails, and again once it has
    // been delivered or is gone.
    QUrl lastFaultyFileURL() const { return lastFaultyFileURL_; }
    std::shared_ptr<ZEKPathObservingController> pathObservingController() const
    {
        return pathObservingController_;
    }
    // The waiting jobs and their states, for the window's jobs table.
    ZEKJobList &jobList() { return jobList_; }
    // The spool tree watched, as an absolute path.
    QByteArray spoolRoot() const;

    // A job file left the tree (delivered by another uploader, removed by hand).
    void fileDidRemoveAtURL(const QUrl &url) override;

private:
    AppDelegate(ZEKUserInterface &userInterface, QString spoolRoot, ZEKJobLedger ledger);
    // Claims a job whose turn has come and uploads it; the queue hears when it is over.
    void start(const ZEKUploadQueue::Job &job);
    // `file` is the job as the queue knows it.
    void upload(const std::shared_ptr<ZEKJobFile> &job, const QUrl &file);
    void uploadDidFinish(const ZEKJobFile &job, const QUrl &file, const QVariant &result,
                         const std::optional<zek::Error> &error);
    void uploadDidFail(const QUrl &file, const QVariant &result, const zek::Error &error);
    // The jobs in the tree that wait to be sent, oldest first.
    QList<QUrl> waitingJobs() const;

    ZEKUserInterface &userInterface_;
    const QString spoolRoot_;
    ZEKJobLedger ledger_;
    ZEKJobList jobList_;
    ZEKUploadQueue queue_;
    std::shared_ptr<ZEKPathObservingController> pathObservingController_;
    QUrl lastFaultyFileURL_;
    QSet<QUrl> refused_; // logged once each
};

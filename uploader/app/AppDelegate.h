#pragma once

#include "ZEKPathObservingController.h"
#include "ZEKPathObservingDelegate.h"
#include "ZEKUserInterface.h"

#include <QString>
#include <QUrl>
#include <memory>

// The application's spine: at launch it completes the settings, puts up the
// user interface, logs the version line, watches the spool tree and handles
// the jobs that came while nobody watched; then it uploads every finished job
// that appears, deletes it once the device has accepted it, and remembers the
// last one that failed for a retry. A job is delivered once: it is claimed
// (ZEKJobClaim) for the length of its upload, and one that another uploader
// holds, or that is gone, is left alone. Every line for the user goes through
// log(). Main thread only.
class AppDelegate : public ZEKPathObservingDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
public:
    static constexpr const char *kSpoolRoot = "/var/spool/ZEKPrinter";

    // userInterface must outlive the controller. spoolRoot is the tree to
    // watch; only tests give another.
    static std::shared_ptr<AppDelegate>
    create(ZEKUserInterface &userInterface,
           const QString &spoolRoot = QString::fromUtf8(kSpoolRoot));

    // The launch sequence: settings, status item, logger window, version
    // line, watching, then the jobs already waiting, oldest first.
    void applicationDidFinishLaunching();
    // The status menu's item for the log.
    void showLoggerWindow();

    // A finished job appeared: "Printed PDF appeared: <path>", then its
    // upload, unless another uploader has it or it is gone.
    void fileDidCreatedAtURL(const QUrl &url) override;
    // Uploads one file to the resource the settings name now. Success deletes
    // it and closes the retry alert; failure keeps it, remembers it, brings
    // the window to the front, logs the error and opens the retry alert. A
    // file held by another uploader is left alone; one that is gone fails as
    // missing.
    void uploadFile(const QUrl &file);
    // "Retrying printing PDF: <path>" and the upload of the remembered file;
    // then the same for every other job still waiting in the tree, oldest
    // first, each left alone when another uploader has it or it is gone.
    void retryLastFaultyFileURL();
    // "Retrying printing PDF: <path>" and the upload of every job still
    // waiting, oldest first, under the same rule.
    void retryWaitingJobs();
    // "File deleted: <path>" or "Can't delete file: <path>".
    void removeFileAtURL(const QUrl &file);
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

    // The file of the most recent failed upload; empty until one fails.
    QUrl lastFaultyFileURL() const { return lastFaultyFileURL_; }
    std::shared_ptr<ZEKPathObservingController> pathObservingController() const
    {
        return pathObservingController_;
    }

private:
    enum class Missing { Fails, LeftAlone };

    AppDelegate(ZEKUserInterface &userInterface, QString spoolRoot);
    // Uploads a job unless another upload holds it (or, when missing says so,
    // it is gone); then first logs announcement, if there is one.
    void upload(const QUrl &file, Missing missing, const QString &announcement = {});
    void retryWaitingJobsExcept(const QUrl &skipped);

    ZEKUserInterface &userInterface_;
    const QString spoolRoot_;
    std::shared_ptr<ZEKPathObservingController> pathObservingController_;
    QUrl lastFaultyFileURL_;
};

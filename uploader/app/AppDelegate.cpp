#include "AppDelegate.h"

#include "FileNames.h"
#include "ZEKDefaults.h"
#include "ZEKIdentity.h"
#include "ZEKJobFile.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

QString pathText(const QUrl &file)
{
    return file.isEmpty() ? u"(null)"_s : zek::displayPath(zek::localPath(file));
}

// What the device (or the transport) said was wrong, for a notice.
QString failureReason(const QVariant &result, const zek::Error &error)
{
    const QString reply = result.toString().trimmed();
    if (!reply.isEmpty()) {
        return reply;
    }
    return error.userInfo().value(zek::NSLocalizedDescriptionKey).toString();
}

QByteArray spoolRootPath(const QString &spoolRoot)
{
    return zek::standardPath(QFile::encodeName(spoolRoot), QFile::encodeName(QDir::currentPath()));
}

} // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(ZEKUserInterface &userInterface,
                                                 const QString &spoolRoot, ZEKJobLedger ledger)
{
    return std::shared_ptr<AppDelegate>(
        new AppDelegate(userInterface, spoolRoot, std::move(ledger)));
}

AppDelegate::AppDelegate(ZEKUserInterface &userInterface, QString spoolRoot, ZEKJobLedger ledger)
    : userInterface_(userInterface), spoolRoot_(std::move(spoolRoot)), ledger_(std::move(ledger)),
      jobList_(spoolRootPath(spoolRoot_), &ledger_),
      queue_([this](const ZEKUploadQueue::Job &job) { start(job); })
{}

void AppDelegate::applicationDidFinishLaunching()
{
    ZEKDefaults::standardUserDefaults().defineZEKDefaultsForce(false);
    userInterface_.putUpStatusItem();
    userInterface_.loadLoggerWindow();
    log(u"Version: %1. Build date: %2"_s.arg(getBuildVersion(), getBuildDate()));

    pathObservingController_ = std::make_shared<ZEKPathObservingController>(spoolRoot_, u"*.pdf"_s);
    pathObservingController_->setObserveSubpaths(true);
    pathObservingController_->setDelegate(weak_from_this());
    pathObservingController_->startObserving();
    // Jobs printed before login, after a crash or after Quit would wait for ever.
    pathObservingController_->reportFinishedPdfsInTree();
}

QByteArray AppDelegate::spoolRoot() const
{
    return spoolRootPath(spoolRoot_);
}

void AppDelegate::showLoggerWindow()
{
    userInterface_.showLoggerWindow();
}

void AppDelegate::fileDidCreatedAtURL(const QUrl &url)
{
    log(u"Printed PDF appeared: "_s + pathText(url));
    jobList_.jobAppeared(url);
    queue_.add({url, false, {}});
}

void AppDelegate::fileDidRemoveAtURL(const QUrl &url)
{
    jobList_.jobGone(url);
}

void AppDelegate::uploadFile(const QUrl &file)
{
    queue_.add({file, true, {}});
}

void AppDelegate::start(const ZEKUploadQueue::Job &job)
{
    const ZEKJobFile::Claim claim =
        ZEKJobFile::claim(spoolRootPath(spoolRoot_), zek::localPath(job.file));
    switch (claim.outcome) {
    case ZEKJobFile::Outcome::Claimed:
        // Taken by the device before, and kept only because it could not be deleted.
        if (ledger_.wasDelivered(claim.job->identity())) {
            break;
        }
        if (!job.announcement.isEmpty()) {
            log(job.announcement);
        }
        jobList_.jobIsSending(job.file, claim.job->identity().size);
        upload(claim.job, job.file);
        return; // the queue hears of it when the upload is over
    case ZEKJobFile::Outcome::HeldByAnother:
        break;
    case ZEKJobFile::Outcome::Gone:
        jobList_.jobGone(job.file);
        if (lastFaultyFileURL_ == job.file) {
            lastFaultyFileURL_.clear();
        }
        if (job.missingFails) {
            uploadDidFail(job.file, QVariant(),
                          ZEKNetworkController::uploaderError("Missing file data"));
        }
        break;
    case ZEKJobFile::Outcome::Refused:
        jobList_.jobGone(job.file); // no job of the tree
        if (!refused_.contains(job.file)) {
            refused_.insert(job.file);
            log(u"Not a job of the spool tree, left alone: %1 (%2)"_s.arg(pathText(job.file),
                                                                          claim.reason));
        }
        break;
    case ZEKJobFile::Outcome::Unreadable:
        // Kept for the retry: it is there, only not to be had now (no descriptors left, say).
        uploadDidFail(
            job.file, QVariant(),
            ZEKNetworkController::uploaderError("Can't read the job file: %1", claim.reason));
        break;
    }
    queue_.finished(job.file);
}

void AppDelegate::upload(const std::shared_ptr<ZEKJobFile> &job, const QUrl &file)
{
    const QUrl resource = uploadingResourceURL();
    if (!resource.isValid()) {
        log(u"Invalid uploading resource"_s);
        queue_.finished(file);
        return;
    }
    log(ZEKLog::uploadingToResourceLine(resource));
    // The job stays claimed until it is deleted or its upload has failed, and no longer: a retry
    // must find it free.
    ZEKNetworkController::uploadFile(
        job, resource,
        [weakSelf = weak_from_this(), job, file](const QVariant &result,
                                                 const std::optional<zek::Error> &error) {
            if (const auto self = weakSelf.lock()) {
                self->uploadDidFinish(*job, file, result, error);
            }
        },
        [weakSelf = weak_from_this(), file](qint64 bytesSent, qint64 bytesTotal) {
            if (const auto self = weakSelf.lock()) {
                self->jobList_.jobProgress(file, bytesSent, bytesTotal);
            }
        });
}

void AppDelegate::uploadDidFinish(const ZEKJobFile &job, const QUrl &file, const QVariant &result,
                                  const std::optional<zek::Error> &error)
{
    if (error) {
        uploadDidFail(file, result, *error);
    } else {
        log(ZEKLog::uploadOutcomeLine(result, error));
        if (removeFileAtURL(job)) {
            jobList_.jobGone(file);
        } else {
            jobList_.jobDelivered(file);
        }
        if (lastFaultyFileURL_ == file) {
            lastFaultyFileURL_.clear();
        }
        userInterface_.setShowAlertView(false);
        userInterface_.uploadDidSucceed(file);
    }
    queue_.finished(file);
}

void AppDelegate::uploadDidFail(const QUrl &file, const QVariant &result, const zek::Error &error)
{
    lastFaultyFileURL_ = file;
    userInterface_.showLoggerWindow();
    log(ZEKLog::uploadOutcomeLine(result, error));
    userInterface_.setShowAlertView(true);
    jobList_.jobFailed(file, failureReason(result, error));
    userInterface_.uploadDidFail(file, failureReason(result, error));
}

void AppDelegate::retryLastFaultyFileURL()
{
    const QList<QUrl> waiting = waitingJobs();
    for (const QUrl &file : waiting) {
        jobList_.jobAppeared(file); // whatever came unseen
    }
    // Delivered or gone meanwhile: nothing to remember any more.
    if (!waiting.contains(lastFaultyFileURL_)) {
        lastFaultyFileURL_.clear();
    }
    if (waiting.isEmpty()) {
        if (queue_.isIdle()) {
            log(u"Nothing waiting to be sent"_s);
        }
        return;
    }
    if (!lastFaultyFileURL_.isEmpty() && !queue_.contains(lastFaultyFileURL_)) {
        log(u"Retrying printing PDF: "_s + pathText(lastFaultyFileURL_));
        queue_.add({lastFaultyFileURL_, true, {}});
    }
    // Earlier failures would otherwise wait for the next launch.
    for (const QUrl &other : waiting) {
        // A job whose upload is under way, or due, is not retried, nor said to be.
        if (!queue_.contains(other)) {
            queue_.add({other, false, u"Retrying printing PDF: "_s + pathText(other)});
        }
    }
}

QList<QUrl> AppDelegate::waitingJobs() const
{
    QList<QUrl> waiting;
    if (pathObservingController_) {
        for (const QUrl &file : pathObservingController_->finishedPdfsInTree()) {
            if (!ledger_.wasDelivered(zek::localPath(file))) {
                waiting.append(file);
            }
        }
    }
    return waiting;
}

bool AppDelegate::removeFileAtURL(const ZEKJobFile &job)
{
    QString reason;
    if (job.remove(&reason)) {
        log(u"File deleted: "_s + pathText(job.URL()));
        return true;
    }
    log(u"Delivered but can't delete file: %1 (%2)"_s.arg(pathText(job.URL()), reason));
    // Sent again it would be printed again: remembered as delivered, also after a restart,
    // unless nothing of it is left to be found again.
    QString unsaved;
    if (job.isLinked() && !ledger_.rememberDelivered(job.path(), job.identity(), &unsaved)) {
        log(u"Can't remember the delivered job in %1: %2"_s.arg(ledger_.fileName(), unsaved));
    }
    return false;
}

void AppDelegate::log(const QString &text)
{
    ZEKLog::sharedLog().log(text);
}

QUrl AppDelegate::uploadingResourceURL() const
{
    const ZEKDefaults &defaults = ZEKDefaults::standardUserDefaults();
    const QString scheme = defaults.scheme();
    const QString ip = defaults.ip();
    const QString path = defaults.path();
    bool portIsNumber = false;
    const uint port = defaults.port().toUInt(&portIsNumber, 10);
    static const QRegularExpression digits(u"^[0-9]+$"_s);
    if (scheme.isEmpty() || ip.isEmpty() || !path.startsWith(u'/') || !portIsNumber ||
        !digits.match(defaults.port()).hasMatch() || port > 65535) {
        return QUrl();
    }
    QUrl url;
    url.setScheme(scheme);
    url.setHost(ip, QUrl::StrictMode);
    url.setPort(static_cast<int>(port));
    url.setPath(path, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return QUrl();
    }
    return url;
}

QString AppDelegate::getBuildVersion()
{
    return u"%1(%2)"_s.arg(QString::fromUtf8(zek::kVersion), QString::fromUtf8(zek::kBuildNumber));
}

QString AppDelegate::getBuildDate()
{
    // __DATE__ pads days 1 to 9 with a space ("Mar  5 2019"): one space between
    // fields for the parser.
    const QString compiled = QString::fromLatin1(__DATE__ " " __TIME__).simplified();
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const QDateTime date = english.toDateTime(compiled, u"MMM d yyyy HH:mm:ss"_s);
    return date.isValid() ? english.toString(date, u"dd/MM/yyyy"_s) : QString::fromLatin1(__DATE__);
}

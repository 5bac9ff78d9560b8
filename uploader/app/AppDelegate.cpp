#include "AppDelegate.h"

#include "ZEKDefaults.h"
#include "ZEKIdentity.h"
#include "ZEKJobClaim.h"
#include "ZEKLog.h"
#include "ZEKNetworkController.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

QString pathText(const QUrl &file)
{
    return file.isEmpty() ? u"(null)"_s : file.toLocalFile();
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

} // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(ZEKUserInterface &userInterface,
                                                 const QString &spoolRoot)
{
    return std::shared_ptr<AppDelegate>(new AppDelegate(userInterface, spoolRoot));
}

AppDelegate::AppDelegate(ZEKUserInterface &userInterface, QString spoolRoot)
    : userInterface_(userInterface), spoolRoot_(std::move(spoolRoot))
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

void AppDelegate::showLoggerWindow()
{
    userInterface_.showLoggerWindow();
}

void AppDelegate::fileDidCreatedAtURL(const QUrl &url)
{
    log(u"Printed PDF appeared: "_s + pathText(url));
    upload(url, Missing::LeftAlone);
}

void AppDelegate::uploadFile(const QUrl &file)
{
    upload(file, Missing::Fails);
}

void AppDelegate::upload(const QUrl &file, Missing missing, const QString &announcement)
{
    const auto [outcome, claim] = ZEKJobClaim::claim(file);
    if (outcome == ZEKJobClaim::Outcome::HeldByAnother ||
        (outcome == ZEKJobClaim::Outcome::Gone && missing == Missing::LeftAlone)) {
        return;
    }
    if (!announcement.isEmpty()) {
        log(announcement);
    }
    const QUrl resource = uploadingResourceURL();
    if (!resource.isValid()) {
        log(u"Invalid uploading resource"_s);
        return;
    }
    log(ZEKLog::uploadingToResourceLine(resource));
    ZEKNetworkController::uploadFile(
        file, resource,
        // The claim lasts until the file is deleted or the upload has failed, and no longer:
        // a retry must find the job free.
        [weakSelf = weak_from_this(), file,
         claim = claim](const QVariant &result, const std::optional<zek::Error> &error) mutable {
            const auto held = std::exchange(claim, nullptr);
            const auto self = weakSelf.lock();
            if (!self) {
                return;
            }
            if (error) {
                self->lastFaultyFileURL_ = file;
                self->userInterface_.showLoggerWindow();
                self->log(ZEKLog::uploadOutcomeLine(result, error));
                self->userInterface_.setShowAlertView(true);
                self->userInterface_.uploadDidFail(file, failureReason(result, *error));
                return;
            }
            self->log(ZEKLog::uploadOutcomeLine(result, error));
            self->removeFileAtURL(file);
            self->userInterface_.setShowAlertView(false);
            self->userInterface_.uploadDidSucceed(file);
        });
}

void AppDelegate::retryLastFaultyFileURL()
{
    const QUrl last = lastFaultyFileURL_;
    log(u"Retrying printing PDF: "_s + pathText(last));
    upload(last, Missing::Fails);
    // Earlier failures would otherwise wait for the next launch.
    retryWaitingJobsExcept(last);
}

void AppDelegate::retryWaitingJobs()
{
    retryWaitingJobsExcept(QUrl());
}

void AppDelegate::retryWaitingJobsExcept(const QUrl &skipped)
{
    if (!pathObservingController_) {
        return;
    }
    for (const QUrl &waiting : pathObservingController_->finishedPdfsInTree()) {
        // A job whose upload is under way is not retried, nor said to be.
        if (waiting != skipped) {
            upload(waiting, Missing::LeftAlone, u"Retrying printing PDF: "_s + pathText(waiting));
        }
    }
}

void AppDelegate::removeFileAtURL(const QUrl &file)
{
    const bool removed = file.isLocalFile() && QFile::remove(file.toLocalFile());
    log((removed ? u"File deleted: "_s : u"Can't delete file: "_s) + pathText(file));
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
